// tile_accounts --forest as a user runs it, on small products made here:
// with no least height or area the forest is the cover at the threshold;
// a patch is measured whole (across a zone's border, but not past the part
// of the tile the tile owns); corners join patches with 8 neighbours only;
// bad definitions are refused with one line and nothing written.
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>

#include <array>
#include <cmath>
#include <functional>
#include <sstream>
#include <tuple>

#include "accounts/forest_edges.hpp"
#include "accounts/tile_part.hpp"
#include "accounts_support.hpp"

namespace pt::e2e {
namespace {

constexpr int N = 40;  // the small tile's width and height
constexpr int LAST_YEAR = 2001;
const std::string TILE = "f62";
// 40 x 40 cells of 0.00025 degrees, the upper-left corner at 10 E, 62 N.
constexpr double WEST = 10.0, NORTH = 62.0, CELL = 0.00025;

double row_m2(int row) {
    return ellipsoid_cell_m2(NORTH - row * CELL, NORTH - (row + 1) * CELL, CELL);
}

void write_raster(const fs::path& path, const char* driver,
                  const std::function<uint8_t(int, int)>& value) {
    write_byte_raster(path, driver, N, N, value, {WEST, CELL, 0, NORTH, 0, -CELL});
}

// A tile's bytes by year (0 = 2000), row and column.
struct Bytes {
    std::function<uint8_t(int, int)> datamask;
    std::function<uint8_t(int, int, int)> tcc, tch, loss;
};

void make_tile(const fs::path& root, const Bytes& bytes) {
    fs::create_directories(root / "products");
    fs::create_directories(root / "datamask");
    for (int y = 0; y <= LAST_YEAR - 2000; ++y) {
        auto name = [&](const char* kind) {
            return root / "products" /
                   (std::string(kind) + "_" + std::to_string(2000 + y) + "_" + TILE + ".img");
        };
        using namespace std::placeholders;
        write_raster(name("TCC"), "HFA", std::bind(bytes.tcc, y, _1, _2));
        write_raster(name("TCH"), "HFA", std::bind(bytes.tch, y, _1, _2));
        write_raster(name("Loss"), "HFA", std::bind(bytes.loss, y, _1, _2));
    }
    write_raster(root / "datamask" / (TILE + "_datamask.tif"), "GTiff", bytes.datamask);
}

std::vector<std::string> tile_args(const fs::path& root, const fs::path& accounts,
                                   std::vector<std::string> options) {
    for (const std::string& arg : {TILE, std::to_string(LAST_YEAR), (root / "products").string(),
                                   (root / "datamask").string(), accounts.string()}) {
        options.push_back(arg);
    }
    return options;
}

// A zone of one rectangle of cell coordinates (columns x0..x1, rows y0..y1).
void write_zone(const fs::path& path, double x0, double y0, double x1, double y1) {
    GDALAllRegister();
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GeoJSON")->Create(
        path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    ASSERT_NE(ds, nullptr);
    OGRSpatialReference reference;
    reference.SetWellKnownGeogCS("WGS84");
    OGRLayer* layer = ds->CreateLayer("zones", &reference, wkbPolygon, nullptr);
    ASSERT_NE(layer, nullptr);
    OGRFieldDefn field("name", OFTString);
    ASSERT_EQ(layer->CreateField(&field), OGRERR_NONE);
    OGRFeature feature(layer->GetLayerDefn());
    feature.SetField("name", "west");
    OGRLinearRing ring;
    for (auto [x, y] : {std::array<double, 2>{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}, {x0, y0}}) {
        ring.addPoint(WEST + x * CELL, NORTH - y * CELL);
    }
    OGRPolygon polygon;
    polygon.addRing(&ring);
    feature.SetGeometry(&polygon);
    ASSERT_EQ(layer->CreateFeature(&feature), OGRERR_NONE);
    GDALClose(GDALDataset::ToHandle(ds));
}

bool in(int r, int c, int r0, int r1, int c0, int c1) {
    return r >= r0 && r <= r1 && c >= c0 && c <= c1;
}

// Canopy of 80 % and 10 units high in three patches (land everywhere but the
// last column): A, rows 5-14 x columns 5-14 (100 cells, about 3.6 ha); B1,
// rows 20-24 x columns 20-24, and B2, rows 25-29 x columns 25-29, 25 cells
// (about 0.9 ha) each, touching at one corner. Loss in 2001 on rows 5-6 of
// A and on all of B1.
Bytes patches() {
    auto canopy = [](int r, int c) {
        return in(r, c, 5, 14, 5, 14) || in(r, c, 20, 24, 20, 24) || in(r, c, 25, 29, 25, 29);
    };
    return {[](int, int c) -> uint8_t { return c == N - 1 ? 2 : 1; },
            [=](int, int r, int c) -> uint8_t { return canopy(r, c) ? 80 : 3; },
            [](int, int, int) -> uint8_t { return 10; },
            [](int y, int r, int c) -> uint8_t {
                return y == 1 && (in(r, c, 5, 6, 5, 14) || in(r, c, 20, 24, 20, 24));
            }};
}

// The square metres of the cells [r0..r1] x [c0..c1], each weighed by
// share(c).
double cells_m2(
    int r0, int r1, int c0, int c1,
    const std::function<double(int)>& share = [](int) { return 1.0; }) {
    double m2 = 0;
    for (int r = r0; r <= r1; ++r)
        for (int c = c0; c <= c1; ++c) m2 += row_m2(r) * share(c);
    return m2;
}

// Expects the forest table's two years to be `forest` and `loss` hectares
// (2000, 2001), from field `first` (the year) on.
void expect_years(const std::vector<std::vector<std::string>>& rows, std::size_t first,
                  std::array<double, 2> forest_m2, std::array<double, 2> loss_m2) {
    ASSERT_EQ(rows.size(), 2u);
    for (int y = 0; y < 2; ++y) {
        SCOPED_TRACE(2000 + y);
        ASSERT_EQ(rows[y].size(), first + 3);
        EXPECT_EQ(rows[y][first], std::to_string(2000 + y));
        EXPECT_NEAR(std::stod(rows[y][first + 1]), forest_m2[y] / 1e4, 1e-6);
        EXPECT_NEAR(std::stod(rows[y][first + 2]), loss_m2[y] / 1e4, 1e-6);
    }
}

class ForestAccounts : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root_ = new fs::path(scratch_dir("forest_patches"));
        make_tile(*root_, patches());
    }
    static void TearDownTestSuite() { delete root_; }
    static fs::path* root_;
};
fs::path* ForestAccounts::root_ = nullptr;

