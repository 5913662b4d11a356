// tile_accounts as a user runs it: on small products made here with known
// bytes, whose figures are worked out cell by cell with the ellipsoid's own
// area formula; on zones given in WGS84 and in another CRS; on inputs it
// must refuse with one line and no table; and once on the products of a
// full generated tile run through process_tile.
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "accounts_support.hpp"

namespace pt::e2e {
namespace {

constexpr int N = 40;  // the small tile's width and height
constexpr int LAST_YEAR = 2001;
constexpr int YEARS = LAST_YEAR - 2000 + 1;
const std::string TILE = "n62";
// 40 x 40 cells of 0.00025 degrees, the upper-left corner at 10 E, 62 N.
constexpr double WEST = 10.0, NORTH = 62.0, CELL = 0.00025;

double row_m2(int row) {
    return ellipsoid_cell_m2(NORTH - row * CELL, NORTH - (row + 1) * CELL, CELL);
}

// The small tile's bytes: every raster as a function of the cell.
struct SmallTile {
    static uint8_t datamask(int r, int c) { return c == 0 ? 0 : r == N - 1 ? 2 : 1; }
    static uint8_t tcc(int year, int r, int c) {
        return static_cast<uint8_t>((r * 7 + c * 3 + year * 11) % 101);
    }
    static uint8_t tch(int year, int r, int c) { return static_cast<uint8_t>((r + c) % 30 + year); }
    static uint8_t loss(int year, int r, int c) {
        return year == 0 ? c == 7 : (r + c) % 5 == 0 ? 1 : 0;
    }
};

// A raster of the small tile's grid unless told otherwise.
void write_raster(const fs::path& path, const char* driver, int width, int height,
                  const std::function<uint8_t(int, int)>& value,
                  const std::array<double, 6>& gt = {WEST, CELL, 0, NORTH, 0, -CELL},
                  const std::string& wkt = wgs84_wkt()) {
    write_byte_raster(path, driver, width, height, value, gt, wkt);
}

std::string product_name(const char* kind, int year) {
    return std::string(kind) + "_" + std::to_string(year) + "_" + TILE + ".img";
}

// products/ and datamask/ of the small tile under `root`.
void make_small_tile(const fs::path& root) {
    fs::create_directories(root / "products");
    fs::create_directories(root / "datamask");
    for (int y = 0; y < YEARS; ++y) {
        using namespace std::placeholders;
        write_raster(root / "products" / product_name("TCC", 2000 + y), "HFA", N, N,
                     std::bind(SmallTile::tcc, y, _1, _2));
        write_raster(root / "products" / product_name("TCH", 2000 + y), "HFA", N, N,
                     std::bind(SmallTile::tch, y, _1, _2));
        write_raster(root / "products" / product_name("Loss", 2000 + y), "HFA", N, N,
                     std::bind(SmallTile::loss, y, _1, _2));
    }
    write_raster(root / "datamask" / (TILE + "_datamask.tif"), "GTiff", N, N, SmallTile::datamask);
}

std::vector<std::string> tile_args(const fs::path& root, const fs::path& accounts) {
    return {TILE, std::to_string(LAST_YEAR), (root / "products").string(),
            (root / "datamask").string(), accounts.string()};
}

// One threshold and year's sums, in square metres.
struct Expected {
    double land = 0, cover = 0, loss = 0, height = 0;
};

// The figures of the cells weighed by share(r, c), cell by cell.
std::map<std::pair<int, int>, Expected> expected_figures(
    const std::vector<int>& thresholds, const std::function<double(int, int)>& share) {
    std::map<std::pair<int, int>, Expected> sums;
    for (int t : thresholds) {
        for (int y = 0; y < YEARS; ++y) {
            Expected& e = sums[{t, 2000 + y}];
            for (int r = 0; r < N; ++r) {
                for (int c = 0; c < N; ++c) {
                    if (SmallTile::datamask(r, c) != 1) continue;
                    const double m2 = row_m2(r) * share(r, c);
                    e.land += m2;
                    if (SmallTile::tcc(y, r, c) >= t) {
                        e.cover += m2;
                        e.height += m2 * SmallTile::tch(y, r, c);
                    }
                    if (SmallTile::loss(y, r, c) != 0 && SmallTile::tcc(0, r, c) >= t) e.loss += m2;
                }
            }
        }
    }
    return sums;
}

// Checks a table's figures (columns from `first` on: threshold, year, land,
// cover, loss, height) against the expected sums.
void expect_figures(const std::vector<std::vector<std::string>>& rows, std::size_t first,
                    const std::vector<int>& thresholds,
                    const std::map<std::pair<int, int>, Expected>& expected) {
    ASSERT_EQ(rows.size(), thresholds.size() * YEARS);
    std::size_t k = 0;
    for (int t : thresholds) {
        for (int year = 2000; year <= LAST_YEAR; ++year, ++k) {
            const auto& row = rows[k];
            SCOPED_TRACE(std::to_string(t) + " " + std::to_string(year));
            ASSERT_EQ(row.size(), first + 6);
            EXPECT_EQ(row[first], std::to_string(t));
            EXPECT_EQ(row[first + 1], std::to_string(year));
            const Expected& e = expected.at({t, year});
            // Printed to a micro-hectare: half of one, and the sums' rounding.
            EXPECT_NEAR(std::stod(row[first + 2]), e.land / 1e4, 1e-6);
            EXPECT_NEAR(std::stod(row[first + 3]), e.cover / 1e4, 1e-6);
            EXPECT_NEAR(std::stod(row[first + 4]), e.loss / 1e4, 1e-6);
            if (e.cover == 0) {
                EXPECT_EQ(row[first + 5], "");
            } else {
                EXPECT_NEAR(std::stod(row[first + 5]), e.height / e.cover, 1e-6);
            }
            for (std::size_t f = first + 2; f < first + 5; ++f) {
                const std::size_t dot = row[f].find('.');
                EXPECT_TRUE(dot != std::string::npos && row[f].size() - dot == 7) << row[f];
            }
        }
    }
}

// Polygons with a value in field "name": rings of (longitude, latitude).
struct Feature {
    std::string name;
    std::vector<std::vector<std::array<double, 2>>> rings;  // outer, then holes
};
using Ring = std::vector<std::array<double, 2>>;

// A rectangle of cell coordinates (columns x0..x1, rows y0..y1) in degrees.
Ring cell_rectangle(double x0, double y0, double x1, double y1) {
    auto at = [](double x, double y) {
        return std::array<double, 2>{WEST + x * CELL, NORTH - y * CELL};
    };
    return {at(x0, y0), at(x1, y0), at(x1, y1), at(x0, y1), at(x0, y0)};
}

// Writes the features with OGR's `driver` into `path`, their coordinates
// transformed from WGS84 to EPSG:`epsg` (4326: as they are); a layer type
// of `type`.
void write_zones(const fs::path& path, const char* driver, const std::vector<Feature>& features,
                 int epsg = 4326, OGRwkbGeometryType type = wkbPolygon,
                 const char* layer_name = "zones") {
    GDALAllRegister();
    GDALDataset* ds = GDALDataset::FromHandle(
        GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr));
    if (ds == nullptr) {
        ds = GetGDALDriverManager()->GetDriverByName(driver)->Create(path.c_str(), 0, 0, 0,
                                                                     GDT_Unknown, nullptr);
    }
    ASSERT_NE(ds, nullptr);
    OGRSpatialReference target, source;
    target.importFromEPSG(epsg);
    target.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    source.SetWellKnownGeogCS("WGS84");
    source.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> transform(
        OGRCreateCoordinateTransformation(&source, &target));
    // FlatGeobuf's spatial index would store the features in another order.
    const char* options[] = {"SPATIAL_INDEX=NO", nullptr};
    OGRLayer* layer = ds->CreateLayer(
        layer_name, &target, type,
        std::string(driver) == "FlatGeobuf" ? const_cast<char**>(options) : nullptr);
    ASSERT_NE(layer, nullptr);
    OGRFieldDefn field("name", OFTString);
    ASSERT_EQ(layer->CreateField(&field), OGRERR_NONE);
    for (const Feature& f : features) {
        OGRFeature feature(layer->GetLayerDefn());
        feature.SetField("name", f.name.c_str());
        if (type == wkbLineString) {
            OGRLineString line;
            for (const auto& p : f.rings[0]) line.addPoint(p[0], p[1]);
            feature.SetGeometry(&line);
        } else {
            OGRPolygon polygon;
            for (const Ring& points : f.rings) {
                OGRLinearRing ring;
                for (const auto& p : points) ring.addPoint(p[0], p[1]);
                polygon.addRing(&ring);
            }
            if (epsg != 4326) polygon.transform(transform.get());
            feature.SetGeometry(&polygon);
        }
        ASSERT_EQ(layer->CreateFeature(&feature), OGRERR_NONE);
    }
    GDALClose(GDALDataset::ToHandle(ds));
}

// Whether a refused run said one line naming `text` and left nothing in
// accounts_dir (no table, no temporary file).
void expect_refused(const ProgramResult& result, const std::string& text,
                    const fs::path& accounts) {
    EXPECT_EQ(result.exit_status, 1) << result.out;
    EXPECT_EQ(result.out.rfind("tile_accounts: ", 0), 0u) << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
    EXPECT_NE(result.out.find(text), std::string::npos) << result.out;
    EXPECT_TRUE(!fs::exists(accounts) || fs::is_empty(accounts)) << accounts;
}

class TileAccounts : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root_ = new fs::path(scratch_dir("accounts_small"));
        make_small_tile(*root_);
    }
    static void TearDownTestSuite() { delete root_; }
    static fs::path* root_;
};
fs::path* TileAccounts::root_ = nullptr;

