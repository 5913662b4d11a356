"""The quality of a batch: the tiles' quality tables joined, their sums per
year and the chart of those, and the tiles whose share of repaired,
interpolated or height-filled pixel-years is more than three times the batch
median. Tables are read by column name. Written into QUALITY_DIR/batch/, apart
from any tile's files, under a lock and renamed into place."""
import argparse
import csv
import io
import os
import statistics
import subprocess
import sys
from collections import Counter

from . import facts
from .records import lock
from .tilejob import printable, read_regular, write_json, write_text

CHART = os.path.join(facts.PROJECT_ROOT, "scripts", "quality_chart.sh")
SHARES = ("repaired", "interpolated", "height_filled")
OUTLIERS_JSON = facts.BATCH_QUALITY_OUTLIERS_JSON


def read_table(path):
    """(columns, rows of ints) of a tile's quality table, or None."""
    text = read_regular(path, 16 << 20, follow=True)
    if text is None:
        return None
    reader = csv.DictReader(io.StringIO(text))
    columns = reader.fieldnames or []
    if not {"year", "filtered"}.union(SHARES) <= set(columns):
        return None
    try:
        return columns, [{k: int(v) for k, v in row.items()} for row in reader]
    except (TypeError, ValueError):
        return None


def flagged(shares):
    """{tile: its notes} of the outliers among {tile: (repaired, interpolated,
    height_filled) shares}, and the batch's lower medians of the three."""
    medians = [statistics.median_low(s[k] for s in shares.values()) for k in range(3)]
    found = {}
    for tile, share in shares.items():
        notes = ["%s %.3f%%" % (name, 100 * s) for name, s, m in zip(SHARES, share, medians) if s > 3 * m]
        if notes:
            found[tile] = " ".join(notes)
    return found, medians


def outliers(shares):
    """The outlier list's text from {tile: (repaired, interpolated, height_filled) shares}."""
    found, medians = flagged(shares)
    lines = ["tiles with a share of pixel-years more than 3 times the batch median (%s):"
             % ", ".join("%s %.3f%%" % (name, 100 * m) for name, m in zip(SHARES, medians))]
    lines += ["  %s: %s" % (printable(tile), notes) for tile, notes in found.items()]
    return "\n".join(lines + (["  none"] if len(lines) == 1 else [])) + "\n"


def build(quality_dir, tiles):
    columns, joined, totals, shares, missing = None, io.StringIO(), {}, {}, []
    writer = csv.writer(joined, lineterminator="\n")
    for tile in tiles:
        table = read_table(os.path.join(quality_dir, facts.quality_table_name(tile)))
        # The same columns in any order: each table is read by name, and the
        # joined table keeps the first table's order.
        if table is None or (columns and sorted(table[0]) != sorted(columns)):
            missing.append(tile)
            continue
        columns, rows = columns or table[0], table[1]
        if not joined.tell():
            writer.writerow(["tile_id"] + columns)
        for row in rows:
            writer.writerow([tile] + [row[c] for c in columns])
            totals.setdefault(row["year"], Counter()).update(row)  # its own year summed too, and not written
        filtered = sum(r["filtered"] for r in rows)
        shares[tile] = tuple(sum(r[k] for r in rows) / filtered if filtered else 0.0 for k in SHARES)
    if not shares:
        print("no quality table of any tile in %s" % printable(quality_dir), file=sys.stderr)
        return 1
    here = os.path.join(quality_dir, facts.BATCH_QUALITY_DIR)
    os.makedirs(here, exist_ok=True)
    held = lock(here, ".lock", wait=True)
    chart = os.path.join(here, ".tmp-%d-%s" % (os.getpid(), facts.BATCH_QUALITY_CHART))
    try:
        sums = io.StringIO()
        lines = [[year if c == "year" else total[c] for c in columns] for year, total in sorted(totals.items())]
        csv.writer(sums, lineterminator="\n").writerows([columns] + lines)
        write_text(os.path.join(here, facts.BATCH_QUALITY_TOTALS), sums.getvalue())
        done = subprocess.run([CHART, os.path.join(here, facts.BATCH_QUALITY_TOTALS), chart,
                               "batch of %d tiles: what the cleaning did (sums over the tiles)" % len(shares)])
        if done.returncode != 0:
            print("the batch quality chart could not be drawn", file=sys.stderr)
            return 1
        os.replace(chart, os.path.join(here, facts.BATCH_QUALITY_CHART))
        write_text(os.path.join(here, facts.BATCH_QUALITY_TABLE), joined.getvalue())
        text = outliers(shares)
        write_text(os.path.join(here, facts.BATCH_QUALITY_OUTLIERS), text)
        # The same list for programs (the batch page marks these tiles on its map).
        found, medians = flagged(shares)
        write_json(os.path.join(here, OUTLIERS_JSON), {"medians": dict(zip(SHARES, medians)), "tiles": found})
    finally:
        if os.path.lexists(chart):
            os.unlink(chart)
        os.close(held)
    sys.stdout.write(text)
    print("batch quality: %s, %s" % (printable(os.path.join(here, facts.BATCH_QUALITY_TABLE)),
                                     printable(os.path.join(here, facts.BATCH_QUALITY_CHART))))
    if missing:
        print("no quality table for %d tile(s): %s" % (len(missing), " ".join(printable(t) for t in missing)),
              file=sys.stderr)
        return 1
    return 0


def main(argv):
    p = argparse.ArgumentParser(prog="batch_quality.sh", description="The quality of a batch from its tiles' quality "
                                "tables, into QUALITY_DIR/batch/. A tile named more than once is refused as a usage "
                                "error (exit status 2): its table would be counted as often. See docs/batch.md.")
    p.add_argument("QUALITY_DIR", help="where tile_quality wrote each tile's TILE_ID_quality.csv")
    p.add_argument("TILE_ID", nargs="+", help="the tiles whose quality tables are joined, one or more, each once")
    a = p.parse_args(argv)
    twice = [t for t, n in Counter(a.TILE_ID).items() if n > 1]
    if twice:
        p.error("tile %s is named more than once" % printable(twice[0]))
    return build(os.path.abspath(a.QUALITY_DIR), a.TILE_ID)
