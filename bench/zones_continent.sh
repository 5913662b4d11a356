#!/usr/bin/env bash
# tile_accounts of one tile with a continent's zone file against the same
# tile with a file of only the zones that reach it: a tile must read only
# the features near it (through the GeoPackage's R-tree), so that its time
# and memory follow the zones it meets, not the size of the file.
set -euo pipefail
usage() {
  cat <<'EOF_USAGE'
usage: zones_continent.sh [-h | --help]

Generates a full synthetic tile a1 of last year 2020 (upper-left corner 20 E,
61 N) into BENCH_DIR and runs process_tile on it, unless its products are
there already; writes with GDAL's ogr2ogr (SQLite dialect, SpatiaLite's
ST_Buffer) a GeoPackage of ZONES round zones of 501 vertices each on a grid
over 60 x 60 degrees (10 W to 50 E, 10 N to 70 N), neighbours overlapping,
and beside it a GeoPackage of only the zones whose extent reaches the tile
(ogr2ogr -spat, the same feature ids). Then runs tile_accounts with each
file in turn, once to warm the page cache and then BENCH_RUNS times each,
alternating, under GNU time, and prints the median seconds of each, their
ratio, and the largest peak resident memory of each. The two runs' zone
tables must be the same (exit 1 otherwise). Writes some 0.9 GB (at 100,000
zones) and the tile's 1.5 GB into BENCH_DIR.

Environment:
  BUILD_DIR   the build directory whose tools/tile_accounts, process_tile and
              tools/make_synthetic_tile run (build); build them first
  BENCH_DIR   where the tile, its products, the zone files and the tables go
              (${TMPDIR:-/tmp}/zones_continent_bench)
  BENCH_RUNS  timed runs of each, after the warm-up (5)
  ZONES       zones in the continent's file, 1000 to 200000 (100000)
EOF_USAGE
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/script_options.sh"
take_no_arguments "$@"
root="$(CDPATH="" cd -- "$(dirname -- "$0")/.." && pwd)"
build="$(realpath -m "${BUILD_DIR:-$root/build}")"
dir="$(realpath -m "${BENCH_DIR:-${TMPDIR:-/tmp}/zones_continent_bench}")"
runs="${BENCH_RUNS:-5}"
zones="${ZONES:-100000}"
if ! [[ "$runs" =~ ^[1-9][0-9]?$ ]]; then
  printf '%s: BENCH_RUNS must be a whole number from 1 to 99, not %q\n' "${0##*/}" "$runs" >&2
  exit 2
fi
if ! { [[ "$zones" =~ ^[1-9][0-9]{3,5}$ ]] && [ "$zones" -le 200000 ]; }; then
  printf '%s: ZONES must be a whole number from 1000 to 200000, not %q\n' "${0##*/}" "$zones" >&2
  exit 2
fi
for program in tools/tile_accounts process_tile tools/make_synthetic_tile; do
  if ! [ -x "$build/$program" ]; then
    printf '%s: no %q: build it first (cmake --build BUILD_DIR)\n' "${0##*/}" "$build/$program" >&2
    exit 1
  fi
done
for program in ogr2ogr /usr/bin/time; do
  if ! command -v "$program" > /dev/null; then
    printf '%s: %s is needed (GDAL'"'"'s programs, GNU time)\n' "${0##*/}" "$program" >&2
    exit 1
  fi
done
tile=a1 last_year=2020 west=20 north=61
east=21.001 south=59.999 # the tile is 4004 cells of 0.00025 degrees a side
mkdir -p "$dir"
if [ ! -f "$dir/products/Loss_${last_year}_$tile.img" ]; then
  rm -rf "$dir/input" "$dir/datamask" "$dir/wetland" "$dir/products"
  "$build/tools/make_synthetic_tile" "$dir/input" "$dir/datamask" "$dir/wetland" "$tile" \
    "$last_year" 7 --compress LZW
  mkdir -p "$dir/products"
  "$build/process_tile" "$tile" "$last_year" "$dir/input" "$dir/products" "$west" "$north" \
    "$dir/datamask" "$dir/wetland"
