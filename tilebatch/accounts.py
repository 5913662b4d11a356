"""The forest accounts of a batch: the tiles' tables that tile_accounts wrote
into OUTPUT_DIR/accounts summed into the batch's (batch_accounts.csv and,
with zones, batch_zone_accounts.csv), a manifest saying which batch they
are of (batch_accounts.json) and what the page shows of them. Where tiles
overlap, each tile's tables hold only the part it owns (ownership.py), so
that they add up to the batch's.

The sums are made by tools/sum_accounts (accounts/account_sums.hpp): exact,
every area a tile table prints ("%.6f" hectares) read as a whole number of
micro-hectares and summed as such, the mean height the cover-weighted mean
of the tiles' means, in whole numbers too, rounded half to even once; the
tables read strictly (header, rows in their order, plain decimals), each
only where it is still the file its tile's run wrote."""
import contextlib
import csv
import ctypes
import os
import re
import secrets
import shutil
import signal
import socket
import stat
import subprocess
import sys
import time

from . import facts, ownership
from .records import State, lock
from .region import tiles_digest
from .text import printable, read_json, write_json, write_text
from .tilejob import accounts_tables, file_identity, own_directory, zones_identity

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


def tile_tables(tile, zoned, forest=False):
    """The names of the tables of TILE the batch's sums read, those its
    job's run writes and its record holds: with FOREST its forest tables
    too, and what its patches leave undecided at its part's edge
    (<tile>_forest_edges.txt), which the end joins across tiles."""
    return accounts_tables(tile, zoned, forest)


def table_list(tiles, zoned, forest=False):
    """sum_accounts' list of the tables of TILES, [(tile, {table name:
    identity and digest})], in list order (with FOREST their forest tables
    and edges too), and [(tile, why)] of the tiles whose id the list cannot
    hold."""
    lines, refused = [], []
    for tile, identities in tiles:
        if any(c in tile for c in "\t\n\r"):  # the tile list lets none through
            refused.append((tile, "its id holds a tab or a line end"))
            continue
        for name in tile_tables(tile, zoned, forest):
            identity = identities.get(name) if isinstance(identities, dict) else None
            lines.append("%s\t%s\t%s\n" % (tile, name, _identity_text(identity)))
    return "".join(lines).encode("utf-8", "surrogateescape"), refused


def _record_fault(identities, why):
    """WHY sum_accounts gave for a table ("<name>: ..."), or, where the
    tile's record holds nothing of the table that reads (the table may be
    whole), that."""
    name = why.split(":", 1)[0]
    identity = identities.get(name) if isinstance(identities, dict) else None
    if _identity_text(identity) == "-\t-\t-\t-":
        return "%s: its record holds no identity or digest of it that reads" % name
    return why


class SumFailure(Exception):
    """sum_accounts could not make the sums (not a damaged table)."""


_PR_SET_PDEATHSIG = 1
try:
    _LIBC = ctypes.CDLL(None, use_errno=True) if sys.platform.startswith("linux") else None
except OSError:
    _LIBC = None


def dying_with_this_process():
    """What a child runs before the program it starts: it is killed when
    the thread that started it ends, however that ends (a SIGKILL of the end
    leaves no summing program writing on, unseen); started after the end is
    gone already, it ends at once."""
    parent = os.getpid()

    def arrange():
        if _LIBC is not None:
            _LIBC.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != parent:
            os._exit(1)
    return arrange


def sum_command(req, here, outputs, placement=None):
    """sum_accounts' command line, its list on standard input: OUTPUTS
    {batch table name: where to write it}; with forest, PLACEMENT the file
    that places the tiles on the globe's pixels."""
    options = []
    if req.forest:
        options = ["--forest", req.forest, "--connectivity", str(req.connectivity), "--placement", placement,
                   "--forest-table", outputs[facts.BATCH_FOREST]]
        if req.zones:
            options += ["--zone-forest-table", outputs[facts.BATCH_ZONE_FOREST]]
    thresholds = ",".join(str(t) for t in facts.parse_thresholds(req.thresholds))
    plain = [outputs[name] for name in (facts.BATCH_ACCOUNTS, facts.BATCH_ZONE_ACCOUNTS) if name in outputs]
    return [sum_program(req)] + options + ["--", "-", here, str(req.last_year), thresholds] + plain


