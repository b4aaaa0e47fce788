// The report page in a real browser: Debian's chromium, headless, driven by
// puppeteer-core. A sample library is dumped, changed (a trailer removed, a
// chunk removed, a trailer naming another chunk, a label removed, a size
// changed, a chunk added) and dumped again; the diff and both dumps make a
// page. What the page shows once its script has run must be what this
// file reads from the CSV files itself, with no console error and no
// request beyond the page's own file.
//
//   node report_page_test.mjs TZRECON NODE_MODULES_DIR
// Exit status: 0 passed, 1 failed, 77 no chromium (skipped).
import { spawnSync } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const [tzrecon, modules] = process.argv.slice(2).map((p) => path.resolve(p));
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
if (!fs.existsSync(chromium)) {
  console.log(`no ${chromium}: skipped (scripts/install-deps.sh installs it)`);
  process.exit(77);
}
const puppeteer = createRequire(path.join(modules, 'package.json'))('puppeteer-core');

let passed = 0, failed = 0;
function check(ok, what, detail = '') {
  if (ok) passed++;
  else { failed++; console.log(`FAILED: ${what} ${detail}`); }
}
const same = (actual, expected, what) => check(actual === expected, what,
  `: the page shows ${JSON.stringify(actual)}, the CSV gives ${JSON.stringify(expected)}`);

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tzrecon-page-'));
const run = (args, ok = [0]) => {
  const r = spawnSync(tzrecon, args, { cwd: tmp, encoding: 'utf8' });
  if (!ok.includes(r.status)) throw new Error(`tzrecon ${args.join(' ')}: status ${r.status}\n${r.stderr}`);
  return r.stdout.trim();
};

// ---- The library, its two dumps, their diff and the page.
const lib = path.join(tmp, 'lib');
run(['sample', lib, '--volumes', '5', '--chunks-per-volume', '30', '--copy-id', '7', '--config-out', 'reg.json']);
const oldDir = path.join(tmp, 'old'), newDir = path.join(tmp, 'new <&"\'> dumps');
fs.mkdirSync(oldDir);
fs.mkdirSync(newDir);
const dump = (dir) => run(['dump', '--mount-path-id', '1', '--copy-id', '7', '--dump-dir', path.basename(dir), '--config', 'reg.json', '--quiet']);
const oldDump = dump(oldDir);
const chunkIds = (v) => fs.readdirSync(path.join(lib, `V_${v}`)).filter((n) => /^CHUNK_\d+$/.test(n))
  .map((n) => Number(n.slice(6))).sort((a, b) => a - b);
const [trailerGone] = chunkIds(2);
const [chunkGone, trailerOther] = chunkIds(3);
const [resized] = chunkIds(5);
fs.unlinkSync(path.join(lib, 'V_2', `CHUNKMAP_TRAILER_${trailerGone}`));
fs.unlinkSync(path.join(lib, 'V_3', `CHUNK_${chunkGone}`));
const fd = fs.openSync(path.join(lib, 'V_3', `CHUNKMAP_TRAILER_${trailerOther}`), 'r+');
fs.writeSync(fd, `VolumeId 3\nChunkId ${trailerOther + 100000}\n`, 0);
fs.closeSync(fd);
fs.unlinkSync(path.join(lib, 'V_4', 'MEDIA_LABEL'));
fs.truncateSync(path.join(lib, 'V_5', `CHUNK_${resized}`), 12345);
fs.writeFileSync(path.join(lib, 'V_5', 'CHUNK_777777'), 'x'.repeat(4321));
fs.writeFileSync(path.join(lib, 'V_5', 'CHUNKMAP_TRAILER_777777'), 'VolumeId 5\nChunkId 777777\n'.padEnd(1024, '.'));
const newDump = dump(newDir);
run(['diff', oldDump, newDump, '--output', 'diff.csv'], [1]);
run(['report', 'diff.csv', oldDump, newDump, '--output', 'page.html']);
run(['report', 'old', '--output', 'folder.html']);

