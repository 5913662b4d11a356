"""The tile list: one "tile_id origin_x origin_y" per line; blank lines and
text after # are ignored. Every field is checked whole: a typo such as 1O
(letter O) for 10 must stop the batch, not place a tile's products at 1."""
import math
import re
import unicodedata

from .tilejob import check_tile_id, printable, read_regular

# A decimal number as C's atof reads it, and nothing else around it: ASCII
# digits only (atof reads another script's digits, or fullwidth ones, as 0).
NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?", re.ASCII)
ORIGIN_RANGES = (("origin_x", -180.0, 360.0), ("origin_y", -90.0, 90.0))
MAX_LIST_BYTES = 256 << 20
# What some editors put at the start of a file saved as UTF-8: no part of the
# first tile's id.
BYTE_ORDER_MARK = "\ufeff"


class ListError(Exception):
    pass


class Listed:
    """The tiles met so far. Two ids that differ only in how an accent is
    encoded (NFC's "é" as one code point, NFD's "e" and a combining accent)
    print alike and look alike in every file listing, yet would name two
    tiles' files: the second is refused as the first listed again."""

    def __init__(self):
        self.first = {}  # {NFC form: (line number, the id as listed)}

    def again(self, tile, number):
        """Why TILE on line NUMBER cannot be listed, or None (it is kept)."""
        key = unicodedata.normalize("NFC", tile)
        if key not in self.first:
            self.first[key] = (number, tile)
            return None
        line, spelt = self.first[key]
        same = "" if spelt == tile else " (the same under Unicode normalisation as line %d)" % line
        return "tile %s listed twice%s" % (printable(tile), same)


def origin_problem(tile, x, y):
    """None when both origins are plain decimal numbers in range, else why not."""
    for text_value, (what, low, high) in zip((x, y), ORIGIN_RANGES):
        value = float(text_value) if NUMBER.fullmatch(text_value) else math.nan
        if not math.isfinite(value):  # not a whole decimal number, or too large for one
            return "%s %s of tile %s is not a number" % (what, printable(text_value), printable(tile))
        if not low <= value <= high:
            return "%s %s of tile %s is outside %g to %g" % (what, text_value, printable(tile), low, high)
    return None


def tiles_problem(tiles):
    """None when TILES, [(tile, x, y)] of strings, could have come from a
    list (as a batch's saved request must have), else the first reason why
    not."""
    listed = Listed()
    for number, (tile, x, y) in enumerate(tiles, 1):
        why = check_tile_id(tile) or origin_problem(tile, x, y) or listed.again(tile, number)
        if why:
            return why
    return None


def parse_tiles(text, name="tile list"):
    """[(tile, x, y)] from the list's TEXT; ListError naming every bad line."""
    tiles, listed, errors = [], Listed(), []
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
        why = check_tile_id(tile) or origin_problem(tile, x, y) or listed.again(tile, number)
        if why:
            errors.append(where + why)
            continue
        tiles.append((tile, x, y))
    if errors:
        raise ListError("\n".join(errors[:20] + (["... %d more" % (len(errors) - 20)] if len(errors) > 20 else [])))
    return tiles


def list_text(path, what):
    """The text of the list file PATH (a regular file: a FIFO or a terminal
    under its name would block the batch), without a byte order mark."""
    text = read_regular(path, MAX_LIST_BYTES, follow=True)
    if text is None:
        raise ListError("%s %s not found (or not a regular file)" % (what, printable(path)))
    return text[len(BYTE_ORDER_MARK):] if text.startswith(BYTE_ORDER_MARK) else text


def read_tiles(path):
    """The tiles of the list file PATH."""
    tiles = parse_tiles(list_text(path, "tile list"), path)
    if not tiles:
        raise ListError("no tiles in %s" % printable(path))
    return tiles


def read_ids(path):
    """The tile ids of a file of tiles, the first word of each line."""
    ids, listed = [], Listed()
    for number, line in enumerate(list_text(path, "tile file").split("\n"), 1):
        fields = line.split("#", 1)[0].split()
        if fields:
            why = check_tile_id(fields[0]) or listed.again(fields[0], number)
            if why:
                raise ListError("%s:%d: %s" % (printable(path), number, why))
            ids.append(fields[0])
    if not ids:
        raise ListError("no tiles in %s" % printable(path))
    return ids
