// The chain of stages for one pixel inside the datamask, and the plain
// whole-tile pass: one thread, rows outer, columns inner, every series read
// straight out of the cubes. This is the reference the fast pass must match.
#pragma once

#include <cstdint>
#include <vector>

#include "filter/stages.hpp"
#include "tile/tile.hpp"

namespace pt {

// The four per-pixel work series, allocated once and reused for every pixel.
struct PixelWork {
    explicit PixelWork(int year_count)
        : value(year_count), state(year_count), proximity(year_count), height(year_count) {}
    std::vector<int32_t> value, state, proximity, height;
};

// Loss proximity exactly as the rule reads: for each year, block pixel after
// block pixel in scan order, each with loss in t-3..t overwriting the verdict.
// Reads the thinned loss straight out of the cube; an independent check on
// the bit-word version the fast pass uses.
void compute_loss_proximity_plain(const YearCube& loss_cube, int row, int col,
                                  YearSeries proximity_series);

// One pixel's series wherever they live: its cover and loss bytes, its
// wetland byte, where its products go, and the input heights around it.
struct PixelSeries {
    ByteSeries cover;
    ConstByteSeries loss;
    uint8_t wetland;
    ByteSeries cover_out;
    ByteSeries height_out;
    HeightNeighbourhood heights;
};

// The stages after loss proximity (which work.proximity must already hold):
// classification, gap repair, post-loss rules, cover store, height series.
void filter_pixel_series(const PixelSeries& pixel, PixelWork& work);

// Runs proximity, classification, gap repair, post-loss rules, cover store
// and the height series for the pixel at (row, col), reading and writing the
// tile memory directly.
void run_pixel_chain(TileMemory& tile, int row, int col, PixelWork& work);

// The chain for every pixel whose datamask byte is exactly 1, rows outer,
// columns inner, on the calling thread. Expects thinned loss.
void filter_pixels_reference(TileMemory& tile);

// Thinning over the whole tile, then filter_pixels_reference.
void filter_tile_reference(TileMemory& tile);

}  // namespace pt
