# Shared by batch.sh and slurm_array.sh (sourced, not run): argument handling,
# the tile list and the tile memory, so both read a list and its shared
# arguments the same way and plan with the same memory figure.
# Expects $prog to be set by the sourcing script.

die_usage() { echo "$prog: $*" >&2; echo "try: $prog --help" >&2; exit 2; }

# "1 tile", "3 tiles": plural N WORD.
plural() { if [ "$1" -eq 1 ]; then echo "$1 $2"; else echo "$1 $2s"; fi; }

abs_path() { case "$1" in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }

# The tile memory one process_tile run of last year $1 holds, the one place
# the scripts take it from: six year cubes of the years 1997 to $1 and two
# masks, 4004 x 4004 bytes a layer (TileMemory::bytes_needed in the program;
# a unit test holds the two to the same figures). In bytes, and in MiB
# rounded up.
tile_memory_bytes() { echo $(( 6 * ($1 - 1996) * 4004 * 4004 + 2 * 4004 * 4004 )); }
tile_memory_mib() { echo $(( ($(tile_memory_bytes "$1") + 1048575) / 1048576 )); }

# One tile_quality run of last year $1 holds the tile memory and, besides, one
# quality byte per pixel and year of the cube (1997 to $1). In bytes, and in
# MiB rounded up.
quality_memory_bytes() { echo $(( $(tile_memory_bytes "$1") + 4004 * 4004 * ($1 - 1997 + 1) )); }
quality_memory_mib() { echo $(( ($(quality_memory_bytes "$1") + 1048575) / 1048576 )); }

