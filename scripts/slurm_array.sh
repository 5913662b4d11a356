#!/usr/bin/env bash
# Submits a tile list to Slurm as one job array, one task per tile, and is
# itself the body of each task (sbatch runs a copy of this file with --task).
set -euo pipefail

prog="${0##*/}"
usage() {
  cat <<EOF
usage: $prog [options] TILE_LIST LAST_YEAR INPUT_DIR OUTPUT_DIR DATAMASK_DIR WETLAND_DIR [PROCESS_TILE]

Submits Slurm job arrays with one task per line of TILE_LIST ("tile_id
origin_x origin_y"; blank lines and text after # are ignored). Each task runs

  PROCESS_TILE TILE_ID LAST_YEAR INPUT_DIR OUTPUT_DIR ORIGIN_X ORIGIN_Y DATAMASK_DIR WETLAND_DIR

for its line of the list. Slurm numbers array tasks 0 to MaxArraySize - 1
(scontrol show config; 1001 by default), so a longer list goes out as several
arrays: the first runs lines 1 to MaxArraySize - 1 as tasks of the same
numbers, each further one a window of MaxArraySize lines from its first line
to run L, line L + i as task i (the offset L is an argument of the task).
PROCESS_TILE defaults to build/process_tile of this
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
  DIR/TILE.usage    its wall time (s), peak memory (KiB, "-" without GNU time
                    on the node) and host, tab-separated, for --report
  DIR/TILE.job      the array job id and task index of the tile's last task,
                    written at submission and when the task starts, for --report
  DIR/TILE.peak     GNU time's measurement while process_tile runs (left
                    behind when the task is killed)
  DIR/TILE.quality.err     with --quality: what tile_quality printed (its last
                           line the failure message)
  DIR/TILE.quality.status  with --quality: its exit status, written when it has ended
  DIR/slurm-JOB_TASK.out   Slurm's log of the task
  DIR/tiles-*.tsv   the tile list as submitted (task i of an array of offset L
                    = line L + i)
  DIR/region-JOB.tsv       the tiles handed to the region (see below)
  DIR/quality-JOB.tsv      with --quality: the tiles handed to the batch quality
  DIR/slurm-followup-JOB.out Slurm's log of the follow-up job
  DIR/report.txt    the report the follow-up job wrote (see Report)

Once every task of every array has ended, successful or not, a follow-up job
(sbatch --dependency=afterany:JOB1:JOB2...; 1 CPU, 1024 MiB) runs, of this project:

  scripts/region.sh OUTPUT_DIR LAST_YEAR DIR/region-JOB.tsv
  scripts/batch_quality.sh OUTPUT_DIR/quality TILE_ID...        (with --quality)
  scripts/slurm_array.sh --report ...  > DIR/report.txt         (see Report)

DIR/region-JOB.tsv lists the tiles with status 0 at that time, one "tile_id
origin_x origin_y" per line; the batch quality takes those whose quality status
is 0 too: their tables joined (batch_quality.csv), the sums per year
(batch_quality_totals.csv, batch_quality.png), and the tiles whose share of
repaired, interpolated or height-filled pixel-years is more than 3 times the
batch median (batch_quality_outliers.txt, also in the job's log). With
--unfinished the follow-up job is submitted again after the new arrays.

Options:
  --cpus N            CPUs per task (default 4; process_tile uses the CPUs it gets)
  --max-running N     at most N tasks at once (array throttle %N); with several
                      arrays each also waits for the one before it to end
                      (afterany), so N holds for the whole list
  --max-array-size N  plan with MaxArraySize N instead of the cluster's
  --logs DIR          log directory
  --unfinished        submit only the tiles without a status of 0 in DIR, with
                      --quality also those without a quality status of 0 (resume
                      after failures, cancellations or node losses); a tile whose
                      task (DIR/TILE.job) squeue still lists, queued or running,
                      is left out and named, so that no tile runs twice at once
  --no-region         build no region mosaics in the follow-up job
  --quality           also run tile_quality in each task, and the batch quality
                      in the follow-up job (see above)
  --tile-quality PATH the tile_quality binary (implies --quality; default
                      tools/tile_quality beside PROCESS_TILE)
  --plan              print what the run will cost, submit nothing: tiles, memory
                      per task, tasks at once on a node like this machine (its
                      CPUs over --cpus, its available memory over the request),
                      products' and existing inputs' bytes, node-hours
  --report            print a table of the list's tiles (state, exit status, wall
                      time, peak memory, host) and a summary, submit nothing;
                      with --quality a tile is done once its quality status is
                      0 too (see Report below)
  --dry-run           print the sbatch commands instead of submitting them, each
                      array's followed by the call that names its tasks in the
                      tiles' job files, as a submission does
  -h, --help          this text

Report. The exit status is the tile's status file. Where the cluster keeps
job accounting (AccountingStorageType not accounting_storage/none, sacct
present), the rest comes from Slurm's own record of the tile's last task
(DIR/TILE.job): the node, the job state, shown as slurm_state, and for wall
time and peak memory the larger of sacct's figure (the whole task, in whole
seconds; MaxRSS, sampled) and the task's own (process_tile alone). A tile
whose task ended without a status file (cancelled, timed out, killed for
memory, its node lost) is then failed, one still queued or running
"running". Without accounting, or where sacct fails (said on standard
error), the figures are the task's own, from DIR/TILE.usage. The follow-up
job writes the report to DIR/report.txt.

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
  [ $# -eq 9 ] || [ $# -eq 11 ] || { echo "slurm_array.sh --task: expected 9 or 11 arguments, got $#" >&2; exit 2; }
  offset="$1"; shift
  tiles="$1" last_year="$2" input_dir="$3" output_dir="$4" datamask_dir="$5" wetland_dir="$6"
  process_tile="$7" logdir="$8" tile_quality="${9:-}" quality_dir="${10:-}"
  index="${SLURM_ARRAY_TASK_ID:?not running as a Slurm array task}"
  line=$(( offset + index ))
  IFS=$'\t' read -r tile x y < <(sed -n "${line}p" "$tiles")
  [ -n "${tile:-}" ] || { echo "slurm_array.sh: no line $line in $tiles" >&2; exit 2; }
  echo "tile $tile ($x, $y) on $(hostname), line $line, task $index, job ${SLURM_ARRAY_JOB_ID:-?}"
  rm -f "$logdir/$tile.status" "$logdir/$tile.quality.status" "$logdir/$tile.usage"
  # Which task runs the tile, for the report to find Slurm's record of it even
  # when the task is killed before it can write anything else. The submitter
  # wrote the same when it submitted; commands pasted from --dry-run did not.
  printf '%s\t%s\n' "${SLURM_ARRAY_JOB_ID:-}" "$index" > "$logdir/$tile.job"
  # The run's own measurement for --report: wall time, and its peak memory
  # (maximum resident set, KiB) where GNU time is installed.
  timer=() peak_file="$logdir/$tile.peak"
  rm -f "$peak_file"
  [ ! -x /usr/bin/time ] || timer=(/usr/bin/time -f %M -o "$peak_file")
  started=$(date +%s%N)
  status=0
  "${timer[@]}" "$process_tile" "$tile" "$last_year" "$input_dir" "$output_dir" "$x" "$y" "$datamask_dir" "$wetland_dir" \
    > "$logdir/$tile.out" 2> "$logdir/$tile.err" || status=$?
  ended=$(date +%s%N)
  peak=-
  [ ! -s "$peak_file" ] || peak="$(awk '/^[0-9]+$/ { k = $1 } END { print (k == "" ? "-" : k) }' "$peak_file")"
  rm -f "$peak_file"
  printf '%s\t%s\t%s\n' "$(awk -v n=$(( ended - started )) 'BEGIN { printf "%.2f", n / 1e9 }')" "$peak" \
    "$(hostname)" > "$logdir/$tile.usage"
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
# An empty REGION_SH or BATCH_QUALITY_SH leaves that part out. Last, the
# command after "--" (this script's --report of the submitted list) writes
# LOGDIR/report.txt.
if [ "${1:-}" = --follow-up ]; then
  shift
  [ $# -ge 9 ] && [ "$8" = -- ] ||
    { echo "slurm_array.sh --follow-up: expected 7 arguments, -- and the report command" >&2; exit 2; }
  tiles="$1" last_year="$2" output_dir="$3" logdir="$4" region_sh="$5" batch_quality_sh="$6" quality_dir="$7"
  shift 8
  report_cmd=("$@")
  job="${SLURM_JOB_ID:-$$}"
  # The lines of the list whose tile has a status file of 0 for each suffix.
  finished() {  # finished SUFFIX...
    LOGDIR="$logdir" awk -F'\t' -v suffixes="$*" '
      BEGIN { logdir = ENVIRON["LOGDIR"]; n = split(suffixes, suffix, " ") }
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
  # Written beside under this job's own name, then renamed: a follow-up job of
  # a resubmission may write its report at the same time.
  if "${report_cmd[@]}" > "$logdir/report.txt.$job.part"; then
    mv -f "$logdir/report.txt.$job.part" "$logdir/report.txt"
    awk '/^summary/' "$logdir/report.txt"
    echo "report: per-tile times, memory and hosts in $logdir/report.txt (again with --report)"
  else
    rm -f "$logdir/report.txt.$job.part"
    echo "report: could not be written"
    status=1
  fi
  exit "$status"
fi

# Each tile's job file names the array task that is to run it (TILE.job:
# "ARRAY<TAB>INDEX"), from submission on, so that the report finds Slurm's
# record of it while it waits and if it is cancelled before it starts. One
# awk pass over the list per array. Also a mode of its own, for the commands
# --dry-run prints:
#   slurm_array.sh --record-tasks LOGDIR TILES ARRAY_JOB_ID OFFSET INDICES
record_tasks() {  # record_tasks ARRAY_JOB_ID OFFSET INDICES (ranges, 1-3,5): uses logdir, tiles
  LOGDIR="$logdir" awk -F'\t' -v array="$1" -v offset="$2" -v indices="$3" '
    BEGIN {
      logdir = ENVIRON["LOGDIR"]
      m = split(indices, range, ",")
      for (k = 1; k <= m; k++) {
        lo = range[k]; hi = lo
        if ((dash = index(lo, "-")) > 0) { hi = substr(lo, dash + 1); lo = substr(lo, 1, dash - 1) }
        for (t = lo + 0; t <= hi + 0; t++) wanted[offset + t] = t
      }
    }
    NR in wanted { f = logdir "/" $1 ".job"; print array "\t" wanted[NR] > f; close(f) }' "$tiles"
}
if [ "${1:-}" = --record-tasks ]; then
  shift
  [ $# -eq 5 ] && [ -d "$1" ] && [ -f "$2" ] && [[ "$3" =~ ^[0-9]+$ ]] && [[ "$4" =~ ^[0-9]+$ ]] &&
    [[ "$5" =~ ^[0-9]+(-[0-9]+)?(,[0-9]+(-[0-9]+)?)*$ ]] ||
    { echo "slurm_array.sh --record-tasks: expected LOGDIR TILES ARRAY_JOB_ID OFFSET INDICES" >&2; exit 2; }
  logdir="$1" tiles="$2"
  record_tasks "$3" "$4" "$5"
  exit
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

# Slurm's record of every task of the arrays listed in file $1 (one id per
# line), "JobID|State|ExitCode|ElapsedRaw|MaxRSS|NodeList" per job and per
# step, MaxRSS in bytes; asked a hundred arrays at a time, each call given
# five minutes, so that an unanswering slurmdbd ends the report instead of
# hanging it. Tasks not yet started (or cancelled before they started) are
# one record per array, ARRAY_[1-3,7%N]; SLURM_BITSTR_LEN=0 has that range
# printed whole, however long.
sacct_records() {  # sacct_records ARRAY_IDS_FILE
  local ids=() i
  mapfile -t ids < "$1"
  for ((i = 0; i < ${#ids[@]}; i += 100)); do
    SLURM_BITSTR_LEN=0 timeout 300 sacct --noheader --parsable2 --noconvert \
      --jobs="$(IFS=,; echo "${ids[*]:i:100}")" --format=JobID,State,ExitCode,ElapsedRaw,MaxRSS,NodeList || return 1
  done
}

# The report's rows (file $2, the tile's array task ARRAY_INDEX in the seventh
# field) with Slurm's record (file $1, from sacct_records) where it has that
# task: its node, its state as the seventh field, and for wall time and peak
# memory the larger of Slurm's figure and the task's own. Slurm times the
# whole task but in whole seconds, and samples memory (a task shorter than
# the sampling interval may show none); the task's own figures are exact but
# of process_tile alone, and missing when the task was killed. The larger is
# nearer to what the task cost. A tile whose task is queued or running is
# running, whatever an earlier task left; one whose task has ended without a
# status file is failed.
merge_sacct_records() {  # merge_sacct_records SACCT ROWS
  awk -F'\t' -v OFS='\t' '
    FILENAME == ARGV[1] {
      n = split($0, r, "|"); if (n < 6) next
      if ((dot = index(r[1], ".")) > 0) {
        id = substr(r[1], 1, dot - 1)
        if (r[5] ~ /^[0-9]+$/ && r[5] / 1024 > rss[id]) rss[id] = r[5] / 1024
        next
      }
      split(r[2], st, " ")
      if (r[1] ~ /^[0-9]+_[0-9]+$/) { record(r[1], st[1], r[4], r[6]); own[r[1]] = 1; next }
      # ARRAY_[ranges%throttle]: every task of the ranges that has no record
      # of its own (the range can lag behind a task that has just started)
      if (r[1] !~ /^[0-9]+_\[[0-9,:-]+(%[0-9]+)?\]$/) next
      array = substr(r[1], 1, index(r[1], "_") - 1)
      ranges = substr(r[1], index(r[1], "[") + 1); sub(/(%[0-9]+)?\]$/, "", ranges)
      m = split(ranges, range, ",")
      # each range lo, lo-hi or lo-hi:step (Slurm writes evenly spaced tasks so)
      for (k = 1; k <= m; k++) {
        lo = range[k]; step = 1
        if ((colon = index(lo, ":")) > 0) { step = substr(lo, colon + 1) + 0; lo = substr(lo, 1, colon - 1) }
        hi = lo
        if ((dash = index(lo, "-")) > 0) { hi = substr(lo, dash + 1); lo = substr(lo, 1, dash - 1) }
        # Slurm numbers no task past 4000000 (the most MaxArraySize can be)
        if (step < 1) step = 1
        if (hi + 0 > 4000000) hi = 4000000
        for (t = lo + 0; t <= hi + 0; t += step) if (!((array "_" t) in own)) record(array "_" t, st[1], r[4], r[6])
      }
      next
    }
    function record(task, s, elapsed_s, nodes) { state[task] = s; elapsed[task] = elapsed_s; node[task] = nodes }
    {
      j = $7; $7 = ""
      if (j != "" && (j in state)) {
        s = state[j]; $7 = s
        # A task that never had a node never ran: its elapsed 0 is no time.
        placed = node[j] != "" && node[j] != "None assigned"
        if (s ~ /^(PENDING|RUNNING|REQUEUED|RESIZING|SUSPENDED|CONFIGURING|COMPLETING|SIGNALING|STAGE_OUT)$/) {
          # The task now queued or running: what an earlier task measured is
          # not its own.
          $2 = "running"; $3 = $4 = $5 = $6 = "-"
        } else if ($3 == "-") $2 = "failed"
        if (placed && elapsed[j] ~ /^[0-9]+$/ && ($4 == "-" || elapsed[j] > $4 + 0)) $4 = elapsed[j]
        if (rss[j] > 0 && ($5 == "-" || rss[j] > $5 + 0)) $5 = sprintf("%.0f", rss[j])
        if (placed) $6 = node[j]
      }
      print
    }' "$1" "$2"
}

cpus=4 max_running="" max_array_size="" logdir="" unfinished=0 dry_run=0 plan=0 report=0 region=1 quality=0 tile_quality=""
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --cpus) [ $# -ge 2 ] || die_usage "$1 needs a value"; cpus="$2"; shift 2 ;;
    --max-running) [ $# -ge 2 ] || die_usage "$1 needs a value"; max_running="$2"; shift 2 ;;
    --max-array-size) [ $# -ge 2 ] || die_usage "$1 needs a value"; max_array_size="$2"; shift 2 ;;
    --logs) [ $# -ge 2 ] || die_usage "$1 needs a value"; logdir="$2"; shift 2 ;;
    --unfinished) unfinished=1; shift ;;
    --no-region) region=0; shift ;;
    --quality) quality=1; shift ;;
    --tile-quality) [ $# -ge 2 ] || die_usage "$1 needs a value"; tile_quality="$2"; quality=1; shift 2 ;;
    --dry-run) dry_run=1; shift ;;
    --plan) plan=1; shift ;;
    --report) report=1; shift ;;
    --) shift; args+=("$@"); break ;;
    -?*) die_usage "unknown option $1" ;;
    *) args+=("$1"); shift ;;
  esac
