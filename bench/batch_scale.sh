#!/usr/bin/env bash
# How long the batch scripts' bookkeeping takes over a large list, without
# Slurm or a real tile: a list of N tiles (default 20,000) with a status, a
# usage and a job file each (every 97th tile failed), then, timed,
#   slurm_array.sh --plan, --dry-run --unfinished (the selection and the
#   sbatch commands, nothing submitted), --report from those files and
#   --report joined with Slurm's records of the N tasks, and batch.sh --plan.
# For the second report, scontrol and sacct on PATH are scripts that say the
# cluster keeps accounting and print, as sacct does, three records per task
# (the job, its batch and its extern step) of arrays of 1000 tasks; and a
# squeue that lists 20,002 queued tasks for the --unfinished selection.
# A benchmark, not a test: it prints the times.
#
#   bench/batch_scale.sh [N] [DIR]
set -euo pipefail

n="${1:-20000}"
dir="$(realpath -m "${2:-$PWD/out/batch_scale_bench}")"
scripts="$(cd "$(dirname "$0")/../scripts" && pwd)"
rm -rf "$dir"
mkdir -p "$dir/out/logs" "$dir/input"
cd "$dir"
printf '#!/bin/sh\nexit 0\n' > stand_in
chmod +x stand_in
awk -v n="$n" 'BEGIN { for (i = 1; i <= n; i++) print "T" i " -60 10" }' > tiles.txt
awk '{ f = "out/logs/" $1
       print (NR % 97 == 0 ? 1 : 0) > (f ".status"); close(f ".status")
       printf "%.2f\t%d\tnode%d\n", 4 + NR % 7 / 10, 2200000 + NR, NR % 16 > (f ".usage"); close(f ".usage")
       printf "%d\t%d\n", 100000 + int((NR - 1) / 1000), (NR - 1) % 1000 > (f ".job"); close(f ".job") }' tiles.txt
mkdir -p accounting_bin
awk '{ j = (100000 + int((NR - 1) / 1000)) "_" (NR - 1) % 1000; node = "node" NR % 16
       printf "%s|%s|%s|%d||%s\n", j, (NR % 97 == 0 ? "FAILED" : "COMPLETED"), (NR % 97 == 0 ? "1:0" : "0:0"), 5, node
       printf "%s.batch|%s|%s|%d|%d|%s\n", j, (NR % 97 == 0 ? "FAILED" : "COMPLETED"), (NR % 97 == 0 ? "1:0" : "0:0"), 5, 2300000000 + NR, node
       printf "%s.extern|COMPLETED|0:0|5|1024|%s\n", j, node }' tiles.txt > sacct_records.txt
printf '#!/bin/sh\necho "AccountingStorageType   = accounting_storage/slurmdbd"\n' > accounting_bin/scontrol
printf '#!/bin/sh\ncat "%s"\n' "$dir/sacct_records.txt" > accounting_bin/sacct
# A busy cluster's queue of 20,000 other tasks, and the tasks of the first
# two failed tiles still there.
awk 'BEGIN { for (i = 0; i < 20000; i++) print 900000 + int(i / 1000) "_" i % 1000
             print "100000_96"; print "100000_193" }' > squeue_tasks.txt
printf '#!/bin/sh\ncat "%s"\n' "$dir/squeue_tasks.txt" > accounting_bin/squeue
chmod +x accounting_bin/scontrol accounting_bin/sacct accounting_bin/squeue
shared=(tiles.txt 2020 input out datamask wetland "$dir/stand_in")

timed() {  # timed WHAT COMMAND...: its output to a file, its time printed
  local what="$1" start end
  shift
  start=$(date +%s%N)
  "$@" > "$dir/$(echo "$what" | tr -c 'a-z0-9\n' '_').txt"
  end=$(date +%s%N)
  awk -v w="$what" -v ns=$(( end - start )) 'BEGIN { printf "%-40s %.2f s\n", w, ns / 1e9 }'
}
echo "$n tiles, $n status, usage and job files in $dir/out/logs"
timed "slurm_array.sh --plan" bash "$scripts/slurm_array.sh" --plan "${shared[@]}"
timed "slurm_array.sh --dry-run --unfinished" env PATH="$dir/accounting_bin:$PATH" \
  bash "$scripts/slurm_array.sh" --dry-run --unfinished "${shared[@]}"
timed "slurm_array.sh --report" bash "$scripts/slurm_array.sh" --report "${shared[@]}"
timed "slurm_array.sh --report, with sacct" env PATH="$dir/accounting_bin:$PATH" \
  bash "$scripts/slurm_array.sh" --report "${shared[@]}"
timed "batch.sh --plan" bash "$scripts/batch.sh" --plan "${shared[@]}"
