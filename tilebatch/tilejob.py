#!/usr/bin/env python3
"""The job of one tile: runs process_tile (and, once it has succeeded,
tile_accounts and tile_quality) and writes the tile's record when it ends.

It is the body of every Slurm array task and of every GNU parallel job. sbatch
runs a copy of this file from slurmd's spool directory, and a job over ssh
runs it on another host, so it imports nothing but the standard library and
is handed every path as an absolute argument. The batch package imports the
record format from here, so the writer and the readers cannot drift apart.

A tile's files live in LOGS/tiles/<tile>/, a directory of its own, so that no
tile's files can share a name with another tile's or with the batch's:
  job.json     which job is to run the tile (written when it is submitted, and
               again when it starts); a record of another job is not this
               job's outcome
  record.json  what the tile was run with and how it ended, written once the
               job has ended, atomically
  out, err     process_tile's standard output (its one-line failure message)
               and standard error; accounts.err and quality.err what
               tile_accounts and tile_quality printed
"""
import argparse
import contextlib
import csv
import functools
import hashlib
import json
import os
import socket
import stat
import subprocess
import sys
import time
import unicodedata
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, fields

RECORD = "record.json"
MARK = "job.json"
PRODUCTS = ("TCC", "TCH", "Loss")
FIRST_PRODUCT_YEAR = 2000
# The job ids of a local batch: local-<batch id>-<line of the batch's tile TSV>.
LOCAL_PREFIX = "local-"
# The region's pictures are drawn from a reduced copy of each tile's last
# year: its three products averaged 22 x 22 into one small GeoTIFF of 182 x
# 182 floats a band (the tile's 4004 pixels divide evenly), with overviews
# down to 12 x 12, so that a picture of 20,000 tiles reads some 100 KB a tile
# instead of 48 MB. The products themselves are only read.
REDUCED_DIR = "reduced"
REDUCED_PIXELS = 182
REDUCED_SECONDS = 600
# A tile TSV (the list a Slurm task or GNU parallel reads its tile from):
# tab-separated, one tile a line, nothing quoted or escaped.
TILE_TSV = {"delimiter": "\t", "quoting": csv.QUOTE_NONE, "quotechar": None, "lineterminator": "\n"}
MAX_READ = 1 << 20  # no log file of ours is larger; a bigger one is not ours
# A file name holds 255 bytes; a tile's longest, its private directory while
# it writes, takes some 40 besides the id.
MAX_ID_BYTES = 200
# GDAL's block cache of a tile_accounts run, set rather than left to 5 % of
# the node's memory: the batch plans the run's memory with it.
ACCOUNTS_GDAL_CACHE_MIB = 64
# The files beside a shapefile that hold its attributes, index, projection
# and encoding: a zone renamed in the .dbf leaves the .shp as it was.
SHAPEFILE_PARTS = (".shx", ".dbf", ".prj", ".cpg")


def printable(text):
    """Text safe to print on a terminal or into a report: control, format and
    separator characters (an escape sequence, a right-to-left override, a line
    separator) are shown escaped, so that what is printed is what is there."""
    out = []
    for ch in str(text):
        if "\udc80" <= ch <= "\udcff":  # a byte that is not UTF-8, as read from a file name or list
            out.append("\\x%02x" % (ord(ch) - 0xDC00))
        elif ch == "\\" or unicodedata.category(ch) in ("Cc", "Cf", "Zl", "Zp", "Cs", "Co", "Cn"):
            out.append(ch.encode("unicode_escape").decode("ascii") if ch != "\\" else "\\\\")
        else:
            out.append(ch)
    return "".join(out)


def check_tile_id(tile):
    """None when a tile id can name files, else why not."""
    if tile in ("", ".", ".."):
        return "tile id %r names no file of its own" % tile
    if "/" in tile:
        return "tile id %s contains /" % printable(tile)
    if any(unicodedata.category(c) == "Cc" for c in tile):
        return "tile id %s contains a control character" % printable(tile)
    if len(tile.encode("utf-8", "surrogateescape")) > MAX_ID_BYTES:
        return "tile id %s... is longer than %d bytes: its files could not be named" % (printable(tile[:40]), MAX_ID_BYTES)
    return None


def tile_dir(logs, tile, make=False):
    """The tile's own directory of logs. With MAKE it is made where missing,
    as is LOGS/tiles, each as a directory of the batch's own: a link there
    (which would lead the tile's files elsewhere) is removed first."""
    path = os.path.join(logs, "tiles", tile)
    if make:
        for directory in (os.path.dirname(path), path):
            if os.path.islink(directory):
                os.unlink(directory)
            os.makedirs(directory, exist_ok=True)
            if os.path.islink(directory) or not os.path.isdir(directory):
                raise OSError("%s is not a directory" % printable(directory))
    return path


