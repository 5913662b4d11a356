// What reading a window of a layer costs in memory besides GDAL's block
// cache. GDAL decodes whole blocks: a block larger than the cache limit is
// still allocated in full, libtiff reads the block's compressed bytes in one
// piece, and a pixel-interleaved block is decoded for all bands at once
// before band 1 is copied out. A 4004 x 4004 layer tiled in 16384 x 16384
// blocks thus costs 256 MiB per Byte band, whatever window is read.
#pragma once

#include <gdal_priv.h>

#include <cstdint>

namespace pt {

struct LayerWindow;

// The layer's block as GDAL reads it.
struct BlockLayout {
    int width = 0;
    int height = 0;
    uint64_t decoded_bytes = 0;       // one block of all the bands it holds
    bool holds_other_bands = false;   // pixel-interleaved with several bands
    uint64_t largest_compressed = 0;  // the largest stored block the window touches
};

BlockLayout block_layout(GDALDataset& dataset, GDALRasterBand& band, const LayerWindow& window);

// Bytes to reserve for reading the window: the decoded block, its
// pixel-interleaved copy, the compressed bytes, and the codec's own state.
// Measured peaks beyond the block cache (GDAL 3.6): 16384 x 16384 Byte tile
// 256 MiB (estimate 257); 4096 x 4096 Byte tile, uncompressed 32 MiB (33),
// DEFLATE 25 MiB (26), JPEG 19 MiB (19); 4004 x 4004 Float32 DEFLATE strip
// 73 MiB (78).
uint64_t decode_footprint(const BlockLayout& layout);

}  // namespace pt
