#!/usr/bin/env bash
# The forest accounts of overlapping tiles, end to end through
# scripts/batch.sh (real GNU parallel, process_tile, tile_accounts and
# sum_accounts): a 2 x 2 grid of whole degrees (each tile shares a strip of
# 4 pixels with its neighbours, and a corner of 4 x 4 with three), a row of
# three, and two tiles 4001 pixels apart (an odd overlap of 3: its middle
# column is as near to both centres, and goes to the tile listed first), and
# two tiles half a tile apart both ways (a part of a band a row).
# Neighbours are generated from other seeds, so their shared strips differ:
# a strip counted twice, or by the wrong tile, changes the figures. The
# batch's tables are checked against the mosaic of the list, every location
# cut from the tile that owns it by GDAL's own programs (the windows
# written out by hand here) and counted whole by tile_accounts. Then a tile
# added beside the grid changes two tiles' parts: --resume recounts those
# alone (and runs the new one).
#
#   grid_accounts_test.sh PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_ACCOUNTS SCRATCH
set -euo pipefail

[ $# -eq 4 ] || { echo "usage: $0 PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_ACCOUNTS SCRATCH" >&2; exit 2; }
process_tile="$(realpath "$1")" make_tile="$(realpath "$2")" tile_accounts="$(realpath "$3")"
scratch="$(realpath -m "$4")"
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
# part LOGS TILE: the part the tile's record says its accounts counted
part() {
  "$python" -c 'import json, sys
print(json.load(open("%s/tiles/%s/record.json" % tuple(sys.argv[1:3]))).get("accounts_part"))' "$@"
}

rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"

start=$(date +%s)
makers=()
for seed in 1 2 3 4; do
  "$make_tile" input datamask wetland "s$seed" 2001 "$seed" --compress NONE &
  makers+=($!)
done
for pid in "${makers[@]}"; do wait "$pid"; done
echo "4 tiles generated in $(( $(date +%s) - start )) s"
for pair in a:s1 b:s2 c:s3 d:s4 e:s1 f:s2 g:s3 h:s1 i:s2 j:s3 k:s1 l:s2; do use_layers "${pair%:*}" "${pair#*:}"; done

counting_process_tile "$process_tile"
calls_since() { tail -n +$(($1 + 1)) calls | LC_ALL=C sort | tr '\n' ' '; }

# The grid a b / c d at 10 and 11 E, 50 and 49 N; the row e f g at 20 to
# 22 E; i listed before h, 4001 pixels east of it.
printf 'a 10 50\nb 11 50\nc 10 49\nd 11 49\ne 20 50\nf 21 50\ng 22 50\ni 31.00025 50\nh 30 50\n' > tiles.txt
# k and l half a tile apart both ways: the line between their centres runs
# across the rows, a part of a band a row, longer than a command line of
# GNU parallel may be.
printf 'k 40 11\nl 40.5 10.5\n' >> tiles.txt
# "cross" over the grid's middle, its corner square and four strips;
# "strip" along the strip a and b share; "row" across e, f and g; "tie"
# across h and i.
cat > zones.csv <<EOF
WKT,name
"POLYGON ((10.7 48.7,11.3 48.7,11.3 49.3,10.7 49.3,10.7 48.7))",cross
"POLYGON ((10.9995 49.5,11.0015 49.5,11.0015 49.9,10.9995 49.9,10.9995 49.5))",strip
"POLYGON ((20.5 49.5,22.5 49.5,22.5 49.6,20.5 49.6,20.5 49.5))",row
"POLYGON ((30.9 49.2,31.1 49.2,31.1 49.6,30.9 49.6,30.9 49.2))",tie
EOF
check "zones made by ogr2ogr" ogr2ogr -q -f GPKG zones.gpkg zones.csv -nln zones -a_srs EPSG:4326 \
  -oo KEEP_GEOM_COLUMNS=NO
accounts=(--accounts --zones "$scratch/zones.gpkg" --zone-field name --thresholds "10,30"
  --tile-accounts "$tile_accounts")
acc=out/accounts
status=0
start=$(date +%s)
bash "$scripts/batch.sh" "${accounts[@]}" tiles.txt 2001 input out datamask wetland \
  "$scratch/counting_process_tile" > run1.txt 2>&1 || status=$?
cat run1.txt
echo "batch of nine overlapping tiles: $(( $(date +%s) - start )) s"
check "the batch of overlapping tiles with --accounts --zones exits 0" [ "$status" -eq 0 ]
check "each tile ran once" [ "$(calls_since 0)" = "a b c d e f g h i k l " ]

# Each strip split down its middle; the tie to i, listed first.
expected="a=0-4001:0-4001 b=0-4001:2-4003 c=2-4003:0-4001 d=2-4003:2-4003 e=0-4003:0-4001 f=0-4003:2-4001"
expected+=" g=0-4003:2-4003 h=0-4003:0-4001 i=0-4003:1-4003"
parts_seen=""
for t in a b c d e f g h i; do parts_seen+="$t=$(part out/logs "$t") "; done
check "each tile's record holds the part it owns ($parts_seen)" [ "$parts_seen" = "$expected " ]

# The tiles' tables add up to the batch's.
part_bytes="$(part out/logs k | wc -c)/$(part out/logs l | wc -c)"
check "k and l: parts of a band a row or two ($part_bytes bytes)" \
  bash -c '[ "${1%/*}" -gt 30000 ] && [ "${1#*/}" -gt 30000 ]' _ "$part_bytes"
tables() { for t in a b c d e f g h i k l; do echo "$acc/${t}_$1.csv"; done; }
# shellcheck disable=SC2046  # the paths, split
check "the batch tables are the sums of the tiles' tables" \
  bash -c '"$1" "$2/account_sums.py" sums plain "$3/batch_accounts.csv" "${@:5:11}" &&
           "$1" "$2/account_sums.py" sums zones "$3/batch_zone_accounts.csv" "${@:16:11}"' \
  _ "$python" "$here" "$acc" - $(tables accounts) $(tables zone_accounts)

# The mosaics, each location from the tile owning it.
start=$(date +%s)
mosaic build grid 2001 out datamask mosaics a:10:50:0:4001:0:4001 b:11:50:0:4001:2:4003 \
  c:10:49:2:4003:0:4001 d:11:49:2:4003:2:4003
mosaic build row 2001 out datamask mosaics e:20:50:0:4003:0:4001 f:21:50:0:4003:2:4001 g:22:50:0:4003:2:4003
mosaic build tie 2001 out datamask mosaics i:31.00025:50:0:4003:1:4003 h:30:50:0:4003:0:4001
for m in grid row tie; do
  "$tile_accounts" --zones zones.gpkg --zone-field name --thresholds 10,30 -- "$m" 2001 mosaics mosaics \
    mosaic_accounts
done
echo "mosaics built and counted in $(( $(date +%s) - start )) s"
check "the mosaic of the grid is 8004 x 8004 pixels" \
  bash -c 'gdalinfo mosaics/TCC_2001_grid.img > grid_info.txt && grep -q "^Size is 8004, 8004" grid_info.txt'
# k and l, whose parts no rectangle cuts, go in as their own tables (their
# parts are checked pixel by pixel against the nearest centre in
# tests/python/test_ownership.py).
check "the batch table is the mosaics' figures, every location counted once" \
  mosaic same plain "$acc/batch_accounts.csv" mosaic_accounts/{grid,row,tie}_accounts.csv "$acc"/{k,l}_accounts.csv
check "the batch zone table is the mosaics' figures (zones across the tiles' borders)" \
  mosaic same zones "$acc/batch_zone_accounts.csv" mosaic_accounts/{grid,row,tie}_zone_accounts.csv \
  "$acc"/{k,l}_zone_accounts.csv

# The test can fail: the strips differ between neighbours, and counting a
# tile whole gives more land than its part.
check "a's and b's shared columns differ in their cover" \
  bash -c 'gdal_translate -q -of ENVI -srcwin 4002 0 2 4002 out/TCC_2001_a.img ca.bin &&
           gdal_translate -q -of ENVI -srcwin 0 0 2 4002 out/TCC_2001_b.img cb.bin && ! cmp -s ca.bin cb.bin'
"$tile_accounts" --thresholds 10 -- b 2001 out datamask whole_b
land_of() { awk -F, '$2 == 10 && $3 == 2001 { print $4 }' "$1"; }
check "b counted whole has more land ($(land_of whole_b/b_accounts.csv) ha) than its part ($(land_of "$acc/b_accounts.csv") ha)" \
  awk -v w="$(land_of whole_b/b_accounts.csv)" -v p="$(land_of "$acc/b_accounts.csv")" 'BEGIN { exit !(w > p + 1) }'

# --- a tile added east of b: b's part changes, --resume recounts b alone -----
printf 'j 12 50\n' >> tiles.txt
calls_before=$(wc -l < calls)
status=0
bash "$scripts/batch.sh" --resume "${accounts[@]}" tiles.txt 2001 input out datamask wetland \
  "$scratch/counting_process_tile" > run2.txt 2>&1 || status=$?
cat run2.txt
check "--resume with j added: exit 0" [ "$status" -eq 0 ]
# j is b's neighbour to the east and d's to the north-east: with no tile
# east of d, the square the three share is split along the diagonal
# between d's and j's centres (a tie at its middle goes to d, listed first).
check "... runs b and d (their parts changed) and j, nothing else" [ "$(calls_since "$calls_before")" = "b d j " ]
check "... b's record holds its new part" [ "$(part out/logs b)" = "0-4001:2-4001" ]
check "... d's, without one pixel of its corner" [ "$(part out/logs d)" = "2-2:2-4002,3-4003:2-4003" ]
check "... j's, the strip with b split, the corner with d cut along the diagonal" \
  [ "$(part out/logs j)" = "0-4001:2-4003,4002-4002:3-4003,4003-4003:4-4003" ]
# shellcheck disable=SC2046  # the paths, split
check "... the batch table is again the sum of the tiles' tables" \
  "$python" "$here/account_sums.py" sums plain "$acc/batch_accounts.csv" $(tables accounts) "$acc/j_accounts.csv"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; scratch kept in $scratch" >&2
  exit 1
fi
rm -rf "$scratch"
echo "all checks passed"
