#!/usr/bin/env bash
# scripts/batch.sh over a list of 350 tiles with a stand-in for process_tile,
# a small script that sleeps briefly, writes a small file per product and
# fails for chosen tiles: this tests the orchestration (every tile run once,
# failures reported, --resume reruns exactly those, --plan and --report agree
# with what ran), not the filter. Then hostile cases on a few tiles each: a
# FIFO where a tile's record or log should be, a second batch into a directory
# in use, --resume with another last year or a changed list (named
# tiles=v2.txt), tile ids with a terminal escape sequence or a right-to-left
# override.
#
#   batch_scale_test.sh SCRATCH
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 SCRATCH" >&2; exit 2; }
scratch="$(realpath -m "$1")"
scripts="$(cd "$(dirname "$0")/../../scripts" && pwd)"

. "$(dirname "$0")/checks.sh"
command -v parallel >/dev/null || skip "GNU parallel missing (scripts/install_deps.sh installs it)"

rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"
mkdir fail no_products hold input datamask wetland
# It waits while hold/TILE exists, fails for the tiles named in fail/ and
# ends 0 without writing its products for those in no_products/.
cat > stand_in <<EOF
#!/bin/sh
# TILE LAST_YEAR INPUT OUTPUT X Y DATAMASK WETLAND, as process_tile
printf '%s\\n' "\$1" >> "$scratch/calls"
sleep 0.05
while [ -e "$scratch/hold/\$1" ]; do sleep 0.05; done
if [ -e "$scratch/fail/\$1" ]; then echo "stand-in failure of \$1"; exit 1; fi
if [ -e "$scratch/no_products/\$1" ]; then exit 0; fi
for p in TCC TCH Loss; do echo "\$1" > "\$4/\${p}_\$2_\$1.img"; done
EOF
chmod +x stand_in
for i in $(seq 350); do echo "t$i -60 10"; done > tiles.txt
failing=(t7 t101 t102 t250 t350)
for t in "${failing[@]}"; do touch "fail/$t"; done
mkdir input/t1 input/t2
head -c 1000 /dev/zero > input/t1/layer.tif
head -c 234 /dev/zero > input/t2/layer.tif
: > calls

run_batch() {  # run_batch OUTFILE ARGS... ; the exit status goes to $status
  status=0
  bash "$scripts/batch.sh" "${@:2}" > "$1" 2>&1 || status=$?
}
shared=(tiles.txt 2000 input out datamask wetland "$scratch/stand_in")

# --- the plan: nothing runs ---------------------------------------------------
run_batch plan.txt --plan --no-region --mem-available 8G "${shared[@]}"
cat plan.txt
check "plan exits 0" [ "$status" -eq 0 ]
check "plan: 350 tiles" grep -qx "plan: 350 tiles, last year 2000" plan.txt
check "plan: the tile memory of 2000" grep -q "^plan: memory per tile: 416832416 bytes" plan.txt
check "plan: tiles at once as the dry run computes them" \
  grep -q "^plan: tiles at once per node: $(( $(nproc) < 19 ? $(nproc) : 19 )) " plan.txt
check "plan: 350 x 3 x 1 products" grep -q "^plan: products: [0-9]* bytes (.*): 350 tiles x 3 products x 1 years" plan.txt
check "plan: the inputs there, of 2 tiles" grep -qx "plan: inputs: 1234 bytes (1234 bytes) in the directories of 2 of the 350 tiles" plan.txt
check "plan: nothing ran" [ ! -s calls -a ! -e out ]

# --- 350 tiles, five failing -------------------------------------------------
start=$(date +%s)
run_batch run1.txt --jobs 4 --no-region "${shared[@]}"
tail -n 14 run1.txt
echo "350 tiles: $(( $(date +%s) - start )) s"
check "a failed batch exits 1" [ "$status" -eq 1 ]
check "every tile ran once" [ "$(sort -u calls | wc -l)/$(wc -l < calls)" = "350/350" ]
check "summary" grep -qx "batch.sh: 350 tiles: 345 succeeded, 5 failed, 0 not run" run1.txt
for t in "${failing[@]}"; do
  check "$t reported with its message" grep -qx "  $t  exit 1  stand-in failure of $t" run1.txt
done
check "report summary printed at the end" grep -qx "summary: 350 tiles: 345 done, 5 failed, 0 not run" run1.txt
run_batch report1.txt --report "${shared[@]}"
check "--report exits 0" [ "$status" -eq 0 ]
check "--report is the table written at the end, then where the batch page is" \
  bash -c 'grep -qx "batch.sh: the batch page: .*/out/index.html (open it in a browser)" report1.txt &&
           cmp -s <(grep -v "^batch.sh: the batch page: " report1.txt) out/logs/report.txt'
