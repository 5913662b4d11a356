"""The end of a batch's accounts when ends are killed or meet: killed at
every step of putting the tables in place, or while the summing program
runs (SIGKILL, SIGTERM, Ctrl-C), a reader of the published paths finds one
whole publication, and the next end takes away what the dead one left; an
end decides from the tiles' states once it holds the lock; two ends of one
pid do not share names; a list no batch ran, and a batch asked for before
the one whose sums are in place, write nothing and say why. The summing
program is a stand-in (tests/python/sum_stand_in.py): what is tested is the
end's, not the sums."""
import io
import itertools
import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from tilebatch import accounts, cli, facts, finish, records, survey, tilejob
from tilebatch.records import Request, Row, State

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "accounts_end_driver.py")
SUM_STAND_IN = os.path.join(HERE, "sum_stand_in.py")
TILE_STAND_IN = os.path.join(HERE, "accounts_stand_in.py")


def program(path, body):
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body + "\n")
    os.chmod(path, 0o755)
    return str(path)


@pytest.fixture
def tools(tmp_path):
    """A tile_accounts (the tiles' stand-in) with the summing stand-in beside
    it, where the batch looks for sum_accounts."""
    where = tmp_path / "tools"
    where.mkdir()
    program(where / "sum_accounts", 'exec "%s" "%s" "$@"' % (sys.executable, SUM_STAND_IN))
    return program(where / "tile_accounts", 'exec "%s" "%s" "$@"' % (sys.executable, TILE_STAND_IN))


def request(out, tools, zones=None, **kw):
    os.makedirs(out, exist_ok=True)
    values = dict(tiles=[("t1", "-60", "10"), ("t2", "-58.999", "10")], last_year=2001, input_dir="/in",
                  output_dir=str(out), datamask_dir="/dm", wetland_dir="/wl", process_tile="/p",
                  logs=os.path.join(str(out), "logs"), tile_accounts=tools, thresholds="10,30")
    if zones:
        values.update(zones=zones, zones_identity=tilejob.zones_identity(zones))
    values.update(kw)
    return Request(**values)


def done_rows(req):
    """Every tile done, with tables of its own (the stand-in sums read none)."""
    return [Row(t, State.DONE, "0", accounts={facts.accounts_table_name(t): [1, 2, 3]}) for t, _, _ in req.tiles]


def published(here):
    """What a reader of the published paths finds: (the manifest's batch,
    the names of the tables there), each table the manifest names there as
    it was written and no other; AssertionError where not."""
    with open(os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST)) as f:
        manifest = json.load(f)
    tables = manifest["tables"] or {}
    for name in accounts.BATCH_TABLES:
        path = os.path.join(here, name)
        if name in tables:
            assert tilejob.file_identity(path) == tables[name], name
        else:
            assert not os.path.exists(path), "%s there, not in the manifest" % name
    return manifest["batch"], sorted(tables)


def left_over(here):
    """The names in HERE other than the lock, the tiles' tables and the
    publication in place (the link, its generation, the published names
    there are)."""
    keep = {accounts.LOCK, accounts.CURRENT, accounts.current_generation(here)}
    return sorted(n for n in os.listdir(here) if n not in keep and not n.startswith("t")
                  and not (n in accounts.PUBLISHED and os.path.exists(os.path.join(here, n))))


