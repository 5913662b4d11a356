"""The region a batch covered: for each product and year a VRT mosaic of the
tiles (GDAL's gdalbuildvrt: nothing copied, a GIS opens it as one raster),
and a picture of each last-year product for a person, with title, axes and
legend. The pictures are drawn from each tile's reduced copy (a small
GeoTIFF its job leaves beside the products; made here for a tile that has
none or a stale one), so that a region of 20,000 tiles reads some 100 KB a
tile rather than its 48 MB of products. Built under a lock into temporary
names and renamed into place, so a kill or a second build at once never
leaves a half picture or mosaics of mixed tile sets; a mosaic that lacks a
listed tile fails the build, naming the tile."""
import argparse
import concurrent.futures
import hashlib
import os
import shutil
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from collections import Counter

from . import facts, pictures, tilejob
from .records import lock
from .tilejob import (make_reduced, printable, product_path, read_json, reduced_is_fresh, reduced_path, write_json,
                      write_text)
from .tilelist import ListError, read_ids

PROG = "region.sh"
LOCK_WAIT_S = 4 * 3600
FAILED_NOTE = "last-build-failed.txt"
# What the pictures were drawn from (the tiles, the last year, when, by which
# batch), renamed into place after them, so that the batch page can say whose
# pictures it shows.
RECORD = "region.json"
# The names of a build's temporary files and directory in DEST, which holds
# the build's process id: a later build removes those of a build that is gone
# and nothing else (a user's files, or a running process_tile's own
# .tmp-<pid>-<tile>.XXXXXX where DEST is the output directory).
TEMPORARY = ".tmp-region-%d-"
# At most this many GDAL programs at once: each mosaic of 20,000 tiles holds
# some 100 MB while it is built, and a Slurm job is held to what it asked for.
MAX_WORKERS = 4


def fail(message):
    print("%s: %s" % (PROG, message), file=sys.stderr)
    return 1


def sources(vrt):
    """The file names a VRT mosaic reads."""
    try:
        root = ElementTree.parse(vrt).getroot()
    except (ElementTree.ParseError, OSError):
        return None
    return {os.path.basename(e.text or "") for e in root.iter("SourceFilename")}


def mosaic(paths, tiles, temporary, work, options=()):
    """A VRT mosaic of PATHS (one a tile, in the order of TILES) at TEMPORARY;
    None when it holds every one, else why not."""
    listing = write_listing(work, os.path.basename(temporary), paths)
    why = pictures.run(["gdalbuildvrt", "-q", "-overwrite"] + list(options) + ["-input_file_list", listing, temporary])
    got = sources(temporary) if why is None else None
    if got is None:
        return why or "gdalbuildvrt wrote no mosaic %s" % printable(temporary)
    for tile, path in zip(tiles, paths):
        if os.path.basename(path) not in got:  # gdalbuildvrt skips a file it cannot read, with a warning only
            return "the mosaic %s lacks tile %s (%s cannot be read)" % (
                printable(os.path.basename(temporary)), printable(tile), printable(path))
    return None


def product_mosaic(output_dir, product, year, tiles, temporary, work):
    """The mosaic of one product and year (its 20,000 names made only here,
    while it is built, not all 63 mosaics' at once)."""
    return mosaic([product_path(output_dir, product, year, t) for t in tiles], tiles, temporary, work)


def picture_size(vrt, limit):
    """The picture's (columns, rows): the mosaic's own, shrunk to LIMIT
    pixels on its longer side when larger."""
    shape = pictures.geometry(vrt)
    if shape is None:
        return None
    columns, rows = shape[:2]
    shrink = max(1.0, max(columns, rows) / limit)
    # At least 2 x 2: gnuplot draws no image one pixel wide or high.
    return max(2, round(columns / shrink)), max(2, round(rows / shrink))


def draw_region(output_dir, product, band, tiles, last_year, temporary, size, work):
    """The picture of PRODUCT's last year, from the tiles' reduced copies."""
    vrt = os.path.join(work, "%s_%d_reduced.vrt" % (product, last_year))
    why = mosaic([reduced_path(output_dir, last_year, t) for t in tiles], tiles, vrt, work,
                 ["-b", str(band), "-srcnodata", str(pictures.NO_TILE), "-vrtnodata", str(pictures.NO_TILE)])
    if why:
        return why
    shape = picture_size(vrt, size)
    if shape is None:
        return "the reduced mosaic of %s has no north-up geometry" % product
    title = "%s %d: region of %d tile%s" % (product, last_year, len(tiles), "" if len(tiles) == 1 else "s")
    why = pictures.draw(product, vrt, temporary, title, work, outsize=shape)
    return why and "the %s picture cannot be drawn: %s" % (product, why)


