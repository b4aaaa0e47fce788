#!/bin/bash
# The dump benchmark: the library's chunk-lister dump (through `tzrecon dump`)
# beside a reference walker in C (refwalk.c), `find` and a Python os.scandir
# script (scandir_dump.py), on sample libraries of 10k, 100k and 1M chunks
# (and 100k single-instanced metadata files), on a warm cache; then on a cold
# cache and through a slow FUSE file system (slowfs.c), beside the reference
# walker, a parallel probe (parprobe.c), find, fdfind and gdu. Prints
# Markdown tables.
#
#   Bench/run.sh                 everything: 5 warm rounds, 3 cold, 3 slow
#   Bench/run.sh --quick         3 warm rounds
#   Bench/run.sh --rounds N      N warm rounds
#   Bench/run.sh --samples m1-10k,m2-100k   warm: a subset of m1-10k, m1-100k,
#                                m1-1m (traverse mode 1) and m2-100k (mode 2),
#                                or "none"
#   Bench/run.sh --cold LIST     cold cache (root only: the page cache is
#                                dropped before each run): default
#                                m1-100k,m1-1m; "none" skips
#   Bench/run.sh --cold-rounds N (default 3)
#   Bench/run.sh --slow LIST     through slowfs: default m1-10k; "none" skips
#   Bench/run.sh --slow-rounds N (default 3)
#   Bench/run.sh --delay-us N    slowfs's delay per request (default 1000)
#   Bench/run.sh --s3            also the S3 table (s3rver on 127.0.0.1)
#
# Samples are made once with `tzrecon sample` and kept between runs under
# $TZRECON_BENCH_DIR (default /var/tmp/tzrecon-bench); delete a sample's
# folder there to make it again. The table is also saved under results/ there.
# Dumps and logs go to a temporary folder (under $TMPDIR) that is removed at
# the end.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$root/build-bench
bench_dir=${TZRECON_BENCH_DIR:-/var/tmp/tzrecon-bench}

rounds=5
samples=m1-10k,m1-100k,m1-1m,m2-100k
cold=m1-100k,m1-1m
cold_rounds=3
slow=m1-10k
slow_rounds=3
delay_us=1000
s3=0
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) rounds=3 ;;
    --rounds) rounds=${2:?--rounds needs a number}; shift ;;
    --samples) samples=${2:?--samples needs a list}; shift ;;
    --cold) cold=${2:?--cold needs a list}; shift ;;
    --cold-rounds) cold_rounds=${2:?--cold-rounds needs a number}; shift ;;
    --slow) slow=${2:?--slow needs a list}; shift ;;
    --slow-rounds) slow_rounds=${2:?--slow-rounds needs a number}; shift ;;
    --delay-us) delay_us=${2:?--delay-us needs a number}; shift ;;
    --s3) s3=1 ;;
    -h|--help) sed -n '2,28p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
  shift
done

log() { echo "run.sh: $*" >&2; }

for n in "$rounds" "$cold_rounds" "$slow_rounds"; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: rounds must be positive numbers" >&2; exit 2; }
done
[[ "$delay_us" =~ ^[0-9]+$ ]] || { echo "run.sh: --delay-us needs a number" >&2; exit 2; }
[ "$samples" = none ] && samples=
[ "$cold" = none ] && cold=
[ "$slow" = none ] && slow=

# ---- Tools: strace, GNU time, a C compiler, Python 3, libfuse3, fd-find, gdu
# (the project's list). ----
"$root/scripts/install-deps.sh" >&2
# Debian's own Python is the peer a user of this machine would have.
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)

# ---- Builds (Release): tzrecon, the reference walker, the parallel probe
# and the slow file system. ----
log "configuring $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTZRECON_BUILD_BENCH=ON \
  > "$build.configure.log" 2>&1 || { cat "$build.configure.log" >&2; exit 1; }
targets=(tzrecon refwalk parprobe)
grep -q '^FUSE3_FOUND:INTERNAL=1' "$build/CMakeCache.txt" && targets+=(slowfs)
log "building ${targets[*]} in $build"
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" > "$build.build.log" 2>&1 ||
  { tail -50 "$build.build.log" >&2; exit 1; }
tzrecon=$build/Cli/tzrecon
refwalk=$build/Bench/refwalk
parprobe=$build/Bench/parprobe
slowfs=$build/Bench/slowfs
[ -x "$slowfs" ] || slowfs=

