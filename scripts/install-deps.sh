#!/usr/bin/env bash
# Installs what building, testing and the demo need, on Debian, when missing.
# `install-deps.sh --demo` installs only what the demo site needs.
set -euo pipefail
demo_only=false
[ "${1:-}" = "--demo" ] && demo_only=true

packages=(cmake g++ make lighttpd)
if ! $demo_only; then
  packages+=(libgtest-dev libbenchmark-dev curl chromium strace wrk)
  # Fonts for the browser test's screenshots: Japanese and emoji, which would
  # otherwise show as empty boxes.
  packages+=(fonts-ipafont-gothic fonts-noto-color-emoji)
  # The other web servers the e2e tests run the program under.
  packages+=(apache2 nginx fcgiwrap)
  # The fuzz targets: clang with its libFuzzer and sanitizer runtimes.
  packages+=(clang libclang-rt-14-dev)
  # The browser test needs Node.js; a machine that already has it (from
  # another source than Debian) keeps its own.
  command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  # Debian starts and enables a web server as it installs it: two of them
  # would fight over port 80, and the tests start their own on free ports.
  # They are kept from starting (policy-rc.d) and left disabled.
  held=false
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf "#!/bin/sh\nexit 101\n" | $sudo tee /usr/sbin/policy-rc.d >/dev/null
    $sudo chmod 755 /usr/sbin/policy-rc.d
    held=true
    trap "$sudo rm -f /usr/sbin/policy-rc.d" EXIT
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  if $held; then
    $sudo rm -f /usr/sbin/policy-rc.d
    trap - EXIT
    for unit in apache2 nginx fcgiwrap.socket; do
      case " ${missing[*]} " in *" ${unit%.socket} "*)
        command -v systemctl >/dev/null && $sudo systemctl disable "$unit" >/dev/null 2>&1 || true;;
      esac
    done
  fi
fi
$demo_only && exit 0

# The browser test's driver, exactly as locked.
here=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -d "$here/tests/browser/node_modules" ]; then
  (cd "$here/tests/browser" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
