"""A tile's state from its record, its job mark and what the scheduler says
of its jobs: done only when the record answers the request now made."""
import pytest

from tilebatch import facts, records
from tilebatch.records import State
from tilebatch.slurm import JobState
from tilebatch.tilejob import JobMark, TileRecord, Unreadable, request_of

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
    return records.file_names(str(out)), records.file_names(str(out / "quality"))


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
                           wall_s=10.5, peak_kib=2048).to_json()
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
