"""The mosaic of a list of overlapping tiles, every location taken from the
tile the test says owns it, assembled by GDAL's own programs, and the
comparison of the batch's tables with the mosaic's, for
tests/batch/grid_accounts_test.sh:

  mosaic.py build NAME LAST_YEAR PRODUCTS DATAMASK OUT WINDOW...
      writes OUT/{TCC,TCH,Loss}_<year>_NAME.img (HFA) and
      OUT/NAME_datamask.tif: each WINDOW "tile:x:y:first_row:last_row:
      first_column:last_column" (inclusive) cut from the tile's products
      (placed by their georeferencing) and datamask (placed here, from the
      tile's origin: a generated datamask lies elsewhere) with
      gdal_translate -srcwin, the cuts joined by gdalbuildvrt.
  mosaic.py same plain|zones BATCH_TABLE MOSAIC_TABLE...
      exit 0 when each row of BATCH_TABLE (by zone, threshold and year) is
      the sum over the mosaic tables of that row, within 20 micro-hectares
      (each table rounds to one; the tally's sums differ in their last
      digits), the mean height within 1e-5; else the differences, exit 1.
  mosaic.py forest same|apart plain|zones EXPECTED TABLE...
      the forest tables (year,forest_ha,forest_loss_ha, a zone first in
      zone tables, a tile_id first in a tile's) against EXPECTED, the
      labelling of the mosaic by forest_mosaic: "same" exits 0 when each row
      of the TABLEs summed (by zone and year) is EXPECTED's within 3
      micro-hectares, "apart" when some row is off by more than a hectare;
      the largest difference printed either way.
"""
import csv
import os
import subprocess
import sys
import tempfile
from decimal import Decimal

PIXEL = Decimal("0.00025")


def gdal(*words):
    subprocess.run(list(words), check=True)


def build(name, last_year, products, datamask, out, windows):
    os.makedirs(out, exist_ok=True)
    rasters = [("%s_%d" % (kind, year), "img") for year in range(2000, last_year + 1)
               for kind in ("TCC", "TCH", "Loss")]
    with tempfile.TemporaryDirectory(dir=out) as cuts:
        for raster, _ in rasters + [("datamask", "tif")]:
            pieces = []
            for k, window in enumerate(windows):
                tile, x, y, r0, r1, c0, c1 = window.split(":")
                r0, r1, c0, c1 = int(r0), int(r1), int(c0), int(c1)
                piece = os.path.join(cuts, "%s_%d.vrt" % (raster, k))
                srcwin = ["-srcwin", str(c0), str(r0), str(c1 - c0 + 1), str(r1 - r0 + 1)]
                if raster == "datamask":
                    west, north = Decimal(x) + c0 * PIXEL, Decimal(y) - r0 * PIXEL
                    east, south = Decimal(x) + (c1 + 1) * PIXEL, Decimal(y) - (r1 + 1) * PIXEL
                    gdal("gdal_translate", "-q", "-of", "VRT", *srcwin, "-a_srs", "EPSG:4326",
                         "-a_ullr", str(west), str(north), str(east), str(south),
                         os.path.join(datamask, tile + "_datamask.tif"), piece)
                else:
                    gdal("gdal_translate", "-q", "-of", "VRT", *srcwin,
                         os.path.join(products, "%s_%s.img" % (raster, tile)), piece)
                pieces.append(piece)
            joined = os.path.join(cuts, raster + ".vrt")
            gdal("gdalbuildvrt", "-q", joined, *pieces)
            target = ("%s_%s.img" % (raster, name)) if raster != "datamask" else name + "_datamask.tif"
            gdal("gdal_translate", "-q", "-of", "HFA" if raster != "datamask" else "GTiff", joined,
                 os.path.join(out, target))


def rows_of(path, zoned):
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f, strict=True))[1:]
    n = 3 if zoned else 2  # (zone,) threshold, year
    if os.path.basename(path).startswith("batch_"):  # no tile column
        return {tuple(r[:n]): r[n:] for r in rows}
    return {tuple(r[1:n + 1]): r[n + 1:] for r in rows}


