#!/bin/bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libpugixml-dev
  clang libclang-rt-14-dev
  curl rclone strace valgrind time binutils python3 sqlite3
  python3-prometheus-client  # an independent reader of tzrecon --metrics, for its test
  locales  # locale sources: the S3 signer test builds a Latin-1 locale with localedef
  liburing-dev libfuse3-dev fuse3 fd-find gdu
  chromium  # the browser test of tzrecon report's page (headless)
  parallel  # GNU parallel: the many-machines recipe's test and the folder diff benchmark
  systemd   # systemd-analyze: the test of contrib/'s service and timer
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
command -v node > /dev/null || missing+=(nodejs)
command -v npm > /dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
