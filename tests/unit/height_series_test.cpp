// Canopy height series of one pixel on a small 7x7 tile. Series are written
// from the year 2000 (year index 3) on; the pixel is covered in every year,
// has no loss and no loss nearby unless a test says otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "filter/stages.hpp"
#include "tile/tile.hpp"

namespace pt {
namespace {

constexpr int SIDE = 7;
constexpr int FAR = 200;  // a height that must never reach the result

class HeightPixel {
public:
    // `years` output years (2000 on) for the pixel at (row, col).
    explicit HeightPixel(int years, int row = 3, int col = 3)
        : tile(first_output_index + years, SIDE, SIDE), row_(row), col_(col),
          n_(first_output_index + years), value(n_), height(n_), prox(n_, PROX_NONE) {
        for (int k = 0; k < years; ++k) cover(k) = 60;
    }

    uint8_t& cover(int k) { return tile.cover_out.at(first_output_index + k, row_, col_); }
    uint8_t& loss(int k) { return tile.loss_cube.at(first_output_index + k, row_, col_); }
    int32_t& proximity(int k) { return prox[first_output_index + k]; }
    // Height of output year k at offset (dy, dx) from the pixel.
    uint8_t& h(int k, int dy = 0, int dx = 0) {
        return tile.height_cube.at(first_output_index + k, row_ + dy, col_ + dx);
    }
    void own(const std::vector<int>& heights) {
        for (int k = 0; k < static_cast<int>(heights.size()); ++k)
            h(k) = static_cast<uint8_t>(heights[k]);
    }
    // Fills layer k with FAR everywhere outside the in-tile 5x5 block, so any
    // read that wraps into another row or layer shows up in a mean.
    void far_outside_block(int k) {
        for (int r = 0; r < SIDE; ++r)
            for (int c = 0; c < SIDE; ++c)
                if (std::abs(r - row_) > 2 || std::abs(c - col_) > 2)
                    tile.height_cube.at(first_output_index + k, r, c) = FAR;
    }

    // Runs the stage; returns the stored heights of the output years.
    std::vector<int> run() {
        const ByteSeries c = tile.cover_out.series(row_, col_);
        const ByteSeries l = tile.loss_cube.series(row_, col_);
        filter_height_series(height_neighbourhood(tile.height_cube, row_, col_),
                             {c.base, c.stride}, {l.base, l.stride}, prox, value, height,
                             tile.height_out.series(row_, col_));
        std::vector<int> out;
        for (int t = first_output_index; t < n_; ++t)
            out.push_back(tile.height_out.at(t, row_, col_));
        return out;
    }
    int derived(int k) const { return value[first_output_index + k]; }