// ---- What the CSV files say, read here.
function dumpFigures(file) {
  const lines = fs.readFileSync(file, 'utf8').split('\r\n').slice(1, -1);
  const f = { rows: lines.length, bytes: 0, volumes: new Map() };
  for (const line of lines) {
    const [, volume, , size] = line.split(', ').map(Number);
    f.bytes += size;
    const v = f.volumes.get(volume) || { chunks: 0, bytes: 0 };
    v.chunks++;
    v.bytes += size;
    f.volumes.set(volume, v);
  }
  return f;
}
const oldF = dumpFigures(path.join(tmp, oldDump)), newF = dumpFigures(path.join(tmp, newDump));
const kinds = {};
for (const line of fs.readFileSync(path.join(tmp, 'diff.csv'), 'utf8').trim().split('\n').slice(1)) {
  const [kind, volume, chunk, oldSize, newSize] = line.split(',');
  const k = kinds[kind] = kinds[kind] || { count: 0, bytes: 0, chunks: [] };
  k.count++;
  k.bytes += Number(kind === 'new' ? newSize : oldSize);
  k.chunks.push([Number(volume), Number(chunk)]);
}
const volumes = new Set([...oldF.volumes.keys(), ...newF.volumes.keys()]);
const notices = { chunkLeftOut: 0, volumeSkipped: 0 };
for (const file of [oldDump, newDump]) {
  const record = JSON.parse(fs.readFileSync(path.join(tmp, file + '.json'), 'utf8'));
  for (const n of record.notices) if (n.kind in notices) notices[n.kind] += n.count;
}

