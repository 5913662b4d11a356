// The run's command line and the names and order of the files it reads and
// writes, checked without touching any file.
#include <gtest/gtest.h>

#include "app/run.hpp"
#include "io/input_layers.hpp"
#include "io/product_writer.hpp"
#include "tile/tile.hpp"

namespace pt {
namespace {

TEST(RunArguments, ConvertsLikeTheCLibrary) {
    const char* argv[] = {"process_tile", "t7", " 2005xyz", "in", "out", "-60.5deg", "abc",
                          "dm/",         "wm"};
    const RunArguments args = parse_arguments(9, argv);
    EXPECT_EQ(args.tile_id, "t7");
    EXPECT_EQ(args.last_year, 2005);  // leading blank skipped, trailing text ignored
    EXPECT_EQ(args.input_dir, "in");
    EXPECT_EQ(args.output_dir, "out");
    EXPECT_DOUBLE_EQ(args.origin_x, -60.5);
    EXPECT_DOUBLE_EQ(args.origin_y, 0.0);  // no number at all reads as 0
    EXPECT_EQ(args.datamask_dir, "dm/");   // used unchanged
    EXPECT_EQ(args.wetland_dir, "wm");
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

TEST(RunArguments, LastYearMustLieInTheFilterRange) {
    RunArguments args;
    for (int year : {0, 1999, MAX_LAST_YEAR + 1, 9999}) {
        args.last_year = year;
        EXPECT_THROW(check_run_arguments(args), RunFailure) << year;
    }
    for (int year : {2000, 2020, MAX_LAST_YEAR}) {
        args.last_year = year;
        EXPECT_NO_THROW(check_run_arguments(args)) << year;
    }
}

TEST(InputLayerPlan, NamesAndReadOrder) {
    TileMemory tile(year_count_for(2001), 3, 2);
    const auto plan = input_layer_plan({"t7", "src", "masks", "wet/"}, 2001, tile);
    const std::vector<std::string> expected = {
        "masks/t7_datamask.tif",  "wet//t7_wetlandmask.tif", "src/t7/t7_TCC_1997.tif",
        "src/t7/t7_TCC_1998.tif", "src/t7/t7_TCC_1999.tif",  "src/t7/t7_TCC_2000.tif",
        "src/t7/t7_loss_2000.tif", "src/t7/t7_TCH_2000.tif", "src/t7/t7_TCC_2001.tif",
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

}  // namespace
}  // namespace pt