const std::vector<int> DEFAULT = {10, 15, 20, 25, 30, 50, 75};

TEST_F(TileAccounts, TileTableFiguresAreTheCellsAreasByTheirBytes) {
    const fs::path accounts = scratch_dir("accounts_plain") / "accounts";  // made by the run
    const ProgramResult result = run_tile_accounts(tile_args(*root_, accounts));
    ASSERT_EQ(result.exit_status, 0) << result.out;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(file_names(accounts), std::vector<std::string>{TILE + "_accounts.csv"});
    std::string header;
    const auto rows = table_rows(accounts / (TILE + "_accounts.csv"), &header);
    EXPECT_EQ(header, "tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean");
    for (const auto& row : rows) EXPECT_EQ(row[0], TILE);
    expect_figures(rows, 1, DEFAULT, expected_figures(DEFAULT, [](int, int) { return 1.0; }));

    // Other thresholds, given in any order: the table's rows ascend. At 0
    // every land cell is cover, at 100 almost none.
    const std::vector<int> mine = {0, 33, 100};
    const ProgramResult again = run_tile_accounts([&] {
        auto args = tile_args(*root_, accounts);
        args.insert(args.begin(), {"--thresholds", "100,0,33"});
        return args;
    }());
    ASSERT_EQ(again.exit_status, 0) << again.out;
    const auto expected = expected_figures(mine, [](int, int) { return 1.0; });
    expect_figures(table_rows(accounts / (TILE + "_accounts.csv"), nullptr), 1, mine, expected);
    EXPECT_EQ(expected.at({0, 2000}).cover, expected.at({0, 2000}).land);
}

