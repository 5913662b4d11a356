"""The survey of a batch's tiles asks the scheduler about exactly the jobs
their records and marks name: Slurm's for Slurm jobs (squeue, and sacct
where the cluster keeps accounting), the running local batch for its own."""
import pytest

from tilebatch import records, slurm, survey
from tilebatch.records import Request, State
from tilebatch.tilejob import JobMark, TileRecord, request_of, tile_dir, write_json
from found_files import file_identities


def request(tmp_path):
    return Request(tiles=[("t1", "-60", "10"), ("t2", "-50", "10")], last_year=2000, input_dir="/in",
                   output_dir=str(tmp_path / "out"), datamask_dir="/dm", wetland_dir="/wl", process_tile="/p",
                   logs=str(tmp_path / "logs"), batch_id="b7")


def handed(req, tile, x, job, started, record=False):
    here = tile_dir(req.logs, tile, make=True)
    run = request_of(req, tile, x, "10")
    write_json(here + "/job.json", JobMark(run, job, started=started).to_json())
    if record:
        write_json(here + "/record.json", TileRecord(run, job, status=1, message="m").to_json())


@pytest.fixture
def cluster(monkeypatch):
    """A cluster without accounting whose squeue answers ANSWER (None: it cannot)."""
    asked = {"squeue": 0, "answer": ""}

    def queue():
        asked["squeue"] += 1
        return None if asked["answer"] is None else slurm.parse_squeue(asked["answer"])
    monkeypatch.setattr(slurm, "config", lambda: {"AccountingStorageType": "accounting_storage/none"})
    monkeypatch.setattr(slurm, "queue", queue)
    return asked


def test_slurm_tasks_are_asked_of_squeue(tmp_path, cluster):
    req = request(tmp_path)
    handed(req, "t1", "-60", "12_1", started=False)
    handed(req, "t2", "-50", "12_2", started=True, record=True)
    cluster["answer"] = "12_1\n12_3\n"
    rows, source = survey.survey(req)
    assert cluster["squeue"] == 1 and [r.state for r in rows] == [State.RUNNING, State.FAILED]
    assert "the cluster keeps no job accounting" in source
    # The task that wrote t2's record is queued again (requeued): not its outcome yet.
    cluster["answer"] = "12_[1-3]\n"
    assert survey.survey(req)[0][1].message == "its job 12_2 is queued or running again"
    cluster["answer"] = None  # squeue cannot answer: a queued tile's fate is not known
    assert survey.survey(req)[0][0].state is State.UNKNOWN
    cluster["answer"] = ""  # gone from the queue without a record
    assert survey.survey(req)[0][0].message == "its job 12_1 ended before it started (cancelled)"


def test_local_jobs_ask_no_scheduler(tmp_path, cluster):
    req = request(tmp_path)
    handed(req, "t1", "-60", "local-b7-1", started=True)
    assert survey.survey(req, running_batch="b7")[0][0].state is State.RUNNING
    assert survey.survey(req)[0][0].state is State.FAILED
    assert cluster["squeue"] == 0
    # A damaged record names no job to ask about.
    with open(tile_dir(req.logs, "t2", make=True) + "/record.json", "w") as f:
        f.write("{")
    assert survey.survey(req)[0][1].message == "its record does not read" and cluster["squeue"] == 0
    assert records.read_tile(req.logs, "t2")[0] is records.DAMAGED


def test_the_report_says_when_a_done_tiles_inputs_changed_since_its_run(tmp_path, cluster):
    import os
    import time

    from tilebatch import facts
    req = request(tmp_path)
    req.input_dir, req.datamask_dir, req.wetland_dir = (str(tmp_path / d) for d in ("in", "dm", "wl"))
    layers = tmp_path / "in" / "t1"
    layers.mkdir(parents=True)
    (tmp_path / "dm").mkdir()
    (tmp_path / "wl").mkdir()
    layer = layers / "t1_TCC_2000.tif"
    layer.write_bytes(b"x")
    old = time.time() - 3600
    for path in (layer, layers):
        os.utime(path, (old, old))
    out = tmp_path / "out"
    out.mkdir()
    for name in facts.product_names("t1", 2000):
        (out / name).write_bytes(b"p")
    here = tile_dir(req.logs, "t1", make=True)
    record = TileRecord(request_of(req, "t1", "-60", "10"), "local-b0-1", status=0, wall_s=2.0,
                        products=file_identities(str(out)),
                        ended=time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(old + 60)))
    write_json(here + "/record.json", record.to_json())
    row = survey.survey(req, inputs=True)[0][0]
    assert (row.state, row.message) == (State.DONE, "")
    os.utime(layer, (old + 600, old + 600))  # a layer copied over the old one: the directory keeps its time
    row = survey.survey(req, inputs=True)[0][0]
    assert (row.state, row.message) == (State.DONE, "inputs newer than its run: %s" % layer)
    assert survey.survey(req)[0][0].message == ""  # a resume or a submission does not look
    # A record that says when its run started: a layer changed while the
    # quality run and the reduced copy went on is newer than the run.
    record.started = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(old + 500))
    record.ended = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(old + 700))
    write_json(here + "/record.json", record.to_json())
    assert survey.survey(req, inputs=True)[0][0].message == "inputs newer than its run: %s" % layer


def test_worker_processes_find_what_one_process_finds(tmp_path, cluster, monkeypatch):
    """A large batch is read and checked by worker processes: the rows are
    the same, in list order."""
    from tilebatch import facts
    req = request(tmp_path)
    req.tiles = [("t%d" % k, str(k), "10") for k in range(7)]
    out = tmp_path / "out"
    out.mkdir()
    for k, (tile, x, y) in enumerate(req.tiles):
        for name in facts.product_names(tile, 2000):
            (out / name).write_bytes(b"p" * k)
        made = file_identities(str(out))
        here = tile_dir(req.logs, tile, make=True)
        record = TileRecord(request_of(req, tile, x, y), "local-b7-%d" % k, status=k % 3,
                            products={n: made[n] for n in facts.product_names(tile, 2000)})
        write_json(here + "/record.json", record.to_json() if k != 5 else "[")
    (out / facts.product_names("t3", 2000)[1]).write_bytes(b"changed")
    alone = [vars(r) for r in survey.survey(req)[0]]
    monkeypatch.setattr(survey, "PARALLEL_FROM", 2)
    monkeypatch.setattr(survey.os, "sched_getaffinity", lambda pid: {0, 1, 2})
    assert [vars(r) for r in survey.survey(req)[0]] == alone
    assert [r["state"] for r in alone] == [State.DONE, State.FAILED, State.FAILED, State.FAILED, State.FAILED,
                                           State.NOT_RUN, State.DONE]
    assert "its product TCH_2000_t3.img changed after its run" in alone[3]["message"]
