"""The forest accounts of a batch: the tiles' tables that tile_accounts wrote
into OUTPUT_DIR/accounts summed into the batch's (batch_accounts.csv and,
with zones, batch_zone_accounts.csv), a manifest saying which batch they
are of (batch_accounts.json), what the page shows of them, and the check
that refuses a list of overlapping tiles (their shared area would be counted
twice).

The sums are exact: every area a tile table prints ("%.6f" hectares) is read
as a whole number of micro-hectares and summed as such, and the batch's
figures are printed from those integers; the mean height is the cover-
weighted mean of the tiles' means, in whole numbers too, rounded half to
even once. Tables are read strictly (header, rows in their order, plain
decimals), one tile at a time, keeping only the running sums."""
import bisect
import concurrent.futures
import contextlib
import csv
import itertools
import multiprocessing
import operator
import os
import re
import stat
import sys
import time
from decimal import Decimal, InvalidOperation
from fractions import Fraction

from . import facts
from .records import State, lock
from .region import tiles_digest
from .text import printable, read_json, write_json, write_text
from .tilejob import file_identity, own_directory, zones_identity

# A tile covers 4004 pixels of 0.00025 degrees east and south of its origin.
TILE_DEGREES = "1.001"
_WIDTH = Fraction(facts.TILE_SIZE) / 4000
LOCK = ".lock"
MICRO = 10 ** 6
# From this many tiles on, the tables are read by a worker process per CPU
# (at most 4), each summing its share of the list.
PARALLEL_FROM = 2000
MAX_WORKERS = 4
MAX_SHOWN = 20


# ---- overlapping tiles -------------------------------------------------------
def _degrees(text):
    return Fraction(Decimal(text))


def overlapping(tiles):
    """Two tiles of TILES, [(tile, x, y)], whose areas share a part, or None.
    A tile covers [x, x + 1.001) x (y - 1.001, y] (exactly, from the origins
    as written); longitudes are taken modulo 360, so that a tile at 190 is
    the one at -170. A sweep east over the tiles keeps those still within a
    tile's width, ordered by latitude: a new tile can only meet its nearest
    neighbours there, as the tiles kept meet each other nowhere. Sorting
    costs most: 20,000 tiles take a fraction of a second."""
    items = []
    for index, (_, x, y) in enumerate(tiles):
        try:
            east, north = (_degrees(x) + 180) % 360 - 180, _degrees(y)
        except (InvalidOperation, ValueError):
            continue  # no origin a list lets through
        items.append((east, north, index))
        if east > 180 - _WIDTH:  # across the antimeridian: also where it reaches west of -180
            items.append((east - 360, north, index))
    items.sort()
    kept, first = [], 0  # kept: [(y, index)] of the tiles whose longitudes reach the current one's
    for east, north, index in items:
        while items[first][0] <= east - _WIDTH:
            gone = items[first]
            del kept[bisect.bisect_left(kept, (gone[1], gone[2]))]
            first += 1
        at = bisect.bisect_left(kept, (north, index))
        for near in kept[max(0, at - 1):at + 1]:
            if abs(near[0] - north) < _WIDTH and near[1] != index:
                pair = sorted((near[1], index))
                return tiles[pair[0]][0], tiles[pair[1]][0]
        kept.insert(at, (north, index))
    return None


# ---- reading a tile's table --------------------------------------------------
class Damaged(Exception):
    """A tile's table that does not hold what tile_accounts writes."""


def csv_text(value):
    """A field as RFC 4180 writes it: quoted where it holds a comma, a quote,
    CR or LF, with its quotes doubled."""
    if any(c in value for c in ',"\r\n'):
        return '"%s"' % value.replace('"', '""')
    return value


