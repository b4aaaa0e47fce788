#!/bin/bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting from
# its committed corpus (Fuzz/corpus/<target>/). New inputs go to a scratch
# folder, never into the repository. Fails on any finding; prints the
# executions and corpus sizes of every target.
#
#   scripts/fuzz.sh                   every target, 8 s each
#   TZ_FUZZ_SECONDS=60 scripts/fuzz.sh
#   TZ_FUZZ_SCRATCH=/tmp/f scripts/fuzz.sh   keep new inputs and crashes there
#
# A crash leaves its input in <scratch>/<target>/crash-*: fix the code, then
# copy that input into Fuzz/corpus/<target>/ so the replay test keeps it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${TZ_FUZZ_SECONDS:-8}
build=${TZ_FUZZ_BUILD:-$root/build/fuzz}
jobs=${TZ_FUZZ_JOBS:-2}
keep=${TZ_FUZZ_SCRATCH:+1}
scratch=${TZ_FUZZ_SCRATCH:-$(mktemp -d "${TMPDIR:-/tmp}/tzrecon-fuzz.XXXXXX")}
mkdir -p "$build" "$scratch"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTZRECON_BUILD_FUZZ=ON -DTZRECON_BUILD_TESTS=OFF > "$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j"$jobs" --target tz_fuzz_targets

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

failed=0
summary=()
while IFS=: read -r name maxlen; do
  [ -n "$name" ] || continue
  corpus="$root/Fuzz/corpus/$name"
  work="$scratch/$name"
  mkdir -p "$work/new"
  seeds=$(find "$corpus" -type f | wc -l)
  set +e
  "$build/Fuzz/fuzz_$name" "$work/new" "$corpus" \
    -max_total_time="$seconds" -max_len="$maxlen" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/" -print_final_stats=1 > "$work/log" 2>&1
  status=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  # libFuzzer's last status line says "corp: <units>/<bytes>".
  corp=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$work/log" | tail -1 | sed 's/corp: //')
  units=${corp%%/*}
  bytes=${corp#*/}
  added=$(find "$work/new" -type f | wc -l)
  if [ $status -ne 0 ]; then
    failed=1
    echo "fuzz_$name FAILED (status $status); its log ends:"
    tail -40 "$work/log"
    ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* 2> /dev/null || true
  fi
  summary+=("$(printf '%-12s %9s executions in %ss; corpus: %s committed, %s units (%s) at the end, %s new inputs written to %s' \
    "$name" "${execs:-?}" "$seconds" "$seeds" "${units:-?}" "${bytes:-?}" "$added" "$work/new")")
done < "$build/Fuzz/fuzz_targets.txt"

echo "fuzzing summary:"
printf '  %s\n' "${summary[@]}"
if [ $failed -ne 0 ]; then
  echo "fuzzing found a problem; inputs are in $scratch"
  exit 1
fi
if [ -z "$keep" ]; then
  rm -rf "$scratch"
  echo "no finding (new inputs discarded with $scratch; set TZ_FUZZ_SCRATCH to keep them)"
else
  echo "no finding"
fi
