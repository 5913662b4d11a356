#!/usr/bin/env bash
# Runs process_tile on every tile of a tile list with GNU parallel: jobs
# limited by cores and memory, a job log, retries, resume after an
# interruption, per-tile logs, optional ssh hosts, optionally tile_quality
# after each tile and the quality of the whole batch. See --help.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
prog="${0##*/}"

usage() {
  cat <<EOF
usage: $prog [options] TILE_LIST LAST_YEAR INPUT_DIR OUTPUT_DIR DATAMASK_DIR WETLAND_DIR [PROCESS_TILE]

Runs one process_tile per line of TILE_LIST ("tile_id origin_x origin_y"; blank
lines and text after # are ignored) with GNU parallel:

  PROCESS_TILE TILE_ID LAST_YEAR INPUT_DIR OUTPUT_DIR ORIGIN_X ORIGIN_Y DATAMASK_DIR WETLAND_DIR

PROCESS_TILE defaults to $root/build/process_tile.
OUTPUT_DIR is created if missing. Relative paths are made absolute.

Jobs. One tile holds its six year cubes and two masks in memory
($(tile_memory_mib 2000) MiB for 2000, $(tile_memory_mib 2020) MiB for 2020). Unless --jobs is given, at most
  min(cores, floor((MemAvailable - tile/2) / tile))   (at least 1)
tiles run at once, and parallel's --memfree starts a tile only while that much
memory is free (parallel stops the youngest tile and queues it again if free
memory drops below half a tile, hence the half-tile reserve above). When
several tiles run locally, each is pinned with taskset to its share of the
CPUs (process_tile uses as many threads as it has CPUs).

Options:
  -j, --jobs N           tiles at once (on every host, with ssh logins)
  --joblog FILE          parallel's job log (default OUTPUT_DIR/batch.joblog)
  --logs DIR             per-tile logs (default OUTPUT_DIR/logs): DIR/TILE.out holds
                         what process_tile printed on standard output (the one-line
                         failure message), DIR/TILE.out.err its standard error
  --retries N            tries per tile, as parallel's --retries (default 1)
  --resume               rerun only the tiles that failed or never ran, as recorded
                         in the job log (parallel --resume-failed); same list and log
  --fresh                discard an existing job log and run every tile
  --memfree SIZE         parallel's --memfree (default: one tile; 0 turns it off)
  --mem-available SIZE   plan with SIZE instead of MemAvailable (SIZE: bytes or
                         with K, M, G, T suffix, binary)
  --no-pin               do not pin tiles to CPUs
  --no-region            do not build the region mosaics and pictures at the end
  --quality              also run tile_quality on each tile whose process_tile run
                         succeeded, into OUTPUT_DIR/quality (see Quality below)
  --tile-quality PATH    the tile_quality binary (implies --quality; default
                         tools/tile_quality beside PROCESS_TILE)
  -S, --sshlogin LOGINS  run on these hosts (parallel -S, e.g. "2/node1,node2,:")
  --sshloginfile FILE    hosts from a file (parallel --sshloginfile): one login per
                         line, "N/host" for N tiles at once there, ":" for this host
  --plan                 print what the run will cost, run nothing: tiles, memory
                         per tile, tiles at once on this machine (as computed
                         above), products' and existing inputs' bytes, node-hours
  --report               print the table of the last run (the job log) and its
                         summary, run nothing (see Report below)
  --dry-run              print the plan and the parallel command, run nothing (it
                         writes the tile list the command reads, so the command
                         can be run as printed)
  -h, --help             this text

With ssh logins every host needs the process_tile binary at the same path and
the input, mask and output directories on shared storage under the same paths.
A login "N/host" runs N tiles at once on that host (parallel takes N as its CPU
count and runs 100% of it); a login without N runs 1, and ":" (this machine)
the count computed above. Choose N by the host's memory. --memfree is off
unless given, because parallel measures only this machine's memory. Logs and
the job log are collected on this machine.

The region. When the batch ends, scripts/region.sh mosaics the tiles that
succeeded: OUTPUT_DIR/region/P_YEAR.vrt for every product P and year, and
OUTPUT_DIR/region/P_LAST_YEAR.png, a picture of each last-year mosaic.

Quality. With --quality the job of a tile runs, once process_tile has succeeded,

  TILE_QUALITY TILE_ID LAST_YEAR INPUT_DIR OUTPUT_DIR/quality ORIGIN_X ORIGIN_Y DATAMASK_DIR WETLAND_DIR

which writes QA_<year>_TILE_ID.tif, TILE_ID_quality.csv and TILE_ID_quality.png
there. A tile whose tile_quality fails counts as failed: the first line of its
log is "tile_quality: " and the program's message, and its products stay and
go into the region. A job then holds the tile and one quality byte per pixel
and year ($(quality_memory_mib 2000) MiB for 2000, $(quality_memory_mib 2020) MiB for 2020), which the job count and
--memfree are planned with. When the batch ends, scripts/batch_quality.sh
takes the tiles whose quality run succeeded: OUTPUT_DIR/quality/batch_quality.csv
(their tables, joined), batch_quality_totals.csv and batch_quality.png (the
sums per year), and the tiles whose share of repaired, interpolated or
height-filled pixel-years is more than 3 times the batch median (printed, and
kept in batch_quality_outliers.txt). A tile has finished, for --resume, once
both programs succeeded on it; --resume reruns both on the others. A job log
written without --quality cannot be resumed with it (use --fresh).

Report. At the end of a batch LOGS/report.txt gets one line per tile (state,
exit status, wall time and host from the job log, peak memory from GNU time
around each local job, in LOGS/TILE.peak; "-" where not known, e.g. on ssh
hosts) and a summary (done, failed, not run, total and median time, slowest
tiles, largest memory), whose summary lines are also printed; --report prints
it again from the job log.

Exit status: 0 when every tile succeeded (with --quality: both programs, and
the batch quality was written), 1 when a tile failed or did not run, 2 on a
usage error.
EOF
}

# shellcheck source=scripts/tile_batch_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/tile_batch_common.sh"

# SIZE with an optional binary suffix, to bytes.
to_bytes() {
  local s="$1" n unit
  [[ "$s" =~ ^([0-9]+)([KkMmGgTt]?)$ ]] || return 1
  n="${BASH_REMATCH[1]}"; unit="${BASH_REMATCH[2]}"
  case "$unit" in
    K|k) n=$((n * 1024)) ;;
    M|m) n=$((n * 1024 ** 2)) ;;
    G|g) n=$((n * 1024 ** 3)) ;;
    T|t) n=$((n * 1024 ** 4)) ;;
  esac
  echo "$n"
}

