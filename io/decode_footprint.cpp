#include "io/decode_footprint.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

#include "io/input_layers.hpp"

namespace pt {

namespace {

constexpr uint64_t SATURATED = std::numeric_limits<uint64_t>::max();
// Row buffers and tables of the decompressors (JPEG, DEFLATE, LZW).
constexpr uint64_t CODEC_STATE = 1ull << 20;

uint64_t saturating_product(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? SATURATED : product;
}

uint64_t saturating_sum(uint64_t a, uint64_t b) {
    return a > SATURATED - b ? SATURATED : a + b;
}

// The stored size of block (x, y) of the band, 0 when absent (sparse).
uint64_t stored_block_size(GDALRasterBand& band, int x, int y) {
    const std::string item = "BLOCK_SIZE_" + std::to_string(x) + "_" + std::to_string(y);
    const char* value = band.GetMetadataItem(item.c_str(), "TIFF");
    return value != nullptr ? std::strtoull(value, nullptr, 10) : 0;
}

// The largest stored block among those the window covers. A single strip
// that GDAL reads as one-row blocks shows its whole size at block (0, 0).
uint64_t largest_stored_block(GDALRasterBand& band, int block_width, int block_height,
                              const LayerWindow& window) {
    const int last_row = (window.y + window.height - 1) / block_height;
    const int last_column = (window.x + window.width - 1) / block_width;
    uint64_t largest = 0;
    for (int y = window.y / block_height; y <= last_row; ++y) {
        for (int x = window.x / block_width; x <= last_column; ++x) {
            largest = std::max(largest, stored_block_size(band, x, y));
        }
    }
    return largest;
}

bool pixel_interleaved(GDALDataset& dataset) {
    const char* interleave = dataset.GetMetadataItem("INTERLEAVE", "IMAGE_STRUCTURE");
    return interleave != nullptr && std::string(interleave) == "PIXEL";
}

}  // namespace

BlockLayout block_layout(GDALDataset& dataset, GDALRasterBand& band, const LayerWindow& window) {
    BlockLayout layout;
    band.GetBlockSize(&layout.width, &layout.height);
    layout.width = std::max(layout.width, 1);
    layout.height = std::max(layout.height, 1);
    const int bands_per_block =
        pixel_interleaved(dataset) ? std::max(dataset.GetRasterCount(), 1) : 1;
    layout.holds_other_bands = bands_per_block > 1;
    const uint64_t pixel_bytes =
        static_cast<uint64_t>(GDALGetDataTypeSizeBytes(band.GetRasterDataType())) *
        static_cast<uint64_t>(bands_per_block);
    layout.decoded_bytes =
        saturating_product(saturating_product(static_cast<uint64_t>(layout.width),
                                              static_cast<uint64_t>(layout.height)),
                           pixel_bytes);
    layout.largest_compressed = largest_stored_block(band, layout.width, layout.height, window);
    return layout;
}

uint64_t decode_footprint(const BlockLayout& layout) {
    const uint64_t decoded = layout.holds_other_bands ? saturating_product(layout.decoded_bytes, 2)
                                                      : layout.decoded_bytes;
    return saturating_sum(saturating_sum(decoded, layout.largest_compressed), CODEC_STATE);
}

}  // namespace pt
