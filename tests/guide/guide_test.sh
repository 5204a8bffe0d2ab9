#!/usr/bin/env bash
# Runs docs/operators.md's commands as an operator would, in a throw-away
# root: every ```sh block, in order, and every "Write `FILE`" block written
# to FILE, with only /srv/orvalengate, the address and the ports replaced.
# Not run: ```shell blocks (another machine, the package build, /etc), unit
# files (```ini), and the lines "apt-get ..." (the packages are installed
# already) and "systemctl ..." (no systemd as PID 1 here: the by-hand start
# commands beside them run instead, each after the test stopped the servers
# the one before started). Any failing command fails the test.
# Usage (as root): guide_test.sh BUILD-DIR
set -uo pipefail
[ "$(id -u)" = 0 ] || { echo "needs root (the site runs as www-data)"; exit 77; }
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d); chmod 755 "$work"
root=$work/srv/orvalengate
free_port() { local p; while p=$((20000 + RANDOM % 30000)); (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; do :; done; echo "$p"; }
http=$(free_port); until https=$(free_port); [ "$https" != "$http" ]; do :; done
servers() {  # the processes the guide started, by the root in their command lines
  local f a; for f in /proc/[0-9]*/cmdline; do
    mapfile -d '' a < "$f" 2>/dev/null && [[ "${a[*]}" == *"$root/"* ]] && { f=${f#/proc/}; echo "${f%/cmdline}"; }
  done
}
stop_servers() {  # each by-hand start stops the last one, as an operator trying another would
  local _ pids; for _ in $(seq 300); do
    pids=$(servers); [ -z "$pids" ] && return 0
    kill $pids 2>/dev/null; sleep 0.1
  done
  echo "cannot stop $pids"; return 1
}
trap 'stop_servers; rm -rf "$work"' EXIT

# The guide's blocks, one file each; the repository as the operator's cwd.
mkdir -p "$work/blocks" "$work/repo" "$work/srv"
ln -s "$(readlink -f "$1")" "$work/repo/build"; ln -s "$src/scripts" "$src/site" "$work/repo/"
awk -v out="$work/blocks" '
  function emit(line) { print line > file }
  /^ *```/ && !inblock {
    info = $0; sub(/^ *```/, "", info); indent = index($0, "`") - 1
    if (info == "sh" || (info != "shell" && match(para, /Write `[^`]*`/))) {
      file = sprintf("%s/%03d.sh", out, ++n); inblock = 1
      if (info != "sh") { target = substr(para, RSTART + 7, RLENGTH - 8); emit("cat > " target " <<\047GUIDE\047"); inblock = 2 }
    } else inblock = 3
    next }
  /^ *```$/ && inblock { if (inblock == 2) emit("GUIDE"); if (inblock != 3) close(file); inblock = 0; next }
  inblock == 1 && /^ *(apt-get|systemctl) / { emit(": skipped: " substr($0, indent + 1)); next }
  inblock == 1 || inblock == 2 { emit(substr($0, indent + 1)); next }
  !inblock { if (!/[^ ]/) blank = 1; else { if (blank) para = ""; para = para " " $0; blank = 0 } }' "$src/docs/operators.md"
sed -i "s#/srv/orvalengate#$root#g; s#0\.0\.0\.0#127.0.0.1#g; s#127\.0\.0\.1:80\b#127.0.0.1:$http#g
  s#127\.0\.0\.1:443\b#127.0.0.1:$https#g; s#^server\.port = 80\$#server.port = $http#
  s#^server\.port = 443\$#server.port = $https#" "$work"/blocks/*.sh

source "$(dirname "$0")/../e2e/assert.sh"
mode() { stat -c %a "$1"; }
answers() {  # answers URL: polls until the server answers 200, or gives up
  local _; for _ in $(seq 300); do [ "$(curl -ks -o /dev/null -w '%{http_code}' "$1")" = 200 ] && return 0; sleep 0.1; done
  echo "no answer from $1"; cat "$root"/log/*error* 2>/dev/null; return 1
}
cgi=http://127.0.0.1:$http/cgi/orvalengate.exe
login() { curl -ks -F session=demo -F command=changeprof1 -F id=alice -F "pw=$1" "${2:-$cgi}"; }
failures() { cat "$root/log/auth.log" 2>/dev/null | grep -c 'failed login'; }

for block in "$work"/blocks/*.sh; do
  grep -q '^tar .* -x' "$block" && rm -rf "$root/data"   # restore into an empty site
  grep -q 'setsid -f' "$block" && { stop_servers || failed=$((failed+1)); }
  echo "== ${block##*/}"; sed 's/^/   /' "$block"
  (cd "$work/repo" && bash -euo pipefail "$block") || { echo "FAILED: the block above"; failed=$((failed+1)); continue; }
  case $(cat "$block") in
    *"setsid -f"*)
      conf=$(grep -o '[a-z-]*\.conf' "$block" | tail -n 1); url=$cgi
      [[ $conf = *-https.conf ]] && url=https://127.0.0.1:$https/cgi/orvalengate.exe
      answers "$url" || { failed=$((failed+1)); continue; }
      if [ ! -f "$root/data/members/alice.txt" ]; then
        page=$(curl -s "http://127.0.0.1:$http/" | iconv -f SHIFT_JIS -t UTF-8)
        check "the pages post to the session demo" contains "$page" 'value="demo"'
        check "the pages are filled in" eval '! contains "$page" @SESSION@'
        curl -s -o /dev/null -F session=demo -F command=registration -F id=alice -F pw=secret1 -F pw2=secret1 \
          -F realname=Alice -F mail=alice@example.com "$cgi"
        check "a member registers" test -f "$root/data/members/alice.txt"
        check "the members folder is 0700" test "$(mode "$root/data/members")" = 700
        check "a record is 0600" test "$(mode "$root/data/members/alice.txt")" = 600
        cp "$root/cgi/config.txt" "$work/config.txt"
        printf 'sessiondb=%s/none\r\n' "$root" > "$root/cgi/config.txt"
        curl -s -o /dev/null "$cgi?showuser=alice&session=demo"
        cp "$work/config.txt" "$root/cgi/config.txt"
        check "a bad sessiondb is logged in log/error.txt" grep -q "sessiondb error" "$root/log/error.txt"
      fi
      check "the member's profile under $conf" contains "$(curl -ks "$url?showuser=alice&session=demo")" Alice
      [[ $conf != *-https.conf ]] ||
        check "HSTS over HTTPS ($conf)" grep -qi '^Strict-Transport-Security: max-age=' <(curl -ksI "${url%cgi/*}") ;;
    *authlog=*)
      login wrong >/dev/null
      check "a failed login is logged" test "$(failures)" = 1 ;;
    *"logrotate --force"*)
      check "the program's error log is rotated" test -f "$root/log/error.txt.1"
      check "the access log is rotated" test -s "$root/log/access.log.1" ;;
    *"tar "*-x*)
      before=$(failures)
      check "the member logs in after the restore" contains "$(login secret1)" Alice
      check "... with no failed login" test "$(failures)" = "$before"
      check "the restored record is 0600" test "$(mode "$root/data/members/alice.txt")" = 600 ;;
  esac
done
check "the guide's blocks were found" test "$(ls "$work/blocks" | wc -l)" -ge 12
summary
