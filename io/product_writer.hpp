// Writing the annual products: for each year from 2000 to the last year, the
// filtered canopy cover (TCC), canopy height (TCH) and thinned loss (Loss) as
// one-band byte HFA rasters georeferenced in WGS84.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "io/temporary_products.hpp"
#include "run/progress.hpp"
#include "tile/tile.hpp"

namespace pt {

struct ProductPaths {
    std::string output_dir;
    std::string tile_id;
};

// One product to write: its path in output_dir, its file name there and the
// cube layer it carries.
struct ProductWrite {
    std::string path;
    std::string file_name;
    const uint8_t* source;
};

// Every product in write order: TCC, TCH, Loss of 2000, then of 2001, ...
std::vector<ProductWrite> product_plan(const ProductPaths& paths, int last_year,
                                       const TileMemory& tile);

// The path of the first product of the plan (TCC of 2000), which the line
// of an output directory that cannot take products names.
std::string first_product_path(const ProductPaths& paths);

// (origin_x, PIXEL_SIZE, 0, origin_y, 0, -PIXEL_SIZE): row 0 is the northern edge.
std::array<double, 6> product_geotransform(double origin_x, double origin_y);

// WKT text of the WGS84 geographic coordinate system.
std::string wgs84_wkt();

// Writes every product of the plan with GDAL; with several workers each
// encodes whole files. The HFA driver is looked up before anything in
// output_dir is touched; then TemporaryProducts takes the tile's lock,
// clears what dead runs left and makes the run's private directory. Each
// product is encoded there under its final file name and handed over, to be
// flushed and renamed into output_dir on a thread of its own, replacing an
// older product (or whatever was planted under its name) in one step. Last,
// output_dir itself is flushed, so that the new names survive a power cut
// too. On failure the line names the first failing product of the plan;
// whatever the outcome, the run leaves nothing in output_dir but products.
void write_products(const ProductPaths& paths, int last_year, double origin_x, double origin_y,
                    const TileMemory& tile, int workers = 1,
                    Progress& progress = Progress::silent(), Flushing flushing = Flushing::to_disk);

}  // namespace pt
