#!/usr/bin/env bash
# scripts/quicklook.sh on the products of a real run (left in SCRATCH/out by
# batch_test.sh): three PNGs of the asked size, coloured, loss visible.
#
#   quicklook_test.sh SCRATCH
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 SCRATCH" >&2; exit 2; }
out="$1/out"
scripts="$(cd "$(dirname "$0")/../../scripts" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"

. "$here/checks.sh"
# min and max of band BAND of a picture, "min max". Every reader here reads
# to the end: under pipefail, one that stops early kills gdalinfo with SIGPIPE.
band_range() {
  gdalinfo -stats -nomd "$1" 2>/dev/null | grep -A4 "^Band $2 " \
    | awk -F'[=,]' '/Minimum=/ && !done { gsub(/[^0-9.]/, "", $2); gsub(/[^0-9.]/, "", $4); print $2 + 0, $4 + 0; done = 1 }'
}
# Whether gdalinfo of FILE has a line matching each PATTERN.
info_has() {
  local info pattern
  info="$(gdalinfo "$1")" || return 1
  shift
  for pattern in "$@"; do grep -q -- "$pattern" <<< "$info" || return 1; done
}

[ -f "$out/Loss_2000_t1.img" ] || { echo "no products in $out (batch_test.sh makes them)" >&2; exit 1; }
cd "$1"

# Default place and size.
bash "$scripts/quicklook.sh" "$out" t1 2000 > listed.txt
for p in TCC TCH Loss; do
  png="$out/quicklooks/${p}_2000_t1.png"
  check "$p picture listed" grep -qx "$png" listed.txt
  check "$p picture is a 1001 x 1001 PNG" info_has "$png" '^Driver: PNG/' '^Size is 1001, 1001'

  check "$p picture has three byte bands (RGB)" [ "$(gdalinfo "$png" | grep -c '^Band [0-9].*Type=Byte')" -eq 3 ]
done

# Given place and size.
dest="$1/quicklooks_small"
bash "$scripts/quicklook.sh" "$out" t1 2000 "$dest" 250 > /dev/null
for p in TCC TCH Loss; do
  check "$p picture is 250 x 250" info_has "$dest/${p}_2000_t1.png" '^Size is 250, 250'
done

# The tile has loss in 2000: red over grey, so the red band is not one value.
loss_red="$(band_range "$dest/Loss_2000_t1.png" 1)"
echo "Loss picture red band min max: $loss_red"
check "Loss picture shows loss (red) over grey" [ "$loss_red" = "150 220" ]
tcc_green="$(band_range "$dest/TCC_2000_t1.png" 2)"
echo "TCC picture green band min max: $tcc_green"
check "TCC picture is not one colour" test -n "$tcc_green" -a "${tcc_green% *}" != "${tcc_green#* }"

# A missing product is named and nothing is made.
status=0
bash "$scripts/quicklook.sh" "$out" t9 2000 "$1/quicklooks_none" > missing.txt 2>&1 || status=$?
check "missing product: exit 1" [ "$status" -eq 1 ]
check "missing product: named" grep -q "TCC_2000_t9.img not found" missing.txt
check "missing product: no pictures" [ ! -e "$1/quicklooks_none" ]

rm -f listed.txt missing.txt
if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all quicklook checks passed"
