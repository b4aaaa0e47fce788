#!/usr/bin/env bash
# The main job end to end: build tzrecon if needed, write a sample disk
# library, run the chunk-lister dump on it, and show where the dump is and its
# first rows.
#
#   scripts/demo.sh
#
# Environment (all optional):
#   BUILD_DIR          build folder (default: ./build/release)
#   OUT_DIR            where the sample and the dump go (default: ./out/demo)
#   VOLUMES            volumes in the sample (default 20)
#   CHUNKS_PER_VOLUME  chunks in each volume (default 500)
#   SINGLE_INSTANCED   1 for a single-instanced sample and dump
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build/release}"
out="${OUT_DIR:-$root/out/demo}"
volumes="${VOLUMES:-20}"
chunks="${CHUNKS_PER_VOLUME:-500}"
si=()
if [ "${SINGLE_INSTANCED:-0}" = 1 ]; then si=(--single-instanced); fi

if [ -f "$root/scripts/install-deps.sh" ]; then
  echo "== checking the build dependencies"
  bash "$root/scripts/install-deps.sh"
fi

echo "== building tzrecon in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target tzrecon >/dev/null
tzrecon="$build/Cli/tzrecon"

# Only the folders this script makes are replaced.
rm -rf -- "$out/library" "$out/dumps" "$out/registry.json"
mkdir -p "$out/dumps"

echo "== writing a sample library: $volumes volumes x $chunks chunks"
"$tzrecon" sample "$out/library" --volumes "$volumes" --chunks-per-volume "$chunks" \
  --copy-id 1 --mount-path-id 1 --config-out "$out/registry.json" "${si[@]}"

echo "== dumping mount path 1, copy 1"
"$tzrecon" dump --mount-path-id 1 --copy-id 1 --dump-dir "$out/dumps" \
  --config "$out/registry.json" --log "$out/host.log" "${si[@]}" | tee "$out/dump-summary.txt"

dump_file="$(head -n 1 "$out/dump-summary.txt")"
echo
echo "dump file: $dump_file"
echo "host log:  $out/host.log"
echo "first rows:"
head -n 6 "$dump_file"
