// The plain chain: thinning, then every stage in its one-pixel form
// (stages.hpp) for each datamask pixel, on one thread, rows outer, columns
// inner, every series read straight out of the cubes. It is the filter
// written as literally as the rules read, and the reference that the tests,
// the fuzzer and the benchmark hold the fast whole-tile pass (tile_pass.hpp)
// to: both must leave identical cubes.
#pragma once

#include "tile/tile.hpp"

namespace pt {

// The chain for every pixel whose datamask byte is exactly 1. Expects
// thinned loss.
void filter_pixels_reference(TileMemory& tile);

// Thinning over the whole tile, then filter_pixels_reference.
void filter_tile_reference(TileMemory& tile);

}  // namespace pt