TEST_F(ForestAccounts, WithoutLeastHeightOrAreaForestIsTheCoverAtTheThreshold) {
    // Bytes that vary cell by cell, on every kind of land.
    const fs::path root = scratch_dir("forest_identity");
    make_tile(
        root,
        {[](int r, int c) -> uint8_t { return c == 0       ? 0
                                              : r == N - 1 ? 2
                                                           : 1; },
         [](int y, int r, int c) -> uint8_t {
             return static_cast<uint8_t>((r * 7 + c * 3 + y * 11) % 101);
         },
         [](int y, int r, int c) -> uint8_t { return static_cast<uint8_t>((r + c) % 30 + y); },
         [](int y, int r, int c) -> uint8_t { return y == 0 ? c == 7 : (r + c) % 5 == 0; }});
    // A zone whose border cuts cells, so that shares count as well.
    write_zone(root / "zone.geojson", 2.5, 3.25, 31.5, 27.75);
    for (int threshold : {10, 50}) {
        for (const char* connectivity : {"4", "8"}) {
            SCOPED_TRACE(std::to_string(threshold) + " " + connectivity);
            const fs::path accounts =
                root / ("accounts" + std::to_string(threshold) + connectivity);
            const ProgramResult result = run_tile_accounts(
                tile_args(root, accounts,
                          {"--thresholds", std::to_string(threshold), "--forest",
                           std::to_string(threshold) + ":0:0", "--connectivity", connectivity,
                           "--zones", (root / "zone.geojson").string(), "--zone-field", "name"}));
            ASSERT_EQ(result.exit_status, 0) << result.out;
            std::string header;
            const auto forest = table_rows(accounts / (TILE + "_forest.csv"), &header);
            EXPECT_EQ(header, "tile_id,year,forest_ha,forest_loss_ha");
            const auto zone_forest = table_rows(accounts / (TILE + "_zone_forest.csv"), nullptr);
            // The forest tables' columns from the year on against the
            // accounts tables' (threshold, year, land, cover, loss, ...).
            const std::vector<std::tuple<std::vector<std::vector<std::string>>,
                                         std::vector<std::vector<std::string>>, std::size_t>>
                pairs = {{forest, table_rows(accounts / (TILE + "_accounts.csv"), nullptr), 1},
                         {zone_forest,
                          table_rows(accounts / (TILE + "_zone_accounts.csv"), nullptr), 2}};
            for (const auto& [forest_rows, cover_rows, first] : pairs) {
                ASSERT_EQ(cover_rows.size(), 2u);
                ASSERT_EQ(forest_rows.size(), 2u);
                for (std::size_t y = 0; y < 2; ++y) {
                    ASSERT_EQ(forest_rows[y].size(), first + 3);
                    EXPECT_EQ(forest_rows[y][0], TILE);
                    EXPECT_EQ(forest_rows[y][first], cover_rows[y][first + 1]);      // year
                    EXPECT_EQ(forest_rows[y][first + 1], cover_rows[y][first + 3]);  // cover_ha
                    EXPECT_EQ(forest_rows[y][first + 2], cover_rows[y][first + 4]);  // loss_ha
                    EXPECT_NE(forest_rows[y][first + 1], "0.000000");
                }
            }
        }
    }
}

