# shellcheck shell=bash
# The quicklooks' colours (sourced by quicklook.sh and region.sh, not run):
# one gdaldem color-relief ramp per product and the step that shrinks a
# product raster and colours it into a PNG, with GDAL's own programs.

# Writes the colour ramp of product $1 (TCC, TCH or Loss) to file $2:
# "value red green blue" lines, colours interpolated between the values.
write_colour_ramp() {
  case "$1" in
    TCC)  # canopy cover 0-100 %, pale sand to dark green
      printf '%s\n' '0 235 225 195' '10 215 220 160' '30 150 195 100' '60 60 145 55' \
        '100 0 75 25' '255 0 75 25' > "$2" ;;
    TCH)  # height: light grey for 0 (none), yellow (1) through green and blue to purple (45+)
      printf '%s\n' '0 235 235 235' '1 253 231 37' '8 122 209 81' '16 34 168 132' \
        '24 42 120 142' '32 65 68 135' '45 68 1 84' '255 68 1 84' > "$2" ;;
    Loss)  # shrunk to the fraction of loss pixels (Float32): anything above 0 is red
      printf '%s\n' '0 150 150 150' '0.001 220 30 30' '255 220 30 30' > "$2" ;;
    *) echo "no colour ramp for product '$1'" >&2; return 1 ;;
  esac
}

# colour_picture PRODUCT SRC WIDTH HEIGHT PNG WORK_DIR: SRC shrunk to WIDTH x
# HEIGHT pixels (0 for one of them keeps the aspect), each picture pixel the
# average of the raster pixels under it (for Loss the fraction with loss),
# then coloured with the product's ramp. The shrunk raster is a VRT in
# WORK_DIR: nothing big is written.
colour_picture() {
  local product="$1" src="$2" width="$3" height="$4" png="$5" work="$6"
  local type=()
  [ "$product" != Loss ] || type=(-ot Float32)
  write_colour_ramp "$product" "$work/$product.txt" || return 1
  gdal_translate -q -of VRT "${type[@]}" -r average -outsize "$width" "$height" "$src" \
    "$work/$product.small.vrt" || return 1
  gdaldem color-relief -q -of PNG "$work/$product.small.vrt" "$work/$product.txt" "$png"
}
