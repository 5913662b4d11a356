#!/usr/bin/env bash
# scripts/slurm_array.sh under a real Slurm: starts munged, slurmctld and
# slurmd for one local node from a configuration in a temporary directory,
# submits three generated full-size tiles (one lacking a layer) as a job array
# with the quality run in each task and its follow-up job (region, batch
# quality), resubmits the failed tile with --unfinished, and cancels a task
# while it writes its products; and a 2 x 2 grid of whole degrees with their
# forest accounts in zones (--accounts --zones) and forest by definition
# (--forest), each tile counting the part it owns, summed (and its patches
# joined across the tiles) by the follow-up job and checked against the
# mosaic, the forest against the test's own flood fill of it. Needs
# root and Debian's slurmctld, slurmd, slurm-client and munge (installed when
# missing); prints "SKIP: <reason>" and exits 77 where those cannot be had or
# the daemons do not come up.
#
#   slurm_test.sh PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_QUALITY FOREST_MOSAIC SCRATCH
set -euo pipefail

[ $# -eq 5 ] || {
  echo "usage: $0 PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_QUALITY FOREST_MOSAIC SCRATCH" >&2
  exit 2
}
process_tile="$(realpath "$1")" make_tile="$(realpath "$2")" tile_quality="$(realpath "$3")"
forest_mosaic="$(realpath "$4")" scratch="$(realpath -m "$5")"
scripts="$(cd "$(dirname "$0")/../../scripts" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"

. "$here/slurm_test_steps.sh"

# --- a one-node Slurm, stopped when the test exits ------------------------------
. "$here/slurm_cluster.sh"

# --- tiles and references from direct runs -------------------------------------
start=$(date +%s)
make_tiles "$make_tile" 3
tiles=(t1 t2 t3)
products=(TCC TCH Loss)
origin_x=(-60 -59.75 -59.5)
printf '%s %s 10\n' t1 -60 t2 -59.75 t3 -59.5 > tiles.txt
mkdir ref
for i in 0 1 2; do
  "$process_tile" "${tiles[$i]}" 2000 "$scratch/input" "$scratch/ref" "${origin_x[$i]}" 10 \
    "$scratch/datamask" "$scratch/wetland"
done
echo "tiles and reference products in $(( $(date +%s) - start )) s"

# process_tile behind a wrapper that records every call.
cat > counting_process_tile <<EOF
#!/bin/sh
echo "\$1" >> "$scratch/calls"
exec "$process_tile" "\$@"
EOF
chmod +x counting_process_tile
: > calls

same_as_reference() {  # same_as_reference DIR TILE: every product there, equal to the reference
  local p
  for p in "${products[@]}"; do cmp -s "$1/${p}_2000_$2.img" "ref/${p}_2000_$2.img" || return 1; done
}
only_complete_products() {  # only_complete_products DIR TILE: those there equal the reference
  local p
  for p in "${products[@]}"; do
    [ ! -e "$1/${p}_2000_$2.img" ] || cmp -s "$1/${p}_2000_$2.img" "ref/${p}_2000_$2.img" || return 1
  done
}
newer_than_all() {  # newer_than_all FILE OTHER...: FILE modified after each OTHER
  local f="$1" o; shift
  for o in "$@"; do [ "$f" -nt "$o" ] || return 1; done
}
task_logs() {  # task_logs LOGS ARRAY: the task numbers of the array's Slurm logs in LOGS
  find "$1" -maxdepth 1 -name "slurm-$2_*.out" -printf '%f\n' | sed -n "s/^slurm-$2_\([0-9]*\)\.out$/\1/p" |
    sort -n | tr '\n' ' '
}
quality_header="year,filtered,invalid,jump,repaired,interpolated,post_loss,height_filled,height_capped,height_smoothed,tcc_changed,loss_in,loss_kept"
quality_files() {  # quality_files TILE: the QA raster, table and chart of the tile in out/quality
  [ -s "out/quality/QA_2000_$1.tif" ] && [ -s "out/quality/$1_quality.png" ] &&
    [ "$(head -n 1 "out/quality/$1_quality.csv")" = "$quality_header" ] &&
    [ "$(grep -c '^2000,' "out/quality/$1_quality.csv")" -eq 1 ]
}
batch="out/quality/batch"   # the batch quality's files
batch_table_lines() { tail -n +2 "$batch/batch_quality.csv" | cut -d, -f1,2 | tr '\n' ' '; }

