"""The batch page, OUTPUT_DIR/index.html: one self-contained file (no
network, no server; pictures inside it as data: URIs) that shows the batch
at a glance: the summary, a map of the tiles coloured by their state with
the quality outliers marked, the region pictures, the batch quality and the
slowest tiles. It is made from package data beside this module: page.html,
a string.Template of the page, with page.css and page.js inlined into it as
they stand. It is written whole under a temporary name and renamed into
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
import string
import sys
import time
import urllib.parse
from decimal import ROUND_HALF_EVEN, Decimal, InvalidOperation

from . import accounts, facts, pictures, records
from .records import State
from .region import FAILED_NOTE, read_record, tiles_digest
from .tilejob import printable, read_json, read_regular, write_text

PAGE = "index.html"
HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATE, STYLE, SCRIPT = (os.path.join(HERE, name) for name in ("page.html", "page.css", "page.js"))
# The colour of each state on the map and in its legend, in drawing order:
# failures last, so that a failed tile stays visible among thousands.
STATES = [(State.DONE, "#2e9d4a"), (State.NOT_RUN, "#b0b0b0"), (State.RUNNING, "#1f77b4"),
          (State.UNKNOWN, "#e6a700"), (State.FAILED, "#d62728")]
STATE_TEXT = {State.UNKNOWN: "unknown (handed to Slurm, state unknown)", State.RUNNING: "running or queued"}
PRODUCT_TEXT = {"TCC": "filtered tree canopy cover (percent)", "TCH": "filtered canopy height",
                "Loss": "thinned forest loss"}
TILE_DEGREES = 1.001  # a tile spans this much east and south of its upper-left corner
MESSAGE_CHARS = 400
SLOWEST = 20
TO_RERUN = 100
PICTURE_BYTES = 64 << 20
TABLE_BYTES = 1 << 20
NOTE_BYTES = 4096


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


def state_text(state):
    return STATE_TEXT.get(state, state.value)


def seconds(value):
    """A time for people: seconds, and minutes or hours beside a long one."""
    text = ("%.3f" % value).rstrip("0").rstrip(".") if value < 100 else "%.0f" % value
    if value >= 3600:
        return "%s s (%.1f h)" % (text, value / 3600)
    return "%s s (%.1f min)" % (text, value / 60) if value >= 120 else text + " s"


def outliers(quality_dir):
    """{tile: notes} of the batch quality's outlier tiles; None when the
    batch has no quality or its file is missing or malformed."""
    if not quality_dir:
        return None
    value = read_json(os.path.join(quality_dir, facts.BATCH_QUALITY_DIR, facts.BATCH_QUALITY_OUTLIERS_JSON))
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
    """An <img> holding the PNG at PATH, or None when it is not there or not
    a whole PNG (a writer that stopped midway leaves a part)."""
    text = read_regular(path, PICTURE_BYTES)
    if text is None:
        return None
    data = text.encode("utf-8", "surrogateescape")
    if not pictures.is_whole_png(data[:8], data[-12:]):
        return None
    return '<img alt="%s" src="data:image/png;base64,%s">' % (esc(alt), base64.b64encode(data).decode("ascii"))


def map_data(req, rows, flagged):
    """The map's data: the states and their colours, the link prefixes and
    one object per tile; and how many tiles have no finite origin."""
    where = {t: origin(x, y) for t, x, y in req.tiles}
    order = {state: k for k, (state, _) in enumerate(STATES)}
    # A link to the tile's quality chart only where there is one (a tile
    # that failed before its quality run has none); the names read once.
    charts = records.file_names(req.quality_dir) if req.quality_dir else set()
    tiles, off_map = [], 0
    for row in rows:
        place = where.get(row.tile)
        if place is None:
            off_map += 1
            continue
        chart = facts.quality_chart_name(row.tile)
        note = flagged.get(row.tile)
        tiles.append({
            "id": printable(row.tile),  # as the report prints it
            "link": url_part(row.tile),  # the id as one URL path segment, from its bytes
            "lon": place[0], "lat": place[1],  # the upper-left corner
            "state": row.state.value,
            "exit": row.exit,
            "wall_s": None if row.wall_s is None else round(row.wall_s, 3),
            "host": row.host,
            "message": shortened(row.message),
            "outlier": None if note is None else printable(note),
            "chart": url_part(chart) if chart in charts else None,
        })
    # Drawn in state order (failures on top), list order within a state.
    tiles.sort(key=lambda t: order[State(t["state"])])
    links = {"logs": relative_url(os.path.join(req.logs, "tiles"), req.output_dir) + "/"}
    if req.quality_dir:
        links["quality"] = relative_url(req.quality_dir, req.output_dir) + "/"
    value = {"states": [{"state": s.value, "label": state_text(s), "colour": c} for s, c in STATES],
             "span": TILE_DEGREES, "links": links, "tiles": tiles}
    return value, off_map


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
    return '<div class="wide">%s</table></div>' % "\n".join(out)


def swatch(colour):
    return '<span class="swatch" style="background:%s"></span>' % colour


def summary_table(summary, source):
    """The batch's figures as a table of two columns: what, and how much."""
    colours = dict(STATES)
    lines = [("tiles", "%d" % summary.tiles)]
    lines += [(swatch(colours[s]) + html.escape(state_text(s)), "%d" % summary.counts[s])
              for s in State if summary.counts[s] or s in (State.DONE, State.FAILED, State.NOT_RUN)]
    if summary.timed:
        lines.append(("tiles' wall time", "%s summed over the tiles, median %s a tile (%d tiles timed)" % (
            seconds(summary.wall_total_s), seconds(summary.wall_median_s), summary.timed)))
        lines.append(("slowest", ", ".join("%s: %s" % (esc(t), seconds(w)) for t, w in summary.slowest)))
    else:
        lines.append(("tiles' wall time", "no tile timed"))
    if summary.largest:
        lines.append(("largest memory", "%s: %.0f MiB" % (esc(summary.largest[0]), summary.largest[1] / 1024)))
    else:
        lines.append(("largest memory", "none measured"))
    if source:
        lines.append(("figures from", esc(source)))
    return '<table class="summary">\n%s\n</table>' % "\n".join(
        "<tr><th>%s</th><td>%s</td></tr>" % line for line in lines)


