"""The record and the job mark on disk: what the tile job writes, the batch
reads back field for field; a record of the format batches wrote before
still reads; a file that holds no record is told apart from no file."""
import json
import os
import shutil

import pytest

from tilebatch import facts, records, slurm, tilejob
from tilebatch.records import DAMAGED, Request, State
from tilebatch.tilejob import MARK, RECORD, JobMark, TileRecord, request_of
from found_files import Found, file_identities

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures", "batch_2026_11")


def stand_in(tmp_path, name, body):
    path = tmp_path / name
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)
    return str(path)


def request(tmp_path, **kw):
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    values = dict(tiles=[("t1", "-60", "10")], last_year=2001, input_dir="/in", output_dir=str(out),
                  datamask_dir="/dm", wetland_dir="/wl", process_tile="/p", logs=str(tmp_path / "logs"))
    values.update(kw)
    return Request(**values)


def job(req, tile="t1", x="-60", y="10", *options):
    """The tile's job as a batch starts it."""
    return tilejob.main(["--quiet", "--logs", req.logs, "--job", "local-b-1", "--no-reduced", *options]
                        + req.job_arguments() + [tile, x, y])


def on_disk(req, tile, name):
    with open(os.path.join(req.logs, "tiles", tile, name)) as f:
        return json.load(f)


def test_what_the_job_writes_the_batch_reads(tmp_path):
    # The stand-in writes every product, so that the tile is done.
    names = " ".join(facts.product_names("t1", 2001))
    req = request(tmp_path)
    req.process_tile = stand_in(tmp_path, "process_tile", 'cd "$4" && touch %s' % names)
    assert job(req) == 0
    record, mark = records.read_tile(req.logs, "t1")
    assert record.run == request_of(req, "t1", "-60", "10") == mark.run
    assert (record.job, record.status, record.message, record.process_tile) == ("local-b-1", 0, "", req.process_tile)
    assert isinstance(record.wall_s, float) and isinstance(record.peak_kib, int) and record.ended
    assert (mark.job, mark.started, mark.host) == ("local-b-1", True, record.host)
    # Every key the writer put in the file is one the reader takes back.
    assert record.to_json() == on_disk(req, "t1", RECORD) and mark.to_json() == on_disk(req, "t1", MARK)
    outputs = file_identities(req.output_dir), set()
    row = records.evaluate(req, "t1", "-60", "10", record, mark, outputs, lambda j: slurm.ENDED)
    assert (row.state, row.exit, row.job) == (State.DONE, "0", "local-b-1")


def test_a_failed_run_and_its_quality_run_as_written(tmp_path):
    req = request(tmp_path)
    req.process_tile = stand_in(tmp_path, "process_tile", 'echo "/in/t1 not found"; exit 1')
    assert job(req) == 1
    record, _ = records.read_tile(req.logs, "t1")
    assert (record.status, record.message, record.quality_status) == (1, "/in/t1 not found", None)
    req.process_tile = stand_in(tmp_path, "process_tile", "exit 0")
    # GDAL's chatter on standard error, then its own line: one log holds both, in order.
    quality = stand_in(tmp_path, "tile_quality", 'echo "chatter" >&2; echo "no QA"; exit 3')
    assert job(req, "t1", "-60", "10", "--tile-quality", quality, "--quality-dir", str(tmp_path / "q")) == 3
    record, _ = records.read_tile(req.logs, "t1")
    assert (record.status, record.quality_status, record.quality_message) == (0, 3, "no QA")
    with open(os.path.join(req.logs, "tiles", "t1", "quality.err")) as f:
        assert f.read() == "chatter\nno QA\n"
    assert record.quality_dir == str(tmp_path / "q") and record.tile_quality == quality


def test_a_record_of_the_format_batches_wrote_before_reads(tmp_path):
    req = request(tmp_path, tiles=[("10N_060W", "-60", "10")], last_year=2020, input_dir="/data/input",
                  output_dir="/data/products", datamask_dir="/data/datamask", wetland_dir="/data/wetland",
                  tile_quality="/opt/process_tile/build/tools/tile_quality")
    here = os.path.join(req.logs, "tiles", "10N_060W")
    os.makedirs(here)
    for name in (RECORD, MARK):
        shutil.copy(os.path.join(FIXTURES, name), here)
    record, mark = records.read_tile(req.logs, "10N_060W")
    assert record.to_json() == on_disk(req, "10N_060W", RECORD)
    assert mark.to_json() == on_disk(req, "10N_060W", MARK)
    assert (record.reduced, record.peak_kib, record.wall_s, record.host) == (True, 2389120, 9.512, "node07")
    # Its products are all there, but it does not say which it made: the
    # batch cannot tell them from products written since, so it runs the
    # tile again rather than call it done.
    outputs = (Found({n: [1, 1, 1] for n in facts.product_names("10N_060W", 2020)}),
               set(facts.quality_names("10N_060W", 2020)))
    row = records.evaluate(req, "10N_060W", "-60", "10", record, mark, outputs, lambda j: slurm.ENDED)
    assert (row.state, row.wall_s, row.peak_kib) == (State.NOT_RUN, 9.512, 2389120)
    assert row.message == "its record, of an earlier version, does not say which products it made: run it again"


@pytest.mark.parametrize("content, expected", [
    (None, None), ('{"status": 0, "job": "local-b-1"', DAMAGED), ("[1, 2]", DAMAGED), ('{"status": 0}', DAMAGED),
    ('{"job": 7}', DAMAGED), ("directory", DAMAGED)])
def test_a_file_that_holds_no_record_is_not_no_record(tmp_path, content, expected):
    here = tmp_path / "logs" / "tiles" / "t1"
    here.mkdir(parents=True)
    if content == "directory":
        (here / RECORD).mkdir()
    elif content is not None:
        (here / RECORD).write_text(content)
    (here / MARK).write_text('{"started": true}')  # a mark without a job names none
    assert records.read_tile(str(tmp_path / "logs"), "t1") == (expected, None)


def test_fields_of_the_wrong_type_read_as_missing():
    run = request_of(Request([], 2001, "/in", "/o", "/dm", "/wl", "/p", "/l"), "t1", "-60", "10")
    value = dict(TileRecord(run, "j", status=0, wall_s=1.5, peak_kib=7).to_json(), status=False, wall_s=float("inf"),
                 peak_kib=True, message=["x"], last_year="2001", reduced="yes", quality_status=0.0)
    record = TileRecord.from_json(value)
    assert (record.status, record.wall_s, record.peak_kib, record.message, record.reduced, record.quality_status) == \
        (None, None, None, "", None, None)
    assert record.run.last_year == "2001" and not record.run.answers(run)  # kept as written: it answers nothing
    assert JobMark.from_json(dict(JobMark(run, "j", started=True).to_json(), started="yes")).started is False
