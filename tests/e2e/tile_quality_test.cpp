// tile_quality as a user runs it on a generated tile: which files it writes,
// their layout, georeferencing, bit names and mask, a table that counts its
// own rasters, and one line on standard error when it cannot run.
#include <gdal_priv.h>
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <sstream>

#include "app/quality_run.hpp"
#include "e2e_support.hpp"
#include "filter/quality_flags.hpp"
#include "io/quality_writer.hpp"

namespace pt::e2e {
namespace {

constexpr int LAST_YEAR = 2002;
const std::string TILE = "q5";

// Runs tile_quality with standard error in the captured output.
ProgramResult run_quality(const std::vector<std::string>& args, const std::string& path = "") {
    const std::string set_path = path.empty() ? "" : "PATH=" + path + " ";
    std::vector<std::string> sh = {"-c", set_path + "exec \"$0\" \"$@\" 2>&1", PT_TILE_QUALITY};
    sh.insert(sh.end(), args.begin(), args.end());
    return run_program("/bin/sh", sh);
}

std::string qa_name(int year) {
    return "QA_" + std::to_string(year) + "_" + TILE + ".tif";
}

// The generated tile under another id: links named for `id` to its files.
GeneratedTile relabel_tile(const GeneratedTile& tile, const fs::path& root, const std::string& id) {
    GeneratedTile copy{root, id, tile.last_year};
    fs::create_directories(copy.input_dir() / id);
    fs::create_directories(copy.datamask_dir());
    fs::create_directories(copy.wetland_dir());
    fs::create_symlink(tile.datamask_dir() / (tile.tile_id + "_datamask.tif"),
                       copy.datamask_dir() / (id + "_datamask.tif"));
    fs::create_symlink(tile.wetland_dir() / (tile.tile_id + "_wetlandmask.tif"),
                       copy.wetland_dir() / (id + "_wetlandmask.tif"));
    for (const auto& entry : fs::directory_iterator(tile.input_dir() / tile.tile_id)) {
        const std::string name = entry.path().filename().string();
        fs::create_symlink(entry.path(),
                           copy.input_dir() / id / (id + name.substr(tile.tile_id.size())));
    }
    return copy;
}

class TileQuality : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tile_ = new GeneratedTile(generate_tile(scratch_dir("quality_tile"), TILE, LAST_YEAR, 41));
    }
    static void TearDownTestSuite() { delete tile_; }
    static GeneratedTile* tile_;
};
GeneratedTile* TileQuality::tile_ = nullptr;

