// Forest patches joined across tiles, on small hand-made tiles. Each tile's
// edges are made here from a mosaic of canopy the way a tile's run sees
// it (its part labelled alone, by a plain flood fill), and the batch's
// forest is held to a flood fill of the whole mosaic as one raster.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "accounts/account_sums.hpp"
#include "accounts/forest_join.hpp"
#include "accounts/tile_part.hpp"
#include "tile/tile.hpp"

namespace pt {
namespace {

constexpr int SIDE = 8;

// What lies on the grid, by year, row and column (columns taken modulo
// GRID_COLUMNS): canopy, the year of loss (-1 none), the zone (-1 none).
struct Mosaic {
    int years = 1;
    std::function<bool(int, long long, long long)> canopy;
    std::function<int(long long, long long)> loss_year = [](long long, long long) { return -1; };
    std::function<int(long long, long long)> zone = [](long long, long long) { return -1; };
    // Cells grow towards the south, as they shrink towards a pole.
    static double cell_m2(long long row) { return 1.0 + 0.125 * static_cast<double>(row % 16); }
};

struct Tile {
    std::string id, grid = "g";
    long long row = 0, column = 0;
    std::string part;  // empty: the whole tile
};

long long wrap(long long column) {
    return ((column % GRID_COLUMNS) + GRID_COLUMNS) % GRID_COLUMNS;
}

std::vector<std::pair<int, int>> neighbours(int connectivity) {
    std::vector<std::pair<int, int>> out;
    for (int dr = -1; dr <= 1; ++dr) {
        for (int dc = -1; dc <= 1; ++dc) {
            if ((dr != 0 || dc != 0) && (connectivity == 8 || dr == 0 || dc == 0)) {
                out.emplace_back(dr, dc);
            }
        }
    }
    return out;
}

// Forest figures: area and loss of each year, and each zone's.
struct Figures {
    std::vector<double> forest_m2, loss_m2;
    std::map<int, std::vector<double>> zone_forest_m2, zone_loss_m2;
    explicit Figures(int years)
        : forest_m2(static_cast<std::size_t>(years)), loss_m2(static_cast<std::size_t>(years)) {}

