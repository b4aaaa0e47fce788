// A small S3 endpoint on 127.0.0.1 that checks AWS Signature Version 4 with
// its own code (node's crypto) and serves the answers that s3rver cannot
// give: listings with folder-only pages, truncated pages without a token, a
// repeated token, throttling and errors that the store must or must not
// retry, and a server that ignores Range.
//
//   node fake_s3.js ACCESS_KEY SECRET PORT_FILE [IDLE_SECONDS]
//
// Buckets (path-style, or virtual-host style under "s3.amazonaws.com"):
//   pages    one folder listing spread over five pages; every request with
//            a prefix lists the same names under that prefix
//   notoken  a truncated page that names no continuation token
//   repeat   two pages that give the same continuation token
//   objects  "hello" (11 bytes), "norange" (10000 bytes, ignores Range);
//            "flaky/<Code>/<n>": answers n times with error <Code> before
//            it serves "ok"; "deny": always 403 AccessDenied; else 404
// GET /__fake/stats gives {"requests":N} and resets nothing.
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const http = require('http');

const [accessKey, secret, portFile, idleArg] = process.argv.slice(2);
if (!accessKey || !secret || !portFile) {
  console.error('usage: node fake_s3.js ACCESS_KEY SECRET PORT_FILE [IDLE_SECONDS]');
  process.exit(2);
}
const idleMs = Number(idleArg || 120) * 1000;
let idle = setTimeout(() => process.exit(0), idleMs);
let requests = 0;
const flakyCounts = new Map();

const sha256 = data => crypto.createHash('sha256').update(data).digest('hex');
const hmac = (key, data) => crypto.createHmac('sha256', key).update(data).digest();
// RFC 3986 encoding: encodeURIComponent leaves !'()* alone, S3 does not.
const encode = text =>
  encodeURIComponent(text).replace(/[!'()*]/g, c => '%' + c.charCodeAt(0).toString(16).toUpperCase());

function xmlEscape(text) {
  return text.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
}

function send(res, status, body, headers = {}) {
  res.writeHead(status, { 'Content-Type': 'application/xml', 'Content-Length': Buffer.byteLength(body), ...headers });
  res.end(body);
}

function error(res, status, code, message, extra = '') {
  send(res, status, `<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>${code}</Code>` +
    `<Message>${xmlEscape(message)}</Message>${extra}</Error>`);
}

// Checks the Authorization header; returns null when it holds, else the
// error to answer with.
function checkSignature(req, rawPath, rawQuery) {
  const auth = req.headers['authorization'] || '';
  const m = /^AWS4-HMAC-SHA256 Credential=([^/]+)\/(\d{8})\/([^/]+)\/s3\/aws4_request, SignedHeaders=([a-z0-9;-]+), Signature=([0-9a-f]{64})$/.exec(auth);
  if (!m) return ['AccessDenied', 'Malformed Authorization header', ''];
  const [, key, day, region, signedHeaders, provided] = m;
  if (key !== accessKey) return ['InvalidAccessKeyId', 'The AWS Access Key Id you provided does not exist in our records.', ''];
  const amzDate = req.headers['x-amz-date'] || '';
  const when = Date.parse(amzDate.replace(/^(\d{4})(\d\d)(\d\d)T(\d\d)(\d\d)(\d\d)Z$/, '$1-$2-$3T$4:$5:$6Z'));
  if (!(Math.abs(Date.now() - when) < 15 * 60 * 1000)) {
    return ['RequestTimeTooSkewed', 'The difference between the request time and the current time is too large.', ''];
  }
  for (const required of ['host', 'x-amz-date', 'x-amz-content-sha256']) {
    if (!signedHeaders.split(';').includes(required)) return ['AccessDenied', `${required} is not signed`, ''];
  }
  const path = rawPath.split('/').map(s => encode(decodeURIComponent(s))).join('/');
  const query = rawQuery === '' ? '' : rawQuery.split('&')
    .map(pair => {
      const at = pair.indexOf('=');
      const name = at < 0 ? pair : pair.slice(0, at);
      const value = at < 0 ? '' : pair.slice(at + 1);
      return [encode(decodeURIComponent(name)), encode(decodeURIComponent(value))];
    })
    .sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : a[1] < b[1] ? -1 : a[1] > b[1] ? 1 : 0))
    .map(([n, v]) => `${n}=${v}`).join('&');
  const headers = signedHeaders.split(';')
    .map(name => `${name}:${String(req.headers[name] || '').trim().replace(/\s+/g, ' ')}\n`).join('');
  const canonical = [req.method, path, query, headers, signedHeaders, req.headers['x-amz-content-sha256']].join('\n');
  const scope = `${day}/${region}/s3/aws4_request`;
  const toSign = ['AWS4-HMAC-SHA256', amzDate, scope, sha256(canonical)].join('\n');
  let k = hmac('AWS4' + secret, day);
  for (const part of [region, 's3', 'aws4_request']) k = hmac(k, part);
  const expected = hmac(k, toSign).toString('hex');
  if (expected === provided) return null;
  // Like S3, tell the client what was signed; the provided signature is
  // echoed in the message so that the client's redaction is exercised.
  return ['SignatureDoesNotMatch',
    `The request signature we calculated does not match the signature you provided (${provided}).`,
    `<SignatureProvided>${provided}</SignatureProvided><CanonicalRequest>${xmlEscape(canonical)}</CanonicalRequest>`];
}