def same(zoned, batch, mosaics):
    got = rows_of(batch, zoned)
    want = {}
    for path in mosaics:
        for k, (land, cover, loss, height) in rows_of(path, zoned).items():
            sums = want.setdefault(k, [Decimal(0)] * 4)
            sums[0] += Decimal(land)
            sums[1] += Decimal(cover)
            sums[2] += Decimal(loss)
            sums[3] += Decimal(cover) * Decimal(height or 0)
    wrong = []
    if sorted(got) != sorted(want):
        wrong.append("rows: %s in the batch, %s in the mosaics" % (sorted(set(got) - set(want))[:5],
                                                                  sorted(set(want) - set(got))[:5]))
    for k in sorted(set(got) & set(want)):
        land, cover, loss, height = got[k]
        w = want[k]
        for what, a, b in (("land", land, w[0]), ("cover", cover, w[1]), ("loss", loss, w[2])):
            if abs(Decimal(a) - b) > Decimal("0.00002"):
                wrong.append("%s %s: %s in the batch, %s in the mosaics" % (k, what, a, b))
        mean = w[3] / w[1] if w[1] else None
        if (mean is None) != (height == "") or (mean is not None and abs(Decimal(height) - mean) > Decimal("1e-5")):
            wrong.append("%s height: %s in the batch, %s in the mosaics" % (k, height, mean))
    for line in wrong[:20]:
        print(line, file=sys.stderr)
    return not wrong and bool(got)


# A batch's forest figure is the exact sum of its tiles' tables, each rounded
# to a micro-hectare (4 tiles: up to 2), plus the patches joined across tiles
# rounded once (0.5); the labelling prints nine decimals, and its cell areas
# and sums in long double agree with the program's to far below a
# micro-hectare over a few million hectares.
FOREST_TOLERANCE = Decimal("0.000003")


def forest_rows(path, zoned):
    """{(zone,) year: (forest_ha, forest_loss_ha)} of a forest table, its
    tile column (when it has one) dropped."""
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f, strict=True))
    header, rows = rows[0], rows[1:]
    skip = 1 if header[0] == "tile_id" else 0
    n = 2 if zoned else 1
    want = (["zone"] if zoned else []) + ["year", "forest_ha", "forest_loss_ha"]
    if header[skip:] != want:
        raise SystemExit("%s: header %s, not %s" % (path, ",".join(header), ",".join(want)))
    return {tuple(r[skip:skip + n]): (Decimal(r[skip + n]), Decimal(r[skip + n + 1])) for r in rows}


def forest(apart, zoned, expected, tables):
    want = forest_rows(expected, zoned)
    got = {}
    for path in tables:
        for k, (area, loss) in forest_rows(path, zoned).items():
            sums = got.setdefault(k, [Decimal(0), Decimal(0)])
            sums[0] += area
            sums[1] += loss
    if sorted(got) != sorted(want):
        print("rows: %s in the tables alone, %s in the labelling alone"
              % (sorted(set(got) - set(want))[:5], sorted(set(want) - set(got))[:5]), file=sys.stderr)
        return False
    worst = (Decimal(0), None)
    for k in sorted(want):
        for what, a, b in (("forest", got[k][0], want[k][0]), ("loss", got[k][1], want[k][1])):
            worst = max(worst, (abs(a - b), "%s %s: %s in the tables, %s in the labelling"
                                % (",".join(k), what, a, b)), key=lambda w: w[0])
    print("largest difference %s ha%s" % (worst[0], " (%s)" % worst[1] if worst[1] else ""))
    return worst[0] > 1 if apart else worst[0] <= FOREST_TOLERANCE and bool(want)


def main(argv):
    if argv[:1] == ["build"] and len(argv) > 6:
        build(argv[1], int(argv[2]), argv[3], argv[4], argv[5], argv[6:])
        return 0
    if argv[:1] == ["same"] and len(argv) > 3 and argv[1] in ("plain", "zones"):
        return 0 if same(argv[1] == "zones", argv[2], argv[3:]) else 1
    if (argv[:1] == ["forest"] and len(argv) > 4 and argv[1] in ("same", "apart")
            and argv[2] in ("plain", "zones")):
        try:
            return 0 if forest(argv[1] == "apart", argv[2] == "zones", argv[3], argv[4:]) else 1
        except OSError as e:
            print("cannot read %s: %s" % (e.filename, e.strerror), file=sys.stderr)
            return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
