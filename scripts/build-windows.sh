#!/usr/bin/env bash
# Cross-builds build-win/orvalengate.exe with Debian's mingw-w64 (warnings as
# errors), after building the text generator for this machine in
# build-win-host/; installs the cross compiler and Wine (for the tests under
# Wine) when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake g++ make g++-mingw-w64-x86-64-posix wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
jobs=${JOBS:-$(nproc)}

cmake -S . -B build-win-host -DORVALENGATE_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win-host -j"$jobs" --target sjistexts

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DORVALENGATE_WERROR=ON -DORVALENGATE_TESTS=OFF -DORVALENGATE_SJISTEXTS="$PWD/build-win-host/sjistexts" >/dev/null
cmake --build build-win -j"$jobs" --target orvalengate
echo "Built $PWD/build-win/orvalengate.exe"
