#!/usr/bin/env python3
"""A stand-in for sum_accounts in the tests of a batch's end: called as the
batch calls the program ([--forest C:H:HA --connectivity N --placement FILE
--forest-table OUT [--zone-forest-table OUT]] -- LIST ACCOUNTS_DIR
LAST_YEAR THRESHOLDS OUT_TABLE [OUT_ZONE_TABLE]), it reads the list and
writes each output whole, a row of figures per threshold and year (with a
zone "z" in the zone tables), and the forest tables a row a year. With
$SUM_STAND_IN_ARGV it keeps its command line there, a word a line, its list
in that name + ".list" and the placement file in that name + ".placement".
With $SUM_STAND_IN_PID it writes its pid into that file once the outputs
are written, and with $SUM_STAND_IN_HOLD it then waits until that file
exists (a summing program still at work when its end is killed)."""
import os
import shutil
import sys
import time

args = sys.argv[1:]
kept = os.environ.get("SUM_STAND_IN_ARGV")
if kept:
    with open(kept, "w") as f:
        f.write("\n".join(args) + "\n")
options = {}
while args and args[0] != "--" and args[0].startswith("--"):
    if len(args) < 2:
        sys.exit(2)
    options[args[0]] = args[1]
    args = args[2:]
if args[:1] == ["--"]:
    args = args[1:]
if len(args) not in (5, 6):
    sys.exit(2)
forest = {"--forest", "--connectivity", "--placement", "--forest-table"}
if set(options) - forest - {"--zone-forest-table"} or (options and not forest <= set(options)):
    sys.exit(2)
listed, _, last_year, thresholds = args[:4]
text = sys.stdin.buffer.read() if listed == "-" else open(listed, "rb").read()
if kept:
    with open(kept + ".list", "wb") as f:
        f.write(text)
    if "--placement" in options:
        shutil.copyfile(options["--placement"], kept + ".placement")
years = range(2000, int(last_year) + 1)
rows = ["%s,%d,1.000000,1.000000,0.000000,2.000000\n" % (t, y) for t in thresholds.split(",") for y in years]
texts = ["threshold,year,land_ha,cover_ha,loss_ha,height_mean\n" + "".join(rows),
         "zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n" + "".join("z," + r for r in rows)]
outputs = list(zip(args[4:], texts))
forest_rows = ["%d,2.000000,0.250000\n" % y for y in years]
if "--forest-table" in options:
    outputs.append((options["--forest-table"], "year,forest_ha,forest_loss_ha\n" + "".join(forest_rows)))
if "--zone-forest-table" in options:
    outputs.append((options["--zone-forest-table"],
                    "zone,year,forest_ha,forest_loss_ha\n" + "".join("z," + r for r in forest_rows)))
for path, table in outputs:
    with open(path, "w") as f:
        f.write(table)
if os.environ.get("SUM_STAND_IN_PID"):
    with open(os.environ["SUM_STAND_IN_PID"] + ".tmp", "w") as f:
        f.write("%d\n" % os.getpid())
    os.replace(os.environ["SUM_STAND_IN_PID"] + ".tmp", os.environ["SUM_STAND_IN_PID"])
hold = os.environ.get("SUM_STAND_IN_HOLD")
while hold and not os.path.exists(hold):
    time.sleep(0.05)