def read_regular(path, limit=MAX_READ, follow=False):
    """The text of a regular file, or None: a FIFO, device or directory under
    a log file's name is never opened for reading (it could block forever),
    and a log file's link is not followed (FOLLOW: a user's own file may be
    a link)."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | (0 if follow else os.O_NOFOLLOW)
    try:
        fd = os.open(path, flags)
    except OSError:
        return None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or info.st_size > limit:
            return None
        return os.read(fd, limit + 1).decode("utf-8", "surrogateescape")
    except OSError:
        return None
    finally:
        os.close(fd)


def read_json(path):
    """The object a JSON file holds, or None (no file, or not an object)."""
    try:
        value = json.loads(read_regular(path) or "")
    except (ValueError, RecursionError):  # not JSON, or nested deeper than the parser's stack
        return None
    return value if isinstance(value, dict) else None


def write_text(path, text, durable=True):
    """Writes TEXT to PATH atomically: a reader sees the old file or the new
    one, never a part; a kill leaves at most a temporary name behind. An
    OSError names PATH, whichever step failed (a full disk fails the write
    of the temporary name, or only its flush). DURABLE: on disk before the
    rename, so that a power cut leaves the old file or the new one whole."""
    temporary = "%s.tmp-%d" % (path, os.getpid())
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        with open(fd, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(text)
            f.flush()
            if durable:
                os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException as e:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(e, OSError):
            raise OSError(e.errno, e.strerror or str(e), path) from e
        raise


def write_json(path, value, durable=True):
    write_text(path, json.dumps(value, sort_keys=True) + "\n", durable)


def own_directory(path):
    """PATH, made where missing as a directory of its own: a link there
    (which would lead what is written into it elsewhere) is removed first."""
    if os.path.islink(path):
        with contextlib.suppress(FileNotFoundError):  # another job of the batch may remove it first
            os.unlink(path)
    os.makedirs(path, exist_ok=True)
    if os.path.islink(path) or not os.path.isdir(path):
        raise OSError("%s is not a directory" % printable(path))
    return path


def fresh_file(path):
    """PATH, made anew as an empty regular file of this job's: whatever lay
    there (a FIFO would block the job, a link lead elsewhere) is removed."""
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)
    os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644))
    return path


# ---- the record and the job mark ---------------------------------------------
# Both are JSON objects in the tile's directory, read back by the batch (the
# report, --resume, the region): these types are their one definition. A file
# is read field by field, each checked for its type, so that a record cut
# short, edited by hand or written by an older or a newer version says what
# it can: JSON's false is no exit status (Python would take it for 0), and
# Infinity or true is no figure.
def _text(value):
    return value if isinstance(value, str) else None


FIGURE_LIMIT = 2 ** 63


def _whole(value):
    return value if type(value) is int else None


def _figure(value, kinds=(int, float)):
    """A measured figure: a number from 0 to 2**63 (no clock or memory
    counter goes past it; a larger one, or 10**400 written out, is no
    measurement, and their sums would overflow)."""
    fits = isinstance(value, kinds) and not isinstance(value, bool) and 0 <= value <= FIGURE_LIMIT
    return value if fits else None


def _origin(value):
    """An origin as the list wrote it ("-60", "1e1"), or as a number where a
    hand wrote one; compared as the number process_tile reads."""
    return value if isinstance(value, str) or (isinstance(value, (int, float)) and not isinstance(value, bool)) else None


@dataclass(frozen=True)
class TileRun:
    """What a run of one tile is: the tile and the arguments its job hands
    process_tile. A record or a mark answers a request only when its run is
    the one asked for now."""
    tile: str
    last_year: int
    origin_x: str
    origin_y: str
    input_dir: str
    output_dir: str
    datamask_dir: str
    wetland_dir: str

    def answers(self, asked):
        """The same run as ASKED: the origins compared as the numbers
        process_tile reads ("-60.0" is -60), everything else as written."""
        try:
            same_origin = all(float(getattr(self, k)) == float(getattr(asked, k)) for k in ("origin_x", "origin_y"))
        except (TypeError, ValueError, OverflowError):  # not a number, or a whole number past any float
            return False
        return same_origin and all(getattr(self, f.name) == getattr(asked, f.name) for f in fields(self)
                                   if not f.name.startswith("origin_"))

    def to_json(self):
        return {f.name: getattr(self, f.name) for f in fields(self)}

    @classmethod
    def from_json(cls, value):
        # A last year of another type is kept as written: it answers no request, and says what it was.
        year = value.get("last_year")
        return cls(tile=_text(value.get("tile")), last_year=year if isinstance(year, (int, str)) and
                   not isinstance(year, bool) and len(str(year)) <= 20 else None,
                   origin_x=_origin(value.get("origin_x")), origin_y=_origin(value.get("origin_y")),
                   **{k: _text(value.get(k)) for k in ("input_dir", "output_dir", "datamask_dir", "wetland_dir")})


class Unreadable(ValueError):
    """A file under a record's or a mark's name that holds none: not JSON, not
    an object, or no job's id."""


def _identities(value):
    """{file name: [size, mtime_ns, inode], or None where the job found no
    such file} as a record holds it, or None where it is no such mapping. An
    entry of another shape is kept: it matches no file, so its product reads
    as changed (checking 63 entries of 20,000 records here would cost the
    report more than that)."""
    return value if isinstance(value, dict) else None


class _OfAJob:
    """What a job mark and a record share: the job they are of, and their
    JSON form. OPTIONAL names the fields left out while unset."""
    OPTIONAL = ()

    @property
    def identity(self):
        """What tells one job of a tile from every other: the scheduler's id,
        the batch that handed the tile over (Slurm may give a later task an
        earlier task's id: after its state is lost, or ids wrap) and how often
        Slurm restarted the task (a requeued task keeps its id)."""
        return self.job, self.batch, self.restart or 0

    def to_json(self):
        return _flat(self, self.OPTIONAL)


