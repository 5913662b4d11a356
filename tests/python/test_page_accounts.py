"""The batch page's forest accounts: shown only when the batch asked for
them, their reason when the tables are not there, zone names and paths kept
as text, the zones of largest loss first with their sums exact, and links
to the tables that work from the page's directory."""
import html
import json
import os
import re
from html.parser import HTMLParser

import pytest

from tilebatch import accounts, facts, page, report, tilejob
from tilebatch.records import Request, Row, State

HOSTILE_ZONES = ["</script><script>alert(1)</script>", 'q"\'&amp;', "Zoné ñ 森林", "<!--", "$accounts"]


def rows_of(years, thresholds, zone=None, loss=lambda t, y: "0.100000"):
    """Accounts rows as the tables hold them: land 100 ha, cover falling a
    hectare a year below the threshold's share."""
    out = []
    for t in thresholds:
        for y in years:
            row = {"threshold": str(t), "year": str(y), "land_ha": "100.000000",
                   "cover_ha": "%.6f" % (100 - t - (y - years[0])), "loss_ha": loss(t, y), "height_mean": "12.500000"}
            if zone is not None:
                row["zone"] = zone
            out.append(row)
    return out


def view_of(thresholds=(10, 30, 50), zones=(), years=(2000, 2001, 2002), **changes):
    value = {"written": True, "reason": "", "batch_id": "b1", "last_year": years[-1], "thresholds": list(thresholds),
             "zones": "/z/<zones>&.gpkg" if zones else None, "zone_field": "name" if zones else None,
             "batch_rows": rows_of(list(years), thresholds),
             "zone_rows": [r for z in zones for r in rows_of(list(years), thresholds, z)]}
    value.update(changes)
    return value


def page_with(tmp_path, monkeypatch, view):
    out = tmp_path / "out dir"
    out.mkdir(exist_ok=True)
    req = Request(tiles=[("t", "0", "0")], last_year=2002, input_dir="/in", output_dir=str(out), datamask_dir="/m",
                  wetland_dir="/w", process_tile="/p", logs=str(out / "logs"))
    monkeypatch.setattr(page, "accounts_view", lambda r: view if r is req else pytest.fail("another request"))
    rows = [Row("t", State.DONE)]
    with open(page.write(req, rows, "records", report.summarize(rows)), encoding="utf-8") as f:
        return f.read()


def section(text):
    """The accounts section of the page, "" when there is none."""
    found = re.search(r"<h2>Forest accounts</h2>.*?(?=<h2>The region</h2>)", text, re.S)
    return found.group(0) if found else ""


def accounts_json(text):
    found = re.search(r'<script type="application/json" id="accounts">(.*?)</script>', text, re.S)
    return json.loads(found.group(1)) if found else None


class Tags(HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags, self.text = [], []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)

    def handle_data(self, data):
        if self.lasttag not in ("script", "style"):
            self.text.append(data)


def test_the_reason_when_the_tables_are_not_there_or_not_the_accounts(tmp_path, monkeypatch):
    text = page_with(tmp_path, monkeypatch, view_of(written=False, reason="tile <x> has no table & more",
                                                    batch_rows=[], zone_rows=[]))
    assert '<p class="missing">no batch tables: tile &lt;x&gt; has no table &amp; more</p>' in section(text)
    # Nothing drawn nor linked: the files there, if any, are not this request's.
    assert accounts_json(text) is None
    assert "batch_accounts.csv" not in section(text) and "acc-threshold" not in section(text)
    # Written, but a figure in them is not a number: said, not drawn.
    bad = view_of()
    bad["batch_rows"][4]["loss_ha"] = "nan"
    text = page_with(tmp_path, monkeypatch, bad)
    assert "cannot be shown: row 5 of batch_accounts.csv is not a row of the accounts" in text
    assert accounts_json(text) is None


