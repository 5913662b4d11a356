// Writing the annual products: for each year from 2000 to the last year, the
// filtered canopy cover (TCC), canopy height (TCH) and thinned loss (Loss) as
// one-band byte HFA rasters georeferenced in WGS84.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tile/progress.hpp"
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

// Products are written under a temporary name beside their final one,
// "<dir>/.tmp-<pid>-<file name>" (the ".img" ending kept for the HFA
// driver), and renamed only once written, closed and flushed to disk: a run
// killed at any moment leaves no half-written file under a product's name,
// and runs of other tiles into the same directory never share a name.
std::string temporary_product_path(const std::string& path, long pid);

// The pid in `file_name` when it is a temporary product of tile `tile_id`
// (".tmp-<pid>-<TCC|TCH|Loss>_<year>_<tile_id>.img"); nothing otherwise.
std::optional<long> temporary_product_pid(const std::string& file_name,
                                          const std::string& tile_id);

// Removes the temporary products of the tile left in output_dir by runs that
// no longer exist (killed ones). Those of live processes and of other tiles
// stay; a directory that cannot be listed is left to the writes to report.
void remove_stale_temporaries(const ProductPaths& paths);

// Creates, georeferences, writes and closes one product under its temporary
// name, then renames it to `path`, replacing an older product. Throws
// RunFailure naming `path` when it cannot be created, written, closed or
// renamed; the temporary file is removed then.
void write_product(GDALDriver* driver, const std::string& path,
                   const std::array<double, 6>& geotransform, const std::string& wkt,
                   const uint8_t* layer, int width, int height);

// Writes every product of the plan; with several workers each writes whole
// files. The HFA driver is looked up before any file exists, then stale
// temporary products of the tile are removed. On failure the line names the
// first failing product of the plan, and no temporary file of this run is
// left behind.
void write_products(const ProductPaths& paths, int last_year, double origin_x, double origin_y,
                    const TileMemory& tile, int workers = 1,
                    Progress& progress = Progress::silent());

}  // namespace pt
