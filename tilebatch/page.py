"""The batch page, OUTPUT_DIR/index.html: one self-contained file (no
network, no server; pictures inside it as data: URIs) that shows the batch
at a glance: the summary, a map of the tiles coloured by their state with
the quality outliers marked, the region pictures, the batch quality and the
slowest tiles. It is written whole under a temporary name and renamed into
place, like every file of the batch.

Everything read from a list, a record or a file is taken as hostile: text is
HTML-escaped, the map's data is JSON inside a <script type="application/json">
with "<", ">" and "&" escaped (a tile id holding "</script>" cannot end it),
and the script builds the tile panel with textContent, never with HTML. The
map is one <canvas> drawn from that data, so a page of 20,000 tiles is still
quick to open."""
import base64
import csv
import html
import io
import json
import math
import os
import sys
import time
import urllib.parse

from . import facts, report
from .tilejob import printable, read_json, read_regular, write_text
from .quality import OUTLIERS_JSON
from .records import State
from .region import FAILED_NOTE

PAGE = "index.html"
REGION_FAILED = "The region build of this batch failed: any picture below is from an earlier build."
# The colour of each state on the map and in its legend, in drawing order:
# failures last, so that a failed tile stays visible among thousands.
STATES = [(State.DONE, "#2e9d4a"), (State.NOT_RUN, "#b0b0b0"), (State.RUNNING, "#1f77b4"),
          (State.UNKNOWN, "#e6a700"), (State.FAILED, "#d62728")]
STATE_TEXT = {State.UNKNOWN: "unknown (handed to Slurm, state unknown)", State.RUNNING: "running or queued"}
TILE_DEGREES = 1.001  # a tile spans this much east and south of its upper-left corner
MAP_WIDTH, MAP_HEIGHT = 960, 540  # CSS pixels, fixed: the lon/lat to pixel transform is kept on the canvas
MESSAGE_CHARS = 400
SLOWEST = 20
TO_RERUN = 100
PICTURE_BYTES = 64 << 20
TABLE_BYTES = 1 << 20


def esc(text):
    """Text for the page: shown escaped where it holds control characters
    or bytes that are not UTF-8, then HTML-escaped."""
    return html.escape(printable(text), quote=True)


def url_path(path):
    """A relative path as a URL path: each byte outside the unreserved set
    percent-encoded, from the bytes of the name on disk."""
    return urllib.parse.quote(path.encode("utf-8", "surrogateescape"), safe="/")


def url_part(name):
    """One name (a tile id) as a single URL path segment, "/" included."""
    return urllib.parse.quote(name.encode("utf-8", "surrogateescape"), safe="")


def relative_url(path, start):
    return url_path(os.path.relpath(path, start))


def script_json(value):
    """JSON to sit inside a <script> element: ASCII only, and "<", ">" and
    "&" as \\u escapes, so that no text inside it can close the element."""
    text = json.dumps(value, ensure_ascii=True, separators=(",", ":"), allow_nan=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def origin(x, y):
    """(lon, lat) of a tile's upper-left corner, or None when either is not a finite number."""
    try:
        lon, lat = float(x), float(y)
    except (TypeError, ValueError):
        return None
    return (lon, lat) if math.isfinite(lon) and math.isfinite(lat) else None


def shortened(text, limit=MESSAGE_CHARS):
    return text if len(text) <= limit else text[:limit] + " [... cut to %d characters]" % limit


def outliers(quality_dir):
    """{tile: notes} of the batch quality's outlier tiles; None when the
    batch has no quality or its file is missing or malformed."""
    if not quality_dir:
        return None
    value = read_json(os.path.join(quality_dir, "batch", OUTLIERS_JSON))
    tiles = value.get("tiles") if value else None
    if not isinstance(tiles, dict):
        return None
    return {t: n if isinstance(n, str) else "" for t, n in tiles.items() if isinstance(t, str)}


def when(path):
    try:
        return time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(os.stat(path).st_mtime))
    except OSError:
        return "?"