def run_end(req, tmp_path, *args, env=None, wait=True):
    req.save(str(tmp_path / "end.json"))
    with open(tmp_path / "rows.json", "w") as f:
        json.dump([[r.tile, r.accounts] for r in done_rows(req)], f)
    command = [sys.executable, DRIVER, str(tmp_path / "end.json"), str(tmp_path / "rows.json")] + list(args)
    if not wait:
        return subprocess.Popen(command, env=dict(os.environ, **(env or {})), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
    return subprocess.run(command, capture_output=True, text=True, timeout=60, env=dict(os.environ, **(env or {})))


@pytest.mark.parametrize("number", [signal.SIGKILL, signal.SIGINT])
def test_a_kill_at_any_step_leaves_one_whole_publication_and_the_next_end_tidies(tmp_path, tools, number):
    """The earlier batch had zones and forest (four tables), the later has
    neither: killed (or stopped with Ctrl-C, which runs its cleaning)
    anywhere, none of the earlier zone or forest tables ever stands beside
    the later table."""
    zones = tmp_path / "zones.txt"
    zones.write_text("z\n")
    both, plain = sorted(accounts.BATCH_TABLES), [facts.BATCH_ACCOUNTS]
    for kill_at in itertools.count(1):
        out = tmp_path / ("out%d" % kill_at)
        earlier = request(out, tools, zones=str(zones), forest="10:5:0.5", connectivity=8)
        here = earlier.accounts_dir
        assert accounts.build(earlier, done_rows(earlier), say=io.StringIO()) == 0
        assert published(here) == (earlier.batch_id, both)
        later = request(out, tools)
        done = run_end(later, tmp_path, str(kill_at), env={"END_DRIVER_SIGNAL": number.name})
        if done.returncode == 0:
            assert published(here) == (later.batch_id, plain) and left_over(here) == []
            break
        assert done.returncode == -number, done.stderr
        assert published(here) in ((earlier.batch_id, both), (later.batch_id, plain)), kill_at
        view = accounts.page_view(earlier)
        assert view["tables"] and view["of_this_batch"] == (published(here)[0] == earlier.batch_id)
        # The next end, the batch's own again, takes away what the dead one left.
        assert accounts.build(later, done_rows(later), say=io.StringIO()) == 0
        assert published(here) == (later.batch_id, plain) and left_over(here) == [], kill_at
        assert [n for n in os.listdir(here) if n.startswith(accounts.GENERATION)] == [
            accounts.current_generation(here)]
    assert kill_at > 10  # every step of the end was killed once


@pytest.mark.parametrize("number", [signal.SIGKILL, signal.SIGTERM, signal.SIGINT])
def test_a_kill_while_the_sums_are_made_takes_the_summing_program_with_it(tmp_path, tools, number):
    out = tmp_path / "out"
    earlier = request(out, tools)
    here = earlier.accounts_dir
    assert accounts.build(earlier, done_rows(earlier), say=io.StringIO()) == 0
    later = request(out, tools, thresholds="10")
    pid_file, hold = tmp_path / "sums.pid", tmp_path / "hold"
    end = run_end(later, tmp_path, env={"SUM_STAND_IN_PID": str(pid_file), "SUM_STAND_IN_HOLD": str(hold)},
                  wait=False)
    try:
        deadline = time.monotonic() + 30
        while not pid_file.exists() and end.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        assert pid_file.exists(), end.communicate()
        summing = int(pid_file.read_text())
        end.send_signal(number)
        end.wait(30)
        gone = time.monotonic() + 10
        while alive(summing) and time.monotonic() < gone:
            time.sleep(0.05)
        assert not alive(summing), "the summing program outlived its end"
    finally:
        hold.write_text("")  # whatever is still waiting ends
        if end.poll() is None:
            end.kill()
        end.communicate()
    # The tables it wrote are no publication: the earlier one stands whole.
    assert published(here) == (earlier.batch_id, [facts.BATCH_ACCOUNTS])
    assert accounts.page_view(earlier)["tables"]
    assert accounts.build(later, done_rows(later), say=io.StringIO()) == 0
    assert published(here) == (later.batch_id, [facts.BATCH_ACCOUNTS]) and left_over(here) == []
    assert len([n for n in os.listdir(here) if n.startswith(accounts.GENERATION)]) == 1


def alive(pid):
    """Whether PID is a process still running (a zombie is not)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def test_an_end_decides_once_it_holds_the_lock(tmp_path, tools, monkeypatch, capsys):
    """A report that looked while the last tile ran, its turn after the
    batch's own end: it sums the tiles as they are then, and removes nothing."""
    names = " ".join(facts.product_names('"$1"', 2001))
    req = request(tmp_path / "out", tools, process_tile=program(tmp_path / "process_tile", 'cd "$4" && touch %s' % names))
    req.save()

    def run_job(tile, x, y):
        return tilejob.main(["--quiet", "--logs", req.logs, "--job", "local-b-1", "--no-reduced"]
                            + req.job_arguments() + [tile, x, y])

    assert run_job(*req.tiles[0]) == 0
    looked = survey.survey(req)[0]
    assert [r.state for r in looked] == [State.DONE, State.NOT_RUN]
    os.makedirs(req.accounts_dir, exist_ok=True)
    held = records.lock(req.accounts_dir, accounts.LOCK)
    ended = []
    report = threading.Thread(target=lambda: ended.append(finish.finish(
        req, looked, "records", finish.Ending("batch.sh", rebuild=False, full_report=True))))
    report.start()
    try:
        time.sleep(0.5)
        assert ended == [] and accounts.current_generation(req.accounts_dir) is None
        assert run_job(*req.tiles[1]) == 0  # the last tile ends while the report waits
    finally:
        os.close(held)
        report.join(60)
    assert ended == [0]
    assert published(req.accounts_dir) == (req.batch_id, [facts.BATCH_ACCOUNTS])
    assert "accounts: the sums of 2 tiles: " in capsys.readouterr().err


def test_two_ends_of_one_pid_each_put_a_whole_publication_in_place(tmp_path, tools, monkeypatch):
    """Threads share a pid, as do a follow-up job and a report in two
    containers; here their host is one too."""
    monkeypatch.setattr(accounts.socket, "gethostname", lambda: "node")
    assert accounts.unique_token() != accounts.unique_token()
    req = request(tmp_path / "out", tools)
    results = []
    ends = [threading.Thread(target=lambda: results.append(accounts.build(req, done_rows(req), say=io.StringIO())))
            for _ in range(3)]
    for end in ends:
        end.start()
    for end in ends:
        end.join(60)
    assert results == [0, 0, 0]
    assert published(req.accounts_dir) == (req.batch_id, [facts.BATCH_ACCOUNTS]) and left_over(req.accounts_dir) == []


def test_a_list_no_batch_ran_and_an_earlier_batch_write_nothing(tmp_path, tools, capsys):
    out = tmp_path / "out"
    earlier = request(out, tools)
    ran = request(out, tools)
    ran.save()
    assert accounts.build(ran, done_rows(ran), say=io.StringIO()) == 0
    here = ran.accounts_dir
    before = published(here), sorted(os.listdir(here))
    with open(os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST)) as f:
        manifest = f.read()

    def unchanged():
        with open(os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST)) as f:
            return (published(here), sorted(os.listdir(here))) == before and f.read() == manifest

    # --report LIST with other accounts options: no batch ran it.
    other = Request(**dict(vars(ran), thresholds="10", batch_id="asked"))
    assert cli.report_main(other, "batch.sh") == 0
    assert ("accounts: no batch ran this list with these options into %s: its tables are left as they are"
            % out) in capsys.readouterr().err
    assert unchanged()
    # A report of a batch asked for before the one whose sums are in place
    # (its logs elsewhere), and that batch's own end: nothing written.
    said = io.StringIO()
    assert accounts.build(earlier, done_rows(earlier), say=said, report=True) == 0
    assert "holds the sums of batch %s, asked for at " % ran.batch_id in said.getvalue()
    assert "none written for this one" in said.getvalue() and unchanged()
    assert accounts.build(earlier, done_rows(earlier), say=said) == 1
    assert "none written for this one" in capsys.readouterr().err and unchanged()
    # Nor one recorded before batches kept their time; a later one replaces them.
    assert accounts.build(Request(**dict(vars(earlier), started=None)), done_rows(earlier), say=said) == 1
    assert unchanged()
    later = request(out, tools, thresholds="30")
    assert accounts.build(later, done_rows(later), say=said) == 0
    assert published(here) == (later.batch_id, [facts.BATCH_ACCOUNTS])


