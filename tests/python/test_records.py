"""A tile's state from its record, its job mark and what the scheduler says
of its jobs: done only when the record answers the request now made."""
import os

import pytest

from tilebatch import facts, records
from tilebatch.records import State
from tilebatch.slurm import JobState
from tilebatch.tilejob import JobMark, TileRecord, Unreadable, request_of
from found_files import file_identities

LAST_YEAR = 2001
RECORD_JOB, LATER_JOB = "12_1", "13_1"


def make_request(tmp_path, quality):
    out = tmp_path / "out"
    return records.Request(tiles=[("t1", "-60", "10"), ("t2", "-50", "10")], last_year=LAST_YEAR,
                           input_dir="/in", output_dir=str(out), datamask_dir="/dm", wetland_dir="/wl",
                           process_tile="/bin/process_tile", logs=str(tmp_path / "logs"),
                           tile_quality="/bin/tile_quality" if quality else None)


@pytest.fixture
def outputs(tmp_path):
    """Every product and quality file of t1; none of t2."""
    out = tmp_path / "out"
    (out / "quality").mkdir(parents=True)
    for name in facts.product_names("t1", LAST_YEAR):
        (out / name).write_bytes(b"")
    for name in facts.quality_names("t1", LAST_YEAR):
        (out / "quality" / name).write_bytes(b"")
    return file_identities(str(out)), records.file_names(str(out / "quality"))


ORIGINS = {"t1": ("-60", "10"), "t2": ("-50", "10")}
RUNNING = JobState(True, "RUNNING", "n2", 30)
PENDING = JobState(True, "PENDING", "None assigned", 0)
CANCELLED = JobState(False, "CANCELLED", "None assigned", 0)
ENDED = JobState(False)
UNKNOWN = JobState(None)
ACCOUNTED = JobState(False, "COMPLETED", "n3", 12, 262144)
DONE = {"state": State.DONE, "exit": "0", "products": True, "job": RECORD_JOB, "wall_s": 10.5, "peak_kib": 2048,
        "host": "n1", "message": ""}


# (case, tile, --quality, changes to the record (None: no record), the mark
# (None: none; else changes to a mark of the later job), what the scheduler
# says of the later job and of the record's job, the row expected)
CASES = [
    ("done", "t1", False, {}, None, None, None, DONE),
    ("done, its own job's mark", "t1", False, {}, {"job": RECORD_JOB, "started": True}, None, None, DONE),
    ("origin written otherwise, same number", "t1", False, {"origin_x": "-60.0", "origin_y": "1e1"}, None,
     None, None, DONE),
    ("done, Slurm's figures where larger", "t1", False, {}, None, None, ACCOUNTED,
     dict(DONE, wall_s=12, peak_kib=262144, host="n3", slurm_state="COMPLETED")),
    ("no record", "t1", False, None, None, None, None, {"state": State.NOT_RUN, "exit": "-", "message": "", "job": ""}),
    ("record of another last year", "t1", False, {"last_year": 2000}, None, None, None,
     {"state": State.NOT_RUN, "message": "its last run had other arguments (last year 2000)", "products": False}),
    ("record of another origin", "t1", False, {"origin_x": "-59"}, None, None, None, {"state": State.NOT_RUN}),
    ("record of another output directory", "t1", False, {"output_dir": "/elsewhere"}, None, None, None,
     {"state": State.NOT_RUN}),
    ("record without a job", "t1", False, {"job": None}, None, None, None, {"state": State.NOT_RUN, "message": "its record does not read"}),
    ("exit status 1", "t1", False, {"status": 1, "message": "no input \x1b[31m"}, None, None, None,
     {"state": State.FAILED, "exit": "1", "message": "no input \\x1b[31m", "products": False}),
    ("damaged record", "t1", False, {"status": "garbage"}, None, None, None,
     {"state": State.FAILED, "exit": "?", "message": "its record holds no exit status"}),
    # JSON's false equals 0 in Python: a status must be a whole number
    ("status false", "t1", False, {"status": False}, None, None, None, {"state": State.FAILED, "exit": "?"}),
    ("quality status false", "t1", True, {"quality_status": False}, None, None, None, {"state": State.FAILED, "exit": "?"}),
    ("figures of no number", "t1", False, {"wall_s": float("inf"), "peak_kib": True}, None, None, None,
     {"state": State.DONE, "wall_s": None, "peak_kib": None}),
    ("status 0, a product missing", "t2", False, {}, None, None, None,
     {"state": State.FAILED, "exit": "0", "products": False,
      "message": "its products are not all in the output directory"}),
    ("with quality: done", "t1", True, {"quality_status": 0}, None, None, None, DONE),
    ("with quality: tile_quality failed", "t1", True, {"quality_status": 3, "quality_message": "no QA\u202e"},
     None, None, None, dict(DONE, state=State.FAILED, exit="3", message="tile_quality: no QA\\u202e")),
    ("with quality: record done without it", "t1", True, {"quality_dir": None, "quality_status": None}, None,
     None, None, dict(DONE, state=State.NOT_RUN, message="done without --quality")),
    ("later job queued", "t1", False, {}, {"started": False}, PENDING, None,
     {"state": State.RUNNING, "exit": "-", "job": LATER_JOB, "slurm_state": "PENDING", "host": "-", "wall_s": None,
      "message": "its job 13_1 is queued or running"}),
    ("later job running: no figures yet", "t1", False, None, {"started": True}, RUNNING, None,
     {"state": State.RUNNING, "host": "n2", "wall_s": None, "peak_kib": None, "slurm_state": "RUNNING"}),
    ("later job ended after it started", "t1", False, {}, {"started": True}, ENDED, None,
     {"state": State.FAILED, "exit": "-", "job": LATER_JOB, "products": False, "wall_s": None,
      "message": "its job 13_1 ended without a record (cancelled, out of time or memory, node lost)"}),
    ("later job cancelled before it started", "t1", False, None, {"started": False}, CANCELLED, None,
     {"state": State.FAILED, "exit": "-", "slurm_state": "CANCELLED", "host": "-", "wall_s": None,
      "message": "its job 13_1 ended before it started (cancelled)"}),
    ("later job, scheduler cannot be asked", "t1", False, {}, {"started": False}, UNKNOWN, None,
     {"state": State.UNKNOWN, "job": LATER_JOB,
      "message": "handed to job 13_1; whether it still runs cannot be told here"}),
    ("record of an earlier version, which names no products", "t1", False, {"products": None}, None, None, None,
     {"state": State.NOT_RUN, "exit": "-", "products": False,
      "message": "its record, of an earlier version, does not say which products it made: run it again"}),
    # Slurm requeued the task that wrote the record: it keeps its id.
    ("the record's own task queued again", "t1", False, {}, None, None, PENDING,
     {"state": State.RUNNING, "message": "its job 12_1 is queued or running again", "wall_s": None}),
    ("the record's own task restarted", "t1", False, {}, {"job": RECORD_JOB, "started": True, "restart": 1}, None,
     RUNNING, {"state": State.RUNNING, "message": "its job 12_1 is queued or running", "host": "n2"}),
    # A later batch handed the tile to a task that got the record's old id.
    ("the record's task id handed over again", "t1", False, {"batch": "b1"}, {"job": RECORD_JOB, "batch": "b2"}, None,
     PENDING, {"state": State.RUNNING, "job": RECORD_JOB}),
    ("... and cancelled before it started", "t1", False, {"batch": "b1"}, {"job": RECORD_JOB, "batch": "b2"}, None,
     CANCELLED, {"state": State.FAILED, "message": "its job 12_1 ended before it started (cancelled)"}),
    ("mark of another request, its job ended", "t1", False, {}, {"last_year": 2000}, ENDED, None, DONE),
    ("mark of another request, scheduler unknown", "t1", False, {}, {"last_year": 2000}, UNKNOWN, None, DONE),
    ("mark of another request, its job still queued", "t1", False, {}, {"last_year": 2000}, PENDING, None,
     {"state": State.RUNNING, "job": LATER_JOB}),
]


