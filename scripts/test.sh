#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite; then
# the bounded fuzz run and the unit and chosen end-to-end tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer. Every part runs even when
# an earlier one failed; the last lines count passed, failed and skipped
# tests and name each skipped test with its reason. Fails if any part fails.
set -euo pipefail
usage() {
  cat <<'EOF'
usage: test.sh [-h | --help]

Installs what is missing, builds with warnings as errors, runs the whole test
suite (ctest), a bounded fuzz run (scripts/fuzz.sh) and the sanitizer tests
(scripts/sanitize.sh); every part runs even when an earlier one failed. Ends
with the count of passed, failed and skipped tests (scripts/test_summary.sh)
and exits 1 if any part failed.

Environment:
  BUILD_DIR       the build directory (build)
  ASAN_BUILD_DIR  the sanitizer and fuzz build directory (build-asan)
  CMAKE_ARGS      more CMake options, separated by blanks
  FUZZ_SECONDS    the fuzz run's length (60)
  SANITIZE_E2E    a ctest regex of end-to-end tests to run under the sanitizers
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_options.sh"
take_no_arguments "$@"
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
