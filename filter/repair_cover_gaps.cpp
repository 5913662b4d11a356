#include <algorithm>
#include <cstdlib>

#include "filter/stages.hpp"

namespace pt {

namespace {

// A marked year may borrow an adjacent accepted value this close to its byte.
constexpr int BORROW_MAX_DIFF = 5;

// What year k offers to a median: its value once accepted, else its own byte.
// A year repaired earlier in the pass is no longer STATE_OK and so offers its
// byte, not the value it was given.
int32_t median_candidate(ConstByteSeries cover, YearSeries value, YearSeries state, int k) {
    return state[k] == STATE_OK ? value[k] : int32_t{cover[k]};
}

int32_t median_of_three(int32_t a, int32_t b, int32_t c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// Step 1: jump years always, invalid years between two accepted years, take
// the median of the three years; other invalid years borrow a close accepted
// neighbour, the year before first. The rest wait for the interpolation.
void replace_marked_years(ConstByteSeries cover, YearSeries value, YearSeries state) {
    const int year_count = static_cast<int>(value.size());
    for (int t = first_output_index; t < year_count - 1; ++t) {
        const int32_t code = state[t];
        if (code != STATE_INVALID && code != STATE_JUMP) continue;
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
    const int year_count = static_cast<int>(value.size());
    const int last_run_year = year_count - 2;
    int t = first_output_index;
    while (t <= last_run_year) {
        if (state[t] != STATE_INVALID) {
            ++t;
            continue;
        }
        const int s = t;
        int k = s;
        while (k <= last_run_year && state[k] == STATE_INVALID) ++k;
        const int e = k - 1;

        int32_t a;
        if (s == first_output_index) {
            a = cover[s];
        } else {
            // The scan starts a run at its first invalid year, so the year
            // before can only be invalid if the scan itself went wrong.
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
        t = e + 1;
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
