#!/usr/bin/env bash
# Builds the program and serves the demo site (site/) under lighttpd on
# http://127.0.0.1:${PORT:-8080}/ until interrupted, with one member already
# registered so that a newcomer can open a profile and post at once.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --demo
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALENGATE_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target orvalengate
port=${PORT:-8080}
# The demo shows the second page set (Pages=modern in its session) and
# stores photos without their location.
PAGES=modern STRIP_LOCATION=1 scripts/make-site.sh build/orvalengate build/demo "$port"

# The demo member, registered by running the program once as the server
# would. A member left from an earlier run stays as it is (and keeps any
# password changed since).
id=hanako pw=hanako123
realname=$(printf '山田 花子' | iconv -f UTF-8 -t SHIFT_JIS | od -An -v -tx1 | tr -d ' \n' | sed 's/../%&/g')
body="session=demo&command=registration&id=$id&pw=$pw&pw2=$pw&realname=$realname&mail=$id@example.com&country=Japan"
answer=$(printf %s "$body" | SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=POST CONTENT_LENGTH=${#body} \
  CONTENT_TYPE=application/x-www-form-urlencoded build/demo/cgi/orvalengate.exe)
case $answer in
  *'You are registered'* | *'That ID is taken'*) ;;
  *) echo "Registering the demo member failed:"; printf '%s\n' "$answer" | iconv -f SHIFT_JIS -t UTF-8 -c; exit 1 ;;
esac

base=http://127.0.0.1:$port
cat <<TEXT
Demo site:    $base/
Demo member:  ID $id, password $pw
Its profile:  $base/cgi/orvalengate.exe?showuser=$id&session=demo
Data:         build/demo/data (session "demo"; uploads under $base/upload/)
Ctrl-C stops the server.
TEXT
exec lighttpd -D -f build/demo/lighttpd.conf
