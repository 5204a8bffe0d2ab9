#!/usr/bin/env bash
# Cross-builds build-win/orvalengate.exe with Debian's mingw-w64 (warnings as
# errors), after building the text generator for this machine in
# build-win-host/; installs the cross compiler and Wine (for the tests under
# Wine) when missing. libjpeg-turbo, which Debian packages for no mingw, is
# cross-built from Debian's source into build-win-deps/ on the first run.
# With --unit-tests also build-win/tests/platform_tests.exe, text_tests.exe,
# filter_tests.exe and imaging_tests.exe (googletest built from Debian's
# sources), which scripts/test.sh runs under Wine.
# With --zip also build-win/orvalengate-VERSION-windows.zip: both programs,
# the example pages in Shift_JIS, an example site and docs/iis.md.
set -euo pipefail
unit_tests=OFF
zip=false
targets=(orvalengate orvalengate-admin)
for option in "$@"; do
  case $option in
    --unit-tests) unit_tests=ON; targets+=(platform_tests text_tests filter_tests imaging_tests) ;;
    --zip) zip=true ;;
    *) echo "usage: build-windows.sh [--unit-tests] [--zip]"; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
scripts/apt-install.sh --no-install-recommends cmake g++ make g++-mingw-w64-x86-64-posix wine64 googletest \
  libgcrypt20-dev libgcrypt-mingw-w64-dev libjpeg62-turbo-dev nasm dpkg-dev
jobs=${JOBS:-$(nproc)}

# libjpeg-turbo for Windows: Debian's source of the very version the Linux
# build links (libjpeg62-turbo-dev), cross-built as a static library with the
# jpeg62 API, as Debian builds it. With SIMD, as Debian's amd64 build: nasm
# assembles the same code, so the .exe decodes and encodes photos as fast as
# the Linux program; REQUIRE_SIMD makes a missing assembler fail the build
# rather than quietly give a slower library. The install is kept, and reused
# while version and options stay the same.
deps=$PWD/build-win-deps
jpeg=$deps/jpeg
read -r jpeg_source jpeg_version < <(dpkg-query -W -f '${source:Package} ${source:Version}\n' libjpeg62-turbo-dev)
jpeg_options=(-DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_JPEG8=OFF
  -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DCMAKE_BUILD_TYPE=Release)
jpeg_stamp="$jpeg_source $jpeg_version ${jpeg_options[*]}"
if [ ! -f "$jpeg/lib/libjpeg.a" ] || [ "$(cat "$jpeg/built-from" 2>/dev/null)" != "$jpeg_stamp" ]; then
  echo "Cross-building $jpeg_source $jpeg_version from Debian's source (output in $deps/jpeg.log)"
  log=$deps/jpeg.log
  rm -rf "$deps"
  mkdir -p "$deps/apt/sources.list.d" "$deps/apt/lists/partial" "$deps/apt/cache" "$deps/src"
  quiet() { "$@" >>"$log" 2>&1 || { tail -n 30 "$log" >&2; echo "build-windows.sh: failed: $*" >&2; exit 1; }; }
  # apt-get source needs deb-src entries, which few machines have: they are
  # made from the machine's own Debian archives, as apt itself reads them
  # (a deb822 .sources file or a sources.list line alike), and used with lists
  # of their own in build-win-deps/apt, leaving the machine's apt set-up as
  # it was. apt checks the archive's signature against Debian's keyring and
  # the downloads against the signed lists; dpkg-source the files against
  # the .dsc.
  debian_archives() {
    apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Target-Of: deb' 'Origin: Debian' | sort -u
  }
  archives=$(debian_archives)
  if [ -z "$archives" ]; then
    # An archive's origin is known once its lists are fetched.
    if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
    quiet $sudo apt-get update
    archives=$(debian_archives)
  fi
  [ -n "$archives" ] || { echo "build-windows.sh: apt names no Debian archive to take $jpeg_source's source from" >&2; exit 1; }
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  while read -r uri suite; do
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n' "$uri" "$suite"
    [ ! -f "$keyring" ] || printf 'Signed-By: %s\n' "$keyring"
    echo
  done <<<"$archives" >"$deps/apt/sources.list.d/debian-sources.sources"
  apt=(apt-get -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$deps/apt/sources.list.d"
    -o Dir::State::Lists="$deps/apt/lists" -o Dir::Cache="$deps/apt/cache")
  quiet "${apt[@]}" update
  (cd "$deps/src" && quiet "${apt[@]}" source --download-only "$jpeg_source=$jpeg_version")
  quiet dpkg-source -x "$deps/src/${jpeg_source}_${jpeg_version#*:}.dsc" "$deps/src/tree"
  quiet cmake -S "$deps/src/tree" -B "$deps/jpeg-build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
    -DCMAKE_INSTALL_PREFIX="$jpeg" "${jpeg_options[@]}"
  quiet cmake --build "$deps/jpeg-build" -j"$jobs"
  quiet cmake --install "$deps/jpeg-build"
  # The source stays beside the install, which it must match; the lists and
  # the objects are of no further use.
  rm -rf "$deps/apt" "$deps/jpeg-build"
  echo "$jpeg_stamp" >"$jpeg/built-from"
fi

# Release with warnings as errors: the only build of the host tools at -O3.
cmake -S . -B build-win-host -DORVALENGATE_TESTS=OFF -DORVALENGATE_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win-host -j"$jobs" --target sjistexts

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DORVALENGATE_WERROR=ON -DORVALENGATE_TESTS=$unit_tests -DORVALENGATE_SJISTEXTS="$PWD/build-win-host/sjistexts" \
  -DORVALENGATE_JPEG_INCLUDE="$jpeg/include" -DORVALENGATE_JPEG_LIBRARY="$jpeg/lib/libjpeg.a" >/dev/null
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
# libjpeg-turbo is linked in: its licences ask for their notice beside it.
crlf <"$deps/src/tree/LICENSE.md" >"$stage/libjpeg-turbo-LICENSE.txt"
crlf <"$deps/src/tree/README.ijg" >"$stage/libjpeg-turbo-README-ijg.txt"
archive=$PWD/build-win/orvalengate-$version-windows.zip
rm -f "$archive"
(cd build-win/zip && zip -qr "$archive" orvalengate)
echo "Packed $archive"
