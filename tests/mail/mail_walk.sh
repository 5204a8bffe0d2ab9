#!/usr/bin/env bash
# Forgotten password by mail and self-removal, under lighttpd, the mails
# delivered by the machine's own mail server (exim.sh) to a local mailbox
# and read back from it. Needs root (a local user, the mail server).
# Usage: mail_walk.sh EXE
set -uo pipefail
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
exim=$(dirname "$0")/exim.sh box=ogmember@localhost
source "$(dirname "$0")/../e2e/server.sh"
trap 'stop_servers; rm -rf "$work"; "$exim" stop' EXIT
"$exim" start ogmember || exit 1
start_site lighttpd "$1"
source "$(dirname "$0")/../e2e/assert.sh"
log=$site/log/auth.log members=$site/data/members
printf "authlog=%s\r\n" "$log" >> "$site/cgi/config.txt"  # make-site.sh turns the mails and removal on

post() { curl -s -d "session=demo&$1" "${@:2}" "$cgi"; }
register() { post "command=registration&id=$1&pw=$2&pw2=$2&realname=M&mail=${3:-$box}" > /dev/null; }
alias_of() { echo "ogmember-$1@localhost"; }  # exim.sh's aliases of the mailbox
mails() { "$exim" count ogmember; }
subject() {  # the Subject, its encoded words decoded
  grep -m1 "^Subject: " <<<"$1" | grep -oE "=\?UTF-8\?B\?[^?]*" | cut -d"?" -f4 | while read -r w; do base64 -d <<<"$w"; done
}
link() { grep -oE "https?://[^ ]*token=[0-9a-f]{40}[^ ]*" <<<"$1" | head -1; }
logged_in() { contains "$(post "command=changeprof1e&id=$1&pw=$2")" "<h4>Your Profile</h4>"; }
fails() { ! "$@"; }

register walker oldpass1
n=$(mails)
post "command=forgotpw&id=walker&lang=en" -H "Host: elsewhere.example" > /dev/null
mail=$("$exim" last ogmember); url=$(link "$mail")
check "a mail for a request with a foreign Host" test "$(mails)" = $((n + 1))
check "the link is the site's own, in English ($url)" grep -qxE "$cgi\?session=demo&resetid=walker&token=[0-9a-f]{40}&lang=en" <<<"$url"
check "english mail ($(subject "$mail"))" test "$(subject "$mail")" = "Resetting your password"
reply=$(post "command=forgotpw&id=walker")
check "the answer for a known ID is the unknown one's" test "$reply" = "$(post "command=forgotpw&id=nobody")"
mail=$("$exim" last ogmember); url=$(link "$mail") token=${url##*token=}
check "a second mail" test "$(mails)" = $((n + 2))
for header in "Return-path: <orvalengate@localhost>" "From: orvalengate@localhost" "To: $box" "Subject: (=\?UTF-8\?B\?[A-Za-z0-9+/=]+\?= ?)+" "MIME-Version: 1.0" \
  "Date: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} \+0000" "Message-ID: <[0-9a-f]{32}@localhost>" \
  "Content-Type: text/plain; charset=UTF-8" "Content-Transfer-Encoding: base64"; do
  check "header $header" grep -qxE "$header" <<<"$mail"
done
check "Subject" test "$(subject "$mail")" = "パスワードの再設定"
check "the link gives the form" contains "$(curl -s "$url")" 'name="pw1"'
post "command=resetpw&id=walker&token=$token&pw1=newpass2&pw2=newpass2" > /dev/null
check "the new password logs in" logged_in walker newpass2
check "the old one does not" fails logged_in walker oldpass1
check "the used link gives no form" lacks "$(curl -s "$url")" 'name="pw1"'
post "command=resetpw&id=walker&token=$token&pw1=again333&pw2=again333" > /dev/null
check "the used token sets nothing" fails logged_in walker again333
mail=$("$exim" last ogmember)
check "the password-changed mail" test "$(subject "$mail")" = "パスワードを変更しました"
check "it names the site" contains "$mail" "$cgi"
check "the authlog's line" grep -q " orvalengate password reset from 127.0.0.1 session=demo command=forgotpw id=walker$" "$log"

register flood floodpw1 "$(alias_of 1)"
n=$(mails)
flood=(); for _ in $(seq 10); do post "command=forgotpw&id=flood" > /dev/null & flood+=($!); done; wait "${flood[@]}"
check "a flood of 10 gives 3 mails" test "$(mails)" = $((n + 3))
# One address named by five members (in two letter cases) gets 3 too.
for i in 1 3 4 5; do register "shared$i" sharedpw1 "$(alias_of 2)"; done
register shared2 sharedpw1 ogmember-2@LocalHost
n=$(mails)
for i in 1 2 3 4 5; do post "command=forgotpw&id=shared$i" > /dev/null; done
check "five members naming one address give 3 mails" test "$(mails)" = $((n + 3))

# Known and unknown IDs take the same time: every known one sends a mail.
# Each known request is paired with the unknown one after it, so that a
# burst of load elsewhere weighs on both sides.
for i in $(seq 50); do register "known$i" knownpw1 "$(alias_of $((i + 10)))"; done
n=$(mails)
for i in $(seq 50); do
  for id in "known$i" "unknown$i"; do post "command=forgotpw&id=$id" -o /dev/null -w '%{time_total} '; done; echo
done > "$work/times"
check "50 mails for 50 known IDs" test "$(mails)" = $((n + 50))
median() { awk "{print ($1) * 1000}" "$work/times" | sort -n | sed -n 25,26p | awk '{s += $1} END {printf "%.1f", s / 2}'; }
echo "forgotpw medians: known IDs $(median '$1') ms, unknown IDs $(median '$2') ms, paired difference $(median '$1 - $2') ms"
# Under the sanitizers each start of the program varies more than that: only reported there.
[ "${ORVALENGATE_SANITIZED:-0}" = 1 ] || check "known and unknown IDs alike (median difference under 10 ms)" awk "BEGIN {d = $(median '$1 - $2'); exit !(d < 10 && d > -10)}"

register leaver leavepw1
post "command=removeself&id=leaver&pw=wrong&confirm=1" > /dev/null
check "a wrong password removes nothing" test -e "$members/leaver.txt"
check "a wrong password is a failed login" grep -q "failed login from 127.0.0.1 session=demo command=removeself id=leaver$" "$log"
post "command=removeself&id=leaver&pw=leavepw1" > /dev/null
check "no removal unconfirmed" test -e "$members/leaver.txt"
post "command=removeself&id=leaver&pw=leavepw1&confirm=1" > /dev/null
check "the record is gone" test ! -e "$members/leaver.txt"
register leaver other123
check "the ID stays reserved" test ! -e "$members/leaver.txt"
summary