TEST_F(ForestAccounts, PatchesBelowTheAreaAreNotForestAndCornersJoinWithEightNeighbours) {
    const double a = cells_m2(5, 14, 5, 14), a_loss = cells_m2(5, 6, 5, 14);
    const double b = cells_m2(20, 24, 20, 24) + cells_m2(25, 29, 25, 29);
    ASSERT_LT(cells_m2(20, 24, 20, 24), 1e4);  // each half of B alone is under a hectare
    ASSERT_GT(b, 1e4);
    for (const char* connectivity : {"4", "8"}) {
        SCOPED_TRACE(connectivity);
        const fs::path accounts = scratch_dir(std::string("forest_corners") + connectivity);
        const ProgramResult result = run_tile_accounts(
            tile_args(*root_, accounts, {"--forest", "50:10:1", "--connectivity", connectivity}));
        ASSERT_EQ(result.exit_status, 0) << result.out;
        const auto rows = table_rows(accounts / (TILE + "_forest.csv"), nullptr);
        const bool joined = std::string(connectivity) == "8";
        const double b1_loss = joined ? cells_m2(20, 24, 20, 24) : 0;
        expect_years(rows, 1, {a + (joined ? b : 0), a + (joined ? b : 0)}, {0, a_loss + b1_loss});
    }
    // Canopy higher than the trees is nothing.
    const fs::path accounts = scratch_dir("forest_too_high");
    ASSERT_EQ(run_tile_accounts(tile_args(*root_, accounts, {"--forest", "50:11:0"})).exit_status,
              0);
    expect_years(table_rows(accounts / (TILE + "_forest.csv"), nullptr), 1, {0, 0}, {0, 0});
}

TEST_F(ForestAccounts, APatchEndsAtTheEdgeOfThePartTheTileOwns) {
    // Columns 0-6 hold 20 cells of A (under a hectare); columns 7-39 the
    // other 80 (over it).
    const fs::path west = scratch_dir("forest_part_west"), east = scratch_dir("forest_part_east");
    ASSERT_EQ(run_tile_accounts(
                  tile_args(*root_, west,
                            {"--forest", "50:10:1", "--connectivity", "4", "--part", "0-39:0-6"}))
                  .exit_status,
              0);
    expect_years(table_rows(west / (TILE + "_forest.csv"), nullptr), 1, {0, 0}, {0, 0});
    ASSERT_EQ(run_tile_accounts(
                  tile_args(*root_, east,
                            {"--forest", "50:10:1", "--connectivity", "4", "--part", "0-39:7-39"}))
                  .exit_status,
              0);
    const double a = cells_m2(5, 14, 7, 14);
    expect_years(table_rows(east / (TILE + "_forest.csv"), nullptr), 1, {a, a},
                 {0, cells_m2(5, 6, 7, 14)});
}

