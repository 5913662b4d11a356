#!/usr/bin/env bash
# scripts/batch.sh over a list of 350 tiles with a stand-in for process_tile,
# a small script that sleeps briefly, writes a small file per product and
# fails for chosen tiles: this tests the orchestration (every tile run once,
# failures reported, --resume reruns exactly those, --plan and --report agree
# with what ran), not the filter.
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
mkdir fail input datamask wetland
cat > stand_in <<EOF
#!/bin/sh
# TILE LAST_YEAR INPUT OUTPUT X Y DATAMASK WETLAND, as process_tile
echo "\$1" >> "$scratch/calls"
sleep 0.05
if [ -e "$scratch/fail/\$1" ]; then echo "stand-in failure of \$1"; exit 1; fi
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
check "--report is the table written at the end" cmp -s report1.txt out/logs/report.txt
check "report: the failed tiles with exit status 1" \
  [ "$(awk '$2 == "failed" && $3 == 1 { print $1 }' report1.txt | sort | tr '\n' ' ')" = "t101 t102 t250 t350 t7 " ]
# parallel's JobRuntime can come out below the stand-in's 0.05 s sleep (seen:
# 0.023 s), so only a positive time is asked of each tile.
check "report: every tile's wall time from the job log, on this host" \
  [ "$(awk -v h="$(hostname)" '($2 == "done" || $2 == "failed") && $4 > 0 && $6 == h { n++ } END { print n + 0 }' report1.txt)" = 350 ]
if [ -x /usr/bin/time ]; then
  check "report: peak memory of each tile (GNU time)" \
    [ "$(awk '($2 == "done" || $2 == "failed") && $5 ~ /^[0-9]+$/ { n++ } END { print n + 0 }' report1.txt)" = 350 ]
fi

# --- the failed tiles fixed: --resume reruns exactly those -----------------------
rm -f fail/*
: > calls
run_batch run2.txt --resume --jobs 4 --no-region "${shared[@]}"
tail -n 6 run2.txt
check "resume exits 0" [ "$status" -eq 0 ]
check "exactly the failed tiles ran again" [ "$(sort calls | tr '\n' ' ')" = "t101 t102 t250 t350 t7 " ]
check "report after the resume: 350 done" grep -qx "summary: 350 tiles: 350 done, 0 failed, 0 not run" run2.txt

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed; files kept in $scratch" >&2; exit 1; fi
rm -rf "$scratch"
echo "all batch scale checks passed"
