#!/bin/bash
# Stops the S3 test server that start_server.sh started in STATE_DIR, if it
# still runs, and removes its objects.
#
#   stop_server.sh STATE_DIR
set -u
state=${1:?usage: stop_server.sh STATE_DIR}
if [ -s "$state/pid" ]; then
  pid=$(cat "$state/pid")
  # Only our own server: the pid must still be a node running s3rver_main.js.
  if grep -qs s3rver_main.js "/proc/$pid/cmdline"; then
    kill "$pid"
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
fi
rm -rf "$state/pid" "$state/port" "$state/ready" "$state/data"
exit 0
