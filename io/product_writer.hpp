// Writing the annual products: for each year from 2000 to the last year, the
// filtered canopy cover (TCC), canopy height (TCH) and thinned loss (Loss) as
// one-band byte HFA rasters georeferenced in WGS84.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "tile/tile.hpp"

class GDALDriver;

namespace pt {

struct ProductPaths {
    std::string output_dir;
    std::string tile_id;
};

// One product to write: its file name and the cube layer it carries.
struct ProductWrite {
    std::string path;
    const uint8_t* source;
};

// Every product in write order: TCC, TCH, Loss of 2000, then of 2001, ...
std::vector<ProductWrite> product_plan(const ProductPaths& paths, int last_year,
                                       const TileMemory& tile);

// (origin_x, PIXEL_SIZE, 0, origin_y, 0, -PIXEL_SIZE): row 0 is the northern edge.
std::array<double, 6> product_geotransform(double origin_x, double origin_y);

// WKT text of the WGS84 geographic coordinate system.
std::string wgs84_wkt();

// The HFA driver; throws RunFailure("no driver") when GDAL lacks it.
GDALDriver* hfa_driver();

// Creates, georeferences, writes and closes one product. Throws RunFailure
// naming the file when it cannot be created, written or closed.
void write_product(GDALDriver* driver, const std::string& path,
                   const std::array<double, 6>& geotransform, const std::string& wkt,
                   const uint8_t* layer, int width, int height);

// Writes every product of the plan; with several workers each writes whole
// files. The HFA driver is looked up before any file exists. On failure the
// line names the first failing product of the plan.
void write_products(const ProductPaths& paths, int last_year, double origin_x, double origin_y,
                    const TileMemory& tile, int workers = 1);

}  // namespace pt
