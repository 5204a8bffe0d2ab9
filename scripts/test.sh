#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every
# test; then does the same with AddressSanitizer and UndefinedBehaviorSanitizer;
# then fuzzes every request parser and the whole handler for a bounded time
# (FUZZ_SECONDS per target, default 30: ten targets).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build-ci -DORVALENGATE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-ci -j"$jobs"
(cd build-ci && ctest --output-on-failure -j"$jobs")
# Two web servers on one GlusterFS volume (needs root and FUSE, so once, not in CTest).
tests/shared-storage/gluster.sh node tests/shared-storage/workload.mjs build-ci/orvalengate
# The Debian package: built, checked by lintian, installed, served, upgraded,
# removed and purged (needs root and installs the package: once, not in
# CTest; about 5 minutes).
bash tests/package/package_test.sh

cmake -S . -B build-asan -DORVALENGATE_WERROR=ON -DORVALENGATE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j"$jobs")

# Beside the other harnesses' figures, where scripts/reliability-report.sh
# looks for them.
ORVALENGATE_REPORT_DIR=$PWD/build-ci/reliability scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

# The Windows build: cross-built with mingw-w64, then the same requests under
# Wine and under the Linux build must give the same bytes, and the black-box
# suite passes against it. build-windows.sh installs Wine; the scripts fail,
# never skip, when they cannot run it. The platform, text, filter and imaging
# unit tests, cross-built, run under Wine too (their POSIX-only tests, suite
# PosixFiles, are not built for Windows); imaging's run against the
# libjpeg-turbo that build-windows.sh cross-builds from Debian's source.
JOBS=$jobs scripts/build-windows.sh --unit-tests
scripts/wine-unit-tests.sh build-win/tests/platform_tests.exe build-win/tests/text_tests.exe build-win/tests/filter_tests.exe build-win/tests/imaging_tests.exe
tests/wine/smoke.sh build-win/orvalengate.exe build-ci/orvalengate
tests/wine/blackbox.sh build-ci build-win/orvalengate.exe