    TileMemory tile;

private:
    int row_, col_, n_;

public:
    std::vector<int32_t> value, height, prox;
};

using V = std::vector<int>;

TEST(HeightDerivation, OwnHeightCoverGateAndBlockMean) {
    HeightPixel p(5);
    p.own({12, 0, 30, 12, 12});
    p.h(0, -1, -1) = 50;  // a covered year with its own height ignores neighbours
    p.h(1, -1, 0) = 10;   // own height missing: non-zero 3x3 neighbours 10, 11, 13
    p.h(1, 0, 1) = 11;    // (their own cover is 0, which does not matter)
    p.h(1, 1, 1) = 13;
    p.h(1, 2, 2) = 90;    // the ring is not consulted when the 3x3 block held a height
    p.cover(2) = 0;       // not covered: its own 30 is ignored
    EXPECT_EQ(p.run(), (V{12, 11, 0, 3, 6}));
    EXPECT_EQ(p.derived(1), 11);
    EXPECT_EQ(p.derived(2), 0);
}

TEST(HeightDerivation, MeanFillsADipThatSmoothingThenRemoves) {
    HeightPixel p(5);
    p.own({12, 12, 0, 12, 12});
    p.h(2, -1, 0) = 10;
    p.h(2, 0, 1) = 11;
    p.h(2, 1, 1) = 13;
    EXPECT_EQ(p.run(), (V{12, 12, 12, 12, 12}));
    EXPECT_EQ(p.derived(2), 11);
}

TEST(HeightDerivation, RingAtDistanceTwoAndNothingAround) {
    HeightPixel p(5);
    p.own({20, 0, 0, 12, 12});
    p.h(1, -2, 1) = 20;  // year 1: only the ring holds heights: 45 / 2 = 22
    p.h(1, 2, -2) = 25;
    p.far_outside_block(1);
    p.far_outside_block(2);  // year 2: nothing within the 5x5 block
    p.run();
    EXPECT_EQ(p.derived(1), 22);
    EXPECT_EQ(p.derived(2), 0);

    // 12, 12, 0, 12, 12: the cap rebuilds from 0, and a 0 is never smoothed.
    HeightPixel q(5);
    q.own({12, 12, 0, 12, 12});
    q.far_outside_block(2);
    EXPECT_EQ(q.run(), (V{12, 12, 0, 3, 6}));
}

TEST(HeightDerivation, TileCornerAndEdgeReadOnlyInsideTheTile) {
    // Corner: heights 9, 10, 12 to the right, below and diagonal: 31 / 3 = 10.
    // Everything else in the year (and the whole previous layer) is FAR, so a
    // read wrapping to the row's end or into the layer before would show.
    HeightPixel corner(2, 0, 0);
    for (int r = 0; r < SIDE; ++r)
        for (int c = 0; c < SIDE; ++c) corner.tile.height_cube.at(3, r, c) = FAR;
    corner.far_outside_block(1);
    corner.h(1, 0, 1) = 9;
    corner.h(1, 1, 0) = 10;
    corner.h(1, 1, 1) = 12;
    corner.run();
    EXPECT_EQ(corner.derived(1), 10);

    // Right edge, 3x3 empty: the in-tile ring holds 20 and 25 -> 22.
    HeightPixel edge(2, 3, SIDE - 1);
    edge.own({22, 0});
    edge.far_outside_block(1);
    edge.h(1, -2, -1) = 20;
    edge.h(1, 2, -2) = 25;
    edge.run();
    EXPECT_EQ(edge.derived(1), 22);
}

struct SeriesCase {
    V heights;
    V expected;
};

TEST(HeightSeries, CapAndSmoothing) {
    const SeriesCase cases[] = {
        {{10, 20, 20, 20, 20}, {10, 13, 16, 19, 20}},  // cap chains on the capped year
        {{0, 20, 20, 20, 20}, {0, 3, 6, 9, 12}},       // 2000 itself is never capped
        {{20, 5, 20, 20, 20}, {20, 8, 8, 11, 14}},     // falls pass; dip 5 smoothed to 8
        {{10, 10, 13, 10, 10}, {10, 10, 10, 10, 10}},  // peak
        {{12, 12, 10, 12, 12}, {12, 12, 12, 12, 12}},  // dip
        {{10, 13, 13, 10, 10}, {10, 13, 13, 10, 10}},  // plateau edges are no extremes
        {{14, 10, 10, 10}, {14, 10, 10, 10}},          // 2000 is never smoothed
        {{10, 8, 11, 9, 9}, {10, 10, 9, 9, 9}},        // medians over derived values
        {{10, 11, 12, 14, 5}, {10, 11, 12, 12, 5}},    // peak judged against final year
    };
    for (const auto& c : cases) {
        HeightPixel p(static_cast<int>(c.heights.size()));
        p.own(c.heights);
        EXPECT_EQ(p.run(), c.expected) << "heights " << ::testing::PrintToString(c.heights);
    }
}

TEST(HeightSeries, OnlyRecentLossNearbyProtectsAPeak) {
    for (int code : {PROX_RECENT, PROX_OLDER}) {
        HeightPixel p(5);
        p.own({10, 10, 13, 10, 10});
        p.proximity(2) = code;
        EXPECT_EQ(p.run()[2], code == PROX_RECENT ? 13 : 10) << "proximity " << code;
    }
}

// Final-year rule on s(n-3), s(n-2), v(n-1), with a year before them. The
// year n-2 is protected by recent loss nearby so that it keeps its value.
struct FinalCase {
    V heights;       // four years; the last three are s(n-3), s(n-2), v(n-1)
    int recent_last; // p(n-1) = PROX_RECENT
    int loss_year;   // output year index with a loss byte, or -1
    int expected;
};

TEST(HeightSeries, FinalYearRule) {
    const FinalCase cases[] = {
        {{12, 12, 14, 14}, 0, -1, 14},  // row 1: equal
        {{12, 12, 14, 16}, 0, -1, 16},  // row 2: rising run
        {{16, 16, 14, 10}, 0, -1, 10},  // row 2: falling run
        {{12, 12, 14, 5}, 1, -1, 5},    // row 3: fall with recent loss nearby
        {{12, 12, 14, 5}, 0, 2, 5},     // row 4: own loss at n-2
        {{12, 12, 14, 5}, 0, 1, 5},     //        at n-3
        {{12, 12, 14, 5}, 0, 0, 5},     //        at n-4
        {{12, 12, 14, 5}, 0, -1, 14},   // row 5: repeat the year before
        {{12, 12, 14, 5}, 0, 3, 14},    // loss in the final year alone does not count
        {{16, 16, 10, 13}, 1, -1, 10},  // row 3 never takes a rise
        {{16, 16, 10, 13}, 0, 0, 13},   // row 4 does
    };
    for (const auto& c : cases) {
        HeightPixel p(4);
        p.own(c.heights);
        p.proximity(2) = PROX_RECENT;
        if (c.recent_last) p.proximity(3) = PROX_RECENT;
        if (c.loss_year >= 0) p.loss(c.loss_year) = 2;  // any non-zero byte is loss
        const V out = p.run();
        EXPECT_EQ(out[2], c.heights[2]);
        EXPECT_EQ(out[3], c.expected) << ::testing::PrintToString(c.heights) << " recent "
                                      << c.recent_last << " loss " << c.loss_year;
    }
}

TEST(HeightSeries, ShortRunsAndStaleWorkSpace) {
    // Last year 2000: the derived height is stored as is.
    HeightPixel one(1);
    one.own({37});
    EXPECT_EQ(one.run(), (V{37}));

    // Last year 2001, work series full of a previous pixel's values: the
    // final rule must see s(2) = 0, so 12 then 5 repeats 12 (row 5).
    HeightPixel two(2);
    two.own({12, 5});
    std::fill(two.value.begin(), two.value.end(), 99);
    std::fill(two.height.begin(), two.height.end(), 99);
    EXPECT_EQ(two.run(), (V{12, 12}));
    for (int t = 0; t < first_output_index; ++t) {
        EXPECT_EQ(two.value[t], 0);
        EXPECT_EQ(two.height[t], 0);
        EXPECT_EQ(two.tile.height_out.at(t, 3, 3), 0);
    }
}

}  // namespace
}  // namespace pt
