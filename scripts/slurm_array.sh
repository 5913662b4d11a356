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
rounded up to MiB, plus $PROGRAM_MIB MiB for the program and GDAL ($(task_memory_mib 2000 0) MiB for 2000,
$(task_memory_mib 2020 0) MiB for 2020). With --quality the task also runs, once process_tile has
succeeded,

  TILE_QUALITY TILE_ID LAST_YEAR INPUT_DIR OUTPUT_DIR/quality ORIGIN_X ORIGIN_Y DATAMASK_DIR WETLAND_DIR

(QA_<year>_TILE_ID.tif, TILE_ID_quality.csv and TILE_ID_quality.png there), which
holds the tile and one quality byte per pixel and year: the request is then
that memory rounded up to MiB plus $PROGRAM_MIB MiB ($(task_memory_mib 2000 1) MiB for 2000, $(task_memory_mib 2020 1) MiB for 2020).
A failing tile_quality fails the task; the tile's products stay.

Logs, in DIR (default OUTPUT_DIR/logs):
  DIR/TILE.out      process_tile's standard output (the one-line failure message)
  DIR/TILE.err      its standard error
  DIR/TILE.status   its exit status, written when process_tile has ended
  DIR/TILE.quality.err     with --quality: what tile_quality printed (its last
                           line the failure message)
  DIR/TILE.quality.status  with --quality: its exit status, written when it has ended
  DIR/slurm-JOB_TASK.out   Slurm's log of the task
  DIR/tiles-*.tsv   the tile list as submitted (task i = line i)
  DIR/region-JOB.tsv       the tiles handed to the region (see below)
  DIR/quality-JOB.tsv      with --quality: the tiles handed to the batch quality
  DIR/slurm-followup-JOB.out Slurm's log of the follow-up job

Once every task of the array has ended, successful or not, a follow-up job
(sbatch --dependency=afterany:ARRAY_JOB; 1 CPU, 1024 MiB) runs, of this project:

  scripts/region.sh OUTPUT_DIR LAST_YEAR DIR/region-JOB.tsv
  scripts/batch_quality.sh OUTPUT_DIR/quality TILE_ID...        (with --quality)

