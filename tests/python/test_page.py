"""The batch page: hostile tile ids stay text, the map's data carries every
tile's state and outlier mark, links lead to the tile's files from the
output directory, and what is missing is said."""
import json
import os
import re
import sys
import time
from html.parser import HTMLParser

import pytest

from tilebatch import page, region, report
from tilebatch.records import Request, Row, State
from tilebatch.region import FAILED_NOTE
from tilebatch.tilejob import printable

PNG = b"\x89PNG\r\n\x1a\n" + b"\0" * 32 + b"\x00\x00\x00\x00IEND\xaeB`\x82"  # whole: IEND last
HOSTILE = ['a</script><script>alert(1)</script>', '<img src=x onerror=alert(1)>', 'q"\'&amp;',
           "raw\udcff\udcfe", "rtl\u202eline\u2028sep", "back\\slash", "$title${tiles}$$"]


def request(tmp_path, tiles, quality=False, region=True, logs=None):
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    return Request(tiles=tiles, last_year=2001, input_dir="/in", output_dir=str(out), datamask_dir="/m",
                   wetland_dir="/w", process_tile="/p", logs=logs or str(out / "logs"),
                   tile_quality="/tq" if quality else None, region=region)


def written(req, rows, source="records"):
    path = page.write(req, rows, source, report.summarize(rows))
    assert path == os.path.join(req.output_dir, "index.html")
    with open(path, encoding="utf-8") as f:
        return f.read()


def map_json(text):
    """The map's data as the page's script reads it."""
    found = re.search(r'<script type="application/json" id="tiles">(.*?)</script>', text, re.S)
    return json.loads(found.group(1))


class Tags(HTMLParser):
    """The tags and attribute names of a page, and the text it shows (not its scripts and style)."""
    def __init__(self):
        super().__init__()
        self.tags, self.attributes, self.text = [], set(), []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.attributes.update(name for name, _ in attrs)

    def handle_data(self, data):
        if self.lasttag not in ("script", "style"):
            self.text.append(data)


def test_hostile_ids_stay_text(tmp_path):
    tiles = [(t, str(k), "10") for k, t in enumerate(HOSTILE)]
    rows = [Row(t, State.FAILED, "1", 1.0 + k, host="<h>", message="</script><b>bad & worse</b>")
            for k, (t, _, _) in enumerate(tiles)]
    text = written(request(tmp_path, tiles), rows)
    # Three scripts of the page's own, each closed once; no tag or attribute from the data.
    assert text.count("<script") == 3 and text.count("</script>") == 3
    parser = Tags()
    parser.feed(text)
    assert "b" not in parser.tags and "onerror" not in parser.attributes
    assert set(parser.tags) <= {"html", "head", "meta", "title", "style", "script", "body", "h1", "h2", "h3", "p",
                                "code", "span", "div", "canvas", "table", "tr", "th", "td", "img", "ul", "li"}
    raw = re.search(r'id="tiles">(.*?)</script>', text, re.S).group(1)
    assert not set("<>&") & set(raw) and raw.isascii()
    data = map_json(text)
    assert [t["id"] for t in data["tiles"]] == [printable(t) for t in HOSTILE]
    assert all(t["message"] == "</script><b>bad & worse</b>" and t["host"] == "<h>" for t in data["tiles"])
    # The tables show the ids as printed, escaped once (a backslash is not doubled twice).
    shown = "".join(parser.text)
    for tile in HOSTILE:
        assert printable(tile) in shown
    assert "back\\\\slash" in shown and "back\\\\\\\\slash" not in shown
    assert "raw\\xff\\xfe" in shown


def summary_cells(text):
    """The summary table's rows as {heading: cell}, tags inside them dropped."""
    table = re.search(r'<table class="summary">(.*?)</table>', text, re.S).group(1)
    return {re.sub(r"<[^>]*>", "", h): c for h, c in re.findall(r"<tr><th>(.*?)</th><td>(.*?)</td></tr>", table)}


def test_the_inlined_style_and_script_cannot_end_their_elements():
    """page.css and page.js go into the page as they stand: a "</style" or
    "</script" in them (a comment's example, say) would end the element there."""
    for path, closer in ((page.STYLE, "</style"), (page.SCRIPT, "</script"), (page.SCRIPT, "<!--")):
        with open(path, encoding="utf-8") as f:
            assert closer not in f.read().lower()


