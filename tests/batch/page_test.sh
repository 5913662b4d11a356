#!/usr/bin/env bash
# The batch page in a real browser: a real batch through scripts/batch.sh
# (GNU parallel, --no-region) of a generated tile that is done and a tile
# whose inputs do not exist and whose id holds < & " ', on distinct origins;
# then OUTPUT_DIR/index.html opened in headless Chromium: the screenshot's
# pixels at each tile's place on the map have its state's colour, the page's
# script ran without an error (nothing on the console, no error kept in the
# page), the map is drawn a degree east as long as a degree north, the
# summary table counts the states, a click on the failed tile shows it with
# links to its files, and --report writes the page again. Then a page with
# forest accounts (stand-in batch tables): the chart drawn for each year,
# another threshold picked shows its figures, the zones ordered by loss;
# and forest by definition beside them (stand-in forest tables): its
# definition in words, its chart's bars read back as drawn, in the DOM and
# in a screenshot, against its table, its zones ordered by forest loss.
# Exits 77 (skipped) where
# Chromium is not installed and cannot be (not root, or apt-get fails).
#
#   page_test.sh PROCESS_TILE MAKE_SYNTHETIC_TILE SCRATCH
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: $0 PROCESS_TILE MAKE_SYNTHETIC_TILE SCRATCH" >&2; exit 2; }
process_tile="$(realpath "$1")" make_tile="$(realpath "$2")"
scratch="$(realpath -m "$3")"
here="$(cd "$(dirname "$0")" && pwd)"
scripts="$(cd "$here/../../scripts" && pwd)"
. "$here/checks.sh"
python=python3
if [ -x /usr/bin/python3 ]; then python=/usr/bin/python3; fi

# The map's colours, as a user reads them in the legend.
done_colour="#2e9d4a" failed_colour="#d62728"

rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"

browser="$(command -v chromium || true)"
if [ -z "$browser" ]; then
  [ "$(id -u)" -eq 0 ] || skip "chromium is not installed, and installing it needs root (scripts/install_deps.sh)"
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends chromium > apt.log 2>&1; then
    skip "chromium is not installed and apt-get could not install it ($scratch/apt.log)"
  fi
  browser="$(command -v chromium || true)"
  [ -n "$browser" ] || skip "chromium installed but not on PATH"
fi
command -v parallel > /dev/null || skip "GNU parallel is not installed (scripts/install_deps.sh)"

"$make_tile" input datamask wetland ok 2000 1 --compress NONE > make_tile.log
bad='no<input>&"'"'"'x'
printf 'ok -60 10\n%s -58 12\n' "$bad" > tiles.txt
status=0
bash "$scripts/batch.sh" --no-region tiles.txt 2000 input out datamask wetland "$process_tile" > run.txt 2>&1 ||
  status=$?
cat run.txt
check "the batch exits 1: one tile failed" [ "$status" -eq 1 ]
check "it says where the page is" grep -qxF "batch.sh: the batch page: $scratch/out/index.html (open it in a browser)" run.txt
check "the page is there, with nothing left under a temporary name" \
  bash -c '[ -s out/index.html ] && [ -z "$(find out -maxdepth 1 -name "index.html.tmp-*")" ]'

# browser OUTPUT_FILE ARGS...: headless Chromium on the page, its log in OUTPUT_FILE.log.
page_url="$("$python" -c 'import pathlib, sys; print(pathlib.Path(sys.argv[1]).as_uri())' "$scratch/out/index.html")"
browser() {
  browser_at "$page_url" "$@"
}
browser_at() {  # browser_at URL OUTPUT_FILE ARGS...
  local url="$1" out="$2" profile window="1300,1300"
  shift 2
  profile="$(mktemp -d "$scratch/profile.XXXXXX")"
  local flags=(--headless --disable-gpu --disable-quic --no-first-run --disable-background-networking
    --disable-component-update --disable-sync --user-data-dir="$profile" --hide-scrollbars
    --force-device-scale-factor=1 "--window-size=$window" --virtual-time-budget=5000
    --enable-logging=stderr --v=0)
  if [ "$(id -u)" -eq 0 ]; then flags+=(--no-sandbox); fi
  timeout 120 "$browser" "${flags[@]}" "$@" "$url" > "$out" 2> "$out.log"
}
start=$(date +%s)
check "chromium takes a screenshot of the page" browser shot.txt --screenshot="$scratch/shot.png"
check "chromium dumps the page's DOM after its script ran" browser dom.html --dump-dom
echo "chromium: $(( $(date +%s) - start )) s"
# The browser's console lines (CONSOLE) hold any message or uncaught error of the page's script.
check "nothing on the browser's console" bash -c '! grep -h CONSOLE shot.txt.log dom.html.log'
check "no script error kept in the page" bash -c '! grep -q "<html[^>]*data-script-errors" dom.html'
check "both tiles drawn" grep -q 'data-drawn="2"' dom.html
check "the done tile in the done colour, the failed tile in the failed colour" \
  "$python" "$here/page_pixels.py" dom.html shot.png "-60,10,$done_colour" "-58,12,$failed_colour"
