#!/usr/bin/env bash
# scripts/test_summary.sh reads the suite's and the sanitizer run's results:
# a test skipped in one and run in the other is named with the run it was
# skipped in, a skip is never counted as a pass, and a failure fails.
#   test_summary_test.sh SCRIPTS_DIR SCRATCH_DIR
set -u
summary="$1/test_summary.sh"
scratch="$2"
rm -rf "$scratch"
mkdir -p "$scratch/build/test-results" "$scratch/build-asan/test-results"
cat > "$scratch/build/test-results/suite.xml" <<'XML'
<testsuite>
<testcase name="Run.OnATerminal" status="run"><system-out>ok</system-out></testcase>
<testcase name="Unit.Sums" status="run"><system-out>ok</system-out></testcase>
</testsuite>
XML
cat > "$scratch/build-asan/test-results/e2e.xml" <<'XML'
<testsuite>
<testcase name="Run.OnATerminal" status="notrun"><system-out>run_test.cpp:224: Skipped
no pseudo-terminal can be had here
</system-out></testcase>
<testcase name="Batch.Slurm" status="notrun"><system-out>SKIP: no sbatch here</system-out></testcase>
</testsuite>
XML
errors=0
expect() {  # expect WHAT WANTED GOT
  if [ "$2" != "$3" ]; then echo "FAIL: $1"$'\n'"wanted:"$'\n'"$2"$'\n'"got:"$'\n'"$3"; errors=$((errors + 1)); fi
}
out="$(bash "$summary" "$scratch/build/test-results/suite.xml" "$scratch/build-asan/test-results/e2e.xml")"
expect "skips named with their run, not counted as passes" "== summary: 2 passed, 0 failed, 2 skipped
skipped:
  Run.OnATerminal (in build-asan/e2e): no pseudo-terminal can be had here
  Batch.Slurm (in build-asan/e2e): no sbatch here" "$out"

cat > "$scratch/build/test-results/suite.xml" <<'XML'
<testsuite>
<testcase name="Unit.Sums" status="fail"><system-out>boom</system-out></testcase>
</testsuite>
XML
out="$(bash "$summary" "$scratch/build/test-results/suite.xml")"
status=$?
expect "a failure named with its run" "== summary: 0 passed, 1 failed, 0 skipped
failed:
  Unit.Sums (in build/suite)" "$out"
expect "a failure fails the summary" 1 "$status"
[ "$errors" -eq 0 ] && echo "all passed"