def _flat(item, optional):
    """The JSON object of a mark or a record: its run's fields beside its
    own, those named in OPTIONAL left out while unset (files written before
    they existed lack them too)."""
    value = item.run.to_json()
    for f in fields(item):
        if f.name != "run" and not (f.name in optional and getattr(item, f.name) is None):
            value[f.name] = getattr(item, f.name)
    return value


def _job_of(value):
    if not isinstance(value, dict) or not isinstance(value.get("job"), str):
        raise Unreadable("not a record of a job")
    return value["job"]


@dataclass
class JobMark(_OfAJob):
    """job.json: which job is to run the tile, written when the job is
    submitted (STARTED false) and again when it starts, with its host. A
    record of another job is not this job's outcome."""
    run: TileRun
    job: str
    started: bool
    host: str = None
    batch: str = None
    restart: int = None
    OPTIONAL = ("host", "batch", "restart")

    @classmethod
    def from_json(cls, value):
        job = _job_of(value)
        return cls(run=TileRun.from_json(value), job=job, started=value.get("started") is True,
                   host=_text(value.get("host")), batch=_text(value.get("batch")), restart=_whole(value.get("restart")))


# A record's fields of the accounts, left out of the records of runs without
# them (and missing from records written before them).
ACCOUNTS_FIELDS = ("tile_accounts", "accounts_dir", "thresholds", "zones", "zone_field", "zone_layer",
                   "zones_identity", "accounts_status", "accounts_message", "accounts_tables", "accounts_part",
                   "forest", "connectivity")


@dataclass
class TileRecord(_OfAJob):
    """record.json: what the tile was run with and how it ended, written
    once its job has ended. STATUS is process_tile's exit status (128 + N
    when killed by signal N), or tile_quality's where the quality run
    failed; QUALITY_STATUS None where no quality run was asked or reached;
    REDUCED whether the region's reduced copy was made (None: not tried);
    PRODUCTS the identity of each product as the job saw it when
    process_tile had succeeded ({name: [size, mtime_ns, inode]}; None in a
    record of an earlier version, or of a run that failed). With accounts:
    what tile_accounts was run with (ACCOUNTS_DIR None: no accounts asked;
    ZONES_IDENTITY the zones file's, zones_identity(), as the run found it),
    its exit status and message (ACCOUNTS_STATUS None where it was not
    reached), ACCOUNTS_TABLES, the identity of each table it wrote, taken
    as it ended, and ACCOUNTS_PART the part of the tile it counted (the
    --part bands; None: the whole tile) where tiles of the list overlap.
    FOREST and CONNECTIVITY: the forest definition its accounts counted
    (--forest, as the batch writes it) and the neighbours its patches join
    through; None where no forest was asked."""
    run: TileRun
    job: str
    host: str = None
    process_tile: str = None
    tile_quality: str = None
    quality_dir: str = None
    status: int = None
    message: str = ""
    wall_s: float = None
    peak_kib: int = None
    quality_status: int = None
    quality_message: str = ""
    reduced: bool = None
    ended: str = None
    batch: str = None
    restart: int = None
    products: dict = None
    started: str = None  # when process_tile started: inputs changed since are newer than the run
    tile_accounts: str = None
    accounts_dir: str = None
    thresholds: str = None
    zones: str = None
    zone_field: str = None
    zone_layer: str = None
    zones_identity: list = None
    accounts_status: int = None
    accounts_message: str = None
    accounts_tables: dict = None
    accounts_part: str = None
    # The SHA-256 of each table's bytes as its run ended, beside their
    # identities: a table rewritten in place with its size, inode and time
    # put back keeps its identity, not its digest. Records written before
    # the digests hold none (records.tables_to_sum).
    accounts_sha256: dict = None
    forest: str = None
    connectivity: int = None
    OPTIONAL = ("reduced", "ended", "batch", "restart", "products", "started") + ACCOUNTS_FIELDS + ("accounts_sha256",)

    @classmethod
    def from_json(cls, value):
        job = _job_of(value)
        return cls(run=TileRun.from_json(value), job=job, host=_text(value.get("host")),
                   process_tile=_text(value.get("process_tile")), tile_quality=_text(value.get("tile_quality")),
                   quality_dir=_text(value.get("quality_dir")), status=_whole(value.get("status")),
                   message=_text(value.get("message")) or "", wall_s=_figure(value.get("wall_s")),
                   peak_kib=_figure(value.get("peak_kib"), int), quality_status=_whole(value.get("quality_status")),
                   quality_message=_text(value.get("quality_message")) or "",
                   reduced=value.get("reduced") if isinstance(value.get("reduced"), bool) else None,
                   ended=_text(value.get("ended")), batch=_text(value.get("batch")),
                   restart=_whole(value.get("restart")), products=_identities(value.get("products")),
                   started=_text(value.get("started")),
                   **{k: _text(value.get(k)) for k in ("tile_accounts", "accounts_dir", "thresholds", "zones",
                                                       "zone_field", "zone_layer", "accounts_message",
                                                       "accounts_part", "forest")},
                   connectivity=_whole(value.get("connectivity")),
                   zones_identity=value.get("zones_identity") if isinstance(value.get("zones_identity"), list) else None,
                   accounts_status=_whole(value.get("accounts_status")),
                   accounts_tables=_identities(value.get("accounts_tables")),
                   accounts_sha256=_identities(value.get("accounts_sha256")))


