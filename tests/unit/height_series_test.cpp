// Canopy height series on small tiles, every pixel through both forms of the
// stage. Series are written from the year 2000 (year index
// first_output_index) on; a pixel has no loss and no loss nearby unless a
// test says otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "both_forms.hpp"
#include "filter/height_series_lanes.hpp"
#include "filter/stages.hpp"
#include "tile/tile.hpp"

namespace pt {
namespace {

constexpr int SIDE = 7;
constexpr int FAR = 200;   // a height that must never reach the result
constexpr int STALE = 99;  // what another pixel left in the work space

// A small tile whose every pixel runs through the stage in the given form:
// the one-pixel stage pixel by pixel, or the lane form on the groups of each
// row, the input heights laid out as the tile pass lays them out; the work
// space starts STALE. The accessors address the pixel chosen by at(), which
// starts as (row, col) and is covered in every year; k is an output year.
class HeightTile {
  public:
    explicit HeightTile(int years, int row = 3, int col = 3, int height = SIDE, int width = SIDE)
        : tile(first_output_index + years, width, height),
          years_(years),
          n_(tile.year_count()),
          proximity_(static_cast<std::size_t>(n_) * width * height, PROX_NONE),
          derived_(proximity_.size(), STALE) {
        at(row, col);
        for (int k = 0; k < years; ++k) cover(k) = 60;
    }

    HeightTile& at(int row, int col) {
        row_ = row, col_ = col;
        return *this;
    }
    uint8_t& cover(int k) { return tile.cover_out.at(first_output_index + k, row_, col_); }
    uint8_t& loss(int k) { return tile.loss_cube.at(first_output_index + k, row_, col_); }
    int32_t& proximity(int k) { return series(proximity_, row_, col_)[first_output_index + k]; }
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
        for (int r = 0; r < tile.height(); ++r)
            for (int c = 0; c < tile.width(); ++c)
                if (std::abs(r - row_) > 2 || std::abs(c - col_) > 2)
                    tile.height_cube.at(first_output_index + k, r, c) = FAR;
    }

    // Runs the stage on the whole tile; returns the pixel's stored heights.
    std::vector<int> run(Form form) {
        if (form == Form::one_pixel) {
            run_one_pixel();
        } else {
            run_lanes();
        }
        return out();
    }
    std::vector<int> out() const {
        std::vector<int> heights;
        for (int k = 0; k < years_; ++k)
            heights.push_back(tile.height_out.at(first_output_index + k, row_, col_));
        return heights;
    }
    // The derived, capped height of output year k (negative before 2000).
    int derived(int k) { return series(derived_, row_, col_)[first_output_index + k]; }

    TileMemory tile;

  private:
    YearSeries series(std::vector<int32_t>& all, int r, int c) {
        return {all.data() + (static_cast<std::size_t>(r) * tile.width() + c) * n_,
                static_cast<std::size_t>(n_)};
    }

    void run_one_pixel() {
        std::vector<int32_t> height(n_);
        for (int r = 0; r < tile.height(); ++r) {
            for (int c = 0; c < tile.width(); ++c) {
                const YearSeries derived = series(derived_, r, c);
                std::fill(derived.begin(), derived.end(), STALE);
                std::fill(height.begin(), height.end(), STALE);
                const ByteSeries cover = tile.cover_out.series(r, c);
                const ByteSeries loss = tile.loss_cube.series(r, c);
                filter_height_series(height_neighbourhood(tile.height_cube, r, c),
                                     {cover.base, cover.stride}, {loss.base, loss.stride},
                                     series(proximity_, r, c), derived, height,
                                     tile.height_out.series(r, c));
            }
        }
    }

    // Rows r-2 .. r+2 copied year by year with two zero columns before and
    // zeros after; rows outside the tile all zero.
    void run_lanes() {
        const int width = tile.width();
        const std::size_t padded = padded_to_lanes(width);
        const std::size_t stride = padded + 4;
        std::vector<std::vector<uint8_t>> rows(5, std::vector<uint8_t>(stride * n_));
        for (int r = 0; r < tile.height(); ++r) {
            for (int k = 0; k < 5; ++k) {
                std::fill(rows[k].begin(), rows[k].end(), 0);
                if (r - 2 + k < 0 || r - 2 + k >= tile.height()) continue;
                for (int t = 0; t < n_; ++t) {
                    std::memcpy(rows[k].data() + t * stride + 2, tile.height_cube.row(t, r - 2 + k),
                                width);
                }
            }
            for (int first = 0; first < width; first += LANE_COUNT) {
                PixelGroup g(n_);
                GroupHeights heights{{}, static_cast<std::ptrdiff_t>(stride)};
                for (int k = 0; k < 5; ++k) heights.rows[k] = rows[k].data() + 2 + first;
                for (int lane = 0; lane < LANE_COUNT; ++lane) {
                    const int c = first + lane;
                    for (int t = 0; t < n_; ++t) {
                        g.derived[t][lane] = g.height[t][lane] = STALE;
                        if (c >= width) continue;
                        g.value[t][lane] = tile.cover_out.at(t, r, c);
                        g.loss[t][lane] = tile.loss_cube.at(t, r, c) != 0 ? -1 : 0;
                        g.recent[t][lane] = series(proximity_, r, c)[t] == PROX_RECENT ? -1 : 0;
                    }
                }
                filter_height_series(g, heights);
                for (int c = first; c < std::min(first + LANE_COUNT, width); ++c) {
                    for (int t = 0; t < n_; ++t) {
                        series(derived_, r, c)[t] = g.derived[t][c - first];
                        if (t < first_output_index) continue;
                        tile.height_out.at(t, r, c) = static_cast<uint8_t>(g.height[t][c - first]);
                    }
                }
            }
        }
    }