def drawn_from(record):
    """What a region build's record says its pictures were drawn from."""
    by = "batch <code>%s</code>" % esc(record["batch"]) if record.get("batch") else "region.sh (no batch)"
    return "pictures of %d tile%s, last year %d, built %s by %s" % (
        record["tiles"], "" if record["tiles"] == 1 else "s", record["last_year"], esc(record["built"]), by)


def region_section(req, rows):
    out = []
    here = os.path.join(req.output_dir, "region")
    record = read_record(here)
    pictures_there = any(os.path.lexists(os.path.join(here, "%s_%d.png" % (p, req.last_year))) for p in facts.PRODUCTS)
    if not req.region:
        out.append("<p>The region was turned off for this batch (--no-region): no mosaics or pictures were built.</p>")
        if record is not None or pictures_there:
            out.append('<p class="warning">%s holds the region of an earlier build (%s), not of this batch: it is '
                       "not shown here.</p>" % (esc(here), drawn_from(record) if record else "what it was drawn "
                                                "from is not recorded"))
        return out
    # The tiles this batch's region is built of (as finish.build_region
    # takes them): the pictures are this batch's only when drawn from
    # these, for its last year.
    ours = [r.tile for r in rows if r.products]
    if record is None:
        if pictures_there:
            out.append('<p class="warning">What the pictures below were drawn from is not recorded (they were built '
                       "by an earlier version, or their record cannot be read): they may not be of this batch's "
                       "tiles.</p>")
    elif record["last_year"] != req.last_year or record["tiles_sha256"] != tiles_digest(ours):
        out.append('<p class="warning">The region\'s %s: not of this batch\'s %d tile%s with products, last year %d%s.'
                   "</p>" % (drawn_from(record), len(ours), "" if len(ours) == 1 else "s", req.last_year,
                             " (no region was built: no tile of this batch has its products written)" if not ours
                             else ""))
    else:
        out.append("<p>The region: %s.</p>" % drawn_from(record))
    # region.build leaves this note when a build fails and removes it when
    # one succeeds: until then, the pictures here are an earlier build's.
    failed = read_regular(os.path.join(here, FAILED_NOTE), NOTE_BYTES)
    if failed is not None:
        out.append('<p class="warning">The last region build failed (%s): any picture below is from an earlier '
                   "build.</p>" % (html.escape(failed.strip()) or "no reason recorded"))  # the note is written escaped
    out.append('<p class="about">Each picture is the whole region in plain longitude and latitude (a degree east '
               "as long as a degree north), like the map above.</p>")
    for product in facts.PRODUCTS:
        name = "%s_%d.png" % (product, req.last_year)
        path = os.path.join(here, name)
        img = embedded_png(path, name)
        if img is None:
            out.append('<p class="missing">%s is not there (or not a PNG): the region has not been built, or its '
                       "build failed (it is built at the end of the batch from the tiles whose products are written)."
                       "</p>" % esc(path))
        else:
            out.append("<h3>%s %d: %s</h3><p>%s, written %s:</p>%s"
                       % (product, req.last_year, PRODUCT_TEXT.get(product, ""), esc(path), when(path), img))
    return out


