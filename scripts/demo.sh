#!/usr/bin/env bash
# Builds the program and serves the demo site (site/) under lighttpd on
# http://127.0.0.1:${PORT:-8080}/ until interrupted, with one member already
# registered so that a newcomer can open a profile and post at once.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --demo
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALENGATE_TESTS=OFF >/dev/null
echo "Building build/orvalengate (the compiler's output: build/demo-build.log)"
if ! cmake --build build -j"$(nproc)" --target orvalengate >build/demo-build.log 2>&1; then
  tail -40 build/demo-build.log
  exit 1
fi
# The program is linked statically; the linker then notes that libgpg-error
# (libgcrypt's helper) could look up users and hosts, which it does only to
# expand a "~" in a file name: this program never asks it to.
if grep -q "getpwnam\|gethostbyname" build/demo-build.log; then
  echo "(The linker's getpwnam/gethostbyname notes in that log are harmless: the program looks up no user or host.)"
fi
port=${PORT:-8080}
# The demo shows the second page set (Pages=modern in its session) where
# members sign in once (SignIn=1), stores
# photos without their location and passwords hashed, and keeps the mails
# it sends in build/demo/data/mail, so that nothing leaves this machine.
PAGES=modern SIGNIN=1 STRIP_LOCATION=1 KEEP_MAIL=1 HASH_PASSWORDS=1 scripts/make-site.sh build/orvalengate build/demo "$port"

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
Mails:        build/demo/data/mail: every mail the site sends (a password reset's
              link among them) is kept there as NAME.eml and, readable, NAME.txt;
              none leaves this machine
Ctrl-C stops the server.
TEXT
exec lighttpd -D -f build/demo/lighttpd.conf
