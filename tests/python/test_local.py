"""batch.sh's pieces that need no GNU parallel: how logins become
"N/login" for parallel, and how job slots share the CPUs."""
import argparse

import pytest

from tilebatch import local


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
