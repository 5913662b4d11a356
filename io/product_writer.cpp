#include "io/product_writer.hpp"

#include <cpl_error.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <algorithm>

#include "tile/ordered_failure.hpp"
#include "tile/workers.hpp"

namespace pt {

std::vector<ProductWrite> product_plan(const ProductPaths& paths, int last_year,
                                       const TileMemory& tile) {
    std::vector<ProductWrite> plan;
    auto name = [&](const char* token, int year) {
        return paths.output_dir + token + std::to_string(year) + "_" + paths.tile_id + ".img";
    };
    for (int year = FIRST_OUTPUT_YEAR; year <= last_year; ++year) {
        const int t = year - FIRST_YEAR;
        plan.push_back({name("/TCC_", year), tile.cover_out.layer(t)});
        plan.push_back({name("/TCH_", year), tile.height_out.layer(t)});
        plan.push_back({name("/Loss_", year), tile.loss_out.layer(t)});
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

GDALDriver* hfa_driver() {
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("HFA");
    if (driver == nullptr) throw RunFailure("no driver");
    return driver;
}

void write_product(GDALDriver* driver, const std::string& path,
                   const std::array<double, 6>& geotransform, const std::string& wkt,
                   const uint8_t* layer, int width, int height) {
    char* no_options[] = {nullptr};
    GDALDataset* dataset = driver->Create(path.c_str(), width, height, 1, GDT_Byte, no_options);
    if (dataset == nullptr) throw RunFailure(path + " cannot be created");

    std::array<double, 6> transform = geotransform;  // GDAL takes a non-const pointer
    bool ok = dataset->SetGeoTransform(transform.data()) == CE_None;
    ok = dataset->SetProjection(wkt.c_str()) == CE_None && ok;
    ok = dataset->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, width, height,
                                             const_cast<uint8_t*>(layer), width, height, GDT_Byte,
                                             0, 0, nullptr) == CE_None &&
         ok;
    // Blocks reach the disk at close; a full disk shows up only as an error
    // raised during GDALClose, which this version reports through CPLError.
    CPLErrorReset();
    GDALClose(GDALDataset::ToHandle(dataset));
    ok = CPLGetLastErrorType() < CE_Failure && ok;
    if (!ok) throw RunFailure(path + " cannot be written");
}

void write_products(const ProductPaths& paths, int last_year, double origin_x, double origin_y,
                    const TileMemory& tile, int workers) {
    GDALDriver* driver = hfa_driver();
    const std::string wkt = wgs84_wkt();
    const auto geotransform = product_geotransform(origin_x, origin_y);
    const std::vector<ProductWrite> plan = product_plan(paths, last_year, tile);
    OrderedFailure failure;
    WorkQueue products(static_cast<int>(plan.size()), 1);
    run_workers(std::min<int>(workers, static_cast<int>(plan.size())), [&](int) {
        int index, end;
        while (products.next(index, end)) {
            if (failure.known_before(index)) continue;
            try {
                write_product(driver, plan[index].path, geotransform, wkt, plan[index].source,
                              tile.width(), tile.height());
            } catch (const RunFailure& f) {
                failure.record(index, f.what());
            }
        }
    });
    failure.throw_if_any();
}

}  // namespace pt