TEST_F(TileAccounts, ZonesWeighTheirShareOfEachCell) {
    const fs::path dir = scratch_dir("accounts_zones");
    // "inner": columns 4.5 to 20.5 and rows 8 to 30.5, so that the cells of
    // its left and right edge count half, those of its bottom edge half, and
    // its two lower corners a quarter. "whole": beyond the tile on all sides.
    // "far": nowhere near the tile, no rows. "holed": a square with a hole.
    write_zones(dir / "zones.geojson", "GeoJSON",
                {{"inner", {cell_rectangle(4.5, 8, 20.5, 30.5)}},
                 {"whole", {cell_rectangle(-5, -5, N + 5, N + 5)}},
                 {"far", {{{0, 0}, {1, 0}, {1, 1}, {0, 0}}}},
                 {"holed", {cell_rectangle(2, 2, 12, 12), cell_rectangle(4, 4, 6, 6)}}});
    const fs::path accounts = dir / "accounts";
    auto args = tile_args(*root_, accounts);
    args.insert(args.end(), {"--zones", (dir / "zones.geojson").string(), "--zone-field", "name",
                             "--thresholds", "10,50"});
    const ProgramResult result = run_tile_accounts(args);
    ASSERT_EQ(result.exit_status, 0) << result.out;
    EXPECT_EQ(file_names(accounts),
              (std::vector<std::string>{TILE + "_accounts.csv", TILE + "_zone_accounts.csv"}));
    std::string header;
    const auto rows = table_rows(accounts / (TILE + "_zone_accounts.csv"), &header);
    EXPECT_EQ(header, "tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean");
    const std::vector<int> mine = {10, 50};
    const std::size_t per_zone = mine.size() * YEARS;
    ASSERT_EQ(rows.size(), 3 * per_zone) << "far has no rows";
    std::vector<std::vector<std::string>> inner(rows.begin(), rows.begin() + per_zone),
        whole(rows.begin() + per_zone, rows.begin() + 2 * per_zone),
        holed(rows.begin() + 2 * per_zone, rows.end());
    for (const auto& row : inner) EXPECT_EQ(row[1], "inner");
    for (const auto& row : whole) EXPECT_EQ(row[1], "whole");
    for (const auto& row : holed) EXPECT_EQ(row[1], "holed");

    auto inner_share = [](int r, int c) {
        const double across = c < 4 || c > 20 ? 0 : c == 4 || c == 20 ? 0.5 : 1;
        const double down = r < 8 || r > 30 ? 0 : r == 30 ? 0.5 : 1;
        return across * down;
    };
    expect_figures(inner, 2, mine, expected_figures(mine, inner_share));
    auto holed_share = [](int r, int c) {
        const bool in_square = r >= 2 && r < 12 && c >= 2 && c < 12;
        const bool in_hole = r >= 4 && r < 6 && c >= 4 && c < 6;
        return in_square && !in_hole ? 1.0 : 0.0;
    };
    expect_figures(holed, 2, mine, expected_figures(mine, holed_share));

    // A zone over the whole tile says what the tile table says.
    const auto tile_rows = table_rows(accounts / (TILE + "_accounts.csv"), nullptr);
    ASSERT_EQ(tile_rows.size(), whole.size());
    for (std::size_t k = 0; k < whole.size(); ++k) {
        std::vector<std::string> without_zone = whole[k];
        without_zone.erase(without_zone.begin() + 1);
        EXPECT_EQ(without_zone, tile_rows[k]);
    }

    // Zones of which none reaches the tile: a zone table of its header
    // alone says so.
    write_zones(dir / "far.geojson", "GeoJSON", {{"far", {{{0, 0}, {1, 0}, {1, 1}, {0, 0}}}}});
    auto far_args = tile_args(*root_, accounts);
    far_args.insert(far_args.end(), {"--zones", (dir / "far.geojson").string()});
    const ProgramResult far = run_tile_accounts(far_args);
    ASSERT_EQ(far.exit_status, 0) << far.out;
    EXPECT_EQ(read_file(accounts / (TILE + "_zone_accounts.csv")),
              "tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n");

    // Then a run without zones: the zone table, which would describe the
    // earlier request, goes.
    const ProgramResult plain = run_tile_accounts(tile_args(*root_, accounts));
    ASSERT_EQ(plain.exit_status, 0) << plain.out;
    EXPECT_EQ(file_names(accounts), std::vector<std::string>{TILE + "_accounts.csv"});
}

