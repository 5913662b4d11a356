// The zones files users bring to tile_accounts: zones given in either
// convention of longitude (-180 to 180 or 0 to 360) and across the
// antimeridian, curved zones, real-valued zone ids, a polar zone around the
// pole, and careless or hostile files (a Shapefile in metres without its
// .prj, a vertex that is not a number). Each runs tile_accounts on small
// products made here, all land, of one year.
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>

#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "accounts_support.hpp"

namespace pt::e2e {
namespace {

constexpr double CELL = 0.00025;
const std::string TILE = "z";

void write_raster(const fs::path& path, const char* driver, int n, double west, double north,
                  const std::function<uint8_t(int, int)>& value) {
    write_byte_raster(path, driver, n, n, value, {west, CELL, 0, north, 0, -CELL});
}

// A tile of n x n cells whose upper-left corner is (west, north), last year
// 2000, every cell land; made once per test program and kept.
fs::path small_tile(double west, double north, int n = 40) {
    static std::map<std::tuple<double, double, int>, fs::path> made;
    auto& root = made[{west, north, n}];
    if (!root.empty()) return root;
    root = scratch_dir("zone_tile_" + std::to_string(made.size()));
    fs::create_directories(root / "products");
    fs::create_directories(root / "datamask");
    for (const char* kind : {"TCC", "TCH", "Loss"}) {
        const std::string name = std::string(kind) + "_2000_" + TILE + ".img";
        write_raster(root / "products" / name, "HFA", n, west, north, [&](int r, int c) {
            return static_cast<uint8_t>(kind[1] == 'C'   ? (r * 7 + c * 3) % 101
                                        : kind[1] == 'H' ? (r + c) % 30
                                                         : (r + c) % 5 == 0);
        });
    }
    write_raster(root / "datamask" / (TILE + "_datamask.tif"), "GTiff", n, west, north,
                 [](int, int) { return 1; });
    return root;
}

// A zone: its value and its geometry as WKT in longitude and latitude.
struct Zone {
    std::string name;
    std::string wkt;
    // Sets the x of the third point of the outer ring, as WKT cannot.
    std::optional<double> third_x = std::nullopt;
};

// Writes the zones into `path` with OGR's `driver`, their coordinates
// transformed into EPSG:`epsg` (4326: as they are; 0: a layer without a
// coordinate system); the field "name" of `type` (its text read as that
// type; empty text: no value).
void write_zones(const fs::path& path, const char* driver, const std::vector<Zone>& zones,
                 int epsg = 4326, OGRFieldType type = OFTString) {
    GDALAllRegister();
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName(driver)->Create(path.c_str(), 0, 0, 0,
                                                                              GDT_Unknown, nullptr);
    ASSERT_NE(ds, nullptr) << path;
    OGRSpatialReference target, source;
    source.SetWellKnownGeogCS("WGS84");
    source.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (epsg != 0) target.importFromEPSG(epsg);
    target.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> transform(
        OGRCreateCoordinateTransformation(&source, &target));
    OGRLayer* layer = ds->CreateLayer("zones", epsg != 0 ? &target : nullptr, wkbUnknown, nullptr);
    ASSERT_NE(layer, nullptr);
    OGRFieldDefn field("name", type);
    ASSERT_EQ(layer->CreateField(&field), OGRERR_NONE);
    for (const Zone& zone : zones) {
        OGRFeature feature(layer->GetLayerDefn());
        if (!zone.name.empty()) feature.SetField("name", zone.name.c_str());
        OGRGeometry* geometry = nullptr;
        ASSERT_EQ(OGRGeometryFactory::createFromWkt(zone.wkt.c_str(), nullptr, &geometry),
                  OGRERR_NONE)
            << zone.wkt;
        if (zone.third_x) {
            OGRLinearRing* ring = geometry->toPolygon()->getExteriorRing();
            ring->setPoint(2, *zone.third_x, ring->getY(2));
        }
        if (epsg != 4326 && epsg != 0) {
            ASSERT_EQ(geometry->transform(transform.get()), OGRERR_NONE);
        }
        feature.SetGeometryDirectly(geometry);
        ASSERT_EQ(layer->CreateFeature(&feature), OGRERR_NONE);
    }
    GDALClose(GDALDataset::ToHandle(ds));
}

// "POLYGON((x0 y0,x1 y0,x1 y1,x0 y1,x0 y0))"
std::string box(double x0, double y0, double x1, double y1) {
    std::ostringstream wkt;
    wkt.precision(17);
    wkt << "POLYGON((" << x0 << " " << y0 << "," << x1 << " " << y0 << "," << x1 << " " << y1 << ","
        << x0 << " " << y1 << "," << x0 << " " << y0 << "))";
    return wkt.str();
}

// The zone table's lines without its header, and what the run said.
struct Table {
    int exit_status = -1;
    std::string said;
    std::vector<std::string> lines;
    // The zone of each block of rows (one row a block here: one year and
    // one threshold).
    std::vector<std::string> zones() const {
        std::vector<std::string> names;
        for (const std::string& line : lines) {
            const std::size_t start = line.find(',') + 1;
            names.push_back(line.substr(start, line.find(',', start) - start));
        }
        return names;
    }
    // land_ha of the zone's row.
    double land(const std::string& zone) const {
        for (const std::string& line : lines) {
            std::vector<std::string> cells;
            std::istringstream cut(line);
            for (std::string cell; std::getline(cut, cell, ',');) cells.push_back(cell);
            if (cells.size() >= 5 && cells[1] == zone) return std::stod(cells[4]);
        }
        ADD_FAILURE() << "no zone " << zone;
        return -1;
    }
};

Table zone_table(const fs::path& tile, const fs::path& zones, const fs::path& accounts,
                 const std::vector<std::string>& options = {"--zone-field", "name"}) {
    std::vector<std::string> args = {"--zones", zones.string(), "--thresholds", "30"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"--", TILE, "2000", (tile / "products").string(),
                             (tile / "datamask").string(), accounts.string()});
    const ProgramResult result = run_tile_accounts(args);
    Table table;
    table.exit_status = result.exit_status;
    table.said = result.out;
    std::istringstream text(read_file(accounts / (TILE + "_zone_accounts.csv")));
    std::string line;
    std::getline(text, line);
    while (std::getline(text, line)) table.lines.push_back(line);
    return table;
}

// The land of the whole tile (its own table).
double tile_land(const fs::path& accounts) {
    std::istringstream text(read_file(accounts / (TILE + "_accounts.csv")));
    std::string line;
    std::getline(text, line);
    std::getline(text, line);
    std::vector<std::string> cells;
    std::istringstream cut(line);
    for (std::string cell; std::getline(cut, cell, ',');) cells.push_back(cell);
    return cells.size() >= 4 ? std::stod(cells[3]) : -1;
}

// A refusal: exit 1, one line naming `text`, no table.
void expect_refused(const Table& table, const std::string& text, const fs::path& accounts) {
    EXPECT_EQ(table.exit_status, 1) << table.said;
    EXPECT_EQ(std::count(table.said.begin(), table.said.end(), '\n'), 1) << table.said;
    EXPECT_NE(table.said.find(text), std::string::npos) << table.said;
    EXPECT_TRUE(!fs::exists(accounts) || fs::is_empty(accounts)) << accounts;
}

// Zones on both sides of the antimeridian, and across it, in the three ways
// files give them: tiles of either convention see the same figures.
TEST(ZoneLongitudes, EitherConventionAndAcrossTheAntimeridianGiveTheSameFigures) {
    const fs::path dir = scratch_dir("zone_longitudes");
    // A tile whose east edge is at 180.0005.
    const double west = 180.0005 - 40 * CELL, north = 10.0;
    const fs::path across = small_tile(west, north);
    // "cross" runs from 179.993 past 180 to 180.0003; "east" lies wholly
    // east of 180; "wide" covers the tile and more, 179 to 181.
    const double s = north - 38 * CELL, n = north - 3 * CELL;
    const std::vector<Zone> own = {{"cross", box(179.993, s, 180.0003, n)},
                                   {"east", box(180.0001, s + CELL, 180.0004, n)},
                                   {"wide", box(179, 9, 181, 11)}};
    // The same from -180 to 180: "cross" and "wide" cut at 180 into two
    // features each.
    const std::vector<Zone> split = {{"cross", box(179.993, s, 180, n)},
                                     {"cross", box(-180, s, 180.0003 - 360, n)},
                                     {"east", box(180.0001 - 360, s + CELL, 180.0004 - 360, n)},
                                     {"wide", box(179, 9, 180, 11)},
                                     {"wide", box(-180, 9, -179, 11)}};
    write_zones(dir / "own.gpkg", "GPKG", own);
    write_zones(dir / "split.gpkg", "GPKG", split);
    write_zones(dir / "split.geojson", "GeoJSON", split);
    const Table reference = zone_table(across, dir / "own.gpkg", dir / "own");
    ASSERT_EQ(reference.exit_status, 0) << reference.said;
    EXPECT_EQ(reference.zones(), (std::vector<std::string>{"cross", "east", "wide"}));
    // "wide" is the whole tile; "cross" and "east" their columns' share.
    EXPECT_NEAR(reference.land("wide"), tile_land(dir / "own"), 1e-6);
    EXPECT_GT(reference.land("east"), 0);
    for (const char* file : {"split.gpkg", "split.geojson"}) {
        SCOPED_TRACE(file);
        const Table table = zone_table(across, dir / file, dir / fs::path(file).extension());
        ASSERT_EQ(table.exit_status, 0) << table.said;
        EXPECT_EQ(table.lines, reference.lines);
    }
    // In Mercator (straight meridians and parallels, so the same shares to
    // rounding): in EPSG:3832, centred on 150 E, "cross" is one polygon; in
    // EPSG:3857 the split features.
    write_zones(dir / "pdc.gpkg", "GPKG", own, 3832);
    write_zones(dir / "mercator.gpkg", "GPKG", split, 3857);
    for (const char* file : {"pdc.gpkg", "mercator.gpkg"}) {
        SCOPED_TRACE(file);
        const Table table = zone_table(across, dir / file, dir / fs::path(file).stem());
        ASSERT_EQ(table.exit_status, 0) << table.said;
        EXPECT_EQ(table.zones(), reference.zones());
        for (const char* zone : {"cross", "east", "wide"}) {
            EXPECT_NEAR(table.land(zone), reference.land(zone), 1e-9 * reference.land(zone) + 2e-6)
                << zone;
        }
    }

    // A tile at 170 W on a grid from 0 to 360 (its origin 190) and on one
    // from -180 to 180, with zones given either way.
    const std::vector<Zone> western = {{"a", box(-169.9993, 9.9993, -169.9951, 9.9911)},
                                       {"b", box(-170.5, 9, -169.9, 11)}};
    std::vector<Zone> eastern = western;
    eastern[0].wkt = box(190.0007, 9.9993, 190.0049, 9.9911);
    eastern[1].wkt = box(189.5, 9, 190.1, 11);
    write_zones(dir / "western.gpkg", "GPKG", western);
    write_zones(dir / "eastern.fgb", "FlatGeobuf", eastern);
    write_zones(dir / "western_mercator.gpkg", "GPKG", western, 3857);
    // ETRS89: longitude and latitude of another datum, through a transform.
    write_zones(dir / "eastern_etrs89.gpkg", "GPKG", eastern, 4258);
    const Table base = zone_table(small_tile(-170, 10), dir / "western.gpkg", dir / "w");
    ASSERT_EQ(base.exit_status, 0) << base.said;
    ASSERT_EQ(base.zones(), (std::vector<std::string>{"a", "b"}));
    int run = 0;
    for (const double origin : {-170.0, 190.0}) {
        for (const char* file : {"western.gpkg", "eastern.fgb"}) {
            SCOPED_TRACE(std::to_string(origin) + " " + file);
            const Table table = zone_table(small_tile(origin, 10), dir / file,
                                           dir / ("run" + std::to_string(++run)));
            ASSERT_EQ(table.exit_status, 0) << table.said;
            EXPECT_EQ(table.lines, base.lines);
        }
        for (const char* file : {"western_mercator.gpkg", "eastern_etrs89.gpkg"}) {
            SCOPED_TRACE(std::to_string(origin) + " " + file);
            const Table other = zone_table(small_tile(origin, 10), dir / file,
                                           dir / ("run" + std::to_string(++run)));
            ASSERT_EQ(other.exit_status, 0) << other.said;
            EXPECT_EQ(other.zones(), base.zones());
            EXPECT_NEAR(other.land("a"), base.land("a"), 1e-9 * base.land("a") + 2e-6);
            EXPECT_NEAR(other.land("b"), base.land("b"), 1e-9 * base.land("b") + 2e-6);
        }
    }
}

// A GeoPackage of one zone `name` whose WKT is in EPSG:`epsg` as it stands
// (write_zones transforms from longitude and latitude; a zone past a
// projection's edge cannot be had that way).
void write_projected_zone(const fs::path& path, int epsg, const std::string& name,
                          const std::string& wkt) {
    GDALAllRegister();
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GPKG")->Create(path.c_str(), 0, 0, 0,
                                                                              GDT_Unknown, nullptr);
    ASSERT_NE(ds, nullptr);
    OGRSpatialReference crs;
    crs.importFromEPSG(epsg);
    OGRLayer* layer = ds->CreateLayer("zones", &crs, wkbPolygon, nullptr);
    OGRFieldDefn field("name", OFTString);
    ASSERT_EQ(layer->CreateField(&field), OGRERR_NONE);
    OGRFeature feature(layer->GetLayerDefn());
    feature.SetField("name", name.c_str());
    OGRGeometry* geometry = nullptr;
    ASSERT_EQ(OGRGeometryFactory::createFromWkt(wkt.c_str(), nullptr, &geometry), OGRERR_NONE);
    feature.SetGeometryDirectly(geometry);
    ASSERT_EQ(layer->CreateFeature(&feature), OGRERR_NONE);
    GDALClose(GDALDataset::ToHandle(ds));
}

