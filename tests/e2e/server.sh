# Sourced by the e2e runners: lays out a fresh site (scripts/make-site.sh),
# writes the server's configuration from its template (scripts/servers/) and
# starts the commands on its "# start" lines on a free loopback port. As
# root the server runs as www-data, who then owns the data folders.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
for tool in curl setsid setpriv; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/install-deps.sh)"; exit 1; }
done
if [ "$(id -u)" -eq 0 ]; then site_user=www-data; else site_user=; fi
work=$(mktemp -d /tmp/orvalengate-e2e-XXXXXX)
chmod 755 "$work"  # the server's user must reach the site inside
pids=()
stop_servers() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  pids=()
}
trap 'stop_servers; rm -rf "$work"' EXIT
trap 'exit 1' TERM INT

# start_site SERVER EXE: sets site, base, cgi.
start_site() {
  local server=$1 exe=$2 attempt port kind line cmd pid _
  for attempt in 1 2 3; do
    # A port nobody answers on; should it be taken before the server binds
    # it, the server dies and the next attempt takes another.
    while port=$((20000 + RANDOM % 30000)); (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do :; done
    site=$work/site$attempt
    SITE_USER=$site_user WITH_DUMPS=1 "$here/scripts/make-site.sh" "$exe" "$site" "$port" >/dev/null
    "$here/scripts/servers/render.sh" "$server" "$site" "$port" 127.0.0.1 "$site_user" > "$site/$server.conf"
    [ -z "$site_user" ] || chown -R "$site_user:" "$site/data" "$site/log" "$site/run"
    base="http://127.0.0.1:$port"
    cgi="$base/cgi/orvalengate.exe"
    while read -r kind line; do
      read -ra cmd <<<"$line"
      if [ "$kind" = "start-as-user:" ] && [ -n "$site_user" ]; then
        cmd=(setpriv "--reuid=$site_user" "--regid=$site_user" --init-groups "${cmd[@]}")
      fi
      setsid "${cmd[@]}" & pids+=($!)
    done < <(sed -n 's/^# \(start[a-z-]*:\) /\1 /p' "$site/$server.conf")
    for _ in $(seq 100); do
      [ "$(curl -s -o /dev/null -w '%{http_code}' "$cgi")" = 200 ] && return 0
      for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null || break 2; done
      sleep 0.1
    done
    stop_servers
  done
  echo "$server did not start; its log:"; cat "$site"/log/* 2>/dev/null
  exit 1
}