    // Adds pixel (row, column) of forest of `year`.
    void add(const Mosaic& mosaic, int year, long long row, long long column) {
        const auto years = forest_m2.size();
        const double m2 = Mosaic::cell_m2(row);
        const int lost = mosaic.loss_year(row, column);
        const int z = mosaic.zone(row, column);
        forest_m2[static_cast<std::size_t>(year)] += m2;
        if (z >= 0) {
            zone_forest_m2[z].resize(years);
            zone_loss_m2[z].resize(years);
            zone_forest_m2[z][static_cast<std::size_t>(year)] += m2;
        }
        if (year == 0 && lost >= 0) {
            loss_m2[static_cast<std::size_t>(lost)] += m2;
            if (z >= 0) zone_loss_m2[z][static_cast<std::size_t>(lost)] += m2;
        }
    }
};

TilePart part_of(const Tile& tile) {
    std::string error;
    if (tile.part.empty()) return TilePart::whole(SIDE, SIDE);
    return *TilePart::parse(tile.part, SIDE, SIDE, error);
}

// A tile's run: its part's patches labelled alone; those reaching the
// area decided (their figures added to `decided`), those short of it that touch
// the part's edge written as undecided.
TileForestEdges tile_edges(const Tile& tile, const Mosaic& mosaic, const ForestDefinition& def,
                           int connectivity, int zone_count, Figures& decided) {
    const TilePart part = part_of(tile);
    const std::vector<TilePixel> border = part_border_pixels(part);
    std::set<std::pair<int, int>> on_border;
    for (const TilePixel& p : border) on_border.insert({p.row, p.column});
    TileForestEdges edges;
    edges.tile_id = tile.id;
    edges.definition = def;
    edges.connectivity = connectivity;
    edges.width = edges.height = SIDE;
    edges.part = tile.part;
    for (int z = 0; z < zone_count; ++z) edges.zone_names.push_back("zone " + std::to_string(z));
    for (int year = 0; year < mosaic.years; ++year) {
        auto canopy = [&](int r, int c) {
            return part.owns(r, c) && mosaic.canopy(year, tile.row + r, wrap(tile.column + c));
        };
        std::vector<int> label(SIDE * SIDE, 0);  // 0 none, -1 decided, k undecided patch k
        EdgeYear& out = edges.years.emplace_back();
        int serial = 0;
        for (int r0 = 0; r0 < SIDE; ++r0) {
            for (int c0 = 0; c0 < SIDE; ++c0) {
                if (!canopy(r0, c0) || label[r0 * SIDE + c0] != 0) continue;
                std::vector<std::pair<int, int>> patch{{r0, c0}}, stack{{r0, c0}};
                label[r0 * SIDE + c0] = -2;
                while (!stack.empty()) {
                    const auto [r, c] = stack.back();
                    stack.pop_back();
                    for (const auto& [dr, dc] : neighbours(connectivity)) {
                        const int nr = r + dr, nc = c + dc;
                        if (nr < 0 || nc < 0 || nr >= SIDE || nc >= SIDE || !canopy(nr, nc) ||
                            label[nr * SIDE + nc] != 0) {
                            continue;
                        }
                        label[nr * SIDE + nc] = -2;
                        patch.push_back({nr, nc});
                        stack.push_back({nr, nc});
                    }
                }
                double area = 0;
                bool touches = false;
                for (const auto& [r, c] : patch) {
                    area += Mosaic::cell_m2(tile.row + r);
                    touches = touches || on_border.count({r, c});
                }
                int mark = 0;
                if (area >= def.min_area_m2()) {
                    mark = -1;
                    for (const auto& [r, c] : patch) {
                        decided.add(mosaic, year, tile.row + r, wrap(tile.column + c));
                    }
                } else if (touches) {
                    mark = ++serial;
                    EdgePatch& p = out.patches.emplace_back();
                    p.id = static_cast<uint32_t>(mark);
                    p.area_m2 = area;
                    if (year == 0) p.loss_m2.assign(static_cast<std::size_t>(mosaic.years), 0);
                    std::map<int, EdgeZoneShare> shares;
                    for (const auto& [r, c] : patch) {
                        const long long gr = tile.row + r, gc = wrap(tile.column + c);
                        const double m2 = Mosaic::cell_m2(gr);
                        const int lost = mosaic.loss_year(gr, gc);
                        if (year == 0 && lost >= 0) p.loss_m2[static_cast<std::size_t>(lost)] += m2;
                        const int z = mosaic.zone(gr, gc);
                        if (z < 0) continue;
                        EdgeZoneShare& share = shares[z];
                        share.zone = static_cast<std::size_t>(z);
                        share.forest_m2 += m2;
                        if (year == 0) {
                            share.loss_m2.resize(static_cast<std::size_t>(mosaic.years));
                            if (lost >= 0) share.loss_m2[static_cast<std::size_t>(lost)] += m2;
                        }
                    }
                    for (auto& [z, share] : shares) p.zones.push_back(share);
                }
                for (const auto& [r, c] : patch) label[r * SIDE + c] = mark;
            }
        }
        for (const TilePixel& p : border) {
            const int l = label[p.row * SIDE + p.column];
            const int32_t state = !canopy(p.row, p.column) ? EDGE_NOT_CANOPY
                                  : l < 0                  ? EDGE_FOREST
                                                           : l;
            if (!out.border_runs.empty() && out.border_runs.back().second == state) {
                ++out.border_runs.back().first;
            } else {
                out.border_runs.push_back({1, state});
            }
        }
    }
    return edges;
}

// The batch's forest by a flood fill of all the tiles' owned pixels as one
// raster.
Figures whole_mosaic(const std::vector<Tile>& tiles, const Mosaic& mosaic,
                     const ForestDefinition& def, int connectivity) {
    // Owned pixels by grid, row and column.
    using Pixel = std::tuple<std::string, long long, long long>;
    std::set<Pixel> owned;
    for (const Tile& tile : tiles) {
        const TilePart part = part_of(tile);
        for (int r = 0; r < SIDE; ++r) {
            for (int c = part.begin(r); c < part.end(r); ++c) {
                owned.insert({tile.grid, tile.row + r, wrap(tile.column + c)});
            }
        }
    }
    Figures whole(mosaic.years);
    for (int year = 0; year < mosaic.years; ++year) {
        std::set<Pixel> seen;
        for (const Pixel& start : owned) {
            const auto& [grid, row, column] = start;
            if (seen.count(start) || !mosaic.canopy(year, row, column)) continue;
            std::vector<Pixel> patch{start}, stack{start};
            seen.insert(start);
            while (!stack.empty()) {
                const auto [g, r, c] = stack.back();
                stack.pop_back();
                for (const auto& [dr, dc] : neighbours(connectivity)) {
                    const Pixel next{g, r + dr, wrap(c + dc)};
                    if (!owned.count(next) || seen.count(next) ||
                        !mosaic.canopy(year, r + dr, wrap(c + dc))) {
                        continue;
                    }
                    seen.insert(next);
                    patch.push_back(next);
                    stack.push_back(next);
                }
            }
            double area = 0;
            for (const auto& [g, r, c] : patch) area += Mosaic::cell_m2(r);
            if (!(area >= def.min_area_m2())) continue;
            for (const auto& [g, r, c] : patch) whole.add(mosaic, year, r, c);
        }
    }
    return whole;
}

// The batch's forest by the join: the tiles' decided forest plus what the
// joined sets add. Tiles listed in `absent` give no edges (damaged).
struct Batch {
    Figures sum;  // decided and joined
    JoinedForest joined;
    JoinHeld held;
};

Batch joined_batch(const std::vector<Tile>& tiles, const Mosaic& mosaic,
                   const ForestDefinition& def, int connectivity, int zone_count = 0,
                   const std::set<std::string>& absent = {}) {
    std::vector<TilePlace> places;
    for (const Tile& t : tiles) places.push_back({t.id, t.grid, wrap(t.column), t.row});
    ForestJoin join(def, connectivity, mosaic.years, places);
    Batch batch{Figures(mosaic.years), {}, {}};
    // The batch's zone numbers in another order than the tiles'.
    std::vector<std::size_t> zones;
    for (int z = 0; z < zone_count; ++z)
        zones.push_back(static_cast<std::size_t>(zone_count - 1 - z));
    for (std::size_t i : join.order()) {
        if (absent.count(tiles[i].id)) {
            join.skip(i);
            continue;
        }
        join.add(i, tile_edges(tiles[i], mosaic, def, connectivity, zone_count, batch.sum), zones);
    }
    batch.joined = join.finish();
    batch.held = join.held_at_most();
    const auto years = static_cast<std::size_t>(mosaic.years);
    for (std::size_t y = 0; y < years; ++y) {
        batch.sum.forest_m2[y] += batch.joined.forest_m2[y];
        batch.sum.loss_m2[y] += batch.joined.loss_m2[y];
    }
    for (std::size_t n = 0; n < batch.joined.zone_forest_m2.size(); ++n) {
        const int z = zone_count - 1 - static_cast<int>(n);
        batch.sum.zone_forest_m2[z].resize(years);
        batch.sum.zone_loss_m2[z].resize(years);
        for (std::size_t y = 0; y < years; ++y) {
            batch.sum.zone_forest_m2[z][y] += batch.joined.zone_forest_m2[n][y];
            batch.sum.zone_loss_m2[z][y] += batch.joined.zone_loss_m2[n][y];
        }
    }
    return batch;
}

// A rectangle of canopy, rows [r0, r1] and columns [c0, c1] (wrapped).
std::function<bool(int, long long, long long)> rectangle(long long r0, long long r1, long long c0,
                                                         long long c1) {
    return [=](int, long long r, long long c) {
        return r >= r0 && r <= r1 && wrap(c - c0) <= wrap(c1 - c0);
    };
}

std::vector<Tile> grid_of(int rows, int columns, long long row0 = 0, long long column0 = 0) {
    std::vector<Tile> tiles;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            std::string id = "t";
            id += std::to_string(r);
            id += '_';
            id += std::to_string(c);
            tiles.push_back({id, "g", row0 + r * SIDE, wrap(column0 + c * SIDE), ""});
        }
    }
    return tiles;
}