done
[[ "$cpus" =~ ^[1-9][0-9]*$ ]] || die_usage "--cpus needs a positive number"
[ -z "$max_running" ] || [[ "$max_running" =~ ^[1-9][0-9]*$ ]] || die_usage "--max-running needs a positive number"
# The cluster's configuration, where this is a Slurm node and its controller
# answers within a minute: for MaxArraySize and, for the report, whether the
# cluster keeps job accounting.
config=""
if [ -z "$max_array_size" ] || [ "$report" -eq 1 ]; then
  config="$(timeout 60 scontrol show config 2>/dev/null || true)"
fi
# MaxArraySize (array indices 0 to MaxArraySize - 1); Slurm's default 1001
# where scontrol cannot tell.
if [ -z "$max_array_size" ]; then
  max_array_size="$(awk '$1 == "MaxArraySize" && $2 == "=" { print $3 }' <<< "$config")"
  [ -n "$max_array_size" ] || max_array_size=1001
fi
[[ "$max_array_size" =~ ^[0-9]+$ ]] && [ "$max_array_size" -ge 2 ] ||
  die_usage "MaxArraySize must be a number of at least 2, not '$max_array_size'"

take_shared_arguments "${args[@]}"
take_quality_arguments
logdir="$(abs_path "${logdir:-$output_dir/logs}")"
# The programs and scripts are checked only where a run is submitted: a plan
# or a report runs none of them, and a report of a past run still works once
# they have moved.
submitting=1
[ "$plan" -eq 0 ] && [ "$report" -eq 0 ] || submitting=0
[ "$submitting" -eq 0 ] || [ -x "$process_tile" ] ||
  die_usage "$process_tile is not an executable (build it first: scripts/build.sh)"