jobs="" joblog="" logdir="" retries=1 resume=0 fresh=0 memfree="" mem_available=""
pin=1 dry_run=0 plan=0 report=0 region=1 quality=0 tile_quality=""
logins=()
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    -j|--jobs) [ $# -ge 2 ] || die_usage "$1 needs a value"; jobs="$2"; shift 2 ;;
    --joblog) [ $# -ge 2 ] || die_usage "$1 needs a value"; joblog="$2"; shift 2 ;;
    --logs) [ $# -ge 2 ] || die_usage "$1 needs a value"; logdir="$2"; shift 2 ;;
    --retries) [ $# -ge 2 ] || die_usage "$1 needs a value"; retries="$2"; shift 2 ;;
    --resume) resume=1; shift ;;
    --fresh) fresh=1; shift ;;
    --memfree) [ $# -ge 2 ] || die_usage "$1 needs a value"; memfree="$2"; shift 2 ;;
    --mem-available) [ $# -ge 2 ] || die_usage "$1 needs a value"; mem_available="$2"; shift 2 ;;
    --no-pin) pin=0; shift ;;
    --no-region) region=0; shift ;;
    --quality) quality=1; shift ;;
    --tile-quality) [ $# -ge 2 ] || die_usage "$1 needs a value"; tile_quality="$2"; quality=1; shift 2 ;;
    -S|--sshlogin) [ $# -ge 2 ] || die_usage "$1 needs a value"
                   IFS=, read -r -a more <<< "$2"; logins+=("${more[@]}"); shift 2 ;;
    --sshloginfile) [ $# -ge 2 ] || die_usage "$1 needs a value"
                    [ -r "$2" ] || die_usage "login file $2 not found"
                    mapfile -t more < <(grep -v -e '^[[:space:]]*$' -e '^[[:space:]]*#' "$2" || true)
                    logins+=("${more[@]}"); shift 2 ;;
    --dry-run) dry_run=1; shift ;;
    --plan) plan=1; shift ;;
    --report) report=1; shift ;;
    --) shift; args+=("$@"); break ;;
    -?*) die_usage "unknown option $1" ;;
    *) args+=("$1"); shift ;;
  esac
done