def embedded_png(path, alt):
    """An <img> holding the PNG at PATH, or None when it is not there or not a PNG."""
    text = read_regular(path, PICTURE_BYTES)
    if text is None:
        return None
    data = text.encode("utf-8", "surrogateescape")
    if not data.startswith(b"\x89PNG\r\n\x1a\n"):
        return None
    return '<img alt="%s" src="data:image/png;base64,%s">' % (esc(alt), base64.b64encode(data).decode("ascii"))


def map_data(req, rows, flagged):
    """The map's data: the states and their colours, the link prefixes, and
    one short array per tile; and how many tiles have no finite origin."""
    where = {t: origin(x, y) for t, x, y in req.tiles}
    state_index = {name: k for k, (name, _) in enumerate(STATES)}
    tiles, off_map = [], 0
    for row in rows:
        place = where.get(row.tile)
        if place is None:
            off_map += 1
            continue
        wall = None if row.wall_s is None else round(row.wall_s, 3)
        note = flagged.get(row.tile)
        # A link to the tile's quality chart only where there is one (a tile
        # that failed before its quality run has none).
        chart = bool(req.quality_dir) and os.path.isfile(os.path.join(req.quality_dir, row.tile + "_quality.png"))
        tiles.append([printable(row.tile), url_part(row.tile), place[0], place[1], state_index.get(row.state, 1),
                      row.exit, wall, row.host, shortened(row.message),
                      None if note is None else printable(note), 1 if chart else 0])
    # Draw in state order (failures on top), list order within a state.
    tiles.sort(key=lambda t: t[4])
    links = {"logs": relative_url(os.path.join(req.logs, "tiles"), req.output_dir) + "/"}
    if req.quality_dir:
        links["quality"] = relative_url(req.quality_dir, req.output_dir) + "/"
    value = {"states": [[name.value, STATE_TEXT.get(name, name.value), colour] for name, colour in STATES], "span": TILE_DEGREES,
             "links": links, "tiles": tiles}
    return value, off_map