# The same pixels against the swapped colours must fail: the check tells them apart.
check "... and the check fails with the colours swapped" \
  bash -c '! "$0" "$1" dom.html shot.png "-60,10,$2" "-58,12,$3" > swapped.txt' \
  "$python" "$here/page_pixels.py" "$failed_colour" "$done_colour"
check "the legend names each colour" \
  bash -c 'grep -q "background:$0\"></span>done (1)" out/index.html && grep -q "background:$1\"></span>failed (1)" out/index.html' \
  "$done_colour" "$failed_colour"
check "the failed tile's id is shown as text" grep -qF "<td>no&lt;input&gt;&amp;\"'x</td>" dom.html
# Like the region pictures (plain longitude and latitude): one scale both ways.
check "the map's degree east is as long as its degree north" "$python" -c '
import re, sys
tag = re.search(r"<canvas\b[^>]*\bid=\"map\"[^>]*>", open(sys.argv[1]).read()).group(0)
scale = dict(re.findall(r"\bdata-(k[xy])=\"([^\"]*)\"", tag))
sys.exit(not (float(scale["kx"]) > 0 and scale["kx"] == scale["ky"]))' dom.html
check "the summary table counts the done and the failed tile" \
  grep -qE '<tr><th><span class="swatch"[^>]*></span>done</th><td>1</td></tr>.*failed</th><td>1</td></tr>' \
  <(tr -d '\n' < out/index.html)
check "the batch id is explained under the title" grep -qE '<code>[0-9a-f]+</code> is the id of this batch run' out/index.html

# A click on the failed tile, as a user's: a copy of the page beside it (the
# same relative links) with a script at its end that clicks there.
"$python" - out/index.html out/click.html <<'EOF'
import sys
page = open(sys.argv[1], encoding="utf-8").read()
click = """<script>
var c = document.getElementById("map"), r = c.getBoundingClientRect();
c.dispatchEvent(new MouseEvent("click", {bubbles: true,
  clientX: r.left + (+c.dataset.ox) + (-58 + 0.33) * (+c.dataset.kx),
  clientY: r.top + (+c.dataset.oy) - (12 - 0.33) * (+c.dataset.ky)}));
</script></body>"""
open(sys.argv[2], "w", encoding="utf-8").write(page.replace("</body>", click))
EOF
click_url="$("$python" -c 'import pathlib, sys; print(pathlib.Path(sys.argv[1]).as_uri())' "$scratch/out/click.html")"
check "chromium clicks the failed tile" browser_at "$click_url" click.html --dump-dom
info="$("$python" -c 'import re, sys
found = re.search(r"<div id=\"info\">(.*?)</div></div>", open(sys.argv[1]).read(), re.S)
print(found.group(1) if found else "")' click.html)"
echo "after the click: $info"
check "... its panel names the tile and its state" \
  grep -qF "tile: </b>no&lt;input&gt;&amp;\"'x</div><div><b>state: </b>failed</div><div><b>exit: </b>1</div>" <<< "$info"
links='<a href="logs/tiles/no%3Cinput%3E%26%22%27x/record.json">record</a> '
links+='<a href="logs/tiles/no%3Cinput%3E%26%22%27x/out">out log</a> '
links+='<a href="logs/tiles/no%3Cinput%3E%26%22%27x/err">err log</a>'
check "... and links its record and logs relative to the page, the id percent-encoded" grep -qF "$links" <<< "$info"
check "... which lead to the tile's files" [ -s "out/logs/tiles/$bad/record.json" ]
check "no console line on the click either" bash -c '! grep -h CONSOLE click.html.log'

rm out/index.html
status=0
bash "$scripts/batch.sh" --report out > report.txt 2>&1 || status=$?
check "--report writes the page again" bash -c '[ "$0" -eq 0 ] && [ -s out/index.html ]' "$status"

