#!/usr/bin/env bash
# tile_accounts against the floor of its reading: on one generated tile's
# products, the plain read of the products in tile_accounts' strips, the
# accounts without zones and with a file of 200 zones, each from the page
# cache, side by side.
set -euo pipefail
usage() {
  cat <<'EOF_USAGE'
usage: tile_accounts.sh [-h | --help]

Builds the four programs it runs into BUILD_DIR (Release), generates a full synthetic tile a1
of last year 2020 into BENCH_DIR and runs process_tile on it, unless its
products are there already, and writes a file of 200 zone polygons across
the tile (ogr2ogr). Then times, each once to warm the page cache and then
BENCH_RUNS times: (a) bench_read_products, which reads the 63 products and
the datamask in tile_accounts' strips and counts nothing; (b) tile_accounts
without zones; (c) tile_accounts with the 200 zones; (d) the same with
--forest 10:5:0.5 --forest-edges, as a batch runs it. Prints the median
seconds of each, the ratios b/a, c/a and d/a, and tile_accounts' peak
resident memory (GNU time's %M). Writes some 1.5 GB into BENCH_DIR.

Environment:
  BUILD_DIR   the build directory (build)
  BENCH_DIR   where the tile, its products and the tables go (out/bench_accounts)
  BENCH_RUNS  timed runs of each, after the warm-up (3)
EOF_USAGE
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/script_options.sh"
take_no_arguments "$@"
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j "$(nproc)" --target make_synthetic_tile process_tile tile_accounts \
  bench_read_products > /dev/null
dir="${BENCH_DIR:-$PWD/out/bench_accounts}"
runs="${BENCH_RUNS:-3}"
tile=a1 last_year=2020 west=20 north=61
mkdir -p "$dir"
if [ ! -f "$dir/products/Loss_${last_year}_$tile.img" ]; then
  rm -rf "$dir/input" "$dir/datamask" "$dir/wetland" "$dir/products"
  "$build/tools/make_synthetic_tile" "$dir/input" "$dir/datamask" "$dir/wetland" "$tile" "$last_year" 7 --compress LZW
  mkdir -p "$dir/products"
  "$build/process_tile" "$tile" "$last_year" "$dir/input" "$dir/products" "$west" "$north" \
    "$dir/datamask" "$dir/wetland"
fi

# 200 wavy polygons of 64 vertices on a 20 x 10 grid of centres over the
# tile (1.001 degrees a side), each some 0.06 degrees across, neighbours
# overlapping, those of the outer ring crossing the tile's edges.
zones="$dir/zones.gpkg"
rm -f "$zones" "$dir/zones.csv"
awk -v west="$west" -v north="$north" 'BEGIN {
  print "name,wkt"
  pi = atan2(0, -1)
  for (i = 0; i < 200; i++) {
    cx = west + (i % 20 + 0.5) * 1.001 / 20
    cy = north - (int(i / 20) + 0.5) * 1.001 / 10
    r = 0.03 + 0.01 * (i % 7) / 6
    line = "zone " i ",\"POLYGON(("
    for (k = 0; k <= 64; k++) {
      a = 2 * pi * (k % 64) / 64
      rr = r * (1 + 0.25 * sin(5 * a + i))
      line = line sprintf("%s%.7f %.7f", k ? "," : "", cx + rr * cos(a), cy + 0.5 * rr * sin(a))
    }
    print line "))\""
  }
}' > "$dir/zones.csv"
ogr2ogr -f GPKG "$zones" "$dir/zones.csv" -nln zones -a_srs EPSG:4326 \
  -oo GEOM_POSSIBLE_NAMES=wkt -oo KEEP_GEOM_COLUMNS=NO

# Times a command BENCH_RUNS times after one warm-up: its median seconds
# into $median, its largest peak memory (KiB) into $peak.
measure() {
  local times=() memory=0 seconds kib
  "$@" > /dev/null
  for _ in $(seq "$runs"); do
    /usr/bin/time -f '%e %M' -o "$dir/time.txt" "$@" > /dev/null
    read -r seconds kib < "$dir/time.txt"
    times+=("$seconds")
    [ "$kib" -le "$memory" ] || memory="$kib"
  done
  median="$(printf '%s\n' "${times[@]}" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')"
  peak="$memory"
}
args=(-- "$tile" "$last_year" "$dir/products" "$dir/datamask" "$dir/accounts")
measure "$build/bench/bench_read_products" "$tile" "$last_year" "$dir/products" "$dir/datamask"
read_s="$median"
measure "$build/tools/tile_accounts" "${args[@]}"
plain_s="$median" plain_kib="$peak"
measure "$build/tools/tile_accounts" --zones "$zones" --zone-field name "${args[@]}"
zones_s="$median" zones_kib="$peak"
zone_rows="$(($(wc -l < "$dir/accounts/${tile}_zone_accounts.csv") - 1))"
measure "$build/tools/tile_accounts" --zones "$zones" --zone-field name --forest 10:5:0.5 \
  --forest-edges "${args[@]}"
forest_s="$median" forest_kib="$peak"

echo "tile $tile, last year $last_year (63 products), median of $runs runs after a warm-up:"
printf '  (a) read the products in strips      %8.2f s\n' "$read_s"
printf '  (b) tile_accounts, no zones          %8.2f s   b/a %.2f   peak %d MiB\n' \
  "$plain_s" "$(awk -v b="$plain_s" -v a="$read_s" 'BEGIN { print b / a }')" "$((plain_kib / 1024))"
printf '  (c) tile_accounts, 200 zones         %8.2f s   c/a %.2f   peak %d MiB (%d zone rows)\n' \
  "$zones_s" "$(awk -v c="$zones_s" -v a="$read_s" 'BEGIN { print c / a }')" "$((zones_kib / 1024))" "$zone_rows"
printf '  (d) (c) with --forest 10:5:0.5        %8.2f s   d/a %.2f   peak %d MiB\n' \
  "$forest_s" "$(awk -v d="$forest_s" -v a="$read_s" 'BEGIN { print d / a }')" "$((forest_kib / 1024))"