DIR/region-JOB.tsv lists the tiles with status 0 at that time, one "tile_id
origin_x origin_y" per line; the batch quality takes those whose quality status
is 0 too: their tables joined (batch_quality.csv), the sums per year
(batch_quality_totals.csv, batch_quality.png), and the tiles whose share of
repaired, interpolated or height-filled pixel-years is more than 3 times the
batch median (batch_quality_outliers.txt, also in the job's log). With
--unfinished the follow-up job is submitted again after the new array.

Options:
  --cpus N            CPUs per task (default 4; process_tile uses the CPUs it gets)
  --max-running N     at most N tasks at once (array throttle %N)
  --logs DIR          log directory
  --unfinished        submit only the tiles without a status of 0 in DIR, with
                      --quality also those without a quality status of 0 (resume
                      after failures, cancellations or node losses)
  --no-region         build no region mosaics in the follow-up job (without
                      --quality: submit no follow-up job)
  --quality           also run tile_quality in each task, and the batch quality
                      in the follow-up job (see above)
  --tile-quality PATH the tile_quality binary (implies --quality; default
                      tools/tile_quality beside PROCESS_TILE)
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
# (process_tile, tile_quality, region.sh, batch_quality.sh, the logs) is handed to them as an absolute argument
# when the jobs are submitted. The copy also pins the job bodies to the version
# of this file that submitted them.

# Task body: run the tile of line SLURM_ARRAY_TASK_ID of the submitted list,
# and with TILE_QUALITY and QUALITY_DIR (--quality) its quality run after a
# successful process_tile. The status files are removed first, so that a
# task that dies leaves none behind.
if [ "${1:-}" = --task ]; then
  shift
  [ $# -eq 8 ] || [ $# -eq 10 ] || { echo "slurm_array.sh --task: expected 8 or 10 arguments, got $#" >&2; exit 2; }
  tiles="$1" last_year="$2" input_dir="$3" output_dir="$4" datamask_dir="$5" wetland_dir="$6"
  process_tile="$7" logdir="$8" tile_quality="${9:-}" quality_dir="${10:-}"
  index="${SLURM_ARRAY_TASK_ID:?not running as a Slurm array task}"
  IFS=$'\t' read -r tile x y < <(sed -n "${index}p" "$tiles")
  [ -n "${tile:-}" ] || { echo "slurm_array.sh: no line $index in $tiles" >&2; exit 2; }
  echo "tile $tile ($x, $y) on $(hostname), task $index, job ${SLURM_ARRAY_JOB_ID:-?}"
  rm -f "$logdir/$tile.status" "$logdir/$tile.quality.status"
  status=0
  "$process_tile" "$tile" "$last_year" "$input_dir" "$output_dir" "$x" "$y" "$datamask_dir" "$wetland_dir" \
    > "$logdir/$tile.out" 2> "$logdir/$tile.err" || status=$?
  echo "$status" > "$logdir/$tile.status"
  cat "$logdir/$tile.out"
  echo "tile $tile: exit status $status"
  if [ "$status" -eq 0 ] && [ -n "$tile_quality" ]; then
    "$tile_quality" "$tile" "$last_year" "$input_dir" "$quality_dir" "$x" "$y" "$datamask_dir" "$wetland_dir" \
      > "$logdir/$tile.quality.err" 2>&1 || status=$?
    echo "$status" > "$logdir/$tile.quality.status"
    # Its failure message is the last line it printed.
    [ "$status" -eq 0 ] ||
      awk 'NF { line = $0 } END { if (line != "") print "tile_quality: " line }' "$logdir/$tile.quality.err"
    echo "tile $tile: tile_quality exit status $status"
  fi
  exit "$status"
fi

# Follow-up body, the job that runs once the array has ended (whatever its
# tasks' outcome). With REGION_SH: the lines of the submitted list whose tile
# has status 0 now go to LOGDIR/region-JOB.tsv ("tile_id origin_x origin_y",
# tab-separated), then
#   REGION_SH OUTPUT_DIR LAST_YEAR LOGDIR/region-JOB.tsv
# With BATCH_QUALITY_SH: those whose quality status is 0 too go to
# LOGDIR/quality-JOB.tsv, then
#   BATCH_QUALITY_SH QUALITY_DIR TILE_ID...
# An empty REGION_SH or BATCH_QUALITY_SH leaves that part out.
if [ "${1:-}" = --follow-up ]; then
  shift
  [ $# -eq 7 ] || { echo "slurm_array.sh --follow-up: expected 7 arguments, got $#" >&2; exit 2; }
  tiles="$1" last_year="$2" output_dir="$3" logdir="$4" region_sh="$5" batch_quality_sh="$6" quality_dir="$7"
  job="${SLURM_JOB_ID:-$$}"
  # The lines of the list whose tile has a status file of 0 for each suffix.
  finished() {  # finished SUFFIX...
    awk -F'\t' -v logdir="$logdir" -v suffixes="$*" '
      BEGIN { n = split(suffixes, suffix, " ") }
      { ok = 1
        for (k = 1; k <= n; k++) {
          f = logdir "/" $1 suffix[k]; s = ""
          if (!((getline s < f) > 0 && s == "0")) ok = 0
          close(f)
        }
        if (ok) print }' "$tiles"
  }
  status=0
  if [ -n "$region_sh" ]; then
    ok_tiles="$logdir/region-$job.tsv"
    finished .status > "$ok_tiles"
    count=$(wc -l < "$ok_tiles")
    echo "region: $count of $(wc -l < "$tiles") tiles finished with status 0 (listed in $ok_tiles)"
    if [ "$count" -eq 0 ]; then
      echo "region: no tile to put together"
    else
      "$region_sh" "$output_dir" "$last_year" "$ok_tiles" || status=1
    fi
  fi
  if [ -n "$batch_quality_sh" ]; then
    quality_tiles="$logdir/quality-$job.tsv"
    finished .status .quality.status > "$quality_tiles"
    count=$(wc -l < "$quality_tiles")
    echo "batch quality: $count of $(wc -l < "$tiles") tiles with quality status 0 (listed in $quality_tiles)"
    if [ "$count" -eq 0 ]; then
      echo "batch quality: no tile to take"
    else
      mapfile -t ids < <(cut -f1 "$quality_tiles")
      "$batch_quality_sh" "$quality_dir" "${ids[@]}" || status=1
    fi
  fi
  exit "$status"
fi

# shellcheck source=scripts/tile_batch_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/tile_batch_common.sh"

# What a task asks Slurm for: the tile memory rounded up to MiB plus room for
# the program, GDAL's block cache and the layer decoding pool, more than the
# program's own memory check counts besides the tile, so a task passes it.
# With the quality run (QUALITY 1) the tile's quality bytes come on top.
PROGRAM_MIB=256
task_memory_mib() {  # task_memory_mib LAST_YEAR QUALITY
  if [ "$2" -eq 1 ]; then
    echo $(( $(quality_memory_mib "$1") + PROGRAM_MIB ))
  else
    echo $(( $(tile_memory_mib "$1") + PROGRAM_MIB ))
  fi
}

cpus=4 max_running="" logdir="" unfinished=0 dry_run=0 region=1 quality=0 tile_quality=""
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --cpus) [ $# -ge 2 ] || die_usage "$1 needs a value"; cpus="$2"; shift 2 ;;
    --max-running) [ $# -ge 2 ] || die_usage "$1 needs a value"; max_running="$2"; shift 2 ;;
    --logs) [ $# -ge 2 ] || die_usage "$1 needs a value"; logdir="$2"; shift 2 ;;
    --unfinished) unfinished=1; shift ;;
    --no-region) region=0; shift ;;
    --quality) quality=1; shift ;;
    --tile-quality) [ $# -ge 2 ] || die_usage "$1 needs a value"; tile_quality="$2"; quality=1; shift 2 ;;
    --dry-run) dry_run=1; shift ;;
    --) shift; args+=("$@"); break ;;
    -?*) die_usage "unknown option $1" ;;
    *) args+=("$1"); shift ;;
  esac