# The forest accounts section, read in the browser as a user reads it: a page
# written by the package for a batch that asked for accounts and forest
# 10:5:0.5, with stand-in batch tables of 3 thresholds, 5 years and 60 zones
# (hostile names among them), forest tables of the same years and zones,
# and their manifest made here in the page's OUTPUT_DIR/accounts.
acc="$scratch/acc"
mkdir -p "$acc/accounts"
PYTHONDONTWRITEBYTECODE=1 "$python" - "$here/../.." "$acc" <<'EOF'
import csv, os, sys
root, out = sys.argv[1:]
sys.path.insert(0, root)
from tilebatch import accounts, page, report, tilejob
from tilebatch.records import Request, Row, State
from tilebatch.text import write_json

THRESHOLDS, YEARS = (10, 30, 50), range(2000, 2005)
NAMES = ["zone %02d" % k for k in range(60)]
NAMES[7] = '</script><b>z7</b> "q" & \u00e9 \u68ee'


def ha(micro):  # micro-hectares as the tables print them
    return "%d.%06d" % divmod(micro, 10**6)


def shown(micro):  # as the page shows them: to the hundredth, grouped
    return "{:,.2f}".format(micro / 10**6)


def cover(t, y):  # none left at 50 % in the last year
    return 0 if (t, y) == (50, 2004) else (1000 - 5 * t - 3 * (y - 2000)) * 10**6 + 123456


def loss(t, y):
    return (y - 2000) * (10 + t) * 10**4 + 4000


def zone_loss(k, t):  # distinct for each zone, in another order at each threshold
    return ((k * 37 + t) % 61) * 10**4


# Forest: less than the cover at 10 %, falling; its loss less than the
# cover's, uneven, none in 2000, so that each bar stands at its own height.
def forest(y):
    return (700 - 7 * (y - 2000)) * 10**6 + 654321


def forest_loss(y):
    return (0, 31013, 124007, 62021, 93005)[y - 2000]


def zone_forest_loss(k, y):  # distinct totals for each zone, in another order than the cover's
    return 0 if y == 2000 else ((k * 17 + 5) % 61) * 10**4 + (y - 2000)


with open(os.path.join(out, "accounts", "batch_accounts.csv"), "w", newline="") as f:
    w = csv.writer(f, lineterminator="\n")
    w.writerow(["threshold", "year", "land_ha", "cover_ha", "loss_ha", "height_mean"])
    for t in THRESHOLDS:
        for y in YEARS:
            w.writerow([t, y, ha(1000 * 10**6), ha(cover(t, y)), ha(loss(t, y)),
                        ha(12300000 + t * 10**4) if cover(t, y) else ""])
with open(os.path.join(out, "accounts", "batch_zone_accounts.csv"), "w", newline="") as f:
    w = csv.writer(f, lineterminator="\n")
    w.writerow(["zone", "threshold", "year", "land_ha", "cover_ha", "loss_ha", "height_mean"])
    for k, name in enumerate(NAMES):
        for t in THRESHOLDS:
            for y in YEARS:
                w.writerow([name, t, y, ha(50 * 10**6), ha(40 * 10**6 - t * 10**5), ha(zone_loss(k, t)), ha(10**7)])
with open(os.path.join(out, "accounts", "batch_forest.csv"), "w", newline="") as f:
    w = csv.writer(f, lineterminator="\n")
    w.writerow(["year", "forest_ha", "forest_loss_ha"])
    for y in YEARS:
        w.writerow([y, ha(forest(y)), ha(forest_loss(y))])
with open(os.path.join(out, "accounts", "batch_zone_forest.csv"), "w", newline="") as f:
    w = csv.writer(f, lineterminator="\n")
    w.writerow(["zone", "year", "forest_ha", "forest_loss_ha"])
    for k, name in enumerate(NAMES):
        for y in YEARS:
            w.writerow([name, y, ha((30 + k) * 10**6 - y), ha(zone_forest_loss(k, y))])
with open(os.path.join(out, "forest_years.txt"), "w") as f:  # beside it, the cover and loss at 10 %
    for y in YEARS:
        f.write("\t".join([str(y), shown(forest(y)), shown(forest_loss(y)), shown(cover(10, y)), shown(loss(10, y))])
                + "\n")
with open(os.path.join(out, "forest_zones.txt"), "w") as f:
    total = {k: sum(zone_forest_loss(k, y) for y in YEARS) for k in range(60)}
    for k in sorted(range(60), key=lambda k: -total[k])[:50]:
        f.write("\t".join([NAMES[k], shown((30 + k) * 10**6 - 2000), shown((30 + k) * 10**6 - 2004),
                           shown(total[k])]) + "\n")