SCRIPT = r"""
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("tiles").textContent);
  var canvas = document.getElementById("map"), info = document.getElementById("info");
  var W = canvas.clientWidth, H = canvas.clientHeight, ratio = window.devicePixelRatio || 1;
  canvas.width = Math.round(W * ratio);
  canvas.height = Math.round(H * ratio);
  var ctx = canvas.getContext("2d"), span = data.span, tiles = data.tiles;
  ctx.scale(ratio, ratio);
  ctx.fillStyle = "#f4f7fb";
  ctx.fillRect(0, 0, W, H);
  if (!tiles.length) { canvas.setAttribute("data-drawn", "0"); return; }
  var west = Infinity, east = -Infinity, south = Infinity, north = -Infinity, i, t;
  for (i = 0; i < tiles.length; i++) {
    t = tiles[i];
    west = Math.min(west, t[2]); east = Math.max(east, t[2] + span);
    south = Math.min(south, t[3] - span); north = Math.max(north, t[3]);
  }
  // Longitude shrunk by the cosine of the middle latitude: tiles look square.
  var shrink = Math.max(0.1, Math.cos((north + south) / 2 * Math.PI / 180)), margin = 12;
  var scale = Math.min((W - 2 * margin) / ((east - west) * shrink), (H - 2 * margin) / (north - south));
  var kx = scale * shrink, ky = scale;
  var ox = (W - (east - west) * kx) / 2 - west * kx, oy = (H - (north - south) * ky) / 2 + north * ky;
  function box(t) {  // the tile's rectangle in CSS pixels, at least one pixel wide and high
    var x = ox + t[2] * kx, y = oy - t[3] * ky;
    return [x, y, Math.max(1, span * kx), Math.max(1, span * ky)];
  }
  for (i = 0; i < tiles.length; i++) {
    t = tiles[i];
    var b = box(t);
    ctx.fillStyle = data.states[t[4]][2];
    ctx.fillRect(b[0], b[1], b[2], b[3]);
  }
  if (span * ky >= 8) {  // tiles large enough to tell apart: a thin light edge each
    ctx.strokeStyle = "rgba(255,255,255,0.8)";
    ctx.lineWidth = 1;
    for (i = 0; i < tiles.length; i++) {
      var e = box(tiles[i]);
      ctx.strokeRect(e[0] + 0.5, e[1] + 0.5, e[2] - 1, e[3] - 1);
    }
  }
  ctx.fillStyle = "#000";
  for (i = 0; i < tiles.length; i++) {
    t = tiles[i];
    if (t[9] === null) continue;
    var c = box(t), r = Math.max(2, Math.min(c[2], c[3]) / 6);
    ctx.beginPath();
    ctx.arc(c[0] + c[2] / 2, c[1] + c[3] / 2, r, 0, 2 * Math.PI);
    ctx.fill();
  }
  // The transform, for tests and tools: x = ox + lon * kx, y = oy - lat * ky (CSS pixels in the canvas).
  canvas.setAttribute("data-ox", ox);
  canvas.setAttribute("data-oy", oy);
  canvas.setAttribute("data-kx", kx);
  canvas.setAttribute("data-ky", ky);
  var rect = canvas.getBoundingClientRect();
  canvas.setAttribute("data-left", rect.left + window.scrollX);
  canvas.setAttribute("data-top", rect.top + window.scrollY);
  canvas.setAttribute("data-drawn", String(tiles.length));
  document.getElementById("extent").textContent = "Longitude " + west.toFixed(3) + " to " + east.toFixed(3) +
    ", latitude " + south.toFixed(3) + " to " + north.toFixed(3) + " (degrees; north up).";

  function at(event) {  // the tile drawn topmost under the pointer
    var r = canvas.getBoundingClientRect(), x = event.clientX - r.left, y = event.clientY - r.top;
    for (var k = tiles.length - 1; k >= 0; k--) {
      var b = box(tiles[k]);
      if (x >= b[0] && x <= b[0] + b[2] && y >= b[1] && y <= b[1] + b[3]) return tiles[k];
    }
    return null;
  }
  function line(label, value) {
    var p = document.createElement("div"), b = document.createElement("b");
    b.textContent = label + ": ";
    p.appendChild(b);
    p.appendChild(document.createTextNode(value));
    info.appendChild(p);
  }
  function link(text, href) {
    var a = document.createElement("a");
    a.textContent = text;
    a.href = href;
    info.appendChild(a);
    info.appendChild(document.createTextNode(" "));
  }
  var pinned = null;
  function show(t) {
    info.textContent = "";
    if (!t) { info.textContent = "Point at a tile for its state and logs; click to keep it here."; return; }
    line("tile", t[0]);
    line("state", data.states[t[4]][1]);
    line("exit", t[5]);
    line("wall time", t[6] === null ? "-" : t[6] + " s");
    line("host", t[7]);
    line("origin", t[2] + ", " + t[3]);
    if (t[8]) line("message", t[8]);
    if (t[9] !== null) line("quality outlier", t[9]);
    var logs = data.links.logs + t[1] + "/";
    link("record", logs + "record.json");
    link("out log", logs + "out");
    link("err log", logs + "err");
    if (data.links.quality && t[10]) link("quality chart", data.links.quality + t[1] + "_quality.png");
  }
  canvas.addEventListener("mousemove", function (e) { if (!pinned) show(at(e)); });
  canvas.addEventListener("mouseleave", function () { if (!pinned) show(null); });
  canvas.addEventListener("click", function (e) { pinned = at(e); show(pinned); });
  show(null);
})();
"""

STYLE = """
body { font: 14px/1.4 sans-serif; margin: 16px; color: #222; }
pre { background: #f4f4f4; padding: 6px; white-space: pre-wrap; overflow-wrap: anywhere; }
#map { width: %dpx; height: %dpx; border: 1px solid #999; display: block; }
.maprow { display: flex; gap: 16px; align-items: flex-start; }
#info { width: 320px; overflow-wrap: anywhere; }
.legend span.swatch { display: inline-block; width: 12px; height: 12px; margin: 0 4px 0 12px; border: 1px solid #666; }
.legend span.dot { display: inline-block; width: 8px; height: 8px; border-radius: 4px; background: #000; margin: 0 4px 0 12px; }
table { border-collapse: collapse; }
td, th { border: 1px solid #ccc; padding: 2px 6px; text-align: left; }
img { max-width: 100%%; display: block; margin: 8px 0; }
.missing { color: #a33; }
""" % (MAP_WIDTH, MAP_HEIGHT)

