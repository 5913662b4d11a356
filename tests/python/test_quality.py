"""The batch quality: the tiles' quality tables joined by column name, summed
per year, charted, and the outlier tiles named. The chart is drawn by a
stand-in, so no gnuplot is needed."""
import csv
import json
import os

import pytest

from tilebatch import quality

COLUMNS = ("year,filtered,invalid,jump,repaired,interpolated,post_loss,height_filled,height_capped,"
           "height_smoothed,tcc_changed,loss_in,loss_kept").split(",")


@pytest.mark.parametrize("shares, flagged", [
    # Medians of four tiles are the lower middle values: 0.01, 0.02, 0.0.
    ({"a": (0.01, 0.02, 0.0), "b": (0.01, 0.02, 0.0), "c": (0.03, 0.02, 0.0), "d": (0.031, 0.061, 0.0)},
     ["  d: repaired 3.100% interpolated 6.100%"]),
    # Three times the median exactly is not more than it.
    ({"a": (0.25, 0.25, 0.25), "b": (0.75, 0.75, 0.75)}, ["  none"]),
    ({"only": (0.5, 0.5, 0.5)}, ["  none"]),
])
def test_outliers(shares, flagged):
    lines = quality.outliers(shares).splitlines()
    assert lines[0].startswith("tiles with a share of pixel-years more than 3 times the batch median (")
    assert lines[1:] == flagged


def test_outliers_header_holds_the_lower_medians():
    text = quality.outliers({"a": (0.01, 0.2, 0.0), "b": (0.02, 0.4, 0.0)})
    assert "(repaired 1.000%, interpolated 20.000%, height_filled 0.000%)" in text


@pytest.fixture
def chart(tmp_path, monkeypatch):
    """A stand-in for quality_chart.sh: writes a PNG-named file at its second argument."""
    script = tmp_path / "chart.sh"
    script.write_text('#!/bin/sh\nprintf "fake png of %s" "$1" > "$2"\n')
    script.chmod(0o755)
    monkeypatch.setattr(quality, "CHART", str(script))


def write_table(quality_dir, tile, rows, columns=COLUMNS):
    """A tile's quality table, ROWS as {column: value} (missing columns 0)."""
    with open(os.path.join(quality_dir, tile + "_quality.csv"), "w", newline="") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(columns)
        for row in rows:
            writer.writerow([row.get(c, 0) for c in columns])


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


def test_build_joins_by_column_name_and_sums_per_year(tmp_path, chart, capsys):
    qd = tmp_path / "quality"
    qd.mkdir()
    write_table(str(qd), "t1", [{"year": 2000, "filtered": 100, "repaired": 1, "loss_kept": 7},
                                {"year": 2001, "filtered": 100, "repaired": 2}])
    # The same columns in another order: read by name all the same.
    write_table(str(qd), "t2", [{"year": 2000, "filtered": 50, "repaired": 30, "loss_kept": 5},
                                {"year": 2001, "filtered": 50, "interpolated": 4}], list(reversed(COLUMNS)))
    assert quality.build(str(qd), ["t1", "t2"]) == 0

    here = qd / "batch"
    joined = read_csv(here / "batch_quality.csv")
    assert joined[0] == ["tile_id"] + COLUMNS
    by_tile_year = {(r[0], r[1]): dict(zip(joined[0], r)) for r in joined[1:]}
    assert len(joined) == 5
    t2 = by_tile_year[("t2", "2000")]
    assert (t2["filtered"], t2["repaired"], t2["loss_kept"], t2["interpolated"]) == ("50", "30", "5", "0")
    assert by_tile_year[("t2", "2001")]["interpolated"] == "4"

    totals = read_csv(here / "batch_quality_totals.csv")
    assert totals[0] == COLUMNS
    sums = {r[0]: dict(zip(COLUMNS, r)) for r in totals[1:]}
    assert list(sums) == ["2000", "2001"]
    assert (sums["2000"]["filtered"], sums["2000"]["repaired"], sums["2000"]["loss_kept"]) == ("150", "31", "12")
    assert (sums["2001"]["filtered"], sums["2001"]["repaired"], sums["2001"]["interpolated"]) == ("150", "2", "4")

    assert (here / "batch_quality.png").read_text().startswith("fake png of ")
    outliers = (here / "batch_quality_outliers.txt").read_text()
    # t2 repaired 30 of 100 pixel-years, against a lower median of 1.5%.
    assert "  t2: repaired 30.000%" in outliers
    flagged = json.loads((here / "batch_quality_outliers.json").read_text())
    assert flagged["tiles"] == {"t2": "repaired 30.000% interpolated 4.000%"} and flagged["medians"]["repaired"] == 0.015
    assert not [n for n in os.listdir(here) if n.startswith(".tmp-") or ".tmp-" in n]
    out = capsys.readouterr().out
    assert out.endswith("batch quality: %s, %s\n" % (here / "batch_quality.csv", here / "batch_quality.png"))


def test_a_tile_named_batch_keeps_its_own_files(tmp_path, chart):
    qd = tmp_path / "quality"
    qd.mkdir()
    write_table(str(qd), "batch", [{"year": 2000, "filtered": 10, "repaired": 1}])
    own = (qd / "batch_quality.csv").read_text()
    (qd / "batch_quality.png").write_text("the tile's own chart")
    assert quality.build(str(qd), ["batch"]) == 0
    assert (qd / "batch_quality.csv").read_text() == own
    assert (qd / "batch_quality.png").read_text() == "the tile's own chart"
    assert read_csv(qd / "batch" / "batch_quality.csv")[1][0] == "batch"


@pytest.mark.parametrize("bad", ["missing", "not a table", "other columns"])
def test_a_missing_or_unreadable_table_fails_after_the_others_are_written(tmp_path, chart, capsys, bad):
    qd = tmp_path / "quality"
    qd.mkdir()
    write_table(str(qd), "t1", [{"year": 2000, "filtered": 10, "repaired": 1}])
    if bad == "not a table":
        (qd / "t2_quality.csv").write_text("year,filtered\n2000,x\n")
    elif bad == "other columns":
        write_table(str(qd), "t2", [{"year": 2000, "filtered": 10}], COLUMNS + ["extra"])
    write_table(str(qd), "t3", [{"year": 2000, "filtered": 10, "repaired": 2}])
    assert quality.build(str(qd), ["t1", "t2", "t3"]) == 1
    joined = read_csv(qd / "batch" / "batch_quality.csv")
    assert [r[0] for r in joined[1:]] == ["t1", "t3"]
    assert read_csv(qd / "batch" / "batch_quality_totals.csv")[1][:5] == ["2000", "20", "0", "0", "3"]
    assert "no quality table for 1 tile(s): t2" in capsys.readouterr().err


def test_no_table_at_all(tmp_path, chart, capsys):
    assert quality.build(str(tmp_path), ["t1"]) == 1
    assert not (tmp_path / "batch").exists()
    assert "no quality table of any tile" in capsys.readouterr().err


def test_a_tile_named_twice_is_refused_before_anything_is_written(tmp_path, chart, capsys):
    write_table(str(tmp_path), "t1", [{"year": 2000, "filtered": 10, "repaired": 1}])
    write_table(str(tmp_path), "t2", [{"year": 2000, "filtered": 10, "repaired": 1}])
    with pytest.raises(SystemExit) as exited:
        quality.main([str(tmp_path), "t1", "t2", "t1"])
    assert exited.value.code == 2  # a usage error, said as one
    assert "tile t1 is named more than once" in capsys.readouterr().err
    assert not (tmp_path / "batch").exists()  # counted twice, t1 would weigh double in the sums
