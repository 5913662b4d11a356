#!/usr/bin/env bash
# Forest by definition across a 2 x 2 grid of whole degrees, end to end
# through scripts/batch.sh (real GNU parallel, process_tile, tile_accounts
# --forest-edges and sum_accounts joining patches across the tiles), held to
# a plain flood fill of the mosaic of the list by the test's own program
# (forest_mosaic, which shares no code with the programs).
#
# The generated tiles (a landscape of canopy whose stands run across every
# border) have patches drawn into their inputs on the borders, each in a moat
# of water so that nothing else touches it: split across two tiles at 40
# pixels (just over the least area, 2.01 ha: 40 cells of some 508 m2 at 49 N
# are 2.034 ha, 39 are 1.983 ha) and at 39 pixels (just under); across all
# four tiles, its upper half (a, b) touching its lower half (c, d) only at a
# corner; two pieces of a and b touching only at a corner; a small piece of d
# touching c's forest; at the list's outer edges, over and under. Loss in 2001
# on a joined patch (counted: forest in 2000) and on one just under (not).
# The batch runs with 8 neighbours, then again with --connectivity 4, where
# the corners no longer join.
#
#   grid_forest_test.sh PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_ACCOUNTS FOREST_MOSAIC SCRATCH
set -euo pipefail

[ $# -eq 5 ] || {
  echo "usage: $0 PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_ACCOUNTS FOREST_MOSAIC SCRATCH" >&2
  exit 2
}
process_tile="$(realpath "$1")" make_tile="$(realpath "$2")" tile_accounts="$(realpath "$3")"
forest_mosaic="$(realpath "$4")" scratch="$(realpath -m "$5")"
here="$(cd "$(dirname "$0")" && pwd)"
scripts="$(cd "$here/../../scripts" && pwd)"

. "$here/checks.sh"
for program in ogr2ogr gdal_translate gdalbuildvrt parallel; do
  command -v "$program" > /dev/null || skip "$program is not installed (Debian's gdal-bin, parallel)"
done
[ -x "$(dirname "$tile_accounts")/sum_accounts" ] || skip "no sum_accounts beside $tile_accounts (build it)"
python=python3
[ ! -x /usr/bin/python3 ] || python=/usr/bin/python3
mosaic() { "$python" "$here/mosaic.py" "$@"; }

rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"

definition=30:10:2.01
# The shapes, in pixels of the mosaic (8004 x 8004; a owns rows and columns
# 0-4001, b columns 4002-8003, c rows 4002-8003): the borders run between
# rows 4001 and 4002 and between columns 4001 and 4002. Each shape's moat
# keeps the landscape three pixels away.
cat > design.txt <<'EOF'
# a|c, 40 pixels, 20 in each (over); loss in 2001 on its top row
moat 3995 4008 997 1007
canopy 3998 4005 1000 1004
cleared 2001 3998 3998 1000 1004
# a|c, 39 pixels (under); loss in 2001 on its top row
moat 3995 4008 1097 1107
canopy 3998 4004 1100 1104
canopy 4005 4005 1100 1103
cleared 2001 3998 3998 1100 1104
# a|b, 40 pixels, 24 in a (over)
moat 3897 3910 3996 4006
canopy 3900 3907 3999 4003
# a|b, 39 pixels (under)
moat 3917 3930 3996 4006
canopy 3920 3926 3999 4003
canopy 3927 3927 3999 4002
# four tiles: the upper half in a and b (34 pixels) and the lower in c and d
# (34) touch only where a's pixel (4001, 4001) meets d's (4002, 4002)
moat 3993 4010 3995 4008
canopy 3996 4000 3998 4003
canopy 4001 4001 3998 4001
canopy 4002 4002 4002 4005
canopy 4003 4007 4000 4005
# a (30 pixels) and b (30) touching only at a corner
moat 3847 3862 3993 4010
canopy 3850 3854 3996 4001
canopy 3855 3859 4002 4007
# c's forest of 242 pixels and a piece of 6 in d
moat 4097 4113 3977 4007
canopy 4100 4110 3980 4001
canopy 4100 4101 4002 4004
# the west edge across a|c, 40 pixels (over); the east edge across b|d, 39 (under)
moat 3995 4008 0 7
canopy 3998 4005 0 4
moat 3995 4008 7996 8003
canopy 3998 4004 7999 8003
canopy 4005 4005 8000 8003
# the north edge across a|b, 32 pixels at 50 N (under); the south edge across
# c|d, 48 at 48 N (over)
moat 0 6 3995 4008
canopy 0 3 3998 4005
moat 7995 8003 3995 4008
canopy 7998 8003 3998 4005
EOF
# Zones: one cutting the a|c patch of 40 pixels through a column's and a
# row's middle, one around the four tiles' corner, one along the west edge
# reaching beyond the list (clipped), two tenths of a pixel into it.
zones=(half:10.250625:48.90013:10.9:49.0002 corner:10.99013:48.99007:11.01011:49.01003
  edge:9.9:48.5:10.0001:49.5)
