// The row driver: the lane stages composed, group after group along a row.
#include "filter/pixel_group.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "filter/classify_cover_lanes.hpp"
#include "filter/height_series_lanes.hpp"
#include "filter/post_loss_rules_lanes.hpp"
#include "filter/repair_cover_gaps_lanes.hpp"
#include "tile/constants.hpp"
#include "tile/tile.hpp"

namespace pt {

LaneSeries::LaneSeries(int year_count)
    : data_(static_cast<Lanes*>(std::aligned_alloc(
          alignof(Lanes), sizeof(Lanes) * static_cast<std::size_t>(year_count)))),
      size_(year_count) {
    if (data_ == nullptr) throw std::bad_alloc();
    std::fill(begin(), end(), Lanes{});
}

LaneSeries::~LaneSeries() {
    std::free(data_);
}

PixelGroup::PixelGroup(int year_count_)
    : year_count(year_count_),
      cover(year_count_),
      loss(year_count_),
      recent(year_count_),
      near(year_count_),
      value(year_count_),
      state(year_count_),
      derived(year_count_),
      height(year_count_),
      run_start(year_count_),
      run_anchor(year_count_) {}

// The whole row in one function with every step inlined, so that each
// processor gets a build of it for its widest vectors (two 16-byte halves
// per lane vector otherwise).
PT_LANE_CLONES void filter_row_groups(PixelGroup& g, const RowBuffers& row) {
    GroupHeights heights;
    heights.year_stride = row.height_stride;
    for (std::size_t col = 0; col < row.padded_width; col += LANE_COUNT) {
        const Lanes inside = load_lanes(row.datamask + col) == 1;
        if (!any_lane(inside)) {
            for (int t = first_output_index; t < g.year_count; ++t) {
                const std::size_t at = t * row.stride + col;
                store_lanes(row.cover_out + at, Lanes{});
                store_lanes(row.height_out + at, Lanes{});
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
        repair_cover_gaps(g);
        apply_post_loss_rules(g);
        filter_height_series(g, heights);

        // The products: the low byte of each value, as store_cover writes
        // it, and the height.
        for (int t = first_output_index; t < g.year_count; ++t) {
            const std::size_t at = t * row.stride + col;
            store_lanes(row.cover_out + at, choose(inside, g.value[t], Lanes{}));
            store_lanes(row.height_out + at, choose(inside, g.height[t], Lanes{}));
        }
    }
}

}  // namespace pt