def read_typed(path, kind):
    """The record or mark of KIND at PATH: None where there is no file,
    Unreadable where one is there but holds none (cut short, not a file, no
    job)."""
    if not os.path.lexists(path):
        return None
    value = read_json(path)
    if value is None:
        raise Unreadable("%s does not read" % printable(path))
    return kind.from_json(value)


def file_identity(path):
    """[size, modification time in ns, inode] of the file at PATH as it is
    now, or None where there is none: what tells a product (or an input) from
    one written or put back later, without reading it."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    return [info.st_size, info.st_mtime_ns, info.st_ino]


# No tile's accounts table comes near this (sum_accounts refuses larger ones).
MAX_TABLE_BYTES = 256 << 20


def table_fingerprint(path):
    """(file_identity, SHA-256 of the bytes as 64 hex digits) of the table at
    PATH, both of one open file and the digest of the bytes read: (None,
    None) where there is no file, (identity, None) where it is no regular
    file, cannot be read, is larger than MAX_TABLE_BYTES or changed while
    read (a FIFO under its name is never waited on)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return file_identity(path), None
    with open(fd, "rb", buffering=0) as f:
        info = os.fstat(fd)
        identity = [info.st_size, info.st_mtime_ns, info.st_ino]
        if not stat.S_ISREG(info.st_mode) or info.st_size > MAX_TABLE_BYTES:
            return identity, None
        digest, read = hashlib.sha256(), 0
        try:
            while read <= MAX_TABLE_BYTES:
                chunk = f.read(1 << 20)
                if not chunk:
                    break
                digest.update(chunk)
                read += len(chunk)
            info = os.fstat(fd)
        except OSError:
            return identity, None
        if read != identity[0] or [info.st_size, info.st_mtime_ns, info.st_ino] != identity:
            return identity, None
    return identity, digest.hexdigest()


def zones_identity(path):
    """What tells a zones file from one written or put back later: the
    file_identity of the file, and for a shapefile those of the files beside
    it that hold its attributes, index, projection and encoding (each None
    where missing). None where the file itself is missing."""
    own = file_identity(path)
    if own is None:
        return None
    stem, suffix = os.path.splitext(path)
    parts = []
    if suffix.lower() == ".shp":
        for part in SHAPEFILE_PARTS:
            # As GDAL looks for them: the suffix in the .shp's case, or in the other.
            found = file_identity(stem + (part if suffix == ".shp" else part.upper()))
            parts.append(found or file_identity(stem + (part.upper() if suffix == ".shp" else part)))
    return [own] + parts


def accounts_tables(tile, zones, forest=None):
    """The tables a tile_accounts run writes for TILE: with ZONES, the zone
    table too; with a FOREST definition, the forest tables (the zones' with
    ZONES) and what the tile's patches leave undecided at its part's edge,
    which the batch's end joins across tiles (--forest-edges)."""
    names = [tile + "_accounts.csv"] + ([tile + "_zone_accounts.csv"] if zones else [])
    if forest:
        names += [tile + "_forest.csv"] + ([tile + "_zone_forest.csv"] if zones else []) + [tile + "_forest_edges.txt"]
    return names


def accounts_command(a, tile):
    """tile_accounts as a tile's job runs it: its options, then "--" and the
    five positionals (a tile id may begin with '-')."""
    options = ["--thresholds", a.thresholds]
    if a.part:  # where tiles of the list overlap, the pixels this tile counts
        options += ["--part", a.part]
    if a.zones:
        options += ["--zones", a.zones]
        options += ["--zone-field", a.zone_field] if a.zone_field is not None else []
        options += ["--zone-layer", a.zone_layer] if a.zone_layer is not None else []
    if a.forest:
        options += ["--forest", a.forest, "--connectivity", str(a.connectivity), "--forest-edges"]
    return [a.tile_accounts] + options + ["--", tile, str(a.last_year), a.output_dir, a.datamask_dir, a.accounts_dir]


