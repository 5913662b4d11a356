"""The forest accounts of a batch: the tiles' tables that tile_accounts wrote
into OUTPUT_DIR/accounts summed into the batch's (batch_accounts.csv and,
with zones, batch_zone_accounts.csv), a manifest saying which batch they
are of (batch_accounts.json) and what the page shows of them. Where tiles
overlap, each tile's tables hold only the part it owns (ownership.py), so
that they add up to the batch's.

The sums are made by tools/sum_accounts (app/sum_accounts.hpp): exact,
every area a tile table prints ("%.6f" hectares) read as a whole number of
micro-hectares and summed as such, the mean height the cover-weighted mean
of the tiles' means, in whole numbers too, rounded half to even once; the
tables read strictly (header, rows in their order, plain decimals), each
only where it is still the file its tile's run wrote."""
import contextlib
import csv
import os
import stat
import subprocess
import sys
import time

from . import facts
from .records import State, lock
from .region import tiles_digest
from .text import printable, read_json, write_json
from .tilejob import file_identity, own_directory, zones_identity

# A tile covers 4004 pixels of 0.00025 degrees east and south of its origin.
TILE_DEGREES = "1.001"
LOCK = ".lock"
MAX_SHOWN = 20


# ---- the batch's tables --------------------------------------------------------
# The tables of 20,000 tiles in 50 zones each hold 150 million rows (9 GB):
# tools/sum_accounts reads and sums them, a byte parser some hundred times
# faster than Python's reading of them.
SUM_ACCOUNTS = "sum_accounts"
MAX_TABLE_BYTES = 256 << 20  # no tile's table, nor so a batch's, is larger


class Damaged(Exception):
    """A table that does not hold what was written there."""


