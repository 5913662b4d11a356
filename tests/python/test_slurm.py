"""Slurm: the arrays a list goes out as, the sbatch commands, and what
sacct, squeue and scontrol print (played back from Slurm 22.05)."""
import os
import shlex

import pytest

from tilebatch import slurm
from tilebatch.records import Request

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")


@pytest.mark.parametrize("indices, text", [
    ([], ""), ([5], "5"), ([1, 2, 3, 5], "1-3,5"), ([0, 100], "0,100"), ([0, 1, 3, 4, 6], "0-1,3-4,6"),
])
def test_ranges(indices, text):
    assert slurm.ranges(indices) == text


def check_windows(lines, max_size, arrays):
    """Each array within Slurm's task numbers, each line run exactly once, by
    the task OFFSET + index = line."""
    assert all(0 <= i <= max_size - 1 for _, indices, _, _ in arrays for i in indices)
    assert [offset + i for offset, indices, _, _ in arrays for i in indices] == lines
    assert all((first, last) == (offset + indices[0], offset + indices[-1]) for offset, indices, first, last in arrays)


@pytest.mark.parametrize("lines, max_size, expected", [
    # A list under the limit: task i runs line i.
    ([1, 2, 3], 1001, [(0, 1, 3)]),
    ([2, 5], 1001, [(0, 2, 5)]),
    # 350 lines, MaxArraySize 101 (tasks 0-100): lines 1-100 as tasks 1-100,
    # then windows of 101 lines.
    (list(range(1, 351)), 101, [(0, 1, 100), (101, 101, 201), (202, 202, 302), (303, 303, 350)]),
    # --unfinished picked five failed tiles: as few arrays as the limit allows.
    ([7, 101, 102, 250, 350], 101, [(7, 7, 102), (250, 250, 350)]),
    # Lines beyond the first window only.
    ([500, 600, 601], 101, [(500, 500, 600), (601, 601, 601)]),
    # The smallest limit: task 0 and 1; numbering tasks as lines would take two.
    ([1, 2], 2, [(1, 1, 2)]),
])
def test_windows(lines, max_size, expected):
    arrays = slurm.windows(lines, max_size)
    assert [(offset, first, last) for offset, _, first, last in arrays] == expected
    check_windows(lines, max_size, arrays)


def request(logs="/logs", tile_quality=None):
    return Request(tiles=[("t1", "-60", "10")], last_year=2003, input_dir="/in", output_dir="/out",
                   datamask_dir="/dm", wetland_dir="/wl", process_tile="/bin/process_tile", logs=logs,
                   tile_quality=tile_quality, batch_id="b1")


@pytest.mark.parametrize("logs, tile_quality, max_running, after, expect, absent", [
    ("/logs", None, None, None,
     ["--array=1-3", "--mem=654M", "--output=/logs/slurm-%A_%a.out", "--offset", "0"],
     ["--tile-quality", "--quality-dir"]),
    ("/a%b/logs", "/bin/tq", 4, "99",
     ["--array=1-3%4", "--output=/a%%b/logs/slurm-%A_%a.out", "--dependency=afterany:99",
      "--tile-quality", "/bin/tq", "--quality-dir", "/out/quality", "--logs", "/a%b/logs"],
     []),
])
def test_array_command(logs, tile_quality, max_running, after, expect, absent):
    cmd = slurm.array_command(request(logs, tile_quality), slurm.Window(0, [1, 2, 3], 1, 3), "/logs/tiles-x.tsv",
                              "/pkg/tilejob.py", 4, 654, max_running, after)
    assert cmd[:2] == ["sbatch", "--parsable"]
    for item in expect:
        assert item in cmd
    for item in absent:
        assert item not in cmd
    # sbatch's own options end at the script; the job's options end at "--".
    script = cmd.index("/pkg/tilejob.py")
    assert all(c.startswith("--") for c in cmd[1:script])
    assert "--job-name=process_tile_2003" in cmd[:script] and "--cpus-per-task=4" in cmd[:script]
    # The task knows its batch: a later batch's task that gets this one's id is not this one.
    assert cmd[script + 1:script + 9] == ["--logs", logs, "--batch", "b1", "--slurm-list", "/logs/tiles-x.tsv",
                                          "--offset", "0"]
    assert cmd[cmd.index("--"):] == ["--", "2003", "/in", "/out", "/dm", "/wl", "/bin/process_tile"]


