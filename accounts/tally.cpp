// The tally of a tile's cells by year and threshold.
//
// A run of whole cells of one row has one cell area, so its sums are integer
// counts (cells, height metres) times that area: the counts are exact, and
// one multiplication a run keeps the rounding of the square metres to a few
// units in the sixteenth digit however many cells the run holds.
//
// The counts are the part that costs: every cell of the tile, every year,
// every threshold, for the tile and again for each zone holding it. They are
// taken 32 cells at a time in byte lanes: a lane mask of the cells at or above
// the threshold (and on land) is subtracted from byte counters (each mask
// lane is 255, so subtracting it adds one), the heights under the mask are
// summed in 16-bit lanes, and the loss under the first year's mask likewise.
// The counters are emptied into 64-bit sums every 128 groups, before a lane
// can overflow. A year without loss in the run skips the loss lanes. With
// many thresholds a histogram of cover levels (one count per cell and year,
// whatever the number of thresholds) is cheaper and is used instead.
#include "accounts/tally.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace pt {
namespace {

#if defined(__x86_64__) && !defined(PT_NO_LANE_CLONES)
#define PT_TALLY_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define PT_TALLY_CLONES
#endif

constexpr int COVER = 0;
constexpr int LOSS = 1;
constexpr int HEIGHT = 2;

// Cells counted in one go; the mask of a chunk stays in the first-level
// cache, and no count can come near overflowing.
constexpr int CHUNK = 1 << 14;

// Up to this many thresholds the lane counts, one pass per threshold; above
// it the level histogram, one pass for all.
constexpr int MAX_LANE_THRESHOLDS = 24;

constexpr int LANE_BYTES = 32;
constexpr std::size_t GROUPS_PER_FLUSH = 128;  // 128 x (255 + 255) < 65536

using Bytes = uint8_t __attribute__((vector_size(LANE_BYTES), aligned(1)));
using Words = uint16_t __attribute__((vector_size(LANE_BYTES), aligned(1)));

struct LaneCounts {
    uint64_t cover = 0;
    uint64_t loss = 0;
    uint64_t height = 0;
};

// Cover, loss and height sum at one threshold over `n` cells, `land` holding
// 0xFF for land and 0 elsewhere; `loss` null when the run has none this year.
PT_TALLY_CLONES LaneCounts count_at_threshold(const uint8_t* tcc, const uint8_t* tch,
                                              const uint8_t* loss, const uint8_t* tcc0,
                                              const uint8_t* land, int n, uint8_t threshold) {
    LaneCounts counts;
    const Bytes at = Bytes{} + threshold;
    const Bytes zero = Bytes{};
    const Words low_byte = Words{} + static_cast<uint16_t>(0xff);
    const std::size_t groups = static_cast<std::size_t>(n) / LANE_BYTES;
    for (std::size_t g0 = 0; g0 < groups; g0 += GROUPS_PER_FLUSH) {
        const std::size_t g1 = std::min(groups, g0 + GROUPS_PER_FLUSH);
        Bytes cover = zero;
        Bytes lost = zero;
        Words heights = Words{};
        for (std::size_t g = g0; g < g1; ++g) {
            const std::size_t i = g * LANE_BYTES;
            Bytes t, h, m;
            std::memcpy(&t, tcc + i, LANE_BYTES);
            std::memcpy(&h, tch + i, LANE_BYTES);
            std::memcpy(&m, land + i, LANE_BYTES);
            const Bytes covered = reinterpret_cast<Bytes>(t >= at) & m;
            cover -= covered;
            const Words hc = reinterpret_cast<Words>(h & covered);
            heights += (hc & low_byte) + (hc >> 8);
            if (loss != nullptr) {
                Bytes l, t0;
                std::memcpy(&l, loss + i, LANE_BYTES);
                std::memcpy(&t0, tcc0 + i, LANE_BYTES);
                lost -= reinterpret_cast<Bytes>(t0 >= at) & m & reinterpret_cast<Bytes>(l != zero);
            }
        }
        for (int lane = 0; lane < LANE_BYTES; ++lane) {
            counts.cover += cover[lane];
            counts.loss += lost[lane];
        }
        for (int lane = 0; lane < LANE_BYTES / 2; ++lane) counts.height += heights[lane];
    }
    for (int i = static_cast<int>(groups) * LANE_BYTES; i < n; ++i) {
        if (land[i] == 0 || tcc[i] < threshold) continue;
        ++counts.cover;
        counts.height += tch[i];
    }
    if (loss != nullptr) {
        for (int i = static_cast<int>(groups) * LANE_BYTES; i < n; ++i) {
            counts.loss += land[i] != 0 && tcc0[i] >= threshold && loss[i] != 0;
        }
    }
    return counts;
}

bool any_nonzero(const uint8_t* bytes, int n) {
    uint8_t any = 0;
    for (int i = 0; i < n; ++i) any |= bytes[i];
    return any != 0;
}

}  // namespace

