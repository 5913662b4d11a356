// Forest patches held to a plain flood fill written here: random canopy over
// rows wider than a word, both connectivities, minimum areas at a patch's
// exact area and just above it, and patches that touch only at a corner.
#include "accounts/forest_patches.hpp"

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <random>

namespace pt {
namespace {

using Grid = std::vector<std::vector<bool>>;

BitMask mask_of(const Grid& grid) {
    BitMask mask(static_cast<int>(grid[0].size()), static_cast<int>(grid.size()));
    for (int r = 0; r < mask.height(); ++r)
        for (int c = 0; c < mask.width(); ++c)
            if (grid[r][c]) mask.set(r, c);
    return mask;
}

// The patch areas of a flood fill: area[r][c] is the area of the patch of
// pixel (r, c), 0 off canopy.
std::vector<std::vector<double>> flood_areas(const Grid& grid, const std::vector<double>& row_m2,
                                             int connectivity) {
    const int height = static_cast<int>(grid.size()), width = static_cast<int>(grid[0].size());
    std::vector<std::vector<int>> label(height, std::vector<int>(width, -1));
    std::vector<double> areas;
    for (int r0 = 0; r0 < height; ++r0) {
        for (int c0 = 0; c0 < width; ++c0) {
            if (!grid[r0][c0] || label[r0][c0] >= 0) continue;
            const int id = static_cast<int>(areas.size());
            areas.push_back(0);
            std::deque<std::array<int, 2>> queue{{r0, c0}};
            label[r0][c0] = id;
            while (!queue.empty()) {
                const auto [r, c] = queue.front();
                queue.pop_front();
                areas[id] += row_m2[r];
                for (int dr = -1; dr <= 1; ++dr) {
                    for (int dc = -1; dc <= 1; ++dc) {
                        if ((dr == 0 && dc == 0) || (connectivity == 4 && dr != 0 && dc != 0)) {
                            continue;
                        }
                        const int nr = r + dr, nc = c + dc;
                        if (nr < 0 || nr >= height || nc < 0 || nc >= width) continue;
                        if (!grid[nr][nc] || label[nr][nc] >= 0) continue;
                        label[nr][nc] = id;
                        queue.push_back({nr, nc});
                    }
                }
            }
        }
    }
    std::vector<std::vector<double>> area(height, std::vector<double>(width, 0));
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            if (label[r][c] >= 0) area[r][c] = areas[label[r][c]];
    return area;
}

void expect_forest(const Grid& grid, const std::vector<double>& row_m2, double min_m2,
                   int connectivity) {
    BitMask mask = mask_of(grid);
    keep_forest_patches(mask, row_m2, min_m2, connectivity);
    const auto area = flood_areas(grid, row_m2, connectivity);
    for (std::size_t r = 0; r < grid.size(); ++r) {
        for (std::size_t c = 0; c < grid[0].size(); ++c) {
            const bool forest = grid[r][c] && area[r][c] >= min_m2;
            ASSERT_EQ(mask.test(static_cast<int>(r), static_cast<int>(c)), forest)
                << "row " << r << " column " << c << " patch " << area[r][c] << " m2, min "
                << min_m2 << ", " << connectivity << " neighbours";
        }
    }
}

TEST(ForestPatches, AgreeWithAFloodFillOnRandomCanopy) {
    std::mt19937 random(20240611);
    for (int trial = 0; trial < 60; ++trial) {
        const int width = 1 + static_cast<int>(random() % 150);  // across word boundaries
        const int height = 1 + static_cast<int>(random() % 40);
        const double density = 0.2 + 0.1 * (trial % 6);
        std::bernoulli_distribution canopy(density);
        Grid grid(height, std::vector<bool>(width));
        for (auto& row : grid)
            for (std::size_t c = 0; c < row.size(); ++c) row[c] = canopy(random);
        // Whole square metres a row, so that every order of summing gives a
        // patch's area exactly and a minimum can sit on it.
        std::vector<double> row_m2(height);
        for (double& m2 : row_m2) m2 = 700 + static_cast<double>(random() % 50);
        for (int connectivity : {4, 8}) {
            SCOPED_TRACE("trial " + std::to_string(trial));
            const auto area = flood_areas(grid, row_m2, connectivity);
            // Some patch's own area: kept at it, gone a square metre above.
            double some = 0;
            for (int k = 0; k < 20 && some == 0; ++k) {
                some = area[random() % height][random() % width];
            }
            expect_forest(grid, row_m2, some, connectivity);
            expect_forest(grid, row_m2, some + 1, connectivity);
            expect_forest(grid, row_m2, some - 1, connectivity);
            expect_forest(grid, row_m2, 0, connectivity);
        }
    }
}

TEST(ForestPatches, CornersJoinWithEightNeighboursOnly) {
    // Two staircases: pixels that touch only at corners, and a U whose arms
    // meet only through the row below (a patch joined late).
    const Grid grid = {
        {1, 0, 0, 0, 1, 0, 1},
        {0, 1, 0, 0, 1, 0, 1},
        {0, 0, 1, 0, 1, 1, 1},
        {0, 1, 0, 0, 0, 0, 0},
    };
    const std::vector<double> row_m2 = {1, 1, 1, 1};
    for (int connectivity : {4, 8}) {
        BitMask mask = mask_of(grid);
        keep_forest_patches(mask, row_m2, 4, connectivity);
        // The staircase is 4 pixels of 1 m2 only when its corners join.
        EXPECT_EQ(mask.test(0, 0), connectivity == 8);
        EXPECT_EQ(mask.test(3, 1), connectivity == 8);
        // The U of 7 pixels is one patch either way.
        EXPECT_TRUE(mask.test(0, 4) && mask.test(0, 6) && mask.test(2, 5));
    }
}

TEST(ForestPatches, ThePatchAreaIsTheSumOfItsRowsCellAreas) {
    // One patch over three rows of different cell areas: 2 x 10 + 1 x 20 +
    // 3 x 30 = 130 m2.
    const Grid grid = {{1, 1, 0}, {0, 1, 0}, {1, 1, 1}};
    const std::vector<double> row_m2 = {10, 20, 30};
    BitMask kept = mask_of(grid), gone = mask_of(grid);
    keep_forest_patches(kept, row_m2, 130, 4);
    keep_forest_patches(gone, row_m2, 130.000001, 4);
    EXPECT_EQ(kept.count(0, 0, 3) + kept.count(1, 0, 3) + kept.count(2, 0, 3), 6);
    EXPECT_EQ(gone.count(0, 0, 3) + gone.count(1, 0, 3) + gone.count(2, 0, 3), 0);
}

TEST(ForestPatches, PatchesTooSmallAtTheEdgeAreSetAsideWhole) {
    // Random canopy, the mask's outer ring as the edge: a patch below the
    // minimum that reaches the ring is undecided, with the flood fill's
    // area, one number for all its runs and a number of its own; every
    // other patch is decided as before.
    std::mt19937 random(99);
    for (int trial = 0; trial < 40; ++trial) {
        const int width = 2 + static_cast<int>(random() % 90);
        const int height = 2 + static_cast<int>(random() % 30);
        std::bernoulli_distribution canopy(0.3 + 0.05 * (trial % 5));
        Grid grid(height, std::vector<bool>(width));
        BitMask edge(width, height);
        for (int r = 0; r < height; ++r) {
            for (int c = 0; c < width; ++c) {
                grid[r][c] = canopy(random);
                if (r == 0 || c == 0 || r == height - 1 || c == width - 1) edge.set(r, c);
            }
        }
        const std::vector<double> row_m2(height, 1.0);
        const double min_m2 = 1 + static_cast<double>(random() % 12);
        for (int connectivity : {4, 8}) {
            SCOPED_TRACE("trial " + std::to_string(trial) + ", " + std::to_string(connectivity));
            BitMask mask = mask_of(grid);
            const UndecidedPatches undecided =
                keep_forest_patches(mask, row_m2, min_m2, connectivity, edge);
            const auto area = flood_areas(grid, row_m2, connectivity);
            // Which pixels each undecided patch holds, from its runs.
            std::vector<std::vector<uint32_t>> label(height, std::vector<uint32_t>(width, 0));
            for (const auto& run : undecided.runs) {
                for (int c = run.begin; c < run.end; ++c) label[run.row][c] = run.patch;
            }
            std::vector<bool> touches(undecided.area_m2.size() + 1, false);
            uint32_t highest = 0;
            for (int r = 0; r < height; ++r) {
                for (int c = 0; c < width; ++c) {
                    const uint32_t patch = label[r][c];
                    ASSERT_EQ(mask.test(r, c), grid[r][c] && area[r][c] >= min_m2);
                    if (patch == 0) continue;
                    ASSERT_TRUE(grid[r][c] && area[r][c] < min_m2);
                    ASSERT_EQ(undecided.area_m2[patch - 1], area[r][c]);
                    ASSERT_LE(patch, highest + 1) << "numbered in order of first pixels";
                    highest = std::max(highest, patch);
                    touches[patch] = touches[patch] || edge.test(r, c);
                    // Neighbours in one patch share its number.
                    for (int dr = -1; dr <= 1; ++dr) {
                        for (int dc = -1; dc <= 1; ++dc) {
                            const int nr = r + dr, nc = c + dc;
                            if ((connectivity == 4 && dr != 0 && dc != 0) || nr < 0 ||
                                nr >= height || nc < 0 || nc >= width || !grid[nr][nc]) {
                                continue;
                            }
                            ASSERT_EQ(label[nr][nc], patch);
                        }
                    }
                }
            }
            for (std::size_t k = 1; k < touches.size(); ++k) EXPECT_TRUE(touches[k]) << k;
            // Every small patch on the ring is among them.
            for (int r = 0; r < height; ++r) {
                for (int c = 0; c < width; ++c) {
                    if (grid[r][c] && edge.test(r, c) && area[r][c] < min_m2) {
                        ASSERT_NE(label[r][c], 0u) << r << " " << c;
                    }
                }
            }
        }
    }
}

TEST(ForestPatches, RefusesAConnectivityOrAreasThatDoNotFit) {
    BitMask mask(3, 2);
    EXPECT_THROW(keep_forest_patches(mask, {1, 1}, 0, 6), std::invalid_argument);
    EXPECT_THROW(keep_forest_patches(mask, {1}, 0, 8), std::invalid_argument);
}

TEST(BitMask, CountsTheSetPixelsOfAnyColumnRange) {
    std::mt19937 random(7);
    BitMask mask(200, 1);
    std::vector<bool> bits(200);
    for (int c = 0; c < 200; ++c) {
        if (random() % 3 == 0) {
            bits[c] = true;
            mask.set(0, c);
        }
    }
    for (int begin = 0; begin <= 200; begin += 7) {
        for (int end = begin; end <= 200; end += 13) {
            int expected = 0;
            for (int c = begin; c < end; ++c) expected += bits[c];
            ASSERT_EQ(mask.count(0, begin, end), expected) << begin << " " << end;
        }
    }
}

TEST(ForestDefinition, ReadsCoverHeightAndHectares) {
    std::string error;
    const auto definition = parse_forest_definition("10:5:0.5", error);
    ASSERT_TRUE(definition) << error;
    EXPECT_EQ(definition->cover, 10);
    EXPECT_EQ(definition->height, 5);
    EXPECT_EQ(definition->min_area_m2(), 5000.0);
    const auto extremes = parse_forest_definition("100:255:0", error);
    ASSERT_TRUE(extremes) << error;
    EXPECT_EQ(extremes->min_area_m2(), 0.0);
    EXPECT_TRUE(parse_forest_definition("0:0:12.", error));
    EXPECT_TRUE(parse_forest_definition("0:0:.25", error));
}

TEST(ForestDefinition, RefusesAnythingElseWithALine) {
    for (const char* text : {"10:5", "10:5:-1", "101:5:1", "10:x:1", "10:5:0.5:1", "",
                             "::", "10:256:1", "-1:5:1", "+10:5:1", " 10:5:1", "10:5:1e3",
                             "10:5:inf", "10:5:nan", "10:5:.", "10:5:1.2.3", "0010:5:1"}) {
        std::string error;
        EXPECT_FALSE(parse_forest_definition(text, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_EQ(error.find('\n'), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace pt