// Zones in a polar stereographic projection that hold the pole, or have it
// for a corner: the tile at the top of the world below them lies wholly
// inside them.
TEST(ZonePoles, APolarZoneAroundThePoleHoldsTheWholeTileBelowIt) {
    const fs::path dir = scratch_dir("zone_poles");
    // A square of 40 km around the pole, and one of 20 km with the pole for
    // its corner, over longitudes 90 to 180 in EPSG:3995 (45 to 135 in
    // EPSG:3413, centred on 45 W); the tiles at 10 E and at 100 E below them.
    const struct {
        double west;
        std::string square;
    } cases[] = {{10, box(-20000, -20000, 20000, 20000)}, {100, box(0, 0, 20000, 20000)}};
    for (const auto& [west, square] : cases) {
        const fs::path tile = small_tile(west, 90);
        for (const int epsg : {3995, 3413}) {
            SCOPED_TRACE(std::to_string(epsg) + " " + square);
            const fs::path file = dir / ("polar" + std::to_string(epsg) + "_" +
                                         std::to_string(static_cast<int>(west)) + ".gpkg");
            write_projected_zone(file, epsg, "arctic", square);

            const fs::path accounts = dir / file.stem();
            const Table table = zone_table(tile, file, accounts);
            ASSERT_EQ(table.exit_status, 0) << table.said;
            ASSERT_EQ(table.zones(), std::vector<std::string>{"arctic"});
            const double land = tile_land(accounts);
            EXPECT_GT(land, 0);
            EXPECT_NEAR(table.land("arctic"), land, 1e-9 * land);
        }
    }
    // The tile at 20 E lies outside the sector: not a sliver of it.
    for (const int epsg : {3995, 3413}) {
        SCOPED_TRACE(epsg);
        const std::string name = "polar" + std::to_string(epsg) + "_100";
        const Table table =
            zone_table(small_tile(20, 90), dir / (name + ".gpkg"), dir / (name + "_beside"));
        ASSERT_EQ(table.exit_status, 0) << table.said;
        EXPECT_EQ(table.lines, std::vector<std::string>{});
    }
}

