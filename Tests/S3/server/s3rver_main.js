// Runs s3rver on 127.0.0.1 on a free port, keeping its objects in DIR, and
// writes the port to PORT_FILE once it accepts requests. Stops on SIGTERM,
// or by itself after IDLE_MINUTES without a request (default 60), so that an
// interrupted test run leaves nothing behind for long.
//
//   node s3rver_main.js DIR PORT_FILE [IDLE_MINUTES]
'use strict';

const fs = require('fs');
const S3rver = require('s3rver');

const [dir, portFile, idleArg] = process.argv.slice(2);
if (!dir || !portFile) {
  console.error('usage: node s3rver_main.js DIR PORT_FILE [IDLE_MINUTES]');
  process.exit(2);
}
const idleMs = Number(idleArg || 60) * 60 * 1000;

const server = new S3rver({ address: '127.0.0.1', port: 0, directory: dir, silent: true });
server.run().then(
  address => {
    let timer = setTimeout(() => process.exit(0), idleMs);
    server.httpServer.on('request', () => {
      clearTimeout(timer);
      timer = setTimeout(() => process.exit(0), idleMs);
    });
    // Written under another name first: a reader never sees half a number.
    fs.writeFileSync(portFile + '.tmp', String(address.port));
    fs.renameSync(portFile + '.tmp', portFile);
  },
  err => {
    console.error('s3rver did not start:', err);
    process.exit(1);
  },
);
process.on('SIGTERM', () => process.exit(0));
