#!/usr/bin/env bash
# Runs the libFuzzer target over the filter stages for a bounded time
# (FUZZ_SECONDS, default 60): random small tiles through the plain and the
# fast whole-tile pass, which must agree, store only percentages, and never
# raise ERR1/ERR2. Builds it first if needed (clang, ./build-asan). The
# corpus found is kept in FUZZ_CORPUS (default build-asan/fuzz-corpus) so
# later runs start from it; a crashing input is written to build-asan/.
set -euo pipefail
usage() {
  cat <<'EOF'
usage: fuzz.sh [-h | --help]

Builds the libFuzzer target over the filter stages (clang, AddressSanitizer
and UndefinedBehaviorSanitizer) and runs it for a bounded time. A crashing
input is saved in the build directory; the corpus is kept for later runs.

Environment:
  FUZZ_SECONDS    how long to fuzz (60)
  FUZZ_CORPUS     the corpus directory (ASAN_BUILD_DIR/fuzz-corpus)
  ASAN_BUILD_DIR  the build directory (build-asan)
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_options.sh"
take_no_arguments "$@"
cd "$(dirname "$0")/.."
build_dir="${ASAN_BUILD_DIR:-build-asan}"
seconds="${FUZZ_SECONDS:-60}"
corpus="${FUZZ_CORPUS:-$build_dir/fuzz-corpus}"

cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPT_SANITIZE=ON -DPT_FUZZ=ON -DPT_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target filter_fuzz

mkdir -p "$corpus"
echo "== fuzzing the filter stages for ${seconds} s"
export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
log="$build_dir/fuzz.log"
status=0
"$build_dir/tests/fuzz/filter_fuzz" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
  -artifact_prefix="$build_dir/" "$corpus" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$log"
  echo "== the fuzzer failed (status $status); the input is saved under $build_dir/"
else
  grep -E '^(Done|stat::)' "$log" || true
fi
exit "$status"
