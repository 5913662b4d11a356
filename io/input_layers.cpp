#include "io/input_layers.hpp"

#include <gdal_priv.h>

#include <algorithm>
#include <memory>

#include "tile/ordered_failure.hpp"

namespace pt {

namespace {
struct DatasetCloser {
    void operator()(GDALDataset* ds) const { GDALClose(GDALDataset::ToHandle(ds)); }
};
using DatasetPtr = std::unique_ptr<GDALDataset, DatasetCloser>;
}  // namespace

std::vector<LayerRead> input_layer_plan(const InputPaths& paths, int last_year, TileMemory& tile) {
    std::vector<LayerRead> plan;
    const std::string annual = paths.input_dir + "/" + paths.tile_id + "/" + paths.tile_id;
    auto annual_name = [&](const char* token, int year) {
        return annual + token + std::to_string(year) + ".tif";
    };
    plan.push_back({paths.datamask_dir + "/" + paths.tile_id + "_datamask.tif", tile.datamask.data});
    plan.push_back(
        {paths.wetland_dir + "/" + paths.tile_id + "_wetlandmask.tif", tile.wetland_mask.data});
    // The three years before the first loss and height layers carry cover only.
    for (int year = FIRST_YEAR; year < FIRST_OUTPUT_YEAR; ++year) {
        plan.push_back({annual_name("_TCC_", year), tile.cover_cube.layer(year - FIRST_YEAR)});
    }
    for (int year = FIRST_OUTPUT_YEAR; year <= last_year; ++year) {
        const int t = year - FIRST_YEAR;
        plan.push_back({annual_name("_TCC_", year), tile.cover_cube.layer(t)});
        plan.push_back({annual_name("_loss_", year), tile.loss_cube.layer(t)});
        plan.push_back({annual_name("_TCH_", year), tile.height_cube.layer(t)});
    }
    return plan;
}

void read_layer(const std::string& path, uint8_t* destination, int width, int height) {
    read_layer_window(path, destination, width, height, {0, 0, width, height});
}

void read_layer_window(const std::string& path, uint8_t* destination, int layer_width,
                       int layer_height, const LayerWindow& window) {
    DatasetPtr dataset(GDALDataset::FromHandle(GDALOpen(path.c_str(), GA_ReadOnly)));
    if (!dataset) throw RunFailure(path + " not found");

    // A layer that opens but cannot fill the whole window would leave stale or
    // uninitialised bytes in tile memory and silently wrong products.
    if (dataset->GetRasterCount() < 1) throw RunFailure(path + " has no raster band");
    GDALRasterBand* band = dataset->GetRasterBand(1);
    if (band->GetXSize() < layer_width || band->GetYSize() < layer_height) {
        throw RunFailure(path + " is smaller than " + std::to_string(layer_width) + " x " +
                         std::to_string(layer_height) + " pixels");
    }
    const CPLErr err =
        band->RasterIO(GF_Read, window.x, window.y, window.width, window.height, destination,
                       window.width, window.height, GDT_Byte, 0, 0, nullptr);
    if (err != CE_None) throw RunFailure(path + " cannot be read");
}

void load_input_layers(const InputPaths& paths, int last_year, TileMemory& tile, int workers,
                       Progress& progress) {
    const std::vector<LayerRead> plan = input_layer_plan(paths, last_year, tile);
    progress.begin_phase("reading", static_cast<long>(plan.size()));
    run_items_in_order(static_cast<int>(plan.size()), workers, progress, [&](int index) {
        read_layer(plan[index].path, plan[index].destination, tile.width(), tile.height());
    });
    progress.end_phase();
}

}  // namespace pt
