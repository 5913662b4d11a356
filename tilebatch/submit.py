"""slurm_array.sh: a tile list submitted as Slurm job arrays, each tile
marked as handed to its task from submission on, and the follow-up job that
runs once every task has ended."""
import contextlib
import os
import shlex
import sys
import tempfile
from dataclasses import dataclass

from . import facts, slurm
from .errors import UsageError
from .finish import Ending, finish
from .plan import NotChecked, jobs_for_memory, mem_available, print_plan, refuse_zones
from .records import Request, State, lock_batch, mark_submitted
from .survey import survey
from .text import notes, printable, write_tile_tsv

PROG = "slurm_array.sh"
DEPENDENCY = '"${jobid%%;*}"'  # the shell's view of the id sbatch --parsable printed


@dataclass
class Submission:
    """What one call of slurm_array.sh submits."""
    list_file: str  # the whole list as a tile TSV: task i of an array runs line offset + i
    request_file: str  # the batch's request, read by mark-tasks and the follow-up job
    arrays: list  # [slurm.Window]
    cpus: int
    mem_mib: int
    max_running: int  # the array throttle, or None
    max_size: int  # MaxArraySize

    @property
    def chained(self):
        """With a throttle, each array waits for the one before, so the
        throttle holds for the whole list."""
        return bool(self.max_running) and len(self.arrays) > 1


def check(a, req):
    """What can be checked before anything is submitted: MaxArraySize."""
    for path in (req.process_tile, req.tile_quality, req.tile_accounts):
        if path and not os.access(path, os.X_OK):
            raise UsageError("%s is not an executable (build it first: scripts/build.sh)" % printable(path))
    try:
        slurm.output_pattern(req.logs)
    except ValueError as e:
        raise UsageError(str(e))
    max_size = a.max_array_size or int((slurm.config() or {}).get("MaxArraySize", "1001") or 1001)
    if max_size < 2:
        raise UsageError("MaxArraySize must be at least 2, not %d" % max_size)
    return max_size


def lines_to_submit(a, rows, say):
    """The list lines to submit: a tile whose task is still queued or running
    is left out (a second task would run the tile beside it), and with
    --resume a tile done."""
    busy = [r.tile for r in rows if r.state is State.RUNNING]
    if busy:
        say("%d tile(s) left out, their tasks still queued or running: %s"
            % (len(busy), " ".join(printable(t) for t in busy[:30])))
    lines = [n for n, r in enumerate(rows, 1) if r.state is not State.RUNNING and not (a.resume and r.state is State.DONE)]
    return lines, busy


def array_command(req, sub, k, previous):
    """The sbatch command of array K; chained, it waits for PREVIOUS, the
    array before (in a dry run the shell's $jobid)."""
    return slurm.array_command(req, sub.arrays[k], sub.list_file, facts.TILEJOB, sub.cpus, sub.mem_mib,
                               sub.max_running, previous if sub.chained and k else None)


def dry_run_script(req, sub):
    """The submission as lines to paste into bash: the shell keeps the ids
    sbatch prints, marks each array's tiles, then releases the array, and
    submits the follow-up job after them all."""
    lines = ["jobids="]
    mark = shlex.join(["python3", *facts.PYTHON_FLAGS, facts.LAUNCHER, "mark-tasks", sub.request_file, sub.list_file])
    for k, w in enumerate(sub.arrays):
        cmd = array_command(req, sub, k, "JOBID")
        lines.append("jobid=$(%s)" % shlex.join(cmd).replace("afterany:JOBID", "afterany:" + DEPENDENCY))
        lines.append("%s %s %s" % (mark, DEPENDENCY, shlex.join([str(w.offset), slurm.ranges(w.indices)])))
        lines.append("scontrol release %s" % DEPENDENCY)
        lines.append('jobids="$jobids:${jobid%%;*}"')
    follow = slurm.follow_up_command(req, sub.request_file, "JOBS")
    lines.append(shlex.join(follow).replace("--dependency=afterany:JOBS", '--dependency=afterany"$jobids"'))
    return "\n".join(lines) + "\n"


def say_arrays(req, sub, lines, say):
    each = "%d MiB and %d CPUs each" % (sub.mem_mib, sub.cpus)
    if len(sub.arrays) == 1:
        say("%d tiles in %s; tasks %s%s; %s" % (len(req.tiles), printable(sub.list_file),
                                                slurm.ranges(sub.arrays[0].indices),
                                                "%%%d" % sub.max_running if sub.max_running else "", each))
    else:
        say("%d tiles in %s; %d tasks in %d arrays (MaxArraySize %d%s); %s"
            % (len(req.tiles), printable(sub.list_file), len(lines), len(sub.arrays), sub.max_size,
               ", each after the one before, %%%d each" % sub.max_running if sub.chained else "", each))


