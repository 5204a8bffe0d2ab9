#!/usr/bin/env bash
# The program resident under a web server's FastCGI (nginx: started by
# spawn-fcgi; lighttpd: started by the server itself), driven by curl
# through the common checks.
# Usage: fastcgi_test.sh SERVER EXE
set -uo pipefail
source "$(dirname "$0")/server.sh"
start_site "$1-fastcgi" "$2"
source "$(dirname "$0")/checks.sh"
checks_passed=$?
# Served by resident processes, not by one started for each request.
resident=$(pgrep -c -f -x -- "$site/cgi/orvalengate.exe")
echo "resident processes: $resident"
[ "$checks_passed" -eq 0 ] && [ "$resident" -ge 1 ]
