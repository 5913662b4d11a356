#!/usr/bin/env bash
# scripts/slurm_array.sh --report where the cluster keeps job accounting: a
# one-node Slurm (tests/batch/slurm_cluster.sh) with slurmdbd over a MariaDB
# server of its own, both started here. Four tiles of 2000 run one at a time:
# t1 and t2 through the real process_tile (t2 lacks a layer), t3 held by a
# wrapper that sleeps in place of process_tile, t4 waiting behind it. The
# array is cancelled, which leaves no record of t3 and t4: Slurm's record
# tells what became of them, and their job marks (job.json) that they were
# handed to the tasks. Then the unfinished tiles are resubmitted and cancelled
# again, slurmdbd is stopped, and the report falls back to the jobs' own
# measurement and says so; last, damaged records. Needs root; prints
# "SKIP: <reason>" and exits 77 where Slurm, slurmdbd or MariaDB cannot be had
# or do not come up.
#
#   slurm_accounting_test.sh PROCESS_TILE MAKE_SYNTHETIC_TILE SCRATCH
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: $0 PROCESS_TILE MAKE_SYNTHETIC_TILE SCRATCH" >&2; exit 2; }
process_tile="$(realpath "$1")" make_tile="$(realpath "$2")"
scratch="$(realpath -m "$3")"
scripts="$(cd "$(dirname "$0")/../../scripts" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"

. "$here/slurm_test_steps.sh"

# shellcheck disable=SC2034  # read by slurm_cluster.sh
slurm_accounting=1
. "$here/slurm_cluster.sh"
check "the cluster keeps accounting" \
  [ "$(scontrol show config | awk '$1 == "AccountingStorageType" { print $3 }')" = accounting_storage/slurmdbd ]

# --- four tiles: t2 without its canopy height layer, t3 and t4 held --------------
make_tiles "$make_tile" 3
rm "input/t2/t2_TCH_2000.tif"
printf 't1 -60 10\nt2 -59.75 10\nt3 -59.5 10\nt4 -59.25 10\n' > tiles.txt
cat > held_process_tile <<EOF
#!/bin/sh
case "\$1" in t3|t4) exec sleep 600 ;; esac
exec "$process_tile" "\$@"
EOF
chmod +x held_process_tile
args=(tiles.txt 2000 input out datamask wetland "$scratch/held_process_tile")
report() {  # report FILE: --report of the list into FILE, its standard error into FILE.err
  bash "$scripts/slurm_array.sh" --report "${args[@]}" > "$1" 2> "$1.err"
}
row() { awk -v t="$2" '$1 == t' "$1"; }   # row FILE TILE: the tile's line of a report
# A tile's state, exit and message in the report's TSV.
tsv_row() { awk -F '\t' -v t="$1" '$1 == t { print $2 "/" $3 "/" $9 }' out/logs/report.tsv; }   # tsv_row TILE
same_number() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a == b + 0 && a ~ /^[0-9.]+$/) }'; }
# The fields of a tile's row: state, exit, host and Slurm's state.
fields() { row "$1" "$2" | awk '{ print $2, $3, $6, $7 }'; }
running() {  # running TASK: wait until Slurm runs that array task (1 minute)
  local i
  for i in $(seq 600); do
    [ -z "$(squeue -h -t R -j "$1" -o %i 2>/dev/null)" ] || return 0
    sleep 0.1
  done
  return 1
}

# slurmctld hands its records to slurmdbd a moment after each change: the
# report is asked again until it shows the tile in the Slurm state expected
# (30 s).
report_until() {  # report_until FILE TILE SLURM_STATE
  local i
  for i in $(seq 60); do
    report "$1"
    [ "$(row "$1" "$2" | awk '{ print $NF }')" != "$3" ] || return 0
    sleep 0.5
  done
  return 1
}

# While t3 is held and t4 waits: the report, once Slurm's record shows t3
# running, into FILE, and its summary.
t3_held() {  # t3_held FILE
  report_until "$1" t3 RUNNING && cat "$1" &&
    grep -qx "summary: 4 tiles: 1 done, 1 failed, 0 not run, 2 running or queued" "$1"
}

mkdir -p out/logs
report before.txt
check "report before anything ran: all four tiles, not run" \
  grep -qx "summary: 4 tiles: 0 done, 0 failed, 4 not run" before.txt

