#!/bin/bash
# Starts s3rver for the S3 store tests on a free port of 127.0.0.1, creates
# the test buckets and fills "tz-store" with the objects the tests expect,
# using curl and rclone (never the store under test).
#
#   start_server.sh STATE_DIR
#
# STATE_DIR receives the server's objects (data/), its log, its pid and its
# port (the file "port", written last: tests read the endpoint from it).
# s3rver is taken from server/node_modules; when that is missing it is
# installed with "npm ci" from the pinned package-lock.json.
set -euo pipefail

state=${1:?usage: start_server.sh STATE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
key=S3RVER     # the one account s3rver knows
secret=S3RVER

"$here/stop_server.sh" "$state"
mkdir -p "$state"
rm -rf "$state/data" "$state/port" "$state/ready"

if [ ! -f "$here/server/node_modules/s3rver/package.json" ]; then
  (cd "$here/server" && npm ci --no-audit --no-fund)
fi

# s3rver's continuation tokens use a cipher that OpenSSL 3 keeps in its
# legacy provider: without it every second page fails.
NODE_OPTIONS=--openssl-legacy-provider setsid node "$here/server/s3rver_main.js" \
  "$state/data" "$state/port" 60 </dev/null >"$state/server.log" 2>&1 &
echo $! >"$state/pid"

for _ in $(seq 300); do
  [ -s "$state/port" ] && break
  if ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
    echo "s3rver exited before it was ready:" >&2
    cat "$state/server.log" >&2
    exit 1
  fi
  sleep 0.1
done
[ -s "$state/port" ] || { echo "s3rver did not start within 30 s" >&2; exit 1; }
endpoint=http://127.0.0.1:$(cat "$state/port")

s3curl() {
  curl -sS -f --aws-sigv4 "aws:amz:us-east-1:s3" --user "$key:$secret" \
    -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" "$@"
}
for bucket in tz-store tz-empty tz-dump; do
  s3curl -X PUT "$endpoint/$bucket" >/dev/null
done

# The tree under tz-store/lib/one; the tests know it by heart.
tree=$state/tree
rm -rf "$tree"
mkdir -p "$tree/V_1" "$tree/V_2" "$tree/V_big" "$tree/odd/sp ace+%&é" "$tree/sizes" "$tree/mix"
seq 1 2000 | tr '\n' ' ' >"$state/label"
label() { head -c "$1" "$state/label"; }   # "1 2 3 ... 2000 ", cut to a size
bytes() { head -c "$1" /dev/zero | tr '\0' x; }
label 2048 >"$tree/V_1/MEDIA_LABEL"
bytes 1 >"$tree/V_1/CHUNK_1"
bytes 10 >"$tree/V_1/CHUNK_2"
bytes 100 >"$tree/V_1/CHUNK_3"
: >"$tree/V_2/.tzsivolume"
label 100 >"$tree/V_2/MEDIA_LABEL"
for i in $(seq 0 2499); do printf '%*s' $((i % 50)) '' >"$tree/V_big/CHUNK_$i"; done
for name in "a b" "x+y" "50%" "a&b" "é-ü" "ሴ" "plus+and space&100%"; do
  printf '%s' "$name" >"$tree/odd/$name"
done
printf 'in' >"$tree/odd/sp ace+%&é/in"
: >"$tree/sizes/empty"
label 100 >"$tree/sizes/short"
label 1551 >"$tree/sizes/label"
label 5000 >"$tree/sizes/long"
for i in $(seq 0 1199); do printf '%s' "$i" >"$tree/mix/f_$i"; done
for i in $(seq 0 29); do mkdir -p "$tree/mix/d_$i"; printf 'x' >"$tree/mix/d_$i/x"; done

export RCLONE_CONFIG_TZS3_TYPE=s3 RCLONE_CONFIG_TZS3_PROVIDER=Other \
  RCLONE_CONFIG_TZS3_ENDPOINT=$endpoint RCLONE_CONFIG_TZS3_ACCESS_KEY_ID=$key \
  RCLONE_CONFIG_TZS3_SECRET_ACCESS_KEY=$secret RCLONE_CONFIG_TZS3_FORCE_PATH_STYLE=true
# rclone refuses a custom CA bundle on plain http, so none is passed on.
env -u AWS_CA_BUNDLE rclone copy --config /dev/null --s3-no-check-bucket --transfers 8 --checkers 8 \
  "$tree" tzs3:tz-store/lib/one
# Names with control characters, put with their keys URL-encoded: only a
# listing with encoding-type=url gives them back intact.
for name in "c%01d" "cr%0Dx" "lf%0Ax" "crlf%0D%0Ay" "tab%09z" "del%7F" "fold%0Der/in"; do
  s3curl -X PUT --data-binary "x" "$endpoint/tz-store/lib/one/odd/$name" >/dev/null
done
# The folder marker of V_1: a zero-byte object whose key ends in "/".
s3curl -X PUT --data-binary "" "$endpoint/tz-store/lib/one/V_1/" >/dev/null
rm -rf "$tree"

touch "$state/ready"
echo "S3 test server: $endpoint (pid $(cat "$state/pid"))"
