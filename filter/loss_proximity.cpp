// Loss proximity in its two forms: the plain one-pixel scan of the 3x3 block,
// and the row form that the tile pass runs, sixteen columns at a time.
#include <array>
#include <cstring>
#include <vector>

#include "filter/lanes.hpp"
#include "filter/stages.hpp"

namespace pt {

namespace {

PT_LANE_INLINE LaneBytes load_bytes(const uint8_t* p) {
    LaneBytes b;
    std::memcpy(&b, p, sizeof b);
    return b;
}

PT_LANE_INLINE void store_bytes(uint8_t* p, LaneBytes b) {
    std::memcpy(p, &b, sizeof b);
}

}  // namespace

void loss_proximity(const YearCube& loss_cube, int row, int col, YearSeries proximity_series) {
    const int year_count = static_cast<int>(proximity_series.size());
    for (int32_t& code : proximity_series) code = PROX_NONE;
    for (int t = 0; t < year_count; ++t) {
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                const int r = row + dy, c = col + dx;
                if (c < 0 || r < 0 || c >= loss_cube.width || r >= loss_cube.height) continue;
                auto loss_at = [&](int k) { return loss_cube.at(k, r, c) != 0; };
                if (loss_at(t) || (t >= 1 && loss_at(t - 1))) {
                    proximity_series[t] = PROX_RECENT;
                } else if ((t >= 2 && loss_at(t - 2)) || (t >= 3 && loss_at(t - 3))) {
                    proximity_series[t] = PROX_OLDER;
                }
            }
        }
    }
}

// Sixteen columns at a time, so the row costs a few vector operations per
// year.
PT_LANE_CLONES void loss_flags_of_row(const uint8_t* row, std::size_t layer, int year_count,
                                      int width, std::size_t stride, uint8_t* loss, uint8_t* recent,
                                      uint8_t* near) {
    const LaneBytes one = LaneBytes{} + 1;
    const int whole = width / LANE_COUNT * LANE_COUNT;
    for (int t = 0; t < year_count; ++t) {
        const uint8_t* now = row + t * layer;
        // Only read for t >= 1 and t >= 2; otherwise they point at year t.
        const uint8_t* before = t >= 1 ? now - layer : now;
        const uint8_t* recent_earlier =
            t >= 2 ? recent + (t - 2) * stride + 1 : recent + t * stride + 1;
        uint8_t* l = loss + t * stride + 1;
        uint8_t* r = recent + t * stride + 1;
        uint8_t* n = near + t * stride + 1;
        auto flags = [&](LaneBytes l_now, LaneBytes l_before, LaneBytes r_earlier, int c) {
            const LaneBytes this_year = (l_now != 0) & one;
            const LaneBytes last_two = this_year | ((l_before != 0) & one);
            store_bytes(l + c, this_year);
            store_bytes(r + c, last_two);
            store_bytes(n + c, last_two | r_earlier);
        };
        for (int c = 0; c < whole; c += LANE_COUNT) {
            flags(load_bytes(now + c), t >= 1 ? load_bytes(before + c) : LaneBytes{},
                  t >= 2 ? load_bytes(recent_earlier + c) : LaneBytes{}, c);
        }
        if (whole < width) {
            // The last columns through a zero-padded copy: the cube row ends there.
            uint8_t tail_now[LANE_COUNT] = {}, tail_before[LANE_COUNT] = {};
            std::memcpy(tail_now, now + whole, width - whole);
            if (t >= 1) std::memcpy(tail_before, before + whole, width - whole);
            flags(load_bytes(tail_now), load_bytes(tail_before),
                  t >= 2 ? load_bytes(recent_earlier + whole) : LaneBytes{}, whole);
        }
    }
}

// The 3x3 block in scan order (rows above, own, below; left to right): every
// pixel with loss in t-3..t overwrites the verdict with its own, so the last
// such pixel decides, as in loss_proximity.
PT_LANE_CLONES void proximity_of_row(const std::array<const uint8_t*, 3>& recent,
                                     const std::array<const uint8_t*, 3>& near, int year_count,
                                     std::size_t padded_width, std::size_t stride,
                                     std::size_t out_stride, uint8_t* recent_out,
                                     uint8_t* near_out) {
    for (int t = 0; t < year_count; ++t) {
        for (std::size_t c = 0; c < padded_width; c += LANE_COUNT) {
            LaneBytes verdict{}, any{};
            for (int k = 0; k < 3; ++k) {
                const std::size_t at = t * stride + c;  // column c - 1
                for (int dx = 0; dx < 3; ++dx) {
                    const LaneBytes decides = load_bytes(near[k] + at + dx);
                    // recent implies decides, so this is "decides ? recent : verdict".
                    verdict =
                        (verdict & ~(LaneBytes{} - decides)) | load_bytes(recent[k] + at + dx);
                    any |= decides;
                }
            }
            store_bytes(recent_out + t * out_stride + c, verdict);
            store_bytes(near_out + t * out_stride + c, any);
        }
    }
}

// The pixel's three rows through the two steps above, as the tile pass lays
// them out.
void loss_proximity_by_rows(const YearCube& loss_cube, int row, int col,
                            YearSeries proximity_series) {
    const int n = loss_cube.year_count;
    const std::size_t padded = padded_to_lanes(loss_cube.width);
    const std::size_t stride = padded + 2;
    std::vector<uint8_t> flags(9 * stride * n, 0);
    auto slot = [&](int i) { return flags.data() + static_cast<std::size_t>(i) * stride * n; };
    std::array<const uint8_t*, 3> recent{}, near{};
    for (int k = 0; k < 3; ++k) {
        const int r = row - 1 + k;
        if (r >= 0 && r < loss_cube.height) {
            loss_flags_of_row(loss_cube.row(0, r), loss_cube.layer_size(), n, loss_cube.width,
                              stride, slot(3 * k), slot(3 * k + 1), slot(3 * k + 2));
        }
        recent[k] = slot(3 * k + 1);
        near[k] = slot(3 * k + 2);
    }
    std::vector<uint8_t> recent_out(padded * n), near_out(padded * n);
    proximity_of_row(recent, near, n, padded, stride, padded, recent_out.data(), near_out.data());
    for (int t = 0; t < n; ++t) {
        const std::size_t at = t * padded + col;
        proximity_series[t] = recent_out[at] != 0 ? PROX_RECENT
                              : near_out[at] != 0 ? PROX_OLDER
                                                  : PROX_NONE;
    }
}

}  // namespace pt