def test_hostile_zone_names_and_paths_stay_text(tmp_path, monkeypatch):
    text = page_with(tmp_path, monkeypatch, view_of(zones=HOSTILE_ZONES))
    # The page's three scripts and the accounts' data, each closed once.
    assert text.count("<script") == 4 and text.count("</script>") == 4
    raw = re.search(r'id="accounts">(.*?)</script>', text, re.S).group(1)
    assert not set("<>&") & set(raw) and raw.isascii()
    data = accounts_json(text)
    assert sorted(z["zone"] for z in data["zones"]["30"]["rows"]) == sorted(HOSTILE_ZONES)
    parser = Tags()
    parser.feed(section(text))
    assert parser.tags.count("script") == 1 and set(parser.tags) <= {
        "h2", "h3", "p", "code", "a", "label", "select", "span", "div", "table", "script"}
    shown = "".join(parser.text)
    assert "zones from /z/<zones>&.gpkg, by the field name" in shown
    assert "<code>/z/&lt;zones&gt;&amp;.gpkg</code>" in text


def test_the_threshold_picked_first_and_no_zones_asked(tmp_path, monkeypatch):
    assert accounts_json(page_with(tmp_path, monkeypatch, view_of()))["first"] == 30
    # Without 30 among them, the first; no zones asked, no zone data, table or link.
    text = section(page_with(tmp_path, monkeypatch, view_of(thresholds=(75, 15))))
    data = accounts_json(text)
    assert data["first"] == 75 and data["zones"] == {} and "acc-zones" not in text
    # Under the years' table, where the loss of 2000 shows as 0, why it is 0.
    assert text.index('id="acc-years"') < text.index('id="acc-loss-note"')
    assert "The loss of 2000 is 0 at every threshold above 0" in text
    assert '<a href="accounts/batch_accounts.csv">batch_accounts.csv</a>' in text and "zone_accounts" not in text


def test_zones_largest_loss_first_sums_exact_and_the_first_fifty_of_many(tmp_path, monkeypatch):
    view = view_of(zones=["z%03d" % k for k in range(120)])
    # Zone k loses k times 0.1 ha, three times: 0.1 + 0.2 stays 0.3 (sums
    # of the printed figures, not of floats); at 10 % the order turns round.
    for row in view["zone_rows"]:
        k = int(row["zone"][1:])
        row["loss_ha"] = "%.6f" % ((k if row["threshold"] != "10" else 119 - k) / 10)
        if row["year"] == "2002":
            row["height_mean"] = ""  # no cover left: no height
    view["zone_rows"][-1]["land_ha"] = "7.000000"
    text = page_with(tmp_path, monkeypatch, view)
    data = accounts_json(text)
    zones = data["zones"]["30"]
    assert zones["count"] == 120 and len(zones["rows"]) == page.ZONES_SHOWN == 50
    assert [z["zone"] for z in zones["rows"]] == ["z%03d" % k for k in range(119, 69, -1)]
    assert zones["rows"][0] == {"zone": "z119", "land": "100.00", "cover_first": "70.00", "cover_last": "68.00",
                                "loss": "35.70", "height": "-"}
    assert [z["zone"] for z in data["zones"]["10"]["rows"][:2]] == ["z000", "z001"]
    assert data["zones"]["50"]["rows"][0]["land"] == "7.00"  # the last year's row of the last zone
    assert page.shown(page.figure("0.1") + page.figure("0.2")) == "0.30"
    assert page.shown(page.figure("1234567.005000")) == "1,234,567.00"  # to the even hundredth
    assert '<a href="accounts/batch_zone_accounts.csv">batch_zone_accounts.csv</a>' in text


