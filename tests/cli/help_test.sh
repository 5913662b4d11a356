#!/usr/bin/env bash
# Every script in scripts/ and every helper tool answers -h and --help with
# its usage on standard output and status 0, and refuses an unknown option
# with status 2 before it does anything: no build, no install, no file, no
# program started. The programs the scripts would start (cmake, apt-get,
# gnuplot, GDAL's tools, ...) are stand-ins here that note each start; the
# directories the scripts would write into (BUILD_DIR, DEMO_DIR, ...) point
# into the scratch directory, and every call runs in an empty directory.
#
#   help_test.sh SCRIPTS_DIR PROCESS_TILE MAKE_SYNTHETIC_TILE INSPECT_PIXEL TILE_QUALITY SCRATCH
set -euo pipefail

[ $# -eq 6 ] || { echo "usage: $0 SCRIPTS_DIR PROCESS_TILE MAKE_SYNTHETIC_TILE INSPECT_PIXEL TILE_QUALITY SCRATCH" >&2; exit 2; }
scripts="$1" process_tile="$2" make_tile="$3" inspect_pixel="$4" tile_quality="$5" scratch="$6"
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=tests/batch/checks.sh
. "$here/../batch/checks.sh"

rm -rf "$scratch"
mkdir -p "$scratch/bin" "$scratch/cwd" "$scratch/demo"
scratch="$(cd "$scratch" && pwd)"
started="$scratch/started"
for tool in cmake ctest apt-get dpkg-query gnuplot gdal_translate gdaldem gdalinfo clang-format \
  shellcheck parallel clang++ g++; do
  printf '#!/bin/sh\necho "%s $*" >> "%s"\nexit 99\n' "$tool" "$started" > "$scratch/bin/$tool"
  chmod +x "$scratch/bin/$tool"
done
# The demo removes DEMO_DIR before it generates a tile: it must still hold this.
touch "$scratch/demo/kept"
export PATH="$scratch/bin:$PATH"
export BUILD_DIR="$scratch/work/build" ASAN_BUILD_DIR="$scratch/work/asan"
export DEMO_DIR="$scratch/demo" FUZZ_CORPUS="$scratch/work/corpus"
cd "$scratch/cwd"

# Whether a call ends with STATUS, has its usage ("usage:", any case) as the
# first line of the stream USAGE_ON (out or err) and nothing on the other,
# and left nothing behind: no program started, nothing written.
#   answers STATUS USAGE_ON [TEXT] -- COMMAND...: TEXT must be on standard error.
answers() {
  local want="$1" usage_on="$2" text="" status=0 out err first
  shift 2
  if [ "$1" != "--" ]; then text="$1"; shift; fi
  shift
  out="$("$@" 2>"$scratch/err")" || status=$?
  err="$(cat "$scratch/err")"
  if [ "$usage_on" = out ]; then first="${out%%$'\n'*}"; else first="$(grep -m1 -i '^usage:' <<< "$err" || true)"; fi
  [ "$status" -eq "$want" ] || { echo "  status $status, not $want" >&2; return 1; }
  [[ "$first" =~ ^[Uu]sage:\  ]] || { echo "  no usage on standard $usage_on" >&2; return 1; }
  if [ "$usage_on" = out ]; then
    [ -z "$err" ] || { echo "  standard error: $err" >&2; return 1; }
  else
    [ -z "$out" ] || { echo "  standard output: $out" >&2; return 1; }
  fi
  [ -z "$text" ] || [[ "$err" == *"$text"* ]] || { echo "  no '$text' in: $err" >&2; return 1; }
  left_nothing
}
left_nothing() {
  [ ! -e "$started" ] || { echo "  started: $(cat "$started")" >&2; rm -f "$started"; return 1; }
  [ -z "$(ls -A "$scratch/cwd")" ] || { echo "  left in the working directory: $(ls -A "$scratch/cwd")" >&2; return 1; }
  [ ! -e "$scratch/work" ] || { echo "  made $scratch/work" >&2; return 1; }
  [ -f "$scratch/demo/kept" ] || { echo "  DEMO_DIR was removed" >&2; return 1; }
}

for script in demo test build install_deps fuzz sanitize lint python_tests test_summary quicklook \
  quality_chart; do
  for help in -h --help; do
    check "$script.sh $help: usage on standard output" answers 0 out -- bash "$scripts/$script.sh" "$help"
  done
done
for script in demo test build install_deps fuzz sanitize lint test_summary quicklook quality_chart; do
  check "$script.sh --no-such-option: refused, nothing done" \
    answers 2 err "$script.sh: unknown option --no-such-option" -- bash "$scripts/$script.sh" --no-such-option
done
for script in demo test build install_deps fuzz sanitize; do
  check "$script.sh with an argument: refused, nothing done" \
    answers 2 err "$script.sh: takes no arguments, not anything" -- bash "$scripts/$script.sh" anything
done
# Options after the operands are refused as well, before any work.
check "quicklook.sh with an option last: refused" \
  answers 2 err "quicklook.sh: unknown option --size" -- bash "$scripts/quicklook.sh" "$scratch/work" t 2000 --size
check "quality_chart.sh with an option last: refused" \
  answers 2 err "quality_chart.sh: unknown option --svg" -- bash "$scripts/quality_chart.sh" "$scratch/work/t.csv" c.png title --svg
check "lint.sh with an option after the mode: refused" \
  answers 2 err "lint.sh: one MODE only, not also --fix" -- bash "$scripts/lint.sh" format --fix
# python_tests.sh hands its arguments to pytest, whose own usage error is
# status 4 with no test run.
python_unknown() {
  local status=0
  bash "$scripts/python_tests.sh" --no-such-option > "$scratch/err" 2>&1 || status=$?
  [ "$status" -eq 4 ] && ! grep -q passed "$scratch/err" && left_nothing
}
if [ -x /usr/bin/python3 ] && /usr/bin/python3 -c 'import pytest' 2>/dev/null; then
  check "python_tests.sh --no-such-option: pytest's usage error, no test run" python_unknown
fi

w="$scratch/work"
for help in -h --help; do
  check "make_synthetic_tile $help" answers 0 out -- "$make_tile" "$help"
  check "tile_quality $help" answers 0 out -- "$tile_quality" "$help"
  check "inspect_pixel $help" answers 0 out -- "$inspect_pixel" "$help"
done
check "make_synthetic_tile --help: --size makes tiles for tests only" \
  bash -c 'help="$("$1" --help)" && [[ "$help" == *"for tests"* ]]' _ "$make_tile"
check "make_synthetic_tile with an unknown option: nothing generated" \
  answers 2 err "make_synthetic_tile: unknown option --no-such-option" -- \
  "$make_tile" "$w/in" "$w/dm" "$w/wl" t 2000 1 --no-such-option
check "make_synthetic_tile with -x: an option, not a directory" \
  answers 2 err "make_synthetic_tile: unknown option -x" -- "$make_tile" -x "$w/dm" "$w/wl" t 2000 1
check "tile_quality --no-such-option" \
  answers 2 err "tile_quality: unknown option --no-such-option" -- "$tile_quality" --no-such-option
check "tile_quality with an option besides the eight arguments" \
  answers 2 err "tile_quality: unknown option --verbose" -- \
  "$tile_quality" t 2000 "$w/in" "$w/q" -80 10 "$w/dm" "$w/wl" --verbose
check "inspect_pixel with an option besides the ten arguments" \
  answers 2 err "inspect_pixel: unknown option --all" -- \
  "$inspect_pixel" t 2000 "$w/in" "$w/out" -80 10 "$w/dm" "$w/wl" 5 5 --all
# process_tile keeps its one contract: exactly eight arguments, no options.
process_tile_wrong_call() {
  local out status=0
  out="$("$process_tile" --help 2>/dev/null)" || status=$?
  [ "$status" -eq 1 ] && [ "$out" = "wrong call" ] && left_nothing
}
check "process_tile --help stays a wrong call" process_tile_wrong_call

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed"
