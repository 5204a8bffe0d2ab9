#!/usr/bin/env bash
# The program under a real web server (lighttpd) driven by a real client
# (curl): registration, profile view, profile form and save, a JPEG post, and
# what the server makes of an error page. Usage: lighttpd_test.sh EXE
set -uo pipefail
exe=$1
here=$(cd "$(dirname "$0")/../.." && pwd)
command -v lighttpd >/dev/null || { echo "lighttpd is not installed (scripts/install-deps.sh)"; exit 1; }
command -v curl >/dev/null || { echo "curl is not installed (scripts/install-deps.sh)"; exit 1; }

work=$(mktemp -d /tmp/orvalengate-e2e-XXXXXX)
port=$(( 20000 + RANDOM % 20000 ))
"$here/scripts/make-site.sh" "$exe" "$work" "$port" >/dev/null
lighttpd -D -f "$work/lighttpd.conf" & server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done

base="http://127.0.0.1:$port"
cgi="$base/cgi/orvalengate.exe"
passed=0; failed=0
check() {  # check NAME CONDITION-COMMAND...
  local name=$1; shift
  if "$@"; then passed=$((passed+1)); else failed=$((failed+1)); echo "FAILED: $name"; fi
}
contains() { grep -qF -- "$2" <<<"$1"; }
same_bytes() { cmp -s "$1" <(printf '%s' "$2"); }  # command substitution would drop the final line end

page=$(curl -s "$base/")
check "index page is served" contains "$page" "orvalengate demo site"

reply=$(curl -s -D "$work/h1" -F session=demo -F command=registration -F id=alice -F pw=secret1 -F pw2=secret1 \
  -F "realname=Alice Liddell" -F mail=alice@example.com -F country=UK "$cgi")
check "registration accepted" contains "$reply" "<title>Registration acceptance</title>"
check "status 200 from the CGI status line" grep -q "^HTTP/1.1 200" "$work/h1"
check "content type from the program" grep -qi "^Content-Type: text/html" "$work/h1"
expected=$'id=alice\r\npw=secret1\r\nrealname=Alice&nbsp;Liddell\r\ncountry=UK\r\nmail=alice@example.com\r\n'
check "record holds the five lines" same_bytes "$work/data/members/alice.txt" "$expected"

reply=$(curl -s -F session=demo -F command=registration -F id=alice -F pw=other12 -F pw2=other12 \
  -F realname=Mallory -F mail=m@example.com "$cgi")
check "second registration refused" contains "$reply" "The same ID is already registered."
check "record untouched" same_bytes "$work/data/members/alice.txt" "$expected"

reply=$(curl -s "$cgi?showuser=alice&session=demo")
check "profile view shows the name" contains "$reply" "Alice&nbsp;Liddell"
check "profile view never shows the password" bash -c '! grep -q secret1 <<<"$0"' "$reply"

reply=$(curl -s -F session=demo -F command=changeprof1e -F id=alice -F pw=secret1 "$cgi")
check "english profile form" contains "$reply" "<h4>Your Profile</h4>"

reply=$(curl -s -F session=demo -F command=changeprof2 -F id=alice -F pw=secret1 -F "realname=Alice Liddell" \
  -F mail=alice@example.com -F country=UK -F "comment=Down the rabbit hole" -F url1=https://example.org/ \
  -F urlname1=Home "$cgi")
check "profile save answers with the profile page" contains "$reply" 'Down&nbsp;the&nbsp;rabbit&nbsp;hole'
check "saved link shown" contains "$reply" '<a href="https://example.org/"  target="_blank"> https://example.org/</a>'

printf '\xff\xd8\xff\xe0\x00\x10JFIF\x00demo-bytes\xff\xd9' > "$work/cat.jpg"
reply=$(curl -s -F session=demo -F command=postleaf -F id=alice -F pw=secret1 -F blank-title=Cat \
  -F "leaf=@$work/cat.jpg;type=image/jpeg" "$cgi")
check "post accepted" contains "$reply" "<title>File acceptance</title>"
check "image stored byte for byte" cmp -s "$work/cat.jpg" "$work/data/upload/img0001.jpg"
record=$'<tslkeys>\r\nsession=demo\r\nid=alice\r\nblank-title=Cat\r\nleaf=cat.jpg\r\n\r\n</tslkeys>\r\n'
check "posted-file record" same_bytes "$work/data/upload/img0001.txt" "$record"
check "stored image is served back" cmp -s "$work/cat.jpg" <(curl -s "$base/upload/img0001.jpg")
check "posted-file record is not served" test "$(curl -s -o /dev/null -w '%{http_code}' "$base/upload/img0001.txt")" = 403

reply=$(curl -s -F session=demo -F command=postleaf -F id=alice -F pw=wrong "$cgi")
check "wrong password answered with the error page" contains "$reply" "ERROR: The password is wrong."

reply=$(curl -s -d "session=demo&command=changepw&id=alice&pw0=secret1&pw1=secret2&pw2=secret2" "$cgi")
check "url-encoded password change" contains "$reply" "<title>Registration acceptance</title>"
check "password changed in place" grep -q $'^pw=secret2\r$' "$work/data/members/alice.txt"

dumps=$(find "$work/data/dump" -type f | wc -l)
check "every post was dumped" test "$dumps" -ge 7

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