def quality_section(req, flagged):
    out = []
    if not req.quality_dir:
        out.append("<p>This batch ran without --quality: no quality figures.</p>")
        return out
    here = os.path.join(req.quality_dir, facts.BATCH_QUALITY_DIR)
    chart = os.path.join(here, facts.BATCH_QUALITY_CHART)
    img = embedded_png(chart, "batch quality chart")
    if img is None:
        out.append('<p class="missing">%s is not there: the batch quality has not been written (it is written at the '
                   "end of the batch from the tiles done), or it failed.</p>" % esc(chart))
    else:
        out.append("<p>%s, written %s:</p>%s" % (esc(chart), when(chart), img))
    totals = os.path.join(here, facts.BATCH_QUALITY_TOTALS)
    table = csv_table(totals)
    if table is not None:
        out.append("<p>%s (sums over the tiles, per year):</p>%s" % (esc(totals), table))
    out.append("<h3>Quality outliers</h3><p>Tiles whose share of repaired, interpolated or height-filled "
               "pixel-years is more than 3 times the batch median (a black dot on the map):</p>")
    if flagged is None:
        out.append('<p class="missing">No outlier list could be read: %s is missing or malformed.</p>'
                   % esc(os.path.join(here, facts.BATCH_QUALITY_OUTLIERS_JSON)))
    elif flagged:
        out.append("<ul>%s</ul>" % "".join("<li>%s: %s</li>" % (esc(t), esc(n)) for t, n in sorted(flagged.items())))
    else:
        out.append("<p>none</p>")
    return out


# The forest accounts: the batch's sums per threshold and year, and per zone.
FIRST_THRESHOLD = 30  # the canopy cover most forest definitions start from, picked first where asked for
ZONES_SHOWN = 50  # the zones of largest loss listed; the CSV file holds them all
FIGURES = ("land_ha", "cover_ha", "loss_ha")
HUNDREDTH = Decimal("0.01")


def accounts_view(req):
    """What the page shows of REQ's accounts, from accounts.page_view: None
    when the batch asked for none; else {"written": whether the batch tables
    are there as summed for this very request, "reason": why not, "warning":
    what to know of them or None, "thresholds", "zones", "zone_field",
    "zone_layer": what the request asked, "batch_rows", "zone_rows": the
    tables' rows, {column: text}, "forest": the forest definition the
    tables were summed with ({"definition", "connectivity"}) or None,
    "forest_rows", "zone_forest_rows": the forest tables' rows, None with
    "forest_reason" saying why where they cannot be read}."""
    view = accounts.page_view(req)
    if view is None:
        return None
    try:
        thresholds = facts.parse_thresholds(req.thresholds or "")
    except facts.ThresholdError:
        thresholds = []
    manifest = view["manifest"]
    ours = manifest is not None and view["of_this_batch"]
    if manifest is not None and not ours:
        # Tables, or the reason there are none, of another request: said as
        # such, never shown as this batch's.
        reason = "%s holds the accounts of another request (%s)" % (req.accounts_dir, summed_for(manifest))
    else:
        reason = view["reason"] or "the batch tables cannot be read"
    warning = None
    if ours and view["zones_changed"]:
        warning = ("The zones file %s has changed since these tables were summed: they describe the zones as "
                   "they were." % req.zones)
    return {"written": bool(ours and view["tables"]), "reason": reason, "warning": warning,
            "thresholds": thresholds, "zones": req.zones, "zone_field": req.zone_field,
            "zone_layer": req.zone_layer, "batch_rows": view["rows"] or [], "zone_rows": view["zone_rows"] or [],
            "last_year": req.last_year, "forest": view.get("forest") if ours else None,
            "forest_rows": view.get("forest_rows"), "zone_forest_rows": view.get("zone_forest_rows"),
            "forest_reason": view.get("forest_reason")}


