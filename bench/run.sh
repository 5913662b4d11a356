#!/usr/bin/env bash
# Builds, generates a full synthetic tile (LZW inputs, last year 2020 unless
# BENCH_LAST_YEAR says otherwise) once, and runs the tile benchmarks on it;
# then the region benchmark, on a 2020 tile of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
scripts/build.sh
last_year="${BENCH_LAST_YEAR:-2020}"
dir="${BENCH_DIR:-$PWD/out/bench}"
tile="$dir/tile_$last_year"
if [ ! -f "$tile/input/b1/b1_TCH_${last_year}.tif" ]; then
  rm -rf "$tile"
  build/tools/make_synthetic_tile "$tile/input" "$tile/datamask" "$tile/wetland" b1 "$last_year" 7 --compress LZW
fi
build/bench/bench_tile "$tile" b1 "$last_year" "$dir/products"
echo
build/bench/bench_whole_process "${BENCH_RUNS:-4}" "$tile" b1 "$last_year" "$dir/whole" build/process_tile
echo
# The batch's follow-up work (region, batch quality, report, page) at 100 and
# 1,000 stand-in tiles of this tile's products, projected to 20,000.
bench/region_scale.py --dir "$dir/region"
