# The chart of a quality table: above, each flag's pixel-years as a
# percentage of the filtered pixels of that year; below, the pixels with loss
# in the input and after thinning, as counts. Expects the variables table
# (the CSV), chart (the PNG to write) and chart_title; tile_quality and
# scripts/quality_chart.sh set them, so no text of theirs is read as commands.
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