def open_identified(path, identity):
    """The table at PATH opened for reading, only where it is the regular
    file IDENTITY ([size, mtime_ns, inode]) names: the one the tile's run
    wrote, as its record says (a FIFO is never waited on)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise Damaged("it cannot be opened: %s" % (e.strerror or e))
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode) or [info.st_size, info.st_mtime_ns, info.st_ino] != identity:
        os.close(fd)
        raise Damaged("it is not the file its run wrote (changed since)")
    return open(fd, encoding="utf-8", errors="surrogateescape", newline="")


# A row of a tile's table, as tile_accounts writes it: the tile (and zone) as
# RFC 4180 fields, the threshold and the year, then land, cover and loss and
# the mean height (or nothing) as plain decimals of six places, each caught
# as its whole and its fraction.
def _row_pattern(zoned, capture=True):
    group = "(" if capture else "(?:"
    field = group + r'"(?:[^"]|"")*"|[^",\r\n]*)'
    number = group + "[0-9]{1,15})\\." + group + "[0-9]{6})"
    return ((field + ",") * (2 if zoned else 1) + group + "[0-9]{1,4})," + group + "[0-9]{1,4}),"
            + ",".join([number] * 3) + ",(?:" + number + ")?\n")


_ROW = {zoned: re.compile(_row_pattern(zoned)) for zoned in (False, True)}
# Rows are taken some thousands at a time: one match finds where they end
# (a zone's name may hold a newline), one findall splits them.
_CHUNK_ROWS = 4096
_CHUNK = {}
MAX_TABLE_BYTES = 256 << 20


def _chunk(zoned, n):
    key = zoned, n
    if key not in _CHUNK:
        _CHUNK[key] = re.compile("(?:%s){1,%d}" % (_row_pattern(zoned, False), n * max(1, _CHUNK_ROWS // n)))
    return _CHUNK[key]


def _micro(whole, part):
    """Whole numbers of millionths from the columns of wholes and fractions
    (an empty height reads as 0)."""
    return list(map(int, map(operator.add, map(operator.add, itertools.repeat("0"), whole), part)))


def _first_other(values, expected):
    return next(i for i, (a, b) in enumerate(zip(values, expected)) if a != b)


def add_table(path, identity, tile, keys, zoned, sums):
    """Adds the rows of the tile table at PATH to SUMS: four lists of running
    sums a key (land, cover and loss in micro-hectares, and height times
    cover), or with ZONED {zone: such lists}. KEYS are the (threshold, year)
    texts each block of rows holds, in order: a tile table holds one block,
    a zone table one a zone. Damaged where anything differs from what
    tile_accounts writes; SUMS may then hold a part of the table. The checks
    and sums go a column at a time, some thousands of rows at once: the 150
    million rows of 20,000 tiles in 50 zones each are too many for a Python
    loop a row."""
    columns = list(facts.ZONE_ACCOUNTS_COLUMNS if zoned else facts.ACCOUNTS_COLUMNS)
    header, n, first = ",".join(columns) + "\n", len(keys), 1 + zoned
    with open_identified(path, identity) as f:
        if os.fstat(f.fileno()).st_size > MAX_TABLE_BYTES:
            raise Damaged("it is larger than %d MiB" % (MAX_TABLE_BYTES >> 20))
        text = f.read()
    if not text.startswith(header):
        raise Damaged("its header is not %s" % header.strip())
    own = csv_text(tile)
    thresholds, years = (tuple(k[i] for k in keys) for i in (0, 1))
    row, chunk, pos, line, seen = _ROW[zoned], _chunk(zoned, n), len(header), 2, set()
    if not zoned and len(text) == pos:
        raise Damaged("it holds no rows")
    while pos < len(text):
        m = chunk.match(text, pos)
        if m is None:
            raise Damaged("line %d is not a row as tile_accounts writes it (a figure that is not a plain decimal of "
                          "six places?)" % line)
        rows = row.findall(text, pos, m.end())
        blocks, left = divmod(len(rows), n)
        if not zoned and (left or blocks > 1 or pos > len(header)):
            raise Damaged("it holds other rows than the %d of its thresholds and years" % n)
        cols = list(zip(*rows))
        if left:
            raise Damaged("the rows of zone %s end short" % printable(cols[1][blocks * n]))
        if cols[0].count(own) != len(rows):
            raise Damaged("line %d is not a row of tile %s" % (line + _first_other(cols[0], [own] * len(rows)),
                                                               printable(tile)))
        if cols[first] != thresholds * blocks or cols[first + 1] != years * blocks:
            k = _first_other(zip(cols[first], cols[first + 1]), keys * blocks)
            raise Damaged("line %d is of threshold %s and year %s, not %s and %s" % (
                (line + k, printable(cols[first][k]), printable(cols[first + 1][k])) + keys[k % n]))
        land, cover, loss = (_micro(cols[k], cols[k + 1]) for k in range(first + 2, first + 8, 2))
        height = _micro(cols[first + 8], cols[first + 9])
        # Land is the datamask's, whatever the threshold and year; cover and
        # loss lie on land; a height is there with cover.
        if not (all(map(operator.le, cover, land)) and all(map(operator.le, loss, land))
                and list(map(bool, cover)) == list(map(bool, cols[first + 8]))):
            raise Damaged("a row of lines %d to %d does not add up (land, cover, loss and height)"
                          % (line, line + len(rows) - 1))
        weighted = list(map(operator.mul, height, cover))
        for b in range(blocks):
            at = slice(b * n, b * n + n)
            if land[at].count(land[b * n]) != n:
                raise Damaged("lines %d to %d hold two figures of land" % (line + b * n, line + b * n + n - 1))
            target = sums
            if zoned:
                zone = cols[1][b * n]
                if cols[1][at].count(zone) != n:
                    raise Damaged("line %d: the rows of zone %s end short" % (line + b * n, printable(zone)))
                if zone in seen:
                    raise Damaged("zone %s has rows in two places" % printable(zone))
                seen.add(zone)
                if zone.startswith('"'):
                    zone = zone[1:-1].replace('""', '"')
                target = sums.get(zone)
                if target is None:
                    target = sums[zone] = [[0] * n for _ in range(4)]
            for total, column in zip(target, (land, cover, loss, weighted)):
                total[:] = map(operator.add, total, column[at])
        pos, line = m.end(), line + len(rows)


def keys_of(thresholds, last_year):
    return [(str(t), str(y)) for t in facts.parse_thresholds(thresholds)
            for y in range(facts.MIN_LAST_YEAR, last_year + 1)]


def sum_tiles(accounts_dir, tiles, keys, zoned):
    """(sums, zone sums, [(tile, why)] of the damaged tables) of TILES,
    [(tile, {table name: identity})], in list order."""
    totals, zones, damaged = [[0] * len(keys) for _ in range(4)], {}, []
    for tile, identities in tiles:
        name = facts.accounts_table_name(tile)
        try:
            add_table(os.path.join(accounts_dir, name), identities.get(name), tile, keys, False, totals)
            if zoned:
                name = facts.zone_accounts_table_name(tile)
                add_table(os.path.join(accounts_dir, name), identities.get(name), tile, keys, True, zones)
        except (Damaged, OSError) as e:
            damaged.append((tile, "%s: %s" % (name, e)))
    return totals, zones, damaged


def add(sums, more):
    return [list(map(operator.add, a, b)) for a, b in zip(sums, more)]


def summed(accounts_dir, tiles, keys, zoned):
    """sum_tiles() of a large batch shared among worker processes, each
    summing a part of the list; the parts' sums added in list order (a
    zone's place is that of its first tile)."""
    workers = min(MAX_WORKERS, len(os.sched_getaffinity(0))) if len(tiles) >= PARALLEL_FROM else 1
    if workers > 1:
        size = -(-len(tiles) // workers)
        parts = [tiles[k:k + size] for k in range(0, len(tiles), size)]
        try:
            with concurrent.futures.ProcessPoolExecutor(len(parts), mp_context=multiprocessing.get_context("fork")) \
                    as pool:
                found = list(pool.map(sum_tiles, *zip(*[(accounts_dir, p, keys, zoned) for p in parts])))
        except (OSError, concurrent.futures.process.BrokenProcessPool):
            found = None
        if found is not None:
            totals, zones, damaged = found[0]
            for more, more_zones, more_damaged in found[1:]:
                totals = add(totals, more)
                for zone, sums in more_zones.items():
                    zones[zone] = add(zones[zone], sums) if zone in zones else sums
                damaged += more_damaged
            return totals, zones, damaged
    return sum_tiles(accounts_dir, tiles, keys, zoned)


# ---- the batch's tables --------------------------------------------------------
def hectares(micro):
    return "%d.%06d" % divmod(micro, MICRO)


def mean_height(weighted, cover):
    """sum(height * cover) / sum(cover) in micro-units, rounded half to even,
    as "%.6f"; empty where there is no cover."""
    if cover == 0:
        return ""
    q, r = divmod(weighted, cover)
    if 2 * r > cover or (2 * r == cover and q % 2):
        q += 1
    return hectares(q)


def flat(columns):
    """Four columns of sums as one list, four sums a key, as the tables
    are written from."""
    return [v for key in zip(*columns) for v in key]


def table_lines(keys, sums, prefix=()):
    """The rows of a batch table from SUMS, four a key: land, cover, loss in
    micro-hectares and height times cover."""
    for k, (threshold, year) in enumerate(keys):
        land, cover, loss, weighted = sums[4 * k:4 * k + 4]
        yield list(prefix) + [threshold, year, hectares(land), hectares(cover), hectares(loss),
                              mean_height(weighted, cover)]


class _Lines:
    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)


