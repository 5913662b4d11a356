"""The facts of a process_tile run the batch plans with: the years it takes,
the tile's size and the memory a run holds. They are the program's own
(tile/constants.hpp, TileMemory::bytes_needed); a unit test of the program
holds these figures to its own, so the batch never plans or submits a run
that process_tile would refuse or size differently."""
import os

from . import tilejob

FIRST_YEAR = 1997
MIN_LAST_YEAR = tilejob.FIRST_PRODUCT_YEAR  # a run writes at least one year of products
MAX_LAST_YEAR = 2060
TILE_SIZE = 4004
LAYER_BYTES = TILE_SIZE * TILE_SIZE
MIB = 1 << 20
# What a Slurm task asks for besides the tile: the program, GDAL's block
# cache and the layer decoding pool, more than the program's own memory check
# counts besides the tile, so a task passes it.
PROGRAM_MIB = 256
# The size on disk of one product: 4004 x 4004 bytes and what HFA adds
# (header, block index), measured on a product of process_tile.
PRODUCT_BYTES = 16318913
# Seconds per tile of last year 2020, the benchmark's whole run (about 4.6 s)
# on a 2-core node with 24 GiB, rounded up; other years scale by their count.
TILE_SECONDS_2020 = 5
PRODUCTS = tilejob.PRODUCTS
# The project's root: the package lies in it, beside the launcher the
# scripts run and the scripts/ and build/ directories.
PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
PROJECT_ROOT = os.path.dirname(PACKAGE_DIR)
LAUNCHER = os.path.join(PROJECT_ROOT, "tilebatch_main.py")
TILEJOB = os.path.join(PACKAGE_DIR, "tilejob.py")
# The interpreter's flags wherever the package or the tile job is run: no
# bytecode written beside it, and the caller's PYTHON* variables and user
# site-packages kept out (scripts/tilebatch.sh holds the same for the shell).
PYTHON_FLAGS = ("-B", "-E", "-s")


def year_count(last_year):
    return last_year - FIRST_YEAR + 1


def tile_memory_bytes(last_year):
    """Six year cubes of the years 1997 to LAST_YEAR and two masks."""
    return (6 * year_count(last_year) + 2) * LAYER_BYTES


def quality_memory_bytes(last_year):
    """tile_quality holds the tile and one quality byte per pixel and year."""
    return tile_memory_bytes(last_year) + year_count(last_year) * LAYER_BYTES


def job_memory_bytes(last_year, quality):
    return quality_memory_bytes(last_year) if quality else tile_memory_bytes(last_year)


