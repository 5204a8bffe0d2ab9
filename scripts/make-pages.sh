#!/usr/bin/env bash
# Writes the site's pages (site/) into OUT as the program serves its own:
# Shift_JIS, with the session name and the site's name filled in and the
# stylesheet written into each page, so the pages need nothing from the
# server but themselves. The site's name is HTML-escaped; CSS names another
# stylesheet to write in (the colours of your own). The Debian package
# installs this as /usr/libexec/orvalengate/make-pages, beside the sources
# in /usr/share/orvalengate/site.
# SIGNIN=1, for a session where members sign in (SignIn=1), leads the
# pages to the program's own forms: a line ending "<!--signin-->" is kept
# only then, one ending "<!--nosignin-->" only without it (each without its
# mark).
# Usage: [SIGNIN=1] make-pages.sh OUT [SESSION [SITENAME [CSS]]]
#        (SESSION defaults to demo, SITENAME to orvalengate, CSS to site/site.css)
set -euo pipefail
out=$1; session=${2:-demo}; name=${3:-orvalengate}
here=$(cd "$(dirname "$0")/.." && pwd)
sources=${ORVALENGATE_SITE_SOURCES:-$here/site}
css=${4:-$sources/site.css}
# The session goes into form fields and addresses: a name the program
# accepts (letters, digits, "-", "_", ".") and nothing that could end them.
case $session in
  '' | *[!A-Za-z0-9._-]*) echo "make-pages: the session name may hold ASCII letters, digits, \".\", \"-\" and \"_\" only" >&2; exit 2 ;;
esac
name=$(printf '%s' "$name" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g')
mkdir -p "$out"
for page in "$sources"/*.html; do
  # Written aside and renamed: a server never serves half a page.
  SESSION=$session NAME=$name CSS=$css SIGNIN=${SIGNIN:-0} awk '
    function fill(text, key, value,    i, done) {
      done = ""; while ((i = index(text, key)) > 0) { done = done substr(text, 1, i - 1) value; text = substr(text, i + length(key)) }
      return done text }
    /<!--signin-->$/ { if (ENVIRON["SIGNIN"] != "1") next; sub(/<!--signin-->$/, "") }
    /<!--nosignin-->$/ { if (ENVIRON["SIGNIN"] == "1") next; sub(/<!--nosignin-->$/, "") }
    /<link rel="stylesheet" href="site.css">/ {
      css = ENVIRON["CSS"]; print "<style>"; while ((getline line < css) > 0) print line; close(css); print "</style>"; next }
    { print fill(fill($0, "@SESSION@", ENVIRON["SESSION"]), "@SITENAME@", ENVIRON["NAME"]) }' "$page" |
    iconv -f UTF-8 -t SHIFT_JIS > "$out/.$(basename "$page").new"
  mv "$out/.$(basename "$page").new" "$out/$(basename "$page")"
done
# The site's icon, which browsers ask for at /favicon.ico on every page
# (the program's too).
cp "$sources/favicon.ico" "$out/.favicon.ico.new" && mv "$out/.favicon.ico.new" "$out/favicon.ico"
