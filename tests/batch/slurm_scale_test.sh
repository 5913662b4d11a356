#!/usr/bin/env bash
# scripts/slurm_array.sh with a list longer than the cluster's MaxArraySize,
# under a real one-node Slurm (tests/batch/slurm_cluster.sh) whose
# configuration sets MaxArraySize=101: 350 tiles go out as four arrays. Each
# task runs a stand-in for process_tile, a small script that sleeps briefly,
# copies a tiny raster to each product's name and fails for chosen tiles:
# this tests the orchestration (arrays, throttle, follow-up job, resubmission
# of the unfinished tiles), not the filter. Needs root; prints "SKIP: <reason>"
# and exits 77 where Slurm cannot be had or does not come up.
#
#   slurm_scale_test.sh SCRATCH
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 SCRATCH" >&2; exit 2; }
scratch="$(realpath -m "$1")"
scripts="$(cd "$(dirname "$0")/../../scripts" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"

. "$here/slurm_test_steps.sh"
command -v gdal_create >/dev/null || skip "gdal_create missing (Debian package gdal-bin)"

# --- a one-node Slurm with MaxArraySize=101, stopped when the test exits ------
# The node claims 8 CPUs (config_overrides lets slurmd accept more than the
# machine has) so that several stand-in tasks run at once; the stand-in uses
# no CPU to speak of.
# shellcheck disable=SC2034  # read by slurm_cluster.sh
slurm_node_cpus=8
# The scheduler looks at the queue every 2 s instead of every 60 s, so an
# array whose dependency has just been met starts without a minute's wait.
# shellcheck disable=SC2034  # read by slurm_cluster.sh
slurm_extra_conf="MaxArraySize=101
SlurmdParameters=config_overrides
SchedulerParameters=sched_interval=2,bf_interval=1"
# The follow-up job's region pictures, small: the mosaic is of tiny stand-ins.
export REGION_SIZE=100
. "$here/slurm_cluster.sh"

# --- the stand-in and the list --------------------------------------------------
gdal_create -q -of HFA -outsize 4 4 -bands 1 -ot Byte -burn 7 -a_srs EPSG:4326 -a_ullr -60 10 -59 9 tiny.img
mkdir fail input datamask wetland
cat > stand_in <<EOF
#!/bin/sh
# TILE LAST_YEAR INPUT OUTPUT X Y DATAMASK WETLAND, as process_tile
echo "\$(date +%s%N) 1" >> "$scratch/events"
echo "\$1" >> "$scratch/calls"
sleep 0.2
if [ -e "$scratch/fail/\$1" ]; then
  echo "\$(date +%s%N) -1" >> "$scratch/events"
  echo "stand-in failure of \$1"
  exit 1
fi
for p in TCC TCH Loss; do cp "$scratch/tiny.img" "\$4/\${p}_\$2_\$1.img"; done
echo "\$(date +%s%N) -1" >> "$scratch/events"
EOF
chmod +x stand_in
for i in $(seq 350); do echo "t$i -60 10"; done > tiles.txt
failing=(t7 t101 t102 t250 t350)
for t in "${failing[@]}"; do touch "fail/$t"; done
: > calls
: > events