def test_summary_table_of_counts_times_memory_and_source(tmp_path):
    rows = [Row("<i>", State.DONE, "0", 2.0, 3 << 20), Row("t2", State.FAILED, "3", 1.0, 1024, message="m"),
            Row("t3", State.DONE, "0", 130.25, 2 << 20), Row("t4", State.NOT_RUN)]
    text = written(request(tmp_path, [(r.tile, str(k), "0") for k, r in enumerate(rows)]), rows, source="sacct <x>")
    parser = Tags()
    parser.feed(text)
    assert "i" not in parser.tags and "pre" not in parser.tags
    assert "summary:" not in text  # the terminal's lines are not the page's
    cells = summary_cells(text)
    assert cells == {"tiles": "4", "done": "2", "failed": "1", "not run": "1",
                     "tiles' wall time": "133 s (2.2 min) summed over the tiles, median 2 s a tile (3 tiles timed)",
                     "slowest": "t3: 130 s (2.2 min), &lt;i&gt;: 2 s, t2: 1 s",
                     "largest memory": "&lt;i&gt;: 3072 MiB", "figures from": "sacct &lt;x&gt;"}
    # A state is listed where it has tiles, done, failed and not run always;
    # nothing timed or measured is said so.
    rows = [Row("a", State.RUNNING), Row("b", State.UNKNOWN)]
    cells = summary_cells(written(request(tmp_path, [("a", "0", "0"), ("b", "1", "0")]), rows, source=""))
    assert cells == {"tiles": "2", "done": "0", "failed": "0", "not run": "0", "running or queued": "1",
                     "unknown (handed to Slurm, state unknown)": "1", "tiles' wall time": "no tile timed",
                     "largest memory": "none measured"}


def test_the_batch_id_is_explained_where_it_first_shows(tmp_path):
    req = request(tmp_path, [("t", "0", "0")])
    req.batch_id = "b<1>"
    text = written(req, [Row("t")])
    body = text.split("<body>")[1]
    first = body.index("b&lt;1&gt;")
    assert body.index("<code>b&lt;1&gt;</code> is the id of this batch run") < body.index("<h2>")
    assert "<code>local-b&lt;1&gt;-N</code>" in body and first < body.index("is the id of this batch run")
    req.entry = "slurm_array.sh"
    assert "batch-b&lt;1&gt;.json" in written(req, [Row("t")])


def test_states_outliers_and_colours_carried_into_the_data(tmp_path):
    states = list(State)
    tiles = [("t%d" % k, str(k), "5") for k in range(len(states))]
    rows = [Row(t, s, "0" if s is State.DONE else "-", 2.5 if s is State.DONE else None) for (t, _, _), s in zip(tiles, states)]
    req = request(tmp_path, tiles, quality=True)
    batch = os.path.join(req.quality_dir, "batch")
    os.makedirs(batch)
    with open(os.path.join(batch, "batch_quality_outliers.json"), "w") as f:
        json.dump({"medians": {}, "tiles": {"t0": "repaired 5.000%", "t9": "not in this batch"}}, f)
    text = written(req, rows)
    data = map_json(text)
    colours = dict(page.STATES)
    by_state = {s["state"]: s for s in data["states"]}
    by_tile = {t["id"]: t for t in data["tiles"]}
    for (tile, x, y), state in zip(tiles, states):
        entry = by_tile[tile]
        assert entry["state"] == state.value and by_state[state.value]["colour"] == colours[state]
        assert (entry["lon"], entry["lat"]) == (float(x), float(y))
    assert by_tile["t0"]["outlier"] == "repaired 5.000%" and by_tile["t0"]["wall_s"] == 2.5
    assert [t["id"] for t in data["tiles"] if t["outlier"] is not None] == ["t0"]
    # Failures drawn last, so they stay on top.
    assert data["tiles"][-1]["id"] == "t1"
    assert "quality outlier (1)" in text and "done (1)" in text


@pytest.mark.parametrize("content", ["[1, 2]", '{"tiles": ["t0"]}', "{not json", '{"tiles": {"t0": 5}}'])
def test_malformed_outlier_file(tmp_path, content):
    req = request(tmp_path, [("t0", "0", "0")], quality=True)
    os.makedirs(os.path.join(req.quality_dir, "batch"))
    with open(os.path.join(req.quality_dir, "batch", "batch_quality_outliers.json"), "w") as f:
        f.write(content)
    tiles = map_json(written(req, [Row("t0", State.DONE)]))["tiles"]
    # A note that is not text still marks its tile, with no words.
    assert tiles[0]["outlier"] == ("" if content.endswith("5}}") else None)


def test_links_relative_and_percent_encoded_from_the_bytes(tmp_path):
    tile = "a b%?#\udcff/é"
    req = request(tmp_path, [(tile, "0", "0")], quality=True, logs=str(tmp_path / "else where" / "logs"))
    data = map_json(written(req, [Row(tile, State.FAILED, "1")]))
    assert data["links"] == {"logs": "../else%20where/logs/tiles/", "quality": "quality/"}
    assert data["tiles"][0]["link"] == "a%20b%25%3F%23%FF%2F%C3%A9"
    assert "quality" not in map_json(written(request(tmp_path, [(tile, "0", "0")]), [Row(tile)]))["links"]



