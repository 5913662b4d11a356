// Which block layouts the reading workers' shared pool can decode: every
// ordinary GeoTIFF layout of a tile layer must fit, blocks far beyond the
// tile must not. The layers are GeoTIFFs in GDAL's memory file system with
// no block written (sparse), so only the layout counts.
#include "io/decode_footprint.hpp"

#include <gdal_priv.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/input_layers.hpp"
#include "run/memory_budget.hpp"
#include "tile/constants.hpp"

namespace pt {
namespace {

constexpr int SIZE = TILE_SIZE;

uint64_t footprint_of(GDALDataType type, int bands, const std::vector<std::string>& options) {
    GDALAllRegister();
    const std::string name = "/vsimem/decode_footprint_test.tif";
    std::vector<const char*> list = {"SPARSE_OK=TRUE"};
    for (const auto& o : options) list.push_back(o.c_str());
    list.push_back(nullptr);
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        name.c_str(), SIZE, SIZE, bands, type, const_cast<char**>(list.data()));
    EXPECT_NE(ds, nullptr);
    if (ds == nullptr) return 0;
    GDALClose(GDALDataset::ToHandle(ds));
    ds = GDALDataset::FromHandle(GDALOpen(name.c_str(), GA_ReadOnly));
    const BlockLayout layout = block_layout(*ds, *ds->GetRasterBand(1), {0, 0, SIZE, SIZE});
    GDALClose(GDALDataset::ToHandle(ds));
    VSIUnlink(name.c_str());
    return decode_footprint(layout);
}

TEST(DecodeFootprint, OrdinaryLayoutsFitThePoolAndHugeBlocksDoNot) {
    struct Case {
        const char* what;
        GDALDataType type;
        int bands;
        std::vector<std::string> options;
        bool fits;
    };
    const std::vector<std::string> tiles_512 = {"TILED=YES", "BLOCKXSIZE=512", "BLOCKYSIZE=512"};
    const std::vector<std::string> tiles_4096 = {"TILED=YES", "BLOCKXSIZE=4096", "BLOCKYSIZE=4096",
                                                 "INTERLEAVE=PIXEL"};
    const std::vector<std::string> one_strip = {"COMPRESS=DEFLATE", "BLOCKYSIZE=4004"};
    std::vector<std::string> interleaved_512 = tiles_512;
    interleaved_512.push_back("INTERLEAVE=PIXEL");
    const Case cases[] = {
        {"Byte strips", GDT_Byte, 1, {"COMPRESS=LZW"}, true},
        {"CFloat64 in 512 x 512 tiles", GDT_CFloat64, 1, tiles_512, true},
        {"4 UInt16 bands pixel-interleaved in 512 tiles", GDT_UInt16, 4, interleaved_512, true},
        {"Float32 in one whole-image strip", GDT_Float32, 1, one_strip, true},
        {"Byte in 16384 x 16384 tiles",
         GDT_Byte,
         1,
         {"TILED=YES", "BLOCKXSIZE=16384", "BLOCKYSIZE=16384"},
         false},
        {"Float64 in one whole-image strip", GDT_Float64, 1, one_strip, false},
        {"3 Float32 bands pixel-interleaved in 4096 tiles", GDT_Float32, 3, tiles_4096, false},
    };
    for (const Case& c : cases) {
        const uint64_t footprint = footprint_of(c.type, c.bands, c.options);
        EXPECT_GT(footprint, 0u) << c.what;
        EXPECT_EQ(footprint <= LAYER_DECODE_POOL, c.fits) << c.what << ": " << footprint;
    }
}

}  // namespace
}  // namespace pt