# Installed before any other script: an error of the page's script is kept
# in the page itself, where a test reading the page (or a user) finds it.
ERRORS = """window.addEventListener("error", function (e) {
  document.documentElement.setAttribute("data-script-errors",
    (document.documentElement.getAttribute("data-script-errors") || "") + (e.message || "error") + "; ");
});"""


def csv_table(path):
    """An HTML table of a CSV file, or None."""
    text = read_regular(path, TABLE_BYTES)
    if text is None:
        return None
    lines = list(csv.reader(io.StringIO(text)))
    if not lines:
        return None
    out = ["<table><tr>" + "".join("<th>%s</th>" % esc(c) for c in lines[0]) + "</tr>"]
    out += ["<tr>" + "".join("<td>%s</td>" % esc(c) for c in line) + "</tr>" for line in lines[1:]]
    return "\n".join(out) + "</table>"


def region_section(req, region_note):
    out = ["<h2>The region</h2>"]
    here = os.path.join(req.output_dir, "region")
    failed = read_regular(os.path.join(here, FAILED_NOTE), 4096)
    if region_note is None and failed is not None:  # kept until a build succeeds, so --report says it too
        region_note = "The last region build failed (%s): any picture below is from an earlier build." % (
            printable(failed.strip()) or "no reason recorded")
    if region_note:
        out.append('<p class="missing">%s</p>' % esc(region_note))
    if not req.region:
        out.append("<p>The region was turned off for this batch (--no-region): no mosaics or pictures were built.</p>")
        return out
    for product in facts.PRODUCTS:
        name = "%s_%d.png" % (product, req.last_year)
        path = os.path.join(here, name)
        img = embedded_png(path, name)
        if img is None:
            out.append('<p class="missing">%s is not there (or not a PNG): the region has not been built, or its '
                       "build failed (it is built at the end of the batch from the tiles whose products are written)."
                       "</p>" % esc(path))
        else:
            out.append("<p>%s, written %s:</p>%s" % (esc(path), when(path), img))
    return out


def quality_section(req, flagged):
    out = ["<h2>The quality of the batch</h2>"]
    if not req.quality_dir:
        out.append("<p>This batch ran without --quality: no quality figures.</p>")
        return out
    here = os.path.join(req.quality_dir, "batch")
    chart = os.path.join(here, "batch_quality.png")
    img = embedded_png(chart, "batch quality chart")
    if img is None:
        out.append('<p class="missing">%s is not there: the batch quality has not been written (it is written at the '
                   "end of the batch from the tiles done), or it failed.</p>" % esc(chart))
    else:
        out.append("<p>%s, written %s:</p>%s" % (esc(chart), when(chart), img))
    totals = os.path.join(here, "batch_quality_totals.csv")
    table = csv_table(totals)
    if table is not None:
        out.append("<p>%s (sums over the tiles, per year):</p>%s" % (esc(totals), table))
    out.append("<h3>Quality outliers</h3><p>Tiles whose share of repaired, interpolated or height-filled "
               "pixel-years is more than 3 times the batch median (a black dot on the map):</p>")
    if flagged is None:
        out.append('<p class="missing">No outlier list could be read: %s is missing or malformed.</p>'
                   % esc(os.path.join(here, OUTLIERS_JSON)))
    elif flagged:
        out.append("<ul>%s</ul>" % "".join("<li>%s: %s</li>" % (esc(t), esc(n)) for t, n in sorted(flagged.items())))
    else:
        out.append("<p>none</p>")
    return out


def tile_table(rows, columns):
    """A table of ROWS; each column's function gives text already escaped for printing."""
    head = "<tr>" + "".join("<th>%s</th>" % c for c, _ in columns) + "</tr>"
    body = ["<tr>" + "".join("<td>%s</td>" % html.escape(f(r)) for _, f in columns) + "</tr>" for r in rows]
    return "<table>%s%s</table>" % (head, "".join(body))


