#!/usr/bin/env bash
# How long the end of a batch takes to sum the forest accounts of a large
# list, and how much memory it holds: the tables of N stand-in tiles (last
# year 2020, the 7 default thresholds, 21 years) in the format tile_accounts
# writes, each tile in K of 50 zones, then, timed, the batch's sums
# (tilebatch.accounts.build, as the end of a batch, the Slurm follow-up job
# and --report run it: tools/sum_accounts of the build reads and sums them),
# with the wall time, the CPU time and the peak memory of the batch's
# process and of sum_accounts. A benchmark, not a test.
#
#   bench/accounts_scale.sh [N] [K] [DIR]
set -euo pipefail
usage() {
  cat <<'EOF'
usage: accounts_scale.sh [N] [K] [DIR]

Times the batch's sums of the forest accounts over N stand-in tiles (default
20000) of last year 2020 with the 7 default thresholds, each tile in K of 50
zones (default 4; 50 puts every zone in every tile, 9 GB of tables at 20000):
writes each tile's table and zone table as tile_accounts does, then sums
them as the end of a batch does (tilebatch.accounts.build, which runs
tools/sum_accounts of the build) and prints the wall time, the CPU time, the
peak memory of the batch's process and of sum_accounts, and the rows read.

  N    number of stand-in tiles, 1 to 100000 (20000)
  K    zones a tile, 0 to 50 (4)
  DIR  where the stand-in tables go (out/accounts_scale_bench in the working
       directory); removed first when it is empty or an earlier run's,
       else left as it is (exit 1)

A DIR that begins with '-' needs '--' before it.

Environment:
  BUILD_DIR  the build directory whose tools/sum_accounts sums (build)
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/script_options.sh"
take_no_options "$@"
# shellcheck source=bench/scale_arguments.sh
. "$(dirname "${BASH_SOURCE[0]}")/scale_arguments.sh"
scale_arguments "$PWD/out/accounts_scale_bench" "$@"
root="$(CDPATH="" cd -- "$(dirname -- "$0")/.." && pwd)"
tools="$(realpath -m "${BUILD_DIR:-$root/build}/tools")"
if ! [ -x "$tools/sum_accounts" ]; then
  printf '%s: no %q: build it first (cmake --build BUILD_DIR --target sum_accounts)\n' "${0##*/}" \
    "$tools/sum_accounts" >&2
  exit 1
fi
if [ -n "$(ls -A "$dir" 2>/dev/null)" ] && ! [ -f "$dir/accounts_scale" ]; then
  printf '%s: %q is not empty and not an earlier run'"'"'s: not removed\n' "${0##*/}" "$dir" >&2
  exit 1
fi
rm -rf "$dir"
mkdir -p "$dir/out/accounts"
touch "$dir/accounts_scale"
printf 'zone %d\n' $(seq 1 50) > "$dir/zones.txt"

