#include "io/zone_layer.hpp"

#include <dirent.h>
#include <gdal_priv.h>
#include <ogr_geometry.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>

#include "io/gdal_errors.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

struct GeometryDeleter {
    void operator()(OGRGeometry* geometry) const { OGRGeometryFactory::destroyGeometry(geometry); }
};
using GeometryPtr = std::unique_ptr<OGRGeometry, GeometryDeleter>;

// More points than this in one zone's densified edges is refused: a zone
// file cannot make the run hold gigabytes of edges.
constexpr double MAX_DENSIFIED_POINTS = 50e6;

// A FIFO or a device under a name GDAL opens beside the file (a Shapefile's
// .dbf, .shx, .prj, .cpg; a GeoPackage's -wal or -journal; any .aux.xml)
// would block a read or deliver without end: every entry beside the file
// whose name begins with the file's stem and a dot, or with its name and a
// dash, must be a regular file or a directory.
void check_zone_files(const std::string& path, const std::string& cannot_open) {
    struct stat given {};
    if (::stat(path.c_str(), &given) != 0) throw RunFailure(path + " not found");
    // A directory, a FIFO or a device: there, but no file of zones.
    if (!S_ISREG(given.st_mode)) throw RunFailure(path + " is not a regular file");
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    const std::string stem = (dot == std::string::npos ? name : name.substr(0, dot)) + ".";
    const std::string dashed = name + "-";
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) throw RunFailure(cannot_open);
    std::string refused;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string entry_name = entry->d_name;
        if (entry_name.rfind(stem, 0) != 0 && entry_name.rfind(dashed, 0) != 0) continue;
        struct stat named {};
        const std::string entry_path = (slash == std::string::npos ? "" : dir) + entry_name;
        if (::stat(entry_path.c_str(), &named) != 0) continue;  // a dangling link is not opened
        if (!S_ISREG(named.st_mode) && !S_ISDIR(named.st_mode)) {
            refused = entry_path;
            break;
        }
    }
    ::closedir(listing);
    if (!refused.empty()) {
        throw RunFailure(refused + " beside the zone file is not a regular file");
    }
}

// The path as GDAL must see it to open the file it names: GDAL reads a name
// beginning with /vsi as one of its virtual file systems, and one such as
// "PG:..." as a connection; "./" or "/." in front makes it a plain path.
std::string plain_path(const std::string& path) {
    if (path.rfind("/", 0) != 0) return "./" + path;
    if (path.rfind("/vsi", 0) == 0) return "/." + path;
    return path;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) (text += text.empty() ? "" : ", ") += name;
    return text;
}

