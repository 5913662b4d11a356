"""What the batch knows of each tile, from the tile's record and job mark:
a tile is done only when its record answers the request now made (same
tile, last year, origin and directories) with status 0, its products are in
place (and what the request asks besides, the quality and the accounts), and
no later job of it has been submitted or started since."""
import enum
import fcntl
import os
import stat
import time
import uuid
from dataclasses import dataclass, field, fields

from . import facts, ownership
from .errors import Busy
from .tilejob import (LOCAL_PREFIX, MARK, RECORD, JobMark, TileRecord, Unreadable, accounts_tables, file_identity,
                      printable, read_json, read_typed, request_of, tile_dir, write_json)

BATCH_FILE = "batch.json"
LOCK_NAME = ".batch.lock"


@dataclass
class Request:
    """One batch: its tiles and the arguments they share."""
    tiles: list  # [(tile, x, y)]
    last_year: int
    input_dir: str
    output_dir: str
    datamask_dir: str
    wetland_dir: str
    process_tile: str
    logs: str
    tile_quality: str = None  # set when the batch runs the quality too
    batch_id: str = field(default_factory=lambda: uuid.uuid4().hex[:12])
    entry: str = "batch.sh"
    region: bool = True
    joblog: str = None  # batch.sh: GNU parallel's job log, which says why a job did not start
    # Set when the batch runs the accounts too: the program, its thresholds
    # (ascending, as facts.thresholds_text writes them), the zones (an
    # absolute path, its field and layer) and the zones file's identity
    # (tilejob.zones_identity) as it was when the batch started.
    tile_accounts: str = None
    thresholds: str = None
    zones: str = None
    zone_field: str = None
    zone_layer: str = None
    zones_identity: list = None
    # With --forest: the forest definition (as facts.parse_forest writes it)
    # and the neighbours a patch joins through, 4 or 8.
    forest: str = None
    connectivity: int = None
    ran: bool = field(default=True, repr=False)  # False: a list reported (--report) that no batch of this id ran
    # When the batch was asked for (ns since the epoch): which of two batches
    # sharing an output directory is the later, whose sums stand. None: a
    # batch recorded before batches kept it.
    started: int = field(default_factory=time.time_ns)

    def same_run(self, other):
        """Whether OTHER is this request, whatever its id: the same tiles, in
        order, with the same arguments."""
        return all(getattr(self, k) == getattr(other, k) for k in (
            "tiles", "last_year", "input_dir", "output_dir", "datamask_dir", "wetland_dir", "process_tile",
            "tile_quality", "region") + ACCOUNTS_SETTINGS + ("tile_accounts",))

    @property
    def quality_dir(self):
        return os.path.join(self.output_dir, "quality") if self.tile_quality else None

    @property
    def accounts_dir(self):
        return os.path.join(self.output_dir, facts.ACCOUNTS_DIR) if self.tile_accounts else None

    def save(self, path=None):
        """Into PATH, or as the latest batch of its log directory."""
        os.makedirs(self.logs, exist_ok=True)
        value = dict(vars(self), tiles=[list(t) for t in self.tiles])
        del value["ran"]
        write_json(path or os.path.join(self.logs, BATCH_FILE), value)

    def part_of(self, tile):
        """The part of TILE its accounts count (tile_accounts' --part), where
        tiles of the list overlap; None: all of it (and for a request
        without accounts). Worked out once for the whole list."""
        if not self.tile_accounts:
            return None
        global _parts
        if _parts[0] is not self.tiles:
            texts = ownership.parts(self.tiles)  # NotOneGrid: the command line and load() refuse such lists
            _parts = (self.tiles, {t[0]: text for t, text in zip(self.tiles, texts)})
        return _parts[1].get(tile)

    def job_arguments(self):
        """What every tile's job (tilejob.py) is given after its own options."""
        options = ["--tile-quality", self.tile_quality, "--quality-dir", self.quality_dir] if self.tile_quality else []
        options += [] if self.region else ["--no-reduced"]  # no region to draw from a reduced copy
        if self.tile_accounts:
            # As NAME=VALUE: a field or layer name may begin with '-'.
            options += ["--tile-accounts=" + self.tile_accounts, "--accounts-dir=" + self.accounts_dir,
                        "--thresholds=" + self.thresholds]
            options += ["--%s=%s" % (k.replace("_", "-"), getattr(self, k)) for k in ("zones", "zone_field", "zone_layer")
                        if getattr(self, k) is not None]
            if self.forest:
                options += ["--forest=" + self.forest, "--connectivity=%d" % self.connectivity]
        return options + ["--", str(self.last_year), self.input_dir, self.output_dir, self.datamask_dir,
                          self.wetland_dir, self.process_tile]

    @classmethod
    def load(cls, path):
        """The batch saved at PATH, or None where there is none or the file
        holds no batch the list and the command line could have made: its
        tiles are checked as a list's lines (an id such as ../x would lead
        a job's files out of the logs), its last year as the command line
        checks it (a year of 10**9 would ask for a billion product names)."""
        from .tilelist import tiles_problem  # the list's own checks; tilelist imports from beside this module
        value = read_json(path)
        if value is None or not (isinstance(value.get("tiles"), list)
                                 and all(isinstance(t, list) for t in value["tiles"])):
            return None
        try:
            value["tiles"] = [tuple(t) for t in value["tiles"]]
            req = cls(**{f.name: value[f.name] for f in fields(cls) if f.name in value})
            req.started = value.get("started")  # an older record's batch started at no time known, not now
        except (TypeError, KeyError, ValueError):
            return None
        texts = [req.input_dir, req.output_dir, req.datamask_dir, req.wetland_dir, req.process_tile, req.logs,
                 req.batch_id, req.entry] + [v for t in req.tiles for v in t]
        fits = (all(isinstance(v, str) for v in texts) and all(len(t) == 3 for t in req.tiles)
                and type(req.last_year) is int and facts.MIN_LAST_YEAR <= req.last_year <= facts.MAX_LAST_YEAR
                and isinstance(req.tile_quality, (str, type(None))) and isinstance(req.region, bool)
                and isinstance(req.joblog, (str, type(None))) and type(req.started) in (int, type(None))
                and accounts_fit(req))
        return req if fits and not tiles_problem(req.tiles) and parts_fit(req) else None