def summed_for(manifest):
    """What the accounts manifest says they were summed for."""
    said = "batch %s, %d tile%s, last year %d, thresholds %s" % (
        manifest["batch"], manifest["tiles"], "" if manifest["tiles"] == 1 else "s", manifest["last_year"],
        manifest["thresholds"])
    said += ", zones %s" % manifest["zones"] if manifest.get("zones") else ", no zones"
    forest = manifest.get("forest")
    if isinstance(forest, dict):
        said += ", forest %s with %s neighbours" % (forest.get("definition"), forest.get("connectivity"))
    return said


def figure(text):
    """A figure of the accounts tables (printed "%.6f") as an exact Decimal,
    or None when it is not a finite number of zero or more."""
    try:
        value = Decimal(text) if isinstance(text, str) and text.strip() == text else None
    except InvalidOperation:
        return None
    return value if value is not None and value.is_finite() and value >= 0 else None


def shown(value):
    """A figure for people: to the hundredth, thousands grouped; "-" for none."""
    return "-" if value is None else "{:,}".format(value.quantize(HUNDREDTH, rounding=ROUND_HALF_EVEN))


def account_rows(rows, zoned):
    """ROWS of the view with their figures read: [(zone or None, threshold,
    year, {field: Decimal}, height or None)]. ValueError naming the first row
    that is not one of the tables' (a figure that is not a number, say)."""
    out = []
    for n, row in enumerate(rows, 1):
        try:
            threshold, year = int(row["threshold"]), int(row["year"])
            values = {f: figure(row[f]) for f in FIGURES}
            height = None if row["height_mean"] == "" else figure(row["height_mean"])
            zone = row["zone"] if zoned else None
            if (None in values.values() or (height is None) != (row["height_mean"] == "")
                    or (zoned and not isinstance(zone, str))):
                raise ValueError
        except (KeyError, TypeError, ValueError, AttributeError):
            raise ValueError("row %d of %s is not a row of the accounts" % (
                n, facts.BATCH_ZONE_ACCOUNTS if zoned else facts.BATCH_ACCOUNTS))
        out.append((zone, threshold, year, values, height))
    return out


def zone_summary(rows, first_year, last_year):
    """{threshold: (zone count, the ZONES_SHOWN zones of largest loss)}: each
    zone with its land, its cover in the first and the last year, its loss
    over all years (summed exactly) and its height mean in the last year."""
    zones = {}
    for zone, threshold, year, values, height in rows:
        entry = zones.setdefault(threshold, {}).setdefault(zone, {"loss": Decimal(0), "years": {}})
        entry["loss"] += values["loss_ha"]
        entry["years"][year] = (values, height)
    out = {}
    for threshold, by_zone in zones.items():
        # Largest loss first; zones of equal loss in the tables' order.
        ordered = sorted(by_zone.items(), key=lambda z: -z[1]["loss"])
        listed = []
        for zone, entry in ordered[:ZONES_SHOWN]:
            first = entry["years"].get(first_year, (None, None))[0]
            last, height = entry["years"].get(last_year, (None, None))
            listed.append({"zone": printable(zone),
                           "land": shown(last and last["land_ha"]),
                           "cover_first": shown(first and first["cover_ha"]),
                           "cover_last": shown(last and last["cover_ha"]),
                           "loss": shown(entry["loss"]), "height": shown(height)})
        out[threshold] = (len(by_zone), listed)
    return out


def accounts_data(view):
    """The accounts section's data for the page's script: the thresholds, the
    one picked first, the batch's figures per threshold and year, the zones
    of largest loss per threshold. ValueError when the tables' rows are not
    the accounts'."""
    thresholds = [t for t in view["thresholds"] if isinstance(t, int) and not isinstance(t, bool)]
    batch = account_rows(view["batch_rows"], False)
    zoned = account_rows(view.get("zone_rows") or [], True)
    years = sorted({r[2] for r in batch} | {r[2] for r in zoned})
    if not thresholds or not years:
        raise ValueError("the tables hold no rows")
    first_year, last_year = years[0], years[-1]
    by_threshold = {}
    for _, threshold, year, values, height in batch:
        by_threshold.setdefault(threshold, []).append({
            "year": year, "cover": float(values["cover_ha"]), "loss": float(values["loss_ha"]),
            "text": {"land": shown(values["land_ha"]), "cover": shown(values["cover_ha"]),
                     "loss": shown(values["loss_ha"]), "height": shown(height)}})
    zones = zone_summary(zoned, first_year, last_year)
    return {
        "thresholds": thresholds,
        "first": FIRST_THRESHOLD if FIRST_THRESHOLD in thresholds else thresholds[0],
        "first_year": first_year, "last_year": last_year, "zoned": bool(view.get("zones")),
        "shown": ZONES_SHOWN,
        "years": {str(t): sorted(rows, key=lambda r: r["year"]) for t, rows in by_threshold.items()},
        "zones": {str(t): {"count": count, "rows": listed} for t, (count, listed) in zones.items()},
    }


