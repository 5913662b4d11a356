// The per-pixel time-series filter, one stage per source file, in its
// one-pixel form: each stage works on one pixel's strided series and calls no
// GDAL. The plain chain (pixel_chain.hpp) runs these. Thinning has this form
// only; the whole-tile pass and the pixel inspector run the row form of loss
// proximity and the lane form of the stages after it (pixel_group.hpp),
// which the stage tests hold to these case by case.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "tile/tile.hpp"

namespace pt {

// The middle one of three values, for the medians of the repair and the
// height smoothing.
inline int32_t median_of_three(int32_t a, int32_t b, int32_t c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// ---- loss thinning (filter/loss_thinning.cpp) ----------------------------
// A retained loss (byte 1) clears the flags of the next THINNING_YEARS years.
// Rewrites loss_cube in place over rows [row_begin, row_end) and copies the
// result to loss_out, which must start zero-filled as tile memory does
// (leading years without any flag are left as they are). Pixels are
// independent, so row ranges may run concurrently.
void thin_loss_rows(const YearCube& loss_cube, const YearCube& loss_out, int row_begin,
                    int row_end);

// ---- loss proximity (filter/loss_proximity.cpp) --------------------------
// For each year, the verdict of the pixel's 3x3 block: block pixels inside
// the tile, in scan order, each with loss in t-3..t overwriting it (loss at
// t or t-1 gives PROX_RECENT, at t-2 or t-3 PROX_OLDER), so the last such
// pixel decides; PROX_NONE where none has.
//
// The one-pixel form, straight from the thinned loss cube, into
// proximity_series (year_count entries).
void loss_proximity(const YearCube& loss_cube, int row, int col, YearSeries proximity_series);
// The row form, which the tile pass runs a row at a time, in two steps.
// First the loss flags of each row as 0/1 bytes, year t at t * stride + 1
// (column -1 and the columns from width on read 0): `loss` for loss at t,
// `recent` at t or t-1, `near` anywhere in t-3..t. Year t of the row in the
// cube lies at row + t * layer. The caller keeps the padding bytes 0.
void loss_flags_of_row(const uint8_t* row, std::size_t layer, int year_count, int width,
                       std::size_t stride, uint8_t* loss, uint8_t* recent, uint8_t* near);
// Then the verdict of every pixel of a row from the flags of the rows above,
// own and below, as 0/1 bytes, year t at t * out_stride: PROX_RECENT into
// recent_out, any verdict (PROX_RECENT or PROX_OLDER) into near_out, for
// padded_width columns (a whole number of lanes, see lanes.hpp).
void proximity_of_row(const std::array<const uint8_t*, 3>& recent,
                      const std::array<const uint8_t*, 3>& near, int year_count,
                      std::size_t padded_width, std::size_t stride, std::size_t out_stride,
                      uint8_t* recent_out, uint8_t* near_out);
// The row form's verdict for the one pixel at (row, col), as the tile pass
// gives it, into proximity_series.
void loss_proximity_by_rows(const YearCube& loss_cube, int row, int col,
                            YearSeries proximity_series);

// ---- canopy cover classification (filter/classify_cover.cpp) -------------
// Judges every output year of the pixel's cover series; zeroes cover bytes
// above MAX_VALID_COVER in place; resets and fills value_series and
// state_series.
void classify_cover(ByteSeries cover, ConstByteSeries loss, uint8_t wetland,
                    ConstYearSeries proximity_series, YearSeries value_series,
                    YearSeries state_series);

// ---- canopy cover gap repair (filter/repair_cover_gaps.cpp) --------------
// Replaces marked years, interpolates runs, carries the final year. Throws
// RunFailure("ERR1") / RunFailure("ERR2 ") if its run invariant is broken.
void repair_cover_gaps(ConstByteSeries cover, YearSeries value_series, YearSeries state_series);

// ---- post-loss rules and store (filter/post_loss_rules.cpp) --------------
void apply_post_loss_rules(ConstByteSeries loss, YearSeries value_series);
// The output years of value_series into cover_out, each as its low byte.
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

// Derives the pixel's heights (cover gate, own height, else the mean of the
// non-zero 3x3, then 5x5, neighbours), caps each rise at HEIGHT_GAIN_LIMIT,
// median-smooths them with the final year settled by its own rule, and
// stores the output years into height_out. Both series are reset first;
// derived ends holding the capped derived heights, height the smoothed ones.
void filter_height_series(const HeightNeighbourhood& heights, ConstByteSeries cover_out,
                          ConstByteSeries loss, ConstYearSeries proximity_series,
                          YearSeries derived, YearSeries height, ByteSeries height_out);

}  // namespace pt