self="$(abs_path "${BASH_SOURCE[0]}")"
scripts_dir="$(cd "$(dirname "$self")" && pwd)"
region_sh="" batch_quality_sh=""
if [ "$region" -eq 1 ]; then
  region_sh="$scripts_dir/region.sh"
  [ "$submitting" -eq 0 ] || [ -x "$region_sh" ] || die_usage "$region_sh is not an executable (or give --no-region)"
fi
if [ "$quality" -eq 1 ]; then
  [ "$submitting" -eq 0 ] || [ -x "$tile_quality" ] ||
    die_usage "$tile_quality is not an executable (build it: scripts/build.sh, or give --tile-quality)"
  batch_quality_sh="$scripts_dir/batch_quality.sh"
  [ "$submitting" -eq 0 ] || [ -x "$batch_quality_sh" ] || die_usage "$batch_quality_sh is not an executable"
fi

mem_mib=$(task_memory_mib "$last_year" "$quality")
if [ "$plan" -eq 1 ]; then
  tiles="$(mktemp)"
  trap 'rm -f "$tiles"' EXIT
  clean_tile_list "$tile_list" "$tiles" || die_usage "bad tile list"
  avail_bytes=$(( $(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo) * 1024 ))
  slots=$(( $(nproc) / cpus )); [ "$slots" -ge 1 ] || slots=1
  print_plan "$tiles" "$last_year" "$input_dir" $(( mem_mib * 1048576 )) \
    "$(jobs_for_memory "$avail_bytes" $(( mem_mib * 1048576 )) "$slots")" \
    "a node like this one: $(nproc) CPUs over --cpus $cpus, $avail_bytes bytes available over ${mem_mib} MiB a task"
  exit 0