def run_accounts(a, tile, record, log):
    """tile_accounts on the tile whose products are written, its outcome
    into RECORD: its status and message, and the identity and SHA-256 of
    each table it wrote, taken as it ended. A zones file that changed while
    it ran, or a table it did not leave whole, fails it: the tables are then
    of no one file."""
    record.zones_identity = zones_identity(a.zones) if a.zones else None
    if a.zones and record.zones_identity is None:
        status, message = 1, "the zones file %s is not there" % printable(a.zones)
        write_text(log, message + "\n")
    else:
        try:
            own_directory(a.accounts_dir)
            made = None
        except OSError as e:  # a file under its name, a full disk
            made = "the accounts directory %s cannot be made: %s" % (printable(a.accounts_dir), e.strerror or e)
        if made:
            status, message = 1, made
            write_text(log, message + "\n")
        else:
            env = dict(os.environ, GDAL_CACHEMAX=str(ACCOUNTS_GDAL_CACHE_MIB), GDAL_PAM_ENABLED="NO")
            status, _, _, message = run_logged(accounts_command(a, tile), log, log, env=env)
    names = accounts_tables(tile, a.zones, a.forest)
    if status == 0:
        taken = {name: table_fingerprint(os.path.join(a.accounts_dir, name)) for name in names}
        record.accounts_tables = {name: identity for name, (identity, _) in taken.items()}
        record.accounts_sha256 = {name: digest for name, (_, digest) in taken.items()}
        missing = [name for name, found in record.accounts_tables.items() if found is None]
        unread = [name for name, (identity, digest) in taken.items() if identity is not None and digest is None]
        if missing:
            status, message = 1, "tile_accounts ended with 0 but wrote no %s" % printable(missing[0])
        elif unread:
            status, message = 1, "tile_accounts ended with 0 but its %s does not read back whole" % printable(unread[0])
        elif a.zones and zones_identity(a.zones) != record.zones_identity:
            status, message = 1, "the zones file %s changed while tile_accounts read it" % printable(a.zones)
    record.accounts_status, record.accounts_message = status, message if status else ""
    return status


def request_of(shared, tile, x, y):
    """The run of one tile, as its job mark and record keep it, for telling
    whether a record answers the request now made. SHARED holds what every
    tile of the batch shares: the job's arguments, or the batch."""
    return TileRun(tile=tile, last_year=shared.last_year, origin_x=x, origin_y=y, input_dir=shared.input_dir,
                   output_dir=shared.output_dir, datamask_dir=shared.datamask_dir, wetland_dir=shared.wetland_dir)


def run_logged(command, out_path, err_path, env=None):
    """Runs COMMAND with its standard output and error into the two files
    (one when the same). Its exit status (128 + N when killed by signal N),
    wall seconds, peak resident memory in KiB (exact, from its wait status)
    and its message: the first line it printed on OUT_PATH, or with one log
    the last (tile_quality's message follows GDAL's chatter)."""
    started, peak = time.monotonic(), None
    with contextlib.ExitStack() as files:
        # One log is one open file: two descriptors of it would each write at
        # their own offset, over each other's lines.
        out = files.enter_context(open(fresh_file(out_path), "ab"))
        err = out if err_path == out_path else files.enter_context(open(fresh_file(err_path), "ab"))
        try:
            child = subprocess.Popen(command, stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=env)
            _, wait_status, usage = os.wait4(child.pid, 0)
            child.returncode, peak = 0, usage.ru_maxrss  # reaped here: Popen must not wait again
            code = os.waitstatus_to_exitcode(wait_status)
            status = 128 - code if code < 0 else code
        except OSError as e:
            status = 127
            err.write(("%s cannot be run: %s\n" % (command[0], e.strerror)).encode())
    lines = [line for line in (read_regular(out_path) or "").splitlines() if line.strip()]
    message = (lines[-1] if err_path == out_path else lines[0]) if lines else ""
    if status > 128:
        message = message or "(killed by signal %d)" % (status - 128)
    return status, time.monotonic() - started, peak, message


def run_tile(a, tile, x, y, job):
    here = tile_dir(a.logs, tile, make=True)
    run = request_of(a, tile, x, y)
    host = socket.gethostname()
    restart = os.environ.get("SLURM_RESTART_COUNT", "")
    restart = int(restart) if restart.isascii() and restart.isdigit() and a.slurm_list else None
    write_json(os.path.join(here, MARK), JobMark(run, job, started=True, host=host, batch=a.batch,
                                                 restart=restart).to_json())
    arguments = [tile, str(a.last_year), a.input_dir, a.output_dir, x, y, a.datamask_dir, a.wetland_dir]
    started = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    status, wall, peak, message = run_logged([a.process_tile] + arguments, os.path.join(here, "out"),
                                             os.path.join(here, "err"))
    record = TileRecord(run, job, host=host, process_tile=a.process_tile, tile_quality=a.tile_quality,
                        quality_dir=a.quality_dir, status=status, message=message, wall_s=round(wall, 3),
                        peak_kib=peak, batch=a.batch, restart=restart, started=started)
    if a.tile_accounts:
        record.tile_accounts, record.accounts_dir, record.thresholds = a.tile_accounts, a.accounts_dir, a.thresholds
        record.zones, record.zone_field, record.zone_layer = a.zones, a.zone_field, a.zone_layer
        record.accounts_part = a.part
        if a.forest:
            record.forest, record.connectivity = a.forest, a.connectivity
    if status == 0:  # the products as this run left them: a later change of any undoes the tile
        record.products = {name: file_identity(os.path.join(a.output_dir, name))
                           for name in product_names(tile, a.last_year)}
    if not a.quiet:  # into Slurm's log of the task
        print("tile %s: exit status %d%s" % (printable(tile), status, ": " + printable(message) if message else ""))
    accounts = 0
    if status == 0 and a.tile_accounts:
        # First, while the products of every year are fresh in the page cache.
        accounts = run_accounts(a, tile, record, os.path.join(here, "accounts.err"))
        if not a.quiet:
            print("tile %s: tile_accounts exit status %d" % (printable(tile), accounts))
            if accounts:
                print(printable(record.accounts_message))
    if status == 0 and a.reduced:
        # While the products are fresh in the page cache. A copy that cannot
        # be made fails nothing: the region makes it again from the products.
        why = make_reduced(a.output_dir, a.last_year, tile)
        record.reduced = why is None
        if why and not a.quiet:
            print("tile %s: no reduced copy for the region: %s" % (printable(tile), printable(why)))
    if status == 0 and a.tile_quality:
        log = os.path.join(here, "quality.err")
        status, _, _, message = run_logged([a.tile_quality] + arguments[:3] + [a.quality_dir] + arguments[4:], log, log)
        record.quality_status, record.quality_message = status, message if status else ""
        if not a.quiet:
            print("tile %s: tile_quality exit status %d" % (printable(tile), status))
            if status:
                print("tile_quality: " + printable(message))
    record.ended = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    write_json(os.path.join(here, RECORD), record.to_json())
    return status or accounts


