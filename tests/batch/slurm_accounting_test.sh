#!/usr/bin/env bash
# scripts/slurm_array.sh --report where the cluster keeps job accounting: a
# one-node Slurm (tests/batch/slurm_cluster.sh) with slurmdbd over a MariaDB
# server of its own, both started here. Four tiles of 2000 run one at a time:
# t1 and t2 through the real process_tile (t2 lacks a layer), t3 held by a
# wrapper that sleeps in place of process_tile, t4 waiting behind it. The
# array is cancelled, which leaves no status file of t3 and t4: only Slurm's
# record knows what became of them. Then the unfinished tiles are resubmitted
# and cancelled again, slurmdbd is stopped, and the report falls back to the
# tasks' own measurement and says so. Needs root; prints "SKIP: <reason>" and
# exits 77 where Slurm, slurmdbd or MariaDB cannot be had or do not come up.
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
check "... t4 PENDING (its job file written at submission)" [ "$(fields running.txt t4)" = "running - - PENDING" ]
check "... the running ones out of the times summed up" grep -q "(2 timed)" running.txt
check "the array cancelled, t3 running, t4 before it started" scancel "$array_jobs"
check "array and follow-up job ended" wait_jobs "$array_jobs,${follow_up_job:-0}"
check "t3 and t4: no status file (their tasks were killed)" [ ! -e out/logs/t3.status -a ! -e out/logs/t4.status ]

# --- the report from Slurm's records ------------------------------------------------
report acct.txt
cat acct.txt
check "report: from sacct" grep -q "^figures: Slurm's accounting (sacct)" acct.txt
check "report: nothing on standard error" [ ! -s acct.txt.err ]
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
own_wall="$(cut -f1 out/logs/t1.usage)"
sacct_wall="$(sacct -n -P -X -j "$(tr '\t' _ < out/logs/t1.job)" -o ElapsedRaw)"
check "t1: wall time the larger of sacct's (${sacct_wall} s) and the task's own (${own_wall} s)" \
  [ "$(row acct.txt t1 | awk '{ print $4 }')" = "$(awk -v a="$sacct_wall" -v b="$own_wall" 'BEGIN { print (a + 0 > b + 0 ? a : b) }')" ]
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
  grep -q "2 unfinished tile(s) left out, their tasks still queued or running: t3 t4 " dry.txt
check "... and plans t2 alone" grep -q "; tasks 2; " dry.txt
check "the new array cancelled" scancel "$array_jobs"
check "new array and follow-up job ended" wait_jobs "$array_jobs,${follow_up_job:-0}"

# --- slurmdbd gone: the tasks' own measurement, said on standard error ---------------
kill -TERM "$dbd_pid"
for i in $(seq 100); do kill -0 "$dbd_pid" 2>/dev/null || break; sleep 0.1; done
status=0
report own.txt || status=$?
cat own.txt own.txt.err
check "without slurmdbd: the report still exits 0" [ "$status" -eq 0 ]
check "... says sacct failed" grep -q "^slurm_array.sh: sacct failed: .*; the figures are the tasks' own measurement" own.txt.err
check "... figures from the tasks' own measurement, and why" \
  grep -q "^figures: the tasks' own measurement (.*): sacct failed: " own.txt
check "... t3 and t4 not run, as their tasks left nothing" grep -qx "summary: 4 tiles: 1 done, 1 failed, 2 not run" own.txt
check "... t1's wall time the task's own" [ "$(row own.txt t1 | awk '{ print $4 }')" = "$own_wall" ]

# A usage file cut short (a full disk, say) and a status that is no number
# show as unknown, counted on standard error, not shifted into other columns.
printf '12.5\n' > out/logs/t1.usage
printf 'garbage\n' > out/logs/t2.status
report damaged.txt || true
cat damaged.txt damaged.txt.err
check "damaged logs: said on standard error" grep -q "2 log file(s) in .* did not read as the task writes them" damaged.txt.err
check "damaged logs: t1 done, its figures unknown" [ "$(row damaged.txt t1 | awk '{ print $2, $3, $4, $5, $6 }')" = "done 0 - - -" ]
check "damaged logs: t2 failed with an unknown exit status" [ "$(row damaged.txt t2 | awk '{ print $2, $3 }')" = "failed ?" ]

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed; files kept in $scratch" >&2; exit 1; fi
rm -rf "$scratch"
echo "all Slurm accounting checks passed"
