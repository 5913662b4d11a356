#!/usr/bin/env python3
"""Checks the colours of tiles on the batch page's map in a browser's
screenshot. The page's script keeps its lon/lat to pixel transform on the
canvas (data-ox, data-oy, data-kx, data-ky, in CSS pixels within the
canvas, and data-left, data-top, the canvas on the page): the DOM as the
browser dumped it gives those, the screenshot the pixels.

  page_pixels.py DOM_FILE SCREENSHOT_PNG LON,LAT,#RRGGBB...

Each LON,LAT is a tile's origin (upper-left corner); its colour is read a
third of the way into the tile. Prints one line a tile; exits 0 when every
colour is as expected, 1 otherwise. Standard library only."""
import re
import struct
import sys
import zlib


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)


def read_png(path):
    """(width, height, channels, rows of bytes) of an 8-bit RGB or RGBA PNG."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("%s is not a PNG" % path)
    pos, idat, header = 8, [], None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        raise ValueError("%s: only 8-bit RGB or RGBA without interlace is read here" % path)
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(b"".join(idat))
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for x in range(stride):
            left = line[x - channels] if x >= channels else 0
            up = previous[x]
            upper_left = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 255
            elif kind == 4:
                line[x] = (line[x] + paeth(left, up, upper_left)) & 255
            elif kind != 0:
                raise ValueError("%s: filter type %d" % (path, kind))
        rows.append(line)
        previous = line
    return width, height, channels, rows


def canvas_transform(dom):
    """The map canvas's data- attributes as numbers."""
    tag = re.search(r"<canvas\b[^>]*\bid=\"map\"[^>]*>", dom)
    if not tag:
        raise ValueError("no map canvas in the page")
    values = dict(re.findall(r'\bdata-([a-z]+)="([^"]*)"', tag.group(0)))
    try:
        return {k: float(values[k]) for k in ("ox", "oy", "kx", "ky", "left", "top")}
    except KeyError as e:
        raise ValueError("the canvas lacks data-%s: the page's script did not draw the map" % e.args[0])


def main(argv):
    with open(argv[0], encoding="utf-8", errors="replace") as f:
        t = canvas_transform(f.read())
    width, height, channels, rows = read_png(argv[1])
    wrong = 0
    for item in argv[2:]:
        lon, lat, expected = item.split(",")
        # A third of the way into the tile from its upper-left corner: clear of
        # the edges and of the outlier dot at its centre.
        x = int(t["left"] + t["ox"] + (float(lon) + 0.33) * t["kx"])
        y = int(t["top"] + t["oy"] - (float(lat) - 0.33) * t["ky"])
        if not (0 <= x < width and 0 <= y < height):
            print("tile at %s,%s: pixel %d,%d is outside the %dx%d screenshot" % (lon, lat, x, y, width, height))
            wrong += 1
            continue
        got = "#%02x%02x%02x" % tuple(rows[y][x * channels:x * channels + 3])
        close = all(abs(int(got[k:k + 2], 16) - int(expected[k:k + 2], 16)) <= 3 for k in (1, 3, 5))
        print("tile at %s,%s: pixel %d,%d is %s, expected %s%s" % (lon, lat, x, y, got, expected,
                                                                   "" if close else ": WRONG"))
        wrong += not close
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