ACCOUNTS_MEANING = (
    "Areas in hectares, each cell's area taken on the WGS84 ellipsoid. Land: the cells the data mask "
    "calls land. Tree cover: land whose tree canopy cover (TCC) of the year is at or above the threshold. "
    "Loss: land lost in the year (the Loss product) within the tree cover of 2000 (TCC of 2000 at or above "
    "the threshold). Height mean: the canopy height (TCH) averaged over the year's tree cover, by area. "
    "Figures are shown to the hundredth of a hectare; the tables hold them to the millionth.")


# Forest by definition (--forest): the batch's forest per year and zone, its
# patches measured whole across the tiles, shown beside the tree cover.
FOREST_FIGURES = ("forest_ha", "forest_loss_ha")
FOREST_MEANING = (
    "Forest loss: land lost in the year (the Loss product) that was forest in 2000. Areas in hectares on the "
    "WGS84 ellipsoid, a cell in a zone by its share inside it, whether it is forest decided by its whole patch.")


def forest_words(forest):
    """The forest definition a manifest holds ({"definition": "C:H:HA",
    "connectivity": 4 or 8}) in words. ValueError where it is not one as
    the batch writes it."""
    definition = forest.get("definition") if isinstance(forest, dict) else None
    connectivity = forest.get("connectivity") if isinstance(forest, dict) else None
    try:
        written = isinstance(definition, str) and facts.parse_forest(definition) == definition
    except facts.ForestError:
        written = False
    if not written or type(connectivity) is not int or connectivity not in facts.CONNECTIVITIES:
        raise ValueError("the forest definition its manifest holds does not read as one")
    cover, height, hectares = definition.split(":")
    neighbours = "their 8 neighbours (corners too)" if connectivity == 8 else "their 4 edge neighbours"
    return ("Forest: land with canopy cover (TCC) at least %s %% and canopy height (TCH, in the products' units) "
            "at least %s, in patches of at least %s ha joined through %s, each patch measured whole across the "
            "tiles it runs through (it ends at the edge of the list, and between tiles whose pixels do not line "
            "up)." % (cover, height, hectares, neighbours))


def ascii_whole(text):
    """A year or a threshold as the tables write it (ASCII digits), or None."""
    return int(text) if isinstance(text, str) and text.isascii() and text.isdigit() else None


def forest_figures(rows, zoned, years):
    """ROWS of a forest table read: [(zone or None, year, {field: Decimal})],
    the table (each zone of it) holding every one of YEARS once, in order.
    ValueError naming the first row that is not one, or the zone short of
    years."""
    name = facts.BATCH_ZONE_FOREST if zoned else facts.BATCH_FOREST
    out, seen = [], {}
    for n, row in enumerate(rows, 1):
        zone = row.get("zone") if zoned else None
        count = seen.get(zone, 0)
        values = {f: figure(row.get(f)) for f in FOREST_FIGURES}
        if (None in values.values() or count >= len(years) or ascii_whole(row.get("year")) != years[count]
                or (zoned and not isinstance(zone, str))):
            raise ValueError("row %d of %s is not a row of the forest table (a year of %d to %d once each, in "
                             "order, and figures of 0 or more)" % (n, name, years[0], years[-1]))
        seen[zone] = count + 1
        out.append((zone, years[count], values))
    short = [z for z, count in seen.items() if count != len(years)] + ([None] if not zoned and not rows else [])
    if short:
        raise ValueError("%s does not hold every year of %d to %d%s" % (
            name, years[0], years[-1], " for zone %s" % printable(short[0]) if zoned else ""))
    return out


def cover_at(view, threshold):
    """{year: {field: Decimal}} of the tree cover at THRESHOLD, or {} where
    the batch table holds none at it, or none that reads."""
    try:
        return {year: values for _, t, year, values, _ in account_rows(view["batch_rows"], False) if t == threshold}
    except ValueError:
        return {}


