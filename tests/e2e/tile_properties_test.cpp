// Whole-tile properties of the products of a generated tile, checked against
// its input layers: what the filter guarantees for every pixel, and that the
// bytes depend on nothing but the inputs (not the origin, not the CPU count).
#include <gtest/gtest.h>

#include "e2e_support.hpp"

namespace pt::e2e {
namespace {

constexpr int LAST_YEAR = 2004;
constexpr int PIXELS = TILE_SIZE * TILE_SIZE;

class TileProperties : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root_ = new fs::path(scratch_dir("properties"));
        tile_ = new GeneratedTile(generate_tile(*root_ / "tile", "p3", LAST_YEAR, 23));
        fs::create_directories(out());
        const ProgramResult r = run_program(PT_PROCESS_TILE, tile_arguments(*tile_, out()));
        ASSERT_EQ(r.exit_status, 0) << r.out;
        ASSERT_EQ(r.out, "");
    }
    static void TearDownTestSuite() {
        delete tile_;
        delete root_;
    }
    static fs::path out() { return *root_ / "out"; }
    static fs::path product(const char* token, int year) {
        return out() / (std::string(token) + "_" + std::to_string(year) + "_p3.img");
    }
    static fs::path input(const char* token, int year) {
        return tile_->input_dir() / "p3" /
               ("p3_" + std::string(token) + "_" + std::to_string(year) + ".tif");
    }
    static fs::path* root_;
    static GeneratedTile* tile_;
};
fs::path* TileProperties::root_ = nullptr;
GeneratedTile* TileProperties::tile_ = nullptr;

TEST_F(TileProperties, CoverAndHeightOnlyInsideTheDatamask) {
    const auto datamask = read_band(tile_->datamask_dir() / "p3_datamask.tif");
    long inside = 0, covered = 0;
    for (int year = FIRST_OUTPUT_YEAR; year <= LAST_YEAR; ++year) {
        const auto tcc = read_band(product("TCC", year));
        const auto tch = read_band(product("TCH", year));
        ASSERT_EQ(tcc.size(), static_cast<size_t>(PIXELS));
        for (int i = 0; i < PIXELS; ++i) {
            if (datamask[i] != 1) {
                ASSERT_EQ(tcc[i], 0) << "year " << year << " pixel " << i;
                ASSERT_EQ(tch[i], 0) << "year " << year << " pixel " << i;
            } else {
                ++inside;
                ASSERT_LE(tcc[i], 100) << "year " << year << " pixel " << i;
                // No canopy, no height, except in the last year, whose rule may
                // carry the year before's height when the trend does not settle.
                if (tcc[i] == 0 && year < LAST_YEAR) {
                    ASSERT_EQ(tch[i], 0) << "year " << year << " pixel " << i;
                }
                covered += tcc[i] != 0;
            }
        }
    }
    // The generated tile must actually exercise the filter.
    EXPECT_GT(inside, PIXELS);
    EXPECT_GT(covered, inside / 2);
}

TEST_F(TileProperties, LossIsTheThinnedInputEverywhere) {
    // A retained loss (byte 1) silences the next three years, whatever they
    // hold; other bytes never start a silence.
    std::vector<std::vector<unsigned char>> input_loss, output_loss;
    for (int year = FIRST_OUTPUT_YEAR; year <= LAST_YEAR; ++year) {
        input_loss.push_back(read_band(input("loss", year)));
        output_loss.push_back(read_band(product("Loss", year)));
    }
    long retained = 0, cleared = 0;
    for (int i = 0; i < PIXELS; ++i) {
        int countdown = 0;
        for (size_t y = 0; y < input_loss.size(); ++y) {
            unsigned char expected = input_loss[y][i];
            if (expected == 1 && countdown == 0) {
                countdown = 3;
                ++retained;
            } else if (countdown > 0) {
                --countdown;
                cleared += expected != 0;
                expected = 0;
            }
            ASSERT_EQ(output_loss[y][i], expected) << "year " << 2000 + y << " pixel " << i;
        }
        // No retained loss within three years of another.
        for (size_t y = 0; y < output_loss.size(); ++y) {
            if (output_loss[y][i] != 1) continue;
            for (size_t k = y + 1; k < output_loss.size() && k <= y + 3; ++k) {
                ASSERT_EQ(output_loss[k][i], 0) << "pixel " << i;
            }
        }
    }
    EXPECT_GT(retained, 1000);
    EXPECT_GT(cleared, 100);  // repeated loss in the input really was thinned
}

TEST_F(TileProperties, BytesDependOnlyOnTheInputs) {
    // Another origin, and a single CPU instead of all: the same pixel bytes.
    const fs::path other = *root_ / "one_cpu";
    fs::create_directories(other);
    std::vector<std::string> args = {"-c", "0", PT_PROCESS_TILE};
    for (const auto& a : tile_arguments(*tile_, other, 100.0, -20.0)) args.push_back(a);
    const ProgramResult r = run_program("/usr/bin/taskset", args);
    ASSERT_EQ(r.exit_status, 0) << r.out;
    ASSERT_EQ(file_names(other), file_names(out()));
    for (const auto& name : file_names(out())) {
        EXPECT_EQ(read_band(other / name), read_band(out() / name)) << name;
    }
}

}  // namespace
}  // namespace pt::e2e