def write_placement(req, tiles, path):
    """The placement of TILES ([(tile, ...)] of REQ's list) written to PATH
    for sum_accounts: each tile's grid and upper-left pixel
    (ownership.placement)."""
    where = {tile: (tile, x, y) for tile, x, y in req.tiles}
    write_text(path, ownership.placement_text([where[tile] for tile, _ in tiles]), durable=False)


PLACEMENT = ".placement.tsv"  # in the generation being made, removed once the sums are made


def run_sums(req, here, tiles, outputs):
    """Runs sum_accounts over TILES into OUTPUTS ({batch table name: its
    temporary name}, the tables tables_of() names): [(tile, why)] of the
    tiles with a damaged table, nothing then written. SumFailure where the
    program is missing or fails otherwise. With forest the tiles' placement
    is written beside the outputs for the time of the run."""
    program = sum_program(req)
    if not (os.path.isfile(program) and os.access(program, os.X_OK)):
        raise SumFailure("the summing program %s is missing (built beside tile_accounts)" % program)
    listed, refused = table_list(tiles, bool(req.zones), bool(req.forest))
    if refused:
        return refused
    placement = None
    try:
        if req.forest:
            placement = os.path.join(os.path.dirname(next(iter(outputs.values()))), PLACEMENT)
            write_placement(req, tiles, placement)
        done = subprocess.run(sum_command(req, here, outputs, placement), input=listed, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, check=False, preexec_fn=dying_with_this_process())
    except OSError as e:
        raise SumFailure("%s cannot be run: %s" % (program, e.strerror or e))
    finally:
        if placement is not None:
            with contextlib.suppress(OSError):
                os.unlink(placement)
    said = done.stderr.decode("utf-8", "surrogateescape").strip().splitlines()
    damaged = [line.split("\t", 1) for line in done.stdout.decode("utf-8", "surrogateescape").splitlines()]
    if done.returncode == 1 and damaged and all(len(d) == 2 for d in damaged):
        recorded = dict(tiles)
        return [(tile, _record_fault(recorded.get(tile), why)) for tile, why in damaged]
    if done.returncode != 0 or damaged:
        why = said[-1] if said else "%s ended with status %d" % (SUM_ACCOUNTS, done.returncode)
        raise SumFailure(why)
    return []


def batch_columns(zoned):
    columns = list(facts.ZONE_ACCOUNTS_COLUMNS if zoned else facts.ACCOUNTS_COLUMNS)
    return columns[1:]


# A figure that surprises where it is read: a pixel lost in 2000 has had its
# cover of 2000 taken away by the cleaning (docs/accounts.md), so it is tree
# cover at no threshold above 0 and 2000's loss is 0 at each of them.
LOSS_FIRST_YEAR_NOTE = ("The loss of 2000 is 0 at every threshold above 0: loss is counted within the tree cover "
                        "of 2000, and the cleaning leaves a pixel lost in 2000 with a cover of 0 in 2000 "
                        "(docs/accounts.md).")


def manifest_of(req, tables=None, reason=None):
    """What the batch tables are of: the batch, when it was asked for, its
    list (count and SHA-256 of the ids), last year, thresholds, zones (the
    path, the file's identity when the batch started, field and layer) and
    forest (its definition and connectivity, or None); TABLES their
    identities as written, or REASON why there are none."""
    return {"batch": req.batch_id, "started": req.started, "tiles": len(req.tiles),
            "tiles_sha256": tiles_digest(t for t, _, _ in req.tiles),
            "last_year": req.last_year, "thresholds": req.thresholds, "zones": req.zones,
            "zone_field": req.zone_field, "zone_layer": req.zone_layer, "zones_identity": req.zones_identity,
            "forest": {"definition": req.forest, "connectivity": req.connectivity} if req.forest else None,
            "written": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), "tables": tables, "reason": reason,
            "note": LOSS_FIRST_YEAR_NOTE}


