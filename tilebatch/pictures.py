"""Pictures of product rasters for people, with GDAL's own programs and
gnuplot: gdal_translate averages a raster down to the picture's size into
plain 32-bit floats, and gnuplot (picture.gp) colours it with the product's
ramp under a title, with longitude and latitude axes and a legend naming the
ramp's unit and, where part of the picture lies outside every tile, the
colour of "no tile"."""
import array
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile

from .tilejob import averaging_vrt, gdal_env, gdal_step

PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "picture.gp")  # package data
# The smallest plot a title and axes still fit beside: a smaller raster is
# drawn with each of its pixels as a block of picture pixels.
MIN_PLOT_PIXELS = 600
NO_TILE = -1.0  # a raster value below 0 is drawn as "no tile"
TOOL_SECONDS = 3600
# GDAL's block cache for the region's programs: set, so that what a job asks
# of Slurm holds on any node.
CACHE_MIB = 128


def run(command):
    """None when COMMAND succeeded, else what it said (its last line)."""
    return gdal_step(command, cache_mib=CACHE_MIB, seconds=TOOL_SECONDS)


def gnuplot():
    """gnuplot from an absolute directory of PATH only: an empty entry or "."
    would run one lying in the working directory."""
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        candidate = os.path.join(directory, "gnuplot")
        if os.path.isabs(directory) and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def missing_tools(names=("gdal_translate", "gdalinfo")):
    missing = [n + " (Debian package gdal-bin)" for n in names if not shutil.which(n)]
    return missing + ([] if gnuplot() else ["gnuplot (Debian package gnuplot-nox)"])


def geometry(raster):
    """(columns, rows, west, north, step_x, step_y) of a north-up raster,
    from gdalinfo; None when it has no such geometry."""
    try:
        done = subprocess.run(["gdalinfo", "-json", "-nomd", "-norat", "-noct", raster], capture_output=True,
                              text=True, errors="replace", env=gdal_env(CACHE_MIB), timeout=TOOL_SECONDS)
        info = json.loads(done.stdout) if done.returncode == 0 else None
        columns, rows = info["size"]
        west, step_x, r1, north, r2, step_y = info["geoTransform"]
    except (OSError, subprocess.TimeoutExpired, ValueError, KeyError, TypeError):
        return None
    north_up = step_x > 0 and step_y < 0 and r1 == r2 == 0
    return (columns, rows, west, north, step_x, -step_y) if north_up and columns > 0 and rows > 0 else None


def has_no_tile(floats, chunk_values=1 << 20):
    """Whether the raster of 32-bit floats in this machine's byte order at
    FLOATS holds a value of no tile (below 0): a picture of tiles only
    names no colour it does not show. Read in chunks, a region's raster
    being large."""
    with open(floats, "rb") as f:
        while True:
            data = f.read(4 * chunk_values)
            whole = len(data) - len(data) % 4
            if not whole:
                return False
            values = array.array("f")
            values.frombytes(data[:whole])
            if min(values) < 0:
                return True


def draw(product, raster, png, title, work, outsize=None, band=1, of_product=False):
    """PNG: band BAND of RASTER (averaged down to OUTSIZE, (columns, rows),
    when given) coloured with PRODUCT's ramp under TITLE. A Loss raster
    holds the share of pixels with loss, or with OF_PRODUCT is a Loss
    product. The floats go through WORK. None when drawn, else why not."""
    # Absolute paths: GDAL's programs take a name that begins with "-" for an option.
    raster, work = os.path.abspath(raster), os.path.abspath(work)
    floats = os.path.join(work, "%s-%d.f32" % (product, os.getpid()))
    command = ["gdal_translate", "-q", "-of", "ENVI", "-ot", "Float32", "-b", str(band)]
    why = None
    if outsize:
        command += ["-r", "average", "-outsize", str(outsize[0]), str(outsize[1])]
        if product == "Loss" and of_product:  # averaged as the share of its pixels with loss
            vrt = os.path.join(work, "%s-%d.vrt" % (product, os.getpid()))
            why = averaging_vrt([(product, raster)], vrt)
            raster = vrt
    try:
        why = why or run(command + [raster, floats])
        shape = None if why else geometry(floats)
        if shape is None:
            return why or "%s has no north-up geometry" % raster
        columns, rows, west, north, step_x, step_y = shape
        scale = max(1, math.ceil(MIN_PLOT_PIXELS / max(columns, rows)))
        plotter = gnuplot()
        if plotter is None:
            return "gnuplot is missing (Debian package gnuplot-nox)"
        words = "%d %d %.17g %.17g %.17g %.17g %d" % (columns, rows, west, north - rows * step_y, step_x, step_y, scale)
        # Absolute paths: gnuplot takes an output name that begins with "|" for a command.
        no_tile = "1" if has_no_tile(floats) else "0"
        why = run([plotter, "-c", PROGRAM, os.path.abspath(floats), os.path.abspath(png), title, product, words,
                   no_tile])
        return why or (None if whole_png(png) else "%s was not drawn whole" % png)
    finally:
        for leftover in (floats, floats[:-4] + ".hdr", floats + ".aux.xml"):
            if os.path.lexists(leftover):
                os.unlink(leftover)


PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
PNG_END = b"\x00\x00\x00\x00IEND\xaeB`\x82"  # the IEND chunk: length 0, its type, its CRC


def is_whole_png(start, end):
    """Whether a file's first 8 and last 12 bytes are those of a PNG that a
    writer finished: its signature, and the IEND chunk last (a writer that
    stopped midway leaves the signature without it)."""
    return start[:8] == PNG_SIGNATURE and end[-12:] == PNG_END


def whole_png(path):
    """Whether the file at PATH is a PNG that a writer finished."""
    try:
        with open(path, "rb") as f:
            start = f.read(8)
            f.seek(-12, os.SEEK_END)
            end = f.read(12)
    except OSError:
        return False
    return is_whole_png(start, end)


def main(argv):
    """picture PRODUCT RASTER PNG TITLE SIZE: the picture of one product
    raster averaged to SIZE x SIZE, written whole or not at all (quicklook.sh
    draws each tile's products with it)."""
    if argv in (["-h"], ["--help"]):
        print("usage: picture TCC|TCH|Loss RASTER PNG TITLE SIZE\n\n" + " ".join(main.__doc__.split()))
        return 0
    if len(argv) != 5 or argv[0] not in ("TCC", "TCH", "Loss") or not argv[4].isascii() or not argv[4].isdigit() \
            or int(argv[4]) < 2:
        print("usage: picture TCC|TCH|Loss RASTER PNG TITLE SIZE", file=sys.stderr)
        return 2
    product, raster, png, title, size = argv
    missing = missing_tools()
    if missing:
        print("%s is missing" % missing[0], file=sys.stderr)
        return 1
    here = os.path.dirname(os.path.abspath(png))
    with tempfile.TemporaryDirectory(prefix=".tmp-picture-", dir=here) as work:
        drawn = os.path.join(work, "picture.png")
        why = draw(product, raster, drawn, title, work, outsize=(int(size), int(size)), of_product=True)
        if why:
            print(why, file=sys.stderr)
            return 1
        os.replace(drawn, png)
    return 0
