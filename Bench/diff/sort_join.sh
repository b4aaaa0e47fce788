#!/bin/bash
# sort_join.sh OLD NEW OUT: the differences of two chunk-lister dumps with
# sort, join and awk, written as `tzrecon diff` writes them. The rows'
# separators are ", ", lines end in CR LF and the first line is a header, so
# each file is turned into "volume:chunk,size,flag" lines first; join needs
# its key sorted as text (both files at once, into temporary files), the
# result is sorted again by the numeric ids.
# Keys listed twice in one file are not looked for.
set -euo pipefail
export LC_ALL=C
keyed() {
  tail -n +2 "$1" | tr -d '\r' | awk -F', ' -v OFS=, '{ print $2 ":" $3, $4, $5 }' | sort -t, -k1,1
}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/sort-join.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
keyed "$1" > "$tmp/old" &
old_job=$!
keyed "$2" > "$tmp/new" &
wait $! && wait $old_job  # a failed half fails the script
{
  echo "Change,Volume-ID,Chunk-ID,Old-Size,New-Size,Old-SIVolume,New-SIVolume"
  join -t, -a1 -a2 -e NONE -o 0,1.2,1.3,2.2,2.3 "$tmp/old" "$tmp/new" |
    awk -F, -v OFS=, '{
      split($1, id, ":")
      if ($4 == "NONE") print "missing", id[1], id[2], $2, "", $3, ""
      else if ($2 == "NONE") print "new", id[1], id[2], "", $4, "", $5
      else if ($2 != $4 || $3 != $5) print "changed", id[1], id[2], $2, $4, $3, $5
    }' |
    sort -t, -k2,2n -k3,3n
} > "$3"
