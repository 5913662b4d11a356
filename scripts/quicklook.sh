#!/usr/bin/env bash
# Turns the TCC, TCH and Loss products of one tile and year into PNG pictures
# of a viewable size, with GDAL's own programs: gdal_translate -outsize shrinks
# (into a VRT, nothing big is written), gdaldem color-relief colours.
set -euo pipefail

prog="${0##*/}"
usage() {
  cat <<EOF
usage: $prog OUTPUT_DIR TILE_ID YEAR [DEST_DIR] [SIZE]

Writes DEST_DIR/{TCC,TCH,Loss}_YEAR_TILE_ID.png (SIZE x SIZE pixels, default 1001)
from OUTPUT_DIR/{TCC,TCH,Loss}_YEAR_TILE_ID.img. DEST_DIR defaults to
OUTPUT_DIR/quicklooks and is created if missing.

  TCC   canopy cover 0-100 %, averaged: pale sand (0) to dark green (100)
  TCH   canopy height, averaged: light grey (0, no height), then yellow (1)
        through green and blue to purple (45 and more)
  Loss  red wherever any pixel under a picture pixel has loss, grey elsewhere

GDAL keeps the georeferencing in DEST_DIR/*.png.aux.xml, so a GIS can place
the pictures. An argument that begins with '-' is taken for an option unless
'--' comes before it.
EOF
}

# Options before anything else; a path that begins with '-' needs '--'
# before it.
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_options.sh"
take_no_options "$@"
if [ "${1:-}" = "--" ]; then shift; fi
if [ $# -lt 3 ] || [ $# -gt 5 ]; then usage >&2; exit 2; fi
output_dir="$1" tile="$2" year="$3"
dest="${4:-$output_dir/quicklooks}"
size="${5:-1001}"
[[ "$year" =~ ^[0-9]+$ ]] || { echo "$prog: YEAR must be a number, not '$year'" >&2; exit 2; }
[[ "$size" =~ ^[1-9][0-9]*$ ]] || { echo "$prog: SIZE must be a positive number, not '$size'" >&2; exit 2; }

products=(TCC TCH Loss)
for p in "${products[@]}"; do
  src="$output_dir/${p}_${year}_${tile}.img"
  [ -f "$src" ] || { echo "$prog: $src not found" >&2; exit 1; }
done
for tool in gdal_translate gdaldem; do
  command -v "$tool" >/dev/null || { echo "$prog: $tool is missing (Debian package gdal-bin)" >&2; exit 1; }
done

# shellcheck source=scripts/quicklook_colours.sh
. "$(dirname "${BASH_SOURCE[0]}")/quicklook_colours.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$dest"
for p in "${products[@]}"; do
  png="$dest/${p}_${year}_${tile}.png"
  colour_picture "$p" "$output_dir/${p}_${year}_${tile}.img" "$size" "$size" "$png" "$work"
  echo "$png"
done
