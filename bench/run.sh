#!/usr/bin/env bash
# Builds, generates a full synthetic tile (LZW inputs, last year 2020 unless
# BENCH_LAST_YEAR says otherwise) once, and runs the tile benchmarks on it;
# then the region benchmark, on a 2020 tile of its own.
set -euo pipefail
usage() {
  cat <<'EOF'
usage: run.sh [-h | --help]

Installs what is missing (scripts/install_deps.sh), builds (scripts/build.sh),
generates a full synthetic tile b1 (LZW inputs) into BENCH_DIR unless it is
there already, runs build/bench/bench_tile and build/bench/bench_whole_process
on it, then bench/region_scale.py, and prints their measurements. For the
last year 2020 it writes some 5 GB into BENCH_DIR (four sets of 63 products
of 1 GB each, two generated tiles of 0.5 GB each) and takes minutes.

Environment:
  BENCH_LAST_YEAR  the tile's last year (2020)
  BENCH_DIR        where the tile, the products and the region's stand-in
                   tiles go (out/bench)
  BENCH_RUNS       runs of the program and of the floor process, each (4)
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/script_options.sh"
take_no_arguments "$@"
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
