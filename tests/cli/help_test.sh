#!/usr/bin/env bash
# Every script in scripts/ and bench/, every helper tool and the benchmark
# programs answer -h and --help with their usage on standard output and
# status 0, and refuse an unknown option with status 2 before they do
# anything: no build, no install, no file, no program started. The programs
# the scripts would start (cmake, apt-get, gnuplot, GDAL's tools, ...) are
# stand-ins here that note each start; the directories the scripts would
# write into (BUILD_DIR, DEMO_DIR, BENCH_DIR, ...) point into the scratch
# directory, and every call runs in an empty directory.
#
#   help_test.sh SCRIPTS_DIR PROCESS_TILE MAKE_SYNTHETIC_TILE INSPECT_PIXEL TILE_QUALITY
#                TILE_ACCOUNTS SUM_ACCOUNTS SCRATCH
#                [BENCH_TILE BENCH_WHOLE_PROCESS BENCH_READ_PRODUCTS]
# (the benchmark programs where the build has them)
set -euo pipefail

[ $# -eq 8 ] || [ $# -eq 11 ] || {
  echo "usage: $0 SCRIPTS_DIR PROCESS_TILE MAKE_SYNTHETIC_TILE INSPECT_PIXEL TILE_QUALITY TILE_ACCOUNTS SUM_ACCOUNTS SCRATCH [BENCH_TILE BENCH_WHOLE_PROCESS BENCH_READ_PRODUCTS]" >&2
  exit 2
}
scripts="$1" process_tile="$2" make_tile="$3" inspect_pixel="$4" tile_quality="$5"
tile_accounts="$6" sum_accounts="$7" scratch="$8"
bench_tile="${9:-}" bench_whole="${10:-}" bench_read="${11:-}"
here="$(cd "$(dirname "$0")" && pwd)"
bench="$(cd "$scripts/../bench" && pwd)"
# shellcheck source=tests/batch/checks.sh
. "$here/../batch/checks.sh"

rm -rf "$scratch"
mkdir -p "$scratch/bin" "$scratch/cwd" "$scratch/demo"
scratch="$(cd "$scratch" && pwd)"
started="$scratch/started"
for tool in cmake ctest apt-get dpkg-query gnuplot gdal_translate gdaldem gdalinfo clang-format \
  shellcheck parallel clang++ g++ ogr2ogr; do
  printf '#!/bin/sh\necho "%s $*" >> "%s"\nexit 99\n' "$tool" "$started" > "$scratch/bin/$tool"
  chmod +x "$scratch/bin/$tool"
done
# The demo removes DEMO_DIR before it generates a tile: it must still hold this.
touch "$scratch/demo/kept"
export PATH="$scratch/bin:$PATH"
export BUILD_DIR="$scratch/work/build" ASAN_BUILD_DIR="$scratch/work/asan"
export DEMO_DIR="$scratch/demo" FUZZ_CORPUS="$scratch/work/corpus" BENCH_DIR="$scratch/work/bench"
cd "$scratch/cwd"

