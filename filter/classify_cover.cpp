// Canopy cover classification of one pixel: each output year is accepted,
// given a value (loss years, wetland rules), or marked for the gap repair.
// The lane form is in classify_cover_lanes.hpp.
#include <algorithm>
#include <cstdlib>

#include "filter/stages.hpp"
#include "tile/constants.hpp"

namespace pt {

namespace {

// One pixel's series as the rules see them.
struct CoverSeries {
    ByteSeries cover;
    ConstByteSeries loss;
    bool wetland;
    ConstYearSeries proximity;
    YearSeries value;
    YearSeries state;

    void accept(int t) const { value[t] = cover[t]; }
};

// Wetland cover from WETLAND_RULE_YEAR on follows the previous year's value:
// with loss nearby (recent or older) or after a small change it is taken as
// is, a moderate change along a steady trend moves halfway, anything else
// keeps the previous level.
void judge_wetland_year(const CoverSeries& s, int t) {
    if (s.proximity[t] >= PROX_RECENT) {
        s.accept(t);
        return;
    }
    const int32_t c = s.cover[t];
    const int32_t v1 = s.value[t - 1];
    const int32_t v2 = s.value[t - 2];
    const int32_t d = v1 - c;
    if (std::abs(d) <= WETLAND_ACCEPT_DIFF) {
        s.accept(t);
        return;
    }
    const bool falling = c < v1 && v1 < v2;
    const bool rising = v1 < c && v2 < v1;
    if ((falling || rising) && std::abs(d) <= WETLAND_AVERAGE_DIFF) {
        s.value[t] = static_cast<int32_t>((v1 + c) / 2.0);
    } else {
        s.value[t] = v1;
    }
}

// Rules shared by the main years and the last year (loss, invalid byte,
// unchanged cover, wetland). Returns whether one of them decided year t.
bool judge_leading_rules(const CoverSeries& s, int t) {
    if (s.loss[t] != 0) {
        // A loss year is cleared; its byte is not examined, even above 100.
        s.value[t] = 0;
        return true;
    }
    if (s.cover[t] > MAX_VALID_COVER) {
        // Zeroed in the cube, so later years and the gap repair read 0.
        s.cover[t] = 0;
        s.state[t] = STATE_INVALID;
        return true;
    }
    if (s.cover[t - 1] == s.cover[t]) {
        s.accept(t);
        return true;
    }
    if (s.wetland) {
        if (t + FIRST_YEAR < WETLAND_RULE_YEAR) {
            s.accept(t);
        } else {
            judge_wetland_year(s, t);
        }
        return true;
    }
    return false;
}

// A year with a successor: monotone years pass; a valley passes next to
// recent loss or inside a wider valley; other peaks and valleys are marked.
void judge_main_year(const CoverSeries& s, int t, int year_count) {
    if (judge_leading_rules(s, t)) return;
    const uint8_t before = s.cover[t - 1];
    const uint8_t here = s.cover[t];
    const uint8_t after = s.cover[t + 1];
    if (before >= here && here >= after) return s.accept(t);
    if (before <= here && here <= after) return s.accept(t);
    const bool valley = before >= here && here <= after;
    if (valley && s.proximity[t] == PROX_RECENT) return s.accept(t);
    // C(t+2) exists only below the last year's predecessor.
    if (valley && s.cover[t - 2] > before && t < year_count - 2 && after < s.cover[t + 2]) {
        return s.accept(t);
    }
    const int a = std::abs(int{before} - int{here});
    const int b = std::abs(int{after} - int{here});
    if ((a >= JUMP_MIN && b <= a / 2) || (b >= JUMP_MIN && a <= b / 2)) {
        s.state[t] = STATE_JUMP;
    } else {
        s.state[t] = STATE_INVALID;
    }
}

// The last year has no successor, so it looks back up to three years.
void judge_last_year(const CoverSeries& s, int t) {
    if (judge_leading_rules(s, t)) return;
    const uint8_t before2 = s.cover[t - 2];
    const uint8_t before = s.cover[t - 1];
    const uint8_t here = s.cover[t];
    if (before2 >= before && before >= here) return s.accept(t);
    if (before2 <= before && before <= here) return s.accept(t);
    if (before >= here && s.proximity[t] == PROX_RECENT) return s.accept(t);
    if (s.loss[t - 1] != 0 || s.loss[t - 2] != 0 || (s.loss[t - 3] != 0 && here > before)) {
        return s.accept(t);
    }
    if (s.state[t - 1] != STATE_OK) {
        s.state[t] = STATE_INVALID;
    } else {
        s.value[t] = s.value[t - 1];
    }
}

}  // namespace

void classify_cover(ByteSeries cover, ConstByteSeries loss, uint8_t wetland,
                    ConstYearSeries proximity_series, YearSeries value_series,
                    YearSeries state_series) {
    const int year_count = static_cast<int>(value_series.size());
    std::fill(value_series.begin(), value_series.end(), 0);
    std::fill(state_series.begin(), state_series.end(), 0);

    const CoverSeries s{cover, loss, wetland == 1, proximity_series, value_series, state_series};
    for (int t = first_output_index; t < year_count - 1; ++t) judge_main_year(s, t, year_count);
    judge_last_year(s, year_count - 1);
}

}  // namespace pt
