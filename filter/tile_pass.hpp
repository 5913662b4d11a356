// The whole-tile filter as the program runs it: loss thinning, then the pixel
// chain for every datamask pixel, both spread over worker threads.
#pragma once

#include "run/progress.hpp"
#include "tile/quality_word.hpp"
#include "tile/tile.hpp"

namespace pt {

// Thins the loss of every pixel (rows shared among the workers), then runs
// the pixel chain row by row. Each worker copies a row's cover of every year
// into a small buffer of its own (one contiguous block instead of rows a
// whole layer apart), keeps the loss flags (0/1 bytes) of the three rows
// around it and the input heights of the five rows around it, rolling along
// with the row, works out the row's loss proximity in the row form, runs the
// lane form of the other stages (row_groups.hpp) and writes the products
// back a whole row at a time. The output cubes equal those of filter_tile_reference
// for any worker count. Unlike the reference, cover bytes above
// MAX_VALID_COVER are cleared only in the worker's copy: nothing reads
// cover_cube after the pass.
// Progress counts rows of the pixel pass. With `flags`, a cube of the
// tile's size and years, the pass also writes the quality word of every
// output year of every pixel into it (quality_flags.hpp; 0 outside the
// datamask), from the same stages in the same run.
void filter_tile(TileMemory& tile, int workers, Progress& progress = Progress::silent(),
                 const QualityCube* flags = nullptr);

// The two halves, for timing each on its own.
void thin_loss_parallel(TileMemory& tile, int workers);
void filter_pixels_parallel(TileMemory& tile, int workers, Progress& progress = Progress::silent(),
                            const QualityCube* flags = nullptr);

}  // namespace pt
