#include "io/input_layers.hpp"

#include <gdal_priv.h>

#include <optional>

#include "io/decode_footprint.hpp"
#include "io/gdal_errors.hpp"
#include "io/layer_dataset.hpp"
#include "run/memory_budget.hpp"
#include "run/memory_pool.hpp"
#include "run/run_items_in_order.hpp"

namespace pt {

namespace {

// One pool for every reading worker of the process: the memory check counts
// it once, however many workers there are.
MemoryPool& layer_decode_pool() {
    static MemoryPool pool(LAYER_DECODE_POOL);
    return pool;
}

// Takes the memory for decoding the layer's blocks from the shared pool,
// waiting while other workers hold it. A layer whose blocks need more than
// the whole pool is refused: GDAL would allocate it beyond what the memory
// check counted, and the run could be killed or fail without a reason.
MemoryPool::Reservation reserve_decode_memory(const std::string& path, LayerDataset& layer,
                                              GDALRasterBand& band, const LayerWindow& window) {
    const BlockLayout layout = block_layout(layer.dataset(), band, window);
    const uint64_t footprint = decode_footprint(layout);
    MemoryPool& pool = layer_decode_pool();
    if (footprint > pool.capacity()) {
        // The block as the file stores it: GDAL reads a whole-image strip in
        // one-row blocks of its own, and "4004 x 1" would hide why the strip
        // is too large.
        const auto stored = layer.declared_block();
        const uint64_t width = stored ? stored->first : static_cast<uint64_t>(layout.width);
        const uint64_t height = stored ? stored->second : static_cast<uint64_t>(layout.height);
        throw RunFailure(path + " is stored in blocks of " + std::to_string(width) + " x " +
                         std::to_string(height) +
                         " pixels, too large to read in the memory the run has");
    }
    return pool.reserve(footprint);
}

// A read GDAL reports any trouble with delivered bytes that cannot be
// trusted: a damaged JPEG strip decodes with only a warning and leaves
// thousands of wrong pixels.
std::string read_failure_line(const std::string& path, const GdalErrorWatch& watch) {
    if (watch.ran_out_of_memory()) return path + " cannot be read: GDAL ran out of memory";
    return path + " cannot be read";
}

}  // namespace

std::vector<std::string> input_layer_paths(const InputPaths& paths, int last_year) {
    std::vector<std::string> names;
    const std::string annual = paths.input_dir + "/" + paths.tile_id + "/" + paths.tile_id;
    auto annual_name = [&](const char* token, int year) {
        return annual + token + std::to_string(year) + ".tif";
    };
    names.push_back(paths.datamask_dir + "/" + paths.tile_id + "_datamask.tif");
    names.push_back(paths.wetland_dir + "/" + paths.tile_id + "_wetlandmask.tif");
    // The three years before the first loss and height layers carry cover only.
    for (int year = FIRST_YEAR; year < FIRST_OUTPUT_YEAR; ++year) {
        names.push_back(annual_name("_TCC_", year));
    }
    for (int year = FIRST_OUTPUT_YEAR; year <= last_year; ++year) {
        names.push_back(annual_name("_TCC_", year));
        names.push_back(annual_name("_loss_", year));
        names.push_back(annual_name("_TCH_", year));
    }
    return names;
}

std::vector<LayerRead> input_layer_plan(const InputPaths& paths, int last_year, TileMemory& tile) {
    // In the order of input_layer_paths.
    std::vector<uint8_t*> destinations = {tile.datamask.data, tile.wetland_mask.data};
    for (int year = FIRST_YEAR; year < FIRST_OUTPUT_YEAR; ++year) {
        destinations.push_back(tile.cover_cube.layer(year - FIRST_YEAR));
    }
    for (int year = FIRST_OUTPUT_YEAR; year <= last_year; ++year) {
        const int t = year - FIRST_YEAR;
        destinations.push_back(tile.cover_cube.layer(t));
        destinations.push_back(tile.loss_cube.layer(t));
        destinations.push_back(tile.height_cube.layer(t));
    }
    std::vector<LayerRead> plan;
    const std::vector<std::string> names = input_layer_paths(paths, last_year);
    for (std::size_t i = 0; i < names.size(); ++i) plan.push_back({names[i], destinations[i]});
    return plan;
}

void check_input_layers_present(const InputPaths& paths, int last_year) {
    for (const std::string& path : input_layer_paths(paths, last_year)) {
        if (!is_regular_file(path)) throw RunFailure(path + " not found");
    }
}

void read_layer(const std::string& path, uint8_t* destination, int width, int height) {
    read_layer_window(path, destination, width, height, {0, 0, width, height});
}

void read_layer_window(const std::string& path, uint8_t* destination, int layer_width,
                       int layer_height, const LayerWindow& window) {
    GdalErrorWatch watch;
    // Declared first so it is released last: GDAL frees the decoded blocks
    // when the layer closes.
    std::optional<MemoryPool::Reservation> decode_memory;
    LayerDataset layer(path);
    GDALDataset& dataset = layer.dataset();

    // A layer that opens but cannot fill the whole window would leave stale or
    // uninitialised bytes in tile memory and silently wrong products.
    if (dataset.GetRasterCount() < 1) throw RunFailure(path + " has no raster band");
    GDALRasterBand* band = dataset.GetRasterBand(1);
    if (band->GetXSize() < layer_width || band->GetYSize() < layer_height) {
        throw RunFailure(path + " is smaller than " + std::to_string(layer_width) + " x " +
                         std::to_string(layer_height) + " pixels");
    }
    decode_memory.emplace(reserve_decode_memory(path, layer, *band, window));
    // Only the read is judged: opening may warn about tags of no concern here.
    watch.reset();
    const CPLErr err =
        band->RasterIO(GF_Read, window.x, window.y, window.width, window.height, destination,
                       window.width, window.height, GDT_Byte, 0, 0, nullptr);
    if (err != CE_None || watch.warned()) throw RunFailure(read_failure_line(path, watch));
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