    int years_, n_;
    int row_ = 0, col_ = 0;
    std::vector<int32_t> proximity_, derived_;
};

using V = std::vector<int>;

TEST(HeightDerivation, OwnHeightCoverGateAndBlockMean) {
    HeightTile p(5);
    p.own({12, 0, 30, 12, 12});
    p.h(0, -1, -1) = 50;  // a covered year with its own height ignores neighbours
    p.h(1, -1, 0) = 10;   // own height missing: non-zero 3x3 neighbours 10, 11, 13
    p.h(1, 0, 1) = 11;    // (their own cover is 0, which does not matter)
    p.h(1, 1, 1) = 13;
    p.h(1, 2, 2) = 90;  // the ring is not consulted when the 3x3 block held a height
    p.cover(2) = 0;     // not covered: its own 30 is ignored
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        EXPECT_EQ(p.run(form), (V{12, 11, 0, 3, 6}));
        EXPECT_EQ(p.derived(1), 11);
        EXPECT_EQ(p.derived(2), 0);
    }
}

TEST(HeightDerivation, MeanFillsADipThatSmoothingThenRemoves) {
    HeightTile p(5);
    p.own({12, 12, 0, 12, 12});
    p.h(2, -1, 0) = 10;
    p.h(2, 0, 1) = 11;
    p.h(2, 1, 1) = 13;
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        EXPECT_EQ(p.run(form), (V{12, 12, 12, 12, 12}));
        EXPECT_EQ(p.derived(2), 11);
    }
}

TEST(HeightDerivation, RingAtDistanceTwoAndNothingAround) {
    HeightTile p(5);
    p.own({20, 0, 0, 12, 12});
    p.h(1, -2, 1) = 20;  // year 1: only the ring holds heights: 45 / 2 = 22
    p.h(1, 2, -2) = 25;
    p.far_outside_block(1);
    p.far_outside_block(2);  // year 2: nothing within the 5x5 block

    // 12, 12, 0, 12, 12: the cap rebuilds from 0, and a 0 is never smoothed.
    HeightTile q(5);
    q.own({12, 12, 0, 12, 12});
    q.far_outside_block(2);
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        p.run(form);
        EXPECT_EQ(p.derived(1), 22);
        EXPECT_EQ(p.derived(2), 0);
        EXPECT_EQ(q.run(form), (V{12, 12, 0, 3, 6}));
    }
}

TEST(HeightDerivation, TileCornerAndEdgeReadOnlyInsideTheTile) {
    // Corner: heights 9, 10, 12 to the right, below and diagonal: 31 / 3 = 10.
    // Everything else in the year (and the whole previous layer) is FAR, so a
    // read wrapping to the row's end or into the layer before would show.
    HeightTile corner(2, 0, 0);
    for (int r = 0; r < SIDE; ++r)
        for (int c = 0; c < SIDE; ++c) corner.tile.height_cube.at(first_output_index, r, c) = FAR;
    corner.far_outside_block(1);
    corner.h(1, 0, 1) = 9;
    corner.h(1, 1, 0) = 10;
    corner.h(1, 1, 1) = 12;

    // Right edge, 3x3 empty: the in-tile ring holds 20 and 25 -> 22.
    HeightTile edge(2, 3, SIDE - 1);
    edge.own({22, 0});
    edge.far_outside_block(1);
    edge.h(1, -2, -1) = 20;
    edge.h(1, 2, -2) = 25;
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        corner.run(form);
        EXPECT_EQ(corner.derived(1), 10);
        edge.run(form);
        EXPECT_EQ(edge.derived(1), 22);
    }
}

// A pixel's own heights and what the stage stores of them. Cases run side by
// side, one per column of a one-row tile, so that the lanes of a group hold
// different cases; a height of 0 comes with cover 0, so no case takes its
// neighbours' heights.
struct SeriesCase {
    V heights;
    V expected;
    V proximity = {};    // codes of the output years, PROX_NONE beyond
    int loss_year = -1;  // output year with a loss byte, or -1
};

