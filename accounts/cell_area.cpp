// Ground area of the cells of a longitude-latitude grid on the WGS84
// ellipsoid.
//
// The surface of an ellipsoid of revolution between the equator and the
// parallel of geodetic latitude phi, over a longitude span of dlambda radians,
// is (Lambert's equal-area integral, no series and no approximation)
//
//     S(phi) = a^2 dlambda q(phi) / 2,
//     q(phi) = (1 - e^2) [ s / (1 - e^2 s^2) + atanh(e s) / e ],  s = sin(phi),
//
// so a cell between phi1 and phi2 has the area a^2 dlambda (q(phi2) - q(phi1)) / 2
// exactly; q(phi) / q(90 deg) is the sine of the authalic latitude. The sides of
// the cell are a meridian and a parallel each, which is what a raster cell in
// longitude and latitude is, so nothing but rounding separates this from the
// true area.
//
// Rounding: a cell of 0.00025 degrees has q(phi2) - q(phi1) about 1e-5 of
// q(phi), and taking the difference of two values of q would lose five of the
// sixteen digits of a double. The difference is therefore written in terms of
// s2 - s1 = 2 cos(mid) sin(half height), which is computed without
// cancellation from the cell's middle latitude and its height:
//
//     s2/(1-e^2 s2^2) - s1/(1-e^2 s1^2)
//         = (s2 - s1)(1 + e^2 s1 s2) / ((1 - e^2 s1^2)(1 - e^2 s2^2)),
//     atanh(e s2) - atanh(e s1) = atanh(e (s2 - s1) / (1 - e^2 s1 s2)),
//
// each of which only multiplies and divides well-conditioned factors, so the
// area keeps about fourteen significant digits at any latitude and any cell
// size, the cells at the poles included.
#include "accounts/cell_area.hpp"

#include <GeographicLib/Constants.hpp>
#include <GeographicLib/Math.hpp>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace pt {
namespace {

constexpr double DEG = std::numbers::pi / 180.0;

struct Wgs84 {
    double a = GeographicLib::Constants::WGS84_a();
    double f = GeographicLib::Constants::WGS84_f();
    double e2 = f * (2 - f);
    double e = std::sqrt(e2);
};

const Wgs84& wgs84() {
    static const Wgs84 ellipsoid;
    return ellipsoid;
}

double clamp_latitude(double lat) {
    return std::clamp(lat, -90.0, 90.0);
}

// Area of the zone of `width_deg` degrees of longitude whose parallels are
// `mid - half` and `mid + half` degrees (half >= 0, both within +-90).
double zone_area(double mid_deg, double half_deg, double width_deg) {
    const Wgs84& w = wgs84();
    if (half_deg <= 0 || width_deg == 0) return 0;
    using GeographicLib::Math;
    const double s1 = Math::sind(mid_deg - half_deg);
    const double s2 = Math::sind(mid_deg + half_deg);
    // s2 - s1 without cancellation. The cosine is reduced in degrees (exactly)
    // before the conversion to radians, so that near a pole, where it is
    // small, it keeps its relative precision.
    const double ds = 2 * Math::cosd(mid_deg) * std::sin(half_deg * DEG);
    if (ds <= 0) return 0;
    const double rational =
        ds * (1 + w.e2 * s1 * s2) / ((1 - w.e2 * s1 * s1) * (1 - w.e2 * s2 * s2));
    const double logarithmic = std::atanh(w.e * ds / (1 - w.e2 * s1 * s2)) / w.e;
    const double dq = (1 - w.e2) * (rational + logarithmic);
    return w.a * w.a * std::fabs(width_deg) * DEG * dq / 2;
}

}  // namespace

double cell_area_m2(double lat_a, double lat_b, double width_deg) {
    // Latitudes beyond a pole hold no ground: a cell reaching past one keeps
    // only its part on the globe.
    const double south = clamp_latitude(std::min(lat_a, lat_b));
    const double north = clamp_latitude(std::max(lat_a, lat_b));
    return zone_area((south + north) / 2, (north - south) / 2, width_deg);
}

std::vector<double> row_cell_areas_m2(double top_lat, double cell_width_deg, double cell_height_deg,
                                      int rows) {
    std::vector<double> areas(static_cast<std::size_t>(std::max(rows, 0)));
    const double h = std::fabs(cell_height_deg);
    for (int r = 0; r < rows; ++r) {
        const double top = top_lat - r * h;
        const double bottom = top - h;
        if (top > 90 || bottom < -90) {
            areas[r] = cell_area_m2(top, bottom, cell_width_deg);
        } else {
            // The height as given rather than the difference of the two
            // rounded edge latitudes, which would carry the rounding of a
            // latitude near 60 (1e-14 degrees) into a height of 0.00025.
            areas[r] = zone_area(top_lat - (r + 0.5) * h, h / 2, cell_width_deg);
        }
    }
    return areas;
}

}  // namespace pt
