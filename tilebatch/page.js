// The batch page's map: one canvas drawn from the JSON of the element
// "tiles", so that a page of 20,000 tiles opens at once. Inlined
// into OUTPUT_DIR/index.html by page.py, as it stands here. Every text of the
// data came from a tile list, a record or a file name: it is put on the page
// with textContent or drawn on the canvas, never parsed as HTML.
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("tiles").textContent);
  var canvas = document.getElementById("map"), info = document.getElementById("info");
  var tiles = data.tiles, span = data.span, states = {}, i, t;
  for (i = 0; i < data.states.length; i++) states[data.states[i].state] = data.states[i];

  // Room around the tiles: latitudes written left of them, longitudes under them.
  var LEFT = 62, RIGHT = 14, TOP = 14, BOTTOM = 32, WIDTH = canvas.clientWidth || 960;
  var MIN_PLOT = 160, MAX_PLOT = 720;
  var west = Infinity, east = -Infinity, south = Infinity, north = -Infinity;
  for (i = 0; i < tiles.length; i++) {
    t = tiles[i];
    west = Math.min(west, t.lon); east = Math.max(east, t.lon + span);
    south = Math.min(south, t.lat - span); north = Math.max(north, t.lat);
  }
  if (!tiles.length) { west = 0; east = span; south = 0; north = span; }
  // One scale for both axes: a degree east is as long as a degree north, as
  // in the region pictures below, which are plain longitude and latitude.
  var plotW = WIDTH - LEFT - RIGHT, k = plotW / (east - west), plotH = (north - south) * k;
  if (plotH > MAX_PLOT) { k = MAX_PLOT / (north - south); plotH = MAX_PLOT; }
  plotH = Math.max(MIN_PLOT, plotH);
  var W = WIDTH, H = Math.round(plotH + TOP + BOTTOM), ratio = window.devicePixelRatio || 1;
  canvas.style.height = H + "px";
  canvas.width = Math.round(W * ratio);
  canvas.height = Math.round(H * ratio);
  var ctx = canvas.getContext("2d");
  ctx.scale(ratio, ratio);
  ctx.fillStyle = "#ffffff";
  ctx.fillRect(0, 0, W, H);
  ctx.fillStyle = "#f4f7fb";
  ctx.fillRect(LEFT, TOP, plotW, plotH);
  if (!tiles.length) { canvas.setAttribute("data-drawn", "0"); return; }
  var kx = k, ky = k;
  var ox = LEFT + (plotW - (east - west) * kx) / 2 - west * kx;
  var oy = TOP + (plotH - (north - south) * ky) / 2 + north * ky;

  // Ticks every "round" step of degrees, at least TICK_PIXELS apart; whole
  // degrees (the tiles' own corners) wherever the axis spans two or more.
  var TICK_PIXELS = 90, STEPS = [0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 20, 30, 45, 90];
  function tickStep(range) {
    for (var n = 0; n < STEPS.length; n++) {
      if (STEPS[n] * k >= TICK_PIXELS && (STEPS[n] >= 1 || range < 2)) return STEPS[n];
    }
    return STEPS[STEPS.length - 1];
  }
  function places(step) { return step >= 1 ? 0 : (step >= 0.1 ? 1 : 2); }
  function degrees(value, decimals, positive, negative) {
    var text = Math.abs(value).toFixed(decimals);
    if (Number(text) === 0) return "0\u00b0";
    return text + "\u00b0" + (value > 0 ? positive : negative);
  }
  function ticks(from, to, step) {
    var out = [];
    for (var v = Math.ceil(from / step - 1e-9) * step; v <= to + 1e-9; v += step) out.push(Math.round(v / step) * step);
    return out;
  }
  // The degrees the plot shows, which may be wider than the tiles.
  var lonFrom = (LEFT - ox) / kx, lonTo = (LEFT + plotW - ox) / kx;
  var latTo = (oy - TOP) / ky, latFrom = (oy - TOP - plotH) / ky;
  var lonStep = tickStep(east - west), latStep = tickStep(north - south);
  var lons = ticks(lonFrom, lonTo, lonStep), lats = ticks(latFrom, latTo, latStep), x, y;
  ctx.strokeStyle = "#dde3ea";
  ctx.lineWidth = 1;
  ctx.beginPath();
  for (i = 0; i < lons.length; i++) {
    x = Math.round(ox + lons[i] * kx) + 0.5;
    ctx.moveTo(x, TOP); ctx.lineTo(x, TOP + plotH);
  }
  for (i = 0; i < lats.length; i++) {
    y = Math.round(oy - lats[i] * ky) + 0.5;
    ctx.moveTo(LEFT, y); ctx.lineTo(LEFT + plotW, y);
  }
  ctx.stroke();

  function box(t) {  // the tile's rectangle in CSS pixels, at least one pixel wide and high
    return [ox + t.lon * kx, oy - t.lat * ky, Math.max(1, span * kx), Math.max(1, span * ky)];
  }
  function colour(t) {
    var s = states[t.state];
    return s ? s.colour : "#888888";
  }
  for (i = 0; i < tiles.length; i++) {
    var b = box(tiles[i]);
    ctx.fillStyle = colour(tiles[i]);
    ctx.fillRect(b[0], b[1], b[2], b[3]);
  }
  if (span * k >= 8) {  // tiles large enough to tell apart: a thin light edge each
    ctx.strokeStyle = "rgba(255,255,255,0.8)";
    for (i = 0; i < tiles.length; i++) {
      var e = box(tiles[i]);
      ctx.strokeRect(e[0] + 0.5, e[1] + 0.5, e[2] - 1, e[3] - 1);
    }
  }
  ctx.fillStyle = "#000";
  for (i = 0; i < tiles.length; i++) {
    t = tiles[i];
    if (t.outlier === null) continue;
    var c = box(t), r = Math.max(2, Math.min(c[2], c[3]) / 6);
    ctx.beginPath();
    ctx.arc(c[0] + c[2] / 2, c[1] + c[3] / 2, r, 0, 2 * Math.PI);
    ctx.fill();
  }
  // Each tile's id along its lower edge, where it fits: clear of the outlier
  // dot at its centre and of its upper part, where its colour is plain.
  var LABEL_HEIGHT = 54;
  if (span * ky >= LABEL_HEIGHT) {
    ctx.font = "bold 12px sans-serif";
    ctx.textAlign = "center";
    ctx.textBaseline = "alphabetic";
    for (i = 0; i < tiles.length; i++) {
      t = tiles[i];
      var l = box(t);
      if (ctx.measureText(t.id).width + 8 > l[2]) continue;
      var rgb = parseInt(colour(t).slice(1), 16);
      var light = 0.299 * (rgb >> 16) + 0.587 * ((rgb >> 8) & 255) + 0.114 * (rgb & 255) > 150;
      ctx.fillStyle = light ? "#000" : "#fff";
      ctx.fillText(t.id, l[0] + l[2] / 2, l[1] + l[3] - 6);
    }
  }
  // The axes: a frame round the plot, ticks and their degrees outside it.
  ctx.strokeStyle = "#777";
  ctx.strokeRect(LEFT + 0.5, TOP + 0.5, plotW - 1, plotH - 1);
  ctx.fillStyle = "#333";
  ctx.font = "12px sans-serif";
  ctx.beginPath();
  ctx.textAlign = "center";
  ctx.textBaseline = "top";
  for (i = 0; i < lons.length; i++) {
    x = Math.round(ox + lons[i] * kx) + 0.5;
    ctx.moveTo(x, TOP + plotH); ctx.lineTo(x, TOP + plotH + 5);
    var label = degrees(lons[i], places(lonStep), "E", "W"), half = ctx.measureText(label).width / 2;
    ctx.fillText(label, Math.min(Math.max(x, half + 2), W - half - 2), TOP + plotH + 8);  // kept inside the canvas
  }
  ctx.textAlign = "right";
  ctx.textBaseline = "middle";
  for (i = 0; i < lats.length; i++) {
    y = Math.round(oy - lats[i] * ky) + 0.5;
    ctx.moveTo(LEFT - 5, y); ctx.lineTo(LEFT, y);
    ctx.fillText(degrees(lats[i], places(latStep), "N", "S"), LEFT - 8, y);
  }
  ctx.stroke();

  // The transform, for tests and tools: x = ox + lon * kx, y = oy - lat * ky (CSS pixels in the canvas).
  canvas.setAttribute("data-ox", ox);
  canvas.setAttribute("data-oy", oy);
  canvas.setAttribute("data-kx", kx);
  canvas.setAttribute("data-ky", ky);
  var rect = canvas.getBoundingClientRect();
  canvas.setAttribute("data-left", rect.left + window.scrollX);
  canvas.setAttribute("data-top", rect.top + window.scrollY);
  canvas.setAttribute("data-drawn", String(tiles.length));
  var exact = 3;  // decimals: the extent to the tile's span of 1.001 degrees
  document.getElementById("extent").textContent = "The tiles cover " + degrees(west, exact, "E", "W") + " to " +
    degrees(east, exact, "E", "W") + " and " + degrees(south, exact, "N", "S") + " to " +
    degrees(north, exact, "N", "S") + " (north up; a degree east as long as a degree north).";

  function at(event) {  // the tile drawn topmost under the pointer
    var r = canvas.getBoundingClientRect(), px = event.clientX - r.left, py = event.clientY - r.top;
    for (var n = tiles.length - 1; n >= 0; n--) {
      var b = box(tiles[n]);
      if (px >= b[0] && px <= b[0] + b[2] && py >= b[1] && py <= b[1] + b[3]) return tiles[n];
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
    line("tile", t.id);
    line("state", states[t.state] ? states[t.state].label : t.state);
    line("exit", t.exit);
    line("wall time", t.wall_s === null ? "-" : t.wall_s + " s");
    line("host", t.host);
    line("origin", t.lon + ", " + t.lat);
    if (t.message) line("message", t.message);
    if (t.outlier !== null) line("quality outlier", t.outlier);
    var logs = data.links.logs + t.link + "/";
    link("record", logs + "record.json");
    link("out log", logs + "out");
    link("err log", logs + "err");
    if (data.links.quality && t.chart) link("quality chart", data.links.quality + t.chart);
  }
  canvas.addEventListener("mousemove", function (e) { if (!pinned) show(at(e)); });
  canvas.addEventListener("mouseleave", function () { if (!pinned) show(null); });
  canvas.addEventListener("click", function (e) { pinned = at(e); show(pinned); });
  show(null);
})();

