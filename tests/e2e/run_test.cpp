// The program as a user meets it: its command line, its failure lines and
// exit status, and the set and geometry of the products it writes.
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogr_spatialref.h>

#include <fstream>

#include "e2e_support.hpp"

namespace pt::e2e {
namespace {

// One generated full-size tile (last year 2001) shared by the tests here.
class RunTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tile_ = new GeneratedTile(generate_tile(scratch_dir("run_tile"), "t7", 2001, 11));
    }
    static void TearDownTestSuite() { delete tile_; }
    static GeneratedTile* tile_;

    static ProgramResult run(const std::vector<std::string>& args) {
        return run_program(PT_PROCESS_TILE, args);
    }
};
GeneratedTile* RunTest::tile_ = nullptr;

TEST_F(RunTest, WrongArgumentCountIsRefusedBeforeAnyFile) {
    const fs::path out = scratch_dir("wrong_call");
    std::vector<std::string> eight = tile_arguments(*tile_, out);
    std::vector<std::string> seven(eight.begin(), eight.end() - 1);
    std::vector<std::string> nine = eight;
    nine.push_back("extra");
    for (const auto& args : {std::vector<std::string>{}, seven, nine}) {
        const ProgramResult r = run(args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, "wrong call\n");
    }
    EXPECT_TRUE(file_names(out).empty());
}

TEST_F(RunTest, LastYearOutsideTheFilterRangeIsRefusedBeforeAnyFile) {
    // Directories that do not exist: a refusal must come before any open,
    // so the line must not be a "not found".
    for (const std::string year : {"1999", "0", "abc", "2061", "9999"}) {
        const ProgramResult r = run({"t7", year, "/nonexistent/in", "/nonexistent/out", "0", "0",
                                     "/nonexistent/dm", "/nonexistent/wm"});
        EXPECT_EQ(r.exit_status, 1) << year;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        EXPECT_NE(r.out.find("last_year"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("not found"), std::string::npos) << r.out;
    }
}

// A layer that is there but no GeoTIFF: only reading it shows that.
void damage(const fs::path& layer) {
    fs::remove(layer);
    std::ofstream(layer) << "not a GeoTIFF";
}

TEST_F(RunTest, FirstMissingLayerInReadOrderIsNamedAndNothingIsWritten) {
    struct Case {
        std::vector<std::string> removed;  // relative to the tile root
        std::string named;                 // the layer the message must name
        // Layers damaged inside: a missing layer is found before any layer
        // is read, so these, read earlier, do not come first.
        std::vector<std::string> damaged = {};
        std::string last_year = "2001";
    };
    const std::vector<Case> cases = {
        {{"datamask/t7_datamask.tif", "wetland/t7_wetlandmask.tif"}, "datamask/t7_datamask.tif"},
        {{"wetland/t7_wetlandmask.tif"}, "wetland/t7_wetlandmask.tif"},
        // 1998 cover comes before every 2000 layer.
        {{"input/t7/t7_TCC_1998.tif", "input/t7/t7_loss_2000.tif"}, "input/t7/t7_TCC_1998.tif"},
        // Within a year: cover, then loss, then height.
        {{"input/t7/t7_loss_2001.tif", "input/t7/t7_TCH_2001.tif"}, "input/t7/t7_loss_2001.tif"},
        {{"input/t7/t7_TCH_2001.tif"}, "input/t7/t7_TCH_2001.tif"},
        {{"input/t7/t7_TCH_2001.tif"}, "input/t7/t7_TCH_2001.tif", {"datamask/t7_datamask.tif"}},
        // A last year one past the inputs.
        {{}, "input/t7/t7_TCC_2002.tif", {"datamask/t7_datamask.tif"}, "2002"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.named);
        const fs::path root = scratch_dir("missing_" + std::to_string(index++));
        const GeneratedTile copy = link_tile(*tile_, root / "tile");
        for (const auto& name : c.removed) fs::remove(copy.root / name);
        for (const auto& name : c.damaged) damage(copy.root / name);
        const fs::path out = root / "out";
        fs::create_directories(out);
        std::vector<std::string> args = tile_arguments(copy, out);
        args[1] = c.last_year;
        const ProgramResult r = run(args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, (copy.root / c.named).string() + " not found\n");
        EXPECT_TRUE(file_names(out).empty());
    }
}

TEST_F(RunTest, LayerSmallerThanTheTileIsRefused) {
    const fs::path root = scratch_dir("small_layer");
    const GeneratedTile small = generate_tile(root / "small", "t7", 2000, 3, 1000);
    const GeneratedTile copy = link_tile(*tile_, root / "tile");
    const fs::path layer = copy.root / "input/t7/t7_TCH_2000.tif";
    fs::remove(layer);
    fs::create_symlink(small.root / "input/t7/t7_TCH_2000.tif", layer);
    const fs::path out = root / "out";
    fs::create_directories(out);
    const ProgramResult r = run(tile_arguments(copy, out));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out.rfind(layer.string() + " ", 0), 0u) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    EXPECT_TRUE(file_names(out).empty());
}

