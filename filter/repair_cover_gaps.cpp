// Canopy cover gap repair of one pixel: marked years are replaced from their
// neighbours, runs of invalid years interpolated, the last year carried. The
// lane form is in repair_cover_gaps_lanes.hpp.
#include <algorithm>
#include <bit>
#include <cstdlib>

#include "filter/stages.hpp"
#include "tile/constants.hpp"

namespace pt {

namespace {

// What year k offers to a median: its value once accepted, else its own byte.
// A year repaired earlier in the pass is no longer STATE_OK and so offers its
// byte, not the value it was given.
int32_t median_candidate(ConstByteSeries cover, YearSeries value, YearSeries state, int k) {
    return state[k] == STATE_OK ? value[k] : int32_t{cover[k]};
}

// Bit t set for the years of the window (first_output_index to the year
// before the last) whose state satisfies `pick`. Walking set bits instead of
// testing every year keeps the unpredictable "is it marked" branch out of the
// loops; the window fits the 64 bits because year_count <= MAX_YEAR_COUNT.
template <class Pick>
uint64_t window_years(YearSeries state, Pick pick) {
    const int year_count = static_cast<int>(state.size());
    uint64_t years = 0;
    for (int t = first_output_index; t < year_count - 1; ++t) {
        years |= static_cast<uint64_t>(pick(state[t])) << t;
    }
    return years;
}

int take_lowest(uint64_t& years) {
    const int t = std::countr_zero(years);
    years &= years - 1;
    return t;
}

// Step 1: jump years always, invalid years between two accepted years, take
// the median of the three years; other invalid years borrow a close accepted
// neighbour, the year before first. The rest wait for the interpolation.
void replace_marked_years(ConstByteSeries cover, YearSeries value, YearSeries state) {
    uint64_t marked = window_years(
        state, [](int32_t code) { return code == STATE_INVALID || code == STATE_JUMP; });
    while (marked != 0) {
        const int t = take_lowest(marked);
        const int32_t code = state[t];
        const int32_t own = cover[t];
        if ((state[t - 1] == STATE_OK && state[t + 1] == STATE_OK) || code == STATE_JUMP) {
            value[t] = median_of_three(median_candidate(cover, value, state, t - 1), own,
                                       median_candidate(cover, value, state, t + 1));
            state[t] = STATE_REPAIRED;
        } else if (state[t - 1] == STATE_OK && std::abs(value[t - 1] - own) <= BORROW_MAX_DIFF) {
            value[t] = value[t - 1];
            state[t] = STATE_REPAIRED;
        } else if (state[t + 1] == STATE_OK && std::abs(value[t + 1] - own) <= BORROW_MAX_DIFF) {
            value[t] = value[t + 1];
            state[t] = STATE_REPAIRED;
        }
    }
}

// Step 2: each run of invalid years up to the last year's predecessor is
// filled on the straight line between the years around it. At the window's
// edges there is no such year, so the run's own edge byte stands in.
void interpolate_runs(ConstByteSeries cover, YearSeries value, YearSeries state) {
    const int last_run_year = static_cast<int>(value.size()) - 2;
    uint64_t invalid = window_years(state, [](int32_t code) { return code == STATE_INVALID; });
    while (invalid != 0) {
        // A run is a maximal stretch of invalid years: from the lowest one
        // left up to the first year that is not invalid.
        const int s = std::countr_zero(invalid);
        const int e = s + std::countr_one(invalid >> s) - 1;
        invalid &= ~(((uint64_t{2} << (e - s)) - 1) << s);

        int32_t a;
        if (s == first_output_index) {
            a = cover[s];
        } else {
            // A run starts at its first invalid year, so the year before can
            // only be invalid if the run finding itself went wrong.
            if (state[s - 1] == STATE_INVALID) throw RunFailure("ERR1");
            a = value[s - 1];
        }
        int32_t b;
        if (e == last_run_year) {
            b = cover[e];
        } else {
            if (state[e + 1] == STATE_INVALID) throw RunFailure("ERR2 ");
            b = value[e + 1];
        }

        // Truncated toward zero, not rounded down, on falling lines too.
        const double steps = e - s + 2;
        for (int j = s; j <= e; ++j) {
            value[j] = a + static_cast<int32_t>((j - s + 1) * static_cast<double>(b - a) / steps);
            state[j] = STATE_INTERPOLATED;
        }
    }
}

}  // namespace

void repair_cover_gaps(ConstByteSeries cover, YearSeries value_series, YearSeries state_series) {
    replace_marked_years(cover, value_series, state_series);
    interpolate_runs(cover, value_series, state_series);
    // The last year has no successor to repair it from: a marked last year
    // takes the year before, as the first two steps left it.
    const int last = static_cast<int>(value_series.size()) - 1;
    if (state_series[last] != STATE_OK) value_series[last] = value_series[last - 1];
}

}  // namespace pt