@pytest.mark.parametrize("tile, quality, record_changes, mark_changes, later, own, expected",
                         [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_evaluate(tmp_path, outputs, tile, quality, record_changes, mark_changes, later, own, expected):
    request = make_request(tmp_path, quality)
    x, y = ORIGINS[tile]
    asked = request_of(request, tile, x, y)
    record = mark = None
    # Built through the types, then changed as JSON and read back as a batch
    # reads a file: a damaged field goes through the reader's checks.
    if record_changes is not None:
        value = TileRecord(asked, RECORD_JOB, host="n1", process_tile=request.process_tile,
                           tile_quality=request.tile_quality, quality_dir=request.quality_dir, status=0, message="",
                           wall_s=10.5, peak_kib=2048,
                           products={n: outputs[0].get(n) for n in facts.product_names(tile, LAST_YEAR)}).to_json()
        value.update(record_changes)
        try:
            record = TileRecord.from_json(value)
        except Unreadable:
            record = records.DAMAGED
    if mark_changes is not None:
        value = JobMark(asked, LATER_JOB, started=False).to_json()
        value.update(mark_changes)
        mark = JobMark.from_json(value)
    answers = {LATER_JOB: later or ENDED, RECORD_JOB: own or ENDED}

    row = records.evaluate(request, tile, x, y, record, mark, outputs, lambda job: answers[job])
    assert row.tile == tile
    assert {k: getattr(row, k) for k in expected} == expected


def test_products_changed_after_the_run_undo_the_tile(tmp_path, outputs):
    """Truncated, rewritten with the same size, or another file under the
    name: the tile is no longer done, and the message says which product."""
    request = make_request(tmp_path, False)
    asked = request_of(request, "t1", "-60", "10")
    out = tmp_path / "out"
    for name in facts.product_names("t1", LAST_YEAR):
        (out / name).write_bytes(b"x" * 100)
    made = file_identities(str(out))
    record = TileRecord(asked, RECORD_JOB, status=0, products=made)

    def row():
        found = file_identities(str(out)), outputs[1]
        return records.evaluate(request, "t1", "-60", "10", record, None, found, lambda job: ENDED)
    assert row().state is State.DONE
    first = facts.product_names("t1", LAST_YEAR)[0]
    with open(out / first, "r+b") as f:
        f.truncate(10)
    assert (row().state, row().exit, row().message) == (
        State.FAILED, "0", "its product %s changed after its run: 10 bytes, not the 100 its run wrote" % first)
    (out / first).write_bytes(b"y" * 100)
    os.utime(out / first, ns=(1, made[first][1] + 5))
    assert row().message.endswith("%s changed after its run: rewritten since its run" % first)
    (out / "other").write_bytes(b"x" * 100)
    os.utime(out / "other", ns=(1, made[first][1]))
    os.replace(out / "other", out / first)
    assert row().message.endswith("another file under its name since its run")
