#include "io/product_writer.hpp"

#include <cpl_error.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include "io/gdal_errors.hpp"
#include "run/run_items_in_order.hpp"

namespace pt {

namespace {

// The HFA driver; throws RunFailure("no driver") when GDAL lacks it.
GDALDriver* hfa_driver() {
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("HFA");
    if (driver == nullptr) throw RunFailure("no driver");
    return driver;
}

// Creates, georeferences, writes and closes one product at `file_path`.
// Throws RunFailure naming `path`, its final place, when it cannot be
// created or written.
void encode_product(GDALDriver* driver, const std::string& file_path, const std::string& path,
                    const std::array<double, 6>& geotransform, const std::string& wkt,
                    const uint8_t* layer, int width, int height) {
    GdalErrorWatch errors;
    char* no_options[] = {nullptr};
    GDALDataset* dataset =
        driver->Create(file_path.c_str(), width, height, 1, GDT_Byte, no_options);
    if (dataset == nullptr) throw RunFailure(path + " cannot be created");

    std::array<double, 6> transform = geotransform;  // GDAL takes a non-const pointer
    bool ok = dataset->SetGeoTransform(transform.data()) == CE_None;
    ok = dataset->SetProjection(wkt.c_str()) == CE_None && ok;
    ok = dataset->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, width, height,
                                             const_cast<uint8_t*>(layer), width, height, GDT_Byte,
                                             0, 0, nullptr) == CE_None &&
         ok;
    // Blocks reach the file at close; a full disk shows up only as an error
    // raised during GDALClose, which this version reports through CPLError.
    GDALClose(GDALDataset::ToHandle(dataset));
    if (errors.failed() || !ok) throw RunFailure(path + " cannot be written");
}

std::string product_file_name(const char* token, int year, const std::string& tile_id) {
    return token + std::to_string(year) + "_" + tile_id + ".img";
}

}  // namespace

std::string first_product_path(const ProductPaths& paths) {
    return paths.output_dir + "/" + product_file_name("TCC_", FIRST_OUTPUT_YEAR, paths.tile_id);
}

std::vector<ProductWrite> product_plan(const ProductPaths& paths, int last_year,
                                       const TileMemory& tile) {
    std::vector<ProductWrite> plan;
    auto add = [&](const char* token, int year, const uint8_t* source) {
        std::string file_name = product_file_name(token, year, paths.tile_id);
        plan.push_back({paths.output_dir + "/" + file_name, std::move(file_name), source});
    };
    for (int year = FIRST_OUTPUT_YEAR; year <= last_year; ++year) {
        const int t = year - FIRST_YEAR;
        add("TCC_", year, tile.cover_out.layer(t));
        add("TCH_", year, tile.height_out.layer(t));
        add("Loss_", year, tile.loss_out.layer(t));
    }
    return plan;
}

std::array<double, 6> product_geotransform(double origin_x, double origin_y) {
    return {origin_x, PIXEL_SIZE, 0.0, origin_y, 0.0, -PIXEL_SIZE};
}

std::string wgs84_wkt() {
    OGRSpatialReference reference;
    reference.SetWellKnownGeogCS("WGS84");
    char* text = nullptr;
    reference.exportToWkt(&text);
    std::string wkt = text != nullptr ? text : "";
    CPLFree(text);
    return wkt;
}

void write_products(const ProductPaths& paths, int last_year, double origin_x, double origin_y,
                    const TileMemory& tile, int workers, Progress& progress, Flushing flushing) {
    GDALDriver* driver = hfa_driver();
    const std::string wkt = wgs84_wkt();
    const auto geotransform = product_geotransform(origin_x, origin_y);
    const std::vector<ProductWrite> plan = product_plan(paths, last_year, tile);

    // Only now, with the tile filtered and about to be written, may the run
    // touch the output directory: a run that fails earlier leaves it as it
    // was. A missing or read-only output directory, or a lock file or private
    // directory that cannot be had, is reported as: the first product cannot
    // be created.
    TemporaryProducts products(paths.output_dir, paths.tile_id,
                               plan.front().path + " cannot be created", flushing);
    progress.begin_phase("writing", static_cast<long>(plan.size()));
    run_items_in_order(
        static_cast<int>(plan.size()), workers, progress, products.failures(), [&](int index) {
            const ProductWrite& product = plan[index];
            encode_product(driver, products.writing_path(product.file_name), product.path,
                           geotransform, wkt, product.source, tile.width(), tile.height());
            products.hand_over(static_cast<std::size_t>(index), product.path, product.file_name);
        });
    products.wait();
    progress.end_phase();
    products.commit();
}

}  // namespace pt