def product_name(product, year, tile):
    """A product's file name, as process_tile writes it."""
    return "%s_%d_%s.img" % (product, year, tile)


def product_names(tile, last_year):
    """The products of a run of TILE up to LAST_YEAR, in the order it writes them."""
    return [prefix + tile + ".img" for prefix in _product_prefixes(last_year)]


@functools.lru_cache(maxsize=8)
def _product_prefixes(last_year):
    # A report names 63 products for each of 20,000 tiles: made once a year.
    return tuple(product_name(p, y, "")[:-len(".img")] for y in range(FIRST_PRODUCT_YEAR, last_year + 1)
                 for p in PRODUCTS)


def product_path(output_dir, product, year, tile):
    return os.path.join(output_dir, product_name(product, year, tile))


def reduced_path(output_dir, year, tile):
    return os.path.join(output_dir, REDUCED_DIR, "Reduced_%d_%s.tif" % (year, tile))


# A reduced copy holds, in its GDAL metadata under this name, the identities
# (file_identity: size, time, inode) of the three products it was made from,
# TCC, TCH and Loss: it counts only while its tile's products are those same
# files. A time alone does not tell: products put back with cp -p or rsync -a
# carry older times, and a copy made while a run rewrote them is newer than
# what it was made of. Integers only, so that no XML escaping (GDAL applies
# it twice) stands between the writer and the reader below.
REDUCED_KEY = "TILEBATCH_PRODUCTS"
GDAL_METADATA_TAG = 42112  # the TIFF tag in which GDAL keeps a GeoTIFF's metadata, as XML
MAX_METADATA = 1 << 16
MAX_TIFF_ENTRIES = 4096


def products_identity(output_dir, year, tile):
    """[file_identity] of the tile's TCC, TCH and Loss of YEAR now, or the
    path of one that is missing."""
    paths = [product_path(output_dir, p, year, tile) for p in PRODUCTS]
    found = [file_identity(path) for path in paths]
    return found if None not in found else paths[found.index(None)]


def tiff_metadata(path):
    """The text of the GDAL_METADATA tag in the first directory of the
    classic TIFF at PATH (read here, in microseconds, where gdalinfo takes
    some 50 ms a file), or None: no regular file, no classic TIFF, no such
    tag, or anything that does not read as one."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)  # a FIFO must not block
    except OSError:
        return None
    try:
        with open(fd, "rb") as f:
            if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
                return None
            head = f.read(8)
            order = {b"II*\0": "little", b"MM\0*": "big"}.get(head[:4])
            if order is None or len(head) < 8:  # BigTIFF and anything else
                return None
            f.seek(int.from_bytes(head[4:8], order))
            count = int.from_bytes(f.read(2), order)
            entries = f.read(12 * min(count, MAX_TIFF_ENTRIES))
            for k in range(0, len(entries) - 11, 12):
                entry = entries[k:k + 12]
                if int.from_bytes(entry[0:2], order) != GDAL_METADATA_TAG:
                    continue
                kind, size = int.from_bytes(entry[2:4], order), int.from_bytes(entry[4:8], order)
                if kind not in (1, 2, 7) or size > MAX_METADATA:  # BYTE, ASCII, UNDEFINED: one byte each
                    return None
                if size <= 4:
                    data = entry[8:8 + size]
                else:
                    f.seek(int.from_bytes(entry[8:12], order))
                    data = f.read(size)
                return data.split(b"\0", 1)[0].decode("utf-8", "replace") if len(data) == size else None
    except (OSError, ValueError):
        return None
    return None


def recorded_identity(path):
    """The product identities a reduced copy at PATH was made from, as it
    records them; None where it records none (a copy of an earlier version)."""
    text = tiff_metadata(path)
    start = '<Item name="%s">' % REDUCED_KEY
    if text is None or start not in text:
        return None
    try:
        return json.loads(text.split(start, 1)[1].split("</Item>", 1)[0])
    except ValueError:
        return None


def reduced_is_fresh(output_dir, year, tile):
    """Whether the tile's reduced copy was made from its products as they
    are now (the same size, time and inode of each): a rerun of the tile, or
    products put back from elsewhere, leave it stale, whatever its time."""
    recorded = recorded_identity(reduced_path(output_dir, year, tile))
    return recorded is not None and recorded == products_identity(output_dir, year, tile)


def gdal_env(cache_mib):
    """The environment of a GDAL program: its block cache set, not left to
    5 % of the node's memory, and no .aux.xml beside what is only read."""
    return dict(os.environ, GDAL_CACHEMAX=str(cache_mib), GDAL_PAM_ENABLED="NO")


