#!/usr/bin/env bash
# Draws the chart of a quality table (the CSV that tile_quality writes, or the
# batch totals in the same columns) with gnuplot, headless (pngcairo),
# straight from the CSV: quality_chart.gp, the program tile_quality also runs.
#
#   quality_chart.sh TABLE.csv CHART.png TITLE
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 TABLE.csv CHART.png TITLE" >&2; exit 2; }
table="$1" chart="$2" title="$3"
command -v gnuplot >/dev/null || { echo "gnuplot missing (Debian package gnuplot-nox)" >&2; exit 1; }
expected_header="year,filtered,invalid,jump,repaired,interpolated,post_loss,height_filled,height_capped,height_smoothed,tcc_changed,loss_in,loss_kept"
IFS= read -r header < "$table" || true
[ "$header" = "$expected_header" ] || { echo "$table: not a quality table (its header is not: $expected_header)" >&2; exit 1; }
[ "$(wc -l < "$table")" -ge 2 ] || { echo "$table: no years" >&2; exit 1; }

# gnuplot takes the title and paths as variables (quotes doubled, as its
# single-quoted strings want), so no text in them can turn into commands.
quote() { local s="${1//\'/\'\'}"; printf "'%s'" "$s"; }
gnuplot -e "table=$(quote "$table"); chart=$(quote "$chart"); chart_title=$(quote "$title")" \
  "$(dirname "$0")/quality_chart.gp"
[ -s "$chart" ] || { echo "$chart was not drawn" >&2; exit 1; }
