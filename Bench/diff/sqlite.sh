#!/bin/bash
# sqlite.sh OLD NEW OUT: the differences of two chunk-lister dumps with the
# sqlite3 shell: both imported (the header skipped; " 12" reads as the
# integer 12), indexed on (volume, chunk), a full outer join, written as
# `tzrecon diff` writes them. Keys listed twice in one file are not looked for.
set -euo pipefail
sqlite3 -batch -bail :memory: <<SQL
CREATE TABLE old(mp INTEGER, vol INTEGER, chunk INTEGER, size INTEGER, si INTEGER);
CREATE TABLE new(mp INTEGER, vol INTEGER, chunk INTEGER, size INTEGER, si INTEGER);
.import --csv --skip 1 '$1' old
.import --csv --skip 1 '$2' new
CREATE INDEX old_key ON old(vol, chunk);
CREATE INDEX new_key ON new(vol, chunk);
.mode csv
.separator , "\\n"
.headers on
.output '$3'
SELECT CASE WHEN n.vol IS NULL THEN 'missing' WHEN o.vol IS NULL THEN 'new' ELSE 'changed' END
         AS "Change",
       coalesce(o.vol, n.vol) AS "Volume-ID", coalesce(o.chunk, n.chunk) AS "Chunk-ID",
       o.size AS "Old-Size", n.size AS "New-Size", o.si AS "Old-SIVolume", n.si AS "New-SIVolume"
FROM old o FULL OUTER JOIN new n ON o.vol = n.vol AND o.chunk = n.chunk
WHERE o.vol IS NULL OR n.vol IS NULL OR o.size <> n.size OR o.si <> n.si
ORDER BY 2, 3;
SQL
