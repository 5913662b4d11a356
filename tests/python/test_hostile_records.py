"""Records, marks and saved batches that a hand, a bug or a full disk has
damaged: the report and --resume read them as damaged or as missing fields,
never with a traceback; and a tile job that cannot write its files says
which file and why."""
import errno
import json
import os
import subprocess
import sys

import pytest

from tilebatch import records, report, tilejob
from tilebatch.records import DAMAGED, Request
from tilebatch.survey import survey
from tilebatch.tilejob import MARK, RECORD, JobMark, TileRecord, request_of

DEEP = "[" * 100000 + "]" * 100000  # deeper than the JSON parser's stack
HUGE = "1" + "0" * 400  # a whole number past any float


def make_request(tmp_path):
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    return Request(tiles=[("t1", "-60", "10")], last_year=2001, input_dir="/in", output_dir=str(out),
                   datamask_dir="/dm", wetland_dir="/wl", process_tile="/p", logs=str(tmp_path / "logs"))


def record_text(req, job="local-b-1", **raw):
    """A record of the tile's job as JSON text, each field of RAW written as
    the literal given (JSON that json.dumps would never write)."""
    value = TileRecord(request_of(req, "t1", "-60", "10"), job, status=0, wall_s=1.5, peak_kib=7).to_json()
    kept = json.dumps({k: v for k, v in value.items() if k not in raw})
    return kept[:-1] + "".join(', "%s": %s' % item for item in raw.items()) + "}"


@pytest.mark.parametrize("raw, read", [
    ({"extra": DEEP}, DAMAGED),
    ({"wall_s": HUGE}, {"wall_s": None}),
    ({"wall_s": "1e308"}, {"wall_s": None}),
    ({"peak_kib": HUGE}, {"peak_kib": None}),
    ({"status": "1e400"}, {"status": None}),
    ({"origin_x": HUGE}, {"answers": False}),
    ({"origin_x": "1e999"}, {"answers": False}),
], ids=["nested 100000 deep", "wall_s of 400 digits", "wall_s 1e308", "peak_kib of 400 digits", "status 1e400",
        "origin of 400 digits", "origin 1e999"])
def test_a_damaged_record_or_mark_reads_as_damaged_and_the_report_goes_on(tmp_path, raw, read):
    req = make_request(tmp_path)
    here = tmp_path / "logs" / "tiles" / "t1"
    here.mkdir(parents=True)
    (here / RECORD).write_text(record_text(req, **raw))
    # The mark of a later job, damaged the same way.
    (here / MARK).write_text(record_text(req, job="local-b-2", **raw))
    record, mark = records.read_tile(req.logs, "t1")
    if read is DAMAGED:
        assert record is DAMAGED and mark is None
    else:
        asked = request_of(req, "t1", "-60", "10")
        for field, value in read.items():
            if field == "answers":
                assert record.run.answers(asked) is mark.run.answers(asked) is value
            else:
                assert getattr(record, field) == value
    rows, source = survey(req)
    tsv, printed = report.full(rows, source)
    assert rows[0].state is not records.State.DONE and "t1" in tsv and "summary: 1 tiles" in printed


@pytest.mark.parametrize("change", [
    {"extra": "DEEP"}, {"last_year": int(HUGE)}, {"last_year": 10 ** 9}, {"tiles": [["../x", "0", "0"]]},
    {"tiles": ["a00"]}, {"tiles": [["t1", "1O", "0"]]}, {"tiles": [["\u00e9t", "0", "0"], ["e\u0301t", "1", "0"]]},
    {"region": "no"},
], ids=["nested 100000 deep", "last year of 400 digits", "last year 10**9", "a tile id with /", "a tile as a string",
        "an origin of a letter O", "two ids alike under normalisation", "region not true or false"])
def test_a_saved_batch_no_list_could_have_made_reads_as_none(tmp_path, change):
    req = make_request(tmp_path)
    path = tmp_path / "batch.json"
    req.save(str(path))
    assert Request.load(str(path)) == req
    value = json.loads(path.read_text())
    value.update(change)
    text = json.dumps(value)
    path.write_text(text.replace('"DEEP"', DEEP))
    assert Request.load(str(path)) is None


def test_a_file_that_cannot_be_written_is_named_and_leaves_no_temporary_name(tmp_path, monkeypatch):
    taken = tmp_path / "record.json"
    taken.mkdir()  # a directory in the record's place: the rename fails
    with pytest.raises(OSError) as e:
        tilejob.write_json(str(taken), {"job": "j"})
    assert (e.value.filename, e.value.errno) == (str(taken), errno.EISDIR)

    def full(fd):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, "fsync", full)  # a full disk, as only the flush to the disk finds it
    path = tmp_path / "job.json"
    with pytest.raises(OSError) as e:
        tilejob.write_text(str(path), "{}\n")
    assert (e.value.filename, e.value.errno) == (str(path), errno.ENOSPC)
    assert sorted(os.listdir(tmp_path)) == ["record.json"]


def run_job(tmp_path, logs):
    """The tile job as a batch runs it, of a stand-in process_tile that
    succeeds: its exit status and standard error."""
    stand_in = tmp_path / "process_tile"
    stand_in.write_text("#!/bin/sh\nexit 0\n")
    stand_in.chmod(0o755)
    done = subprocess.run([sys.executable, "-B", tilejob.__file__, "--quiet", "--logs", str(logs), "--job",
                           "local-b-1", "--no-reduced", "--", "2001", "/in", str(tmp_path), "/dm", "/wl",
                           str(stand_in), "t1", "-60", "10"], capture_output=True, text=True, timeout=60)
    return done.returncode, done.stderr


def test_a_job_that_cannot_write_its_record_names_it_and_fails(tmp_path):
    logs = tmp_path / "logs"
    (logs / "tiles" / "t1" / RECORD).mkdir(parents=True)
    status, err = run_job(tmp_path, logs)
    assert (status, err) == (1, "tilejob: %s: Is a directory\n" % (logs / "tiles" / "t1" / RECORD))
    mark = tilejob.read_typed(str(logs / "tiles" / "t1" / MARK), JobMark)
    assert mark.job == "local-b-1" and mark.started


def test_a_job_on_a_full_disk_names_the_file_and_fails(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)],
                                           capture_output=True).returncode != 0:
        pytest.skip("a small tmpfs cannot be mounted here (needs root and the right to mount)")
    try:
        fd = os.open(disk / "filler", os.O_WRONLY | os.O_CREAT)
        with pytest.raises(OSError):
            while True:
                os.write(fd, b"\0" * 4096)
        os.close(fd)
        status, err = run_job(tmp_path, disk / "logs")
        assert status == 1 and err.startswith("tilejob: %s/logs/tiles/t1/" % disk)
        assert err.endswith(": No space left on device\n") and "Traceback" not in err
    finally:
        subprocess.run(["umount", str(disk)], check=True)
