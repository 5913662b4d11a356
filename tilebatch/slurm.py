"""Slurm: the arrays a list goes out as, the sbatch commands (pure
functions, so they are tested without a cluster), and what squeue, sacct
and scontrol print, read by parsers tested on their real output."""
import os
import re
import shlex
import shutil
import subprocess

from typing import NamedTuple, Optional

from . import facts
from .text import printable

# The states of a job that is queued or running: its tile is busy.
ACTIVE_SLURM_STATES = {"PENDING", "RUNNING", "REQUEUED", "RESIZING", "SUSPENDED", "CONFIGURING",
                       "COMPLETING", "SIGNALING", "STAGE_OUT", "REQUEUE_HOLD", "REQUEUE_FED"}

# Slurm numbers no array task past this (the most MaxArraySize can be).
MAX_TASK = 4000000


class Window(NamedTuple):
    """One array of a submission: task i runs list line OFFSET + i."""
    offset: int
    indices: list  # the task indices, ascending
    first: int  # its first and last list line
    last: int


class JobState(NamedTuple):
    """What the scheduler says of one job: ACTIVE True while queued or
    running, False once ended, None where that cannot be told; from Slurm's
    accounting also its state, node, wall seconds and peak memory; REASON
    why a job that ended did not start, where that is known (GNU parallel's
    job log of a local batch)."""
    active: Optional[bool]
    state: Optional[str] = None
    node: Optional[str] = None
    elapsed_s: Optional[int] = None
    rss_kib: Optional[int] = None
    reason: Optional[str] = None


QUEUED_OR_RUNNING = JobState(True)
ENDED = JobState(False)
NOT_KNOWN = JobState(None)


# ---- arrays -----------------------------------------------------------------
def ranges(indices):
    """[1, 2, 3, 5] -> "1-3,5"."""
    runs = []
    for i in indices:
        if runs and runs[-1][1] == i - 1:
            runs[-1][1] = i
        else:
            runs.append([i, i])
    return ",".join(str(lo) if lo == hi else "%d-%d" % (lo, hi) for lo, hi in runs)


def windows(lines, max_size):
    """The arrays that run list lines LINES (numbers from 1, ascending) when
    Slurm takes task indices 0 to MAX_SIZE - 1: the first array runs lines 1
    to MAX_SIZE - 1 as the tasks of those numbers, each later one a window
    of MAX_SIZE lines from its first line L, line L + i as task i. The first
    array numbers its tasks as the lines only where that costs no array more
    (a sparse --unfinished selection can need fewer arrays when each is a
    window from its first line). [Window]."""
    def cover(first_offset):
        result = []
        for line in lines:
            if not result or line - result[-1][0] > max_size - 1:
                result.append([line if result else first_offset, [], line, line])
            window = result[-1]
            window[1].append(line - window[0])
            window[3] = line
        return [Window(*w) for w in result]

    fewest = cover(lines[0] if lines else 0)
    if lines and lines[0] <= max_size - 1:
        numbered = cover(0)
        if len(numbered) == len(fewest):
            return numbered
    return fewest


def output_pattern(directory):
    """DIRECTORY for sbatch's --output, where % starts a pattern: %% is a
    plain %. A backslash turns all patterns off, so it cannot be escaped."""
    if "\\" in directory:
        raise ValueError("Slurm cannot take a log directory whose path holds a backslash: %s" % printable(directory))
    return directory.replace("%", "%%")


def array_command(req, window, list_file, tilejob, cpus, mem_mib, max_running, after=None):
    """The sbatch command of one array: every task runs TILEJOB (sbatch keeps
    a copy of it) on line OFFSET + its index of LIST_FILE."""
    offset, indices = window.offset, window.indices
    throttle = "%%%d" % max_running if max_running else ""
    cmd = ["sbatch", "--parsable", "--hold", "--job-name=process_tile_%d" % req.last_year,
           "--array=" + ranges(indices) + throttle, "--ntasks=1", "--cpus-per-task=%d" % cpus,
           "--mem=%dM" % mem_mib, "--output=" + output_pattern(req.logs) + "/slurm-%A_%a.out"]
    if after:
        cmd.append("--dependency=afterany:" + after)
    return cmd + [tilejob, "--logs", req.logs, "--batch", req.batch_id, "--slurm-list", list_file, "--offset",
                  str(offset)] + req.job_arguments()


FOLLOW_UP_CPUS = 2
FOLLOW_UP_MIB = 2048


def follow_up_command(req, request_file, after, launcher=facts.LAUNCHER):
    """The job that runs once every array has ended: the region, the batch
    quality and the report of the batch whose request is REQUEST_FILE."""
    body = ["python3", *facts.PYTHON_FLAGS, launcher, "follow-up", request_file]
    # Measured (bench/region_scale.py): 20,000 tiles take about 7 minutes on
    # 2 CPUs and peak near 1 GiB; the request leaves room over that.
    return ["sbatch", "--parsable", "--job-name=followup_%d" % req.last_year, "--ntasks=1",
            "--cpus-per-task=%d" % FOLLOW_UP_CPUS, "--mem=%dM" % FOLLOW_UP_MIB,
            "--output=" + output_pattern(req.logs) + "/slurm-followup-%j.out",
            "--dependency=afterany:" + after, "--wrap=exec " + shlex.join(body)]


