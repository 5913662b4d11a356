"""What the batch's accounts tables must hold, worked out here from the
tiles' tables without the batch package, for the shell tests of the batch
(tests/batch/accounts_test.sh, slurm_test.sh):

  account_sums.py sums plain|zones BATCH_TABLE TILE_TABLE...
      exit 0 when BATCH_TABLE is, row for row and figure for figure, the
      sum of the tiles' tables: areas added exactly as decimals, the mean
      height weighted by each row's cover and rounded half to even to six
      places (empty where the summed cover is 0); rows by threshold and
      year, zones in the order they first appear in the tiles' tables.
      Else the first difference on standard error, exit 1.
  account_sums.py zone ZONE ZONE_TABLE...
      the zone's rows over the tiles' zone tables, "tile threshold year
      land_ha" a line, for the shell to read.
  account_sums.py zones ZONE_TABLE
      the zones of a zone table in the order of their first row, a line each.
  account_sums.py area WEST SOUTH EAST NORTH
      the area in hectares of that rectangle of longitudes and latitudes on
      the WGS84 ellipsoid (the closed form of the area between two
      parallels), to bound a zone's land by its geometry.
"""
import csv
import math
import sys
from decimal import ROUND_HALF_EVEN, Decimal, localcontext

MICRO = Decimal("0.000001")
PLAIN = ["threshold", "year", "land_ha", "cover_ha", "loss_ha", "height_mean"]


def read(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f, strict=True))


def printed(value):
    return format(value, ".6f")


def expected_table(zoned, tiles):
    """The batch table the tiles' tables make: [header, row...]."""
    sums, zone_order = {}, {}
    for path in tiles:
        table = read(path)
        head = (["tile_id", "zone"] if zoned else ["tile_id"]) + PLAIN
        if table[0] != head:
            raise ValueError("%s: header %s" % (path, table[0]))
        for row in table[1:]:
            if len(row) != len(head):
                raise ValueError("%s: row %s" % (path, row))
            zone = row[1] if zoned else None
            zone_order.setdefault(zone, len(zone_order))
            threshold, year, land, cover, loss, height = row[-6:]
            key = (zone, int(threshold), int(year))
            s = sums.setdefault(key, [Decimal(0)] * 4)
            cover = Decimal(cover)
            s[0] += Decimal(land)
            s[1] += cover
            s[2] += Decimal(loss)
            if cover != 0:
                s[3] += Decimal(height) * cover
            elif height != "":
                raise ValueError("%s: a height without cover: %s" % (path, row))
    out = [(["zone"] if zoned else []) + PLAIN]
    for key in sorted(sums, key=lambda k: (zone_order[k[0]], k[1], k[2])):
        land, cover, loss, weighted = sums[key]
        with localcontext() as c:
            c.prec = 60
            height = "" if cover == 0 else printed((weighted / cover).quantize(MICRO, rounding=ROUND_HALF_EVEN))
        out.append(([key[0]] if zoned else []) + [str(key[1]), str(key[2]), printed(land), printed(cover),
                                                  printed(loss), height])
    return out


def sums(zoned, batch, tiles):
    want, got = expected_table(zoned, tiles), read(batch)
    for n, (w, g) in enumerate(zip(want, got), 1):
        if w != g:
            sys.exit("%s line %d: %s, the tiles' sum is %s" % (batch, n, g, w))
    if len(want) != len(got):
        sys.exit("%s: %d lines, the tiles' sum has %d" % (batch, len(got), len(want)))
    if len(want) < 2:
        sys.exit("%s: no rows" % batch)


def zone_rows(zone, tables):
    for path in tables:
        for row in read(path)[1:]:
            if row[1] == zone:
                print(row[0], row[2], row[3], row[4])


def area_ha(west, south, east, north):
    a, f = 6378137.0, 1 / 298.257223563
    e2 = f * (2 - f)
    e = math.sqrt(e2)
    b2 = a * a * (1 - e2)

    def q(lat):  # the area from the equator to LAT per radian of longitude, over b^2 / 2
        s = math.sin(math.radians(lat))
        return s / (1 - e2 * s * s) + math.log((1 + e * s) / (1 - e * s)) / (2 * e)

    return math.radians(east - west) * b2 / 2 * (q(north) - q(south)) / 1e4


if __name__ == "__main__":
    what, args = sys.argv[1], sys.argv[2:]
    if what == "sums":
        sums(args[0] == "zones", args[1], args[2:])
    elif what == "zones":
        for zone in dict.fromkeys(row[1] for row in read(args[0])[1:]):
            print(zone)
    elif what == "zone":
        zone_rows(args[0], args[1:])
    elif what == "area":
        print("%.6f" % area_ha(*map(float, args)))
    else:
        sys.exit("account_sums.py: unknown request %s" % what)
