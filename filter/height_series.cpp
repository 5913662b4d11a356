// Canopy height series of one pixel: a height exists only in years that the
// filtered cover calls covered; gaps in the height layer are filled from the
// pixels around; the series may rise by at most HEIGHT_GAIN_LIMIT per year;
// isolated peaks and dips are median-smoothed unless loss lies close by; the
// final year, which has no successor to judge it against, is settled by its
// own rule; the result is stored into the height product cube. The lane form
// is in height_series_lanes.hpp.
#include <algorithm>

#include "filter/stages.hpp"

namespace pt {

namespace {

// Mean of the non-zero heights of year t on the square ring at Chebyshev
// distance `radius` around the pixel, positions outside the tile left out.
// Returns 0 when the ring holds no non-zero height.
//
// The fill searches the 3x3 block first and the 5x5 block only when the 3x3
// block held nothing, and only for a pixel whose own height is 0; at both
// points everything inside the ring is known to be 0, so the ring alone gives
// the block mean. Sum and count are integers and the quotient truncates.
int32_t ring_mean(const HeightNeighbourhood& heights, int t, int radius) {
    int32_t sum = 0;
    int32_t count = 0;
    auto take = [&](int dy, int dx) {
        if (!heights.inside(dy, dx)) return;
        const int32_t h = heights.at(t, dy, dx);
        if (h != 0) {
            sum += h;
            ++count;
        }
    };
    for (int dy = -radius; dy <= radius; ++dy) {
        if (dy == -radius || dy == radius) {
            for (int dx = -radius; dx <= radius; ++dx) take(dy, dx);
        } else {
            take(dy, -radius);
            take(dy, radius);
        }
    }
    return count == 0 ? 0 : sum / count;
}

int32_t derive_height(const HeightNeighbourhood& heights, uint8_t cover, int t) {
    if (cover == 0) return 0;  // no canopy, no height, whatever the layer says
    const int32_t own = heights.at(t, 0, 0);
    if (own != 0) return own;
    const int32_t near = ring_mean(heights, t, 1);
    if (near != 0) return near;
    return ring_mean(heights, t, 2);
}

void derive_heights(const HeightNeighbourhood& heights, ConstByteSeries cover_out,
                    YearSeries derived) {
    const int n = static_cast<int>(derived.size());
    std::fill(derived.begin(), derived.end(), 0);
    for (int t = first_output_index; t < n; ++t)
        derived[t] = derive_height(heights, cover_out[t], t);
}

void cap_height_growth(YearSeries derived) {
    const int n = static_cast<int>(derived.size());
    // Against the already capped previous year, so a sudden rise is spread
    // over the following years. Falls are real (loss, harvest) and pass
    // unchanged; the first output year has no predecessor to cap against.
    for (int t = first_output_index + 1; t < n; ++t) {
        if (derived[t] - derived[t - 1] > HEIGHT_GAIN_LIMIT)
            derived[t] = derived[t - 1] + HEIGHT_GAIN_LIMIT;
    }
}

void smooth_heights(ConstYearSeries derived, ConstByteSeries loss, ConstYearSeries proximity_series,
                    YearSeries height) {
    const int n = static_cast<int>(derived.size());
    const int first = first_output_index;
    std::fill(height.begin(), height.end(), 0);

    // Spike smoothing. Every test reads the capped derived series, never a
    // value smoothed earlier in this loop. A year with loss close by in that
    // year or the one before may genuinely change and is kept as derived.
    // The verdict is data-driven and unpredictable, so it is formed without
    // short-circuits and applied as a select rather than a branch.
    const auto& v = derived;
    for (int t = first; t <= n - 2; ++t) {
        const int32_t before = v[t - 1], here = v[t], after = v[t + 1];
        const bool dip = (here < before) & (here < after);
        const bool peak = (here > before) & (here > after);
        const bool smooth =
            (proximity_series[t] != PROX_RECENT) & (t > first) & (here >= 1) & (dip | peak);
        height[t] = smooth ? median_of_three(before, here, after) : here;
    }

    // Final year: no following year to judge an extreme against. Take the
    // derived value when it continues the trend of the two years before, when
    // it is a fall with loss close by, or when the pixel itself lost canopy in
    // the three years before; otherwise repeat the year before.
    const int32_t last = v[n - 1];
    const int32_t prev = height[n - 2];
    const int32_t prev2 = height[n - 3];
    int32_t s = prev;
    if (prev == last) {
        s = last;
    } else if ((prev >= last && prev2 >= prev) || (prev <= last && prev2 <= prev)) {
        s = last;
    } else if (prev >= last && proximity_series[n - 1] == PROX_RECENT) {
        s = last;
    } else if (loss[n - 2] != 0 || loss[n - 3] != 0 || loss[n - 4] != 0) {
        s = last;
    }
    height[n - 1] = s;
}

void store_heights(ConstYearSeries height, ByteSeries height_out) {
    const int n = static_cast<int>(height.size());
    // Every value lies in 0..255 (bytes, means of bytes, a cap that only
    // lowers, medians of existing values), so the byte is exact.
    for (int t = first_output_index; t < n; ++t) height_out[t] = static_cast<uint8_t>(height[t]);
}

}  // namespace

HeightNeighbourhood height_neighbourhood(const YearCube& height_cube, int row, int col) {
    HeightNeighbourhood n;
    n.centre = &height_cube.at(0, row, col);
    n.year_stride = static_cast<std::ptrdiff_t>(height_cube.layer_size());
    n.row_stride = height_cube.width;
    n.col_stride = 1;
    n.row = row;
    n.col = col;
    n.width = height_cube.width;
    n.height = height_cube.height;
    return n;
}

void filter_height_series(const HeightNeighbourhood& heights, ConstByteSeries cover_out,
                          ConstByteSeries loss, ConstYearSeries proximity_series,
                          YearSeries derived, YearSeries height, ByteSeries height_out) {
    derive_heights(heights, cover_out, derived);
    cap_height_growth(derived);
    smooth_heights(derived, loss, proximity_series, height);
    store_heights(height, height_out);
}

}  // namespace pt
