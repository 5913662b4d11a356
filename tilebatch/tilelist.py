"""The tile list: one "tile_id origin_x origin_y" per line; blank lines and
text after # are ignored. Every field is checked whole: a typo such as 1O
(letter O) for 10 must stop the batch, not place a tile's products at 1."""
import math
import re

from .tilejob import check_tile_id, printable, read_regular

# A decimal number as C's atof reads it, and nothing else around it: ASCII
# digits only (atof reads another script's digits, or fullwidth ones, as 0).
NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?", re.ASCII)
ORIGIN_RANGES = (("origin_x", -180.0, 360.0), ("origin_y", -90.0, 90.0))
MAX_LIST_BYTES = 256 << 20


class ListError(Exception):
    pass


def parse_tiles(text, name="tile list"):
    """[(tile, x, y)] from the list's TEXT; ListError naming every bad line."""
    tiles, seen, errors = [], set(), []
    # Lines end at newlines only, as an editor counts them: a form feed or a
    # line separator inside a comment does not end the comment.
    for number, line in enumerate(text.split("\n"), 1):
        fields = line.split("#", 1)[0].split()
        if not fields:
            continue
        where = "%s:%d: " % (printable(name), number)
        if len(fields) != 3:
            errors.append(where + 'expected "tile_id origin_x origin_y", got %d fields' % len(fields))
            continue
        tile, x, y = fields
        why = check_tile_id(tile)
        for text_value, (what, low, high) in zip((x, y), ORIGIN_RANGES):
            value = float(text_value) if NUMBER.fullmatch(text_value) else math.nan
            if not math.isfinite(value):  # not a whole decimal number, or too large for one
                why = why or "%s %s of tile %s is not a number" % (what, printable(text_value), printable(tile))
            elif not low <= value <= high:
                why = why or "%s %s of tile %s is outside %g to %g" % (what, text_value, printable(tile), low, high)
        if not why and tile in seen:
            why = "tile %s listed twice" % printable(tile)
        if why:
            errors.append(where + why)
            continue
        seen.add(tile)
        tiles.append((tile, x, y))
    if errors:
        raise ListError("\n".join(errors[:20] + (["... %d more" % (len(errors) - 20)] if len(errors) > 20 else [])))
    return tiles


def read_tiles(path):
    """The tiles of the list file PATH (a regular file: a FIFO or a terminal
    under its name would block the batch)."""
    text = read_regular(path, MAX_LIST_BYTES, follow=True)
    if text is None:
        raise ListError("tile list %s not found (or not a regular file)" % printable(path))
    tiles = parse_tiles(text, path)
    if not tiles:
        raise ListError("no tiles in %s" % printable(path))
    return tiles


def read_ids(path):
    """The tile ids of a file of tiles, the first word of each line."""
    text = read_regular(path, MAX_LIST_BYTES, follow=True)
    if text is None:
        raise ListError("tile file %s not found (or not a regular file)" % printable(path))
    ids = []
    for line in text.split("\n"):
        fields = line.split("#", 1)[0].split()
        if fields:
            why = check_tile_id(fields[0])
            if why:
                raise ListError("%s: %s" % (printable(path), why))
            ids.append(fields[0])
    if not ids:
        raise ListError("no tiles in %s" % printable(path))
    return ids
