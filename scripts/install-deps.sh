#!/usr/bin/env bash
# Installs what building, testing and the demo need, on Debian, when missing.
# `install-deps.sh --demo` installs only what the demo site needs.
set -euo pipefail
demo_only=false
[ "${1:-}" = "--demo" ] && demo_only=true

packages=(cmake g++ make lighttpd)
# HTTPS under lighttpd, as the guide sets it up (tests/guide).
packages+=(lighttpd-mod-openssl openssl)
# Argon2id password hashes: libgcrypt, linked into the program (the demo's too).
packages+=(libgcrypt20-dev)
# The sized copies of posted photos: libjpeg-turbo, linked in too.
packages+=(libjpeg62-turbo-dev)
if ! $demo_only; then
  packages+=(libgtest-dev libbenchmark-dev curl chromium strace wrk)
  # Fonts for the browser test's screenshots: Japanese and emoji, which would
  # otherwise show as empty boxes.
  packages+=(fonts-ipafont-gothic fonts-noto-color-emoji)
  # The other web servers the e2e tests run the program under.
  packages+=(apache2 nginx fcgiwrap)
  # The resident (FastCGI) mode: the kit it links, its bridge and spawner for the tests, php-fpm for the benchmark.
  packages+=(libfcgi-dev libfcgi-bin spawn-fcgi php-fpm php-cli)
  # The fuzz targets: clang with its libFuzzer and sanitizer runtimes.
  packages+=(clang libclang-rt-14-dev)
  # The failed-login log's fail2ban filter is tested with fail2ban-regex; our
  # hashes are checked against Debian's libargon2 and its command-line tool.
  packages+=(fail2ban libargon2-dev argon2)
  # The Debian package's build and checks (tests/package: lintian, logrotate), the resident mode
  # on systemd's socket passing (systemd-socket-activate, systemd-analyze),
  # and the Windows archive (zip).
  packages+=(debhelper lintian logrotate systemd zip)
  # GlusterFS, for the test of two web servers sharing one site (tests/shared-storage).
  packages+=(glusterfs-server glusterfs-client)
  # Test photos with location, orientation and XMP: made by ImageMagick,
  # tagged and read back by exiftool.
  packages+=(imagemagick libimage-exiftool-perl)
  # The mail the program sends, delivered by this machine's own mail server to a
  # local mailbox (tests/mail/exim.sh sets it to deliver locally only).
  packages+=(exim4-daemon-light)
  # The browser test needs Node.js; a machine that already has it (from
  # another source than Debian) keeps its own.
  command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
fi
"$(dirname "$0")/apt-install.sh" "${packages[@]}"
$demo_only && exit 0

# The browser test's driver and checker, exactly as locked; installed again
# when the lock has changed since (a copy of it marks what was installed).
here=$(cd "$(dirname "$0")/.." && pwd)
browser=$here/tests/browser
if ! cmp -s "$browser/package-lock.json" "$browser/node_modules/.installed-lock.json"; then
  (cd "$browser" && npm ci --no-audit --no-fund --loglevel=error >/dev/null &&
    cp package-lock.json node_modules/.installed-lock.json)
fi
