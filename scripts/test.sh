#!/bin/bash
# Builds the project and runs its tests.
#
#   scripts/test.sh          the quick check: a Release build and every test
#                            of it (a few minutes on two cores)
#   scripts/test.sh --all    also what CI runs: the whole suite again under
#                            AddressSanitizer + UndefinedBehaviorSanitizer,
#                            the dumps on several threads under
#                            ThreadSanitizer, the fast suites once more with
#                            _FORTIFY_SOURCE=3 and the benchmarks built, and
#                            the fuzz targets for a bounded time
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

all=0
case "${1:-}" in
  "") ;;
  --all) all=1 ;;
  *) echo "usage: scripts/test.sh [--all]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
if [ -x scripts/install-test-servers.sh ]; then scripts/install-test-servers.sh; fi

export LC_ALL=C TZ=UTC0
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

jobs=$(nproc)

# run_suite DIR [--exclude-labels REGEX] CMAKE_ARGS...
run_suite() {
  local dir="$1"
  shift
  local ctest_args=()
  if [ "${1:-}" = "--exclude-labels" ]; then
    ctest_args=(-LE "$2")
    shift 2
  fi
  # Warnings fail the build here (and only here: TZRECON_WERROR is off for users).
  cmake -S "$root" -B "$dir" -DTZRECON_WERROR=ON "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" -j"$jobs"
  # Twice the processors: many tests wait on child processes or the S3
  # server rather than compute.
  (cd "$dir" && ctest --output-on-failure -j"$((2 * jobs))" --timeout 600 "${ctest_args[@]}")
}

mkdir -p build
run_suite build/release -DCMAKE_BUILD_TYPE=Release
if [ $all -eq 0 ]; then
  echo "the quick check passed (scripts/test.sh --all runs everything CI runs)"
  exit 0
fi
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTZRECON_SANITIZE=ON
# ThreadSanitizer, for the dumps on several threads at once: only the
# library's tests are built, and only those tests run.
cmake -S "$root" -B build/tsan -DTZRECON_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
  -DTZRECON_SANITIZE_THREAD=ON > build/tsan.configure.log 2>&1 || { cat build/tsan.configure.log; exit 1; }
cmake --build build/tsan -j"$jobs" --target library_tests
(cd build/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --timeout 600 \
  -R '^WindowThreads\.' --no-tests=error)
# Lint profile: glibc's strictest run-time buffer checks. The S3 and valgrind
# suites, slow and already run above, are left out here.
fortify="-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3"
run_suite build/lint --exclude-labels "s3|valgrind" -DCMAKE_BUILD_TYPE=Release \
  -DTZRECON_BUILD_BENCH=ON "-DCMAKE_CXX_FLAGS=$fortify" "-DCMAKE_C_FLAGS=$fortify"
# Coverage-guided fuzzing of the parsers for a bounded time (clang,
# libFuzzer, ASan + UBSan); any finding fails the run.
TZ_FUZZ_JOBS="$jobs" scripts/fuzz.sh
echo "all test suites passed"