// A CurvePolygon circle and a MultiSurface half disc of 450 cells' radius:
// their arcs followed to a hundredth of a cell, so their areas come out
// within 1e-4 of the true ones (OGR's default of 4 degrees a chord would
// leave them 0.08 % short).
TEST(ZoneCurves, ArcsAreFollowedToAHundredthOfACell) {
    const fs::path dir = scratch_dir("zone_curves");
    constexpr int SIZE = 1000;
    const double west = 0, north = 0.125;  // the equator through the tile
    const fs::path tile = small_tile(west, north, SIZE);
    const double r = 450 * CELL, cx = west + 500 * CELL, cy = north - 500 * CELL;
    std::ostringstream circle, half;
    circle.precision(17);
    half.precision(17);
    circle << "CURVEPOLYGON(CIRCULARSTRING(" << cx - r << " " << cy << "," << cx + r << " " << cy
           << "," << cx - r << " " << cy << "))";
    // The upper half: an arc over the top, then the diameter back.
    half << "MULTISURFACE(CURVEPOLYGON(COMPOUNDCURVE(CIRCULARSTRING(" << cx - r << " " << cy << ","
         << cx << " " << cy + r << "," << cx + r << " " << cy << "),(" << cx + r << " " << cy << ","
         << cx - r << " " << cy << "))))";
    write_zones(dir / "curves.gpkg", "GPKG", {{"circle", circle.str()}, {"half", half.str()}});
    const fs::path accounts = dir / "accounts";
    const Table table = zone_table(tile, dir / "curves.gpkg", accounts);
    ASSERT_EQ(table.exit_status, 0) << table.said;

    // The disc's area in each row band, times the row's cell area (every
    // cell is land): F(y) = y sqrt(R^2 - y^2) + R^2 asin(y / R) is twice
    // the area under the upper half-circle from 0 to y.
    const double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f), e = std::sqrt(e2);
    auto q = [&](double lat) {
        const double sn = std::sin(lat * M_PI / 180);
        return sn / (1 - e2 * sn * sn) + std::atanh(e * sn) / e;
    };
    const double R = 450;
    auto F = [&](double y) {
        y = std::clamp(y, -R, R);
        return y * std::sqrt(R * R - y * y) + R * R * std::asin(y / R);
    };
    double circle_ha = 0, half_ha = 0;
    for (int row = 0; row < SIZE; ++row) {
        const double top = north - row * CELL, bottom = top - CELL;
        const double cell_ha =
            a * a * (1 - e2) / 2 * (q(top) - q(bottom)) * CELL * M_PI / 180 / 1e4;
        const double y0 = 500 - row - 1, y1 = 500 - row;  // the band, up from the centre
        circle_ha += (F(y1) - F(y0)) * cell_ha;
        half_ha += (F(std::max(y1, 0.0)) - F(std::max(y0, 0.0))) * cell_ha;
    }
    EXPECT_NEAR(table.land("circle"), circle_ha, 1e-4 * circle_ha);
    EXPECT_NEAR(table.land("half"), half_ha, 1e-4 * half_ha);
    // And in cells: pi r^2.
    EXPECT_NEAR(circle_ha / (M_PI * R * R), tile_land(accounts) / (SIZE * SIZE), 1e-6);
}

