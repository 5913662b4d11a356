# What both Slurm tests start with, sourced by them before anything else:
# skip (print "SKIP: <reason>", exit 77), check (run a check, count its
# failure), installed (is a Debian package installed), and the refusal to
# run without root or dpkg, which the daemons and their packages need.
skip() { echo "SKIP: $*"; exit 77; }
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}
installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }

[ "$(id -u)" -eq 0 ] || skip "not root: starting munged, slurmctld and slurmd needs root"
command -v dpkg-query >/dev/null || skip "no dpkg: Debian's Slurm packages cannot be installed here"
