// Post-loss rules on sixteen pixels at once: the lane form of
// apply_post_loss_rules in post_loss_rules.cpp (see pixel_group.hpp). Works
// on group.value in place. The store is the row driver's: the low byte of
// each value, as store_cover writes it.
#pragma once

#include "filter/lanes.hpp"
#include "filter/pixel_group.hpp"
#include "tile/constants.hpp"

namespace pt {

PT_LANE_INLINE void apply_post_loss_rules(PixelGroup& g) {
    const int n = g.year_count;
    auto& v = g.value;
    for (int t = first_output_index + 1; t < n - 1; ++t) {
        const Lanes regrown = g.loss[t - 1] & (v[t] >= REGROWTH_MIN) & (v[t - 1] == 0) &
                              (v[t + 1] >= REGROWTH_NEXT_MIN);
        v[t] = choose(regrown, half_toward_zero(v[t - 1] + v[t + 1]), v[t]);
    }
    const int last = n - 1;
    const Lanes regrown_last = g.loss[last - 1] & (v[last] >= REGROWTH_MIN) & (v[last - 1] == 0);
    v[last] = choose(regrown_last, half_toward_zero(v[last - 1] + v[last]), v[last]);
    for (int t = first_output_index + 1; t < n - 1; ++t) {
        const Lanes capped = g.loss[t - 1] & (v[t] >= 1) & (v[t + 1] < v[t]);
        v[t] = choose(capped, v[t + 1], v[t]);
    }
}

}  // namespace pt
