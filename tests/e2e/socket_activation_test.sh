#!/usr/bin/env bash
# The resident mode on the socket systemd passes (LISTEN_FDS, descriptor 3),
# started as orvalengate.service is, by systemd-socket-activate, and spoken
# to by cgi-fcgi: a registration, then the member's profile. And --version.
# Usage: socket_activation_test.sh EXE
set -euo pipefail
for tool in systemd-socket-activate cgi-fcgi setsid; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/install-deps.sh)"; exit 1; }
done
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/orvalengate-socket-XXXXXX)
trap '[ -z "${pid:-}" ] || kill -- "-$pid" 2>/dev/null; rm -rf "$work"' EXIT
"$here/scripts/make-site.sh" "$1" "$work/site" 8080 >/dev/null
sock=$work/site/run/app.sock
# Standard input is no socket here: only the passed one can serve.
setsid systemd-socket-activate -l "$sock" -- "$work/site/cgi/orvalengate.exe" </dev/null >"$work/activate.log" 2>&1 &
pid=$!
for _ in $(seq 50); do [ -S "$sock" ] && break; sleep 0.1; done
request() {  # METHOD QUERY [BODY]
  printf %s "${3:-}" | env -i REQUEST_METHOD="$1" QUERY_STRING="$2" CONTENT_LENGTH="${#3}" \
    CONTENT_TYPE=application/x-www-form-urlencoded SCRIPT_NAME=/cgi/orvalengate.exe SERVER_PROTOCOL=HTTP/1.1 \
    REMOTE_ADDR=127.0.0.1 cgi-fcgi -bind -connect "$sock"
}
request POST "" "session=demo&command=registration&id=hanako&pw=secret1&pw2=secret1&mail=h@example.jp&realname=Hanako" >"$work/r1"
request GET "showuser=hanako&session=demo" "" >"$work/r2"
request GET "showuser=hanako&session=demo" "" >"$work/r3"
status=0
grep -q "Hanako" "$work/r2" || { echo "FAIL: the profile of the registered member"; head -c 600 "$work/r2"; status=1; }
cmp -s "$work/r2" "$work/r3" || { echo "FAIL: the same process answers again alike"; status=1; }
[ "$(pgrep -c -f -x -- "$work/site/cgi/orvalengate.exe")" = 1 ] || { echo "FAIL: one resident process"; status=1; }
# --version answers a person (here at a terminal, which script(1) gives), never a CGI request.
version() { env "$@" script -qec "$work/site/cgi/orvalengate.exe --version" /dev/null | grep -c "^orvalengate [0-9]"; }
[ "$(version)" = 1 ] && [ "$(version GATEWAY_INTERFACE=CGI/1.1)" = 0 ] || { echo "FAIL: --version by hand only"; status=1; }
cat "$work/activate.log"
[ "$status" = 0 ] && echo "socket activation: ok"
exit "$status"
