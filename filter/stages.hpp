// The per-pixel time-series filter, one stage per source file. No stage calls
// GDAL; each works on the tile memory or on one pixel's strided series, so the
// same code runs in the whole-tile pass, the tests and the pixel inspector.
#pragma once

#include <cstdint>

#include "tile/tile.hpp"

namespace pt {

// ---- loss thinning (filter/loss_thinning.cpp) ----------------------------
// A retained loss (byte 1) clears the flags of the next three years. Rewrites
// loss_cube in place over rows [row_begin, row_end) and copies the result to
// loss_out, which must start zero-filled as tile memory does (leading years
// without any flag are left as they are). Pixels are independent, so row
// ranges may run concurrently.
void thin_loss_rows(const YearCube& loss_cube, const YearCube& loss_out, int row_begin,
                    int row_end);
// The whole tile.
void thin_loss(const YearCube& loss_cube, const YearCube& loss_out);

// ---- loss proximity (filter/loss_proximity.cpp) --------------------------
// Bit t set when the pixel has a non-zero loss byte at year index t.
uint64_t loss_year_bits(ConstByteSeries loss, int year_count);

// The 3x3 block around a pixel as loss-year bit words in scan order (row
// above, own row, row below, each left to right); 0 for positions outside
// the tile, which then never decide anything.
struct LossBlock {
    uint64_t bits[9];
};
LossBlock gather_loss_block(const YearCube& loss_cube, int row, int col);

// The block's verdict for every year as bit words: bit t of `recent` set
// for PROX_RECENT, of `older` for PROX_OLDER, neither for PROX_NONE.
struct ProximityWords {
    uint64_t recent = 0;
    uint64_t older = 0;
};
ProximityWords proximity_words(const LossBlock& block);

// Fills proximity_series (all year_count entries) from the block.
void compute_loss_proximity(const LossBlock& block, YearSeries proximity_series);

// ---- canopy cover classification (filter/classify_cover.cpp) -------------
// Judges every output year of the pixel's cover series; zeroes cover bytes
// above 100 in place; resets and fills value_series and state_series.
void classify_cover(ByteSeries cover, ConstByteSeries loss, uint8_t wetland,
                    ConstYearSeries proximity_series, YearSeries value_series,
                    YearSeries state_series);

// ---- canopy cover gap repair (filter/repair_cover_gaps.cpp) --------------
// Replaces marked years, interpolates runs, carries the final year. Throws
// RunFailure("ERR1") / RunFailure("ERR2 ") if its run invariant is broken.
void repair_cover_gaps(ConstByteSeries cover, YearSeries value_series, YearSeries state_series);

// ---- post-loss rules and store (filter/post_loss_rules.cpp) --------------
void apply_post_loss_rules(ConstByteSeries loss, YearSeries value_series);
void store_cover(ConstYearSeries value_series, ByteSeries cover_out);

// ---- canopy height series (filter/height_series.cpp) ---------------------
// The input heights around one pixel: h(t, dy, dx) at
// centre[t*year_stride + dy*row_stride + dx*col_stride], valid where
// 0 <= row+dy < height and 0 <= col+dx < width (tile coordinates).
struct HeightNeighbourhood {
    const uint8_t* centre = nullptr;
    std::ptrdiff_t year_stride = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    int row = 0, col = 0, width = 0, height = 0;

    uint8_t at(int t, int dy, int dx) const {
        return centre[t * year_stride + dy * row_stride + dx * col_stride];
    }
    bool inside(int dy, int dx) const {
        return row + dy >= 0 && row + dy < height && col + dx >= 0 && col + dx < width;
    }
};
HeightNeighbourhood height_neighbourhood(const YearCube& height_cube, int row, int col);

// The stage in its four steps, each on the whole series:
// derive_heights resets value_series and fills it with the derived heights
// (cover gate, own height, else the mean of the non-zero 3x3, then 5x5,
// neighbours); cap_height_growth limits each rise to HEIGHT_GAIN_LIMIT;
// smooth_heights resets height_series and fills it with the median-smoothed
// heights, the final year settled by its own rule; store_heights writes the
// output years into height_out.
void derive_heights(const HeightNeighbourhood& heights, ConstByteSeries cover_out,
                    YearSeries value_series);
void cap_height_growth(YearSeries value_series);
void smooth_heights(ConstYearSeries value_series, ConstByteSeries loss,
                    ConstYearSeries proximity_series, YearSeries height_series);
void store_heights(ConstYearSeries height_series, ByteSeries height_out);

// Derives, caps, smooths and stores the pixel's height series, the four steps
// above in that order; value_series ends holding the capped derived heights,
// height_series the smoothed ones.
void filter_height_series(const HeightNeighbourhood& heights, ConstByteSeries cover_out,
                          ConstByteSeries loss, ConstYearSeries proximity_series,
                          YearSeries value_series, YearSeries height_series,
                          ByteSeries height_out);

}  // namespace pt
