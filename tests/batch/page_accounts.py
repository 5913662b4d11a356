#!/usr/bin/env python3
"""Reads the forest accounts section of the batch page as a browser left it
(its DOM, dumped after the page's script ran) and prints what a user sees:

  page_accounts.py DOM_FILE chart   one line: the chart's threshold, its years and its bars
  page_accounts.py DOM_FILE years   the figures under the chart, a line a year, cells tab-separated
  page_accounts.py DOM_FILE zones   the zone table's note, then a line a zone, cells tab-separated

Exits 1 when the part is not on the page. Standard library only."""
import sys
from html.parser import HTMLParser


class Section(HTMLParser):
    """The chart's attributes and bars, and the cells of the tables of given ids."""

    def __init__(self):
        super().__init__()
        self.svg, self.bars, self.tables, self.note = None, {}, {}, None
        self.table = self.cell = None
        self.in_note = False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "svg" and self.svg is None:
            self.svg = a
        elif tag == "rect" and "acc-bar" in (a.get("class") or "").split():
            kind = [c for c in a["class"].split() if c != "acc-bar"][0]
            self.bars.setdefault(kind, []).append((a.get("data-year"), a.get("data-value")))
        elif tag == "table" and a.get("id") in ("acc-years", "acc-zones"):
            self.table = self.tables.setdefault(a["id"], [])
        elif tag == "tr" and self.table is not None:
            self.table.append([])
        elif tag in ("td", "th") and self.table is not None:
            self.cell = []
        elif tag == "p" and a.get("id") == "acc-zones-note":
            self.in_note, self.note = True, ""

    def handle_endtag(self, tag):
        if tag == "table":
            self.table = None
        elif tag in ("td", "th") and self.cell is not None:
            self.table[-1].append("".join(self.cell))
            self.cell = None
        elif tag == "p":
            self.in_note = False

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)
        elif self.in_note:
            self.note += data


def main(argv):
    with open(argv[0], encoding="utf-8") as f:
        page = Section()
        page.feed(f.read())
    if argv[1] == "chart":
        if page.svg is None:
            return 1
        print("threshold=%s years=%s cover_bars=%d loss_bars=%d" % (
            page.svg.get("data-threshold"), page.svg.get("data-years"), len(page.bars.get("acc-cover", [])),
            len(page.bars.get("acc-loss", []))))
        return 0
    rows = page.tables.get("acc-" + argv[1])
    if rows is None:
        return 1
    if argv[1] == "zones":
        print(page.note)
    for row in rows[1:]:
        print("\t".join(row))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
