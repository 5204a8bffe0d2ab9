#!/usr/bin/env bash
# Fills in a server configuration template (scripts/servers/SERVER.conf.in):
# @SITE@ the site folder (see scripts/make-site.sh), @PORT@ and @ADDR@ where
# the server listens, @USER@ the user the server runs as and who owns the
# data folders. An empty USER drops the lines that name it: a server started
# by an unprivileged user keeps running as that user.
# Usage: render.sh SERVER SITE PORT ADDR [USER]
set -euo pipefail
server=$1 site=$2 port=$3 addr=$4 user=${5:-}
template=$(dirname "$0")/$server.conf.in
[ -f "$template" ] || { echo "no template $template" >&2; exit 1; }
for value in "$site" "$port" "$addr" "$user"; do
  # Values go into sed replacements and configuration syntax as they are.
  case $value in *[!A-Za-z0-9/._-]*) echo "unsafe value: $value" >&2; exit 1;; esac
done
if [ -z "$user" ]; then filter=(grep -v @USER@); else filter=(cat); fi
"${filter[@]}" "$template" | sed -e "s|@SITE@|$site|g" -e "s|@PORT@|$port|g" -e "s|@ADDR@|$addr|g" -e "s|@USER@|$user|g"