def forest_data(view):
    """The forest part's data: the figures a year ({"year", "forest",
    "loss", "text"}, the chart's and the table's), the tree cover and loss at
    the definition's cover a year where the batch counted that threshold,
    and the zones of largest forest loss. ValueError where a forest table's
    rows are not the forest's."""
    years = list(range(facts.MIN_LAST_YEAR, view["last_year"] + 1))
    batch = forest_figures(view["forest_rows"], False, years)
    cover = cover_at(view, int(view["forest"]["definition"].split(":")[0]))
    rows = []
    for _, year, values in batch:
        text = {"forest": shown(values["forest_ha"]), "loss": shown(values["forest_loss_ha"])}
        if year in cover:
            text.update(cover=shown(cover[year]["cover_ha"]), cover_loss=shown(cover[year]["loss_ha"]))
        rows.append({"year": year, "forest": float(values["forest_ha"]), "loss": float(values["forest_loss_ha"]),
                     "text": text})
    zones = {}
    for zone, year, values in forest_figures(view.get("zone_forest_rows") or [], True, years):
        entry = zones.setdefault(zone, {"loss": Decimal(0), "years": {}})
        entry["loss"] += values["forest_loss_ha"]
        entry["years"][year] = values["forest_ha"]
    ranked = sorted(zones.items(), key=lambda z: -z[1]["loss"])[:ZONES_SHOWN]  # stable: ties in table order
    listed = [{"zone": printable(zone), "first": shown(e["years"][years[0]]), "last": shown(e["years"][years[-1]]),
               "loss": shown(e["loss"])} for zone, e in ranked]
    return {"years": rows, "cover": len(cover) == len(years), "first_year": years[0], "last_year": years[-1],
            "zones": {"count": len(zones), "rows": listed}}


def html_table(element_id, head, rows):
    """A table of ROWS of texts (escaped here), figures right-aligned."""
    lines = ["<tr>%s</tr>" % "".join("<th>%s</th>" % esc(h) for h in head)]
    lines += ["<tr>%s</tr>" % "".join('<td class="number">%s</td>' % esc(c) if k else "<td>%s</td>" % esc(c)
                                      for k, c in enumerate(row)) for row in rows]
    return '<table id="%s">%s</table>' % (element_id, "".join(lines))


def forest_section(req, view):
    """The forest part of the accounts section (its HTML lines), none where
    the tables were summed without --forest: the definition in words, then
    the figures, or why there are none."""
    forest = view.get("forest")
    if forest is None:
        return []
    out = ['<h3 id="forest">Forest by definition</h3>']
    try:
        words = forest_words(forest)
    except ValueError as e:
        out.append('<p class="missing">No forest figures: %s.</p>' % esc(e))
        return out
    out.append('<p class="about" id="forest-definition">%s %s</p>' % (esc(words), esc(FOREST_MEANING)))
    if view.get("forest_rows") is None:
        out.append('<p class="missing">No forest figures: %s</p>' % esc(view.get("forest_reason") or "no reason given"))
        return out
    try:
        data = forest_data(view)
    except ValueError as e:
        out.append('<p class="missing">The forest tables cannot be shown: %s.</p>' % esc(e))
        return out
    zoned = view.get("zone_forest_rows") is not None
    here = os.path.join(req.output_dir, facts.ACCOUNTS_DIR)
    files = [facts.BATCH_FOREST] + ([facts.BATCH_ZONE_FOREST] if zoned else [])
    out.append("<p>The tables: %s.</p>" % ", ".join(
        '<a href="%s">%s</a>' % (relative_url(os.path.join(here, f), req.output_dir), f) for f in files))
    out.append('<div id="forest-chart"></div>')
    out.append('<div id="forest-change"></div>')
    cover = forest["definition"].split(":")[0]
    head = ["year", "forest (ha)", "forest loss (ha)"]
    if data["cover"]:  # beside it, what the height and the least area leave out
        head += ["tree cover at %s %% (ha)" % cover, "loss at %s %% (ha)" % cover]
    out.append(html_table("forest-years", head, [
        [str(r["year"]), r["text"]["forest"], r["text"]["loss"]]
        + ([r["text"]["cover"], r["text"]["cover_loss"]] if data["cover"] else []) for r in data["years"]]))
    if zoned:
        zones, first, last = data["zones"], data["first_year"], data["last_year"]
        if zones["count"] == 0:
            note = "No zone lies inside the tiles."
        elif zones["count"] > len(zones["rows"]):
            note = ("The %d of %d zones with the largest forest loss, largest first; every zone is in the zone "
                    "forest table (CSV) above." % (len(zones["rows"]), zones["count"]))
        else:
            note = "The %d zone%s, largest forest loss first." % (zones["count"], "" if zones["count"] == 1 else "s")
        out.append('<h3>Forest by zone</h3><p id="forest-zones-note">%s</p><div class="wide">%s</div>' % (
            note, html_table("forest-zones", ["zone", "forest %d (ha)" % first, "forest %d (ha)" % last,
                                              "forest loss %d\u2013%d (ha)" % (first, last)],
                             [[z["zone"], z["first"], z["last"], z["loss"]] for z in zones["rows"]])))
    chart = {"definition": "%s, %s neighbours" % (forest["definition"], forest["connectivity"]),
             "years": data["years"]}
    out.append('<script type="application/json" id="forest-data">%s</script>' % script_json(chart))
    return out


