#!/usr/bin/env bash
# Writes the example pages (site/) into OUT as the program serves its own:
# Shift_JIS, with the session name filled in and the stylesheet written into
# each page, so the pages need nothing from the server but themselves.
# Usage: make-pages.sh OUT [SESSION]   (SESSION defaults to demo)
set -euo pipefail
out=$1; session=${2:-demo}
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
for page in "$here"/site/*.html; do
  awk -v session="$session" -v css="$here/site/site.css" '
    /<link rel="stylesheet" href="site.css">/ {
      print "<style>"; while ((getline line < css) > 0) print line; close(css); print "</style>"; next }
    { out = ""; while ((i = index($0, "@SESSION@")) > 0) { out = out substr($0, 1, i - 1) session; $0 = substr($0, i + 9) }
      print out $0 }' "$page" | iconv -f UTF-8 -t SHIFT_JIS > "$out/$(basename "$page")"
done
