// The fixed numbers of a tile run: its years and tile size, the memory it
// counts on besides the tile, and every threshold of the filter's rules. The one-pixel stages and
// their lane form read the thresholds from here, so the two decide exactly alike; tests take them
// from here too.
#pragma once

#include <cstdint>

namespace pt {

// ---- run ----------------------------------------------------------------
inline constexpr int FIRST_YEAR = 1997;
inline constexpr int FIRST_OUTPUT_YEAR = 2000;
inline constexpr int first_output_index = FIRST_OUTPUT_YEAR - FIRST_YEAR;  // 3
inline constexpr int TILE_SIZE = 4004;
inline constexpr double PIXEL_SIZE = 0.00025;

// The filter needs the years 1997 to 2000 at least (the last-year rules look
// three years back). The gap repair walks a pixel's years as the bits of a
// 64-bit word, and the lane arithmetic of the fast pass keeps year steps
// times cover differences within 16 bits; both bound a run at 64 years.
inline constexpr int MIN_LAST_YEAR = FIRST_OUTPUT_YEAR;
inline constexpr int MAX_YEAR_COUNT = 64;
inline constexpr int MAX_LAST_YEAR = FIRST_YEAR + MAX_YEAR_COUNT - 1;  // 2060

inline int year_count_for(int last_year) {
    return last_year - FIRST_YEAR + 1;
}

// A tile's upper-left corner: longitudes run to 360 for grids laid out from
// 0 eastwards, latitudes stay on the globe.
inline constexpr double MIN_ORIGIN_X = -180.0;
inline constexpr double MAX_ORIGIN_X = 360.0;
inline constexpr double MIN_ORIGIN_Y = -90.0;
inline constexpr double MAX_ORIGIN_Y = 90.0;

// ---- memory of a run besides the tile -----------------------------------
// Memory shared by the workers reading input layers for decoding a layer's
// blocks: the decoded block GDAL allocates beyond its cache limit, the
// compressed bytes libtiff reads in one piece, the pixel-interleaved copy.
// A layer stored in blocks whose decoding needs more than this is refused
// (io/input_layers.cpp). Sized to read a whole 4004 x 4004 Float32 image
// held in one DEFLATE strip (73 MiB measured, 78 MiB reserved), while a
// batch job asking for the tile plus 256 MiB still passes the check.
inline constexpr uint64_t LAYER_DECODE_POOL = 96ull << 20;
// Memory the process holds besides the tile: GDAL's block cache (64 MiB),
// the program and GDAL themselves, the workers' row buffers, the heap, and
// the layer decoding pool. The tile's pages are counted in full although a
// run never touches some of them (years 1997-1999 of loss and height), which
// adds to this margin.
inline constexpr uint64_t RESIDENT_HEADROOM = (128ull << 20) + LAYER_DECODE_POOL;
// Address space to map besides the tile: libraries GDAL loads, its cache,
// heap growth (measured need about 100 MiB with two workers), and the layer
// decoding pool.
inline constexpr uint64_t ADDRESS_SPACE_HEADROOM = (256ull << 20) + LAYER_DECODE_POOL;
// Address space each extra worker thread reserves: its stack (8 MiB) and the
// malloc arena glibc gives it (64 MiB). Reserved, mostly never touched, so it
// counts against the address-space and data limits only.
inline constexpr uint64_t WORKER_ADDRESS_SPACE = 72ull << 20;

// Every layer moves in one whole-window call straight into tile memory, so
// GDAL's block cache only holds blocks in transit; left at its default (a
// share of RAM) it would add gigabytes of resident copies.
inline constexpr long long GDAL_BLOCK_CACHE_BYTES = 64ll << 20;

// ---- loss thinning --------------------------------------------------------
// A retained loss hides the flags of this many following years: the same
// disturbance tends to be reported again in the years right after it.
inline constexpr int THINNING_YEARS = 3;

// ---- canopy cover rules -------------------------------------------------
// Cover bytes above this are not percentages.
inline constexpr int MAX_VALID_COVER = 100;
// A change of this much against one neighbour, with at most half of it
// against the other, is a one-sided jump rather than noise.
inline constexpr int JUMP_MIN = 20;
// Wetland cover from this year on follows the previous year's value instead
// of being accepted as read.
inline constexpr int WETLAND_RULE_YEAR = 2017;
// Wetland years close to the previous value are accepted; a little further
// off on a steady trend they move halfway; otherwise they hold the level.
inline constexpr int WETLAND_ACCEPT_DIFF = 4;
inline constexpr int WETLAND_AVERAGE_DIFF = 9;
// A marked year may borrow an adjacent accepted value this close to its byte.
inline constexpr int BORROW_MAX_DIFF = 5;
// Dense cover in the year right after a loss can only be partial regrowth:
// when it shows REGROWTH_MIN or more and the year after confirms at least
// REGROWTH_NEXT_MIN, it is set halfway between the loss year's 0 and that.
inline constexpr int REGROWTH_MIN = 30;
inline constexpr int REGROWTH_NEXT_MIN = 50;

// ---- canopy height rules ------------------------------------------------
// The derived height may rise by at most this much from one year to the next.
inline constexpr int HEIGHT_GAIN_LIMIT = 3;

}  // namespace pt
