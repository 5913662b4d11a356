// Canopy cover classification on sixteen pixels at once: the lane form of
// classify_cover.cpp, rule for rule under the same names (see
// pixel_group.hpp). Fills group.value and group.state and zeroes the invalid
// bytes of group.cover, as the one-pixel form does for its pixel.
#pragma once

#include <algorithm>

#include "filter/lanes.hpp"
#include "filter/pixel_group.hpp"
#include "tile/constants.hpp"
#include "tile/tile.hpp"

namespace pt {

// Wetland years from WETLAND_RULE_YEAR on, for the lanes in `wet`: the close
// ones (recent or older loss nearby, or a small change) are returned for the
// caller to accept; the others move halfway or hold the previous value.
PT_LANE_INLINE Lanes judge_wetland_year(PixelGroup& g, int t, Lanes wet) {
    const Lanes cover = g.cover[t];
    const Lanes v1 = g.value[t - 1];
    const Lanes v2 = g.value[t - 2];
    const Lanes d = lanes_abs(v1 - cover);
    const Lanes close = g.near[t] | (d <= WETLAND_ACCEPT_DIFF);
    const Lanes trend = ((cover < v1) & (v1 < v2)) | ((v1 < cover) & (v2 < v1));
    const Lanes halfway = ~close & trend & (d <= WETLAND_AVERAGE_DIFF);
    const Lanes hold = ~close & ~halfway;
    g.value[t] = choose(wet & halfway, half_toward_zero(v1 + cover), g.value[t]);
    g.value[t] = choose(wet & hold, v1, g.value[t]);
    return wet & close;
}

// Loss, invalid byte, unchanged cover, wetland. Applies them and returns the
// lanes they decided.
PT_LANE_INLINE Lanes judge_leading_rules(PixelGroup& g, int t) {
    Lanes& cover = g.cover[t];
    const Lanes loss = g.loss[t];
    // A loss year keeps value 0 and its byte is not examined.
    const Lanes invalid = ~loss & (cover > MAX_VALID_COVER);
    cover = choose(invalid, splat(0), cover);
    g.state[t] = choose(invalid, splat(STATE_INVALID), g.state[t]);

    const Lanes open = ~loss & ~invalid;
    const Lanes same = open & (g.cover[t - 1] == cover);
    const Lanes wet = open & ~same & g.wetland;

    Lanes accept = same;
    if (t + FIRST_YEAR < WETLAND_RULE_YEAR) {
        accept |= wet;
    } else if (any_lane(wet)) {
        accept |= judge_wetland_year(g, t, wet);
    }
    g.value[t] = choose(accept, cover, g.value[t]);
    return loss | invalid | same | wet;
}

PT_LANE_INLINE void judge_main_year(PixelGroup& g, int t) {
    const Lanes rest = ~judge_leading_rules(g, t);
    if (!any_lane(rest)) return;
    const Lanes before = g.cover[t - 1];
    const Lanes here = g.cover[t];
    const Lanes after = g.cover[t + 1];
    const Lanes monotone =
        ((before >= here) & (here >= after)) | ((before <= here) & (here <= after));
    const Lanes valley = (before >= here) & (here <= after);
    Lanes wider_valley{};
    if (t < g.year_count - 2) {
        wider_valley = valley & (g.cover[t - 2] > before) & (after < g.cover[t + 2]);
    }
    const Lanes accept = rest & (monotone | (valley & g.recent[t]) | wider_valley);
    const Lanes a = lanes_abs(before - here);
    const Lanes b = lanes_abs(after - here);
    const Lanes jump = ((a >= JUMP_MIN) & (b <= (a >> 1))) | ((b >= JUMP_MIN) & (a <= (b >> 1)));
    const Lanes marked = rest & ~accept;
    g.value[t] = choose(accept, here, g.value[t]);
    g.state[t] = choose(marked, choose(jump, splat(STATE_JUMP), splat(STATE_INVALID)), g.state[t]);
}

PT_LANE_INLINE void judge_last_year(PixelGroup& g, int t) {
    const Lanes rest = ~judge_leading_rules(g, t);
    if (!any_lane(rest)) return;
    const Lanes before2 = g.cover[t - 2];
    const Lanes before = g.cover[t - 1];
    const Lanes here = g.cover[t];
    const Lanes monotone =
        ((before2 >= before) & (before >= here)) | ((before2 <= before) & (before <= here));
    const Lanes loss_before = g.loss[t - 1] | g.loss[t - 2] | (g.loss[t - 3] & (here > before));
    const Lanes accept = rest & (monotone | ((before >= here) & g.recent[t]) | loss_before);
    const Lanes other = rest & ~accept;
    const Lanes prior_marked = g.state[t - 1] != STATE_OK;
    g.value[t] = choose(accept, here, g.value[t]);
    g.state[t] = choose(other & prior_marked, splat(STATE_INVALID), g.state[t]);
    g.value[t] = choose(other & ~prior_marked, g.value[t - 1], g.value[t]);
}

PT_LANE_INLINE void classify_cover(PixelGroup& g) {
    std::fill(g.value.begin(), g.value.end(), Lanes{});
    std::fill(g.state.begin(), g.state.end(), Lanes{});
    for (int t = first_output_index; t < g.year_count - 1; ++t) judge_main_year(g, t);
    judge_last_year(g, g.year_count - 1);
}

}  // namespace pt