zone_args=()
for z in "${zones[@]}"; do zone_args+=(--zone "$z"); done
{
  echo "WKT,name"
  for z in "${zones[@]}"; do
    IFS=: read -r name w s e n <<< "$z"
    echo "\"POLYGON (($w $s,$e $s,$e $n,$w $n,$w $s))\",$name"
  done
} > zones.csv
check "zones made by ogr2ogr" ogr2ogr -q -f GPKG zones.gpkg zones.csv -nln zones -a_srs EPSG:4326 \
  -oo KEEP_GEOM_COLUMNS=NO

start=$(date +%s)
makers=()
for seed in 1 2 3 4; do
  tile=$(printf 'abcd' | cut -c"$seed")
  "$make_tile" input datamask wetland "$tile" 2001 "$seed" --compress NONE &
  makers+=($!)
done
for pid in "${makers[@]}"; do wait "$pid"; done
for placed in a:0:0 b:0:4000 c:4000:0 d:4000:4000; do
  IFS=: read -r tile row column <<< "$placed"
  "$forest_mosaic" stamp design.txt "$tile" "$row" "$column" input datamask 2001
done
echo "4 tiles generated and drawn on in $(( $(date +%s) - start )) s"
printf 'a 10 50\nb 11 50\nc 10 49\nd 11 49\n' > tiles.txt

counting_process_tile "$process_tile"
calls_since() { tail -n +$(($1 + 1)) calls | LC_ALL=C sort | tr '\n' ' '; }
acc=out/accounts
# batch CONNECTIVITY [OPTION...]: the grid's batch with the forest through
# CONNECTIVITY neighbours, its output in run<CONNECTIVITY>.txt; its status.
batch() {
  local connectivity="$1" status=0
  shift
  bash "$scripts/batch.sh" "$@" --forest "$definition" --connectivity "$connectivity" \
    --zones "$scratch/zones.gpkg" --zone-field name --thresholds 30 --tile-accounts "$tile_accounts" \
    tiles.txt 2001 input out datamask wetland "$scratch/counting_process_tile" \
    > "run$connectivity.txt" 2>&1 || status=$?
  cat "run$connectivity.txt"
  return "$status"
}
# label CONNECTIVITY: the mosaic labelled through CONNECTIVITY neighbours
# into labels<CONNECTIVITY>/, the drawn patches' sizes in probes<CONNECTIVITY>.txt.
label() {
  local args=("${zone_args[@]}") p
  for p in 3998:1000 3998:1100 3900:3999 3920:3999 3996:3998 4003:4005 3850:3996 3855:4002 \
    4100:4003 3998:0 3998:8003 0:3998 8003:3998; do
    args+=(--probe "2000:$p")
  done
  mkdir -p "labels$1"
  "$forest_mosaic" label grid mosaics 2001 "$definition" "$1" "labels$1" "${args[@]}" --probe 2001:3999:1000 \
    > "probes$1.txt"
}
# patch CONNECTIVITY YEAR:ROW:COLUMN:PIXELS:KIND...: the labelling through
# CONNECTIVITY neighbours found each pixel's patch that year of PIXELS
# pixels, forest or small.
patch() {
  local connectivity="$1" probe line wrong=0
  shift
  for probe in "$@"; do
    IFS=: read -r year row column pixels kind <<< "$probe"
    line="$(awk -v p="probe $year $row $column " 'index($0, p) == 1 { print $5 " " $7 }' \
      "probes$connectivity.txt")"
    [ "$line" = "$pixels $kind" ] || { echo "  $year $row $column: \"$line\", not \"$pixels $kind\"" >&2; wrong=1; }
  done
  return "$wrong"
}

start=$(date +%s)
status=0
batch 8 || status=$?
echo "batch of the grid with --forest: $(( $(date +%s) - start )) s"
check "the grid's batch with --forest $definition exits 0" [ "$status" -eq 0 ]
check "each tile ran once" [ "$(calls_since 0)" = "a b c d " ]
check "the manifest names the definition and 8 neighbours" \
  "$python" -c 'import json, sys
