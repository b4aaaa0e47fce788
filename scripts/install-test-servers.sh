#!/bin/bash
# Installs the S3-compatible server the tests run on 127.0.0.1 (s3rver, from
# npm, pinned by Tests/S3/server/package-lock.json).
set -euo pipefail
cd "$(dirname "$0")/../Tests/S3/server"
if [ ! -d node_modules/s3rver ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
