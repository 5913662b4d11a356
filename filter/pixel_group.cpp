// The product pass's row driver, and the group it works on.
#include "filter/pixel_group.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "filter/row_groups.hpp"
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
    NoWatch none;
    filter_row_groups_watched(g, row, none);
}

}  // namespace pt
