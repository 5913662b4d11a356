"""Which tile of a list counts each place on the ground.

A tile is 4004 pixels of 0.00025 degrees, 1.001 degrees a side, so the tiles
of a whole-degree grid share a strip of 4 pixels with each neighbour, and
the corners a square of 4 x 4 with three. Summed tile by tile, those strips
would be counted twice. So each pixel location is counted by one tile: of
the tiles of the list that cover it, the one whose centre is nearest to the
pixel's centre (ties: the tile listed first). That keeps each place with the
tile in whose interior it lies deepest, where the cleaning's neighbourhood
reads did not stop at an edge; on a whole-degree grid it splits each strip
down its middle.

Overlapping tiles must lie on one pixel grid (their origins a whole number
of pixels apart), or no pixel of one is a pixel of the other; two tiles at
one origin are one place listed twice. Both are refused.

The part a tile owns is given to tile_accounts as bands of rows, each with
the one run of columns the tile owns there ("ROWS:COLUMNS,...", each
FIRST-LAST, inclusive): the owned pixels of a row are always one run, as
each neighbour's claim on a row is a half-line of columns. A tile whose part
is the whole tile has none (None): tile_accounts then counts it all.

Distances are taken in pixels of the grid (not on the ground), exactly, in
whole numbers: with every centre and pixel centre at half-pixel positions,
twice every coordinate is whole."""
import bisect
import hashlib
import math
from decimal import Decimal, InvalidOperation
from fractions import Fraction

from .facts import TILE_SIZE

PIXELS_PER_DEGREE = 4000  # 0.00025 degrees a pixel
_WIDTH = Fraction(TILE_SIZE, PIXELS_PER_DEGREE)  # a tile's side in degrees


# More tiles than this overlapping one tile is not a layout anyone runs (a
# grid overlaps each tile with 8, tiles half a tile apart with 24) and would
# make the list's parts cost the square of its length.
MAX_OVERLAPPING = 64


class NotOneGrid(Exception):
    """Tiles of a list that overlap where no part of them can be told apart
    pixel by pixel; args: the two tiles' ids and the reason."""


class Crowded(NotOneGrid):
    """A tile of a list that more than MAX_OVERLAPPING others overlap; args:
    the tile's id."""


def _degrees(text):
    return Fraction(Decimal(text))


def neighbours(tiles, size=TILE_SIZE):
    """{index: [(dx, dy, index of the other)]} of the tiles of TILES, [(tile,
    x, y)], that overlap another: dx the columns the other's origin lies
    east, dy the rows it lies south. Longitudes are taken modulo 360, so a
    tile at 190 is the one at -170. A sweep east over the tiles keeps those
    still within a tile's width, ordered by latitude; a new tile meets only
    those within a width north or south. NotOneGrid for two tiles that
    overlap off each other's pixel grid, or share an origin."""
    width = Fraction(size, PIXELS_PER_DEGREE)
    items = []
    for index, (_, x, y) in enumerate(tiles):
        try:
            east, north = (_degrees(x) + 180) % 360 - 180, _degrees(y)
        except (InvalidOperation, ValueError):
            continue  # no origin a list lets through
        items.append((east, north, index))
        if east > 180 - width:  # across the antimeridian: also where it reaches west of -180
            items.append((east - 360, north, index))
    items.sort()
    found = {}
    kept, first = [], 0  # kept: [(north, east, index)] of the tiles whose longitudes reach the current one's
    for east, north, index in items:
        while items[first][0] <= east - width:
            gone = items[first]
            del kept[bisect.bisect_left(kept, (gone[1], gone[0], gone[2]))]
            first += 1
        low = bisect.bisect_right(kept, (north - width, Fraction(10 ** 6), -1))
        for near_north, near_east, other in kept[low:]:
            if near_north >= north + width:
                break
            if other == index:
                continue
            _pair(tiles, found, index, other, east - near_east, near_north - north)
            for crowded in (index, other):
                if len(found[crowded]) > MAX_OVERLAPPING:
                    raise Crowded(tiles[crowded][0])
        bisect.insort(kept, (north, east, index))
    return {index: sorted(set(pairs), key=lambda p: (p[2], p[0], p[1])) for index, pairs in found.items()}