def placements(vrt):
    """{file name: (west, north, east, south)} of each source of a VRT mosaic,
    read from where the mosaic puts it; None when the VRT cannot be read."""
    try:
        root = ElementTree.parse(vrt).getroot()
        x0, res_x, _, y0, _, res_y = (float(v) for v in root.findtext("GeoTransform").split(","))
        found = {}
        for source in root.find("VRTRasterBand"):
            rect = source.find("DstRect")
            if rect is None or source.findtext("SourceFilename") is None:
                continue
            x, y, w, h = (float(rect.get(k)) for k in ("xOff", "yOff", "xSize", "ySize"))
            west, north = x0 + x * res_x, y0 + y * res_y
            found[os.path.basename(source.findtext("SourceFilename"))] = (west, north, west + w * res_x,
                                                                         north + h * res_y)
        return found
    except (ElementTree.ParseError, OSError, AttributeError, TypeError, ValueError):
        return None


def misplaced_copies(output_dir, last_year, tiles, products_vrt, work, pixels=tilejob.REDUCED_PIXELS):
    """The tiles whose reduced copy (PIXELS x PIXELS) the mosaic of copies
    leaves out (it cannot be read) or puts elsewhere than the tile's products
    lie (it is another's, or of other products): a copy is trusted only where
    it fits its tile, within one and a half of its pixels."""
    vrt = os.path.join(work, "check_reduced.vrt")
    if os.path.lexists(vrt):  # an earlier check's: gdalbuildvrt writes nothing when no copy can be read
        os.unlink(vrt)
    pictures.run(["gdalbuildvrt", "-q", "-overwrite", "-b", "1", "-input_file_list",
                  write_listing(work, "check", [reduced_path(output_dir, last_year, t) for t in tiles]), vrt])
    copies, products = placements(vrt) or {}, placements(products_vrt) or {}
    bad = []
    for tile in tiles:
        copy = copies.get(os.path.basename(reduced_path(output_dir, last_year, tile)))
        product = products.get(os.path.basename(product_path(output_dir, "TCC", last_year, tile)))
        slack = product and 1.5 * (product[2] - product[0]) / pixels
        if copy is None or product is None or any(abs(c - p) > slack for c, p in zip(copy, product)):
            bad.append(tile)
    return bad


def tiles_digest(tiles):
    """The SHA-256 of a set of tile ids (in any order): what tells the tiles
    a region was drawn from from another set, without listing 20,000."""
    digest = hashlib.sha256()
    for tile in sorted(set(tiles)):
        digest.update(tile.encode("utf-8", "surrogateescape") + b"\n")
    return digest.hexdigest()


def record_of(output_dir, last_year, tiles, batch=None):
    """The record of pictures drawn now from TILES' products in OUTPUT_DIR
    (BATCH: the id of the batch that builds them, or None)."""
    return {"tiles": len(tiles), "tiles_sha256": tiles_digest(tiles), "last_year": last_year, "batch": batch,
            "built": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), "output_dir": output_dir}


def read_record(dest):
    """What DEST's pictures were drawn from, as its build recorded it, each
    field checked for its type; None where there is no record or it does not
    read (pictures of an earlier version, or a hand-edited file)."""
    value = read_json(os.path.join(dest, RECORD))
    kinds = {"tiles": int, "tiles_sha256": str, "last_year": int, "built": str}
    if value is None or not all(type(value.get(k)) is kind for k, kind in kinds.items()):
        return None
    if value.get("batch") is not None and not isinstance(value["batch"], str):
        return None
    return value


