"""The report of a batch: one row per tile, written as a TSV with a header
(for programs) and printed as a table from the quickest tile to the slowest
(for people), with a summary."""
import os
import statistics
import sys
from collections import Counter
from dataclasses import dataclass

from .records import State
from .text import printable, write_text


def seconds(value):
    return "-" if value is None else ("%.3f" % value).rstrip("0").rstrip(".")


# Every column of the report once: its TSV name and how a row gives it
# (exact figures), and for the printed table its heading, width and how the
# TSV value is shown there (width None: not in the table). A new column is a
# line here and, where it needs a new figure, a field of records.Row.
def same(value):
    return value


COLUMNS = [
    ("tile", lambda r: printable(r.tile), "tile", -20, same),
    ("state", lambda r: r.state.value, "state", -8, same),
    ("exit", lambda r: r.exit, "exit", 5, same),
    ("wall_s", lambda r: seconds(r.wall_s), "wall_s", 10, same),
    ("peak_kib", lambda r: "-" if r.peak_kib is None else str(r.peak_kib), "peak_MiB", 10,
     lambda v: "-" if v == "-" else "%.0f" % (int(v) / 1024)),
    ("host", lambda r: r.host, "host", 0, same),
    ("slurm_state", lambda r: r.slurm_state, "slurm_state", 0, same),
    ("job", lambda r: r.job, None, None, same),
    ("message", lambda r: r.message, None, None, same),
]


def table_line(cells, widths):
    """A line of the printed table: a cell right-aligned to its width, or
    left-aligned to a negative one; a cell of width 0 as it is, when it is
    there."""
    text = ""
    for cell, width in zip(cells, widths):
        if width:
            text += "%*s " % (width, cell)
        elif cell:
            text += " " + cell + " "
    return text.rstrip()


@dataclass(frozen=True)
class Summary:
    """The figures of a batch at a glance, computed once from its rows and
    shown as the terminal's summary lines and as the page's table."""
    tiles: int
    counts: dict  # {State: tiles in it}, every state present
    timed: int  # tiles whose job ended with a wall time
    wall_total_s: float  # None when no tile is timed
    wall_median_s: float
    slowest: list  # [(tile, wall_s)], the slowest first, at most 5
    largest: tuple  # (tile, peak_kib) of the largest memory measured, or None


def summarize(rows):
    counts = Counter(r.state for r in rows)
    ended = [r for r in rows if r.state.ended]
    timed = sorted((r.wall_s, r.tile) for r in ended if r.wall_s is not None)
    times = [t for t, _ in timed]
    measured = [(r.peak_kib, r.tile) for r in ended if r.peak_kib]
    largest = max(measured) if measured else None
    return Summary(tiles=len(rows), counts={s: counts[s] for s in State}, timed=len(timed),
                   wall_total_s=sum(times) if times else None,
                   wall_median_s=statistics.median(times) if times else None,
                   slowest=[(tile, t) for t, tile in reversed(timed[-5:])],
                   largest=(largest[1], largest[0]) if largest else None)


def summary_text(s):
    """The summary's lines, as the terminal shows them."""
    n = s.counts
    text = "summary: %d tiles: %d done, %d failed, %d not run" % (
        s.tiles, n[State.DONE], n[State.FAILED], n[State.NOT_RUN])
    if n[State.RUNNING]:
        text += ", %d running or queued" % n[State.RUNNING]
    if n[State.UNKNOWN]:
        text += ", %d handed to Slurm, state unknown" % n[State.UNKNOWN]
    lines = [text]
    if s.timed:
        # Tiles run side by side: their times summed are no time anyone waited.
        lines.append("summary: tiles' wall time %.1f s summed, median %.1f s a tile (%d timed)"
                     % (s.wall_total_s, s.wall_median_s, s.timed))
        lines.append("summary: slowest: " + " ".join("%s (%s s)" % (printable(tile), seconds(t))
                                                      for tile, t in s.slowest))
    else:
        lines.append("summary: no tile timed")
    if s.largest:
        lines.append("summary: largest memory: %s, %.0f MiB" % (printable(s.largest[0]), s.largest[1] / 1024))
    else:
        lines.append("summary: no peak memory measured")
    return "\n".join(lines) + "\n"


def summary(rows):
    return summary_text(summarize(rows))


def full(rows, source, summary=None):
    """The TSV, and the printed report: the table, made from the TSV's
    cells, and the summary. Quickest tile first; tiles without a time first
    of all, in list order."""
    ordered = sorted(rows, key=lambda r: -1.0 if r.wall_s is None else r.wall_s)
    cells = [[c[1](r).replace("\t", " ") for c in COLUMNS] for r in ordered]
    tsv = "".join("\t".join(line) + "\n" for line in [[c[0] for c in COLUMNS]] + cells)
    # The table: the columns up to the host, then Slurm's state where Slurm was asked.
    shown = [k for k, c in enumerate(COLUMNS) if c[3] is not None]
    if not any(line[k] for line in cells for k in shown if COLUMNS[k][0] == "slurm_state"):
        shown = [k for k in shown if COLUMNS[k][0] != "slurm_state"]
    widths = [COLUMNS[k][3] for k in shown]
    printed = ["figures: " + printable(source)] if source else []
    printed.append(table_line([COLUMNS[k][2] for k in shown], widths))
    printed.extend(table_line([COLUMNS[k][4](line[k]) for k in shown], widths) for line in cells)
    return tsv, "\n".join(printed) + "\n" + summary_text(summary or summarize(rows))


def write(logs, rows, source, summary=None):
    """LOGS/report.tsv and LOGS/report.txt, each renamed into place whole."""
    tsv_text, printed = full(rows, source, summary)
    write_text(os.path.join(logs, "report.tsv"), tsv_text)
    write_text(os.path.join(logs, "report.txt"), printed)
    return printed


def publish(logs, rows, source, summary, prog):
    """The report written, and its summary printed with where it is."""
    write(logs, rows, source, summary)
    sys.stdout.write(summary_text(summary))
    print("%s: per-tile times, memory and hosts in %s (again with --report)"
          % (prog, printable(os.path.join(logs, "report.txt"))))
