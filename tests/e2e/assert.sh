# The check helpers of the runners that drive a site over HTTP (checks.sh,
# tests/mail, tests/guide): each check counts as passed or failed, and the
# runner ends with `summary`.
passed=0; failed=0
check() {  # check NAME CONDITION-COMMAND...
  local name=$1; shift
  if "$@"; then passed=$((passed+1)); else failed=$((failed+1)); echo "FAILED: $name"; fi
}
contains() { grep -qF -- "$2" <<<"$1"; }
lacks() { ! grep -qF -- "$2" <<<"$1"; }
same_bytes() { cmp -s "$1" <(printf '%s' "$2"); }  # command substitution would drop the final line end
status() { curl -s -o /dev/null -w '%{http_code}' "$@"; }
refused() { local code; code=$(status "$1"); [ "$code" = 403 ] || [ "$code" = 404 ]; }
summary() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; }
