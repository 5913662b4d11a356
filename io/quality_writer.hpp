// Writing a tile's quality files into quality_dir: one QA raster per output
// year (one byte of flags per pixel, GeoTIFF in the cloud-optimised layout,
// DEFLATE, georeferenced as the products are), and ready-made files beside
// them (the table and the chart). Everything reaches its final name as the
// products do (io/temporary_products.hpp): whole, flushed, renamed in one
// step, under the tile's lock in quality_dir.
#pragma once

#include <string>
#include <vector>

#include "run/progress.hpp"
#include "tile/tile.hpp"

namespace pt {

struct QualityPaths {
    std::string quality_dir;
    std::string tile_id;
};

// A file whose bytes the caller made, to be written under `file_name`.
struct QualityFile {
    std::string file_name;
    std::string bytes;
};

// "QA_<year>_<tile_id>.tif".
std::string quality_raster_name(int year, const std::string& tile_id);

// Writes QA_<year>_<tile_id>.tif for each year from 2000 to last_year from
// flags.layer(year - FIRST_YEAR), then `files`. Throws RunFailure naming the
// first file of that order that fails: "<path> cannot be created" or
// "<path> cannot be written".
void write_quality_files(const QualityPaths& paths, int last_year, double origin_x, double origin_y,
                         const YearCube& flags, const std::vector<QualityFile>& files, int workers,
                         Progress& progress = Progress::silent());

}  // namespace pt
