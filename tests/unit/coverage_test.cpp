// Cell shares of a zone, held to shares worked out by hand and, for random
// polygons, to each cell's own clipping of the polygon (Sutherland-Hodgman
// against the cell's square, then the shoelace area).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

#include "accounts/coverage.hpp"

namespace pt {
namespace {

// The shares as a full grid, row by row; also checks the spans' order and form.
std::vector<double> dense(const std::vector<CoverSpan>& spans, int width, int height) {
    std::vector<double> grid(static_cast<std::size_t>(width) * height, 0.0);
    const CoverSpan* previous = nullptr;
    for (const CoverSpan& s : spans) {
        EXPECT_TRUE(s.row >= 0 && s.row < height && s.begin >= 0 && s.begin < s.end &&
                    s.end <= width);
        EXPECT_TRUE(s.share > 0 && s.share <= 1);
        if (previous != nullptr) {
            EXPECT_TRUE(previous->row < s.row ||
                        (previous->row == s.row && previous->end <= s.begin));
        }
        previous = &s;
        for (int c = s.begin; c < s.end; ++c)
            grid[static_cast<std::size_t>(s.row) * width + c] = s.share;
    }
    return grid;
}

std::vector<double> shares_of(const ZoneShape& zone, int width, int height) {
    return dense(coverage_spans(zone, width, height), width, height);
}

PixelRing rectangle(double x0, double y0, double x1, double y1) {
    return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
}

PixelRing reversed(PixelRing ring) {
    std::reverse(ring.begin(), ring.end());
    return ring;
}

void expect_grid(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want[i], 1e-12) << "cell " << i;
}

double total(const std::vector<double>& grid) {
    double sum = 0;
    for (const double share : grid) sum += share;
    return sum;
}

TEST(Coverage, AlignedRectangleIsWholeCellsOnly) {
    const ZoneShape zone{{rectangle(2, 1, 5, 3)}, {}};
    const std::vector<CoverSpan> spans = coverage_spans(zone, 8, 6);
    ASSERT_EQ(spans.size(), 2u);  // one run a row, nothing for the cells it only touches
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(spans[i].row, 1 + i);
        EXPECT_EQ(spans[i].begin, 2);
        EXPECT_EQ(spans[i].end, 5);
        EXPECT_EQ(spans[i].share, 1.0);
    }
    // Either winding, and closed with its first point repeated, the same.
    PixelRing closed = reversed(rectangle(2, 1, 5, 3));
    closed.push_back(closed.front());
    const std::vector<CoverSpan> again = coverage_spans(ZoneShape{{closed}, {}}, 8, 6);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[1].begin, 2);
    EXPECT_EQ(again[1].end, 5);
}

TEST(Coverage, UnalignedRectangleSharesAreOverlaps) {
    for (const bool reverse : {false, true}) {
        PixelRing ring = rectangle(1.25, 0.5, 3.5, 2.75);
        if (reverse) ring = reversed(ring);
        const std::vector<double> got = shares_of(ZoneShape{{ring}, {}}, 5, 4);
        std::vector<double> want(20, 0.0);
        const double col[] = {0, 0.75, 1, 0.5, 0};
        const double row[] = {0.5, 1, 0.75, 0};
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 5; ++c) want[r * 5 + c] = row[r] * col[c];
        expect_grid(got, want);
    }
}

TEST(Coverage, TriangleAndDiamondByHand) {
    // Legs of 2 from (0.5, 0.5); the hypotenuse x + y = 3 cuts cells (0,2),
    // (1,1) and (2,0) through corners or middles.
    const ZoneShape triangle{{{{0.5, 0.5}, {2.5, 0.5}, {0.5, 2.5}}}, {}};
    expect_grid(shares_of(triangle, 3, 3), {0.25, 0.5, 0.125, 0.5, 0.5, 0, 0.125, 0, 0});

    // |x - 1.5| + |y - 1.5| <= 1.5: the middle cell whole, its four
    // neighbours 3/4, the corners 1/8; vertices on grid lines.
    const ZoneShape diamond{{{{1.5, 0}, {3, 1.5}, {1.5, 3}, {0, 1.5}}}, {}};
    expect_grid(shares_of(diamond, 3, 3), {0.125, 0.75, 0.125, 0.75, 1, 0.75, 0.125, 0.75, 0.125});
}

