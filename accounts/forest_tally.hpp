// The forest figures of a tile's owned part and of its zones, from each
// year's forest pixels; with the part's edge given, also what each patch
// left undecided at that edge would add if a neighbouring tile's canopy
// makes it forest.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "accounts/forest_edges.hpp"
#include "accounts/forest_patches.hpp"
#include "accounts/tally.hpp"
#include "accounts/tile_part.hpp"

namespace pt {

// The figures of one area (the owned part, or a zone within it) in square
// metres a year: forest pixels, the loss of the year on pixels that were
// forest in 2000; and each undecided patch's share of the area.
struct ForestArea {
    struct Share {
        double forest_m2 = 0;
        std::vector<double> loss_m2;  // a patch of 2000: the loss of each year on its pixels
    };
    std::vector<double> forest_m2, loss_m2;
    std::unordered_map<uint64_t, Share> undecided;  // by share_key(year, patch)
    explicit ForestArea(int years)
        : forest_m2(static_cast<std::size_t>(years)), loss_m2(static_cast<std::size_t>(years)) {}
    static uint64_t share_key(int year, uint32_t patch) {
        return (static_cast<uint64_t>(year) << 32) | patch;
    }
};

// Each year's canopy, then forest, pixels of a tile (0 = 2000), and with
// an edge the patches left undecided there.
class ForestMasks {
  public:
    ForestMasks(int width, int height, int years);

    BitMask& canopy(int year) { return years_[static_cast<std::size_t>(year)]; }
    int year_count() const { return static_cast<int>(years_.size()); }

    // Marks, in columns [begin, end) of tile row `tile_row` (`row` its
    // bytes), the canopy of each year (land with cover >= `cover` and height
    // >= `height`) and the pixels with loss that year: all the forest
    // figures need of the products, so that the tile is read once.
    void mark(const AccountRow& row, int tile_row, int begin, int end, uint8_t cover,
              uint8_t height);

    // Clears each year's patches below `min_area_m2`; where `edge` is given
    // (the part's edge pixels), those touching it are kept aside as
    // undecided instead.
    void keep_forest(const std::vector<double>& row_area_m2, double min_area_m2, int connectivity,
                     const BitMask* edge);

    // Adds cells [begin, end) of tile row `tile_row`, each weighing
    // `cell_m2`, to `area`.
    void add(ForestArea& area, int tile_row, int begin, int end, double cell_m2) const;

    // The forest edges of the tile: its undecided patches with their
    // shares of the whole part (`whole`) and of each zone (`zones`, named
    // by `zone_names`), and the state of each of `border`'s pixels.
    TileForestEdges edges(const std::vector<TilePixel>& border, const ForestArea& whole,
                          const std::vector<const ForestArea*>& zones,
                          const std::vector<std::string>& zone_names) const;

  private:
    void keep_forest(std::size_t year, const std::vector<double>& row_area_m2, double min_area_m2,
                     int connectivity, const BitMask* edge);
    // The undecided runs of `year` in `row`: [first, last) of undecided_[year].runs.
    std::pair<std::size_t, std::size_t> runs_of(int year, int row) const;
    int32_t state(int year, const TilePixel& pixel) const;

    std::vector<BitMask> years_;
    std::vector<BitMask> lost_;  // loss of each year
    std::vector<UndecidedPatches> undecided_;
    std::vector<std::vector<uint32_t>> row_first_;  // a year's first undecided run of each row
};

// A mask of the part's edge pixels, as keep_forest takes it.
BitMask edge_mask(const std::vector<TilePixel>& border, int width, int height);

}  // namespace pt