# ---- putting them in place ---------------------------------------------------
# A publication is one directory, a generation (accounts/batch-<unique>/),
# holding the batch tables and their manifest, made whole and flushed, then
# put in place by one rename of the link accounts/batch onto it: the tables
# and the manifest appear and disappear together, whatever kills an end when.
# The paths users read (accounts/batch_accounts.csv, ...) are links through
# accounts/batch, there where the generation holds that file. Everything is
# done under the directory's lock, the decision of which tiles are done
# included, so that ends (the batch's own, a follow-up, a report) take turns,
# each from the states as they are when its turn comes; what a dead end left
# is removed by the next.
#
# The batch tables, {name: whether it is a table of zones}: the one list of
# them, which the page and the cleaning read too.
BATCH_TABLES = {facts.BATCH_ACCOUNTS: False, facts.BATCH_ZONE_ACCOUNTS: True, facts.BATCH_FOREST: False,
                facts.BATCH_ZONE_FOREST: True}
# Those of them made only for a batch run with --forest.
BATCH_FOREST_TABLES = (facts.BATCH_FOREST, facts.BATCH_ZONE_FOREST)
PUBLISHED = tuple(BATCH_TABLES) + (facts.BATCH_ACCOUNTS_MANIFEST,)
CURRENT = "batch"
GENERATION = "batch-"
_GENERATION_NAME = re.compile(r"batch-[A-Za-z0-9._-]+")
TEMPORARY = ".tmp-"


def tables_of(req):
    """The batch tables REQ's sums make, in order."""
    return [name for name, zoned in BATCH_TABLES.items()
            if (req.zones or not zoned) and (req.forest or name not in BATCH_FOREST_TABLES)]


def unique_token():
    """A part of a name that no other end makes, on this host or another
    sharing the directory (a Slurm follow-up and a report on a login node),
    nor in another container whose processes have the same pids: the host,
    the pid and a random token."""
    host = re.sub(r"[^A-Za-z0-9.-]", "_", socket.gethostname())[:40] or "host"
    return "%s-%d-%s" % (host, os.getpid(), secrets.token_hex(8))


def current_generation(here):
    """The name of the generation accounts/batch leads to, or None."""
    try:
        target = os.readlink(os.path.join(here, CURRENT))
    except OSError:
        return None
    return target if _GENERATION_NAME.fullmatch(target) else None


def published_dir(here):
    """The directory of the publication in place: its generation's, or HERE
    itself where the tables were put in place before generations (a manifest
    file of its own there), or None."""
    generation = current_generation(here)
    if generation is not None:
        return os.path.join(here, generation)
    manifest = os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST)
    return here if os.path.isfile(manifest) and not os.path.islink(manifest) else None


def is_temporary(name):
    """Whether NAME is a temporary name an end gives the batch's files: never
    a tile's table (which ends in _accounts.csv), nor one of tile_accounts'
    temporary names (which begin with .tmp-)."""
    return (any(name.startswith(p + TEMPORARY) for p in PUBLISHED + (CURRENT,))
            and not name.endswith(".csv"))


def _remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


def remove_leftovers(here, keep):
    """Under the lock, so no end is at work: the generations other than KEEP
    (replaced since, or never put in place by an end that died), temporary
    names of dead ends, and whatever lies at accounts/batch that is not a
    link."""
    with os.scandir(here) as entries:
        found = list(entries)
    for entry in found:
        if entry.name == CURRENT:
            if not entry.is_symlink():
                _remove(entry.path)
        elif entry.name.startswith(GENERATION) and entry.is_dir(follow_symlinks=False):
            if entry.name != keep:
                _remove(entry.path)
        elif is_temporary(entry.name):
            _remove(entry.path)


