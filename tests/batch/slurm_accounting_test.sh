#!/usr/bin/env bash
# scripts/slurm_array.sh --report where the cluster keeps job accounting: a
# one-node Slurm (tests/batch/slurm_cluster.sh) with slurmdbd over a MariaDB
# server of its own, both started here. Three generated tiles of 2000 run
# through the real process_tile: t1 succeeds, t2 lacks a layer, and t3's task
# is held (a wrapper sleeps in place of process_tile) and cancelled, which
# leaves no status file behind: only Slurm's record knows what became of it.
# Then slurmdbd is stopped, and the report falls back to the tasks' own
# measurement and says so. Needs root; prints "SKIP: <reason>" and exits 77
# where Slurm, slurmdbd or MariaDB cannot be had or do not come up.
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

# --- three tiles: t2 without its canopy height layer, t3 held until cancelled -----
make_tiles "$make_tile" 3
rm "input/t2/t2_TCH_2000.tif"
printf 't1 -60 10\nt2 -59.75 10\nt3 -59.5 10\n' > tiles.txt
cat > held_process_tile <<EOF
#!/bin/sh
[ "\$1" != t3 ] || exec sleep 600
exec "$process_tile" "\$@"
EOF
chmod +x held_process_tile
args=(tiles.txt 2000 input out datamask wetland "$scratch/held_process_tile")
report() {  # report FILE: --report of the list into FILE, its standard error into FILE.err
  bash "$scripts/slurm_array.sh" --report "${args[@]}" > "$1" 2> "$1.err"
}
row() { awk -v t="$2" '$1 == t' "$1"; }   # row FILE TILE: the tile's line of a report

check "array submitted" submit submit.txt --no-region --cpus 1 "${args[@]}"
# t3's task has started once its job file is there; t1 and t2 end meanwhile.
for i in $(seq 600); do
  [ -s out/logs/t3.job ] && [ -s out/logs/t1.status ] && [ -s out/logs/t2.status ] && break
  sleep 0.1
done
check "t3's task started, t1 and t2 ended" [ -s out/logs/t3.job -a -s out/logs/t1.status -a -s out/logs/t2.status ]
report running.txt
cat running.txt
check "while t3 runs: one running" grep -qx "summary: 3 tiles: 1 done, 1 failed, 0 not run, 1 running or queued" running.txt
check "... t3 RUNNING by Slurm's record" [ "$(row running.txt t3 | awk '{ print $2, $3, $NF }')" = "running - RUNNING" ]
sleep 3   # for Slurm to sample t3's memory at least once (every second)
check "t3's task cancelled" scancel "${array_jobs}_3"
check "array and follow-up job ended" wait_jobs "$array_jobs,${follow_up_job:-0}"
check "t3: no status file (its task was killed)" [ ! -e out/logs/t3.status ]

# --- the report from Slurm's records ------------------------------------------------
report acct.txt
cat acct.txt
check "report: from sacct" grep -q "^figures: Slurm's accounting (sacct)" acct.txt
check "report: nothing on standard error" [ ! -s acct.txt.err ]
check "report: t3 failed, not 'not run'" grep -qx "summary: 3 tiles: 1 done, 2 failed, 0 not run" acct.txt
check "t1: done, exit 0, COMPLETED, on this node" \
  [ "$(row acct.txt t1 | awk '{ print $2, $3, $6, $7 }')" = "done 0 $node COMPLETED" ]
check "t2: failed, exit 1, FAILED" [ "$(row acct.txt t2 | awk '{ print $2, $3, $7 }')" = "failed 1 FAILED" ]
check "t3: failed, no exit status, CANCELLED, on this node" \
  [ "$(row acct.txt t3 | awk '{ print $2, $3, $6, $7 }')" = "failed - $node CANCELLED" ]
# Slurm's figures are the only ones of t3, whose task was killed: its wall
# time covers the 3 s it was held, and its memory (that of the shell and sleep)
# was sampled. For t1 the task's own figures are finer (sacct counts whole
# seconds, and may not sample a run shorter than a second), and the report
# takes the larger of each.
check "t3: Slurm's wall time of its task, at least the 3 s held" \
  awk -v w="$(row acct.txt t3 | awk '{ print $4 }')" 'BEGIN { exit !(w ~ /^[0-9]+$/ && w >= 3) }'
check "t3: Slurm's sampled peak memory" [ "$(row acct.txt t3 | awk '$5 ~ /^[0-9]+$/ { print "sampled" }')" = sampled ]
own_wall="$(cut -f1 out/logs/t1.usage)"
sacct_wall="$(sacct -n -P -X -j "$(cut -f1 out/logs/t1.job)" -o ElapsedRaw)"
check "t1: wall time the larger of sacct's (${sacct_wall} s) and the task's own (${own_wall} s)" \
  [ "$(row acct.txt t1 | awk '{ print $4 }')" = "$(awk -v a="$sacct_wall" -v b="$own_wall" 'BEGIN { print (a + 0 > b + 0 ? a : b) }')" ]
check "the follow-up job wrote the report" grep -q "^figures: Slurm's accounting (sacct)" out/logs/report.txt
check "... with the same states" \
  [ "$(awk '{ print $1, $2, $3, $NF }' out/logs/report.txt)" = "$(awk '{ print $1, $2, $3, $NF }' acct.txt)" ]
check "... and its summary in the job's log" \
  grep -qx "summary: 3 tiles: 1 done, 2 failed, 0 not run" "out/logs/slurm-followup-${follow_up_job:-0}.out"

# --- slurmdbd gone: the tasks' own measurement, said on standard error ---------------
kill -TERM "$dbd_pid"
for i in $(seq 100); do kill -0 "$dbd_pid" 2>/dev/null || break; sleep 0.1; done
status=0
report own.txt || status=$?
cat own.txt own.txt.err
check "without slurmdbd: the report still exits 0" [ "$status" -eq 0 ]
check "... says sacct failed" grep -q "^slurm_array.sh: sacct failed (.*); the figures are the tasks' own measurement" own.txt.err
check "... figures from the tasks' own measurement" grep -q "^figures: the tasks' own measurement" own.txt
check "... t3 not run, as its task left nothing" grep -qx "summary: 3 tiles: 1 done, 1 failed, 1 not run" own.txt
check "... t1's wall time the task's own" [ "$(row own.txt t1 | awk '{ print $4 }')" = "$own_wall" ]

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed; files kept in $scratch" >&2; exit 1; fi
rm -rf "$scratch"
echo "all Slurm accounting checks passed"