// Values and names a file holds are the zones' names, as they are.
TEST(ZoneNames, RealValuesStayApartAndNamesStayExact) {
    const fs::path dir = scratch_dir("zone_names");
    const fs::path tile = small_tile(10, 62);
    auto strip = [](int k) {
        return box(10 + (1 + 4 * k) * CELL, 62 - 30 * CELL, 10 + (3 + 4 * k) * CELL, 62 - 5 * CELL);
    };
    // Sixteen-digit ids and 0.3 beside 0.1 + 0.2: GDAL's text of 15 digits
    // would make one zone of each pair.
    const std::vector<std::string> reals = {
        "1234567890123456", "1234567890123457", "0.3", "0.30000000000000004", "2.5", "-7"};
    std::vector<Zone> zones;
    for (std::size_t k = 0; k < reals.size(); ++k) {
        zones.push_back({reals[k], strip(static_cast<int>(k))});
    }
    write_zones(dir / "reals.gpkg", "GPKG", zones, 4326, OFTReal);
    const Table table = zone_table(tile, dir / "reals.gpkg", dir / "reals");
    ASSERT_EQ(table.exit_status, 0) << table.said;
    EXPECT_EQ(table.zones(), reals);

    // Names a spreadsheet would read as formulas are data: written as they
    // are.
    const std::vector<std::string> names = {"=1+1", "+41", "-3", "@SUM(A1)"};
    zones.clear();
    for (std::size_t k = 0; k < names.size(); ++k) {
        zones.push_back({names[k], strip(static_cast<int>(k))});
    }
    write_zones(dir / "formulas.gpkg", "GPKG", zones);
    const Table formulas = zone_table(tile, dir / "formulas.gpkg", dir / "formulas");
    ASSERT_EQ(formulas.exit_status, 0) << formulas.said;
    EXPECT_EQ(formulas.zones(), names);
}

