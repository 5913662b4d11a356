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

constexpr int FAR = 200;    // a height that must never reach the result
constexpr int STALE = 99;   // what another pixel left in the work space

// A small tile whose every pixel runs through the stage in the given form:
// the one-pixel stage pixel by pixel, or the lane form on the groups of each
// row, the input heights laid out as the tile pass lays them out. Output
// year k is year index first_output_index + k; the work space starts STALE.
class HeightTile {
public:
    HeightTile(int years, int height, int width)
        : tile(first_output_index + years, width, height),
          n_(first_output_index + years),
          proximity_(series_size(), PROX_NONE),
          derived_(series_size(), STALE) {}

    uint8_t& cover(int k, int r, int c) { return tile.cover_out.at(first_output_index + k, r, c); }
    uint8_t& loss(int k, int r, int c) { return tile.loss_cube.at(first_output_index + k, r, c); }
    uint8_t& h(int k, int r, int c) { return tile.height_cube.at(first_output_index + k, r, c); }
    int32_t& proximity(int k, int r, int c) { return series(proximity_, r, c)[first_output_index + k]; }

    // After run(): the stored height of output year k, and the derived,
    // capped height of year index t.
    int out(int k, int r, int c) const { return tile.height_out.at(first_output_index + k, r, c); }
    int derived_at(int t, int r, int c) { return series(derived_, r, c)[t]; }

    void run(Form form) {
        if (form == Form::one_pixel) {
            run_one_pixel();
        } else {
            run_lanes();
        }
    }

    TileMemory tile;

private:
    std::size_t series_size() const {
        return static_cast<std::size_t>(n_) * tile.width() * tile.height();
    }
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
                const int row = r - 2 + k;
                if (row < 0 || row >= tile.height()) continue;
                for (int t = 0; t < n_; ++t) {
                    std::memcpy(rows[k].data() + t * stride + 2, tile.height_cube.row(t, row), width);
                }
            }
            for (std::size_t first = 0; first < padded; first += LANE_COUNT) {
                PixelGroup g(n_);
                GroupHeights heights;
                heights.year_stride = static_cast<std::ptrdiff_t>(stride);
                for (int k = 0; k < 5; ++k) heights.rows[k] = rows[k].data() + 2 + first;
                for (int lane = 0; lane < LANE_COUNT; ++lane) {
                    const int c = static_cast<int>(first) + lane;
                    for (int t = 0; t < n_; ++t) {
                        g.derived[t][lane] = g.height[t][lane] = STALE;
                        if (c >= width) continue;
                        g.value[t][lane] = tile.cover_out.at(t, r, c);
                        g.loss[t][lane] = tile.loss_cube.at(t, r, c) != 0 ? -1 : 0;
                        g.recent[t][lane] = series(proximity_, r, c)[t] == PROX_RECENT ? -1 : 0;
                    }
                }
                filter_height_series(g, heights);
                for (int lane = 0; lane < LANE_COUNT && static_cast<int>(first) + lane < width; ++lane) {
                    const int c = static_cast<int>(first) + lane;
                    for (int t = 0; t < n_; ++t) {
                        series(derived_, r, c)[t] = g.derived[t][lane];
                        if (t >= first_output_index) {
                            tile.height_out.at(t, r, c) = static_cast<uint8_t>(g.height[t][lane]);
                        }
                    }
                }
            }
        }
    }

    int n_;
    std::vector<int32_t> proximity_, derived_;
};

constexpr int SIDE = 7;

// One pixel of a SIDE x SIDE tile, covered in every year, addressed relative
// to itself.
class HeightPixel : public HeightTile {
public:
    explicit HeightPixel(int years, int row = 3, int col = 3)
        : HeightTile(years, SIDE, SIDE), years_(years), row_(row), col_(col) {
        for (int k = 0; k < years; ++k) cover(k) = 60;
    }

    uint8_t& cover(int k) { return HeightTile::cover(k, row_, col_); }
    // Height of output year k at offset (dy, dx) from the pixel.
    uint8_t& h(int k, int dy = 0, int dx = 0) { return HeightTile::h(k, row_ + dy, col_ + dx); }
    void own(const std::vector<int>& heights) {
        for (int k = 0; k < static_cast<int>(heights.size()); ++k)
            h(k) = static_cast<uint8_t>(heights[k]);
    }
    // Fills layer k with FAR everywhere outside the in-tile 5x5 block, so any
    // read that wraps into another row or layer shows up in a mean.
    void far_outside_block(int k) {
        for (int r = 0; r < SIDE; ++r)
            for (int c = 0; c < SIDE; ++c)
                if (std::abs(r - row_) > 2 || std::abs(c - col_) > 2) HeightTile::h(k, r, c) = FAR;
    }

