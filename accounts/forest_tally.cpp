#include "accounts/forest_tally.hpp"

#include <algorithm>

namespace pt {

ForestMasks::ForestMasks(int width, int height, int years) {
    years_.reserve(static_cast<std::size_t>(years));
    for (int y = 0; y < years; ++y) years_.emplace_back(width, height);
    undecided_.resize(static_cast<std::size_t>(years));
    row_first_.resize(static_cast<std::size_t>(years));
}

void ForestMasks::keep_forest(const std::vector<double>& row_area_m2, double min_area_m2,
                              int connectivity, const BitMask* edge) {
    for (std::size_t y = 0; y < years_.size(); ++y) {
        BitMask& mask = years_[y];
        if (edge == nullptr) {
            keep_forest_patches(mask, row_area_m2, min_area_m2, connectivity);
            continue;
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
}

std::pair<std::size_t, std::size_t> ForestMasks::runs_of(int year, int row) const {
    const std::vector<uint32_t>& first = row_first_[static_cast<std::size_t>(year)];
    if (first.empty()) return {0, 0};
    return {first[static_cast<std::size_t>(row)], first[static_cast<std::size_t>(row) + 1]};
}

void ForestMasks::add(ForestArea& area, const AccountRow& row, int tile_row, int begin, int end,
                      double cell_m2) const {
    const std::size_t years = years_.size();
    std::vector<int> lost(years, 0);
    const BitMask& first = years_[0];
    for (int i = begin; i < end; ++i) {
        if (!first.test(tile_row, i)) continue;
        for (std::size_t y = 0; y < years; ++y) lost[y] += row.loss[y][i] != 0;
    }
    for (std::size_t y = 0; y < years; ++y) {
        area.forest_m2[y] += years_[y].count(tile_row, begin, end) * cell_m2;
        area.loss_m2[y] += lost[y] * cell_m2;
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
                int count = 0;
                for (int i = a; i < b; ++i) count += row.loss[later][i] != 0;
                share.loss_m2[later] += count * cell_m2;
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