// Where tiles of a grid overlap, each counts the part it owns: the cells of
// the part alone, in the tile table and in every zone; a zone that reaches
// the tile only outside the part has no rows; two runs over parts that
// split the tile add up to the whole tile.
TEST_F(TileAccounts, APartCountsOnlyTheCellsItOwns) {
    const fs::path dir = scratch_dir("accounts_part");
    // Rows 0 to 19 own columns 2 to 37, rows 20 to 37 columns 2 to 39;
    // rows 38 and 39 belong to a neighbour. The rest of the tile, as the
    // neighbours would own it.
    const std::string part = "0-19:2-37,20-37:2-39";
    const std::string rest = "0-19:0-1,20-37:0-1,38-39:0-39";
    auto owned = [](int r, int c) {
        if (r <= 19) return c >= 2 && c <= 37;
        return r <= 37 && c >= 2;
    };
    // "edge": columns 36 to 40 of rows 10 to 30, half of it in the part;
    // "outside": rows 38.5 to 39.5, all of it a neighbour's.
    write_zones(dir / "zones.geojson", "GeoJSON",
                {{"edge", {cell_rectangle(36, 10, 40, 30)}},
                 {"outside", {cell_rectangle(10, 38.5, 20, 39.5)}}});
    const std::vector<int> mine = {10, 50};
    auto run_part = [&](const std::string& bands, const fs::path& accounts) {
        auto args = tile_args(*root_, accounts);
        args.insert(args.end(), {"--part", bands, "--zones", (dir / "zones.geojson").string(),
                                 "--zone-field", "name", "--thresholds", "10,50"});
        const ProgramResult result = run_tile_accounts(args);
        EXPECT_EQ(result.exit_status, 0) << result.out;
        EXPECT_EQ(result.out, "");
    };
    run_part(part, dir / "owned");
    const auto tile_rows = table_rows(dir / "owned" / (TILE + "_accounts.csv"), nullptr);
    expect_figures(tile_rows, 1, mine,
                   expected_figures(mine, [&](int r, int c) { return owned(r, c) ? 1.0 : 0.0; }));
    const auto zone_rows = table_rows(dir / "owned" / (TILE + "_zone_accounts.csv"), nullptr);
    ASSERT_EQ(zone_rows.size(), mine.size() * YEARS) << "outside has no rows";
    for (const auto& row : zone_rows) EXPECT_EQ(row[1], "edge");
    expect_figures(zone_rows, 2, mine, expected_figures(mine, [&](int r, int c) {
                       return owned(r, c) && r >= 10 && r < 30 && c >= 36 ? 1.0 : 0.0;
                   }));

    // The part and the rest (in two parts, as a part has one run of columns
    // a row) add up to the whole tile, to the micro-hectare of each
    // table's rounding; each zone has rows where it reaches a part.
    run_part(rest, dir / "rest");
    run_part("0-19:38-39", dir / "east");
    const auto rest_rows = table_rows(dir / "rest" / (TILE + "_accounts.csv"), nullptr);
    const auto east_rows = table_rows(dir / "east" / (TILE + "_accounts.csv"), nullptr);
    ASSERT_EQ(rest_rows.size(), tile_rows.size());
    ASSERT_EQ(east_rows.size(), tile_rows.size());
    const auto whole = expected_figures(mine, [](int, int) { return 1.0; });
    for (std::size_t k = 0; k < tile_rows.size(); ++k) {
        const Expected& e = whole.at({std::stoi(tile_rows[k][1]), std::stoi(tile_rows[k][2])});
        const double expected[] = {e.land, e.cover, e.loss};
        for (std::size_t column = 3; column < 6; ++column) {
            EXPECT_NEAR(std::stod(tile_rows[k][column]) + std::stod(rest_rows[k][column]) +
                            std::stod(east_rows[k][column]),
                        expected[column - 3] / 1e4, 3e-6);
        }
    }
    const auto rest_zones = table_rows(dir / "rest" / (TILE + "_zone_accounts.csv"), nullptr);
    ASSERT_EQ(rest_zones.size(), mine.size() * YEARS);
    EXPECT_EQ(rest_zones[0][1], "outside");
    const auto east_zones = table_rows(dir / "east" / (TILE + "_zone_accounts.csv"), nullptr);
    ASSERT_EQ(east_zones.size(), mine.size() * YEARS);
    EXPECT_EQ(east_zones[0][1], "edge");

    // A part that is not one: refused with one line, no table.
    for (const std::string& bad :
         {std::string(""), std::string("0-39"), std::string("0-40:0-39"), std::string("5-3:0-39"),
          std::string("0-39:0-39,"), std::string("10-20:0-3,5-30:0-3"), std::string("0-39:0-3x"),
          std::string("-1-3:0-3"), std::string("0-3:+1-3")}) {
        SCOPED_TRACE(bad);
        const fs::path accounts = dir / "refused";
        auto args = tile_args(*root_, accounts);
        args.insert(args.end(), {"--part", bad});
        expect_refused(run_tile_accounts(args), "tile_accounts: --part: ", accounts);
    }
    // A band of 100,000 characters is named by its first 40.
    auto args = tile_args(*root_, dir / "refused");
    args.insert(args.end(), {"--part", "0-3:" + std::string(100000, '1')});
    const ProgramResult long_band = run_tile_accounts(args);
    expect_refused(long_band, "(0-3:" + std::string(36, '1') + "...) is not ROWS:COLUMNS",
                   dir / "refused");
    EXPECT_LT(long_band.out.size(), 200u);
}

