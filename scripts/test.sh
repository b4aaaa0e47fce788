#!/bin/bash
# Builds the project and runs the whole test suite twice: once in a normal
# build and once under AddressSanitizer + UndefinedBehaviorSanitizer.
#
#   scripts/test.sh            everything
#   scripts/test.sh --no-sanitize   the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

sanitize=1
[ "${1:-}" = "--no-sanitize" ] && sanitize=0

scripts/install-deps.sh
if [ -x scripts/install-test-servers.sh ]; then scripts/install-test-servers.sh; fi

export LC_ALL=C TZ=UTC0
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

jobs=$(nproc)

run_suite() {
  local dir="$1"
  shift
  cmake -S "$root" -B "$dir" "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600)
}

mkdir -p build
run_suite build/release -DCMAKE_BUILD_TYPE=Release -DTZRECON_BUILD_BENCH=ON
if [ $sanitize -eq 1 ]; then
  run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTZRECON_SANITIZE=ON
fi
# Coverage-guided fuzzing of the parsers for a bounded time (clang,
# libFuzzer, ASan + UBSan); any finding fails the run.
TZ_FUZZ_JOBS="$jobs" scripts/fuzz.sh
echo "all test suites passed"