bool is_utf8(const std::string& text) {
    std::size_t k = 0;
    const std::size_t n = text.size();
    while (k < n) {
        const auto byte = static_cast<unsigned char>(text[k]);
        int follow = 0;
        unsigned min = 0;
        unsigned code = 0;
        if (byte < 0x80) {
            ++k;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            follow = 1, min = 0x80, code = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            follow = 2, min = 0x800, code = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            follow = 3, min = 0x10000, code = byte & 0x07;
        } else {
            return false;
        }
        if (k + static_cast<std::size_t>(follow) >= n) return false;
        for (int f = 1; f <= follow; ++f) {
            const auto next = static_cast<unsigned char>(text[k + static_cast<std::size_t>(f)]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        k += static_cast<std::size_t>(follow) + 1;
    }
    return true;
}

// "LineString", "MultiPoint", ...: the type's name as WKT writes it.
std::string type_name(OGRwkbGeometryType type) {
    std::string name = OGRGeometryTypeToName(wkbFlatten(type));
    name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
    return name;
}

bool is_polygonal_type(OGRwkbGeometryType type) {
    const OGRwkbGeometryType flat = wkbFlatten(type);
    return flat == wkbPolygon || flat == wkbMultiPolygon || flat == wkbCurvePolygon ||
           flat == wkbMultiSurface || flat == wkbPolyhedralSurface || flat == wkbTIN ||
           flat == wkbTriangle;
}

// The polygons of `geometry` into `out` (a collection's non-polygonal parts,
// as MakeValid leaves of a collapsed part, are dropped).
void add_polygons(const OGRGeometry& geometry, OGRMultiPolygon& out) {
    const OGRwkbGeometryType flat = wkbFlatten(geometry.getGeometryType());
    if (flat == wkbPolygon) {
        out.addGeometry(&geometry);
    } else if (flat == wkbMultiPolygon || flat == wkbGeometryCollection) {
        for (const OGRGeometry* part : *geometry.toGeometryCollection()) add_polygons(*part, out);
    }
}

// Calls `visit(ring)` for every ring of the polygons.
template <typename Polygons, typename Visit>
void for_each_ring(Polygons& polygons, Visit visit) {
    for (auto* polygon : polygons) {
        for (auto* ring : *polygon) visit(*ring);
    }
}

// A chord of a circular arc strays from the arc by at most this share of a
// pixel: a circle of 1,500 pixels' radius cut at OGR's default of 4 degrees
// a chord would come out 0.077 % short.
constexpr double MAX_CHORD_GAP_PIXELS = 0.01;
// More points than this from one feature's arcs is refused: an arc of a
// huge radius would otherwise be cut into billions of chords.
constexpr double MAX_ARC_POINTS = 20e6;

// The largest angle (degrees) between the ends of a chord of an arc of
// `radius`, such that the chord's middle lies within the gap of the arc:
// the gap is 2 R sin^2(step / 4).
double arc_step_degrees(double radius, double pixel) {
    if (!(pixel > 0)) return 4.0;  // a tile that cannot be placed: its zones fail anyway
    const double ratio = MAX_CHORD_GAP_PIXELS * pixel / (2 * radius);
    const double step = ratio >= 1 ? M_PI : 4 * std::asin(std::sqrt(ratio));
    return std::min(4.0, step * 180 / M_PI);
}

// The points of `curve` appended to `out`, each circular arc cut into chords
// by its own radius (pixel: a pixel's length in the curve's units); the
// point a piece shares with the one before is not repeated.
void add_curve_points(const OGRCurve& curve, double pixel, OGRLineString& out, double& budget) {
    const OGRwkbGeometryType flat = wkbFlatten(curve.getGeometryType());
    auto append = [&](const OGRSimpleCurve& line) {
        const int first = out.getNumPoints() > 0 ? 1 : 0;
        for (int k = first; k < line.getNumPoints(); ++k) out.addPoint(line.getX(k), line.getY(k));
    };
    if (flat == wkbCompoundCurve) {
        for (const OGRCurve* part : *curve.toCompoundCurve()) {
            add_curve_points(*part, pixel, out, budget);
        }
    } else if (flat == wkbCircularString) {
        const OGRCircularString& arcs = *curve.toCircularString();
        if (out.getNumPoints() == 0 && arcs.getNumPoints() > 0) {
            out.addPoint(arcs.getX(0), arcs.getY(0));
        }
        for (int k = 0; k + 2 < arcs.getNumPoints(); k += 2) {
            const double x0 = arcs.getX(k), y0 = arcs.getY(k);
            const double x1 = arcs.getX(k + 1), y1 = arcs.getY(k + 1);
            const double x2 = arcs.getX(k + 2), y2 = arcs.getY(k + 2);
            double radius = 0, cx = 0, cy = 0, a0 = 0, a1 = 0, a2 = 0;
            if (!OGRGeometryFactory::GetCurveParameters(x0, y0, x1, y1, x2, y2, radius, cx, cy, a0,
                                                        a1, a2) ||
                !std::isfinite(radius) || !(radius > 0)) {
                // Three points on a line: the arc is the line through them.
                out.addPoint(x1, y1);
                out.addPoint(x2, y2);
                continue;
            }
            const double step = arc_step_degrees(radius, pixel);
            budget -= std::fabs(a2 - a0) * 180 / M_PI / step + 1;
            if (!(budget >= 0)) throw std::length_error("too many points");
            const char* const options[] = {"ADD_INTERMEDIATE_POINT=NO", nullptr};
            const std::unique_ptr<OGRLineString> chords(OGRGeometryFactory::curveToLineString(
                x0, y0, 0, x1, y1, 0, x2, y2, 0, FALSE, step, options));
            if (!chords) throw std::length_error("no chords");
            append(*chords);
        }
    } else {
        append(*curve.toSimpleCurve());
    }
}

// The polygons of a geometry that holds curves, each arc cut into chords
// that stray at most MAX_CHORD_GAP_PIXELS from it.
void add_linear_polygons(const OGRGeometry& geometry, double pixel, OGRMultiPolygon& out,
                         double& budget) {
    const OGRwkbGeometryType flat = wkbFlatten(geometry.getGeometryType());
    if (flat == wkbCurvePolygon || flat == wkbPolygon || flat == wkbTriangle) {
        OGRPolygon polygon;
        for (const OGRCurve* ring : *geometry.toCurvePolygon()) {
            auto linear = std::make_unique<OGRLinearRing>();
            add_curve_points(*ring, pixel, *linear, budget);
            linear->closeRings();
            polygon.addRingDirectly(linear.release());
        }
        out.addGeometry(&polygon);
    } else if (OGR_GT_IsSubClassOf(flat, wkbGeometryCollection)) {
        for (const OGRGeometry* part : *geometry.toGeometryCollection()) {
            add_linear_polygons(*part, pixel, out, budget);
        }
    } else {
        GeometryPtr linear(geometry.getLinearGeometry());
        if (linear) add_polygons(*linear, out);
    }
}

// Whether every coordinate of the polygons is a finite number.
bool all_finite(const OGRMultiPolygon& polygons) {
    bool finite = true;
    for_each_ring(polygons, [&](const OGRLinearRing& ring) {
        for (int k = 0; k < ring.getNumPoints() && finite; ++k) {
            finite = std::isfinite(ring.getX(k)) && std::isfinite(ring.getY(k));
        }
    });
    return finite;
}

// Why a feature's geometry cannot be taken as it is.
struct GeometryFault {
    std::string what;
};

// A feature's geometry as polygons without curves, Z or M, not yet made
// valid (pixel: a pixel's length in the layer's units, for its arcs).
GeometryPtr linear_polygons(const OGRGeometry& geometry, double pixel) {
    auto polygons = std::make_unique<OGRMultiPolygon>();
    if (geometry.hasCurveGeometry()) {
        double budget = MAX_ARC_POINTS;
        try {
            add_linear_polygons(geometry, pixel, *polygons, budget);
        } catch (const std::length_error&) {
            throw GeometryFault{"has arcs too long to cut into chords"};
        }
    } else {
        GeometryPtr linear(geometry.clone());
        const OGRwkbGeometryType flat = wkbFlatten(linear->getGeometryType());
        if (flat == wkbPolyhedralSurface || flat == wkbTIN || flat == wkbTriangle) {
            linear.reset(OGRGeometryFactory::forceToMultiPolygon(linear.release()));
            if (!linear) throw GeometryFault{"cannot be read as polygons"};
        }
        add_polygons(*linear, *polygons);
    }
    polygons->flattenTo2D();
    // A coordinate that is not a number would make the zone vanish: GEOS
    // drops what it cannot place.
    if (!all_finite(*polygons)) throw GeometryFault{"has a coordinate that is not a finite number"};
    return GeometryPtr(polygons.release());
}

// The polygons made valid (a collapsed part dropped).
GeometryPtr valid_polygons(GeometryPtr polygons) {
    GeometryPtr valid(polygons->IsValid() ? polygons.release() : polygons->MakeValid());
    if (!valid) return nullptr;
    auto out = std::make_unique<OGRMultiPolygon>();
    add_polygons(*valid, *out);
    return GeometryPtr(out.release());
}

GeometryPtr rectangle(double x0, double y0, double x1, double y1) {
    OGRLinearRing ring;
    ring.addPoint(x0, y0);
    ring.addPoint(x1, y0);
    ring.addPoint(x1, y1);
    ring.addPoint(x0, y1);
    ring.addPoint(x0, y0);
    auto polygon = std::make_unique<OGRPolygon>();
    polygon->addRing(&ring);
    return GeometryPtr(polygon.release());
}

double area_of(const OGRGeometry& geometry) {
    return OGR_G_Area(OGRGeometry::ToHandle(const_cast<OGRGeometry*>(&geometry)));
}

// Sum of the lengths of every ring of the polygons.
double boundary_length(const OGRMultiPolygon& polygons) {
    double length = 0;
    for_each_ring(polygons, [&](const OGRLinearRing& ring) { length += ring.get_Length(); });
    return length;
}

void shift_x(OGRMultiPolygon& polygons, double dx) {
    if (dx == 0) return;
    for_each_ring(polygons, [&](OGRLinearRing& ring) {
        for (int k = 0; k < ring.getNumPoints(); ++k) {
            ring.setPoint(k, ring.getX(k) + dx, ring.getY(k));
        }
    });
}

// A stretch of the tile's longitudes and its latitudes, in degrees.
struct LonLatBox {
    double west = 0, east = 0, south = 0, north = 0;
};

LonLatBox tile_box(const TileGrid& grid) {
    const auto& gt = grid.geotransform;
    return {gt[0], gt[0] + gt[1] * grid.width, gt[3] + gt[5] * grid.height, gt[3]};
}

// Where a stretch of the tile lies in the layer's coordinate system, and
// how long a cell is there: to read only the features near it, to clip a
// zone to its neighbourhood before the zone's edges are densified, and to
// densify them.
struct SourceFrame {
    bool known = false;
    double min_x = 0, min_y = 0, max_x = 0, max_y = 0;
    double cell_length = 0;
};

SourceFrame frame_in_source(OGRCoordinateTransformation& to_source, const LonLatBox& box,
                            double cell_x, double cell_y) {
    SourceFrame frame;
    // The stretch's outline, 16 points a side, and the cells at its centre.
    std::vector<double> xs, ys;
    constexpr int STEPS = 16;
    for (int k = 0; k <= STEPS; ++k) {
        const double lon = box.west + (box.east - box.west) * k / STEPS;
        const double lat = box.south + (box.north - box.south) * k / STEPS;
        for (const auto& [x, y] : {std::pair{lon, box.north}, std::pair{lon, box.south},
                                   std::pair{box.west, lat}, std::pair{box.east, lat}}) {
            xs.push_back(x);
            ys.push_back(y);
        }
    }
    const double cx = (box.west + box.east) / 2, cy = (box.south + box.north) / 2;
    for (const auto& [x, y] : {std::pair{cx, cy}, std::pair{cx + cell_x, cy},
                               std::pair{cx, std::max(cy - cell_y, -90.0)}}) {
        xs.push_back(x);
        ys.push_back(y);
    }
    std::vector<int> ok(xs.size());
    if (!to_source.Transform(static_cast<int>(xs.size()), xs.data(), ys.data(), nullptr,
                             ok.data())) {
        return frame;
    }
    if (std::find(ok.begin(), ok.end(), 0) != ok.end()) return frame;
    const std::size_t outline = xs.size() - 3;
    frame.min_x = *std::min_element(xs.begin(), xs.begin() + static_cast<long>(outline));
    frame.max_x = *std::max_element(xs.begin(), xs.begin() + static_cast<long>(outline));
    frame.min_y = *std::min_element(ys.begin(), ys.begin() + static_cast<long>(outline));
    frame.max_y = *std::max_element(ys.begin(), ys.begin() + static_cast<long>(outline));
    const double across = std::hypot(xs[outline + 1] - xs[outline], ys[outline + 1] - ys[outline]);
    const double down = std::hypot(xs[outline + 2] - xs[outline], ys[outline + 2] - ys[outline]);
    frame.cell_length = std::min(across, down);
    // A margin of a quarter of the stretch: its edges may bow outwards
    // between the points of its outline.
    const double margin_x = (frame.max_x - frame.min_x) / 4,
                 margin_y = (frame.max_y - frame.min_y) / 4;
    frame.min_x -= margin_x, frame.max_x += margin_x;
    frame.min_y -= margin_y, frame.max_y += margin_y;
    frame.known = std::isfinite(frame.min_x) && std::isfinite(frame.max_x) &&
                  std::isfinite(frame.min_y) && std::isfinite(frame.max_y) &&
                  std::isfinite(frame.cell_length) && frame.cell_length > 0;
    return frame;
}

// How the layer's coordinates become the tile's.
struct LayerFrames {
    // The layer's longitudes and latitudes are the tile's (WGS84, or no
    // coordinate system): features are only shifted by whole turns.
    bool direct = true;
    std::unique_ptr<OGRCoordinateTransformation> to_tile;
    // Where the tile lies in the layer's coordinates: one frame, or two for
    // a tile across the antimeridian in a projected layer (each side of it
    // lies elsewhere in the projection).
    std::vector<SourceFrame> frames;
    // A full turn of longitude in the layer's units, when its coordinates
    // are longitudes (0: projected).
    double turn = 360;
    // The layer's coordinates of the poles, where it has them.
    std::optional<OGRPoint> north_pole, south_pole;
    // A pixel's length in the layer's units.
    double pixel = 0;
};

// Features are read through a window: a frame shifted by whole turns of
// longitude, so that a layer from 0 to 360 degrees meets a tile from -180 to
// 180 and the other way round. A feature read through it is shifted back.
struct Window {
    std::size_t frame = 0;
    double shift = 0;  // added to the features' x
    OGREnvelope extent;
};

// A geographic layer's longitudes are taken within one and a half turns of
// 0 (so -540 to 540 degrees: either convention, and a zone running past its
// end), its latitudes within a quarter turn.
bool within_degrees(const OGREnvelope& e, double turn) {
    const double slack = 1e-9 * turn;
    return e.MinX >= -1.5 * turn - slack && e.MaxX <= 1.5 * turn + slack &&
           e.MinY >= -turn / 4 - slack && e.MaxY <= turn / 4 + slack;
}

std::vector<Window> windows_of(const LayerFrames& layer) {
    std::vector<Window> windows;
    for (std::size_t f = 0; f < layer.frames.size(); ++f) {
        const SourceFrame& frame = layer.frames[f];
        const int turns = layer.turn > 0 ? 3 : 0;
        for (int k = -turns; k <= turns; ++k) {
            Window window;
            window.frame = f;
            window.shift = k * layer.turn;
            window.extent.MinX = frame.min_x - window.shift;
            window.extent.MaxX = frame.max_x - window.shift;
            window.extent.MinY = frame.min_y;
            window.extent.MaxY = frame.max_y;
            if (layer.turn > 0 &&
                (window.extent.MaxX < -1.5 * layer.turn || window.extent.MinX > 1.5 * layer.turn)) {
                continue;
            }
            windows.push_back(window);
        }
    }
    return windows;
}

// One zone as it is gathered: its features' polygons near each frame, in
// the layer's coordinates shifted by the window's turns, and the smallest
// id of its features that reach the tile (its place in the table).
struct GatheredZone {
    std::string name;
    std::vector<OGRMultiPolygon> near_frame;
    GIntBig first_id = 0;
    std::size_t seen = 0;  // order of the first read, for ids a driver leaves unset
};

// The x of a point of a ring of longitudes made continuous: each step taken
// the short way round.
double continuous(double previous, double lon) {
    return previous + std::remainder(lon - previous, 360.0);
}

// A pole has no one longitude: a transform gives it any. A ring with a
// corner at the pole (a sector drawn from it) runs there along its
// parallel, from the longitude it arrives on to the one it leaves on, the
// way the rest of the ring comes round: so the ring is walked from the
// corner's next point to the one before it, made continuous, and closed
// along the parallel. Returns false for a ring without one such corner.
bool ring_through_pole(OGRLinearRing& ring, double centre) {
    const int n = ring.getNumPoints();  // closed: the last point is the first
    int corner = -1;
    for (int k = 0; k < n - 1; ++k) {
        if (std::fabs(ring.getY(k)) < 90 - 1e-9) continue;
        if (corner >= 0) return false;  // through a pole twice: left as it is
        corner = k;
    }
    if (corner < 0) return false;
    const double lat = ring.getY(corner) > 0 ? 90.0 : -90.0;
    OGRLinearRing out;
    double x = 0;
    for (int step = 1; step < n - 1; ++step) {
        const int k = (corner + step) % (n - 1);
        x = step == 1 ? centre + std::remainder(ring.getX(k) - centre, 360.0)
                      : continuous(x, ring.getX(k));
        out.addPoint(x, ring.getY(k));
    }
    if (out.getNumPoints() < 2) return false;
    out.addPoint(out.getX(out.getNumPoints() - 1), lat);
    out.addPoint(out.getX(0), lat);
    out.addPoint(out.getX(0), out.getY(0));
    ring = out;
    return true;
}

// A ring of longitudes and latitudes from a transformed one: its longitudes
// made continuous, starting within half a turn of `centre`. A ring that
// encloses a pole comes back round a full turn: it is cut there and closed
// along the pole's parallel, so that the polygon holds the pole's cap (the
// transform alone would leave a band that misses it). Returns whether it
// did so.
bool unwrap_ring(OGRLinearRing& ring, double centre, int pole) {
    const int n = ring.getNumPoints();
    if (n < 4 || ring_through_pole(ring, centre)) return false;
    OGRLinearRing out;
    double x = centre + std::remainder(ring.getX(0) - centre, 360.0);
    for (int k = 0; k < n; ++k) {
        x = k == 0 ? x : continuous(x, ring.getX(k));
        out.addPoint(x, ring.getY(k));
    }
    const double turned = out.getX(n - 1) - out.getX(0);
    if (std::fabs(turned) < 180) {
        // The steps' rounding must not open the ring.
        out.setPoint(n - 1, out.getX(0), out.getY(0));
        ring = out;
        return false;
    }
    // Start the cut at the point nearest the pole, so that the closing
    // meridians meet the ring nowhere else.
    int start = 0;
    for (int k = 1; k < n - 1; ++k) {
        if (pole * ring.getY(k) > pole * ring.getY(start)) start = k;
    }
    OGRLinearRing cap;
    x = centre + std::remainder(ring.getX(start) - centre, 360.0);
    for (int step = 0; step < n; ++step) {
        const int k = (start + step) % (n - 1);
        x = step == 0 ? x : continuous(x, ring.getX(k));
        cap.addPoint(x, ring.getY(k));
    }
    const double lat = 90.0 * pole;
    cap.addPoint(cap.getX(n - 1), lat);
    cap.addPoint(cap.getX(0), lat);
    cap.addPoint(cap.getX(0), cap.getY(0));
    ring = cap;
    return true;
}

// Which pole, if any, a ring encloses in the layer's coordinates: +1 north,
// -1 south, 0 none.
int pole_inside(const OGRLinearRing& ring, const LayerFrames& layer) {
    if (layer.north_pole && ring.isPointInRing(&*layer.north_pole)) return 1;
    if (layer.south_pole && ring.isPointInRing(&*layer.south_pole)) return -1;
    return 0;
}

// Copies of `polygons` shifted by whole turns, those that reach [west, east].
void add_turned_copies(const OGRGeometry& polygons, double west, double east,
                       OGRMultiPolygon& out) {
    OGREnvelope e;
    polygons.getEnvelope(&e);
    if (!std::isfinite(e.MinX) || !std::isfinite(e.MaxX)) return;
    const double first = std::ceil((west - e.MaxX) / 360), last = std::floor((east - e.MinX) / 360);
    for (double k = first; k <= last && k <= first + 4; ++k) {
        OGRMultiPolygon copy;
        add_polygons(polygons, copy);
        shift_x(copy, 360 * k);
        for (const OGRPolygon* polygon : copy) out.addGeometry(polygon);
    }
}

// A zone's part near one frame, transformed into the tile's longitudes and
// latitudes, into `out`: rings that enclose a pole become its cap, and each
// polygon appears in every turn that reaches the tile.
void transform_near_frame(OGRMultiPolygon& polygons, const LayerFrames& layer,
                          const LonLatBox& tile, OGRMultiPolygon& out, const std::string& cannot) {
    std::vector<int> poles;
    for_each_ring(polygons,
                  [&](const OGRLinearRing& ring) { poles.push_back(pole_inside(ring, layer)); });
    if (polygons.transform(layer.to_tile.get()) != OGRERR_NONE) {
        throw RunFailure(cannot + " cannot be brought into the tile's CRS");
    }
    const double centre = (tile.west + tile.east) / 2;
    std::size_t r = 0;
    for (OGRPolygon* polygon : polygons) {
        bool capped = false;
        for (OGRLinearRing* ring : *polygon) {
            const int pole = poles[r++];
            capped = unwrap_ring(*ring, centre,
                                 pole != 0            ? pole
                                 : ring->getY(0) >= 0 ? 1
                                                      : -1) ||
                     capped;
        }
        if (!capped) {
            add_turned_copies(*polygon, tile.west, tile.east, out);
            continue;
        }
        // Each ring is a region of its own (a cap spans a whole turn, and
        // its copies overlap): the shell's copies less the holes' copies.
        auto region = [&](const OGRLinearRing& ring) {
            OGRPolygon alone;
            alone.addRingDirectly(ring.clone());
            GeometryPtr valid(alone.IsValid() ? alone.clone() : alone.MakeValid());
            OGRMultiPolygon copies;
            if (valid) add_turned_copies(*valid, tile.west, tile.east, copies);
            GeometryPtr merged(copies.IsEmpty() ? copies.clone() : copies.UnionCascaded());
            if (!merged) throw RunFailure(cannot + " cannot be brought into the tile's CRS");
            return merged;
        };
        GeometryPtr shape = region(*polygon->getExteriorRing());
        for (int h = 0; h < polygon->getNumInteriorRings(); ++h) {
            shape.reset(shape->Difference(region(*polygon->getInteriorRing(h)).get()));
            if (!shape) throw RunFailure(cannot + " cannot be brought into the tile's CRS");
        }
        add_polygons(*shape, out);
    }
}

// The zone's union in pixel coordinates, clipped to the tile; nothing when
// nothing of it lies inside.
std::optional<Zone> zone_in_tile(GatheredZone& gathered, const LayerFrames& layer,
                                 const TileGrid& grid, const std::string& path) {
    const std::string cannot = "zone " + gathered.name + " of " + path;
    const LonLatBox tile = tile_box(grid);
    auto in_lonlat = std::make_unique<OGRMultiPolygon>();
    int parts = 0;
    for (std::size_t f = 0; f < gathered.near_frame.size(); ++f) {
        OGRMultiPolygon& near = gathered.near_frame[f];
        if (near.IsEmpty()) continue;
        GeometryPtr merged(near.UnionCascaded());
        near.empty();
        if (!merged) throw RunFailure(cannot + " cannot be merged from its features");
        ++parts;
        if (layer.direct) {
            add_polygons(*merged, *in_lonlat);
            continue;
        }
        const SourceFrame& frame = layer.frames[f];
        if (!frame.known) throw RunFailure(cannot + " cannot be brought into the tile's CRS");
        const GeometryPtr near_tile = rectangle(frame.min_x, frame.min_y, frame.max_x, frame.max_y);
        GeometryPtr clipped(merged->Intersection(near_tile.get()));
        if (!clipped) throw RunFailure(cannot + " cannot be clipped to the tile");
        OGRMultiPolygon polygons;
        add_polygons(*clipped, polygons);
        if (polygons.IsEmpty()) continue;
        if (boundary_length(polygons) / frame.cell_length > MAX_DENSIFIED_POINTS) {
            throw RunFailure(cannot + " has too long edges near the tile to densify");
        }
        polygons.segmentize(frame.cell_length);
        transform_near_frame(polygons, layer, tile, *in_lonlat, cannot);
        ++parts;  // copies and caps overlap
    }
    if (in_lonlat->IsEmpty()) return std::nullopt;
    if (parts > 1) {
        // Transformed pieces may cross themselves by a rounding: each made
        // valid before they are merged.
        if (!in_lonlat->IsValid()) {
            auto pieces = std::make_unique<OGRMultiPolygon>();
            for (const OGRPolygon* polygon : *in_lonlat) {
                GeometryPtr valid(polygon->IsValid() ? polygon->clone() : polygon->MakeValid());
                if (valid) add_polygons(*valid, *pieces);
            }
            in_lonlat = std::move(pieces);
        }
        GeometryPtr merged(in_lonlat->UnionCascaded());
        if (!merged) throw RunFailure(cannot + " cannot be merged from its features");
        in_lonlat = std::make_unique<OGRMultiPolygon>();
        add_polygons(*merged, *in_lonlat);
    }
    // Longitude and latitude to column and row.
    const auto& gt = grid.geotransform;
    for_each_ring(*in_lonlat, [&](OGRLinearRing& ring) {
        for (int k = 0; k < ring.getNumPoints(); ++k) {
            ring.setPoint(k, (ring.getX(k) - gt[0]) / gt[1], (ring.getY(k) - gt[3]) / gt[5]);
        }
    });
    GeometryPtr valid(in_lonlat->IsValid() ? in_lonlat.release() : in_lonlat->MakeValid());
    if (!valid) throw RunFailure(cannot + " cannot be made valid in the tile's CRS");
    const GeometryPtr whole_tile = rectangle(0, 0, grid.width, grid.height);
    GeometryPtr inside(valid->Intersection(whole_tile.get()));
    if (!inside) throw RunFailure(cannot + " cannot be clipped to the tile");
    OGRMultiPolygon pieces;
    add_polygons(*inside, pieces);
    if (pieces.IsEmpty() || !(area_of(pieces) > 0)) return std::nullopt;

    Zone zone;
    zone.name = gathered.name;
    double top = grid.height, bottom = 0;
    for (const OGRPolygon* polygon : pieces) {
        bool outer = true;
        for (const OGRLinearRing* ring : *polygon) {
            PixelRing points;
            points.reserve(static_cast<std::size_t>(ring->getNumPoints()));
            for (int k = 0; k < ring->getNumPoints(); ++k) {
                points.push_back({ring->getX(k), ring->getY(k)});
                top = std::min(top, ring->getY(k));
                bottom = std::max(bottom, ring->getY(k));
            }
            (outer ? zone.shape.outer : zone.shape.holes).push_back(std::move(points));
            outer = false;
        }
    }
    zone.first_row = std::clamp(static_cast<int>(std::floor(top)), 0, grid.height);
    zone.end_row = std::clamp(static_cast<int>(std::ceil(bottom)), zone.first_row, grid.height);
    return zone;
}

// The frames of the tile in the layer's coordinates and the transform into
// the tile's.
LayerFrames frames_of(OGRLayer& layer, const TileGrid& grid, const std::string& layer_line) {
    LayerFrames frames;
    const auto& gt = grid.geotransform;
    const LonLatBox tile = tile_box(grid);
    frames.pixel = std::min(gt[1], -gt[5]);
    OGRSpatialReference tile_crs;
    tile_crs.SetWellKnownGeogCS("WGS84");
    tile_crs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    const OGRSpatialReference* layer_crs = layer.GetSpatialRef();
    OGRSpatialReference source_crs;
    const char* criteria[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", nullptr};
    if (layer_crs != nullptr) {
        source_crs = *layer_crs;
        source_crs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        frames.direct = source_crs.IsSame(&tile_crs, criteria);
    }
    if (frames.direct) {
        SourceFrame frame;
        frame.known = true;
        frame.min_x = tile.west, frame.max_x = tile.east;
        frame.min_y = tile.south, frame.max_y = tile.north;
        frame.cell_length = frames.pixel;
        frames.frames.push_back(frame);
        return frames;
    }
    frames.to_tile.reset(OGRCreateCoordinateTransformation(&source_crs, &tile_crs));
    std::unique_ptr<OGRCoordinateTransformation> to_source(
        OGRCreateCoordinateTransformation(&tile_crs, &source_crs));
    if (!frames.to_tile || !to_source) {
        throw RunFailure(layer_line +
                         " is in a coordinate system that cannot be "
                         "brought into WGS84 longitude and latitude");
    }
    frames.turn = source_crs.IsGeographic() ? 2 * M_PI / source_crs.GetAngularUnits() : 0;
    // The tile's longitudes as a transform takes them, from -180 to 180: a
    // tile across 180 is two stretches, one each side.
    const double west = tile.west - 360 * std::floor((tile.west + 180) / 360);
    const double east = west + (tile.east - tile.west);
    std::vector<LonLatBox> stretches = {{west, std::min(east, 180.0), tile.south, tile.north}};
    if (east > 180) stretches.push_back({-180, east - 360, tile.south, tile.north});
    frames.pixel = HUGE_VAL;
    for (const LonLatBox& stretch : stretches) {
        frames.frames.push_back(frame_in_source(*to_source, stretch, gt[1], -gt[5]));
        if (frames.frames.back().known) {
            frames.pixel = std::min(frames.pixel, frames.frames.back().cell_length);
        }
    }
    if (!std::isfinite(frames.pixel)) frames.pixel = 0;
    for (const double lat : {90.0, -90.0}) {
        double x = 0, y = lat;
        int ok = 0;
        if (to_source->Transform(1, &x, &y, nullptr, &ok) && ok && std::isfinite(x) &&
            std::isfinite(y)) {
            (lat > 0 ? frames.north_pole : frames.south_pole) = OGRPoint(x, y);
        }
    }
    return frames;
}

std::string extent_text(const OGREnvelope& e) {
    char text[160];
    std::snprintf(text, sizeof text, "x %.10g to %.10g, y %.10g to %.10g", e.MinX, e.MaxX, e.MinY,
                  e.MaxY);
    return text;
}

// A layer whose coordinates are taken as longitudes and latitudes (no
// coordinate system, or a geographic one) but cannot be: a Shapefile in
// metres whose .prj was lost would otherwise meet no tile, and the run would
// say that no zone reaches it.
void check_degrees(const OGREnvelope& extent, double turn, bool has_crs,
                   const std::string& layer_line, const std::string& feature) {
    if (within_degrees(extent, turn)) return;
    throw RunFailure(
        layer_line +
        (has_crs ? " is in longitude and latitude, but " : " has no coordinate system, and ") +
        feature + "'s coordinates (" + extent_text(extent) +
        ") cannot be degrees of longitude and latitude" +
        (has_crs ? "" : ": give the file its coordinate system"));
}

// The text of a zone's value: a real number as the shortest decimal that
// reads back as the same double, so that values that differ stay apart
// (GDAL's own text keeps 15 digits).
std::string value_text(const OGRFeature& feature, int field) {
    if (feature.GetFieldDefnRef(field)->GetType() == OFTReal) {
        char text[64];
        const auto [end, error] =
            std::to_chars(text, text + sizeof text, feature.GetFieldAsDouble(field));
        if (error == std::errc()) return std::string(text, end);
    }
    return feature.GetFieldAsString(field);
}

// The layer the request names, or the file's only one.
OGRLayer& chosen_layer(GDALDataset& source, const ZoneRequest& request) {
    const std::string& path = request.path;
    std::vector<std::string> layer_names;
    for (OGRLayer* layer : source.GetLayers()) layer_names.push_back(layer->GetName());
    if (!request.layer.empty()) {
        for (OGRLayer* candidate : source.GetLayers()) {
            if (request.layer == candidate->GetName()) return *candidate;
        }
        throw RunFailure(
            path + " has no layer " + request.layer +
            (layer_names.empty() ? ": it has none" : " (layers: " + joined(layer_names) + ")"));
    }
    if (layer_names.empty()) throw RunFailure(path + " holds no layer");
    if (layer_names.size() > 1) {
        throw RunFailure(path + " holds " + std::to_string(layer_names.size()) + " layers (" +
                         joined(layer_names) + "): name one with --zone-layer");
    }
    return *source.GetLayer(0);
}

// The index of the field that names the zones; -1 without one (the
// feature id names them). Refuses a layer that holds no polygons.
int zone_field(OGRLayer& layer, const ZoneRequest& request, const std::string& layer_line) {
    OGRFeatureDefn* definition = layer.GetLayerDefn();
    int field = -1;
    if (!request.field.empty()) {
        std::vector<std::string> fields;
        for (int k = 0; k < definition->GetFieldCount(); ++k) {
            fields.push_back(definition->GetFieldDefn(k)->GetNameRef());
            if (fields.back() == request.field) field = k;
        }
        if (field < 0) {
            throw RunFailure(
                layer_line + " has no field " + request.field +
                (fields.empty() ? ": it has none" : " (fields: " + joined(fields) + ")"));
        }
    }
    const OGRwkbGeometryType layer_type = layer.GetGeomType();
    if (layer_type == wkbNone) throw RunFailure(layer_line + " holds no geometries");
    if (wkbFlatten(layer_type) != wkbUnknown && !is_polygonal_type(layer_type)) {
        throw RunFailure(layer_line + " holds " + type_name(layer_type) + ", not polygons");
    }
    return field;
}

// A layer in degrees whose extent is not is looked through for the feature
// that is not (a spatial filter in degrees would find none of it); an
// extent the file merely misstates lets the run go on.
void check_layer_degrees(OGRLayer& layer, const LayerFrames& frames, bool has_crs,
                         const std::string& layer_line) {
    OGREnvelope extent;
    if (frames.turn <= 0 || layer.GetExtent(&extent, TRUE) != OGRERR_NONE ||
        within_degrees(extent, frames.turn)) {
        return;
    }
    layer.ResetReading();
    for (const auto& feature : layer) {
        const std::string fid = "feature " + std::to_string(feature->GetFID());
        const OGRGeometry* geometry = feature->GetGeometryRef();
        if (geometry == nullptr || geometry->IsEmpty()) continue;
        if (!is_polygonal_type(geometry->getGeometryType())) continue;  // refused when near
        GeometryPtr polygons;
        try {
            polygons = linear_polygons(*geometry, frames.pixel);
        } catch (const GeometryFault& fault) {
            throw RunFailure(fid + " of " + layer_line + " " + fault.what);
        }
        polygons->getEnvelope(&extent);
        if (!polygons->IsEmpty()) check_degrees(extent, frames.turn, has_crs, layer_line, fid);
    }
}

// A Shapefile whose .prj GDAL cannot read is opened as one without a
// coordinate system, which would be taken for longitude and latitude: its
// zones would be counted in the wrong place, or in none, without a word.
void check_projection_file(const std::string& path, bool has_crs, const std::string& layer_line) {
    const std::size_t dot = path.rfind('.');
    if (has_crs || dot == std::string::npos || path.find('/', dot) != std::string::npos) return;
    std::string suffix = path.substr(dot);
    for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (suffix != ".shp") return;
    for (const char* prj : {".prj", ".PRJ"}) {
        struct stat found {};
        const std::string name = path.substr(0, dot) + prj;
        if (::stat(name.c_str(), &found) == 0) {
            throw RunFailure(layer_line + " has a coordinate system file " + name +
                             " that GDAL cannot read: mend it, or remove it if the zones are in "
                             "WGS84 longitude and latitude");
        }
    }
}

// A projected layer whose coordinates run past the edge of its projection,
// as a web map writes a zone drawn across the antimeridian in Web Mercator
// (x beyond 20,037,508 m): the projection places such a point at the
// longitude a turn away, where no tile's frame reaches for it, so the part
// past the edge would be lost without a word. The corners and the middles
// of the edges of the layer's extent are taken into longitude and latitude
// and back: a point that does not come back to itself is past the edge. A
// point the projection cannot take at all says nothing (a projection's
// plane may be larger than the world), and neither does a layer in degrees.
void check_projected_extent(OGRLayer& layer, const LayerFrames& frames,
                            const std::string& layer_line) {
    const OGRSpatialReference* layer_crs = layer.GetSpatialRef();
    OGREnvelope extent;
    if (frames.direct || frames.turn > 0 || !frames.to_tile || layer_crs == nullptr ||
        layer.GetExtent(&extent, TRUE) != OGRERR_NONE) {
        return;
    }
    OGRSpatialReference source_crs(*layer_crs), tile_crs;
    source_crs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    tile_crs.SetWellKnownGeogCS("WGS84");
    tile_crs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> to_source(
        OGRCreateCoordinateTransformation(&tile_crs, &source_crs));
    if (!to_source) return;
    const double mid_x = (extent.MinX + extent.MaxX) / 2, mid_y = (extent.MinY + extent.MaxY) / 2;
    // Round trips are exact to far below a pixel where a projection is
    // defined; past an edge they miss by a turn of the globe.
    const double tolerance = frames.pixel > 0 ? 100 * frames.pixel : 1.0;
    for (const double x : {extent.MinX, mid_x, extent.MaxX}) {
        for (const double y : {extent.MinY, mid_y, extent.MaxY}) {
            double lon = x, lat = y;
            int ok = 0;
            GdalErrorWatch quiet(false);  // a point the projection cannot take is no answer
            if (!frames.to_tile->Transform(1, &lon, &lat, nullptr, &ok) || !ok ||
                !std::isfinite(lon) || !std::isfinite(lat)) {
                continue;
            }
            double back_x = lon, back_y = lat;
            if (!to_source->Transform(1, &back_x, &back_y, nullptr, &ok) || !ok ||
                !std::isfinite(back_x) || !std::isfinite(back_y)) {
                continue;
            }
            if (std::hypot(back_x - x, back_y - y) <= tolerance) continue;
            char text[240];
            std::snprintf(text, sizeof text,
                          " reaches past the edge of its projection: x %.10g, y %.10g is "
                          "longitude %.6f, latitude %.6f, which the projection writes as x "
                          "%.10g, y %.10g",
                          x, y, lon, lat, back_x, back_y);
            throw RunFailure(layer_line + text +
                             ": give its zones within the projection's own range, or in degrees");
        }
    }
}

// The windows the layer is read through. A frame that cannot be placed
// reads every feature into itself, so that a zone there fails rather than
// lose its part.
std::vector<Window> reading_windows(const LayerFrames& frames) {
    for (std::size_t f = 0; f < frames.frames.size(); ++f) {
        if (frames.frames[f].known) continue;
        Window everything;
        everything.frame = f;
        everything.extent.MinX = everything.extent.MinY = -HUGE_VAL;
        everything.extent.MaxX = everything.extent.MaxY = HUGE_VAL;
        return {everything};
    }
    return windows_of(frames);
}

// The zones as their features are read, window by window.
class Gathering {
  public:
    Gathering(const ZoneRequest& request, int field, const LayerFrames& frames, bool has_crs,
              std::string layer_line)
        : request_(request),
          field_(field),
          frames_(frames),
          has_crs_(has_crs),
          layer_line_(std::move(layer_line)) {}

    void read(OGRLayer& layer, const Window& window) {
        if (std::isfinite(window.extent.MinX)) {
            layer.SetSpatialFilterRect(window.extent.MinX, window.extent.MinY, window.extent.MaxX,
                                       window.extent.MaxY);
        } else {
            layer.SetSpatialFilter(nullptr);
        }
        layer.ResetReading();
        for (const auto& feature : layer) take(*feature, window);
        layer.SetSpatialFilter(nullptr);
    }

    // The zones in the order of the smallest id of their features that
    // reach the tile.
    std::vector<std::unique_ptr<GatheredZone>> in_order() {
        std::stable_sort(gathered_.begin(), gathered_.end(), [](const auto& a, const auto& b) {
            return a->first_id != b->first_id ? a->first_id < b->first_id : a->seen < b->seen;
        });
        return std::move(gathered_);
    }

  private:
    void take(const OGRFeature& feature, const Window& window) {
        const GIntBig id = feature.GetFID();
        const std::string fid = std::to_string(id);
        const std::string feature_line = "feature " + fid + " of " + layer_line_;
        const OGRGeometry* geometry = feature.GetGeometryRef();
        if (geometry == nullptr || geometry->IsEmpty()) return;
        if (!is_polygonal_type(geometry->getGeometryType())) {
            throw RunFailure(feature_line + " holds " + type_name(geometry->getGeometryType()) +
                             ", not polygons");
        }
        GeometryPtr polygons;
        try {
            polygons = linear_polygons(*geometry, frames_.pixel);
        } catch (const GeometryFault& fault) {
            throw RunFailure(feature_line + " " + fault.what);
        }
        // Only a feature whose extent reaches the window counts, as the
        // index answers it or not: its zone's place in the table does not
        // depend on the format's index.
        OGREnvelope envelope;
        polygons->getEnvelope(&envelope);
        if (polygons->IsEmpty() || !envelope.Intersects(window.extent)) return;
        if (frames_.turn > 0) {
            check_degrees(envelope, frames_.turn, has_crs_, layer_line_, "feature " + fid);
        }
        GatheredZone& zone = zone_of(field_ < 0 ? fid : name_of(feature, feature_line), id);
        // GEOS's complaints about a damaged geometry are not failures to
        // read the file: the nested watch keeps them from the outer one.
        GdalErrorWatch geometry_messages(false);
        GeometryPtr valid = valid_polygons(std::move(polygons));
        if (!valid) throw RunFailure(feature_line + " cannot be made valid");
        shift_x(*valid->toMultiPolygon(), window.shift);
        OGRMultiPolygon& near = zone.near_frame[window.frame];
        for (const OGRGeometry* polygon : *valid->toMultiPolygon()) near.addGeometry(polygon);
    }

    std::string name_of(const OGRFeature& feature, const std::string& feature_line) const {
        if (!feature.IsFieldSetAndNotNull(field_)) {
            throw RunFailure(feature_line + " has no value in " + request_.field);
        }
        std::string name = value_text(feature, field_);
        if (!is_utf8(name)) {
            throw RunFailure(feature_line + " has a value in " + request_.field +
                             " that is not UTF-8 text");
        }
        return name;
    }

    GatheredZone& zone_of(const std::string& name, GIntBig id) {
        auto [at, fresh] = index_of_.try_emplace(name, gathered_.size());
        if (fresh) {
            gathered_.push_back(std::make_unique<GatheredZone>());
            gathered_.back()->name = name;
            gathered_.back()->near_frame.resize(frames_.frames.size());
            gathered_.back()->first_id = id;
            gathered_.back()->seen = gathered_.size();
        }
        GatheredZone& zone = *gathered_[at->second];
        zone.first_id = std::min(zone.first_id, id);
        return zone;
    }

    const ZoneRequest& request_;
    int field_;
    const LayerFrames& frames_;
    bool has_crs_;
    std::string layer_line_;
    std::vector<std::unique_ptr<GatheredZone>> gathered_;
    std::map<std::string, std::size_t> index_of_;
};

}  // namespace

std::vector<Zone> read_zones(const ZoneRequest& request, const TileGrid& grid) {
    const std::string& path = request.path;
    const std::string cannot_open = path +
                                    " cannot be opened as a vector file (GeoPackage, Shapefile, "
                                    "GeoJSON, FlatGeobuf)";
    check_zone_files(path, cannot_open);
    // A GeoPackage is an SQLite database: an editor that has not yet
    // written its edits into the file keeps them in "<file>-wal", and
    // SQLite, even reading, would fold them into the file and remove it,
    // changing the user's zones behind their back (the batch would then see
    // a zones file changed under its tiles). So such a file is refused, and
    // the rest are opened immutable: read, never locked or written.
    struct stat wal {};
    if (::stat((path + "-wal").c_str(), &wal) == 0 && wal.st_size > 0) {
        throw RunFailure(path + " has edits not yet written into it (" + path +
                         "-wal): close the program editing it first");
    }
    GdalErrorWatch quiet(false);
    const char* const read_only[] = {"IMMUTABLE=YES", nullptr};
    DatasetPtr source(GDALDataset::FromHandle(GDALOpenEx(plain_path(path).c_str(),
                                                         GDAL_OF_VECTOR | GDAL_OF_READONLY,
                                                         ZONE_DRIVERS, read_only, nullptr)));
    if (!source) throw RunFailure(cannot_open);
    OGRLayer& layer = chosen_layer(*source, request);
    const std::string layer_line = path + " layer " + layer.GetName();
    const int field = zone_field(layer, request, layer_line);
    const LayerFrames frames = frames_of(layer, grid, layer_line);
    const bool has_crs = layer.GetSpatialRef() != nullptr;
    check_projection_file(path, has_crs, layer_line);
    check_layer_degrees(layer, frames, has_crs, layer_line);
    check_projected_extent(layer, frames, layer_line);

    // Each tile reads only the features whose extent reaches it, through
    // the layer's spatial index where it has one (a GeoPackage's R-tree, a
    // FlatGeobuf's, a Shapefile's .qix); so a tile's time and memory grow
    // with the zones near it, not with the file.
    Gathering gathering(request, field, frames, has_crs, layer_line);
    for (const Window& window : reading_windows(frames)) {
        gathering.read(layer, window);
        if (quiet.failed()) throw RunFailure(layer_line + " cannot be read");
    }
    std::vector<Zone> zones;
    for (auto& zone : gathering.in_order()) {
        std::optional<Zone> inside = zone_in_tile(*zone, frames, grid, path);
        if (inside) zones.push_back(std::move(*inside));
        zone.reset();  // its polygons are no longer needed
    }
    return zones;
}

}  // namespace pt
