#!/usr/bin/env bash
# Sums up ctest's JUnit results (ctest --output-junit): how many tests
# passed, failed and were skipped, and every skipped test with the reason it
# gave. ctest counts a skipped test among the passed ones in its own
# "100% tests passed" line; here a skip is never read as a pass.
#
#   test_summary.sh RESULTS.xml...     (a missing file is reported, not skipped over)
#
# A test gives its reason on a line "SKIP: <reason>" (the shell tests), or
# as the message GoogleTest prints after "<file>:<line>: Skipped".
set -euo pipefail

usage() {
  cat <<EOF
usage: ${0##*/} RESULTS.xml...

Counts the passed, failed and skipped tests in ctest's JUnit results (ctest
--output-junit) and names each skipped test with its reason and each failed
test. Exits 1 when a test failed or a results file is missing, 2 on a usage
error. A file name that begins with '-' needs '--' before it.
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_options.sh"
take_no_options "$@"
if [ "${1:-}" = "--" ]; then shift; fi
[ $# -gt 0 ] || { echo "usage: ${0##*/} RESULTS.xml..." >&2; exit 2; }

records=""
missing=()
for xml in "$@"; do
  if [ ! -f "$xml" ]; then missing+=("$xml"); continue; fi
  # The run a test belongs to, by its build directory and results file
  # (build/suite, build-asan/e2e): a test skipped under the sanitizers may
  # have run in the suite, and the reader must know which.
  results_dir="$(cd "$(dirname "$xml")" && pwd)"
  run_dir="${results_dir%/test-results}"
  run="${run_dir##*/}/$(basename "$xml" .xml)"
  # One "status<TAB>name<TAB>reason<TAB>run" line per test case.
  records+="$(awk -v run="$run" '
    function unescape(s) {
      gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s)
      gsub(/&apos;/, "\047", s); gsub(/&amp;/, "\\&", s); return s
    }
    function attribute(line, key,   rest) {
      if (!match(line, key "=\"[^\"]*\"")) return ""
      rest = substr(line, RSTART + length(key) + 2, RLENGTH - length(key) - 3)
      return unescape(rest)
    }
    /<testcase / { name = attribute($0, "name"); status = attribute($0, "status"); reason = ""; after_skipped = 0 }
    {
      line = $0
      sub(/.*<system-out>/, "", line)
      sub(/<\/system-out>.*/, "", line)
      line = unescape(line)
      if (after_skipped && reason == "") reason = line
      after_skipped = line ~ /: Skipped$/
      if (reason == "" && line ~ /^SKIP: /) reason = substr(line, 7)
    }
    /<\/testcase>/ { printf "%s\t%s\t%s\t%s\n", status, name, reason, run }
  ' "$xml")"$'\n'
done

count() { awk -F'\t' -v s="$1" '$1 == s { n++ } END { print n + 0 }' <<< "$records"; }
passed=$(count run) failed=$(count fail) skipped=$(count notrun)

echo "== summary: $passed passed, $failed failed, $skipped skipped"
if [ "$skipped" -gt 0 ]; then
  echo "skipped:"
  awk -F'\t' '$1 == "notrun" { printf "  %s (in %s): %s\n", $2, $4, ($3 == "" ? "(no reason given)" : $3) }' <<< "$records"
fi
if [ "$failed" -gt 0 ]; then
  echo "failed:"
  awk -F'\t' '$1 == "fail" { printf "  %s (in %s)\n", $2, $4 }' <<< "$records"
fi
for xml in "${missing[@]}"; do echo "no results in $xml (that part did not run to the end)"; done
[ "$failed" -eq 0 ] && [ "${#missing[@]}" -eq 0 ]
