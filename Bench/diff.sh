#!/bin/bash
# The diff benchmark: `tzrecon diff` beside sort + join, sqlite3, DuckDB (npm
# @duckdb/node-api) and a short Python script, on pairs of dumps of 1M and
# 10M rows that differ in about 1 % of the rows of each kind (missing, new,
# changed). Prints one Markdown table.
#
#   Bench/diff.sh                 3 rounds on both pairs
#   Bench/diff.sh --rounds N      N rounds
#   Bench/diff.sh --sizes 1m      a subset of 1m, 10m, 50m, 100m
#   Bench/diff.sh --sizes 100m    (not in the default set) the 100M pair,
#                                 about 2.8 GB a file, diffed with
#                                 --memory 512M (--memory SIZE to change it)
#                                 beside the in-memory diff of the 10M pair
#                                 (made too): peak RSS, wall, time a row;
#                                 the 50M pair when the disk has no room
#
# The pairs are made once with `tzrecon sample --dump-only` and kept under
# $TZRECON_BENCH_DIR (default /var/tmp/tzrecon-bench); DuckDB is installed
# with npm into build/bench-duckdb. Outputs go to a temporary folder (under
# $TMPDIR) that is removed at the end; the table is also saved under results/.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$root/build-bench
bench_dir=${TZRECON_BENCH_DIR:-/var/tmp/tzrecon-bench}
duckdb_version=1.5.6-r.1

rounds=3
sizes=1m,10m
memory=512M
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=${2:?--rounds needs a number}; shift ;;
    --sizes) sizes=${2:?--sizes needs a list}; shift ;;
    --memory) memory=${2:?--memory needs a size}; shift ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "diff.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
  shift
done
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || { echo "diff.sh: --rounds needs a positive number" >&2; exit 2; }
log() { echo "diff.sh: $*" >&2; }

# ---- Tools: sqlite3, GNU time, node and npm, Python 3 (the project's list). ----
"$root/scripts/install-deps.sh" >&2
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)
duckdb=$root/build/bench-duckdb
if [ ! -f "$duckdb/node_modules/@duckdb/node-api/package.json" ] ||
   ! grep -q "\"version\": \"$duckdb_version\"" "$duckdb/node_modules/@duckdb/node-api/package.json"; then
  log "installing @duckdb/node-api $duckdb_version into $duckdb"
  mkdir -p "$duckdb"
  [ -f "$duckdb/package.json" ] || echo '{"private": true}' > "$duckdb/package.json"
  (cd "$duckdb" && npm install --no-audit --no-fund "@duckdb/node-api@$duckdb_version" >&2)
fi

# ---- tzrecon, Release. ----
tzrecon=$("$here/build_tzrecon.sh" "$root" "$build")

# ---- Pairs, kept between runs. ----
declare -A rows_of=([1m]=1000000 [10m]=10000000 [50m]=50000000 [100m]=100000000)
mkdir -p "$bench_dir"
bench_dir=$(cd "$bench_dir" && pwd)
# A pair of N rows takes about 2 x 29 N bytes, and its bounded diff 24 N
# bytes of temporary files: without room for the 100M pair, the 50M one.
if [[ ",$sizes," == *,100m,* && ! -f "$bench_dir/diff-100m/ready" ]]; then
  need=$(( (2 * 29 + 24) * 100000000 / 1024 ))                          # KiB
  free=$(df -Pk "$bench_dir" | awk 'NR == 2 { print $4 }')
  if [ "$free" -lt "$need" ]; then
    log "not enough room for the 100M pair ($((need / 1048576)) GiB needed, $((free / 1048576)) GiB free in $bench_dir): the 50M pair instead"
    sizes=${sizes//100m/50m}
  fi
fi
pairs=()
bounded=()
IFS=, read -r -a wanted <<< "$sizes"
# A 50M or 100M pair is compared with the in-memory diff of the 10M pair.
make=("${wanted[@]}")
if [[ ",$sizes," =~ ,(50|100)m, && ",$sizes," != *,10m,* ]]; then make+=(10m); fi
for size in "${make[@]}"; do
  rows=${rows_of[$size]:-}
  [ -n "$rows" ] || { echo "diff.sh: unknown size '$size' (${!rows_of[*]})" >&2; exit 2; }
  dir=$bench_dir/diff-$size
  want="rows=$rows chunks-per-volume=1000 seed=1 changes=1"
  if [ ! -f "$dir/ready" ] || [ "$(cat "$dir/ready")" != "$want" ]; then
    log "making the pair $size in $dir"
    rm -rf "$dir"
    mkdir -p "$dir"
    common=(--rows "$rows" --chunks-per-volume 1000 --seed 1)
    "$tzrecon" sample --dump-only "$dir/old.csv" "${common[@]}" >&2
    "$tzrecon" sample --dump-only "$dir/new.csv" "${common[@]}" --changes 1 --mount-path-id 2 >&2
    echo "$want" > "$dir/ready"
    # The pair's pages written back now, not while the diffs are timed.
    sync
  fi
  case "$size" in
    50m|100m) bounded+=(--bounded "$rows:$memory:$dir/old.csv:$dir/new.csv") ;;
    *) if [[ ",$sizes," == *,$size,* ]]; then pairs+=(--pair "$rows:$rows:$dir/old.csv:$dir/new.csv"); fi
       [ "$size" != 10m ] || bounded+=(--reference "$rows:$dir/old.csv:$dir/new.csv") ;;
  esac
done
[[ ",$sizes," =~ ,(50|100)m, ]] || bounded=()

work=$(mktemp -d "${TMPDIR:-/tmp}/tzrecon-diff-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$bench_dir/results"
result=$bench_dir/results/diff-$(date -u +%Y%m%dT%H%M%SZ).md
"$python" "$here/diff_bench.py" --tzrecon "$tzrecon" --python "$python" --peers "$here/diff" \
  --node-path "$duckdb/node_modules" --work "$work" --rounds "$rounds" --result "$result" "${pairs[@]}" \
  "${bounded[@]}"
log "table saved to $result"
