#!/bin/bash
# The S3 part of the dump benchmark: the library's dump of mount paths held in
# s3rver (on 127.0.0.1), beside `rclone lsf -R` of the same bucket, with the
# HTTP requests of each counted at a small proxy in front of the server.
# Called by run.sh --s3; prints Markdown tables:
#   - the m1-10k sample (made by run.sh; left out when missing) on loopback;
#   - samples of 100 volumes of 50 chunks and 200 volumes of 100 chunks
#     (made here with `tzrecon sample`), with every request held 20 ms
#     (S3_DELAY_MS) at the proxy, as a distant object store answers.
# tzrecon runs with 16 requests in flight (the default) and with 1; with
# S3_OTHER="NAME=TZRECON ..." other tzrecon builds get a row each (16 in
# flight), e.g. a build of an earlier commit to compare strategies with.
#
#   s3.sh TZRECON WORK_DIR ROUNDS PYTHON
#
# Buckets are filled once and kept under $TZRECON_BENCH_DIR/s3 between runs.
# The chunk objects are not the samples' sparse gigabytes: each holds (its
# chunk's size mod 4096) bytes, so the dump's sizes differ from the disk
# dump's; names, labels and trailers are the samples'.
set -euo pipefail

tzrecon=${1:?usage: s3.sh TZRECON WORK_DIR ROUNDS PYTHON}
work=${2:?usage: s3.sh TZRECON WORK_DIR ROUNDS PYTHON}
rounds=${3:?usage: s3.sh TZRECON WORK_DIR ROUNDS PYTHON}
python=${4:?usage: s3.sh TZRECON WORK_DIR ROUNDS PYTHON}
here=$(cd "$(dirname "$0")" && pwd)
bench_dir=${TZRECON_BENCH_DIR:-/var/tmp/tzrecon-bench}
state=$bench_dir/s3
sample=$bench_dir/m1-10k/lib
bucket=tz-bench
key=S3RVER     # the one account s3rver knows
secret=S3RVER
delay_ms=${S3_DELAY_MS:-20}

log() { echo "s3.sh: $*" >&2; }

# node, rclone and curl come with the project's packages; s3rver is the one
# the S3 tests pin.
root=$(cd "$here/.." && pwd)
"$root/scripts/install-deps.sh" >&2
"$root/scripts/install-test-servers.sh" >&2

# All traffic stays on 127.0.0.1: no proxy of the environment applies.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export NO_PROXY=127.0.0.1 no_proxy=127.0.0.1

# A bucket whose filling was cut short is filled again from scratch.
mkdir -p "$state"
want="from $sample, chunk objects of (size mod 4096) bytes"
if [ ! -f "$state/ready" ] || [ "$(cat "$state/ready")" != "$want" ]; then
  rm -rf "${state:?}/data/$bucket" "$state/ready"
fi

# s3rver's continuation tokens use a cipher that OpenSSL 3 keeps in its
# legacy provider: without it every second listing page fails.
rm -f "$state/ports"
NODE_PATH="$root/Tests/S3/server/node_modules" NODE_OPTIONS=--openssl-legacy-provider \
  node "$here/s3/servers.js" "$state/data" "$state/ports" 30 \
  < /dev/null > "$work/s3-servers.log" 2>&1 &
server_pid=$!
trap 'kill "$server_pid" 2> /dev/null || true' EXIT
for _ in $(seq 300); do
  [ -s "$state/ports" ] && break
  kill -0 "$server_pid" 2> /dev/null || { cat "$work/s3-servers.log" >&2; exit 1; }
  sleep 0.1
done
[ -s "$state/ports" ] || { echo "s3.sh: s3rver did not start within 30 s" >&2; exit 1; }
read -r s3_port proxy_port < "$state/ports"

