"""batch.sh's pieces that need no GNU parallel: how logins become
"N/login" for parallel, and how job slots share the CPUs."""
import argparse
import shlex

import pytest

from tilebatch import facts, local
from tilebatch.records import Request


@pytest.mark.parametrize("given, expected", [
    (["2/node1,node2,:"], ["2/node1", "1/node2", "5/:"]),  # ":" runs what this machine can
    (["@grp/3/n3", "@grp/n4"], ["@grp/3/n3", "@grp/1/n4"]),  # parallel's host groups keep their tag
    (["2/ssh -F /etc/cfg node1"], ["2/ssh -F /etc/cfg node1"]),  # an ssh command of its own
    (["/usr/bin/ssh -F cfg tilehost"], ["1//usr/bin/ssh -F cfg tilehost"]),
    ([" , ,node5 "], ["1/node5"]),
])
def test_logins(given, expected):
    assert local.logins(argparse.Namespace(sshlogin=given, sshloginfile=None), 5) == expected


def test_login_file_skips_comments(tmp_path):
    hosts = tmp_path / "hosts.txt"
    hosts.write_text("# the cluster\n1/node1\n\n:\n")
    assert local.logins(argparse.Namespace(sshlogin=[], sshloginfile=str(hosts)), 2) == ["1/node1", "2/:"]


@pytest.mark.parametrize("login", ["..", "-"])
def test_logins_parallel_reads_from_elsewhere_are_refused(login):
    with pytest.raises(local.UsageError):
        local.logins(argparse.Namespace(sshlogin=[login], sshloginfile=None), 1)


def test_job_slots_share_the_cpus(monkeypatch):
    monkeypatch.setattr(local.shutil, "which", lambda name: "/usr/bin/" + name)
    word = local.pin_word(3, [0, 1, 2, 3, 4, 5, 6])
    assert word[:2] == ["taskset", "-c"]
    assert word[2] == '{=1 $_ = ("0,1,2","3,4","5,6")[slot() - 1] =}'
    assert local.pin_word(1, [0, 1]) == [] and local.pin_word(3, [0, 1]) == []


def placement(hosts=(), cpus=(0, 1, 2, 3), available=64 << 30):
    job = 2 << 30
    return local.Placement(job, available, list(cpus), local.jobs_for_memory(available, job, len(cpus)), list(hosts))


def run_of(req, where, **kw):
    a = argparse.Namespace(memfree=None, jobs=None, retries=2, pin=True, dry_run=True)
    vars(a).update(kw)
    return local.plan_run(a, req, where, "/out/batch.joblog", req.tiles)


def test_the_parallel_command_runs_each_line_of_words(monkeypatch):
    monkeypatch.setattr(local.shutil, "which", lambda name: "/usr/bin/" + name)
    req = Request(tiles=[("t1", "-60", "10"), ("t2", "-50", "10")], last_year=2001, input_dir="/in{1}",
                  output_dir="/out", datamask_dir="/dm {= die =}", wetland_dir="/wl", process_tile="/bin/pt",
                  logs="/out/logs", batch_id="abc")
    where = placement()
    run = run_of(req, where)
    rows = local.job_rows(req, run, where, interpreter="/usr/bin/python3")
    cmd = local.parallel_command(run, where, len(rows[0]))
    # Columns taken as they are: --colsep alone trims blanks, and a path ending in one would name another file.
    assert cmd[:14] == ["parallel", "-q", "--colsep", "\t", "--trim", "n", "-a", "/out/logs/tiles.tsv", "--jobs", "2",
                        "--joblog", "/out/batch.joblog", "--retries", "2"]
    assert cmd[cmd.index("--memfree") + 1] == str(2 << 30) and cmd[cmd.index("taskset") + 1] == "-c"
    # The template holds replacement strings only; every path and id is data,
    # which parallel neither expands nor runs.
    template = cmd[cmd.index("taskset") + 3:]
    assert template == ["{%d}" % k for k in range(4, len(rows[0]) + 1)] + ["{1}", "{2}", "{3}"]
    # The list's first three columns are the tile and its origin, as a tile list's.
    first = rows[0]
    assert first[:8] == ["t1", "-60", "10", "/usr/bin/python3", "-B", "-E", "-s", facts.TILEJOB]
    assert first[first.index("--job") + 1] == "local-abc-1" and rows[1][rows[1].index("--job") + 1] == "local-abc-2"
    assert first[first.index("--batch") + 1] == "abc"
    assert first[-7:] == ["--", "2001", "/in{1}", "/out", "/dm {= die =}", "/wl", "/bin/pt"]
    # The dry run holds the batch's lock as the batch would, and reads back as the command.
    script = local.dry_run_script(req, cmd)
    assert shlex.split(script) == ["flock", "-n", "/out/.batch.lock"] + cmd