def gdal_step(command, cache_mib=64, seconds=REDUCED_SECONDS):
    """None when a program (GDAL's, or gnuplot) succeeded, else what it said:
    its last line."""
    name = os.path.basename(command[0])
    try:
        done = subprocess.run(command, capture_output=True, text=True, errors="replace", env=gdal_env(cache_mib),
                              stdin=subprocess.DEVNULL, timeout=seconds)
    except (OSError, subprocess.TimeoutExpired) as e:
        return "%s: %s" % (name, e)
    if done.returncode == 0:
        return None
    lines = [line for line in done.stderr.splitlines() if line.strip()]
    return "%s failed: %s" % (name, lines[-1][-300:] if lines else "exit %d" % done.returncode)


def averaging_vrt(bands, vrt):
    """A VRT at VRT of BANDS, [(product, raster)], one band each, to be averaged
    down. A Loss band is read as 32-bit floats with every non-zero byte as 1
    (any non-zero byte is loss) and averaged at full resolution, so that its
    average is the share of pixels with loss: GDAL averages a byte raster in
    bytes, and would apply the lookup table after averaging. (A band's nodata
    value that its source lacks keeps GDAL from handing the averaging down to
    the source; -1 occurs in no product.) None when written, else why not."""
    why = gdal_step(["gdalbuildvrt", "-q", "-separate", vrt] + [raster for _, raster in bands])
    if why:
        return why
    try:
        tree = ElementTree.parse(vrt)
    except (ElementTree.ParseError, OSError) as e:
        return "gdalbuildvrt wrote no readable VRT: %s" % e
    read = [os.path.basename(band.findtext(".//SourceFilename") or "") for band in tree.getroot().iter("VRTRasterBand")]
    for _, raster in bands:  # gdalbuildvrt leaves out a file it cannot read, with a warning only
        if os.path.basename(raster) not in read:
            return "%s cannot be read as a raster" % printable(raster)
    for band, (product, _) in zip(tree.getroot().iter("VRTRasterBand"), bands):
        if product != "Loss":
            continue
        band.set("dataType", "Float32")
        ElementTree.SubElement(band, "NoDataValue").text = "-1"
        for source in band:
            if source.tag in ("SimpleSource", "ComplexSource"):
                source.tag = "ComplexSource"
                ElementTree.SubElement(source, "LUT").text = "0:0,1:1,255:1"
    tree.write(vrt)
    return None


def make_reduced(output_dir, year, tile, pixels=REDUCED_PIXELS):
    """Writes the tile's reduced copy of YEAR, PIXELS x PIXELS (band 1 TCC, 2
    TCH, 3 Loss, each pixel the average of the product pixels under it, 22 x
    22 of a tile's: TCC and TCH averaged in bytes, so rounded to whole units,
    which no picture shows; for Loss the exact share with loss, 0 to 1) under
    a temporary name, renamed into place when whole. None when written, else
    why not."""
    target = reduced_path(output_dir, year, tile)
    temporary = "%s.tmp-%d" % (target, os.getpid())
    vrt = temporary + ".vrt"
    why = None
    try:
        # The directory is the output directory's own: a link there would
        # lead the copies elsewhere. So is each name GDAL writes.
        here = os.path.dirname(target)
        if os.path.islink(here):
            os.unlink(here)
        os.makedirs(here, exist_ok=True)
        for leftover in (temporary, vrt):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(leftover)
        # The products' identities before and after: a copy made while
        # another run of the tile wrote them may hold parts of both.
        before = products_identity(output_dir, year, tile)
        if isinstance(before, str):
            return "%s not found" % printable(before)
        why = (averaging_vrt([(p, product_path(output_dir, p, year, tile)) for p in PRODUCTS], vrt)
               or gdal_step(["gdal_translate", "-q", "-of", "GTiff", "-ot", "Float32", "-a_nodata", "none", "-r",
                             "average", "-outsize", str(pixels), str(pixels), "-co", "COMPRESS=DEFLATE",
                             "-co", "PREDICTOR=3", "-co", "INTERLEAVE=BAND",
                             "-mo", "%s=%s" % (REDUCED_KEY, json.dumps(before, separators=(",", ":"))), vrt,
                             temporary])
               or gdal_step(["gdaladdo", "-q", "-r", "average", temporary, "2", "4", "8", "16"]))
        if why is None and products_identity(output_dir, year, tile) != before:
            why = ("the products changed while the reduced copy was made from them (another run of the tile "
                   "writing them?): the copy is discarded")
        if why is None:
            os.replace(temporary, target)
    except OSError as e:
        why = "the reduced copy cannot be written: %s" % e
    finally:
        for leftover in (temporary, vrt):
            with contextlib.suppress(OSError):
                os.unlink(leftover)
    return why


