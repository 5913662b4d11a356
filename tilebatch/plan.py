"""What a batch will cost, said before it runs (--plan), and how many tiles
fit at once in a node's memory: the program's own figures (facts) scaled to
the request."""
import os
import re
import shutil
import stat
import subprocess

from . import facts
from .errors import Refused
from .text import printable


def human(b):
    for unit, scale in (("TiB", 1 << 40), ("GiB", 1 << 30), ("MiB", 1 << 20)):
        if b >= scale:
            return "%.1f %s" % (b / scale, unit)
    return "%d bytes" % b


def jobs_for_memory(available, job_bytes, slots):
    """Tiles at once: min(slots, floor((available - job / 2) / job)), at least
    1; half a job kept free, as parallel's --memfree stops the youngest job
    when free memory falls below half its figure."""
    return max(1, min(slots, (available - job_bytes // 2) // job_bytes))


def mem_available(field="MemAvailable"):
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


# ---- the zones, opened as tile_accounts opens them ---------------------------
# tile_accounts reads the zones on every tile (io/zone_layer.cpp): a layer or
# field it cannot find fails every tile, after process_tile has run. The plan
# looks first, with GDAL's ogrinfo (gdal-bin; the package is GDAL-free), and
# refuses in the program's own words.
OGRINFO = "ogrinfo"
OGRINFO_SECONDS = 60
# The drivers tile_accounts opens zones with (io/zone_layer.hpp ZONE_DRIVERS).
ZONE_DRIVERS = ("GPKG", "ESRI Shapefile", "GeoJSON", "GeoJSONSeq", "FlatGeobuf")
POLYGONAL = ("Polygon", "Multi Polygon", "Curve Polygon", "Multi Surface", "Polyhedral Surface", "TIN", "Triangle")
_FIELD_TYPES = "Integer|Integer64|Real|String|Date|Time|DateTime|Binary|IntegerList|Integer64List|RealList|StringList"
# A field's line: "name: Type(Subtype) (width.precision)", and NOT NULL,
# UNIQUE, DEFAULT ... after it where the field has them.
_FIELD = re.compile(r"(.+?): (?:%s)(?:\([A-Za-z0-9]+\))? \(\d+\.\d+\)(?: .*)?" % _FIELD_TYPES)


class NotChecked(Exception):
    """The zones could not be looked at (no ogrinfo, no answer): the tiles'
    runs check them."""


def _ogrinfo(path, *args):
    """ogrinfo's text on the zones file at PATH, opened read-only and, a
    GeoPackage, immutable (as tile_accounts opens it: never written or
    locked): (driver, lines) or None where it cannot open it."""
    program = shutil.which(OGRINFO)
    if program is None:
        raise NotChecked("ogrinfo (GDAL's gdal-bin) is not installed")
    # GDAL reads a name beginning with /vsi as a virtual file system's.
    plain = "/." + path if path.startswith("/vsi") else path if path.startswith("/") else "./" + path
    try:
        done = subprocess.run([program, "-ro", "-so", "-nocount", "-noextent", "-oo", "IMMUTABLE=YES", plain]
                              + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=OGRINFO_SECONDS, check=False)
    except subprocess.TimeoutExpired:
        raise NotChecked("ogrinfo did not answer within %d s" % OGRINFO_SECONDS)
    except OSError as e:
        raise NotChecked("ogrinfo cannot be run: %s" % (e.strerror or e))
    lines = done.stdout.decode("utf-8", "surrogateescape").splitlines()
    driver = next((m.group(1) for m in map(re.compile(r"\s*using driver `(.*)' successful\.").fullmatch, lines)
                   if m), None)
    return (driver, lines) if done.returncode == 0 and driver is not None else None


def _beside_problem(path):
    """As tile_accounts refuses before opening: a zones file that is not a
    regular file, a FIFO or device beside it under a name GDAL opens (it
    would block), a GeoPackage with edits still in its -wal file."""
    if not os.path.isfile(path):
        return "%s not found" % path
    here, name = os.path.split(path)
    stem, dashed = os.path.splitext(name)[0] + ".", name + "-"
    try:
        entries = sorted(os.listdir(here or "."))
    except OSError:
        return None  # ogrinfo says it cannot open it
    for entry in entries:
        if entry.startswith(stem) or entry.startswith(dashed):
            try:
                mode = os.stat(os.path.join(here, entry)).st_mode
            except OSError:
                continue
            if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
                return "%s beside the zone file is not a regular file" % os.path.join(here, entry)
    try:
        if os.path.getsize(path + "-wal") > 0:
            return "%s has edits not yet written into it (%s-wal): close the program editing it first" % (path, path)
    except OSError:
        pass
    return None


def zones_problem(req):
    """Why tile_accounts would refuse the zones REQ names, in its words, or
    None where it would find their layer and field. NotChecked where they
    cannot be looked at."""
    path = req.zones
    why = _beside_problem(path)
    if why:
        return why
    cannot_open = "%s cannot be opened as a vector file (GeoPackage, Shapefile, GeoJSON, FlatGeobuf)" % path
    described = _ogrinfo(path, "-al")
    if described is None or described[0] not in ZONE_DRIVERS:
        return cannot_open
    layers = layers_of(described[1])
    names = [name for name, _, _ in layers]
    if req.zone_layer is not None:
        if req.zone_layer not in names:
            return "%s has no layer %s%s" % (path, req.zone_layer,
                                             " (layers: %s)" % ", ".join(names) if names else ": it has none")
        name, geometry, fields = layers[names.index(req.zone_layer)]
    elif not layers:
        return "%s holds no layer" % path
    elif len(layers) > 1:
        return "%s holds %d layers (%s): name one with --zone-layer" % (path, len(names), ", ".join(names))
    else:
        name, geometry, fields = layers[0]
    layer_line = "%s layer %s" % (path, name)
    if req.zone_field is not None and req.zone_field not in fields:
        return "%s has no field %s%s" % (layer_line, req.zone_field,
                                         " (fields: %s)" % ", ".join(fields) if fields else ": it has none")
    if geometry == "None":
        return "%s holds no geometries" % layer_line
    flat = re.sub(r"^(3D )?(Measured )?", "", geometry or "Unknown (any)")
    if flat != "Unknown (any)" and flat not in POLYGONAL:
        return "%s holds %s, not polygons" % (layer_line, flat)
    return None


def layers_of(lines):
    """[(name, geometry type, [field names])] of each layer ogrinfo -al -so
    describes, in order."""
    layers = []
    for line in lines:
        if line.startswith("Layer name: "):
            layers.append((line[len("Layer name: "):], None, []))
        elif layers and line.startswith("Geometry: ") and layers[-1][1] is None:
            layers[-1] = (layers[-1][0], line[len("Geometry: "):], layers[-1][2])
        elif layers and _FIELD.fullmatch(line):
            layers[-1][2].append(_FIELD.fullmatch(line).group(1))
    return layers


def refuse_zones(req):
    """Refused where tile_accounts would refuse REQ's zones on every tile: a
    misspelt field would otherwise fail every tile, each after its
    process_tile has run. NotChecked where they cannot be looked at."""
    why = zones_problem(req) if req.zones else None
    if why:
        raise Refused("--zones: tile_accounts would refuse every tile: %s" % printable(why))


def check_zones(req):
    """As refuse_zones; where the zones cannot be looked at, the plan says so
    and goes on."""
    if not req.zones:
        return
    try:
        refuse_zones(req)
    except NotChecked as e:
        print("plan: accounts: the zones' layer and field are not checked: %s (each tile's tile_accounts checks "
              "them)" % e)
        return
    print("plan: accounts: zones %s%s%s: found as tile_accounts will read them" % (
        printable(req.zones), ", layer %s" % printable(req.zone_layer) if req.zone_layer else "",
        ", field %s" % printable(req.zone_field) if req.zone_field else ""))


def print_plan(req, job_bytes, per_node, what):
    check_zones(req)
    n, years = len(req.tiles), req.last_year - facts.MIN_LAST_YEAR + 1
    products = n * 3 * years * facts.PRODUCT_BYTES
    wanted, in_bytes, with_dirs = {t for t, _, _ in req.tiles}, 0, 0
    try:
        with os.scandir(req.input_dir) as entries:
            for e in entries:
                if e.name in wanted and e.is_dir(follow_symlinks=False):
                    with os.scandir(e.path) as files:
                        in_bytes += sum(f.stat().st_size for f in files if f.is_file())
                    with_dirs += 1
    except OSError:
        pass
    secs = facts.TILE_SECONDS_2020 * facts.year_count(req.last_year) / facts.year_count(2020)
    print("plan: %d tiles, last year %d" % (n, req.last_year))
    print("plan: memory per tile: %d bytes (%s)" % (job_bytes, human(job_bytes)))
    print("plan: tiles at once per node: %d (%s)" % (per_node, what))
    print("plan: products: %d bytes (%s): %d tiles x 3 products x %d years x %d bytes"
          % (products, human(products), n, years, facts.PRODUCT_BYTES))
    if with_dirs:
        print("plan: inputs: %d bytes (%s) in the directories of %d of the %d tiles" % (in_bytes, human(in_bytes), with_dirs, n))
    else:
        print("plan: inputs: none of the tiles has a directory in the input directory yet")
    if req.tile_quality:  # tile_quality reads and filters the tile again: measured as long as the run
        secs *= 2
    print("plan: time: %.1f s per tile (%d s for a 2020 tile, bench/bench_tile whole run on a 2-core node, scaled by "
          "years%s)" % (secs, facts.TILE_SECONDS_2020, "; twice that with the quality run" if req.tile_quality else ""))
    if req.tile_accounts:
        more = facts.accounts_seconds(req.last_year, bool(req.forest))
        secs += more
        if req.forest:
            print("plan: accounts: %.1f s more per tile for tile_accounts with --forest %s (%d s for a 2020 tile, "
                  "docs/accounts.md, scaled by years), %.1f s in all" % (more, req.forest,
                                                                          facts.FOREST_ACCOUNTS_SECONDS_2020, secs))
        else:
            print("plan: accounts: %.1f s more per tile for tile_accounts (%d s for a 2020 tile, bench/tile_accounts.sh "
                  "with 200 zones on a 2-core node, scaled by years), %.1f s in all"
                  % (more, facts.ACCOUNTS_SECONDS_2020, secs))
        held = "tile_accounts holds some %d MiB (%d MiB and GDAL's %d MiB cache), and only once process_tile has " \
            "ended" % (facts.ACCOUNTS_MIB, facts.ACCOUNTS_PROGRAM_MIB, facts.ACCOUNTS_GDAL_CACHE_MIB)
        if facts.ACCOUNTS_MIB * facts.MIB <= job_bytes:
            print("plan: accounts: %s: less than the %s above, so the memory per tile (and a Slurm task's --mem) "
                  "stays process_tile's" % (held, human(job_bytes)))
        else:
            print("plan: accounts: warning: %s: more than the %s above" % (held, human(job_bytes)))
    print("plan: node-hours: %.1f (tiles x time per tile, one tile at a time on all of a node like that)" % (n * secs / 3600))
