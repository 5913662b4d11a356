#include "accounts/forest_tally.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "run/workers.hpp"

namespace pt {

ForestMasks::ForestMasks(int width, int height, int years) {
    years_.reserve(static_cast<std::size_t>(years));
    lost_.reserve(static_cast<std::size_t>(years));
    for (int y = 0; y < years; ++y) {
        years_.emplace_back(width, height);
        lost_.emplace_back(width, height);
    }
    undecided_.resize(static_cast<std::size_t>(years));
    row_first_.resize(static_cast<std::size_t>(years));
}

void ForestMasks::keep_forest(const std::vector<double>& row_area_m2, double min_area_m2,
                              int connectivity, const BitMask* edge) {
    // The years are labelled apart from each other, each on whichever CPU
    // asks next.
    WorkQueue queue(year_count(), 1);
    run_workers(std::min(available_cpus(), year_count()), [&](int) {
        int year, end;
        while (queue.next(year, end)) {
            keep_forest(static_cast<std::size_t>(year), row_area_m2, min_area_m2, connectivity,
                        edge);
        }
    });
}

void ForestMasks::keep_forest(std::size_t y, const std::vector<double>& row_area_m2,
                              double min_area_m2, int connectivity, const BitMask* edge) {
    BitMask& mask = years_[y];
    if (edge == nullptr) {
        keep_forest_patches(mask, row_area_m2, min_area_m2, connectivity);
        return;
    }
    undecided_[y] = keep_forest_patches(mask, row_area_m2, min_area_m2, connectivity, *edge);
    // Where each row's runs begin, so that a row finds its own at once.
    std::vector<uint32_t>& first = row_first_[y];
    first.assign(static_cast<std::size_t>(mask.height()) + 1, 0);
    for (const UndecidedPatches::Run& run : undecided_[y].runs) {
        ++first[static_cast<std::size_t>(run.row) + 1];
    }
    for (std::size_t r = 1; r < first.size(); ++r) first[r] += first[r - 1];
}

std::pair<std::size_t, std::size_t> ForestMasks::runs_of(int year, int row) const {
    const std::vector<uint32_t>& first = row_first_[static_cast<std::size_t>(year)];
    if (first.empty()) return {0, 0};
    return {first[static_cast<std::size_t>(row)], first[static_cast<std::size_t>(row) + 1]};
}

namespace {

// Eight flags of one byte each (0 or 1), the first at the lowest address,
// as eight bits, the first the lowest: the multiplication moves each
// byte's bit to the top byte, each to its own place, and no two carry.
inline uint64_t pack8(const uint8_t* flags) {
    uint64_t bytes;
    std::memcpy(&bytes, flags, sizeof bytes);
    return (bytes * 0x0102040810204080ULL) >> 56;
}

// Sets in `mask`'s row the columns [begin, end) where `is_set(i)`: the
// words wholly inside a flag a byte at a time (a loop the compiler makes
// wide) and packed eight at a time, the ends one by one.
template <typename Test>
void set_where(BitMask& mask, int tile_row, int begin, int end, Test is_set) {
    uint64_t* words = mask.row_words(tile_row);
    const int first_whole = (begin + 63) >> 6, last_whole = end >> 6;  // words [first, last)
    if (first_whole >= last_whole) {
        for (int i = begin; i < end; ++i)
            words[i >> 6] |= static_cast<uint64_t>(is_set(i)) << (i & 63);
        return;
    }
    for (int i = begin; i < first_whole << 6; ++i)
        words[i >> 6] |= static_cast<uint64_t>(is_set(i)) << (i & 63);
    alignas(64) uint8_t flags[64];
    for (int word = first_whole; word < last_whole; ++word) {
        const int base = word << 6;
        for (int k = 0; k < 64; ++k) flags[k] = is_set(base + k);
        uint64_t bits = 0;
        for (int k = 0; k < 8; ++k) bits |= pack8(flags + 8 * k) << (8 * k);
        words[word] |= bits;
    }
    for (int i = last_whole << 6; i < end; ++i)
        words[i >> 6] |= static_cast<uint64_t>(is_set(i)) << (i & 63);
}

// The set pixels of columns [begin, end) in both rows.
PT_POPCOUNT_CLONES int count_both(const uint64_t* a, const uint64_t* b, int begin, int end) {
    int total = 0;
    for (int column = begin; column < end;) {
        const int bit = column & 63;
        const int span = std::min(64 - bit, end - column);
        const uint64_t mask = span == 64 ? ~uint64_t{0} : ((uint64_t{1} << span) - 1) << bit;
        total += std::popcount(a[column >> 6] & b[column >> 6] & mask);
        column += span;
    }
    return total;
}

}  // namespace

void ForestMasks::mark(const AccountRow& row, int tile_row, int begin, int end, uint8_t cover,
                       uint8_t height) {
    const uint8_t* land = row.datamask;
    for (std::size_t y = 0; y < years_.size(); ++y) {
        const uint8_t* tcc = row.tcc[y];
        const uint8_t* tch = row.tch[y];
        const uint8_t* loss = row.loss[y];
        set_where(years_[y], tile_row, begin, end, [&](int i) {
            // & rather than &&: no branch, so that the loop is made wide.
            return static_cast<bool>((land[i] == 1) & (tcc[i] >= cover) & (tch[i] >= height));
        });
        set_where(lost_[y], tile_row, begin, end, [&](int i) { return loss[i] != 0; });
    }
}

void ForestMasks::add(ForestArea& area, int tile_row, int begin, int end, double cell_m2) const {
    const std::size_t years = years_.size();
    const uint64_t* forest_2000 = years_[0].row_words(tile_row);
    for (std::size_t y = 0; y < years; ++y) {
        area.forest_m2[y] += years_[y].count(tile_row, begin, end) * cell_m2;
        area.loss_m2[y] +=
            count_both(forest_2000, lost_[y].row_words(tile_row), begin, end) * cell_m2;
    }
    for (std::size_t y = 0; y < years; ++y) {
        const auto [from, to] = runs_of(static_cast<int>(y), tile_row);
        for (std::size_t k = from; k < to; ++k) {
            const UndecidedPatches::Run& run = undecided_[y].runs[k];
            const int a = std::max(begin, run.begin), b = std::min(end, run.end);
            if (a >= b) continue;
            ForestArea::Share& share =
                area.undecided[ForestArea::share_key(static_cast<int>(y), run.patch)];
            share.forest_m2 += (b - a) * cell_m2;
            // Loss counts on what was forest in 2000: only 2000's patches
            // carry it.
            if (y != 0) continue;
            share.loss_m2.resize(years);
            for (std::size_t later = 0; later < years; ++later) {
                share.loss_m2[later] += lost_[later].count(tile_row, a, b) * cell_m2;
            }
        }
    }
}

int32_t ForestMasks::state(int year, const TilePixel& pixel) const {
    if (years_[static_cast<std::size_t>(year)].test(pixel.row, pixel.column)) return EDGE_FOREST;
    const auto [from, to] = runs_of(year, pixel.row);
    for (std::size_t k = from; k < to; ++k) {
        const UndecidedPatches::Run& run = undecided_[static_cast<std::size_t>(year)].runs[k];
        if (pixel.column >= run.begin && pixel.column < run.end) {
            return static_cast<int32_t>(run.patch);
        }
    }
    return EDGE_NOT_CANOPY;
}

TileForestEdges ForestMasks::edges(const std::vector<TilePixel>& border, const ForestArea& whole,
                                   const std::vector<const ForestArea*>& zones,
                                   const std::vector<std::string>& zone_names) const {
    TileForestEdges edges;
    edges.zone_names = zone_names;
    const std::size_t years = years_.size();
    edges.years.resize(years);
    for (std::size_t y = 0; y < years; ++y) {
        EdgeYear& year = edges.years[y];
        const UndecidedPatches& undecided = undecided_[y];
        year.patches.resize(undecided.area_m2.size());
        for (std::size_t k = 0; k < year.patches.size(); ++k) {
            EdgePatch& patch = year.patches[k];
            patch.id = static_cast<uint32_t>(k + 1);
            patch.area_m2 = undecided.area_m2[k];
            if (y == 0) {
                const auto found = whole.undecided.find(ForestArea::share_key(0, patch.id));
                patch.loss_m2 = found != whole.undecided.end() ? found->second.loss_m2
                                                               : std::vector<double>(years, 0.0);
                patch.loss_m2.resize(years);
            }
        }
        for (std::size_t z = 0; z < zones.size(); ++z) {
            for (const auto& [key, share] : zones[z]->undecided) {
                if (key >> 32 != y) continue;
                EdgeZoneShare zone_share;
                zone_share.zone = z;
                zone_share.forest_m2 = share.forest_m2;
                if (y == 0) {
                    zone_share.loss_m2 = share.loss_m2;
                    zone_share.loss_m2.resize(years);
                }
                year.patches[(key & 0xffffffffu) - 1].zones.push_back(std::move(zone_share));
            }
        }
        // The zones of a patch in the order of the zone list, whatever order
        // the shares were gathered in.
        for (EdgePatch& patch : year.patches) {
            std::sort(
                patch.zones.begin(), patch.zones.end(),
                [](const EdgeZoneShare& a, const EdgeZoneShare& b) { return a.zone < b.zone; });
        }
        for (const TilePixel& pixel : border) {
            const int32_t state = this->state(static_cast<int>(y), pixel);
            if (!year.border_runs.empty() && year.border_runs.back().second == state) {
                ++year.border_runs.back().first;
            } else {
                year.border_runs.emplace_back(1, state);
            }
        }
    }
    return edges;
}

BitMask edge_mask(const std::vector<TilePixel>& border, int width, int height) {
    BitMask mask(width, height);
    for (const TilePixel& pixel : border) mask.set(pixel.row, pixel.column);
    return mask;
}

}  // namespace pt
