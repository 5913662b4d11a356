#!/usr/bin/env python3
"""A stand-in for tile_accounts in the batch's tests: reads its command line
as the program does (options, "--", five positionals), keeps it in
$STAND_IN_ARGV, and writes the tables in the program's format, every row
land 10, cover 4, loss 1 and height 7.5 hectares and metres; the zones are
the zones file's lines. With --forest (and --forest-edges) it writes the
forest tables, every row forest 3 and forest loss 0.5 hectares, and an
edges file naming the definition; without, it removes earlier ones, as the
program does. $STAND_IN_FAIL makes it fail as the program does."""
import os
import sys

FLAGS = ("--forest-edges",)  # options without a value
args = sys.argv[1:]
if os.environ.get("STAND_IN_ARGV"):
    with open(os.environ["STAND_IN_ARGV"], "w") as f:
        f.write("\n".join(args) + "\n")
if "--" not in args:
    sys.exit(2)
options, positionals = args[:args.index("--")], args[args.index("--") + 1:]
flags = {o for o in options if o in FLAGS}
options = [o for o in options if o not in FLAGS]
if len(positionals) != 5 or len(options) % 2:
    sys.exit(2)
settings = dict(zip(options[::2], options[1::2]))
if flags and "--forest" not in settings:
    sys.exit(2)
if os.environ.get("STAND_IN_FAIL"):
    print("GDAL chatter", file=sys.stderr)
    print("tile_accounts: " + os.environ["STAND_IN_FAIL"], file=sys.stderr)
    sys.exit(1)
tile, last_year, _, _, out = positionals
os.makedirs(out, exist_ok=True)


def field(text):
    return '"%s"' % text.replace('"', '""') if any(c in text for c in ',"\r\n') else text


def write(name, header, rows, zones=None):
    """NAME, its rows after the tile's id (and each zone's with ZONES); or,
    with ZONES None where zones are asked for, no such table."""
    path = os.path.join(out, name)
    if zones is None and "--zones" in settings:
        return
    with open(path, "w") as f:
        f.write(header)
        for zone in zones if zones is not None else [None]:
            prefix = field(tile) + "," + ("" if zone is None else field(zone) + ",")
            f.write("".join(prefix + r + "\n" for r in rows))


def remove(name):
    if os.path.exists(os.path.join(out, name)):
        os.unlink(os.path.join(out, name))


thresholds = [int(t) for t in settings["--thresholds"].split(",")]
years = range(2000, int(last_year) + 1)
rows = ["%d,%d,10.000000,4.000000,1.000000,7.500000" % (t, y) for t in thresholds for y in years]
zones = None
if "--zones" in settings:
    with open(settings["--zones"]) as f:
        zones = [line.strip() for line in f if line.strip()]
with open(os.path.join(out, tile + "_accounts.csv"), "w") as f:
    f.write("tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
            + "".join(field(tile) + "," + r + "\n" for r in rows))
if zones is not None:
    write(tile + "_zone_accounts.csv", "tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n", rows,
          zones)
else:
    remove(tile + "_zone_accounts.csv")
forest_rows = ["%d,3.000000,0.500000" % y for y in years]
if "--forest" in settings:
    with open(os.path.join(out, tile + "_forest.csv"), "w") as f:
        f.write("tile_id,year,forest_ha,forest_loss_ha\n" + "".join(field(tile) + "," + r + "\n" for r in forest_rows))
    if zones is not None:
        write(tile + "_zone_forest.csv", "tile_id,zone,year,forest_ha,forest_loss_ha\n", forest_rows, zones)
    else:
        remove(tile + "_zone_forest.csv")
else:
    remove(tile + "_forest.csv")
    remove(tile + "_zone_forest.csv")
if flags:
    with open(os.path.join(out, tile + "_forest_edges.txt"), "w") as f:
        f.write("stand-in edges of %s: %s connectivity %s\n" % (tile, settings["--forest"],
                                                                 settings.get("--connectivity", "8")))
else:
    remove(tile + "_forest_edges.txt")