take_shared_arguments "${args[@]}"
take_quality_arguments
[[ "$retries" =~ ^[1-9][0-9]*$ ]] || die_usage "--retries needs a positive number"
[ -z "$jobs" ] || [[ "$jobs" =~ ^[1-9][0-9]*$ ]] || die_usage "--jobs needs a positive number"
[ "$resume" -eq 0 ] || [ "$fresh" -eq 0 ] || die_usage "--resume and --fresh exclude each other"
if [ "${#logins[@]}" -eq 0 ] && [ ! -x "$process_tile" ]; then
  die_usage "$process_tile is not an executable (build it first: scripts/build.sh)"
fi
if [ "$quality" -eq 1 ]; then
  if [ "${#logins[@]}" -eq 0 ] && [ ! -x "$tile_quality" ]; then
    die_usage "$tile_quality is not an executable (build it: scripts/build.sh, or give --tile-quality)"
  fi
  command -v gnuplot >/dev/null || { echo "$prog: gnuplot is missing (scripts/install_deps.sh installs it)" >&2; exit 2; }
fi
command -v parallel >/dev/null || { echo "$prog: GNU parallel is missing (scripts/install_deps.sh installs it)" >&2; exit 2; }

joblog="$(abs_path "${joblog:-$output_dir/batch.joblog}")"
logdir="$(abs_path "${logdir:-$output_dir/logs}")"

# The tile list without comments and blank lines, one "id<TAB>x<TAB>y" per
# line. Its line numbers are parallel's sequence numbers, so resuming needs the
# same tiles in the same order. It is kept beside the tile logs, as are the
# logins, so that the parallel command printed by --dry-run runs as printed.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
tiles="$work/tiles.tsv"
clean_tile_list "$tile_list" "$tiles" || die_usage "bad tile list"
tile_count=$(wc -l < "$tiles")
[ "$tile_count" -gt 0 ] || die_usage "no tiles in $tile_list"
# Where the command reads them; written there only once the command is
# printed or about to run (keep_inputs), never by a refused call.
kept_tiles="$logdir/tiles.tsv"
kept_logins="$logdir/sshlogins"
keep_inputs() {
  mkdir -p "$logdir"
  [ "$quality" -eq 0 ] || mkdir -p "$quality_dir"
  cp "$tiles" "$kept_tiles"
  [ "$remote" -eq 0 ] || cp "$login_file" "$kept_logins"
}

# A job log line's command ran tile_quality after process_tile when it starts
# with the quality job below (perhaps behind taskset and GNU time): without --quality the
# command starts with process_tile's absolute path instead.
quality_command="^(taskset -c [^ ]+ )?(/usr/bin/time -f '?%M'? -o [^ ]+ )?bash -c "

# One line per tile: "seq<TAB>tile<TAB>state<TAB>signal", state "ok", "missing"
# (not in the job log), "no-quality" (with --quality: done by a run without
# it) or the exit status; the last job log line of a sequence number decides.
tile_states() {
  local log="$joblog"
  [ -f "$log" ] || log=/dev/null
  awk -F'\t' -v quality="$quality" -v quality_command="$quality_command" '
    NR == FNR { tile[FNR] = $1; n = FNR; next }
    FNR > 1 && $1 ~ /^[0-9]+$/ { exitval[$1] = $7; signal[$1] = $8; with_quality[$1] = ($9 ~ quality_command) }
    END {
      for (s = 1; s <= n; s++) {
        if (!(s in exitval)) print s "\t" tile[s] "\tmissing\t0"
        else if (exitval[s] == 0 && signal[s] == 0 && quality && !with_quality[s]) print s "\t" tile[s] "\tno-quality\t0"
        else if (exitval[s] == 0 && signal[s] == 0) print s "\t" tile[s] "\tok\t0"
        else print s "\t" tile[s] "\t" exitval[s] "\t" signal[s]
      }
    }' "$tiles" "$log"
}
report_source="GNU parallel's job log (exit status, wall time, host) and GNU time around each local job (peak memory)"
# The report's rows (see print_report) from the job log, the tiles' states
# and their LOGS/TILE.peak files, in one awk pass.
report_rows() {
  local log="$joblog"
  [ -f "$log" ] || log=/dev/null
  tile_states | LOGDIR="$logdir" awk -F'\t' -v here="$(hostname)" '
    BEGIN { logdir = ENVIRON["LOGDIR"] }
    NR == FNR { seq[FNR] = $1; tile[FNR] = $2; state[FNR] = $3; n = FNR; next }
    FNR > 1 && $1 ~ /^[0-9]+$/ { host[$1] = ($2 == ":" ? here : $2); wall[$1] = $4 + 0; code[$1] = $7 }
    END {
      for (i = 1; i <= n; i++) {
        s = seq[i]
        if (state[i] == "missing") { print tile[i] "\tnot run\t-\t-\t-\t-"; continue }
        peak = "-"; f = logdir "/" tile[i] ".peak"
        while ((getline l < f) > 0) if (l ~ /^[0-9]+$/) peak = l
        close(f)
        print tile[i] "\t" (state[i] == "ok" || state[i] == "no-quality" ? "done" : "failed") "\t" code[s] "\t" wall[s] "\t" peak "\t" host[s]
      }
    }' - "$log"
}
if [ "$report" -eq 1 ]; then
  [ -f "$joblog" ] || { echo "$prog: no job log $joblog: nothing has run" >&2; exit 1; }
  report_rows > "$work/rows.tsv"
  print_report "$work/rows.tsv" "$report_source"
  exit 0
