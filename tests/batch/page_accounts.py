#!/usr/bin/env python3
"""Reads the forest accounts section of the batch page as a browser left it
(its DOM, dumped after the page's script ran) and prints what a user sees:

  page_accounts.py DOM_FILE chart          one line: the cover chart's threshold, its years and its bars
  page_accounts.py DOM_FILE years          the figures under it, a line a year, cells tab-separated
  page_accounts.py DOM_FILE zones          the zone table's note, then a line a zone, cells tab-separated
  page_accounts.py DOM_FILE forest-years   the forest figures a year, cells tab-separated
  page_accounts.py DOM_FILE forest-zones   the forest zone table's note, then a line a zone
  page_accounts.py DOM_FILE forest TABLE   the forest chart's bars read back against TABLE
                                           (batch_forest.csv): a line a bar; exits 1 on any difference
  page_accounts.py DOM_FILE change CHART TABLE COLUMN [THRESHOLD]
                                           the change chart CHART (cover-change, forest-change) read
                                           back against TABLE's COLUMN less its first year's (the rows
                                           of THRESHOLD where given): a line a bar; exits 1 on any difference
  page_accounts.py DOM_FILE forest-pixels SCREENSHOT_PNG
                                           the forest chart's bars in a screenshot of the page taken
                                           with the DOM: each in its colour up to its top, not above

The bars are read as drawn: a bar's figure is its height over the panel's
(data-panel) times the figure at the panel's top (data-axis-KEY), so a bar
drawn at the wrong height fails, whatever its label says. Exits 1 when the
part is not on the page. Standard library only."""
import csv
import os
import sys
from decimal import ROUND_HALF_EVEN, Decimal
from html.parser import HTMLParser

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from page_pixels import read_png  # noqa: E402  (beside this file)

TABLES = ("acc-years", "acc-zones", "forest-years", "forest-zones")
NOTES = ("acc-zones-note", "forest-zones-note")
SVG_BORDER = 1  # the chart's CSS border: its drawing starts one pixel in
# The forest chart's panels: the bars' key, and the table's column they draw.
FOREST_PANELS = (("forest", "forest_ha"), ("loss", "forest_loss_ha"))


class Section(HTMLParser):
    """The charts ({data-chart: (svg attributes, bars)}), the cells of the
    tables and the text of the notes of the section."""

    def __init__(self):
        super().__init__()
        self.charts, self.tables, self.notes = {}, {}, {}
        self.bars = self.table = self.cell = self.note = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "svg":
            self.bars = []
            self.charts.setdefault(a.get("data-chart"), (a, self.bars))
        elif tag == "rect" and self.bars is not None and "acc-bar" in (a.get("class") or "").split():
            a["kind"] = [c for c in a["class"].split() if c != "acc-bar"][0][len("acc-"):]
            self.bars.append(a)
        elif tag == "table" and a.get("id") in TABLES:
            self.table = self.tables.setdefault(a["id"], [])
        elif tag == "tr" and self.table is not None:
            self.table.append([])
        elif tag in ("td", "th") and self.table is not None:
            self.cell = []
        elif tag == "p" and a.get("id") in NOTES:
            self.note = a["id"]
            self.notes[self.note] = ""

    def handle_endtag(self, tag):
        if tag == "svg":
            self.bars = None
        elif tag == "table":
            self.table = None
        elif tag in ("td", "th") and self.cell is not None:
            self.table[-1].append("".join(self.cell))
            self.cell = None
        elif tag == "p":
            self.note = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)
        elif self.note is not None:
            self.notes[self.note] += data


def shown(text):
    """A table's figure as the page shows it: to the hundredth, grouped."""
    return "{:,}".format(Decimal(text).quantize(Decimal("0.01"), rounding=ROUND_HALF_EVEN))


def drawn(svg, bar):
    """The figure a bar stands for, from its height as drawn."""
    return float(bar["height"]) / float(svg["data-panel"]) * float(svg["data-axis-" + bar["kind"]])


def forest_against(chart, table_path):
    """Each forest bar against the row of its year: drawn to its figure (to
    a millionth of the panel's top), labelled with it. The count of faults."""
    svg, bars = chart
    with open(table_path, newline="") as f:
        rows = list(csv.DictReader(f))
    faults = 0
    for kind, column in FOREST_PANELS:
        mine = [b for b in bars if b["kind"] == kind]
        if [b.get("data-year") for b in mine] != [r["year"] for r in rows]:
            print("%s bars of years %s, the table's %s: WRONG" % (
                kind, [b.get("data-year") for b in mine], [r["year"] for r in rows]))
            faults += 1
            continue
        for bar, row in zip(mine, rows):
            value, label = drawn(svg, bar), shown(row[column])
            close = abs(value - float(row[column])) <= 1e-6 * float(svg["data-axis-" + kind]) + 5e-7
            right = close and bar.get("data-value") == label
            print("%s %s: drawn %.6f labelled %s, table %s%s" % (
                row["year"], kind, value, bar.get("data-value"), row[column], "" if right else ": WRONG"))
            faults += not right
    return faults


