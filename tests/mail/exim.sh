#!/usr/bin/env bash
# The machine's own mail server for the tests that read what the program
# mails: Debian's exim4 set to deliver to this machine's mailboxes only (no
# remote transport, no smarthost: nothing leaves the machine), a local user
# whose mailbox (/var/mail/USER) receives the members' mails, and the daemon
# on 127.0.0.1. `stop` puts back what `start` found: the configuration, the
# user, a daemon the machine ran itself. Needs root.
# Usage: exim.sh start [USER] | stop | count USER | last USER
# `count` and `last` read the mailbox once no mail is being handed over and
# exim's queue is empty (every mail
# handed over so far is delivered or has failed): `last` prints its newest
# mail, the headers unfolded, a blank line, the body decoded from base64.
set -euo pipefail
state=/run/orvalengate-test-exim
conf=/etc/exim4/update-exim4.conf.conf
own=/etc/exim4/exim4.conf  # a handwritten configuration, which would take precedence
machine_pid() { local pid; pid=$(cat /run/exim4/exim.pid 2>/dev/null) && kill -0 "$pid" 2>/dev/null && echo "$pid"; }

case ${1:-} in
start)
  user=${2:-ogmember}
  command -v exim4 >/dev/null || { echo "exim4 is not installed (scripts/install-deps.sh)"; exit 1; }
  # What an interrupted run left is put back first.
  [ ! -d "$state" ] || "$0" stop
  mkdir -p "$state"
  [ ! -e "$conf" ] || cp -p "$conf" "$state/"
  [ ! -e "$own" ] || mv "$own" "$state/"
  cat > "$conf" <<'CONF'
dc_eximconfig_configtype='local'
dc_other_hostnames=''
dc_local_interfaces='127.0.0.1'
dc_readhost=''
dc_relay_domains=''
dc_minimaldns='false'
dc_relay_nets=''
dc_smarthost=''
CFILEMODE='644'
dc_use_split_config='false'
dc_hide_mailname=''
dc_mailname_in_oh='true'
dc_localdelivery='mail_spool'
CONF
  update-exim4.conf
  # USER-1 ... USER-60 deliver to USER's mailbox: the program mails one
  # address at most 3 times an hour, and the walk needs more addresses.
  if [ -e /etc/aliases ]; then cp -p /etc/aliases "$state/"; else : > "$state/no-aliases"; fi
  for i in $(seq 60); do echo "$user-$i: $user"; done >> /etc/aliases
  if ! id "$user" >/dev/null 2>&1; then
    useradd --system --create-home --shell /usr/sbin/nologin "$user"
    echo "$user" > "$state/user"
  fi
  if pid=$(machine_pid); then
    kill -HUP "$pid"  # the machine's daemon reads the configuration again
  else
    [ -d /run/exim4 ] || { install -d -o Debian-exim -g Debian-exim -m 750 /run/exim4; : > "$state/rundir"; }
    exim4 -bd -q30m -oP "$state/exim.pid"
  fi
  ;;
stop)
  [ -d "$state" ] || exit 0
  if [ -e "$state/exim.pid" ]; then
    pid=$(cat "$state/exim.pid")
    kill "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
  fi
  if [ -e "$state/aliases" ]; then cp -p "$state/aliases" /etc/aliases; elif [ -e "$state/no-aliases" ]; then rm -f /etc/aliases; fi
  if [ -e "$state/${conf##*/}" ]; then cp -p "$state/${conf##*/}" "$conf"; else rm -f "$conf"; fi
  [ ! -e "$state/${own##*/}" ] || mv "$state/${own##*/}" "$own"
  update-exim4.conf
  if pid=$(machine_pid); then kill -HUP "$pid"; fi
  if [ -e "$state/user" ]; then
    user=$(cat "$state/user")
    userdel --remove "$user" 2>/dev/null  # its home and its mailbox too
  fi
  [ ! -e "$state/rundir" ] || rm -rf /run/exim4
  rm -rf "$state"
  ;;
count|last)
  for _ in $(seq 100); do
    # The program's own mail processes (it answers before they end) and
    # the submissions they started come first.
    [ "$(exim4 -bpc)" -eq 0 ] && ! pgrep -f -- "sendmail -t -i" > /dev/null &&
      ! pgrep -x orvalengate > /dev/null && ! pgrep -x orvalengate.exe > /dev/null && break
    sleep 0.1
  done
  box=/var/mail/$2
  [ -s "$box" ] || { [ "$1" = last ] || echo 0; exit 0; }
  if [ "$1" = count ]; then grep -c "^From " "$box"; exit 0; fi
  from=$(grep -n "^From " "$box" | tail -1 | cut -d: -f1)
  tail -n +"$from" "$box" | sed "/^$/q" | sed -e :a -e "N;\$!ba" -e "s/\n[ \t]\+/ /g"
  tail -n +"$from" "$box" | sed "1,/^$/d" | base64 -d
  ;;
*)
  echo "usage: $0 start [USER] | stop | count USER | last USER" >&2; exit 2
  ;;
esac