def test_a_quality_chart_is_linked_only_where_the_tile_has_one(tmp_path):
    req = request(tmp_path, [("ok", "0", "0"), ("bad", "2", "0")], quality=True)
    os.makedirs(req.quality_dir)
    with open(os.path.join(req.quality_dir, "ok_quality.png"), "wb") as f:
        f.write(PNG)
    data = map_json(written(req, [Row("ok", State.DONE), Row("bad", State.FAILED, "1")]))
    assert {t["id"]: t["chart"] for t in data["tiles"]} == {"ok": "ok_quality.png", "bad": None}


def test_origins_that_are_not_finite_are_left_off(tmp_path):
    tiles = [("ok", "-60.5", "+10"), ("n", "nan", "1"), ("i", "1", "-inf"), ("big", "1e999", "0"), ("w", "x", "0")]
    text = written(request(tmp_path, tiles), [Row(t) for t, _, _ in tiles])
    data = map_json(text)
    assert [(t["id"], t["lon"], t["lat"]) for t in data["tiles"]] == [("ok", -60.5, 10.0)]
    assert "4 tile(s) have an origin that is not a finite number" in text
    assert "not a finite number" not in written(request(tmp_path, tiles[:1]), [Row("ok")])


def region_with(req, files):
    """OUTPUT_DIR/region holding FILES, {name: bytes}: its path."""
    region = os.path.join(req.output_dir, "region")
    os.makedirs(region, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(region, name), "wb") as f:
            f.write(data)
    return region


def test_pictures_embedded_or_said_missing(tmp_path):
    req = request(tmp_path, [("t", "0", "0")])
    # TCH's is not a PNG: not shown.
    region_with(req, {"TCC_2001.png": PNG, "TCH_2001.png": b"<svg onload=alert(1)>"})
    text = written(req, [Row("t", State.DONE)])
    assert text.count("data:image/png;base64,") == 1
    assert "TCH_2001.png is not there (or not a PNG)" in text and "Loss_2001.png is not there" in text
    assert "<svg onload" not in text
    assert "ran without --quality" in text
    # Turned off: the pictures of an earlier build are not shown as this batch's.
    req.region = False
    text = written(req, [Row("t", State.DONE)])
    assert "turned off for this batch" in text and "data:image/png" not in text
    # A PNG its writer did not finish (no IEND chunk last) is not shown either.
    region_with(req, {"Loss_2001.png": PNG[:-12]})
    req.region = True
    assert "Loss_2001.png is not there (or not a PNG)" in written(req, [Row("t", State.DONE)])


def test_a_failed_region_build_is_said_above_the_pictures_until_one_succeeds(tmp_path):
    req = request(tmp_path, [("t", "0", "0")])
    region = region_with(req, {"TCC_2001.png": PNG})
    assert "region build failed" not in written(req, [Row("t", State.DONE)])
    # region.build leaves its reason there; the page reads it, at the end of
    # the batch or at a later --report alike.
    with open(os.path.join(region, FAILED_NOTE), "w") as f:
        f.write("/out/TCC_2001_u.img not found (tile <u>)\n")
    text = written(req, [Row("t", State.DONE)])
    said = text.index("The last region build failed (/out/TCC_2001_u.img not found (tile &lt;u&gt;)): "
                      "any picture below is from an earlier build.")
    assert text.index("<h2>The region</h2>") < said < text.index("data:image/png")
    with open(os.path.join(region, FAILED_NOTE), "w") as f:
        f.write("\n")
    assert "The last region build failed (no reason recorded)" in written(req, [Row("t", State.DONE)])
    # Not a regular file: not opened, not said.
    os.unlink(os.path.join(region, FAILED_NOTE))
    os.mkfifo(os.path.join(region, FAILED_NOTE))
    assert "region build failed" not in written(req, [Row("t", State.DONE)])


