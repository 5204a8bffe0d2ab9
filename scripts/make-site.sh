#!/usr/bin/env bash
# Lays out a runnable site for a real web server (lighttpd) in DIR, serving
# on 127.0.0.1:PORT: the program as /cgi/orvalengate.exe with its config.txt,
# one session "demo" with its member, upload and dump directories, and the
# demo site's pages (site/), whose forms post to the program. Usage: make-site.sh EXE DIR PORT
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

# The pages (site/): UTF-8 sources served as Shift_JIS, like the program's own
# pages, with the session name filled in. The stylesheet is written into each
# page, so the pages need nothing from the server but themselves.
session=demo
for page in "$here"/site/*.html; do
  awk -v session="$session" -v css="$here/site/site.css" '
    /<link rel="stylesheet" href="site.css">/ {
      print "<style>"; while ((getline line < css) > 0) print line; close(css); print "</style>"; next }
    { out = ""; while ((i = index($0, "@SESSION@")) > 0) { out = out substr($0, 1, i - 1) session; $0 = substr($0, i + 9) }
      print out $0 }' "$page" | iconv -f UTF-8 -t SHIFT_JIS > "$dir/htdocs/$(basename "$page")"
done

cat > "$dir/lighttpd.conf" <<CONF
server.document-root = "$dir/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$dir/log/error.log"
server.pid-file = "$dir/lighttpd.pid"
server.modules = ( "mod_alias", "mod_cgi" )
index-file.names = ( "index.html" )
mimetype.assign = ( ".html" => "text/html; charset=Shift_JIS", ".jpg" => "image/jpeg" )
alias.url = ( "/cgi/" => "$dir/cgi/", "/upload/" => "$dir/data/upload/" )
\$HTTP["url"] =~ "^/cgi/" { cgi.assign = ( ".exe" => "" ) }
\$HTTP["url"] =~ "^/upload/" { static-file.exclude-extensions = ( ".txt" ) }
CONF
