#!/usr/bin/env bash
# scripts/slurm_array.sh with a list longer than the cluster's MaxArraySize,
# under a real one-node Slurm (tests/batch/slurm_cluster.sh) whose
# configuration sets MaxArraySize=101: 350 tiles go out as four arrays. Each
# task runs a stand-in for process_tile, a small script that sleeps briefly,
# copies a tiny raster to each product's name and fails for chosen tiles:
# this tests the orchestration (arrays, throttle, follow-up job, resubmission
# of the unfinished tiles), not the filter. Beside it, on the same cluster
# (which keeps no accounting), lists made to trip the bookkeeping: tiles "a"
# and "a.quality" in an output directory with a % in its name, with a
# stand-in tile_quality that fails for "a"; and a list run once, then
# submitted again into a partition that never starts a job, and cancelled
# before its tasks ran. Needs root; prints "SKIP: <reason>" and exits 77 where
# Slurm cannot be had or does not come up.
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
# The partition "held" is down: a job submitted into it stays queued.
# shellcheck disable=SC2034  # read by slurm_cluster.sh
slurm_extra_conf="MaxArraySize=101
SlurmdParameters=config_overrides
SchedulerParameters=sched_interval=2,bf_interval=1
PartitionName=held Nodes=ALL State=DOWN"
# The follow-up job's region pictures, small: the mosaic is of tiny stand-ins.
export REGION_SIZE=100
. "$here/slurm_cluster.sh"

# --- the stand-ins and the lists --------------------------------------------------
gdal_create -q -of HFA -outsize 4 4 -bands 1 -ot Byte -burn 7 -a_srs EPSG:4326 -a_ullr -60 10 -59 9 tiny.img
mkdir fail input datamask wetland
# Each stand-in notes its calls in OUTPUT.calls beside the output directory it
# is given (and the process_tile stand-in its start and end in OUTPUT.events).
cat > stand_in <<END
#!/bin/sh
# TILE LAST_YEAR INPUT OUTPUT X Y DATAMASK WETLAND, as process_tile
echo "\$(date +%s%N) 1" >> "\$4.events"
echo "\$1" >> "\$4.calls"
sleep 0.2
if [ -e "$scratch/fail/\$1" ]; then
  echo "\$(date +%s%N) -1" >> "\$4.events"
  echo "stand-in failure of \$1"
  exit 1
fi
for p in TCC TCH Loss; do cp "$scratch/tiny.img" "\$4/\${p}_\$2_\$1.img"; done
echo "\$(date +%s%N) -1" >> "\$4.events"
END
quality_header="year,filtered,invalid,jump,repaired,interpolated,post_loss,height_filled,height_capped,height_smoothed,tcc_changed,loss_in,loss_kept"
cat > quality_stand_in <<END
#!/bin/sh
# TILE LAST_YEAR INPUT QUALITY_DIR X Y DATAMASK WETLAND, as tile_quality
echo "\$1" >> "\$4.calls"
if [ -e "$scratch/fail/quality-\$1" ]; then echo "stand-in quality failure of \$1"; exit 3; fi
cp "$scratch/tiny.img" "\$4/QA_\$2_\$1.tif"
echo "$quality_header" > "\$4/\$1_quality.csv"
echo "\$2,100,0,0,1,2,0,3,0,0,0,0,0" >> "\$4/\$1_quality.csv"
END
chmod +x stand_in quality_stand_in
for i in $(seq 350); do echo "t$i -60 10"; done > tiles.txt
failing=(t7 t101 t102 t250 t350)
for t in "${failing[@]}"; do touch "fail/$t"; done
# Tile a's quality files once shared their names with tile a.quality's.
printf 'a -60 10\na.quality -60 10\n' > pair.txt
touch fail/quality-a
pair_dir='out%x'   # % starts a pattern in sbatch's --output
pair_args=(--no-region --cpus 1 --tile-quality "$scratch/quality_stand_in" pair.txt 2000 input "$pair_dir" datamask
  wetland "$scratch/stand_in")
