#!/bin/bash
# Full dumps through tzrecon under valgrind: a plain and a single-instanced
# disk library, the same library as a folder-store cloud mount path, a dump
# that fails, and a dump with the log at level 2. Any leak (definite,
# indirect or possible) or invalid access fails the test, and so does a dump
# whose row count is not the sample's.
#
#   valgrind_dump.sh TZRECON [VALGRIND]
set -euo pipefail
tzrecon=$1
valgrind=${2:-valgrind}
work=$(mktemp -d "${TMPDIR:-/tmp}/tzrecon-valgrind.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The number before "(= dump rows)" in the sample command's summary.
rows_of() { sed -n 's/.* \([0-9][0-9]*\) [a-z -]*(= dump rows).*/\1/p' <<< "$1"; }

plain=$("$tzrecon" sample "$work/plain" --volumes 3 --chunks-per-volume 40 --copy-id 7 \
  --mount-path-id 1 --config-out "$work/plain.json" --threads 1)
si=$("$tzrecon" sample "$work/si" --volumes 2 --chunks-per-volume 15 --copy-id 7 \
  --single-instanced --mount-path-id 2 --config-out "$work/si.json" --threads 1)
printf '{"mountPaths": [{"id": 3, "path": "%s", "type": 7}]}\n' "$work/plain" > "$work/cloud.json"
mkdir "$work/dumps"

failures=0
# check NAME EXPECTED_STATUS EXPECTED_ROWS dump-arguments...
check() {
  local name=$1 expected=$2 rows=$3
  shift 3
  local status=0
  "$valgrind" --quiet --error-exitcode=3 --leak-check=full \
    --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible \
    "$tzrecon" dump --copy-id 7 --dump-dir "$work/dumps" "$@" \
    > "$work/$name.out" 2> "$work/$name.err" || status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "$name: exit status $status, expected $expected"
    cat "$work/$name.out" "$work/$name.err"
    failures=$((failures + 1))
    return
  fi
  if [ "$expected" -eq 0 ] && { [ -z "$rows" ] || ! grep -q "^$rows rows, " "$work/$name.out"; }; then
    echo "$name: expected $rows rows"
    cat "$work/$name.out"
    failures=$((failures + 1))
    return
  fi
  echo "$name: clean under valgrind (exit status $status)"
}

check plain 0 "$(rows_of "$plain")" --mount-path-id 1 --config "$work/plain.json"
check single-instanced 0 "$(rows_of "$si")" --mount-path-id 2 --config "$work/si.json" \
  --single-instanced
check cloud 0 "$(rows_of "$plain")" --mount-path-id 3 --config "$work/cloud.json"
check logged 0 "$(rows_of "$plain")" --mount-path-id 1 --config "$work/plain.json" \
  --log "$work/tzrecon.log" --log-level 2
check failing 1 "" --mount-path-id 99 --config "$work/plain.json" --log "$work/tzrecon.log"

[ "$failures" -eq 0 ] || { echo "$failures valgrind check(s) failed"; exit 1; }
