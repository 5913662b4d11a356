"""The region a batch covered: for each product and year a VRT mosaic of the
tiles (GDAL's gdalbuildvrt: nothing copied, a GIS opens it as one raster),
and a picture of each last-year mosaic in the quicklooks' colours. Built
under a lock into temporary names and renamed into place, so a kill or a
second build at once never leaves a half picture or mosaics of mixed tile
sets; a mosaic that lacks a listed tile fails the build, naming the tile."""
import argparse
import concurrent.futures
import os
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

from . import facts
from .records import lock
from .tilejob import printable
from .tilelist import ListError, read_ids

PROG = "region.sh"
COLOURS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "quicklook_colours.sh")
LOCK_WAIT_S = 4 * 3600


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


def build_mosaic(output_dir, product, year, tiles, temporary, work):
    names = ["%s_%d_%s.img" % (product, year, t) for t in tiles]
    listing = os.path.join(work, "%s_%d.txt" % (product, year))
    with open(listing, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.writelines(os.path.join(output_dir, n) + "\n" for n in names)
    done = subprocess.run(["gdalbuildvrt", "-q", "-overwrite", "-input_file_list", listing, temporary],
                          capture_output=True, text=True)
    got = sources(temporary) if done.returncode == 0 else None
    if got is None:
        return "gdalbuildvrt failed for %s %d: %s" % (product, year, done.stderr.strip()[-300:])
    for tile, name in zip(tiles, names):
        if name not in got:  # gdalbuildvrt skips a product it cannot read, with a warning only
            return "the %s %d mosaic lacks tile %s (%s cannot be read)" % (
                product, year, printable(tile), printable(os.path.join(output_dir, name)))
    return None


def picture(product, vrt, png, size, work):
    info = subprocess.run(["gdalinfo", vrt], capture_output=True, text=True)
    shape = [l for l in info.stdout.splitlines() if l.startswith("Size is ")]
    if info.returncode or not shape:
        return "gdalinfo cannot read %s" % vrt
    width, height = (int(v) for v in shape[0][8:].split(","))
    outsize = [str(size), "0"] if width >= height else ["0", str(size)]
    done = subprocess.run(["bash", "-c", '. "$0" && colour_picture "$@"', COLOURS, product, vrt] + outsize + [png, work],
                          capture_output=True, text=True)
    return None if done.returncode == 0 else "the %s picture failed: %s" % (product, done.stderr.strip()[-300:])


def build(output_dir, last_year, tiles, dest=None):
    """0 once DEST (OUTPUT_DIR/region) holds the mosaics and pictures of TILES."""
    size = os.environ.get("REGION_SIZE", "2000")
    if not size.isdigit() or int(size) < 1:
        return fail("REGION_SIZE must be a positive number")
    for tool in ("gdalbuildvrt", "gdal_translate", "gdaldem", "gdalinfo"):
        if not shutil.which(tool):
            return fail("%s is missing (Debian package gdal-bin)" % tool)
    for tile in tiles:
        for name in facts.product_names(tile, last_year):
            if not os.path.isfile(os.path.join(output_dir, name)):
                return fail("%s not found (tile %s)" % (printable(os.path.join(output_dir, name)), printable(tile)))
    dest = dest or os.path.join(output_dir, "region")
    os.makedirs(dest, exist_ok=True)
    waited = time.monotonic()
    while (held := lock(dest, ".region.lock")) is None:
        if time.monotonic() - waited > LOCK_WAIT_S:
            return fail("another region build in %s has held its lock for %d s" % (printable(dest), LOCK_WAIT_S))
        time.sleep(1)
    for entry in os.scandir(dest):  # what a killed build left; the lock says none runs now
        if entry.name.startswith(".tmp-"):
            shutil.rmtree(entry.path) if entry.is_dir(follow_symlinks=False) else os.unlink(entry.path)
    # Each file is made under a temporary name in DEST itself, where a VRT's
    # sources are named relative to it, and renamed into place at the end.
    temporary = os.path.join(dest, ".tmp-%d-" % os.getpid())
    years = range(facts.MIN_LAST_YEAR, last_year + 1)
    names = (["%s_%d.vrt" % (p, y) for y in years for p in facts.PRODUCTS]
             + ["%s_%d.png%s" % (p, last_year, aux) for p in facts.PRODUCTS for aux in ("", ".aux.xml")])
    try:
        with tempfile.TemporaryDirectory(prefix=os.path.basename(temporary), dir=dest) as work, \
                concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
            mosaics = [pool.submit(build_mosaic, output_dir, p, y, tiles, "%s%s_%d.vrt" % (temporary, p, y), work)
                       for y in years for p in facts.PRODUCTS]
            problems = [f.result() for f in mosaics if f.result()]
            if not problems:
                pictures = [pool.submit(picture, p, "%s%s_%d.vrt" % (temporary, p, last_year),
                                        "%s%s_%d.png" % (temporary, p, last_year), int(size), work)
                            for p in facts.PRODUCTS]
                problems = [f.result() for f in pictures if f.result()]
            if problems:
                return fail(problems[0])
        for name in names:
            if os.path.exists(temporary + name):
                os.replace(temporary + name, os.path.join(dest, name))
    finally:
        for name in names:
            if os.path.lexists(temporary + name):
                os.unlink(temporary + name)
        os.close(held)
    print("%s: %d tiles, years 2000 to %d: mosaics, and pictures of %d, in %s"
          % (PROG, len(tiles), last_year, last_year, printable(dest)))
    return 0


def main(argv):
    p = argparse.ArgumentParser(prog=PROG, description="VRT mosaics of every product and year of the tiles named in "
                                "TILE_FILE (first word a line), and pictures of the last year's, in DEST_DIR "
                                "(default OUTPUT_DIR/region). See docs/batch.md.")
    for name in ("OUTPUT_DIR", "LAST_YEAR", "TILE_FILE"):
        p.add_argument(name)
    p.add_argument("DEST_DIR", nargs="?")
    a = vars(p.parse_args(argv))
    year = a["LAST_YEAR"]
    if not year.isascii() or not year.isdigit() or not facts.MIN_LAST_YEAR <= int(year) <= facts.MAX_LAST_YEAR:
        print("%s: LAST_YEAR must be a year from 2000 to 2060, not %r" % (PROG, year), file=sys.stderr)
        return 2
    try:
        tiles = read_ids(a["TILE_FILE"])
    except ListError as e:
        return fail(str(e))
    return build(os.path.abspath(a["OUTPUT_DIR"]), int(year), tiles, a["DEST_DIR"] and os.path.abspath(a["DEST_DIR"]))
