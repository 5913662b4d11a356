// The run's command line, the names and order of the files it reads and
// writes, checked without touching any file, and the tile memory, also as
// the batch scripts plan with it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "app/quality_run.hpp"
#include "app/run.hpp"
#include "io/input_layers.hpp"
#include "io/product_writer.hpp"
#include "tile/tile.hpp"

namespace pt {
namespace {

TEST(RunArguments, ConvertsLikeTheCLibrary) {
    const char* argv[] = {"process_tile", "t7",   " 2005\t", "in", "out",
                          "-60.5 ",       "+1e1", "dm/",     "wm"};
    const RunArguments args = parse_arguments(9, argv);
    EXPECT_EQ(args.tile_id, "t7");
    EXPECT_EQ(args.last_year, 2005);  // white space around a number is passed over
    EXPECT_EQ(args.input_dir, "in");
    EXPECT_EQ(args.output_dir, "out");
    EXPECT_DOUBLE_EQ(args.origin_x, -60.5);
    EXPECT_DOUBLE_EQ(args.origin_y, 10.0);
    EXPECT_EQ(args.datamask_dir, "dm/");  // used unchanged
    EXPECT_EQ(args.wetland_dir, "wm");
}

// atoi and atof read the number a text begins with and drop the rest: a
// typo would run the tile at another place or year with status 0. A number
// is taken only whole; every one taken has atof's value to the bit, so no
// run that was right changes.
TEST(RunArguments, NumbersAreTakenOnlyWholeAndThenAsAtofReadsThem) {
    auto origin_x = [](const char* text) {
        const char* argv[] = {"process_tile", "t7", "2001", "in", "out", text, "0", "dm", "wm"};
        return parse_arguments(9, argv).origin_x;
    };
    for (const char* text : {"-60", " 12.5 ", "+.5", "5.", "-0", "1e1", "1E-3", "0x1p3", "0X1A",
                             "1e-400", "1e400", "inf", "-Infinity", "nan", "\t359.99975\n"}) {
        const double read = origin_x(text);
        const double expected = std::atof(text);
        EXPECT_EQ(std::memcmp(&read, &expected, sizeof read), 0) << text;
    }
    struct Refused {
        std::size_t position;  // in argv
        const char* text;
        const char* line;
    };
    const Refused refused[] = {
        {5, "abc", "origin_x abc is not a number"},
        {5, "12abc", "origin_x 12abc is not a number"},
        {5, "4O", "origin_x 4O is not a number"},
        {5, "1,5", "origin_x 1,5 is not a number"},
        {5, " 1 2 ", "origin_x 1 2 is not a number"},
        {5, "0x", "origin_x 0x is not a number"},
        {5, "", "origin_x is empty"},
        {6, " \t", "origin_y is empty"},
        {6, "10N", "origin_y 10N is not a number"},
        {2, "2001abc", "last_year 2001abc is not a whole number"},
        {2, "2001.9", "last_year 2001.9 is not a whole number"},
        {2, "2e3", "last_year 2e3 is not a whole number"},
        {2, "0x7D1", "last_year 0x7D1 is not a whole number"},
        {2, "+", "last_year + is not a whole number"},
        {2, "", "last_year is empty"},
        // Wholly a number, but not one an int holds: refused as before.
        {2, " 99999999999999999999 ", "last_year 99999999999999999999 is outside 2000 to 2060"},
    };
    for (const Refused& r : refused) {
        const char* argv[] = {"process_tile", "t7", "2001", "in", "out", "0", "0", "dm", "wm"};
        argv[r.position] = r.text;
        try {
            parse_arguments(9, argv);
            ADD_FAILURE() << r.text << " accepted";
        } catch (const RunFailure& failure) {
            EXPECT_STREQ(failure.what(), r.line);
        }
    }
}

TEST(RunArguments, AnyOtherCountIsAWrongCall) {
    const char* argv[] = {"process_tile", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
    for (int argc : {1, 8, 10}) {
        try {
            parse_arguments(argc, argv);
            ADD_FAILURE() << argc;
        } catch (const RunFailure& failure) {
            EXPECT_STREQ(failure.what(), "wrong call");
        }
    }
}

// Arguments every check accepts, for changing one at a time.
RunArguments acceptable_arguments() {
    RunArguments args;
    args.tile_id = "t7";
    args.last_year = 2001;
    args.output_dir = "out";
    args.origin_x = -60.0;
    args.origin_y = 10.0;
    return args;
}

TEST(RunArguments, LastYearMustLieInTheFilterRange) {
    RunArguments args = acceptable_arguments();
    for (int year : {0, 1999, MAX_LAST_YEAR + 1, 9999}) {
        args.last_year = year;
        EXPECT_THROW(check_run_arguments(args), RunFailure) << year;
    }
    for (int year : {2000, 2020, MAX_LAST_YEAR}) {
        args.last_year = year;
        EXPECT_NO_THROW(check_run_arguments(args)) << year;
    }
}

TEST(RunArguments, LastYearConvertsAsAtoiUnlessItOverflows) {
    // Within int the reading is atoi's, to the digit.
    for (const char* text : {"2020", " 2005xyz", "+2001", "-7", "abc", "", "\t\n 12", "2147483647",
                             "-2147483648", "00002010", "20 20"}) {
        EXPECT_EQ(convert_last_year(text), std::atoi(text)) << text;
    }
    // Outside it atoi would wrap; these are refused instead.
    for (const char* text : {"4294969297", "2147483648", "-2147483649", "99999999999999999999",
                             " +100000000000000000000000000000000000000001"}) {
        EXPECT_EQ(convert_last_year(text), std::nullopt) << text;
    }
    const char* argv[] = {"process_tile", "t7", "4294969297", "in", "out", "0", "0", "dm", "wm"};
    try {
        parse_arguments(9, argv);
        ADD_FAILURE() << "4294969297 accepted";
    } catch (const RunFailure& failure) {
        EXPECT_STREQ(failure.what(), "last_year 4294969297 is outside 2000 to 2060");
    }
}

TEST(RunArguments, OriginsMustBeFiniteAndOnTheGlobe) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double x, y;
        bool accepted;
    };
    const Case cases[] = {
        {-180, 90, true},      {360, -90, true},     {0, 0, true},        {-60.5, 10.25, true},
        {-180.0001, 0, false}, {360.0001, 0, false}, {0, 90.0001, false}, {0, -90.0001, false},
        {nan, 0, false},       {0, nan, false},      {inf, 0, false},     {0, -inf, false},
        {1e20, 0, false},      {-1e308, 0, false},
    };
    for (const Case& c : cases) {
        RunArguments args = acceptable_arguments();
        args.origin_x = c.x;
        args.origin_y = c.y;
        if (c.accepted) {
            EXPECT_NO_THROW(check_run_arguments(args)) << c.x << " " << c.y;
        } else {
            EXPECT_THROW(check_run_arguments(args), RunFailure) << c.x << " " << c.y;
        }
    }
}

TEST(RunArguments, TileIdAndOutputDirectoryMustKeepProductsInPlace) {
    for (const char* tile_id :
         {"", "a/b", "/", ".", "..", "t7\n", "t\x1b[0m", "t\x7f", "t\xc2\x85"}) {
        RunArguments args = acceptable_arguments();
        args.tile_id = tile_id;
        EXPECT_THROW(check_run_arguments(args), RunFailure) << tile_id;
    }
    // Dots, dashes, blanks and UTF-8 letters stay in one file name.
    for (const char* tile_id : {"...", "..t7", "40N_080W", "tile 7", "t-7.x", "b\xc3\xa4r"}) {
        RunArguments args = acceptable_arguments();
        args.tile_id = tile_id;
        EXPECT_NO_THROW(check_run_arguments(args)) << tile_id;
    }
    RunArguments args = acceptable_arguments();
    args.output_dir = "";
    EXPECT_THROW(check_run_arguments(args), RunFailure);
}

TEST(InputLayerPlan, NamesAndReadOrder) {
    TileMemory tile(year_count_for(2001), 3, 2);
    const auto plan = input_layer_plan({"t7", "src", "masks", "wet/"}, 2001, tile);
    const std::vector<std::string> expected = {
        "masks/t7_datamask.tif",   "wet//t7_wetlandmask.tif", "src/t7/t7_TCC_1997.tif",
        "src/t7/t7_TCC_1998.tif",  "src/t7/t7_TCC_1999.tif",  "src/t7/t7_TCC_2000.tif",
        "src/t7/t7_loss_2000.tif", "src/t7/t7_TCH_2000.tif",  "src/t7/t7_TCC_2001.tif",
        "src/t7/t7_loss_2001.tif", "src/t7/t7_TCH_2001.tif"};
    ASSERT_EQ(plan.size(), expected.size());
    for (size_t i = 0; i < plan.size(); ++i) EXPECT_EQ(plan[i].path, expected[i]) << i;
    // Each layer lands in its own place in tile memory.
    EXPECT_EQ(plan[0].destination, tile.datamask.data);
    EXPECT_EQ(plan[1].destination, tile.wetland_mask.data);
    EXPECT_EQ(plan[2].destination, tile.cover_cube.layer(0));
    EXPECT_EQ(plan[8].destination, tile.cover_cube.layer(4));
    EXPECT_EQ(plan[9].destination, tile.loss_cube.layer(4));
    EXPECT_EQ(plan[10].destination, tile.height_cube.layer(4));
}

TEST(ProductPlan, NamesOrderAndSources) {
    TileMemory tile(year_count_for(2002), 3, 2);
    const auto plan = product_plan({"products", "t7"}, 2002, tile);
    ASSERT_EQ(plan.size(), 9u);
    EXPECT_EQ(plan[0].path, "products/TCC_2000_t7.img");
    EXPECT_EQ(plan[1].path, "products/TCH_2000_t7.img");
    EXPECT_EQ(plan[2].path, "products/Loss_2000_t7.img");
    EXPECT_EQ(plan[8].path, "products/Loss_2002_t7.img");
    EXPECT_EQ(plan[0].source, tile.cover_out.layer(3));
    EXPECT_EQ(plan[4].source, tile.height_out.layer(4));
    EXPECT_EQ(plan[8].source, tile.loss_out.layer(5));
}

TEST(ProductGeoreference, NorthUpPixelsOfTheFixedSize) {
    const auto gt = product_geotransform(-60.0, 10.0);
    EXPECT_EQ(gt, (std::array<double, 6>{-60.0, 0.00025, 0.0, 10.0, 0.0, -0.00025}));
    // The far corner of the tile: 4004 pixels of 0.00025 degrees.
    EXPECT_NEAR(gt[0] + TILE_SIZE * gt[1], -58.999, 1e-9);
    EXPECT_NEAR(gt[3] + TILE_SIZE * gt[5], 8.999, 1e-9);
    EXPECT_NE(wgs84_wkt().find("WGS 84"), std::string::npos);
}

TEST(TileMemory, CubesStartZeroAndDoNotOverlap) {
    TileMemory tile(5, 7, 3);
    EXPECT_EQ(TileMemory::bytes_needed(5, 7, 3), 6u * 5 * 21 + 2u * 21);
    const YearCube cubes[] = {tile.loss_cube, tile.cover_cube, tile.height_cube,
                              tile.loss_out,  tile.cover_out,  tile.height_out};
    for (const YearCube& cube : cubes) {
        for (int t = 0; t < 5; ++t)
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 7; ++c) {
                    EXPECT_EQ(cube.at(t, r, c), 0);
                    cube.at(t, r, c) = 1;  // a later cube still reads 0 if none overlap
                }
    }
    // A pixel's series walks one layer per year.
    tile.cover_cube.at(2, 1, 4) = 77;
    EXPECT_EQ(tile.cover_cube.series(1, 4)[2], 77);
}

