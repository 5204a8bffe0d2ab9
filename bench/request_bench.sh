#!/usr/bin/env bash
# Times whole requests through the built executable with large bodies and
# prints each against a baseline: the same body piped through `cat`, i.e.
# what merely moving the bytes costs. Usage: request_bench.sh EXE [RUNS]
set -euo pipefail
exe=$(readlink -f "$1"); runs=${2:-5}
site=$(mktemp -d /tmp/orvalengate-bench-XXXXXX)
trap 'rm -rf "$site"' EXIT
mkdir -p "$site/sessions" "$site/members" "$site/upload" "$site/dump"
cp "$exe" "$site/orvalengate"
printf 'sessiondb=%s/sessions\r\ndumppath=%s/dump\r\n' "$site" "$site" > "$site/config.txt"
printf 'path=%s/upload\r\nmembersdb=%s/members\r\nnameorder=num3d\r\n' "$site" "$site" > "$site/sessions/s1.txt"
printf 'id=u1\r\npw=secret1\r\n' > "$site/members/u1.txt"

make_multipart() {  # FILE_MIB TEXT_FIELDS > body
  local b=----BenchB0undary
  for ((i = 0; i < $2; i++)); do
    printf -- '--%s\r\nContent-Disposition: form-data; name="blank-f%d"\r\n\r\nvalue %d\r\n' "$b" "$i" "$i"
  done
  printf -- '--%s\r\nContent-Disposition: form-data; name="session"\r\n\r\ns1\r\n' "$b"
  printf -- '--%s\r\nContent-Disposition: form-data; name="command"\r\n\r\npostleaf\r\n' "$b"
  printf -- '--%s\r\nContent-Disposition: form-data; name="id"\r\n\r\nu1\r\n' "$b"
  printf -- '--%s\r\nContent-Disposition: form-data; name="pw"\r\n\r\nsecret1\r\n' "$b"
  printf -- '--%s\r\nContent-Disposition: form-data; name="leaf"; filename="big.jpg"\r\nContent-Type: image/jpeg\r\n\r\n' "$b"
  head -c $(($1 * 1048576)) /dev/urandom
  printf -- '\r\n--%s--\r\n' "$b"
}
make_urlencoded() {  # FIELDS > body (a password change carrying many extra fields)
  printf 'session=s1&command=changepw&id=u1&pw0=secret1&pw1=secret1&pw2=secret1'
  for ((i = 0; i < $1; i++)); do printf '&f%d=some+value%%21' "$i"; done
}

seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); awk -v s="$s" -v e="$e" 'BEGIN { print e - s }'; }
run_program() { SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=POST CONTENT_LENGTH=$(stat -c %s "$1") "$site/orvalengate" < "$1"; }
best_of() {  # best time of $runs runs of a command
  local best=""
  for ((r = 0; r < runs; r++)); do
    rm -f "$site"/upload/[0-9]*
    local t; t=$(seconds "$@")
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}

printf '%-40s %10s %10s %8s\n' "request" "program s" "cat s" "ratio"
for request in "multipart 1 10" "multipart 5 10" "multipart 20 10" "multipart 1 20000" "urlencoded 20000" "urlencoded 80000"; do
  set -- $request
  if [ "$1" = multipart ]; then make_multipart "$2" "$3" > "$site/body"; label="multipart ${2} MiB JPEG + $3 fields"
  else make_urlencoded "$2" > "$site/body"; label="url-encoded $2 fields"; fi
  size=$(stat -c %s "$site/body")
  t_prog=$(best_of run_program "$site/body")
  t_cat=$(best_of cat "$site/body")
  printf '%-40s %10.4f %10.4f %8.1f   (%d bytes)\n' "$label" "$t_prog" "$t_cat" "$(awk -v p="$t_prog" -v c="$t_cat" 'BEGIN { print p / c }')" "$size"
done