# Whether a call ends with STATUS, has its usage ("usage:", any case) as the
# first line of the stream USAGE_ON (out or err) and nothing on the other,
# and left nothing behind: no program started, nothing written.
#   answers STATUS USAGE_ON [TEXT] -- COMMAND...: TEXT must be on standard error.
answers() {
  local want="$1" usage_on="$2" text="" status=0 clean=0 out err first
  shift 2
  if [ "$1" != "--" ]; then text="$1"; shift; fi
  shift
  out="$("$@" 2>"$scratch/err")" || status=$?
  err="$(cat "$scratch/err")"
  if [ "$usage_on" = out ]; then first="${out%%$'\n'*}"; else first="$(grep -m1 -i '^usage:' <<< "$err" || true)"; fi
  left_nothing || clean=1  # always looked at, so that a failed call leaves no trace for the next
  [ "$status" -eq "$want" ] || { echo "  status $status, not $want" >&2; return 1; }
  [[ "$first" =~ ^[Uu]sage:\  ]] || { echo "  no usage on standard $usage_on" >&2; return 1; }
  if [ "$usage_on" = out ]; then
    [ -z "$err" ] || { echo "  standard error: $err" >&2; return 1; }
  else
    [ -z "$out" ] || { echo "  standard output: $out" >&2; return 1; }
  fi
  [ -z "$text" ] || [[ "$err" == *"$text"* ]] || { echo "  no '$text' in: $err" >&2; return 1; }
  [ "$clean" -eq 0 ]
}
# Whether the call left nothing behind; what it left is cleared, so that the
# next check starts clean.
left_nothing() {
  local bad=0
  [ ! -e "$started" ] || { echo "  started: $(head -c 600 "$started")" >&2; bad=1; }
  [ -z "$(ls -A "$scratch/cwd")" ] || { echo "  left in the working directory: $(ls -A "$scratch/cwd")" >&2; bad=1; }
  [ ! -e "$scratch/work" ] || { echo "  made $scratch/work" >&2; bad=1; }
  [ -f "$scratch/demo/kept" ] || { echo "  DEMO_DIR was removed" >&2; bad=1; }
  if [ "$bad" -ne 0 ]; then
    rm -rf "$started" "$scratch/work"
    find "$scratch/cwd" -mindepth 1 -delete
    mkdir -p "$scratch/demo"
    touch "$scratch/demo/kept"
  fi
  return "$bad"
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
  check "tile_accounts $help" answers 0 out -- "$tile_accounts" "$help"
  check "tile_accounts $help among a run's arguments" \
    answers 0 out -- "$tile_accounts" t 2020 "$w/p" "$w/dm" "$w/acc" "$help"
  check "sum_accounts $help" answers 0 out -- "$sum_accounts" "$help"
  check "sum_accounts $help among a run's arguments: nothing summed or written" \
    answers 0 out -- "$sum_accounts" "$w/list" "$w/acc" 2020 10 "$w/sums.csv" "$help"
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
check "tile_accounts --no-such-option" \
  answers 2 err "tile_accounts: unknown option --no-such-option" -- "$tile_accounts" --no-such-option
check "tile_accounts with an unknown option after the five arguments: nothing made" \
  answers 2 err "tile_accounts: unknown option --verbose" -- \
  "$tile_accounts" t 2020 "$w/p" "$w/dm" "$w/acc" --verbose
check "tile_accounts with four arguments: the usage, nothing made" \
  answers 2 err -- "$tile_accounts" t 2020 "$w/p" "$w/dm"
check "sum_accounts --no-such-option" \
  answers 2 err "sum_accounts: unknown option --no-such-option" -- "$sum_accounts" --no-such-option
check "sum_accounts with an unknown option after the arguments: nothing written" \
  answers 2 err "sum_accounts: unknown option --verbose" -- \
  "$sum_accounts" "$w/list" "$w/acc" 2020 10 "$w/sums.csv" --verbose
check "sum_accounts with four arguments: the usage, nothing written" \
  answers 2 err -- "$sum_accounts" "$w/list" "$w/acc" 2020 10
check "tile_accounts --zones without its file: the usage, nothing made" \
  answers 2 err "tile_accounts: --zones needs a value" -- "$tile_accounts" t 2020 "$w/p" "$w/dm" "$w/acc" --zones
# process_tile keeps its one contract: exactly eight arguments, no options.
process_tile_wrong_call() {
  local out status=0
  out="$("$process_tile" --help 2>/dev/null)" || status=$?
  [ "$status" -eq 1 ] && [ "$out" = "wrong call" ] && left_nothing
}
check "process_tile --help stays a wrong call" process_tile_wrong_call

# The batch scripts take their options from the Python package; region.sh
# and batch_quality.sh give a line on each of their arguments.
for script in batch slurm_array region batch_quality; do
  for help in -h --help; do
    check "$script.sh $help: usage on standard output" answers 0 out -- bash "$scripts/$script.sh" "$help"
  done
done
# Refused with STATUS and TEXT on standard error, nothing on standard output,
# nothing done.  refused STATUS TEXT -- COMMAND...
refused() {
  local want="$1" text="$2" status=0 clean=0 out
  shift 3
  out="$("$@" 2>"$scratch/err")" || status=$?
  left_nothing || clean=1
  [ "$status" -eq "$want" ] || { echo "  status $status, not $want" >&2; return 1; }
  [ -z "$out" ] || { echo "  standard output: $out" >&2; return 1; }
  [[ "$(cat "$scratch/err")" == *"$text"* ]] || { echo "  no '$text' in: $(cat "$scratch/err")" >&2; return 1; }
  [ "$clean" -eq 0 ]
}
check "batch.sh --no-such-option: refused, nothing done" \
  refused 2 "batch.sh: unrecognized arguments: --no-such-option" -- \
  bash "$scripts/batch.sh" "$w/tiles.txt" 2020 "$w/in" "$w/out" "$w/dm" "$w/wl" --no-such-option
check "slurm_array.sh --no-such-option: refused, nothing done" \
  refused 2 "slurm_array.sh: unrecognized arguments: --no-such-option" -- \
  bash "$scripts/slurm_array.sh" "$w/tiles.txt" 2020 "$w/in" "$w/out" "$w/dm" "$w/wl" --no-such-option
check "region.sh --no-such-option: refused, nothing done" \
  answers 2 err "unrecognized arguments: --no-such-option" -- \
  bash "$scripts/region.sh" "$w/out" 2020 "$w/tiles.txt" --no-such-option
check "batch_quality.sh --no-such-option: refused, nothing done" \
  answers 2 err "unrecognized arguments: --no-such-option" -- \
  bash "$scripts/batch_quality.sh" "$w/quality" t --no-such-option
# Each entry under "positional arguments:" in argparse's help has its line.
describes_every_argument() {
  awk '/^positional arguments:/ { on = 1; next }
       on && !/^ / { exit }
       on && /^  [^ ]/ { n++; if ($0 !~ /^  [^ ]+  +[^ ]/) { print "  no line on " $1 > "/dev/stderr"; bad = 1 } }
       END { exit bad || !n }' <<< "$("$@" --help)"
}
check "region.sh --help: a line on each argument" describes_every_argument bash "$scripts/region.sh"
check "batch_quality.sh --help: a line on each argument" describes_every_argument bash "$scripts/batch_quality.sh"

# The benchmark: bench/run.sh would install, build and write gigabytes into
# BENCH_DIR; batch_scale.sh removes its DIR (default out/batch_scale_bench)
# first; region_scale.py writes into --dir. Each call is bounded in time and
# in file size, so that one which runs after all cannot fill the disk.
bounded() { (ulimit -f 102400 && exec timeout -k 5 20 "$@"); }
for help in -h --help; do
  check "bench/run.sh $help: usage on standard output" answers 0 out -- bounded bash "$bench/run.sh" "$help"
  check "bench/batch_scale.sh $help: usage on standard output" answers 0 out -- bounded bash "$bench/batch_scale.sh" "$help"
  check "bench/tile_accounts.sh $help: usage on standard output" \
    answers 0 out -- bounded bash "$bench/tile_accounts.sh" "$help"
  check "bench/zones_continent.sh $help: usage on standard output" \
    answers 0 out -- bounded bash "$bench/zones_continent.sh" "$help"
  check "bench/forest_join_scale.sh $help: usage on standard output" \
    answers 0 out -- bounded bash "$bench/forest_join_scale.sh" "$help"
  check "bench/region_scale.py $help: usage on standard output" \
    answers 0 out -- bounded "$bench/region_scale.py" --dir "$w/region" "$help"
done
# Python writes no bytecode into the batch package it imports, whatever the
# environment says.
no_bytecode() {
  local cache="$bench/../tilebatch/__pycache__"
  [ ! -e "$cache" ] || return 0  # there already: nothing to tell
  bounded env -u PYTHONDONTWRITEBYTECODE "$@" > /dev/null 2>&1 || true
  [ ! -e "$cache" ] || { echo "  wrote $cache" >&2; rm -rf "$cache"; return 1; }
}
check "bench/region_scale.py --help: no bytecode written into the tree" \
  no_bytecode "$bench/region_scale.py" --dir "$w/region" --help
check "bench/run.sh --no-such-option: refused, nothing done" \
  answers 2 err "run.sh: unknown option --no-such-option" -- bounded bash "$bench/run.sh" --no-such-option
check "bench/run.sh with an argument: refused, nothing done" \
  answers 2 err "run.sh: takes no arguments, not anything" -- bounded bash "$bench/run.sh" anything
check "bench/forest_join_scale.sh --no-such-option: refused, nothing done" \
  answers 2 err "forest_join_scale.sh: unknown option --no-such-option" -- \
  bounded bash "$bench/forest_join_scale.sh" --no-such-option
check "bench/zones_continent.sh --no-such-option: refused, nothing done" \
  answers 2 err "zones_continent.sh: unknown option --no-such-option" -- \
  bounded bash "$bench/zones_continent.sh" --no-such-option
check "bench/tile_accounts.sh --no-such-option: refused, nothing done" \
  answers 2 err "tile_accounts.sh: unknown option --no-such-option" -- bounded bash "$bench/tile_accounts.sh" --no-such-option
check "bench/tile_accounts.sh with an argument: refused, nothing done" \
  answers 2 err "tile_accounts.sh: takes no arguments, not anything" -- bounded bash "$bench/tile_accounts.sh" anything
check "bench/batch_scale.sh --no-such-option: refused, nothing done" \
  answers 2 err "batch_scale.sh: unknown option --no-such-option" -- bounded bash "$bench/batch_scale.sh" --no-such-option
check "bench/batch_scale.sh with an option after the operands: refused" \
  answers 2 err "batch_scale.sh: unknown option --quick" -- bounded bash "$bench/batch_scale.sh" 10 "$w/scale" --quick
check "bench/batch_scale.sh with N not a number: refused, nothing done" \
  answers 2 err "batch_scale.sh: N must be a whole number" -- bounded bash "$bench/batch_scale.sh" many "$w/scale"
check "bench/region_scale.py --no-such-option: refused, nothing done" \
  answers 2 err "unrecognized arguments: --no-such-option" -- bounded "$bench/region_scale.py" --dir "$w/region" --no-such-option
check "bench/region_scale.py --sizes not numbers: refused, nothing done" \
  answers 2 err "argument --sizes" -- bounded "$bench/region_scale.py" --dir "$w/region" --sizes 100,many
# batch_scale.sh's DIR survives a call that asks for help or is refused, and
# one that holds anything but an earlier run's files is never removed.
keeps() {  # keeps DIR COMMAND...: run in DIR's parent's parent; DIR/kept must stay
  local dir="$1"
  shift
  mkdir -p "$dir" && touch "$dir/kept"
  (cd "$scratch/elsewhere" && "$@") > /dev/null 2>&1 || true
  [ -f "$dir/kept" ] || { echo "  $dir was removed" >&2; return 1; }
}
mkdir -p "$scratch/elsewhere"
for call in --help --no-such-option many; do
  check "bench/batch_scale.sh $call: out/batch_scale_bench kept" \
    keeps "$scratch/elsewhere/out/batch_scale_bench" bounded bash "$bench/batch_scale.sh" "$call"
done
foreign_kept() {
  local status=0
  keeps "$scratch/foreign" bounded bash "$bench/batch_scale.sh" 1 "$scratch/foreign" || return 1
  bounded bash "$bench/batch_scale.sh" 1 "$scratch/foreign" > /dev/null 2>&1 || status=$?
  [ "$status" -eq 1 ] && [ ! -e "$scratch/foreign/tiles.txt" ]
}
check "bench/batch_scale.sh: a DIR that is not an earlier run's is refused, not removed" foreign_kept
if [ -n "$bench_tile" ]; then
  for help in -h --help; do
    check "bench_tile $help" answers 0 out -- "$bench_tile" "$help"
    check "bench_whole_process $help" answers 0 out -- "$bench_whole" "$help"
    check "bench_read_products $help" answers 0 out -- "$bench_read" "$help"
  done
  check "bench_read_products --no-such-option" \
    answers 2 err "bench_read_products: unknown option --no-such-option" -- "$bench_read" --no-such-option
  check "bench_tile --no-such-option" \
    answers 2 err "bench_tile: unknown option --no-such-option" -- "$bench_tile" --no-such-option
  check "bench_tile with an option besides the four arguments: nothing made" \
    answers 2 err "bench_tile: unknown option --quick" -- "$bench_tile" "$w/tile" t 2020 "$w/out" --quick
  check "bench_whole_process --no-such-option" \
    answers 2 err "bench_whole_process: unknown option --no-such-option" -- "$bench_whole" --no-such-option
  check "bench_whole_process with an option besides the six arguments: nothing made" \
    answers 2 err "bench_whole_process: unknown option --quick" -- \
    "$bench_whole" 1 "$w/tile" t 2020 "$w/out" "$process_tile" --quick
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed"
