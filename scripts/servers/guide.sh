#!/usr/bin/env bash
# Writes the installation section of docs/operators.md (between its
# "servers" markers) from the configuration templates the e2e tests run, so
# that the guide shows exactly what was tested. --check only compares.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
guide=$here/../../docs/operators.md
site=/srv/orvalengate port=80 addr=0.0.0.0 user=www-data

render() { "$here/render.sh" "$1" "$site" "$port" "$addr" "$user"; }
line() { render "$1" | sed -n "s/^# $2: //p"; }
unit() {  # unit DESCRIPTION EXEC [USER] [BEFORE] [AFTER-UNIT]
  printf '[Unit]\nDescription=%s\nAfter=network.target%s\n' "$1" "${5:+ $5}"
  [ -z "${5:-}" ] || printf 'Requires=%s\n' "$5"
  printf '\n[Service]\n'
  [ -z "${3:-}" ] || printf 'User=%s\nGroup=%s\n' "$3" "$3"
  [ -z "${4:-}" ] || printf 'ExecStartPre=%s\n' "$4"
  printf 'UMask=0077\nExecStart=%s\n\n[Install]\nWantedBy=multi-user.target\n' "$2"
}
fence() { printf '```%s\n' "$1"; cat; printf '```\n'; }
# by_hand < CONFIGURATION: its start lines as commands that need no systemd
# (each detaches; the servers' own users as in the units).
by_hand() {
  local conf; conf=$(cat)
  cat <<EOF

   Without systemd as PID 1 (a container, another init), or to try it
   first, start it by hand (the commands detach; \`kill\` their processes to
   stop them):

EOF
  {
    sed -n 's/^# before-start-as-user: //p' <<<"$conf"
    sed -n "s/^# start-as-user: \(.*\)/(umask 077 \&\& exec setsid -f runuser -u $user -- \1)/p" <<<"$conf"
    sed -n 's/^# start: \(.*\)/(umask 077 \&\& exec setsid -f \1)/p' <<<"$conf"
  } | fence sh | sed 's/^/   /'
}

server_steps() {  # server_steps SERVER PACKAGES DEBIAN-UNITS
  local server=$1 packages=$2 units=$3
  cat <<EOF
1. Install the server and keep Debian's own instance of it from starting
   (the site runs under a service of its own, with its own configuration):

EOF
  printf 'apt-get install %s\nsystemctl disable --now %s\n' "$packages" "$units" | fence sh | sed 's/^/   /'
  cat <<EOF

2. Write \`$site/$server.conf\`, exactly as the tests run it:

EOF
  render "$server" | fence "" | sed 's/^/   /; s/ *$//'
}

section() {
  cat <<EOF
## Installing by hand

The program runs as a CGI program under any of three web servers; each
configuration below is the one the end-to-end tests (\`tests/e2e\`, CTest
\`e2e_lighttpd\`, \`e2e_apache\`, \`e2e_nginx\`) run with, only listening on
\`$addr:$port\` and placed in \`$site\` (\`scripts/servers/guide.sh\` writes
this section from the same templates, \`scripts/servers/*.conf.in\`).

### The site (every server)

Build the program in the repository (the build needs \`build-essential
cmake libgcrypt20-dev libjpeg62-turbo-dev libfcgi-dev\`, not the test suite's packages):
\`cmake -S . -B build -DORVALENGATE_TESTS=OFF && cmake --build build\`.
Then, still in the repository, lay out the site as root (\`su -\` where
there is no \`sudo\`):

EOF
  fence sh <<EOF
umask 022
mkdir -p $site/htdocs $site/cgi $site/log $site/run \\
  $site/data/sessions $site/data/members $site/data/upload
install -m 755 build/orvalengate $site/cgi/orvalengate.exe
install -m 755 build/orvalengate-admin $site/cgi/orvalengate-admin
printf 'sessiondb=$site/data/sessions\\r\\n' > $site/cgi/config.txt
printf 'path=$site/data/upload\\r\\nmembersdb=$site/data/members\\r\\nFileNameTemplate=img####\\r\\n' \\
  > $site/data/sessions/demo.txt
printf 'Pages=modern\\r\\nSiteName=Our member site\\r\\nSiteHome=/\\r\\nUploadUrl=/upload/\\r\\n' \\
  >> $site/data/sessions/demo.txt
scripts/make-pages.sh $site/htdocs demo
ln -sfn $site/log/error.txt $site/cgi/error.txt
chown -R $user: $site/data $site/log $site/run
chmod 700 $site/data/sessions $site/data/members
EOF
  cat <<EOF

- \`scripts/make-pages.sh\` writes the example pages (\`site/*.html\`) as the
  program serves its own: in Shift_JIS, with the session's name (here
  \`demo\`) in their forms and the stylesheet inside. Copied as they are,
  they show garbled Japanese and post to no session.
- The program writes its error log, \`error.txt\`, in its own folder, which
  stays root's: the link sends it into \`$site/log\`, which \`$user\` owns
  (see "Logs" below).
- The members folder holds every password: 0700, and the records the
  program writes 0600, as the security notes ask, when the server runs with
  the umask 077 (\`UMask=0077\` in the services below, \`umask 077\` before a
  server started by hand).
- \`orvalengate-admin\` beside the program finds \`config.txt\` there; to
  have it on the PATH: \`ln -s $site/cgi/orvalengate-admin /usr/local/bin/\`
  (see "The operator's tool").
- No \`dumppath\`: dumps keep every posted password and image (see the
  security notes); set it only while looking into a fault.
- \`config.txt\` lies beside the program, in \`$site/cgi\`; the program and it
  stay owned by root, readable by all.
- The server runs as \`$user\` (it refuses to serve as root, or drops root
  itself); \`$user\` owns \`data\` (sessions, members, uploads), \`log\`
  and \`run\` (pid file, sockets, the server's temporary files).
- Served: \`htdocs\` at \`/\`, the program at \`/cgi/orvalengate.exe\` and the
  uploaded images at \`/upload/\`. Never served: the members folder, the
  sessions (none of \`data\` but \`upload\` is mapped), \`config.txt\`
  (only the program is mapped from \`cgi\`), and in \`upload\` the posted-file
  records (\`img0001.txt\` ...) and \`counter.txt\`: every \`.txt\` there is refused.
- An upload must never run as a page: anyone may post any bytes, and a page
  served from the site would run its script as the site. Every name the
  program keeps a post under (\`.jpg .jpeg .jpe .jfif .pjpeg .pjp\`) is
  served as \`image/jpeg\`, anything else in \`upload\` as
  \`application/octet-stream\`, with \`X-Content-Type-Options: nosniff\`
  (no browser guesses another type) and a \`Content-Security-Policy\` that
  allows the image alone (no script, no plug-in, a sandbox). Apache needs
  \`mod_headers\` for these (loaded below).
- Lock and temporary files (\`.posts.lock\`, \`.counter.txt.lock\`,
  \`.tmp-...\`) are the program's private business: every name beginning
  with a dot is refused, in every folder.
- Each server refuses a request body over 64 MiB, the program's own default
  \`bodylimit\`; raise both together.

### lighttpd

EOF
  server_steps lighttpd lighttpd lighttpd
  cat <<EOF

3. Start it as a service, \`/etc/systemd/system/orvalengate-lighttpd.service\`:

EOF
  unit "orvalengate under lighttpd" "$(line lighttpd start)" | fence ini | sed 's/^/   /; s/ *$//'
  printf '\n   `systemctl daemon-reload && systemctl enable --now orvalengate-lighttpd`\n'
  render lighttpd | by_hand
  cat <<EOF

### Apache httpd 2.4 (mod_cgid)

Apache passes the program's \`Content:\` line on as an empty header, and
answers with its own 500 page where the program writes nothing (a request
with path info).

EOF
  server_steps apache apache2 apache2
  cat <<EOF

3. Start it as a service, \`/etc/systemd/system/orvalengate-apache.service\`:

EOF
  unit "orvalengate under Apache httpd" "$(line apache start)" | fence ini | sed 's/^/   /; s/ *$//'
  printf '\n   `systemctl daemon-reload && systemctl enable --now orvalengate-apache`\n'
  render apache | by_hand
  cat <<EOF

### nginx + fcgiwrap

nginx hands the program to fcgiwrap over a socket in \`$site/run\`, a folder
fcgiwrap's user (\`$user\`) may write; fcgiwrap runs nothing but the program.
nginx answers with its own 502 page where the program writes nothing.

EOF
  server_steps nginx "nginx fcgiwrap" "nginx fcgiwrap.socket"
  cat <<EOF

3. Start fcgiwrap, then nginx, as services:
   \`/etc/systemd/system/orvalengate-fcgiwrap.service\`

EOF
  unit "fcgiwrap for orvalengate" "$(line nginx start-as-user)" "$user" "$(line nginx before-start-as-user)" \
    | fence ini | sed 's/^/   /; s/ *$//'
  printf '\n   `/etc/systemd/system/orvalengate-nginx.service`\n\n'
  unit "orvalengate under nginx" "$(line nginx start)" "" "" orvalengate-fcgiwrap.service \
    | fence ini | sed 's/^/   /; s/ *$//'
  printf '\n   `systemctl daemon-reload && systemctl enable --now orvalengate-nginx`\n'
  render nginx | by_hand
  https_section
}

# Each server's configuration above, served over TLS alone, with HSTS.
hsts='max-age=31536000'
https_conf() {
  case $1 in
    nginx) render nginx | sed "s|listen $addr:$port;|listen $addr:443 ssl;\\
    ssl_certificate $site/tls/cert.pem;\\
    ssl_certificate_key $site/tls/key.pem;\\
    # Browsers that saw the site once ask for HTTPS alone for a year.\\
    add_header Strict-Transport-Security \"$hsts\" always;|" ;;
    # Header needs mod_headers, loaded further down: the TLS lines go last.
    apache) render apache | sed "s|^Listen $addr:$port\$|Listen $addr:443 https|"
      printf '%s\n' "LoadModule ssl_module /usr/lib/apache2/modules/mod_ssl.so" "SSLEngine on" \
        "SSLCertificateFile $site/tls/cert.pem" "SSLCertificateKeyFile $site/tls/key.pem" \
        "# Browsers that saw the site once ask for HTTPS alone for a year." \
        "Header always set Strict-Transport-Security \"$hsts\"" ;;
    lighttpd) render lighttpd | sed "s|^server.port = $port\$|server.port = 443|; s|\"mod_accesslog\" )|&\\
server.modules += ( \"mod_openssl\" )\\
ssl.engine = \"enable\"\\
ssl.pemfile = \"$site/tls/cert.pem\"\\
ssl.privkey = \"$site/tls/key.pem\"\\
# Browsers that saw the site once ask for HTTPS alone for a year; an\\
# added header, so the upload folder's own headers keep it.\\
setenv.add-response-header = ( \"Strict-Transport-Security\" => \"$hsts\" )|" ;;
  esac | sed "s|$site/$1.conf|$site/$1-https.conf|"
}

https_section() {
  cat <<EOF

### HTTPS (nginx, Apache httpd, lighttpd)

Members post their passwords: serve the site over HTTPS alone. Each
configuration below is the server's one above listening on port 443 with a
certificate, and with the \`Strict-Transport-Security\` header, which tells
browsers to use HTTPS alone for the site from then on.

1. The certificate. In production, the site's own certificate and key (from
   its certificate authority, or Debian's \`certbot\`), linked or copied to
   \`$site/tls/cert.pem\` (the full chain) and \`$site/tls/key.pem\`. To try
   it first (the guide's test does), a self-signed one:

EOF
  fence sh <<EOF | sed 's/^/   /'
mkdir -p -m 700 $site/tls
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=localhost \\
  -keyout $site/tls/key.pem -out $site/tls/cert.pem
EOF
  cat <<EOF

2. nginx. Write \`$site/nginx-https.conf\`:

EOF
  https_conf nginx | fence "" | sed 's/^/   /; s/ *$//'
  cat <<EOF

   nginx does not pass the HSTS header into the \`location\` that sets
   headers of its own (the uploads); one page is enough. To send plain-HTTP
   visitors on, the port 80 server holds nothing but
   \`return 301 https://\$host\$request_uri;\`. Start fcgiwrap and nginx as
   the services above, with
   \`ExecStart=$(line nginx start | sed 's/nginx\.conf/nginx-https.conf/')\`.
EOF
  https_conf nginx | by_hand
  cat <<EOF

3. Apache httpd, whose \`mod_ssl\` comes with Debian's \`apache2\`.
   Write \`$site/apache-https.conf\`:

EOF
  https_conf apache | fence "" | sed 's/^/   /; s/ *$//'
  cat <<EOF

   To send plain-HTTP visitors on, add \`Listen $addr:$port\` and a
   \`<VirtualHost *:$port>\` holding nothing but \`SSLEngine off\` and
   \`Redirect permanent / https://example.org/\` (the site's own name).
   Start it as the service \`orvalengate-apache\` above, with
   \`ExecStart=$(line apache start | sed 's/apache\.conf/apache-https.conf/')\`.
EOF
  https_conf apache | by_hand
  cat <<EOF

4. lighttpd: TLS is the package \`lighttpd-mod-openssl\`:

EOF
  printf 'apt-get install lighttpd-mod-openssl\n' | fence sh | sed 's/^/   /'
  cat <<EOF

   Write \`$site/lighttpd-https.conf\`:

EOF
  https_conf lighttpd | fence "" | sed 's/^/   /; s/ *$//'
  cat <<EOF

   To send plain-HTTP visitors on, add \`"mod_redirect"\` to the modules and
   \`\$SERVER["socket"] == "$addr:$port" { ssl.engine = "disable" url.redirect = ( "" => "https://example.org\${url.path}\${qsa}" ) }\`
   (the site's own name). Start it as the service \`orvalengate-lighttpd\`
   above, with \`ExecStart=$(line lighttpd start | sed 's/lighttpd\.conf/lighttpd-https.conf/')\`.
EOF
  https_conf lighttpd | by_hand
}

fastcgi_section() {
  local first
  cat <<EOF
### FastCGI (nginx, lighttpd, Apache httpd)

The same program also runs resident: started by a FastCGI process manager
(spawn-fcgi, lighttpd's \`mod_fastcgi\`) with a listening socket as its
standard input, it serves request after request instead of one. It needs no
option and no other build (\`ORVALENGATE_FASTCGI\`, on when Debian's
\`libfcgi-dev\` is installed at build time). Every request is served as in
CGI: fresh request, response and module objects; \`config.txt\`, the session
file and the member record read anew (an edit takes effect at once); the
same answers and files byte for byte (the black-box suite runs through both,
\`fastcgi.*\` in CTest). It is many times faster than CGI
(\`docs/performance.md\`). Both set-ups below are the ones the end-to-end
tests run (\`e2e_nginx_fastcgi\`, \`e2e_lighttpd_fastcgi\`); lay out the site
as above.

- **Socket permissions.** Whoever can open a socket can send the program any
  request, past the web server's limits. The sockets live in \`$site/run\`,
  owned by \`$user\` and closed to everyone else, with mode 0600: only the
  web server's user may connect.
- **Processes.** A process serves one request at a time: run one per core
  (two on a 2-core machine, as below), a few more if requests wait for a
  slow disk. nginx: one socket, one \`server\` line in the upstream and one
  service instance per process; lighttpd: \`max-procs\`.
- **A process that dies** (a crash, no memory left) is started again by its
  manager (systemd's \`Restart=always\` below; lighttpd restarts its own).
  Only the request it was serving is lost, answered with the server's own
  error page (nginx: 502); the atomic saves leave no half-written file.
- **After an upgrade** the resident processes go on running the old program:
  install the new one (\`install\` replaces the file rather than writing
  into the running one), then restart them: \`systemctl restart
  'orvalengate-fastcgi@*'\` under nginx, \`systemctl restart
  orvalengate-lighttpd\` under lighttpd. Settings and data need no restart.
- **Why CGI stays available.** CGI keeps no process running and needs no
  restart after an upgrade, a fault ends one request only, and it runs
  under any server (Apache httpd's \`mod_cgid\`, IIS); a few hundred
  requests per second are enough for most sites.
- **Windows keeps CGI under IIS.** No mingw build of the FastCGI kit is
  packaged, so the Windows build is a CGI program only.

#### nginx + spawn-fcgi

1. Install the server and spawn-fcgi; keep Debian's nginx from starting:

EOF
  printf 'apt-get install nginx spawn-fcgi\nsystemctl disable --now nginx\n' | fence sh | sed 's/^/   /'
  cat <<EOF

2. Write \`$site/nginx-fastcgi.conf\`, exactly as the tests run it:

EOF
  render nginx-fastcgi | fence "" | sed 's/^/   /; s/ *$//'
  cat <<EOF

3. Start the resident processes, one service instance per socket, then
   nginx: \`/etc/systemd/system/orvalengate-fastcgi@.service\`

EOF
  first=$(line nginx-fastcgi start-as-user | head -n 1)
  unit "orvalengate resident process %i" "${first/-1.sock/-%i.sock}" "$user" "/bin/rm -f $site/run/orvalengate-%i.sock" \
    | sed 's/^ExecStart=.*/&\nRestart=always/' | fence ini | sed 's/^/   /; s/ *$//'
  printf '\n   `/etc/systemd/system/orvalengate-nginx-fastcgi.service`\n\n'
  unit "orvalengate under nginx (FastCGI)" "$(line nginx-fastcgi start)" "" "" \
    "orvalengate-fastcgi@1.service orvalengate-fastcgi@2.service" | fence ini | sed 's/^/   /; s/ *$//'
  printf '\n   `systemctl daemon-reload && systemctl enable --now orvalengate-fastcgi@1 orvalengate-fastcgi@2 orvalengate-nginx-fastcgi`\n'
  render nginx-fastcgi | by_hand
  cat <<EOF

#### lighttpd (mod_fastcgi)

lighttpd starts the resident processes itself (\`bin-path\`, \`max-procs\`),
as its own user, on a socket in \`$site/run\`, and starts again any that ends.

1. Install lighttpd as for CGI above.
2. Write \`$site/lighttpd-fastcgi.conf\`, exactly as the tests run it:

EOF
  render lighttpd-fastcgi | fence "" | sed 's/^/   /; s/ *$//'
  cat <<EOF

3. Start it as the service \`orvalengate-lighttpd\` above, with
   \`ExecStart=$(line lighttpd-fastcgi start)\`.
EOF
  render lighttpd-fastcgi | by_hand
  cat <<EOF

#### Apache httpd (mod_proxy_fcgi) + spawn-fcgi

Apache passes requests to the resident processes through \`mod_proxy_fcgi\`
(tested: \`e2e_apache_fastcgi\`). Map the program's address alone with
\`ProxyPassMatch\`, as below. The other common form, a \`<Location>\` with
\`SetHandler "proxy:unix:...|fcgi://localhost/"\`, passes the address's last
part as \`PATH_INFO\` (\`/orvalengate.exe\`), and the program answers a
request with a path info with nothing at all: an empty page, nothing stored.
\`LimitRequestBody\` is not applied to a proxied request's declared length,
so a \`RewriteRule\` refuses a body declared over 64 MiB with 413.

1. Install the server and spawn-fcgi as for CGI and nginx above.
2. Write \`$site/apache-fastcgi.conf\`, exactly as the tests run it:

EOF
  render apache-fastcgi | fence "" | sed 's/^/   /; s/ *$//'
  cat <<EOF

3. Start the resident processes as the \`orvalengate-fastcgi@\` instances
   above, then Apache as the service \`orvalengate-apache\` above, with
   \`ExecStart=$(line apache-fastcgi start)\`.
EOF
  render apache-fastcgi | by_hand
}

new=$(mktemp); trap 'rm -f "$new"' EXIT
{
  sed '/<!-- servers: begin -->/q' "$guide"
  section
  sed -n '/<!-- servers: end -->/,/<!-- fastcgi: begin -->/p' "$guide"
  fastcgi_section
  sed -n '/<!-- fastcgi: end -->/,$p' "$guide"
} > "$new"
if [ "${1:-}" = --check ]; then
  diff -u "$guide" "$new" >&2 || { echo "docs/operators.md is not what scripts/servers/guide.sh writes from the templates; run it" >&2; exit 1; }
else
  cat "$new" > "$guide"
fi
