// The per-pixel chain after loss proximity, run on sixteen neighbouring
// pixels of a row at once, one lane per pixel (see lanes.hpp). Each stage's
// lane form sits in <stage>_lanes.hpp beside its one-pixel form <stage>.cpp,
// under the same function names: it takes every decision for all lanes and
// keeps, in each lane, the outcome the one-pixel form gives that pixel. This
// header holds what they share, below every stage: the group of pixels and
// the row buffers it is loaded from and stored to. The row driver that runs
// the stages in the whole-tile pass is in row_groups.hpp, above them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/lanes.hpp"

namespace pt {

// One lane vector per year. Not a std::vector: the compiler drops the
// alignment of Lanes when it is a template argument, and the vector loads of
// the AVX2 build need every entry on a 32-byte boundary.
class LaneSeries {
  public:
    explicit LaneSeries(int year_count);
    ~LaneSeries();
    LaneSeries(const LaneSeries&) = delete;
    LaneSeries& operator=(const LaneSeries&) = delete;

    Lanes& operator[](int t) const { return data_[t]; }
    Lanes* begin() const { return data_; }
    Lanes* end() const { return data_ + size_; }

  private:
    Lanes* data_;
    int size_;
};

struct PixelGroup {
    explicit PixelGroup(int year_count);

    int year_count;

    // Filled by the caller, year by year. Masks are all ones where true.
    LaneSeries cover;   // cover bytes; classification zeroes invalid ones
    LaneSeries loss;    // mask: thinned loss byte is not 0
    LaneSeries recent;  // mask: proximity PROX_RECENT
    LaneSeries near;    // mask: proximity PROX_RECENT or PROX_OLDER
    Lanes wetland{};    // mask: wetland byte is exactly 1

    // Results and work, under the names the one-pixel stages give them.
    LaneSeries value;                  // filtered cover
    LaneSeries state;                  // STATE_* codes
    LaneSeries derived;                // derived, then capped heights
    LaneSeries height;                 // smoothed heights
    LaneSeries run_start, run_anchor;  // gap interpolation bookkeeping
};

// One row of the tile in a worker's buffers: year t of a buffer at
// t * stride (loss: t * loss_stride), columns padded with zeros to
// padded_width, a whole number of groups. loss, recent and near hold 0/1
// flags; heights as for GroupHeights (height_series_lanes.hpp), at the row's
// column 0.
struct RowBuffers {
    const uint8_t* cover;
    const uint8_t* loss;  // 0/1 flags, year t at t * loss_stride
    std::size_t loss_stride;
    const uint8_t* recent;
    const uint8_t* near;
    const uint8_t* datamask;
    const uint8_t* wetland;
    uint8_t* cover_out;
    uint8_t* height_out;
    std::size_t stride;
    std::size_t padded_width;
    const uint8_t* height_rows[5];
    std::ptrdiff_t height_stride;
};

}  // namespace pt
