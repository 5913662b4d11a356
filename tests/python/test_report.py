"""The report: the TSV for programs, the table and summary for people."""
import pytest

from tilebatch import report
from tilebatch.records import Row, State

TSV_HEADER = ["tile", "state", "exit", "wall_s", "peak_kib", "host", "slurm_state", "job", "message"]


def rows_of_a_batch(slurm_state=""):
    return [
        Row("t1", State.DONE, "0", 12.0, 262144, "n1", slurm_state, job="7_1"),
        Row("t2", State.FAILED, "1", 3.25, 100000, "n2", job="7_2", message="no input\tfile"),
        Row("t3", State.RUNNING, "-", None, None, "n1", slurm_state, job="7_3", message="its job 7_3 is queued"),
        Row("t4", State.NOT_RUN),
        Row("t5", State.UNKNOWN, job="7_5", message="handed to job 7_5"),
        Row("t6", State.DONE, "0", 0.5, None, "n2", job="7_6"),
        # Not ended: its figures stay out of the sums, however large.
        Row("t7", State.NOT_RUN, "0", 999.0, 9999999, "n3", job="7_7", message="done without --quality"),
    ]


def test_tsv_every_row_whole_and_quickest_first():
    tsv, _ = report.full(rows_of_a_batch(), "records")
    lines = tsv.splitlines()
    assert lines[0].split("\t") == TSV_HEADER
    cells = [line.split("\t") for line in lines[1:]]
    assert all(len(c) == len(TSV_HEADER) for c in cells)
    # Untimed tiles first in list order, then by wall time; exact figures.
    assert [c[0] for c in cells] == ["t3", "t4", "t5", "t6", "t2", "t1", "t7"]
    assert cells[4] == ["t2", "failed", "1", "3.25", "100000", "n2", "", "7_2", "no input file"]
    assert cells[5][3:5] == ["12", "262144"]


@pytest.mark.parametrize("slurm_state, header", [
    ("", "tile state exit wall_s peak_MiB host"),
    ("COMPLETED", "tile state exit wall_s peak_MiB host slurm_state"),
])
def test_table_columns_slurm_state_only_when_present(slurm_state, header):
    _, printed = report.full(rows_of_a_batch(slurm_state), "Slurm's accounting")
    lines = printed.splitlines()
    assert lines[0] == "figures: Slurm's accounting"
    assert lines[1].split() == header.split()
    table = {line.split()[0]: line.split() for line in lines[2:9]}
    assert table["t1"] == ["t1", "done", "0", "12", "256", "n1"] + ([slurm_state] if slurm_state else [])
    assert table["t2"] == ["t2", "failed", "1", "3.25", "98", "n2"]
    assert table["t4"] == ["t4", "not", "run", "-", "-", "-", "-"]


def summary_lines(rows):
    return [l for l in report.full(rows, None)[1].splitlines() if l.startswith("summary")]


def test_summary_counts_and_sums_over_ended_tiles():
    assert summary_lines(rows_of_a_batch()) == [
        "summary: 7 tiles: 2 done, 1 failed, 2 not run, 1 running or queued, 1 handed to Slurm, state unknown",
        "summary: tiles' wall time 15.8 s summed, median 3.2 s a tile (3 timed)",
        "summary: slowest: t1 (12 s) t2 (3.25 s) t6 (0.5 s)",
        "summary: largest memory: t1, 256 MiB",
    ]


@pytest.mark.parametrize("times, total, median", [
    ([1, 2, 3, 10], 16.0, 2.5),            # even count: the mean of the middle two
    ([4], 4.0, 4.0),
    ([0.25, 0.75], 1.0, 0.5),
])
def test_summary_median(times, total, median):
    rows = [Row("t%d" % k, State.DONE, "0", t) for k, t in enumerate(times)]
    assert summary_lines(rows)[1] == "summary: tiles' wall time %.1f s summed, median %.1f s a tile (%d timed)" % (
        total, median, len(times))


def test_summary_slowest_five_slowest_first():
    rows = [Row("t%d" % k, State.FAILED if k % 2 else State.DONE, "0", float(k)) for k in range(1, 9)]
    assert summary_lines(rows)[2] == "summary: slowest: t8 (8 s) t7 (7 s) t6 (6 s) t5 (5 s) t4 (4 s)"


def test_summary_without_figures():
    rows = [Row("t1", State.DONE, "0"), Row("t2", State.RUNNING, "-", 5.0, 2048)]
    assert summary_lines(rows) == ["summary: 2 tiles: 1 done, 0 failed, 0 not run, 1 running or queued",
                                   "summary: no tile timed", "summary: no peak memory measured"]


@pytest.mark.parametrize("tile, shown", [
    ("t\x1b[31mred", "t\\x1b[31mred"),
    ("t\u202eevil", "t\\u202eevil"),
])
def test_tile_id_escaped_in_table_tsv_and_summary(tile, shown):
    tsv, printed = report.full([Row(tile, State.DONE, "0", 2.0, 4096, "n1")], None)
    assert tsv.splitlines()[1].split("\t")[0] == shown
    assert printed.splitlines()[1].split()[0] == shown
    assert "summary: slowest: %s (2 s)" % shown in printed
    assert "summary: largest memory: %s, 4 MiB" % shown in printed
    for text in (tsv, printed):
        assert tile not in text and "\x1b" not in text and "\u202e" not in text