def test_the_section_from_the_batch_tables_as_the_batch_summed_them(tmp_path):
    """Through accounts.page_view: nothing before the sums, the sums of this
    request shown, those of another request not, a changed zones file said."""
    zones = tmp_path / "z<1>&.gpkg"
    zones.write_text("the zones")
    out = tmp_path / "out"
    out.mkdir()
    req = Request(tiles=[("t", "0", "0")], last_year=2001, input_dir="/in", output_dir=str(out), datamask_dir="/m",
                  wetland_dir="/w", process_tile="/p", logs=str(out / "logs"), tile_accounts="/ta",
                  thresholds="10,30", zones=str(zones), zone_field="n<ame>",
                  zones_identity=tilejob.zones_identity(str(zones)))
    rows = [Row("t", State.DONE)]

    def shown(request):
        with open(page.write(request, rows, "records", report.summarize(rows)), encoding="utf-8") as f:
            return section(f.read())

    assert shown(Request(**dict(vars(req), tile_accounts=None, thresholds=None, zones=None, zone_field=None,
                                zones_identity=None))) == ""
    text = shown(req)
    assert "no batch tables: the accounts of the batch have not been summed" in text and 'id="accounts"' not in text
    os.makedirs(req.accounts_dir)
    keys = accounts.keys_of(req.thresholds, req.last_year)  # (10, 2000), (10, 2001), (30, 2000), (30, 2001)
    # The tables as sum_accounts writes them, put in place as the batch does.
    lines = ["%s,%s,9.000000,%d.000000,0.%06d,5.000000\n" % (t, y, 8 - k, k * 250000) for k, (t, y) in enumerate(keys)]
    made = {}
    for name, header, prefix in ((facts.BATCH_ACCOUNTS, "", ""), (facts.BATCH_ZONE_ACCOUNTS, "zone,", "</script>&é,")):
        made[name] = os.path.join(req.accounts_dir, name + ".tmp")
        with open(made[name], "w", encoding="utf-8") as f:
            f.write(header + "threshold,year,land_ha,cover_ha,loss_ha,height_mean\n" + "".join(prefix + x for x in lines))
    accounts.publish(req, req.accounts_dir, made=made)
    text = shown(req)
    data = accounts_json(text)
    assert [r["text"]["cover"] for r in data["years"]["30"]] == ["6.00", "5.00"]
    assert data["years"]["10"][1]["text"] == {"land": "9.00", "cover": "7.00", "loss": "0.25", "height": "5.00"}
    assert data["zones"]["30"]["rows"][0]["zone"] == "</script>&é" and data["zones"]["30"]["rows"][0]["loss"] == "1.25"
    assert "<code>%s</code>, by the field <code>n&lt;ame&gt;</code>" % page.esc(str(zones)) in text
    assert '<a href="accounts/batch_zone_accounts.csv">' in text and "warning" not in text
    # The zones file changed since: the tables still shown, with a warning.
    zones.write_text("other zones")
    assert '<p class="warning">The zones file %s has changed since these tables were summed' % page.esc(
        str(zones)) in shown(req)
    # Another batch's accounts in the directory: named, not shown as this one's.
    text = shown(Request(**dict(vars(req), batch_id="next")))
    assert ("no batch tables: %s holds the accounts of another request (batch %s, 1 tile, last year 2001, "
            "thresholds 10,30, zones %s)" % (page.esc(req.accounts_dir), req.batch_id, page.esc(str(zones)))) in text
    assert accounts_json(text) is None


# ---- forest by definition ------------------------------------------------------
FOREST_YEARS = (2000, 2001, 2002)


def forest_rows(zone=None, forest=lambda y: "%.6f" % (50 - (y - 2000)), loss=lambda y: "%.6f" % ((y - 2000) / 4)):
    return [dict({"year": str(y), "forest_ha": forest(y), "forest_loss_ha": loss(y)},
                 **({} if zone is None else {"zone": zone})) for y in FOREST_YEARS]


def forest_view(definition="10:5:0.5", connectivity=8, zones=(), **changes):
    view = view_of(zones=zones, years=FOREST_YEARS, forest={"definition": definition, "connectivity": connectivity},
                   forest_rows=forest_rows(), zone_forest_rows=[r for z in zones for r in forest_rows(z)] if zones else None,
                   forest_reason=None)
    view.update(changes)
    return view


def forest_part(text):
    found = re.search(r'<h3 id="forest">.*', section(text), re.S)
    return found.group(0) if found else ""


def cells(text, table_id):
    """The rows of the table of TABLE_ID as a user reads them (unescaped)."""
    found = re.search(r'<table id="%s">(.*?)</table>' % table_id, text, re.S)
    return [[html.unescape(c) for c in re.findall(r"<t[hd][^>]*>(.*?)</t[hd]>", row)]
            for row in re.findall(r"<tr>(.*?)</tr>", found.group(1))] if found else None