def _flush_directory(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _link(here, name, target):
    """HERE/NAME made a link to TARGET by one rename (a reader finds the old
    one or the new one, never none)."""
    path = os.path.join(here, name)
    if os.path.isdir(path) and not os.path.islink(path):
        _remove(path)  # no file of the batch's: a rename cannot replace it
    temporary = os.path.join(here, "%s%s%s" % (name, TEMPORARY, unique_token()))
    os.symlink(target, temporary)
    try:
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def put_in_place(req, here, generation, reason=None):
    """Under the lock: the manifest written into GENERATION (the tables made
    there, or REASON why there are none), the generation flushed and put in
    place, the published names made to lead into it, and the generation it
    replaced removed. The paths of the tables written."""
    made = os.path.join(here, generation)
    tables = None
    if reason is not None:  # nothing a failed sum may have left goes out with it
        for name in BATCH_TABLES:
            _remove(os.path.join(made, name))
    else:
        tables = {name: file_identity(os.path.join(made, name)) for name in BATCH_TABLES
                  if os.path.lexists(os.path.join(made, name))}
    write_json(os.path.join(made, facts.BATCH_ACCOUNTS_MANIFEST), manifest_of(req, tables, reason))
    _flush_directory(made)
    manifest = os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST)
    if os.path.isfile(manifest) and not os.path.islink(manifest):
        # Tables put in place before generations: gone first, their manifest last.
        for name in PUBLISHED:
            if not os.path.islink(os.path.join(here, name)):
                _remove(os.path.join(here, name))
    _link(here, CURRENT, generation)  # the switch
    # The names follow. A link of a file the generation lacks leads nowhere
    # from the switch on; it is removed after it.
    for name in PUBLISHED:
        path, target = os.path.join(here, name), os.path.join(CURRENT, name)
        if name not in (tables or {}) and name != facts.BATCH_ACCOUNTS_MANIFEST:
            _remove(path)
        elif not (os.path.islink(path) and os.readlink(path) == target):
            _link(here, name, target)
    _flush_directory(here)
    remove_leftovers(here, keep=generation)
    return [os.path.join(here, name) for name in (tables or ())]


def make_generation(here):
    """A new, empty generation's directory in HERE: its name."""
    name = GENERATION + unique_token()
    os.mkdir(os.path.join(here, name), 0o755)
    return name


def publish(req, here, made=None, reason=None):
    """Under the directory's lock: the tables MADE ({table name: a file
    written and flushed in HERE}) put in place as a new generation, or none,
    with REASON. The paths of the tables written."""
    held = lock(here, LOCK, wait=True)
    try:
        remove_leftovers(here, keep=current_generation(here))
        generation = make_generation(here)
        for name, path in (made or {}).items():
            os.replace(path, os.path.join(here, generation, name))
        return put_in_place(req, here, generation, reason)
    finally:
        os.close(held)


def when(ns):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(ns / 1e9)) if type(ns) is int else "an unknown time"


def later_publication(here, req):
    """The manifest in place where it is another batch's, asked for after
    REQ's (a manifest of no known time is older than any; a batch of no known
    time, older than any that has one), else None: a later batch's sums
    stand."""
    where = published_dir(here)
    manifest = read_manifest(where) if where else None
    if manifest is None or manifest["batch"] == req.batch_id or type(manifest.get("started")) is not int:
        return None
    return manifest if req.started is None or req.started < manifest["started"] else None


def table_clash(req):
    """The first tile of REQ whose table would bear a name of the batch's
    own files (tile "batch" writes batch_accounts.csv), as (tile, name), or
    None."""
    for tile, _, _ in req.tiles:
        for name in tile_tables(tile, True, True):
            if name in PUBLISHED or name == CURRENT:
                return tile, name
    return None


def shared_table(tiles):
    """Two tiles of TILES, [(tile, x, y)], one of whose tables bears the name
    of one of the other's (tile x's zone table and tile x_zone's table are
    both x_zone_accounts.csv; a run of x without zones would remove x_zone's
    table), as (tile, tile, name), or None."""
    owner = {}
    for tile, _, _ in tiles:
        for name in tile_tables(tile, True, True):
            if owner.setdefault(name, tile) != tile:
                return owner[name], tile, name
    return None