TEST(Coverage, HolesAreTakenOffAndPartsAdd) {
    // A 4 x 4 square with a hole of 1 x 1 centred in it, and a second part.
    const ZoneShape zone{{rectangle(0, 0, 4, 4), reversed(rectangle(5.5, 0, 6, 1))},
                         {reversed(rectangle(1.5, 1.5, 2.5, 2.5))}};
    const std::vector<double> got = shares_of(zone, 7, 4);
    std::vector<double> want(28, 0.0);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) want[r * 7 + c] = 1;
    for (const int r : {1, 2})
        for (const int c : {1, 2}) want[r * 7 + c] = 0.75;
    want[5] = 0.5;
    expect_grid(got, want);
    EXPECT_NEAR(total(got), 16 - 1 + 0.5, 1e-12);
    // The hole given in the outer ring's winding changes nothing.
    const ZoneShape same{{rectangle(0, 0, 4, 4), rectangle(5.5, 0, 6, 1)},
                         {rectangle(1.5, 1.5, 2.5, 2.5)}};
    expect_grid(shares_of(same, 7, 4), want);
}

TEST(Coverage, ZoneReachingBeyondTheTileIsClipped) {
    // Past the left and top edges.
    const ZoneShape left{{rectangle(-2.5, -1, 1.5, 2.25)}, {}};
    expect_grid(shares_of(left, 3, 3), {1, 0.5, 0, 1, 0.5, 0, 0.25, 0.125, 0});
    // Past the right and bottom edges, and a sloping edge through the left
    // border: the triangle (-1,0), (1,0), (-1,2) leaves half a cell in cell
    // (0,0): x + y <= 1 within it.
    const ZoneShape right{{rectangle(1.5, 1, 10, 9)}, {}};
    expect_grid(shares_of(right, 3, 3), {0, 0, 0, 0, 0.5, 1, 0, 0.5, 1});
    const ZoneShape slope{{{{-1, 0}, {1, 0}, {-1, 2}}}, {}};
    expect_grid(shares_of(slope, 2, 2), {0.5, 0, 0, 0});
    // Far beyond on every side: every cell whole, one run a row.
    const ZoneShape huge{{rectangle(-1e9, -1e9, 1e9, 1e9)}, {}};
    const std::vector<CoverSpan> spans = coverage_spans(huge, 4004, 3);
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[2].begin, 0);
    EXPECT_EQ(spans[2].end, 4004);
    // Wholly outside: nothing.
    EXPECT_TRUE(coverage_spans(ZoneShape{{rectangle(-5, 1, -1, 2)}, {}}, 3, 3).empty());
    EXPECT_TRUE(coverage_spans(ZoneShape{{rectangle(0, 3, 3, 9)}, {}}, 3, 3).empty());
}

TEST(Coverage, DegenerateOutlinesAndFaultyPoints) {
    // Repeated points, collinear points, vertical and horizontal edges along
    // grid lines: still the aligned square.
    const ZoneShape messy{
        {{{1, 1}, {1, 1}, {2, 1}, {3, 1}, {3, 1}, {3, 2}, {3, 3}, {2, 3}, {1, 3}, {1, 2}, {1, 1}}},
        {}};
    std::vector<double> want(16, 0.0);
    for (const int r : {1, 2})
        for (const int c : {1, 2}) want[r * 4 + c] = 1;
    expect_grid(shares_of(messy, 4, 4), want);
    // Rings with no area, and an empty zone.
    const ZoneShape flat{{{{0, 0}, {3, 3}}, {{0, 0}, {2, 2}, {3, 3}}, {}}, {}};
    EXPECT_TRUE(coverage_spans(flat, 4, 4).empty());
    EXPECT_TRUE(coverage_spans(ZoneShape{}, 4, 4).empty());
    EXPECT_TRUE(coverage_spans(ZoneShape{{rectangle(0, 0, 1, 1)}, {}}, 0, 4).empty());
    // A point that is not a number, or one absurdly far away, is refused
    // rather than read as some share.
    const double nan = std::nan("");
    EXPECT_THROW(coverage_spans(ZoneShape{{{{0, 0}, {nan, 1}, {1, 1}}}, {}}, 4, 4),
                 std::invalid_argument);
    EXPECT_THROW(
        coverage_spans(ZoneShape{{rectangle(0, 0, 1, 1)}, {{{0, 0}, {1e300, 0}, {0, 1}}}}, 4, 4),
        std::invalid_argument);
}

// ----- independent reference: clip the polygon to each cell -----

using Polygon = std::vector<PixelPoint>;

