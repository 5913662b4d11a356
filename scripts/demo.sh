#!/usr/bin/env bash
# Installs what is missing, builds, generates a synthetic tile, runs
# process_tile on it and shows what it wrote.
set -euo pipefail
usage() {
  cat <<'EOF'
usage: demo.sh [-h | --help]

Installs what is missing (scripts/install_deps.sh), builds (scripts/build.sh),
generates a synthetic tile 40N_080W, runs process_tile on it, shows the
products and their statistics and makes the quicklooks of the last year.
Everything goes into DEMO_DIR, which is removed first.

Environment:
  DEMO_DIR        where the inputs, products and quicklooks go (out/demo)
  DEMO_LAST_YEAR  the tile's last year (2020)
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_options.sh"
take_no_arguments "$@"
cd "$(dirname "$0")/.."
scripts/install_deps.sh
scripts/build.sh

demo="${DEMO_DIR:-$PWD/out/demo}"
last_year="${DEMO_LAST_YEAR:-2020}"
tile=40N_080W
rm -rf "$demo"
mkdir -p "$demo/products"

echo "== generating a synthetic tile $tile, 1997-$last_year, in $demo"
# The inputs at the tile's own corner, so that they and the products lie
# together in a GIS; process_tile places the products by its arguments alone,
# so the products are the same bytes either way.
build/tools/make_synthetic_tile "$demo/input" "$demo/datamask" "$demo/wetland" "$tile" "$last_year" 1 --origin -80 40

echo "== process_tile $tile $last_year $demo/input $demo/products -80 40 $demo/datamask $demo/wetland"
start=$(date +%s%N)
status=0
build/process_tile "$tile" "$last_year" "$demo/input" "$demo/products" -80 40 "$demo/datamask" "$demo/wetland" || status=$?
end=$(date +%s%N)
echo "== exit status $status after $(( (end - start) / 1000000 )) ms"
[ "$status" -eq 0 ] || exit "$status"

echo "== products written:"
# sed reads the whole listing; head would exit early, and under pipefail the
# ls it leaves writing dies of SIGPIPE and ends the demo at random.
# shellcheck disable=SC2012  # a listing for the reader, never parsed
ls -l "$demo/products" | sed -n '1,12p'
products=("$demo/products"/*)
echo "   ... ${#products[@]} files in all"

# Statistics are computed for display only; PAM off keeps .aux.xml files out of the products.
echo "== one product, TCC $last_year:"
GDAL_PAM_ENABLED=NO gdalinfo -stats "$demo/products/TCC_${last_year}_${tile}.img" | sed -n '1,40p'
for product in TCH Loss; do
  echo "== $product $last_year statistics:"
  GDAL_PAM_ENABLED=NO gdalinfo -stats "$demo/products/${product}_${last_year}_${tile}.img" | grep -E 'STATISTICS_(MINIMUM|MAXIMUM|MEAN)'
done

echo "== quicklooks of $last_year (scripts/quicklook.sh, into its default place):"
scripts/quicklook.sh "$demo/products" "$tile" "$last_year"
