#!/usr/bin/env bash
# Draws the chart of a quality table (the CSV that tile_quality writes, or the
# batch totals in the same columns) with gnuplot, headless (pngcairo),
# straight from the CSV: quality_chart.gp, the program tile_quality also runs.
#
#   quality_chart.sh TABLE.csv CHART.png TITLE
set -euo pipefail

prog="${0##*/}"
usage() {
  cat <<EOF
usage: $prog TABLE.csv CHART.png TITLE

Draws the chart of a quality table (tile_quality's <tile_id>_quality.csv, or
batch totals in the same columns) into CHART.png under TITLE, with gnuplot
(Debian package gnuplot-nox) and the program quality_chart.gp beside this
script. The title and paths are handed to gnuplot as arguments, never read as
gnuplot commands. gnuplot is looked for in the absolute directories of PATH
only. An argument that begins with '-' is taken for an option unless '--'
comes before it.
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_options.sh"
# shellcheck source=scripts/pictures.sh
. "$(dirname "${BASH_SOURCE[0]}")/pictures.sh"
take_no_options "$@"
if [ "${1:-}" = "--" ]; then shift; fi
[ $# -eq 3 ] || { echo "usage: $0 TABLE.csv CHART.png TITLE" >&2; exit 2; }
table="$1" chart="$2" title="$3"

gnuplot="$(find_gnuplot)" || { echo "gnuplot missing (Debian package gnuplot-nox)" >&2; exit 1; }
expected_header="year,filtered,invalid,jump,repaired,interpolated,post_loss,height_filled,height_capped,height_smoothed,tcc_changed,loss_in,loss_kept"
IFS= read -r header < "$table" || true
[ "$header" = "$expected_header" ] || { echo "$table: not a quality table (its header is not: $expected_header)" >&2; exit 1; }
[ "$(wc -l < "$table")" -ge 2 ] || { echo "$table: no years" >&2; exit 1; }

# gnuplot reads a file name that begins with '<' as a command to read from,
# an output name that begins with '|' as one to write to, and '-' or '+' as
# special files: a relative path goes with ./ in front, so each is a file.
table_arg="$table" chart_arg="$chart"
[[ "$table" == /* ]] || table_arg="./$table"
[[ "$chart" == /* ]] || chart_arg="./$chart"
# gnuplot's call mechanism: the words after the program become ARG1 to ARG3,
# strings it never parses, so no title or path can break or extend the program.
status=0
"$gnuplot" -c "$(dirname "${BASH_SOURCE[0]}")/quality_chart.gp" "$table_arg" "$chart_arg" "$title" ||
  status=$?
# A gnuplot that stopped while writing leaves a PNG without its end.
if [ "$status" -ne 0 ] || ! whole_png "$chart"; then
  echo "$chart was not drawn" >&2
  exit 1
fi
