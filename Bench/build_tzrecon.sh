#!/bin/bash
# build_tzrecon.sh ROOT BUILD: configures BUILD (Release) when it is new and
# builds tzrecon there, logs beside it; prints the binary's path. Used by the
# benchmark scripts.
set -euo pipefail
root=$1
build=$2
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "configuring $build" >&2
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release > "$build.configure.log" 2>&1 ||
    { cat "$build.configure.log" >&2; exit 1; }
fi
echo "building tzrecon in $build" >&2
cmake --build "$build" -j"$(nproc)" --target tzrecon > "$build.build.log" 2>&1 ||
  { tail -50 "$build.build.log" >&2; exit 1; }
echo "$build/Cli/tzrecon"