fi

if [ "$report" -eq 1 ]; then
  [ -d "$logdir" ] || { echo "$prog: no log directory $logdir: nothing of this list was submitted there" >&2; exit 1; }
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  clean_tile_list "$tile_list" "$work/tiles.tsv" || die_usage "bad tile list"
  # One awk pass over the list and its status, usage and job files: the rows
  # of print_report with, as a seventh field, the tile's array task
  # (ARRAY_INDEX), and the ids of the arrays. With --quality a tile whose
  # quality run has not ended with 0 counts as failed (its exit status that of
  # tile_quality), or not run without one. What does not read as a number
  # (or a host name) where one belongs shows as "-" or "?", and is counted.
  LOGDIR="$logdir" awk -F'\t' -v quality="$quality" -v arrays="$work/arrays.txt" -v bad_file="$work/unreadable" '
    function first_line(f,   s) { s = ""; if ((getline s < f) <= 0) s = ""; close(f); return s }
    function status(f,   s) {
      s = first_line(f)
      if (s == "" || s ~ /^[0-9]+$/) return s
      bad++; return "?"
    }
    function unknown() { bad++; return "-" }
    BEGIN { logdir = ENVIRON["LOGDIR"] }
    { st = status(logdir "/" $1 ".status")
      if (quality && st == "0") st = status(logdir "/" $1 ".quality.status")
      wall = peak = host = "-"
      u = first_line(logdir "/" $1 ".usage")
      if (u != "") {
        n = split(u, f, "\t")
        if (n != 3) bad++
        else {
          wall = f[1] ~ /^[0-9]+([.][0-9]+)?$/ ? f[1] : unknown()
          peak = f[2] ~ /^([0-9]+|-)$/ ? f[2] : unknown()
          host = f[3] ~ /^[A-Za-z0-9][A-Za-z0-9._-]*$/ ? f[3] : unknown()
        }
      }
      task = ""
      j = first_line(logdir "/" $1 ".job")
      if (j != "") {
        if (split(j, job, "\t") == 2 && job[1] ~ /^[0-9]+$/ && job[2] ~ /^[0-9]+$/) {
          task = job[1] "_" job[2]
          if (!(job[1] in seen)) { seen[job[1]] = 1; print job[1] > arrays }
        } else bad++
      }
      state = st == "" ? "not run" : (st == "0" ? "done" : "failed")
      print $1 "\t" state "\t" (st == "" ? "-" : st) "\t" wall "\t" peak "\t" host "\t" task }
    END { close(arrays); print bad + 0 > bad_file }' "$work/tiles.tsv" > "$work/rows.tsv"
  : >> "$work/arrays.txt"
  unreadable="$(cat "$work/unreadable")"
  [ "$unreadable" -eq 0 ] ||
    echo "$prog: $unreadable log file(s) in $logdir did not read as the task writes them; shown as - or ?" >&2
  # Where the cluster keeps accounting, Slurm's record of each tile's task.
  accounting="$(awk '$1 == "AccountingStorageType" && $2 == "=" { print $3 }' <<< "$config")"
  why=""
  if [ -z "$config" ]; then
    why="scontrol show config did not answer, so whether the cluster keeps job accounting is not known"
  elif [ -z "$accounting" ] || [ "$accounting" = accounting_storage/none ]; then
    why="the cluster keeps no job accounting"
  elif ! command -v sacct > /dev/null; then
    why="sacct is not installed here"
  elif ! sacct_records "$work/arrays.txt" > "$work/sacct.txt" 2> "$work/sacct.err"; then
    why="sacct failed: $(awk 'NF { l = $0 } END { print l }' "$work/sacct.err")"
    echo "$prog: $why; the figures are the tasks' own measurement" >&2
  fi
  if [ -z "$why" ]; then
    merge_sacct_records "$work/sacct.txt" "$work/rows.tsv" > "$work/report.tsv"
    print_report "$work/report.tsv" \
      "Slurm's accounting (sacct) of each tile's last task; exit status from $logdir/TILE.status"
  else
    cut -f1-6 "$work/rows.tsv" > "$work/report.tsv"   # the task ids stay out of the table
    print_report "$work/report.tsv" "the tasks' own measurement ($logdir/TILE.usage): $why"
  fi
  exit 0
