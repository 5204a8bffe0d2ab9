#!/usr/bin/env bash
# Sets the program against the floor a CGI program can reach: for each job,
# a small static C program under bench/limits/ that does only the work the
# request cannot do without (read the files it must, write durably what it
# must, answer the same bytes). First checks that both answer the same bytes
# and leave the same files, then times them alternately and prints median
# wall time, peak RSS and the ratio; last, requests per second through
# lighttpd on loopback for the profile view. Reports only: nothing asserts
# a time.
#
# Usage: bench/compare.sh EXE [SAMPLES]      (SAMPLES defaults to 31)
#        CAPTURE=1 bench/compare.sh EXE      rewrites the floors' pages from
#                                            the program's answers, after a
#                                            deliberate change of a page
# PORT=... picks the lighttpd port (nginx takes the next), WRK_SECONDS=... the wrk run (10),
# WRK_RUNS=... the runs of each (3); DOC=docs/performance.md writes the throughput tables there.
set -euo pipefail
exe=$(readlink -f "$1"); samples=${2:-31}
here=$(cd "$(dirname "$0")" && pwd)
limits=$here/limits
port=${PORT:-$((20000 + RANDOM % 20000))}
for tool in cc lighttpd wrk curl; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/install-deps.sh)"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/orvalengate-compare-XXXXXX")
server=
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The demo site's layout, without request dumps: dumping is an operator's
# choice that no floor makes.
"$here/../scripts/make-site.sh" "$exe" "$work/site" "$port" >/dev/null
cgi=$work/site/cgi; data=$work/site/data
printf 'sessiondb=%s\r\n' "$data/sessions" > "$cgi/config.txt"
sjis() { printf '%s' "$1" | iconv -f UTF-8 -t SHIFT_JIS; }
# A member record as the program stores it (values HTML-escaped once).
{
  printf 'id=alice\r\npw=secret1\r\nrealname=%s\r\ncountry=Japan\r\nmail=alice@example.com\r\n' "$(sjis '有栖川&nbsp;アリス')"
  printf 'comment=%s<br>%s\r\n' "$(sjis 写真を撮るのが好きです。週末は山へ行きます。)" \
    "I like taking photos &amp; walking in the hills.&nbsp;Mail me any time."
  for i in 1 2 3; do printf 'urlname%d=%s%d\r\nurl%d=http://example.com/alice/page%d.html\r\n' "$i" "$(sjis ページ)" "$i" "$i" "$i"; done
} > "$data/members/alice.txt"

# Bodies. The JPEG is random bytes behind a JPEG start: nothing parses it.
boundary=----orvalengateBenchBoundary7MA4YWxk
part() { printf -- '--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n' "$boundary" "$1" "$2"; }
multipart() {  # JPEG_BYTES EXTRA_TEXT_PARTS
  part session demo; part command postleaf; part id alice; part pw secret1; part title "$(sjis 山の写真)"
  awk -v n="$2" -v b="$boundary" 'BEGIN { for (i = 0; i < n; i++)
    printf "--%s\r\nContent-Disposition: form-data; name=\"f%d\"\r\n\r\nv%d\r\n", b, i, i }'
  printf -- '--%s\r\nContent-Disposition: form-data; name="leaf"; filename="photo.jpg"\r\nContent-Type: image/jpeg\r\n\r\n' "$boundary"
  printf '\377\330\377\340'; head -c $(($1 - 4)) /dev/urandom
  printf -- '\r\n--%s--\r\n' "$boundary"
}
registration() {  # EXTRA_FIELDS
  printf 'session=demo&command=registration&id=bob&pw=secret2&pw2=secret2&realname=%s&country=Japan&mail=bob%%40example.com' \
    '%96%D8%91%BA%81%40%91%BE%98Y'
  awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "&f%d=some+value%%21", i }'
}
: > "$work/empty"
registration 0 > "$work/registration"
registration 100000 > "$work/fields"
multipart $((16 * 1024 * 1024)) 0 > "$work/jpeg"
multipart 16384 10000 > "$work/parts"

# Puts the files a job changes back as they were before it ran.
reset() {
  rm -f "$data/members/bob.txt" "$data/upload/"img*
  printf '0\r\n' > "$data/upload/counter.txt"
}

# name | label | floor program | floor's page | body | request
jobs=(
  "profile|profile view|profile|profile|empty|GET showuser=alice&session=demo"
  "registration|registration|register|registration|registration|POST"
  "nodata|no data (empty POST)|fixed|nodata|empty|POST"
  "jpeg|16 MiB JPEG post|postleaf|postleaf|jpeg|POST multipart"
  "fields|100,000 URL-encoded fields|register|registration|fields|POST"
  "parts|10,000 small multipart parts|postleaf|postleaf|parts|POST multipart"
)

