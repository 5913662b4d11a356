"""batch.sh: a tile list run with GNU parallel on this machine and ssh hosts,
one batch at a time per output directory, each tile's job writing its
record; the summary, the report, the region and the batch quality read the
records."""
import contextlib
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
from dataclasses import dataclass

from . import facts, pictures
from .errors import Refused, UsageError
from .finish import Ending, finish
from .plan import NotChecked, jobs_for_memory, mem_available, print_plan, refuse_zones
from .records import LOCK_NAME, State, lock_batch, mark_submitted
from .survey import survey
from .text import notes, plural, printable, read_regular, write_text, write_tile_tsv
from .tilejob import LOCAL_PREFIX, PARTS_FILE

PROG = "batch.sh"


def logins(a, local_jobs):
    """parallel's logins as "N/login": N tiles at once on that host (parallel
    takes N as its CPU count and runs 100% of it); a login without N gets 1,
    this machine (":") the count computed for it."""
    given = [part for option in a.sshlogin for part in option.split(",")]
    if a.sshloginfile:
        text = read_regular(a.sshloginfile, follow=True)
        if text is None:
            raise UsageError("--sshloginfile %s is not a readable file" % printable(a.sshloginfile))
        given += [line for line in text.split("\n") if not line.lstrip().startswith("#")]
    result = []
    for login in (g.strip() for g in given):
        if not login:
            continue
        if login in ("..", "-"):
            raise UsageError("list the hosts in a file for --sshloginfile instead of %r" % login)
        group, count, host = re.fullmatch(r"(@[^/]*/)?(\d+/)?(.*)", login).groups()
        result.append((group or "") + (count or "%d/" % (local_jobs if host == ":" else 1)) + host)
    return result


def pin_word(jobs, cpus):
    """taskset of each job slot to its share of the CPUs this batch may use:
    process_tile starts a thread per CPU it may use."""
    if jobs < 2 or jobs > len(cpus) or not shutil.which("taskset"):
        return []
    lists, start = [], 0
    for s in range(jobs):
        share = len(cpus) // jobs + (1 if s < len(cpus) % jobs else 0)
        lists.append('"%s"' % ",".join(map(str, cpus[start:start + share])))
        start += share
    return ["taskset", "-c", "{=1 $_ = (%s)[slot() - 1] =}" % ",".join(lists)]


