#!/usr/bin/env bash
# Golden products: generates seeded tiles (last years 2000 and 2020), runs
# process_tile on each and compares the MD5 of every product with the list in
# products.md5 beside this script. Any change of product bytes, whether in
# the filter, the writer or the generator, fails here; a deliberate one
# refreshes the list from the file this test writes (the path is printed).
#
#   golden_test.sh PROCESS_TILE MAKE_SYNTHETIC_TILE SCRATCH
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: $0 PROCESS_TILE MAKE_SYNTHETIC_TILE SCRATCH" >&2; exit 2; }
process_tile="$(realpath "$1")" make_tile="$(realpath "$2")" scratch="$(realpath -m "$3")"
expected="$(cd "$(dirname "$0")" && pwd)/products.md5"
tile=10N_020E seed=3

rm -rf "$scratch"
mkdir -p "$scratch"
actual="$scratch/products.md5"
: > "$actual"
for last_year in 2000 2020; do
  dir="$scratch/$last_year"
  "$make_tile" "$dir/input" "$dir/datamask" "$dir/wetland" "$tile" "$last_year" "$seed" > /dev/null
  mkdir "$dir/products"
  "$process_tile" "$tile" "$last_year" "$dir/input" "$dir/products" 20 10 "$dir/datamask" "$dir/wetland" > /dev/null
  # Paths relative to the scratch directory, so the list does not name it.
  (cd "$scratch" && md5sum "$last_year"/products/*) >> "$actual"
  rm -rf "$dir"
done

if diff -u "$expected" "$actual"; then
  echo "all $(wc -l < "$actual") products match their golden checksums"
else
  echo "FAIL: product bytes changed (above: - golden, + now). If the change is deliberate, copy $actual to $expected" >&2
  exit 1
fi
