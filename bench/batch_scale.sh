#!/usr/bin/env bash
# How long the batch scripts' bookkeeping takes over a large list, without
# Slurm or a real tile: a list of N tiles (default 20,000) of last year 2020,
# each with its record and job mark (LOGS/tiles/<tile>/record.json and
# job.json) as a Slurm task leaves them (every 97th tile failed) and, for
# the others, its 63 products (names only: links to empty files), then,
# timed,
#   slurm_array.sh --plan, --dry-run --unfinished (the selection and the
#   sbatch commands, nothing submitted), --report from those files and
#   --report joined with Slurm's records of the N tasks, and batch.sh --plan.
# For the --dry-run and the second report, scontrol and sacct on PATH are
# scripts that say the cluster keeps accounting and print, as sacct does,
# three records per task (the job, its batch and its extern step) of arrays
# of 1000 tasks; and squeue lists 20,002 queued tasks: a busy cluster's
# 20,000 of other jobs and those the first two failed tiles were handed to
# again (their job marks name them), which the --unfinished selection leaves
# out. For the first report, scontrol, squeue and sacct fail, as where Slurm
# does not answer. A benchmark, not a test: it prints the times.
#
#   bench/batch_scale.sh [N] [DIR]
set -euo pipefail
usage() {
  cat <<'EOF'
usage: batch_scale.sh [N] [DIR]

Times the batch scripts' bookkeeping over a list of N tiles (default 20000)
without Slurm or a real tile: slurm_array.sh --plan, --dry-run --unfinished,
--report without and with Slurm's accounting records, and batch.sh --plan,
each on the records, job marks and product names of N stand-in tiles (every
97th one failed), with stand-ins for scontrol, squeue and sacct. Prints the
time of each.

  N    number of stand-in tiles, 1 to 1000000 (20000)
  DIR  where the stand-in tiles and each command's output go
       (out/batch_scale_bench in the working directory); removed first
       when it is empty or an earlier run's, else left as it is (exit 1)

A DIR that begins with '-' needs '--' before it.
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/script_options.sh"
take_no_options "$@"
if [ "${1:-}" = "--" ]; then shift; fi
if [ $# -gt 2 ]; then
  printf '%s: takes N and DIR at most, not also %q\n' "${0##*/}" "$3" >&2
  usage >&2
  exit 2
fi
if [ $# -ge 1 ] && ! { [[ "$1" =~ ^0*[1-9][0-9]{0,6}$ ]] && [ "$((10#$1))" -le 1000000 ]; }; then
  printf '%s: N must be a whole number from 1 to 1000000, not %q\n' "${0##*/}" "$1" >&2
  usage >&2
  exit 2
fi

n="$((10#${1:-20000}))"
dir="$(realpath -m "${2:-$PWD/out/batch_scale_bench}")"
scripts="$(CDPATH="" cd -- "$(dirname -- "$0")/../scripts" && pwd)"
# DIR is removed first: only when it is empty or an earlier run's.
if [ -n "$(ls -A "$dir" 2>/dev/null)" ] && ! [ -f "$dir/tiles.txt" ] && ! [ -f "$dir/stand_in" ]; then
  printf '%s: %q is not empty and not an earlier run'"'"'s: not removed\n' "${0##*/}" "$dir" >&2
  exit 1
fi
rm -rf "$dir"
mkdir -p "$dir/out/logs" "$dir/input"
cd "$dir"
printf '#!/bin/sh\nexit 0\n' > stand_in
chmod +x stand_in
awk -v n="$n" 'BEGIN { for (i = 1; i <= n; i++) print "T" i " -60 10" }' > tiles.txt
setup_start=$(date +%s)
# The records and job marks as tilejob.py writes them, and the products of
# the tiles that succeeded. Tile NR ran as task (NR - 1) % 1000 of array
# 100000 + int((NR - 1) / 1000); T97 and T194 were handed to tasks 0 and 1
# of array 200000 since, still queued.
python3 - "$dir" "$n" <<'END'
import json, os, sys
top, n = sys.argv[1], int(sys.argv[2])
out, logs = os.path.join(top, "out"), os.path.join(top, "out", "logs")
asked = {"last_year": 2020, "origin_x": "-60", "origin_y": "10", "input_dir": os.path.join(top, "input"),
         "output_dir": out, "datamask_dir": os.path.join(top, "datamask"), "wetland_dir": os.path.join(top, "wetland")}
empty = os.path.join(top, "empty-%d.img")  # one for each 1000 tiles: a file takes 65,000 links at most
requeued = {97: "200000_0", 194: "200000_1"}
for i in range(1, n + 1):
    tile, failed = "T%d" % i, i % 97 == 0
    job, host = "%d_%d" % (100000 + (i - 1) // 1000, (i - 1) % 1000), "node%d" % (i % 16)
    here = os.path.join(logs, "tiles", tile)
    os.makedirs(here)
    record = dict(asked, tile=tile, job=job, host=host, process_tile=os.path.join(top, "stand_in"),
                  tile_quality=None, quality_dir=None, quality_status=None, quality_message="",
                  status=1 if failed else 0, message="T%d_TCH_2000.tif not found" % i if failed else "",
                  wall_s=4 + i % 7 / 10, peak_kib=2200000 + i, ended="2026-01-01T00:00:00Z")
    mark = dict(asked, tile=tile, job=requeued.get(i, job), started=i not in requeued, host=host)
    if not failed:
        if not os.path.exists(empty % ((i - 1) // 1000)):
            open(empty % ((i - 1) // 1000), "w").close()
        # The products' identities as the job records them: the batch checks
        # each product against its record.
        info = os.stat(empty % ((i - 1) // 1000))
        record["products"] = {}
        for year in range(2000, 2021):
            for product in ("TCC", "TCH", "Loss"):
                name = "%s_%d_%s.img" % (product, year, tile)
                os.link(empty % ((i - 1) // 1000), os.path.join(out, name))
                record["products"][name] = [info.st_size, info.st_mtime_ns, info.st_ino]
    for name, value in (("record.json", record), ("job.json", mark)):
        with open(os.path.join(here, name), "w") as f:
            f.write(json.dumps(value, sort_keys=True) + "\n")
END
mkdir -p accounting_bin no_slurm_bin
awk '{ j = (100000 + int((NR - 1) / 1000)) "_" (NR - 1) % 1000; node = "node" NR % 16
       printf "%s|%s|%s|%d||%s\n", j, (NR % 97 == 0 ? "FAILED" : "COMPLETED"), (NR % 97 == 0 ? "1:0" : "0:0"), 5, node
       printf "%s.batch|%s|%s|%d|%d|%s\n", j, (NR % 97 == 0 ? "FAILED" : "COMPLETED"), (NR % 97 == 0 ? "1:0" : "0:0"), 5, 2300000000 + NR, node
       printf "%s.extern|COMPLETED|0:0|5|1024|%s\n", j, node }' tiles.txt > sacct_records.txt
printf '#!/bin/sh\necho "AccountingStorageType   = accounting_storage/slurmdbd"\n' > accounting_bin/scontrol
printf '#!/bin/sh\ncat "%s"\n' "$dir/sacct_records.txt" > accounting_bin/sacct
# A busy cluster's queue of 20,000 other tasks, and the two tasks the first
# two failed tiles were handed to again.
awk 'BEGIN { for (i = 0; i < 20000; i++) print 900000 + int(i / 1000) "_" i % 1000
             print "200000_0"; print "200000_1" }' > squeue_tasks.txt
printf '#!/bin/sh\ncat "%s"\n' "$dir/squeue_tasks.txt" > accounting_bin/squeue
for tool in scontrol sacct squeue; do
  printf '#!/bin/sh\necho "%s: error: Unable to contact slurm controller" >&2\nexit 1\n' "$tool" > "no_slurm_bin/$tool"
done
chmod +x accounting_bin/* no_slurm_bin/*
shared=(tiles.txt 2020 input out datamask wetland "$dir/stand_in")

timed() {  # timed WHAT COMMAND...: its output to a file, its time printed
  local what="$1" start end
  shift
  start=$(date +%s%N)
  "$@" > "$dir/$(echo "$what" | tr -c 'a-z0-9\n' '_').txt"
  end=$(date +%s%N)
  awk -v w="$what" -v ns=$(( end - start )) 'BEGIN { printf "%-40s %.2f s\n", w, ns / 1e9 }'
}
echo "$n tiles: records, job marks and products in $dir/out made in $(( $(date +%s) - setup_start )) s"
timed "slurm_array.sh --plan" bash "$scripts/slurm_array.sh" --plan "${shared[@]}"
timed "slurm_array.sh --dry-run --unfinished" env PATH="$dir/accounting_bin:$PATH" \
  bash "$scripts/slurm_array.sh" --dry-run --unfinished "${shared[@]}"
timed "slurm_array.sh --report" env PATH="$dir/no_slurm_bin:$PATH" \
  bash "$scripts/slurm_array.sh" --report "${shared[@]}" 2> report_stderr.txt
timed "slurm_array.sh --report, with sacct" env PATH="$dir/accounting_bin:$PATH" \
  bash "$scripts/slurm_array.sh" --report "${shared[@]}"
timed "batch.sh --plan" bash "$scripts/batch.sh" --plan "${shared[@]}"
