#!/usr/bin/env bash
# The Windows build under Wine against the Linux build: the same requests to
# two sites laid out alike must give the same answers and the same stored
# files, byte for byte. A registration (also of a Shift_JIS ID whose second
# byte is "\"), a profile view, and a post whose JPEG holds 0x1A, CR LF and
# NUL, the bytes a text-mode runtime would turn or stop at.
# Usage: smoke.sh WINDOWS_EXE LINUX_EXE
set -euo pipefail
exe_win=$(realpath "$1")
exe_linux=$(realpath "$2")
wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || { echo "smoke.sh: no Wine found (Debian package wine64)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all WINEPREFIX="${WINEPREFIX:-$work/prefix}"
# Wine stores the Windows build's Unicode file names as UTF-8 only under a
# UTF-8 locale; under "C" every non-ASCII name fails to be created.
export LC_ALL=C.UTF-8
# A running server keeps each request from paying Wine's start-up; its
# output is let go, or a caller reading this script's pipe would wait on it.
"$(dirname "$wine")/wineserver" -p </dev/null >/dev/null 2>&1 || wineserver -p </dev/null >/dev/null 2>&1 || true

# site DIR EXE PATH_PREFIX: PATH_PREFIX is how the program names DIR.
site() {
  mkdir -p "$1/sessions" "$1/members" "$1/upload"
  cp "$2" "$1/"
  printf 'sessiondb=%s/sessions\r\n' "$3" > "$1/config.txt"
  printf 'path=%s/upload\r\nmembersdb=%s/members\r\nFileNameTemplate=img####\r\n' "$3" "$3" > "$1/sessions/s1.txt"
}
site "$work/linux" "$exe_linux" "$work/linux"
# Wine reaches the Linux root as drive Z:, and Windows takes "\" or "/".
site "$work/win" "$exe_win" "Z:${work//\//\\}\\win"

printf '\xff\xd8\xff\xe0\x00\x10JFIF\x00\x1a\r\n\x00\r\nbytes\x1a\n\r\xff\xd9' > "$work/leaf.jpg"
boundary=----smoke7MA4YWxkTrZu0gW
{
  for field in session=s1 command=postleaf id=alice pw=secret blank-title=Cat; do
    printf -- '--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n' "$boundary" "${field%%=*}" "${field#*=}"
  done
  printf -- '--%s\r\nContent-Disposition: form-data; name="leaf"; filename="leaf.jpg"\r\nContent-Type: image/jpeg\r\n\r\n' "$boundary"
  cat "$work/leaf.jpg"
  printf '\r\n--%s--\r\n' "$boundary"
} > "$work/post.body"
printf %s 'session=s1&command=registration&id=alice&pw=secret&pw2=secret&realname=Alice&mail=a@example.com' > "$work/reg1.body"
printf %s 'session=s1&command=registration&id=%95%5C&pw=secret&pw2=secret&realname=Hyo&mail=h@example.com' > "$work/reg2.body"

# request NAME [QUERY] [BODY_FILE [CONTENT_TYPE]]: runs both, keeps the answers.
failures=0
request() {
  local name=$1 query=${2:-} body=${3:-} type=${4:-application/x-www-form-urlencoded}
  local method=GET length=
  if [ -n "$body" ]; then method=POST; length=$(stat -c %s "$body"); fi
  for side in linux win; do
    local cmd=("$work/$side/$(basename "$([ $side = linux ] && echo "$exe_linux" || echo "$exe_win")")")
    [ $side = win ] && cmd=("$wine" "${cmd[@]}")
    env SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=$method QUERY_STRING="$query" CONTENT_TYPE="$type" \
      CONTENT_LENGTH="$length" SCRIPT_NAME=/cgi/orvalengate SERVER_NAME=localhost SERVER_PORT=80 \
      "${cmd[@]}" < "${body:-/dev/null}" > "$work/$side.$name.out"
  done
  if cmp -s "$work/linux.$name.out" "$work/win.$name.out"; then
    echo "ok   $name"
  else
    echo "FAIL $name: the answers differ"; diff <(od -c "$work/linux.$name.out") <(od -c "$work/win.$name.out") | head -20
    failures=$((failures + 1))
  fi
}
request registration '' "$work/reg1.body"
request registration-sjis '' "$work/reg2.body"
request profile 'showuser=alice&session=s1'
request postleaf '' "$work/post.body" "multipart/form-data; boundary=$boundary"

# The Windows build's names are Unicode on disk, which Wine keeps as UTF-8;
# the Linux build's are the Shift_JIS bytes themselves.
for dir in members upload; do
  (cd "$work/linux/$dir" && find . -type f | sort) > "$work/names.linux"
  (cd "$work/win/$dir" && find . -type f | sort) > "$work/names.win"
  if ! diff <(iconv -f CP932 -t UTF-8 "$work/names.linux" | sort) "$work/names.win" >/dev/null; then
    echo "FAIL stored $dir: the names differ"; diff <(iconv -f CP932 -t UTF-8 "$work/names.linux") "$work/names.win"
    failures=$((failures + 1))
    continue
  fi
  same=true
  while IFS= read -r name; do
    cmp -s "$work/linux/$dir/$name" "$work/win/$dir/$(printf %s "$name" | iconv -f CP932 -t UTF-8)" ||
      { echo "FAIL stored $dir/$name differs"; same=false; }
  done < "$work/names.linux"
  if $same; then echo "ok   stored $dir ($(wc -l < "$work/names.linux") files)"; else failures=$((failures + 1)); fi
done
cmp -s "$work/leaf.jpg" "$work/win/upload/img0001.jpg" && echo "ok   image stored byte for byte" ||
  { echo "FAIL image"; failures=$((failures + 1)); }

# Hashed passwords move between the builds: each registers carol hashed, the
# two records change places, and each must take her password from the
# record the other wrote (the form shows the posted password, not the hash,
# so the two answers are alike).
for side in linux win; do printf 'PasswordHash=argon2id\r\n' >> "$work/$side/sessions/s1.txt"; done
printf %s 'session=s1&command=registration&id=carol&pw=secret3&pw2=secret3&realname=C&mail=c' > "$work/reg3.body"
request registration-hashed '' "$work/reg3.body"
mv "$work/linux/members/carol.txt" "$work/carol.linux"
mv "$work/win/members/carol.txt" "$work/linux/members/carol.txt"
mv "$work/carol.linux" "$work/win/members/carol.txt"
grep -q '^pw=\$argon2id\$' "$work/linux/members/carol.txt" ||
  { echo "FAIL the Windows build stored no hash"; failures=$((failures + 1)); }
printf %s 'session=s1&command=changeprof1e&id=carol&pw=secret3' > "$work/form.body"
request profile-form-hashed '' "$work/form.body"
grep -q 'Value="secret3"' "$work/linux.profile-form-hashed.out" ||
  { echo "FAIL a hash of one build is not taken by the other"; failures=$((failures + 1)); }

# A password reset hands its mail to the configured program: the stand-in
# built beside the unit tests, which keeps its arguments and input in
# mail.txt beside it.
cp "$(dirname "$exe_win")/tests/mail-standin.exe" "$work/win/mail.exe"
printf 'siteurl=https://example.org/cgi/o.exe\r\nmailfrom=site@example.org\r\nsendmail=Z:%s\\win\\mail.exe\r\n' \
  "${work//\//\\}" >> "$work/win/config.txt"
printf 'PasswordReset=1\r\n' >> "$work/win/sessions/s1.txt"
printf %s 'session=s1&command=forgotpw&id=alice' > "$work/forgot.body"
env SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded SERVER_PORT=80 \
  CONTENT_LENGTH="$(stat -c %s "$work/forgot.body")" SCRIPT_NAME=/cgi/o.exe SERVER_NAME=localhost \
  "$wine" "$work/win/$(basename "$exe_win")" < "$work/forgot.body" > /dev/null
# The answer may come before the stand-in, left to finish alone, has
# written its file: on a busy machine Wine starts it slowly.
for _ in $(seq 300); do [ -s "$work/win/mail.txt" ] && grep -q "auto-generated" "$work/win/mail.txt" && break; sleep 0.1; done
sleep 0.5
mail=$(tr -d '\r' < "$work/win/mail.txt" 2>/dev/null || true)
# Its arguments (-t, -i and -f with mailfrom alone), the names in its environment, the mail.
if [ "$(sed -n 1,4p <<<"$mail")" = $'-t\n-i\n-f\nsite@example.org' ] && [ "$(sed -n 5p <<<"$mail" | cut -c1-4)" = PATH ] &&
  grep -q '^To: .*a@example.com' <<<"$mail" &&
  sed 1,5d <<<"$mail" | sed '1,/^$/d' | base64 -d | grep -qF 'https://example.org/cgi/o.exe?session=s1&resetid=alice&token='; then
  echo "ok   password-reset mail"
else
  echo "FAIL password-reset mail:"; printf '%s\n' "$mail" | head -20; failures=$((failures + 1))
fi
# Signing in on the Windows build: the cookie it sets, a post with it and
# its form token instead of the password, and after the sign-out a refusal.
printf 'Pages=modern\r\nSignIn=1\r\nUploadUrl=/up/\r\n' >> "$work/win/sessions/s1.txt"
win_request() {  # BODY [COOKIE [CONTENT_TYPE]]
  env SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=POST CONTENT_TYPE="${3:-application/x-www-form-urlencoded}" SERVER_PORT=80 \
    CONTENT_LENGTH="$(stat -c %s "$1")" SCRIPT_NAME=/cgi/o.exe SERVER_NAME=localhost HTTP_COOKIE="${2:-}" \
    "$wine" "$work/win/$(basename "$exe_win")" < "$1"
}
printf %s 'session=s1&command=signin&id=alice&pw=secret' > "$work/signin.body"
# siteurl is https (above): the cookie is bound to the host.
token=$(win_request "$work/signin.body" | tr -d '\r' | sed -n 's/^Set-Cookie: __Host-orvalengate-signin=\([0-9a-f]\{64\}\);.*Secure$/\1/p')
csrf=$(printf 'form\n%s' "$token" | sha256sum | cut -c1-64)
{
  for field in session=s1 command=postleaf "csrf=$csrf" blank-title=Cat; do
    printf -- '--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n' "$boundary" "${field%%=*}" "${field#*=}"
  done
  printf -- '--%s\r\nContent-Disposition: form-data; name="leaf"; filename="leaf.jpg"\r\nContent-Type: image/jpeg\r\n\r\n' "$boundary"
  cat "$work/leaf.jpg"
  printf '\r\n--%s--\r\n' "$boundary"
} > "$work/signed.body"
cookie="__Host-orvalengate-signin=$token"
if [ -n "$token" ] && win_request "$work/signed.body" "$cookie" "multipart/form-data; boundary=$boundary" | grep -q 'Your photo is posted' &&
  grep -q $'^id=alice\r$' "$work/win/upload/img0002.txt" && ! grep -q "$csrf" "$work/win/upload/img0002.txt"; then
  printf %s "session=s1&command=signout&csrf=$csrf" > "$work/signout.body"
  win_request "$work/signout.body" "$cookie" > /dev/null
  if win_request "$work/signed.body" "$cookie" "multipart/form-data; boundary=$boundary" | grep -q 'You are not signed in'; then
    echo "ok   signed in, posted without the password, signed out"
  else
    echo "FAIL a post after the sign-out"; failures=$((failures + 1))
  fi
else
  echo "FAIL signing in (token ${token:-none})"; failures=$((failures + 1))
fi
exit $((failures > 0))