printf 'h1 -60 10\nh2 -60 10\n' > held.txt
held_args=(--cpus 1 held.txt 2000 input held datamask wetland "$scratch/stand_in")

# The most stand-ins that ran at once in OUTPUT_DIR, from their start and end times.
most_at_once() { sort -n "$1.events" | awk '{ n += $2; if (n > most) most = n } END { print most + 0 }'; }
sorted_calls() { sort "$1.calls" | tr '\n' ' '; }   # sorted_calls OUTPUT_DIR
# A tile's state, exit and message in a report's TSV.
tsv_row() { awk -F '\t' -v t="$2" '$1 == t { print $2 "/" $3 "/" $9 }' "$1"; }   # tsv_row TSV TILE

# --- the plan, nothing submitted ---------------------------------------------------
bash "$scripts/slurm_array.sh" --plan --cpus 1 tiles.txt 2000 input out datamask wetland "$scratch/stand_in" > plan.txt
cat plan.txt
check "plan: 350 tiles" grep -qx "plan: 350 tiles, last year 2000" plan.txt
check "plan: memory per tile is the task's request, 654 MiB" grep -q "^plan: memory per tile: 685768704 bytes" plan.txt
check "plan: products of 350 tiles x 3 products x 1 year" grep -q "^plan: products: [0-9]* bytes (.*): 350 tiles x 3 products x 1 years" plan.txt
check "plan: node-hours from 5 s a 2020 tile scaled to 4 of 24 years" grep -qx "plan: time: 0.8 s per tile .*" plan.txt
check "plan: nothing submitted, nothing written" [ -z "$(squeue -h -o %i)" -a ! -e out ]
report() {  # report FILE [LAST_YEAR]: slurm_array.sh --report of the list into FILE
  bash "$scripts/slurm_array.sh" --report tiles.txt "${2:-2000}" input out datamask wetland "$scratch/stand_in" > "$1"
}
status=0
report report0.txt 2> report0.err || status=$?
refused_saying_why() {
  [ "$status" -eq 1 ] && [ ! -s report0.txt ] &&
    grep -q "^slurm_array.sh: no log directory .*/out/logs: nothing of this list was run there" report0.err
}
check "report before anything was submitted: refused, saying why" refused_saying_why

# A backslash in the log directory (here the default, under OUTPUT_DIR)
# cannot be handed to sbatch's --output: refused before anything is submitted.
status=0
bash "$scripts/slurm_array.sh" --cpus 1 pair.txt 2000 input 'out\x' datamask wetland "$scratch/stand_in" \
  > backslash.txt 2>&1 || status=$?
cat backslash.txt
check "a backslash in the log directory: refused (exit 2), saying why" \
  [ "$status/$(grep -c 'backslash' backslash.txt)" = 2/1 ]
check "... nothing submitted, nothing written" [ -z "$(squeue -h -o %i)" -a ! -e 'out\x' ]

# --- 350 tiles, five failing; beside them a and a.quality, and h1 and h2 ----------
start=$(date +%s)
check "a and a.quality submitted with the quality run, into $pair_dir" submit pair1.txt "${pair_args[@]}"
pair_jobs="$array_jobs,${follow_up_job:-0}"
check "h1 and h2 submitted" submit held1.txt --no-region "${held_args[@]}"
held_jobs="$array_jobs,${follow_up_job:-0}"
check "350 tiles submitted" submit submit1.txt --cpus 1 tiles.txt 2000 input out datamask wetland \
  "$scratch/stand_in"
check "MaxArraySize read from the cluster: four arrays" grep -q "350 tasks in 4 arrays (MaxArraySize 101" submit1.txt
check "arrays of lines 1-100, 101-201, 202-302, 303-350" \
  [ "$(sed -n 's/.*, lines \([0-9-]*\), offset.*/\1/p' submit1.txt | tr '\n' ' ')" = "1-100 101-201 202-302 303-350 " ]
