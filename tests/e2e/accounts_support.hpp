// Helpers for the tests of tile_accounts: running it, small rasters in
// WGS84, the ellipsoid's cell areas worked out apart from the program's, and
// its tables read back.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "e2e_support.hpp"

namespace pt::e2e {

// Runs tile_accounts with standard error in the captured output; one that
// hangs is ended after a minute (exit status -1).
ProgramResult run_tile_accounts(const std::vector<std::string>& args);

// Square metres between two latitudes and across `width_deg` of longitude
// on the WGS84 ellipsoid: the closed form of the area of an ellipsoidal zone
// (b^2 / 2 times the difference of q(phi) = sin/(1 - e^2 sin^2) +
// atanh(e sin)/e), worked out here apart from the program's own.
double ellipsoid_cell_m2(double lat_a, double lat_b, double width_deg);

// WGS84 longitude and latitude as WKT.
std::string wgs84_wkt();

// Writes a one-band raster of bytes, value(row, column), with OGR's raster
// `driver`, the geotransform `gt` and the coordinate system `wkt` (fails
// the test on error).
void write_byte_raster(const fs::path& path, const char* driver, int width, int height,
                       const std::function<uint8_t(int, int)>& value,
                       const std::array<double, 6>& gt, const std::string& wkt = wgs84_wkt());

// The lines of a table after its header (into `header` when given), each
// split at its commas: for tables whose only quoted field could be a
// zone's name, and tests whose names hold no comma.
std::vector<std::vector<std::string>> table_rows(const fs::path& path, std::string* header);

}  // namespace pt::e2e
