"""What the batch knows of its tiles now: each tile's row, from its record
and job mark, the files in the output and quality directories, and what the
scheduler says of the jobs the tiles were handed to. Read once per call: the
report, --resume, a submission and the end of a batch all start here."""
import calendar
import concurrent.futures
import multiprocessing
import os
import sys
import time

from . import records, slurm
from .text import printable, read_regular
from .tilejob import LOCAL_PREFIX

JOBLOG_BYTES = 256 << 20


def survey(request, running_batch=None, inputs=False):
    """The rows of REQUEST's tiles and where their figures come from. Slurm
    is asked only about the jobs the tiles were handed to: sacct where the
    cluster keeps accounting, and squeue for what is queued or running.
    RUNNING_BATCH is the id of a local batch that is running now, if any.
    With INPUTS (for the report), a tile done whose inputs changed since its
    run says so (a stat of each of its layers)."""
    read = gathered(request)
    verdicts = records.Verdicts((r[0], r[5]) for r in read)
    jobs = {v.job for r in read for v in r[3:5] if v is not None and v is not records.DAMAGED}
    slurm_jobs = {j for j in jobs if not j.startswith(LOCAL_PREFIX)}
    source = "each tile's record (the job's own measurement of process_tile)"
    sacct = squeue = None
    if slurm_jobs:
        sacct, why = slurm.accounting(slurm.config(), slurm_jobs)
        squeue = slurm.queue()
        if sacct is not None:
            source = "Slurm's accounting (sacct) of each tile's last task; exit status from each tile's record"
        else:
            source += ": " + why
            if why.startswith("sacct"):
                print("%s: %s; the figures are the jobs' own measurement" % (request.entry, why), file=sys.stderr)

    local_jobs = {j for j in jobs if j.startswith(LOCAL_PREFIX)}
    reasons = parallel_reasons(request.joblog, local_jobs) if local_jobs and request.joblog else {}

    def scheduler(job):
        if job.startswith(LOCAL_PREFIX):
            running = running_batch is not None and job.split("-")[1] == running_batch
            return slurm.QUEUED_OR_RUNNING if running else slurm.ENDED._replace(reason=reasons.get(job))
        info = sacct.get(job) if sacct is not None else None
        if info is not None:
            return info
        return slurm.NOT_KNOWN if squeue is None else (squeue.get(job) or slurm.ENDED)

    with records.ProductFiles(request.accounts_dir) as tables:  # two stats a tile, against the directory opened once
        outputs = verdicts, records.file_names(request.quality_dir), tables
        rows = [records.evaluate(request, t, x, y, rec, mark, outputs, scheduler) for t, x, y, rec, mark, _ in read]
    for row, (tile, _, _, record, _, _) in zip(rows, read):
        if inputs and row.state is records.State.DONE:
            newer = input_newer_than(request, tile, run_started(record))
            if newer:
                row.message = "inputs newer than its run: %s" % printable(newer)
    return rows, source


# From this many tiles on, the records are read and the products checked by
# a worker process per CPU (at most 4): at 20,000 tiles of 2020 that is
# 40,000 files read and 1.26 million products stat'ed, seconds of work that
# the CPUs share.
PARALLEL_FROM = 2000
MAX_WORKERS = 4


def gather(request, tiles):
    """[(tile, x, y, record, mark, verdict)] of TILES: each tile's record and
    job mark, and for a record of a run that succeeded the verdict on its
    products (which then leave the record: they are not sent back)."""
    found = []
    with records.ProductFiles(request.output_dir) as products:
        for tile, x, y in tiles:
            record, mark = records.read_tile(request.logs, tile)
            verdict = None
            if isinstance(record, records.TileRecord) and record.status == 0:
                verdict = products.verdict(tile, record, request.last_year)
                record.products = None
            found.append((tile, x, y, record, mark, verdict))
    return found


def gathered(request):
    """gather() of every tile of REQUEST, in list order: split among worker
    processes for a large batch, in this one where that cannot be had."""
    tiles = request.tiles
    workers = min(MAX_WORKERS, len(os.sched_getaffinity(0))) if len(tiles) >= PARALLEL_FROM else 1
    if workers > 1:
        size = -(-len(tiles) // workers)
        chunks = [tiles[k:k + size] for k in range(0, len(tiles), size)]
        try:
            with concurrent.futures.ProcessPoolExecutor(len(chunks), mp_context=multiprocessing.get_context("fork")) \
                    as pool:
                return [item for part in pool.map(gather, [request] * len(chunks), chunks) for item in part]
        except (OSError, concurrent.futures.process.BrokenProcessPool):
            pass
    return gather(request, tiles)


def run_started(record):
    """When the run that wrote RECORD started, in seconds since the epoch,
    or None: as the record says, or for a record that does not, its end less
    its wall time (to the second, as both are kept)."""
    try:
        if record.started:
            return calendar.timegm(time.strptime(record.started, "%Y-%m-%dT%H:%M:%SZ")) - 1
        ended = calendar.timegm(time.strptime(record.ended or "", "%Y-%m-%dT%H:%M:%SZ"))
    except ValueError:
        return None
    return ended - (record.wall_s or 0) - 1


def input_newer_than(request, tile, started):
    """The first input of TILE changed since STARTED, or None: its masks and
    its directory of layers, and each layer in it (a layer copied over
    another keeps the directory's time). A tile stays done (its products are
    those of its run); the report says its inputs have moved on, and --fresh
    runs it again."""
    if started is None:
        return None
    paths = [os.path.join(request.datamask_dir, tile + "_datamask.tif"),
             os.path.join(request.wetland_dir, tile + "_wetlandmask.tif"), os.path.join(request.input_dir, tile)]
    try:
        with os.scandir(paths[2]) as entries:
            paths += sorted(e.path for e in entries)
    except OSError:
        pass
    for path in paths:
        try:
            if os.stat(path).st_mtime > started:
                return path
        except OSError:
            continue
    return None


def running_local_batch(request, latest=None):
    """The id of the local batch that holds OUTPUT_DIR's lock now, if any:
    the latest batch of its log directory (LATEST where the caller has read
    it already)."""
    try:
        fd = records.lock(request.output_dir)
    except OSError:
        return None
    if fd is not None:
        os.close(fd)
        return None
    latest = latest or records.Request.load(os.path.join(request.logs, records.BATCH_FILE))
    return latest.batch_id if latest else None


def parallel_reasons(joblog, jobs):
    """{job: why it did not run through}, from GNU parallel's job log, for
    the local JOBS it names: the exit status or signal of the job's last try
    and its host. A job that never started a tile's job (python3 missing on
    a host: exit 127; the tile job at another path there: exit 2) leaves no
    record, and this is all that is known of it. A log that cannot be read
    gives no reasons."""
    text = read_regular(joblog, JOBLOG_BYTES, follow=True) if joblog else None
    found = {}
    for line in (text or "").split("\n")[1:]:
        cells = line.split("\t", 8)
        if len(cells) < 9 or not cells[6].lstrip("-").isdigit() or not cells[7].isdigit():
            continue
        job = next((w for w in cells[8].split() if w in jobs), None)
        if job is None:
            continue
        host = "this machine" if cells[1] in (":", "") else "host " + cells[1]
        exit_status, signal_number = int(cells[6]), int(cells[7])
        if signal_number:
            found[job] = "killed by signal %d on %s" % (signal_number, host)
        elif exit_status:
            found[job] = "exit %d on %s" % (exit_status, host)
        else:
            found.pop(job, None)  # a later try ran through
    return found
