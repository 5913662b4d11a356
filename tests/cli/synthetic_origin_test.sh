#!/usr/bin/env bash
# make_synthetic_tile places its inputs at the corner --origin gives, so that
# a demo's inputs and products lie together in a GIS; without it, at the
# corner it always derived from the tile name (the golden test's inputs and
# every checksum rest on that). A bad number is named on one line, status 2,
# and nothing is written.
#
#   synthetic_origin_test.sh MAKE_SYNTHETIC_TILE SCRATCH
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 MAKE_SYNTHETIC_TILE SCRATCH" >&2; exit 2; }
make_tile="$1" scratch="$2"
rm -rf "$scratch"
mkdir -p "$scratch"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

origin_of() { gdalinfo "$1" | sed -n 's/^Origin = (\(.*\))$/\1/p'; }

generate() {  # DIR [OPTIONS...]
  local dir="$1"
  shift
  "$make_tile" "$dir/in" "$dir/dm" "$dir/wet" 40N_080W 2001 1 --size 8 "$@"
}

generate "$scratch/default"
got="$(origin_of "$scratch/default/in/40N_080W/40N_080W_TCC_2000.tif")"
# The corner the demo's inputs have always had (measured before the option).
[ "$got" = "7.999500000000000,47.000500000000002" ] || fail "default origin changed: $got"

generate "$scratch/placed" --origin -80 40
for layer in in/40N_080W/40N_080W_TCC_1997.tif in/40N_080W/40N_080W_loss_2001.tif \
             dm/40N_080W_datamask.tif wet/40N_080W_wetlandmask.tif; do
  got="$(origin_of "$scratch/placed/$layer")"
  [ "$got" = "-80.000000000000000,40.000000000000000" ] || fail "$layer placed at $got"
done
# Only the placement moves: the pixels are the same bytes.
gdal_translate -q -of ENVI "$scratch/default/in/40N_080W/40N_080W_TCC_2001.tif" "$scratch/a.bin"
gdal_translate -q -of ENVI "$scratch/placed/in/40N_080W/40N_080W_TCC_2001.tif" "$scratch/b.bin"
cmp -s "$scratch/a.bin" "$scratch/b.bin" || fail "--origin changed the pixels"

refused() {  # LON LAT WORD
  local err status=0
  err="$("$make_tile" "$scratch/r/in" "$scratch/r/dm" "$scratch/r/wet" T 2001 1 --size 8 \
           --origin "$1" "$2" 2>&1 >/dev/null)" || status=$?
  [ "$status" -eq 2 ] || fail "--origin $1 $2: status $status, not 2"
  [ "$(printf '%s\n' "$err" | wc -l)" -eq 1 ] || fail "--origin $1 $2: not one line: $err"
  case "$err" in *"$3"*) ;; *) fail "--origin $1 $2: '$err' does not name $3" ;; esac
  [ ! -e "$scratch/r" ] || fail "--origin $1 $2: wrote $scratch/r"
}
refused abc 40 "LON abc"
refused -80 12x "LAT 12x"
refused 361 40 "LON 361"
refused -80 -90.5 "LAT -90.5"
refused nan 40 "LON nan"
refused -80 inf "LAT inf"
refused "" 40 "LON"

[ "$failures" -eq 0 ] || exit 1
echo "synthetic origin: ok"
