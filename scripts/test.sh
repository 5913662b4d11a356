#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite; then
# the bounded fuzz run and the unit and chosen end-to-end tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer. Every part runs even when
# an earlier one failed; the last lines count passed, failed and skipped
# tests and name each skipped test with its reason. Fails if any part fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
# The developer build: warnings are errors here.
CMAKE_ARGS="-DPT_WERROR=ON ${CMAKE_ARGS:-}" scripts/build.sh

build_dir="$(cd "${BUILD_DIR:-build}" && pwd)"
asan_dir="$PWD/${ASAN_BUILD_DIR:-build-asan}"
suite_results="$build_dir/test-results/suite.xml"
rm -f "$suite_results"
failed_parts=()

(cd "$build_dir" && ctest --output-on-failure -j "$(nproc)" --output-junit "$suite_results") ||
  failed_parts+=("test suite")
# The fuzz run and the sanitizer build share the sanitizer build directory.
rm -rf "$asan_dir/test-results"
fuzz_status=passed
scripts/fuzz.sh || { fuzz_status=FAILED; failed_parts+=("fuzz run"); }
scripts/sanitize.sh || failed_parts+=("sanitizer tests")

echo
echo "== fuzz run: $fuzz_status"
summary_status=0
scripts/test_summary.sh "$suite_results" "$asan_dir/test-results/unit.xml" \
  "$asan_dir/test-results/e2e.xml" || summary_status=$?
if [ "${#failed_parts[@]}" -gt 0 ] || [ "$summary_status" -ne 0 ]; then
  echo "== FAILED: ${failed_parts[*]:-see the summary}"
  exit 1
fi
echo "== all parts passed"
