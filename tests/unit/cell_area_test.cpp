// The ground area of longitude-latitude cells on the WGS84 ellipsoid, held to
// computations that share no code with it: GeographicLib's area of a polygon
// of rhumb lines (a cell's sides are a meridian and a parallel each, both
// rhumb lines), and the closed form of the zone area evaluated directly in
// long double.
#include <gtest/gtest.h>
#include <GeographicLib/Constants.hpp>
#include <GeographicLib/Ellipsoid.hpp>
#include <GeographicLib/PolygonArea.hpp>
#include <GeographicLib/Rhumb.hpp>

#include <cmath>
#include <numbers>

#include "accounts/cell_area.hpp"

namespace pt {
namespace {

constexpr double PIXEL = 0.00025;

double rhumb_area(double south, double north, double west, double width) {
    GeographicLib::PolygonAreaRhumb polygon(GeographicLib::Rhumb::WGS84());
    polygon.AddPoint(south, west);
    polygon.AddPoint(south, west + width);
    polygon.AddPoint(north, west + width);
    polygon.AddPoint(north, west);
    double perimeter = 0;
    double area = 0;
    polygon.Compute(false, true, perimeter, area);
    return std::fabs(area);
}

// a^2 dlambda (q(phi2) - q(phi1)) / 2 with q taken at each latitude on its
// own, in long double: the four extra digits cover the difference's loss.
long double closed_form_area(long double south, long double north, long double width) {
    const long double a = GeographicLib::Constants::WGS84_a();
    const long double f = GeographicLib::Constants::WGS84_f();
    const long double e2 = f * (2 - f);
    const long double e = std::sqrt(e2);
    const long double deg = std::numbers::pi_v<long double> / 180;
    const auto q = [&](long double phi) {
        const long double s = std::sin(phi * deg);
        return (1 - e2) * (s / (1 - e2 * s * s) - std::log((1 - e * s) / (1 + e * s)) / (2 * e));
    };
    return a * a * width * deg * (q(north) - q(south)) / 2;
}

TEST(CellArea, AgreesWithRhumbPolygonsAndTheClosedForm) {
    for (const double south : {0.0, 61.99975, 62.0, 88.99975, 89.0, -40.0, -62.00025}) {
        SCOPED_TRACE(south);
        const double north = south + PIXEL;
        const double area = cell_area_m2(south, north, PIXEL);
        EXPECT_NEAR(area, static_cast<double>(closed_form_area(south, north, PIXEL)), area * 1e-11);
        // The polygon's area is a sum of terms per edge far larger than one
        // cell, which its own rounding limits to about 1e-7 square metres.
        EXPECT_NEAR(area, rhumb_area(south, north, 10, PIXEL), 1e-7);
        EXPECT_EQ(cell_area_m2(north, south, PIXEL), area);  // either order
        EXPECT_NEAR(cell_area_m2(south, south + 1, 1), rhumb_area(south, south + 1, -5, 1), 1e-3);
    }
    // About 27.6 m x 30.9 m at the equator.
    EXPECT_NEAR(cell_area_m2(0, PIXEL, PIXEL), 769.3, 0.1);
}

// Near a pole the cells shrink to nothing and the plain difference of q
// loses its digits even in long double; there the cells of one degree are
// held to the closed form and the small cells to adding up to them.
TEST(CellArea, SmallCellsAddUpToLargeOnesUpToThePole) {
    for (const double south : {89.0, -90.0, 61.0}) {
        SCOPED_TRACE(south);
        const double whole = cell_area_m2(south, south + 1, PIXEL);
        EXPECT_NEAR(whole, static_cast<double>(closed_form_area(south, south + 1, PIXEL)),
                    whole * 1e-12);
        const std::vector<double> rows = row_cell_areas_m2(south + 1, PIXEL, 1.0 / 4000, 4000);
        double sum = 0;
        for (const double area : rows) sum += area;
        EXPECT_NEAR(sum, whole, whole * 1e-12);
    }
    // The cell at the pole is a sector of a disc whose radius is the arc of
    // the meridian over the cell's height, at the pole's radius of curvature
    // a / (1 - f).
    const double deg = std::numbers::pi / 180;
    const double radius = GeographicLib::Constants::WGS84_a() /
                          (1 - GeographicLib::Constants::WGS84_f()) * PIXEL * deg;
    const double sector = radius * radius * PIXEL * deg / 2;
    EXPECT_NEAR(cell_area_m2(90 - PIXEL, 90, PIXEL), sector, sector * 1e-6);
}

TEST(CellArea, RowsRunSouthFromTheTopEdge) {
    const double top = 62.5;
    const std::vector<double> rows = row_cell_areas_m2(top, PIXEL, PIXEL, 4004);
    ASSERT_EQ(rows.size(), 4004u);
    for (const int r : {0, 1, 2000, 4003}) {
        // The edges exactly r and r + 1 heights below the top, not rounded
        // to doubles near 62 (which would move them by 1e-14 degrees).
        const long double north = top - r * static_cast<long double>(PIXEL);
        EXPECT_NEAR(rows[r], static_cast<double>(closed_form_area(north - PIXEL, north, PIXEL)),
                    rows[r] * 1e-11);
    }
    EXPECT_GT(rows[4003], rows[0]);  // nearer the equator, larger
    EXPECT_TRUE(row_cell_areas_m2(top, PIXEL, PIXEL, 0).empty());
    // The southern hemisphere mirrors the northern.
    const std::vector<double> south = row_cell_areas_m2(-62.5 + 4004 * PIXEL, PIXEL, PIXEL, 4004);
    EXPECT_NEAR(south[0], rows[4003], rows[0] * 1e-12);
}

// A sphere, of the authalic radius (same total area) or of the mean radius,
// puts the area of a cell at 62 degrees off by more than a part in a thousand.
TEST(CellArea, SphereWouldBeOffAtHighLatitude) {
    const double a = GeographicLib::Constants::WGS84_a();
    const double f = GeographicLib::Constants::WGS84_f();
    const double deg = std::numbers::pi / 180;
    const double authalic =
        std::sqrt(GeographicLib::Ellipsoid::WGS84().Area() / (4 * std::numbers::pi));
    const double mean = a * (3 - f) / 3;
    const double exact = cell_area_m2(62, 62 + PIXEL, PIXEL);
    for (const double radius : {authalic, mean}) {
        const double sphere =
            radius * radius * PIXEL * deg * (std::sin((62 + PIXEL) * deg) - std::sin(62 * deg));
        EXPECT_GT(std::fabs(sphere / exact - 1), 1e-3) << radius;
    }
}

TEST(CellArea, ColumnFromPoleToPoleIsItsShareOfTheEllipsoid) {
    const double width = 0.5;
    const std::vector<double> rows = row_cell_areas_m2(90, width, 0.01, 18000);
    double total = 0;
    for (const double area : rows) total += area;
    const double expected = GeographicLib::Ellipsoid::WGS84().Area() / 360 * width;
    EXPECT_NEAR(total, expected, expected * 1e-12);
    // Rows beyond a pole hold nothing; a cell reaching past one keeps its part.
    const std::vector<double> beyond = row_cell_areas_m2(91, 1, 1, 3);
    EXPECT_EQ(beyond[0], 0);
    EXPECT_EQ(beyond[1], cell_area_m2(89, 90, 1));
    EXPECT_EQ(cell_area_m2(89.5, 90.5, 1), cell_area_m2(89.5, 90, 1));
}

}  // namespace
}  // namespace pt