fi

to_run="$tile_count"
if [ "$resume" -eq 1 ]; then
  to_run=$(tile_states | awk -F'\t' '$3 != "ok"' | wc -l)
  # parallel skips every tile with a successful line in the job log: one
  # from a run without --quality would never get its quality run.
  if [ "$quality" -eq 1 ] && [ -f "$joblog" ]; then
    done_without="$(awk -F'\t' -v quality_command="$quality_command" '
      NR == FNR { tile[FNR] = $1; next }
      FNR > 1 && $7 == 0 && $8 == 0 && $9 !~ quality_command && ($1 in tile) { print tile[$1] }' \
      "$tiles" "$joblog" | sort -u | paste -sd ' ' -)"
    [ -z "$done_without" ] ||
      die_usage "$joblog records tiles done without --quality ($done_without): --resume would not run their" \
                "quality; run with --fresh, or give another --joblog"
  fi
fi

# Memory arithmetic: the memory of one job, the tile's and with --quality also
# that of its quality run, which comes after (the larger of the two).
if [ "$quality" -eq 1 ]; then
  tile_bytes=$(quality_memory_bytes "$last_year")
else
  tile_bytes=$(tile_memory_bytes "$last_year")
fi
if [ -n "$mem_available" ]; then
  avail_bytes="$(to_bytes "$mem_available")" || die_usage "--mem-available: bad size '$mem_available'"
else
  avail_bytes=$(( $(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo) * 1024 ))
fi
cpus=()
for range in $(awk '/^Cpus_allowed_list:/ { gsub(",", " ", $2); print $2 }' /proc/self/status); do
  first="${range%-*}"; last="${range#*-}"
  for ((c = first; c <= last; c++)); do cpus+=("$c"); done
done
[ "${#cpus[@]}" -gt 0 ] || mapfile -t cpus < <(seq 0 $(( $(nproc) - 1 )))
cores="${#cpus[@]}"

remote=0
[ "${#logins[@]}" -eq 0 ] || remote=1
memory_note=""
explicit_jobs="$jobs"
# Tiles at once on this machine from its cores and memory.
by_memory=$(( (avail_bytes - tile_bytes / 2) / tile_bytes ))
local_jobs=$(jobs_for_memory "$avail_bytes" "$tile_bytes" "$cores")
if [ "$by_memory" -lt 1 ]; then
  memory_note="only $avail_bytes bytes available for a tile of $tile_bytes bytes: one tile at a time, no --memfree"
  [ -n "$memfree" ] || memfree=0
fi
if [ -z "$jobs" ]; then
  jobs="$local_jobs"
  # No more slots than tiles to run, so pinned CPUs do not sit idle.
  [ "$jobs" -le "$to_run" ] || [ "$to_run" -lt 1 ] || jobs="$to_run"
fi
if [ -z "$memfree" ]; then
  if [ "$remote" -eq 1 ]; then memfree=0; else memfree="$tile_bytes"; fi
fi

if [ "$plan" -eq 1 ]; then
  print_plan "$tiles" "$last_year" "$input_dir" "$tile_bytes" "$local_jobs" \
    "this machine: $(plural "$cores" core), $avail_bytes bytes available"
  exit 0
fi