TEST_F(TileAccounts, FeaturesOfOneValueAreOneZoneInTheOrderOfTheirFirstFeature) {
    const fs::path dir = scratch_dir("accounts_merge");
    // "b" is two overlapping rectangles (columns 2 to 20 and 10 to 30) and
    // a third feature apart; "a" comes between b's features; "c" reaches
    // the tile only with its last feature, so it comes last: the order is
    // that of the first feature that reaches the tile.
    write_zones(dir / "zones.gpkg", "GPKG",
                {{"b", {cell_rectangle(2, 3, 20, 15)}},
                 {"c", {{{0, 0}, {1, 0}, {1, 1}, {0, 0}}}},
                 {"a", {cell_rectangle(0, 0, 5, 5)}},
                 {"b", {cell_rectangle(10, 3, 30, 15)}},
                 {"b", {cell_rectangle(1, 30, 3, 33)}},
                 {"c", {cell_rectangle(30, 30, 35, 35)}}});
    const fs::path accounts = dir / "accounts";
    auto args = tile_args(*root_, accounts);
    args.insert(args.begin(), {"--zones", (dir / "zones.gpkg").string(), "--zone-field", "name",
                               "--thresholds", "25"});
    const ProgramResult result = run_tile_accounts(args);
    ASSERT_EQ(result.exit_status, 0) << result.out;
    const auto rows = table_rows(accounts / (TILE + "_zone_accounts.csv"), nullptr);
    ASSERT_EQ(rows.size(), 3u * YEARS);
    EXPECT_EQ(rows[0][1], "b");
    EXPECT_EQ(rows[YEARS][1], "a");
    EXPECT_EQ(rows[2 * YEARS][1], "c");
    auto b_share = [](int r, int c) {
        const bool band = r >= 3 && r < 15 && c >= 2 && c < 30;
        const bool apart = r >= 30 && r < 33 && c >= 1 && c < 3;
        return band || apart ? 1.0 : 0.0;
    };
    expect_figures({rows.begin(), rows.begin() + YEARS}, 2, {25}, expected_figures({25}, b_share));

    // Without --zone-field each feature is a zone named by its id: six
    // features, five of them reach the tile.
    auto by_id = tile_args(*root_, accounts);
    by_id.insert(by_id.begin(), {"--zones", (dir / "zones.gpkg").string(), "--thresholds", "25"});
    ASSERT_EQ(run_tile_accounts(by_id).exit_status, 0);
    const auto id_rows = table_rows(accounts / (TILE + "_zone_accounts.csv"), nullptr);
    std::vector<std::string> names;
    for (std::size_t k = 0; k < id_rows.size(); k += YEARS) names.push_back(id_rows[k][1]);
    EXPECT_EQ(names, (std::vector<std::string>{"1", "3", "4", "5", "6"}));
}

TEST_F(TileAccounts, AZoneInAnotherCrsAgreesWithTheSameZoneInWgs84) {
    const fs::path dir = scratch_dir("accounts_crs");
    // "box": a rectangle, which Web Mercator keeps a rectangle of the same
    // meridians and parallels, so the two files give the same shares.
    // "slant": a triangle whose long edge crosses the tile at a slant; an
    // edge straight in Web Mercator bows by some 3 cm from one straight in
    // degrees over this tile's 900 m, so the two differ by up to about
    // 0.01 % of the triangle's area (densified edges follow that bow).
    const std::vector<Feature> zones = {{"box", {cell_rectangle(3.5, 2.5, 31.25, 36.75)}},
                                        {"slant",
                                         {{{WEST + 1.5 * CELL, NORTH - 2.2 * CELL},
                                           {WEST + 37.3 * CELL, NORTH - 5.9 * CELL},
                                           {WEST + 12.1 * CELL, NORTH - 38.6 * CELL},
                                           {WEST + 1.5 * CELL, NORTH - 2.2 * CELL}}}}};
    write_zones(dir / "wgs84.geojson", "GeoJSON", zones);
    write_zones(dir / "mercator.gpkg", "GPKG", zones, 3857);
    auto table_of = [&](const fs::path& file) {
        const fs::path accounts = dir / file.stem();
        auto args = tile_args(*root_, accounts);
        args.insert(args.begin(), {"--zones", file.string(), "--zone-field", "name"});
        const ProgramResult result = run_tile_accounts(args);
        EXPECT_EQ(result.exit_status, 0) << result.out;
        return table_rows(accounts / (TILE + "_zone_accounts.csv"), nullptr);
    };
    const auto wgs = table_of(dir / "wgs84.geojson");
    const auto mercator = table_of(dir / "mercator.gpkg");
    const std::size_t per_zone = DEFAULT.size() * YEARS;
    ASSERT_EQ(wgs.size(), 2 * per_zone);
    ASSERT_EQ(mercator.size(), wgs.size());
    for (std::size_t k = 0; k < wgs.size(); ++k) {
        EXPECT_EQ(wgs[k][1], k < per_zone ? "box" : "slant");
        EXPECT_EQ(mercator[k][1], wgs[k][1]);
        // The bow moves area in or out along the edge: of any figure, at
        // most 0.01 % of the triangle's whole area.
        const double tolerance =
            k < per_zone ? 1e-9 * std::stod(wgs[k][4]) + 2e-6 : 1e-4 * std::stod(wgs[per_zone][4]);
        for (std::size_t f = 4; f < 7; ++f) {
            const double a = std::stod(wgs[k][f]), b = std::stod(mercator[k][f]);
            EXPECT_NEAR(a, b, tolerance) << wgs[k][1] << " line " << k << " column " << f;
        }
    }
    // About half the tile: a triangle's area, not a sliver or the whole.
    const double land = std::stod(wgs[per_zone][4]);
    EXPECT_GT(land, 0.3 * row_m2(20) * N * N / 1e4);
    EXPECT_LT(land, 0.6 * row_m2(20) * N * N / 1e4);
}

