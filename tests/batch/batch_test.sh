#!/usr/bin/env bash
# Batch runs end to end: three generated full-size tiles, one with a missing
# layer, through scripts/batch.sh (GNU parallel): the failure is logged with
# process_tile's message, retried, and a resume after the layer is back runs
# that tile alone. Also the job-count arithmetic (dry runs) and the body of a
# Slurm array task. Leaves SCRATCH/out with the products of t1..t3 for 2000.
#
#   batch_test.sh PROCESS_TILE MAKE_SYNTHETIC_TILE SCRATCH
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: $0 PROCESS_TILE MAKE_SYNTHETIC_TILE SCRATCH" >&2; exit 2; }
process_tile="$(realpath "$1")" make_tile="$(realpath "$2")" scratch="$(realpath -m "$3")"
scripts="$(cd "$(dirname "$0")/../../scripts" && pwd)"

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}
count() { grep -cx -- "$1" "$2" || true; }    # lines equal to $1 in file $2
joblog_lines() { wc -l < "$1"; }

rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"

start=$(date +%s)
for i in 1 2 3; do
  "$make_tile" input datamask wetland "t$i" 2000 "$i" --compress NONE &
done
wait
echo "tiles generated in $(( $(date +%s) - start )) s"

# process_tile behind a wrapper that records every call.
cat > counting_process_tile <<EOF
#!/bin/sh
echo "\$1" >> "$scratch/calls"
exec "$process_tile" "\$@"
EOF
chmod +x counting_process_tile
: > calls

cat > tiles.txt <<'EOF'
# three tiles for the batch test

t1 -60 10     # first
  t2	-59.75   10
t3 -59.5 10
EOF

run_batch() {  # run_batch OUTFILE ARGS... ; the exit status goes to $status
  status=0
  bash "$scripts/batch.sh" "${@:2}" > "$1" 2>&1 || status=$?
  cat "$1"
}
shared=(tiles.txt 2000 input out datamask wetland "$scratch/counting_process_tile")

# --- planning: tile memory and job count, nothing runs -----------------------
run_batch plan.txt --dry-run --mem-available 800M "${shared[@]}"
check "dry run exits 0" [ "$status" -eq 0 ]
check "tile memory for 2000 is 26 x 4004 x 4004 bytes" grep -q "416832416 bytes per tile" plan.txt
check "800 MiB holds 1.9 tiles but keeps half a tile free: 1 at a time" grep -q ": 1 tiles at once" plan.txt
check "--memfree is one tile" grep -q -- "--memfree 416832416" plan.txt
check "a dry run runs nothing" [ ! -s calls ]
cores=$(nproc)
expected=$(( cores < 3 ? cores : 3 ))
run_batch plan.txt --dry-run --mem-available 100G "${shared[@]}"
check "ample memory: min(cores, tiles) = $expected at once" grep -q ": $expected tiles at once" plan.txt
run_batch plan.txt --dry-run --mem-available 300M "${shared[@]}"
check "less than a tile: still 1 at a time, with a warning" grep -q "warning: only" plan.txt
check "less than a tile: no --memfree (it would stop the only tile)" bash -c '! grep -q -- "--memfree [0-9]" plan.txt'
run_batch plan.txt --dry-run --mem-available 100G tiles.txt 2020 input out datamask wetland "$process_tile"
check "tile memory for 2020 is about 2.2 GiB" grep -q "2340674336 bytes per tile" plan.txt
printf 't1 0 0\nt1 1 1\n' > twice.txt
run_batch plan.txt --dry-run twice.txt 2000 input out datamask wetland "$process_tile"
check "a tile listed twice is refused" [ "$status" -eq 2 ]

# --- first run: t3 lacks its canopy height layer --------------------------------
missing="$scratch/input/t3/t3_TCH_2000.tif"
mv "$missing" "$scratch/t3_TCH_2000.tif.aside"
start=$(date +%s)
run_batch run1.txt --retries 2 "${shared[@]}"
echo "first batch run: $(( $(date +%s) - start )) s"
check "batch exits 1 when a tile fails" [ "$status" -eq 1 ]
check "summary counts" grep -q "3 tiles: 2 succeeded, 1 failed, 0 not run" run1.txt
check "summary names t3 with process_tile's message" grep -q "t3  exit 1  $missing not found" run1.txt
check "t3's log holds the message line" [ "$(cat out/logs/t3.out)" = "$missing not found" ]
check "t1 and t2 ran once" [ "$(count t1 calls)$(count t2 calls)" = 11 ]
check "t3 was tried twice (--retries 2)" [ "$(count t3 calls)" = 2 ]
for t in t1 t2; do
  for p in TCC TCH Loss; do
    check "$p of $t written" [ -s "out/${p}_2000_$t.img" ]
  done
done
check "nothing written for t3" bash -c '! ls out/*_t3.img 2>/dev/null'
check "job log: header and one line per tile" [ "$(joblog_lines out/batch.joblog)" -eq 4 ]
check "job log records t3's exit status 1" \
  awk -F'\t' '$1 == 3 && $7 == 1 { found = 1 } END { exit !found }' out/batch.joblog