# With hosts: parallel reads "N/login" as a host with N CPUs and runs --jobs
# 100% of them, so N becomes the tiles at once there. A login without N gets
# 1, this machine (":") the count computed above.
login_file="$work/logins"
if [ "$remote" -eq 1 ]; then
  : > "$login_file"
  for login in "${logins[@]}"; do
    login="$(echo "$login" | sed 's/^[[:space:]]*//; s/[[:space:]]*$//')"
    [ -n "$login" ] || continue
    case "$login" in ..|-) die_usage "list the hosts in a file for --sshloginfile instead of '$login'" ;; esac
    [[ "$login" =~ ^(@[^/]*/)?([0-9]+/)?(.*)$ ]]
    group="${BASH_REMATCH[1]}" count="${BASH_REMATCH[2]%/}" host="${BASH_REMATCH[3]}"
    if [ -z "$count" ]; then
      if [ "$host" = : ]; then count="$local_jobs"; else count=1; fi
    fi
    echo "$group$count/$host" >> "$login_file"
  done
  [ -n "$explicit_jobs" ] || jobs=100%
fi
memfree_bytes="$(to_bytes "$memfree")" || die_usage "--memfree: bad size '$memfree'"

# Pinning: slot s of `jobs` gets its share of the allowed CPUs.
pin_word=()
if [ "$pin" -eq 1 ] && [ "$remote" -eq 0 ] && [ "$jobs" -gt 1 ] && [ "$jobs" -le "$cores" ] \
   && command -v taskset >/dev/null; then
  lists=()
  next=0
  for ((s = 0; s < jobs; s++)); do
    share=$(( cores / jobs + (s < cores % jobs ? 1 : 0) ))
    list="$(IFS=,; echo "${cpus[*]:next:share}")"
    lists+=("\"$list\"")
    next=$((next + share))
  done
  pin_word=(taskset -c "{=1 \$_ = ($(IFS=,; echo "${lists[*]}"))[slot() - 1] =}")
fi

# The job of a tile with --quality: process_tile, then, once it succeeded,
# tile_quality with the quality directory in place of the output directory.
# One line, as the job log keeps it, and no braces, which parallel would read
# as replacement strings. tile_quality reports a failure in the last line of
# its standard error; the job passes that stream on to the tile's .err log
# and prints the line on standard output as "tile_quality: MESSAGE", where
# the summary and the .out log show process_tile's message.
quality_job='pt=$1 tq=$2 qd=$3; shift 3; "$pt" "$@" || exit; exec 3>&2; status=0;'
quality_job+=' err=$("$tq" "$1" "$2" "$3" "$qd" "$5" "$6" "$7" "$8" 2>&1 1>&3) || status=$?;'
quality_job+=' [ -z "$err" ] || printf "%s\n" "$err" >&2; [ "$status" -ne 0 ] || exit 0; line="";'
quality_job+=' while IFS= read -r l; do case $l in *[![:space:]]*) line=$l ;; esac; done <<< "$err";'
quality_job+=' [ "$status" -le 128 ] || line="(killed by signal $((status - 128)))";'
quality_job+=' printf "tile_quality: %s\n" "$line"; exit "$status"'
if [ "$quality" -eq 1 ]; then
  job=(bash -c "$quality_job" tile_quality_job "$process_tile" "$tile_quality" "$quality_dir")
else
  job=("$process_tile")
fi
# The peak memory of each local job (GNU time's maximum resident set, KiB)
# into LOGS/TILE.peak for the report.
if [ "$remote" -eq 0 ] && [ -x /usr/bin/time ]; then
  job=(/usr/bin/time -f %M -o "$logdir/{1}.peak" "${job[@]}")
fi

parallel_cmd=(parallel -q --colsep '\t' -a "$kept_tiles" --jobs "$jobs" --joblog "$joblog"
              --retries "$retries" --results "$logdir/{1}.out")
[ "$memfree_bytes" -eq 0 ] || parallel_cmd+=(--memfree "$memfree_bytes")
[ "$resume" -eq 0 ] || parallel_cmd+=(--resume-failed)
[ "$remote" -eq 0 ] || parallel_cmd+=(--sshloginfile "$kept_logins")
parallel_cmd+=("${pin_word[@]}" "${job[@]}" '{1}' "$last_year" "$input_dir" "$output_dir"
               '{2}' '{3}' "$datamask_dir" "$wetland_dir")

echo "$prog: $(plural "$tile_count" tile), last year $last_year, $tile_bytes bytes per tile$([ "$quality" -eq 0 ] || echo " with its quality run")"
if [ "$remote" -eq 1 ]; then
  echo "$prog: hosts as tiles-at-once/login$([ -z "$explicit_jobs" ] || echo " (--jobs $jobs on each)"):" "$(paste -sd , "$login_file")"