TEST_F(TileQuality, WritesCloudOptimisedRastersATableThatCountsThemAndAChart) {
    const fs::path out = scratch_dir("quality_out");
    const ProgramResult r = run_quality(tile_arguments(*tile_, out, -60.0, 10.0));
    ASSERT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(r.out, "");
    std::vector<std::string> expected_files;
    for (int year = FIRST_OUTPUT_YEAR; year <= LAST_YEAR; ++year)
        expected_files.push_back(qa_name(year));
    expected_files.push_back(TILE + "_quality.csv");
    expected_files.push_back(TILE + "_quality.png");
    std::sort(expected_files.begin(), expected_files.end());
    EXPECT_EQ(file_names(out), expected_files);

    const std::vector<unsigned char> datamask =
        read_band(tile_->datamask_dir() / (TILE + "_datamask.tif"));
    uint64_t filtered = 0;
    for (unsigned char m : datamask) filtered += m == 1;
    ASSERT_LT(filtered, datamask.size()) << "the mask test needs pixels outside the datamask";

    std::ifstream csv(out / (TILE + "_quality.csv"));
    std::string line;
    ASSERT_TRUE(std::getline(csv, line));
    EXPECT_EQ(line, quality_table_header());
    GDALAllRegister();
    for (int year = FIRST_OUTPUT_YEAR; year <= LAST_YEAR; ++year) {
        SCOPED_TRACE(year);
        const fs::path raster = out / qa_name(year);
        GDALDataset* ds = GDALDataset::FromHandle(GDALOpen(raster.c_str(), GA_ReadOnly));
        ASSERT_NE(ds, nullptr);
        EXPECT_STREQ(ds->GetDriver()->GetDescription(), "GTiff");
        EXPECT_STREQ(ds->GetMetadataItem("LAYOUT", "IMAGE_STRUCTURE"), "COG");
        EXPECT_STREQ(ds->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE"), "DEFLATE");
        std::array<double, 6> transform{};
        ASSERT_EQ(ds->GetGeoTransform(transform.data()), CE_None);
        EXPECT_EQ(transform,
                  (std::array<double, 6>{-60.0, PIXEL_SIZE, 0.0, 10.0, 0.0, -PIXEL_SIZE}));
        const OGRSpatialReference* reference = ds->GetSpatialRef();
        ASSERT_NE(reference, nullptr);
        EXPECT_EQ(reference->GetEPSGGeogCS(), 4326);
        GDALRasterBand* band = ds->GetRasterBand(1);
        EXPECT_EQ(band->GetRasterDataType(), GDT_Byte);
        // The band names its bits, and its mask, inside the file, is valid
        // exactly on the datamask: elsewhere a 0 is no data, not "nothing
        // changed".
        for (int bit = 0; bit < QA_BIT_COUNT; ++bit) {
            const char* name = band->GetMetadataItem(quality_flag_item(bit).c_str());
            EXPECT_EQ(name == nullptr ? "(none)" : name, QA_BIT_NAMES[bit]) << "bit " << bit;
        }
        EXPECT_EQ(band->GetMaskFlags(), GMF_PER_DATASET);
        std::vector<unsigned char> valid(datamask.size());
        ASSERT_EQ(band->GetMaskBand()->RasterIO(GF_Read, 0, 0, TILE_SIZE, TILE_SIZE, valid.data(),
                                                TILE_SIZE, TILE_SIZE, GDT_Byte, 0, 0, nullptr),
                  CE_None);
        uint64_t mask_wrong = 0;
        for (std::size_t i = 0; i < valid.size(); ++i)
            mask_wrong += valid[i] != (datamask[i] == 1 ? 255 : 0);
        EXPECT_EQ(mask_wrong, 0u);
        GDALClose(GDALDataset::ToHandle(ds));

        // The table's line of the year: the population counts of the raster.
        const std::vector<unsigned char> flags = read_band(raster);
        std::array<uint64_t, QA_BIT_COUNT> bits{};
        uint64_t flagged_outside = 0;
        for (std::size_t i = 0; i < flags.size(); ++i) {
            flagged_outside += datamask[i] != 1 && flags[i] != 0;
            for (int bit = 0; bit < QA_BIT_COUNT; ++bit) bits[bit] += flags[i] >> bit & 1;
        }
        EXPECT_EQ(flagged_outside, 0u);
        ASSERT_TRUE(std::getline(csv, line));
        std::istringstream cells(line);
        std::vector<uint64_t> values;
        for (std::string cell; std::getline(cells, cell, ',');) values.push_back(std::stoull(cell));
        ASSERT_EQ(values.size(), 13u) << line;
        EXPECT_EQ(values[0], static_cast<uint64_t>(year));
        EXPECT_EQ(values[1], filtered);
        for (int bit = 0; bit < QA_BIT_COUNT; ++bit) {
            EXPECT_EQ(values[2 + bit], bits[bit]) << QA_BIT_NAMES[bit];
        }
        EXPECT_GT(values[2], 0u) << "a generated tile has invalid cover bytes every year";
    }
    EXPECT_FALSE(std::getline(csv, line)) << "a line after the last year: " << line;

    EXPECT_TRUE(whole_png(read_file(out / (TILE + "_quality.png"))));
}

// A tile id that begins with a quote and holds every character gnuplot's
// syntax gives a meaning to: the chart is drawn under it all the same.
TEST_F(TileQuality, AnyTileIdMakesTheChartsTitle) {
    const fs::path root = scratch_dir("quality_odd_id");
    const std::string id = "'q\"5\\;@x$y`true`|<# \u00fc'";
    const GeneratedTile odd = relabel_tile(*tile_, root / "tile", id);
    fs::create_directories(root / "out");
    const ProgramResult r = run_quality(tile_arguments(odd, root / "out"));
    ASSERT_EQ(r.exit_status, 0) << r.out;
    EXPECT_TRUE(whole_png(read_file(root / "out" / (id + "_quality.png"))));
    EXPECT_TRUE(fs::exists(root / "out" / (id + "_quality.csv")));
}

TEST_F(TileQuality, RefusesOnOneLineOnStandardErrorAndLeavesNothing) {
    const fs::path root = scratch_dir("quality_faults");
    // A datamask damaged inside, which only reading shows: a missing layer
    // and a missing quality directory are found before any layer is read.
    const auto damage_datamask = [](const GeneratedTile& tile) {
        const fs::path datamask = tile.datamask_dir() / (TILE + "_datamask.tif");
        fs::remove(datamask);
        std::ofstream(datamask) << "not a GeoTIFF";
    };
    const GeneratedTile cut = link_tile(*tile_, root / "cut");
    fs::remove(cut.input_dir() / TILE / (TILE + "_TCC_2001.tif"));
    damage_datamask(cut);
    const GeneratedTile damaged = link_tile(*tile_, root / "damaged");
    damage_datamask(damaged);
    fs::create_directories(root / "out");
    std::ofstream(root / "a_file") << "a file where the quality directory should be";
    struct Fault {
        std::vector<std::string> args;
        std::string line;
    };
    std::vector<std::string> empty_dir = tile_arguments(*tile_, root / "out");
    empty_dir[3] = "";
    const std::vector<Fault> faults = {
        {tile_arguments(cut, root / "out"),
         (cut.input_dir() / TILE / (TILE + "_TCC_2001.tif")).string() + " not found\n"},
        {tile_arguments(*tile_, root / "absent"),
         (root / "absent").string() + " is not an existing directory\n"},
        {tile_arguments(damaged, root / "absent"),
         (root / "absent").string() + " is not an existing directory\n"},
        {tile_arguments(*tile_, root / "a_file"),
         (root / "a_file").string() + " is not an existing directory\n"},
        {empty_dir, "quality_dir is empty\n"},
    };
    for (const Fault& fault : faults) {
        const ProgramResult r = run_quality(fault.args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, fault.line);
    }
    // Without gnuplot there is no chart, and so no quality file at all.
    const ProgramResult no_gnuplot =
        run_quality(tile_arguments(*tile_, root / "out"), "/nonexistent");
    EXPECT_EQ(no_gnuplot.exit_status, 1);
    EXPECT_EQ(no_gnuplot.out, (root / "out" / (TILE + "_quality.png")).string() +
                                  " cannot be drawn: gnuplot cannot be started\n");
    EXPECT_TRUE(fs::is_empty(root / "out"));
    EXPECT_FALSE(fs::exists(root / "absent"));

    const ProgramResult wrong = run_quality({"only", "two"});
    EXPECT_EQ(wrong.exit_status, 1);
    EXPECT_EQ(wrong.out.substr(0, wrong.out.find('\n')), "wrong call");
    EXPECT_NE(wrong.out.find("Usage: tile_quality tile_id last_year input_dir quality_dir"),
              std::string::npos);
}

}  // namespace
}  // namespace pt::e2e