@dataclass
class Placement:
    """Where and how many tiles run at once: this machine's figures, or the
    ssh hosts'."""
    job_bytes: int
    available: int  # bytes of memory this machine has for the batch
    cpus: list  # the CPUs this batch may use
    local_jobs: int  # tiles at once on this machine, as its memory and CPUs allow
    hosts: list  # parallel's logins ("N/host"); none: this machine alone

    @property
    def short(self):
        """Not even one job and the half kept free fits: one at a time, without --memfree."""
        return (self.available - self.job_bytes // 2) // self.job_bytes < 1


@dataclass
class Run:
    """What one call of batch.sh runs: the parallel command's choices."""
    to_run: list  # [(tile, x, y)]
    jobs: int
    slots: str  # parallel's --jobs
    memfree: int  # parallel's --memfree, 0 off
    joblog: str
    tiles_file: str
    login_file: str
    retries: int
    pin: bool
    bar: bool


def placement(a, req):
    job_bytes = facts.job_memory_bytes(req.last_year, bool(req.tile_quality))
    available = a.mem_available if a.mem_available is not None else mem_available()
    cpus = sorted(os.sched_getaffinity(0))
    local_jobs = jobs_for_memory(available, job_bytes, len(cpus))
    return Placement(job_bytes, available, cpus, local_jobs, logins(a, local_jobs))


def check(a, req, where):
    """What can be checked before any file is touched, and the job log's
    kind and name. Raises UsageError or Refused."""
    for what, path in (("", req.process_tile), ("--tile-quality ", req.tile_quality),
                       ("--tile-accounts ", req.tile_accounts)):
        if path and not where.hosts and not os.access(path, os.X_OK):
            raise UsageError("%s%s is not an executable (build it first: scripts/build.sh)" % (what, printable(path)))
    # tile_quality draws its chart with the gnuplot of an absolute PATH directory, as the pictures do.
    for tool, missing in (("parallel", not shutil.which("parallel")),
                          ("gnuplot", bool(req.tile_quality) and pictures.gnuplot() is None)):
        if missing:
            raise Refused("%s is missing (scripts/install_deps.sh installs it)" % tool)
    if a.resume and a.fresh:
        raise UsageError("--resume and --fresh exclude each other")
    total, available = mem_available("MemTotal"), mem_available()
    here = not where.hosts or any(h.rsplit("/", 1)[-1] == ":" for h in where.hosts)
    if a.memfree and here and total and a.memfree > total:
        # parallel would start no job and wait, silent, for ever.
        raise UsageError("--memfree %d is more than this machine's memory (%d bytes)" % (a.memfree, total))
    if a.memfree and here and available and a.memfree > available:
        print("%s: warning: --memfree %d is more than the %d bytes available now: parallel starts no tile here "
              "until that much is free" % (PROG, a.memfree, available), file=sys.stderr)
    return os.path.abspath(a.joblog or os.path.join(req.output_dir, "batch.joblog"))


def check_joblog(a, joblog):
    """Once the batch holds its locks: an earlier run's job log is kept unless
    asked otherwise."""
    if os.path.lexists(joblog) and not os.path.isfile(joblog) or os.path.islink(joblog):
        raise UsageError("the job log %s is not a regular file" % printable(joblog))
    if os.path.lexists(joblog) and not (a.resume or a.fresh or a.dry_run):
        raise Refused("%s exists from an earlier run: add --resume to run only the tiles not done, or --fresh to "
                      "run every tile again" % printable(joblog))


def plan_run(a, req, where, joblog, to_run):
    memfree = a.memfree
    if memfree is None:
        memfree = 0 if where.hosts or where.short else where.job_bytes
    jobs = a.jobs or min(where.local_jobs, max(1, len(to_run)))
    # Over ssh each login's count is its host's CPUs to parallel, all of them in use.
    slots = "100%" if where.hosts and not a.jobs else str(jobs)
    return Run(to_run=to_run, jobs=jobs, slots=slots, memfree=memfree, joblog=joblog,
               tiles_file=os.path.join(req.logs, "tiles.tsv"), login_file=os.path.join(req.logs, "sshlogins"),
               retries=a.retries, pin=a.pin, bar=sys.stderr.isatty() and not a.dry_run)


def job_id(req, line):
    """The job of line LINE of this run's tile TSV: no later batch can repeat
    it, as each batch has an id of its own."""
    return "%s%s-%d" % (LOCAL_PREFIX, req.batch_id, line)


def job_rows(req, run, where, interpreter=sys.executable):
    """The tile TSV's rows: each the tile, its origin, then the command of its
    job, a word a column (the tile's three words end the command). Over ssh the job runs the remote host's python3 on the tile job at
    the same path as here."""
    python = "python3" if where.hosts else interpreter
    return [[tile, x, y, python, *facts.PYTHON_FLAGS, facts.TILEJOB, "--quiet", "--logs", req.logs, "--job",
             job_id(req, line), "--batch", req.batch_id]
            # The parts in a file: one may be too long for parallel's command line.
            + (["--parts-file=" + parts_file(req)] if req.tile_accounts else []) + req.job_arguments()
            for line, (tile, x, y) in enumerate(run.to_run, 1)]


def parts_file(req):
    return os.path.join(req.logs, PARTS_FILE)


def parallel_command(run, where, columns):
    """The GNU parallel command of a batch: each job runs the words of one
    line of the tile TSV, the tile's three after its command. Paths and ids travel there as data: parallel would
    expand {}, {1}, {#} or run the Perl of {= ... =} found in a word of its
    command template, and sends a column's value as it is."""
    # --colsep trims blanks around each column unless told not to: a path
    # ending in a space would name another file.
    cmd = ["parallel", "-q", "--colsep", "\t", "--trim", "n", "-a", run.tiles_file, "--jobs", run.slots,
           "--joblog", run.joblog, "--retries", str(run.retries)]
    if run.memfree:
        cmd += ["--memfree", str(run.memfree)]
    if where.hosts:
        cmd += ["--sshloginfile", run.login_file]
    if run.bar:
        cmd += ["--bar"]
    if run.pin and not where.hosts:
        cmd += pin_word(run.jobs, where.cpus)
    return cmd + ["{%d}" % k for k in range(4, columns + 1)] + ["{1}", "{2}", "{3}"]


def as_data(req, run, where):
    """UsageError where a path cannot travel as a column of the tile TSV: a
    tab or a newline would split it. (parallel takes the values of its own
    options, the list's and the job log's names, as they are.)"""
    for what, path in (("OUTPUT_DIR", req.output_dir), ("--logs", req.logs), ("--joblog", run.joblog),
                       ("INPUT_DIR", req.input_dir), ("DATAMASK_DIR", req.datamask_dir),
                       ("WETLAND_DIR", req.wetland_dir), ("PROCESS_TILE", req.process_tile),
                       ("--tile-quality", req.tile_quality or ""), ("the project's directory", facts.PROJECT_ROOT),
                       ("--tile-accounts", req.tile_accounts or ""), ("--zones", req.zones or ""),
                       ("--zone-field", req.zone_field or ""), ("--zone-layer", req.zone_layer or "")):
        if "\t" in path or "\n" in path:
            raise UsageError("%s %s holds a tab or a newline: GNU parallel cannot be handed it" % (what, printable(path)))


def dry_run_script(req, cmd):
    """The dry run's command, runnable as printed: it holds the batch's lock
    as the batch would."""
    return shlex.join(["flock", "-n", os.path.join(req.output_dir, LOCK_NAME)] + cmd)


def say_plan(a, req, run, where):
    say = notes(PROG, a.dry_run)
    say("%s, last year %d, %d bytes per tile%s" % (plural(len(req.tiles), "tile"), req.last_year, where.job_bytes,
                                                   " with its quality run" if req.tile_quality else ""))
    if where.hosts:
        say("hosts as tiles-at-once/login%s: %s" % (" (--jobs %d on each)" % a.jobs if a.jobs else "",
                                                    printable(",".join(where.hosts))))
    else:
        say("memory available %d bytes, %s: %s at once" % (where.available, plural(len(where.cpus), "core"),
                                                          plural(run.jobs, "tile")))
        if where.short:
            print("%s: warning: only %d bytes available for a tile of %d bytes: one tile at a time, no --memfree"
                  % (PROG, where.available, where.job_bytes), file=sys.stderr)
    say("job log %s, tile logs %s/tiles/<tile>/" % (printable(run.joblog), printable(req.logs)))


def main(a, req):
    where = placement(a, req)
    if a.plan:
        print_plan(req, where.job_bytes, where.local_jobs,
                   "this machine: %s, %d bytes available" % (plural(len(where.cpus), "core"), where.available))
        return 0
    joblog = check(a, req, where)
    with contextlib.suppress(NotChecked):  # then each tile's tile_accounts checks them
        refuse_zones(req)
    locks = lock_batch(req)
    check_joblog(a, joblog)
    to_run, busy = tiles_to_run(a, req)
    run = plan_run(a, req, where, joblog, to_run)
    as_data(req, run, where)
    rows = job_rows(req, run, where)
    cmd = parallel_command(run, where, len(rows[0]) if rows else 0)
    say_plan(a, req, run, where)
    write_tile_tsv(run.tiles_file, rows)
    if req.tile_accounts:
        write_tile_tsv(parts_file(req), [(tile, req.part_of(tile) or "") for tile, _, _ in req.tiles])
    if where.hosts:
        write_text(run.login_file, "".join(h + "\n" for h in where.hosts))
    if a.dry_run:
        print(dry_run_script(req, cmd))
        return 0
    if a.fresh and os.path.lexists(joblog):
        os.unlink(joblog)
    os.makedirs(os.path.dirname(joblog), exist_ok=True)
    req.joblog = joblog
    req.save()
    if not to_run:
        print("%s: nothing to run: %s already done%s" % (PROG, plural(len(req.tiles) - len(busy), "tile"),
                                                         "" if not busy else ", %d queued or running" % len(busy)))
        return end(req, locks, ran=False)
    # Every tile is marked as its job's before parallel can start one: until
    # the job writes a record, no older record makes the tile done, and a job
    # that never starts leaves its tile failed, not done.
    for line, (tile, x, y) in enumerate(to_run, 1):
        mark_submitted(req, tile, x, y, job_id(req, line))
    return end(req, locks, parallel_status=run_parallel(cmd, locks))


def run_parallel(cmd, lock_fds):
    """GNU parallel, holding the batch's locks for as long as it or a job of
    its lives (a kill of this script leaves it running, and the output
    directory still locked); a stop asked of this script goes on to it."""
    child = subprocess.Popen(cmd, pass_fds=lock_fds)
    forward = lambda number, frame: child.send_signal(number)  # noqa: E731
    previous = {s: signal.signal(s, forward) for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)}
    try:
        # Its status: the count of failed jobs (the records tell more), or
        # more than 100 where parallel itself failed.
        return child.wait()
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def tiles_to_run(a, req):
    """The tiles this run hands to parallel, and those it leaves out because
    a Slurm task of theirs is queued or running (a second job would run the
    tile beside it); with --resume, not those done. Raises Refused where
    Slurm cannot say which tiles' tasks still run."""
    rows = survey(req)[0]
    if any(r.state is State.UNKNOWN for r in rows):
        why = "cannot tell which tiles' Slurm tasks are still queued or running (squeue does not answer)"
        if not a.dry_run:
            raise Refused(why + "; nothing run")
        print("%s: %s; the command below may run such a tile a second time" % (PROG, why), file=sys.stderr)
    busy = [r.tile for r in rows if r.state is State.RUNNING]
    if busy:
        notes(PROG, a.dry_run)("%d tile(s) left out, their tasks still queued or running: %s"
                               % (len(busy), " ".join(printable(t) for t in busy[:30])))
    skip = set(busy) | ({r.tile for r in rows if r.state is State.DONE} if a.resume else set())
    return [t for t in req.tiles if t[0] not in skip], busy