def job_id(parsable):
    """sbatch --parsable prints "id" or "id;cluster"."""
    value = parsable.strip().split(";")[0]
    if not value.isdigit():
        raise ValueError("sbatch printed no job id: %r" % parsable.strip())
    return value


# ---- what Slurm prints ------------------------------------------------------------
def parse_config(text):
    """scontrol show config: "Name = value" lines."""
    config = {}
    for line in text.splitlines():
        name, sep, value = line.partition("=")
        if sep and name.strip():
            config[name.strip()] = value.strip()
    return config


def expand(ranges_text):
    """A task range list as Slurm prints it, "1-3,7,8-12:2%4", into [(lo, hi, step)]."""
    ranges_text = ranges_text.split("%")[0]
    result = []
    for part in ranges_text.split(","):
        m = re.fullmatch(r"(\d+)(?:-(\d+)(?::(\d+))?)?", part)
        if m:
            lo = int(m.group(1))
            result.append((lo, min(int(m.group(2) or lo), MAX_TASK), max(int(m.group(3) or 1), 1)))
    return result


class Tasks:
    """Records per array task: those of tasks of their own, and ranges of
    tasks that share one record (queued, or cancelled before they started)."""

    def __init__(self):
        self.own, self.shared = {}, {}

    def add(self, job, value):
        """A record of task ARRAY_INDEX, of a job, or of ARRAY_[RANGES]."""
        m = re.fullmatch(r"(\d+)_\[([0-9,:%-]+)\]", job)
        if m:
            self.shared.setdefault(m.group(1), []).extend(r + (value,) for r in expand(m.group(2)))
        elif re.fullmatch(r"\d+(_\d+)?", job):
            self.own[job] = value

    def get(self, task):
        if task in self.own:
            return self.own[task]
        array, _, index = task.partition("_")
        for lo, hi, step, value in self.shared.get(array, []):
            if index.isdigit() and lo <= int(index) <= hi and (int(index) - lo) % step == 0:
                return value
        return None


def parse_sacct(text):
    """sacct --noheader --parsable2 --noconvert with
    JobID,State,ExitCode,ElapsedRaw,MaxRSS,NodeList."""
    tasks, rss = Tasks(), {}
    for line in text.splitlines():
        f = line.split("|")
        if len(f) < 6:
            continue
        job, state = f[0], (f[1].split() or [""])[0]
        if "." in job:  # a step: its memory counts for the task
            if f[4].isdigit():
                task = job.split(".")[0]
                rss[task] = max(rss.get(task, 0), int(f[4]) // 1024)
            continue
        value = JobState(active=state in ACTIVE_SLURM_STATES, state=state, node=f[5],
                         elapsed_s=int(f[3]) if f[3].isdigit() else None)
        tasks.add(job, value)
    for task, kib in rss.items():
        if task in tasks.own:
            tasks.own[task] = tasks.own[task]._replace(rss_kib=kib)
    return tasks


def parse_squeue(text):
    """squeue -h -r -o %i: the tasks queued or running."""
    tasks = Tasks()
    for job in text.split():
        tasks.add(job, QUEUED_OR_RUNNING)
    return tasks


def run(command, timeout, env=None):
    """A Slurm command's output, or None and why not: a controller that does
    not answer ends the call, it does not hang the batch."""
    if not shutil.which(command[0]):
        return None, command[0] + " is not installed here"
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return None, "%s did not answer within %d s" % (command[0], timeout)
    if done.returncode != 0:
        lines = [l for l in done.stderr.splitlines() if l.strip()]
        return None, "%s failed: %s" % (command[0], lines[-1] if lines else "exit status %d" % done.returncode)
    return done.stdout, None


def sbatch(command):
    """The job id sbatch --parsable printed, or None and why not."""
    out, why = run(command, 300)
    if out is None:
        return None, why
    try:
        return job_id(out), None
    except ValueError as e:
        return None, str(e)


def config():
    text, _ = run(["scontrol", "show", "config"], 60)
    return None if text is None else parse_config(text)


def queue():
    """The tasks queued or running, or None where squeue cannot tell."""
    text, _ = run(["squeue", "-h", "-r", "-o", "%i"], 60)
    return None if text is None else parse_squeue(text)


def accounting(cluster, jobs):
    """Slurm's accounting of the arrays JOBS, or None and why not."""
    if cluster is None:
        return None, "scontrol show config did not answer, so whether the cluster keeps job accounting is not known"
    if cluster.get("AccountingStorageType", "accounting_storage/none") == "accounting_storage/none":
        return None, "the cluster keeps no job accounting"
    arrays = sorted({j.split("_")[0] for j in jobs})
    env = dict(os.environ, SLURM_BITSTR_LEN="0")  # a queued array's range printed whole
    text = ""
    for k in range(0, len(arrays), 100):
        out, why = run(["sacct", "--noheader", "--parsable2", "--noconvert", "--jobs=" + ",".join(arrays[k:k + 100]),
                        "--format=JobID,State,ExitCode,ElapsedRaw,MaxRSS,NodeList"], 300, env)
        if out is None:
            return None, why
        text += out
    return parse_sacct(text), None