double area_of(long long r0, long long r1, long long c0, long long c1) {
    double area = 0;
    for (long long r = r0; r <= r1; ++r)
        area += Mosaic::cell_m2(r) * static_cast<double>(c1 - c0 + 1);
    return area;
}

// A definition whose least area in square metres is `m2` or the double
// just below it (hectares times 10000 need not come back to it exactly),
// and one whose least area is just above `m2`.
ForestDefinition least_area(double m2) {
    ForestDefinition def{10, 5, m2 / 10000.0};
    while (def.min_area_m2() > m2) def.hectares = std::nextafter(def.hectares, 0.0);
    return def;
}
ForestDefinition just_above(double m2) {
    ForestDefinition def{10, 5, m2 / 10000.0};
    while (!(def.min_area_m2() > m2)) def.hectares = std::nextafter(def.hectares, 1e9);
    return def;
}

TEST(ForestJoin, APatchSplitAcrossTwoTilesIsForestWhenItsWholeReachesTheArea) {
    const std::vector<Tile> tiles = grid_of(1, 2);
    Mosaic mosaic;
    mosaic.canopy = rectangle(2, 4, 5, 10);  // 3 x 3 pixels in each tile
    const double whole = area_of(2, 4, 5, 10);
    for (int connectivity : {4, 8}) {
        // Each half falls short; the whole reaches it, and just not.
        Batch over = joined_batch(tiles, mosaic, least_area(whole), connectivity);
        EXPECT_EQ(over.joined.forest_m2[0], whole);
        Batch under = joined_batch(tiles, mosaic, just_above(whole), connectivity);
        EXPECT_EQ(under.joined.forest_m2[0], 0.0);
    }
}

