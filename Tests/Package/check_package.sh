#!/bin/bash
# Installs the build into a temporary prefix and checks what a user gets:
#   - the installed tzrecon runs with no LD_LIBRARY_PATH (run paths), prints
#     its version, and dumps a sample it writes itself;
#   - the manual page tzrecon(1) and the pkg-config file are installed, and a
#     host program builds against the package with pkg-config and with
#     find_package(TzLibVolRecon), and runs;
#   - the manual page names every command and option of tzrecon's help;
#   - the README's example host, built with the README's own command (which
#     gives a run path), dumps the sample with no LD_LIBRARY_PATH.
set -euo pipefail
build="$1"
consumer="$2"
readme="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH TZRECON_CONFIG TZRECON_LOG TZRECON_LOG_LEVEL
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" > "$work/install.log"
fail() { echo "package check: $*"; exit 1; }

tzrecon="$prefix/bin/tzrecon"
"$tzrecon" --help > "$work/help.txt" || fail "installed tzrecon --help failed"
grep -q "usage: tzrecon" "$work/help.txt" || fail "no usage from installed tzrecon"
version=$("$tzrecon" --version) || fail "installed tzrecon --version failed"
[[ "$version" =~ ^tzrecon\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "unexpected version line: $version"
"$tzrecon" sample "$work/lib" --volumes 2 --chunks-per-volume 10 --copy-id 3 \
  --config-out "$work/registry.json" > /dev/null || fail "installed tzrecon sample failed"
mkdir "$work/dumps"
dump=$("$tzrecon" dump --mount-path-id 1 --copy-id 3 --dump-dir "$work/dumps" \
  --config "$work/registry.json" --quiet) || fail "installed tzrecon dump failed"
rows=$(($(wc -l < "$dump") - 1))
[ "$rows" -eq 20 ] || fail "installed tzrecon dumped $rows rows, not 20"

man="$prefix/share/man/man1/tzrecon.1"
[ -f "$man" ] || fail "no manual page at $man"
grep -q "^.TH TZRECON 1 .*$version" "$man" || fail "manual page without title and version"

pc="$(find "$prefix" -name TzLibVolRecon.pc)"
[ -n "$pc" ] || fail "no pkg-config file"
export PKG_CONFIG_PATH="$(dirname "$pc")"
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/pc-consumer" "$consumer/main.cpp" $(pkg-config --cflags --libs TzLibVolRecon) \
  || fail "build with pkg-config failed"
LD_LIBRARY_PATH="$(pkg-config --variable=libdir TzLibVolRecon)" TZRECON_LOG="$work/host.log" \
  "$work/pc-consumer" || fail "the pkg-config consumer failed"

# Every command of the usage and every option of each command's help.
page=$(sed 's/\\-/-/g' "$man")
for command in $("$tzrecon" --help | awk '/^commands:/{f=1; next} f && /^  [a-z]/{print $1}'); do
  grep -q "tzrecon $command" <<< "$page" || fail "the manual page lacks the command $command"
  for option in $("$tzrecon" "$command" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    grep -q -- "$option" <<< "$page" || fail "the manual page lacks $command $option"
  done
done

# The README's example host: its C++ block, then its shell block, as written.
mkdir "$work/example"
awk '/<!-- example host:/{f=1} f && /^```cpp/{g=1; next} g && /^```/{exit} g' "$readme" \
  > "$work/example/dump.cpp"
awk '/<!-- example host:/{f=1} f && /^```sh/{g=1; next} g && /^```/{exit} g' "$readme" \
  > "$work/example/build.sh"
[ -s "$work/example/dump.cpp" ] && [ -s "$work/example/build.sh" ] || fail "no example host in $readme"
"$tzrecon" sample "$work/lib7" --volumes 2 --chunks-per-volume 10 --copy-id 7 \
  --config-out "$work/example/registry.json" > /dev/null || fail "installed tzrecon sample failed"
mkdir "$work/example/dumps"
(cd "$work/example" && TZRECON_LOG="$work/host.log" bash -e build.sh > out.txt 2>&1) \
  || { cat "$work/example/out.txt"; fail "the README's example host failed"; }
read -r example_dump example_size < "$work/example/out.txt"
[ "$example_size" -eq "$(stat -c %s "$work/example/$example_dump")" ] \
  && [ "$(($(wc -l < "$work/example/$example_dump") - 1))" -eq 20 ] \
  || fail "the README's example host printed: $(cat "$work/example/out.txt")"

cmake -S "$consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" > "$work/configure.log" \
  || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
TZRECON_LOG="$work/host.log" "$work/build/consumer"
echo "package ok: $version installed and run from $prefix"
