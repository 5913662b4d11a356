#!/usr/bin/env bash
# Submits a tile list to Slurm as one job array, one task per tile, and is
# itself the body of each task (sbatch runs a copy of this file with --task).
set -euo pipefail

prog="${0##*/}"
usage() {
  cat <<EOF
usage: $prog [options] TILE_LIST LAST_YEAR INPUT_DIR OUTPUT_DIR DATAMASK_DIR WETLAND_DIR [PROCESS_TILE]

Submits one Slurm job array with one task per line of TILE_LIST ("tile_id
origin_x origin_y"; blank lines and text after # are ignored). Task i runs

  PROCESS_TILE TILE_ID LAST_YEAR INPUT_DIR OUTPUT_DIR ORIGIN_X ORIGIN_Y DATAMASK_DIR WETLAND_DIR

for the i-th tile. PROCESS_TILE defaults to build/process_tile of this
project. All paths are made absolute and must be the same on the compute nodes
(shared storage).

Memory request per task: the tile memory (six year cubes and two masks),
rounded up to MiB, plus $PROGRAM_MIB MiB for the program and GDAL ($(task_memory_mib 2000) MiB for 2000,
$(task_memory_mib 2020) MiB for 2020).

Logs, in DIR (default OUTPUT_DIR/logs):
  DIR/TILE.out      process_tile's standard output (the one-line failure message)
  DIR/TILE.err      its standard error
  DIR/TILE.status   its exit status, written when the task ends
  DIR/slurm-JOB_TASK.out   Slurm's log of the task
  DIR/tiles-*.tsv   the tile list as submitted (task i = line i)
  DIR/region-JOB.tsv       the tiles handed to the region job (see below)
  DIR/slurm-region-JOB.out Slurm's log of the region job

Once every task of the array has ended, successful or not, a follow-up job
(sbatch --dependency=afterany:ARRAY_JOB) lists the tiles with status 0 at that
time, one "tile_id origin_x origin_y" per line, into DIR/region-JOB.tsv and runs

  scripts/region.sh OUTPUT_DIR LAST_YEAR DIR/region-JOB.tsv

of this project (1 CPU, 1024 MiB). With --unfinished it is submitted again after
the new array.

Options:
  --cpus N            CPUs per task (default 4; process_tile uses the CPUs it gets)
  --max-running N     at most N tasks at once (array throttle %N)
  --logs DIR          log directory
  --unfinished        submit only the tiles without a status of 0 in DIR (resume
                      after failures, cancellations or node losses)
  --no-region         submit no follow-up region job
  --dry-run           print the sbatch commands instead of submitting them
  -h, --help          this text

Anything else sbatch accepts can come from its environment variables, e.g.
SBATCH_PARTITION, SBATCH_ACCOUNT, SBATCH_TIMELIMIT, SBATCH_QOS.
EOF
}

# sbatch does not run this file where it lies: it stores a copy of it in
# slurmd's spool directory and runs that copy, with nothing of this project
# beside it. So the two job bodies below (--task, --region) come first, use no
# helper and locate nothing relative to this file: every path they need
# (process_tile, region.sh, the logs) is handed to them as an absolute argument
# when the jobs are submitted. The copy also pins the job bodies to the version
# of this file that submitted them.

# Task body: run the tile of line SLURM_ARRAY_TASK_ID of the submitted list.
if [ "${1:-}" = --task ]; then
  shift
  [ $# -eq 8 ] || { echo "slurm_array.sh --task: expected 8 arguments, got $#" >&2; exit 2; }
  tiles="$1" last_year="$2" input_dir="$3" output_dir="$4" datamask_dir="$5" wetland_dir="$6"
  process_tile="$7" logdir="$8"
  index="${SLURM_ARRAY_TASK_ID:?not running as a Slurm array task}"
  IFS=$'\t' read -r tile x y < <(sed -n "${index}p" "$tiles")
  [ -n "${tile:-}" ] || { echo "slurm_array.sh: no line $index in $tiles" >&2; exit 2; }
  echo "tile $tile ($x, $y) on $(hostname), task $index, job ${SLURM_ARRAY_JOB_ID:-?}"
  rm -f "$logdir/$tile.status"
  status=0
  "$process_tile" "$tile" "$last_year" "$input_dir" "$output_dir" "$x" "$y" "$datamask_dir" "$wetland_dir" \
    > "$logdir/$tile.out" 2> "$logdir/$tile.err" || status=$?
  echo "$status" > "$logdir/$tile.status"
  cat "$logdir/$tile.out"
  echo "tile $tile: exit status $status"
  exit "$status"
fi

# Region body, the job that runs once the array has ended (whatever its tasks'
# outcome): the lines of the submitted list whose tile has status 0 now go to
# LOGDIR/region-JOB.tsv ("tile_id origin_x origin_y", tab-separated), then
#   REGION_SH OUTPUT_DIR LAST_YEAR LOGDIR/region-JOB.tsv
if [ "${1:-}" = --region ]; then
  shift
  [ $# -eq 5 ] || { echo "slurm_array.sh --region: expected 5 arguments, got $#" >&2; exit 2; }
  tiles="$1" last_year="$2" output_dir="$3" logdir="$4" region_sh="$5"
  ok_tiles="$logdir/region-${SLURM_JOB_ID:-$$}.tsv"
  awk -F'\t' -v logdir="$logdir" '
    { f = logdir "/" $1 ".status"; s = ""
      if ((getline s < f) > 0 && s == "0") print
      close(f) }' "$tiles" > "$ok_tiles"
  count=$(wc -l < "$ok_tiles")
  echo "region: $count of $(wc -l < "$tiles") tiles finished with status 0 (listed in $ok_tiles)"
  [ "$count" -gt 0 ] || { echo "region: no tile to put together"; exit 0; }
  exec "$region_sh" "$output_dir" "$last_year" "$ok_tiles"
fi

# shellcheck source=scripts/tile_batch_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/tile_batch_common.sh"

# What a task asks Slurm for: the tile memory rounded up to MiB plus room for
# the program, GDAL's block cache and the layer decoding pool, more than the
# program's own memory check counts besides the tile, so a task passes it.
PROGRAM_MIB=256
task_memory_mib() { echo $(( $(tile_memory_mib "$1") + PROGRAM_MIB )); }

cpus=4 max_running="" logdir="" unfinished=0 dry_run=0 region=1
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --cpus) [ $# -ge 2 ] || die_usage "$1 needs a value"; cpus="$2"; shift 2 ;;
    --max-running) [ $# -ge 2 ] || die_usage "$1 needs a value"; max_running="$2"; shift 2 ;;
    --logs) [ $# -ge 2 ] || die_usage "$1 needs a value"; logdir="$2"; shift 2 ;;
    --unfinished) unfinished=1; shift ;;
    --no-region) region=0; shift ;;
    --dry-run) dry_run=1; shift ;;
    --) shift; args+=("$@"); break ;;
    -?*) die_usage "unknown option $1" ;;
    *) args+=("$1"); shift ;;
  esac