# The most stand-ins that ran at once, from their start and end times.
most_at_once() { sort -n events | awk '{ n += $2; if (n > most) most = n } END { print most + 0 }'; }
statuses() {  # statuses VALUE: how many status files hold VALUE
  cat out/logs/*.status | awk -v v="$1" '$0 == v { n++ } END { print n + 0 }'
}

# --- the plan, nothing submitted ---------------------------------------------------
bash "$scripts/slurm_array.sh" --plan --cpus 1 tiles.txt 2000 input out datamask wetland "$scratch/stand_in" > plan.txt
cat plan.txt
check "plan: 350 tiles" grep -qx "plan: 350 tiles, last year 2000" plan.txt
check "plan: memory per tile is the task's request, 654 MiB" grep -q "^plan: memory per tile: 685768704 bytes" plan.txt
check "plan: products of 350 tiles x 3 products x 1 year" grep -q "^plan: products: [0-9]* bytes (.*): 350 tiles x 3 products x 1 years" plan.txt
check "plan: node-hours from 5 s a 2020 tile scaled to 4 of 24 years" grep -qx "plan: time: 0.8 s per tile .*" plan.txt
check "plan: nothing submitted, nothing written" [ -z "$(squeue -h -o %i)" -a ! -e out ]
report() {  # report FILE: slurm_array.sh --report of the list into FILE
  bash "$scripts/slurm_array.sh" --report tiles.txt 2000 input out datamask wetland "$scratch/stand_in" > "$1"
}
status=0
report report0.txt 2> report0.err || status=$?
check "report before anything was submitted: refused, saying why" \
  [ "$status" -eq 1 -a ! -s report0.txt ] && grep -q "^slurm_array.sh: no log directory .*/out/logs: nothing of this list was submitted there" report0.err

# --- 350 tiles, five failing ----------------------------------------------------
start=$(date +%s)
check "350 tiles submitted" submit submit1.txt --cpus 1 tiles.txt 2000 input out datamask wetland \
  "$scratch/stand_in"
check "MaxArraySize read from the cluster: four arrays" grep -q "350 tasks in 4 arrays (MaxArraySize 101" submit1.txt
check "arrays of lines 1-100, 101-201, 202-302, 303-350" \
  [ "$(sed -n 's/.*, lines \([0-9-]*\), offset.*/\1/p' submit1.txt | tr '\n' ' ')" = "1-100 101-201 202-302 303-350 " ]
check "follow-up job submitted after all four arrays" grep -q "to start once jobs [0-9]* [0-9]* [0-9]* [0-9]* have ended" submit1.txt
check "arrays and follow-up job ended" wait_jobs "${array_jobs:-0},${follow_up_job:-0}"
echo "350 tasks and the follow-up job: $(( $(date +%s) - start )) s"
check "every tile ran once" [ "$(sort -u calls | wc -l)/$(wc -l < calls)" = "350/350" ]
check "345 status files of 0, 5 of 1" [ "$(statuses 0)/$(statuses 1)" = "345/5" ]
for t in "${failing[@]}"; do
  check "$t: status 1 and the stand-in's message" \
    [ "$(cat "out/logs/$t.status" 2>/dev/null)/$(cat "out/logs/$t.out" 2>/dev/null)" = "1/stand-in failure of $t" ]
done
check "tasks ran side by side (at most $(most_at_once) at once)" [ "$(most_at_once)" -ge 2 ]
report report1.txt
sed -n '/^summary/p' report1.txt
check "report: 345 done, 5 failed, none left out" grep -qx "summary: 350 tiles: 345 done, 5 failed, 0 not run" report1.txt
check "report: the failed tiles with exit status 1" \
  [ "$(awk '$2 == "failed" && $3 == 1 { print $1 }' report1.txt | sort | tr '\n' ' ')" = "t101 t102 t250 t350 t7 " ]
check "report: every tile's wall time at least the stand-in's 0.2 s sleep, on this node" \
  [ "$(awk -v node="$node" '$2 == "done" || $2 == "failed" { if ($4 >= 0.2 && $6 == node) n++ } END { print n + 0 }' report1.txt)" = 350 ]
check "report: 350 tiles timed" grep -q "(350 timed)" report1.txt
check "report: the one the follow-up job wrote at the end" cmp -s report1.txt out/logs/report.txt
if [ -x /usr/bin/time ]; then
  check "report: peak memory measured (GNU time)" grep -q "^summary: largest memory: t[0-9]*, [0-9]* MiB" report1.txt
fi
region_list="out/logs/region-${follow_up_job:-0}.tsv"
check "follow-up job: the region list holds the 345 successful tiles" [ "$(wc -l < "$region_list")" -eq 345 ]
check "follow-up job: region mosaic of the 345 tiles" \
  [ "$(grep -c '<SourceFilename' out/region/TCC_2000.vrt 2>/dev/null)" = 345 ]
check "follow-up job ended after the last task of the last array" [ "$region_list" -nt out/logs/t350.status ]

# --- the failed tiles fixed: --unfinished reruns exactly those, 2 at once ---------
rm -f fail/*
: > calls
: > events
check "unfinished tiles resubmitted" submit submit2.txt --unfinished --max-running 2 --cpus 1 tiles.txt 2000 input out datamask \
  wetland "$scratch/stand_in"
check "five tasks, in as few arrays as the limit allows (3), chained, %2 each" \
  grep -q "; 5 tasks in 3 arrays (MaxArraySize 101, each after the one before, %2 each)" submit2.txt
check "resubmitted arrays and follow-up job ended" wait_jobs "${array_jobs:-0},${follow_up_job:-0}"
check "exactly the failed tiles ran again" [ "$(sort calls | tr '\n' ' ')" = "t101 t102 t250 t350 t7 " ]
check "350 status files of 0" [ "$(statuses 0)" = 350 ]
report report2.txt
check "report after the rerun: 350 done" grep -qx "summary: 350 tiles: 350 done, 0 failed, 0 not run" report2.txt
check "--max-running 2 held across the arrays (at most $(most_at_once) at once)" [ "$(most_at_once)" -le 2 ]
check "second follow-up job: all 350 tiles" [ "$(wc -l < "out/logs/region-${follow_up_job:-0}.tsv")" -eq 350 ]
status=0
bash "$scripts/slurm_array.sh" --unfinished tiles.txt 2000 input out datamask wetland "$scratch/stand_in" \
  > submit3.txt 2>&1 || status=$?
cat submit3.txt
check "nothing left to submit" [ "$status" -eq 0 ]
check "... says so" grep -q "nothing to submit" submit3.txt

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed; files kept in $scratch" >&2; exit 1; fi
rm -rf "$scratch"
echo "all Slurm scale checks passed"
