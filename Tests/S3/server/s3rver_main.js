// Runs s3rver on 127.0.0.1 on a free port, keeping its objects in DIR, and
// writes the port to PORT_FILE once it accepts requests. s3rver ignores the
// listing parameter encoding-type=url (and writes control characters raw into
// its XML); this script adds it, as S3 gives it: Key, Prefix, Delimiter and
// StartAfter URL-encoded (a blank as "+"), and <EncodingType>url</...>. Stops on SIGTERM,
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

// S3's form: every byte but A-Z a-z 0-9 - . _ ~ as %XY, a blank as "+".
const urlEncode = text =>
  encodeURIComponent(text)
    .replace(/[!'()*]/g, c => '%' + c.charCodeAt(0).toString(16).toUpperCase())
    .replace(/%20/g, '+');

function encodeListing(ctx) {
  const result = ctx.body && ctx.body.ListBucketResult;
  if (ctx.query['encoding-type'] !== 'url' || !result) return;
  for (const field of ['Prefix', 'Delimiter', 'StartAfter']) {
    if (typeof result[field] === 'string') result[field] = urlEncode(result[field]);
  }
  for (const item of [].concat(result.Contents || [])) item.Key = urlEncode(item.Key);
  for (const item of [].concat(result.CommonPrefixes || [])) item.Prefix = urlEncode(item.Prefix);
  result.EncodingType = 'url';
}

// s3rver's middleware runs: logger, XML writer, mount interop, vhost, routes.
// The encoder goes between the XML writer and the routes, where the answer
// is still an object.
if (server.middleware.length !== 5) {
  console.error('s3rver_main.js: unexpected s3rver middleware; is s3rver 3.7.1 installed?');
  process.exit(1);
}
server.middleware.splice(2, 0, async (ctx, next) => {
  await next();
  encodeListing(ctx);
});
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