# One task at a time: t1 and t2 end, t3 is held, t4 waits behind it.
check "array submitted, one task at a time" submit submit.txt --no-region --max-running 1 --cpus 1 "${args[@]}"
check "t3's task runs" running "${array_jobs}_3"
sleep 3   # for Slurm to sample t3's memory at least once (every second)
check "t3 RUNNING by Slurm's record; with t4 waiting, two running or queued" t3_held running.txt
check "... t3 RUNNING" [ "$(fields running.txt t3)" = "running - $node RUNNING" ]
check "... t4 PENDING (its job mark written at submission)" [ "$(fields running.txt t4)" = "running - - PENDING" ]
check "... the running ones out of the times summed up" grep -q "(2 timed)" running.txt
check "the array cancelled, t3 running, t4 before it started" scancel "$array_jobs"
check "array and follow-up job ended" wait_jobs "$array_jobs,${follow_up_job:-0}"
check "t3 and t4: no record (their tasks were killed)" \
  [ ! -e out/logs/tiles/t3/record.json -a ! -e out/logs/tiles/t4/record.json ]

# --- the report from Slurm's records ------------------------------------------------
report acct.txt
cat acct.txt
check "report: from sacct" grep -q "^figures: Slurm's accounting (sacct)" acct.txt
# (where the batch page is written goes to standard error, and only that)
check "report: nothing on standard error but where the page is" bash -c '! grep -qv ": the batch page: " "$1"' _ acct.txt.err
check "report: t3 and t4 failed, not 'not run'" grep -qx "summary: 4 tiles: 1 done, 3 failed, 0 not run" acct.txt
check "t1: done, exit 0, on this node, COMPLETED" [ "$(fields acct.txt t1)" = "done 0 $node COMPLETED" ]
check "t2: failed, exit 1, FAILED" [ "$(fields acct.txt t2)" = "failed 1 $node FAILED" ]
check "t3: failed, no exit status, on this node, CANCELLED" [ "$(fields acct.txt t3)" = "failed - $node CANCELLED" ]
check "t4: failed, no exit status, no node, CANCELLED" [ "$(fields acct.txt t4)" = "failed - - CANCELLED" ]
# Slurm's figures are the only ones of t3, whose task was killed: its wall
# time covers the 3 s it was held, and its memory (that of the shell and sleep)
# was sampled. For t1 the task's own figures are finer (sacct counts whole
# seconds, and may not sample a run shorter than a second), and the report
# takes the larger of each.
check "t3: Slurm's wall time of its task, at least the 3 s held" \
  awk -v w="$(row acct.txt t3 | awk '{ print $4 }')" 'BEGIN { exit !(w ~ /^[0-9]+$/ && w >= 3) }'
check "t3: Slurm's sampled peak memory" [ "$(row acct.txt t3 | awk '$5 ~ /^[0-9]+$/ { print "sampled" }')" = sampled ]
own_wall="$(record out/logs t1 wall_s)"
sacct_wall="$(sacct -n -P -X -j "$(record out/logs t1 job)" -o ElapsedRaw)"
check "t1: wall time the larger of sacct's (${sacct_wall} s) and the task's own (${own_wall} s)" \
  same_number "$(row acct.txt t1 | awk '{ print $4 }')" \
    "$(awk -v a="$sacct_wall" -v b="$own_wall" 'BEGIN { print (a + 0 > b + 0 ? a : b) }')"
check "t3 and t4: why, from their job marks" \
  [ "$(tsv_row t3 | cut -d/ -f1,2)/$(tsv_row t4)" = \
    "failed/-/failed/-/its job ${array_jobs}_4 ended before it started (cancelled)" ]
check "the follow-up job wrote the report" grep -q "^figures: Slurm's accounting (sacct)" out/logs/report.txt
check "... with the same states" \
  [ "$(awk '{ print $1, $2, $3, $NF }' out/logs/report.txt)" = "$(awk '{ print $1, $2, $3, $NF }' acct.txt)" ]
check "... and its summary in the job's log" \
  grep -qx "summary: 4 tiles: 1 done, 3 failed, 0 not run" "out/logs/slurm-followup-${follow_up_job:-0}.out"

# --- resubmitted: the new tasks' records, not the old ones' ----------------------
check "t2, t3 and t4 resubmitted" submit submit2.txt --unfinished --no-region --max-running 1 --cpus 1 "${args[@]}"
check "t2 has failed again and t3 runs" running "${array_jobs}_3"
check "t3 RUNNING in its new task; t3 and t4 running or queued again, not their old CANCELLED" \
  t3_held resubmitted.txt