# The parts of the tiles of the last list asked, worked out once for all its
# tiles: (the list, {tile: part}). Keyed by the list object itself, which
# the entry keeps alive, so another list cannot pass for it.
_parts = (None, {})


def parts_fit(req):
    """Whether the tiles of a saved request with accounts have parts: no two
    overlap off one pixel grid or share an origin, as the command line
    refuses."""
    try:
        req.part_of(None)
    except ownership.NotOneGrid:
        return False
    return True


# What a tile's accounts must have been made with to be those a request asks
# for (the program that made them may be another build).
ACCOUNTS_SETTINGS = ("thresholds", "zones", "zone_field", "zone_layer", "zones_identity", "forest", "connectivity")


def accounts_fit(req):
    """Whether a saved request's accounts settings are ones the command line
    could have made (a request saved before there were accounts has none)."""
    if not all(isinstance(getattr(req, k), (str, type(None)))
               for k in ("tile_accounts", "thresholds", "zones", "zone_field", "zone_layer")):
        return False
    if req.tile_accounts is None:
        return all(getattr(req, k) is None for k in ACCOUNTS_SETTINGS)
    try:
        normal = facts.thresholds_text(facts.parse_thresholds(req.thresholds or ""))
    except facts.ThresholdError:
        return False
    zones_fit = (req.zones_identity is None) if req.zones is None else isinstance(req.zones_identity, list)
    return (normal == req.thresholds and zones_fit and (req.zones is not None or req.zone_field is req.zone_layer is None)
            and forest_fit(req))