    // Runs the stage; returns the pixel's stored heights of the output years.
    std::vector<int> run(Form form) {
        HeightTile::run(form);
        std::vector<int> heights;
        for (int k = 0; k < years_; ++k) heights.push_back(out(k, row_, col_));
        return heights;
    }
    int derived(int k) { return derived_at(first_output_index + k, row_, col_); }
    int derived_before_output(int t) { return derived_at(t, row_, col_); }

private:
    int years_, row_, col_;
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
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        EXPECT_EQ(p.run(form), (V{12, 11, 0, 3, 6}));
        EXPECT_EQ(p.derived(1), 11);
        EXPECT_EQ(p.derived(2), 0);
    }
}

TEST(HeightDerivation, MeanFillsADipThatSmoothingThenRemoves) {
    HeightPixel p(5);
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
    HeightPixel p(5);
    p.own({20, 0, 0, 12, 12});
    p.h(1, -2, 1) = 20;  // year 1: only the ring holds heights: 45 / 2 = 22
    p.h(1, 2, -2) = 25;
    p.far_outside_block(1);
    p.far_outside_block(2);  // year 2: nothing within the 5x5 block

    // 12, 12, 0, 12, 12: the cap rebuilds from 0, and a 0 is never smoothed.
    HeightPixel q(5);
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
    HeightPixel corner(2, 0, 0);
    for (int r = 0; r < SIDE; ++r)
        for (int c = 0; c < SIDE; ++c) corner.tile.height_cube.at(first_output_index, r, c) = FAR;
    corner.far_outside_block(1);
    corner.h(1, 0, 1) = 9;
    corner.h(1, 1, 0) = 10;
    corner.h(1, 1, 1) = 12;

    // Right edge, 3x3 empty: the in-tile ring holds 20 and 25 -> 22.
    HeightPixel edge(2, 3, SIDE - 1);
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
    std::map<std::size_t, std::vector<int>> by_years;
    for (std::size_t i = 0; i < cases.size(); ++i) by_years[cases[i].heights.size()].push_back(static_cast<int>(i));
    for (const auto& [years, indices] : by_years) {
        HeightTile row(static_cast<int>(years), 1, static_cast<int>(indices.size()));
        for (int c = 0; c < static_cast<int>(indices.size()); ++c) {
            const SeriesCase& s = cases[indices[c]];
            for (int k = 0; k < static_cast<int>(years); ++k) {
                row.h(k, 0, c) = static_cast<uint8_t>(s.heights[k]);
                row.cover(k, 0, c) = s.heights[k] != 0 ? 60 : 0;
            }
            for (int k = 0; k < static_cast<int>(s.proximity.size()); ++k) {
                row.proximity(k, 0, c) = s.proximity[k];
            }
            if (s.loss_year >= 0) row.loss(s.loss_year, 0, c) = 2;  // any non-zero byte is loss
        }
        for (Form form : BOTH_FORMS) {
            SCOPED_TRACE(form_name(form));
            row.run(form);
            for (int c = 0; c < static_cast<int>(indices.size()); ++c) {
                V out;
                for (int k = 0; k < static_cast<int>(years); ++k) out.push_back(row.out(k, 0, c));
                EXPECT_EQ(out, cases[indices[c]].expected) << "case " << indices[c];
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

// The final year has no successor to judge it against; it takes its derived
// value v(n-1) in the cases below, and otherwise repeats s(n-2). Four years,
// the last three s(n-3), s(n-2), v(n-1); s(n-2) is protected by recent loss
// nearby so that it keeps its value.
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
        series.push_back({c.heights,
                          {c.heights[0], c.heights[1], c.heights[2], c.expected},
                          {PROX_NONE, PROX_NONE, PROX_RECENT, c.recent_last ? PROX_RECENT : PROX_NONE},
                          c.loss_year});
    }
    expect_series(series);
}

TEST(HeightSeries, ShortRunsAndStaleWorkSpace) {
    // Last year 2000: the derived height is stored as is.
    expect_series({{{37}, {37}}});

    // Last year 2001: the final rule must see s(2) = 0, not what another
    // pixel left in the work space, so 12 then 5 repeats 12.
    HeightPixel two(2);
    two.own({12, 5});
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        EXPECT_EQ(two.run(form), (V{12, 12}));
        for (int t = 0; t < first_output_index; ++t) {
            EXPECT_EQ(two.derived_before_output(t), 0);
            // The store leaves the years before the output alone.
            if (form == Form::one_pixel) {
                EXPECT_EQ(two.tile.height_out.at(t, 3, 3), 0);
            }
        }
    }
}

}  // namespace
}  // namespace pt