check "... t2 FAILED in its new task" [ "$(fields resubmitted.txt t2)" = "failed 1 $node FAILED" ]
check "... t4 PENDING in its new array" [ "$(fields resubmitted.txt t4)" = "running - - PENDING" ]
bash "$scripts/slurm_array.sh" --dry-run --unfinished --no-region --cpus 1 "${args[@]}" > dry.txt 2>&1 || true
cat dry.txt
check "--unfinished now leaves out t3 and t4, whose tasks run or wait" \
  grep -qx "# slurm_array.sh: 2 tile(s) left out, their tasks still queued or running: t3 t4" dry.txt
check "... and plans t2 alone" grep -q "; tasks 2; " dry.txt
check "the new array cancelled" scancel "$array_jobs"
second_array="$array_jobs"
check "new array and follow-up job ended" wait_jobs "$array_jobs,${follow_up_job:-0}"

# --- slurmdbd gone: the jobs' own measurement, said on standard error ----------------
kill -TERM "$dbd_pid"
for i in $(seq 100); do kill -0 "$dbd_pid" 2>/dev/null || break; sleep 0.1; done
status=0
report own.txt || status=$?
cat own.txt own.txt.err
check "without slurmdbd: the report still exits 0" [ "$status" -eq 0 ]
check "... says sacct failed" grep -q "sacct failed: .*; the figures are the jobs' own measurement$" own.txt.err
check "... figures from each tile's record, and why" \
  grep -q "^figures: each tile's record (.*): sacct failed: " own.txt
check "... t3 and t4 failed still, by their job marks and squeue" \
  grep -qx "summary: 4 tiles: 1 done, 3 failed, 0 not run" own.txt
check "... t3's task ended without a record, t4's before it started" \
  [ "$(tsv_row t3)//$(tsv_row t4)" = "failed/-/its job ${second_array}_3 ended without a record (cancelled, out of time or memory, node lost)//failed/-/its job ${second_array}_4 ended before it started (cancelled)" ]
check "... t1's wall time the job's own" same_number "$(row own.txt t1 | awk '{ print $4 }')" "$own_wall"

# Damaged records (a full disk, say): t1's figures not numbers, t2's record
# cut short, t4's status no number, t3's record and job mark garbage. None
# shows as done but t1, whose run is recorded whole but for its figures;
# the figures show as unknown, not shifted into other columns.
python3 - out/logs/tiles <<'END'
import json, sys
tiles = sys.argv[1]
def load(tile, name):
    with open("%s/%s/%s" % (tiles, tile, name)) as f:
        return json.load(f)
def save(tile, name, text):
    with open("%s/%s/%s" % (tiles, tile, name), "w") as f:
        f.write(text)
t1 = dict(load("t1", "record.json"), wall_s="12.5x", peak_kib="garbage")
save("t1", "record.json", json.dumps(t1))
t2 = json.dumps(load("t2", "record.json"))
save("t2", "record.json", t2[:len(t2) // 2])
save("t4", "record.json", json.dumps(dict(load("t4", "job.json"), status="garbage", message="")))
save("t3", "record.json", "garbage")
save("t3", "job.json", "\x00\x01")
END
status=0
report damaged.txt || status=$?
cat damaged.txt damaged.txt.err
check "damaged records: the report still exits 0" [ "$status" -eq 0 ]
check "damaged records: t1 done, its figures unknown" [ "$(row damaged.txt t1 | awk '{ print $2, $3, $4, $5 }')" = "done 0 - -" ]
check "damaged records: t2 (cut short) failed, no exit status" [ "$(row damaged.txt t2 | awk '{ print $2, $3 }')" = "failed -" ]
check "damaged records: t3 (record and mark garbage) not run" [ "$(row damaged.txt t3 | awk '{ print $2, $3, $4 }')" = "not run -" ]
check "damaged records: t4 failed with an unknown exit status" [ "$(row damaged.txt t4 | awk '{ print $2, $3 }')" = "failed ?" ]
check "damaged records: one done" grep -qx "summary: 4 tiles: 1 done, 2 failed, 1 not run" damaged.txt

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed; files kept in $scratch" >&2; exit 1; fi
rm -rf "$scratch"
echo "all Slurm accounting checks passed"
