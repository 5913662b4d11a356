// The per-pixel chain after loss proximity, run on sixteen neighbouring
// pixels of a row at once, one lane per pixel (see lanes.hpp). Each step is
// the lane-wise form of the stage of the same name in stages.hpp: it takes
// every decision for all lanes and keeps, in each lane, the outcome the
// stage would give that pixel. The whole-tile pass runs it; tests hold it to
// the one-pixel stages on every rule.
#pragma once

#include <cstddef>

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
    Lanes wetland{};            // mask: wetland byte is exactly 1

    // Results and work, as the one-pixel value, state and height series.
    LaneSeries value;    // filtered cover
    LaneSeries state;    // STATE_* codes
    LaneSeries derived;  // derived, then capped heights
    LaneSeries height;   // smoothed heights
    LaneSeries run_start, run_anchor;  // gap interpolation bookkeeping
};

// The input heights around the group: rows[2 + dy] points at the lane-0
// pixel's column in a copy of row (row + dy) whose columns outside the tile
// hold 0, for dy in -2..2, with at least two readable bytes before and
// LANE_COUNT + 1 after it; year t lies year_stride bytes further per year.
struct GroupHeights {
    const uint8_t* rows[5];
    std::ptrdiff_t year_stride;
};

void classify_group_cover(PixelGroup& group);
void repair_group_gaps(PixelGroup& group);
void apply_group_post_loss_rules(PixelGroup& group);
void derive_group_heights(PixelGroup& group, const GroupHeights& heights);
void cap_group_heights(PixelGroup& group);
void smooth_group_heights(PixelGroup& group);

// One row of the tile in a worker's buffers: year t of a buffer at
// t * stride (loss: t * loss_stride), columns padded with zeros to
// padded_width, a whole number of groups. loss, recent and near hold 0/1
// flags; heights as for GroupHeights, at the row's column 0.
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

// Every group of the row with a pixel inside the datamask (byte exactly 1)
// through the steps above in order; the output years of cover_out and
// height_out receive its products (the low byte of value, and height), 0 for
// pixels outside the datamask.
void filter_row_groups(PixelGroup& group, const RowBuffers& row);

}  // namespace pt