# --- an array of three tiles, t3 without its canopy height layer ------------------
missing="$scratch/input/t3/t3_TCH_2000.tif"
mv "$missing" t3_TCH_2000.tif.aside
start=$(date +%s)
check "array submitted" submit submit1.txt --cpus 1 --tile-quality "$tile_quality" tiles.txt 2000 input out datamask \
  wetland "$scratch/counting_process_tile"
mem_mib="$(sed -n 's/.*; \([0-9]*\) MiB and 1 CPUs each$/\1/p' submit1.txt)"
check "task memory with the quality run: 715 MiB" [ "${mem_mib:-0}" = 715 ]
check "two tasks' memory (${mem_mib:-?} MiB each) fits the node's $real_memory MiB" \
  [ "${mem_mib:-0}" -gt 0 -a $(( 2 * ${mem_mib:-0} )) -le "$real_memory" ]
check "follow-up job submitted" [ -n "$follow_up_job" ]
check "array and follow-up job ended" wait_jobs "$array_jobs,${follow_up_job:-0}"
echo "array of three tiles and follow-up job: $(( $(date +%s) - start )) s"
logs=out/logs
records=(out/logs/tiles/t{1,2,3}/record.json)
for t in t1 t2; do
  check "$t: status 0, from its task" [ "$(record $logs $t status job)" = "0/${array_jobs}_${t#t}" ]
  check "$t: products equal those of a direct run" same_as_reference out "$t"
done
check "t3: status 1 and process_tile's message in its record" \
  [ "$(record $logs t3 status message)" = "1/$missing not found" ]
check "t3: its out holds process_tile's message" [ "$(cat $logs/tiles/t3/out 2>/dev/null)" = "$missing not found" ]
check "t3: no product" [ -z "$(find out -maxdepth 1 -name '*_t3.img')" ]
check "each task has its Slurm log" [ "$(task_logs $logs "$array_jobs")" = "1 2 3 " ]
region_list="$scratch/$logs/region-$follow_up_job.tsv"
check "region job: mosaics of the two successful tiles" \
  [ "$(grep -c '<SourceFilename' out/region/TCC_2000.vrt 2>/dev/null)" = 2 ]
check "region job: a picture per product" [ -s out/region/TCH_2000.png ]
check "region job: the list holds the two successful tiles" \
  [ "$(cut -f1 "$region_list" 2>/dev/null | tr '\n' ' ')" = "t1 t2 " ]
check "region job ran after every task had ended" newer_than_all out/region/Loss_2000.png "${records[@]}"
for t in t1 t2; do
  check "$t: quality status 0" [ "$(record $logs $t quality_status)" = 0 ]
  check "$t: QA raster, quality table and chart" quality_files "$t"
done
check "t3: no quality run" [ "$(record $logs t3 quality_status)" = null -a ! -e out/quality/t3_quality.csv ]
check "follow-up job: the batch quality list holds the two tiles" \
  [ "$(cut -f1 "$logs/quality-${follow_up_job:-0}.tsv" 2>/dev/null | tr '\n' ' ')" = "t1 t2 " ]