fi

mkdir -p "$output_dir" "$logdir"
[ "$quality" -eq 0 ] || mkdir -p "$quality_dir"
tiles="$(mktemp "$logdir/tiles-XXXXXX.tsv")"
clean_tile_list "$tile_list" "$tiles" || { rm -f "$tiles"; die_usage "bad tile list"; }
tile_count=$(wc -l < "$tiles")
[ "$tile_count" -gt 0 ] || { rm -f "$tiles"; die_usage "no tiles in $tile_list"; }

# The lines to run: all, or those whose tile has no status 0 yet (with
# --quality: no status 0 or no quality status 0), in one awk pass over the
# list and its status files. Slurm accepts array indices from 0 to
# MaxArraySize - 1, so the lines go out in windows, each an array whose task i
# runs line OFFSET + i of the list: the first window takes lines 1 to
# MaxArraySize - 1 with offset 0 (task i is line i), every later one starts at
# its first line to run (offset that line, task 0) and spans MaxArraySize lines.
# One line per array: "offset<TAB>indices<TAB>tasks<TAB>first line<TAB>last line",
# indices as ranges (1-3,5,7-9).
# With --unfinished a tile whose task (TILE.job) squeue still lists, queued or
# running, is left out: a second task would run the tile beside it.
active="$(mktemp)" left_out="$(mktemp)"
trap 'rm -f "$active" "$left_out"' EXIT
if [ "$unfinished" -eq 1 ] && command -v squeue > /dev/null; then
  if ! timeout 60 squeue -h -r -o %i > "$active" 2> "$left_out"; then
    why="squeue failed: $(awk 'NF { l = $0 } END { print l }' "$left_out")"
    [ "$dry_run" -eq 1 ] ||
      { rm -f "$tiles"; echo "$prog: cannot tell which tiles' tasks are still queued or running ($why)" >&2; exit 1; }
    echo "$prog: cannot tell which tiles' tasks are still queued or running ($why); the commands below may run such a tile a second time" >&2
    : > "$active"
  fi
