#!/usr/bin/env bash
# How far counting a pixel by its centre is from counting the exact share of
# its cell, on one generated tile: a large zone with a ragged border and a
# hole, as a province has, and ten small ones, as reserves have.
set -euo pipefail
usage() {
  cat <<'EOF2'
usage: accounts_vs_centre.sh [-h | --help]

Generates a tile (last year 2005) into BENCH_DIR unless it is there, runs
process_tile on it at 62.5 N, writes test zones (a ragged province of 720
vertices with a hole, about half the tile, and ten ragged reserves of 0.5 to
2.5 km across), and prints for each zone at threshold 30 its land, its tree
cover of 2005 and its loss of 2000 to 2005 in hectares two ways: with
tile_accounts --zones (each cell by the exact share of it the zone covers)
and by the cells whose centres lie in the zone (gdal_rasterize's rule, made
the datamask of a tile_accounts run without zones, so both use the same cell
areas), and how far apart they are. Needs a build (build/).

Environment:
  BENCH_DIR  where the tile, products and tables go (out/bench/centre)
EOF2
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/script_options.sh"
take_no_arguments "$@"
cd "$(dirname "$0")/.."
dir="${BENCH_DIR:-$PWD/out/bench/centre}"
ox=24 oy=62.5 last=2005
mkdir -p "$dir"
sum() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", a + b }'; }
if [ ! -f "$dir/products/TCC_${last}_c1.img" ]; then
  rm -rf "$dir/tile" "$dir/products"
  build/tools/make_synthetic_tile "$dir/tile/input" "$dir/tile/datamask" "$dir/tile/wetland" c1 "$last" 11
  mkdir -p "$dir/products"
  build/process_tile c1 "$last" "$dir/tile/input" "$dir/products" "$ox" "$oy" "$dir/tile/datamask" "$dir/tile/wetland"
fi
# Each zone a ragged ring: radius r times 1 + 0.13 sin 7t + 0.07 cos 23t.
awk -v cx="$(sum "$ox" 0.5005)" -v cy="$(sum "$oy" -0.5005)" '
function ring(x, y, r, n, dir,   k, t, f) {
  printf "["
  for (k = 0; k <= n; k++) {
    t = dir * 2 * pi * (k % n) / n; f = 1 + 0.13 * sin(7 * t) + 0.07 * cos(23 * t)
    printf "%s[%.9f,%.9f]", (k ? "," : ""), x + r * f * cos(t), y + r * f * sin(t)
  }
  printf "]"
}
function feature(name, x, y, r, hole) {
  printf "%s{\"type\":\"Feature\",\"properties\":{\"name\":\"%s\"},\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[", (count++ ? "," : ""), name
  ring(x, y, r, 720, 1)
  if (hole) { printf ","; ring(x + 0.1, y, 0.06, 90, -1) }
  printf "]}}"
}
BEGIN {
  pi = atan2(0, -1); srand(5)
  printf "{\"type\":\"FeatureCollection\",\"features\":["
  feature("province", cx, cy, 0.33, 1)
  for (k = 1; k <= 10; k++) feature("reserve " k, cx - 0.45 + 0.09 * k, cy + 0.4, 0.005 + 0.02 * (k - 1) / 9, 0)
  printf "]}\n"
}' > "$dir/zones.geojson"
rm -rf "$dir/exact" "$dir/centre"
build/tools/tile_accounts --zones "$dir/zones.geojson" --zone-field name --thresholds 30 -- c1 "$last" "$dir/products" \
  "$dir/tile/datamask" "$dir/exact"
# land, cover of the last year and loss of all years at threshold 30 from a
# table whose rows end in land_ha,cover_ha,loss_ha,height_mean.
figures() { awk -F, -v last="$last" 'FNR > 1 { n = NF; land = $(n - 3); loss += $(n - 1); if ($(n - 4) == last) cover = $(n - 2) }
  END { printf "%.6f %.6f %.6f\n", land, cover, loss }'; }
echo "zone: land, cover $last, loss 2000-$last (ha, threshold 30): exact / centre (centre - exact, % of exact)"
for zone in province "reserve "{1..10}; do
  # The datamask, georeferenced as the products, with every cell whose
  # centre is outside the zone set to 0 (not land).
  mkdir -p "$dir/centre/mask"
  gdal_translate -q -a_srs EPSG:4326 -a_ullr "$ox" "$oy" "$(sum "$ox" 1.001)" "$(sum "$oy" -1.001)" \
    "$dir/tile/datamask/c1_datamask.tif" "$dir/centre/mask/c1_datamask.tif"
  gdal_rasterize -q -i -burn 0 -where "name = '$zone'" "$dir/zones.geojson" "$dir/centre/mask/c1_datamask.tif"
  build/tools/tile_accounts --thresholds 30 -- c1 "$last" "$dir/products" "$dir/centre/mask" "$dir/centre"
  read -r -a exact < <(grep -F ",$zone," "$dir/exact/c1_zone_accounts.csv" | figures)
  read -r -a centre < <(figures < "$dir/centre/c1_accounts.csv")
  awk -v z="$zone" -v e="${exact[*]}" -v c="${centre[*]}" 'BEGIN {
    split(e, E, " "); split(c, C, " "); printf "%-10s", z
    for (k = 1; k <= 3; k++) printf "  %.4f / %.4f (%+.4f, %+.3f %%)", E[k], C[k], C[k] - E[k], E[k] ? 100 * (C[k] - E[k]) / E[k] : 0
    printf "\n" }'
done
