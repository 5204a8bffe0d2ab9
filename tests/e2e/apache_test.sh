#!/usr/bin/env bash
# The program under apache, driven by curl through the common checks.
# Usage: apache_test.sh EXE
set -uo pipefail
source "$(dirname "$0")/server.sh"
start_site apache "$1"
source "$(dirname "$0")/checks.sh"
