#!/usr/bin/env bash
# Runs cross-built googletest executables under Wine, each in full, and
# prints how many tests each ran and passed. Fails, never skips, when Wine
# is missing or any test fails.
# Usage: wine-unit-tests.sh TEST.exe...
set -euo pipefail
wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || { echo "wine-unit-tests.sh: no Wine found (Debian package wine64)" >&2; exit 1; }
prefix=$(mktemp -d)
export WINEDEBUG=-all WINEPREFIX=$prefix
wineserver=$(dirname "$wine")/wineserver
command -v wineserver >/dev/null && [ ! -x "$wineserver" ] && wineserver=$(command -v wineserver)
# A private prefix whose server is stopped at the end; its output is let
# go, or a caller reading this script's pipe would wait on it.
"$wineserver" -p </dev/null >/dev/null 2>&1 &
trap '"$wineserver" -k </dev/null >/dev/null 2>&1 || true; rm -rf "$prefix"' EXIT

failed=0 total=0
for exe in "$@"; do
  log=$(mktemp)
  status=0
  "$wine" "$exe" --gtest_brief=1 >"$log" 2>&1 || status=$?
  tr -d '\r' <"$log" >"$log.txt"
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$log.txt")
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log.txt")
  # A test that says why it cannot run on Windows is skipped, not failed.
  skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}[.,].*/\1/p' "$log.txt")
  if [ "$status" -ne 0 ] || [ -z "$ran" ] || [ "$ran" != "$((${passed:-0} + ${skipped:-0}))" ]; then
    echo "FAIL $(basename "$exe") under Wine (exit $status): ${passed:-0} of ${ran:-?} passed"
    cat "$log.txt"
    failed=1
  else
    echo "ok   $(basename "$exe") under Wine: $ran tests passed"
    total=$((total + ran))
  fi
  rm -f "$log" "$log.txt"
done
[ "$failed" -eq 0 ] || { echo "Unit tests under Wine FAILED" >&2; exit 1; }
echo "Unit tests under Wine: $total passed"