TEST_F(TileAccounts, ZoneNamesComeBackThroughCsvParsing) {
    const fs::path dir = scratch_dir("accounts_names");
    const std::vector<std::string> names = {"Pohjois, \"Karjala\"", "Åland–Ålands\nlän", "plain"};
    std::vector<Feature> zones;
    for (std::size_t k = 0; k < names.size(); ++k) {
        const double x = 3.0 + 10.0 * static_cast<double>(k);
        zones.push_back({names[k], {cell_rectangle(x, 5, x + 6, 25)}});
    }
    write_zones(dir / "zones.fgb", "FlatGeobuf", zones);
    const fs::path accounts = dir / "accounts";
    auto args = tile_args(*root_, accounts);
    args.insert(args.begin(), {"--zones", (dir / "zones.fgb").string(), "--zone-field", "name",
                               "--thresholds", "30"});
    const ProgramResult result = run_tile_accounts(args);
    ASSERT_EQ(result.exit_status, 0) << result.out;
    // Python's csv module reads the zone column back, one name a line, as
    // hexadecimal bytes.
    const ProgramResult parsed =
        run_program("/usr/bin/python3",
                    {"-c",
                     "import csv, sys\n"
                     "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
                     "    rows = list(csv.reader(f))\n"
                     "assert rows[0][1] == 'zone' and all(len(r) == 8 for r in rows), rows\n"
                     "for r in rows[1::2]: print(r[1].encode('utf-8').hex())\n",
                     (accounts / (TILE + "_zone_accounts.csv")).string()});
    ASSERT_EQ(parsed.exit_status, 0) << parsed.out;
    std::string expected;
    for (const std::string& name : names) {
        for (unsigned char c : name) {
            static const char HEX[] = "0123456789abcdef";
            expected += HEX[c >> 4];
            expected += HEX[c & 15];
        }
        expected += '\n';
    }
    EXPECT_EQ(parsed.out, expected);
}