def render(req, rows, source, region_note=None):
    listed = outliers(req.quality_dir)
    flagged = listed or {}
    data, off_map = map_data(req, rows, flagged)
    written = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime())
    title = "Batch %s: %d tiles, last year %d" % (printable(req.batch_id), len(rows), req.last_year)
    out = ['<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">',
           "<title>%s</title>" % html.escape(title), "<style>%s</style>" % STYLE, "<script>%s</script>" % ERRORS,
           "</head><body>", "<h1>%s</h1>" % html.escape(title),
           "<p>Output directory %s; records in %s; written %s.</p>" % (esc(req.output_dir), esc(req.logs), written)]
    # The summary's lines show tile ids already escaped for printing.
    summary = (["figures: " + printable(source)] if source else []) + report.summary(rows).splitlines()
    out.append("<pre>%s</pre>" % html.escape("\n".join(summary)))
    legend = "".join('<span class="swatch" style="background:%s"></span>%s (%d)'
                     % (colour, html.escape(STATE_TEXT.get(name, name.value)), sum(1 for r in rows if r.state == name))
                     for name, colour in STATES)
    if req.quality_dir:
        legend += '<span class="dot"></span>quality outlier (%d)' % sum(1 for r in rows if r.tile in flagged)
    out += ["<h2>The tiles</h2>",
            '<p class="legend">%s</p>' % legend,
            '<div class="maprow"><canvas id="map" width="%d" height="%d"></canvas><div id="info"></div></div>'
            % (MAP_WIDTH, MAP_HEIGHT),
            '<p><span id="extent"></span> Each tile is drawn from its upper-left corner (the longitude and latitude '
            "of its origin), %.3f degrees east and south.</p>" % TILE_DEGREES]
    if off_map:
        out.append('<p class="missing">%d tile(s) have an origin that is not a finite number and are not on the map.'
                   "</p>" % off_map)
    out.append('<script type="application/json" id="tiles">%s</script>' % script_json(data))
    out.append("<script>%s</script>" % SCRIPT)
    out += region_section(req, region_note)
    out += quality_section(req, listed)

    timed = sorted((r for r in rows if r.state.ended and r.wall_s is not None),
                   key=lambda r: -r.wall_s)[:SLOWEST]
    out.append("<h2>The slowest tiles</h2>")
    out.append(tile_table(timed, [("tile", lambda r: printable(r.tile)), ("state", lambda r: r.state.value),
                                  ("wall_s", lambda r: report.seconds(r.wall_s)), ("host", lambda r: r.host)])
               if timed else "<p>No tile timed.</p>")
    rerun = [r for r in rows if r.state not in (State.DONE, State.RUNNING)]
    if rerun:
        out.append("<h2>Tiles not done (%d)</h2>" % len(rerun))
        out.append(tile_table(rerun[:TO_RERUN], [("tile", lambda r: printable(r.tile)), ("state", lambda r: r.state.value),
                                                 ("exit", lambda r: r.exit),
                                                 ("message", lambda r: shortened(r.message))]))
        if len(rerun) > TO_RERUN:
            out.append("<p>... and %d more: every tile is in %s.</p>"
                       % (len(rerun) - TO_RERUN, esc(os.path.join(req.logs, "report.txt"))))
    out.append("<p>Every tile: %s (the report, again with --report).</p></body></html>\n"
               % esc(os.path.join(req.logs, "report.txt")))
    return "\n".join(out)


def write(req, rows, source, region_note=None):
    """Writes OUTPUT_DIR/index.html whole (temporary name, then rename): its path. OSError when it cannot."""
    path = os.path.join(req.output_dir, PAGE)
    write_text(path, render(req, rows, source, region_note))
    return path


def publish(req, rows, source, prog, region_note=None, say=None):
    """The page written and where it is said (on SAY, standard output unless
    given): 0, or 1 with the reason on standard error."""
    path = os.path.join(req.output_dir, PAGE)
    try:
        write(req, rows, source, region_note)
    except OSError as e:
        print("%s: the batch page %s could not be written: %s" % (prog, printable(path), printable(e.strerror or e)),
              file=sys.stderr)
        return 1
    print("%s: the batch page: %s (open it in a browser)" % (prog, printable(path)), file=say or sys.stdout)
    return 0