def _pair(tiles, found, index, other, east_offset, north_offset):
    """Notes that tiles INDEX and OTHER overlap, INDEX's origin EAST_OFFSET
    degrees east and NORTH_OFFSET degrees south of OTHER's, as each sees
    the other."""
    columns, rows = east_offset * PIXELS_PER_DEGREE, north_offset * PIXELS_PER_DEGREE
    names = tuple(tiles[k][0] for k in sorted((index, other)))
    if columns.denominator != 1 or rows.denominator != 1:
        raise NotOneGrid(*names, "they overlap, but their origins are not a whole number of pixels apart, "
                                 "so no pixel of one is a pixel of the other")
    if columns == 0 and rows == 0:
        raise NotOneGrid(*names, "they have the same origin")
    dx, dy = int(columns), int(rows)
    # From INDEX, OTHER's origin lies -dx columns east and -dy rows south.
    found.setdefault(index, []).append((-dx, -dy, other))
    found.setdefault(other, []).append((dx, dy, index))


def _owned_run(row, claims, size):
    """[begin, end) of the columns of ROW the tile keeps against CLAIMS,
    [(dx, dy, listed_before)] of the neighbours whose rows include ROW."""
    begin, end = 0, size
    v = 2 * row + 1 - size  # twice the row's centre's offset south of the tile's centre
    for dx, dy, listed_before in claims:
        # Twice the offsets from the tile's centre: the pixel's (u, v), the
        # neighbour's centre's (2dx, 2dy). The tile is nearer where
        # dx u + dy v < dx^2 + dy^2; a tie goes to the tile listed first.
        limit = dx * dx + dy * dy - dy * v
        if dx == 0:
            keeps = limit > 0 or (limit == 0 and not listed_before)
            if not keeps:
                return 0, 0  # the neighbour covers the whole row and wins it
            continue
        m = abs(dx)
        # Mirrored for a neighbour to the west, so that it lies east: with
        # c' = size - 1 - c, u' = -u, the condition reads m u' < limit.
        # u' = 2c' + 1 - size < limit / m: c' < (limit + m (size - 1)) / 2m.
        top = limit + m * (size - 1)
        if listed_before:
            keep_end = -(-top // (2 * m))  # c' < top / 2m: the least c' that fails
        else:
            keep_end = top // (2 * m) + 1  # c' <= top / 2m
        # The columns the neighbour does not cover are the tile's either.
        keep_end = max(m, min(size, keep_end))
        if dx > 0:
            end = min(end, keep_end)
        else:
            begin = max(begin, size - keep_end)
    return (begin, end) if begin < end else (0, 0)


def _changing_rows(dx, dy, size):
    """[first, end) of the rows in which a neighbour's claim on the tile's
    columns may change from one row to the next, or None: a claim from due
    east or west (dy == 0) is the same in every row; one from due north or
    south (dx == 0) takes whole rows up to the row between the centres; one
    from elsewhere ends at a column that moves with the row along the line
    between the centres, but only between the neighbour's first column and
    the tile's edge does that change anything (a row or two of margin
    around each end)."""
    if dy == 0:
        return None
    if dx == 0:
        middle = (dy + size - 1) // 2
        return middle - 1, middle + 3
    m = abs(dx)
    # top(r) = start - 2 dy r, as _owned_run works it out; the run's end is
    # top / 2m, clamped to [m, size]: it moves only while top is within.
    start = dx * dx + dy * dy - dy * (1 - size) + m * (size - 1)
    low, high = 2 * m * (m - 1), 2 * m * (size + 1)
    if dy > 0:
        first, last = (start - high) // (2 * dy), -((low - start) // (2 * dy))
    else:
        first, last = (low - start) // (-2 * dy), -((start - high) // (-2 * dy))
    return first - 1, last + 2


def part_of(claims, size=TILE_SIZE):
    """The part a tile owns against CLAIMS, [(dx, dy, listed_before)] of the
    tiles that overlap it: bands [(first_row, last_row, first_column,
    last_column)], or None for the whole tile. The rows are cut where a
    neighbour's rows begin or end and around the rows where its claim
    changes; a band without such rows takes one evaluation."""
    cuts = {0, size}
    changing = []
    for dx, dy, _ in claims:
        cuts.update(min(size, max(0, edge)) for edge in (dy, dy + size))
        rows = _changing_rows(dx, dy, size)
        if rows:
            rows = (max(0, rows[0]), min(size, rows[1]))
            cuts.update(rows)
        changing.append(rows)
    cuts = sorted(cuts)
    runs = []  # [(first_row, end_row, begin, end)]
    for top, bottom in zip(cuts, cuts[1:]):
        here = [c for c in claims if c[1] <= top and top < c[1] + size]
        varying = any(rows and rows[0] <= top < rows[1] and c[1] <= top < c[1] + size
                      for c, rows in zip(claims, changing))
        for row in (range(top, bottom) if varying else (top,)):
            begin, end = _owned_run(row, here, size)
            last = row + 1 if varying else bottom
            if runs and runs[-1][1] == row and runs[-1][2:] == (begin, end):
                runs[-1] = (runs[-1][0], last, begin, end)
            else:
                runs.append((row, last, begin, end))
    bands = [(r0, r1 - 1, c0, c1 - 1) for r0, r1, c0, c1 in runs if c0 < c1]
    return None if bands == [(0, size - 1, 0, size - 1)] else bands


def part_text(bands):
    """BANDS as tile_accounts' --part takes them, or None for the whole tile."""
    if bands is None:
        return None
    if not bands:  # a tile owns at least the pixels around its centre
        raise ValueError("a tile that owns no pixel")
    return ",".join("%d-%d:%d-%d" % band for band in bands)


def parts(tiles, size=TILE_SIZE):
    """[the --part text of each tile of TILES, or None for the whole tile],
    in list order. NotOneGrid as neighbours() says."""
    near = neighbours(tiles, size)
    texts = [None] * len(tiles)
    for index, others in near.items():
        texts[index] = part_text(part_of([(dx, dy, other < index) for dx, dy, other in others], size))
    return texts


# ---- where each tile lies on the pixels of the globe ---------------------------
# The end of a batch joins forest patches across the tiles' borders: it must
# know which pixel of one tile touches which pixel of another. A tile is
# placed by its upper-left pixel counted on a grid of 0.00025 degrees from
# 180 west and 90 north; columns wrap after 360 degrees, so a tile west of
# the antimeridian meets the one east of it. Tiles whose origins are not a
# whole number of pixels apart lie on different grids (named by the
# fractions of a pixel their origins lie off the whole-degree grid): their
# pixels do not line up, and the end never joins them.
COLUMNS_AROUND = 360 * PIXELS_PER_DEGREE
# A grid named by fractions of huge denominators (an origin such as 1e-300)
# is named by their digest instead, so that a line of the placement stays
# short.
MAX_GRID_TEXT = 40


def placement(tiles):
    """[(tile, grid, column, row)] of TILES, [(tile, x, y)], in order: the
    tile's upper-left pixel, column = floor((x + 180) * 4000) modulo
    1,440,000 and row = floor((90 - y) * 4000), computed exactly from the
    origins' decimal text, and its grid: "0,0" for the whole-degree grid,
    else the two fractions of a pixel ("1/2,0"). ValueError for an origin
    that is not a decimal number."""
    placed = []
    for tile, x, y in tiles:
        try:
            east = (_degrees(x) + 180) * PIXELS_PER_DEGREE
            south = (90 - _degrees(y)) * PIXELS_PER_DEGREE
        except (InvalidOperation, ValueError):
            raise ValueError("tile %r has an origin that is no decimal number" % (tile,))
        column, row = math.floor(east), math.floor(south)
        placed.append((tile, grid_name(east - column, south - row), column % COLUMNS_AROUND, row))
    return placed


def grid_name(east_fraction, south_fraction):
    """The name of the grid whose pixels lie these fractions of a pixel east
    and south of the whole-degree grid's."""
    text = "%s,%s" % (east_fraction, south_fraction)
    if len(text) <= MAX_GRID_TEXT:
        return text
    return "sha256:" + hashlib.sha256(text.encode("ascii")).hexdigest()


def placement_text(tiles):
    """The placement of TILES as sum_accounts --placement reads it: a line a
    tile, tile TAB grid TAB column TAB row."""
    return "".join("%s\t%s\t%d\t%d\n" % placed for placed in placement(tiles))