TEST_F(TileAccounts, RefusesWhatItCannotCountWithOneLineAndNoTable) {
    const fs::path dir = scratch_dir("accounts_refusals");
    int case_number = 0;
    // Runs tile_accounts with `options` on a copy of the small tile that
    // `change` altered, and checks the refusal.
    auto refused = [&](const std::vector<std::string>& options, const std::string& text,
                       const std::function<void(const fs::path&)>& change = nullptr) {
        SCOPED_TRACE(text);
        const fs::path root = dir / std::to_string(++case_number);
        fs::create_directories(root);
        fs::copy(*root_, root, fs::copy_options::recursive);
        if (change) change(root);
        const fs::path accounts = root / "accounts";
        auto args = options;
        const auto positional = tile_args(root, accounts);
        args.insert(args.end(), positional.begin(), positional.end());
        expect_refused(run_tile_accounts(args), text, accounts);
    };
    const auto loss_2001 = [](const fs::path& root) {
        return root / "products" / product_name("Loss", 2001);
    };

    refused({}, product_name("Loss", 2001) + " not found",
            [&](const fs::path& root) { fs::remove(loss_2001(root)); });
    refused({}, product_name("Loss", 2001) + " is 40 x 41 pixels, not 40 x 40",
            [&](const fs::path& root) {
                fs::remove(loss_2001(root));
                write_raster(loss_2001(root), "HFA", N, N + 1, SmallTile::datamask);
            });
    refused({}, product_name("Loss", 2001) + " has the geotransform", [&](const fs::path& root) {
        fs::remove(loss_2001(root));
        write_raster(loss_2001(root), "HFA", N, N, SmallTile::datamask,
                     {WEST + CELL, CELL, 0, NORTH, 0, -CELL});
    });
    refused({}, "is not in WGS84 longitude and latitude", [&](const fs::path& root) {
        for (const char* kind : {"TCC", "TCH", "Loss"}) {
            for (int year = 2000; year <= LAST_YEAR; ++year) {
                const fs::path path = root / "products" / product_name(kind, year);
                fs::remove(path);
                OGRSpatialReference mercator;
                mercator.importFromEPSG(3857);
                char* wkt = nullptr;
                mercator.exportToWkt(&wkt);
                write_raster(path, "HFA", N, N, SmallTile::datamask,
                             {1113194.9, 28.0, 0, 8859142.8, 0, -28.0}, wkt);
                CPLFree(wkt);
            }
        }
    });
    refused({}, "TCC_2000_" + TILE + ".img is not a readable HFA raster",
            [&](const fs::path& root) {
                const fs::path tcc = root / "products" / product_name("TCC", 2000);
                fs::remove(tcc);
                write_raster(tcc, "GTiff", N, N, SmallTile::datamask);
            });
    refused({}, TILE + "_datamask.tif is 40 x 39 pixels", [&](const fs::path& root) {
        const fs::path mask = root / "datamask" / (TILE + "_datamask.tif");
        fs::remove(mask);
        write_raster(mask, "GTiff", N, N - 1, SmallTile::datamask);
    });

    // Zones.
    const fs::path zones = dir / "zones.geojson";
    write_zones(zones, "GeoJSON", {{"a", {cell_rectangle(1, 1, 5, 5)}}});
    refused({"--zones", zones.string(), "--zone-field", "nom"}, "has no field nom (fields: name)");
    const fs::path lines = dir / "lines.geojson";
    write_zones(lines, "GeoJSON", {{"a", {cell_rectangle(1, 1, 5, 5)}}}, 4326, wkbLineString);
    refused({"--zones", lines.string()}, "holds LineString, not polygons");
    const fs::path garbage = dir / "garbage.geojson";
    std::ofstream(garbage) << "{ this is not json";
    refused({"--zones", garbage.string()}, garbage.string() + " cannot be opened");
    refused({"--zones", (dir / "missing.gpkg").string()}, "missing.gpkg not found");
    // A FIFO where OGR would read a Shapefile's attributes would block the
    // read for ever.
    const fs::path shapes = dir / "shapes";
    fs::create_directories(shapes);
    write_zones(shapes / "parcels.shp", "ESRI Shapefile", {{"a", {cell_rectangle(1, 1, 5, 5)}}});
    fs::remove(shapes / "parcels.dbf");
    ASSERT_EQ(mkfifo((shapes / "parcels.dbf").c_str(), 0600), 0);
    refused({"--zones", (shapes / "parcels.shp").string()},
            "parcels.dbf beside the zone file is not a regular file");
    const fs::path two = dir / "two.gpkg";
    write_zones(two, "GPKG", {{"a", {cell_rectangle(1, 1, 5, 5)}}}, 4326, wkbPolygon, "forests");
    write_zones(two, "GPKG", {{"b", {cell_rectangle(1, 1, 5, 5)}}}, 4326, wkbPolygon, "parks");
    refused({"--zones", two.string()},
            "holds 2 layers (forests, parks): name one with --zone-layer");
    refused({"--zones", two.string(), "--zone-layer", "lakes"}, "has no layer lakes");
    // Edits an editor has not yet written into a GeoPackage: reading would
    // fold them into the user's file.
    const fs::path edited = dir / "edited.gpkg";
    write_zones(edited, "GPKG", {{"a", {cell_rectangle(1, 1, 5, 5)}}});
    std::ofstream(dir / "edited.gpkg-wal") << "pending pages";
    refused({"--zones", edited.string()}, "has edits not yet written into it");
    EXPECT_EQ(read_file(dir / "edited.gpkg-wal"), "pending pages");

    // Thresholds that are not whole percentages.
    for (const char* list : {"3O", "10.5", "101", "10,,20"}) {
        refused({"--thresholds", list}, "--thresholds");
    }
    EXPECT_EQ(case_number, 18);
}

TEST_F(TileAccounts, ACallItCannotReadIsAWrongCall) {
    const fs::path dir = scratch_dir("accounts_calls");
    const fs::path accounts = dir / "accounts";
    auto args = tile_args(*root_, accounts);
    args.push_back("--verbose");
    ProgramResult result = run_tile_accounts(args);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out.rfind("tile_accounts: unknown option --verbose\nUsage: ", 0), 0u)
        << result.out;
    result = run_tile_accounts({TILE, "2001", (*root_ / "products").string()});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out.rfind("Usage: ", 0), 0u) << result.out;
    result = run_tile_accounts({"--zones"});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_FALSE(fs::exists(accounts));
    // An empty field or layer name (a script's unset variable) would mean
    // the feature id or the only layer without a word.
    for (const char* option : {"--zone-field", "--zone-layer"}) {
        auto empty = tile_args(*root_, accounts);
        empty.insert(empty.end(), {"--zones", (dir / "zones.gpkg").string(), option, ""});
        result = run_tile_accounts(empty);
        EXPECT_EQ(result.exit_status, 2);
        EXPECT_EQ(result.out.rfind(std::string("tile_accounts: ") + option +
                                       " needs a name, not an empty one\nUsage: ",
                                   0),
                  0u)
            << result.out;
    }
    // A zones "file" that is a directory: there, but not a file of zones.
    auto directory = tile_args(*root_, accounts);
    directory.insert(directory.end(), {"--zones", dir.string()});
    expect_refused(run_tile_accounts(directory), dir.string() + " is not a regular file", accounts);
    // A last year that is not one, or one before the products begin.
    for (const char* year : {"1999", "2O01", "+2001"}) {
        auto args_year = tile_args(*root_, accounts);
        args_year[1] = year;
        result = run_tile_accounts(args_year);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.out, std::string("tile_accounts: last_year ") + year +
                                  " is not a year from 2000 to 2060\n");
        EXPECT_FALSE(fs::exists(accounts));
    }

    // After "--", an argument beginning with '-' is a tile id: here one
    // whose products do not exist, named in the refusal.
    auto dashed = tile_args(*root_, accounts);
    dashed[0] = "-t";
    dashed.insert(dashed.begin(), "--");
    result = run_tile_accounts(dashed);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.out.find("TCC_2000_-t.img not found"), std::string::npos) << result.out;
    // Options after the positionals, as before them.
    auto late = tile_args(*root_, accounts);
    late.insert(late.end(), {"--thresholds", "40"});
    result = run_tile_accounts(late);
    ASSERT_EQ(result.exit_status, 0) << result.out;
    EXPECT_EQ(table_rows(accounts / (TILE + "_accounts.csv"), nullptr).size(), 1u * YEARS);
}