fi
: > "$left_out"
arrays="$(LOGDIR="$logdir" ACTIVE="$active" LEFT_OUT="$left_out" awk -F'\t' -v only_unfinished="$unfinished" \
              -v quality="$quality" -v max_size="$max_array_size" '
  function status_ok(f,   s) {
    s = ""
    if ((getline s < f) > 0) { close(f); return s == "0" }
    close(f)
    return 0
  }
  function done_ok(tile) {
    return status_ok(logdir "/" tile ".status") && (!quality || status_ok(logdir "/" tile ".quality.status"))
  }
  function flush_range() {
    if (start != "") ranges = ranges (ranges == "" ? "" : ",") (start == prev ? start : start "-" prev)
    start = ""
  }
  function flush_array() {
    flush_range()
    if (ranges != "") print offset "\t" ranges "\t" tasks "\t" first "\t" last
    ranges = ""; tasks = 0
  }
  function still_active(tile,   f, j, job) {
    f = logdir "/" tile ".job"; j = ""
    if ((getline j < f) <= 0) j = ""
    close(f)
    return split(j, job, "\t") == 2 && ((job[1] "_" job[2]) in active)
  }
  BEGIN {
    offset = -1; logdir = ENVIRON["LOGDIR"]
    while ((getline task < ENVIRON["ACTIVE"]) > 0) active[task] = 1
  }
  {
    if (only_unfinished && done_ok($1)) next
    if (only_unfinished && still_active($1)) { print $1 > ENVIRON["LEFT_OUT"]; next }
    if (offset < 0 || NR - offset > max_size - 1) {
      flush_array()
      offset = (offset < 0 && NR <= max_size - 1) ? 0 : NR
      first = NR
    }
    i = NR - offset
    tasks++; last = NR
    if (start != "" && i == prev + 1) { prev = i; next }
    flush_range(); start = i; prev = i
  }
  END { flush_array() }' "$tiles")"
