#!/usr/bin/env bash
# Cross-builds build-win/orvalengate.exe with Debian's mingw-w64 (warnings as
# errors), after building the text generator for this machine in
# build-win-host/; installs the cross compiler and Wine (for the tests under
# Wine) when missing.
# With --unit-tests also build-win/tests/platform_tests.exe, text_tests.exe and filter_tests.exe
# (googletest built from Debian's sources), which scripts/test.sh runs under Wine.
set -euo pipefail
unit_tests=OFF
targets=(orvalengate orvalengate-admin)
if [ "${1:-}" = --unit-tests ]; then
  unit_tests=ON
  targets+=(platform_tests text_tests filter_tests)
fi
cd "$(dirname "$0")/.."
scripts/apt-install.sh --no-install-recommends cmake g++ make g++-mingw-w64-x86-64-posix wine64 googletest \
  libgcrypt20-dev libgcrypt-mingw-w64-dev
jobs=${JOBS:-$(nproc)}

cmake -S . -B build-win-host -DORVALENGATE_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win-host -j"$jobs" --target sjistexts

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DORVALENGATE_WERROR=ON -DORVALENGATE_TESTS=$unit_tests -DORVALENGATE_SJISTEXTS="$PWD/build-win-host/sjistexts" >/dev/null
cmake --build build-win -j"$jobs" --target "${targets[@]}"
echo "Built $PWD/build-win/orvalengate.exe and orvalengate-admin.exe"
