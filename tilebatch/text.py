"""Text the batch prints or writes: what is safe to show, safe reads and
atomic writes. The tile job must stay one self-contained file (sbatch runs a
copy of it), so these live in it and the package takes them from there."""
import csv

from .tilejob import TILE_TSV, printable, read_json, read_regular, write_json, write_text

__all__ = ["printable", "read_json", "read_regular", "write_json", "write_text", "plural", "notes", "tile_tsv",
           "write_tile_tsv"]


def plural(n, word):
    return "%d %s%s" % (n, word, "" if n == 1 else "s")


def notes(prog, dry_run):
    """How an entry point says what it does: a dry run's lines are comments,
    so that its output runs as printed."""
    return lambda line: print(("# " if dry_run else "") + prog + ": " + line)


class _Lines:
    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)


def tile_tsv(rows):
    """The text of a tile TSV, a row a line and its words tab-separated, as
    GNU parallel (--colsep '\t') and a Slurm task read it: "tile origin_x
    origin_y", or a tile job's whole command. No word holds a tab or newline
    (a list refuses control characters in ids, a batch such paths), and
    nothing is quoted: parallel takes every character as it is."""
    out = _Lines()
    csv.writer(out, **TILE_TSV).writerows(rows)
    return "".join(out.parts)


def write_tile_tsv(path, tiles):
    write_text(path, tile_tsv(tiles))
