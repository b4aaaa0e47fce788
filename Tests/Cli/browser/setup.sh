#!/bin/bash
# Installs puppeteer-core with npm into DIR, once, for the browser test of
# the report page (it drives Debian's chromium; it downloads no browser).
#
#   setup.sh DIR
set -euo pipefail
dir=${1:?usage: setup.sh DIR}
version=24.43.1  # the last line that runs on Debian 12's Node.js 18 and later
installed=$dir/node_modules/puppeteer-core/package.json
mkdir -p "$dir"
exec 9> "$dir/.lock"
flock 9  # builds that share DIR install it once
if [ -f "$installed" ] && grep -q "\"version\": \"$version\"" "$installed"; then
  exit 0
fi
command -v npm > /dev/null || { echo "setup.sh: npm is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
[ -f "$dir/package.json" ] || echo '{"private": true}' > "$dir/package.json"
cd "$dir"
npm install --no-audit --no-fund --loglevel=error "puppeteer-core@$version"
