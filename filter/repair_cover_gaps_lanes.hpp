// Canopy cover gap repair on sixteen pixels at once: the lane form of
// repair_cover_gaps.cpp, step for step under the same names (see
// pixel_group.hpp). Works on group.value and group.state as classification
// left them, reading group.cover.
#pragma once

#include "filter/lanes.hpp"
#include "filter/pixel_group.hpp"
#include "tile/constants.hpp"
#include "tile/tile.hpp"

namespace pt {

// What year k offers to a median: its value once accepted, else its byte.
PT_LANE_INLINE Lanes median_candidate(const PixelGroup& g, int k) {
    return choose(g.state[k] == STATE_OK, g.value[k], g.cover[k]);
}

PT_LANE_INLINE void replace_marked_years(PixelGroup& g) {
    for (int t = first_output_index; t < g.year_count - 1; ++t) {
        const Lanes code = g.state[t];
        const Lanes marked = (code == STATE_INVALID) | (code == STATE_JUMP);
        if (!any_lane(marked)) continue;
        const Lanes own = g.cover[t];
        const Lanes before_ok = g.state[t - 1] == STATE_OK;
        const Lanes after_ok = g.state[t + 1] == STATE_OK;
        const Lanes median = marked & ((before_ok & after_ok) | (code == STATE_JUMP));
        const Lanes borrow_before =
            marked & ~median & before_ok & (lanes_abs(g.value[t - 1] - own) <= BORROW_MAX_DIFF);
        const Lanes borrow_after = marked & ~median & ~borrow_before & after_ok &
                                   (lanes_abs(g.value[t + 1] - own) <= BORROW_MAX_DIFF);
        Lanes v = g.value[t];
        v = choose(median,
                   median_of_three(median_candidate(g, t - 1), own, median_candidate(g, t + 1)), v);
        v = choose(borrow_before, g.value[t - 1], v);
        v = choose(borrow_after, g.value[t + 1], v);
        g.value[t] = v;
        g.state[t] = choose(median | borrow_before | borrow_after, splat(STATE_REPAIRED), code);
    }
}

// The runs lie in the window first_output_index .. year_count - 2. A forward
// sweep notes each run's start and left anchor in every year of the run, a
// backward sweep its end and right anchor, and fills it.
PT_LANE_INLINE void interpolate_runs(PixelGroup& g) {
    const int first = first_output_index;
    const int last = g.year_count - 2;
    if (last < first) return;

    Lanes in_run{};
    Lanes any_invalid{};
    Lanes start{}, anchor{};
    for (int t = first; t <= last; ++t) {
        const Lanes invalid = g.state[t] == STATE_INVALID;
        const Lanes opens = invalid & ~in_run;
        // The year before a run's first year cannot be invalid unless the
        // run finding went wrong: the gap repair's consistency check.
        if (t > first && any_lane(opens & (g.state[t - 1] == STATE_INVALID)))
            throw RunFailure("ERR1");
        const Lanes edge_anchor = t == first ? g.cover[t] : g.value[t - 1];
        start = choose(opens, splat(t), start);
        anchor = choose(opens, edge_anchor, anchor);
        g.run_start[t] = start;
        g.run_anchor[t] = anchor;
        in_run = invalid;
        any_invalid |= invalid;
    }
    if (!any_lane(any_invalid)) return;

    in_run = Lanes{};
    Lanes end{}, end_anchor{};
    for (int t = last; t >= first; --t) {
        const Lanes invalid = g.state[t] == STATE_INVALID;
        if (!any_lane(invalid)) {
            in_run = Lanes{};
            continue;
        }
        const Lanes closes = invalid & ~in_run;
        if (t < last && any_lane(closes & (g.state[t + 1] == STATE_INVALID)))
            throw RunFailure("ERR2 ");
        const Lanes edge_anchor = t == last ? g.cover[t] : g.value[t + 1];
        end = choose(closes, splat(t), end);
        end_anchor = choose(closes, edge_anchor, end_anchor);
        in_run = invalid;

        const Lanes s = g.run_start[t];
        const Lanes a = g.run_anchor[t];
        const Lanes step = divide_toward_zero((splat(t) - s + 1) * (end_anchor - a), end - s + 2);
        g.value[t] = choose(invalid, a + step, g.value[t]);
        g.state[t] = choose(invalid, splat(STATE_INTERPOLATED), g.state[t]);
    }
}

PT_LANE_INLINE void repair_cover_gaps(PixelGroup& g) {
    replace_marked_years(g);
    interpolate_runs(g);
    const int last = g.year_count - 1;
    g.value[last] = choose(g.state[last] != STATE_OK, g.value[last - 1], g.value[last]);
}

}  // namespace pt