check "batch quality table: header" [ "$(head -n 1 "$batch/batch_quality.csv" 2>/dev/null)" = "tile_id,$quality_header" ]
check "batch quality table: one line per tile and year" [ "$(batch_table_lines)" = "t1,2000 t2,2000 " ]
check "batch quality chart" [ -s "$batch/batch_quality.png" ]
check "batch quality outliers written" grep -q "^tiles with a share of pixel-years" "$batch/batch_quality_outliers.txt"
check "... and in the follow-up job's log" \
  grep -q "^tiles with a share of pixel-years" "$logs/slurm-followup-${follow_up_job:-0}.out"
check "batch quality after every task had ended" newer_than_all "$batch/batch_quality.png" "${records[@]}"
check "follow-up job: the report, t1 and t2 done, t3 failed" \
  grep -qx "summary: 3 tiles: 2 done, 1 failed, 0 not run" $logs/report.txt

bash "$scripts/slurm_array.sh" --report --quality tiles.txt 2000 input out datamask wetland > report1.txt
cat report1.txt
check "report: t1 and t2 done, t3 failed" grep -qx "summary: 3 tiles: 2 done, 1 failed, 0 not run" report1.txt
check "report: t3 failed with exit status 1" grep -q "^t3 *failed *1 " report1.txt
# The peak resident memory of a real run holds at least one 4004 x 4004
# layer (15.3 MiB); it stays below the 397 MiB the tile memory counts for
# 2000 (seen: about 256 MiB), as not every page of the cubes is touched.
check "report: t1's and t2's peak memory at least one layer, 16 MiB" \
  [ "$(awk '$2 == "done" && $5 >= 16 { n++ } END { print n + 0 }' report1.txt)" = 2 ]