def slurm_line(list_file, line_number):
    """Line LINE_NUMBER (from 1) of the submitted list: tile, x, y and the
    part of the tile its accounts count (a fourth column, empty for the
    whole tile; none in a list without accounts)."""
    with open(list_file, encoding="utf-8", errors="surrogateescape", newline="") as f:
        for number, cells in enumerate(csv.reader(f, **TILE_TSV), 1):
            if number == line_number:
                if len(cells) in (3, 4):
                    return (cells + [""])[:4]
                break
    sys.exit("tilejob: no tile on line %d of %s" % (line_number, list_file))


# The parts of the tiles of a local batch: a tile TSV of its tiles, each with
# the part its accounts count (empty: all of it), beside the logs. A part
# runs to 80 KB where tiles overlap along a diagonal: too long for a word of
# GNU parallel's command lines, which a file name is not.
PARTS_FILE = "parts.tsv"
# csv's default bound on a field, 128 K characters, holds the longest part
# (4004 bands of "4003-4003:4003-4003,"); a longer field is not a part.
MAX_PART = 4004 * 20


def listed_part(parts_file, tile):
    """The part of TILE in PARTS_FILE (None: all of it). Exits, naming the
    file, where the tile is not listed there: counting it whole would count
    its neighbours' strips twice."""
    try:
        with open(parts_file, encoding="utf-8", errors="surrogateescape", newline="") as f:
            for cells in csv.reader(f, **TILE_TSV):
                if len(cells) == 2 and cells[0] == tile and len(cells[1]) <= MAX_PART:
                    return cells[1] or None
    except (OSError, csv.Error) as e:
        sys.exit("tilejob: the parts file %s cannot be read: %s" % (printable(parts_file), printable(e)))
    sys.exit("tilejob: tile %s is not in the parts file %s" % (printable(tile), printable(parts_file)))


def main(argv=None):
    p = argparse.ArgumentParser(prog="tilejob", description=__doc__.split("\n\n")[0])
    p.add_argument("--logs", required=True)
    p.add_argument("--job", help="the job's id (a Slurm task takes its own)")
    p.add_argument("--batch", help="the id of the batch that handed the tile over")
    p.add_argument("--tile-quality")
    p.add_argument("--quality-dir")
    p.add_argument("--tile-accounts", help="run tile_accounts once process_tile has succeeded")
    p.add_argument("--accounts-dir")
    p.add_argument("--thresholds", default="10,15,20,25,30,50,75")
    p.add_argument("--zones")
    p.add_argument("--zone-field")
    p.add_argument("--zone-layer")
    p.add_argument("--forest", help="the forest definition, COVER:HEIGHT:HECTARES (tile_accounts --forest)")
    p.add_argument("--connectivity", type=int, choices=(4, 8), default=8,
                   help="with --forest: the neighbours a patch joins through")
    p.add_argument("--part", help="the tile's part its accounts count (tile_accounts --part; empty: all of it)")
    p.add_argument("--parts-file", help="a TSV of tile and part, for --part (a local batch's %s)" % PARTS_FILE)
    p.add_argument("--quiet", action="store_true")
    p.add_argument("--no-reduced", dest="reduced", action="store_false", help="no reduced copy for the region")
    p.add_argument("--slurm-list", help="with --offset: the tile is line OFFSET + task index of this list")
    p.add_argument("--offset", type=int, default=0)
    for name in ("last_year", "input_dir", "output_dir", "datamask_dir", "wetland_dir", "process_tile"):
        p.add_argument(name, type=int if name == "last_year" else str)
    p.add_argument("tile", nargs="*", help="TILE_ID ORIGIN_X ORIGIN_Y (not with --slurm-list)")
    a = p.parse_args(argv)
    if a.tile_accounts and not a.accounts_dir:
        p.error("--tile-accounts needs --accounts-dir")
    if a.forest and not a.tile_accounts:
        p.error("--forest needs --tile-accounts")
    if a.slurm_list:
        task = os.environ.get("SLURM_ARRAY_TASK_ID")
        if task is None or not task.isdigit():
            sys.exit("tilejob: not running as a Slurm array task")
        tile, x, y, a.part = slurm_line(a.slurm_list, a.offset + int(task))
        job = "%s_%s" % (os.environ.get("SLURM_ARRAY_JOB_ID", "?"), task)
        print("tile %s (%s, %s) on %s, task %s" % (printable(tile), x, y, socket.gethostname(), job))
    elif len(a.tile) == 3 and a.job:
        tile, x, y = a.tile
        job = a.job
    else:
        p.error("give TILE_ID ORIGIN_X ORIGIN_Y and --job, or --slurm-list")
    if a.parts_file:
        a.part = listed_part(a.parts_file, tile)
    a.part = a.part or None
    why = check_tile_id(tile)
    if why:
        sys.exit("tilejob: " + why)
    return run_tile(a, tile, x, y, job)


def main_exit(argv=None):
    """The job's exit status. A file it cannot write (a full disk, a name
    taken by a directory) ends it with that file named and the reason on its
    standard error, which GNU parallel and Slurm keep, and exit status 1:
    the batch then shows the tile without a record, and the log says why."""
    try:
        status = main(argv)
        sys.stdout.flush()  # while a full disk can still be said to have failed it
        return status
    except OSError as e:
        where = "%s: " % printable(e.filename) if e.filename else ""
        with contextlib.suppress(OSError):
            print("tilejob: %s%s" % (where, printable(e.strerror or e)), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main_exit())
