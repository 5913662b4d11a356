// The row driver as a template: the lane stages composed, group after group
// along a row. `Watch` sees the group between the steps; the product pass
// gives it a watcher whose hooks are empty, so its build is the plain chain
// of stages, and the quality pass one that records per-year flags of what
// each step changed, from the very same stage code.
#pragma once

#include <cstddef>

#include "filter/classify_cover_lanes.hpp"
#include "filter/height_series_lanes.hpp"
#include "filter/pixel_group.hpp"
#include "filter/post_loss_rules_lanes.hpp"
#include "filter/repair_cover_gaps_lanes.hpp"
#include "tile/constants.hpp"

namespace pt {

// The hooks a watcher provides, each called once per group of pixels inside
// the datamask: after classification, gap repair, post-loss rules, height
// derivation, growth cap and smoothing; then store(t, at, inside) once the
// products of year t are stored at offset `at` of the row buffers, also for
// a group with no pixel inside the datamask (inside all false).
struct NoWatch {
    PT_LANE_INLINE void classified(const PixelGroup&) {}
    PT_LANE_INLINE void repaired(const PixelGroup&) {}
    PT_LANE_INLINE void post_loss_applied(const PixelGroup&) {}
    PT_LANE_INLINE void heights_derived(const PixelGroup&, const GroupHeights&) {}
    PT_LANE_INLINE void growth_capped(const PixelGroup&) {}
    PT_LANE_INLINE void heights_smoothed(const PixelGroup&) {}
    PT_LANE_INLINE void store(int, std::size_t, Lanes) {}
};

// Every group of the row with a pixel inside the datamask (byte exactly 1)
// through the stages in order, each step shown to `watch`; the output years
// of cover_out and height_out receive its products (the low byte of value,
// and height), 0 for pixels outside the datamask.
template <class Watch>
PT_LANE_INLINE void filter_row_groups_watched(PixelGroup& g, const RowBuffers& row, Watch& watch) {
    GroupHeights heights;
    heights.year_stride = row.height_stride;
    for (std::size_t col = 0; col < row.padded_width; col += LANE_COUNT) {
        const Lanes inside = load_lanes(row.datamask + col) == 1;
        if (!any_lane(inside)) {
            for (int t = first_output_index; t < g.year_count; ++t) {
                const std::size_t at = t * row.stride + col;
                store_lanes(row.cover_out + at, Lanes{});
                store_lanes(row.height_out + at, Lanes{});
                watch.store(t, at, Lanes{});
            }
            continue;
        }
        for (int t = 0; t < g.year_count; ++t) {
            const std::size_t at = t * row.stride + col;
            g.cover[t] = load_lanes(row.cover + at);
            g.loss[t] = load_lanes(row.loss + t * row.loss_stride + col) != 0;
            g.recent[t] = -load_lanes(row.recent + at);
            g.near[t] = -load_lanes(row.near + at);
        }
        g.wetland = load_lanes(row.wetland + col) == 1;
        for (int k = 0; k < 5; ++k) heights.rows[k] = row.height_rows[k] + col;

        classify_cover(g);
        watch.classified(g);
        repair_cover_gaps(g);
        watch.repaired(g);
        apply_post_loss_rules(g);
        watch.post_loss_applied(g);
        derive_heights(g, heights);
        watch.heights_derived(g, heights);
        cap_height_growth(g);
        watch.growth_capped(g);
        smooth_heights(g);
        watch.heights_smoothed(g);

        // The products: the low byte of each value, as store_cover writes
        // it, and the height.
        for (int t = first_output_index; t < g.year_count; ++t) {
            const std::size_t at = t * row.stride + col;
            store_lanes(row.cover_out + at, choose(inside, g.value[t], Lanes{}));
            store_lanes(row.height_out + at, choose(inside, g.height[t], Lanes{}));
            watch.store(t, at, inside);
        }
    }
}

// The product pass's driver: filter_row_groups_watched with NoWatch, built
// once per instruction set (pixel_group.cpp).
void filter_row_groups(PixelGroup& group, const RowBuffers& row);

}  // namespace pt
