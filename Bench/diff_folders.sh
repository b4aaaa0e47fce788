#!/bin/bash
# The folder diff benchmark: `tzrecon diff OLD_DIR NEW_DIR` of two runs of 8
# mount paths (dump files with their records, as `tzrecon dump
# --all-mount-paths` leaves them) against the sum of the 8 single diffs run
# one after the other, and against the 8 single diffs run by GNU parallel.
# Wall times, rounds alternating; prints one Markdown table.
#
#   Bench/diff_folders.sh                  3 rounds, 1M rows a dump
#   Bench/diff_folders.sh --rows N         N rows a dump
#   Bench/diff_folders.sh --rounds N       N rounds
#   Bench/diff_folders.sh --mount-paths N  N mount paths (default 8)
#
# The dumps are made once with `tzrecon sample --dump-only` (NEW with
# --changes 1), each with a record, and kept under $TZRECON_BENCH_DIR
# (default /var/tmp/tzrecon-bench); tzrecon is built (Release) in
# $TZRECON_BENCH_BUILD (default build-bench/). Outputs go to a temporary
# folder that is removed at the end. Every diff file of the folder diff is
# checked to be the single diff's, byte for byte.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${TZRECON_BENCH_BUILD:-$root/build-bench}
bench_dir=${TZRECON_BENCH_DIR:-/var/tmp/tzrecon-bench}
rounds=3
rows=1000000
mount_paths=8
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=${2:?--rounds needs a number}; shift ;;
    --rows) rows=${2:?--rows needs a number}; shift ;;
    --mount-paths) mount_paths=${2:?--mount-paths needs a number}; shift ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "diff_folders.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
  shift
done
for n in "$rounds" "$rows" "$mount_paths"; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "diff_folders.sh: '$n' is not a positive number" >&2; exit 2; }
done
log() { echo "diff_folders.sh: $*" >&2; }

"$root/scripts/install-deps.sh" >&2
tzrecon=$("$here/build_tzrecon.sh" "$root" "$build")
cores=$(nproc)

# ---- Two runs of N mount paths, kept between runs. ----
dir=$bench_dir/diff-folders-$mount_paths-$rows
want="rows=$rows mount-paths=$mount_paths chunks-per-volume=1000 changes=1"
if [ ! -f "$dir/ready" ] || [ "$(cat "$dir/ready")" != "$want" ]; then
  log "making $mount_paths pairs of $rows rows in $dir"
  rm -rf "$dir"
  mkdir -p "$dir/old" "$dir/new"
  for mp in $(seq 1 "$mount_paths"); do
    for side in old new; do
      time=$([ $side = old ] && echo 1796700000 || echo 1796786400)
      file=$dir/$side/ChunkLister_1_${mp}_$time.csv
      extra=()
      [ $side = new ] && extra=(--changes 1)
      "$tzrecon" sample --dump-only "$file" --rows "$rows" --chunks-per-volume 1000 --seed "$mp" \
        --mount-path-id "$mp" "${extra[@]}" >&2
      # The record tzrecon dump leaves: rows, bytes and SHA-256 of the file.
      python3 - "$file" <<'PY'
import hashlib, json, os, sys
path = sys.argv[1]
data = open(path, "rb").read()
record = {"ok": True, "mountPathId": 0, "rows": data.count(b"\n") - 1, "bytes": len(data),
          "sha256": hashlib.sha256(data).hexdigest()}
json.dump(record, open(path + ".json", "w"))
PY
    done
  done
  echo "$want" > "$dir/ready"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tzrecon-folders-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
# measure I ROUND COMMAND...: wall, user and system time (children included).
measure() {
  local i=$1 round=$2 t
  shift 2
  t=$( { TIMEFORMAT='%R %U %S'; time "$@" > /dev/null; } 2>&1 | tail -n 1)
  read -r "wall[$i,$round]" user sys <<< "$t"
  cpu[$i,$round]=$(python3 -c "print(f'{$user + $sys:.2f}')")
}

singles() {  # the single diffs one after the other
  local out=$work/singles-$1
  mkdir -p "$out"
  for mp in $(seq 1 "$mount_paths"); do
    "$tzrecon" diff "$dir"/old/ChunkLister_1_"${mp}"_*.csv "$dir"/new/ChunkLister_1_"${mp}"_*.csv \
      --output "$out/ChunkDiff_1_$mp.csv" --json > /dev/null || [ $? -eq 1 ]
  done
}
parallel_singles() {  # the single diffs through GNU parallel, one per core
  local out=$work/parallel-$1
  mkdir -p "$out"
  seq 1 "$mount_paths" | parallel --will-cite -j "$cores" \
    "'$tzrecon' diff '$dir'/old/ChunkLister_1_{}_*.csv '$dir'/new/ChunkLister_1_{}_*.csv \
      --output '$out/ChunkDiff_1_{}.csv' --json > /dev/null || [ \$? -eq 1 ]"
}
folder() {  # folder JOBS ROUND
  "$tzrecon" diff "$dir/old" "$dir/new" --output "$work/folder-$1-$2" --jobs "$1" --json \
    > "$work/folder-$1-$2.json" || [ $? -eq 1 ]
}

declare -A wall cpu
names=("single diffs, one after another" "single diffs, GNU parallel -j $cores" "folder diff --jobs 1" "folder diff --jobs $cores")
load_start=$(cut -d' ' -f1 /proc/loadavg)
for round in $(seq 1 "$rounds"); do
  log "round $round of $rounds"
  measure 0 "$round" singles "$round"
  measure 1 "$round" parallel_singles "$round"
  measure 2 "$round" folder 1 "$round"
  measure 3 "$round" folder "$cores" "$round"
  for run in "folder-1-$round" "folder-$cores-$round" "parallel-$round"; do
    for mp in $(seq 1 "$mount_paths"); do
      cmp -s "$work/singles-$round/ChunkDiff_1_$mp.csv" "$work/$run/ChunkDiff_1_$mp.csv" ||
        { log "$run: mount path $mp is not the single diff"; exit 1; }
    done
  done
  rm -rf "$work"/singles-* "$work"/parallel-* "$work"/folder-*
done
load_end=$(cut -d' ' -f1 /proc/loadavg)

median() { tr ' ' '\n' <<< "$*" | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
echo
echo "Folder diff benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'): $mount_paths mount paths of $rows rows a dump" \
  "(NEW with --changes 1), records checked; rounds $rounds, warm cache; $cores cores;" \
  "load average $load_start at the start, $load_end at the end."
echo
echo "| Implementation | Median wall (s) | × the sum of single diffs | Median CPU user + sys (s) | Wall of each round (s) |"
echo "|---|---:|---:|---:|---|"
base=""
for i in 0 1 2 3; do
  walls="" cpus=""
  for round in $(seq 1 "$rounds"); do
    walls="$walls ${wall[$i,$round]}"
    cpus="$cpus ${cpu[$i,$round]}"
  done
  m=$(median $walls)
  [ -n "$base" ] || base=$m
  ratio=$(python3 -c "print(f'{$m / $base:.2f}')")
  echo "| ${names[$i]} | $m | $ratio | $(median $cpus) |$walls |"
done
