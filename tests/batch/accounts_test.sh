#!/usr/bin/env bash
# The forest accounts of a batch end to end, with the real process_tile,
# tile_accounts and sum_accounts (found beside tile_accounts) on three
# generated tiles of 2001 side by side (1.001 degrees apart, so not
# overlapping) and a GeoPackage of zones made by ogr2ogr from a CSV: a zone
# across the border of t1 and t2, two overlapping features of one zone, a
# zone with a hole, a zone whose name holds a comma, a quote and non-ASCII
# letters; none reaches the third tile, -t3 (an id that begins with '-',
# which tile_accounts and sum_accounts must not take for an option). Through
# scripts/batch.sh: the tiles' tables and the batch tables, the latter checked
# against sums made here from the former (tests/batch/account_sums.py, exact
# decimals); the refusal of tiles overlapping off one pixel grid; --report rewriting the same
# tables; a zones file changed (not done, no batch tables, --resume runs
# again); a tile's table truncated (failed) or damaged in place under its old
# size and time (sum_accounts names it, no batch tables); the same tiles
# without zones (the zone tables go, the batch table stays the same);
# a zone field the file lacks refused before any tile runs; tile_accounts
# failing (the products stay, the tile fails); the batch page's
# accounts section.
#
#   accounts_test.sh PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_ACCOUNTS SCRATCH
set -euo pipefail