// The batch layer (tilebatch/) plans and sizes jobs by its own copy
// of the run's facts, printed by its facts module: they must be the
// program's own, or the batch would plan, submit or size a run that
// process_tile refuses or that outgrows its request.
TEST(TileMemory, BatchLayerPlansWithTheProgramsFigures) {
    for (const int last_year : {MIN_LAST_YEAR, 2016, 2020, MAX_LAST_YEAR}) {
        const std::string command = std::string("cd '") + PT_SOURCE_DIR +
                                    "' && python3 -B -E -s -m tilebatch.facts " +
                                    std::to_string(last_year);
        std::FILE* python = popen(command.c_str(), "r");
        ASSERT_NE(python, nullptr);
        char line[256] = {};
        const bool read = std::fgets(line, sizeof line, python) != nullptr;
        EXPECT_EQ(pclose(python), 0) << command;
        ASSERT_TRUE(read) << command;
        unsigned long long year = 0, tile = 0, quality = 0, size = 0;
        int first = 0, last = 0;
        ASSERT_EQ(std::sscanf(line, "%llu %llu %llu %d %d %llu", &year, &tile, &quality, &first,
                              &last, &size),
                  6)
            << line;
        EXPECT_EQ(tile, TileMemory::bytes_needed(year_count_for(last_year), TILE_SIZE, TILE_SIZE))
            << last_year;
        EXPECT_EQ(quality, quality_memory_needed(year_count_for(last_year))) << last_year;
        EXPECT_EQ(first, MIN_LAST_YEAR);
        EXPECT_EQ(last, MAX_LAST_YEAR);
        EXPECT_EQ(size, static_cast<unsigned long long>(TILE_SIZE));
    }
}

}  // namespace
}  // namespace pt