def test_tables_put_in_place_before_generations_are_replaced_and_leftovers_go(tmp_path, tools):
    req = request(tmp_path / "out", tools)
    here = req.accounts_dir
    os.makedirs(here)
    for name in accounts.PUBLISHED + (facts.BATCH_ACCOUNTS + ".tmp-1234", facts.BATCH_ZONE_ACCOUNTS + ".tmp-77"):
        with open(os.path.join(here, name), "w") as f:
            f.write('{"batch": "old"}\n' if name == facts.BATCH_ACCOUNTS_MANIFEST else "an earlier batch's\n")
    # A tile's files are never taken for leftovers, whatever its name.
    kept = ["t1_accounts.csv", "batch_accounts.csv.tmp-x_accounts.csv", ".tmp-99-t1_accounts.csv.abc"]
    for name in kept:
        with open(os.path.join(here, name), "w") as f:
            f.write("a tile's\n")
    os.mkdir(os.path.join(here, accounts.GENERATION + "dead-1-ab"))  # a generation an end never put in place
    assert accounts.build(req, done_rows(req), say=io.StringIO()) == 0
    assert published(here) == (req.batch_id, [facts.BATCH_ACCOUNTS])
    assert all(os.path.islink(os.path.join(here, n)) for n in (accounts.CURRENT, facts.BATCH_ACCOUNTS,
                                                              facts.BATCH_ACCOUNTS_MANIFEST))
    assert sorted(os.listdir(here)) == sorted(kept + [accounts.LOCK, accounts.CURRENT, facts.BATCH_ACCOUNTS,
                                                      facts.BATCH_ACCOUNTS_MANIFEST,
                                                      accounts.current_generation(here)])


def test_a_tile_whose_table_bears_a_batch_name_is_refused(tmp_path, tools, capsys):
    req = request(tmp_path / "out", tools, tiles=[("batch", "-60", "10")])
    assert accounts.build(req, done_rows(req), say=io.StringIO()) == 1
    assert "the table of tile batch would be named batch_accounts.csv" in capsys.readouterr().err
    assert not os.path.exists(req.accounts_dir)