# What the page must show: a threshold's figures a year, and its 50 zones of largest loss.
for t in (30, 50):
    with open(os.path.join(out, "years_%d.txt" % t), "w") as f:
        for y in YEARS:
            f.write("\t".join([str(y), "1,000.00", shown(cover(t, y)), shown(loss(t, y)),
                               shown(12300000 + t * 10**4) if cover(t, y) else "-"]) + "\n")
    with open(os.path.join(out, "zones_%d.txt" % t), "w") as f:
        ranked = sorted(range(60), key=lambda k: -zone_loss(k, t))[:50]
        f.writelines("%s\t%s\n" % (NAMES[k], shown(5 * zone_loss(k, t))) for k in ranked)

# The manifest the end of a batch writes beside its tables, for this request:
# the page reads the tables through it, as it reads a real batch's.
zones = os.path.join(out, "zones <forest>&.txt")
with open(zones, "w") as f:
    f.write("stand-in zones\n")
req = Request(tiles=[("ok", "-60", "10")], last_year=2004, input_dir="/in", output_dir=out, datamask_dir="/m",
              wetland_dir="/w", process_tile="/p", logs=os.path.join(out, "logs"), batch_id="acc",
              tile_accounts="/ta", thresholds="10,30,50", zones=zones, zone_field="name",
              zones_identity=tilejob.zones_identity(zones), forest="10:5:0.5", connectivity=8)
tables = {n: tilejob.file_identity(os.path.join(req.accounts_dir, n)) for n in (
    "batch_accounts.csv", "batch_zone_accounts.csv", "batch_forest.csv", "batch_zone_forest.csv")}
write_json(os.path.join(req.accounts_dir, "batch_accounts.json"), accounts.manifest_of(req, tables))
rows = [Row("ok", State.DONE)]
page.write(req, rows, "records", report.summarize(rows))
# A user's pick of another threshold: a copy of the page beside it whose
# last script picks 50 % once the page's own have run.
with open(os.path.join(out, "index.html"), encoding="utf-8") as f:
    text = f.read()
pick = """<script>window.addEventListener("load", function () {
  var s = document.getElementById("acc-threshold");
  s.value = "50";
  s.dispatchEvent(new Event("change", {bubbles: true}));
});</script></body>"""
with open(os.path.join(out, "pick.html"), "w", encoding="utf-8") as f:
    f.write(text.replace("</body>", pick))
# The forest part alone in the window: what lies above it hidden.
alone = "<style>body > * { display: none !important; } #forest, #forest ~ * { display: revert !important; }</style></head>"
with open(os.path.join(out, "forest.html"), "w", encoding="utf-8") as f:
    f.write(text.replace("</head>", alone, 1))
EOF
accounts="$here/page_accounts.py"
acc_url="$("$python" -c 'import pathlib, sys; print(pathlib.Path(sys.argv[1]).as_uri())' "$acc/index.html")"
pick_url="$("$python" -c 'import pathlib, sys; print(pathlib.Path(sys.argv[1]).as_uri())' "$acc/pick.html")"
check "chromium reads the page with accounts" browser_at "$acc_url" acc.html --dump-dom
check "... and the page with 50 % picked" browser_at "$pick_url" pick.html --dump-dom
check "no console line nor script error on either" \
  bash -c '! grep -h CONSOLE acc.html.log pick.html.log && ! grep -q "<html[^>]*data-script-errors" acc.html pick.html'
check "the chart is drawn at 30 %, a cover bar and a loss bar for each of the 5 years" \
  grep -qxF "threshold=30 years=5 cover_bars=5 loss_bars=5" <("$python" "$accounts" acc.html chart)
check "the figures under it are the batch table's at 30 %" diff <("$python" "$accounts" acc.html years) "$acc/years_30.txt"
check "picking 50 % draws the chart again at 50 %" \
  grep -qxF "threshold=50 years=5 cover_bars=5 loss_bars=5" <("$python" "$accounts" pick.html chart)
check "... and shows the figures at 50 %, other than at 30 %" \
  bash -c 'diff <("$0" "$1" pick.html years) "$2/years_50.txt" && ! cmp -s "$2/years_30.txt" "$2/years_50.txt"' \
  "$python" "$accounts" "$acc"
check "beside the totals, the cover against 2000 at 30 %, each bar read back from its drawn ends" \
  "$python" "$accounts" acc.html change cover-change "$acc/accounts/batch_accounts.csv" cover_ha 30
check "... and at 50 % once picked" \
  "$python" "$accounts" pick.html change cover-change "$acc/accounts/batch_accounts.csv" cover_ha 50
