"""slurm_array.sh: a tile list submitted as Slurm job arrays, each tile
marked as handed to its task from submission on, and the follow-up job that
runs once every task has ended."""
import os
import shlex
import sys
import tempfile

from . import facts, page, quality, region, report, slurm
from .cli import UsageError, jobs_for_memory, mem_available, notes, print_plan
from .records import State, Request, lock_batch, mark_submitted
from .tilejob import printable, write_text

PROG = "slurm_array.sh"
DEPENDENCY = '"${jobid%%;*}"'  # the shell's view of the id sbatch --parsable printed


def main(a, req):
    quality_run = bool(req.tile_quality)
    mem_mib = facts.task_memory_mib(req.last_year, quality_run)
    if a.plan:
        cpus, available = os.cpu_count(), mem_available()
        print_plan(req, mem_mib * facts.MIB, jobs_for_memory(available, mem_mib * facts.MIB, max(1, cpus // a.cpus)),
                   "a node like this one: %d CPUs over --cpus %d, %d bytes available over %d MiB a task"
                   % (cpus, a.cpus, available, mem_mib))
        return 0
    for path in (req.process_tile, req.tile_quality):
        if path and not os.access(path, os.X_OK):
            raise UsageError("%s is not an executable (build it first: scripts/build.sh)" % printable(path))
    try:
        slurm.output_pattern(req.logs)
    except ValueError as e:
        raise UsageError(str(e))
    max_size = a.max_array_size or int((slurm.config() or {}).get("MaxArraySize", "1001") or 1001)
    if max_size < 2:
        raise UsageError("MaxArraySize must be at least 2, not %d" % max_size)
    lock_batch(req)  # held (open descriptors) until the submission ends

    say = notes(PROG, a.dry_run)
    rows = report.build(req)[0]
    if any(r.state is State.UNKNOWN for r in rows):
        print("%s: cannot tell which tiles' tasks are still queued or running (squeue does not answer); %s" % (
              PROG, "the commands below may run such a tile a second time" if a.dry_run else "nothing submitted"),
              file=sys.stderr)
        if not a.dry_run:
            return 1
    # A tile whose task is still queued or running is left out: a second task
    # would run the tile beside it.
    busy = [r.tile for r in rows if r.state is State.RUNNING]
    if busy:
        say("%d tile(s) left out, their tasks still queued or running: %s"
            % (len(busy), " ".join(printable(t) for t in busy[:30])))
    lines = [n for n, r in enumerate(rows, 1) if r.state is not State.RUNNING and not (a.resume and r.state is State.DONE)]
    if not lines:
        say("nothing to submit" if busy else "every tile of the list has finished with status 0%s; nothing to submit"
            % (", and its quality run too" if quality_run else ""))
        return 0
    fd, list_file = tempfile.mkstemp(prefix="tiles-", suffix=".tsv", dir=req.logs)
    os.close(fd)
    write_text(list_file, "".join("%s\t%s\t%s\n" % t for t in req.tiles))
    request_file = os.path.join(req.logs, "batch-%s.json" % req.batch_id)
    req.save(request_file)
    arrays = slurm.windows(lines, max_size)
    chained = bool(a.jobs) and len(arrays) > 1
    each = "%d MiB and %d CPUs each" % (mem_mib, a.cpus)
    if len(arrays) == 1:
        say("%d tiles in %s; tasks %s%s; %s" % (len(req.tiles), printable(list_file), slurm.ranges(arrays[0][1]),
                                                "%%%d" % a.jobs if a.jobs else "", each))
    else:
        say("%d tiles in %s; %d tasks in %d arrays (MaxArraySize %d%s); %s"
            % (len(req.tiles), printable(list_file), len(lines), len(arrays), max_size,
               ", each after the one before, %%%d each" % a.jobs if chained else "", each))
    jobs = []
    if a.dry_run:  # to paste into bash as printed: the shell keeps the ids sbatch prints
        print("jobids=")
    for k, w in enumerate(arrays):
        indices = slurm.ranges(w[1])
        after = ("JOBID" if a.dry_run else jobs[-1]) if chained and k else None
        cmd = slurm.array_command(req, w, list_file, facts.TILEJOB, a.cpus, mem_mib, a.jobs, after)
        if a.dry_run:
            print("jobid=$(%s)" % shlex.join(cmd).replace("afterany:JOBID", "afterany:" + DEPENDENCY))
            print("%s %s %s" % (shlex.join(["python3", *facts.PYTHON_FLAGS, facts.LAUNCHER, "mark-tasks", request_file, list_file]),
                                DEPENDENCY, shlex.join([str(w[0]), indices])))
            print("scontrol release %s" % DEPENDENCY)
            print('jobids="$jobids:${jobid%%;*}"')
            continue
        job, why = slurm.sbatch(cmd)
        if job is None:
            print("%s: %s%s" % (PROG, why, "; arrays %s were submitted" % " ".join(jobs) if jobs else ""), file=sys.stderr)
            return 1
        jobs.append(job)
        # The array is held until its tiles are marked as its tasks': a task
        # queued unmarked would let an older record show its tile done.
        mark_tasks([request_file, list_file, job, str(w[0]), indices])
        _, why = slurm.run(["scontrol", "release", job], 300)
        if why:
            print("%s: array %s is submitted but held: %s; release it with: scontrol release %s"
                  % (PROG, job, why, job), file=sys.stderr)
            return 1
        lines_note = "" if len(arrays) == 1 else ", lines %d-%d, offset %d: %d tiles" % (w[2], w[3], w[0], len(w[1]))
        print("%s: submitted array job %s (tasks %s%s)" % (PROG, job, indices, lines_note))
    follow = slurm.follow_up_command(req, request_file, "JOBS" if a.dry_run else ":".join(jobs))
    if a.dry_run:
        print(shlex.join(follow).replace("--dependency=afterany:JOBS", '--dependency=afterany"$jobids"'))
        return 0
    follow_job, why = slurm.sbatch(follow)
    if follow_job is None:
        print("%s: the follow-up job could not be submitted (%s); submit it by hand:\n%s"
              % (PROG, why, shlex.join(follow)), file=sys.stderr)
        return 1
    parts = ", ".join((["region"] if req.region else []) + (["batch quality"] if quality_run else []) + ["report"])
    print("%s: submitted follow-up job %s (%s), to start once job%s %s ha%s ended"
          % (PROG, follow_job, parts, "s" if len(jobs) > 1 else "", " ".join(jobs),
             "ve" if len(jobs) > 1 else "s"))
    return 0


def mark_tasks(argv):
    """REQUEST_FILE LIST_FILE ARRAY_JOB OFFSET INDICES: each tile on line
    OFFSET + i of the list is handed to task i of the array; the batch
    becomes the latest of its log directory."""
    request_file, list_file, array, offset, indices = argv
    req = Request.load(request_file)
    if req is None or not array.isdigit() or not offset.isdigit():
        print("mark-tasks: expected REQUEST_FILE LIST_FILE ARRAY_JOB OFFSET INDICES", file=sys.stderr)
        return 2
    for lo, hi, step in slurm.expand(indices):
        for i in range(lo, hi + 1, step):
            line = int(offset) + i
            if 1 <= line <= len(req.tiles):
                tile, x, y = req.tiles[line - 1]
                mark_submitted(req, tile, x, y, "%s_%d" % (array, i))
    req.save(request_file)
    req.save()
    return 0


def follow_up(argv):
    """The follow-up job: the region of the tiles with products, the batch
    quality of those done, and the report, of the batch in REQUEST_FILE."""
    req = Request.load(argv[0]) if len(argv) == 1 else None
    if req is None:
        print("follow-up: expected the batch's request file", file=sys.stderr)
        return 2
    job = os.environ.get("SLURM_JOB_ID", str(os.getpid()))
    rows, source = report.build(req)
    status, region_note = 0, None
    parts = [("region", req.region, [r for r in rows if r.products], "finished with status 0"),
             ("quality", bool(req.tile_quality), [r for r in rows if r.state is State.DONE], "with quality status 0")]
    coords = {t: (x, y) for t, x, y in req.tiles}
    for name, wanted, chosen, how in parts:
        if not wanted:
            continue
        listed = os.path.join(req.logs, "%s-%s.tsv" % (name, job))
        write_text(listed, "".join("%s\t%s\t%s\n" % ((r.tile,) + coords[r.tile]) for r in chosen))
        what = "region" if name == "region" else "batch quality"
        print("%s: %d of %d tiles %s (listed in %s)" % (what, len(chosen), len(rows), how, printable(listed)))
        if not chosen:
            print("%s: no tile to take" % what)
        elif name == "region":
            if region.build(req.output_dir, req.last_year, [r.tile for r in chosen]) != 0:
                region_note = page.REGION_FAILED
                status = 1
        else:
            status |= quality.build(req.quality_dir, [r.tile for r in chosen])
    report.publish(req.logs, rows, source, "report")
    status |= page.publish(req, rows, source, "report", region_note)
    return 1 if status else 0