[ $# -eq 4 ] || { echo "usage: $0 PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_ACCOUNTS SCRATCH" >&2; exit 2; }
process_tile="$(realpath "$1")" make_tile="$(realpath "$2")" tile_accounts="$(realpath "$3")"
scratch="$(realpath -m "$4")"
here="$(cd "$(dirname "$0")" && pwd)"
scripts="$(cd "$here/../../scripts" && pwd)"

. "$here/checks.sh"
command -v ogr2ogr > /dev/null || skip "ogr2ogr (Debian's gdal-bin) is not installed"
[ -x "$(dirname "$tile_accounts")/sum_accounts" ] || skip "no sum_accounts beside $tile_accounts (build it)"
python=python3
[ ! -x /usr/bin/python3 ] || python=/usr/bin/python3
sums() { "$python" "$here/account_sums.py" "$@"; }
# record LOGS TILE FIELD: a field of the tile's record, JSON null as "null".
record() {
  "$python" -c 'import json, sys
try:
    value = json.load(open("%s/tiles/%s/record.json" % tuple(sys.argv[1:3]))).get(sys.argv[3])
except (OSError, ValueError, AttributeError):
    value = "no record"
print(value if isinstance(value, str) else json.dumps(value))' "$@"
}

rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"

start=$(date +%s)
makers=()
for i in 1 2 3; do
  "$make_tile" input datamask wetland "t$i" 2001 "$i" --compress NONE &
  makers+=($!)
done
for pid in "${makers[@]}"; do wait "$pid"; done
# t3's layers under the names of the tile -t3.
mkdir input/-t3
for f in input/t3/t3_*; do ln -s "$scratch/$f" "input/-t3/-${f#input/t3/}"; done
ln -s "$scratch/datamask/t3_datamask.tif" datamask/-t3_datamask.tif
ln -s "$scratch/wetland/t3_wetlandmask.tif" wetland/-t3_wetlandmask.tif
echo "tiles generated in $(( $(date +%s) - start )) s"

# process_tile behind a wrapper that records every call.
cat > counting_process_tile <<EOF
#!/bin/sh
echo "\$1" >> "$scratch/calls"
exec "$process_tile" "\$@"
EOF
chmod +x counting_process_tile
: > calls
calls_since() { tail -n +$(($1 + 1)) calls | LC_ALL=C sort | tr '\n' ' '; }   # calls_since N: the tiles called after the N-th call

# t1 covers longitudes [-60, -58.999), t2 [-58.999, -57.998), -t3 the next;
# all of them latitudes (8.999, 10]. Each tile's east edge has no data.
printf 't1 -60 10\nt2 -58.999 10\n-t3 -57.998 10\n' > tiles.txt
weird='Zoné, "quoted" – ü'
weird_csv='"Zoné, ""quoted"" – ü"'   # the same as a CSV field
cat > zones.csv <<EOF
WKT,name
"POLYGON ((-59.3 9.3,-58.7 9.3,-58.7 9.7,-59.3 9.7,-59.3 9.3))",border
"POLYGON ((-59.9 9.1,-59.6 9.1,-59.6 9.4,-59.9 9.4,-59.9 9.1))",pair
"POLYGON ((-58.6 9.1,-58.1 9.1,-58.1 9.6,-58.6 9.6,-58.6 9.1),(-58.5 9.2,-58.5 9.5,-58.2 9.5,-58.2 9.2,-58.5 9.2))",holed
"POLYGON ((-59.95 9.6,-59.85 9.6,-59.85 9.9,-59.95 9.9,-59.95 9.6))",$weird_csv
"POLYGON ((-59.8 9.2,-59.5 9.2,-59.5 9.5,-59.8 9.5,-59.8 9.2))",pair
EOF
check "zones made by ogr2ogr" ogr2ogr -q -f GPKG zones.gpkg zones.csv -nln zones -a_srs EPSG:4326 \
  -oo KEEP_GEOM_COLUMNS=NO
zones="$scratch/zones.gpkg"

run_batch() {  # run_batch OUTFILE ARGS... ; the exit status goes to $status
  status=0
  bash "$scripts/batch.sh" "${@:2}" > "$1" 2>&1 || status=$?
  cat "$1"
}
accounts=(--accounts --zones "$zones" --zone-field name --thresholds "10,30" --tile-accounts "$tile_accounts")
shared=(tiles.txt 2001 input out datamask wetland "$scratch/counting_process_tile")
acc=out/accounts
tile_tables() {  # tile_tables SUFFIX: the tiles' tables of that name, in list order
  echo "$acc/t1_$1.csv" "$acc/t2_$1.csv" "$acc/-t3_$1.csv"
}
# batch_sums: both batch tables are the sums of the tiles' tables
batch_sums() {
  # shellcheck disable=SC2046  # the three paths, split
  sums sums plain "$acc/batch_accounts.csv" $(tile_tables accounts) &&
    sums sums zones "$acc/batch_zone_accounts.csv" $(tile_tables zone_accounts)
}
no_batch_tables() { [ ! -e "$acc/batch_accounts.csv" ] && [ ! -e "$acc/batch_zone_accounts.csv" ]; }
manifest_tables() { "$python" -c 'import json, sys; print(json.dumps(json.load(open(sys.argv[1]))["tables"]))' \
  "$acc/batch_accounts.json"; }
# report_rows: tile/state/message of each tile in the report written last, by tile
report_rows() { awk -F'\t' 'NR > 1 { print $1 "/" $2 "/" $NF }' out/logs/report.tsv | LC_ALL=C sort | tr '\n' ';'; }

# --- overlapping tiles off one pixel grid: refused with --accounts, before anything runs
# Tiles 1 degree apart share a strip of 4 pixels, counted once (the grid test
# shows how); a hundred-thousandth of a degree more and no pixel of one is a
# pixel of the other. Two tiles at one place, across the antimeridian, too.
printf 't1 -60 10\nt2 -59.00001 10\n' > overlap.txt
run_batch overlap_run.txt "${accounts[@]}" overlap.txt 2001 input overlap_out datamask wetland \
  "$scratch/counting_process_tile"
check "two overlapping tiles off one pixel grid with --accounts: exit 2" [ "$status" -eq 2 ]
check "... naming both" grep -q "tiles t1 and t2 cannot share their overlap: .*not a whole number of pixels apart" \
  overlap_run.txt
check "... nothing run, no output directory" bash -c '[ ! -s calls ] && [ ! -e overlap_out ]'
run_batch overlap_dry.txt --dry-run overlap.txt 2001 input overlap_out datamask wetland "$process_tile"
check "the same list without --accounts: not refused (dry run exits 0)" [ "$status" -eq 0 ]
printf 'east 180 10\nwest -180 10\n' > antimeridian.txt
run_batch overlap_run.txt --dry-run --accounts antimeridian.txt 2001 input overlap_out datamask wetland "$process_tile"
check "tiles at 180 and -180 (one place) with --accounts: exit 2" [ "$status" -eq 2 ]
check "... as one origin" grep -q "tiles east and west cannot share their overlap: they have the same origin" \
  overlap_run.txt

# --- the batch ----------------------------------------------------------------------
start=$(date +%s)
run_batch run1.txt "${accounts[@]}" "${shared[@]}"
echo "batch of three tiles with accounts and zones: $(( $(date +%s) - start )) s"
check "batch with --accounts --zones exits 0" [ "$status" -eq 0 ]
check "each tile ran once" [ "$(calls_since 0)" = "-t3 t1 t2 " ]
check "each tile's record: accounts status 0" \
  [ "$(record out/logs t1 accounts_status)$(record out/logs t2 accounts_status)$(record out/logs -t3 accounts_status)" = 000 ]
plain_columns="tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean"
zone_columns="tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean"
for t in t1 t2 -t3; do
  check "$t: accounts table, its header and 2 thresholds x 2 years" \
    [ "$(head -n 1 "$acc/${t}_accounts.csv")/$(tail -n +2 "$acc/${t}_accounts.csv" | cut -d, -f1-3 | tr '\n' ' ')" = \
      "$plain_columns/$t,10,2000 $t,10,2001 $t,30,2000 $t,30,2001 " ]
  check "$t: zone table with its header" [ "$(head -n 1 "$acc/${t}_zone_accounts.csv")" = "$zone_columns" ]
done
zones_of() { sums zones "$acc/$1_zone_accounts.csv" | tr '\n' ';'; }
check "t1's zones in the order of their first feature" [ "$(zones_of t1)" = "border;pair;$weird;" ]
check "... that name's rows as CSV writes them" \
  [ "$(grep -cF "t1,$weird_csv,"'30,2001,' "$acc/t1_zone_accounts.csv")" = 1 ]
check "t2's zones: the border zone and the holed one" [ "$(zones_of t2)" = "border;holed;" ]
check "-t3's zone table: the header alone (no zone reaches it)" [ "$(cat "$acc/-t3_zone_accounts.csv")" = "$zone_columns" ]
check "the batch tables' headers" \
  [ "$(head -n 1 "$acc/batch_accounts.csv")/$(head -n 1 "$acc/batch_zone_accounts.csv")" = \
    "${plain_columns#tile_id,}/${zone_columns#tile_id,}" ]
check "the batch tables are the sums of the tiles' tables (threshold, year; zone, threshold, year)" batch_sums
check "the odd zone name in the batch table as CSV writes it" \
  [ "$(grep -cF "$weird_csv,"'10,2000,' "$acc/batch_zone_accounts.csv")" = 1 ]
check "the batch's loss of 2001 is not nothing (the sums see a year of loss)" \
  awk -F, '$1 == 30 && $2 == 2001 && $5 > 0 { n++ } END { exit n != 1 }' "$acc/batch_accounts.csv"
# The border zone has land on both sides; its batch land is their sum.
sums zone border "$acc/t1_zone_accounts.csv" "$acc/t2_zone_accounts.csv" > border.txt
border_land() { awk '$2 == 10 && $3 == 2001 { print $1, $4 }' border.txt | tr '\n' ' '; }
check "the border zone has land in t1 and t2 ($(border_land))" \
  awk '$2 == 10 && $3 == 2001 && $4 > 1000 { seen[$1] = 1 } END { exit !(seen["t1"] && seen["t2"]) }' border.txt
check "... and its batch land is the sum of the two" \
  [ "$(awk '$2 == 10 && $3 == 2001 { s += $4 } END { printf "%.6f", s }' border.txt)" = \
    "$(awk -F, '$1 == "border" && $2 == 10 && $3 == 2001 { print $4 }' "$acc/batch_zone_accounts.csv")" ]
# Land within a zone is at most the zone's area, on the ellipsoid: the
# overlap of the pair counted once (twice it would pass the union's area,
# the land being some nine tenths), the hole left out.
zone_land() { awk -F, -v z="$1" '$1 == z && $2 == 10 && $3 == 2001 { print $4 }' "$acc/batch_zone_accounts.csv"; }
within() {  # within LAND AREA: LAND between 3/4 of AREA and AREA
  awk -v l="$1" -v a="$2" 'BEGIN { exit !(l != "" && l <= a && l >= 0.75 * a) }'
}
a1=$(sums area -59.9 9.1 -59.6 9.4) a2=$(sums area -59.8 9.2 -59.5 9.5) a12=$(sums area -59.8 9.2 -59.6 9.4)
union=$(awk -v a="$a1" -v b="$a2" -v c="$a12" 'BEGIN { printf "%.6f", a + b - c }')
check "the pair's land ($(zone_land pair) ha) within the union of its features ($union ha), counted once" \
  within "$(zone_land pair)" "$union"
outer=$(sums area -58.6 9.1 -58.1 9.6) hole=$(sums area -58.5 9.2 -58.2 9.5)
holed=$(awk -v a="$outer" -v b="$hole" 'BEGIN { printf "%.6f", a - b }')
check "the holed zone's land ($(zone_land holed) ha) within its area less the hole ($holed ha)" \
  within "$(zone_land holed)" "$holed"
check "the batch page has the accounts section with the batch's figures" \
  bash -c 'grep -q "<h2>Forest accounts</h2>" out/index.html && grep -q "<script type=\"application/json\" id=\"accounts\">" out/index.html'
mkdir first
cp "$acc/batch_accounts.csv" "$acc/batch_zone_accounts.csv" first/

# --- --report OUTPUT_DIR: the same tables again ------------------------------------
run_batch report1.txt --report out
check "--report out: exit 0" [ "$status" -eq 0 ]
check "... the batch tables rewritten byte for byte" \
  bash -c 'cmp "$1/batch_accounts.csv" first/batch_accounts.csv && cmp "$1/batch_zone_accounts.csv" first/batch_zone_accounts.csv' \
  _ "$acc"
check "... nothing run" [ "$(wc -l < calls)" -eq 3 ]

# --- the zones file changed: no tile done, no batch tables -------------------------
# --report OUTPUT_DIR reports the batch as it ran, with the zones file as it
# was when the batch started: its tables stand, the page warns. Asked with the
# list and the options, the accounts are of another zones file: no tile is
# done, no batch tables stay.
touch -d '2020-01-02 03:04:05' zones.gpkg
run_batch report2.txt --report out
check "zones file changed, --report out: the batch as it ran, its tables again" \
  bash -c '[ "$1" -eq 0 ] && cmp "$2/batch_accounts.csv" first/batch_accounts.csv' _ "$status" "$acc"
check "... the page warns that the zones file has changed" \
  grep -q '<p class="warning">The zones file .* has changed since these tables were summed' out/index.html
run_batch report3.txt --report "${accounts[@]}" "${shared[@]}"
changed="its zones file changed since its accounts were made"
check "zones file changed, --report with the list: no tile done, each to run again" \
  [ "$(report_rows)" = "-t3/not run/$changed;t1/not run/$changed;t2/not run/$changed;" ]
# The zones file the list names now is not the one the batch ran with: no
# batch ran this request, so the tables of the one that ran stay as they are.
check "... the batch's tables left as they were" \
  bash -c 'cmp "$1/batch_accounts.csv" first/batch_accounts.csv && cmp "$1/batch_zone_accounts.csv" first/batch_zone_accounts.csv' \
  _ "$acc"
check "... their manifest still theirs (tables, no reason)" \
  bash -c '[ "$1" != null ] && ! grep -q "tiles have no accounts of this request" "$2/batch_accounts.json"' \
  _ "$(manifest_tables)" "$acc"
check "... and the report says so" grep -q "^accounts: no batch ran this list with these options into .*: its tables are left as they are" report3.txt
check "... the page says there are none" grep -q '<p class="missing">no batch tables: ' out/index.html
run_batch resume1.txt --resume "${accounts[@]}" "${shared[@]}"
check "--resume after the zones file changed: exit 0" [ "$status" -eq 0 ]
check "... all three tiles run again" [ "$(calls_since 3)" = "-t3 t1 t2 " ]
check "... the batch tables back, the same figures (the zones are the same)" \
  bash -c 'cmp "$1/batch_accounts.csv" first/batch_accounts.csv && cmp "$1/batch_zone_accounts.csv" first/batch_zone_accounts.csv' \
  _ "$acc"

# --- a tile's table truncated after its run ------------------------------------------
size=$(stat -c %s "$acc/t2_accounts.csv")
truncate -s 100 "$acc/t2_accounts.csv"
run_batch report4.txt --report out
check "t2's table truncated: t2 failed, saying so; t1 and -t3 done" \
  [ "$(report_rows)" = "-t3/done/;t1/done/;t2/failed/its accounts table t2_accounts.csv changed after its run: 100 bytes, not the $size its run wrote;" ]
check "... no batch tables" no_batch_tables
check "... the page says there are none" grep -q '<p class="missing">no batch tables: ' out/index.html
run_batch resume2.txt --resume "${accounts[@]}" "${shared[@]}"
check "--resume runs t2 alone" [ "$(calls_since 6)" = "t2 " ]
check "... exit 0, the batch tables back" \
  bash -c '[ "$1" -eq 0 ] && cmp "$2/batch_accounts.csv" first/batch_accounts.csv' _ "$status" "$acc"

# --- a table damaged in place, its size, time and inode kept -------------------------
# A figure changed for another that reads as well: only the table's SHA-256,
# which its record keeps, tells it from the one written; sum_accounts hashes
# what it reads and refuses it.
table="$acc/-t3_accounts.csv"
touch -r "$table" t3_time
cp "$table" t3_written
# flip_digit FILE: the last digit of the land of the first row, 0 <-> 1 (or
# another digit to 0): the same size, every field still a plain decimal.
flip_digit() {
  "$python" -c 'import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
line = data.index(b"\n") + 1
comma = [i for i in range(line, len(data)) if data[i:i + 1] == b","][3]  # the land field ends here
data[comma - 1] = ord("1") if data[comma - 1] == ord("0") else ord("0")
open(path, "r+b").write(bytes(data))' "$1"
}
flip_digit "$table"
touch -r t3_time "$table"
check "(the damage: one digit of -t3's first land figure, the size kept)" \
  bash -c '! cmp -s "$1" t3_written && [ "$(stat -c %s "$1")" = "$(stat -c %s t3_written)" ]' _ "$table"
run_batch report5.txt --report out
check "-t3's table damaged in place: --report exits 1" [ "$status" -eq 1 ]
check "... naming the table of -t3 as damaged" grep -q "accounts: the table of tile -t3 is damaged: " report5.txt
check "... no batch tables" no_batch_tables
cat t3_written > "$table"
touch -r t3_time "$table"
check "(the bytes put back into the same file)" cmp -s "$table" t3_written
run_batch report6.txt --report out
check "the byte put back: --report exits 0 with the same tables" \
  bash -c '[ "$1" -eq 0 ] && cmp "$2/batch_accounts.csv" first/batch_accounts.csv && cmp "$2/batch_zone_accounts.csv" first/batch_zone_accounts.csv' \
  _ "$status" "$acc"

# --- the same tiles without zones ----------------------------------------------------
# Accounts made with zones are not those asked without: every tile runs again,
# its zone table goes, and the batch's zone table with it. The accounts of the
# whole tiles do not depend on the zones: the batch table comes back the same.
run_batch nozones.txt --resume --accounts --thresholds "10,30" --tile-accounts "$tile_accounts" "${shared[@]}"
check "--resume without --zones: exit 0, every tile run again" \
  [ "$status/$(calls_since 7)" = "0/-t3 t1 t2 " ]
check "... no zone table left, the tiles' nor the batch's" \
  [ -z "$(find "$acc" -name '*zone_accounts.csv*')" ]
check "... the batch table the same as with zones" cmp "$acc/batch_accounts.csv" first/batch_accounts.csv
check "... its manifest of no zones" \
  "$python" -c 'import json, sys; m = json.load(open(sys.argv[1])); sys.exit(m["zones"] is not None or
                sorted(m["tables"]) != ["batch_accounts.csv"])' "$acc/batch_accounts.json"

