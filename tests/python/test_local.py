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


def test_the_parallel_command_runs_the_tile_job_on_each_line(monkeypatch):
    monkeypatch.setattr(local.shutil, "which", lambda name: "/usr/bin/" + name)
    req = Request(tiles=[("t1", "-60", "10"), ("t2", "-50", "10")], last_year=2001, input_dir="/in",
                  output_dir="/out", datamask_dir="/dm", wetland_dir="/wl", process_tile="/bin/pt", logs="/out/logs",
                  batch_id="abc")
    where = placement()
    cmd = local.parallel_command(req, run_of(req, where), where, interpreter="/usr/bin/python3")
    assert cmd[:12] == ["parallel", "-q", "--colsep", "\t", "-a", "/out/logs/tiles.tsv", "--jobs", "2", "--joblog",
                        "/out/batch.joblog", "--retries", "2"]
    assert cmd[cmd.index("--memfree") + 1] == str(2 << 30) and cmd[cmd.index("taskset") + 1] == "-c"
    body = cmd[cmd.index("/usr/bin/python3"):]
    assert body[1:5] == ["-B", "-E", "-s", facts.TILEJOB]
    assert body[body.index("--job") + 1] == "local-abc-{#}"
    assert body[-10:] == ["--", "2001", "/in", "/out", "/dm", "/wl", "/bin/pt", "{1}", "{2}", "{3}"]
    # The dry run holds the batch's lock as the batch would, and reads back as the command.
    script = local.dry_run_script(req, cmd)
    assert shlex.split(script) == ["flock", "-n", "/out/.batch.lock"] + cmd


def test_over_ssh_the_hosts_python_all_their_slots_and_no_memfree():
    req = Request(tiles=[("t1", "0", "0")], last_year=2000, input_dir="/in", output_dir="/out", datamask_dir="/dm",
                  wetland_dir="/wl", process_tile="/bin/pt", logs="/out/logs", tile_quality="/bin/tq")
    where = placement(hosts=["2/node1", "1/node2"])
    cmd = local.parallel_command(req, run_of(req, where), where)
    assert "--memfree" not in cmd and "taskset" not in cmd
    assert cmd[cmd.index("--jobs") + 1] == "100%" and cmd[cmd.index("--sshloginfile") + 1] == "/out/logs/sshlogins"
    body = cmd[cmd.index("python3"):]
    assert body[body.index("--tile-quality") + 1] == "/bin/tq"
    assert body[body.index("--quality-dir") + 1] == "/out/quality"
    # --jobs N on each host, and a memory too short for one tile: one at a time, no --memfree.
    assert local.plan_run(argparse.Namespace(memfree=None, jobs=3, retries=1, pin=False, dry_run=True), req, where,
                          "/j", req.tiles).slots == "3"
    short = placement(available=1 << 30)
    assert short.short and run_of(req, short).memfree == 0 and run_of(req, short).jobs == 1