void expect_series(const std::vector<SeriesCase>& cases) {
    std::map<std::size_t, std::vector<std::size_t>> by_years;
    for (std::size_t i = 0; i < cases.size(); ++i) by_years[cases[i].heights.size()].push_back(i);
    for (const auto& [years, members] : by_years) {
        HeightTile row(static_cast<int>(years), 0, 0, 1, static_cast<int>(members.size()));
        for (std::size_t c = 0; c < members.size(); ++c) {
            const SeriesCase& s = cases[members[c]];
            row.at(0, static_cast<int>(c)).own(s.heights);
            for (int k = 0; k < static_cast<int>(years); ++k) {
                row.cover(k) = s.heights[k] != 0 ? 60 : 0;
            }
            for (int k = 0; k < static_cast<int>(s.proximity.size()); ++k) {
                row.proximity(k) = s.proximity[k];
            }
            if (s.loss_year >= 0) row.loss(s.loss_year) = 2;  // any non-zero byte is loss
        }
        for (Form form : BOTH_FORMS) {
            SCOPED_TRACE(form_name(form));
            row.run(form);
            for (std::size_t c = 0; c < members.size(); ++c) {
                EXPECT_EQ(row.at(0, static_cast<int>(c)).out(), cases[members[c]].expected)
                    << "case " << members[c];
            }
        }
    }
}

TEST(HeightSeries, CapAndSmoothing) {
    expect_series({
        {{10, 20, 20, 20, 20}, {10, 13, 16, 19, 20}},  // cap chains on the capped year
        {{0, 20, 20, 20, 20}, {0, 3, 6, 9, 12}},       // and climbs from 0
        {{20, 5, 20, 20, 20}, {20, 8, 8, 11, 14}},     // falls pass; dip 5 smoothed to 8
        {{10, 10, 13, 10, 10}, {10, 10, 10, 10, 10}},  // peak
        {{12, 12, 10, 12, 12}, {12, 12, 12, 12, 12}},  // dip
        {{10, 13, 13, 10, 10}, {10, 13, 13, 10, 10}},  // plateau edges are no extremes
        {{14, 10, 10, 10}, {14, 10, 10, 10}},          // 2000 is never smoothed
        {{10, 8, 11, 9, 9}, {10, 10, 9, 9, 9}},        // medians over derived values
        {{10, 11, 12, 14, 5}, {10, 11, 12, 12, 5}},    // peak judged against final year
        // Only recent loss nearby protects a peak.
        {{10, 10, 13, 10, 10}, {10, 10, 13, 10, 10}, {0, 0, PROX_RECENT}},
        {{10, 10, 13, 10, 10}, {10, 10, 10, 10, 10}, {0, 0, PROX_OLDER}},
    });
}

// The final year has no successor to judge it against. It takes its derived
// value v(n-1) when that equals s(n-2) or continues the run s(n-3), s(n-2),
// when it is a fall with recent loss nearby, or when the pixel itself had
// loss in one of the three years before; otherwise it repeats s(n-2). Four
// years, the last three s(n-3), s(n-2), v(n-1); s(n-2) is protected by recent
// loss nearby so that it keeps its value.
TEST(HeightSeries, FinalYearRule) {
    struct FinalCase {
        V heights;
        bool recent_last;  // recent loss nearby in the final year
        int loss_year;     // output year with a loss byte of the pixel, or -1
        int expected;
    };
    const FinalCase cases[] = {
        {{12, 12, 14, 14}, false, -1, 14},  // equal to the year before
        {{12, 12, 14, 16}, false, -1, 16},  // continues a rising run
        {{16, 16, 14, 10}, false, -1, 10},  // continues a falling run
        {{12, 12, 14, 5}, true, -1, 5},     // a fall with recent loss nearby
        {{12, 12, 14, 5}, false, 2, 5},     // the pixel's own loss at n-2
        {{12, 12, 14, 5}, false, 1, 5},     //                      at n-3
        {{12, 12, 14, 5}, false, 0, 5},     //                      at n-4
        {{12, 12, 14, 5}, false, -1, 14},   // none of these: repeats the year before
        {{12, 12, 14, 5}, false, 3, 14},    // loss in the final year alone does not count
        {{16, 16, 10, 13}, true, -1, 10},   // recent loss nearby never takes a rise
        {{16, 16, 10, 13}, false, 0, 13},   // the pixel's own loss does
    };
    std::vector<SeriesCase> series;
    for (const FinalCase& c : cases) {
        const int32_t last = c.recent_last ? PROX_RECENT : PROX_NONE;
        series.push_back({c.heights,
                          {c.heights[0], c.heights[1], c.heights[2], c.expected},
                          {PROX_NONE, PROX_NONE, PROX_RECENT, last},
                          c.loss_year});
    }
    expect_series(series);
}

TEST(HeightSeries, ShortRunsAndStaleWorkSpace) {
    // Last year 2000: the derived height is stored as is.
    expect_series({{{37}, {37}}});

    // Last year 2001: the final rule must see s(2) = 0, not what another
    // pixel left in the work space, so 12 then 5 repeats 12.
    HeightTile two(2);
    two.own({12, 5});
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        EXPECT_EQ(two.run(form), (V{12, 12}));
        for (int k = -first_output_index; k < 0; ++k) {
            EXPECT_EQ(two.derived(k), 0);
            // The store leaves the years before the output alone.
            if (form == Form::one_pixel) {
                EXPECT_EQ(two.tile.height_out.at(first_output_index + k, 3, 3), 0);
            }
        }
    }
}

}  // namespace
}  // namespace pt