def leftovers(dest):
    """The temporary files and directories in DEST of region builds that are
    gone: their names carry the build's process id, and a process that is
    alive (this one, or another's, even of another user) keeps its own."""
    found = []
    with os.scandir(dest) as entries:
        for entry in entries:
            prefix, _, rest = entry.name.partition(TEMPORARY.split("%")[0])
            pid = rest.split("-", 1)[0]
            if prefix or not rest.startswith(pid + "-") or not pid.isascii() or not pid.isdigit():
                continue
            pid = int(pid)
            if pid == os.getpid() or not 0 < pid < 1 << 22:  # 1 << 22: Linux's highest process id
                continue
            try:
                os.kill(pid, 0)
            except ProcessLookupError:
                found.append(entry)
            except OSError:  # alive, another user's
                pass
    return found


def write_listing(work, name, paths):
    listing = os.path.join(work, name + ".txt")
    with open(listing, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.writelines(path + "\n" for path in paths)
    return listing


def build(output_dir, last_year, tiles, dest=None, pixels=tilejob.REDUCED_PIXELS, batch=None):
    """0 once DEST (OUTPUT_DIR/region) holds the mosaics and pictures of
    TILES, and DEST/RECORD what they were drawn from (BATCH: the id of the
    batch that builds them, where one does). A failed build leaves its
    reason in DEST/FAILED_NOTE (the batch page says so beside the older
    pictures), which a build that succeeds removes. PIXELS: the side of the
    reduced copies made here."""
    if dest is None:  # the output directory's own: a link there would lead the region elsewhere
        dest = os.path.join(output_dir, "region")
        if os.path.islink(dest):
            os.unlink(dest)
    try:
        os.makedirs(dest, exist_ok=True)
    except OSError as e:
        return fail("%s cannot be made a directory: %s" % (printable(dest), e.strerror))
    why = built(output_dir, last_year, tiles, dest, pixels, batch)
    note = os.path.join(dest, FAILED_NOTE)
    try:
        if why:
            write_text(note, why + "\n")
        elif os.path.lexists(note):
            os.unlink(note)
    except OSError:
        pass
    return fail(why) if why else 0


def built(output_dir, last_year, tiles, dest, pixels, batch=None):
    """None once DEST holds the mosaics and pictures of TILES, else why not."""
    size = os.environ.get("REGION_SIZE", "2000")
    if not size.isascii() or not size.isdigit() or not 2 <= int(size) <= 20000:
        return "REGION_SIZE must be a number of pixels from 2 to 20000"
    missing = [t for t in ("gdalbuildvrt", "gdaladdo") if not shutil.which(t)]
    missing = [t + " (Debian package gdal-bin)" for t in missing] + pictures.missing_tools()
    if missing:
        return "%s is missing" % missing[0]
    for tile in tiles:  # one at a time: a set of 20,000 tiles' names would hold some 100 MB
        for name in facts.product_names(tile, last_year):
            if not os.path.isfile(os.path.join(output_dir, name)):
                return "%s not found (tile %s)" % (printable(os.path.join(output_dir, name)), printable(tile))
    waited = time.monotonic()
    while (held := lock(dest, ".region.lock")) is None:
        if time.monotonic() - waited > LOCK_WAIT_S:
            return "another region build in %s has held its lock for %d s" % (printable(dest), LOCK_WAIT_S)
        time.sleep(1)
    for entry in leftovers(dest):  # what a killed build left
        shutil.rmtree(entry.path) if entry.is_dir(follow_symlinks=False) else os.unlink(entry.path)
    # Each file is made under a temporary name in DEST itself, where a VRT's
    # sources are named relative to it, and renamed into place at the end.
    temporary = os.path.join(dest, TEMPORARY % os.getpid())
    years = range(last_year, facts.MIN_LAST_YEAR - 1, -1)  # the last year's first: the copies are checked on it
    names = (["%s_%d.vrt" % (p, y) for y in years for p in facts.PRODUCTS]
             + ["%s_%d.png" % (p, last_year) for p in facts.PRODUCTS])
    workers = max(1, min(MAX_WORKERS, len(os.sched_getaffinity(0))))
    try:
        with tempfile.TemporaryDirectory(prefix=os.path.basename(temporary), dir=dest) as work, \
                concurrent.futures.ThreadPoolExecutor(workers) as pool:
            stale = [t for t in tiles if not reduced_is_fresh(output_dir, last_year, t)]
            made = [pool.submit(make_reduced, output_dir, last_year, t, pixels) for t in stale]
            mosaics = [pool.submit(product_mosaic, output_dir, p, y, tiles, "%s%s_%d.vrt" % (temporary, p, y), work)
                       for y in years for p in facts.PRODUCTS]
            problems = ["tile %s: %s" % (printable(t), f.result()) for t, f in zip(stale, made) if f.result()]
            problems += [why] if not problems and (why := mosaics[0].result()) else []
            if not problems:  # a copy that cannot be read or does not fit its tile is made again
                again = misplaced_copies(output_dir, last_year, tiles, "%sTCC_%d.vrt" % (temporary, last_year), work,
                                         pixels)
                remade = [pool.submit(make_reduced, output_dir, last_year, t, pixels) for t in again]
                problems = ["tile %s: %s" % (printable(t), f.result()) for t, f in zip(again, remade) if f.result()]
                stale += again
            for band, product in enumerate(facts.PRODUCTS, 1):  # one at a time: gnuplot holds the whole picture
                png = "%s%s_%d.png" % (temporary, product, last_year)
                why = None if problems else draw_region(output_dir, product, band, tiles, last_year, png, int(size),
                                                        work)
                problems += [why] if why else []
            problems += [f.result() for f in mosaics if f.result()]
            if problems:
                return problems[0]
        write_json(temporary + RECORD, record_of(output_dir, last_year, tiles, batch))
        names.append(RECORD)
        # The record goes first and comes back last: a build killed while it
        # renames leaves no record rather than one of other pictures.
        if os.path.lexists(os.path.join(dest, RECORD)):
            os.unlink(os.path.join(dest, RECORD))
        for name in names:
            os.replace(temporary + name, os.path.join(dest, name))
            if name.endswith(".png") and os.path.lexists(os.path.join(dest, name + ".aux.xml")):
                # An older build's georeferencing: the pictures now carry axes.
                os.unlink(os.path.join(dest, name + ".aux.xml"))
    finally:
        for name in names:
            if os.path.lexists(temporary + name):
                os.unlink(temporary + name)
        os.close(held)
    print("%s: %d tile%s, years 2000 to %d: mosaics, and pictures of %d, in %s%s, in %.0f s"
          % (PROG, len(tiles), "" if len(tiles) == 1 else "s", last_year, last_year, printable(dest),
             " (%d reduced copies made here)" % len(stale) if stale else "", time.monotonic() - waited))
    return None


def main(argv):
    p = argparse.ArgumentParser(prog=PROG, description="VRT mosaics of every product and year of the tiles named in "
                                "TILE_FILE (first word a line), and pictures of the last year's, in DEST_DIR "
                                "(default OUTPUT_DIR/region). The pictures are drawn from each tile's reduced copy, "
                                "OUTPUT_DIR/reduced/Reduced_<year>_<tile>.tif, which a batch's tile job writes and "
                                "this makes where one is missing or was made from other files than the tile's "
                                "products now. REGION_SIZE in the environment: the pictures' longer side in pixels "
                                "(default 2000). DEST_DIR/region.json records what the pictures were drawn from. See "
                                "docs/batch.md.")
    p.add_argument("OUTPUT_DIR", help="the batch's output directory, which holds the tiles' products")
    p.add_argument("LAST_YEAR", help="the batch's last year, %d to %d" % (facts.MIN_LAST_YEAR, facts.MAX_LAST_YEAR))
    p.add_argument("TILE_FILE", help="a tile list: the tiles to put in, each the first word of a line")
    p.add_argument("DEST_DIR", nargs="?", help="where the mosaics and pictures go (default OUTPUT_DIR/region)")
    a = vars(p.parse_args(argv))
    year = a["LAST_YEAR"]
    if not year.isascii() or not year.isdigit() or not facts.MIN_LAST_YEAR <= int(year) <= facts.MAX_LAST_YEAR:
        print("%s: LAST_YEAR must be a year from 2000 to 2060, not %r" % (PROG, year), file=sys.stderr)
        return 2
    try:
        tiles = read_ids(a["TILE_FILE"])
    except ListError as e:
        return fail(str(e))
    twice = [t for t, n in Counter(tiles).items() if n > 1]
    if twice:
        return fail("tile %s is listed more than once in %s" % (printable(twice[0]), printable(a["TILE_FILE"])))
    return build(os.path.abspath(a["OUTPUT_DIR"]), int(year), tiles, a["DEST_DIR"] and os.path.abspath(a["DEST_DIR"]))
