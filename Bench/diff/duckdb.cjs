// node duckdb.cjs OLD NEW OUT: the differences of two chunk-lister dumps
// with DuckDB (npm @duckdb/node-api): read_csv of both, a full outer join,
// COPY of the differences as `tzrecon diff` writes them. Keys listed twice in
// one file are not looked for. The package is found through NODE_PATH.
const { DuckDBInstance } = require('@duckdb/node-api');

const [oldFile, newFile, out] = process.argv.slice(2);
const quoted = (text) => `'${text.replaceAll("'", "''")}'`;
const read = (file) =>
  `read_csv(${quoted(file)}, header = true, delim = ',', ` +
  `columns = {'mp': 'INTEGER', 'vol': 'INTEGER', 'chunk': 'INTEGER', 'size': 'UBIGINT', 'si': 'INTEGER'})`;
async function main() {
  const instance = await DuckDBInstance.create(':memory:');
  const connection = await instance.connect();
  await connection.run(`
    COPY (
      SELECT CASE WHEN n.vol IS NULL THEN 'missing' WHEN o.vol IS NULL THEN 'new' ELSE 'changed' END
               AS "Change",
             coalesce(o.vol, n.vol) AS "Volume-ID", coalesce(o.chunk, n.chunk) AS "Chunk-ID",
             o.size AS "Old-Size", n.size AS "New-Size", o.si AS "Old-SIVolume", n.si AS "New-SIVolume"
      FROM ${read(oldFile)} o FULL OUTER JOIN ${read(newFile)} n ON o.vol = n.vol AND o.chunk = n.chunk
      WHERE o.vol IS NULL OR n.vol IS NULL OR o.size <> n.size OR o.si <> n.si
      ORDER BY 2, 3
    ) TO ${quoted(out)} (HEADER, DELIMITER ',')`);
  connection.closeSync();
  instance.closeSync();
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
