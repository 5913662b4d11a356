#!/usr/bin/env bash
# How long the batch scripts' bookkeeping takes over a large list, without
# Slurm or a real tile: a list of N tiles (default 20,000) with a status and a
# usage file each (every 97th tile failed), then, timed,
#   slurm_array.sh --plan, --dry-run --unfinished (the selection and the
#   sbatch commands, nothing submitted) and --report, and batch.sh --plan.
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
       printf "%.2f\t%d\tnode%d\n", 4 + NR % 7 / 10, 2200000 + NR, NR % 16 > (f ".usage"); close(f ".usage") }' tiles.txt
shared=(tiles.txt 2020 input out datamask wetland "$dir/stand_in")

timed() {  # timed WHAT COMMAND...: its output to a file, its time printed
  local what="$1" start end
  shift
  start=$(date +%s%N)
  "$@" > "$dir/$(echo "$what" | tr -c 'a-z0-9\n' '_').txt"
  end=$(date +%s%N)
  awk -v w="$what" -v ns=$(( end - start )) 'BEGIN { printf "%-40s %.2f s\n", w, ns / 1e9 }'
}
echo "$n tiles, $n status and $n usage files in $dir/out/logs"
timed "slurm_array.sh --plan" bash "$scripts/slurm_array.sh" --plan "${shared[@]}"
timed "slurm_array.sh --dry-run --unfinished" bash "$scripts/slurm_array.sh" --dry-run --unfinished "${shared[@]}"
timed "slurm_array.sh --report" bash "$scripts/slurm_array.sh" --report "${shared[@]}"
timed "batch.sh --plan" bash "$scripts/batch.sh" --plan "${shared[@]}"
