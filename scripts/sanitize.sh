#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang, into ./build-asan, with the fuzz target) and runs under them the
# whole unit suite and a chosen set of end-to-end tests: one full run, the
# read-failure and write-failure paths, the refused layers and arguments,
# the planted names and the tile lock, and the memory refusal. Every other
# end-to-end test takes these same code paths on more data and would add
# minutes under the sanitizers; set SANITIZE_E2E to a ctest regex to choose
# others (SANITIZE_E2E=. runs them all). Any sanitizer finding makes the
# program end with status 86, which no test expects, so it fails the test.
set -euo pipefail
usage() {
  cat <<'EOF'
usage: sanitize.sh [-h | --help]

Builds everything with clang, AddressSanitizer and UndefinedBehaviorSanitizer
into ASAN_BUILD_DIR and runs the unit tests and a chosen set of end-to-end
tests under them; results in ASAN_BUILD_DIR/test-results.

Environment:
  ASAN_BUILD_DIR  the build directory (build-asan)
  SANITIZE_E2E    a ctest regex of the end-to-end tests to run (. for all)
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_options.sh"
take_no_arguments "$@"
cd "$(dirname "$0")/.."
build_dir="${ASAN_BUILD_DIR:-build-asan}"
e2e="${SANITIZE_E2E:-^(RunTest\.SuccessfulRunWritesGeoreferencedProductsSilently|RunTest\.LayerSmallerThanTheTileIsRefused|FaultTest\.FullDisk.*|FaultTest\.TruncatedOrCorrupt.*|FaultTest\.DamagedJpeg.*|FaultTest\.LayerThatIsNoRegular.*|FaultTest\.PlantedLinkFifo.*|FaultTest\.SecondRunOfATile.*|ArgumentFault\.Unusable.*|MemoryFault\..*)$}"

cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPT_SANITIZE=ON -DPT_FUZZ=ON -DPT_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)"

export ASAN_OPTIONS="exitcode=86:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="exitcode=86:print_stacktrace=1:halt_on_error=1"
cd "$build_dir"
# Results for the summary of scripts/test.sh; both parts run even when the
# first fails.
results="$PWD/test-results"
mkdir -p "$results"
rm -f "$results/unit.xml" "$results/e2e.xml"
status=0
echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ctest --output-on-failure -j "$(nproc)" -L unit --output-junit "$results/unit.xml" || status=1
echo "== end-to-end tests under AddressSanitizer and UndefinedBehaviorSanitizer: $e2e"
ctest --output-on-failure -j "$(nproc)" -L e2e -R "$e2e" --output-junit "$results/e2e.xml" || status=1
exit "$status"