TEST(ForestJoin, APatchAcrossFourTilesIsJoinedThroughTheCorner) {
    const std::vector<Tile> tiles = grid_of(2, 2);
    Mosaic mosaic;
    mosaic.canopy = rectangle(6, 9, 6, 9);  // 2 x 2 pixels in each tile
    const double whole = area_of(6, 9, 6, 9);
    for (int connectivity : {4, 8}) {
        Batch batch = joined_batch(tiles, mosaic, least_area(whole), connectivity);
        EXPECT_EQ(batch.joined.forest_m2[0], whole) << connectivity;
        batch = joined_batch(tiles, mosaic, just_above(whole), connectivity);
        EXPECT_EQ(batch.joined.forest_m2[0], 0.0) << connectivity;
    }
}

TEST(ForestJoin, ACornerOnlyContactJoinsWithEightNeighboursNotFour) {
    // Two tiles' patches meet only where the upper-left tile's last pixel
    // touches the lower-right tile's first through a corner.
    const std::vector<Tile> tiles = grid_of(2, 2);
    Mosaic mosaic;
    mosaic.canopy = [](int, long long r, long long c) {
        return (r >= 5 && r <= 7 && c >= 5 && c <= 7) || (r >= 8 && r <= 10 && c >= 8 && c <= 10);
    };
    const double whole = area_of(5, 7, 5, 7) + area_of(8, 10, 8, 10);
    EXPECT_EQ(joined_batch(tiles, mosaic, least_area(whole), 8).joined.forest_m2[0], whole);
    EXPECT_EQ(joined_batch(tiles, mosaic, least_area(whole), 4).joined.forest_m2[0], 0.0);
}

TEST(ForestJoin, ASetRunningThroughManyRowsOfTilesIsSettledWhole) {
    // A line of canopy down six rows of tiles, a few pixels in each; the
    // tiles of the first rows are released long before the last joins.
    const std::vector<Tile> tiles = grid_of(6, 5);
    Mosaic mosaic;
    mosaic.canopy = rectangle(0, 6 * SIDE - 1, 12, 12);
    const double whole = area_of(0, 6 * SIDE - 1, 12, 12);
    const Batch batch = joined_batch(tiles, mosaic, least_area(whole), 4);
    EXPECT_EQ(batch.joined.forest_m2[0], whole);
    EXPECT_EQ(joined_batch(tiles, mosaic, just_above(whole), 4).joined.forest_m2[0], 0.0);
    // No more than two rows of tiles and the one being added are held.
    EXPECT_LE(batch.held.tiles, 11u);
    EXPECT_GE(batch.held.waiting, 1u);
}

TEST(ForestJoin, AnUndecidedPatchTouchingDecidedForestIsForest) {
    const std::vector<Tile> tiles = grid_of(1, 2);
    Mosaic mosaic;
    // One pixel in the western tile against the big patch of the eastern.
    mosaic.canopy = [](int, long long r, long long c) {
        return (r == 3 && c == 7) || (c >= 8 && c <= 14 && r >= 1 && r <= 6);
    };
    const double big = area_of(1, 6, 8, 14);
    const Batch batch = joined_batch(tiles, mosaic, least_area(big - 1), 8);
    EXPECT_EQ(batch.joined.forest_m2[0], Mosaic::cell_m2(3));
    EXPECT_EQ(batch.sum.forest_m2[0], big + Mosaic::cell_m2(3));
}