# --- --unfinished after the layer is back: t3 alone ------------------------------
mv t3_TCH_2000.tif.aside "$missing"
stat -c '%n %y' out/*_t1.img out/*_t2.img > before.txt
calls_before=$(wc -l < calls)
start=$(date +%s)
check "resubmitted" submit submit2.txt --unfinished --cpus 1 --tile-quality "$tile_quality" tiles.txt 2000 input out \
  datamask wetland "$scratch/counting_process_tile"
check "--unfinished submits task 3 alone" grep -q "; tasks 3; " submit2.txt
check "resubmitted array and follow-up job ended" wait_jobs "$array_jobs,${follow_up_job:-0}"
echo "resubmitted array and follow-up job: $(( $(date +%s) - start )) s"
check "only t3 ran again" [ "$(tail -n +$((calls_before + 1)) calls | tr '\n' ' ')" = "t3 " ]
check "only task 3 has a Slurm log" [ "$(task_logs $logs "$array_jobs")" = "3 " ]
check "t3: status 0, quality status 0" [ "$(record $logs t3 status quality_status)" = 0/0 ]
check "t3: products equal those of a direct run" same_as_reference out t3
check "t1 and t2 products untouched" bash -c 'stat -c "%n %y" out/*_t1.img out/*_t2.img | cmp -s - before.txt'
region_list="$scratch/$logs/region-$follow_up_job.tsv"
check "second region job: all three tiles" \
  [ "$(grep -c '<SourceFilename' out/region/TCC_2000.vrt 2>/dev/null)/$(cut -f1 "$region_list" 2>/dev/null | tr '\n' ' ')" = \
    "3/t1 t2 t3 " ]
check "second region job ran after the task" [ out/region/Loss_2000.png -nt $logs/tiles/t3/record.json ]
check "t3: QA raster, quality table and chart" quality_files t3
check "second batch quality: one line per tile and year of all three" \
  [ "$(batch_table_lines)" = "t1,2000 t2,2000 t3,2000 " ]

# --- a task requeued after it wrote its record -------------------------------------
# Slurm keeps a requeued task's id: the record it wrote before is not its
# outcome while it waits to run again.
check "t3's task requeued, held" scontrol requeuehold "${array_jobs}_3"
bash "$scripts/slurm_array.sh" --report --quality tiles.txt 2000 input out datamask wetland > requeued.txt 2>&1 || true
check "... t3 running again, not done by its record" \
  [ "$(awk -F'\t' '$1 == "t3" { print $2 "/" $NF }' $logs/report.tsv)" = \
    "running/its job ${array_jobs}_3 is queued or running again" ]
bash "$scripts/slurm_array.sh" --dry-run --unfinished --cpus 1 --tile-quality "$tile_quality" tiles.txt 2000 input \
  out datamask wetland "$scratch/counting_process_tile" > requeued_submit.txt 2>&1 || true
check "... a submission leaves it out, naming it" \
  grep -q "1 tile(s) left out, their tasks still queued or running: t3" requeued_submit.txt
check "released, it runs again" scontrol release "${array_jobs}_3"
# A requeued job is not eligible for some two minutes; now, here.
scontrol update "JobId=${array_jobs}_3" StartTime=now > /dev/null 2>&1 || true
check "... and ends" wait_jobs "$array_jobs"
bash "$scripts/slurm_array.sh" --report --quality tiles.txt 2000 input out datamask wetland > rerun.txt 2>&1 || true
check "... t3 done again, its record of the restarted task" \
  [ "$(awk -F'\t' '$1 == "t3" { print $2 }' $logs/report.tsv)/$(record $logs t3 restart)" = "done/1" ]

# --- scancel of a task while it writes ---------------------------------------------
printf 't1 -60 10\nt2 -59.75 10\n' > two.txt
check "two tiles submitted without region" submit submit3.txt --no-region --cpus 1 two.txt 2000 input out2 \
  datamask wetland "$process_tile"
check "--no-region: the follow-up job only reports" grep -q "submitted follow-up job [0-9]* (report)," submit3.txt
# Task 2's run makes its private directory .tmp-<pid>-t2.XXXXXX when it starts
# writing. The run is stopped (SIGSTOP) as soon as that directory shows, so
# that the cancel lands while it writes however fast the writing goes; Slurm
# sends the stopped process SIGCONT and SIGTERM, then SIGKILL.
private=""
for i in $(seq 3000); do
  private="$(find out2 -maxdepth 1 -name '.tmp-*-t2.*' -print -quit 2>/dev/null || true)"
  [ -z "$private" ] || break
  sleep 0.02
done
writer="${private#out2/.tmp-}"; writer="${writer%%-*}"
check "task 2 began writing (private directory ${private:-not seen})" [ -n "$private" ]
check "its process_tile ($writer) stopped in the middle of writing" kill -STOP "${writer:-0}"
check "task 2 cancelled" scancel "${array_jobs}_2"
check "cancelled array and its follow-up job ended" wait_jobs "$array_jobs,${follow_up_job:-0}"
gone() {  # gone PID: the process has ended within 30 s
  local i
  for i in $(seq 300); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  return 1
}
cancel_start=$(date +%s%N)
check "the stopped process_tile ended" gone "${writer:-0}"
echo "process_tile ended $(( ($(date +%s%N) - cancel_start) / 1000000 )) ms after the array had left the queue"
check "t1 (not cancelled): status 0" [ "$(record out2/logs t1 status)" = 0 ]
check "t1 (not cancelled): products equal those of a direct run" same_as_reference out2 t1
check "t2: no record of status 0 after the cancel" [ "$(record out2/logs t2 status)" != 0 ]
bash "$scripts/slurm_array.sh" --report out2 > cancelled.txt
cat cancelled.txt
check "report of the latest batch in out2: t1 done, t2 failed" \
  [ "$(awk '$1 ~ /^t[12]$/ { print $1, $2 }' cancelled.txt | sort | tr '\n' ' ')" = "t1 done t2 failed " ]
ls -A out2 > after_cancel.txt
echo "left after the cancel: $(tr '\n' ' ' < after_cancel.txt)"
check "t2: only complete products under final names" only_complete_products out2 t2
check "t2: nothing else under a product's name" \
  [ -z "$(find out2 -maxdepth 1 -name '*_t2.img*' ! -name '*_t2.img')" ]

# The resubmission as --dry-run prints it, run as printed: the array of the
# cancelled task and the region job after it.
status=0
bash "$scripts/slurm_array.sh" --dry-run --unfinished --cpus 1 two.txt 2000 input out2 datamask wetland \
  "$process_tile" > dry4.txt || status=$?
check "dry run of the resubmission" [ "$status" -eq 0 ]
cat dry4.txt
check "--unfinished plans task 2 alone" grep -q "; tasks 2; " dry4.txt
{ grep -v '^slurm_array.sh: ' dry4.txt; echo 'echo "array job ${jobid%%;*}"'; } > resubmit.sh
check "printed commands submit" bash -e resubmit.sh > resubmit.txt
cat resubmit.txt
array_jobs="$(sed -n 's/^array job \([0-9]*\)$/\1/p' resubmit.txt)"
follow_up_job="$(sed -n '1s/^\([0-9]*\).*/\1/p' resubmit.txt)"
check "rerun of the cancelled task and region job ended" wait_jobs "${array_jobs:-0},${follow_up_job:-0}"
check "only task 2 ran" [ "$(task_logs out2/logs "${array_jobs:-0}")" = "2 " ]
check "t2: status 0 after the rerun, from the task the printed commands submitted" \
  [ "$(record out2/logs t2 status job)" = "0/${array_jobs:-0}_2" ]
