#!/bin/bash
# The README's "Many machines" recipe, run on one machine: three sample
# libraries on three "machines" (a registry each: a has mount paths 1 and 2,
# b has 3, c has 4, a folder-store cloud one), each machine's dumps run with
# `dump --all-mount-paths` through GNU parallel, gathered into one folder of
# the night, then one folder diff; a sample is changed and the next night is
# compared with the first.
#
#   many_machines.sh TZRECON
set -euo pipefail
tz=$(realpath "${1:?usage: many_machines.sh TZRECON}")
command -v parallel > /dev/null || { echo "GNU parallel is missing: run scripts/install-deps.sh" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/tzrecon-machines.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "many_machines.sh: $*" >&2; exit 1; }
# expect STATUS COMMAND...: runs COMMAND, its output in out.txt and err.txt.
expect() {
  local want=$1 got=0
  shift
  "$@" > out.txt 2> err.txt || got=$?
  [ "$got" -eq "$want" ] || { cat out.txt err.txt >&2; fail "'$*' exited $got, not $want"; }
}
# row COPY MOUNT_PATH: the table row of a mount path in out.txt.
row() { awk -v c="$1" -v m="$2" '$1 == c && $2 == m' out.txt; }
check_row() {  # check_row COPY MOUNT_PATH PATTERN
  row "$1" "$2" | grep -Eq -- "$3" || { cat out.txt >&2; fail "mount path $2: the row is not /$3/"; }
}

# ---- Three machines' libraries and registries (relative paths). ----
mkdir -p libs machines/a machines/b machines/c
"$tz" sample libs/mp1 --volumes 3 --chunks-per-volume 30 --copy-id 7 --seed 1 > /dev/null
"$tz" sample libs/mp2 --volumes 2 --chunks-per-volume 40 --copy-id 7 --seed 2 > /dev/null
"$tz" sample libs/mp3 --volumes 4 --chunks-per-volume 20 --copy-id 7 --seed 3 > /dev/null
"$tz" sample libs/mp4 --volumes 2 --chunks-per-volume 25 --copy-id 7 --seed 4 > /dev/null
echo '{"mountPaths": [{"id": 1, "path": "libs/mp1"}, {"id": 2, "path": "libs/mp2"}]}' > registry-a.json
echo '{"mountPaths": [{"id": 3, "path": "libs/mp3"}]}' > registry-b.json
echo '{"mountPaths": [{"id": 4, "path": "libs/mp4", "type": 7}]}' > registry-c.json

# night NAME MACHINE...: each machine dumps its own mount paths into its own
# folder (as the timer of contrib/ would), all at once through GNU parallel;
# then the dumps and their records are gathered into gather/NAME.
night() {
  local name=$1
  shift
  parallel --will-cite --halt now,fail=1 --tag \
    "mkdir -p machines/{}/$name && '$tz' dump --all-mount-paths --copy-id 7 --jobs 2 --quiet \
       --config registry-{}.json --dump-dir machines/{}/$name --log machines/{}/tzrecon.log" \
    ::: "$@" > "parallel-$name.txt"
  mkdir -p "gather/$name"
  parallel --will-cite "cp -p machines/{}/$name/ChunkLister_* gather/$name/" ::: "$@"
  local dumps
  dumps=$(wc -l < "parallel-$name.txt")
  [ "$(ls "gather/$name" | grep -c '^ChunkLister_7_[1-4]_[0-9]*\.csv$')" -eq "$dumps" ] ||
    fail "gather/$name: not the $dumps dumps"
  [ "$(ls "gather/$name" | grep -c '\.csv\.json$')" -eq "$dumps" ] || fail "gather/$name: not $dumps records"
}

night night1 a b c
[ "$(wc -l < parallel-night1.txt)" -eq 4 ] || fail "not 4 dumps"
# The same library the next night: every mount path the same.
night night2 a b c
expect 0 "$tz" diff gather/night1 gather/night2 --output diffs/night2
for mp in 1 2 3 4; do check_row 7 "$mp" ' same +complete +0 +0 +0 +0 '; done
tail -n 1 out.txt | grep -qx '4 mount paths: 4 same, 0 different, 0 only in OLD, 0 only in NEW, 0 failed' ||
  fail "the count line: $(tail -n 1 out.txt)"
[ "$(ls diffs/night2 | wc -l)" -eq 4 ] || fail "not 4 diff files"

# Machine b loses a chunk; a chunk of mount path 1 is cut short; machine c
# is not dumped the third night.
size=$(stat -c %s libs/mp1/V_2/CHUNK_35)
rm libs/mp3/V_2/CHUNK_27 libs/mp3/V_2/CHUNKMAP_TRAILER_27
truncate -s 10 libs/mp1/V_2/CHUNK_35
night night3 a b
expect 1 "$tz" diff gather/night1 gather/night3 --output diffs/night3 --jobs 3
check_row 7 1 " different +complete +0 +0 +1 +0 "
check_row 7 2 " same +complete "
check_row 7 3 " different +complete +1 +0 +0 +0 "
check_row 7 4 " only in OLD +complete +- +- +- +- +gather/night1/ChunkLister_7_4_[0-9]+\.csv +- +- *$"
grep -qx 'missing,2,27,[0-9]*,,0,' diffs/night3/ChunkDiff_7_3.csv || fail "mount path 3: no missing row"
grep -qx "changed,2,35,$size,10,0,0" diffs/night3/ChunkDiff_7_1.csv || fail "mount path 1: no changed row"
[ ! -e diffs/night3/ChunkDiff_7_4.csv ] || fail "a diff file for a mount path on one side"
# Each diff file is the single diff of its pair.
for mp in 1 2 3; do
  old=$(ls gather/night1/ChunkLister_7_${mp}_*.csv) new=$(ls gather/night3/ChunkLister_7_${mp}_*.csv)
  "$tz" diff "$old" "$new" --output "single-$mp.csv" 2> /dev/null || true
  cmp -s "single-$mp.csv" "diffs/night3/ChunkDiff_7_$mp.csv" || fail "mount path $mp: not the single diff"
done

# The same as JSON, for scripts; and the same OUT_DIR again is refused.
expect 1 "$tz" diff gather/night1 gather/night3 --output diffs/night3-json --json
python3 - out.txt <<'PY'
import json, sys
pairs = json.load(open(sys.argv[1]))
got = [(p["mountPathId"], p["outcome"], p["missing"], p["changed"]) for p in pairs]
want = [(1, "different", 0, 1), (2, "same", 0, 0), (3, "different", 1, 0), (4, "only in OLD", None, None)]
assert got == want, got
PY
expect 2 "$tz" diff gather/night1 gather/night3 --output diffs/night3
grep -q "holds diffs/night3/ChunkDiff_7_1.csv and 2 more diff files already" err.txt || fail "$(cat err.txt)"
# A dump that failed in the gathered folder (its record says so) is passed over.
failed=gather/night3/ChunkLister_7_2_9999999999.csv
cp "$(ls gather/night3/ChunkLister_7_2_*.csv | head -n 1)" "$failed"
python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); r["ok"]=False; json.dump(r, open(sys.argv[2], "w"))' \
  "$(ls gather/night3/ChunkLister_7_2_*.csv.json | head -n 1)" "$failed.json"
expect 1 "$tz" diff gather/night1 gather/night3 --output diffs/night3-again
check_row 7 2 " same +complete "
grep -q "copy 7, mount path 2: passed over NEW $failed: its record $failed.json says the dump failed" out.txt ||
  { cat out.txt >&2; fail "the failed dump is not named"; }
echo "many_machines.sh: the recipe holds"