def forest_fit(req):
    """Whether a saved request's forest settings are ones the command line
    could have made: none, or a definition in its written form with 4 or 8
    neighbours."""
    if req.forest is None:
        return req.connectivity is None
    try:
        normal = facts.parse_forest(req.forest) if isinstance(req.forest, str) else None
    except facts.ForestError:
        return False
    return normal == req.forest and type(req.connectivity) is int and req.connectivity in facts.CONNECTIVITIES


class Check(enum.Enum):
    """What a check of a tile's products against its record found, where it
    is not a text that says which product changed and how: the products are
    those its run made, one is missing, or the record is of a version that
    kept no identities."""
    SAME = "same"
    MISSING = "missing"
    EARLIER = "earlier"


SAME, MISSING, EARLIER = Check.SAME, Check.MISSING, Check.EARLIER


def product_verdict(now, record, names):
    """The verdict on the products of RECORD's run, NOW the identities of
    their NAMES as found."""
    if None in now:
        return MISSING
    if record.products is None:
        return EARLIER
    return product_change(record.products, names, now) or SAME


class Verdicts(dict):
    """{tile: verdict} found elsewhere (by a worker process of the survey)."""

    def verdict(self, tile, record, last_year):
        return self[tile]


class ProductFiles:
    """The files of an output directory as evaluate asks for them: get(name)
    is the file's [size, mtime_ns, inode], or None where it is no regular
    file. A stat each, against the directory opened once, and only of the
    products of tiles whose record says they were made: a report of 20,000
    tiles of 2020 asks for 1.26 million."""

    def __init__(self, directory):
        self.directory, self.fd = directory, None

    def __enter__(self):
        try:
            self.fd = os.open(self.directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except (OSError, TypeError):
            self.fd = None
        return self

    def __exit__(self, *exc):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def get(self, name):
        return self.identities([name])[0]

    def verdict(self, tile, record, last_year):
        names = facts.product_names(tile, last_year)
        return product_verdict(self.identities(names), record, names)

    def identities(self, names):
        """get() of each of NAMES, in one loop: the report's hottest."""
        fd, found = self.fd, []
        if fd is None:
            return [None] * len(names)
        for name in names:
            try:
                info = os.stat(name, dir_fd=fd) if "/" not in name else None
            except (OSError, ValueError):
                info = None
            found.append([info.st_size, info.st_mtime_ns, info.st_ino]
                         if info is not None and stat.S_ISREG(info.st_mode) else None)
        return found


def file_names(directory):
    """The names of the files in DIRECTORY (none where it cannot be read),
    read once for all the tiles of a report."""
    try:
        with os.scandir(directory) as entries:
            return {e.name for e in entries if e.is_file(follow_symlinks=True)}
    except (OSError, TypeError):
        return set()


class State(enum.Enum):
    """What the batch knows of a tile now. The values are the words the
    report, its TSV and the page show."""
    DONE = "done"  # its record answers the request, status 0, products (and quality) in place
    FAILED = "failed"  # its last job of this request ended and did not do it
    NOT_RUN = "not run"  # no job of this request has ended: never run, or run with other arguments
    RUNNING = "running"  # its job is queued or running
    UNKNOWN = "unknown"  # handed to a Slurm job whose fate cannot be told here

    @property
    def ended(self):
        """A job of this request ran to an end (its figures are whole)."""
        return self in (State.DONE, State.FAILED)

    def __str__(self):
        return self.value


@dataclass
class Row:
    tile: str
    state: State = State.NOT_RUN
    exit: str = "-"
    wall_s: float = None
    peak_kib: int = None
    host: str = "-"
    slurm_state: str = ""
    message: str = ""
    job: str = ""
    products: bool = False  # its products are written (also when its quality run failed)
    accounts: dict = None  # done with accounts: {table name: identity} as its run wrote them


class Unread(enum.Enum):
    """read_tile's record where a file is there that holds none (an enum, so
    that it stays itself when a worker process sends it back)."""
    DAMAGED = "damaged"


DAMAGED = Unread.DAMAGED


def tables_to_sum(identities, digests):
    """The tables of a tile done with its accounts as the batch's sums hold
    them to what its run wrote: {name: [size, mtime_ns, inode, SHA-256]}.
    A record written before the digests (DIGESTS None) leaves them
    [size, mtime_ns, inode], checked by identity alone: its tables were
    summed so before, and counting such tiles not done would run them again
    for no fault of theirs. A record whose digests are there but not one of
    a table gives None in its place, which sum_accounts reads as no digest
    at all and so as a damaged table."""
    if not isinstance(identities, dict) or digests is None:
        return identities
    if not isinstance(digests, dict):
        digests = {}
    return {name: identity + [digests.get(name)] if isinstance(identity, list) else identity
            for name, identity in identities.items()}


def evaluate(request, tile, x, y, record, mark, outputs, scheduler):
    """The row of one tile. RECORD is its TileRecord, None or DAMAGED; MARK
    its JobMark or None. OUTPUTS are the output directory's products (a
    ProductFiles or Verdicts: what verdict() says of a record's), the
    names of the files in the quality directory and, where the request asks
    for accounts, the accounts directory's files (a ProductFiles of it:
    without it they are stat'ed here). SCHEDULER(job) says what became of a
    job: a slurm.JobState."""
    asked = request_of(request, tile, x, y)
    row = Row(tile)
    damaged = record is DAMAGED
    if damaged:
        record = None
    if mark is not None and (record is None or record.identity != mark.identity):
        # A later job than the record's was handed the tile, or started.
        info = scheduler(mark.job)
        active, same = info.active, mark.run.answers(asked)
        row.job = job = printable(mark.job)
        if active or (active is None and same):
            row.state = State.RUNNING if active else State.UNKNOWN
            row.message = ("its job %s is queued or running" % job if active
                           else "handed to job %s; whether it still runs cannot be told here" % job)
            return with_scheduler_figures(row, info, running=True)
        if same:
            row.state = State.FAILED
            if damaged:
                row.message = "its record of job %s does not read" % job
            elif mark.started:
                row.message = "its job %s ended without a record (cancelled, out of time or memory, node lost)" % job
            elif info.reason:
                row.message = "its job %s did not start: %s" % (job, printable(info.reason))
            elif mark.job.startswith(LOCAL_PREFIX):
                row.message = "its job %s did not start (GNU parallel never ran it: see the batch's output)" % job
            else:
                row.message = "its job %s ended before it started (cancelled)" % job
            return with_scheduler_figures(row, info)
    if record is None:
        row.message = "its record does not read" if damaged else ""
        return row
    if not record.run.answers(asked):
        row.message = "its last run had other arguments (last year %s)" % printable(record.run.last_year)
        return row
    row.job = printable(record.job)
    info = scheduler(record.job)
    if info.active and not record.job.startswith(LOCAL_PREFIX):
        # Slurm requeued the task that wrote the record: it keeps its id.
        row.state, row.message = State.RUNNING, "its job %s is queued or running again" % row.job
        return with_scheduler_figures(row, info, running=True)
    row.wall_s, row.peak_kib = record.wall_s, record.peak_kib
    row.host = printable(record.host or "-")
    row.state, row.exit = State.FAILED, "0"
    status, quality = record.status, record.quality_status
    products, quality_files = outputs[:2]
    # Only for a run that succeeded: a stat of each product, 1.26 million for
    # 20,000 tiles of 2020.
    verdict = products.verdict(tile, record, request.last_year) if status == 0 else None
    if status is None:
        row.exit, row.message = "?", "its record holds no exit status"
    elif status != 0:
        row.exit, row.message = str(status), printable(record.message)
    elif verdict is MISSING:
        row.message = "its products are not all in the output directory"
    elif verdict is EARLIER:
        row.state, row.exit = State.NOT_RUN, "-"
        row.message = "its record, of an earlier version, does not say which products it made: run it again"
    elif verdict is not SAME:
        row.message = verdict
    else:
        row.products = True
        accounts = accounts_problem(request, tile, record, outputs[2] if len(outputs) > 2 else None)
        if accounts:
            row.state, row.exit, row.message = accounts
        elif not request.tile_quality:
            row.state = State.DONE
        elif record.quality_dir != request.quality_dir:
            row.state, row.message = State.NOT_RUN, "done without --quality"
        elif quality != 0:
            row.exit = "?" if quality is None else str(quality)
            row.message = "tile_quality: " + printable(record.quality_message)
        elif not all(name in quality_files for name in facts.quality_names(tile, request.last_year)):
            row.message = "its quality files are not all in the quality directory"
        else:
            row.state = State.DONE
    if row.state is State.DONE and request.tile_accounts:
        row.accounts = tables_to_sum(record.accounts_tables, record.accounts_sha256)
    return with_scheduler_figures(row, info)


def accounts_problem(request, tile, record, tables):
    """Why the accounts of RECORD's run (whose products are in place) are
    not those REQUEST asks for, as (state, exit, message), or None: made
    without them or with other settings (not run), failed, or a table
    missing or changed since (failed). TABLES gets the identity of a file of
    the accounts directory (None: stat'ed here)."""
    if not request.tile_accounts:
        return None
    if record.accounts_dir != request.accounts_dir:
        return State.NOT_RUN, "-", "done without --accounts"
    for name, what in (("thresholds", "other thresholds"), ("zones", "other zones"),
                       ("zone_field", "another zone field"), ("zone_layer", "another zone layer")):
        made, asked = getattr(record, name), getattr(request, name)
        if made != asked:
            return State.NOT_RUN, "-", "its accounts were made with %s (%s, not %s)" % (
                what, printable("none" if made is None else made), printable("none" if asked is None else asked))
    if record.accounts_part != request.part_of(tile):
        return State.NOT_RUN, "-", "its accounts counted another part of the tile than the list's overlaps leave it"
    forest = forest_problem(request, record)
    if forest:
        return State.NOT_RUN, "-", forest
    if record.accounts_status is None:
        return State.FAILED, "?", "its record holds no tile_accounts status"
    if record.accounts_status != 0:  # whatever became of the zones file since: that run failed
        message = printable(record.accounts_message or "")
        prefix = "" if message.startswith("tile_accounts: ") else "tile_accounts: "
        return State.FAILED, str(record.accounts_status), prefix + message
    if record.zones_identity != request.zones_identity:
        return State.NOT_RUN, "-", "its zones file changed since its accounts were made"
    names = accounts_tables(tile, request.zones, request.forest)
    if tables is None:
        now = [file_identity(os.path.join(request.accounts_dir, name)) for name in names]
    else:
        now = tables.identities(names)
    for name, found in zip(names, now):
        if found is None:
            return State.FAILED, "0", "its accounts table %s is not in the accounts directory" % printable(name)
    change = product_change(record.accounts_tables or {}, names, now, "accounts table")
    return (State.FAILED, "0", change) if change else None


def forest_problem(request, record):
    """Why the forest of RECORD's accounts is not the one REQUEST asks for,
    or None. A request without forest asks nothing of it: the tiles' other
    tables are the same with or without, and their forest tables are not
    summed."""
    if not request.forest:
        return None
    if record.forest != request.forest:
        if record.forest is None:
            return "its accounts were made without --forest (%s asked)" % printable(request.forest)
        return "its accounts were made with another forest definition (%s, not %s)" % (
            printable(record.forest), printable(request.forest))
    if record.connectivity != request.connectivity:
        return "its forest patches were joined through %s neighbours, not %d" % (
            printable("unknown" if record.connectivity is None else record.connectivity), request.connectivity)
    return None


def product_change(made, names, now, what="product"):
    """Why the products NOW (the identities of NAMES) are not those the run
    MADE, or None: the first product whose size, time or inode differs
    (truncated, rewritten by another run, or put back from a copy)."""
    if [made.get(name) for name in names] == now:
        return None
    for name, found in zip(names, now):
        was = made.get(name)
        if was != found:
            if not (isinstance(was, list) and len(was) == 3):
                how = "its record does not say what its run wrote"
            elif found[0] != was[0]:
                how = "%d bytes, not the %s its run wrote" % (found[0], printable(was[0]))
            elif found[2] != was[2]:
                how = "another file under its name since its run"
            else:
                how = "rewritten since its run"
            return "its %s %s changed after its run: %s" % (what, printable(name), how)
    return None


def with_scheduler_figures(row, info, running=False):
    """Slurm's record where it has one: its node and state, and for wall time
    and peak memory the larger of its figure and the job's own (Slurm times
    the whole task in whole seconds and samples memory; the job's own figures
    are exact but of process_tile alone, and missing when it was killed)."""
    if info.state is None:
        return row
    row.slurm_state = printable(info.state)
    placed = info.node not in (None, "", "None assigned")
    if placed:
        row.host = printable(info.node)
        if info.elapsed_s is not None and (row.wall_s is None or info.elapsed_s > row.wall_s):
            row.wall_s = info.elapsed_s
    if info.rss_kib and (row.peak_kib is None or info.rss_kib > row.peak_kib):
        row.peak_kib = info.rss_kib
    if running:
        row.wall_s = row.peak_kib = None  # not its whole yet
    return row


def read_tile(logs, tile):
    """The tile's record (a TileRecord, None where there is none, DAMAGED
    where a file is there that holds none) and its job mark (a JobMark, or
    None: an unreadable mark names no job)."""
    here = tile_dir(logs, tile)
    try:
        record = read_typed(os.path.join(here, RECORD), TileRecord)
    except Unreadable:
        record = DAMAGED
    try:
        mark = read_typed(os.path.join(here, MARK), JobMark)
    except Unreadable:
        mark = None
    return record, mark


def mark_submitted(request, tile, x, y, job):
    """Marks TILE as handed to JOB of this batch, before the job can start:
    until the job writes a record, no older record makes the tile done."""
    here = tile_dir(request.logs, tile, make=True)
    try:
        mark = read_typed(os.path.join(here, MARK), JobMark)
    except Unreadable:
        mark = None
    if not (mark and (mark.job, mark.batch) == (job, request.batch_id)):  # the task may have started already
        # Not flushed to disk one by one (20,000 marks would hold a batch's
        # start for a minute): a mark a power cut loses leaves the tile's
        # record, which holds only while its products are those it made.
        write_json(os.path.join(here, MARK), JobMark(request_of(request, tile, x, y), job, started=False,
                                                     batch=request.batch_id).to_json(), durable=False)


def lock(directory, name=LOCK_NAME, wait=False):
    """An exclusive lock on DIRECTORY's lock file NAME: the descriptor that
    holds it (closed, it is released), or None where another holds it. An
    flock is released when its holder ends, however it ends, so a kill leaves
    no stale lock."""
    fd = os.open(os.path.join(directory, name), os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK,
                 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
    except BlockingIOError:
        os.close(fd)
        return None
    return fd


def lock_batch(request):
    """Makes the batch's directories and takes the locks it holds on its
    output and log directories (two batches sharing either would mix their
    files): their descriptors; Busy when another batch holds one."""
    for directory in (request.logs, request.output_dir, request.quality_dir):
        if directory:
            os.makedirs(directory, exist_ok=True)
    dirs = [request.output_dir]
    if os.path.realpath(request.logs) != os.path.realpath(request.output_dir):
        dirs.append(request.logs)
    fds = []
    for directory in dirs:
        fd = lock(directory)
        if fd is None:
            for held in fds:
                os.close(held)
            raise Busy(directory)
        fds.append(fd)
    return fds