def open_identified(path, identity):
    """The table at PATH opened for reading, only where it is the regular
    file IDENTITY ([size, mtime_ns, inode]) names: the one written, as its
    record says (a FIFO is never waited on)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise Damaged("it cannot be opened: %s" % (e.strerror or e))
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode) or [info.st_size, info.st_mtime_ns, info.st_ino] != identity:
        os.close(fd)
        raise Damaged("it is not the file its run wrote (changed since)")
    return open(fd, encoding="utf-8", errors="surrogateescape", newline="")


def keys_of(thresholds, last_year):
    """The (threshold, year) texts of the rows of a batch table, in order."""
    return [(str(t), str(y)) for t in facts.parse_thresholds(thresholds)
            for y in range(facts.MIN_LAST_YEAR, last_year + 1)]


def sum_program(req):
    """tools/sum_accounts, beside the tile_accounts the batch runs."""
    return os.path.join(os.path.dirname(os.path.abspath(req.tile_accounts)), SUM_ACCOUNTS)


_HEX = frozenset("0123456789abcdef")


def _identity_text(identity):
    """What a record holds of a table (records.tables_to_sum) as sum_accounts
    reads it: three whole numbers and the SHA-256 of its bytes, "-" for the
    digest where a record written before them holds none; "-" four times
    where the record holds no identity, or a digest that is not one (the
    table then reads as damaged)."""
    if (isinstance(identity, list) and len(identity) in (3, 4)
            and all(type(v) is int and -2 ** 63 <= v < 2 ** 63 for v in identity[:3])):
        if len(identity) == 3:
            return "\t".join(map(str, identity)) + "\t-"
        digest = identity[3]
        if isinstance(digest, str) and len(digest) == 64 and _HEX.issuperset(digest):
            return "\t".join(map(str, identity))
    return "-\t-\t-\t-"


def table_list(tiles, zoned):
    """sum_accounts' list of the tables of TILES, [(tile, {table name:
    identity and digest})], in list order, and [(tile, why)] of the tiles whose id the
    list cannot hold."""
    lines, refused = [], []
    for tile, identities in tiles:
        if any(c in tile for c in "\t\n\r"):  # the tile list lets none through
            refused.append((tile, "its id holds a tab or a line end"))
            continue
        names = [facts.accounts_table_name(tile)] + ([facts.zone_accounts_table_name(tile)] if zoned else [])
        for name in names:
            identity = identities.get(name) if isinstance(identities, dict) else None
            lines.append("%s\t%s\t%s\n" % (tile, name, _identity_text(identity)))
    return "".join(lines).encode("utf-8", "surrogateescape"), refused


class SumFailure(Exception):
    """sum_accounts could not make the sums (not a damaged table)."""


def run_sums(req, here, tiles, outputs):
    """Runs sum_accounts over TILES into OUTPUTS (the temporary names of the
    batch tables, the zone table's with zones): [(tile, why)] of the tiles
    with a damaged table, nothing then written. SumFailure where the program
    is missing or fails otherwise."""
    program = sum_program(req)
    if not (os.path.isfile(program) and os.access(program, os.X_OK)):
        raise SumFailure("the summing program %s is missing (built beside tile_accounts)" % program)
    listed, refused = table_list(tiles, bool(req.zones))
    if refused:
        return refused
    thresholds = ",".join(str(t) for t in facts.parse_thresholds(req.thresholds))
    try:
        done = subprocess.run([program, "--", "-", here, str(req.last_year), thresholds] + outputs,
                              input=listed, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    except OSError as e:
        raise SumFailure("%s cannot be run: %s" % (program, e.strerror or e))
    said = done.stderr.decode("utf-8", "surrogateescape").strip().splitlines()
    damaged = [line.split("\t", 1) for line in done.stdout.decode("utf-8", "surrogateescape").splitlines()]
    if done.returncode == 1 and damaged and all(len(d) == 2 for d in damaged):
        return [tuple(d) for d in damaged]
    if done.returncode != 0 or damaged:
        why = said[-1] if said else "%s ended with status %d" % (SUM_ACCOUNTS, done.returncode)
        raise SumFailure(why)
    return []


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


def publish(req, here, made=None, reason=None):
    """Under the directory's lock: the manifest removed first, the batch
    tables put in place (MADE: {table name: the temporary file sum_accounts
    wrote and flushed}) or, with REASON, removed, then the manifest written
    last, so that it never describes other tables than those there."""
    names = [facts.BATCH_ACCOUNTS, facts.BATCH_ZONE_ACCOUNTS]
    held = lock(here, LOCK, wait=True)
    try:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST))
        tables = None
        if made is None:
            for name in names:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(os.path.join(here, name))
        else:
            for name in names:
                if name in made:
                    os.replace(made[name], os.path.join(here, name))
                else:
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(os.path.join(here, name))
            tables = {name: file_identity(os.path.join(here, name)) for name in names if name in made}
        write_json(os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST), manifest_of(req, tables, reason))
    finally:
        os.close(held)
    return [os.path.join(here, name) for name in (tables or ())]


def build(req, rows, say=None):
    """The batch tables of REQ from ROWS (each tile's state now): written
    only when every tile of the list is done with the accounts REQ asks
    for, else none (and earlier ones removed: they would pass for this
    batch's). 0, or 1 where a tile's table is damaged or the tables cannot
    be made or written; a tile not done fails nothing here (it counts
    already)."""
    here, say = req.accounts_dir, say or sys.stdout
    done = [(r.tile, r.accounts) for r in rows if r.accounts is not None and r.state is State.DONE]
    names = [facts.BATCH_ACCOUNTS] + ([facts.BATCH_ZONE_ACCOUNTS] if req.zones else [])
    # Each end its own temporary names, put in place under the lock.
    made = {name: os.path.join(here, "%s.tmp-%d" % (name, os.getpid())) for name in names}
    try:
        own_directory(here)
        if len(done) < len(req.tiles):
            reason = "%d of %d tiles have no accounts of this request" % (len(req.tiles) - len(done), len(req.tiles))
            publish(req, here, reason=reason)
            print("accounts: %s: no batch tables" % reason, file=say)
            return 0
        try:
            damaged = run_sums(req, here, done, [made[name] for name in names])
        except SumFailure as e:
            publish(req, here, reason="the sums could not be made: %s" % e)
            print("accounts: %s: no batch tables" % printable(e), file=sys.stderr)
            return 1
        if damaged:
            publish(req, here, reason="the accounts table of %d tile(s) is damaged" % len(damaged))
            for tile, why in damaged[:MAX_SHOWN]:
                print("accounts: the table of tile %s is damaged: %s" % (printable(tile), printable(why)),
                      file=sys.stderr)
            print("accounts: %d tile(s) with a damaged table: no batch tables" % len(damaged), file=sys.stderr)
            return 1
        written = publish(req, here, made=made)
    except OSError as e:
        print("accounts: the batch tables cannot be written: %s"
              % printable("%s: %s" % (e.filename, e.strerror) if e.filename else e), file=sys.stderr)
        return 1
    finally:
        for path in made.values():
            with contextlib.suppress(OSError):
                os.unlink(path)
    print("accounts: the sums of %d tiles: %s" % (len(done), ", ".join(printable(p) for p in written)), file=say)
    if req.zones and zones_identity(req.zones) != req.zones_identity:
        # --report OUTPUT_DIR reports the batch as it ran: its tables are of
        # the zones as they were then, which the user must hear of here too.
        print("accounts: warning: the zones file %s has changed since the batch started: these sums are of the "
              "zones as they were then (--resume with the same options counts the new ones)" % printable(req.zones),
              file=say)
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
