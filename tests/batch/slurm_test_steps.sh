# shellcheck shell=bash
# What the Slurm tests start with, sourced by them before anything else:
# skip and check (tests/batch/checks.sh), installed (is a Debian package
# installed), make_tiles (generated tiles for the tests that run the real
# process_tile), record and record_counts (what the tiles' records hold), and
# the refusal to run without root or dpkg, which the daemons and their
# packages need; then the test's SCRATCH directory ($scratch, set by the test),
# emptied, becomes the working one, and the python3 the batch layer runs on
# is chosen.
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
# A tile's record, LOGS/tiles/<tile>/record.json, read as JSON.
# A field prints as it is when a string, else as JSON (0, null, ...).
record() {  # record LOGS TILE FIELD...: the fields, joined by /; "no record" when there is none that reads
  python3 -c '
import json, os, sys
logs, tile, fields = sys.argv[1], sys.argv[2], sys.argv[3:]
try:
    with open(os.path.join(logs, "tiles", tile, "record.json")) as f:
        value = json.load(f)
except (OSError, ValueError):
    value = None
if not isinstance(value, dict):
    sys.exit(print("no record"))
print("/".join(v if isinstance(v, str) else json.dumps(v) for v in (value.get(k) for k in fields)))' "$@"
}
record_counts() {  # record_counts LOGS FIELD: "value:count" over all records there, by value ("?": unreadable)
  python3 -c '
import collections, glob, json, os, sys
logs, field = sys.argv[1:]
counts = collections.Counter()
for path in glob.glob(os.path.join(glob.escape(logs), "tiles", "*", "record.json")):
    try:
        with open(path) as f:
            value = json.load(f)
        counts[json.dumps(value.get(field))] += 1
    except (OSError, ValueError, AttributeError):
        counts["?"] += 1
print(" ".join("%s:%d" % kv for kv in sorted(counts.items())))' "$@"
}
installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }

[ "$(id -u)" -eq 0 ] || skip "not root: starting munged, slurmctld and slurmd needs root"
command -v dpkg-query >/dev/null || skip "no dpkg: Debian's Slurm packages cannot be installed here"

rm -rf "${scratch:?the test sets scratch}"
mkdir -p "$scratch"
cd "$scratch" || exit

# The python3 the batch layer runs on, the scripts and every task (they call
# python3 on the PATH): as for the package's other tests, Debian's
# /usr/bin/python3 where there is one, else python3 on the PATH; PT_PYTHON
# names another. A version manager's shim on the PATH (pyenv's) would cost
# each task a tenth of a second of CPU, as long as the task body itself.
python="${PT_PYTHON:-}"
if [ -z "$python" ] && [ -x /usr/bin/python3 ]; then python=/usr/bin/python3; fi
if [ -n "$python" ]; then
  python="$(command -v "$python")" || skip "PT_PYTHON names no program: ${PT_PYTHON:-}"
  mkdir python_bin
  ln -s "$python" python_bin/python3
  PATH="$scratch/python_bin:$PATH"
fi
command -v python3 >/dev/null || skip "python3 not installed"