fi

# The continent: zone i centred on a 316 x 316 grid of 0.19 degrees, of a
# radius from 0.1 to 0.2 degrees (ST_Buffer's 125 segments a quadrant: 501
# vertices), so that some 50 zones reach the tile.
continent="$dir/continent_$zones.gpkg"
if [ ! -f "$continent" ]; then
  rm -f "$dir"/continent_*.gpkg "$dir"/partial.gpkg* "$dir/seed.geojson"
  echo '{"type":"FeatureCollection","features":[]}' > "$dir/seed.geojson"
  ogr2ogr -f GPKG "$dir/partial.gpkg" "$dir/seed.geojson" -dialect SQLite -nln zones \
    -nlt POLYGON -a_srs EPSG:4326 -sql "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL
      SELECT i + 1 FROM n WHERE i < $zones - 1)
      SELECT 'zone ' || i AS name, ST_Buffer(MakePoint(-10 + (i % 316 + 0.5) * 60.0 / 316,
        10 + (i / 316 + 0.5) * 60.0 / 316), 0.1 + 0.1 * ((i * 7919) % 997) / 997.0, 125) AS geom
      FROM n"
  mv "$dir/partial.gpkg" "$continent"
fi
near="$dir/near.gpkg"
rm -f "$near"
ogr2ogr -f GPKG "$near" "$continent" -preserve_fid -spat "$west" "$south" "$east" "$north"
count() { ogrinfo -ro -so "$1" zones | awk -F': ' '/^Feature Count/ { print $2 }'; }
echo "zones: $(count "$continent") in $continent ($(du -h "$continent" | cut -f1)), \
$(count "$near") of them reach the tile ($near)"

# A copy of the program, so that a rebuild meanwhile does not change what
# is timed.
program="$dir/tile_accounts"
cp "$build/tools/tile_accounts" "$program"
args=(--zone-field name -- "$tile" "$last_year" "$dir/products" "$dir/datamask")
run() { "$program" --zones "$1" "${args[@]}" "$2" > /dev/null; }
run "$continent" "$dir/accounts_continent"
run "$near" "$dir/accounts_near"
if ! cmp -s "$dir/accounts_continent/${tile}_zone_accounts.csv" \
  "$dir/accounts_near/${tile}_zone_accounts.csv"; then
  echo "the two files gave different zone tables" >&2
  exit 1
fi
rows="$(($(wc -l < "$dir/accounts_near/${tile}_zone_accounts.csv") - 1))"

# Alternating runs, so that a drift of the machine's speed touches both.
continent_s=() near_s=() continent_kib=0 near_kib=0
for _ in $(seq "$runs"); do
  for which in continent near; do
    file="$continent"
    [ "$which" = continent ] || file="$near"
    /usr/bin/time -f '%e %M' -o "$dir/time.txt" "$program" --zones "$file" "${args[@]}" \
      "$dir/accounts_$which" > /dev/null
    read -r seconds kib < "$dir/time.txt"
    if [ "$which" = continent ]; then
      continent_s+=("$seconds")
      [ "$kib" -le "$continent_kib" ] || continent_kib="$kib"
    else
      near_s+=("$seconds")
      [ "$kib" -le "$near_kib" ] || near_kib="$kib"
    fi
  done
done
median() {
  printf '%s\n' "$@" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
c="$(median "${continent_s[@]}")" n="$(median "${near_s[@]}")"
echo "tile $tile, last year $last_year, $rows zone rows; median of $runs runs after a warm-up:"
printf '  continent file  %7.2f s   peak %4d MiB   (runs: %s)\n' "$c" "$((continent_kib / 1024))" \
  "${continent_s[*]}"
printf '  near zones only %7.2f s   peak %4d MiB   (runs: %s)\n' "$n" "$((near_kib / 1024))" \
  "${near_s[*]}"
printf '  ratio of the medians, continent / near: %.3f\n' "$(awk -v c="$c" -v n="$n" 'BEGIN { print c / n }')"
