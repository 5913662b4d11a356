"""slurm_array.sh's pieces that need no cluster: the dry run's script (to
paste into bash as printed) and the tasks' marks."""
import json
import os
import shlex

from tilebatch import facts, slurm, submit
from tilebatch.records import Request


def request(tmp_path, n=5):
    return Request(tiles=[("t%d" % k, str(k), "10") for k in range(1, n + 1)], last_year=2001, input_dir="/in",
                   output_dir=str(tmp_path / "out"), datamask_dir="/dm", wetland_dir="/wl", process_tile="/bin/pt",
                   logs=str(tmp_path / "logs"), batch_id="b1")


def submission(req, lines, max_size, max_running=None):
    return submit.Submission(list_file="/l/tiles x.tsv", request_file="/l/batch-b1.json",
                             arrays=slurm.windows(lines, max_size), cpus=2, mem_mib=654, max_running=max_running,
                             max_size=max_size)


def test_the_dry_run_script_chains_marks_and_releases_each_array(tmp_path):
    req = request(tmp_path)
    sub = submission(req, [1, 2, 3, 4, 5], 3, max_running=2)
    lines = submit.dry_run_script(req, sub).splitlines()
    assert lines[0] == "jobids=" and len(sub.arrays) == 2 and len(lines) == 1 + 4 * 2 + 1
    first, second = lines[1], lines[5]
    assert first.startswith("jobid=$(sbatch --parsable --hold ") and "--dependency" not in first
    # The second array waits for the first: its dependency is the id the shell kept.
    assert '--dependency=afterany:"${jobid%%;*}"' in second
    words = shlex.split(lines[6])
    assert words[:7] == ["python3", "-B", "-E", "-s", facts.LAUNCHER, "mark-tasks", "/l/batch-b1.json"]
    assert words[7:] == ["/l/tiles x.tsv", "${jobid%%;*}", str(sub.arrays[1].offset), slurm.ranges(sub.arrays[1].indices)]
    assert lines[7] == 'scontrol release "${jobid%%;*}"' and lines[8] == 'jobids="$jobids:${jobid%%;*}"'
    follow = shlex.split(lines[9])
    assert follow[0] == "sbatch" and '--dependency=afterany$jobids' in follow
    # Without a throttle the arrays run side by side.
    assert "--dependency" not in submit.dry_run_script(req, submission(req, [1, 2, 3, 4, 5], 3)).split("\n")[5]


def test_marks_hand_each_line_to_its_task_and_the_request_is_not_rewritten(tmp_path):
    req = request(tmp_path)
    req.save(os.path.join(req.logs, "batch-b1.json"))
    before = os.stat(os.path.join(req.logs, "batch-b1.json")).st_mtime_ns
    window = slurm.windows([3, 4, 5], 3)[0]
    submit.mark_tasks(req, "12", window.offset, slurm.ranges(window.indices))
    for k, tile in ((0, "t3"), (1, "t4"), (2, "t5")):
        with open(os.path.join(req.logs, "tiles", tile, "job.json")) as f:
            mark = json.load(f)
        assert (mark["job"], mark["started"], mark["tile"]) == ("12_%d" % k, False, tile)
    assert not os.path.exists(os.path.join(req.logs, "tiles", "t1"))
    assert os.stat(os.path.join(req.logs, "batch-b1.json")).st_mtime_ns == before
    # The dry run's command form makes the batch the latest of its log directory.
    assert submit.mark_tasks_main([os.path.join(req.logs, "batch-b1.json"), "/l", "13", "0", "1-2"]) == 0
    assert Request.load(os.path.join(req.logs, "batch.json")).batch_id == "b1"
    assert submit.mark_tasks_main(["/nowhere.json", "/l", "13", "0", "1"]) == 2
