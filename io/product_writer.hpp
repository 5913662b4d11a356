// Writing the annual products: for each year from 2000 to the last year, the
// filtered canopy cover (TCC), canopy height (TCH) and thinned loss (Loss) as
// one-band byte HFA rasters georeferenced in WGS84.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "run/progress.hpp"
#include "tile/tile.hpp"

class GDALDriver;

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

// (origin_x, PIXEL_SIZE, 0, origin_y, 0, -PIXEL_SIZE): row 0 is the northern edge.
std::array<double, 6> product_geotransform(double origin_x, double origin_y);

// WKT text of the WGS84 geographic coordinate system.
std::string wgs84_wkt();

// The HFA driver; throws RunFailure("no driver") when GDAL lacks it.
GDALDriver* hfa_driver();

// Whether the products are flushed to disk before the run may say it has
// written them. Only the benchmark's I/O floor leaves the flushing to the
// kernel, to show what durability costs; a run always flushes.
enum class Flushing { to_disk, none };

// Writes every product of the plan; with several workers each encodes whole
// files. The HFA driver is looked up before anything in output_dir is
// touched. Then the run takes the tile's lock (TileLock), removes what dead
// runs of the tile left (remove_stale_temporaries) and makes its private
// directory (PrivateDirectory); each product is encoded there under its
// final file name, and a thread of its own flushes it and renames it into
// output_dir, replacing an older product (or whatever was planted under its
// name) in one step. Last, output_dir itself is flushed, so that the new
// names survive a power cut too. On failure the line names the first failing
// product of the plan; whatever the outcome, the run leaves nothing in
// output_dir but products.
void write_products(const ProductPaths& paths, int last_year, double origin_x, double origin_y,
                    const TileMemory& tile, int workers = 1,
                    Progress& progress = Progress::silent(),
                    Flushing flushing = Flushing::to_disk);

}  // namespace pt
