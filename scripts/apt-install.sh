#!/usr/bin/env bash
# Installs the Debian packages of the list that are missing; the others are
# left as they are. Usage: apt-install.sh [--no-install-recommends] PACKAGE...
set -euo pipefail
options=()
if [ "${1:-}" = --no-install-recommends ]; then options+=("$1"); shift; fi
missing=()
for p in "$@"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
((${#missing[@]})) || exit 0
echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
$sudo apt-get update -qq
# Debian starts and enables a web server as it installs it: two of them
# would fight over port 80, and the tests start their own on free ports.
# They are kept from starting (policy-rc.d) and left disabled.
held=false
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf "#!/bin/sh\nexit 101\n" | $sudo tee /usr/sbin/policy-rc.d >/dev/null
  $sudo chmod 755 /usr/sbin/policy-rc.d
  held=true
  trap "$sudo rm -f /usr/sbin/policy-rc.d" EXIT
fi
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
if $held; then
  $sudo rm -f /usr/sbin/policy-rc.d
  trap - EXIT
  # fail2ban is installed for its fail2ban-regex only: its daemon would ban
  # addresses of this machine's own tests. The mail server (exim4-daemon-light) is
  # started by the tests that read mail, set to deliver locally only.
  for unit in apache2 nginx fcgiwrap.socket fail2ban exim4; do
    case " ${missing[*]} " in *" ${unit%.socket}"[\ -]*)
      command -v systemctl >/dev/null && $sudo systemctl disable "$unit" >/dev/null 2>&1 || true;;
    esac
  done
fi
