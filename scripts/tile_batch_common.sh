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
