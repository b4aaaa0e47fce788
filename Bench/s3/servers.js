// s3rver for the S3 part of the dump benchmark, and in front of it a proxy
// that counts the requests passing through. Both listen on 127.0.0.1 on free
// ports; once both accept requests, "<s3rver port> <proxy port>" is written
// to PORT_FILE.
//
//   node servers.js DATA_DIR PORT_FILE [IDLE_MINUTES]
//
// The proxy holds every request for a fixed delay before it forwards it (the
// latency of a distant object store; 20 ms unless set), and answers two
// requests itself (never forwarded, never counted, never delayed):
//   GET /__bench/counts   {"total":N,"list":N,"head":N,"get":N,"other":N,
//                          "maxInFlight":N,"delayMs":N}
//   GET /__bench/reset[?delay=MS]   sets the counts to zero (and the delay)
// With path-style addressing a GET of "/<bucket>" (ListObjects v1 or v2) is a
// listing page, a GET of "/<bucket>/<key>" reads an object. Stops on SIGTERM, or by itself after IDLE_MINUTES without a
// request (default 30), so an interrupted run leaves nothing behind for long.
'use strict';

const fs = require('fs');
const http = require('http');
const S3rver = require('s3rver');

const [dataDir, portFile, idleArg] = process.argv.slice(2);
if (!dataDir || !portFile) {
  console.error('usage: node servers.js DATA_DIR PORT_FILE [IDLE_MINUTES]');
  process.exit(2);
}
const idleMs = Number(idleArg || 30) * 60 * 1000;
let idle = setTimeout(() => process.exit(0), idleMs);
function touched() {
  clearTimeout(idle);
  idle = setTimeout(() => process.exit(0), idleMs);
}

let counts;
let delayMs = 20;
let inFlight = 0;
function reset() {
  counts = { total: 0, list: 0, head: 0, get: 0, other: 0, maxInFlight: 0, delayMs };
}
reset();

function kind(req) {
  if (req.method === 'HEAD') return 'head';
  if (req.method !== 'GET') return 'other';
  const parts = new URL(req.url, 'http://x').pathname.split('/').filter(part => part !== '');
  return parts.length <= 1 ? 'list' : 'get';
}

const server = new S3rver({ address: '127.0.0.1', port: 0, directory: dataDir, silent: true });
server.run().then(
  address => {
    const target = address.port;
    const agent = new http.Agent({ keepAlive: true, maxSockets: 64 });
    const proxy = http.createServer((req, res) => {
      touched();
      if (req.url === '/__bench/counts') {
        res.writeHead(200, { 'Content-Type': 'application/json' });
        res.end(JSON.stringify(counts));
        return;
      }
      if (req.url.startsWith('/__bench/reset')) {
        const delay = new URL(req.url, 'http://x').searchParams.get('delay');
        if (delay !== null) delayMs = Math.max(0, Number(delay));
        reset();
        res.writeHead(204);
        res.end();
        return;
      }
      counts.total++;
      counts[kind(req)]++;
      counts.maxInFlight = Math.max(counts.maxInFlight, ++inFlight);
      res.on('close', () => inFlight--);
      // Forwarded as received: the Host header stays, so signatures hold.
      const forward = () => {
        const upstream = http.request(
          { host: '127.0.0.1', port: target, method: req.method, path: req.url,
            headers: req.headers, agent },
          answer => {
            res.writeHead(answer.statusCode, answer.headers);
            answer.pipe(res);
          });
        upstream.on('error', () => res.destroy());
        req.pipe(upstream);
      };
      if (delayMs > 0) setTimeout(forward, delayMs); else forward();
    });
    proxy.listen(0, '127.0.0.1', () => {
      fs.writeFileSync(portFile + '.tmp', `${target} ${proxy.address().port}\n`);
      fs.renameSync(portFile + '.tmp', portFile);
    });
  },
  err => {
    console.error('s3rver did not start:', err);
    process.exit(1);
  });
process.on('SIGTERM', () => process.exit(0));
