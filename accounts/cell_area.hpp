// The ground area of the cells of a north-up grid in longitude and latitude
// on the WGS84 ellipsoid. A cell bounded by two meridians and two parallels
// has an exact area (the ellipsoidal zone between the parallels, cut by the
// meridians); it depends on the cell's row only, so a tile needs one value a
// row. A sphere or a plane would be off by more than 0.1 % at high latitudes.
#pragma once

#include <vector>

namespace pt {

// Square metres of the cell between latitudes `lat_a` and `lat_b` (degrees,
// either order) that is `width_deg` degrees of longitude wide.
double cell_area_m2(double lat_a, double lat_b, double width_deg);

// Square metres of one cell of each of `rows` rows, top row first, for a grid
// whose top edge is at latitude `top_lat` with cells `cell_width_deg` wide and
// `cell_height_deg` high (both positive; rows run south).
std::vector<double> row_cell_areas_m2(double top_lat, double cell_width_deg, double cell_height_deg,
                                      int rows);

}  // namespace pt