def build(req, rows, say=None, report=False):
    """The batch tables of REQ: ROWS is a function giving each tile's state
    now (or the states), called once the directory's lock is held, so that
    what is decided is what holds when it is put in place. Written only when
    every tile of the list is done with the accounts REQ asks for, else none
    (and earlier ones removed: they would pass for this batch's). Nothing is
    written for a list no batch ran (a --report with other options), nor
    where a batch asked for later has put its sums in place (they stand).
    0, or 1 where a tile's table is damaged or the tables cannot be made or
    written, or (not on a REPORT) a later batch's sums stand; a tile not done
    fails nothing here (it counts already)."""
    here, say = req.accounts_dir, say or sys.stdout
    if not req.ran:
        print("accounts: no batch ran this list with these options into %s: its tables are left as they are"
              % printable(req.output_dir), file=say)
        return 0
    clash = table_clash(req)
    if clash:
        print("accounts: the table of tile %s would be named %s, as a file of the batch's own: no batch tables"
              % (printable(clash[0]), clash[1]), file=sys.stderr)
        return 1
    generation = held = None
    try:
        own_directory(here)
        held = lock(here, LOCK, wait=True)
        remove_leftovers(here, keep=current_generation(here))
        later = later_publication(here, req)
        if later is not None:
            print("accounts: %s holds the sums of batch %s, asked for at %s, after this one (%s): they are left "
                  "as they are, none written for this one" % (printable(here), printable(later["batch"]),
                                                               when(later["started"]), when(req.started)),
                  file=say if report else sys.stderr)
            return 0 if report else 1
        generation = make_generation(here)
        status, reason, done = sum_into(req, here, generation, rows() if callable(rows) else rows, say)
        written = put_in_place(req, here, generation, reason)
        generation = None
    except OSError as e:
        print("accounts: the batch tables cannot be written: %s"
              % printable("%s: %s" % (e.filename, e.strerror) if e.filename else e), file=sys.stderr)
        return 1
    finally:
        if generation is not None and current_generation(here) != generation:  # stopped before the switch
            _remove(os.path.join(here, generation))
        if held is not None:
            os.close(held)
    if reason is not None:
        return status
    print("accounts: the sums of %d tiles: %s" % (done, ", ".join(printable(p) for p in written)), file=say)
    if req.zones and zones_identity(req.zones) != req.zones_identity:
        # --report OUTPUT_DIR reports the batch as it ran: its tables are of
        # the zones as they were then, which the user must hear of here too.
        print("accounts: warning: the zones file %s has changed since the batch started: these sums are of the "
              "zones as they were then (--resume with the same options counts the new ones)" % printable(req.zones),
              file=say)
    return 0


def sum_into(req, here, generation, rows, say):
    """The sums of the tiles of ROWS made in GENERATION where every tile is
    done: (status, the reason there are no tables or None, the tiles
    summed), each failure said."""
    done = [(r.tile, r.accounts) for r in rows if r.accounts is not None and r.state is State.DONE]
    if len(done) < len(req.tiles):
        reason = "%d of %d tiles have no accounts of this request" % (len(req.tiles) - len(done), len(req.tiles))
        print("accounts: %s: no batch tables" % reason, file=say)
        return 0, reason, 0
    names = tables_of(req)
    try:
        damaged = run_sums(req, here, done, {name: os.path.join(here, generation, name) for name in names})
    except SumFailure as e:
        print("accounts: %s: no batch tables" % printable(e), file=sys.stderr)
        return 1, "the sums could not be made: %s" % e, 0
    if damaged:
        for tile, why in damaged[:MAX_SHOWN]:
            print("accounts: the table of tile %s is damaged: %s" % (printable(tile), printable(why)),
                  file=sys.stderr)
        print("accounts: %d tile(s) with a damaged table: no batch tables" % len(damaged), file=sys.stderr)
        return 1, "the accounts table of %d tile(s) is damaged" % len(damaged), 0
    return 0, None, len(done)


# ---- what the batch page shows -----------------------------------------------
_MANIFEST_TYPES = {"batch": str, "tiles": int, "tiles_sha256": str, "last_year": int, "thresholds": str,
                   "written": str}


