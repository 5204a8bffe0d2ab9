#!/usr/bin/env bash
# What a photo post costs as CGI, program against program: each EXE posts
# PHOTO through the second page set (StripLocation=1, Pages=modern) to a site
# of its own, SAMPLES times, alternately; the posted files are removed after
# each run so every post finds the same folder. Prints the median wall time,
# the median user + system CPU time and the largest peak RSS of each, and
# Reports only: nothing asserts a time.
#
# Usage: bench/post-cost.sh PHOTO EXE... [-- SAMPLES]   (SAMPLES defaults to 21)
set -euo pipefail
photo=$(readlink -f "$1"); shift
exes=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do exes+=("$(readlink -f "$1")"); shift; done
samples=21
[ "${1:-}" = -- ] && samples=${2:-21}
[ ${#exes[@]} -gt 0 ] || { echo "usage: bench/post-cost.sh PHOTO EXE... [-- SAMPLES]"; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orvalengate-post-cost-XXXXXX")
trap 'rm -rf "$work"' EXIT
body=$work/body
{
  for field in "session s" "command postleaf" "id u1" "pw secret1" "blank-title Sunrise"; do
    printf -- '--XB\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n' "${field%% *}" "${field#* }"
  done
  printf -- '--XB\r\nContent-Disposition: form-data; name="leaf"; filename="photo.jpg"\r\nContent-Type: image/jpeg\r\n\r\n'
  cat "$photo"
  printf -- '\r\n--XB--\r\n'
} >"$body"
length=$(stat -c %s "$body")

for i in "${!exes[@]}"; do
  site=$work/site$i
  mkdir -p "$site/sessions" "$site/members" "$site/upload"
  cp "${exes[$i]}" "$site/orvalengate.exe"
  printf 'sessiondb=%s/sessions\r\n' "$site" >"$site/config.txt"
  printf 'path=%s/upload\r\nmembersdb=%s/members\r\nnameorder=num3d\r\nStripLocation=1\r\nPages=modern\r\nUploadUrl=/up/\r\n' \
    "$site" "$site" >"$site/sessions/s.txt"
  printf 'id=u1\r\npw=secret1\r\n' >"$site/members/u1.txt"
done

# One CGI run, its times from wait4 (microseconds, where time(1) gives
# hundredths): "wall_ms cpu_ms maxrss_kib".
post() {
  (cd "$1" && REQUEST_METHOD=POST GATEWAY_INTERFACE=CGI/1.1 CONTENT_LENGTH=$length \
    CONTENT_TYPE='multipart/form-data; boundary=XB' python3 -c '
import os, subprocess, sys, time
start = time.monotonic()
child = subprocess.Popen(["./orvalengate.exe"], stdin=open(sys.argv[1], "rb"), stdout=subprocess.PIPE)
out = child.stdout.read()
_, status, usage = os.wait4(child.pid, 0)
wall = (time.monotonic() - start) * 1000
if status != 0 or b"Your photo is posted" not in out:
    sys.exit("post failed: " + out[:300].decode("latin1"))
print("%.2f %.2f %d" % (wall, (usage.ru_utime + usage.ru_stime) * 1000, usage.ru_maxrss))
' "$body")
  find "$1/upload" -mindepth 1 -delete
}

for ((n = 0; n < samples; n++)); do
  for i in "${!exes[@]}"; do post "$work/site$i" >>"$work/times$i"; done
done

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
printf '| program | wall ms | CPU ms | peak KiB |\n|---|---:|---:|---:|\n'
for i in "${!exes[@]}"; do
  wall=$(awk '{ print $1 }' "$work/times$i" | median)
  cpu=$(awk '{ print $2 }' "$work/times$i" | median)
  rss=$(awk '{ print $3 }' "$work/times$i" | sort -n | tail -1)
  printf '| %s | %s | %s | %s |\n' "${exes[$i]}" "$wall" "$cpu" "$rss"
done
echo "photo: $(stat -c %s "$photo") bytes, $samples samples each"
