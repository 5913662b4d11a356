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
the pictures.
EOF
}

case "${1:-}" in -h|--help) usage; exit 0 ;; esac
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

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Colour ramps for gdaldem color-relief: "value red green blue", colours
# interpolated between the values.
cat > "$work/TCC.txt" <<'EOF'
0 235 225 195
10 215 220 160
30 150 195 100
60 60 145 55
100 0 75 25
255 0 75 25
EOF
cat > "$work/TCH.txt" <<'EOF'
0 235 235 235
1 253 231 37
8 122 209 81
16 34 168 132
24 42 120 142
32 65 68 135
45 68 1 84
255 68 1 84
EOF
# Loss is shrunk to the fraction of loss pixels (Float32): anything above 0
# is red.
cat > "$work/Loss.txt" <<'EOF'
0 150 150 150
0.001 220 30 30
255 220 30 30
EOF

mkdir -p "$dest"
for p in "${products[@]}"; do
  src="$output_dir/${p}_${year}_${tile}.img"
  png="$dest/${p}_${year}_${tile}.png"
  type=()
  [ "$p" != Loss ] || type=(-ot Float32)
  gdal_translate -q -of VRT "${type[@]}" -r average -outsize "$size" "$size" "$src" "$work/$p.vrt"
  gdaldem color-relief -q -of PNG "$work/$p.vrt" "$work/$p.txt" "$png"
  echo "$png"
done
