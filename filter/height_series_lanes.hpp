// Canopy height series on sixteen pixels at once: the lane form of
// height_series.cpp, step for step under the same names (see
// pixel_group.hpp). Reads the filtered cover from group.value, fills
// group.derived (derived, then capped) and group.height (smoothed); the row
// driver stores group.height.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "filter/lanes.hpp"
#include "filter/pixel_group.hpp"
#include "tile/constants.hpp"
#include "tile/tile.hpp"

namespace pt {

// The input heights around the group: rows[2 + dy] points at the lane-0
// pixel's column in a copy of row (row + dy) whose columns outside the tile
// hold 0, for dy in -2..2, with at least two readable bytes before and
// LANE_COUNT + 1 after it; year t lies year_stride bytes further per year.
struct GroupHeights {
    const uint8_t* rows[5];
    std::ptrdiff_t year_stride;
};

// Mean of the non-zero heights of one year (year_offset bytes into the rows)
// on the square ring at Chebyshev distance `radius` around each lane's pixel;
// 0 where the ring holds none, whose sum is 0 and is divided by 1. The padded
// rows make positions outside the tile read 0, which is never counted either.
PT_LANE_INLINE Lanes ring_mean(const GroupHeights& h, std::ptrdiff_t year_offset, int radius) {
    Lanes sum{};
    Lanes count{};
    for (int dy = -radius; dy <= radius; ++dy) {
        const bool full_row = dy == -radius || dy == radius;
        const uint8_t* row = h.rows[2 + dy] + year_offset;
        for (int dx = -radius; dx <= radius; dx += full_row ? 1 : 2 * radius) {
            const Lanes v = load_lanes(row + dx);
            sum += v;
            count -= v != 0;  // a true mask is -1
        }
    }
    return divide_toward_zero(sum, count);
}

PT_LANE_INLINE Lanes derive_height(const PixelGroup& g, const GroupHeights& h, int t) {
    const std::ptrdiff_t at = t * h.year_stride;
    // The gate is the stored product byte, not the wider value.
    const Lanes covered = (g.value[t] & 0xFF) != 0;
    const Lanes own = load_lanes(h.rows[2] + at);
    Lanes d = own;
    const Lanes fill = covered & (own == 0);
    if (any_lane(fill)) {
        // A mean of non-zero heights is 0 only where the ring held none.
        const Lanes near = ring_mean(h, at, 1);
        Lanes mean = near;
        if (any_lane(fill & (near == 0))) mean = choose(near == 0, ring_mean(h, at, 2), near);
        d = choose(fill, mean, d);
    }
    return choose(covered, d, Lanes{});
}

PT_LANE_INLINE void derive_heights(PixelGroup& g, const GroupHeights& h) {
    std::fill(g.derived.begin(), g.derived.end(), Lanes{});
    for (int t = first_output_index; t < g.year_count; ++t) g.derived[t] = derive_height(g, h, t);
}

PT_LANE_INLINE void cap_height_growth(PixelGroup& g) {
    for (int t = first_output_index + 1; t < g.year_count; ++t) {
        g.derived[t] = lanes_min(g.derived[t], g.derived[t - 1] + HEIGHT_GAIN_LIMIT);
    }
}

PT_LANE_INLINE void smooth_heights(PixelGroup& g) {
    const int n = g.year_count;
    const int first = first_output_index;
    const auto& v = g.derived;
    std::fill(g.height.begin(), g.height.end(), Lanes{});
    for (int t = first; t <= n - 2; ++t) {
        const Lanes before = v[t - 1], here = v[t], after = v[t + 1];
        const Lanes extreme =
            ((here < before) & (here < after)) | ((here > before) & (here > after));
        const Lanes smooth = t > first ? ~g.recent[t] & (here >= 1) & extreme : Lanes{};
        g.height[t] = choose(smooth, median_of_three(before, here, after), here);
    }
    const Lanes last = v[n - 1];
    const Lanes prev = g.height[n - 2];
    const Lanes prev2 = g.height[n - 3];
    const Lanes take_last =
        (prev == last) | ((prev >= last) & (prev2 >= prev)) | ((prev <= last) & (prev2 <= prev)) |
        ((prev >= last) & g.recent[n - 1]) | g.loss[n - 2] | g.loss[n - 3] | g.loss[n - 4];
    g.height[n - 1] = choose(take_last, last, prev);
}

PT_LANE_INLINE void filter_height_series(PixelGroup& g, const GroupHeights& h) {
    derive_heights(g, h);
    cap_height_growth(g);
    smooth_heights(g);
}

}  // namespace pt