Polygon clip(const Polygon& polygon, int axis, double bound, bool keep_below) {
    Polygon out;
    const auto inside = [&](const PixelPoint& p) {
        const double v = axis == 0 ? p.x : p.y;
        return keep_below ? v <= bound : v >= bound;
    };
    for (std::size_t i = 0; i < polygon.size(); ++i) {
        const PixelPoint& a = polygon[i];
        const PixelPoint& b = polygon[(i + 1) % polygon.size()];
        if (inside(a)) out.push_back(a);
        if (inside(a) != inside(b)) {
            const double va = axis == 0 ? a.x : a.y;
            const double vb = axis == 0 ? b.x : b.y;
            const double t = (bound - va) / (vb - va);
            out.push_back({a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)});
        }
    }
    return out;
}

double signed_area(const Polygon& polygon) {
    double sum = 0;
    for (std::size_t i = 0; i < polygon.size(); ++i) {
        const PixelPoint& a = polygon[i];
        const PixelPoint& b = polygon[(i + 1) % polygon.size()];
        sum += a.x * b.y - b.x * a.y;
    }
    return sum / 2;
}

double area_in_cell(const Polygon& polygon, int row, int col) {
    Polygon p = clip(polygon, 0, col, false);
    p = clip(p, 0, col + 1, true);
    p = clip(p, 1, row, false);
    p = clip(p, 1, row + 1, true);
    return std::fabs(signed_area(p));
}

// A star-shaped ring around (cx, cy) with radii in [r0, r1]: simple, not convex.
Polygon star(std::mt19937& rng, double cx, double cy, double r0, double r1, int points) {
    std::uniform_real_distribution<double> radius(r0, r1);
    std::uniform_real_distribution<double> jitter(0, 0.9);
    Polygon ring;
    for (int i = 0; i < points; ++i) {
        const double angle = 2 * std::numbers::pi * (i + jitter(rng)) / points;
        const double r = radius(rng);
        ring.push_back({cx + r * std::cos(angle), cy + r * std::sin(angle)});
    }
    return ring;
}

TEST(Coverage, RandomPolygonsAgreeWithClippingEachCell) {
    std::mt19937 rng(28);
    const int width = 9;
    const int height = 7;
    std::uniform_real_distribution<double> centre(-1, 10);
    std::uniform_int_distribution<int> count(3, 40);
    for (int trial = 0; trial < 300; ++trial) {
        SCOPED_TRACE(trial);
        const double cx = centre(rng);
        const double cy = centre(rng);
        Polygon outer = star(rng, cx, cy, 2, 5, count(rng));
        Polygon hole = star(rng, cx, cy, 0.3, 1.9, count(rng));
        if (trial % 2 == 1) outer = reversed(outer);
        // Some vertices moved onto grid lines or corners.
        if (trial % 3 == 0) {
            for (std::size_t i = 0; i < outer.size(); i += 2) outer[i].x = std::round(outer[i].x);
            for (std::size_t i = 0; i < outer.size(); i += 3) outer[i].y = std::round(outer[i].y);
        }
        const bool with_hole = trial % 4 != 0;
        ZoneShape zone{{outer}, {}};
        if (with_hole) zone.holes.push_back(hole);
        const std::vector<double> got = shares_of(zone, width, height);
        double want_total = 0;
        for (int r = 0; r < height; ++r) {
            for (int c = 0; c < width; ++c) {
                double want = area_in_cell(outer, r, c);
                if (with_hole) want -= area_in_cell(hole, r, c);
                if (want < 1e-9) want = 0;
                want_total += want;
                EXPECT_NEAR(got[r * width + c], want, 1e-9) << "row " << r << " col " << c;
            }
        }
        EXPECT_NEAR(total(got), want_total, 1e-8);
    }
}

// A country border's worth of vertices over a whole tile.
TEST(Coverage, LargeRingOfManyVertices) {
    const int points = 200000;
    Polygon ring;
    for (int i = 0; i < points; ++i) {
        const double angle = 2 * std::numbers::pi * i / points;
        const double r = 1500 + 400 * std::sin(37 * angle);
        ring.push_back({2002 + r * std::cos(angle), 2002 + r * std::sin(angle)});
    }
    const std::vector<CoverSpan> spans = coverage_spans(ZoneShape{{ring}, {}}, 4004, 4004);
    double area = 0;
    for (const CoverSpan& s : spans) area += (s.end - s.begin) * s.share;
    EXPECT_NEAR(area, std::fabs(signed_area(ring)), 1e-6 * area);
}

}  // namespace
}  // namespace pt