@pytest.mark.parametrize("where, path", [("logs", "/out/a\tb"), ("output_dir", "/o\nx"), ("process_tile", "/b\tin")])
def test_paths_parallel_would_misread_are_refused(where, path):
    req = Request(tiles=[("t1", "0", "0")], last_year=2000, input_dir="/in", output_dir="/out", datamask_dir="/dm",
                  wetland_dir="/wl", process_tile="/bin/pt", logs="/out/logs")
    setattr(req, where, path)
    with pytest.raises(local.UsageError):
        local.as_data(req, run_of(req, placement()), placement())


def test_over_ssh_the_hosts_python_all_their_slots_and_no_memfree():
    req = Request(tiles=[("t1", "0", "0")], last_year=2000, input_dir="/in", output_dir="/out", datamask_dir="/dm",
                  wetland_dir="/wl", process_tile="/bin/pt", logs="/out/logs", tile_quality="/bin/tq")
    where = placement(hosts=["2/node1", "1/node2"])
    run = run_of(req, where)
    cmd = local.parallel_command(run, where, 3)
    assert "--memfree" not in cmd and "taskset" not in cmd
    assert cmd[cmd.index("--jobs") + 1] == "100%" and cmd[cmd.index("--sshloginfile") + 1] == "/out/logs/sshlogins"
    row = local.job_rows(req, run, where)[0]
    assert row[3] == "python3"
    assert row[row.index("--tile-quality") + 1] == "/bin/tq"
    assert row[row.index("--quality-dir") + 1] == "/out/quality"
    # --jobs N on each host, and a memory too short for one tile: one at a time, no --memfree.
    assert local.plan_run(argparse.Namespace(memfree=None, jobs=3, retries=1, pin=False, dry_run=True), req, where,
                          "/j", req.tiles).slots == "3"
    short = placement(available=1 << 30)
    assert short.short and run_of(req, short).memfree == 0 and run_of(req, short).jobs == 1


def test_tiles_a_slurm_task_still_runs_are_left_out(tmp_path, monkeypatch, capsys):
    from tilebatch import slurm
    from tilebatch.tilejob import JobMark, request_of, tile_dir, write_json
    req = Request(tiles=[("t1", "0", "0"), ("t2", "1", "0")], last_year=2000, input_dir="/in",
                  output_dir=str(tmp_path / "out"), datamask_dir="/dm", wetland_dir="/wl", process_tile="/bin/true",
                  logs=str(tmp_path / "logs"))
    write_json(tile_dir(req.logs, "t1", make=True) + "/job.json",
               JobMark(request_of(req, "t1", "0", "0"), "12_1", started=True).to_json())
    monkeypatch.setattr(slurm, "config", lambda: {"AccountingStorageType": "accounting_storage/none"})
    monkeypatch.setattr(slurm, "queue", lambda: slurm.parse_squeue("12_1\n"))
    a = argparse.Namespace(dry_run=False, resume=False)
    assert local.tiles_to_run(a, req) == ([("t2", "1", "0")], ["t1"])
    assert "1 tile(s) left out, their tasks still queued or running: t1" in capsys.readouterr().out
    monkeypatch.setattr(slurm, "queue", lambda: None)  # squeue cannot answer: nothing is run
    with pytest.raises(local.Refused):
        local.tiles_to_run(a, req)


def test_a_memfree_no_machine_of_this_size_has_is_refused(tmp_path, monkeypatch):
    monkeypatch.setattr(local.shutil, "which", lambda name: "/usr/bin/" + name)
    req = Request(tiles=[("t1", "0", "0")], last_year=2000, input_dir="/in", output_dir=str(tmp_path),
                  datamask_dir="/dm", wetland_dir="/wl", process_tile="/bin/true", logs=str(tmp_path / "logs"))
    a = argparse.Namespace(memfree=1 << 50, resume=False, fresh=False, joblog=None)
    with pytest.raises(local.UsageError, match="more than this machine's memory"):
        local.check(a, req, placement())
    a.memfree = 1 << 20
    assert local.check(a, req, placement()) == str(tmp_path / "batch.joblog")