def csv_of(header, rows):
    out = _Lines()
    # Quoted as RFC 4180 asks, and only then, as the tiles' tables are.
    writer = csv.writer(out, lineterminator="\n", quoting=csv.QUOTE_MINIMAL)
    writer.writerow(header)
    writer.writerows(rows)
    return "".join(out.parts)


def batch_columns(zoned):
    columns = list(facts.ZONE_ACCOUNTS_COLUMNS if zoned else facts.ACCOUNTS_COLUMNS)
    return columns[1:]


def manifest_of(req, tables=None, reason=None):
    """What the batch tables are of: the batch, its list (count and SHA-256
    of the ids), last year, thresholds and zones (the path, the file's
    identity when the batch started, field and layer); TABLES their
    identities as written, or REASON why there are none."""
    return {"batch": req.batch_id, "tiles": len(req.tiles), "tiles_sha256": tiles_digest(t for t, _, _ in req.tiles),
            "last_year": req.last_year, "thresholds": req.thresholds, "zones": req.zones,
            "zone_field": req.zone_field, "zone_layer": req.zone_layer, "zones_identity": req.zones_identity,
            "written": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), "tables": tables, "reason": reason}


def publish(req, here, sums=None, reason=None):
    """Under the directory's lock: the manifest removed first, the batch
    tables written (SUMS: (keys, totals, zones)) or, with REASON, removed,
    then the manifest written last, so that it never describes other
    tables than those there."""
    names = [facts.BATCH_ACCOUNTS, facts.BATCH_ZONE_ACCOUNTS]
    held = lock(here, LOCK, wait=True)
    try:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST))
        tables = None
        if sums is None:
            for name in names:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(os.path.join(here, name))
        else:
            keys, totals, zones = sums
            write_text(os.path.join(here, names[0]), csv_of(batch_columns(False), table_lines(keys, totals)))
            if req.zones:
                rows = (line for zone, zone_sums in zones.items() for line in table_lines(keys, zone_sums, (zone,)))
                write_text(os.path.join(here, names[1]), csv_of(batch_columns(True), rows))
            else:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(os.path.join(here, names[1]))
            tables = {name: file_identity(os.path.join(here, name)) for name in names[:2 if req.zones else 1]}
        write_json(os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST), manifest_of(req, tables, reason))
    finally:
        os.close(held)
    return [os.path.join(here, name) for name in (tables or ())]