check "t2: products equal those of a direct run" same_as_reference out2 t2
check "the killed run's private directory is gone" [ -z "$(find out2 -maxdepth 1 -name '.tmp-*')" ]
check "region job after the rerun: both tiles" \
  [ "$(cut -f1 "out2/logs/region-${follow_up_job:-0}.tsv" 2>/dev/null | tr '\n' ' ')" = "t1 t2 " ]

# --- forest accounts: the tiles' tables in tasks, the batch's sums in the follow-up job --
# A 2 x 2 grid of whole degrees (each tile shares strips of 4 pixels with its
# neighbours, counted once by the tile whose centre is nearest), its tiles'
# layers those of t1, t2, t3 and t1 again, so that neighbours differ in their
# strips; a zone over the grid's middle, one inside ga alone; forest of 50 %
# cover, height 10 and 5 ha, whose patches run across the borders. tile_accounts
# and sum_accounts found beside process_tile, as built.
for pair in ga:t1 gb:t2 gc:t3 gd:t1; do use_layers "${pair%:*}" "${pair#*:}"; done
printf 'ga -60 10\ngb -59 10\ngc -60 9\ngd -59 9\n' > acc_tiles.txt
cat > zones.geojson <<'EOF'
{"type": "FeatureCollection", "features": [
 {"type": "Feature", "properties": {"name": "middle"}, "geometry": {"type": "Polygon",
  "coordinates": [[[-59.2, 8.8], [-58.8, 8.8], [-58.8, 9.2], [-59.2, 9.2], [-59.2, 8.8]]]}},
 {"type": "Feature", "properties": {"name": "west, \"inner\""}, "geometry": {"type": "Polygon",
  "coordinates": [[[-59.9, 9.1], [-59.6, 9.1], [-59.6, 9.4], [-59.9, 9.4], [-59.9, 9.1]]]}}]}
EOF
definition=50:10:5
start=$(date +%s)
check "accounts: a 2 x 2 grid submitted with --accounts --zones --forest $definition" submit submit5.txt \
  --no-region --cpus 1 --accounts --zones zones.geojson --zone-field name --thresholds 10,30 \
  --forest "$definition" acc_tiles.txt 2000 input acc_out datamask wetland "$process_tile"
