#!/bin/bash
# Measures what a cloud dump costs on S3: uploads a sample library (VOLUMES
# volumes of CHUNKS chunks each) to a fresh s3rver, dumps it through tzrecon
# behind the counting proxy, which holds every request for DELAY_MS, with
# 16 requests in flight and with 1, and prints the HTTP requests per volume
# and per chunk, and each dump's wall time beside `rclone lsf -R` of the same
# bucket through the same proxy.
#
#   scripts/s3/measure.sh BUILD_DIR [VOLUMES [CHUNKS [DELAY_MS]]]   (default 10 1000 20)
set -euo pipefail

build=$(cd "${1:?usage: measure.sh BUILD_DIR [VOLUMES [CHUNKS [DELAY_MS]]]}" && pwd)
volumes=${2:-10}
chunks=${3:-1000}
delay=${4:-20}
tests=$(cd "$(dirname "$0")/../../Tests/S3" && pwd)
tzrecon=$build/Cli/tzrecon
work=$(mktemp -d "${TMPDIR:-/tmp}/tz-s3-measure-XXXXXX")
proxy_pid=
cleanup() {
  [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null
  "$tests/stop_server.sh" "$work/server"
  rm -rf "$work"
}
trap cleanup EXIT

"$tests/start_server.sh" "$work/server" >/dev/null
port=$(cat "$work/server/port")
endpoint=http://127.0.0.1:$port

"$tzrecon" sample "$work/lib" --volumes "$volumes" --chunks-per-volume "$chunks" \
  --copy-id 1 --mount-path-id 5 >/dev/null
# s3rver stores objects in full: the sparse chunks are cut to under 4 KiB.
find "$work/lib" -name 'CHUNK_*' -type f -exec sh -c \
  'for f; do truncate -s $(( $(stat -c %s "$f") % 4093 )) "$f"; done' sh {} +

export RCLONE_CONFIG_TZS3_TYPE=s3 RCLONE_CONFIG_TZS3_PROVIDER=Other \
  RCLONE_CONFIG_TZS3_ENDPOINT=$endpoint RCLONE_CONFIG_TZS3_ACCESS_KEY_ID=S3RVER \
  RCLONE_CONFIG_TZS3_SECRET_ACCESS_KEY=S3RVER RCLONE_CONFIG_TZS3_FORCE_PATH_STYLE=true
env -u AWS_CA_BUNDLE rclone --config /dev/null copy --s3-no-check-bucket --transfers 8 \
  --checkers 8 --exclude 'CHUNKMAP_TRAILER_*' "$work/lib" tzs3:tz-dump/lib

node "$tests/server/fault_proxy.js" "$port" "$work/proxy.port" 600 &
proxy_pid=$!
for _ in $(seq 100); do [ -s "$work/proxy.port" ] && break; sleep 0.1; done
proxy=http://127.0.0.1:$(cat "$work/proxy.port")

export RCLONE_CONFIG_VIA_TYPE=s3 RCLONE_CONFIG_VIA_PROVIDER=Other \
  RCLONE_CONFIG_VIA_ENDPOINT=$proxy RCLONE_CONFIG_VIA_ACCESS_KEY_ID=S3RVER \
  RCLONE_CONFIG_VIA_SECRET_ACCESS_KEY=S3RVER RCLONE_CONFIG_VIA_FORCE_PATH_STYLE=true
echo "library: $volumes volumes x $chunks chunks; every request held ${delay} ms; load: $(cut -d' ' -f1-3 /proc/loadavg)"
mkdir -p "$work/dump"
for inflight in 16 1; do
  cat >"$work/cloud.json" <<JSON
{"mountPaths": [{"id": 5, "path": "tz-dump/lib", "type": 7, "endpoint": "$proxy",
  "user": "S3RVER", "password": "S3RVER", "maxRequestsInFlight": $inflight}]}
JSON
  curl -sS -f "$proxy/__proxy/config?delay=$delay" >/dev/null
  start=$(date +%s.%N)
  dump=$("$tzrecon" dump --mount-path-id 5 --copy-id 1 --dump-dir "$work/dump" \
    --config "$work/cloud.json" --log "$work/dump.log" | head -n 1)
  dump_s=$(echo "$(date +%s.%N) - $start" | bc)
  stats=$(curl -sS -f "$proxy/__proxy/stats")
  rows=$(($(wc -l <"$dump") - 1))
  rm -f "$dump"
  requests=$(echo "$stats" | sed -n 's/.*"requests":\([0-9]*\).*/\1/p')
  echo "tzrecon, $inflight in flight: ${dump_s}s, $rows rows, $requests requests" \
    "($(echo "scale=2; $requests / $volumes" | bc) per volume): $stats"
done

curl -sS -f "$proxy/__proxy/config?delay=$delay" >/dev/null
start=$(date +%s.%N)
listed=$(env -u AWS_CA_BUNDLE rclone --config /dev/null lsf -R via:tz-dump/lib | wc -l)
rclone_s=$(echo "$(date +%s.%N) - $start" | bc)
echo "rclone lsf -R: ${rclone_s}s, $listed entries: $(curl -sS -f "$proxy/__proxy/stats")"