Tally::Tally(const Thresholds& thresholds, int year_count)
    : thresholds_(thresholds),
      years_(std::max(year_count, 0)),
      values_(static_cast<int>(thresholds.values.size())),
      sums_(static_cast<std::size_t>(years_) * values_ * 3, 0.0),
      land_(CHUNK),
      counts_(static_cast<std::size_t>(years_) * values_ * 3, 0) {}

void Tally::add(const AccountRow& row, int begin, int end, double cell_m2) {
    if (row.datamask == nullptr || static_cast<int>(row.tcc.size()) != years_ ||
        static_cast<int>(row.tch.size()) != years_ || static_cast<int>(row.loss.size()) != years_) {
        throw std::invalid_argument("an account row without one layer of each kind a year");
    }
    if (end - begin == 1) {
        add_cell(row, begin, cell_m2);
        return;
    }
    for (int start = begin; start < end; start += std::min(end - start, CHUNK)) {
        add_run(row, start, start + std::min(end - start, CHUNK), cell_m2);
    }
}

void Tally::add_cell(const AccountRow& row, int i, double cell_m2) {
    if (row.datamask[i] != 1) return;
    land_m2_ += cell_m2;
    const int first_level = thresholds_.level[row.tcc.empty() ? 0 : row.tcc[0][i]];
    for (int y = 0; y < years_; ++y) {
        const int level = thresholds_.level[row.tcc[y][i]];
        const double height = cell_m2 * row.tch[y][i];
        for (int k = 0; k < level; ++k) {
            sum(y, k, COVER) += cell_m2;
            sum(y, k, HEIGHT) += height;
        }
        if (row.loss[y][i] != 0) {
            for (int k = 0; k < first_level; ++k) sum(y, k, LOSS) += cell_m2;
        }
    }
}

void Tally::add_run(const AccountRow& row, int begin, int end, double cell_m2) {
    const int n = end - begin;
    const uint8_t* datamask = row.datamask + begin;
    uint64_t land_cells = 0;
    for (int i = 0; i < n; ++i) {
        const bool land = datamask[i] == 1;
        land_[i] = land ? 0xff : 0;
        land_cells += land;
    }
    if (land_cells == 0) return;
    land_m2_ += static_cast<double>(land_cells) * cell_m2;
    std::fill(counts_.begin(), counts_.end(), 0);
    const auto count = [&](int y, int k, int what) -> uint64_t& {
        return counts_[(static_cast<std::size_t>(y) * values_ + k) * 3 + what];
    };
    const uint8_t* tcc0 = years_ > 0 ? row.tcc[0] + begin : nullptr;
    if (values_ <= MAX_LANE_THRESHOLDS) {
        for (int y = 0; y < years_; ++y) {
            const uint8_t* loss = row.loss[y] + begin;
            if (!any_nonzero(loss, n)) loss = nullptr;
            for (int k = 0; k < values_; ++k) {
                const LaneCounts c = count_at_threshold(
                    row.tcc[y] + begin, row.tch[y] + begin, loss, tcc0, land_.data(), n,
                    static_cast<uint8_t>(thresholds_.values[k]));
                count(y, k, COVER) = c.cover;
                count(y, k, LOSS) = c.loss;
                count(y, k, HEIGHT) = c.height;
            }
        }
    } else {
        // Counts by cover level (the number of thresholds at or below the
        // cell's cover), non-land cells in a slot of their own; the sums at
        // threshold k are those of the levels above k.
        const int levels = values_ + 1;
        const int trash = levels;
        std::vector<uint64_t> cover(levels + 1), height(levels + 1), lost(levels + 1);
        for (int y = 0; y < years_; ++y) {
            std::fill(cover.begin(), cover.end(), 0);
            std::fill(height.begin(), height.end(), 0);
            std::fill(lost.begin(), lost.end(), 0);
            const uint8_t* tcc = row.tcc[y] + begin;
            const uint8_t* tch = row.tch[y] + begin;
            const uint8_t* loss = row.loss[y] + begin;
            for (int i = 0; i < n; ++i) {
                const int level = land_[i] != 0 ? thresholds_.level[tcc[i]] : trash;
                ++cover[level];
                height[level] += tch[i];
                const int first_level = land_[i] != 0 ? thresholds_.level[tcc0[i]] : trash;
                lost[first_level] += loss[i] != 0;
            }
            uint64_t c = 0, h = 0, l = 0;
            for (int k = values_ - 1; k >= 0; --k) {
                c += cover[k + 1];
                h += height[k + 1];
                l += lost[k + 1];
                count(y, k, COVER) = c;
                count(y, k, HEIGHT) = h;
                count(y, k, LOSS) = l;
            }
        }
    }
    for (std::size_t j = 0; j < counts_.size(); ++j) {
        sums_[j] += static_cast<double>(counts_[j]) * cell_m2;
    }
}

AccountFigures Tally::figures(int year, int k) const {
    if (year < 0 || year >= years_ || k < 0 || k >= values_) {
        throw std::out_of_range("no account figures for this year or threshold");
    }
    const std::size_t at = (static_cast<std::size_t>(year) * values_ + k) * 3;
    return {land_m2_, sums_[at + COVER], sums_[at + LOSS], sums_[at + HEIGHT]};
}

}  // namespace pt