check "accounts: array and follow-up job ended" wait_jobs "$array_jobs,${follow_up_job:-0}"
echo "array of four tiles with accounts and follow-up job: $(( $(date +%s) - start )) s"
acc=acc_out/accounts
grid=(ga gb gc gd)
statuses="" parts="" plain_tables=() zone_tables=()
for t in "${grid[@]}"; do
  plain_tables+=("$acc/${t}_accounts.csv")
  zone_tables+=("$acc/${t}_zone_accounts.csv")
  statuses+="$(record acc_out/logs "$t" status accounts_status) "
  parts+="$(record acc_out/logs "$t" accounts_part) "
done
check "accounts: the four tiles done, accounts status 0 ($statuses)" [ "$statuses" = "0/0 0/0 0/0 0/0 " ]
check "accounts: each task counted the part of its tile the grid leaves it ($parts)" \
  [ "$parts" = "0-4001:0-4001 0-4001:2-4003 2-4003:0-4001 2-4003:2-4003 " ]
check "accounts: the follow-up job summed them" \
  grep -q "^accounts: the sums of 4 tiles: " "acc_out/logs/slurm-followup-${follow_up_job:-0}.out"
check "accounts: the batch table is the sum of the tiles' tables" \
  python3 "$here/account_sums.py" sums plain "$acc/batch_accounts.csv" "${plain_tables[@]}"
check "accounts: the batch zone table is the sum of the tiles' zone tables" \
  python3 "$here/account_sums.py" sums zones "$acc/batch_zone_accounts.csv" "${zone_tables[@]}"
zones_of() { python3 "$here/account_sums.py" zones "$acc/$1_zone_accounts.csv" | tr '\n' ';'; }
check "accounts: the middle zone has rows in every tile, the other in ga alone" \
  [ "$(zones_of ga)/$(zones_of gb)/$(zones_of gc)/$(zones_of gd)" = 'middle;west, "inner";/middle;/middle;/middle;' ]
# The mosaic of the grid, each strip cut at its middle by GDAL's programs,
# counted whole: the batch's figures, every location once.
python3 "$here/mosaic.py" build grid 2000 acc_out datamask mosaic ga:-60:10:0:4001:0:4001 gb:-59:10:0:4001:2:4003 \
  gc:-60:9:2:4003:0:4001 gd:-59:9:2:4003:2:4003
"$(dirname "$process_tile")/tools/tile_accounts" --zones zones.geojson --zone-field name --thresholds 10,30 -- \
  grid 2000 mosaic mosaic mosaic_accounts
check "accounts: the batch table is the figures of the grid's mosaic counted once" \
  python3 "$here/mosaic.py" same plain "$acc/batch_accounts.csv" mosaic_accounts/grid_accounts.csv
check "accounts: the batch zone table too" \
  python3 "$here/mosaic.py" same zones "$acc/batch_zone_accounts.csv" mosaic_accounts/grid_zone_accounts.csv
# The forest: the mosaic labelled whole by the test's flood fill (the zones
# the rectangles of zones.geojson).
mkdir labels
"$forest_mosaic" label grid mosaic 2000 "$definition" 8 labels --zone middle:-59.2:8.8:-58.8:9.2 \
  --zone 'west, "inner":-59.9:9.1:-59.6:9.4'
check "forest: the batch's table is the mosaic's labelling, patches measured across the tiles" \
  python3 "$here/mosaic.py" forest same plain labels/grid_forest.csv "$acc/batch_forest.csv"
check "forest: the batch's zone table too" \
  python3 "$here/mosaic.py" forest same zones labels/grid_zone_forest.csv "$acc/batch_zone_forest.csv"
forest_tables=()
for t in "${grid[@]}"; do forest_tables+=("$acc/${t}_forest.csv"); done
check "forest: the tiles' own tables, which do not join patches, add up to less" \
  python3 "$here/mosaic.py" forest apart plain labels/grid_forest.csv "${forest_tables[@]}"

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed; files kept in $scratch" >&2; exit 1; fi
rm -rf "$scratch"
echo "all Slurm checks passed"