def task_memory_mib(last_year, quality):
    """A Slurm task's request: the job's memory rounded up to MiB, plus room."""
    return -(-job_memory_bytes(last_year, quality) // MIB) + PROGRAM_MIB


product_names = tilejob.product_names


# The files tile_quality writes into the quality directory for one tile, and
# those of the batch quality in its batch/ subdirectory.
def qa_raster_name(year, tile):
    return "QA_%d_%s.tif" % (year, tile)


def quality_table_name(tile):
    return tile + "_quality.csv"


def quality_chart_name(tile):
    return tile + "_quality.png"


BATCH_QUALITY_DIR = "batch"
BATCH_QUALITY_TABLE = "batch_quality.csv"
BATCH_QUALITY_TOTALS = "batch_quality_totals.csv"
BATCH_QUALITY_CHART = "batch_quality.png"
BATCH_QUALITY_OUTLIERS = "batch_quality_outliers.txt"
BATCH_QUALITY_OUTLIERS_JSON = "batch_quality_outliers.json"

# The forest accounts (tile_accounts, docs/accounts.md): each tile's tables
# in OUTPUT_DIR/accounts, and the batch's sums beside them.
ACCOUNTS_DIR = "accounts"
DEFAULT_THRESHOLDS = "10,15,20,25,30,50,75"
ACCOUNTS_COLUMNS = ("tile_id", "threshold", "year", "land_ha", "cover_ha", "loss_ha", "height_mean")
ZONE_ACCOUNTS_COLUMNS = ("tile_id", "zone", "threshold", "year", "land_ha", "cover_ha", "loss_ha", "height_mean")
BATCH_ACCOUNTS = "batch_accounts.csv"
BATCH_ZONE_ACCOUNTS = "batch_zone_accounts.csv"
BATCH_ACCOUNTS_MANIFEST = "batch_accounts.json"
# A tile_accounts run holds the program and its buffers (256 MiB) and GDAL's
# block cache, which the tile job sets (tilejob.ACCOUNTS_GDAL_CACHE_MIB). It
# runs once process_tile has ended, so it never adds to a job's peak: a
# tile of 2000 already holds 398 MiB.
ACCOUNTS_PROGRAM_MIB = 256
ACCOUNTS_GDAL_CACHE_MIB = tilejob.ACCOUNTS_GDAL_CACHE_MIB
ACCOUNTS_MIB = ACCOUNTS_PROGRAM_MIB + ACCOUNTS_GDAL_CACHE_MIB
# Seconds of a tile_accounts run of last year 2020 (21 years of products),
# bench/tile_accounts.sh on a 2-core node with the products in the page cache,
# as the tile's job leaves them: 1.7 s without zones, 1.9 s with 200 zones,
# rounded up; other years scale by their count.
ACCOUNTS_SECONDS_2020 = 2


# With --forest the run also marks each year's canopy and labels its
# patches, on both CPUs: 2.0 s for the same tile with 200 zones
# (docs/accounts.md; 7.6 to 9 s for a checkerboard of canopy), rounded up.
FOREST_ACCOUNTS_SECONDS_2020 = 3


def accounts_table_name(tile):
    return tile + "_accounts.csv"


def zone_accounts_table_name(tile):
    return tile + "_zone_accounts.csv"


def accounts_seconds(last_year, forest=False):
    """A tile_accounts run reads the products of 2000 to LAST_YEAR (with
    FOREST, labels their canopy too)."""
    seconds = FOREST_ACCOUNTS_SECONDS_2020 if forest else ACCOUNTS_SECONDS_2020
    return seconds * (last_year - MIN_LAST_YEAR + 1) / (2020 - MIN_LAST_YEAR + 1)


# Forest by definition (tile_accounts --forest COVER:HEIGHT:HECTARES): each
# tile's forest tables and what its patches leave undecided at the edge of
# its part, and the batch's forest tables, in which patches are measured
# whole across the tiles they run through.
FOREST_COLUMNS = ("tile_id", "year", "forest_ha", "forest_loss_ha")
ZONE_FOREST_COLUMNS = ("tile_id", "zone", "year", "forest_ha", "forest_loss_ha")
BATCH_FOREST = "batch_forest.csv"
BATCH_ZONE_FOREST = "batch_zone_forest.csv"
CONNECTIVITIES = (4, 8)
DEFAULT_CONNECTIVITY = 8


def forest_table_name(tile):
    return tile + "_forest.csv"


def zone_forest_table_name(tile):
    return tile + "_zone_forest.csv"


def forest_edges_name(tile):
    return tile + "_forest_edges.txt"


class ForestError(ValueError):
    pass


# tile_accounts reads HECTARES with at most this many characters.
MAX_HECTARES_TEXT = 64


def _whole_field(text, most):
    return text.isascii() and text.isdigit() and len(text) <= 3 and int(text) <= most


def parse_forest(text):
    """A forest definition COVER:HEIGHT:HECTARES as tile_accounts reads it
    (accounts/forest_patches.hpp), in its one written form: COVER a whole
    percentage 0 to 100 and HEIGHT a whole number 0 to 255, each one to
    three ASCII digits; HECTARES ASCII digits with at most one point, a
    digit at least. Written without leading zeros or trailing decimal
    zeros ("010:5:0.50" is "10:5:0.5"), so that one definition is one text
    wherever a record or a manifest holds it. ForestError saying what is
    wrong otherwise."""
    fields = text.split(":")
    if len(fields) != 3:
        raise ForestError("needs COVER:HEIGHT:HECTARES, three fields, not %d" % len(fields))
    cover, height, hectares = fields
    if not _whole_field(cover, 100):
        raise ForestError("COVER is not a whole percentage from 0 to 100")
    if not _whole_field(height, 255):
        raise ForestError("HEIGHT is not a whole number from 0 to 255")
    whole, point, fraction = hectares.partition(".")
    digits = whole + fraction
    if not (digits.isascii() and digits.isdigit() and len(hectares) <= MAX_HECTARES_TEXT):
        raise ForestError("HECTARES is not a decimal number of hectares, 0 or more")
    whole, fraction = whole.lstrip("0") or "0", fraction.rstrip("0")
    return "%d:%d:%s" % (int(cover), int(height), whole + ("." + fraction if fraction else ""))


class ThresholdError(ValueError):
    pass


def parse_thresholds(text):
    """The ascending thresholds of a comma-separated LIST as tile_accounts
    reads it: each a whole percentage 0 to 100 in ASCII decimal digits (no
    sign, blank, point or letter: "3O" with a letter O is no 30), none given
    twice. ThresholdError naming the entry otherwise."""
    values = []
    for entry in text.split(","):
        if not (entry.isascii() and entry.isdigit()) or int(entry) > 100:
            raise ThresholdError("threshold %r is not a whole percentage from 0 to 100 in decimal digits" % entry)
        if int(entry) in values:
            raise ThresholdError("threshold %d is given twice" % int(entry))
        values.append(int(entry))
    return sorted(values)


def thresholds_text(values):
    return ",".join(map(str, values))


def quality_names(tile, last_year):
    """What a tile's quality run must have written (its chart is optional:
    gnuplot may be missing on the node)."""
    return [qa_raster_name(y, tile) for y in range(MIN_LAST_YEAR, last_year + 1)] + [quality_table_name(tile)]


if __name__ == "__main__":  # the figures, for the program's unit test to compare
    import sys
    for year in map(int, sys.argv[1:]):
        print(year, tile_memory_bytes(year), quality_memory_bytes(year), MIN_LAST_YEAR, MAX_LAST_YEAR, TILE_SIZE)
