#!/usr/bin/env bash
# Sets up GlusterFS on loopback, as two web servers sharing one site would
# use it, runs COMMAND with the same volume mounted twice, and takes it all
# down again, also when COMMAND or the set-up fails:
#   glusterd started by hand (not by the init system), bound to 127.0.0.1,
#   its state in a temporary folder; a distribute volume over two bricks in
#   that folder; two FUSE mounts. COMMAND gets the mounts in SHARED_MOUNT_A
#   and SHARED_MOUNT_B, and "recommended" or "defaults" in
#   SHARED_VOLUME_OPTIONS.
# Usage (as root; scripts/install-deps.sh installs glusterfs-server and
# glusterfs-client):
#   gluster.sh [--defaults] COMMAND [ARG...]
#       --defaults keeps Debian's default volume options, which lose
#       acknowledged changes (the run should then fail)
#   gluster.sh --guide          prints the commands for docs/operators.md
#   gluster.sh --check-guide    fails when docs/operators.md shows others
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
guide=$here/../../docs/operators.md

# The client-side caches that serve one mount's stale view of a file
# another mount has replaced: quick-read and open-behind serve old content,
# stat-prefetch (md-cache) serves stale handles, write-behind acknowledges
# a write before the bricks have it. io-cache, read-ahead and readdir-ahead
# are off by default.
recommended_options=(performance.quick-read performance.open-behind performance.stat-prefetch
  performance.write-behind)

# The commands, one a line, as the guide shows them and as this script runs
# them: volume_commands VOLUME HOST1 BRICK1 HOST2 BRICK2 recommended|defaults
volume_commands() {
  local vol=$1 options=$6 option
  echo "gluster volume create $vol transport tcp $2:$3 $4:$5 force"
  if [ "$options" = recommended ]; then
    for option in "${recommended_options[@]}"; do echo "gluster volume set $vol $option off"; done
  fi
  echo "gluster volume start $vol"
}
# mount_command HOST VOLUME DIR
mount_command() { echo "glusterfs --volfile-server=$1 --volfile-id=$2 $3"; }

guide_block() {
  printf '```shell\n'
  echo "# on storage1, once storage2 is a peer (gluster peer probe storage2):"
  volume_commands orvalengate storage1 /srv/gluster/brick1 storage2 /srv/gluster/brick2 recommended
  echo "# on every web server:"
  echo "mkdir -p /srv/orvalengate/data"
  mount_command storage1 orvalengate /srv/orvalengate/data
  printf '```\n'
}

case "${1:-}" in
  --guide) guide_block; exit 0;;
  --check-guide)
    shown=$(sed -n '/<!-- gluster: begin -->/,/<!-- gluster: end -->/p' "$guide" | sed '1d;$d')
    [ "$shown" = "$(guide_block)" ] && exit 0
    diff -u <(echo "$shown") <(guide_block) >&2 || true
    echo "docs/operators.md does not show the commands tests/shared-storage/gluster.sh runs; copy them from --guide" >&2
    exit 1;;
