#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, coverage in the libraries)
# into build-fuzz, replays each checked-in corpus and a set of large
# repetitive inputs, then fuzzes each target for a bounded time. Fails on any
# finding (crash, sanitizer report, broken invariant, timeout, memory limit);
# writes its figures to $ORVALENGATE_REPORT_DIR/fuzz.md.
#
#   scripts/fuzz.sh [seconds-per-target]      (default 60; 0 replays only)
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD
seconds=${1:-60}
build=$here/build-fuzz
report_dir=${ORVALENGATE_REPORT_DIR:-$build/reliability}
work=$build/fuzz-work
jobs=$(nproc)

targets=(fields_fuzz escape_fuzz replace_fuzz multipart_fuzz namevalue_fuzz template_fuzz handler_fuzz jpeg_fuzz imaging_fuzz pagetemplate_fuzz)
# Limits per run: time and memory must stay linear in the input, so a
# megabyte of input has to finish well inside these.
rss_mb=512
timeout_s=10
max_len=1048576

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DORVALENGATE_FUZZ=ON -DORVALENGATE_TESTS=OFF -DORVALENGATE_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

# The handler's sites live in memory when there is room (a container's
# /dev/shm may hold only 64 MB): every write of the program is fsynced.
scratch_base=${TMPDIR:-/tmp}
if [ -d /dev/shm ] && [ -w /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR == 2 { print $4 }')" -ge 1048576 ]; then
  scratch_base=/dev/shm
fi
scratch=$(mktemp -d "$scratch_base/orvalengate-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export ORVALENGATE_FUZZ_TMP=$scratch
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# A smaller quarantine than the default 256 MB keeps the RSS figures about
# the program rather than the sanitizer.
export ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=64

rm -rf "$work/stress" "$work/artifacts" "$work/logs"
mkdir -p "$work/stress" "$work/artifacts" "$work/logs" "$report_dir"

# Large repetitive inputs: the shapes that make a naive search or split
# quadratic or a lookup copy the whole list per field.
repeat() {  # repeat FILE COUNT TEXT...: the texts (awk escapes allowed), COUNT times
  local file=$1 count=$2
  shift 2
  local text
  text=$(printf '%s' "$@")
  awk -v s="$text" -v n="$count" 'BEGIN { for (i = 0; i < n; i++) printf "%s", s }' >>"$file"
}
stress() {  # stress TARGET NAME: an empty stress input to be filled by repeat
  mkdir -p "$work/stress/$1"
  : >"$work/stress/$1/$2"
  echo "$work/stress/$1/$2"
}
f=$(stress fields_fuzz amps);          repeat "$f" 500000 '&'
f=$(stress fields_fuzz pairs);         repeat "$f" 100000 'session=s1&'
f=$(stress fields_fuzz blanks);        repeat "$f" 1 'a=b'; repeat "$f" 1000000 ' '
f=$(stress fields_fuzz percents);      repeat "$f" 500000 '%0'
f=$(stress fields_fuzz lead-bytes);    repeat "$f" 1000000 '\201'
f=$(stress escape_fuzz nbsp);          repeat "$f" 150000 '&#160;'
f=$(stress escape_fuzz lines);         repeat "$f" 300000 '\r\n<\r'
f=$(stress escape_fuzz lead-lt);       repeat "$f" 500000 '\201<'
f=$(stress replace_fuzz same-letter);  repeat "$f" 1000000 'a'; repeat "$f" 1 '\n%%\n'; repeat "$f" 1000 'A'
f=$(stress replace_fuzz lead-bytes);   repeat "$f" 1000000 '\201'; repeat "$f" 1 '\n%%\n\201\n%%\n'; repeat "$f" 100 'x'
f=$(stress multipart_fuzz dashes);     repeat "$f" 1000000 '-'
f=$(stress multipart_fuzz long-first-line); repeat "$f" 500000 '-'; repeat "$f" 1 '\r\n'; repeat "$f" 500000 '-'
f=$(stress multipart_fuzz near-misses); repeat "$f" 1000 'a'; repeat "$f" 1 '\r\n'; repeat "$f" 1000 'a'
repeat "$f" 1000 'a\r\n'
f=$(stress multipart_fuzz empty-parts); repeat "$f" 200000 '--B\r\n'
f=$(stress multipart_fuzz many-fields); repeat "$f" 25000 '--B\r\nname="blank-a"\r\n\r\nx\r\n'
f=$(stress namevalue_fuzz empty-lines); repeat "$f" 500000 '\n'
f=$(stress namevalue_fuzz same-name);   repeat "$f" 200000 'a=1\r\n'; repeat "$f" 1 '\n%%\nA\n%%\nv'
f=$(stress namevalue_fuzz blank-names); repeat "$f" 100000 'blank-'; repeat "$f" 1 '=\r\n'
repeat "$f" 50000 'x=\r\nblank-y=1\r\n'
f=$(stress template_fuzz hashes);       repeat "$f" 1 '\001\000\000\000'; repeat "$f" 65536 '#'
f=$(stress handler_fuzz amp-body);      repeat "$f" 1 'site\n%%\n\n'; repeat "$f" 1000000 '&'
f=$(stress handler_fuzz dash-body);     repeat "$f" 1 'site\n%%\n\n'; repeat "$f" 1000000 '-'
f=$(stress handler_fuzz many-fields);   repeat "$f" 1 'site\n%%\n\n--B\r\n'
repeat "$f" 20000 'name="session"\r\n\r\ns1\r\n--B\r\n'
# JPEGs: empty segments, fill bytes, stuffed scan data, Exif directories
# pointing at themselves.
f=$(stress jpeg_fuzz empty-segments);   repeat "$f" 1 '\377\330'; repeat "$f" 250000 '\377\376\000\002'
repeat "$f" 1 '\377\300\000\002\377\332\000\002'; repeat "$f" 1 '\377\331'
f=$(stress jpeg_fuzz fill-bytes);       repeat "$f" 1 '\377\330'; repeat "$f" 1000000 '\377'
f=$(stress jpeg_fuzz stuffed-scan);     repeat "$f" 1 '\377\330\377\300\000\002\377\332\000\002'
repeat "$f" 250000 '\377\000\377\320'; repeat "$f" 1 '\377\331'
f=$(stress jpeg_fuzz exif-loops);       repeat "$f" 1 '\377\330'
seg=$work/stress/exif-segment; : >"$seg"  # IFD0 and its GPS directory are one, and its own next
repeat "$seg" 1 '\377\341\377\377Exif\000\000MM\000*\000\000\000\010\000\001\210\045\000\004\000\000\000\001'
repeat "$seg" 1 '\000\000\000\010\000\000\000\010'; repeat "$seg" 65501 '\000'
for _ in $(seq 15); do cat "$seg" >>"$f"; done; rm "$seg"
repeat "$f" 1 '\377\300\000\002\377\332\000\002\377\331'

failures=0
rows=()
for t in "${targets[@]}"; do
  exe=$build/fuzz/$t
  seeds=$here/fuzz/corpus/$t
  corpus=$work/corpus/$t
  log=$work/logs/$t.log
  artifacts=$work/artifacts/$t
  mkdir -p "$corpus" "$artifacts"
  limits=(-rss_limit_mb=$rss_mb -timeout=$timeout_s -max_len=$max_len -artifact_prefix="$artifacts/")
  finding=none
  seed_count=$(find "$seeds" -type f | wc -l)
  # A target without stress inputs has no folder of them.
  stress_count=$( (find "$work/stress/$t" -type f 2>/dev/null || true) | wc -l)

  # Replay: every seed and stress input once, each within the limits. The
  # handler changes its working directory, so every path is absolute.
  echo "== $t: replaying $seed_count seeds and $stress_count stress inputs"
  mapfile -t inputs < <(find "$seeds" "$work/stress/$t" -type f 2>/dev/null | sort)
  if ! "$exe" "${limits[@]}" -print_final_stats=1 "${inputs[@]}" >"$log.replay" 2>&1; then
    finding="replay: $(grep -a -m1 -E 'INVARIANT BROKEN|ERROR:|SUMMARY:' "$log.replay" || echo "exit status")"
    # Replayed inputs leave no artifact: keep the input that failed.
    failed=$(grep -a '^Running: ' "$log.replay" | tail -1 | cut -d' ' -f2-)
    [ -f "$failed" ] && cp "$failed" "$artifacts/replay-$(basename "$failed")"
  fi
  replay_peak=$(grep -a -o 'Executed .* in [0-9]* ms' "$log.replay" | awk '{ if ($(NF-1) > m) m = $(NF-1) } END { print m + 0 }' || true)
  replay_rss=$(grep -a '^stat::peak_rss_mb:' "$log.replay" | awk '{ print $2 }' | tail -1 || true)

  # Fuzzing, from the seeds and what earlier runs in this build found.
  execs=0 corp=0 cov=0 rss=0
  if [ "$finding" = none ] && [ "$seconds" -gt 0 ]; then
    echo "== $t: fuzzing for ${seconds}s"
    if ! "$exe" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "$seeds" >"$log" 2>&1; then
      finding="fuzz: $(grep -a -m1 -E 'INVARIANT BROKEN|ERROR:|SUMMARY:' "$log" || echo "exit status")"
    fi
    execs=$(grep -a '^stat::number_of_executed_units:' "$log" | awk '{ print $2 }' | tail -1 || true)
    rss=$(grep -a '^stat::peak_rss_mb:' "$log" | awk '{ print $2 }' | tail -1 || true)
    cov=$(grep -a -o 'cov: [0-9]*' "$log" | tail -1 | awk '{ print $2 }' || true)
    corp=$(grep -a -o 'corp: [0-9]*' "$log" | tail -1 | awk '{ print $2 }' || true)
  fi
  if [ "$finding" != none ]; then
    failures=$((failures + 1))
    echo "!! $t: $finding (artifacts: $artifacts, log: $log)" >&2
    finding="$finding ($(ls "$artifacts" | head -1))"
  fi
  finding=${finding//|/\\|}
  rows+=("| $t | $((seed_count + stress_count)) | $replay_peak | ${replay_rss:-?} | ${execs:-0} | ${corp:-0} | ${cov:-0} | ${rss:-0} | $finding |")
done

{
  echo "## Fuzzing"
  echo
  echo "libFuzzer with ASan+UBSan, ${seconds} s per target after replaying the seeds and the large repetitive"
  echo "inputs; limits per input: ${timeout_s} s, ${rss_mb} MB RSS, ${max_len} bytes."
  echo
  echo "| target | replayed inputs | slowest replay (ms) | replay peak RSS (MB) | fuzz executions | corpus | coverage (edges) | fuzz peak RSS (MB) | findings |"
  echo "|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "Targets with findings: $failures of ${#targets[@]}."
} >"$report_dir/fuzz.md"
echo "Report: $report_dir/fuzz.md"
cat "$report_dir/fuzz.md"
[ "$failures" -eq 0 ]
