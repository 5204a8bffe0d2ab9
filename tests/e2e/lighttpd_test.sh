#!/usr/bin/env bash
# The program under lighttpd, driven by curl through the common checks.
# Usage: lighttpd_test.sh EXE
set -uo pipefail
source "$(dirname "$0")/server.sh"
start_site lighttpd "$1"
source "$(dirname "$0")/checks.sh"