// The order of the zones is the smallest id of their features that reach
// the tile, whatever index the format has; a zone of no area in the tile,
// or none at all, gets no rows.
TEST(ZoneOrder, ZonesComeInTheOrderOfTheirFirstNearFeatureAndOnlyWithArea) {
    const fs::path dir = scratch_dir("zone_order");
    const fs::path tile = small_tile(10, 62);
    auto at = [](double c0, double r0, double c1, double r1) {
        return box(10 + c0 * CELL, 62 - r1 * CELL, 10 + c1 * CELL, 62 - r0 * CELL);
    };
    const std::vector<Zone> zones = {
        {"far", box(-60, -10, -59, -9)},
        {"b", box(-60, -10, -59, -9)},  // b's first feature is far away
        {"a", at(1, 1, 10, 10)},
        {"b", at(20, 20, 30, 30)},
        {"line", "POLYGON((10.001 61.999,10.002 61.998,10.003 61.997,10.001 61.999))"},
        {"edge", at(40, 0, 45, 40)},  // touches the tile's east edge only
        {"c", at(5, 20, 8, 25)},
        {"a", at(5, 5, 15, 15)}};
    write_zones(dir / "zones.gpkg", "GPKG", zones);
    write_zones(dir / "zones.geojson", "GeoJSON", zones);
    std::vector<std::string> expected = {"a", "b", "c"};
    for (const char* file : {"zones.gpkg", "zones.geojson"}) {
        SCOPED_TRACE(file);
        const Table table = zone_table(tile, dir / file, dir / fs::path(file).extension());
        ASSERT_EQ(table.exit_status, 0) << table.said;
        EXPECT_EQ(table.zones(), expected);
    }
    // A feature near the tile without a value is refused; one far away is
    // never read.
    std::vector<Zone> unnamed = zones;
    unnamed[0].name = "";
    write_zones(dir / "far_unnamed.gpkg", "GPKG", unnamed);
    const Table far = zone_table(tile, dir / "far_unnamed.gpkg", dir / "far");
    EXPECT_EQ(far.exit_status, 0) << far.said;
    unnamed = zones;
    unnamed[6].name = "";
    write_zones(dir / "unnamed.gpkg", "GPKG", unnamed);
    expect_refused(
        zone_table(tile, dir / "unnamed.gpkg", dir / "unnamed"),
        "feature 7 of " + (dir / "unnamed.gpkg").string() + " layer zones has no value in name",
        dir / "unnamed");
}

