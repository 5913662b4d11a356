#!/usr/bin/env python3
"""A stand-in for sum_accounts in the tests of a batch's end: called as the
batch calls the program (-- LIST ACCOUNTS_DIR LAST_YEAR THRESHOLDS OUT_TABLE
[OUT_ZONE_TABLE]), it reads the list and writes each output whole, a row of
figures per threshold and year (with a zone "z" in the zone table). With
$SUM_STAND_IN_PID it writes its pid into that file once the outputs are
written, and with $SUM_STAND_IN_HOLD it then waits until that file exists
(a summing program still at work when its end is killed)."""
import os
import sys
import time

args = sys.argv[1:]
if args[:1] == ["--"]:
    args = args[1:]
if len(args) not in (5, 6):
    sys.exit(2)
listed, _, last_year, thresholds = args[:4]
if listed == "-":
    sys.stdin.buffer.read()
rows = ["%s,%d,1.000000,1.000000,0.000000,2.000000\n" % (t, y)
        for t in thresholds.split(",") for y in range(2000, int(last_year) + 1)]
texts = ["threshold,year,land_ha,cover_ha,loss_ha,height_mean\n" + "".join(rows),
         "zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n" + "".join("z," + r for r in rows)]
for path, text in zip(args[4:], texts):
    with open(path, "w") as f:
        f.write(text)
if os.environ.get("SUM_STAND_IN_PID"):
    with open(os.environ["SUM_STAND_IN_PID"] + ".tmp", "w") as f:
        f.write("%d\n" % os.getpid())
    os.replace(os.environ["SUM_STAND_IN_PID"] + ".tmp", os.environ["SUM_STAND_IN_PID"])
hold = os.environ.get("SUM_STAND_IN_HOLD")
while hold and not os.path.exists(hold):
    time.sleep(0.05)
