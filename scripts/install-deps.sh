#!/usr/bin/env bash
# Installs what building, testing and the demo need, on Debian, when missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libbenchmark-dev lighttpd curl chromium)
# The browser test needs Node.js; a machine that already has it (from another
# source than Debian) keeps its own.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The browser test's driver, exactly as locked.
here=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -d "$here/tests/browser/node_modules" ]; then
  (cd "$here/tests/browser" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
