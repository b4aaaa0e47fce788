#!/bin/bash
# The report page at scale: `tzrecon report` of a diff of two 10M-row dumps
# (made with `tzrecon sample --dump-only`, about 1 % of the rows of each
# kind changed) with both dumps, then the page opened N times in headless
# chromium. Prints the time and memory of `tzrecon report`, the page's
# size, and for each opening the time to the load event, the page script's
# own time and the time to the first frame after load.
#
#   Bench/page.sh [--rows N] [--rounds N]
#
# The dumps are kept under $TZRECON_BENCH_DIR (default /var/tmp/tzrecon-bench);
# puppeteer-core is installed with npm into build/browser-test.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
rows=10000000
rounds=5
while [ $# -gt 0 ]; do
  case "$1" in
    --rows) rows=${2:?}; shift ;;
    --rounds) rounds=${2:?}; shift ;;
    *) echo "page.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
  shift
done
"$root/scripts/install-deps.sh" >&2
bash "$root/Tests/Cli/browser/setup.sh" "$root/build/browser-test" >&2
tzrecon=$("$here/build_tzrecon.sh" "$root" "$root/build-bench")
dir=${TZRECON_BENCH_DIR:-/var/tmp/tzrecon-bench}/page-$rows
want="rows=$rows chunks-per-volume=1000 seed=1 changes=1"
if [ ! -f "$dir/ready" ] || [ "$(cat "$dir/ready")" != "$want" ]; then
  rm -rf "$dir" && mkdir -p "$dir"
  "$tzrecon" sample --dump-only "$dir/old.csv" --rows "$rows" --seed 1 >&2
  "$tzrecon" sample --dump-only "$dir/new.csv" --rows "$rows" --seed 1 --changes 1 --mount-path-id 2 >&2
  "$tzrecon" diff "$dir/old.csv" "$dir/new.csv" --output "$dir/diff.csv" 2> /dev/null || [ $? -eq 1 ]
  echo "$want" > "$dir/ready"
fi
rm -f "$dir/page.html"
/usr/bin/time -f "tzrecon report: %e s wall, %M KiB peak RSS" \
  "$tzrecon" report "$dir/diff.csv" "$dir/old.csv" "$dir/new.csv" --output "$dir/page.html"
echo "page: $(stat -c %s "$dir/page.html") bytes; load average $(cut -d' ' -f1-3 /proc/loadavg)"
node "$here/page_render.mjs" "$root/build/browser-test" "$dir/page.html" "$rounds"