def figure_at(svg, y):
    """The figure on a change chart's axis at the height Y."""
    top, bottom = float(svg["data-axis-top"]), float(svg["data-axis-bottom"])
    return top - (y - float(svg["data-panel-top"])) / float(svg["data-panel"]) * (top - bottom)


def change_against(chart, table_path, column, threshold=None):
    """Each bar of a change chart against its year's COLUMN less the first
    year's: one end of the bar on the axis's 0, the other at the change (to
    a millionth of the axis's span), up for a gain and down for a loss,
    labelled with it. The count of faults."""
    svg, bars = chart
    with open(table_path, newline="") as f:
        rows = [r for r in csv.DictReader(f) if threshold is None or r["threshold"] == threshold]
    if not rows or [b.get("data-year") for b in bars] != [r["year"] for r in rows]:
        print("change bars of years %s, the table's %s: WRONG" % (
            [b.get("data-year") for b in bars], [r["year"] for r in rows]))
        return 1
    if threshold is not None and svg.get("data-threshold") != threshold:
        print("change chart at threshold %s, not %s: WRONG" % (svg.get("data-threshold"), threshold))
        return 1
    span = float(svg["data-axis-top"]) - float(svg["data-axis-bottom"])
    faults = 0
    for bar, row in zip(bars, rows):
        expected = Decimal(row[column]) - Decimal(rows[0][column])
        ends = sorted((figure_at(svg, float(bar["y"])), figure_at(svg, float(bar["y"]) + float(bar["height"]))),
                      key=abs)
        tolerance = 1e-6 * span + 5e-7
        right = (abs(ends[0]) <= tolerance and abs(ends[1] - float(expected)) <= tolerance
                 and abs(Decimal(bar.get("data-value", "nan")) - expected) <= Decimal("0.000002"))
        print("%s change: drawn %.6f from %.6f, labelled %s, table %s%s" % (
            row["year"], ends[1], ends[0], bar.get("data-value"), expected, "" if right else ": WRONG"))
        faults += not right
    return faults


def colour_at(image, x, y):
    width, height, channels, rows = image
    if not (0 <= x < width and 0 <= y < height):
        return None
    return "#%02x%02x%02x" % tuple(rows[y][x * channels:x * channels + 3])


def near(got, expected):
    return got is not None and all(abs(int(got[k:k + 2], 16) - int(expected[k:k + 2], 16)) <= 3 for k in (1, 3, 5))


def forest_pixels(chart, png_path):
    """Each forest bar in the screenshot: its colour two pixels below its top
    and at its middle (bars of 6 pixels or more), not three pixels above
    its top. The count of faults."""
    svg, bars = chart
    image = read_png(png_path)
    left, top = float(svg["data-left"]) + SVG_BORDER, float(svg["data-top"]) + SVG_BORDER
    faults = 0
    for bar in bars:
        x = int(left + float(bar["x"]) + float(bar["width"]) / 2)
        upper, height = top + float(bar["y"]), float(bar["height"])
        inside = [int(upper + 2), int(upper + height / 2)] if height >= 6 else []
        colours = [colour_at(image, x, y) for y in inside]
        above = colour_at(image, x, int(upper - 3))
        right = all(near(c, bar["fill"]) for c in colours) and above is not None and not near(above, bar["fill"])
        print("%s %s bar at x %d, top %.1f, %.1f high: %s inside, %s above, its colour %s%s" % (
            bar.get("data-year"), bar["kind"], x, upper, height, ",".join(c or "outside" for c in colours) or "-",
            above or "outside", bar["fill"], "" if right else ": WRONG"))
        faults += not right
    return faults


def main(argv):
    with open(argv[0], encoding="utf-8") as f:
        page = Section()
        page.feed(f.read())
    what = argv[1]
    if what == "chart":
        if "cover" not in page.charts:
            return 1
        svg, bars = page.charts["cover"]
        print("threshold=%s years=%s cover_bars=%d loss_bars=%d" % (
            svg.get("data-threshold"), svg.get("data-years"), sum(b["kind"] == "cover" for b in bars),
            sum(b["kind"] == "loss" for b in bars)))
        return 0
    if what in ("forest", "forest-pixels"):
        chart = page.charts.get("forest")
        if chart is None or not chart[1]:
            print("no forest chart drawn")
            return 1
        return 1 if (forest_against if what == "forest" else forest_pixels)(chart, argv[2]) else 0
    if what == "change":
        chart = page.charts.get(argv[2])
        if chart is None or not chart[1]:
            print("no %s chart drawn" % argv[2])
            return 1
        return 1 if change_against(chart, argv[3], argv[4], *argv[5:6]) else 0
    table = what if what.startswith("forest-") else "acc-" + what
    rows = page.tables.get(table)
    if rows is None:
        return 1
    if table.endswith("zones"):
        print(page.notes.get(table + "-note"))
    for row in rows[1:]:
        print("\t".join(row))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