sys.exit(json.load(open(sys.argv[1])).get("forest") != {"definition": sys.argv[2], "connectivity": 8})' \
  "$acc/batch_accounts.json" "$definition"

# The mosaic, every location from the tile that owns it, labelled whole.
start=$(date +%s)
mosaic build grid 2001 out datamask mosaics a:10:50:0:4001:0:4001 b:11:50:0:4001:2:4003 \
  c:10:49:2:4003:0:4001 d:11:49:2:4003:2:4003
label 8
echo "mosaic built and labelled in $(( $(date +%s) - start )) s"
check "the a|c patch of 40 pixels is forest" patch 8 2000:3998:1000:40:forest
check "... and in 2001, its top row lost, is not" patch 8 2001:3999:1000:35:small
check "the a|c patch of 39 pixels is not forest" patch 8 2000:3998:1100:39:small
check "the a|b patch of 40 pixels is forest" patch 8 2000:3900:3999:40:forest
check "the a|b patch of 39 pixels is not" patch 8 2000:3920:3999:39:small
check "the halves across the four tiles are one forest patch" patch 8 2000:3996:3998:68:forest
check "the pieces of a and b touching at a corner are one forest patch" patch 8 2000:3850:3996:60:forest
check "d's piece is in c's forest" patch 8 2000:4100:4003:248:forest
check "the patch at the west edge is forest, the one at the east edge is not" \
  patch 8 2000:3998:0:40:forest 2000:3998:8003:39:small
check "the patch at the north edge is not forest, the one at the south edge is" \
  patch 8 2000:0:3998:32:small 2000:8003:3998:48:forest

# The labelling and tile_accounts agree where nothing is joined: tile a
# whole, alone (so a failure below is the join's, not the labelling's).
mosaic build alone 2001 out datamask mosaics a:10:50:0:4003:0:4003
"$forest_mosaic" label alone mosaics 2001 "$definition" 8 labels8 "${zone_args[@]}"
"$tile_accounts" --forest "$definition" --zones zones.gpkg --zone-field name --thresholds 30 \
  -- a 2001 out datamask alone
check "tile a alone: tile_accounts's forest table is the labelling's" \
  mosaic forest same plain labels8/alone_forest.csv alone/a_forest.csv
check "tile a alone: tile_accounts's zone forest table is the labelling's" \
  mosaic forest same zones labels8/alone_zone_forest.csv alone/a_zone_forest.csv

check "the batch's forest table is the mosaic's labelling (8 neighbours)" \
  mosaic forest same plain labels8/grid_forest.csv "$acc/batch_forest.csv"
check "the batch's zone forest table is the mosaic's labelling (8 neighbours)" \
  mosaic forest same zones labels8/grid_zone_forest.csv "$acc/batch_zone_forest.csv"
# The test can fail: the tiles' own tables leave out the patches joined
# across borders.
check "the tiles' own forest tables add up to less than the mosaic's" \
  mosaic forest apart plain labels8/grid_forest.csv "$acc"/{a,b,c,d}_forest.csv

# --- again through 4 neighbours: the corners no longer join ---------------
calls_before=$(wc -l < calls)
status=0
batch 4 --resume || status=$?
check "--resume --connectivity 4 exits 0" [ "$status" -eq 0 ]
check "... runs every tile again (their forest was joined through 8)" \
  [ "$(calls_since "$calls_before")" = "a b c d " ]
label 4
check "the halves across the four tiles are two patches, neither forest" \
  patch 4 2000:3996:3998:34:small 2000:4003:4005:34:small
check "the pieces of a and b are two patches, neither forest" \
  patch 4 2000:3850:3996:30:small 2000:3855:4002:30:small
check "the labellings through 4 and 8 neighbours differ" \
  mosaic forest apart plain labels4/grid_forest.csv labels8/grid_forest.csv
check "the batch's forest table is the mosaic's labelling (4 neighbours)" \
  mosaic forest same plain labels4/grid_forest.csv "$acc/batch_forest.csv"
check "the batch's zone forest table is the mosaic's labelling (4 neighbours)" \
  mosaic forest same zones labels4/grid_zone_forest.csv "$acc/batch_zone_forest.csv"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; scratch kept in $scratch" >&2
  exit 1
fi
rm -rf "$scratch"
echo "all checks passed"