def test_array_command_window_offset():
    cmd = slurm.array_command(request(), slurm.Window(101, [0, 1, 100], 101, 201), "/l.tsv", "/t.py", 1, 1, None)
    assert "--array=0-1,100" in cmd and cmd[cmd.index("--offset") + 1] == "101"


def test_log_directory_with_a_backslash_refused():
    with pytest.raises(ValueError, match="backslash"):
        slurm.array_command(request("/a\\b"), slurm.Window(0, [1], 1, 1), "/l", "/t", 1, 1, None)
    with pytest.raises(ValueError, match="backslash"):
        slurm.follow_up_command(request("/a\\b"), "/r.json", "1")


def test_follow_up_command():
    req = request("/my logs/100%")
    cmd = slurm.follow_up_command(req, "/my logs/100%/batch-x y.json", "11:12", launcher="/pkg dir/tilebatch_main.py")
    assert "--output=/my logs/100%%/slurm-followup-%j.out" in cmd
    assert "--dependency=afterany:11:12" in cmd and "--job-name=followup_2003" in cmd
    wrap = [c for c in cmd if c.startswith("--wrap=")]
    assert len(wrap) == 1
    # The shell sbatch wraps it in reads back the exact paths.
    assert shlex.split(wrap[0][len("--wrap="):]) == [
        "exec", "python3", "-B", "-E", "-s", "/pkg dir/tilebatch_main.py", "follow-up", "/my logs/100%/batch-x y.json"]


@pytest.mark.parametrize("printed, job", [("123\n", "123"), ("123;cluster\n", "123"), ("", None), ("error\n", None)])
def test_job_id(printed, job):
    if job is None:
        with pytest.raises(ValueError):
            slurm.job_id(printed)
    else:
        assert slurm.job_id(printed) == job


def read_fixture(name):
    with open(os.path.join(FIXTURES, name)) as f:
        return f.read()


# sacct of one array: task 1 completed (its steps hold its memory, in bytes),
# task 2 never recorded, task 3 running (its own record inside a queued
# range), tasks 5, 7, 9 still queued, tasks 4, 6, 8, 10 cancelled queued.
@pytest.mark.parametrize("task, state, active, node, elapsed, rss_kib", [
    ("7_1", "COMPLETED", False, "vm", 12, 262144),
    ("7_2", None, None, None, None, None),
    ("7_3", "RUNNING", True, "vm", 5, None),
    ("7_4", "CANCELLED", False, "None assigned", 0, None),
    ("7_5", "PENDING", True, "None assigned", 0, None),
    ("7_6", "CANCELLED", False, "None assigned", 0, None),
    ("7_7", "PENDING", True, "None assigned", 0, None),
    ("7_8", "CANCELLED", False, "None assigned", 0, None),
    ("7_9", "PENDING", True, "None assigned", 0, None),
    ("7_10", "CANCELLED", False, "None assigned", 0, None),
    ("7_11", None, None, None, None, None),
    ("8_1", None, None, None, None, None),
    ("7_1.batch", None, None, None, None, None),  # steps are no tasks
    ("7_x", None, None, None, None, None),
])
def test_parse_sacct(task, state, active, node, elapsed, rss_kib):
    info = slurm.parse_sacct(read_fixture("sacct_22.05.txt")).get(task)
    if state is None:
        assert info is None
        return
    assert info == slurm.JobState(active, state, node, elapsed, rss_kib)


def test_parse_squeue():
    tasks = slurm.parse_squeue("12_3\n12_4\n13\n")
    assert [bool(tasks.get(j)) for j in ("12_3", "12_4", "13", "12_5", "13_1", "14")] == \
        [True, True, True, False, False, False]
    assert tasks.get("12_3") == slurm.QUEUED_OR_RUNNING
    assert slurm.parse_squeue("").get("12_3") is None


def test_parse_config():
    config = slurm.parse_config("Configuration data as of 2024-01-01T00:00:00\n"
                                "AccountingStorageType   = accounting_storage/none\n"
                                "MaxArraySize           = 1001\nSLURM_VERSION = 22.05.8\n")
    assert config["MaxArraySize"] == "1001"
    assert config["AccountingStorageType"] == "accounting_storage/none"
    assert config["SLURM_VERSION"] == "22.05.8"
