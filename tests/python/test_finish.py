"""The end of a batch, one path for the local batch, the Slurm follow-up job
and --report: each writes the report and the page, the first two build the
region of the tiles with products and the batch quality of the tiles done,
--report builds nothing; a part that fails makes the status 1."""
import os

import pytest

from tilebatch import cli, finish, local, page, quality, region, submit
from tilebatch.records import Request, Row, State

TILES = [("ok", "0", "0"), ("qfail", "1", "0"), ("bad", "2", "0"), ("new", "3", "0")]


def request(tmp_path, quality_run=True, region_on=True):
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    req = Request(tiles=TILES, last_year=2001, input_dir="/in", output_dir=str(out), datamask_dir="/m",
                  wetland_dir="/w", process_tile="/p", logs=str(out / "logs"),
                  tile_quality="/tq" if quality_run else None, region=region_on)
    req.save()
    return req


ROWS = [Row("ok", State.DONE, "0", 3.0, products=True), Row("qfail", State.FAILED, "3", 4.0, products=True),
        Row("bad", State.FAILED, "1", 1.0), Row("new")]


@pytest.fixture
def built(monkeypatch):
    """The parts' calls, each answering as set in RESULT."""
    calls, result = [], {"region": 0, "quality": 0}
    monkeypatch.setattr(region, "build",
                        lambda out, year, tiles, **_: calls.append(("region", tiles)) or result["region"])
    monkeypatch.setattr(quality, "build", lambda qdir, tiles: calls.append(("quality", tiles)) or result["quality"])
    return calls, result


def test_each_part_takes_its_tiles_and_fails_the_end(tmp_path, built, capsys):
    calls, result = built
    req = request(tmp_path)
    assert finish.finish(req, ROWS, "records", finish.Ending("batch.sh")) == 0
    # The region: every tile whose products are written; the quality: the tiles done.
    assert calls == [("region", ["ok", "qfail"]), ("quality", ["ok"])]
    for name in ("report.tsv", "report.txt"):
        assert os.path.isfile(os.path.join(req.logs, name))
    out = capsys.readouterr().out
    assert "summary: 4 tiles: 1 done, 2 failed, 1 not run" in out and "the batch page: " in out
    for part in ("region", "quality"):
        result.update({"region": 0, "quality": 0}, **{part: 1})
        assert finish.finish(req, ROWS, "records", finish.Ending("batch.sh")) == 1
    assert "the batch quality could not be written" in capsys.readouterr().err


def test_a_batch_without_region_or_quality_builds_neither(tmp_path, built):
    calls, _ = built
    req = request(tmp_path, quality_run=False, region_on=False)
    assert finish.finish(req, ROWS, "records", finish.Ending("batch.sh")) == 0
    assert calls == []


def test_the_follow_up_lists_what_each_part_takes(tmp_path, built, capsys):
    calls, _ = built
    req = request(tmp_path)
    assert finish.finish(req, ROWS, "records", finish.Ending("report", listing="77")) == 0
    with open(os.path.join(req.logs, "region-77.tsv")) as f:
        assert f.read() == "ok\t0\t0\nqfail\t1\t0\n"
    with open(os.path.join(req.logs, "quality-77.tsv")) as f:
        assert f.read() == "ok\t0\t0\n"
    out = capsys.readouterr().out
    assert "region: 2 of 4 tiles finished with status 0 (listed in %s)" % os.path.join(req.logs, "region-77.tsv") in out
    calls.clear()
    none = [Row(t) for t, _, _ in TILES]
    assert finish.finish(req, none, "records", finish.Ending("report", listing="78")) == 0
    assert calls == [] and "region: no tile to take" in capsys.readouterr().out


@pytest.mark.parametrize("entry", ["local", "follow-up", "report"])
def test_every_caller_ends_through_it_and_writes_the_page_or_fails(tmp_path, monkeypatch, capsys, built, entry):
    req = request(tmp_path, quality_run=False, region_on=False)
    run = {"local": lambda: local.end(req, []),
           "follow-up": lambda: submit.follow_up([os.path.join(req.logs, "batch.json")]),
           "report": lambda: cli.report_main(req, "batch.sh")}[entry]
    # No tile ran: a local batch ends with 1 for them; the follow-up job and
    # --report only report, and succeed.
    assert run() == (1 if entry == "local" else 0)
    said = capsys.readouterr()
    page_line = "the batch page: %s" % os.path.join(req.output_dir, "index.html")
    # --report's standard output is the report alone, as in LOGS/report.txt.
    assert page_line in (said.err if entry == "report" else said.out)
    if entry == "report":
        with open(os.path.join(req.logs, "report.txt")) as f:
            assert said.out == f.read()
    elif entry == "local":
        assert "batch.sh: 4 tiles: 0 succeeded, 0 failed, 4 not run" in said.out
        assert "  new  not run  (no message; see its err log)" in said.out

    def refused(*args, **kwargs):
        raise PermissionError(13, "Permission denied")
    monkeypatch.setattr(page, "write", refused)
    assert run() == 1
    assert "could not be written: Permission denied" in capsys.readouterr().err


def test_report_builds_nothing_and_needs_its_logs(tmp_path, built, capsys):
    calls, _ = built
    req = request(tmp_path)
    assert cli.report_main(req, "batch.sh") == 0 and calls == []
    req.logs = str(tmp_path / "nowhere")
    assert cli.report_main(req, "batch.sh") == 1
    assert "no log directory" in capsys.readouterr().err


def test_a_list_reported_again_names_the_batch_that_ran_it_or_none(tmp_path, built):
    req = request(tmp_path)
    again = Request(tiles=list(TILES), last_year=2001, input_dir="/in", output_dir=req.output_dir, datamask_dir="/m",
                    wetland_dir="/w", process_tile="/p", logs=req.logs, tile_quality="/tq")
    assert again.batch_id != req.batch_id
    assert cli.report_main(again, "batch.sh") == 0
    with open(os.path.join(req.output_dir, "index.html")) as f:
        assert "<code>%s</code> is the id of this batch run" % req.batch_id in f.read()
    other = Request(tiles=TILES[:2], last_year=2001, input_dir="/in", output_dir=req.output_dir, datamask_dir="/m",
                    wetland_dir="/w", process_tile="/p", logs=req.logs, tile_quality="/tq")
    assert cli.report_main(other, "batch.sh") == 0
    with open(os.path.join(req.output_dir, "index.html")) as f:
        assert "<code>%s</code> names this report only" % other.batch_id in f.read()
    # Reporting it rewrote no record of the batch that ran.
    assert Request.load(os.path.join(req.logs, "batch.json")).batch_id == req.batch_id