def test_forest_shown_in_words_with_its_figures_beside_the_cover(tmp_path, monkeypatch):
    text = page_with(tmp_path, monkeypatch, forest_view())
    part = forest_part(text)
    assert ("Forest: land with canopy cover (TCC) at least 10 % and canopy height (TCH, in the products' units) at "
            "least 5, in patches of at least 0.5 ha joined through their 8 neighbours (corners too), each patch "
            "measured whole across the tiles it runs through") in html.unescape(part)
    # The cover at the definition's own threshold beside it (land 100 ha, 10 % off, a hectare a year).
    assert cells(part, "forest-years") == [
        ["year", "forest (ha)", "forest loss (ha)", "tree cover at 10 % (ha)", "loss at 10 % (ha)"],
        ["2000", "50.00", "0.00", "90.00", "0.10"], ["2001", "49.00", "0.25", "89.00", "0.10"],
        ["2002", "48.00", "0.50", "88.00", "0.10"]]
    chart = json.loads(re.search(r'id="forest-data">(.*?)</script>', part, re.S).group(1))
    assert chart["definition"] == "10:5:0.5, 8 neighbours"
    assert [(r["year"], r["forest"], r["loss"]) for r in chart["years"]] == [
        (2000, 50.0, 0.0), (2001, 49.0, 0.25), (2002, 48.0, 0.5)]
    assert '<a href="accounts/batch_forest.csv">batch_forest.csv</a>' in part and "zone_forest" not in part
    # 4 neighbours said as such; a cover no threshold of the batch counts has no column beside it.
    part = html.unescape(forest_part(page_with(tmp_path, monkeypatch, forest_view("12:0:0", 4))))
    assert "at least 12 % and canopy height (TCH, in the products' units) at least 0, in patches of at least 0 ha" in part
    assert "joined through their 4 edge neighbours" in part
    assert cells(part, "forest-years")[0] == ["year", "forest (ha)", "forest loss (ha)"]


def test_forest_zones_largest_loss_first_the_first_fifty_names_as_text(tmp_path, monkeypatch):
    names = ["z%03d" % k for k in range(70)] + HOSTILE_ZONES
    view = forest_view(zones=names)
    # Zone k loses k hundredths a year after 2000; the hostile names lose most.
    view["zone_forest_rows"] = [r for k, z in enumerate(names) for r in forest_rows(
        z, forest=lambda y, k=k: "%d.000000" % (k + 3 - (y - 2000)), loss=lambda y, k=k: "0.%02d0000" % (k if y > 2000 else 0))]
    text = page_with(tmp_path, monkeypatch, view)
    part = forest_part(text)
    rows = cells(part, "forest-zones")
    assert rows[0] == ["zone", "forest 2000 (ha)", "forest 2002 (ha)", "forest loss 2000\u20132002 (ha)"]
    assert [r[0] for r in rows[1:]] == HOSTILE_ZONES[::-1] + ["z%03d" % k for k in range(69, 24, -1)]
    assert rows[1] == [HOSTILE_ZONES[-1], "77.00", "75.00", "1.48"]
    assert "The 50 of 75 zones with the largest forest loss" in part
    assert '<a href="accounts/batch_zone_forest.csv">batch_zone_forest.csv</a>' in part
    # The hostile names are text: no tag of theirs, one script of the forest's own data.
    assert part.count("<script") == 1 and "<script>alert" not in part and "<!--" not in part


@pytest.mark.parametrize("change, said", [
    # What the batch's end would never write, or a table changed by hand.
    ({"forest": {"definition": "010:5:0.5", "connectivity": 8}}, "No forest figures: the forest definition its manifest"),
    ({"forest": {"definition": "10:5:0.5", "connectivity": True}}, "No forest figures: the forest definition"),
    ({"forest_rows": None, "forest_reason": "batch_forest.csv: <gone>"}, "No forest figures: batch_forest.csv: &lt;gone&gt;"),
    ({"forest_rows": forest_rows()[:2]}, "batch_forest.csv does not hold every year of 2000 to 2002"),
    ({"forest_rows": forest_rows()[::-1]}, "row 1 of batch_forest.csv is not a row of the forest table"),
    ({"forest_rows": forest_rows(forest=lambda y: "-1.000000")}, "row 1 of batch_forest.csv is not a row"),
    ({"forest_rows": [dict(r, year="\uff12" + r["year"][1:]) for r in forest_rows()]}, "row 1 of batch_forest.csv"),
    ({"zones": "/z.gpkg", "zone_forest_rows": forest_rows("a") + forest_rows("b")[:2]},
     "batch_zone_forest.csv does not hold every year of 2000 to 2002 for zone b"),
])
def test_forest_not_shown_where_its_manifest_or_tables_do_not_read(tmp_path, monkeypatch, change, said):
    text = page_with(tmp_path, monkeypatch, forest_view(**change))
    part = forest_part(text)
    assert said in part and 'class="missing"' in part
    assert 'id="forest-data"' not in part and "forest-years" not in part and "forest-zones" not in part
    assert accounts_json(text) is not None  # the cover still shown


