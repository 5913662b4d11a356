"""Rasters of a few pixels for the tests of the reduced copies, the region
and the pictures, written with GDAL's own programs: an ESRI ASCII grid
turned into an HFA product or a GeoTIFF, georeferenced in WGS84. A tile of
44 x 44 pixels stands for a product's 4004 x 4004, at the products' own
pixel size."""
import array
import os
import shutil
import subprocess

import pytest

from tilebatch import pictures

STEP = 0.00025  # the products' pixel size in degrees
GDAL_TOOLS = ("gdal_translate", "gdalbuildvrt", "gdalinfo", "gdaladdo", "gdallocationinfo")
GDAL_MISSING = [t for t in GDAL_TOOLS if not shutil.which(t)]
needs_gdal = pytest.mark.skipif(bool(GDAL_MISSING), reason="GDAL's programs are missing (Debian package gdal-bin): "
                                + " ".join(GDAL_MISSING))
needs_gnuplot = pytest.mark.skipif(pictures.gnuplot() is None, reason="gnuplot is missing (Debian package gnuplot-nox)")
ENV = dict(os.environ, GDAL_PAM_ENABLED="NO")


def gdal(*command):
    done = subprocess.run(command, capture_output=True, text=True, env=ENV)
    assert done.returncode == 0, "%s: %s" % (" ".join(command), done.stderr)
    return done.stdout


def write_raster(path, rows, west, north, step=STEP, fmt="HFA", data_type="Byte"):
    """ROWS (lists of numbers, the first the northernmost) at PATH, its upper
    left corner at (WEST, NORTH), STEP degrees a pixel."""
    grid = path + ".asc"
    with open(grid, "w") as f:
        f.write("ncols %d\nnrows %d\nxllcorner 0\nyllcorner 0\ncellsize 1\n" % (len(rows[0]), len(rows)))
        f.writelines(" ".join(str(v) for v in row) + "\n" for row in rows)
    gdal("gdal_translate", "-q", "-of", fmt, "-ot", data_type, "-a_srs", "EPSG:4326", "-a_ullr", repr(west),
         repr(north), repr(west + len(rows[0]) * step), repr(north - len(rows) * step), grid, path)
    os.unlink(grid)
    return path


def write_vrt(path, source, columns, rows, geo_transform=None):
    """A VRT at PATH reading band 1 of SOURCE under GEO_TRANSFORM (GDAL's six
    numbers; none: not georeferenced), for rasters that no corner
    coordinates describe."""
    transform = "  <GeoTransform>%s</GeoTransform>\n" % ", ".join(repr(v) for v in geo_transform) \
        if geo_transform else ""
    with open(path, "w") as f:
        f.write('<VRTDataset rasterXSize="%d" rasterYSize="%d">\n%s'
                '  <VRTRasterBand dataType="Byte" band="1"><SimpleSource>\n'
                '    <SourceFilename relativeToVRT="0">%s</SourceFilename><SourceBand>1</SourceBand>\n'
                "  </SimpleSource></VRTRasterBand>\n</VRTDataset>\n" % (columns, rows, transform, source))
    return path


def read_band(path, band=1):
    """Band BAND of a raster as rows of 32-bit floats."""
    floats = path + ".band%d.f32" % band
    gdal("gdal_translate", "-q", "-of", "ENVI", "-ot", "Float32", "-b", str(band), path, floats)
    columns = int(gdal("gdalinfo", floats).split("Size is ")[1].split(",")[0])
    values = array.array("f")
    with open(floats, "rb") as f:
        values.frombytes(f.read())
    for leftover in (floats, floats[:-4] + ".hdr"):
        os.unlink(leftover)
    return [list(values[i:i + columns]) for i in range(0, len(values), columns)]


def rgb_at(png, *points):
    """The (red, green, blue) of each of a picture's pixels at POINTS,
    (column, row) from the top left."""
    done = subprocess.run(["gdallocationinfo", "-valonly", png], input="".join("%d %d\n" % p for p in points),
                          capture_output=True, text=True, env=ENV)
    assert done.returncode == 0, done.stderr
    values = [int(v) for v in done.stdout.split()]
    bands = len(values) // len(points)
    return [tuple(values[i:i + 3]) for i in range(0, len(values), bands)]


def png_size(png):
    """(width, height) from a PNG's header."""
    with open(png, "rb") as f:
        head = f.read(24)
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")
