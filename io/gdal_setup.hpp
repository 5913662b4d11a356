// GDAL made ready for a run, once, before any file is opened.
#pragma once

#include "tile/constants.hpp"

namespace pt {

// Shows GDAL's messages with control characters escaped, registers the
// format drivers, caps the block cache at GDAL_BLOCK_CACHE_BYTES and keeps
// GDAL's decoding on the thread that asks for it, whatever GDAL_NUM_THREADS
// the environment sets: a damaged block is then reported on the thread
// that watches the read, and a layer's decoding memory is the one the run
// reserved for it.
void start_gdal();

}  // namespace pt