def main(a, req):
    quality_run = bool(req.tile_quality)
    mem_mib = facts.task_memory_mib(req.last_year, quality_run)
    if a.plan:
        cpus, available = os.cpu_count(), mem_available()
        print_plan(req, mem_mib * facts.MIB, jobs_for_memory(available, mem_mib * facts.MIB, max(1, cpus // a.cpus)),
                   "a node like this one: %d CPUs over --cpus %d, %d bytes available over %d MiB a task"
                   % (cpus, a.cpus, available, mem_mib))
        return 0
    max_size = check(a, req)
    with contextlib.suppress(NotChecked):  # then each task's tile_accounts checks them
        refuse_zones(req)
    lock_batch(req)  # held (open descriptors) until the submission ends

    say = notes(PROG, a.dry_run)
    rows = survey(req)[0]
    if any(r.state is State.UNKNOWN for r in rows):
        print("%s: cannot tell which tiles' tasks are still queued or running (squeue does not answer); %s" % (
              PROG, "the commands below may run such a tile a second time" if a.dry_run else "nothing submitted"),
              file=sys.stderr)
        if not a.dry_run:
            return 1
    lines, busy = lines_to_submit(a, rows, say)
    if not lines:
        say("nothing to submit" if busy else "every tile of the list has finished with status 0%s; nothing to submit"
            % "".join([", and its quality run too"] * quality_run + [", with its accounts"] * bool(req.tile_accounts)))
        return 0
    fd, list_file = tempfile.mkstemp(prefix="tiles-", suffix=".tsv", dir=req.logs)
    os.close(fd)
    # With accounts, a fourth column: the part of the tile they count.
    write_tile_tsv(list_file, [tuple(t) + (req.part_of(t[0]) or "",) if req.tile_accounts else t for t in req.tiles])
    sub = Submission(list_file=list_file, request_file=os.path.join(req.logs, "batch-%s.json" % req.batch_id),
                     arrays=slurm.windows(lines, max_size), cpus=a.cpus, mem_mib=mem_mib, max_running=a.jobs,
                     max_size=max_size)
    req.save(sub.request_file)
    say_arrays(req, sub, lines, say)
    if a.dry_run:
        sys.stdout.write(dry_run_script(req, sub))
        return 0
    return submit(req, sub)


def submit(req, sub):
    """Each array submitted held, its tiles marked as its tasks', then
    released; the follow-up job after them all."""
    jobs = []
    for k, w in enumerate(sub.arrays):
        job, why = slurm.sbatch(array_command(req, sub, k, jobs[-1] if jobs else None))
        if job is None:
            print("%s: %s%s" % (PROG, why, "; arrays %s were submitted" % " ".join(jobs) if jobs else ""), file=sys.stderr)
            return 1
        jobs.append(job)
        # The array is held until its tiles are marked as its tasks': a task
        # queued unmarked would let an older record show its tile done.
        mark_tasks(req, job, w.offset, slurm.ranges(w.indices))
        if len(jobs) == 1:
            req.save()  # the latest batch of its log directory from its first marked task on
        _, why = slurm.run(["scontrol", "release", job], 300)
        if why:
            print("%s: array %s is submitted but held: %s; release it with: scontrol release %s"
                  % (PROG, job, why, job), file=sys.stderr)
            return 1
        indices = slurm.ranges(w.indices)
        lines_note = "" if len(sub.arrays) == 1 else ", lines %d-%d, offset %d: %d tiles" % (
            w.first, w.last, w.offset, len(w.indices))
        print("%s: submitted array job %s (tasks %s%s)" % (PROG, job, indices, lines_note))
    follow = slurm.follow_up_command(req, sub.request_file, ":".join(jobs))
    follow_job, why = slurm.sbatch(follow)
    if follow_job is None:
        print("%s: the follow-up job could not be submitted (%s); submit it by hand:\n%s"
              % (PROG, why, shlex.join(follow)), file=sys.stderr)
        return 1
    parts = ", ".join((["region"] if req.region else []) + (["batch quality"] if req.tile_quality else [])
                      + (["batch accounts"] if req.tile_accounts else []) + ["report"])
    print("%s: submitted follow-up job %s (%s), to start once job%s %s ha%s ended"
          % (PROG, follow_job, parts, "s" if len(jobs) > 1 else "", " ".join(jobs),
             "ve" if len(jobs) > 1 else "s"))
    return 0


def mark_tasks(req, array, offset, indices):
    """Each tile on line OFFSET + i of the list is handed to task i of ARRAY."""
    for lo, hi, step in slurm.expand(indices):
        for i in range(lo, hi + 1, step):
            line = offset + i
            if 1 <= line <= len(req.tiles):
                tile, x, y = req.tiles[line - 1]
                mark_submitted(req, tile, x, y, "%s_%d" % (array, i))


def mark_tasks_main(argv):
    """mark-tasks REQUEST_FILE LIST_FILE ARRAY_JOB OFFSET INDICES, as the dry
    run's script runs it: the tiles marked, and the batch made the latest of
    its log directory."""
    if argv in (["-h"], ["--help"]):
        print("usage: mark-tasks REQUEST_FILE LIST_FILE ARRAY_JOB OFFSET INDICES\n\n" + " ".join(mark_tasks_main.__doc__.split()))
        return 0
    req = Request.load(argv[0]) if len(argv) == 5 else None
    if req is None or not argv[2].isdigit() or not argv[3].isdigit():
        print("mark-tasks: expected REQUEST_FILE LIST_FILE ARRAY_JOB OFFSET INDICES", file=sys.stderr)
        return 2
    mark_tasks(req, argv[2], int(argv[3]), argv[4])
    req.save()
    return 0


def follow_up(argv):
    """The follow-up job: the region of the tiles with products, the batch
    quality of those done, and the report, of the batch in REQUEST_FILE."""
    if argv in (["-h"], ["--help"]):
        print("usage: follow-up REQUEST_FILE\n\n" + " ".join(follow_up.__doc__.split()))
        return 0
    req = Request.load(argv[0]) if len(argv) == 1 else None
    if req is None:
        print("follow-up: expected the batch's request file", file=sys.stderr)
        return 2
    rows, source = survey(req, inputs=True)
    listing = os.environ.get("SLURM_JOB_ID", str(os.getpid()))
    return finish(req, rows, source, Ending("report", listing=listing))