def accounts_section(req, view):
    """The accounts section's HTML, "" when the batch asked for no accounts.
    Its figures go in as JSON, like the map's, for the script to draw."""
    if view is None:
        return ""
    out = ["<h2>Forest accounts</h2>"]
    zones = view.get("zones")
    asked = "Thresholds %s %%" % esc(", ".join(str(t) for t in view.get("thresholds") or []))
    if zones:
        asked += "; zones from <code>%s</code>%s, by %s" % (
            esc(zones), ", layer <code>%s</code>" % esc(view["zone_layer"]) if view.get("zone_layer") else "",
            "the field <code>%s</code>" % esc(view["zone_field"]) if view.get("zone_field") else "feature id")
    out.append('<p class="about">%s. %s</p>' % (asked, esc(ACCOUNTS_MEANING)))
    if view.get("warning"):
        out.append('<p class="warning">%s</p>' % esc(view["warning"]))
    if not view.get("written"):
        out.append('<p class="missing">no batch tables: %s</p>' % esc(view.get("reason") or "no reason given"))
        return "\n".join(out)
    try:
        data = accounts_data(view)
    except (KeyError, TypeError, ValueError) as e:
        reason = e.args[0] if isinstance(e, ValueError) and e.args else "they are not the accounts"
        out.append('<p class="missing">The batch tables cannot be shown: %s.</p>' % esc(reason))
        return "\n".join(out + forest_section(req, view))
    here = os.path.join(req.output_dir, facts.ACCOUNTS_DIR)
    files = [facts.BATCH_ACCOUNTS] + ([facts.BATCH_ZONE_ACCOUNTS] if zones else [])
    out.append("<p>The tables: %s (every threshold, year%s).</p>" % (", ".join(
        '<a href="%s">%s</a>' % (relative_url(os.path.join(here, f), req.output_dir), f) for f in files),
        " and zone" if zones else ""))
    out.append('<p><label>Threshold: <select id="acc-threshold"></select></label> '
               '<span class="about">canopy cover (TCC, percent) at or above which a cell is tree cover</span></p>')
    out.append('<div id="acc-chart"></div>')
    out.append('<div id="acc-change"></div>')
    out.append('<table id="acc-years"></table>')
    out.append('<p class="about" id="acc-loss-note">%s</p>' % esc(accounts.LOSS_FIRST_YEAR_NOTE))
    if zones:
        out.append('<h3>Zones by loss</h3><p id="acc-zones-note"></p><div class="wide"><table id="acc-zones"></table>'
                   "</div>")
    out.append('<script type="application/json" id="accounts">%s</script>' % script_json(data))
    return "\n".join(out + forest_section(req, view))


def tile_table(rows, columns):
    """A table of ROWS; each column's function gives text already escaped for printing."""
    head = "<tr>" + "".join("<th>%s</th>" % c for c, _ in columns) + "</tr>"
    body = ["<tr>" + "".join("<td>%s</td>" % html.escape(f(r)) for _, f in columns) + "</tr>" for r in rows]
    return "<table>%s%s</table>" % (head, "".join(body))


def batch_id_note(req):
    """What the batch id is, where the page first shows it."""
    if not req.ran:
        return ("<code>%s</code> names this report only: the list given to --report is not the one the latest "
                "batch in %s ran, so no job of it carries this id." % (esc(req.batch_id), esc(req.logs)))
    said = "<code>%s</code> is the id of this batch run: a new one is drawn each time the batch is run" % esc(
        req.batch_id)
    if req.entry == "slurm_array.sh":
        return said + ", and the run's request is kept in %s." % esc(
            os.path.join(req.logs, "batch-%s.json" % req.batch_id))
    return said + (", and the records of its jobs are named <code>local-%s-N</code> (N counting the jobs of "
                   "the run)." % esc(req.batch_id))


