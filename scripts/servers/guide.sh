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
  printf 'ExecStart=%s\n\n[Install]\nWantedBy=multi-user.target\n' "$2"
}
fence() { printf '```%s\n' "$1"; cat; printf '```\n'; }

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
## Installing on Debian

The program runs as a CGI program under any of three web servers; each
configuration below is the one the end-to-end tests (\`tests/e2e\`, CTest
\`e2e_lighttpd\`, \`e2e_apache\`, \`e2e_nginx\`) run with, only listening on
\`$addr:$port\` and placed in \`$site\` (\`scripts/servers/guide.sh\` writes
this section from the same templates, \`scripts/servers/*.conf.in\`).

### The site (every server)

Build the program (see the README), then lay out the site as root:

EOF
  fence sh <<EOF
mkdir -p $site/htdocs $site/cgi $site/log $site/run \\
  $site/data/sessions $site/data/members $site/data/upload
install -m 755 build/orvalengate $site/cgi/orvalengate.exe
printf 'sessiondb=$site/data/sessions\\r\\n' > $site/cgi/config.txt
printf 'path=$site/data/upload\\r\\nmembersdb=$site/data/members\\r\\nFileNameTemplate=img####\\r\\n' \\
  > $site/data/sessions/demo.txt
cp demo/index.html $site/htdocs/   # or the site's own pages
chown -R $user: $site/data $site/log $site/run
EOF
  cat <<EOF

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
}

new=$(mktemp); trap 'rm -f "$new"' EXIT
{
  sed '/<!-- servers: begin -->/q' "$guide"
  section
  sed -n '/<!-- servers: end -->/,$p' "$guide"
} > "$new"
if [ "${1:-}" = --check ]; then
  diff -u "$guide" "$new" >&2 || { echo "docs/operators.md is not what scripts/servers/guide.sh writes from the templates; run it" >&2; exit 1; }
else
  cat "$new" > "$guide"
fi