// The forest accounts: a chart of the batch's tree cover and loss per year
// (SVG), the figures under it and the zones of largest loss, at the
// threshold picked. Drawn from the JSON of the element "accounts" once the
// page is read (the section lies below this script); a page without
// accounts has no such element. Zone names are put in with textContent.
// With forest by definition, a chart of forest and forest loss per year
// too, from the JSON of the element "forest-data" (its tables are the
// page's own HTML).
(function () {
  "use strict";
  var SVG = "http://www.w3.org/2000/svg";

  function element(name, attributes, parent, text) {
    var e = name.indexOf("svg:") === 0 ? document.createElementNS(SVG, name.slice(4)) : document.createElement(name);
    for (var key in attributes) if (Object.prototype.hasOwnProperty.call(attributes, key)) e.setAttribute(key, attributes[key]);
    if (text !== undefined) e.textContent = text;
    if (parent) parent.appendChild(e);
    return e;
  }
  // A tick step of 1, 2 or 5 times a power of ten, giving about COUNT ticks up to TOP.
  function step(top, count) {
    var raw = top / count, power = Math.pow(10, Math.floor(Math.log(raw) / Math.LN10)), m = [1, 2, 5, 10];
    for (var i = 0; i < m.length; i++) if (m[i] * power >= raw) return m[i] * power;
    return 10 * power;
  }
  function grouped(value, decimals) {  // 12345.5 -> "12,345.5", the same in every locale
    var parts = value.toFixed(decimals).split(".");
    parts[0] = parts[0].replace(/\B(?=(\d{3})+(?!\d))/g, ",");
    return parts.join(".");
  }

  // A chart of two panels of bars a year, one above the other: PANELS
  // [{key, label, colour}], each bar the figure rows[i][key], its text
  // rows[i].text[key]. ATTRIBUTES go on the SVG element; for tests and
  // tools, so do where it lands on the page (data-left, data-top), a
  // panel's height (data-panel) and the figure at each panel's top
  // (data-axis-KEY).
  function draw(holder, rows, panels, title, attributes, empty) {
    holder.textContent = "";
    var W = 960, LEFT = 96, RIGHT = 16, PANEL = 150, GAP = 46, TOP = 26, BOTTOM = 44;
    var H = TOP + 2 * PANEL + GAP + BOTTOM, plotW = W - LEFT - RIGHT, key;
    var all = {width: W, height: H, viewBox: "0 0 " + W + " " + H, role: "img", "data-years": rows.length};
    for (key in attributes) if (Object.prototype.hasOwnProperty.call(attributes, key)) all[key] = attributes[key];
    var svg = element("svg:svg", all, holder);
    element("svg:title", {}, svg, title);
    var box = svg.getBoundingClientRect();
    svg.setAttribute("data-left", box.left + window.scrollX);
    svg.setAttribute("data-top", box.top + window.scrollY);
    if (!rows.length) {
      element("svg:text", {x: LEFT, y: TOP + 20}, svg, empty);
      return;
    }
    var slot = plotW / rows.length, bar = Math.max(1, Math.min(40, slot * 0.7));
    svg.setAttribute("data-panel", PANEL);
    panels.forEach(function (panel, n) {
      var p = {key: panel.key, label: panel.label, colour: panel.colour, top: TOP + n * (PANEL + GAP)};
      var top = 0, i;
      for (i = 0; i < rows.length; i++) top = Math.max(top, rows[i][p.key]);
      var s = top > 0 ? step(top, 4) : 1, axisTop = top > 0 ? Math.ceil(top / s) * s : 4 * s;
      var decimals = s >= 1 ? 0 : Math.min(6, Math.ceil(-Math.log(s) / Math.LN10));
      var y = function (v) { return p.top + PANEL - v / axisTop * PANEL; };
      svg.setAttribute("data-axis-" + p.key, axisTop);  // the figure at the panel's top
      element("svg:text", {x: LEFT, y: p.top - 8, "class": "acc-axis-title"}, svg, p.label);
      for (var v = 0; v <= axisTop + s / 2; v += s) {
        var ty = Math.round(y(v)) + 0.5;
        element("svg:line", {x1: LEFT, x2: LEFT + plotW, y1: ty, y2: ty, "class": "acc-grid"}, svg);
        element("svg:text", {x: LEFT - 6, y: ty + 4, "text-anchor": "end", "class": "acc-tick"}, svg,
                grouped(v, decimals));
      }
      for (i = 0; i < rows.length; i++) {
        var r = rows[i], h = Math.max(0, PANEL - (y(r[p.key]) - p.top));
        var rect = element("svg:rect", {x: LEFT + i * slot + (slot - bar) / 2, y: p.top + PANEL - h, width: bar,
          height: h, fill: p.colour, "class": "acc-bar acc-" + p.key, "data-year": r.year,
          "data-value": r.text[p.key]}, svg);
        element("svg:title", {}, rect, r.year + ": " + p.label.replace(" (ha)", "") + " " + r.text[p.key] + " ha");
      }
      element("svg:line", {x1: LEFT, x2: LEFT, y1: p.top, y2: p.top + PANEL, "class": "acc-axis"}, svg);
      element("svg:line", {x1: LEFT, x2: LEFT + plotW, y1: p.top + PANEL + 0.5, y2: p.top + PANEL + 0.5,
        "class": "acc-axis"}, svg);
    });
    // The years under the lower panel, as many as fit.
    var every = Math.max(1, Math.ceil(40 / slot)), base = TOP + 2 * PANEL + GAP;
    for (var i = 0; i < rows.length; i++) {
      // The last year too, unless it would touch the one before it.
      if (i % every && !(i === rows.length - 1 && i % every >= every * 0.6)) continue;
      element("svg:text", {x: LEFT + (i + 0.5) * slot, y: base + 16, "text-anchor": "middle", "class": "acc-tick"},
              svg, String(rows[i].year));
    }
    element("svg:text", {x: LEFT + plotW / 2, y: base + 36, "text-anchor": "middle", "class": "acc-axis-title"},
            svg, "year");
  }

  // A chart of the change against the first year: one panel of bars a year
  // from a zero line, up for a gain, down for a loss, on an axis of its own
  // that spans only the change, so that a decline of a few percent over the
  // years is seen, which the totals' bars, from zero, hide. The figure is
  // rows[i][key] - rows[0][key]. For tests and tools, the SVG carries the
  // panel's top and height (data-panel-top, data-panel) and the figures at
  // its top and bottom (data-axis-top, data-axis-bottom); a bar, its change
  // (data-value, hectares to six decimals).
  function drawChange(holder, rows, key, label, colour, title, attributes) {
    holder.textContent = "";
    if (rows.length < 2) return;
    var W = 960, LEFT = 96, RIGHT = 16, PANEL = 150, TOP = 26, BOTTOM = 44, H = TOP + PANEL + BOTTOM;
    var plotW = W - LEFT - RIGHT, k, i;
    var all = {width: W, height: H, viewBox: "0 0 " + W + " " + H, role: "img", "data-years": rows.length};
    for (k in attributes) if (Object.prototype.hasOwnProperty.call(attributes, k)) all[k] = attributes[k];
    var svg = element("svg:svg", all, holder);
    element("svg:title", {}, svg, title);
    var box = svg.getBoundingClientRect();
    svg.setAttribute("data-left", box.left + window.scrollX);
    svg.setAttribute("data-top", box.top + window.scrollY);
    var change = rows.map(function (r) { return r[key] - rows[0][key]; });
    var high = Math.max.apply(null, change.concat([0])), low = Math.min.apply(null, change.concat([0]));
    var s = high > low ? step(high - low, 4) : 1;
    var axisTop = high > 0 ? Math.ceil(high / s) * s : 0, axisBottom = low < 0 ? Math.floor(low / s) * s : 0;
    if (axisTop === axisBottom) axisTop = s;
    var decimals = s >= 1 ? 0 : Math.min(6, Math.ceil(-Math.log(s) / Math.LN10));
    var y = function (v) { return TOP + (axisTop - v) / (axisTop - axisBottom) * PANEL; };
    svg.setAttribute("data-panel", PANEL);
    svg.setAttribute("data-panel-top", TOP);
    svg.setAttribute("data-axis-top", axisTop);
    svg.setAttribute("data-axis-bottom", axisBottom);
    element("svg:text", {x: LEFT, y: TOP - 8, "class": "acc-axis-title"}, svg, label);
    for (var v = axisBottom; v <= axisTop + s / 2; v += s) {
      var ty = Math.round(y(v)) + 0.5, tick = Math.abs(v) < s / 2 ? 0 : v;
      element("svg:line", {x1: LEFT, x2: LEFT + plotW, y1: ty, y2: ty, "class": "acc-grid"}, svg);
      element("svg:text", {x: LEFT - 6, y: ty + 4, "text-anchor": "end", "class": "acc-tick"}, svg,
              (tick > 0 ? "+" : tick < 0 ? "\u2212" : "") + grouped(Math.abs(tick), decimals));
    }
    var slot = plotW / rows.length, bar = Math.max(1, Math.min(40, slot * 0.7)), zero = y(0);
    for (i = 0; i < rows.length; i++) {
      var end = y(change[i]), text = change[i].toFixed(6);
      var rect = element("svg:rect", {x: LEFT + i * slot + (slot - bar) / 2, y: Math.min(zero, end), width: bar,
        height: Math.abs(end - zero), fill: change[i] < 0 ? "#d62728" : colour, "class": "acc-bar acc-change",
        "data-year": rows[i].year, "data-value": text}, svg);
      element("svg:title", {}, rect, rows[i].year + ": " + text + " ha against " + rows[0].year);
    }
    element("svg:line", {x1: LEFT, x2: LEFT + plotW, y1: zero, y2: zero, "class": "acc-axis"}, svg);
    element("svg:line", {x1: LEFT, x2: LEFT, y1: TOP, y2: TOP + PANEL, "class": "acc-axis"}, svg);
    var every = Math.max(1, Math.ceil(40 / slot));
    for (i = 0; i < rows.length; i++) {
      if (i % every && !(i === rows.length - 1 && i % every >= every * 0.6)) continue;
      element("svg:text", {x: LEFT + (i + 0.5) * slot, y: TOP + PANEL + 16, "text-anchor": "middle",
        "class": "acc-tick"}, svg, String(rows[i].year));
    }
    element("svg:text", {x: LEFT + plotW / 2, y: TOP + PANEL + 36, "text-anchor": "middle",
      "class": "acc-axis-title"}, svg, "year");
  }

  function table(holder, head, rows, cells) {
    holder.textContent = "";
    var tr = element("tr", {}, holder);
    head.forEach(function (h) { element("th", {}, tr, h); });
    rows.forEach(function (r) {
      var line = element("tr", {}, holder);
      cells(r).forEach(function (c, k) { element("td", k ? {"class": "number"} : {}, line, c); });
    });
  }

  function start() {
    var source = document.getElementById("accounts");
    if (!source) return;
    var data = JSON.parse(source.textContent);
    var picker = document.getElementById("acc-threshold"), chart = document.getElementById("acc-chart");
    var change = document.getElementById("acc-change");
    var years = document.getElementById("acc-years"), zones = document.getElementById("acc-zones");
    var note = document.getElementById("acc-zones-note");
    data.thresholds.forEach(function (t) {
      var o = element("option", {value: String(t)}, picker, t + " %");
      if (t === data.first) o.selected = true;
    });
    function show() {
      var t = picker.value, rows = data.years[t] || [];
      draw(chart, rows, [{key: "cover", label: "tree cover (ha)", colour: "#2e9d4a"},
                         {key: "loss", label: "loss (ha)", colour: "#d62728"}],
           "Tree cover and loss in hectares per year, at a threshold of " + t + " %",
           {"data-chart": "cover", "data-threshold": t}, "The batch table has no row at this threshold.");
      if (rows.length) {
        drawChange(change, rows, "cover", "tree cover against " + rows[0].year + " (ha)", "#2e9d4a",
                   "Tree cover against " + rows[0].year + " in hectares, at a threshold of " + t + " %",
                   {"data-chart": "cover-change", "data-threshold": t});
      } else change.textContent = "";
      table(years, ["year", "land (ha)", "tree cover (ha)", "loss (ha)", "height mean"], rows, function (r) {
        return [String(r.year), r.text.land, r.text.cover, r.text.loss, r.text.height];
      });
      if (!zones) return;
      var z = data.zones[t] || {count: 0, rows: []};
      note.textContent = z.count === 0 ? "No zone has an area inside the tiles at " + t + " %." :
        (z.count > z.rows.length ? "The " + z.rows.length + " of " + z.count + " zones with the largest loss" :
          "The " + z.count + " zone" + (z.count === 1 ? "" : "s")) + " at " + t +
        " %, largest loss first" + (z.count > z.rows.length ? "; every zone is in the zone table (CSV) above." : ".");
      table(zones, ["zone", "land (ha)", "tree cover " + data.first_year + " (ha)",
                    "tree cover " + data.last_year + " (ha)", "loss " + data.first_year + "\u2013" + data.last_year +
                    " (ha)", "height mean " + data.last_year], z.rows, function (r) {
        return [r.zone, r.land, r.cover_first, r.cover_last, r.loss, r.height];
      });
      zones.setAttribute("data-threshold", t);
    }
    picker.addEventListener("change", show);
    show();
  }

  function startForest() {
    var source = document.getElementById("forest-data");
    if (!source) return;
    var data = JSON.parse(source.textContent);
    draw(document.getElementById("forest-chart"), data.years,
         [{key: "forest", label: "forest (ha)", colour: "#17652f"},
          {key: "loss", label: "forest loss (ha)", colour: "#d62728"}],
         "Forest and forest loss in hectares per year, forest by definition " + data.definition,
         {"data-chart": "forest"}, "The forest table has no row.");
    if (data.years.length) {
      drawChange(document.getElementById("forest-change"), data.years, "forest",
                 "forest against " + data.years[0].year + " (ha)", "#17652f",
                 "Forest against " + data.years[0].year + " in hectares, forest by definition " + data.definition,
                 {"data-chart": "forest-change"});
    }
  }
  function startAll() {
    start();
    startForest();
  }
  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", startAll);
  else startAll();
})();