done
[[ "$cpus" =~ ^[1-9][0-9]*$ ]] || die_usage "--cpus needs a positive number"
[ -z "$max_running" ] || [[ "$max_running" =~ ^[1-9][0-9]*$ ]] || die_usage "--max-running needs a positive number"

take_shared_arguments "${args[@]}"
take_quality_arguments
logdir="$(abs_path "${logdir:-$output_dir/logs}")"
[ -x "$process_tile" ] || die_usage "$process_tile is not an executable (build it first: scripts/build.sh)"
self="$(abs_path "${BASH_SOURCE[0]}")"
scripts_dir="$(cd "$(dirname "$self")" && pwd)"
region_sh="" batch_quality_sh=""
if [ "$region" -eq 1 ]; then
  region_sh="$scripts_dir/region.sh"
  [ -x "$region_sh" ] || die_usage "$region_sh is not an executable (or give --no-region)"
fi
if [ "$quality" -eq 1 ]; then
  [ -x "$tile_quality" ] || die_usage "$tile_quality is not an executable (build it: scripts/build.sh, or give --tile-quality)"
  batch_quality_sh="$scripts_dir/batch_quality.sh"
  [ -x "$batch_quality_sh" ] || die_usage "$batch_quality_sh is not an executable"
fi

mkdir -p "$output_dir" "$logdir"
[ "$quality" -eq 0 ] || mkdir -p "$quality_dir"
tiles="$(mktemp "$logdir/tiles-XXXXXX.tsv")"
clean_tile_list "$tile_list" "$tiles" || { rm -f "$tiles"; die_usage "bad tile list"; }
tile_count=$(wc -l < "$tiles")
[ "$tile_count" -gt 0 ] || { rm -f "$tiles"; die_usage "no tiles in $tile_list"; }

