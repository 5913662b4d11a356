# What the Slurm tests start with, sourced by them before anything else:
# skip and check (tests/batch/checks.sh), installed (is a Debian package
# installed), make_tiles (generated tiles for the tests that run the real
# process_tile), and the refusal to run without root or dpkg, which the
# daemons and their packages need; then the test's SCRATCH directory
# ($scratch), emptied, becomes the working one.
. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
# Generated full-size tiles t1 to tN of 2000 (seed i for ti, uncompressed, so
# quick to read) in input, datamask and wetland, made side by side.
make_tiles() {  # make_tiles MAKE_SYNTHETIC_TILE N
  local i makers=() pid
  for i in $(seq "$2"); do
    "$1" input datamask wetland "t$i" 2000 "$i" --compress NONE &
    makers+=($!)
  done
  for pid in "${makers[@]}"; do wait "$pid"; done   # not the daemons
}
installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }

[ "$(id -u)" -eq 0 ] || skip "not root: starting munged, slurmctld and slurmd needs root"
command -v dpkg-query >/dev/null || skip "no dpkg: Debian's Slurm packages cannot be installed here"

rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"