TEST_F(ForestAccounts, AZoneCountsItsShareOfPatchesMeasuredWhole) {
    // The zone takes columns 0-6 whole and half of column 7: 25 of A's
    // cells, under a hectare, yet all of A is forest.
    const fs::path dir = scratch_dir("forest_zone");
    write_zone(dir / "zone.geojson", 0, 0, 7.5, N);
    const fs::path accounts = dir / "accounts";
    const ProgramResult result =
        run_tile_accounts(tile_args(*root_, accounts,
                                    {"--forest", "50:10:1", "--zones",
                                     (dir / "zone.geojson").string(), "--zone-field", "name"}));
    ASSERT_EQ(result.exit_status, 0) << result.out;
    std::string header;
    const auto rows = table_rows(accounts / (TILE + "_zone_forest.csv"), &header);
    EXPECT_EQ(header, "tile_id,zone,year,forest_ha,forest_loss_ha");
    auto share = [](int c) { return c < 7 ? 1.0 : c == 7 ? 0.5 : 0.0; };
    const double in_zone = cells_m2(5, 14, 5, 7, share);
    expect_years(rows, 2, {in_zone, in_zone}, {0, cells_m2(5, 6, 5, 7, share)});
    EXPECT_EQ(rows[0][1], "west");

    // A later run without --zones, then without --forest, leaves no table
    // of a request it was not given.
    ASSERT_EQ(run_tile_accounts(tile_args(*root_, accounts, {"--forest", "50:10:1"})).exit_status,
              0);
    EXPECT_EQ(file_names(accounts),
              (std::vector<std::string>{TILE + "_accounts.csv", TILE + "_forest.csv"}));
    ASSERT_EQ(run_tile_accounts(tile_args(*root_, accounts, {})).exit_status, 0);
    EXPECT_EQ(file_names(accounts), std::vector<std::string>{TILE + "_accounts.csv"});
}