// ---- The page in the browser.
const browser = await puppeteer.launch({
  executablePath: chromium, headless: true,
  args: [...(process.getuid() === 0 ? ['--no-sandbox'] : []), '--disable-gpu'],
});
try {
  const page = await browser.newPage();
  const url = 'file://' + path.join(tmp, 'page.html');
  const errors = [], requests = [];
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  page.on('pageerror', (e) => errors.push(String(e)));
  await page.setRequestInterception(true);
  page.on('request', (r) => {
    if (r.url() === url || r.url() === 'file://' + path.join(tmp, 'folder.html')) return r.continue();
    requests.push(r.url());
    return r.abort();
  });
  await page.goto(url, { waitUntil: 'load' });
  const text = (sel) => page.$eval(sel, (e) => e.textContent.trim());
  const title = (sel) => page.$eval(sel, (e) => e.getAttribute('title'));
  const count = async (sel) => Number((await text(sel)).replace(/,/g, ''));
  const exact = async (sel) => Number((await title(sel)).replace(/ bytes$/, '').replace(/,/g, ''));

  // Totals.
  same(await count('#totals [data-k=rows-old] dd'), oldF.rows, 'OLD rows');
  same(await count('#totals [data-k=rows-new] dd'), newF.rows, 'NEW rows');
  same(await exact('#totals [data-k=bytes-old] dd span'), oldF.bytes, 'OLD bytes held');
  same(await exact('#totals [data-k=bytes-new] dd span'), newF.bytes, 'NEW bytes held');
  same(await count('#totals [data-k=volumes] dd'), volumes.size, 'volumes');
  for (const kind of ['missing', 'new', 'changed']) {
    const shown = await text(`#totals [data-k=${kind}] dd`);
    same(Number(shown.split(' ')[0].replace(/,/g, '')), kinds[kind].count, `${kind} chunks`);
    same(await exact(`#totals [data-k=${kind}] dd span`), kinds[kind].bytes, `${kind} bytes`);
  }
  same(await count('#totals [data-k=notice-chunkLeftOut] dd'), notices.chunkLeftOut, 'chunks left out');
  same(await count('#totals [data-k=notice-volumeSkipped] dd'), notices.volumeSkipped, 'volumes skipped');
  same(await text('#totals [data-k=bytes-old] dd span'),
    (oldF.bytes / 2 ** 30).toFixed(oldF.bytes < 10 * 2 ** 30 ? 2 : oldF.bytes < 100 * 2 ** 30 ? 1 : 0) + ' GiB',
    'OLD bytes held, readable');

  // Inputs: each complete, the paths shown as they are (no markup made of them).
  same(await text('#inputs tr[data-input="2"] td[data-c=path]'), newDump, 'NEW path');
  same(await page.$$eval('#inputs td[data-c=path] *', (e) => e.length), 0, 'elements made of paths');
  for (const [i, state] of [[0, 'unknown'], [1, 'complete'], [2, 'complete']])
    same(await text(`#inputs tr[data-input="${i}"] .state`), state, `input ${i} state`);

  // Volume 3 in the table, found by its id.
  await page.type('#find', '3');
  const cellOf = async (c) => text(`#volumes tbody tr[data-vol="3"] td[data-c=${c}]`);
  const toNumber = (s) => Number(s.replace(/,/g, ''));
  same(await page.$$eval('#volumes tbody tr', (r) => r.length), 1, 'rows found for volume 3');
  same(toNumber(await cellOf('oldChunks')), oldF.volumes.get(3).chunks, 'volume 3 OLD chunks');
  same(toNumber(await cellOf('newChunks')), newF.volumes.get(3).chunks, 'volume 3 NEW chunks');
  same(await exact('#volumes tbody tr[data-vol="3"] td[data-c=oldBytes] span'), oldF.volumes.get(3).bytes, 'volume 3 OLD bytes');
  const missing3 = kinds.missing.chunks.filter(([v]) => v === 3).length;
  same(toNumber(await cellOf('missing')), missing3, 'volume 3 missing');
  same(await cellOf('reasons'), '1 absent from the walk; 1 trailer mismatch', 'volume 3 reasons');

  // The same volume clicked in the picture: its detail panel.
  const i = await page.$eval('#volumes tbody tr[data-vol="3"]', (r) => r.getAttribute('data-i'));
  await page.click(`#map rect[data-i="${i}"]`);
  same(await page.$eval('#detail', (e) => e.getAttribute('data-selected')), '3', 'volume selected in the picture');
  same(toNumber(await text('#detail [data-k=newChunks] dd')), newF.volumes.get(3).chunks, 'detail NEW chunks');
  await page.hover(`#map rect[data-i="${i}"]`);
  check((await text(`#map rect[data-i="${i}"] title`)).includes('volume 3'), 'hover title of volume 3');

  // Sorting by volume id, then the reasons of the missing chunks.
  await page.$eval('#find', (e) => { e.value = ''; e.dispatchEvent(new Event('input')); });
  await page.click('#volumes th[data-c=volume]');
  same(await page.$eval('#volumes tbody tr', (r) => r.getAttribute('data-vol')), String(Math.min(...volumes)), 'sorted by volume');
  same(await page.$eval('#volumes th[data-c=volume]', (e) => e.getAttribute('aria-sort')), 'ascending', 'sort shown');
  await page.click('#chunks details[data-kind=missing] summary');
  await page.waitForSelector('#chunks details[data-kind=missing] tbody tr');  // drawn on the toggle event
  const why = Object.fromEntries(await page.$$eval('#chunks details[data-kind=missing] tbody tr',
    (rows) => rows.map((r) => [r.cells[0].textContent + '/' + r.cells[1].textContent, r.cells[6].textContent])));
  same(why[`2/${trailerGone}`], 'trailer missing', 'reason of the chunk whose trailer is gone');
  same(why[`3/${chunkGone}`], 'absent from the walk', 'reason of the chunk that is gone');
  same(why[`3/${trailerOther}`], 'trailer mismatch', 'reason of the chunk whose trailer names another');
  const volume4 = Object.keys(why).filter((k) => k.startsWith('4/'));
  same(volume4.length, oldF.volumes.get(4).chunks, 'missing chunks of the volume whose label is gone');
  check(volume4.every((k) => why[k] === 'label unreadable'), 'reasons of the volume whose label is gone');

  const ms = await page.$eval('html', (e) => e.getAttribute('data-render-ms'));
  console.log(`page ${fs.statSync(path.join(tmp, 'page.html')).size} bytes, script ${ms} ms`);

  // The folder of OLD: one dump, its own totals.
  await page.goto('file://' + path.join(tmp, 'folder.html'), { waitUntil: 'load' });
  same(await count('#totals [data-k=rows] dd'), oldF.rows, 'folder rows');
  same(await exact('#totals [data-k=bytes] dd span'), oldF.bytes, 'folder bytes held');
  same(await page.$$eval('#map rect.v', (r) => r.length), oldF.volumes.size, 'folder volumes drawn');
  same(await text('#inputs tr[data-input="0"] .state'), 'complete', 'folder dump state');

  same(errors.join('\n'), '', 'console errors');
  same(requests.join('\n'), '', 'requests beyond the page');
} finally {
  await browser.close();
}
if (failed === 0) fs.rmSync(tmp, { recursive: true, force: true });
else console.log(`left for a look: ${tmp}`);
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