def package_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def render(req, rows, source, summary):
    """The page's text. OSError when its package data cannot be read."""
    listed = outliers(req.quality_dir)
    flagged = listed or {}
    data, off_map = map_data(req, rows, flagged)
    legend = "".join("%s%s (%d)" % (swatch(colour), html.escape(state_text(state)), summary.counts[state])
                     for state, colour in STATES)
    if req.quality_dir:
        legend += '<span class="dot"></span>quality outlier (%d)' % sum(1 for r in rows if r.tile in flagged)
    timed = sorted((r for r in rows if r.state.ended and r.wall_s is not None), key=lambda r: -r.wall_s)[:SLOWEST]
    slowest = (tile_table(timed, [("tile", lambda r: printable(r.tile)), ("state", lambda r: r.state.value),
                                  ("wall time (s)", lambda r: ("%.3f" % r.wall_s).rstrip("0").rstrip(".")),
                                  ("host", lambda r: r.host),
                                  ("peak memory (MiB)", lambda r: "-" if r.peak_kib is None else "%.0f" % (
                                      r.peak_kib / 1024))])
               if timed else "<p>No tile timed.</p>")
    rerun = [r for r in rows if r.state not in (State.DONE, State.RUNNING)]
    report_path = esc(os.path.join(req.logs, "report.txt"))
    not_done = []
    if rerun:
        not_done.append("<h2>Tiles not done (%d)</h2>" % len(rerun))
        not_done.append(tile_table(rerun[:TO_RERUN], [("tile", lambda r: printable(r.tile)),
                                                      ("state", lambda r: r.state.value), ("exit", lambda r: r.exit),
                                                      ("message", lambda r: shortened(r.message))]))
        if len(rerun) > TO_RERUN:
            not_done.append("<p>... and %d more: every tile is in %s.</p>" % (len(rerun) - TO_RERUN, report_path))
    written = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime())
    fields = {
        "title": esc("Batch %s: %d tiles, last year %d" % (req.batch_id, len(rows), req.last_year)),
        "style": package_text(STYLE),
        "script": package_text(SCRIPT),
        "batch_id_note": batch_id_note(req),
        "where": "Products in %s; records and logs in %s; this page written %s." % (
            esc(req.output_dir), esc(req.logs), written),
        "summary": summary_table(summary, source),
        "legend": legend,
        "map_note": "Each tile is drawn from its upper-left corner (the longitude and latitude of its origin), "
                    "%.3f degrees east and south, with its id on it where that fits." % TILE_DEGREES,
        "off_map": ('<p class="missing">%d tile(s) have an origin that is not a finite number and are not on the '
                    "map.</p>" % off_map) if off_map else "",
        "tiles": script_json(data),
        "accounts": accounts_section(req, accounts_view(req)),
        "region": "\n".join(region_section(req, rows)),
        "quality": "\n".join(quality_section(req, listed)),
        "slowest": slowest,
        "not_done": "\n".join(not_done),
        "report_path": report_path,
    }
    # Each value goes in as it is: a "$" in a tile id or in the script is not
    # read as a placeholder.
    return string.Template(package_text(TEMPLATE)).substitute(fields)


def write(req, rows, source, summary):
    """Writes OUTPUT_DIR/index.html whole (temporary name, then rename): its
    path. SUMMARY is report.summarize(ROWS). OSError when it cannot."""
    path = os.path.join(req.output_dir, PAGE)
    write_text(path, render(req, rows, source, summary))
    return path


def publish(req, rows, source, summary, prog, say=None):
    """The page written and where it is said (on SAY, standard output unless
    given): 0, or 1 with the reason on standard error."""
    path = os.path.join(req.output_dir, PAGE)
    try:
        write(req, rows, source, summary)
    except OSError as e:
        reason = printable(e.strerror or e)
        if e.filename and not str(e.filename).startswith(path):  # the package's own files
            reason += " (%s)" % printable(e.filename)
        print("%s: the batch page %s could not be written: %s" % (prog, printable(path), reason), file=sys.stderr)
        return 1
    print("%s: the batch page: %s (open it in a browser)" % (prog, printable(path)), file=say or sys.stdout)
    return 0