# rclone remotes: "direct" for filling the bucket, "counted" through the proxy.
for remote in DIRECT COUNTED; do
  port=$s3_port
  [ "$remote" = COUNTED ] && port=$proxy_port
  export "RCLONE_CONFIG_${remote}_TYPE=s3" "RCLONE_CONFIG_${remote}_PROVIDER=Other" \
    "RCLONE_CONFIG_${remote}_ENDPOINT=http://127.0.0.1:$port" \
    "RCLONE_CONFIG_${remote}_ACCESS_KEY_ID=$key" "RCLONE_CONFIG_${remote}_SECRET_ACCESS_KEY=$secret" \
    "RCLONE_CONFIG_${remote}_FORCE_PATH_STYLE=true"
done
# rclone refuses a custom CA bundle on plain http.
unset AWS_CA_BUNDLE

# fill SAMPLE_DIR BUCKET/PREFIX: copies a sample to the server, each chunk
# object cut to (its size mod 4096) bytes.
fill() {
  local mirror=$work/s3-mirror
  rm -rf "$mirror"
  "$python" - "$1" "$mirror" <<'EOF'
import os, shutil, sys
source, target = sys.argv[1:]
for volume in os.scandir(source):
    os.makedirs(os.path.join(target, volume.name))
    for entry in os.scandir(volume.path):
        destination = os.path.join(target, volume.name, entry.name)
        if entry.name.startswith("CHUNK_"):
            with open(destination, "wb") as f:
                f.write(bytes(entry.stat().st_size % 4096))
        else:
            shutil.copyfile(entry.path, destination)
EOF
  rclone mkdir --config /dev/null "direct:${2%%/*}"
  rclone copy --config /dev/null --s3-no-check-bucket --transfers 8 --checkers 8 \
    "$mirror" "direct:$2"
  rm -rf "$mirror"
}

# table BUCKET/PREFIX VOLUMES DELAY_MS TITLE: one table of s3_bench.py.
table() {
  cat > "$work/s3-registry.json" <<EOF
{"mountPaths": [{"id": 1, "path": "$1", "type": 7,
  "endpoint": "http://127.0.0.1:$proxy_port", "region": "us-east-1",
  "user": "$key", "password": "$secret", "addressing": "path"}]}
EOF
  "$python" "$here/s3_bench.py" --tzrecon "$tzrecon" --registry "$work/s3-registry.json" \
    --proxy-port "$proxy_port" --remote "counted:$1" --work "$work" --rounds "$rounds" \
    --volumes "$2" --delay-ms "$3" --in-flight 16,1 --server-pid "$server_pid" --title "$4" \
    "${others[@]}"
}
others=()
for other in ${S3_OTHER:-}; do others+=(--other "$other"); done

if [ -d "$sample" ]; then
  if [ ! -f "$state/ready" ]; then
    log "filling s3://$bucket/lib from $sample (about 20k objects; a few minutes)"
    fill "$sample" "$bucket/lib"
    echo "$want" > "$state/ready"
  fi
  table "$bucket/lib" "$(find "$sample" -mindepth 1 -maxdepth 1 -name 'V_*' | wc -l)" 0 ""
else
  log "no $sample (run.sh makes it): the loopback table is left out"
fi

for shape in ${S3_SHAPES:-100x50 200x100}; do
  volumes=${shape%x*}
  chunks=${shape#*x}
  lib=$bench_dir/s3-$shape/lib
  if [ ! -f "$state/ready-$shape" ]; then
    log "making and filling the $shape sample ($((volumes * (2 * chunks + 1))) objects)"
    rm -rf "$bench_dir/s3-$shape"
    "$tzrecon" sample "$lib" --volumes "$volumes" --chunks-per-volume "$chunks" \
      --copy-id 7 --mount-path-id 1 > /dev/null
    fill "$lib" "tz-lat/$shape"
    touch "$state/ready-$shape"
  fi
  table "tz-lat/$shape" "$volumes" "$delay_ms" " at $delay_ms ms a request, $shape"
done