TEST_F(ForestAccounts, EdgesHoldWhatThePartLeavesUndecidedAndTheStateAlongItsEdge) {
    // The west part, columns 0-6, holds 20 cells of A: under a hectare and
    // on the part's edge (column 6), so undecided, with 2001's loss on rows
    // 5-6. The east part, columns 7-39, holds A's other 80 cells: forest
    // inside the part whatever lies beyond.
    const fs::path dir = scratch_dir("forest_edges");
    write_zone(dir / "zone.geojson", 0, 0, 5.5, N);  // columns 0-4 and half of 5
    const fs::path west = dir / "west", east = dir / "east", plain = dir / "plain";
    const std::vector<std::string> common = {"--forest",       "50:10:1",
                                             "--connectivity", "4",
                                             "--zones",        (dir / "zone.geojson").string(),
                                             "--zone-field",   "name"};
    auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.begin(), common.begin(), common.end());
        return extra;
    };
    ASSERT_EQ(
        run_tile_accounts(tile_args(*root_, west, with({"--part", "0-39:0-6", "--forest-edges"})))
            .exit_status,
        0);
    ASSERT_EQ(
        run_tile_accounts(tile_args(*root_, east, with({"--part", "0-39:7-39", "--forest-edges"})))
            .exit_status,
        0);
    ASSERT_EQ(run_tile_accounts(tile_args(*root_, plain, with({"--part", "0-39:0-6"}))).exit_status,
              0);
    // The tables do not change with the edges written beside them.
    for (const std::string& table :
         {TILE + "_forest.csv", TILE + "_zone_forest.csv", TILE + "_accounts.csv"}) {
        EXPECT_EQ(read_file(west / table), read_file(plain / table)) << table;
    }
    const TileForestEdges w = parse_forest_edges(read_file(west / (TILE + "_forest_edges.txt")));
    EXPECT_EQ(w.tile_id, TILE);
    EXPECT_EQ(w.part, "0-39:0-6");
    EXPECT_EQ(w.connectivity, 4);
    ASSERT_EQ(w.years.size(), 2u);
    for (int y = 0; y < 2; ++y) {
        SCOPED_TRACE(2000 + y);
        ASSERT_EQ(w.years[y].patches.size(), 1u);
        const EdgePatch& patch = w.years[y].patches[0];
        EXPECT_EQ(patch.id, 1u);
        EXPECT_NEAR(patch.area_m2, cells_m2(5, 14, 5, 6), 1e-6);
        // Only a patch of 2000 carries loss: that of 2001 on rows 5-6.
        EXPECT_EQ(patch.loss_m2.size(), y == 0 ? 2u : 0u);
        if (y == 0) {
            EXPECT_EQ(patch.loss_m2[0], 0.0);
            EXPECT_NEAR(patch.loss_m2[1], cells_m2(5, 6, 5, 6), 1e-6);
        }
        // Half of column 5 lies in the zone; column 6 not at all.
        ASSERT_EQ(patch.zones.size(), 1u);
        EXPECT_EQ(w.zone_names[patch.zones[0].zone], "west");
        EXPECT_NEAR(patch.zones[0].forest_m2, cells_m2(5, 14, 5, 5) / 2, 1e-6);
        // Along the edge, in its order: the state of each pixel, the patch
        // where it meets column 6, nothing else canopy.
        std::string error;
        const auto part = TilePart::parse("0-39:0-6", N, N, error);
        const std::vector<TilePixel> border = part_border_pixels(*part);
        std::vector<int32_t> states;
        for (const auto& [count, state] : w.years[y].border_runs)
            states.insert(states.end(), count, state);
        ASSERT_EQ(states.size(), border.size());
        for (std::size_t k = 0; k < border.size(); ++k) {
            const TilePixel& p = border[k];
            const bool in_a = p.row >= 5 && p.row <= 14 && p.column >= 5;
            EXPECT_EQ(states[k], in_a ? 1 : EDGE_NOT_CANOPY) << p.row << " " << p.column;
        }
    }
    // East: A is decided, so no undecided patch of A; the edge pixels on
    // A's column 7 are forest. B (columns 20-29) lies inside, away from it.
    const TileForestEdges e = parse_forest_edges(read_file(east / (TILE + "_forest_edges.txt")));
    std::string error;
    const std::vector<TilePixel> border =
        part_border_pixels(*TilePart::parse("0-39:7-39", N, N, error));
    std::vector<int32_t> states;
    for (const auto& [count, state] : e.years[0].border_runs)
        states.insert(states.end(), count, state);
    ASSERT_EQ(states.size(), border.size());
    EXPECT_TRUE(e.years[0].patches.empty());
    for (std::size_t k = 0; k < border.size(); ++k) {
        const TilePixel& p = border[k];
        const bool in_a = p.row >= 5 && p.row <= 14 && p.column <= 14;
        EXPECT_EQ(states[k], in_a ? EDGE_FOREST : EDGE_NOT_CANOPY) << p.row << " " << p.column;
    }
    // A run without the flag removes an earlier edges file; the flag alone
    // is a wrong call.
    ASSERT_EQ(run_tile_accounts(tile_args(*root_, west, with({"--part", "0-39:0-6"}))).exit_status,
              0);
    EXPECT_FALSE(fs::exists(west / (TILE + "_forest_edges.txt")));
    EXPECT_EQ(run_tile_accounts(tile_args(*root_, dir / "none", {"--forest-edges"})).exit_status,
              2);
    EXPECT_EQ(run_tile_accounts(
                  tile_args(*root_, dir / "none", {"--forest", "50:10:1", "--forest-edges=yes"}))
                  .exit_status,
              2);
    EXPECT_FALSE(fs::exists(dir / "none"));
}

TEST_F(ForestAccounts, RefusesABadDefinitionOrConnectivity) {
    for (const char* definition : {"10:5", "10:5:-1", "101:5:1", "10:x:1", "10:5:0.5:1"}) {
        SCOPED_TRACE(definition);
        const fs::path accounts = scratch_dir("forest_refused") / "accounts";
        const ProgramResult result =
            run_tile_accounts(tile_args(*root_, accounts, {"--forest", definition}));
        EXPECT_EQ(result.exit_status, 1) << result.out;
        EXPECT_EQ(result.out.rfind("tile_accounts: --forest", 0), 0u) << result.out;
        EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
        EXPECT_FALSE(fs::exists(accounts) && !fs::is_empty(accounts));
    }
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--connectivity", "4"},
          std::vector<std::string>{"--forest", "10:5:1", "--connectivity", "6"},
          std::vector<std::string>{"--forest", "10:5:1", "--connectivity", "8", "--connectivity",
                                   "8"}}) {
        const fs::path accounts = scratch_dir("forest_wrong_call") / "accounts";
        const ProgramResult result = run_tile_accounts(tile_args(*root_, accounts, options));
        EXPECT_EQ(result.exit_status, 2) << result.out;
        EXPECT_FALSE(fs::exists(accounts));
    }
}

}  // namespace
}  // namespace pt::e2e
