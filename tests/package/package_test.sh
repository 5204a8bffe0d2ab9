#!/usr/bin/env bash
# The Debian package as an operator meets it: built from a copy of the tree,
# checked by lintian, installed with apt, the resident mode started from the
# installed units' own command lines (systemd-socket-activate: no systemd
# as PID 1 here) behind nginx with the installed site configuration, through
# the end-to-end checks every server passes; then
# upgraded to a rebuilt package (members, posts and configuration kept),
# removed (data kept) and purged (nothing left). Needs root; changes the
# machine's packages. Usage: package_test.sh
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "package_test.sh needs root"; exit 1; }
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/orvalengate-package-XXXXXX)
chmod 755 "$work"  # the web servers' users reach their sockets inside
pids=()
stop() {
  local p; for p in "${pids[@]}"; do kill -- "-$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; pids=()
  # Residents started by hand (start-without-systemd) are no child of ours.
  pkill -x -f /usr/libexec/orvalengate/orvalengate 2>/dev/null || true
  for _ in $(seq 50); do pgrep -x -f /usr/libexec/orvalengate/orvalengate >/dev/null || break; sleep 0.1; done
}
trap 'stop; dpkg -s orvalengate >/dev/null 2>&1 && apt-get purge -y -qq orvalengate >/dev/null; rm -rf "$work"' EXIT
failures=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi; }

# Tracked and new files only: no build folders, and the tree stays clean.
mkdir "$work/src"
(cd "$here" && git ls-files -z -c -o --exclude-standard | tar --null -T - -cf -) | tar -C "$work/src" -xf -
build() {
  (cd "$work/src" && dpkg-checkbuilddeps && dpkg-buildpackage -b -us -uc -j2 "$@") >"$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log"; exit 1; }
}
build
changes=$(ls "$work"/orvalengate_*.changes)
lintian --fail-on error --display-info "$changes" | tee "$work/lintian.txt"
dpkg -c "$work"/orvalengate_*.deb

apt-get install -y -qq "$work"/orvalengate_*.deb >/dev/null
check "a fresh install checks ok, its commented lines and unset mail keys no problem" \
  'runuser -u www-data -- orvalengate-admin check >"$work/check.txt"; r=$?; cat "$work/check.txt"; [ "$r" = 0 ]'
check "orvalengate --version by hand, without a terminal; a CGI request never gets it" \
  'orvalengate --version </dev/null | grep -q "^orvalengate [0-9]" &&
   ! REQUEST_METHOD=GET orvalengate --version </dev/null | grep -q "^orvalengate [0-9]"'
unit_file() { dpkg -L orvalengate | grep "/systemd/system/orvalengate\.$1\$"; }
service=$(unit_file service); socket=$(unit_file socket)
systemd-analyze verify --man=no $(dpkg -L orvalengate | grep '/systemd/system/orvalengate')
systemd-analyze security --offline=yes "$service" | tail -1
exec_start=$(sed -n 's/^ExecStart=//p' "$service")
listen=$(sed -n 's/^ListenStream=//p' "$socket")
user=$(sed -n 's/^User=//p' "$service")

