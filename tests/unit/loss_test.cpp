#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "filter/stages.hpp"

namespace pt {
namespace {

using Years = std::vector<int>;

Years nonzero_years(const YearCube& cube, int row, int col) {
    Years out;
    for (int t = 0; t < cube.year_count; ++t)
        if (cube.at(t, row, col) != 0) out.push_back(t);
    return out;
}

TEST(LossThinning, RetainedLossClearsTheNextThreeYearsOnly) {
    struct Case {
        std::vector<std::pair<int, uint8_t>> in;
        Years kept;
    };
    const Case cases[] = {
        {{{3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}}, {3, 7}},
        {{{3, 1}, {6, 1}}, {3}},
        {{{3, 1}, {7, 1}}, {3, 7}},
        {{{3, 1}, {4, 2}}, {3}},     // any byte is cleared inside the countdown
        {{{3, 2}, {4, 1}}, {3, 4}},  // only a 1 arms it
    };
    TileMemory tile(10, 5, 4);  // one case per column of row 1; row 0 stays out
    for (int col = 0; col < 5; ++col)
        for (auto [t, v] : cases[col].in)
            tile.loss_cube.at(t, 0, col) = tile.loss_cube.at(t, 1, col) = v;
    thin_loss_rows(tile.loss_cube, tile.loss_out, 1, 4);
    for (int col = 0; col < 5; ++col) {
        EXPECT_EQ(nonzero_years(tile.loss_cube, 1, col), cases[col].kept) << col;
        EXPECT_EQ(nonzero_years(tile.loss_out, 1, col), cases[col].kept) << col;
        EXPECT_EQ(nonzero_years(tile.loss_cube, 0, col).size(), cases[col].in.size());
        EXPECT_TRUE(nonzero_years(tile.loss_out, 0, col).empty());
    }
    EXPECT_EQ(tile.loss_out.at(3, 1, 4), 2);
}

// The row form's verdict against the one-pixel scan of the block, on random
// loss bytes of 1 and 2.
TEST(LossProximity, RowFormMatchesTheOnePixelScan) {
    constexpr int N = 20, W = 5, H = 4;
    TileMemory tile(N, W, H);
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        for (int t = 0; t < N; ++t)
            for (int r = 0; r < H; ++r)
                for (int c = 0; c < W; ++c)
                    tile.loss_cube.at(t, r, c) = rng() % 6 == 0 ? 1 + rng() % 2 : 0;
        for (int row = 0; row < H; ++row) {
            for (int col = 0; col < W; ++col) {
                std::vector<int32_t> plain(N, 99), rows(N, 99);
                loss_proximity(tile.loss_cube, row, col, plain);
                loss_proximity_by_rows(tile.loss_cube, row, col, rows);
                ASSERT_EQ(rows, plain) << round << ": " << row << "," << col;
            }
        }
    }
}

TEST(LossProximity, LastBlockPixelWithLossDecides) {
    TileMemory tile(8, 3, 3);
    // Lower right comes later in scan order, so its older loss (4) outranks
    // the upper left's recent one (6) at years 6 and 7.
    tile.loss_cube.at(6, 0, 0) = 1;
    tile.loss_cube.at(4, 2, 2) = 1;
    const std::vector<int32_t> expected = {0, 0, 0, 0, 1, 1, 2, 2};
    std::vector<int32_t> series(8, 99);
    loss_proximity(tile.loss_cube, 1, 1, series);
    EXPECT_EQ(series, expected);
    loss_proximity_by_rows(tile.loss_cube, 1, 1, series);
    EXPECT_EQ(series, expected);
}

}  // namespace
}  // namespace pt
