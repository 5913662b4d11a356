#!/usr/bin/env bash
# Turns the TCC, TCH and Loss products of one tile and year into PNG pictures
# for a person: gdal_translate -outsize averages each product down, gnuplot
# colours it under a title, with axes and a legend (scripts/picture.gp, the
# region's pictures use the same).
set -euo pipefail

prog="${0##*/}"
usage() {
  cat <<EOF
usage: $prog OUTPUT_DIR TILE_ID YEAR [DEST_DIR] [SIZE]

Writes DEST_DIR/{TCC,TCH,Loss}_YEAR_TILE_ID.png from
OUTPUT_DIR/{TCC,TCH,Loss}_YEAR_TILE_ID.img: each product averaged down to
SIZE x SIZE pixels (2 to 9999, default 1001, each the average of 4 x 4 tile pixels),
drawn with a title, longitude and latitude axes and a legend. DEST_DIR
defaults to OUTPUT_DIR/quicklooks and is created if missing.

  TCC   canopy cover 0-100 %: pale sand (0) to dark green (100)
  TCH   canopy height: grey (0, no height), then yellow (1) through green
        and blue to purple (45 and more)
  Loss  share of pixels with loss: grey (none), then orange (any) to dark
        red (25 % and more)

An argument that begins with '-' is taken for an option unless '--' comes
before it.
EOF
}

# Options before anything else; a path that begins with '-' needs '--'
# before it.
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_options.sh"
# shellcheck source=scripts/tilebatch.sh
. "$(dirname "${BASH_SOURCE[0]}")/tilebatch.sh"
take_no_options "$@"
if [ "${1:-}" = "--" ]; then shift; fi
if [ $# -lt 3 ] || [ $# -gt 5 ]; then usage >&2; exit 2; fi
output_dir="$1" tile="$2" year="$3"
dest="${4:-$output_dir/quicklooks}"
size="${5:-1001}"
[[ "$year" =~ ^[0-9]+$ ]] || { echo "$prog: YEAR must be a number, not '$year'" >&2; exit 2; }
# At least 2: gnuplot draws no image one pixel wide.
[[ "$size" =~ ^([2-9]|[1-9][0-9]{1,3})$ ]] || { echo "$prog: SIZE must be a number from 2 to 9999, not '$size'" >&2; exit 2; }

products=(TCC TCH Loss)
for p in "${products[@]}"; do
  src="$output_dir/${p}_${year}_${tile}.img"
  [ -f "$src" ] || { echo "$prog: $src not found" >&2; exit 1; }
done
mkdir -p -- "$dest"
for p in "${products[@]}"; do
  png="$dest/${p}_${year}_${tile}.png"
  "${TILEBATCH[@]}" picture "$p" "$output_dir/${p}_${year}_${tile}.img" \
    "$png" "$p $year: tile $tile" "$size"
  echo "$png"
done