def build(req, rows, say=None):
    """The batch tables of REQ from ROWS (each tile's state now): written
    only when every tile of the list is done with the accounts REQ asks
    for, else none (and earlier ones removed: they would pass for this
    batch's). 0, or 1 where a tile's table is damaged or the tables cannot
    be written; a tile not done fails nothing here (it counts already)."""
    here, say = req.accounts_dir, say or sys.stdout
    done = [(r.tile, r.accounts) for r in rows if r.accounts is not None and r.state is State.DONE]
    try:
        own_directory(here)
        if len(done) < len(req.tiles):
            reason = "%d of %d tiles have no accounts of this request" % (len(req.tiles) - len(done), len(req.tiles))
            publish(req, here, reason=reason)
            print("accounts: %s: no batch tables" % reason, file=say)
            return 0
        keys = keys_of(req.thresholds, req.last_year)
        totals, zones, damaged = summed(here, done, keys, bool(req.zones))
        if damaged:
            publish(req, here, reason="the accounts table of %d tile(s) is damaged" % len(damaged))
            for tile, why in damaged[:MAX_SHOWN]:
                print("accounts: the table of tile %s is damaged: %s" % (printable(tile), printable(why)),
                      file=sys.stderr)
            print("accounts: %d tile(s) with a damaged table: no batch tables" % len(damaged), file=sys.stderr)
            return 1
        written = publish(req, here, sums=(keys, flat(totals), {zone: flat(z) for zone, z in zones.items()}))
    except OSError as e:
        print("accounts: the batch tables cannot be written: %s"
              % printable("%s: %s" % (e.filename, e.strerror) if e.filename else e), file=sys.stderr)
        return 1
    print("accounts: the sums of %d tiles: %s" % (len(done), ", ".join(printable(p) for p in written)), file=say)
    return 0