function listPage(res, bucket, prefix, page) {
  const body = `<?xml version="1.0" encoding="UTF-8"?>\n<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/">` +
    `<Name>${bucket}</Name><Prefix>${xmlEscape(prefix)}</Prefix>` +
    (page.files || []).map(([name, size]) =>
      `<Contents><Key>${xmlEscape(prefix + name)}</Key><Size>${size}</Size></Contents>`).join('') +
    (page.folders || []).map(name =>
      `<CommonPrefixes><Prefix>${xmlEscape(prefix + name)}/</Prefix></CommonPrefixes>`).join('') +
    `<IsTruncated>${page.next !== undefined}</IsTruncated>` +
    (page.next ? `<NextContinuationToken>${page.next}</NextContinuationToken>` : '') +
    '</ListBucketResult>';
  send(res, 200, body);
}

// The pages of each listing bucket, by continuation token ('' is the first).
const listings = {
  pages: {
    '': { folders: ['F1', 'F2'], next: 'tok 1+/=' },
    'tok 1+/=': { folders: ['F2', 'F3'], next: 't2' },
    t2: { files: [['', 0], ['f1', 5]], next: 't3' },
    t3: { folders: ['F3'], next: 't4' },
    t4: { files: [['f2', 7]], folders: ['F4'] },
  },
  notoken: { '': { files: [['a', 1]], next: '' } },
  repeat: { '': { files: [['a', 1]], next: 'same' }, same: { files: [['b', 2]], next: 'same' } },
};

function serve(req, res) {
  const hostname = String(req.headers.host || '').replace(/:\d+$/, '');
  const at = req.url.indexOf('?');
  let rawPath = at < 0 ? req.url : req.url.slice(0, at);
  const rawQuery = at < 0 ? '' : req.url.slice(at + 1);
  const denied = checkSignature(req, rawPath, rawQuery);
  if (denied) {
    error(res, 403, ...denied);
    return;
  }
  const vhost = /^(.+)\.s3\.amazonaws\.com$/.exec(hostname);
  if (vhost) rawPath = '/' + vhost[1] + rawPath;
  const [, bucket, ...rest] = rawPath.split('/');
  const key = decodeURIComponent(rest.join('/'));
  const query = new URLSearchParams(rawQuery);

  if (listings[bucket]) {
    if (key !== '' || query.get('list-type') !== '2') {
      error(res, 404, 'NoSuchKey', 'The specified key does not exist.');
      return;
    }
    const page = listings[bucket][query.get('continuation-token') || ''];
    if (!page) error(res, 400, 'InvalidArgument', 'The continuation token provided is incorrect');
    else listPage(res, bucket, query.get('prefix') || '', page);
    return;
  }
  if (bucket !== 'objects') {
    error(res, 404, 'NoSuchBucket', 'The specified bucket does not exist');
    return;
  }
  const flaky = /^flaky\/(\w+)\/(\d+)$/.exec(key);
  if (flaky) {
    const seen = flakyCounts.get(key) || 0;
    flakyCounts.set(key, seen + 1);
    if (seen < Number(flaky[2])) {
      const status = { RequestTimeout: 400, SlowDown: 503, TooManyRequests: 429, InternalError: 500 }[flaky[1]] || 400;
      if (req.method === 'HEAD') { res.writeHead(status); res.end(); } else error(res, status, flaky[1], `${flaky[1]} for the test`);
      return;
    }
  }
  let body;
  if (key === 'hello') body = Buffer.from('hello world');
  else if (key === 'norange') body = Buffer.alloc(10000, 'n');
  else if (flaky) body = Buffer.from('ok');
  else if (key === 'deny') { error(res, 403, 'AccessDenied', 'Access Denied'); return; }
  else {
    if (req.method === 'HEAD') { res.writeHead(404); res.end(); } else error(res, 404, 'NoSuchKey', 'The specified key does not exist.');
    return;
  }
  const range = /^bytes=(\d+)-(\d+)$/.exec(req.headers.range || '');
  if (range && key !== 'norange') {
    const part = body.subarray(Number(range[1]), Number(range[2]) + 1);
    res.writeHead(206, { 'Content-Length': part.length, 'Content-Range': `bytes ${range[1]}-${Number(range[1]) + part.length - 1}/${body.length}` });
    res.end(req.method === 'HEAD' ? undefined : part);
    return;
  }
  res.writeHead(200, { 'Content-Length': body.length });
  res.end(req.method === 'HEAD' ? undefined : body);
}

const server = http.createServer((req, res) => {
  clearTimeout(idle);
  idle = setTimeout(() => process.exit(0), idleMs);
  if (req.url === '/__fake/stats') {
    const body = JSON.stringify({ requests });
    res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': body.length });
    res.end(body);
    return;
  }
  requests++;
  req.resume();
  req.on('end', () => serve(req, res));
});
server.listen(0, '127.0.0.1', () => {
  fs.writeFileSync(portFile + '.tmp', String(server.address().port));
  fs.renameSync(portFile + '.tmp', portFile);
});
process.on('SIGTERM', () => process.exit(0));