# Task indices: all lines, or those whose tile has no status 0 yet (with
# --quality: no status 0 or no quality status 0), written as ranges
# (1-3,5,7-9).
array="$(awk -F'\t' -v logdir="$logdir" -v only_unfinished="$unfinished" -v quality="$quality" '
  function status_ok(f,   s) {
    s = ""
    if ((getline s < f) > 0) { close(f); return s == "0" }
    return 0
  }
  function done_ok(tile) {
    return status_ok(logdir "/" tile ".status") && (!quality || status_ok(logdir "/" tile ".quality.status"))
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
  echo "$prog: every tile of $tile_list has finished with status 0$([ "$quality" -eq 0 ] || echo ", and its quality run too"); nothing to submit"
  exit 0
fi
[ -z "$max_running" ] || array="$array%$max_running"

mem_mib=$(task_memory_mib "$last_year" "$quality")

sbatch_cmd=(sbatch --job-name="process_tile_$last_year" --array="$array"
            --ntasks=1 --cpus-per-task="$cpus" --mem="${mem_mib}M"
            --output="$logdir/slurm-%A_%a.out"
            "$self" --task "$tiles" "$last_year" "$input_dir" "$output_dir"
            "$datamask_dir" "$wetland_dir" "$process_tile" "$logdir")
[ "$quality" -eq 0 ] || sbatch_cmd+=("$tile_quality" "$quality_dir")
# The follow-up job's dependency is filled in once the array's id is known.
follow_up=0 follow_up_parts=""
if [ "$region" -eq 1 ]; then follow_up=1; follow_up_parts="region"; fi
if [ "$quality" -eq 1 ]; then follow_up=1; follow_up_parts="${follow_up_parts:+$follow_up_parts, }batch quality"; fi
follow_up_cmd=(sbatch --parsable --job-name="followup_$last_year"
               --ntasks=1 --cpus-per-task=1 --mem=1024M
               --output="$logdir/slurm-followup-%j.out"
               "$self" --follow-up "$tiles" "$last_year" "$output_dir" "$logdir" "$region_sh"
               "$batch_quality_sh" "$quality_dir")

echo "$prog: $tile_count tiles in $tiles; tasks $array; ${mem_mib} MiB and $cpus CPUs each"
if [ "$dry_run" -eq 1 ]; then
  # Printed so that the lines can be pasted into bash as they are.
  if [ "$follow_up" -eq 0 ]; then
    printf '%q ' "${sbatch_cmd[@]}"; echo
  else
    printf 'jobid=$('; printf '%q ' sbatch --parsable "${sbatch_cmd[@]:1}"; echo ')'
    printf '%q ' "${follow_up_cmd[@]:0:2}"; printf -- '--dependency=afterany:"${jobid%%%%;*}" '
    printf '%q ' "${follow_up_cmd[@]:2}"; echo
  fi
  exit 0
fi
command -v sbatch >/dev/null || { echo "$prog: sbatch not found (is this a Slurm login node?)" >&2; exit 2; }
jobid="$(sbatch --parsable "${sbatch_cmd[@]:1}")"
jobid="${jobid%%;*}"   # --parsable prints "id" or "id;cluster"
echo "$prog: submitted array job $jobid (tasks $array)"
[ "$follow_up" -eq 1 ] || exit 0
follow_up_job=""
follow_up_job="$("${follow_up_cmd[@]:0:2}" --dependency=afterany:"$jobid" "${follow_up_cmd[@]:2}")" || {
  echo "$prog: the follow-up job could not be submitted; submit it by hand:" >&2
  printf '%q ' "${follow_up_cmd[@]:0:2}" --dependency=afterany:"$jobid" "${follow_up_cmd[@]:2}" >&2; echo >&2
  exit 1
}
echo "$prog: submitted follow-up job ${follow_up_job%%;*} ($follow_up_parts), to start once job $jobid has ended"