TEST(ForestJoin, APatchEndsAtTheListsOuterEdgeAndAtATileWithoutEdges) {
    Mosaic mosaic;
    mosaic.canopy = rectangle(2, 4, 5, 10);
    const double whole = area_of(2, 4, 5, 10);
    // The eastern tile not in the list, or in it with damaged edges.
    EXPECT_EQ(joined_batch(grid_of(1, 1), mosaic, least_area(whole), 8).joined.forest_m2[0], 0.0);
    EXPECT_EQ(
        joined_batch(grid_of(1, 2), mosaic, least_area(whole), 8, 0, {"t0_1"}).joined.forest_m2[0],
        0.0);
}

TEST(ForestJoin, TilesOfTwoGridsNeverJoin) {
    std::vector<Tile> tiles = grid_of(1, 2);
    tiles[1].grid = "other";
    Mosaic mosaic;
    mosaic.canopy = rectangle(2, 4, 5, 10);
    EXPECT_EQ(joined_batch(tiles, mosaic, least_area(area_of(2, 4, 5, 10)), 8).joined.forest_m2[0],
              0.0);
}

TEST(ForestJoin, APatchAcrossTheAntimeridianIsOne) {
    // The western tile ends at column GRID_COLUMNS - 1, the eastern begins
    // at 0; a patch on both sides of 180 degrees.
    const std::vector<Tile> tiles = grid_of(1, 2, 100, GRID_COLUMNS - SIDE);
    Mosaic mosaic;
    mosaic.canopy = rectangle(102, 104, GRID_COLUMNS - 3, 2);
    const double whole = area_of(102, 104, 0, 5);
    EXPECT_EQ(joined_batch(tiles, mosaic, least_area(whole), 4).joined.forest_m2[0], whole);
}

TEST(ForestJoin, OverlappingTilesJoinAcrossTheirPartsEdgesEvenAStaircase) {
    // Tiles overlapping by two columns, the overlap shared row by row.
    std::vector<Tile> tiles = {{"w", "g", 0, 0, "0-3:0-6,4-7:0-5"},
                               {"e", "g", 0, 6, "0-3:1-7,4-7:0-7"}};
    Mosaic mosaic;
    mosaic.canopy = rectangle(2, 5, 4, 8);
    const double whole = area_of(2, 5, 4, 8);
    for (int connectivity : {4, 8}) {
        const Batch batch = joined_batch(tiles, mosaic, least_area(whole), connectivity);
        EXPECT_EQ(batch.joined.forest_m2[0], whole);
    }
    // Parts that both own a pixel: the placement and the parts disagree.
    tiles[1].part = "0-7:0-7";
    EXPECT_THROW(joined_batch(tiles, mosaic, least_area(whole), 8), RunFailure);
}

TEST(ForestJoin, EdgesThatAreNotTheBatchsAreRefusedForThatTile) {
    const std::vector<Tile> tiles = grid_of(1, 1);
    Mosaic mosaic;
    mosaic.canopy = rectangle(2, 4, 5, 7);
    const ForestDefinition def = least_area(100);
    Figures decided(1);
    const TileForestEdges good = tile_edges(tiles[0], mosaic, def, 8, 0, decided);
    ASSERT_EQ(good.years[0].patches.size(), 1u);
    auto refused = [&](const std::function<void(TileForestEdges&)>& change) {
        TileForestEdges edges = good;
        change(edges);
        ForestJoin join(def, 8, 1, {{"t0_0", "g", 0, 0}});
        try {
            join.add(0, edges, {});
        } catch (const DamagedTable& damaged) {
            return std::string(damaged.what());
        }
        return std::string();
    };
    EXPECT_EQ(refused([](TileForestEdges&) {}), "");
    EXPECT_NE(refused([](TileForestEdges& e) { e.tile_id = "t9"; }), "");
    EXPECT_NE(refused([](TileForestEdges& e) { e.definition.hectares *= 2; }), "");
    EXPECT_NE(refused([](TileForestEdges& e) { e.connectivity = 4; }), "");
    EXPECT_NE(refused([](TileForestEdges& e) { e.years.push_back(e.years[0]); }), "");
    EXPECT_NE(refused([](TileForestEdges& e) { e.years[0].border_runs[0].first += 1; }), "");
    EXPECT_NE(refused([](TileForestEdges& e) { e.years[0].border_runs.back().second = 2; }), "");
    EXPECT_NE(refused([](TileForestEdges& e) { e.part = "0-9:0-7"; }), "");
    EXPECT_NE(refused([](TileForestEdges& e) { e.years[0].patches[0].loss_m2.clear(); }), "");
}

