"""batch.sh: a tile list run with GNU parallel on this machine and ssh hosts,
one batch at a time per output directory, each tile's job writing its
record; the summary, the report, the region and the batch quality read the
records."""
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys

from . import facts, page, quality, region, report
from .cli import UsageError, jobs_for_memory, mem_available, notes, print_plan
from .records import State, LOCK_NAME, lock_batch
from .tilejob import printable, read_regular, write_text

PROG = "batch.sh"


def plural(n, word):
    return "%d %s%s" % (n, word, "" if n == 1 else "s")


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


def main(a, req):
    job_bytes = facts.job_memory_bytes(req.last_year, bool(req.tile_quality))
    available = a.mem_available if a.mem_available is not None else mem_available()
    cpus = sorted(os.sched_getaffinity(0))
    local_jobs = jobs_for_memory(available, job_bytes, len(cpus))
    if a.plan:
        print_plan(req, job_bytes, local_jobs, "this machine: %s, %d bytes available" % (plural(len(cpus), "core"), available))
        return 0
    hosts = logins(a, local_jobs)
    for what, path in (("", req.process_tile), ("--tile-quality ", req.tile_quality)):
        if path and not hosts and not os.access(path, os.X_OK):
            raise UsageError("%s%s is not an executable (build it first: scripts/build.sh)" % (what, printable(path)))
    for tool, needed in (("parallel", True), ("gnuplot", bool(req.tile_quality))):
        if needed and not shutil.which(tool):
            print("%s: %s is missing (scripts/install_deps.sh installs it)" % (PROG, tool), file=sys.stderr)
            return 2
    if a.resume and a.fresh:
        raise UsageError("--resume and --fresh exclude each other")
    joblog = os.path.abspath(a.joblog or os.path.join(req.output_dir, "batch.joblog"))
    locks = lock_batch(req)
    if os.path.lexists(joblog) and not os.path.isfile(joblog) or os.path.islink(joblog):
        raise UsageError("the job log %s is not a regular file" % printable(joblog))
    if os.path.lexists(joblog) and not (a.resume or a.fresh or a.dry_run):
        print("%s: %s exists from an earlier run: add --resume to run only the tiles not done, or --fresh to "
              "run every tile again" % (PROG, printable(joblog)), file=sys.stderr)
        return 2
    to_run = req.tiles
    if a.resume:
        done = {r.tile for r in report.build(req)[0] if r.state is State.DONE}
        to_run = [t for t in req.tiles if t[0] not in done]
    # Not even one job and the half kept free fits: one at a time, without --memfree.
    short = (available - job_bytes // 2) // job_bytes < 1
    memfree = a.memfree
    if memfree is None:
        memfree = 0 if hosts or short else job_bytes
    jobs = a.jobs or min(local_jobs, max(1, len(to_run)))
    tiles_file = os.path.join(req.logs, "tiles.tsv")
    login_file = os.path.join(req.logs, "sshlogins")
    # Over ssh each login's count is its host's CPUs to parallel, all of them in use.
    slots = "100%" if hosts and not a.jobs else str(jobs)
    cmd = ["parallel", "-q", "--colsep", "\t", "-a", tiles_file, "--jobs", slots, "--joblog", joblog,
           "--retries", str(a.retries)]
    if memfree:
        cmd += ["--memfree", str(memfree)]
    if hosts:
        cmd += ["--sshloginfile", login_file]
    if sys.stderr.isatty() and not a.dry_run:
        cmd += ["--bar"]
    if a.pin and not hosts:
        cmd += pin_word(jobs, cpus)
    cmd += ["python3" if hosts else sys.executable, *facts.PYTHON_FLAGS, facts.TILEJOB, "--quiet", "--logs", req.logs,
            "--job", "local-%s-{#}" % req.batch_id] + req.job_arguments() + ["{1}", "{2}", "{3}"]
    say = notes(PROG, a.dry_run)
    say("%s, last year %d, %d bytes per tile%s" % (plural(len(req.tiles), "tile"), req.last_year, job_bytes,
                                                   " with its quality run" if req.tile_quality else ""))
    if hosts:
        say("hosts as tiles-at-once/login%s: %s" % (" (--jobs %d on each)" % a.jobs if a.jobs else "",
                                                    printable(",".join(hosts))))
    else:
        say("memory available %d bytes, %s: %s at once" % (available, plural(len(cpus), "core"), plural(jobs, "tile")))
        if short:
            print("%s: warning: only %d bytes available for a tile of %d bytes: one tile at a time, no --memfree"
                  % (PROG, available, job_bytes), file=sys.stderr)
    say("job log %s, tile logs %s/tiles/<tile>/" % (printable(joblog), printable(req.logs)))
    write_text(tiles_file, "".join("%s\t%s\t%s\n" % t for t in to_run))
    if hosts:
        write_text(login_file, "".join(h + "\n" for h in hosts))
    if a.dry_run:  # run as printed, it holds the batch's lock as the batch would
        print(shlex.join(["flock", "-n", os.path.join(req.output_dir, LOCK_NAME)] + cmd))
        return 0
    if a.fresh and os.path.lexists(joblog):
        os.unlink(joblog)
    os.makedirs(os.path.dirname(joblog), exist_ok=True)
    req.save()
    if to_run:
        run_parallel(cmd, locks)
    return finish(req, locks)


def run_parallel(cmd, lock_fds):
    """GNU parallel, holding the batch's locks for as long as it or a job of
    its lives (a kill of this script leaves it running, and the output
    directory still locked); a stop asked of this script goes on to it."""
    child = subprocess.Popen(cmd, pass_fds=lock_fds)
    forward = lambda number, frame: child.send_signal(number)  # noqa: E731
    previous = {s: signal.signal(s, forward) for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)}
    try:
        child.wait()  # its status is the count of failed jobs; the records tell more
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def finish(req, locks):
    rows, source = report.build(req)
    failed = [r for r in rows if r.state is State.FAILED]
    left = [r for r in rows if not r.state.ended]
    print("%s: %s: %d succeeded, %d failed, %d not run" % (PROG, plural(len(rows), "tile"),
                                                            len(rows) - len(failed) - len(left), len(failed), len(left)))
    report.publish(req.logs, rows, source, PROG)
    in_quality = sum(1 for r in failed if r.products)
    if in_quality:
        print("%s: %d of the failed tiles failed in tile_quality; their products are written and in the region"
              % (PROG, in_quality))
    status = 1 if failed or left else 0
    with_products = [r.tile for r in rows if r.products]
    region_note = None
    if with_products and req.region:
        if region.build(req.output_dir, req.last_year, with_products) != 0:
            print("%s: the region mosaics and pictures could not be built (see above)" % PROG, file=sys.stderr)
            region_note = page.REGION_FAILED
            status = 1
    if req.tile_quality:
        with_quality = [r.tile for r in rows if r.state is State.DONE]
        if not with_quality:
            print("%s: no tile has its quality written: no batch quality" % PROG)
            status = 1
        elif quality.build(req.quality_dir, with_quality) != 0:
            print("%s: the batch quality could not be written (see above)" % PROG, file=sys.stderr)
            status = 1
    status |= page.publish(req, rows, source, PROG, region_note)
    for fd in locks:
        os.close(fd)
    if failed or left:
        print("%s: tiles to rerun (first line of standard output; full logs in %s/tiles/<tile>/):"
              % (PROG, printable(req.logs)))
        for r in failed + left:
            print("  %s  %s  %s" % (printable(r.tile), "exit " + r.exit if r.state is State.FAILED else r.state.value,
                                    r.message or "(no message; see its err log)"))
        print("%s: fix the cause, then run the same command with --resume" % PROG)
    return status
