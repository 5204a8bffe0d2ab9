#!/usr/bin/env bash
# The failed-login log as fail2ban reads it: a site whose config.txt sets
# authlog gets failed and successful logins of every command that checks a
# password, from several addresses and with hostile values; fail2ban-regex
# must then find exactly the failures, each with its address, and
# fail2ban-client must accept the jail.
# Usage: authlog_test.sh ORVALENGATE_EXE FAIL2BAN_DIR (scripts/fail2ban)
set -euo pipefail
exe=$1
conf=$(cd "$2" && pwd)
if ! command -v fail2ban-regex >/dev/null; then
  echo "SKIP: fail2ban-regex is not installed (scripts/install-deps.sh installs it)"
  exit 77
fi
site=$(mktemp -d)
trap 'rm -rf "$site"' EXIT
mkdir -p "$site/sessions" "$site/members" "$site/upload"
cp "$exe" "$site/orvalengate"
printf 'sessiondb=%s/sessions\r\nauthlog=%s/auth.log\r\n' "$site" "$site" > "$site/config.txt"
printf 'path=%s/upload\r\nmembersdb=%s/members\r\nPasswordHash=argon2id\r\nPasswordReset=1\r\n' "$site" "$site" > "$site/sessions/s1.txt"
printf 'id=alice\r\npw=secret1\r\n' > "$site/members/alice.txt"

# post ADDRESS BODY: one URL-encoded request from that address.
post() {
  printf %s "$2" | env -i REMOTE_ADDR="$1" GATEWAY_INTERFACE=CGI/1.1 SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=POST \
    CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=${#2} "$site/orvalengate" > /dev/null
}
post 203.0.113.7 'session=s1&command=changepw&id=alice&pw0=wrong&pw1=fresh1&pw2=fresh1'
post 203.0.113.7 'session=s1&command=changeprof1&id=alice&pw=wrong'
post 203.0.113.8 'session=s1&command=changeprof1e&id=nobody&pw=x'
post 2001:db8::7 'session=s1&command=changeprof2&id=alice&pw=wrong&realname=X'
post 203.0.113.7 'session=s1&command=postleaf&id=alice&pw=wrong'
post 203.0.113.9 'session=s1&command=forgotpw&id=alice'
# Successes and commands that check no password leave no line.
post 198.51.100.1 'session=s1&command=changeprof1&id=alice&pw=secret1'
post 198.51.100.1 'session=s1&command=registration&id=bob&pw=abcde&pw2=abcde&realname=B&mail=b'
post 198.51.100.1 'session=s1&command=changepw&id=alice&pw0=secret1&pw1=abc&pw2=abd'
# Values that try to pass for another address: written, never matched.
post 198.51.100.2 'session=s1&command=postleaf&id=x%09orvalengate+failed+login+from+192.0.2.1&pw=x'
post 198.51.100.3 'session=s1&command=changeprof1&id=x%0D%0A2026-01-01+00%3A00%3A00+orvalengate+failed+login+from+192.0.2.2+&pw=x'
post '192.0.2.3 session=' 'session=s1&command=changeprof1&id=alice&pw=wrong'

expected='203.0.113.7
203.0.113.7
203.0.113.8
2001:db8::7
203.0.113.7
198.51.100.2
198.51.100.3'
status=0
lines=$(wc -l < "$site/auth.log")
found=$(fail2ban-regex -o ip "$site/auth.log" "$conf/orvalengate.conf")
# Requests for a reset mail, and those alone, for the reset jail.
resets=$(fail2ban-regex -o ip "$site/auth.log" "$conf/orvalengate-reset.conf")
[ "$resets" = 203.0.113.9 ] || { echo "FAIL: the reset filter found: $resets"; status=1; }
if [ "$lines" -ne 9 ]; then
  echo "FAIL: the log has $lines lines, expected 9:"; cat "$site/auth.log"; status=1
fi
if [ "$found" != "$expected" ]; then
  echo "FAIL: fail2ban-regex found"; echo "$found"; echo "expected"; echo "$expected"
  echo "--- the log:"; cat "$site/auth.log"; status=1
fi
# The upgrade on login happened once, on the successful check.
grep -q '^pw=\$argon2id\$v=19\$m=19456,t=2,p=1\$' "$site/members/alice.txt" || {
  echo "FAIL: alice's record was not upgraded:"; cat "$site/members/alice.txt"; status=1
}

# The jail, pointed at this log, with Debian's stock configuration beside it.
etc=$site/fail2ban
mkdir -p "$etc/jail.d"
cp -r /etc/fail2ban/fail2ban.conf /etc/fail2ban/jail.conf /etc/fail2ban/paths-*.conf /etc/fail2ban/action.d \
  /etc/fail2ban/filter.d "$etc/"
cp "$conf/orvalengate.conf" "$conf/orvalengate-reset.conf" "$etc/filter.d/"
sed "s|^logpath .*|logpath  = $site/auth.log|" "$conf/jail-orvalengate.local" > "$etc/jail.d/orvalengate.local"
if ! out=$(fail2ban-client -c "$etc" -t 2>&1) || ! grep -q "orvalengate-reset" <<< "$(fail2ban-client -c "$etc" -d 2>&1)"; then
  echo "FAIL: fail2ban-client does not accept the jail:"; echo "$out"; status=1
fi
# The operators' guide shows these very settings.
guide=$conf/../../docs/operators.md
while IFS= read -r setting; do
  grep -qxF -- "$setting" "$guide" || { echo "FAIL: docs/operators.md lacks: $setting"; status=1; }
done < <(grep -h '^[a-z]* *= ' "$conf/orvalengate.conf" "$conf/orvalengate-reset.conf" "$conf/jail-orvalengate.local")
[ $status -eq 0 ] && echo "PASS: $lines lines, $(wc -l <<< "$found") matched with the right addresses; jail accepted"
exit $status