def test_the_page_says_whose_pictures_it_shows_and_when_they_are_not_this_batchs(tmp_path):
    req = request(tmp_path, [("a", "0", "0"), ("b", "1", "0")])
    here = os.path.join(req.output_dir, "region")
    os.makedirs(here)
    with open(os.path.join(here, "TCC_2001.png"), "wb") as f:
        f.write(PNG)

    def record(tiles, last_year=2001, batch=req.batch_id):
        with open(os.path.join(here, region.RECORD), "w") as f:
            json.dump(region.record_of(req.output_dir, last_year, tiles, batch), f)

    def section(rows):
        text = written(req, rows)
        return text[text.index("<h2>The region</h2>"):text.index("<h2>The quality of the batch</h2>")]

    done = [Row("a", State.DONE, products=True), Row("b", State.FAILED, "1", products=True)]
    # Pictures of an earlier version, which recorded nothing.
    assert "What the pictures below were drawn from is not recorded" in section(done)
    record(["b", "a"])  # this batch's: its tiles with products, in any order
    text = section(done)
    assert "The region: pictures of 2 tiles, last year 2001, built " in text and "by batch <code>%s</code>" % (
        req.batch_id) in text and "warning" not in text
    # A batch of which no tile has its products builds no region: the
    # pictures there are another's.
    record(["a", "b"], batch="older<b>")
    text = section([Row("a", State.FAILED, "1"), Row("b")])
    assert ("The region's pictures of 2 tiles, last year 2001, built" in text and "by batch <code>older&lt;b&gt;"
            in text and "not of this batch's 0 tiles with products, last year 2001 (no region was built" in text)
    record(["a"], batch=None)  # drawn by region.sh of one tile
    assert "by region.sh (no batch): not of this batch's 2 tiles with products" in section(done)
    record(["a", "b"], last_year=2000)
    assert "not of this batch's 2 tiles with products, last year 2001" in section(done)
    # Turned off for this batch: the older pictures are named, not shown.
    req.region = False
    text = section(done)
    assert "turned off for this batch" in text and "holds the region of an earlier build (pictures of 2 tiles" in text
    assert "data:image/png" not in text
    os.unlink(os.path.join(here, region.RECORD))
    assert "what it was drawn from is not recorded" in section(done)
    os.unlink(os.path.join(here, "TCC_2001.png"))
    assert "earlier build" not in section(done)


def test_batch_quality_chart_table_and_outliers(tmp_path):
    req = request(tmp_path, [("t", "0", "0")], quality=True)
    text = written(req, [Row("t", State.DONE)])
    assert "batch_quality.png is not there" in text and "<li>" not in text
    assert "batch_quality_outliers.json is missing or malformed" in text
    batch = os.path.join(req.quality_dir, "batch")
    os.makedirs(batch)
    with open(os.path.join(batch, "batch_quality.png"), "wb") as f:
        f.write(PNG)
    with open(os.path.join(batch, "batch_quality_totals.csv"), "w") as f:
        f.write("year,filtered,repaired\n2000,10,<3>\n")
    with open(os.path.join(batch, "batch_quality_outliers.json"), "w") as f:
        json.dump({"tiles": {"t": "repaired 1%<"}}, f)
    text = written(req, [Row("t", State.DONE)])
    assert "data:image/png;base64," in text
    assert "<tr><th>year</th><th>filtered</th><th>repaired</th></tr>" in text
    assert "<td>&lt;3&gt;</td>" in text and "<li>t: repaired 1%&lt;</li>" in text


def test_slowest_twenty_of_the_ended_tiles(tmp_path):
    rows = [Row("t%02d" % k, State.DONE if k % 2 else State.FAILED, "0", float(k), host="n%d" % k) for k in range(30)]
    rows.append(Row("still", State.RUNNING, "-", 999.0))
    text = written(request(tmp_path, [(r.tile, "0", "0") for r in rows]), rows)
    section = text.split("The slowest tiles")[1].split("</table>")[0]
    assert re.findall(r"<tr><td>(t\d\d)</td>", section) == ["t%02d" % k for k in range(29, 9, -1)]
    assert "<td>t29</td><td>done</td><td>29</td><td>n29</td>" in section and "still" not in section


def test_written_whole_or_not_at_all(tmp_path, capsys):
    req = request(tmp_path, [("t", "0", "0")])
    rows = [Row("t", State.DONE)]
    assert page.publish(req, rows, "records", report.summarize(rows), "batch.sh") == 0
    assert os.listdir(req.output_dir) == ["index.html"]
    assert "batch.sh: the batch page: %s" % os.path.join(req.output_dir, "index.html") in capsys.readouterr().out
    # Where the directory cannot take it: said on stderr with the path, status 1, nothing left behind.
    req.output_dir = str(tmp_path / "gone")
    assert page.publish(req, rows, "records", report.summarize(rows), "batch.sh", say=sys.stderr) == 1
    err = capsys.readouterr().err
    assert err.startswith("batch.sh: the batch page %s could not be written: " % os.path.join(req.output_dir, "index.html"))
    assert os.listdir(tmp_path) == ["out"]


def test_twenty_thousand_tiles_stay_small_and_quick(tmp_path):
    tiles = [("%03dN_%03dE" % (k // 200, k % 200), str(k % 200), str(k // 200)) for k in range(20000)]
    rows = [Row(t, State.FAILED, "1", 3.0, 2 << 20, "node17", message="/data/input/%s/%s_TCH_2020.tif not found" % (t, t))
            for t, _, _ in tiles]
    started = time.monotonic()
    text = written(request(tmp_path, tiles), rows)
    assert time.monotonic() - started < 3
    assert len(text) < 5 << 20 and text.count("<canvas") == 1
    assert len(map_json(text)["tiles"]) == 20000