# ---- what the batch page shows -----------------------------------------------
_MANIFEST_TYPES = {"batch": str, "tiles": int, "tiles_sha256": str, "last_year": int, "thresholds": str,
                   "written": str}


def read_manifest(here):
    """The manifest in HERE, each field checked for its type, or None."""
    value = read_json(os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST))
    if value is None or not all(type(value.get(k)) is kind for k, kind in _MANIFEST_TYPES.items()):
        return None
    optional = {"zones": str, "zone_field": str, "zone_layer": str, "zones_identity": list, "tables": dict,
                "reason": str}
    if not all(value.get(k) is None or isinstance(value[k], kind) for k, kind in optional.items()):
        return None
    return value


def read_batch_table(path, identity, zoned):
    """[{column: text}] of a batch table, where it is the file IDENTITY
    names and reads as one (a header, then whole rows); else why not."""
    columns = batch_columns(zoned)
    try:
        with open_identified(path, identity) as f:
            if os.fstat(f.fileno()).st_size > MAX_TABLE_BYTES:
                return "%s is larger than any batch table" % os.path.basename(path)
            rows = list(csv.reader(f, strict=True))
    except (Damaged, OSError, csv.Error) as e:
        return "%s: %s" % (os.path.basename(path), e)
    if not rows or rows[0] != columns or any(len(r) != len(columns) for r in rows[1:]):
        return "%s does not read as a batch table" % os.path.basename(path)
    return [dict(zip(columns, r)) for r in rows[1:]]


def page_view(req):
    """What the batch page shows of the accounts of REQ, or None where it
    asks for none: {"manifest": the manifest's facts or None, "of_this_batch":
    whether they are of REQ (its batch, list, last year, thresholds and
    zones), "zones_changed": whether the zones file differs now from the
    one they were summed with (None: no zones), "tables": whether the batch
    tables are there as written, "rows" and "zone_rows": their rows
    ({column: text}; zone_rows None without zones), "reason": why there are
    no tables, or None}."""
    if not req.tile_accounts:
        return None
    here = req.accounts_dir
    manifest = read_manifest(here)
    view = {"manifest": manifest, "of_this_batch": False, "zones_changed": None, "tables": False, "rows": [],
            "zone_rows": None, "reason": None}
    if manifest is None:
        view["reason"] = ("the accounts of the batch have not been summed (they are summed at its end, when every "
                          "tile is done)")
        return view
    view["of_this_batch"] = manifest == dict(manifest_of(req), written=manifest["written"],
                                             tables=manifest["tables"], reason=manifest["reason"])
    if manifest["zones"] is not None:
        view["zones_changed"] = zones_identity(manifest["zones"]) != manifest["zones_identity"]
    if manifest["tables"] is None:
        view["reason"] = manifest["reason"] or "no batch tables were written"
        return view
    zoned = manifest["zones"] is not None
    found = {}
    for name, is_zoned in ((facts.BATCH_ACCOUNTS, False), (facts.BATCH_ZONE_ACCOUNTS, True)):
        if is_zoned and not zoned:
            continue
        rows = read_batch_table(os.path.join(here, name), manifest["tables"].get(name), is_zoned)
        if isinstance(rows, str):
            view["reason"] = "the batch tables are not those written with the manifest: %s" % rows
            return view
        found[name] = rows
    view["tables"], view["rows"] = True, found[facts.BATCH_ACCOUNTS]
    view["zone_rows"] = found.get(facts.BATCH_ZONE_ACCOUNTS)
    return view
