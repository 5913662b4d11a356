"""What the batch knows of its tiles now: each tile's row, from its record
and job mark, the files in the output and quality directories, and what the
scheduler says of the jobs the tiles were handed to. Read once per call: the
report, --resume, a submission and the end of a batch all start here."""
import os
import sys

from . import records, slurm


def survey(request, running_batch=None):
    """The rows of REQUEST's tiles and where their figures come from. Slurm
    is asked only about the jobs the tiles were handed to: sacct where the
    cluster keeps accounting, and squeue for what is queued or running.
    RUNNING_BATCH is the id of a local batch that is running now, if any."""
    read = [(t, x, y) + records.read_tile(request.logs, t) for t, x, y in request.tiles]
    jobs = {v.job for r in read for v in r[3:] if v is not None and v is not records.DAMAGED}
    slurm_jobs = {j for j in jobs if not j.startswith("local-")}
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

    def scheduler(job):
        if job.startswith("local-"):
            running = running_batch is not None and job.split("-")[1] == running_batch
            return slurm.QUEUED_OR_RUNNING if running else slurm.ENDED
        info = sacct.get(job) if sacct is not None else None
        if info is not None:
            return info
        return slurm.NOT_KNOWN if squeue is None else (squeue.get(job) or slurm.ENDED)

    outputs = records.file_names(request.output_dir), records.file_names(request.quality_dir)
    return [records.evaluate(request, t, x, y, rec, mark, outputs, scheduler) for t, x, y, rec, mark in read], source


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