TEST_F(RunTest, MissingHfaDriverEndsTheRunBeforeAnyProductExists) {
    const fs::path out = scratch_dir("no_driver");
    // GDAL leaves out the drivers GDAL_SKIP names when it registers them.
    const ProgramResult r = run_program(PT_PROCESS_TILE, tile_arguments(*tile_, out),
                                        [] { setenv("GDAL_SKIP", "HFA", 1); });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "no driver\n");
    EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(RunTest, UnwritableOutputDirectoryFailsLoudly) {
    const fs::path root = scratch_dir("no_output_dir");
    std::ofstream(root / "a_file") << "not a directory";
    // A datamask damaged inside: the output directory is judged before any
    // layer is read, not after the whole tile was read and filtered.
    const GeneratedTile damaged = link_tile(*tile_, root / "damaged");
    damage(damaged.datamask_dir() / "t7_datamask.tif");
    for (const GeneratedTile* tile : {static_cast<const GeneratedTile*>(tile_), &damaged}) {
        for (const char* name : {"missing", "a_file"}) {
            SCOPED_TRACE(std::string(name) + (tile == tile_ ? "" : ", datamask damaged"));
            const ProgramResult r = run(tile_arguments(*tile, root / name));
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_EQ(r.out, (root / name).string() + "/TCC_2000_t7.img cannot be created\n");
        }
    }
}

TEST_F(RunTest, SuccessfulRunWritesGeoreferencedProductsSilently) {
    const fs::path out = scratch_dir("success");
    const ProgramResult r = run(tile_arguments(*tile_, out, -60.0, 10.0));
    ASSERT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");

    std::vector<std::string> expected;
    for (const char* product : {"Loss", "TCC", "TCH"}) {
        for (int year : {2000, 2001}) {
            expected.push_back(std::string(product) + "_" + std::to_string(year) + "_t7.img");
        }
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(file_names(out), expected);

    OGRSpatialReference wgs84;
    wgs84.SetWellKnownGeogCS("WGS84");
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);  // how GDAL reads file SRSs
    GDALAllRegister();
    for (const auto& name : expected) {
        GDALDataset* ds = GDALDataset::FromHandle(GDALOpen((out / name).c_str(), GA_ReadOnly));
        ASSERT_NE(ds, nullptr) << name;
        EXPECT_STREQ(ds->GetDriver()->GetDescription(), "HFA");
        EXPECT_EQ(ds->GetRasterXSize(), TILE_SIZE);
        EXPECT_EQ(ds->GetRasterYSize(), TILE_SIZE);
        EXPECT_EQ(ds->GetRasterCount(), 1);
        EXPECT_EQ(ds->GetRasterBand(1)->GetRasterDataType(), GDT_Byte);
        double gt[6];
        ASSERT_EQ(ds->GetGeoTransform(gt), CE_None);
        EXPECT_DOUBLE_EQ(gt[0], -60.0);
        EXPECT_DOUBLE_EQ(gt[1], 0.00025);
        EXPECT_DOUBLE_EQ(gt[2], 0.0);
        EXPECT_DOUBLE_EQ(gt[3], 10.0);
        EXPECT_DOUBLE_EQ(gt[4], 0.0);
        EXPECT_DOUBLE_EQ(gt[5], -0.00025);
        const OGRSpatialReference* srs = ds->GetSpatialRef();
        ASSERT_NE(srs, nullptr) << name;
        EXPECT_TRUE(srs->IsSame(&wgs84)) << name;
        EXPECT_STREQ(srs->GetAuthorityCode(nullptr), "4326") << name;
        int has_nodata = 0;
        ds->GetRasterBand(1)->GetNoDataValue(&has_nodata);
        EXPECT_FALSE(has_nodata) << name;
        GDALClose(GDALDataset::ToHandle(ds));
    }
}

