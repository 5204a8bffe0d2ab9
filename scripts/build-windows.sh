#!/usr/bin/env bash
# Cross-builds build-win/orvalengate.exe with Debian's mingw-w64 (warnings as
# errors), after building the text generator for this machine in
# build-win-host/; installs the cross compiler and Wine (for the tests under
# Wine) when missing.
# With --unit-tests also build-win/tests/platform_tests.exe, text_tests.exe and filter_tests.exe
# (googletest built from Debian's sources), which scripts/test.sh runs under Wine.
# With --zip also build-win/orvalengate-VERSION-windows.zip: both programs,
# the example pages in Shift_JIS, an example site and docs/iis.md.
set -euo pipefail
unit_tests=OFF
zip=false
targets=(orvalengate orvalengate-admin)
for option in "$@"; do
  case $option in
    --unit-tests) unit_tests=ON; targets+=(platform_tests text_tests filter_tests) ;;
    --zip) zip=true ;;
    *) echo "usage: build-windows.sh [--unit-tests] [--zip]"; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
scripts/apt-install.sh --no-install-recommends cmake g++ make g++-mingw-w64-x86-64-posix wine64 googletest \
  libgcrypt20-dev libgcrypt-mingw-w64-dev
jobs=${JOBS:-$(nproc)}

# Release with warnings as errors: the only build of the host tools at -O3.
cmake -S . -B build-win-host -DORVALENGATE_TESTS=OFF -DORVALENGATE_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win-host -j"$jobs" --target sjistexts

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DORVALENGATE_WERROR=ON -DORVALENGATE_TESTS=$unit_tests -DORVALENGATE_SJISTEXTS="$PWD/build-win-host/sjistexts" >/dev/null
cmake --build build-win -j"$jobs" --target "${targets[@]}"
echo "Built $PWD/build-win/orvalengate.exe and orvalengate-admin.exe"
$zip || exit 0

# The archive unpacks to C:\orvalengate, the folders docs/iis.md names;
# text files get Windows line ends.
scripts/apt-install.sh zip
version=$(sed -n 's/^project(orvalengate VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=build-win/zip/orvalengate
rm -rf build-win/zip
mkdir -p "$stage/cgi" "$stage/data/sessions" "$stage/data/members" "$stage/data/upload"
cp build-win/orvalengate.exe build-win/orvalengate-admin.exe "$stage/cgi/"
scripts/make-pages.sh "$stage/htdocs" demo
crlf() { sed 's/$/\r/'; }
printf 'sessiondb=C:/orvalengate/data/sessions\nauthlog=C:/orvalengate/data/auth.log\n' | crlf >"$stage/cgi/config.txt"
sed -e 's|@ORVALENGATE_DATADIR@|C:/orvalengate/data|' cmake/demo.txt.in | crlf >"$stage/data/sessions/demo.txt"
crlf <docs/iis.md >"$stage/IIS.txt"
archive=$PWD/build-win/orvalengate-$version-windows.zip
rm -f "$archive"
(cd build-win/zip && zip -qr "$archive" orvalengate)
echo "Packed $archive"