else
  echo "$prog: memory available $avail_bytes bytes, $(plural "$cores" core): $(plural "$jobs" tile) at once"
fi
[ -z "$memory_note" ] || [ "$remote" -eq 1 ] || echo "$prog: warning: $memory_note" >&2
echo "$prog: job log $joblog, tile logs $logdir/<tile>.out"

if [ "$dry_run" -eq 1 ]; then
  keep_inputs
  printf '%q ' "${parallel_cmd[@]}"; echo
  exit 0
fi

if [ -e "$joblog" ] && [ "$resume" -eq 0 ]; then
  if [ "$fresh" -eq 1 ]; then
    rm -f "$joblog"
  else
    echo "$prog: $joblog exists from an earlier run: add --resume to run only the failed" \
         "and missing tiles, or --fresh to run every tile again" >&2
    exit 2
  fi
fi
mkdir -p "$output_dir" "$logdir" "$(dirname "$joblog")"
keep_inputs

# parallel's own status is the number of failed jobs; the summary below reads
# the job log instead, which also covers earlier runs when resuming.
"${parallel_cmd[@]}" || true

# Summary: the last job log line of each sequence number decides. The tiles
# with products (process_tile succeeded) go to the region, those whose
# quality run succeeded too to the batch quality.
failed=0 quality_failed=0 missing=0 done_count=0
report=""
with_products=() with_quality=()
while IFS=$'\t' read -r _ tile status signal; do
  case "$status" in
    ok) done_count=$((done_count + 1)); with_products+=("$tile"); with_quality+=("$tile") ;;
    missing) missing=$((missing + 1)); report+="  $tile  not run"$'\n' ;;
    no-quality) missing=$((missing + 1)); report+="  $tile  done without --quality"$'\n' ;;
    *)
      failed=$((failed + 1))
      message=""
      [ ! -f "$logdir/$tile.out" ] || message="$(grep -m1 -v '^[[:space:]]*$' "$logdir/$tile.out" || true)"
      if [ -z "$message" ]; then
        if [ "$signal" != 0 ]; then message="(killed by signal $signal)"; else message="(no message; see $logdir/$tile.out.err)"; fi
      fi
      # process_tile's messages start with a path or a word of their own,
      # never with this.
      if [ "$quality" -eq 1 ] && [ "$signal" = 0 ] && [[ "$message" == "tile_quality: "* ]]; then
        quality_failed=$((quality_failed + 1))
        with_products+=("$tile")
      fi
      report+="  $tile  exit $status  $message"$'\n'
      ;;
  esac
done < <(tile_states)

echo "$prog: $(plural "$tile_count" tile): $done_count succeeded, $failed failed, $missing not run"
report_rows > "$work/rows.tsv"
print_report "$work/rows.tsv" "$report_source" > "$logdir/report.txt"
grep '^summary' "$logdir/report.txt" || true
echo "$prog: per-tile times, memory and hosts in $logdir/report.txt (again with --report)"
[ "$quality_failed" -eq 0 ] ||
  echo "$prog: $quality_failed of the failed tiles failed in tile_quality; their products are written and in the region"

# The region of the tiles with products, also when others failed: what is
# done can be looked at while the rest is fixed.
region_failed=0
if [ "$region" -eq 1 ] && [ "${#with_products[@]}" -gt 0 ]; then
  printf '%s\n' "${with_products[@]}" > "$logdir/succeeded.txt"
  if ! bash "$root/scripts/region.sh" "$output_dir" "$last_year" "$logdir/succeeded.txt"; then
    echo "$prog: the region mosaics and pictures could not be built (see above)" >&2
    region_failed=1
  fi
fi
# The quality of the batch, over the tiles whose quality run succeeded.
batch_quality_failed=0
if [ "$quality" -eq 1 ]; then
  if [ "${#with_quality[@]}" -eq 0 ]; then
    echo "$prog: no tile has its quality written: no batch quality"
    batch_quality_failed=1
  elif ! bash "$root/scripts/batch_quality.sh" "$quality_dir" "${with_quality[@]}"; then
    echo "$prog: the batch quality could not be written (see above)" >&2
    batch_quality_failed=1
  fi
fi
if [ $((failed + missing)) -gt 0 ]; then
  echo "$prog: tiles to rerun (first line of standard output; full logs in $logdir):"
  printf '%s' "$report"
  echo "$prog: fix the cause, then run the same command with --resume"
  exit 1
fi
if [ "$region_failed" -eq 1 ] || [ "$batch_quality_failed" -eq 1 ]; then exit 1; fi
exit 0