esac
options=recommended
[ "${1:-}" = --defaults ] && { options=defaults; shift; }
[ $# -gt 0 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "gluster.sh: needs root (glusterd, FUSE mounts)" >&2; exit 1; }
for tool in glusterd gluster glusterfs; do
  command -v "$tool" >/dev/null || { echo "gluster.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -e /dev/fuse ] || { echo "gluster.sh: /dev/fuse is missing" >&2; exit 1; }

# The CLI refuses localhost and 127.0.0.1 as a brick's host: a name of our
# own stands for the loopback address, in /etc/hosts while we run.
host=orvalengate-gluster
vol=orvalengate-test
work=$(mktemp -d /tmp/orvalengate-gluster-XXXXXX)
hosts_line="127.0.0.1 $host"
added_host=false
glusterd_pid=
mounts=()
sockets_before=$(ls /var/run/gluster/*.socket /var/run/glusterd.socket 2>/dev/null || true)

teardown() {
  local status=$? dir pidfile pid
  set +e
  for dir in "${mounts[@]}"; do
    pid=$(cat "$work/$(basename "$dir").pid" 2>/dev/null)
    umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
  done
  if [ -n "$glusterd_pid" ]; then
    gluster_cli volume stop "$vol" force >/dev/null 2>&1
    gluster_cli volume delete "$vol" >/dev/null 2>&1
    # A brick that outlived its volume is stopped by the id glusterd gave it.
    for pidfile in /var/run/gluster/vols/"$vol"/*.pid; do
      [ -f "$pidfile" ] && pid=$(cat "$pidfile") && kill "$pid" 2>/dev/null
    done
    kill "$glusterd_pid" 2>/dev/null
    wait "$glusterd_pid" 2>/dev/null
  fi
  # What glusterd keeps outside its working folder, for this volume only.
  rm -rf /var/run/gluster/vols/"$vol"
  rm -f /var/log/glusterfs/bricks/"$(echo "${work#/}" | tr / -)"-brick*.log
  for sock in /var/run/gluster/*.socket /var/run/glusterd.socket; do
    [ -S "$sock" ] && ! grep -qxF "$sock" <<<"$sockets_before" && rm -f "$sock"
  done
  if $added_host; then
    grep -vxF "$hosts_line" /etc/hosts > "$work/hosts" && cat "$work/hosts" > /etc/hosts
  fi
  rm -rf "$work"
  exit "$status"
}
trap teardown EXIT
trap 'exit 1' TERM INT HUP

gluster_cli() { command gluster --mode=script --log-file="$work/log/cli.log" "$@"; }
# The printed commands run with these in place of the bare tools: no
# questions asked, logs and pid files in the temporary folder.
run_commands() {
  local line
  while read -r line; do
    set -- $line
    case "$1" in
      gluster) shift; gluster_cli "$@" >/dev/null;;
      glusterfs) shift; command glusterfs -l "$work/log/mount-$(basename "${!#}").log" \
        -p "$work/$(basename "${!#}").pid" "$@"; mounts+=("${!#}");;
      *) echo "gluster.sh: unexpected command: $line" >&2; return 1;;
    esac
  done
}

if ! grep -qxF "$hosts_line" /etc/hosts; then
  echo "$hosts_line" >> /etc/hosts
  added_host=true
fi
mkdir -p "$work/state" "$work/log" "$work/brick1" "$work/brick2" "$work/a" "$work/b"
# Debian's glusterd.vol with the working folder moved here and the
# listening address narrowed to loopback; the bricks inherit the address.
sed -e "s|^\( *option working-directory\).*|\1 $work/state|" \
    -e 's|^\( *option transport.socket.listen-port.*\)|\1\n    option transport.socket.bind-address 127.0.0.1|' \
    /etc/glusterfs/glusterd.vol > "$work/glusterd.vol"
if (exec 3<>/dev/tcp/127.0.0.1/24007) 2>/dev/null; then
  echo "gluster.sh: something already listens on 127.0.0.1:24007 (another glusterd?)" >&2
  exit 1
fi
glusterd -N -f "$work/glusterd.vol" -l "$work/log/glusterd.log" -p "$work/glusterd.pid" &
glusterd_pid=$!
for _ in $(seq 100); do
  gluster_cli volume list >/dev/null 2>&1 && break
  kill -0 "$glusterd_pid" 2>/dev/null || { echo "gluster.sh: glusterd died:" >&2; tail -20 "$work/log/glusterd.log" >&2; exit 1; }
  sleep 0.1
done

run_commands < <(volume_commands "$vol" "$host" "$work/brick1" "$host" "$work/brick2" "$options")
run_commands < <(mount_command "$host" "$vol" "$work/a"; mount_command "$host" "$vol" "$work/b")
for dir in "$work/a" "$work/b"; do
  mountpoint -q "$dir" || { echo "gluster.sh: $dir is not mounted:" >&2; tail -20 "$work/log/mount-$(basename "$dir").log" >&2; exit 1; }
done
echo "GlusterFS volume $vol ($options options) mounted at $work/a and $work/b"

status=0
SHARED_MOUNT_A=$work/a SHARED_MOUNT_B=$work/b SHARED_VOLUME_OPTIONS=$options "$@" || status=$?
exit "$status"