def read_manifest(here):
    """The manifest in HERE, each field checked for its type, or None."""
    value = read_json(os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST))
    if value is None or not all(type(value.get(k)) is kind for k, kind in _MANIFEST_TYPES.items()):
        return None
    optional = {"zones": str, "zone_field": str, "zone_layer": str, "zones_identity": list, "tables": dict,
                "reason": str, "forest": dict}
    if not all(value.get(k) is None or isinstance(value[k], kind) for k, kind in optional.items()):
        return None
    return value


def read_batch_table(path, identity, zoned, columns=None):
    """[{column: text}] of a batch table, where it is the file IDENTITY
    names and reads as one (a header, then whole rows of COLUMNS, the cover
    table's unless given); else why not."""
    columns = list(columns or batch_columns(zoned))
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
    for _ in range(3):
        where = published_dir(here)
        view = view_of(req, where)
        # A generation replaced while it was read (and removed by the end
        # that replaced it) is read again where the link now leads.
        if where is None or where == here or current_generation(here) == os.path.basename(where):
            break
    return view


def of_this_batch(req, manifest):
    """Whether MANIFEST says its tables are those of REQ: its batch (and when
    it was asked for, where the manifest says), list, last year, thresholds
    and zones."""
    expected = manifest_of(req)
    return all(manifest.get(k) == v for k, v in expected.items()
               if k not in ("written", "tables", "reason", "note") and (k != "started" or "started" in manifest))


def view_of(req, where):
    """page_view() of the publication in the directory WHERE (None: none)."""
    manifest = read_manifest(where) if where is not None else None
    view = {"manifest": manifest, "of_this_batch": False, "zones_changed": None, "tables": False, "rows": [],
            "zone_rows": None, "reason": None, "forest": None, "forest_rows": None, "zone_forest_rows": None,
            "forest_reason": None}
    if manifest is None:
        view["reason"] = ("the accounts of the batch have not been summed (they are summed at its end, when every "
                          "tile is done)")
        return view
    view["of_this_batch"] = of_this_batch(req, manifest)
    view["forest"] = manifest.get("forest")
    if manifest["zones"] is not None:
        view["zones_changed"] = zones_identity(manifest["zones"]) != manifest["zones_identity"]
    if manifest["tables"] is None:
        view["reason"] = manifest["reason"] or "no batch tables were written"
        return view
    zoned = manifest["zones"] is not None
    found = {}
    for name, is_zoned in BATCH_TABLES.items():
        if (is_zoned and not zoned) or name in BATCH_FOREST_TABLES:
            continue
        rows = read_batch_table(os.path.join(where, name), manifest["tables"].get(name), is_zoned)
        if isinstance(rows, str):
            view["reason"] = "the batch tables are not those written with the manifest: %s" % rows
            return view
        found[name] = rows
    view["tables"], view["rows"] = True, found[facts.BATCH_ACCOUNTS]
    view["zone_rows"] = found.get(facts.BATCH_ZONE_ACCOUNTS)
    if view["forest"] is not None:
        view["forest_rows"], view["zone_forest_rows"], view["forest_reason"] = forest_tables(where, manifest, zoned)
    return view


# The forest tables of a batch run with --forest, {name: (whether of zones,
# columns)}: read beside the cover's, each strictly with its own columns.
FOREST_TABLES = {facts.BATCH_FOREST: (False, facts.FOREST_COLUMNS[1:]),
                 facts.BATCH_ZONE_FOREST: (True, facts.ZONE_FOREST_COLUMNS[1:])}


def forest_tables(where, manifest, zoned):
    """(rows, zone rows or None, None) of the forest tables the manifest in
    WHERE lists, or (None, None, why not): each must be the file the
    manifest names, and read as its table."""
    found = {}
    for name, (is_zoned, columns) in FOREST_TABLES.items():
        if is_zoned and not zoned:
            continue
        rows = read_batch_table(os.path.join(where, name), manifest["tables"].get(name), is_zoned, columns)
        if isinstance(rows, str):
            return None, None, "the forest tables are not those written with the manifest: %s" % rows
        found[name] = rows
    return found[facts.BATCH_FOREST], found.get(facts.BATCH_ZONE_FOREST), None