check "report: the failed tiles with exit status 1" \
  [ "$(awk '$2 == "failed" && $3 == 1 { print $1 }' report1.txt | sort | tr '\n' ' ')" = "t101 t102 t250 t350 t7 " ]
# Each job times and measures the stand-in itself (its wait status), so every
# tile has a time and a peak memory, on this host.
check "report: every tile's wall time and peak memory from its record, on this host" \
  [ "$(awk -v h="$(hostname)" '($2 == "done" || $2 == "failed") && $4 > 0 && $5 ~ /^[0-9]+$/ && $6 == h { n++ } END { print n + 0 }' report1.txt)" = 350 ]

# --- the failed tiles fixed: --resume reruns exactly those -----------------------
rm -f fail/*
: > calls
run_batch run2.txt --resume --jobs 4 --no-region "${shared[@]}"
tail -n 6 run2.txt
check "resume exits 0" [ "$status" -eq 0 ]
check "exactly the failed tiles ran again" [ "$(sort calls | tr '\n' ' ')" = "t101 t102 t250 t350 t7 " ]
check "report after the resume: 350 done" grep -qx "summary: 350 tiles: 350 done, 0 failed, 0 not run" run2.txt

# --- a FIFO where a tile's record or log should be --------------------------------
# Nothing may open it for reading (that blocks until a writer comes): --report
# and --resume end, with the tile whose record cannot be read not done.
rm out/logs/tiles/t1/record.json
mkfifo out/logs/tiles/t1/record.json
: > calls
status=0
timeout 60 bash "$scripts/batch.sh" --report "${shared[@]}" < /dev/null > fifo_report.txt 2>&1 || status=$?
check "a FIFO for t1's record: --report ends, exit 0" [ "$status" -eq 0 ]
check "... t1 not done there" awk '$1 == "t1" { found = 1; bad = ($2 == "done") } END { exit !found || bad }' fifo_report.txt
status=0
timeout 60 bash "$scripts/batch.sh" --resume --jobs 4 --no-region "${shared[@]}" < /dev/null > fifo_resume.txt 2>&1 ||
  status=$?
check "... --resume ends, exit 0, running t1 alone" [ "$status/$(tr '\n' ' ' < calls)" = "0/t1 " ]
check "... whose new record is a file again, of status 0" \
  bash -c '[ -f out/logs/tiles/t1/record.json ] && grep -q "\"status\": 0," out/logs/tiles/t1/record.json'
# A FIFO at the name of a log the job writes (t2's out), t2 to run again (a
# product gone): the job must not wait for a reader.
rm out/TCC_2000_t2.img out/logs/tiles/t2/out
mkfifo out/logs/tiles/t2/out
: > calls
status=0
timeout 60 bash "$scripts/batch.sh" --resume --jobs 4 --no-region "${shared[@]}" < /dev/null > fifo_out.txt 2>&1 ||
  status=$?
check "a FIFO for t2's out log: --resume ends, exit 0, running t2 alone" [ "$status/$(tr '\n' ' ' < calls)" = "0/t2 " ]
rm -rf out

# --- a second batch into a directory in use ---------------------------------------
# The first batch's tiles are held running (hold/a1, hold/a2); the second,
# into the same directory, with another list and --fresh, is refused with one
# line, and the first ends as if alone.
printf 'a1 -60 10\na2 -59 10\n' > first.txt
printf 'b1 -60 10\n' > second.txt
: > calls
touch hold/a1 hold/a2
bash "$scripts/batch.sh" --no-region first.txt 2000 input busy datamask wetland "$scratch/stand_in" > first_run.txt 2>&1 &
first=$!
for _ in $(seq 600); do [ -s calls ] && break; sleep 0.05; done
run_batch second_run.txt --fresh --no-region second.txt 2000 input busy datamask wetland "$scratch/stand_in"
rm hold/a1 hold/a2
first_status=0; wait "$first" || first_status=$?
check "a second batch into a directory in use is refused (exit 2)" [ "$status" -eq 2 ]
check "... with one line, naming the directory" \
  bash -c '[ "$(wc -l < second_run.txt)" -eq 1 ] && grep -qF "$1" second_run.txt' _ "$scratch/busy"
check "... running nothing" [ "$(sort calls | tr '\n' ' ')" = "a1 a2 " ]
check "the first batch: exit 0, both its tiles succeeded" \
  bash -c '[ "$1" -eq 0 ] && grep -qx "batch.sh: 2 tiles: 2 succeeded, 0 failed, 0 not run" first_run.txt' _ "$first_status"
check "... its job log kept (the refused --fresh deleted nothing), no trace of the second" \
  bash -c '[ "$(wc -l < busy/batch.joblog)" -eq 3 ] && [ ! -e busy/logs/tiles/b1 ] && [ ! -e busy/TCC_2000_b1.img ]'
run_batch busy_report.txt --report busy
check "... and it stays the latest batch there (--report OUTPUT_DIR)" \
  [ "$(awk '$2 == "done" { print $1 }' busy_report.txt | sort | tr '\n' ' ')" = "a1 a2 " ]

# --- --resume with another last year, and with a changed list ----------------------
printf 'r1 -60 10\nr2 -59 10\nr3 -58 10\n' > v1.txt
run_batch resume1.txt --no-region v1.txt 2000 input again datamask wetland "$scratch/stand_in"
check "(three tiles done for 2000)" [ "$status" -eq 0 ]
# For 2001 r3 ends 0 without writing its products.
touch no_products/r3
: > calls
run_batch resume2.txt --resume --no-region v1.txt 2001 input again datamask wetland "$scratch/stand_in"
check "--resume with another last year runs every tile again" [ "$(sort calls | tr '\n' ' ')" = "r1 r2 r3 " ]
check "... r3, without its 2001 products, does not count as succeeded (exit 1)" \
  bash -c '[ "$1" -eq 1 ] && grep -qx "batch.sh: 3 tiles: 2 succeeded, 1 failed, 0 not run" resume2.txt &&
           grep -q "^  r3  exit 0  " resume2.txt' _ "$status"
# A changed list, named tiles=v2.txt (a file name, not an assignment): r1's
# origin changed, a new tile n2 in the line of r2, which succeeded (n2 fails:
# r2's result must not pass for it), r3 as it was, now with its products.
rm no_products/r3
touch fail/n2
printf 'r1 -60.5 10\nn2 -59 10\nr3 -58 10\n' > 'tiles=v2.txt'
: > calls
status=0
timeout 60 bash "$scripts/batch.sh" --resume --no-region 'tiles=v2.txt' 2001 input again datamask wetland \
  "$scratch/stand_in" < /dev/null > resume3.txt 2>&1 || status=$?
check "a list named tiles=v2.txt is read as that file (exit 1: n2 failed)" [ "$status" -eq 1 ]
check "... the changed origin, the new tile and the failed one run" [ "$(sort calls | tr '\n' ' ')" = "n2 r1 r3 " ]
check "... n2 failed with its own message, the others succeeded" \
  bash -c 'grep -qx "batch.sh: 3 tiles: 2 succeeded, 1 failed, 0 not run" resume3.txt &&
           grep -qx "  n2  exit 1  stand-in failure of n2" resume3.txt'
check "... r1's record holds its new origin" grep -q '"origin_x": "-60.5"' again/logs/tiles/r1/record.json
rm -rf busy again

# --- done means done ----------------------------------------------------------------
# Two tiles done, then: parallel that cannot start a job (TMPDIR missing: it
# dies at once), a product cut short or rewritten after the run, and paths
# holding parallel's replacement strings.
printf 'd1 -60 10\nd2 -59 10\n' > done.txt
run_batch done1.txt --no-region done.txt 2000 input 'done{1}{#}' datamask wetland "$scratch/stand_in"
check "an output directory named done{1}{#}: its products there, not in an expanded name" \
  bash -c '[ "$1" -eq 0 ] && [ -s "done{1}{#}/TCC_2000_d1.img" ] &&
           [ "$(find . -maxdepth 1 -type d -name "done*")" = "./done{1}{#}" ]' _ "$status"
# A binary whose name ends in a space, beside one without: parallel must
# run the one named (it trims columns unless told not to).
printf '#!/bin/sh\necho "the binary named with a space"; exit 1\n' > 'stand_in '
chmod +x 'stand_in '
run_batch space.txt --no-region done.txt 2000 input spaced datamask wetland "$scratch/stand_in "
check "a PROCESS_TILE ending in a space: that binary ran, not the one without the space" \
  bash -c '[ "$1" -eq 1 ] && grep -qx "  d1  exit 1  the binary named with a space" space.txt' _ "$status"
rm -rf spaced
mv 'done{1}{#}' finished
run_batch done2.txt --no-region done.txt 2000 input finished datamask wetland "$scratch/stand_in"
: > calls
status=0
TMPDIR="$scratch/no such dir" bash "$scripts/batch.sh" --fresh --no-region done.txt 2000 input finished datamask \
  wetland "$scratch/stand_in" > nostart.txt 2>&1 || status=$?
check "parallel cannot start its jobs: exit 1, nothing ran" [ "$status/$(wc -l < calls)" = "1/0" ]
check "... no tile succeeded by its earlier record, each failed with why" \
  bash -c 'grep -qx "batch.sh: 2 tiles: 0 succeeded, 2 failed, 0 not run" nostart.txt &&
           grep -q "^  d1  exit -  its job local-[0-9a-f]*-1 did not start (GNU parallel never ran it" nostart.txt'
# A host that cannot run the job (no python3 there), reached through a
# stand-in for ssh that runs the command here with a PATH that lacks python3.
mkdir -p nopython
for tool in perl sh bash; do ln -sf "$(command -v "$tool")" "nopython/$tool"; done
printf '#!/bin/sh\nshift; [ "$1" = "--" ] && shift\nexec env PATH="%s/nopython" "$@"\n' "$scratch" > ssh_to_nopython
chmod +x ssh_to_nopython
: > calls
run_batch badhost.txt --fresh --no-region -S "1/$scratch/ssh_to_nopython badhost" done.txt 2000 input finished \
  datamask wetland "$scratch/stand_in"
check "a host without python3: exit 1, nothing ran, each tile failed with the exit status and host" \
  bash -c '[ "$1/$(wc -l < calls)" = "1/0" ] &&
           grep -q "^  d2  exit -  its job local-[0-9a-f]*-2 did not start: exit 127 on host .*ssh_to_nopython badhost$" badhost.txt' \
  _ "$status"
run_batch done3.txt --resume --no-region done.txt 2000 input finished datamask wetland "$scratch/stand_in"
check "(both done again)" [ "$status" -eq 0 ]
: > finished/TCH_2000_d2.img
touch -d '2001-01-01' finished/Loss_2000_d1.img
run_batch changed_report.txt --report finished
check "a product cut short and one with another time: not done, each named" \
  bash -c 'grep -q "its product TCH_2000_d2.img changed after its run: 0 bytes, not the 3 its run wrote" finished/logs/report.tsv &&
           grep -q "its product Loss_2000_d1.img changed after its run: rewritten since its run" finished/logs/report.tsv'
: > calls
run_batch changed_resume.txt --resume --no-region done.txt 2000 input finished datamask wetland "$scratch/stand_in"
check "... --resume runs both again, and they are done" \
  bash -c '[ "$1" -eq 0 ] && [ "$(sort calls | tr "\n" " ")" = "d1 d2 " ]' _ "$status"
: > calls
run_batch nothing.txt --resume --no-region done.txt 2000 input finished datamask wetland "$scratch/stand_in"
check "a resume with nothing left says so, and runs nothing" \
  bash -c '[ "$1" -eq 0 ] && [ ! -s calls ] && grep -qx "batch.sh: nothing to run: 2 tiles already done" nothing.txt &&
           ! grep -q "succeeded" nothing.txt' _ "$status"
rm -rf finished

# --- tile ids printed escaped ------------------------------------------------------
# An id with a terminal escape sequence is refused (a control character), shown
# escaped; one with a right-to-left override (a format character) runs and is
# shown escaped in the summary and the report. No raw escape or override
# reaches the output.
escape_id=$'t\e[31mX' override="$(printf '\342\200\256')"    # U+202E in UTF-8, whatever the locale
override_id="t${override}X"
printf '%s -60 10\n' "$escape_id" > escape.txt
run_batch escape_run.txt --no-region escape.txt 2000 input escaped datamask wetland "$scratch/stand_in"
check "an id with an escape sequence is refused (exit 2), shown escaped" \
  bash -c '[ "$1" -eq 2 ] && grep -qF "escape.txt:1: tile id t\\x1b[31mX" escape_run.txt' _ "$status"
printf '%s -60 10\nplain -59 10\n' "$override_id" > override.txt
touch "fail/$override_id"
: > calls
run_batch override_run.txt --no-region override.txt 2000 input escaped datamask wetland "$scratch/stand_in"
check "an id with a right-to-left override runs (exit 1: it fails)" \
  bash -c '[ "$1" -eq 1 ] && grep -qxF "$2" calls' _ "$status" "$override_id"
run_batch override_report.txt --report escaped
check "... shown escaped in the summary" \
  bash -c 'grep -qF "  t\\u202eX  exit 1  stand-in failure of t\\u202eX" override_run.txt &&
           grep -q "^summary: slowest: .*t\\\\u202eX" override_run.txt'
check "... and in the report" grep -qF 't\u202eX ' escaped/logs/report.txt
check "no raw escape or override in the output or the report" \
  bash -c '[ -f escaped/logs/report.txt ] &&
           ! grep -q -e "$1" -e "$2" escape_run.txt override_run.txt override_report.txt escaped/logs/report.txt' \
  _ $'\e' "$override"

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed; files kept in $scratch" >&2; exit 1; fi
rm -rf "$scratch"
echo "all batch scale checks passed"