# A second plain run is refused rather than redoing every tile.
run_batch again.txt "${shared[@]}"
check "rerun without --resume is refused" [ "$status" -eq 2 ]
check "... and runs nothing" [ "$(wc -l < calls)" -eq 4 ]

# --- hosts over ssh: a stand-in ssh that runs the command on this machine ----
cat > fake_ssh <<'EOF2'
#!/bin/bash
# Drops ssh's options and the host name, then runs the command as sshd would:
# in a login environment, which always has SHELL (parallel's remote worker runs
# the job with $SHELL; CI starts this test without it).
export SHELL=/bin/bash
while [ $# -gt 0 ]; do case "$1" in -o|-p|-l) shift 2 ;; -*) shift ;; *) break ;; esac; done
shift
[ "${1:-}" != -- ] || shift
exec bash -c "$*"
EOF2
chmod +x fake_ssh
printf '# one host\n2/%s/fake_ssh nodeA\n' "$scratch" > hosts.txt
printf 'tX 0 0\n' > remote_tiles.txt
run_batch remote.txt --sshloginfile hosts.txt --logs remote_logs --joblog remote.joblog \
  remote_tiles.txt 2000 input out datamask wetland "$process_tile"
check "ssh host: failure comes back with its message" grep -q "tX  exit 1  $scratch/datamask/tX_datamask.tif not found" remote.txt
check "ssh host: job log names the host" grep -q "fake_ssh nodeA" remote.joblog
check "ssh host: tile log on this machine" [ "$(cat remote_logs/tX.out)" = "$scratch/datamask/tX_datamask.tif not found" ]

# --- Slurm array task body (no Slurm needed to run it) --------------------------
slurm=(bash "$scripts/slurm_array.sh")
"${slurm[@]}" --dry-run --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland "$process_tile" > sbatch.txt
cat sbatch.txt
check "sbatch: one task per tile" grep -q -- "--array=1-3 " sbatch.txt
check "sbatch: memory is the tile rounded up to MiB plus 256" grep -q -- "--mem=654M " sbatch.txt
submitted=(slurm_logs/tiles-*.tsv)
# sbatch runs a copy of the script from its spool directory, with nothing beside it.
mkdir -p spool && cp "$scripts/slurm_array.sh" spool/slurm_script
task() { SLURM_ARRAY_TASK_ID="$1" bash spool/slurm_script --task "$scratch/${submitted[0]}" 2000 "$scratch/input" \
           "$scratch/slurm_out" "$scratch/datamask" "$scratch/wetland" "$process_tile" "$scratch/slurm_logs"; }
status=0; task 3 > task3.txt || status=$?
check "slurm task for t3 fails" [ "$status" -eq 1 ]
check "slurm task log and status" [ "$(cat slurm_logs/t3.out)/$(cat slurm_logs/t3.status)" = "$missing not found/1" ]
status=0; task 1 > task1.txt || status=$?
check "slurm task for t1 succeeds" [ "$status" -eq 0 ]
check "slurm task wrote t1's products" [ -s slurm_out/TCC_2000_t1.img ]
"${slurm[@]}" --dry-run --unfinished --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland "$process_tile" > sbatch.txt
check "sbatch --unfinished resubmits t2 and t3 only" grep -q -- "--array=2-3 " sbatch.txt
rm -rf slurm_out slurm_logs spool

# --- resume after the layer is back: only t3 runs -------------------------------
mv "$scratch/t3_TCH_2000.tif.aside" "$missing"
stat -c '%n %y' out/*_t1.img out/*_t2.img > before.txt
start=$(date +%s)
run_batch run2.txt --resume "${shared[@]}"
echo "resume run: $(( $(date +%s) - start )) s"
check "resume exits 0" [ "$status" -eq 0 ]
check "resume summary" grep -q "3 tiles: 3 succeeded, 0 failed, 0 not run" run2.txt
check "resume ran t3 alone" [ "$(tail -n +5 calls | tr '\n' ' ')" = "t3 " ]
check "t1 and t2 products untouched" bash -c 'stat -c "%n %y" out/*_t1.img out/*_t2.img | cmp -s - before.txt'
for p in TCC TCH Loss; do
  check "$p of t3 written" [ -s "out/${p}_2000_t3.img" ]
done
check "job log gained one line, t3 exit 0" \
  bash -c '[ "$(wc -l < out/batch.joblog)" -eq 5 ] && tail -n 1 out/batch.joblog | awk -F"\t" "\$1 == 3 && \$7 == 0 { ok = 1 } END { exit !ok }"'

run_batch run3.txt --resume "${shared[@]}"
check "a resume with nothing left exits 0" [ "$status" -eq 0 ]
check "... and runs nothing" [ "$(wc -l < calls)" -eq 5 ]

rm -rf input datamask wetland
if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all batch checks passed"