# The tables, as tile_accounts writes them: tile T<i> lies in zones i to
# i + K - 1 (of 50, wrapping), every figure a plain decimal of six places.
setup_start=$(date +%s)
python3 -B - "$dir" "$n" "$k" <<'END'
import os, sys
top, n, k = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
here = os.path.join(top, "out", "accounts")
keys = [(t, y) for t in (10, 15, 20, 25, 30, 50, 75) for y in range(2000, 2021)]
def block(prefix, land):
    return "".join("%s,%d,%d,%d.%06d,%d.%06d,%d.%06d,%s\n" % (
        prefix, t, y, land // 10**6, land % 10**6, c // 10**6, c % 10**6, s // 10**6, s % 10**6,
        "%d.%06d" % divmod(5000000 + 37 * c % 20000000, 10**6) if c else "")
        for t, y in keys for c, s in [((land * (100 - t) // 100) - (y - 2000) * 1013, (y - 2000) * 7)])
for i in range(1, n + 1):
    tile = "T%d" % i
    with open(os.path.join(here, tile + "_accounts.csv"), "w") as f:
        f.write("tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n" + block(tile, 10000123456 + i))
    with open(os.path.join(here, tile + "_zone_accounts.csv"), "w") as f:
        f.write("tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n")
        f.write("".join(block('%s,zone %d' % (tile, (i + z) % 50 + 1), 200002469 + i + z) for z in range(k)))
END
size="$(du -sh "$dir/out/accounts" | cut -f1)"
echo "$n tiles, $k zones a tile: tables ($size) in $dir/out/accounts made in $(( $(date +%s) - setup_start )) s"

# The sums, timed in a process of their own; each table's identity taken
# first, as the survey of the batch takes them from the records.
python3 -B -E -s - "$root" "$dir" "$n" "$tools" "$k" <<'END'
import os, resource, sys, time
sys.path.insert(0, sys.argv[1])
from tilebatch import accounts, facts
from tilebatch.records import Request, Row, State
from tilebatch.tilejob import file_identity, zones_identity
top, n, tools, k = sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5])
out = os.path.join(top, "out")
zones = os.path.join(top, "zones.txt")
req = Request(tiles=[("T%d" % i, str(-179 + 1.001 * (i % 300)), str(80 - 1.001 * (i // 300))) for i in range(1, n + 1)],
              last_year=2020, input_dir=top, output_dir=out, datamask_dir=top, wetland_dir=top, process_tile=top,
              logs=os.path.join(out, "logs"), tile_accounts=os.path.join(tools, "tile_accounts"), thresholds=facts.DEFAULT_THRESHOLDS, zones=zones,
              zones_identity=zones_identity(zones))
here = req.accounts_dir
rows = [Row(t, State.DONE, "0", accounts={name: file_identity(os.path.join(here, name))
                                          for name in (facts.accounts_table_name(t), facts.zone_accounts_table_name(t))})
        for t, _, _ in req.tiles]
started = time.monotonic()
status = accounts.build(req, rows)
wall = time.monotonic() - started
own, tool = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
with open(os.path.join(here, facts.BATCH_ZONE_ACCOUNTS)) as f:
    zone_rows = sum(1 for _ in f) - 1
read = sum(os.path.getsize(os.path.join(here, name)) for r in rows for name in r.accounts)
row_count = n * (1 + k) * len(accounts.keys_of(req.thresholds, req.last_year))
print("sums of %d tiles: status %d, %.1f s wall, %.1f s CPU in all (%.1f s sum_accounts); %d MB of tables read "
      "(%d rows); %d zone rows written" % (n, status, wall, own.ru_utime + own.ru_stime + tool.ru_utime
                                           + tool.ru_stime, tool.ru_utime + tool.ru_stime, read // 10**6, row_count,
                                           zone_rows))
# A child's peak memory counts the process it was forked from: the direct
# run below gives sum_accounts' own.
print("peak memory: %d MiB the batch's process" % (own.ru_maxrss // 1024))
with open(os.path.join(top, "tables.list"), "wb") as f:
    f.write(accounts.table_list([(r.tile, r.accounts) for r in rows], True)[0])
END

# sum_accounts alone over the same list, with its own peak memory; its
# tables are those the batch wrote.
if [ -x /usr/bin/time ]; then
  here="$dir/out/accounts"
  /usr/bin/time -f "sum_accounts alone: %e s wall, %U s user + %S s system CPU, peak memory %M KiB" \
    "$tools/sum_accounts" -- "$dir/tables.list" "$here" 2020 10,15,20,25,30,50,75 \
    "$dir/direct.csv" "$dir/direct_zones.csv"
  cmp -s "$dir/direct.csv" "$here/batch_accounts.csv" && cmp -s "$dir/direct_zones.csv" "$here/batch_zone_accounts.csv" ||
    { echo "sum_accounts alone wrote other tables than the batch's" >&2; exit 1; }
fi
