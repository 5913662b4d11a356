#!/usr/bin/env bash
# The batch page in a real browser: a real batch through scripts/batch.sh
# (GNU parallel, --no-region) of a generated tile that is done and a tile
# whose inputs do not exist and whose id holds < & " ', on distinct origins;
# then OUTPUT_DIR/index.html opened in headless Chromium: the screenshot's
# pixels at each tile's place on the map have its state's colour, the page's
# script ran without an error (nothing on the console, no error kept in the
# page), the map is drawn a degree east as long as a degree north, the
# summary table counts the states, a click on the failed tile shows it with
# links to its files, and --report writes the page again. Exits 77 (skipped) where
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
  local url="$1" out="$2" profile window="1300,1100"
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

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed; files in $scratch" >&2
  exit 1
fi
rm -rf "$scratch"
echo "all batch page checks passed"
