#!/usr/bin/env bash
# The region a batch covered, once the batch has ended: for each product and
# year a VRT mosaic of the tiles that succeeded, and a quicklook picture of
# each product's mosaic for the last year. GDAL's own programs do the work:
# gdalbuildvrt mosaics (nothing is copied; a GIS opens the VRT like one
# raster), gdal_translate and gdaldem colour as scripts/quicklook.sh does.
set -euo pipefail

prog="${0##*/}"
usage() {
  cat <<EOF
usage: $prog OUTPUT_DIR LAST_YEAR TILE_FILE [DEST_DIR]

TILE_FILE names the tiles to mosaic, one per line (the first word of a line;
blank lines and text after # are ignored), typically the tiles of a batch
that succeeded. For every product P (TCC, TCH, Loss) and year Y from 2000 to
LAST_YEAR it writes DEST_DIR/P_Y.vrt, the mosaic of OUTPUT_DIR/P_Y_TILE.img of
those tiles, and DEST_DIR/P_LAST_YEAR.png, a picture of the last year's
mosaic, REGION_SIZE pixels (default 2000) along its longer side, in the
quicklooks' colours. DEST_DIR defaults to OUTPUT_DIR/region and is created
if missing. Tiles need not touch: the mosaic spans them all, with 0 between.
Every picture pixel averages all the tile pixels under it, so a region of
thousands of tiles takes a while (each of its pixels is read once).
EOF
}

case "${1:-}" in -h|--help) usage; exit 0 ;; esac
if [ $# -lt 3 ] || [ $# -gt 4 ]; then usage >&2; exit 2; fi
output_dir="$1" last_year="$2" tile_file="$3"
dest="${4:-$output_dir/region}"
size="${REGION_SIZE:-2000}"
[[ "$last_year" =~ ^[0-9]+$ ]] && [ "$last_year" -ge 2000 ] ||
  { echo "$prog: LAST_YEAR must be a year from 2000 on, not '$last_year'" >&2; exit 2; }
[[ "$size" =~ ^[1-9][0-9]*$ ]] || { echo "$prog: REGION_SIZE must be a positive number" >&2; exit 2; }
[ -r "$tile_file" ] || { echo "$prog: tile file $tile_file not found" >&2; exit 2; }
for tool in gdalbuildvrt gdal_translate gdaldem gdalinfo; do
  command -v "$tool" >/dev/null || { echo "$prog: $tool is missing (Debian package gdal-bin)" >&2; exit 1; }
done

# shellcheck source=scripts/quicklook_colours.sh
. "$(dirname "${BASH_SOURCE[0]}")/quicklook_colours.sh"

mapfile -t tiles < <(awk '{ sub(/#.*/, "") } NF { print $1 }' "$tile_file")
[ "${#tiles[@]}" -gt 0 ] || { echo "$prog: no tiles in $tile_file" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$dest"

for ((year = 2000; year <= last_year; year++)); do
  for p in TCC TCH Loss; do
    # The sources as a file list, not as arguments: a continent has tens of
    # thousands of tiles.
    list="$work/${p}_$year.txt"
    : > "$list"
    for tile in "${tiles[@]}"; do
      src="$output_dir/${p}_${year}_${tile}.img"
      [ -f "$src" ] || { echo "$prog: $src not found" >&2; exit 1; }
      echo "$src" >> "$list"
    done
    gdalbuildvrt -q -overwrite -input_file_list "$list" "$dest/${p}_$year.vrt"
  done
done

for p in TCC TCH Loss; do
  vrt="$dest/${p}_$last_year.vrt"
  # The picture keeps the mosaic's shape: REGION_SIZE along the longer side.
  read -r width height < <(gdalinfo "$vrt" | awk '/^Size is/ { gsub(",", ""); print $3, $4 }')
  if [ "$width" -ge "$height" ]; then shape=("$size" 0); else shape=(0 "$size"); fi
  colour_picture "$p" "$vrt" "${shape[@]}" "$dest/${p}_$last_year.png" "$work"
done
echo "$prog: ${#tiles[@]} tiles, years 2000 to $last_year: mosaics and $last_year pictures in $dest"