# --- a zone field the zones file lacks: refused before any tile runs -----------------
printf 't1 -60 10\n' > one.txt
calls_before=$(wc -l < calls)
run_batch badfield.txt --accounts --zones "$zones" --zone-field no_such_field --tile-accounts "$tile_accounts" \
  one.txt 2001 input bad_out datamask wetland "$scratch/counting_process_tile"
check "a zone field the zones file lacks: the batch exits 2" [ "$status" -eq 2 ]
check "... in tile_accounts' words" \
  grep -q "tile_accounts would refuse every tile: .*layer zones has no field no_such_field (fields: name)" badfield.txt
check "... before anything ran or was made" bash -c '[ "$(wc -l < calls)" -eq "$1" ] && [ ! -e bad_out ]' _ "$calls_before"

# --- tile_accounts failing: the products stay, the tile fails, no batch tables -------
cat > failing_tile_accounts <<'EOF'
#!/bin/sh
echo "tile_accounts: no room left for the tables" >&2
exit 1
EOF
chmod +x failing_tile_accounts
run_batch badfield.txt --accounts --zones "$zones" --zone-field name --tile-accounts "$scratch/failing_tile_accounts" \
  one.txt 2001 input bad_out datamask wetland "$process_tile"
check "tile_accounts failing: the batch exits 1" [ "$status" -eq 1 ]
check "... t1's record: process_tile's status 0, tile_accounts' status 1 and its message" \
  [ "$(record bad_out/logs t1 status)/$(record bad_out/logs t1 accounts_status)/$(record bad_out/logs t1 accounts_message)" = \
    "0/1/tile_accounts: no room left for the tables" ]
check "... its products kept" [ -s bad_out/TCC_2001_t1.img ]
check "... the end says it failed in its accounts, not in tile_quality" \
  bash -c 'grep -q "1 of the failed tiles failed in their accounts; their products are written and in the region" "$0" &&
           ! grep -q "failed in tile_quality" "$0"' badfield.txt
check "... no table of t1, no batch tables" \
  [ -z "$(find bad_out/accounts -name '*.csv*' 2>/dev/null)" ]

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed; files kept in $scratch" >&2; exit 1; fi
rm -rf "$scratch"
echo "all accounts checks passed"
