#!/usr/bin/env bash
# scripts/quicklook.sh on the products of a real run (left in SCRATCH/out by
# batch_test.sh): three PNGs of the asked size, coloured, loss visible.
#
#   quicklook_test.sh SCRATCH
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 SCRATCH" >&2; exit 2; }
out="$1/out"
scripts="$(cd "$(dirname "$0")/../../scripts" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"

. "$here/checks.sh"
# shellcheck source=scripts/pictures.sh
. "$scripts/pictures.sh"
# min and max of band BAND of a picture, "min max". Every reader here reads
# to the end: under pipefail, one that stops early kills gdalinfo with SIGPIPE.
band_range() {
  gdalinfo -stats -nomd "$1" 2>/dev/null | grep -A4 "^Band $2 " \
    | awk -F'[=,]' '/Minimum=/ && !done { gsub(/[^0-9.]/, "", $2); gsub(/[^0-9.]/, "", $4); print $2 + 0, $4 + 0; done = 1 }'
}
# Whether gdalinfo of FILE has a line matching each PATTERN.
info_has() {
  local info pattern
  info="$(gdalinfo "$1")" || return 1
  shift
  for pattern in "$@"; do grep -q -- "$pattern" <<< "$info" || return 1; done
}

[ -f "$out/Loss_2000_t1.img" ] || { echo "no products in $out (batch_test.sh makes them)" >&2; exit 1; }
cd "$1"

# Default place and size: 1001 x 1001 averaged pixels, drawn 1:1 into a plot
# area at (90, 50), with the title, axes and legend around it (1351 x 1111).
bash "$scripts/quicklook.sh" "$out" t1 2000 > listed.txt
for p in TCC TCH Loss; do
  png="$out/quicklooks/${p}_2000_t1.png"
  check "$p picture listed" grep -qx "$png" listed.txt
  check "$p picture is a whole PNG" whole_png "$png"
  check "$p picture: 1001 x 1001 pixels and its legend" info_has "$png" '^Size is 1351, 1111'
  check "$p picture has red, green and blue bands" [ "$(gdalinfo "$png" | grep -c '^Band [0-9].*Type=Byte')" -ge 3 ]
done

# Given place and size: 250 x 250, each drawn as 3 x 3 picture pixels so
# that the title and legend fit (a 750 x 750 plot area).
dest="$1/quicklooks_small"
bash "$scripts/quicklook.sh" "$out" t1 2000 "$dest" 250 > /dev/null
for p in TCC TCH Loss; do
  check "$p picture of 250 x 250 drawn 3 times" info_has "$dest/${p}_2000_t1.png" '^Size is 1100, 860'
done
# The plot area alone, inside its border line.
for p in TCC Loss; do
  rm -f "plot_$p.tif.aux.xml"
  gdal_translate -q -srcwin 92 52 746 746 "$dest/${p}_2000_t1.png" "plot_$p.tif"
done
# The tile has loss in 2000: grey (150) where none, orange (253) where a
# little, dark red (127) where much: the red band runs from 150 or below to
# past 240.
loss_red="$(band_range plot_Loss.tif 1)"
echo "Loss plot red band min max: $loss_red"
check "Loss picture shows loss over grey" bash -c '[ "${1% *}" -le 150 ] && [ "${1#* }" -gt 240 ]' _ "$loss_red"
tcc_green="$(band_range plot_TCC.tif 2)"
echo "TCC plot green band min max: $tcc_green"
check "TCC picture is not one colour" test -n "$tcc_green" -a "${tcc_green% *}" != "${tcc_green#* }"
tcc_blue="$(band_range plot_TCC.tif 3)"
check "... and no pixel of the tile is white (the colour of no tile)" \
  bash -c '[ "${1#* }" != 255 ] || [ "${2#* }" != 255 ]' _ "$tcc_green" "$tcc_blue"
# ... so its legend names the colour of 0 alone, not that of no tile: the
# legend's frame closes after one entry (24 pixels below its top at 50), and
# a column inside it finds no second frame line where two entries end (98).
rm -f legend_TCC.tif.aux.xml
gdal_translate -q -srcwin 855 86 1 24 "$dest/TCC_2000_t1.png" legend_TCC.tif
legend_red="$(band_range legend_TCC.tif 1)"
echo "TCC legend column red band min max below its first entry: $legend_red"
check "... and its legend does not name no tile" bash -c '[ "${1% *}" -gt 200 ]' _ "$legend_red"

# A missing product is named and nothing is made.
status=0
bash "$scripts/quicklook.sh" "$out" t9 2000 "$1/quicklooks_none" > missing.txt 2>&1 || status=$?
check "missing product: exit 1" [ "$status" -eq 1 ]
check "missing product: named" grep -q "TCC_2000_t9.img not found" missing.txt
check "missing product: no pictures" [ ! -e "$1/quicklooks_none" ]

rm -f listed.txt missing.txt plot_TCC.tif* plot_Loss.tif*
if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all quicklook checks passed"