cc -O2 -o "$work/run" "$limits/run.c"
build_floors() {
  local job name floor page rest
  for job in "${jobs[@]}"; do
    IFS='|' read -r name _ floor page rest <<<"$job"
    [ -e "$cgi/floor-$page.exe" ] && continue
    cc -O2 -static -DPAGE="\"$limits/$page.page\"" -o "$cgi/floor-$page.exe" "$limits/$floor.c"
  done
}

# run PROGRAM BODY REQUEST OUT: one request as a web server would make it;
# prints "microseconds peak-KiB exit-status".
run() {
  local method=${3%% *} extra=${3#* } vars=(SERVER_PROTOCOL=HTTP/1.1 PATH=/usr/bin:/bin)
  [ "$extra" = "$3" ] && extra=
  vars+=(REQUEST_METHOD="$method")
  if [ "$method" = POST ]; then vars+=(CONTENT_LENGTH="$(stat -c %s "$work/$2")"); fi
  if [ "$extra" = multipart ]; then vars+=(CONTENT_TYPE="multipart/form-data; boundary=$boundary")
  elif [ "$method" = POST ]; then vars+=(CONTENT_TYPE=application/x-www-form-urlencoded)
  elif [ -n "$extra" ]; then vars+=(QUERY_STRING="$extra"); fi
  env -i "${vars[@]}" "$work/run" "$work/$2" "$4" "$1"
}

# The data files a request left (hidden lock and temporary files aside).
files_left() { (cd "$data" && find . -type f ! -name '.*' -print0 | sort -z | xargs -0 md5sum); }

if [ "${CAPTURE:-}" = 1 ]; then
  # The profile page comes from a record whose values are their own marks,
  # so the captured answer is the floor's page as it stands.
  printf 'id=@id@\r\npw=x\r\n' > "$data/members/@id@.txt"
  for key in realname country comment urlname1 url1 urlname2 url2 urlname3 url3; do
    printf '%s=@%s@\r\n' "$key" "$key" >> "$data/members/@id@.txt"
  done
  for job in "${jobs[@]}"; do
    IFS='|' read -r name _ _ page body request <<<"$job"
    reset
    [ "$name" = profile ] && request="GET showuser=@id@&session=demo"
    run "$cgi/orvalengate.exe" "$body" "$request" "$limits/$page.page" >/dev/null
  done
  sed -i '1,5s/^Content-Length: [0-9]*\r$/Content-Length: @len@\r/' "$limits/profile.page"
  echo "Rewrote the pages in $limits; review them with git diff."
  exit 0
fi
build_floors

printf '%-30s %12s %12s %7s %12s %12s  %s\n' job "program ms" "floor ms" ratio "program KiB" "floor KiB" "floor"
for job in "${jobs[@]}"; do
  IFS='|' read -r name label floor page body request <<<"$job"
  floor_exe=$cgi/floor-$page.exe
  # Same answer, same files, both succeeding: otherwise the times compare
  # different work.
  for side in program floor; do
    reset
    exe_path=$cgi/orvalengate.exe; [ $side = floor ] && exe_path=$floor_exe
    read -r _ _ status < <(run "$exe_path" "$body" "$request" "$work/$side.out")
    [ "$status" = 0 ] || { echo "$label: the $side exited with $status"; exit 1; }
    files_left > "$work/$side.files"
  done
  if ! cmp -s "$work/program.out" "$work/floor.out" || ! cmp -s "$work/program.files" "$work/floor.files"; then
    echo "$label: the program and its floor differ:"
    cmp "$work/program.out" "$work/floor.out" || true
    diff "$work/program.files" "$work/floor.files" || true
    echo "(after a deliberate change of a page: CAPTURE=1 $0 EXE)"
    exit 1
  fi
  # Alternating, each sample in the other order, so drift and caches fall
  # on both alike.
  : > "$work/program.times"; : > "$work/floor.times"
  for ((s = 0; s < samples; s++)); do
    order="program floor"; ((s % 2)) && order="floor program"
    for side in $order; do
      reset
      exe_path=$cgi/orvalengate.exe; [ $side = floor ] && exe_path=$floor_exe
      run "$exe_path" "$body" "$request" /dev/null >> "$work/$side.times"
    done
  done
  median() { sort -n -k1,1 "$1" | awk '{ t[NR] = $1 } END { printf "%.3f", t[int((NR + 1) / 2)] / 1000 }'; }
  peak() { sort -n -k2,2 "$1" | tail -1 | awk '{ print $2 }'; }
  p_ms=$(median "$work/program.times"); f_ms=$(median "$work/floor.times")
  printf '%-30s %12s %12s %6.1fx %12s %12s  %s\n' "$label" "$p_ms" "$f_ms" \
    "$(awk -v p="$p_ms" -v f="$f_ms" 'BEGIN { print p / f }')" \
    "$(peak "$work/program.times")" "$(peak "$work/floor.times")" "$floor.c"
done
echo "($samples samples each; median wall time; peak RSS is the largest of the samples; site on $(df -T "$work" | awk 'NR == 2 { print $2 }'))"
echo "(the field and part floods go to the registration and post floors with the same body; the empty POST's"
echo " floor is a process that prints the page and reads nothing: every job's floor includes a fork and exec)"

# Requests per second for the profile view, all in one sitting: the floor
# and the program as CGI under lighttpd (a process per request), the program
# resident under nginx (FastCGI, two processes), the same page in PHP under
# php-fpm behind the same nginx (two processes, opcache on), and nginx
# serving the page as a static file, the ceiling. Every one answers the same
# page bytes, checked before timing; the wrk runs are taken in turns, and
# the median of WRK_RUNS (3) is reported.
reset
query='showuser=alice&session=demo'
site=$work/site
if [ "$(id -u)" -eq 0 ]; then user=www-data; else user=; fi
as_user=(); [ -z "$user" ] || as_user=(setpriv --reuid="$user" --regid="$user" --init-groups)
# The servers' user must reach the site inside the work folder.
[ -z "$user" ] || { chmod 755 "$work"; chown -R "$user:" "$data" "$site/log" "$site/run"; }
# The site maps only the program from its cgi folder; the floor is mapped
# beside it here.
cat >> "$site/lighttpd.conf" <<EOF
alias.url += ( "/cgi/floor-profile.exe" => "$cgi/floor-profile.exe" )
\$HTTP["url"] =~ "^/cgi/floor-profile\.exe" { cgi.assign = ( ".exe" => "" ) }
EOF
lighttpd -D -f "$site/lighttpd.conf" & server=$!
servers=("$server")
nginx_port=$((port + 1))
cleanup_servers() { local pid; for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap 'cleanup_servers; rm -rf "$work"' EXIT

# The page as a static file, and as a PHP page: profile.php with the page
# (the floor's, its @key@ marks filled by the script) appended.
body() { sed '1,/^\r$/d'; }  # a CGI answer's content, after its header block
env -i SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=GET QUERY_STRING="$query" "$cgi/orvalengate.exe" | body \
  > "$site/htdocs/profile.html"
{ sed "s|CONFIG_TXT|$cgi/config.txt|" "$here/php/profile.php"; body < "$limits/profile.page"; } > "$site/htdocs/profile.php"
php_fpm=$(ls /usr/sbin/php-fpm* 2>/dev/null | head -n 1)
[ -n "$php_fpm" ] || { echo "php-fpm is not installed (scripts/install-deps.sh)"; exit 1; }
cat > "$site/php-fpm.conf" <<EOF
[global]
error_log = $site/log/php-fpm.log
daemonize = no
[bench]
${user:+user = $user}
listen = $site/run/php.sock
listen.mode = 0600
${user:+listen.owner = $user}
pm = static
pm.max_children = 2
EOF
"$php_fpm" ${user:+-R} -F -y "$site/php-fpm.conf" & servers+=($!)
# The FastCGI configuration the tests run, with the PHP page passed to
# php-fpm beside the program.
"$here/../scripts/servers/render.sh" nginx-fastcgi "$site" "$nginx_port" 127.0.0.1 "$user" \
  | sed "s|^    location /upload/ {|    location = /profile.php {\n      include /etc/nginx/fastcgi_params;\n      fastcgi_param SCRIPT_FILENAME $site/htdocs/profile.php;\n      fastcgi_pass unix:$site/run/php.sock;\n    }\n&|" \
  > "$site/nginx-fastcgi.conf"
while read -r line; do
  read -ra cmd <<<"$line"
  # One fork, then exec all the way to the program: the pid kept is its own.
  "${as_user[@]}" "${cmd[@]}" 2>/dev/null & servers+=($!)
done < <(sed -n 's/^# start-as-user: //p' "$site/nginx-fastcgi.conf")
nginx -e "$site/log/nginx-error.log" -c "$site/nginx-fastcgi.conf" & servers+=($!)
lighttpd_base=http://127.0.0.1:$port nginx_base=http://127.0.0.1:$nginx_port
for _ in $(seq 100); do
  curl -sf -o /dev/null "$lighttpd_base/" && curl -sf -o /dev/null "$nginx_base/cgi/orvalengate.exe?$query" \
    && curl -sf -o /dev/null "$nginx_base/profile.php?$query" && break
  sleep 0.1
done

# name | url
rates=(
  "CGI limit (floor, lighttpd)|$lighttpd_base/cgi/floor-profile.exe?$query"
  "CGI (lighttpd)|$lighttpd_base/cgi/orvalengate.exe?$query"
  "FastCGI (nginx, 2 processes)|$nginx_base/cgi/orvalengate.exe?$query"
  "php-fpm (nginx, 2 processes)|$nginx_base/profile.php?$query"
  "static file (nginx)|$nginx_base/profile.html"
)
curl -s "$lighttpd_base/cgi/orvalengate.exe?$query" > "$work/program.http"
for rate in "${rates[@]}"; do
  IFS='|' read -r name url <<<"$rate"
  curl -s "$url" > "$work/other.http"
  cmp -s "$work/program.http" "$work/other.http" || { echo "$name: not the program's page:"; head -c 300 "$work/other.http"; exit 1; }
done
runs=${WRK_RUNS:-3}
for ((r = 0; r < runs; r++)); do
  for i in "${!rates[@]}"; do
    wrk -t2 -c8 -d"${WRK_SECONDS:-10}"s "${rates[$i]#*|}" > "$work/wrk.out"
    awk '/^Requests\/sec/ { r = $2 } /Non-2xx/ { n = $NF } END { print r, n + 0 }' "$work/wrk.out" >> "$work/rate.$i"
  done
done
table=$work/throughput.md
{
  echo "| profile view, \`wrk -t2 -c8 -d${WRK_SECONDS:-10}s\` | requests/s (median of $runs) | runs | non-2xx |"
  echo "|---|---:|---|---:|"
  for i in "${!rates[@]}"; do
    printf '| %s | %s | %s | %s |\n' "${rates[$i]%%|*}" "$(sort -n "$work/rate.$i" | awk '{ r[NR] = $1 } END { printf "%.0f", r[int((NR + 1) / 2)] }')" \
      "$(awk '{ printf "%s%.0f", (NR > 1 ? ", " : ""), $1 }' "$work/rate.$i")" "$(awk '{ n += $2 } END { print n + 0 }' "$work/rate.$i")"
  done
} > "$table"
echo; cat "$table"

# The resident processes over many requests: resident size and open
# descriptors of each, after a warm-up and then after 10,000 and 100,000
# requests through nginx, half profile views and half refused password
# changes (a body read, parsed and answered).
printf 'session=demo&command=changepw&id=alice&pw0=wrong&pw1=newpass1&pw2=newpass1' > "$work/changepw"
residents=$(pgrep -d ' ' -f -x -- "$cgi/orvalengate.exe")
snapshot() {  # snapshot LABEL
  local pid line="| $1 |"
  for pid in $residents; do
    line+=" $(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status") KiB, $(ls "/proc/$pid/fd" | wc -l) fds |"
  done
  echo "$line"
}
serve() {  # serve COUNT: COUNT requests, half of each kind
  ab -q -k -c 8 -n $(($1 / 2)) "$nginx_base/cgi/orvalengate.exe?$query" > "$work/ab.get"
  ab -q -k -c 8 -n $(($1 / 2)) -p "$work/changepw" -T application/x-www-form-urlencoded \
    "$nginx_base/cgi/orvalengate.exe" > "$work/ab.post"
  awk '/^(Failed|Non-2xx)/ { bad += $NF } END { exit bad > 0 }' "$work/ab.get" "$work/ab.post" \
    || { echo "requests failed during the resident measurement"; exit 1; }
}
resident_table=$work/resident.md
{
  printf '| requests served | %s |\n|---|%s\n' "$(for pid in $residents; do printf 'process %s | ' "$pid"; done | sed 's/ | $//')" \
    "$(for pid in $residents; do printf -- '---|'; done)"
  serve 1000; snapshot "1,000 (warm-up)"
  serve 9000; snapshot "10,000"
  serve 90000; snapshot "100,000"
} > "$resident_table"
echo; cat "$resident_table"

# DOC=docs/performance.md puts both tables into the page, between its
# "throughput" markers.
if [ -n "${DOC:-}" ]; then
  {
    sed '/<!-- throughput: begin -->/q' "$DOC"
    echo; echo "$(date -u +%Y-%m-%d), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end:"; echo
    cat "$table"; echo
    echo "The resident processes (FastCGI under nginx) as requests go by:"; echo
    cat "$resident_table"; echo
    sed -n '/<!-- throughput: end -->/,$p' "$DOC"
  } > "$work/doc" && cat "$work/doc" > "$DOC"
fi