done
[[ "$cpus" =~ ^[1-9][0-9]*$ ]] || die_usage "--cpus needs a positive number"
[ -z "$max_running" ] || [[ "$max_running" =~ ^[1-9][0-9]*$ ]] || die_usage "--max-running needs a positive number"

take_shared_arguments "${args[@]}"
logdir="$(abs_path "${logdir:-$output_dir/logs}")"
[ -x "$process_tile" ] || die_usage "$process_tile is not an executable (build it first: scripts/build.sh)"
self="$(abs_path "${BASH_SOURCE[0]}")"
region_sh="$(cd "$(dirname "$self")" && pwd)/region.sh"
[ "$region" -eq 0 ] || [ -x "$region_sh" ] || die_usage "$region_sh is not an executable (or give --no-region)"

mkdir -p "$output_dir" "$logdir"
tiles="$(mktemp "$logdir/tiles-XXXXXX.tsv")"
clean_tile_list "$tile_list" "$tiles" || { rm -f "$tiles"; die_usage "bad tile list"; }
tile_count=$(wc -l < "$tiles")
[ "$tile_count" -gt 0 ] || { rm -f "$tiles"; die_usage "no tiles in $tile_list"; }

# Task indices: all lines, or those whose tile has no status 0 yet, written
# as ranges (1-3,5,7-9).
array="$(awk -F'\t' -v logdir="$logdir" -v only_unfinished="$unfinished" '
  function done_ok(tile,   f, s) {
    f = logdir "/" tile ".status"; s = ""
    if ((getline s < f) > 0) { close(f); return s == "0" }
    return 0
  }
  function flush() {
    if (start) ranges = ranges (ranges == "" ? "" : ",") (start == prev ? start : start "-" prev)
  }
  {
    if (only_unfinished && done_ok($1)) next
    if (start && NR == prev + 1) { prev = NR; next }
    flush(); start = NR; prev = NR
  }
  END { flush(); print ranges }' "$tiles")"