def end(req, locks, parallel_status=0, ran=True):
    """The batch's end once parallel has ended: its count, the common end,
    and the tiles to rerun. Not 0 where parallel was not: a job it could not
    start leaves no record, and parallel itself may have failed."""
    rows, source = survey(req, inputs=True)
    failed = [r for r in rows if r.state is State.FAILED]
    left = [r for r in rows if not r.state.ended]
    if ran:
        print("%s: %s: %d succeeded, %d failed, %d not run" % (
            PROG, plural(len(rows), "tile"), len(rows) - len(failed) - len(left), len(failed), len(left)))
    status = finish(req, rows, source, Ending(PROG))
    if parallel_status and not failed:
        print("%s: GNU parallel ended with status %d (see its messages above)" % (PROG, parallel_status),
              file=sys.stderr)
        status = 1
    for fd in locks:
        os.close(fd)
    # A tile with its products written failed after process_tile: in its
    # quality run, or in its accounts (a failed run or a table changed since).
    after = [r for r in failed if r.products]
    in_quality = sum(1 for r in after if r.message.startswith("tile_quality: "))
    where = (("in tile_quality", in_quality), ("in their accounts", len(after) - in_quality))
    for what, count in where:
        if count:
            print("%s: %d of the failed tiles failed %s; their products are written%s"
                  % (PROG, count, what, " and in the region" if req.region else ""))
    if failed or left:
        print("%s: tiles to rerun (first line of standard output; full logs in %s/tiles/<tile>/):"
              % (PROG, printable(req.logs)))
        for r in failed + left:
            print("  %s  %s  %s" % (printable(r.tile), "exit " + r.exit if r.state is State.FAILED else r.state.value,
                                    r.message or "(no message; see its err log)"))
        print("%s: fix the cause, then run the same command with --resume" % PROG)
        status = 1
    return status
