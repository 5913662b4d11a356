#!/usr/bin/env bash
# scripts/region.sh on the products of a real batch (left in SCRATCH/out by
# batch_test.sh) and on tiles that do not touch: one mosaic per product and
# year spanning every tile, each tile's pixels in their place, 0 in the gap,
# and a picture of each last-year mosaic. Then what must not go wrong: a tile
# without products or with an unreadable one fails the build naming it, a
# build killed (SIGKILL) halfway leaves the previous files whole, and two
# builds at once leave mosaics of one tile set each.
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
# shellcheck source=scripts/pictures.sh
. "$scripts/pictures.sh"
# The value of a raster at a longitude and latitude.
value_at() { gdallocationinfo -valonly -geoloc "$1" "$2" "$3"; }
# The red, green and blue of a picture's pixel (column, row from the top left).
rgb_at() { gdallocationinfo -valonly "$1" "$2" "$3" | tr '\n' ' ' | sed 's/ $//'; }
# Whether gdalinfo of FILE has a line matching each PATTERN.
info_has() {
  local info pattern
  info="$(gdalinfo "$1")" || return 1
  shift
  for pattern in "$@"; do grep -q -- "$pattern" <<< "$info" || return 1; done
}
# The tiles a VRT mosaic reads, blank-separated and sorted.
mosaic_tiles() { sed -n 's|.*<SourceFilename[^>]*>.*_\([^_/]*\)\.img</SourceFilename>.*|\1|p' "$1" | sort | tr '\n' ' '; }

# t1 as it is, and a copy of it placed 2 degrees east and 2 south of its own
# corner: a second tile far from the first, with known values.
for p in TCC TCH Loss; do
  ln -s "$out/${p}_2000_t1.img" "products/${p}_2000_t1.img"
  gdal_translate -q -of HFA -a_ullr -57 8 -55.999 6.999 "$out/${p}_2000_t1.img" "products/${p}_2000_far.img"
done
# The tile file's name reads like an assignment; it is a file name all the same.
printf '# two tiles apart\nt1 -60 10\n\nfar -57 8   # east and south\n' > 'tiles=v2.txt'

status=0
timeout 60 bash "$scripts/region.sh" products 2000 'tiles=v2.txt' < /dev/null > region.txt 2>&1 || status=$?
check "region of the tile file tiles=v2.txt: exit 0" [ "$status" -eq 0 ]
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
  # The picture: the reduced tiles at 1.001 / 182 degrees a pixel, 727 x 546
  # of them, too few to shrink, drawn 1:1 into a plot area whose upper-left
  # pixel is (90, 50). Between the tiles lies no tile: white, which no ramp
  # has; inside each tile the product's colours.
  png="products/region/${p}_2000.png"
  check "$p picture is a whole PNG" whole_png "$png"
  check "$p picture: no tile (-58, 7.5) is white" [ "$(rgb_at "$png" 453 504)" = "255 255 255" ]
  check "$p picture: t1 (-59.5, 9.5) is coloured" [ "$(rgb_at "$png" 181 141)" != "255 255 255" ]
  check "$p picture: the far tile (-56.5, 7.5) is coloured" [ "$(rgb_at "$png" 726 504)" != "255 255 255" ]
  check "$p picture: the plot and, around it, title, axes and legend (1077 x 656)" info_has "$png" '^Size is 1077, 656$'
done

# The pictures are drawn from each tile's reduced copy, made here as the
# products came without one. Its Loss band is the share of the tile's pixels
# with loss, exactly: any non-zero byte is loss, and the average is taken in
# floating point (in bytes a lone loss pixel among 22 x 22 would vanish).
check "the region made the reduced copies the tiles lacked" grep -q "(2 reduced copies made here)" region.txt
zeros="$(GDAL_PAM_ENABLED=NO gdalinfo -hist "$out/Loss_2000_t1.img" | awk '/buckets from/ { getline; print $1; exit }')"
loss_mean="$(GDAL_PAM_ENABLED=NO gdalinfo -stats products/reduced/Reduced_2000_t1.tif \
  | sed -n 's/.*STATISTICS_MEAN=//p' | sed -n '3p')"
echo "t1 2000: $zeros of 16032016 pixels without loss; reduced Loss band mean $loss_mean"
check "the reduced Loss band averages to the share of pixels with loss" \
  awk -v z="$zeros" -v m="$loss_mean" 'BEGIN { s = 1 - z / 16032016; d = s - m; exit !(z > 0 && s > 0 && d < 1e-7 && d > -1e-7) }'

