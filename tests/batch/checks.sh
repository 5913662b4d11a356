# shellcheck shell=bash
# What every batch test counts its checks with, sourced first: check (run a
# check, print ok or FAIL, count the failures in $failures) and skip (print
# "SKIP: <reason>" and exit 77, which ctest counts as skipped).
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}
skip() { echo "SKIP: $*"; exit 77; }
# counting_process_tile PROCESS_TILE: ./counting_process_tile, which records
# the tile of every call in ./calls (emptied here) and runs PROCESS_TILE.
counting_process_tile() {
  cat > counting_process_tile <<WRAPPER
#!/bin/sh
echo "\$1" >> "$PWD/calls"
exec "$1" "\$@"
WRAPPER
  chmod +x counting_process_tile
  : > calls
}
# use_layers TILE SOURCE: in ./input, ./datamask and ./wetland, the tile's
# layers are links to those generated for the tile SOURCE.
use_layers() {
  local f
  mkdir "input/$1"
  for f in "input/$2/$2"_*; do ln -s "$PWD/$f" "input/$1/$1${f#"input/$2/$2"}"; done
  ln -s "$PWD/datamask/$2_datamask.tif" "datamask/$1_datamask.tif"
  ln -s "$PWD/wetland/$2_wetlandmask.tif" "wetland/$1_wetlandmask.tif"
}