check "follow-up job submitted after all four arrays" grep -q "to start once jobs [0-9]* [0-9]* [0-9]* [0-9]* have ended" submit1.txt
check "arrays and follow-up jobs ended" wait_jobs "${array_jobs:-0},${follow_up_job:-0},$pair_jobs,$held_jobs"
echo "350 tasks, 4 others and three follow-up jobs: $(( $(date +%s) - start )) s"
cp out/logs/report.txt followup_report.txt
check "every tile ran once" [ "$(sort -u out.calls | wc -l)/$(wc -l < out.calls)" = "350/350" ]
check "345 records of status 0, 5 of 1" [ "$(record_counts out/logs status)" = "0:345 1:5" ]
for t in "${failing[@]}"; do
  check "$t: status 1 and the stand-in's message, in its record and its out" \
    [ "$(record out/logs "$t" status message)/$(cat "out/logs/tiles/$t/out" 2>/dev/null)" = \
      "1/stand-in failure of $t/stand-in failure of $t" ]
done
check "tasks ran side by side (at most $(most_at_once out) at once)" [ "$(most_at_once out)" -ge 2 ]
report report1.txt
sed -n '/^summary/p' report1.txt
check "report: 345 done, 5 failed, none left out" grep -qx "summary: 350 tiles: 345 done, 5 failed, 0 not run" report1.txt
check "report: the failed tiles with exit status 1" \
  [ "$(awk '$2 == "failed" && $3 == 1 { print $1 }' report1.txt | sort | tr '\n' ' ')" = "t101 t102 t250 t350 t7 " ]
check "report: every tile's wall time at least the stand-in's 0.2 s sleep, on this node" \
  [ "$(awk -v node="$node" '$2 == "done" || $2 == "failed" { if ($4 >= 0.2 && $6 == node) n++ } END { print n + 0 }' report1.txt)" = 350 ]
check "report: 350 tiles timed" grep -q "(350 timed)" report1.txt
check "report: peak memory measured" grep -q "^summary: largest memory: t[0-9]*, [0-9]* MiB" report1.txt
check "report: the one the follow-up job wrote at the end" cmp -s report1.txt followup_report.txt
region_list="out/logs/region-${follow_up_job:-0}.tsv"
check "follow-up job: the region list holds the 345 successful tiles" [ "$(wc -l < "$region_list")" -eq 345 ]
check "follow-up job: region mosaic of the 345 tiles" \
  [ "$(grep -c '<SourceFilename' out/region/TCC_2000.vrt 2>/dev/null)" = 345 ]
check "follow-up job ended after the last task of the last array" [ "$region_list" -nt out/logs/tiles/t350/record.json ]

# A % in OUTPUT_DIR: Slurm's logs are in its log directory, by the names given.
slurm_logs() { find "$1" -maxdepth 1 -name 'slurm-*.out' -printf '%f\n' | sed 's/[0-9][0-9]*/N/g' | sort | tr '\n' ' '; }
check "$pair_dir: both tasks' and the follow-up job's Slurm logs in $pair_dir/logs" \
  [ "$(slurm_logs "$pair_dir/logs")" = "slurm-N_N.out slurm-N_N.out slurm-followup-N.out " ]
