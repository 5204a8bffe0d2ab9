#!/usr/bin/env bash
# Builds the program and serves a demo site under lighttpd on
# http://127.0.0.1:${PORT:-8080}/ until interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --demo
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALENGATE_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target orvalengate
port=${PORT:-8080}
scripts/make-site.sh build/orvalengate build/demo "$port"
echo "Demo site: http://127.0.0.1:$port/  (session \"demo\"; data in build/demo/data; Ctrl-C stops)"
exec lighttpd -D -f build/demo/lighttpd.conf
