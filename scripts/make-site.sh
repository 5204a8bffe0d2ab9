#!/usr/bin/env bash
# Lays out a runnable site for a real web server (lighttpd) in DIR, serving
# on 127.0.0.1:PORT: the program as /cgi/orvalengate.exe with its config.txt,
# one session "demo" with its member, upload and dump directories, and a page
# of forms that post to the program. Usage: [SITE_USER=user] make-site.sh EXE DIR PORT
set -euo pipefail
exe=$(readlink -f "$1"); dir=$2; port=$3
here=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$dir"
dir=$(readlink -f "$dir")
mkdir -p "$dir/htdocs" "$dir/cgi" "$dir/data/sessions" "$dir/data/members" "$dir/data/upload" "$dir/data/dump" "$dir/log"
cp "$exe" "$dir/cgi/orvalengate.exe"
printf 'sessiondb=%s\r\ndumppath=%s\r\n' "$dir/data/sessions" "$dir/data/dump" > "$dir/cgi/config.txt"
printf 'path=%s\r\nmembersdb=%s\r\nFileNameTemplate=img####\r\n' "$dir/data/upload" "$dir/data/members" \
  > "$dir/data/sessions/demo.txt"
cp "$here/demo/index.html" "$dir/htdocs/index.html"

# The server configuration: scripts/servers/lighttpd.conf.in, run as SITE_USER
# (who must then own the data folders) or, without it, as whoever starts it.
mkdir -p "$dir/run"
"$here/scripts/servers/render.sh" lighttpd "$dir" "$port" 127.0.0.1 "${SITE_USER:-}" > "$dir/lighttpd.conf"
