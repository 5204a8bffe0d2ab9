#!/usr/bin/env bash
# Lays out a runnable site for a real web server (lighttpd) in DIR, serving
# on 127.0.0.1:PORT: the program as /cgi/orvalengate.exe with its config.txt,
# one session "demo" with its member, upload and dump directories, and the
# demo site's pages (site/), whose forms post to the program.
# PAGES=modern gives the session the second page set (scripts/demo.sh does);
# without it the program answers with its default pages, which the tests
# that read answers byte for byte expect.
# KEEP_MAIL=1 keeps the site's mails in DIR/data/mail (scripts/keep-mail.sh)
# instead of handing them to the machine's mail program; HASH_PASSWORDS=1
# stores passwords hashed. The demo does both.
# Usage: [SITE_USER=user] [WITH_DUMPS=1] [PAGES=modern [SIGNIN=1]] [STRIP_LOCATION=1] [KEEP_MAIL=1] [HASH_PASSWORDS=1]
#        make-site.sh EXE DIR PORT
set -euo pipefail
exe=$(readlink -f "$1"); dir=$2; port=$3
here=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$dir"
dir=$(readlink -f "$dir")
mkdir -p "$dir/htdocs" "$dir/cgi" "$dir/data/sessions" "$dir/data/members" "$dir/data/upload" "$dir/data/dump" "$dir/log"
cp "$exe" "$dir/cgi/orvalengate.exe"
# Dumps keep every body as received, passwords included: only the tests,
# which check them, ask for them (WITH_DUMPS=1); the demo leaves them off.
if [ "${WITH_DUMPS:-}" = 1 ]; then
  printf 'sessiondb=%s\r\ndumppath=%s\r\n' "$dir/data/sessions" "$dir/data/dump" > "$dir/cgi/config.txt"
else
  printf 'sessiondb=%s\r\n' "$dir/data/sessions" > "$dir/cgi/config.txt"
fi
# Members ask for a new password by mail (through the machine's mail
# program, when it has one, or kept in data/mail) and remove their own
# accounts.
printf 'siteurl=http://127.0.0.1:%s/cgi/orvalengate.exe\r\nmailfrom=orvalengate@localhost\r\n' "$port" \
  >> "$dir/cgi/config.txt"
if [ "${KEEP_MAIL:-}" = 1 ]; then
  mkdir -p "$dir/bin" "$dir/data/mail"
  printf '#!/bin/sh\nexec "%s/scripts/keep-mail.sh" "%s/data/mail"\n' "$here" "$dir" > "$dir/bin/sendmail"
  chmod 755 "$dir/bin/sendmail"
  printf 'sendmail=%s/bin/sendmail\r\n' "$dir" >> "$dir/cgi/config.txt"
fi
printf 'path=%s\r\nmembersdb=%s\r\nFileNameTemplate=img####\r\nPasswordReset=1\r\nSelfRemoval=1\r\n' \
  "$dir/data/upload" "$dir/data/members" > "$dir/data/sessions/demo.txt"
# The demo takes JPEGs only and stores them without their location
# (STRIP_LOCATION=1); the tests that store posted bytes exactly leave it off.
if [ "${STRIP_LOCATION:-}" = 1 ]; then printf 'StripLocation=1\r\n' >> "$dir/data/sessions/demo.txt"; fi
if [ "${HASH_PASSWORDS:-}" = 1 ]; then printf 'PasswordHash=argon2id\r\n' >> "$dir/data/sessions/demo.txt"; fi
if [ "${PAGES:-}" = modern ]; then
  printf 'Pages=modern\r\nSiteName=orvalengate demo site\r\nSiteHome=/\r\nUploadUrl=/upload/\r\n' \
    >> "$dir/data/sessions/demo.txt"
  # SIGNIN=1: members sign in once (the demo's way).
  if [ "${SIGNIN:-}" = 1 ]; then printf 'SignIn=1\r\n' >> "$dir/data/sessions/demo.txt"; fi
fi

# The pages (site/), in Shift_JIS, whose forms post to the session demo,
# under the demo's name.
SIGNIN=$([ "${PAGES:-}" = modern ] && [ "${SIGNIN:-}" = 1 ] && echo 1 || echo 0) \
  "$here/scripts/make-pages.sh" "$dir/htdocs" demo "orvalengate demo site"

# The server configuration: scripts/servers/lighttpd.conf.in, run as SITE_USER
# (who must then own the data folders) or, without it, as whoever starts it.
mkdir -p "$dir/run"
"$here/scripts/servers/render.sh" lighttpd "$dir" "$port" 127.0.0.1 "${SITE_USER:-}" > "$dir/lighttpd.conf"
