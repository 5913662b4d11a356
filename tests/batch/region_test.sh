#!/usr/bin/env bash
# scripts/region.sh on the products of a real batch (left in SCRATCH/out by
# batch_test.sh) and on tiles that do not touch: one mosaic per product and
# year spanning every tile, each tile's pixels in their place, 0 in the gap,
# and a picture of each last-year mosaic.
#
#   region_test.sh SCRATCH
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 SCRATCH" >&2; exit 2; }
out="$1/out"
scripts="$(cd "$(dirname "$0")/../../scripts" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
[ -f "$out/Loss_2000_t1.img" ] || { echo "no products in $out (batch_test.sh makes them)" >&2; exit 1; }
work="$1/region_test"
rm -rf "$work"
mkdir -p "$work/products"
cd "$work"

. "$here/checks.sh"
# The value of a raster at a longitude and latitude.
value_at() { gdallocationinfo -valonly -geoloc "$1" "$2" "$3"; }

# t1 as it is, and a copy of it placed 2 degrees east and 2 south of its own
# corner: a second tile far from the first, with known values.
for p in TCC TCH Loss; do
  ln -s "$out/${p}_2000_t1.img" "products/${p}_2000_t1.img"
  gdal_translate -q -of HFA -a_ullr -57 8 -55.999 6.999 "$out/${p}_2000_t1.img" "products/${p}_2000_far.img"
done
printf '# two tiles apart\nt1 -60 10\n\nfar -57 8   # east and south\n' > tiles.txt

bash "$scripts/region.sh" products 2000 tiles.txt > region.txt
check "region reports both tiles" grep -q "2 tiles, years 2000 to 2000" region.txt

# From t1's corner (-60, 10) to the far tile's (-55.999, 6.999): 4.001
# degrees east, 16004 pixels of 0.00025 degrees, and 3.001 south, 12004.
for p in TCC TCH Loss; do
  vrt=products/region/${p}_2000.vrt
  gdalinfo "$vrt" > info_$p.txt
  check "$p mosaic spans both tiles" grep -q '^Size is 16004, 12004' info_$p.txt
  check "$p mosaic starts at t1's corner" grep -q '^Origin = (-60.000000000000000,10.000000000000000)' info_$p.txt
  # The same product pixel, once in each tile; nothing in between.
  inside_t1="$(value_at "$out/${p}_2000_t1.img" -59.37 9.41)"
  check "$p mosaic holds t1's pixel in t1's place" [ "$(value_at "$vrt" -59.37 9.41)" = "$inside_t1" ]
  check "$p mosaic holds the far tile's pixel in its place" [ "$(value_at "$vrt" -56.37 7.41)" = "$inside_t1" ]
  check "$p mosaic is 0 between the tiles" [ "$(value_at "$vrt" -58 7.5)" = 0 ]
  gdalinfo "products/region/${p}_2000.png" > picture_$p.txt
  check "$p picture is a PNG of the mosaic's shape, 2000 pixels wide" \
    bash -c "grep -q '^Driver: PNG/' picture_$p.txt && grep -q '^Size is 2000, 150[01]\$' picture_$p.txt"
done

# A tile of the list without products is an error, not a smaller mosaic.
printf 't1 -60 10\nnowhere 0 0\n' > missing.txt
status=0
bash "$scripts/region.sh" products 2000 missing.txt regions_missing > missing_out.txt 2>&1 || status=$?
check "a tile without products fails the region" [ "$status" -eq 1 ]
check "... naming the missing product" grep -q "TCC_2000_nowhere.img not found" missing_out.txt

cd /
rm -rf "$work"
if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all region checks passed"