# ---- Samples, kept between runs. ----
# name -> "traverse mode, volumes, chunks per volume". Mode 2 volumes hold
# chunk folders of 1 to 3 metadata files (2 on average): 50 x 1000 folders
# give about 100k records.
declare -A shape=(
  [m1-10k]="1 10 1000"
  [m1-100k]="1 100 1000"
  [m1-1m]="1 1000 1000"
  [m2-100k]="2 50 1000"
)
copy_id=7
mkdir -p "$bench_dir"
bench_dir=$(cd "$bench_dir" && pwd)
export TZRECON_BENCH_DIR=$bench_dir  # for s3.sh
IFS=, read -r -a wanted <<< "$samples"
IFS=, read -r -a cold_wanted <<< "$cold"
IFS=, read -r -a slow_wanted <<< "$slow"
# The S3 bucket is filled from the 10k sample.
to_make=("${wanted[@]}" "${cold_wanted[@]}" "${slow_wanted[@]}")
[ "$s3" = 1 ] && to_make+=(m1-10k)
for name in $(printf '%s\n' "${to_make[@]}" | sort -u); do
  [ -n "${shape[$name]:-}" ] || { echo "run.sh: unknown sample '$name' (${!shape[*]})" >&2; exit 2; }
  read -r mode volumes per_volume <<< "${shape[$name]}"
  dir=$bench_dir/$name
  # The marker holds the shape and is written last: a sample cut short by an
  # interrupted run, or made with another shape, is made again.
  want="mode=$mode volumes=$volumes chunks-per-volume=$per_volume copy-id=$copy_id"
  if [ -f "$dir/ready" ] && [ "$(cat "$dir/ready")" = "$want" ]; then
    continue
  fi
  # A trailer takes a 4 KiB block; the chunk files are sparse.
  need_kib=$(( volumes * per_volume * 3 * 5 ))
  avail_kib=$(df -Pk "$bench_dir" | awk 'NR==2 {print $4}')
  if [ "$avail_kib" -lt $(( need_kib + 1048576 )) ]; then
    echo "run.sh: $bench_dir has $((avail_kib / 1024)) MiB free, sample $name needs about $((need_kib / 1024)) MiB" >&2
    exit 1
  fi
  log "making sample $name ($want) in $dir"
  rm -rf "$dir"
  mkdir -p "$dir"
  si_flag=()
  [ "$mode" = 2 ] && si_flag=(--single-instanced)
  "$tzrecon" sample "$dir/lib" --volumes "$volumes" --chunks-per-volume "$per_volume" \
    --copy-id "$copy_id" "${si_flag[@]}" --config-out "$dir/registry.json" >&2
  echo "$want" > "$dir/ready"
done

# ---- The measurements. ----
work=$(mktemp -d "${TMPDIR:-/tmp}/tzrecon-bench.XXXXXX")
# slowfs is mounted on $work/slow for one run at a time; whatever happens, it
# is unmounted before the folder is removed.
slow_mount=$work/slow
mkdir "$slow_mount"
cleanup() {
  if mountpoint -q "$slow_mount"; then
    fusermount3 -u "$slow_mount" 2>/dev/null || fusermount3 -u -z "$slow_mount" || true
  fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$bench_dir/results"
result=$bench_dir/results/$(date -u +%Y%m%dT%H%M%SZ).md

args=(--tzrecon "$tzrecon" --refwalk "$refwalk" --python "$python"
      --scandir "$here/scandir_dump.py" --bench-dir "$bench_dir" --work "$work"
      --rounds "$rounds" --copy-id "$copy_id" --result "$result"
      --parprobe "$parprobe" --cold-rounds "$cold_rounds" --slow-rounds "$slow_rounds"
      --delay-us "$delay_us" --slow-mount "$slow_mount")
[ -n "$slowfs" ] && args+=(--slowfs "$slowfs")
for name in "${wanted[@]}"; do
  read -r mode _ _ <<< "${shape[$name]}"
  args+=(--sample "$name:$mode")
done
for name in "${cold_wanted[@]}"; do
  read -r mode _ _ <<< "${shape[$name]}"
  args+=(--cold "$name:$mode")
done
for name in "${slow_wanted[@]}"; do
  read -r mode _ _ <<< "${shape[$name]}"
  args+=(--slow "$name:$mode")
done
# A dump that differs from tzrecon's fails the run, after the table.
status=0
"$python" "$here/bench.py" "${args[@]}" || status=$?

if [ "$s3" = 1 ]; then
  "$here/s3.sh" "$tzrecon" "$work" "$rounds" "$python" | tee -a "$result"
fi
log "table saved to $result"
exit $status