check "$pair_dir: the tasks ran" grep -q "^tile a.quality (-60, 10) on " "$pair_dir"/logs/slurm-*_2.out
check "$pair_dir: no Slurm log elsewhere" [ -z "$(find . -name 'slurm-*.out' ! -path "./$pair_dir/logs/*" \
  ! -path './out/logs/*' ! -path './held/logs/*')" ]
# a and a.quality: each its own record; a's failed quality run is its own.
check "a: status 0, quality status 3 and the stand-in's message in its record" \
  [ "$(record "$pair_dir/logs" a status quality_status quality_message)" = "0/3/stand-in quality failure of a" ]
check "a.quality: status 0, quality status 0" [ "$(record "$pair_dir/logs" a.quality status quality_status)" = 0/0 ]
bash "$scripts/slurm_array.sh" --report "${pair_args[@]}" > pair_report.txt
cat pair_report.txt
check "report: a failed in tile_quality (exit 3), not done" \
  [ "$(tsv_row "$pair_dir/logs/report.tsv" a)" = "failed/3/tile_quality: stand-in quality failure of a" ]
check "report: a.quality done" [ "$(tsv_row "$pair_dir/logs/report.tsv" a.quality)" = "done/0/" ]
check "... as the follow-up job's summary has it" \
  grep -qx "summary: 2 tiles: 1 done, 1 failed, 0 not run" "$pair_dir"/logs/slurm-followup-*.out
check "h1 and h2: status 0" [ "$(record held/logs h1 status)/$(record held/logs h2 status)" = 0/0 ]

# --- the failed tiles fixed: --unfinished reruns exactly those, 2 at once ---------
rm -f fail/*
: > out.calls
: > out.events
: > "$pair_dir.calls"
: > "$pair_dir/quality.calls"
start=$(date +%s)
check "unfinished tiles resubmitted" submit submit2.txt --unfinished --max-running 2 --cpus 1 tiles.txt 2000 input out datamask \
  wetland "$scratch/stand_in"
check "five tasks, in as few arrays as the limit allows (2), chained, %2 each" \
  grep -q "; 5 tasks in 2 arrays (MaxArraySize 101, each after the one before, %2 each)" submit2.txt
check "... each a window of at most 101 lines from its first" \
  [ "$(sed -n 's/.* (tasks \([0-9,-]*\), lines \([0-9-]*\), offset \([0-9]*\):.*/\1 \2 \3/p' submit2.txt | tr '\n' ' ')" = \
    "0,94-95 7-102 7 0,100 250-350 250 " ]
rerun_jobs="${array_jobs:-0},${follow_up_job:-0}"
rerun_follow_up="${follow_up_job:-0}"
check "$pair_dir: --unfinished resubmits a, whose quality run failed" submit pair2.txt --unfinished "${pair_args[@]}"
check "... a alone, task 1" grep -q "; tasks 1; " pair2.txt
pair_jobs="$array_jobs,${follow_up_job:-0}"

# h1 and h2 submitted again (no --unfinished) into the partition that never
# starts a job: queued, then cancelled before they ran. Their earlier records
# (status 0) are not what became of them this time.
export SBATCH_PARTITION=held
check "h1 and h2 submitted again, to stay queued" submit held2.txt "${held_args[@]}"
unset SBATCH_PARTITION
held_array="${array_jobs:-0}" held_follow_up="${follow_up_job:-0}"
held_report() {  # held_report FILE: --report of h1 and h2 into FILE
  bash "$scripts/slurm_array.sh" --report "${held_args[@]}" > "$1"
}
held_report queued.txt
cat queued.txt
check "queued: h1 and h2 running or queued, not done by their earlier records" \
  grep -qx "summary: 2 tiles: 0 done, 0 failed, 0 not run, 2 running or queued" queued.txt
status=0
bash "$scripts/slurm_array.sh" "${held_args[@]}" > held3.txt 2>&1 || status=$?
cat held3.txt
check "submitted once more while queued: both left out, nothing submitted, exit 0" \
  [ "$status/$(grep -c '^slurm_array.sh: submitted' held3.txt)" = 0/0 ]
check "... saying so" grep -qx "slurm_array.sh: 2 tile(s) left out, their tasks still queued or running: h1 h2" held3.txt
check "... and that nothing is to submit" grep -qx "slurm_array.sh: nothing to submit" held3.txt
{ cat held.txt; echo "h3 -60 10"; } > held_and_h3.txt
status=0
bash "$scripts/slurm_array.sh" --dry-run --cpus 1 held_and_h3.txt 2000 input held datamask wetland \
  "$scratch/stand_in" > held4.txt 2>&1 || status=$?
check "a list of those and h3 (dry run): h3 alone planned, h1 and h2 left out" \
  [ "$status/$(grep -c '; tasks 3; ' held4.txt)/$(grep -c 'left out, their tasks still queued or running: h1 h2$' held4.txt)" = 0/1/1 ]
check "the queued array cancelled" scancel "$held_array"
check "its follow-up job moved to a partition that runs it" scontrol update "JobId=$held_follow_up" Partition=test

check "resubmitted arrays and follow-up jobs ended" wait_jobs "$rerun_jobs,$pair_jobs,$held_follow_up"
echo "5 + 1 tasks again, a cancelled array and three follow-up jobs: $(( $(date +%s) - start )) s"
check "exactly the failed tiles ran again" [ "$(sorted_calls out)" = "t101 t102 t250 t350 t7 " ]
check "350 records of status 0" [ "$(record_counts out/logs status)" = "0:350" ]
report report2.txt
check "report after the rerun: 350 done" grep -qx "summary: 350 tiles: 350 done, 0 failed, 0 not run" report2.txt
check "--max-running 2 held across the arrays (at most $(most_at_once out) at once)" [ "$(most_at_once out)" -le 2 ]
check "second follow-up job: all 350 tiles" [ "$(wc -l < "out/logs/region-$rerun_follow_up.tsv")" -eq 350 ]
check "$pair_dir: a alone ran again, and its quality run" \
  [ "$(sorted_calls "$pair_dir")/$(sorted_calls "$pair_dir/quality")" = "a /a " ]
check "a: quality status 0 now" [ "$(record "$pair_dir/logs" a status quality_status)" = 0/0 ]
check "... and the follow-up job's report: both done" \
  grep -qx "summary: 2 tiles: 2 done, 0 failed, 0 not run" "$pair_dir/logs/report.txt"
held_report cancelled.txt
cat cancelled.txt
check "cancelled before they ran: h1 and h2 failed, not done by their earlier records" \
  grep -qx "summary: 2 tiles: 0 done, 2 failed, 0 not run" cancelled.txt
check "... as their tasks ended before they started" \
  [ "$(tsv_row held/logs/report.tsv h1)" = "failed/-/its job ${held_array}_1 ended before it started (cancelled)" ]
followup_log="held/logs/slurm-followup-$held_follow_up.out"
check "their follow-up job: no tile into the region" \
  grep -qx "region: 0 of 2 tiles finished with status 0 (listed in .*)" "$followup_log"
check "... and its summary: none done" grep -qx "summary: 2 tiles: 0 done, 2 failed, 0 not run" "$followup_log"

status=0
bash "$scripts/slurm_array.sh" --unfinished tiles.txt 2000 input out datamask wetland "$scratch/stand_in" \
  > submit3.txt 2>&1 || status=$?
cat submit3.txt
check "nothing left to submit" [ "$status" -eq 0 ]
check "... says so" grep -q "nothing to submit" submit3.txt

# --- the same list with last year 2001: none of it done yet -------------------------
status=0
bash "$scripts/slurm_array.sh" --dry-run --unfinished --cpus 1 tiles.txt 2001 input out datamask wetland \
  "$scratch/stand_in" > dry2001.txt 2>&1 || status=$?
check "--unfinished with last year 2001 after the 2000 run: all 350 tiles planned" \
  [ "$status/$(grep -c '; 350 tasks in 4 arrays ' dry2001.txt)" = 0/1 ]
report report2001.txt 2001
check "report with last year 2001: none done" grep -qx "summary: 350 tiles: 0 done, 0 failed, 350 not run" report2001.txt

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed; files kept in $scratch" >&2; exit 1; fi
rm -rf "$scratch"
echo "all Slurm scale checks passed"
