// What a tile's forest accounts leave undecided at the edge of the part it
// owns, for the end of a batch to finish. A patch of canopy whose area
// inside the part reaches the definition's minimum is forest whatever lies
// beyond; one that does not, but touches the part's edge, may continue in
// a neighbouring tile and be forest after all. The tile writes those
// undecided patches (their area, and what they would add to each figure if
// they turn out to be forest) and the state of every pixel along its
// part's edge, so that the batch can join patches across tile borders
// without reading a product again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/forest_patches.hpp"

namespace pt {

// What an undecided patch adds to one zone, each cell weighted by its share
// inside the zone: its forest, and for a patch of 2000 the loss of each
// year on its pixels (empty for the patches of other years).
struct EdgeZoneShare {
    std::size_t zone = 0;  // index into TileForestEdges::zone_names
    double forest_m2 = 0;
    std::vector<double> loss_m2;
};

// A patch of one year that touches the part's edge with less than the
// definition's area inside the part.
struct EdgePatch {
    uint32_t id = 0;     // 1, 2, ... within its year
    double area_m2 = 0;  // its whole cells in the part: what decides, and its forest_m2
    // For a patch of 2000: the loss of each year (0 = 2000) on its pixels,
    // whole cells; empty for the patches of other years.
    std::vector<double> loss_m2;
    std::vector<EdgeZoneShare> zones;  // the zones it reaches, each once
};

// States of a pixel along the part's edge.
constexpr int32_t EDGE_NOT_CANOPY = -1;
constexpr int32_t EDGE_FOREST = 0;  // canopy in a patch decided forest inside the part
// Any other state k > 0: canopy of the undecided patch k of that year.

struct EdgeYear {
    std::vector<EdgePatch> patches;  // ids 1..n in order
    // The state of each pixel of part_border_pixels() in its order, as runs
    // (count, state); the counts add up to the number of those pixels.
    std::vector<std::pair<uint32_t, int32_t>> border_runs;
};

struct TileForestEdges {
    std::string tile_id;
    ForestDefinition definition;
    int connectivity = 8;
    int width = 0, height = 0;
    std::string part;  // the --part text the tile was counted with; empty: the whole tile
    std::vector<std::string> zone_names;
    std::vector<EdgeYear> years;  // 2000, 2001, ... the last year
};

// The file's text, and reading it back strictly: anything else than what
// forest_edges_text writes (a damaged or hostile file) throws
// std::runtime_error with one line saying where and why.
std::string forest_edges_text(const TileForestEdges& edges);
TileForestEdges parse_forest_edges(std::string_view text);
// The same into `edges`, reusing the memory it holds (a batch reads
// thousands of tiles' edges one after another); after a throw `edges`
// holds a part of the text.
void parse_forest_edges(std::string_view text, TileForestEdges& edges);

}  // namespace pt
