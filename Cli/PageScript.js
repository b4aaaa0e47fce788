'use strict';
// The script of a tzrecon report page: it draws the page from the JSON
// block #page-data. Every text taken from the data goes through esc() or
// textContent; nothing is fetched.
(function () {
  const t0 = performance.now();
  const D = JSON.parse(document.getElementById('page-data').textContent);
  const diff = D.mode === 'diff';
  const $ = (s) => document.querySelector(s);
  const UNITS = ['KiB', 'MiB', 'GiB', 'TiB', 'PiB', 'EiB'];
  const ESC = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };
  const esc = (s) => String(s).replace(/[&<>"']/g, (c) => ESC[c]);
  const grouped = (v) => (v == null ? '–' : String(v).replace(/\B(?=(\d{3})+(?!\d))/g, ','));
  function human(v) {
    if (v == null) return '–';
    let x = Number(v), i = -1;
    if (x < 1024) return x + ' B';
    while (x >= 1024 && i < UNITS.length - 1) { x /= 1024; i++; }
    let t = x < 10 ? x.toFixed(2) : x < 100 ? x.toFixed(1) : x.toFixed(0);
    if (Number(t) >= 1024 && i < UNITS.length - 1) { x /= 1024; i++; t = x.toFixed(2); }
    return t + ' ' + UNITS[i];
  }
  const bytes = (v) => (v == null ? '–' : '<span title="' + grouped(v) + ' bytes">' + human(v) + '</span>');
  const NOTICE_NAMES = {
    entryPassedOver: 'entries passed over', chunkLeftOut: 'chunks left out',
    volumeSkipped: 'volumes skipped', sizeUnknown: 'chunks written with size 0', other: 'other lines',
  };
  const NOTICE_NAME = {
    entryPassedOver: 'entry passed over', chunkLeftOut: 'chunk left out',
    volumeSkipped: 'volume skipped', sizeUnknown: 'chunk written with size 0', other: 'other line',
  };
  const noticeText = (k, n) => grouped(n) + ' ' + ((n === 1 ? NOTICE_NAME : NOTICE_NAMES)[k] || k);

  // ---- Volumes: the rows of D.volumes, then the folded rows of D.others.
  const V = D.volumes.concat(D.others);
  const listed = D.volumes.length;
  const volumeName = (i) => (i < listed ? 'volume ' + V[i][1] : grouped(V[i][1]) + ' other volumes');
  const COLS = diff
    ? [['group', 'Mount path', 0, 'g'], ['volume', 'Volume', 1, 'v'],
       ['oldChunks', 'OLD chunks', 2, 'n'], ['oldBytes', 'OLD bytes', 3, 'b'],
       ['newChunks', 'NEW chunks', 4, 'n'], ['newBytes', 'NEW bytes', 5, 'b'],
       ['missing', 'Missing', 6, 'n'], ['missingBytes', 'Missing bytes', 7, 'b'],
       ['new', 'New', 8, 'n'], ['newBytes2', 'New bytes', 9, 'b'],
       ['changed', 'Changed', 10, 'n'], ['changedBytes', 'Changed bytes (OLD → NEW)', 11, 'c'],
       ['duplicate', 'Duplicate', 12, 'n'], ['reasons', 'Why missing', 15, 'r']]
    : [['group', 'Mount path', 0, 'g'], ['volume', 'Volume', 1, 'v'],
       ['chunks', 'Chunks', 2, 'n'], ['bytes', 'Bytes', 3, 'b']];
  function reasonsText(r) {
    if (!r || !r.length) return '';
    const parts = [];
    r.forEach((n, k) => { if (n) parts.push(grouped(n) + ' ' + D.reasonNames[k]); });
    return parts.join('; ');
  }
  function cell(row, c, i) {
    const v = row[c[2]];
    switch (c[3]) {
      case 'g': return esc(D.groups[row[0]]);
      case 'v': return i < listed ? String(v) : '(' + grouped(v) + ' other volumes)';
      case 'n': return grouped(v);
      case 'b': return bytes(v);
      case 'c': return row[10] ? bytes(v) + ' → ' + bytes(row[14]) : '';
      default: return esc(reasonsText(v));
    }
  }
  function sortKey(row, c) {
    const v = row[c[2]];
    if (c[3] === 'g') return D.groups[row[0]];
    if (c[3] === 'r') return v && v.length ? v.reduce((a, n, k) => a + (k ? n : 0), 0) : -1;
    return v == null ? -1 : Number(v);
  }

  // ---- Header, inputs and totals.
  function renderInputs() {
    const names = D.inputs.map((x) => x.path);
    document.title = 'tzrecon report: ' + names.join(', ');
    $('#title').textContent = diff ? 'Differences of two dumps' : 'Chunk-lister dumps';
    let h = '';
    D.inputs.forEach((x, i) => {
      const notices = x.notices == null ? 'no record' : Object.keys(x.notices).length === 0 ? 'none'
        : Object.keys(x.notices).map((k) => noticeText(k, x.notices[k])).join('; ');
      h += '<tr data-input="' + i + '"><td data-c="path">' + esc(x.path) +
        (x.folder ? ' <small>(in ' + esc(x.folder) + ')</small>' : '') + '</td>' +
        '<td data-c="type">' + (x.type === 'diff' ? 'differences' : 'dump') + '</td>' +
        '<td data-c="role">' + esc(x.role) + '</td>' +
        '<td data-c="mountPath">' + esc(x.mountPathIds.join(', ')) + '</td>' +
        '<td data-c="rows" class="n">' + grouped(x.rows) + '</td>' +
        '<td data-c="bytes" class="n">' + bytes(x.bytes) + '</td>' +
        '<td data-c="state"><span class="state s-' + esc(x.state) + '" title="' + esc(x.reason) + '">' +
        esc(x.state) + '</span>' + (x.reason ? ' <small>' + esc(x.reason) + '</small>' : '') + '</td>' +
        '<td data-c="notices">' + esc(notices) + '</td></tr>';
    });
    $('#inputs tbody').innerHTML = h;
  }
  function renderTotals() {
    const t = D.totals, items = [];
    const add = (k, label, html) => items.push('<div data-k="' + k + '"><dt>' + label + '</dt><dd>' + html + '</dd></div>');
    if (diff) {
      add('rows-old', 'Rows OLD', grouped(t.rows.old)); add('rows-new', 'Rows NEW', grouped(t.rows.new));
      add('bytes-old', 'Bytes held OLD', bytes(t.bytes.old)); add('bytes-new', 'Bytes held NEW', bytes(t.bytes.new));
      add('volumes', 'Volumes', grouped(t.volumes)); add('differences', 'Differences', grouped(t.differences));
      for (const k of ['missing', 'new', 'changed', 'duplicate']) {
        const x = t.kinds[k];
        add(k, k[0].toUpperCase() + k.slice(1), grouped(x.count) + ' <small>(' +
          bytes(k === 'new' ? x.newBytes : x.oldBytes) + ')</small>');
      }
    } else {
      add('rows', 'Rows', grouped(t.rows)); add('bytes', 'Bytes held', bytes(t.bytes));
      add('volumes', 'Volumes', grouped(t.volumes)); add('inputs', 'Dumps', grouped(D.inputs.length));
    }
    if (t.notices == null) add('notices', 'Notices', 'no record');
    else for (const k of Object.keys(NOTICE_NAMES)) add('notice-' + k, NOTICE_NAMES[k], grouped(t.notices[k] || 0));
    $('#totals').innerHTML = items.join('');
    const notes = D.notes.slice();
    if (diff) notes.unshift('Why missing: ' + D.reasonSource);
    $('#notes').innerHTML = notes.map((n) => '<li>' + esc(n) + '</li>').join('');
  }

  // ---- The picture: a squarified treemap, mount path then volume.
  const STATUS = diff
    ? [['unchanged', '#9fb8a0'], ['changed', '#e0a030'], ['missing', '#d0453a'], ['new', '#4a7fd0'], ['duplicate', '#8a5fbf']]
    : [];
  function slices(row) {  // bytes of each status, in STATUS order
    const known = row[3] != null;
    const cob = Number(row[11]), mb = Number(row[7]), dob = Number(row[13]);
    const un = known ? Math.max(0, Number(row[3]) - mb - cob - dob) : 0;
    return [un, cob, mb, Number(row[9]), dob];
  }
  const area = (row) => (diff ? slices(row).reduce((a, b) => a + b, 0) : Number(row[3]));
  function squarify(vals, x, y, w, h) {
    const out = new Array(vals.length);
    const total = vals.reduce((a, b) => a + b, 0);
    if (!(total > 0) || w <= 0 || h <= 0) return out;
    const k = (w * h) / total;
    for (let i = 0; i < vals.length;) {
      const side = Math.min(w, h), ss = side * side;
      let j = i, s = vals[i] * k, mn = s, mx = s;
      let worst = Math.max((ss * mx) / (s * s), (s * s) / (ss * mn));
      while (j + 1 < vals.length) {
        const a = vals[j + 1] * k, s2 = s + a, mn2 = Math.min(mn, a), mx2 = Math.max(mx, a);
        const w2 = Math.max((ss * mx2) / (s2 * s2), (s2 * s2) / (ss * mn2));
        if (w2 > worst) break;
        j++; s = s2; mn = mn2; mx = mx2; worst = w2;
      }
      const thick = s / side;
      let pos = 0;
      for (let t = i; t <= j; t++) {
        const len = (vals[t] * k) / thick;
        out[t] = w >= h ? [x, y + pos, thick, len] : [x + pos, y, len, thick];
        pos += len;
      }
      if (w >= h) { x += thick; w -= thick; } else { y += thick; h -= thick; }
      i = j + 1;
    }
    return out;
  }
  const r1 = (n) => Math.round(n * 10) / 10;
  function tip(i) {
    const row = V[i], lines = [D.groups[row[0]] + ' · ' + volumeName(i)];
    if (!diff) lines.push(grouped(row[2]) + ' chunks, ' + human(row[3]));
    else {
      if (row[2] != null) lines.push('OLD ' + grouped(row[2]) + ' chunks, ' + human(row[3]),
        'NEW ' + grouped(row[4]) + ' chunks, ' + human(row[5]));
      lines.push('missing ' + grouped(row[6]) + ' (' + human(row[7]) + '), new ' + grouped(row[8]) +
        ' (' + human(row[9]) + '), changed ' + grouped(row[10]) + ', duplicate ' + grouped(row[12]));
      if (row[15] && row[15].length) lines.push('why missing: ' + reasonsText(row[15]));
    }
    return lines.join('\n');
  }
  function renderMap() {
    const W = 1000, H = 560, byGroup = D.groups.map(() => []);
    const SL = diff ? V.map(slices) : null;
    const A = diff ? SL.map((x) => x.reduce((a, b) => a + b, 0)) : V.map(area);
    V.forEach((row, i) => { if (A[i] > 0) byGroup[row[0]].push(i); });
    const groups = byGroup.map((list, g) => [g, list.reduce((a, i) => a + A[i], 0)])
      .filter((x) => x[1] > 0).sort((a, b) => b[1] - a[1]);
    const grects = squarify(groups.map((x) => x[1]), 0, 0, W, H);
    let s = '';
    const paths = STATUS.map(() => []);
    groups.forEach(([g], gi) => {
      const [gx, gy, gw, gh] = grects[gi];
      const head = gh > 40 && gw > 60 ? 16 : 0;
      const hue = (g * 67) % 360;
      s += '<rect class="grp" x="' + r1(gx) + '" y="' + r1(gy) + '" width="' + r1(gw) + '" height="' + r1(gh) + '"/>';
      if (head) s += '<text x="' + r1(gx + 4) + '" y="' + r1(gy + 12) + '">' + esc(D.groups[g]) + '</text>';
      const list = byGroup[g].sort((a, b) => A[b] - A[a]);
      const rects = squarify(list.map((i) => A[i]), gx + 1, gy + head + 1, gw - 2, gh - head - 2);
      list.forEach((i, n) => {
        const [x, y, w, h] = rects[n];
        const fill = 'hsl(' + hue + ',45%,' + (55 + (n % 3) * 6) + '%)';
        s += '<rect class="v" data-i="' + i + '" x="' + r1(x) + '" y="' + r1(y) + '" width="' + r1(w) +
          '" height="' + r1(h) + (diff ? '' : '" fill="' + fill) + '"/>';
        if (!diff) return;
        const parts = SL[i], total = A[i], along = w >= h;
        let pos = parts[0] / total * (along ? w : h);
        for (let k = 1; k < parts.length; k++) {
          if (!parts[k]) continue;
          const len = parts[k] / total * (along ? w : h);
          paths[k].push(along ? 'M' + r1(x + pos) + ' ' + r1(y) + 'h' + r1(len) + 'v' + r1(h) + 'h' + r1(-len) + 'z'
            : 'M' + r1(x) + ' ' + r1(y + pos) + 'h' + r1(w) + 'v' + r1(len) + 'h' + r1(-w) + 'z');
          pos += len;
        }
      });
    });
    STATUS.forEach(([, colour], k) => { if (paths[k].length) s += '<path class="sl" fill="' + colour + '" d="' + paths[k].join('') + '"/>'; });
    const svg = $('#map');
    svg.innerHTML = s;
    svg.addEventListener('click', (e) => { const i = e.target.getAttribute('data-i'); if (i != null) select(Number(i)); });
    // A volume's <title> (its figures on hover) is made when the pointer
    // first comes over it: ten thousand of them up front cost a second.
    svg.addEventListener('mouseover', (e) => {
      const i = e.target.getAttribute('data-i');
      if (i == null || e.target.firstChild) return;
      const title = document.createElementNS('http://www.w3.org/2000/svg', 'title');
      title.textContent = tip(Number(i));
      e.target.appendChild(title);
    });
    const sums = diff ? [0, 0, 0, 0, 0] : null;
    if (diff) SL.forEach((x) => x.forEach((b, k) => { sums[k] += b; }));
    $('#legend').innerHTML = diff
      ? STATUS.map(([name, colour], k) => '<span><i style="background:' + colour + '"></i>' + name + ' ' + bytes(sums[k]) + '</span>').join('')
      : 'area: bytes held; one colour for each mount path';
  }

  // ---- The detail of one volume.
  function select(i) {
    const row = V[i];
    document.querySelectorAll('.sel').forEach((e) => e.classList.remove('sel'));
    document.querySelectorAll('[data-i="' + i + '"]').forEach((e) => e.classList.add('sel'));
    let h = '<h3>' + esc(D.groups[row[0]]) + ' · ' + esc(volumeName(i)) + '</h3><dl>';
    for (const c of COLS.slice(2)) h += '<div data-k="' + c[0] + '"><dt>' + c[1] + '</dt><dd>' + cell(row, c, i) + '</dd></div>';
    h += '</dl>';
    if (diff && i < listed) {
      for (const k of ['missing', 'new', 'changed', 'duplicate']) {
        const rows = D.chunks[k].rows.filter((r) => r[0] === row[1]);
        if (!rows.length) continue;
        h += '<p>' + k + ' (of the first ' + grouped(D.chunks[k].rows.length) + ' listed): ' +
          rows.slice(0, 50).map((r) => 'chunk ' + r[1] + (k === 'missing' ? ' (' + D.reasonNames[r[6]] + ')' : '')).join(', ') +
          (rows.length > 50 ? ', …' : '') + '</p>';
      }
    }
    const panel = $('#detail');
    panel.innerHTML = h;
    panel.setAttribute('data-selected', String(row[1]));
  }

  // ---- The table of every volume, sortable by each column, a page of
  // rows at a time (a page of 10000 rows would take seconds to lay out),
  // and filtered by volume id.
  const PAGE = 200;
  let order = V.map((_, i) => i), shown = order, sortCol = diff ? 7 : 3, sortDesc = true, first = 0;
  function sortRows() {
    const c = COLS.find((x) => x[2] === sortCol) || COLS[0];
    const keys = V.map((row) => sortKey(row, c));
    order.sort((a, b) => {
      const x = keys[a], y = keys[b];
      const d = x < y ? -1 : x > y ? 1 : (V[a][0] - V[b][0]) || (V[a][1] - V[b][1]);
      return sortDesc ? -d : d;
    });
    const head = COLS.map((x) => '<th data-c="' + x[0] + '" aria-sort="' +
      (x === c ? (sortDesc ? 'descending' : 'ascending') : 'none') + '">' + x[1] + '</th>').join('');
    $('#volumes thead').innerHTML = '<tr>' + head + '</tr>';
    filterRows();
  }
  function filterRows() {
    const want = $('#find').value.trim();
    shown = want === '' ? order : order.filter((i) => i < listed && String(V[i][1]) === want);
    first = 0;
    renderRows();
  }
  function renderRows() {
    const parts = [];
    for (const i of shown.slice(first, first + PAGE)) {
      const row = V[i];
      let h = '<tr data-i="' + i + '" data-g="' + row[0] + '" data-vol="' + (i < listed ? row[1] : '') + '">';
      for (const col of COLS) h += '<td data-c="' + col[0] + '"' + (col[3] === 'n' || col[3] === 'b' ? ' class="n"' : '') + '>' + cell(row, col, i) + '</td>';
      parts.push(h + '</tr>');
    }
    $('#volumes tbody').innerHTML = parts.join('');
    $('#pager span').textContent = shown.length === 0 ? 'no volume' : 'rows ' + grouped(first + 1) + ' to ' +
      grouped(Math.min(first + PAGE, shown.length)) + ' of ' + grouped(shown.length);
  }
  function renderTable() {
    sortRows();
    $('#volumes thead').addEventListener('click', (e) => {
      const th = e.target.closest('th');
      if (!th) return;
      const c = COLS.find((x) => x[0] === th.getAttribute('data-c'));
      sortDesc = c[2] === sortCol ? !sortDesc : c[3] !== 'g' && c[3] !== 'v';
      sortCol = c[2];
      sortRows();
    });
    $('#volumes tbody').addEventListener('click', (e) => {
      const tr = e.target.closest('tr');
      if (tr) select(Number(tr.getAttribute('data-i')));
    });
    $('#find').addEventListener('input', filterRows);
    $('#pager').addEventListener('click', (e) => {
      const step = { prev: -PAGE, next: PAGE, top: -Infinity }[e.target.getAttribute('data-go')];
      if (step == null) return;
      first = Math.max(0, Math.min(first + step, Math.floor((shown.length - 1) / PAGE) * PAGE));
      renderRows();
    });
  }

  // ---- The first chunks of each kind of difference, each list drawn when
  // it is first opened.
  function chunkRows(k) {
    return D.chunks[k].rows.map((r) => '<tr><td>' + r[0] + '</td><td>' + r[1] + '</td><td class="n">' + bytes(r[2]) +
      '</td><td class="n">' + bytes(r[3]) + '</td><td>' + (r[4] == null ? '' : r[4]) + '</td><td>' +
      (r[5] == null ? '' : r[5]) + '</td>' + (k === 'missing' ? '<td>' + esc(D.reasonNames[r[6]]) + '</td>' : '') +
      '</tr>').join('');
  }
  function renderChunks() {
    if (!diff) { $('#chunks').remove(); return; }
    let h = '';
    for (const k of ['missing', 'new', 'changed', 'duplicate']) {
      const list = D.chunks[k];
      h += '<details data-kind="' + k + '"><summary>' + k + ': ' +
        (list.total > list.rows.length ? 'the first ' + grouped(list.rows.length) + ' of ' : '') + grouped(list.total) +
        '</summary><div class="scroll"><table><thead><tr><th>Volume</th><th>Chunk</th><th>OLD size</th><th>NEW size</th>' +
        '<th>OLD SI</th><th>NEW SI</th>' + (k === 'missing' ? '<th>Why</th>' : '') + '</tr></thead><tbody></tbody></table></div></details>';
    }
    $('#chunks').innerHTML = '<h2>Chunks</h2>' + h;
    $('#chunks').addEventListener('toggle', (e) => {
      const body = e.target.querySelector('tbody');
      if (e.target.open && !body.firstChild) body.innerHTML = chunkRows(e.target.getAttribute('data-kind'));
    }, true);
  }

  // Each step's time goes on the page's root element, for measuring.
  const steps = [];
  for (const step of [renderInputs, renderTotals, renderMap, renderTable, renderChunks]) {
    const t = performance.now();
    step();
    steps.push(step.name + ' ' + (performance.now() - t).toFixed(1));
  }
  document.documentElement.setAttribute('data-render-steps', steps.join(', '));
  document.documentElement.setAttribute('data-render-ms', (performance.now() - t0).toFixed(1));
})();
