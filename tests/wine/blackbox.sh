#!/usr/bin/env bash
# The black-box suite of the Linux build (BUILD_DIR/tests/blackbox_tests) run
# against the Windows build under Wine: every request of every test runs as
# `wine <site>/orvalengate.exe`. Tests that need what only a POSIX process
# shows (flock from the test, strace, fork and signals) skip themselves and
# say why; the concurrency checks must run and pass.
# Usage: blackbox.sh BUILD_DIR WINDOWS_EXE [GTEST_FILTER]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR WINDOWS_EXE [GTEST_FILTER]" >&2; exit 2; }
tests=$(realpath "$1")/tests/blackbox_tests
exe=$(realpath "$2")
filter=${3:-*}
[ -x "$tests" ] || { echo "blackbox.sh: no $tests (build the blackbox_tests target)" >&2; exit 1; }
[ -f "$exe" ] || { echo "blackbox.sh: no $exe (scripts/build-windows.sh builds it)" >&2; exit 1; }
wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || { echo "blackbox.sh: no Wine found (Debian package wine64)" >&2; exit 1; }
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

work=$(mktemp -d)
export WINEDEBUG=-all WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="mscoree,mshtml="
# Wine stores the Windows build's Unicode file names as UTF-8 only under a
# UTF-8 locale; under "C" every non-ASCII name fails to be created.
export LC_ALL=C.UTF-8
trap '"$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
# One server for every request, so that none pays Wine's start-up; its
# output let go, or this script's caller would wait on the pipe it holds.
"$wineserver" -p </dev/null >/dev/null 2>&1 &
"$wine" wineboot -i </dev/null >/dev/null 2>&1

start=$SECONDS
status=0
ORVALENGATE_LAUNCHER=$wine ORVALENGATE_EXE_UNDER_TEST=$exe \
  "$tests" --gtest_filter="$filter" --gtest_color=no >"$work/log" 2>&1 || status=$?
seconds=$((SECONDS - start))

# Each skipped test with the reason it gave.
awk '/: Skipped$/ { getline why } /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ { print "skipped " $4 ": " why; why = "" }' "$work/log"
count() { grep -ac "^\[ *$1 *\] [A-Za-z0-9_]*\.[A-Za-z0-9_]* ([0-9]* ms)$" "$work/log" || true; }
passed=$(count OK)
skipped=$(count SKIPPED)
failed=$(count FAILED)
ran=$((passed + skipped + failed))
echo "black-box suite under Wine: ran $ran, passed $passed, skipped $skipped, failed $failed in ${seconds}s"

# The concurrency checks are the point of running the suite here: they must
# have run, not been filtered out or skipped.
for t in Concurrency.SameIdRegistrationsAcceptExactlyOne Concurrency.CounterPostsAllGetTheirOwnNumber \
         Concurrency.TimeStampPostsNeverShareAName Concurrency.Num3dPostsNeverShareAName \
         Concurrency.PasswordChangesAndProfileSavesLoseNothing; do
  if [ "$filter" = '*' ] && ! grep -aq "^\[       OK \] $t " "$work/log"; then
    echo "FAIL $t did not run and pass under Wine"
    status=1
  fi
done
if [ "$status" -ne 0 ] || [ "$passed" -eq 0 ]; then
  echo "FAIL the black-box suite under Wine; its output:"
  cat "$work/log"
  exit 1
fi