# The resident mode as the units start it, or (by-hand) as README.Debian
# starts it where systemd is not PID 1.
start_site() {
  if [ "${1:-}" = by-hand ]; then
    /usr/libexec/orvalengate/start-without-systemd >"$work/by-hand.log" 2>&1 || { cat "$work/by-hand.log"; exit 1; }
  else
    install -d -o "$user" -m 0755 "$(dirname "$listen")"
    rm -f "$listen"
    (umask "$(sed -n 's/^UMask=//p' "$service")"
     exec setsid setpriv --reuid="$user" --regid="$user" --init-groups systemd-socket-activate -l "$listen" -- $exec_start) &
    pids+=($!)
  fi
  while port=$((20000 + RANDOM % 30000)); (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do :; done
  sed -e "s/listen 80;/listen 127.0.0.1:$port;/" -e '/listen \[::\]/d' /etc/nginx/sites-available/orvalengate >"$work/site.conf"
  printf 'daemon off; pid %s/nginx.pid; error_log %s/nginx.log; user www-data;\nevents {}\nhttp { include /etc/nginx/mime.types; include %s/site.conf; }\n' \
    "$work" "$work" "$work" >"$work/nginx.conf"
  setsid nginx -e "$work/nginx.log" -c "$work/nginx.conf" & pids+=($!)
  base=http://127.0.0.1:$port
  for _ in $(seq 50); do curl -fs -o /dev/null "$base/" && [ -S "$listen" ] && return 0; sleep 0.1; done
  cat "$work/nginx.log"; exit 1
}
start_site by-hand
check "started without systemd: the residents run as www-data on a www-data-only socket" \
  '[ "$(pgrep -x -f -u www-data /usr/libexec/orvalengate/orvalengate | wc -l)" = 2 ] &&
   [ "$(stat -c %U:%a "$listen")" = "www-data:600" ]'
# The checks every server passes (tests/e2e/checks.sh) on the installed program, units, nginx configuration
# and pages, under the e2e runners' own session (clear passwords, default pages, posts stored as sent) in
# place of the default one meanwhile; the site emptied after. The installed config.txt keeps no dumps.
lib=/var/lib/orvalengate htdocs=/var/lib/orvalengate/htdocs
mv "$lib/sessions/demo.txt" "$work/demo.txt"
printf 'path=%s\r\nmembersdb=%s\r\nFileNameTemplate=img####\r\nPasswordReset=1\r\nSelfRemoval=1\r\n' "$lib/upload" "$lib/members" \
  >"$lib/sessions/demo.txt"
check "the end-to-end checks on the installed site" \
  '(set +e; cgi=$base/cgi/orvalengate.exe data=$lib no_dumps=1; source "$here/tests/e2e/checks.sh")'
rm -r "$htdocs/.private"; find "$lib/sessions" "$lib/members" "$lib/upload" -mindepth 1 -delete
mv "$work/demo.txt" "$lib/sessions/demo.txt"
profile() { curl -s "$base/cgi/orvalengate.exe?showuser=hanako&session=demo" | iconv -f SHIFT_JIS -t UTF-8; }
# grep reads to the end (no -q): a page longer than a pipe's buffer would
# otherwise end curl with SIGPIPE, which pipefail counts as a failure.
check "the installed pages, in Shift_JIS" 'curl -s -D - "$base/register.html" | grep -i "charset=Shift_JIS" >/dev/null'
curl -s -F session=demo -F command=registration -F id=hanako -F pw=secret12 -F pw2=secret12 -F mail=h@example.jp -F realname=Hanako \
  "$base/cgi/orvalengate.exe" >/dev/null
check "a registered member's profile through nginx and the resident mode" 'profile | grep -q Hanako'
# The package's HTTPS site, with a certificate where an ACME client writes one (here a self-signed one).
free_port() { local p; while p=$((20000 + RANDOM % 30000)); (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; do :; done; echo "$p"; }
sport=$(free_port) hport=$(free_port)
mkdir -m 700 "$work/tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=example.org -keyout "$work/tls/key.pem" -out "$work/tls/cert.pem" 2>/dev/null
sed -e "s|/etc/letsencrypt/live/example.org/fullchain.pem|$work/tls/cert.pem|" -e "s|/etc/letsencrypt/live/example.org/privkey.pem|$work/tls/key.pem|" \
  -e "s/listen 443 ssl;/listen 127.0.0.1:$sport ssl;/" -e "s/listen 80;/listen 127.0.0.1:$hport;/" -e '/listen \[::\]/d' \
  /etc/nginx/sites-available/orvalengate-https >"$work/https.conf"
printf 'daemon off; pid %s/nginx-https.pid; error_log %s/nginx-https.log; user www-data;\nevents {}\nhttp { include /etc/nginx/mime.types; include %s/https.conf; }\n' \
  "$work" "$work" "$work" >"$work/nginx-https.conf"
setsid nginx -e "$work/nginx-https.log" -c "$work/nginx-https.conf" & pids+=($!)
for _ in $(seq 50); do curl -skf -o /dev/null "https://127.0.0.1:$sport/" && break; sleep 0.1; done
check "the package's HTTPS site: the profile over TLS with HSTS, plain HTTP sent to HTTPS" \
  'curl -sk -D "$work/https.head" "https://127.0.0.1:$sport/cgi/orvalengate.exe?showuser=hanako&session=demo" | iconv -f SHIFT_JIS -t UTF-8 | grep -q Hanako &&
   grep -qi "^strict-transport-security: max-age=31536000" "$work/https.head" &&
   [ "$(curl -s -o /dev/null -w "%{http_code} %{redirect_url}" "http://127.0.0.1:$hport/register.html")" = "301 https://127.0.0.1/register.html" ]'
# The default site takes real JPEGs only (StripLocation).
convert -size 32x24 gradient:navy-orange "$work/cat.jpg"
curl -s -F session=demo -F command=postleaf -F id=hanako -F pw=secret12 -F blank-title=Cat \
  -F "leaf=@$work/cat.jpg;type=image/jpeg" "$base/cgi/orvalengate.exe" >/dev/null
check "a posted photo served back as it is stored, as a JPEG image only" \
  'curl -s -D "$work/upload.head" "$base/upload/img0001.jpg" | cmp -s - /var/lib/orvalengate/upload/img0001.jpg &&
   grep -qi "^content-type: image/jpeg" "$work/upload.head" && grep -qi "^x-content-type-options: nosniff" "$work/upload.head"'
check "its sized copies, www-data's, served as JPEG images only; orvalengate-admin size-photos finds nothing to do" \
  'curl -s -D "$work/sized.head" "$base/upload/sized/img0001-480.jpg" | cmp -s - /var/lib/orvalengate/upload/sized/img0001-480.jpg &&
   grep -qi "^content-type: image/jpeg" "$work/sized.head" && grep -qi "^x-content-type-options: nosniff" "$work/sized.head" &&
   [ "$(stat -c %U /var/lib/orvalengate/upload/sized/img0001-1080.jpg)" = www-data ] &&
   runuser -u www-data -- orvalengate-admin size-photos demo | grep -q "^0 made, 1 had them, 0 without$"'
check "the record is www-data's, 0600, in a 0700 folder, its password hashed" \
  '[ "$(stat -c %U:%a /var/lib/orvalengate/members /var/lib/orvalengate/members/hanako.txt | tr "\n" " ")" = "www-data:700 www-data:600 " ] &&
   grep -q "argon2id" /var/lib/orvalengate/members/hanako.txt'
check "orvalengate-admin on the PATH finds the installed site" \
  'orvalengate-admin --version | grep -q "^orvalengate-admin $(dpkg-query -W -f="\${Version}" orvalengate | cut -d+ -f1)" &&
   runuser -u www-data -- orvalengate-admin members demo | grep -q hanako'
check "the activity log holds the registration and the post, listed by orvalengate-admin recent" \
  'runuser -u www-data -- orvalengate-admin recent demo >"$work/recent.txt" &&
   grep -q " registered from 127.0.0.1 session=demo command=registration id=hanako$" "$work/recent.txt" &&
   grep -q " posted from 127.0.0.1 session=demo command=postleaf id=hanako file=img0001.jpg$" "$work/recent.txt"'
wrong_password() {
  curl -s -d "session=demo&command=changepw&id=hanako&pw0=wrong12&pw1=secret34&pw2=secret34" "$base/cgi/orvalengate.exe" >/dev/null
}
wrong_password
logrotate -f -s "$work/logrotate.state" /etc/logrotate.d/orvalengate
wrong_password
check "logrotate rotates the failed-login and activity logs, the program starts a new one" \
  '[ -f /var/log/orvalengate/auth.log.1 ] && [ "$(grep -c "failed login" /var/log/orvalengate/auth.log)" = 1 ] &&
   grep -q " registered from " /var/log/orvalengate/activity.log.1'
# A password reset through the installed mail path: the mail queued by config.txt's mail program and
# handed on by orvalengate-mail.service's own command line, as its user, to a stand-in sendmail.
printf 'siteurl=%s/cgi/orvalengate.exe\nmailfrom=site@example.jp\n' "$base" >>/etc/orvalengate/config.txt
check "with the documented mail keys set, the check is ok" 'runuser -u www-data -- orvalengate-admin check'
mail_unit=$(dpkg -L orvalengate | grep '/systemd/system/orvalengate-mail\.service$')
install -d -o www-data "$work/sent" "$work/args"
printf '#!/bin/sh\necho "$*" >"%s/args/$$"; cat >"%s/sent/$$"\n' "$work" "$work" >"$work/sendmail"; chmod 755 "$work/sendmail"
send_queue() { runuser -u "$(sed -n 's/^User=//p' "$mail_unit")" -- env SENDMAIL="$1" $(sed -n 's/^ExecStart=//p' "$mail_unit"); }
# The answer comes before the mail is queued (a process of its own sends it): wait for it.
forgot() {
  curl -s -o /dev/null -d "session=demo&command=forgotpw&id=hanako&lang=en" "$base/cgi/orvalengate.exe"
  for _ in $(seq 100); do [ -z "$(ls /var/spool/orvalengate/new)" ] || break; sleep 0.1; done
}
forgot; send_queue "$work/sendmail"
link=$(sed '1,/^\r\?$/d' "$work"/sent/* | base64 -d | grep -o "$base/cgi/orvalengate\.exe?session=demo&resetid=hanako&token=[0-9a-f]*&lang=en" || true)
check "a reset mail handed to sendmail, its link to the new-password form" '[ -n "$link" ] && curl -s "$link" | grep -q "name=\"pw1\""'
check "the envelope sender is mailfrom, so bounces reach the site" 'grep -qx -- "-t -i -f site@example.jp" "$work"/args/*'
forgot; send_queue /bin/false
check "a mail sendmail refuses is kept in failed/" '[ -z "$(ls /var/spool/orvalengate/new)" ] && [ -n "$(ls /var/spool/orvalengate/failed)" ]'

# The same site under Apache httpd with the installed site configuration, the program as CGI.
while aport=$((20000 + RANDOM % 30000)); (exec 3<>"/dev/tcp/127.0.0.1/$aport") 2>/dev/null; do :; done
mkdir -p "$work/apache"
sed "s/\*:80/127.0.0.1:$aport/" /etc/apache2/sites-available/orvalengate.conf >"$work/apache/site.conf"
{ printf 'Listen 127.0.0.1:%s\nUser www-data\nGroup www-data\nServerName localhost\nDefine APACHE_LOG_DIR %s\n' "$aport" "$work/apache"
  printf 'PidFile %s/pid\nDefaultRuntimeDir %s\nErrorLog %s/error.log\nScriptSock %s/cgid.sock\n' "$work/apache" "$work/apache" "$work/apache" "$work/apache"
  for m in mpm_event authz_core mime headers dir alias cgid; do echo "LoadModule ${m}_module /usr/lib/apache2/modules/mod_$m.so"; done
  echo "TypesConfig /etc/mime.types"; echo "Include $work/apache/site.conf"; } >"$work/apache/httpd.conf"
chmod 755 "$work/apache"
setsid apache2 -D FOREGROUND -f "$work/apache/httpd.conf" & pids+=($!)
for _ in $(seq 50); do curl -fs -o /dev/null "http://127.0.0.1:$aport/" && break; sleep 0.1; done
check "the same profile under Apache httpd, the program as CGI" \
  'curl -s "http://127.0.0.1:$aport/cgi/orvalengate.exe?showuser=hanako&session=demo" | iconv -f SHIFT_JIS -t UTF-8 | grep -q Hanako'
mv /etc/orvalengate/config.txt "$work/config.txt"
echo "sessiondb=/nonexistent" >/etc/orvalengate/config.txt
curl -s -o /dev/null "$base/cgi/orvalengate.exe?showuser=hanako&session=demo"
mv "$work/config.txt" /etc/orvalengate/config.txt
check "the program's error reaches /var/log/orvalengate/error.txt" \
  '[ "$(stat -c %U /var/log/orvalengate/error.txt)" = www-data ] && [ -L /usr/libexec/orvalengate/error.txt ]'
stop

# The upgrade: a higher version, rebuilt; an operator's change to the configuration.
echo "# the operator's own line" >>/etc/orvalengate/config.txt
snapshot() { (cd /var/lib/orvalengate && find . -type f -exec sha256sum {} + | sort; stat -c '%n %U %a' $(find . | sort)); }
snapshot >"$work/before"
sed -i '1s/^orvalengate (\([^)]*\))/orvalengate (\1+upgrade1)/' "$work/src/debian/changelog"
build -nc
apt-get install -y -qq "$work"/orvalengate_*+upgrade1_*.deb >/dev/null
check "upgraded" '[ "$(dpkg-query -W -f="\${Version}" orvalengate)" = "$(sed -n "1s/.*(\(.*\)).*/\1/p" "$work/src/debian/changelog")" ]'
check "the upgrade keeps members, posts and the configuration" \
  'snapshot | cmp -s - "$work/before" && grep -q "operator.s own line" /etc/orvalengate/config.txt'
start_site
check "the member's profile after the upgrade" 'profile | grep -q Hanako'
# The guide's "Making the pages your own", its lines as written.
awk '/^### Making the pages your own/ { on = 1 } on && /^```$/ && body { exit } body { print }
     on && /^```shell$/ { body = 1 }' "$here/docs/operators.md" >"$work/own-pages.sh"
check "the guide's lines that make the pages your own run" '[ -s "$work/own-pages.sh" ] && (bash -e "$work/own-pages.sh")'
club() { curl -s "$base/cgi/orvalengate.exe?showuser=hanako&session=club" | iconv -f SHIFT_JIS -t UTF-8; }
curl -s "$base/" | iconv -f SHIFT_JIS -t UTF-8 >"$work/index.html"
check "the static pages your own: the name, the session and the colours, root's" \
  'grep -q "<title>Kumo Club</title>" "$work/index.html" && grep -q "value=\"club\"" "$work/index.html" &&
   grep -q "#8a3b12" "$work/index.html" && ! grep -qi "demo" "$work/index.html" &&
   [ "$(stat -c %U:%a /var/lib/orvalengate/htdocs/index.html)" = root:644 ]'
check "the program's pages your own: the profile under the new session, name and stylesheet" \
  'club >"$work/club.html"; grep -q "Hanako" "$work/club.html" && grep -q "Kumo&nbsp;Club" "$work/club.html" &&
   grep -q "href=\"/site.css\"" "$work/club.html" && curl -s "$base/site.css" | grep -q "#8a3b12" ||
   { head -c 1500 "$work/club.html"; ls -l /var/lib/orvalengate/sessions; false; }'
stop

apt-get remove -y -qq orvalengate >/dev/null
check "remove keeps the data and the configuration" \
  '[ -f /var/lib/orvalengate/members/hanako.txt ] && [ -f /etc/orvalengate/config.txt ] && [ ! -e /usr/libexec/orvalengate ]'
apt-get purge -y -qq orvalengate >/dev/null
check "purge leaves nothing of the package" \
  '! dpkg -s orvalengate >/dev/null 2>&1 && [ -z "$(ls -d /etc/orvalengate /var/lib/orvalengate /var/log/orvalengate \
     /var/spool/orvalengate /usr/share/orvalengate /etc/systemd/system/*/orvalengate* 2>/dev/null)" ]'
[ "$failures" -eq 0 ]
