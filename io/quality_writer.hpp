// Writing a tile's quality files into quality_dir: one QA raster per output
// year (one quality word of flags per pixel, GeoTIFF in the cloud-optimised
// layout, DEFLATE, georeferenced as the products are; the band names its
// bits, and an internal mask marks the pixels outside the datamask as no
// data), and ready-made files beside them (the table and the chart). Everything reaches its final
// name as the products do (io/temporary_products.hpp): whole, flushed, renamed in one step, under
// the tile's lock in quality_dir.
#pragma once

#include <string>
#include <vector>

#include "run/progress.hpp"
#include "tile/quality_word.hpp"
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

// The band metadata item that names bit `bit` of a QA raster: "FLAG_<bit>",
// whose value is QA_BIT_NAMES[bit].
std::string quality_flag_item(int bit);

// Writes QA_<year>_<tile_id>.tif for each year from 2000 to last_year from
// flags.layer(year - FIRST_YEAR), then `files`. Each raster's band carries
// the items FLAG_<bit>=<name>, and its per-dataset mask (stored inside the
// file) is valid exactly where the datamask byte is 1, so that a 0 there
// means the filter ran and changed nothing, and elsewhere no data. Throws
// RunFailure naming the first file of that order that fails: "<path> cannot
// be created" or "<path> cannot be written".
void write_quality_files(const QualityPaths& paths, int last_year, double origin_x, double origin_y,
                         const QualityCube& flags, const TileMask& datamask,
                         const std::vector<QualityFile>& files, int workers,
                         Progress& progress = Progress::silent());

}  // namespace pt