if [ -z "$array" ]; then
  rm -f "$tiles"
  echo "$prog: every tile of $tile_list has finished with status 0; nothing to submit"
  exit 0
fi
[ -z "$max_running" ] || array="$array%$max_running"

mem_mib=$(task_memory_mib "$last_year")

sbatch_cmd=(sbatch --job-name="process_tile_$last_year" --array="$array"
            --ntasks=1 --cpus-per-task="$cpus" --mem="${mem_mib}M"
            --output="$logdir/slurm-%A_%a.out"
            "$self" --task "$tiles" "$last_year" "$input_dir" "$output_dir"
            "$datamask_dir" "$wetland_dir" "$process_tile" "$logdir")
# The region job's dependency is filled in once the array's id is known.
region_cmd=(sbatch --parsable --job-name="region_$last_year"
            --ntasks=1 --cpus-per-task=1 --mem=1024M
            --output="$logdir/slurm-region-%j.out"
            "$self" --region "$tiles" "$last_year" "$output_dir" "$logdir" "$region_sh")

echo "$prog: $tile_count tiles in $tiles; tasks $array; ${mem_mib} MiB and $cpus CPUs each"
if [ "$dry_run" -eq 1 ]; then
  # Printed so that the lines can be pasted into bash as they are.
  if [ "$region" -eq 0 ]; then
    printf '%q ' "${sbatch_cmd[@]}"; echo
  else
    printf 'jobid=$('; printf '%q ' sbatch --parsable "${sbatch_cmd[@]:1}"; echo ')'
    printf '%q ' "${region_cmd[@]:0:2}"; printf -- '--dependency=afterany:"${jobid%%%%;*}" '
    printf '%q ' "${region_cmd[@]:2}"; echo
  fi
  exit 0
fi
command -v sbatch >/dev/null || { echo "$prog: sbatch not found (is this a Slurm login node?)" >&2; exit 2; }
jobid="$(sbatch --parsable "${sbatch_cmd[@]:1}")"
jobid="${jobid%%;*}"   # --parsable prints "id" or "id;cluster"
echo "$prog: submitted array job $jobid (tasks $array)"
[ "$region" -eq 1 ] || exit 0
region_job=""
region_job="$("${region_cmd[@]:0:2}" --dependency=afterany:"$jobid" "${region_cmd[@]:2}")" || {
  echo "$prog: the region job could not be submitted; submit it by hand:" >&2
  printf '%q ' "${region_cmd[@]:0:2}" --dependency=afterany:"$jobid" "${region_cmd[@]:2}" >&2; echo >&2
  exit 1
}
echo "$prog: submitted region job ${region_job%%;*}, to start once job $jobid has ended"