# TILE_LIST LAST_YEAR INPUT_DIR OUTPUT_DIR DATAMASK_DIR WETLAND_DIR [PROCESS_TILE]
# into tile_list, last_year, input_dir, output_dir, datamask_dir, wetland_dir
# and process_tile (absolute paths; the binary defaults to build/process_tile).
take_shared_arguments() {
  [ $# -eq 6 ] || [ $# -eq 7 ] || die_usage "expected 6 or 7 arguments, got $#"
  local root
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  tile_list="$1"
  last_year="$2"
  input_dir="$(abs_path "$3")"
  output_dir="$(abs_path "$4")"
  datamask_dir="$(abs_path "$5")"
  wetland_dir="$(abs_path "$6")"
  process_tile="$(abs_path "${7:-$root/build/process_tile}")"
  [[ "$last_year" =~ ^[0-9]+$ ]] && [ "$last_year" -ge 2000 ] ||
    die_usage "LAST_YEAR must be a year from 2000 on, not '$last_year'"
  [ -f "$tile_list" ] && [ -r "$tile_list" ] || die_usage "tile list $tile_list not found"
}

# With --quality (quality=1): tile_quality, the program that writes what the
# cleaning did to a tile, as an absolute path in tile_quality (the path given
# with --tile-quality, else tools/tile_quality beside process_tile, where
# scripts/build.sh puts it), and its output directory OUTPUT_DIR/quality in
# quality_dir. Call after take_shared_arguments.
take_quality_arguments() {
  quality_dir=""
  [ "$quality" -eq 1 ] || return 0
  quality_dir="$output_dir/quality"
  tile_quality="$(abs_path "${tile_quality:-$(dirname "$process_tile")/tools/tile_quality}")"
}

# The tile list without comments and blank lines, one "id<TAB>x<TAB>y" per
# line, into file $2; refuses malformed lines, ids with "/" and repeated tiles.
clean_tile_list() {
  awk -v list="$1" '
    { sub(/#.*/, ""); if (NF == 0) next
      if (NF != 3) { printf "%s:%d: expected \"tile_id origin_x origin_y\", got %d fields\n", list, NR, NF > "/dev/stderr"; bad = 1; next }
      if ($1 ~ /\//) { printf "%s:%d: tile id %s contains /\n", list, NR, $1 > "/dev/stderr"; bad = 1; next }
      if (seen[$1]++) { printf "%s:%d: tile %s listed twice\n", list, NR, $1 > "/dev/stderr"; bad = 1; next }
      print $1 "\t" $2 "\t" $3 }
    END { exit bad }' "$1" > "$2"
}

# Tiles at once on a machine of AVAIL bytes free and CORES slots for a job of
# TILE bytes: min(cores, floor((avail - tile/2) / tile)), at least 1 (half a
# tile kept free, which parallel's --memfree needs, see batch.sh --help).
jobs_for_memory() {  # jobs_for_memory AVAIL_BYTES TILE_BYTES CORES
  local by_memory=$(( ($1 - $2 / 2) / $2 ))
  local n=$(( by_memory < $3 ? by_memory : $3 ))
  echo $(( n < 1 ? 1 : n ))
}

# The size on disk of one product layer: 4004 x 4004 bytes and what the HFA
# format adds (header, block index, statistics). Measured: each product of
# process_tile on a generated 2000 tile (make_synthetic_tile, uncompressed) is
# 16,318,913 bytes, of which 16,032,016 the pixels.
PRODUCT_BYTES=16318913
# Seconds per tile of last year 2020, measured by bench/bench_tile ("whole
# run", about 4.6 s, rounded up to 5) on a 2-core machine with 24 GiB; other
# last years are scaled by their number of years since 1997.
TILE_SECONDS_2020=5

# What a run of the tile list will cost, printed, nothing run:
#   print_plan TILES_TSV LAST_YEAR INPUT_DIR JOB_BYTES JOBS_PER_NODE WHAT
# TILES_TSV is a cleaned list ("id<TAB>x<TAB>y"), JOB_BYTES the memory one
# job holds, JOBS_PER_NODE the tiles at once on a node and WHAT how that count
# came about. The inputs' bytes are those of INPUT_DIR/TILE/ of the listed
# tiles that exist (one find over INPUT_DIR).
print_plan() {
  local tiles="$1" last_year="$2" input_dir="$3" job_bytes="$4" per_node="$5" what="$6"
  local n years product_total inputs
  n=$(wc -l < "$tiles")
  years=$(( last_year - 2000 + 1 ))
  product_total=$(( n * 3 * years * PRODUCT_BYTES ))
  inputs="$( { [ ! -d "$input_dir" ] || find "$input_dir" -mindepth 2 -maxdepth 2 -type f -printf '%h\t%s\n' 2>/dev/null; } |
    awk -F'\t' 'NR == FNR { want[$1] = 1; next }
      { d = $1; sub(/.*\//, "", d); if (d in want) { bytes += $2; seen[d] = 1 } }
      END { for (t in seen) k++; printf "%.0f %d\n", bytes, k }' "$tiles" - )"
  awk -v n="$n" -v y="$last_year" -v years="$years" -v job="$job_bytes" -v per_node="$per_node" -v what="$what" \
      -v product="$PRODUCT_BYTES" -v products="$product_total" -v inputs="$inputs" -v t2020="$TILE_SECONDS_2020" '
    function human(b) {
      if (b >= 1024^4) return sprintf("%.1f TiB", b / 1024^4)
      if (b >= 1024^3) return sprintf("%.1f GiB", b / 1024^3)
      if (b >= 1024^2) return sprintf("%.1f MiB", b / 1024^2)
      return sprintf("%d bytes", b)
    }
    BEGIN {
      split(inputs, in_, " ")
      secs = t2020 * (y - 1996) / (2020 - 1996)
      printf "plan: %d tiles, last year %d\n", n, y
      printf "plan: memory per tile: %.0f bytes (%s)\n", job, human(job)
      printf "plan: tiles at once per node: %d (%s)\n", per_node, what
      printf "plan: products: %.0f bytes (%s): %d tiles x 3 products x %d years x %d bytes\n", products, human(products), n, years, product
      if (in_[2] > 0) printf "plan: inputs: %.0f bytes (%s) in the directories of %d of the %d tiles\n", in_[1], human(in_[1]), in_[2], n
      else printf "plan: inputs: none of the tiles has a directory in the input directory yet\n"
      printf "plan: time: %.1f s per tile (%d s for a 2020 tile, bench/bench_tile whole run on a 2-core node, scaled by years)\n", secs, t2020
      printf "plan: node-hours: %.1f (tiles x time per tile, one tile at a time on all of a node like that)\n", n * secs / 3600
    }'
}

# The cost of a run, per tile and summed up, from one line per tile of the
# list: "tile<TAB>state<TAB>exit<TAB>wall seconds<TAB>peak KiB<TAB>host", state
# done, failed, "not run" or running, "-" for what is not known, and as a
# seventh field the scheduler's own state of the tile's last task where it was
# asked (e.g. COMPLETED, CANCELLED, OUT_OF_MEMORY). SOURCE, where given, says
# where the figures come from. The table goes from the quickest tile to the
# slowest; the times summed up and the largest memory are those of the tiles
# done or failed.
#   print_report ROWS_TSV [SOURCE]
print_report() {
  sort -t$'\t' -k4,4g "$1" | SOURCE="${2:-}" awk -F'\t' '
    BEGIN { source = ENVIRON["SOURCE"] }   # not -v: a path in it keeps its backslashes
    function mib(k) { return k == "-" ? "-" : sprintf("%.0f", k / 1024) }
    { row[NR] = $0
      count[$2]++
      if ($7 != "") scheduler = 1
      # Only ended tasks count in the times: a running one has not its whole yet.
      if ($4 != "-" && ($2 == "done" || $2 == "failed")) { timed[++nt] = $4 + 0; timed_tile[nt] = $1; total += $4 }
      if ($5 != "-" && $5 + 0 > most && ($2 == "done" || $2 == "failed")) { most = $5 + 0; most_tile = $1 } }
    END {
      if (source != "") print "figures: " source
      printf "%-20s %-8s %5s %10s %10s  %s%s\n", "tile", "state", "exit", "wall_s", "peak_MiB", "host",
        (scheduler ? "  slurm_state" : "")
      for (i = 1; i <= NR; i++) {
        split(row[i], f, "\t")
        printf "%-20s %-8s %5s %10s %10s  %s%s\n", f[1], f[2], f[3], f[4], mib(f[5]), f[6],
          (f[7] == "" ? "" : "  " f[7])
      }
      printf "summary: %d tiles: %d done, %d failed, %d not run%s\n", NR, count["done"], count["failed"], count["not run"],
        (count["running"] ? ", " count["running"] " running or queued" : "")
      if (nt > 0) {
        median = (nt % 2) ? timed[(nt + 1) / 2] : (timed[nt / 2] + timed[nt / 2 + 1]) / 2
        printf "summary: wall time %.1f s in all, median %.1f s a tile (%d timed)\n", total, median, nt
        s = ""
        for (i = nt; i >= 1 && i > nt - 5; i--) s = s " " timed_tile[i] " (" timed[i] " s)"
        printf "summary: slowest:%s\n", s
      } else print "summary: no tile timed"
      if (most > 0) printf "summary: largest memory: %s, %.0f MiB\n", most_tile, most / 1024
      else print "summary: no peak memory measured"
    }'
}