if [ -s "$left_out" ]; then
  echo "$prog: $(wc -l < "$left_out") unfinished tile(s) left out, their tasks still queued or running: $(head -c 300 "$left_out" | tr '\n' ' ')"
fi
if [ -z "$arrays" ]; then
  rm -f "$tiles"
  if [ -s "$left_out" ]; then
    echo "$prog: nothing to submit"
  else
    echo "$prog: every tile of $tile_list has finished with status 0$([ "$quality" -eq 0 ] || echo ", and its quality run too"); nothing to submit"
  fi
  exit 0
fi
mapfile -t array_lines <<< "$arrays"
array_count="${#array_lines[@]}"
to_run=0
for a in "${array_lines[@]}"; do IFS=$'\t' read -r _ _ n _ _ <<< "$a"; to_run=$((to_run + n)); done

# The sbatch command of array k (0-based): its indices, the throttle, and the
# body with the array's offset.
array_cmd() {  # array_cmd K: into cmd
  local offset indices
  IFS=$'\t' read -r offset indices _ _ _ <<< "${array_lines[$1]}"
  [ -z "$max_running" ] || indices="$indices%$max_running"
  cmd=(sbatch --job-name="process_tile_$last_year" --array="$indices"
       --ntasks=1 --cpus-per-task="$cpus" --mem="${mem_mib}M"
       --output="$logdir/slurm-%A_%a.out"
       "$self" --task "$offset" "$tiles" "$last_year" "$input_dir" "$output_dir"
       "$datamask_dir" "$wetland_dir" "$process_tile" "$logdir")
  [ "$quality" -eq 0 ] || cmd+=("$tile_quality" "$quality_dir")
}
# With --max-running and several arrays, each array waits for the one before
# it to end (afterany) and is throttled to %N itself, so at most N tasks of
# the whole list run at once whatever N is; the cost is, at each change of
# array, the tail of the ending array (its last tasks) running below N.
chained=0
[ -z "$max_running" ] || [ "$array_count" -eq 1 ] || chained=1

