# The chart of a quality table: above, each flag's pixel-years as a
# percentage of the filtered pixels of that year; below, the pixels with loss
# in the input and after thinning, as counts.
#
#   gnuplot -c quality_chart.gp TABLE CHART TITLE
#
# gnuplot's call mechanism hands the three arguments over as the string
# variables ARG1 to ARG3: their text is never read as gnuplot syntax, so a
# title or path with quotes, backslashes, '@', '$' or backquotes is drawn or
# opened as written. tile_quality runs this program the same way, with the
# table as the datablock $table ahead of it and the chart on /dev/stdout.
# A path that gnuplot would take for a command ('<...' read from, '|...'
# written to) or a special file ('-', '+') must come with a directory in
# front; scripts/quality_chart.sh puts ./ before a relative one.
table = ARG1
chart = ARG2
chart_title = ARG3
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
# How many pixels the cleaning went through each year: the base of every share.
stats table using (column('filtered')) nooutput
filtered_text = STATS_min == STATS_max ? sprintf('%.0f pixels filtered each year', STATS_max) \
              : sprintf('%.0f to %.0f pixels filtered a year', STATS_min, STATS_max)
set multiplot layout 2,1 title chart_title . "\n" . filtered_text
set xlabel 'year'
set ylabel 'share of filtered pixels (%)'
set yrange [0:*]
share(c) = column('filtered') > 0 ? 100.0 * column(c) / column('filtered') : NaN
plot for [c in 'invalid jump repaired interpolated post_loss height_filled height_capped height_smoothed tcc_changed'] \
     table using 'year':(share(c)) with linespoints title c
set ylabel 'pixels with loss'
set format y '%.0f'
plot for [c in 'loss_in loss_kept'] table using 'year':c with linespoints title c
unset multiplot