// Files that must not make a zone vanish in silence.
TEST(ZoneFaults, CoordinatesThatCannotBeTrustedAreRefusedWithOneLine) {
    const fs::path dir = scratch_dir("zone_faults");
    const fs::path tile = small_tile(10, 62);
    // A vertex that is not a number, one that is infinite: each named.
    const std::string inside = box(10 + CELL, 62 - 20 * CELL, 10 + 20 * CELL, 62 - CELL);
    for (const double bad : {std::nan(""), HUGE_VAL}) {
        const std::string kind = std::isnan(bad) ? "nan" : "inf";
        SCOPED_TRACE(kind);
        const std::string wkt =
            "POLYGON((10.001 61.999,10.004 61.999,10.004 61.996,10.001 61.996,10.001 61.999))";
        const fs::path file = dir / (kind + ".gpkg");
        write_zones(file, "GPKG", {{"good", inside}, {"bad", wkt, bad}});
        expect_refused(zone_table(tile, file, dir / kind),
                       "feature 2 of " + file.string() +
                           " layer zones has a coordinate that is not a finite number",
                       dir / kind);
    }
    // A Shapefile in metres (ETRS-TM35FIN) whose .prj is lost.
    const fs::path shapes = dir / "shapes";
    fs::create_directories(shapes);
    write_zones(shapes / "parcels.shp", "ESRI Shapefile", {{"a", box(10, 61.9, 10.1, 62)}}, 3067);
    ASSERT_TRUE(fs::remove(shapes / "parcels.prj"));
    expect_refused(zone_table(tile, shapes / "parcels.shp", dir / "metres"),
                   "layer parcels has no coordinate system, and feature 0's coordinates (x ",
                   dir / "metres");
    EXPECT_NE(zone_table(tile, shapes / "parcels.shp", dir / "metres")
                  .said.find("cannot be degrees of longitude and latitude"),
              std::string::npos);
    // A .prj GDAL cannot read: not taken for no coordinate system.
    write_zones(shapes / "garbled.shp", "ESRI Shapefile", {{"a", box(10, 61.9, 10.1, 62)}}, 4326);
    {
        std::ofstream prj(shapes / "garbled.prj", std::ios::trunc);
        prj << "GEOGCS[this is not one";
    }
    expect_refused(zone_table(tile, shapes / "garbled.shp", dir / "garbled"),
                   "layer garbled has a coordinate system file " +
                       (shapes / "garbled.prj").string() + " that GDAL cannot read",
                   dir / "garbled");
}

