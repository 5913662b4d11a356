#!/usr/bin/env bash
# How much the forest by definition adds to the end of a batch: the tables
# and forest edges of N stand-in tiles (last year 2020, the 7 default
# thresholds, 21 years, each tile in K of 50 zones) on a grid of whole
# degrees, then tools/sum_accounts of the build timed three times on them:
# without --forest, with --forest 10:5:0.5 over edges like those of that
# definition (a few small patches left undecided along each tile's edge)
# and with --forest 30:5:100 over dense ones (most canopy along the edge
# undecided). Wall time, CPU time and peak memory (GNU time) of each, and
# the forest runs against the plain one. A benchmark, not a test.
#
#   bench/forest_join_scale.sh [N] [K] [DIR]
set -euo pipefail
usage() {
  cat <<'EOF'
usage: forest_join_scale.sh [N] [K] [DIR]

Times tools/sum_accounts over N stand-in tiles (default 20000) of last year
2020 on a grid of whole degrees (200 tiles a row), each tile in K of 50
zones (default 4): without --forest, with --forest 10:5:0.5 and edges like
that definition's (40 undecided patches of 1 to 4 pixels and 60 stretches
of decided forest along each year's edge) and with --forest 30:5:100 and
dense edges (300 undecided patches of 5 to 20 pixels, 30 stretches of
forest). Prints each run's wall time, CPU time and peak memory, and the
forest runs against the plain one. Needs GNU time (/usr/bin/time). At
20000 tiles the dense edges take some 9 GB of disk.

  N    number of stand-in tiles, 1 to 100000 (20000)
  K    zones a tile, 0 to 50 (4)
  DIR  where the stand-in tables go (out/forest_join_bench in the working
       directory); removed first when it is empty or an earlier run's,
       else left as it is (exit 1)

A DIR that begins with '-' needs '--' before it.

Environment:
  BUILD_DIR  the build directory whose tools/sum_accounts is timed (build)
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/script_options.sh"
take_no_options "$@"
# shellcheck source=bench/scale_arguments.sh
. "$(dirname "${BASH_SOURCE[0]}")/scale_arguments.sh"
scale_arguments "$PWD/out/forest_join_bench" "$@"
root="$(CDPATH="" cd -- "$(dirname -- "$0")/.." && pwd)"
sums="$(realpath -m "${BUILD_DIR:-$root/build}/tools/sum_accounts")"
if ! [ -x "$sums" ]; then
  printf '%s: no %q: build it first (cmake --build BUILD_DIR --target sum_accounts)\n' "${0##*/}" \
    "$sums" >&2
  exit 1
fi
if ! [ -x /usr/bin/time ]; then
  printf '%s: no GNU time (/usr/bin/time) to measure with\n' "${0##*/}" >&2
  exit 1
fi
if [ -n "$(ls -A "$dir" 2>/dev/null)" ] && ! [ -f "$dir/forest_join_scale" ]; then
  printf '%s: %q is not empty and not an earlier run'"'"'s: not removed\n' "${0##*/}" "$dir" >&2
  exit 1
fi
rm -rf "$dir"
mkdir -p "$dir/light" "$dir/dense"
touch "$dir/forest_join_scale"

# The tables as tile_accounts --forest --forest-edges writes them. Tile T<i>
# lies at row i / 200 and column i % 200 of a grid of whole degrees (4004
# pixels a side, 4000 apart) and owns the 4000 x 4000 pixels of its part
# "0-3999:0-3999"; it is in zones i to i + K - 1 (of 50, wrapping). Its
# edge states are drawn at random, the same few drawings shared by many
# tiles: tiles side by side then hold canopy, forest and undecided patches
# against each other as a real list does, for the join to work through.
setup_start=$(date +%s)
python3 -B - "$dir" "$n" "$k" <<'END'
import hashlib, os, random, sys
top, n, k = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
YEARS = 21
KEYS = [(t, y) for t in (10, 15, 20, 25, 30, 50, 75) for y in range(2000, 2000 + YEARS)]
# The edge of a 4000 x 4000 part in its order: the western half of the top
# row, the western side, the western half of the bottom row, then the same
# of the eastern half.
SIDES = [2000, 3998, 2000] * 2
PART = "0-3999:0-3999"
PER_ROW = 200
# (definition, least area m2, undecided patches a year and their lengths,
# stretches of decided forest and theirs)
KINDS = {"light": ("10 5 0.5", 5000.0, 40, (1, 4), 60, (20, 200)),
         "dense": ("30 5 100", 1e6, 300, (5, 20), 30, (20, 100))}
VARIANTS = 8

def block(prefix, land):
    return "".join("%s,%d,%d,%d.%06d,%d.%06d,%d.%06d,%s\n" % (
        prefix, t, y, land // 10**6, land % 10**6, c // 10**6, c % 10**6, s // 10**6, s % 10**6,
        "%d.%06d" % divmod(5000000 + 37 * c % 20000000, 10**6) if c else "")
        for t, y in KEYS for c, s in [((land * (100 - t) // 100) - (y - 2000) * 1013, (y - 2000) * 7)])

def forest_block(prefix, forest):
    return "".join("%s,%d,%d.%06d,%d.%06d\n" % (prefix, y, forest // 10**6, forest % 10**6,
                                               (y - 2000) * 17 // 10**6, (y - 2000) * 17 % 10**6)
                   for y in range(2000, 2000 + YEARS))

def edges_body(kind, variant):
    """The years of a tile's edges: its runs and undecided patches."""
    _, least, patches, patch_len, decided, decided_len = KINDS[kind]
    rng = random.Random("%s %d" % (kind, variant))
    lines = ["years %d\n" % YEARS]
    for year in range(YEARS):
        # Each stretch on one side of the part, as a patch along the edge
        # lies: a side's pixels are consecutive in the edge's order.
        items = [[] for _ in SIDES]
        for p in range(1, patches + 1):
            items[rng.choices(range(len(SIDES)), SIDES)[0]].append((rng.randint(*patch_len), p))
        for _ in range(decided):
            items[rng.choices(range(len(SIDES)), SIDES)[0]].append((rng.randint(*decided_len), 0))
        runs = []
        for side, on_side in zip(SIDES, items):
            rng.shuffle(on_side)
            # Stretches of forest left out where a side has no room for them.
            while sum(length for length, _ in on_side) + len(on_side) >= side:
                on_side.remove(next(item for item in on_side if item[1] == 0))
            free = side - sum(length for length, _ in on_side)
            cuts = sorted(rng.sample(range(1, free), len(on_side)))
            gaps = [b - a for a, b in zip([0] + cuts, cuts + [free])]
            for gap, (length, state) in zip(gaps, on_side + [(0, None)]):
                runs.append("%d:-1" % gap)
                if state is not None:
                    runs.append("%d:%d" % (length, state))
        lines.append("year %d %d\nborder %s\n" % (2000 + year, patches, " ".join(runs)))
        for p in range(1, patches + 1):
            area = rng.uniform(0.05, 0.95) * least
            loss = ""
            if year == 0:
                lost = [0.0] * YEARS
                if rng.random() < 0.2:
                    lost[rng.randrange(1, YEARS)] = area * rng.uniform(0.05, 0.5)
                loss = "".join(" " + ("0" if v == 0 else repr(v)) for v in lost)
            shares = 1 if k else 0
            lines.append("patch %d %r %d%s\n" % (p, area, shares, loss))
            if shares:
                lines.append("share %d %r%s\n" % (rng.randrange(k), area, loss))
    return "".join(lines) + "end\n"

bodies = {kind: [edges_body(kind, v) for v in range(VARIANTS)] for kind in KINDS}
identity = lambda path, data: "%d\t%d\t%d\t%s" % (os.stat(path).st_size, os.stat(path).st_mtime_ns,
                                                  os.stat(path).st_ino, hashlib.sha256(data).hexdigest())
lists = {"plain": [], "light": [], "dense": []}
placement = []
for i in range(1, n + 1):
    tile = "T%d" % i
    zones = ["zone %d" % ((i + z) % 50 + 1) for z in range(k)]
    tables = {
        tile + "_accounts.csv": "tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
                                + block(tile, 10000123456 + i),
        tile + "_zone_accounts.csv": "tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
                                     + "".join(block("%s,%s" % (tile, z), 200002469 + i + j) for j, z in enumerate(zones)),
        tile + "_forest.csv": "tile_id,year,forest_ha,forest_loss_ha\n" + forest_block(tile, 5000123456 + i),
        tile + "_zone_forest.csv": "tile_id,zone,year,forest_ha,forest_loss_ha\n"
                                   + "".join(forest_block("%s,%s" % (tile, z), 100002469 + i + j) for j, z in enumerate(zones)),
    }
    for name, text in tables.items():
        if k == 0 and "_zone_" in name:  # a batch without zones writes no zone tables
            continue
        data = text.encode()
        path = os.path.join(top, "light", name)
        with open(path, "wb") as f:
            f.write(data)
        os.link(path, os.path.join(top, "dense", name))
        line = "%s\t%s\t%s\n" % (tile, name, identity(path, data))
        if "forest" not in name:
            lists["plain"].append(line)
        lists["light"].append(line)
        lists["dense"].append(line)
    head = "tile %s\n" % tile.encode().hex()
    zone_lines = "zones %d\n" % k + "".join("zone %s\n" % z.encode().hex() for z in zones)
    for kind in ("light", "dense"):
        data = ("forest-edges 1\n" + head + "definition %s\nconnectivity 8\nsize 4004 4004\npart %s\n"
                % (KINDS[kind][0], PART) + zone_lines + bodies[kind][i % VARIANTS]).encode()
        name = tile + "_forest_edges.txt"
        path = os.path.join(top, kind, name)
        with open(path, "wb") as f:
            f.write(data)
        lists[kind].append("%s\t%s\t%s\n" % (tile, name, identity(path, data)))
    r, c = divmod(i - 1, PER_ROW)
    placement.append("%s\tg\t%d\t%d\n" % (tile, (80 + c) * 4000, (10 + r) * 4000))
for kind, lines in lists.items():
    with open(os.path.join(top, kind + ".list"), "w") as f:
        f.write("".join(lines))
with open(os.path.join(top, "placement.tsv"), "w") as f:
    f.write("".join(placement))
END
edge_mb() { find "$dir/$1" -name '*_forest_edges.txt' -printf '%s\n' | awk '{s += $1} END {printf "%.0f", s / 1e6}'; }
echo "$n tiles, $k zones a tile: tables and edges in $dir made in $(($(date +%s) - setup_start)) s;" \
  "edge files $(edge_mb light) MB light, $(edge_mb dense) MB dense"

# Each run alone, timed by GNU time: wall s, user s, system s, peak KiB.
timed() {
  local name="$1"
  shift
  if ! /usr/bin/time -o "$dir/$name.time" -f "%e %U %S %M" "$sums" "$@" > "$dir/$name.out" 2> "$dir/$name.err"; then
    printf '%s: sum_accounts (%s) failed:\n' "${0##*/}" "$name" >&2
    cat "$dir/$name.out" "$dir/$name.err" >&2
    exit 1
  fi
}
zone_out=()
zone_forest=()
if [ "$k" -gt 0 ]; then
  zone_out=("$dir/plain_zones.csv")
fi
timed plain -- "$dir/plain.list" "$dir/light" 2020 10,15,20,25,30,50,75 "$dir/plain.csv" "${zone_out[@]}"
for kind in light dense; do
  definition=10:5:0.5
  [ "$kind" = light ] || definition=30:5:100
  if [ "$k" -gt 0 ]; then
    zone_out=("$dir/${kind}_zones.csv")
    zone_forest=(--zone-forest-table "$dir/${kind}_zone_forest.csv")
  fi
  timed "$kind" --forest "$definition" --placement "$dir/placement.tsv" \
    --forest-table "$dir/${kind}_forest.csv" "${zone_forest[@]}" -- "$dir/$kind.list" "$dir/$kind" 2020 \
    10,15,20,25,30,50,75 "$dir/${kind}.csv" "${zone_out[@]}"
  cmp -s "$dir/plain.csv" "$dir/$kind.csv" ||
    { echo "sum_accounts --forest ($kind) wrote other accounts tables than without" >&2; exit 1; }
done

# The three runs side by side, each forest run against the plain one.
awk -v n="$n" -v dir="$dir" 'BEGIN {
  printf "%-36s %8s %8s %10s\n", "sum_accounts over " n " tiles", "wall s", "CPU s", "peak MiB"
  split("plain light dense", runs, " ")
  label["plain"] = "without --forest"
  label["light"] = "--forest 10:5:0.5 (light edges)"
  label["dense"] = "--forest 30:5:100 (dense edges)"
  for (i = 1; i <= 3; ++i) {
    getline line < (dir "/" runs[i] ".time")
    split(line, f, " ")
    printf "%-36s %8.2f %8.2f %10.1f", label[runs[i]], f[1], f[2] + f[3], f[4] / 1024
    if (i == 1) { wall = f[1]; printf "\n" }
    else printf "   %.2fx the wall time, %+.2f s\n", f[1] / (wall > 0 ? wall : 0.01), f[1] - wall
  }
}'
for kind in light dense; do
  echo "$kind: $(sed -n 2p "$dir/${kind}_forest.csv") (2000 in the batch's forest table)"
done