check "... which the 30 % figures are not" \
  bash -c '! "$0" "$1" pick.html change cover-change "$2" cover_ha 30 > change_other.txt' \
  "$python" "$accounts" "$acc/accounts/batch_accounts.csv"
check "the loss of 2000 said to be 0 and why, under its figures" \
  grep -qF "The loss of 2000 is 0 at every threshold above 0" acc.html
check "the zone table: 50 of the 60 zones, said so" \
  bash -c 'zones="$("$0" "$1" acc.html zones)" && grep -qF "The 50 of 60 zones with the largest loss at 30 %" <<< "${zones%%$'"'"'\n'"'"'*}"' \
  "$python" "$accounts"
check "... ordered by loss, largest first, hostile names as text" \
  diff <("$python" "$accounts" acc.html zones | tail -n +2 | cut -f1,5) "$acc/zones_30.txt"
check "... and ordered again at 50 %" \
  diff <("$python" "$accounts" pick.html zones | tail -n +2 | cut -f1,5) "$acc/zones_50.txt"
check "the links lead to the tables from the page's directory" \
  bash -c 'grep -qF "<a href=\"accounts/batch_accounts.csv\">" "$0/index.html" &&
           grep -qF "<a href=\"accounts/batch_zone_accounts.csv\">" "$0/index.html" &&
           [ -s "$0/accounts/batch_accounts.csv" ] && [ -s "$0/accounts/batch_zone_accounts.csv" ]' "$acc"

# Forest by definition, beside the cover.
check "the forest definition in words" grep -qF "Forest: land with canopy cover (TCC) at least 10 % and canopy height \
(TCH, in the products' units) at least 5, in patches of at least 0.5 ha joined through their 8 neighbours (corners \
too), each patch measured whole across the tiles it runs through" acc.html
check "the forest chart's bars, as drawn, are the forest table's figures, year by year" \
  "$python" "$accounts" acc.html forest "$acc/accounts/batch_forest.csv"
check "... and the check fails against another table" \
  bash -c '! "$0" "$1" acc.html forest <(sed "3s/,[0-9.]*,/,1.000000,/" "$2") > forest_other.txt' \
  "$python" "$accounts" "$acc/accounts/batch_forest.csv"
check "beside it, the forest against 2000, each bar read back from its drawn ends" \
  "$python" "$accounts" acc.html change forest-change "$acc/accounts/batch_forest.csv" forest_ha
check "... and the check fails against another table" \
  bash -c '! "$0" "$1" acc.html change forest-change <(sed "3s/,[0-9.]*,/,1.000000,/" "$2") forest_ha > change_forest_other.txt' \
  "$python" "$accounts" "$acc/accounts/batch_forest.csv"
check "the figures under it are the table's, the tree cover and loss at 10 % beside them" \
  diff <("$python" "$accounts" acc.html forest-years) "$acc/forest_years.txt"
check "the forest zone table: 50 of the 60 zones, said so" \
  bash -c 'first="$("$0" "$1" acc.html forest-zones | sed -n 1p)"; [[ "$first" == *"The 50 of 60 zones with the largest forest loss"* ]]' \
  "$python" "$accounts"
check "... ordered by forest loss, largest first, hostile names as text" \
  diff <("$python" "$accounts" acc.html forest-zones | tail -n +2) "$acc/forest_zones.txt"
check "the links lead to the forest tables" \
  bash -c 'grep -qF "<a href=\"accounts/batch_forest.csv\">" "$0/index.html" &&
           grep -qF "<a href=\"accounts/batch_zone_forest.csv\">" "$0/index.html"' "$acc"
# The screenshot of the forest chart, in a copy of the page whose parts
# above the forest are hidden (a style added to it), so that the chart lies
# in the browser's window; its DOM, dumped as the screenshot is taken, says
# where the page's script drew it.
forest_url="$("$python" -c 'import pathlib, sys; print(pathlib.Path(sys.argv[1]).as_uri())' "$acc/forest.html")"
check "chromium takes a screenshot of the forest chart" browser_at "$forest_url" forest_shot.txt --screenshot="$scratch/forest.png"
check "... and dumps its DOM" browser_at "$forest_url" forest_dom.html --dump-dom
check "the forest bars stand in their colours to their tops in the screenshot" \
  "$python" "$accounts" forest_dom.html forest-pixels forest.png

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed; files in $scratch" >&2
  exit 1
fi
rm -rf "$scratch"
echo "all batch page checks passed"