// A zone drawn across the antimeridian on a web map: Web Mercator x past
// 20,037,508 m, which the projection places a turn away, out of every
// tile's reach. Refused on every tile, not counted short on one and
// nowhere on the other; the same zone within the projection's range counts.
TEST(ZoneFaults, AProjectedZonePastTheEdgeOfItsProjectionIsRefused) {
    const fs::path dir = scratch_dir("zone_past_edge");
    const double west = 180.0005 - 40 * CELL;
    const fs::path across = small_tile(west, 10.0), beyond = small_tile(180.0005, 10.0);
    // 179.8 E to 180.3 E (-179.7), 9.9 to 10.1 N (over both tiles), as
    // metres of Web Mercator.
    const double metres_a_degree = 20037508.342789244 / 180;
    auto northing = [](double lat) {
        return 6378137.0 * std::log(std::tan(M_PI / 4 + lat * M_PI / 360));
    };
    const double south = northing(9.9), north = northing(10.1);
    write_projected_zone(dir / "past.gpkg", 3857, "drawn",
                         box(179.8 * metres_a_degree, south, 180.3 * metres_a_degree, north));
    for (const fs::path& tile : {across, beyond}) {
        SCOPED_TRACE(tile.string());
        const fs::path accounts = dir / (tile.filename().string() + "_past");
        expect_refused(zone_table(tile, dir / "past.gpkg", accounts),
                       "layer zones reaches past the edge of its projection: x 2004", accounts);
    }
    // Within the range, the part past 180 given as the west end of the map.
    write_projected_zone(dir / "within.gpkg", 3857, "drawn",
                         box(-180 * metres_a_degree, south, -179.7 * metres_a_degree, north));
    const Table table = zone_table(beyond, dir / "within.gpkg", dir / "within");
    EXPECT_EQ(table.exit_status, 0) << table.said;
    EXPECT_EQ(table.zones(), std::vector<std::string>{"drawn"});
}

}  // namespace
}  // namespace pt::e2e