# The follow-up job's dependency is filled in once the arrays' ids are known.
# Its report is this script's --report of the whole submitted list.
follow_up_parts=""
[ "$region" -eq 0 ] || follow_up_parts="region, "
[ "$quality" -eq 0 ] || follow_up_parts="${follow_up_parts}batch quality, "
follow_up_parts="${follow_up_parts}report"
report_cmd=(bash "$self" --report --logs "$logdir")
[ "$quality" -eq 0 ] || report_cmd+=(--tile-quality "$tile_quality")
report_cmd+=("$tiles" "$last_year" "$input_dir" "$output_dir" "$datamask_dir" "$wetland_dir" "$process_tile")
follow_up_cmd=(sbatch --parsable --job-name="followup_$last_year"
               --ntasks=1 --cpus-per-task=1 --mem=1024M
               --output="$logdir/slurm-followup-%j.out"
               "$self" --follow-up "$tiles" "$last_year" "$output_dir" "$logdir" "$region_sh"
               "$batch_quality_sh" "$quality_dir" -- "${report_cmd[@]}")

if [ "$array_count" -eq 1 ]; then
  IFS=$'\t' read -r _ indices _ _ _ <<< "${array_lines[0]}"
  echo "$prog: $tile_count tiles in $tiles; tasks $indices$([ -z "$max_running" ] || echo "%$max_running"); ${mem_mib} MiB and $cpus CPUs each"
else
  echo "$prog: $tile_count tiles in $tiles; $to_run tasks in $array_count arrays (MaxArraySize $max_array_size$([ "$chained" -eq 0 ] || echo ", each after the one before, %$max_running each")); ${mem_mib} MiB and $cpus CPUs each"
fi
if [ "$dry_run" -eq 1 ]; then
  # Printed so that the lines can be pasted into bash as they are.
  [ "$array_count" -eq 1 ] || echo 'jobids='
  for ((k = 0; k < array_count; k++)); do
    array_cmd "$k"
    printf 'jobid=$('; printf '%q ' sbatch --parsable
    [ "$chained" -eq 0 ] || [ "$k" -eq 0 ] || printf -- '--dependency=afterany:"${jobid%%%%;*}" '
    printf '%q ' "${cmd[@]:1}"; echo ')'
    IFS=$'\t' read -r offset indices _ _ _ <<< "${array_lines[$k]}"
    printf '%q ' bash "$self" --record-tasks "$logdir" "$tiles"; printf '"${jobid%%%%;*}" %q %q\n' "$offset" "$indices"
    [ "$array_count" -eq 1 ] || echo 'jobids="$jobids:${jobid%%;*}"'
  done
  printf '%q ' "${follow_up_cmd[@]:0:2}"
  if [ "$array_count" -eq 1 ]; then
    printf -- '--dependency=afterany:"${jobid%%%%;*}" '
  else
    printf -- '--dependency=afterany"$jobids" '
  fi
  printf '%q ' "${follow_up_cmd[@]:2}"; echo
  exit 0
fi
command -v sbatch >/dev/null || { echo "$prog: sbatch not found (is this a Slurm login node?)" >&2; exit 2; }
jobids=()
for ((k = 0; k < array_count; k++)); do
  array_cmd "$k"
  dependency=()
  [ "$chained" -eq 0 ] || [ "$k" -eq 0 ] || dependency=(--dependency=afterany:"${jobids[$((k - 1))]}")
  jobid="$(sbatch --parsable "${dependency[@]}" "${cmd[@]:1}")"
  jobid="${jobid%%;*}"   # --parsable prints "id" or "id;cluster"
  jobids+=("$jobid")
  IFS=$'\t' read -r offset indices n first last <<< "${array_lines[$k]}"
  record_tasks "$jobid" "$offset" "$indices"
  if [ "$array_count" -eq 1 ]; then
    echo "$prog: submitted array job $jobid (tasks $indices)"
  else
    echo "$prog: submitted array job $jobid (tasks $indices, lines $first-$last, offset $offset: $n tiles)"
  fi
done
after="afterany:$(IFS=:; echo "${jobids[*]}")"
follow_up_job=""
follow_up_job="$("${follow_up_cmd[@]:0:2}" --dependency="$after" "${follow_up_cmd[@]:2}")" || {
  echo "$prog: the follow-up job could not be submitted; submit it by hand:" >&2
  printf '%q ' "${follow_up_cmd[@]:0:2}" --dependency="$after" "${follow_up_cmd[@]:2}" >&2; echo >&2
  exit 1
}
echo "$prog: submitted follow-up job ${follow_up_job%%;*} ($follow_up_parts), to start once job$([ "$array_count" -eq 1 ] || echo s) ${jobids[*]} ha$([ "$array_count" -eq 1 ] && echo s || echo ve) ended"
