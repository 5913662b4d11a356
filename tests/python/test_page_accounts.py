"""The batch page's forest accounts: shown only when the batch asked for
them, their reason when the tables are not there, zone names and paths kept
as text, the zones of largest loss first with their sums exact, and links
to the tables that work from the page's directory."""
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
