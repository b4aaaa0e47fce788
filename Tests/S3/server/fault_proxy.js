// A fault-injecting HTTP proxy for the S3 store tests: forwards requests on
// 127.0.0.1 to TARGET_PORT, counts them, and answers a configured share of
// them with a fault instead.
//
//   node fault_proxy.js TARGET_PORT PORT_FILE [IDLE_SECONDS]
//
// Control requests (never forwarded, never counted):
//   GET /__proxy/config?after=A&period=P&fail=F&modes=500,503,drop,cut
//                      [&match=TEXT][&delay=MS]
//       resets the counters; from then on requests number 0, 1, 2, ...
//       (with `match`, only those whose decoded path and query hold TEXT
//       are numbered, and the others are always forwarded);
//       request n is forwarded when n < A or (n - A) % P >= F, and otherwise
//       gets the next fault of `modes` in turn:
//         500   HTTP 500 InternalError      503   HTTP 503 SlowDown
//         drop  connection closed before any answer
//         cut   answer forwarded, connection closed halfway through the body
//               (a HEAD answer has no body: it is dropped instead)
//       Every request, forwarded or not, is first held for MS milliseconds
//       (default 0): the latency of a distant object store.
//   GET /__proxy/stats   {"requests":N,"faults":N,"methods":{"GET":N,...},
//                         "lists":N,"maxInFlight":N}
//       (a GET of "/<bucket>" alone is a listing page, with path-style
//       addressing)
//
// Stops on SIGTERM, or by itself after IDLE_SECONDS without a request
// (default 120).
'use strict';

const fs = require('fs');
const http = require('http');

const [targetPort, portFile, idleArg] = process.argv.slice(2);
if (!targetPort || !portFile) {
  console.error('usage: node fault_proxy.js TARGET_PORT PORT_FILE [IDLE_SECONDS]');
  process.exit(2);
}
const idleMs = Number(idleArg || 120) * 1000;
let idle = setTimeout(() => process.exit(0), idleMs);

let config = { after: 0, period: 1, fail: 0, modes: ['500'], match: '', delay: 0 };
let stats = { requests: 0, faults: 0, methods: {}, lists: 0, maxInFlight: 0 };
let matched = 0;
let inFlight = 0;
const agent = new http.Agent({ keepAlive: true, maxSockets: 64 });

function s3Error(res, status, code, message) {
  const body = `<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>${code}</Code>` +
    `<Message>${message}</Message></Error>`;
  res.writeHead(status, { 'Content-Type': 'application/xml', 'Content-Length': Buffer.byteLength(body) });
  res.end(body);
}

function control(req, res, url) {
  if (url.pathname === '/__proxy/config') {
    const q = url.searchParams;
    config = {
      after: Number(q.get('after') || 0),
      period: Math.max(1, Number(q.get('period') || 1)),
      fail: Number(q.get('fail') || 0),
      modes: (q.get('modes') || '500').split(','),
      match: q.get('match') || '',
      delay: Math.max(0, Number(q.get('delay') || 0)),
    };
    stats = { requests: 0, faults: 0, methods: {}, lists: 0, maxInFlight: 0 };
    matched = 0;
  } else if (url.pathname !== '/__proxy/stats') {
    res.writeHead(404);
    res.end();
    return;
  }
  const body = JSON.stringify(stats);
  res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) });
  res.end(body);
}

function forward(req, res, cut) {
  const upstream = http.request(
    { host: '127.0.0.1', port: targetPort, method: req.method, path: req.url, headers: req.headers, agent },
    answer => {
      res.writeHead(answer.statusCode, answer.headers);
      if (!cut) {
        answer.pipe(res);
        return;
      }
      // Half the body, then the connection goes away.
      const length = Number(answer.headers['content-length'] || 0);
      const chunks = [];
      answer.on('data', c => chunks.push(c));
      answer.on('end', () => {
        const body = Buffer.concat(chunks);
        res.write(body.subarray(0, Math.floor(length / 2)));
        setImmediate(() => res.socket && res.socket.destroy());
      });
    });
  upstream.on('error', () => res.socket && res.socket.destroy());
  req.pipe(upstream);
}

const server = http.createServer((req, res) => {
  clearTimeout(idle);
  idle = setTimeout(() => process.exit(0), idleMs);
  const url = new URL(req.url, 'http://proxy');
  if (url.pathname.startsWith('/__proxy/')) {
    control(req, res, url);
    return;
  }
  let n = stats.requests++;
  stats.methods[req.method] = (stats.methods[req.method] || 0) + 1;
  if (req.method === 'GET' && url.pathname.split('/').filter(p => p !== '').length <= 1) stats.lists++;
  if (config.match) n = decoded(req.url).includes(config.match) ? matched++ : -1;
  const faulty = n >= config.after && (n - config.after) % config.period < config.fail;
  stats.maxInFlight = Math.max(stats.maxInFlight, ++inFlight);
  res.on('close', () => inFlight--);
  if (config.delay > 0) {
    setTimeout(() => answer(req, res, faulty), config.delay);
  } else {
    answer(req, res, faulty);
  }
});

function decoded(url) {
  try {
    return decodeURIComponent(url);
  } catch (e) {
    return url;
  }
}

function answer(req, res, faulty) {
  if (!faulty) {
    forward(req, res, false);
    return;
  }
  const mode = config.modes[stats.faults++ % config.modes.length];
  if (mode === '500') {
    s3Error(res, 500, 'InternalError', 'We encountered an internal error. Please try again.');
  } else if (mode === '503') {
    s3Error(res, 503, 'SlowDown', 'Please reduce your request rate.');
  } else if (mode === 'cut' && req.method !== 'HEAD') {
    forward(req, res, true);
  } else {
    req.socket.destroy();
  }
}

server.keepAliveTimeout = 30000;
server.listen(0, '127.0.0.1', () => {
  fs.writeFileSync(portFile + '.tmp', String(server.address().port));
  fs.renameSync(portFile + '.tmp', portFile);
});
process.on('SIGTERM', () => process.exit(0));