// Random mosaics over a grid of overlapping tiles, against the flood fill
// of the whole: every way patches meet across sides, corners, overlaps and
// several tiles, each year and zone, both connectivities.
TEST(ForestJoin, RandomMosaicsEqualOneFloodFillOfTheWhole) {
    std::mt19937 random(20240611);
    bool joined_any = false;
    for (int round = 0; round < 60; ++round) {
        const int connectivity = round % 2 == 0 ? 8 : 4;
        // 3 x 4 tiles of 8 pixels at a step of 7: each overlaps the next by
        // one column (or row), which the western (northern) tile owns. Half
        // the rounds across the antimeridian, half across the tiles' rows
        // and columns of a degree, where the join looks tiles up apart.
        const long long row0 = round % 4 < 2 ? 0 : 3990, column0 = round % 4 < 2 ? -10 : 3990;
        std::vector<Tile> tiles;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 4; ++c) {
                const int first_row = r == 0 ? 0 : 1, first_column = c == 0 ? 0 : 1;
                tiles.push_back(
                    {"t" + std::to_string(r) + std::to_string(c), "g", row0 + 7LL * r,
                     wrap(column0 + 7LL * c),
                     std::to_string(first_row) + "-7:" + std::to_string(first_column) + "-7"});
            }
        }
        std::shuffle(tiles.begin(), tiles.end(), random);
        const double density = std::uniform_real_distribution<double>(0.3, 0.6)(random);
        std::map<std::tuple<int, long long, long long>, bool> canopy;
        std::map<std::pair<long long, long long>, int> loss, zone;
        Mosaic mosaic;
        mosaic.years = 2;
        for (int year = 0; year < 2; ++year) {
            for (long long r = row0; r < row0 + 30; ++r) {
                for (long long c = column0; c < column0 + 40; ++c) {
                    canopy[{year, r, wrap(c)}] = std::bernoulli_distribution(density)(random);
                    loss[{r, wrap(c)}] = std::uniform_int_distribution<int>(-1, 1)(random);
                    zone[{r, wrap(c)}] = std::uniform_int_distribution<int>(-1, 2)(random);
                }
            }
        }
        mosaic.canopy = [&](int year, long long r, long long c) {
            const auto found = canopy.find({year, r, c});
            return found != canopy.end() && found->second;
        };
        mosaic.loss_year = [&](long long r, long long c) { return loss.at({r, c}); };
        mosaic.zone = [&](long long r, long long c) { return zone.at({r, c}); };
        const ForestDefinition def =
            least_area(std::uniform_real_distribution<double>(2, 40)(random));
        const Figures whole = whole_mosaic(tiles, mosaic, def, connectivity);
        const Batch batch = joined_batch(tiles, mosaic, def, connectivity, 3);
        auto near = [&](const std::vector<double>& got, const std::vector<double>& want) {
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t y = 0; y < got.size(); ++y) EXPECT_NEAR(got[y], want[y], 1e-9);
        };
        near(batch.sum.forest_m2, whole.forest_m2);
        near(batch.sum.loss_m2, whole.loss_m2);
        for (const auto& [z, forest] : whole.zone_forest_m2) {
            near(batch.sum.zone_forest_m2.at(z), forest);
            near(batch.sum.zone_loss_m2.at(z), whole.zone_loss_m2.at(z));
        }
        joined_any = joined_any || batch.joined.forest_m2[0] > 0;
        ASSERT_FALSE(HasFailure()) << "round " << round;
    }
    EXPECT_TRUE(joined_any);  // the rounds did join patches
}

}  // namespace
}  // namespace pt
