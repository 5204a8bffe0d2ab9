#!/usr/bin/env bash
# The program under nginx, driven by curl through the common checks.
# Usage: nginx_test.sh EXE
set -uo pipefail
source "$(dirname "$0")/server.sh"
start_site nginx "$1"
source "$(dirname "$0")/checks.sh"
