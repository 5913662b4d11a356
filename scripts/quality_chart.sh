#!/usr/bin/env bash
# Draws the chart of a quality table (the CSV that tile_quality writes, or the
# batch totals in the same columns): above, each flag's pixel-years as a
# percentage of the filtered pixels of that year; below, the pixels with loss
# in the input and after thinning, as counts. gnuplot draws it, headless
# (pngcairo), straight from the CSV.
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

# gnuplot takes the title and paths as variables, so no quoting in them can
# turn into gnuplot commands.
gnuplot -e "table='${table//\'/\'\'}'; chart='${chart//\'/\'\'}'; chart_title='${title//\'/\'\'}'" /dev/stdin <<'GNUPLOT'
set datafile separator ','
set terminal pngcairo size 1100,800 noenhanced font ',10'
set output chart
set key outside right top
# Ten distinct colours, so that no two flags share one.
array palette[10] = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b', '#e377c2', '#7f7f7f', '#bcbd22', '#17becf']
do for [i=1:10] { set linetype i linecolor rgb palette[i] linewidth 2 pointtype i }
# The same plot area in both panels, so their years line up.
set lmargin at screen 0.09
set rmargin at screen 0.80
set grid ytics
set xtics 1 rotate by 90 right
set multiplot layout 2,1 title chart_title
set ylabel 'share of filtered pixels (%)'
set yrange [0:*]
share(c) = column('filtered') > 0 ? 100.0 * column(c) / column('filtered') : NaN
plot for [c in 'invalid jump repaired interpolated post_loss height_filled height_capped height_smoothed tcc_changed'] \
     table using 'year':(share(c)) with linespoints title c
set ylabel 'pixels with loss'
set format y '%.0f'
plot for [c in 'loss_in loss_kept'] table using 'year':c with linespoints title c
unset multiplot
GNUPLOT
[ -s "$chart" ] || { echo "$chart was not drawn" >&2; exit 1; }