def test_forest_from_the_tables_the_batch_published(tmp_path):
    """Through accounts.page_view: the forest tables of this batch shown
    beside its cover, a forest table changed or gone since said, not shown,
    and a batch counted with another definition, or none, not taken for
    this one."""
    out = tmp_path / "out"
    out.mkdir()
    zones = tmp_path / "zones.gpkg"
    zones.write_text("the zones")
    req = Request(tiles=[("t", "0", "0")], last_year=2001, input_dir="/in", output_dir=str(out), datamask_dir="/m",
                  wetland_dir="/w", process_tile="/p", logs=str(out / "logs"), tile_accounts="/ta", thresholds="10",
                  zones=str(zones), zone_field="n", zones_identity=tilejob.zones_identity(str(zones)),
                  forest="10:5:0.5", connectivity=8)
    rows = [Row("t", State.DONE)]

    def shown(request):
        with open(page.write(request, rows, "records", report.summarize(rows)), encoding="utf-8") as f:
            return section(f.read())

    os.makedirs(req.accounts_dir)
    tables = {
        facts.BATCH_ACCOUNTS: "threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
                              "10,2000,9.000000,8.000000,0.000000,5.000000\n10,2001,9.000000,7.000000,1.000000,5.000000\n",
        facts.BATCH_ZONE_ACCOUNTS: "zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
                                   "a,10,2000,9.000000,8.000000,0.000000,5.000000\n"
                                   "a,10,2001,9.000000,7.000000,1.000000,5.000000\n",
        facts.BATCH_FOREST: "year,forest_ha,forest_loss_ha\n2000,6.500000,0.000000\n2001,5.250000,0.750000\n",
        facts.BATCH_ZONE_FOREST: 'zone,year,forest_ha,forest_loss_ha\n"</td>,é",2000,6.500000,0.000000\n'
                                 '"</td>,é",2001,5.250000,0.750000\n'}
    made = {}
    for name, body in tables.items():
        made[name] = os.path.join(req.accounts_dir, name + ".tmp")
        with open(made[name], "w", encoding="utf-8", newline="") as f:
            f.write(body)
    accounts.publish(req, req.accounts_dir, made=made)
    text = shown(req)
    assert cells(text, "forest-years")[1:] == [["2000", "6.50", "0.00", "8.00", "0.00"],
                                                ["2001", "5.25", "0.75", "7.00", "1.00"]]
    assert cells(text, "forest-zones")[1:] == [["</td>,é", "6.50", "5.25", "0.75"]]
    assert "patches of at least 0.5 ha" in text and accounts_json(text) is not None
    # Without forest, or with another definition: the sums of another request.
    for other in (dict(forest=None, connectivity=None), dict(connectivity=4), dict(forest="10:5:1")):
        text = shown(Request(**dict(vars(req), **other)))
        assert "holds the accounts of another request" in text and "forest 10:5:0.5 with 8 neighbours" in text
        assert 'id="forest"' not in text and accounts_json(text) is None
    # A forest table changed since the sums, then gone: said, and not shown; the cover still is.
    forest_table = os.path.join(req.accounts_dir, facts.BATCH_FOREST)
    with open(forest_table, "a") as f:
        f.write("2002,1.000000,0.000000\n")
    text = shown(req)
    assert ("No forest figures: the forest tables are not those written with the manifest: batch_forest.csv: it is "
            "not the file its run wrote") in text
    assert "forest-years" not in text and accounts_json(text) is not None
    os.unlink(os.path.realpath(forest_table))
    assert "No forest figures: the forest tables are not those written with the manifest" in shown(req)