TEST_F(RunTest, StandardErrorCarriesUsageAndProgressOnlyForAPerson) {
    const fs::path root = scratch_dir("stderr");
    auto quoted = [](const std::string& s) {
        std::string q(1, '\'');
        q.append(s).push_back('\'');
        return q;
    };
    std::string command = quoted(PT_PROCESS_TILE);
    for (const auto& a : tile_arguments(*tile_, root / "out"))
        command.append(" ").append(quoted(a));
    fs::create_directories(root / "out");

    // Unattended (standard error a file): nothing at all on either stream.
    const ProgramResult quiet =
        run_program("/bin/sh", {"-c", command + " 2>" + quoted((root / "err").string())});
    EXPECT_EQ(quiet.exit_status, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(fs::file_size(root / "err"), 0u);

    // A wrong call: the fixed line on standard output, the synopsis on standard error.
    const ProgramResult wrong = run_program(
        "/bin/sh",
        {"-c", quoted(PT_PROCESS_TILE) + " only_one 2>" + quoted((root / "usage").string())});
    EXPECT_EQ(wrong.exit_status, 1);
    EXPECT_EQ(wrong.out, "wrong call\n");
    std::ifstream usage(root / "usage");
    const std::string text((std::istreambuf_iterator<char>(usage)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ(text.rfind("Usage: process_tile tile_id last_year", 0), 0u) << text;

    // On a terminal: the three phases, each to 100 %. A container or chroot
    // without /dev/pts has no pseudo-terminal to give `script`, and then there
    // is no terminal to show progress on: skipped, not failed.
    if (run_program("/usr/bin/script", {"-qec", "true", "/dev/null"}).exit_status != 0) {
        GTEST_SKIP() << "no pseudo-terminal can be had here (script failed; is /dev/pts mounted?)";
    }
    const ProgramResult shown =
        run_program("/usr/bin/script", {"-qec", command + " >/dev/null", "/dev/null"});
    EXPECT_EQ(shown.exit_status, 0);
    for (const char* phase : {"reading    100%", "filtering  100%", "writing    100%"}) {
        EXPECT_NE(shown.out.find(phase), std::string::npos) << shown.out;
    }
}

TEST_F(RunTest, TrailingSlashesAreKeptAndStillWork) {
    const fs::path out = scratch_dir("slashes");
    std::vector<std::string> args = tile_arguments(*tile_, out);
    for (int i : {2, 3, 6, 7}) args[i] += "/";
    const ProgramResult r = run(args);
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(file_names(out).size(), 6u);
}

TEST_F(RunTest, LayerLargerThanTheTileContributesItsUpperLeftWindow) {
    const fs::path root = scratch_dir("large_layer");
    const GeneratedTile large = generate_tile(root / "large", "t7", 2000, 5, 4100);
    // The same layers cut to the tile's window must give the same products.
    const GeneratedTile cut = link_tile(large, root / "cut");
    GDALAllRegister();
    for (const auto& entry : fs::recursive_directory_iterator(cut.root)) {
        if (!entry.is_symlink()) continue;
        const fs::path target = fs::read_symlink(entry.path());
        fs::remove(entry.path());
        GDALDataset* src = GDALDataset::FromHandle(GDALOpen(target.c_str(), GA_ReadOnly));
        ASSERT_NE(src, nullptr);
        GDALDataset* dst = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
            entry.path().c_str(), TILE_SIZE, TILE_SIZE, 1, GDT_Byte, nullptr);
        ASSERT_NE(dst, nullptr);
        std::vector<unsigned char> window(static_cast<std::size_t>(TILE_SIZE) * TILE_SIZE);
        ASSERT_EQ(
            src->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, TILE_SIZE, TILE_SIZE, window.data(),
                                            TILE_SIZE, TILE_SIZE, GDT_Byte, 0, 0, nullptr),
            CE_None);
        ASSERT_EQ(
            dst->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, TILE_SIZE, TILE_SIZE, window.data(),
                                            TILE_SIZE, TILE_SIZE, GDT_Byte, 0, 0, nullptr),
            CE_None);
        GDALClose(GDALDataset::ToHandle(dst));
        GDALClose(GDALDataset::ToHandle(src));
    }
    const fs::path out_large = root / "out_large", out_cut = root / "out_cut";
    fs::create_directories(out_large);
    fs::create_directories(out_cut);
    ASSERT_EQ(run(tile_arguments(large, out_large)).exit_status, 0);
    ASSERT_EQ(run(tile_arguments(cut, out_cut)).exit_status, 0);
    for (const auto& name : file_names(out_cut)) {
        EXPECT_EQ(read_band(out_large / name), read_band(out_cut / name)) << name;
    }
}

}  // namespace
}  // namespace pt::e2e