# A copy is trusted only where it fits its tile: another tile's copy under
# the far tile's name, or garbage, is made again, and the far tile is drawn.
cp products/reduced/Reduced_2000_t1.tif products/reduced/Reduced_2000_far.tif
bash "$scripts/region.sh" products 2000 'tiles=v2.txt' regions_refit > refit.txt 2>&1 || true
check "a copy of another tile's is made again" grep -q "(1 reduced copies made here)" refit.txt
check "... and the far tile drawn in its place" [ "$(rgb_at regions_refit/TCC_2000.png 726 504)" != "255 255 255" ]
head -c 3000 /dev/urandom > products/reduced/Reduced_2000_far.tif
bash "$scripts/region.sh" products 2000 'tiles=v2.txt' regions_refit > refit.txt 2>&1 || true
check "an unreadable copy is made again" grep -q "(1 reduced copies made here)" refit.txt

# The region of the output directory is its own: a link there is replaced,
# nothing is written where it led.
mkdir -p linked elsewhere
for f in products/*_2000_t1.img; do ln -s "$PWD/$f" linked/; done
ln -s "$PWD/elsewhere" linked/region
printf 't1\n' > t1_only.txt
bash "$scripts/region.sh" linked 2000 t1_only.txt > linked.txt 2>&1 || true
check "a link at OUTPUT_DIR/region: the region built in a directory of its own" \
  bash -c '[ -d linked/region ] && [ ! -L linked/region ] && [ -f linked/region/TCC_2000.png ] && [ -z "$(ls -A elsewhere)" ]'

# A tile of the list without products is an error, not a smaller mosaic.
printf 't1 -60 10\nnowhere 0 0\n' > missing.txt
status=0
bash "$scripts/region.sh" products 2000 missing.txt regions_missing > missing_out.txt 2>&1 || status=$?
check "a tile without products fails the region" [ "$status" -eq 1 ]
check "... naming the missing product" grep -q "TCC_2000_nowhere.img not found" missing_out.txt
# The reason stays beside the pictures (the batch page reads it) until a build succeeds.
check "... its reason kept beside the pictures" grep -q "TCC_2000_nowhere.img not found" regions_missing/last-build-failed.txt
bash "$scripts/region.sh" products 2000 t1_only.txt regions_missing > /dev/null 2>&1 || true
check "... and gone once a build succeeds" [ ! -e regions_missing/last-build-failed.txt ]
# Lines end at newlines only: a line separator (U+2028) inside a comment does
# not end the comment (here the same failure, from the tile listed after it).
printf '# pasted \342\200\250note\nnowhere 0 0\n' > separator.txt
status=0
bash "$scripts/region.sh" products 2000 separator.txt regions_missing > separator_out.txt 2>&1 || status=$?
check "a comment holding U+2028 stays a comment" \
  bash -c '[ "$1" -eq 1 ] && grep -q "TCC_2000_nowhere.img not found" separator_out.txt' _ "$status"

# So is a product that cannot be read: garbage under a product's name.
head -c 5000 /dev/urandom > products/TCH_2000_junk.img
ln -s "$out/TCC_2000_t2.img" products/TCC_2000_junk.img
ln -s "$out/Loss_2000_t2.img" products/Loss_2000_junk.img
printf 't1\njunk\n' > junk.txt
status=0
bash "$scripts/region.sh" products 2000 junk.txt regions_junk > junk_out.txt 2>&1 || status=$?
check "an unreadable product fails the region" [ "$status" -ne 0 ]
check "... naming its tile" grep -q "tile junk" junk_out.txt
check "... leaving no mosaic or picture" bash -c '[ -z "$(find regions_junk -name "*.vrt" -o -name "*.png")" ]'

# A build killed with SIGKILL while it draws its pictures (t1 alone, smaller
# ones): the mosaics and pictures there before stay whole and as they were.
mkdir before
cp products/region/*_2000.vrt products/region/*_2000.png before/
printf 't1\n' > t1.txt
mkdir tmp
# In a session of its own, so that what it started can be ended with it; its
# temporary directory under tmp/.
TMPDIR="$work/tmp" REGION_SIZE=1000 setsid bash "$scripts/region.sh" products 2000 t1.txt > killed.txt 2>&1 &
killed=$!
drawing=0
for _ in $(seq 600); do
  if compgen -G "products/region/.tmp-region-$killed-*.png" > /dev/null; then drawing=1; break; fi
  kill -0 "$killed" 2>/dev/null || break
  sleep 0.02
done
kill -KILL "$killed" 2>/dev/null || true
wait "$killed" 2>/dev/null || true
kill -KILL -- "-$killed" 2>/dev/null || true    # the GDAL programs it left running
check "(the build was killed while drawing its pictures)" [ "$drawing" -eq 1 ]
unchanged=1
for f in before/*; do cmp -s "$f" "products/region/${f#before/}" || unchanged=0; done
check "a killed build leaves the previous mosaics and pictures as they were" [ "$unchanged" -eq 1 ]
for p in TCC TCH Loss; do
  check "... the $p picture a whole PNG" whole_png "products/region/${p}_2000.png"
done

# The next build clears what the killed one left, and nothing else: with
# DEST_DIR the output directory itself, a user's .tmp-keep and the private
# directory of a process_tile that runs (.tmp-<pid>-<tile>.XXXXXX, here this
# shell's pid) stay.
mkdir -p products/.tmp-keep "products/.tmp-$$-t9.Xq3f"
echo "years of work" > products/.tmp-keep/thesis.txt
touch "products/.tmp-$$-t9.Xq3f/TCC_2000_t9.img"
REGION_SIZE=200 bash "$scripts/region.sh" products 2000 t1.txt products > into_output.txt 2>&1 || true
check "a build into the output directory: exit 0" grep -q "1 tile, years 2000 to 2000" into_output.txt
check "... a user's .tmp-keep/thesis.txt is kept" grep -qx "years of work" products/.tmp-keep/thesis.txt
check "... a running process_tile's private directory is kept" [ -f "products/.tmp-$$-t9.Xq3f/TCC_2000_t9.img" ]
check "(the killed build left its temporary files)" compgen -G "products/region/.tmp-region-$killed-*"
REGION_SIZE=200 bash "$scripts/region.sh" products 2000 t1.txt > /dev/null 2>&1 || true
check "... which the next build in its place clears" bash -c '[ -z "$(find products/region -name ".tmp-region-*")" ]'

# Two builds at once into the same place, of other tile sets and two years:
# each product's mosaics then read one tile set, the same for every product
# and year, and the pictures are of that set. Small tiles, so that the builds
# are quick: s1 and s2, 40 pixels square, s2 east of s1 (the pair 2 wide to 1
# high), their 2001 products those of 2000 under another name.
for p in TCC TCH Loss; do
  gdal_translate -q -of HFA -srcwin 0 0 40 40 -a_ullr -60 10 -59.99 9.99 "$out/${p}_2000_t1.img" "products/${p}_2000_s1.img"
  gdal_translate -q -of HFA -srcwin 40 0 40 40 -a_ullr -59.99 10 -59.98 9.99 "$out/${p}_2000_t1.img" "products/${p}_2000_s2.img"
  for t in s1 s2; do ln -s "${p}_2000_$t.img" "products/${p}_2001_$t.img"; done
done
printf 's1\ns2\n' > pair.txt
printf 's1\n' > s1.txt
REGION_SIZE=200 bash "$scripts/region.sh" products 2001 pair.txt > pair_out.txt 2>&1 & first=$!
REGION_SIZE=200 bash "$scripts/region.sh" products 2001 s1.txt > s1_out.txt 2>&1 & second=$!
status_a=0; wait "$first" || status_a=$?
status_b=0; wait "$second" || status_b=$?
check "two region builds at once (after the killed one): both exit 0" [ "$status_a/$status_b" = 0/0 ]
sets=""
for p in TCC TCH Loss; do
  for y in 2000 2001; do sets+="$(mosaic_tiles "products/region/${p}_$y.vrt")/"; done
done
echo "tile sets of the mosaics: $sets"
check "... every mosaic reads one tile set, the same" \
  bash -c '[ "$1" = "s1 s2 /s1 s2 /s1 s2 /s1 s2 /s1 s2 /s1 s2 /" ] || [ "$1" = "s1 /s1 /s1 /s1 /s1 /s1 /" ]' _ "$sets"
# The pair's reduced mosaic, 364 x 182, shrinks to 200 x 100 and is drawn 3
# times (600 x 300 plot, 950 x 440 picture: the legend needs 330 rows); s1's, 182 x 182, is drawn 4
# times (728 x 728, 1078 x 838).
shape="950, 440"
[ "${sets%%/*}" = "s1 s2 " ] || shape="1078, 838"
check "... the pictures are of that set ($shape)" \
  bash -c 'for p in TCC TCH Loss; do
             info="$(gdalinfo "products/region/${p}_2001.png")" && grep -qx "Size is $1" <<< "$info" || exit 1
           done' _ "$shape"

cd /
rm -rf "$work"
if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all region checks passed"
