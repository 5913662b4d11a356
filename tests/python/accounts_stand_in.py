#!/usr/bin/env python3
"""A stand-in for tile_accounts in the batch's tests: reads its command line
as the program does (options, "--", five positionals), keeps it in
$STAND_IN_ARGV, and writes the tables in the program's format, every row
land 10, cover 4, loss 1 and height 7.5 hectares and metres; the zones are
the zones file's lines. $STAND_IN_FAIL makes it fail as the program does."""
import os
import sys

args = sys.argv[1:]
if os.environ.get("STAND_IN_ARGV"):
    with open(os.environ["STAND_IN_ARGV"], "w") as f:
        f.write("\n".join(args) + "\n")
if "--" not in args:
    sys.exit(2)
options, positionals = args[:args.index("--")], args[args.index("--") + 1:]
if len(positionals) != 5 or len(options) % 2:
    sys.exit(2)
settings = dict(zip(options[::2], options[1::2]))
if os.environ.get("STAND_IN_FAIL"):
    print("GDAL chatter", file=sys.stderr)
    print("tile_accounts: " + os.environ["STAND_IN_FAIL"], file=sys.stderr)
    sys.exit(1)
tile, last_year, _, _, out = positionals
os.makedirs(out, exist_ok=True)


def field(text):
    return '"%s"' % text.replace('"', '""') if any(c in text for c in ',"\r\n') else text


thresholds = [int(t) for t in settings["--thresholds"].split(",")]
rows = ["%s,%d,%d,10.000000,4.000000,1.000000,7.500000" % (field(tile), t, y)
        for t in thresholds for y in range(2000, int(last_year) + 1)]
with open(os.path.join(out, tile + "_accounts.csv"), "w") as f:
    f.write("tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n" + "".join(r + "\n" for r in rows))
zone_table = os.path.join(out, tile + "_zone_accounts.csv")
if "--zones" in settings:
    with open(settings["--zones"]) as f:
        zones = [line.strip() for line in f if line.strip()]
    with open(zone_table, "w") as f:
        f.write("tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n")
        for zone in zones:
            f.write("".join(r.replace(field(tile) + ",", field(tile) + "," + field(zone) + ",", 1) + "\n" for r in rows))
elif os.path.exists(zone_table):
    os.unlink(zone_table)