// The products of a full generated tile, as process_tile writes them: the
// table is the one the products' bytes give, and a zone over the tile's
// west half counts the cells there.
TEST(TileAccountsOnAGeneratedTile, CountsTheProductsProcessTileWrote) {
    const fs::path root = scratch_dir("accounts_generated");
    const GeneratedTile tile = generate_tile(root / "tile", "g7", 2001, 29);
    const fs::path products = root / "products";
    fs::create_directories(products);
    const ProgramResult made = run_program(PT_PROCESS_TILE, tile_arguments(tile, products, 20, 61));
    ASSERT_EQ(made.exit_status, 0) << made.out;
    const fs::path zones = root / "west.geojson";
    write_zones(zones, "GeoJSON",
                {{"west",
                  {{{19.9, 61.1},
                    {20 + 2002 * CELL, 61.1},
                    {20 + 2002 * CELL, 59.9},
                    {19.9, 59.9},
                    {19.9, 61.1}}}}});
    const fs::path accounts = root / "accounts";
    const ProgramResult result = run_tile_accounts(
        {"--zones", zones.string(), "--zone-field", "name", "--thresholds", "30", "--", "g7",
         "2001", products.string(), tile.datamask_dir().string(), accounts.string()});
    ASSERT_EQ(result.exit_status, 0) << result.out;

    const auto mask = read_band(tile.datamask_dir() / "g7_datamask.tif");
    std::vector<std::vector<unsigned char>> tcc, tch, loss;
    for (int year = 2000; year <= 2001; ++year) {
        const std::string suffix = "_" + std::to_string(year) + "_g7.img";
        tcc.push_back(read_band(products / ("TCC" + suffix)));
        tch.push_back(read_band(products / ("TCH" + suffix)));
        loss.push_back(read_band(products / ("Loss" + suffix)));
    }
    const auto tile_rows = table_rows(accounts / "g7_accounts.csv", nullptr);
    const auto zone_rows = table_rows(accounts / "g7_zone_accounts.csv", nullptr);
    ASSERT_EQ(tile_rows.size(), 2u);
    ASSERT_EQ(zone_rows.size(), 2u);
    double loss_seen = 0;
    for (int y = 0; y < 2; ++y) {
        Expected all, west;
        for (int r = 0; r < TILE_SIZE; ++r) {
            const double m2 = ellipsoid_cell_m2(61 - r * CELL, 61 - (r + 1) * CELL, CELL);
            for (int c = 0; c < TILE_SIZE; ++c) {
                const std::size_t i = static_cast<std::size_t>(r) * TILE_SIZE + c;
                if (mask[i] != 1) continue;
                for (Expected* e : {&all, &west}) {
                    if (e == &west && c >= TILE_SIZE / 2) continue;
                    e->land += m2;
                    if (tcc[y][i] >= 30) {
                        e->cover += m2;
                        e->height += m2 * tch[y][i];
                    }
                    if (loss[y][i] != 0 && tcc[0][i] >= 30) e->loss += m2;
                }
            }
        }
        loss_seen += all.loss;
        // Sums of 16 million cells: a little more rounding than the small tile's.
        const auto& row = tile_rows[static_cast<std::size_t>(y)];
        EXPECT_NEAR(std::stod(row[3]), all.land / 1e4, 1e-4);
        EXPECT_NEAR(std::stod(row[4]), all.cover / 1e4, 1e-4);
        EXPECT_NEAR(std::stod(row[5]), all.loss / 1e4, 1e-4);
        EXPECT_NEAR(std::stod(row[6]), all.height / all.cover, 1e-6);
        const auto& zone = zone_rows[static_cast<std::size_t>(y)];
        EXPECT_EQ(zone[1], "west");
        EXPECT_NEAR(std::stod(zone[4]), west.land / 1e4, 1e-4);
        EXPECT_NEAR(std::stod(zone[5]), west.cover / 1e4, 1e-4);
        EXPECT_NEAR(std::stod(zone[6]), west.loss / 1e4, 1e-4);
    }
    EXPECT_GT(loss_seen, 0) << "a generated tile has loss";
}

}  // namespace
}  // namespace pt::e2e
