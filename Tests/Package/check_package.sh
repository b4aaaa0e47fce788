#!/bin/bash
# Installs the build into a temporary prefix and builds a small host program
# against it with find_package(TzLibVolRecon), then runs it.
set -euo pipefail
build="$1"
consumer="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
cmake -S "$consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/configure.log" \
  || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64" TZRECON_LOG="$work/host.log" "$work/build/consumer"
