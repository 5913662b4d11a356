# The picture of one product raster, for a person: the raster in the
# product's colours, with a title, longitude and latitude axes, the colour
# ramp with its unit as a legend, and "no tile" drawn white, named in the
# legend where NO_TILE is 1 (the raster holds some).
#
#   gnuplot -c picture.gp RASTER PNG TITLE PRODUCT GEOMETRY NO_TILE
#
# RASTER is one band of 32-bit floats in this machine's byte order, rows from
# the north (GDAL's ENVI format); a value below 0 means no tile. GEOMETRY is
# "COLUMNS ROWS WEST SOUTH STEP_X STEP_Y SCALE": the raster's size, the
# longitude and latitude of its lower-left corner, its pixel size in degrees
# east and south, and how many picture pixels each raster pixel takes (the plot area is exactly COLUMNS x
# ROWS times SCALE pixels, so nothing is resampled again). PRODUCT is TCC,
# TCH or Loss; Loss rasters hold the fraction of pixels with loss (0 to 1).
# gnuplot's call mechanism hands the words over as strings it never parses,
# so a title or path with quotes or '@' is drawn or opened as written.
raster = ARG1
picture = ARG2
picture_title = ARG3
product = ARG4
columns = int(word(ARG5, 1))
rows = int(word(ARG5, 2))
west = real(word(ARG5, 3))
south = real(word(ARG5, 4))
step_x = real(word(ARG5, 5))
step_y = real(word(ARG5, 6))
scale = int(word(ARG5, 7))
shows_no_tile = ARG6 eq '1'

left = 90
right = 260
top = 50
bottom = 60
plot_width = columns * scale
plot_height = rows * scale
# The legend (the key, then the colour ramp below it) hangs from the top of
# the plot; a flat plot (a row of tiles) gets room below it for the ramp.
key_height = 80
ramp_height = plot_height * 0.6 > 250 ? plot_height * 0.6 : 250
body = plot_height > key_height + ramp_height ? plot_height : key_height + ramp_height
width = plot_width + left + right
height = body + top + bottom
set terminal pngcairo size width, height noenhanced font ',11'
set output picture
set lmargin at screen 1.0 * left / width
set rmargin at screen 1.0 - 1.0 * right / width
set tmargin at screen 1.0 - 1.0 * top / height
set bmargin at screen 1.0 - 1.0 * (top + plot_height) / height
set title picture_title
set xlabel 'longitude (degrees)'
set ylabel 'latitude (degrees)'
set xrange [west : west + columns * step_x]
set yrange [south : south + rows * step_y]
set tics out nomirror
set format x '%g'
set format y '%g'

# The ramps: pale sand to dark green for cover; grey for no height, then
# yellow through green and blue to purple; grey for no loss, then orange to
# dark red as the share of pixels with loss grows.
if (product eq 'TCC') {
    set palette defined (0 '#ebe1c3', 10 '#d7dca0', 30 '#96c364', 60 '#3c9137', 100 '#004b19')
    set cbrange [0 : 100]
    set cblabel 'canopy cover (%)'
    zero_colour = '#ebe1c3'
    zero_title = 'no cover (0)'
    factor = 1.0
} else {
    if (product eq 'TCH') {
        set palette defined (0 '#c8c8c8', 0.5 '#c8c8c8', 1 '#fde725', 8 '#7ad151', 16 '#22a884', \
                             24 '#2a788e', 32 '#414487', 45 '#440154')
        set cbrange [0 : 45]
        set cblabel "canopy height (the layer's unit)"
        zero_colour = '#c8c8c8'
        zero_title = 'no height (0)'
        set cbtics add ('45+' 45)
        factor = 1.0
    } else {
        set palette defined (0 '#969696', 0.01 '#fdd49e', 2 '#fc8d59', 10 '#d7301f', 25 '#7f0000')
        set cbrange [0 : 25]
        set cblabel 'pixels with loss (%)'
        zero_colour = '#969696'
        zero_title = 'no loss (0)'
        set cbtics add ('25+' 25)
        factor = 100.0
    }
}
set colorbox user origin screen 1.0 - (right - 20.0) / width, screen 1.0 - (top + key_height + ramp_height) / (1.0 * height) \
    size screen 22.0 / width, screen ramp_height / (1.0 * height)
# The key names the colour of 0, a sliver at the foot of the ramp, and the
# one colour that is not on it.
set key at screen 1.0 - (right - 10.0) / width, screen 1.0 - 1.0 * top / height top left Left reverse \
    samplen 1.5 spacing 1.4 box
set style fill solid 1.0 border rgb '#000000'

# The colour of no tile is named only in a picture that shows it: a lone
# tile's picture has none.
if (shows_no_tile) {
    plot raster binary array=(columns, rows) format='%float32' flipy \
             origin=(west + step_x / 2, south + step_y / 2) dx=step_x dy=step_y \
             using ($1 < 0 ? NaN : factor * $1) with image notitle, \
         keyentry with boxes fillcolor rgb zero_colour title zero_title, \
         keyentry with boxes fillcolor rgb '#ffffff' title 'no tile'
} else {
    plot raster binary array=(columns, rows) format='%float32' flipy \
             origin=(west + step_x / 2, south + step_y / 2) dx=step_x dy=step_y \
             using ($1 < 0 ? NaN : factor * $1) with image notitle, \
         keyentry with boxes fillcolor rgb zero_colour title zero_title
}
