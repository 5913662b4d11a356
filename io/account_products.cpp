#include "io/account_products.hpp"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "io/gdal_errors.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

// HFA files as GDAL writes them are stored in 64 x 64 blocks: a strip of 64
// rows reads each block once.
constexpr int STRIP_ROWS = 64;

// The block cache: a strip's blocks of every raster (63 products of a 4004
// wide tile hold 16 MB of them), with room for a datamask stored in taller
// blocks to stay cached while its strips are read.
constexpr long long ACCOUNTS_BLOCK_CACHE_BYTES = 48ll << 20;

// A raster stored in larger blocks than this is refused: each strip would
// decode a block the cache cannot keep, and so decode it again and again.
constexpr long long MAX_BLOCK_BYTES = 32ll << 20;

std::string text_of_size(int width, int height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

std::string text_of_geotransform(const std::array<double, 6>& gt) {
    std::string text;
    for (double value : gt) {
        char number[40];
        std::snprintf(number, sizeof number, "%.17g", value);
        (text += text.empty() ? "(" : ", ") += number;
    }
    return text + ")";
}

const OGRSpatialReference& wgs84() {
    static const OGRSpatialReference reference = [] {
        OGRSpatialReference made;
        made.SetWellKnownGeogCS("WGS84");
        made.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        return made;
    }();
    return reference;
}

// Whether the raster's coordinates are WGS84 longitude and latitude in
// degrees, whatever the WKT's names and axis order.
bool is_wgs84_geographic(const OGRSpatialReference* reference) {
    if (reference == nullptr || !reference->IsGeographic()) return false;
    const char* criteria[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", "CRITERION=EQUIVALENT",
                              nullptr};
    if (!reference->IsSame(&wgs84(), criteria)) return false;
    return std::fabs(reference->GetAngularUnits() - CPLAtof(SRS_UA_DEGREE_CONV)) < 1e-12;
}

// Checks what every raster of the tile must be on its own: one band (any
// band for the datamask, whose first band is read), of bytes for the
// products, in blocks a strip can read.
void check_band(GDALDataset& dataset, const std::string& path, bool product) {
    const int bands = dataset.GetRasterCount();
    if (bands < 1) throw RunFailure(path + " has no band");
    if (product && bands != 1) {
        throw RunFailure(path + " has " + std::to_string(bands) + " bands, not one");
    }
    GDALRasterBand* band = dataset.GetRasterBand(1);
    const GDALDataType type = band->GetRasterDataType();
    if (product && type != GDT_Byte) {
        throw RunFailure(path + " holds " + GDALGetDataTypeName(type) + " values, not bytes");
    }
    int block_width = 0, block_height = 0;
    band->GetBlockSize(&block_width, &block_height);
    const long long block_bytes = static_cast<long long>(block_width) * block_height *
                                  std::max(1, GDALGetDataTypeSizeBytes(type));
    if (block_width <= 0 || block_height <= 0 || block_bytes > MAX_BLOCK_BYTES) {
        throw RunFailure(path + " is stored in blocks of " +
                         text_of_size(block_width, block_height) +
                         " pixels, too large to read in strips");
    }
}

}  // namespace

std::string account_product_path(const AccountInputs& inputs, const char* kind, int year) {
    return inputs.products_dir + "/" + kind + "_" + std::to_string(year) + "_" + inputs.tile_id +
           ".img";
}

std::string account_crs_wkt() {
    char* text = nullptr;
    wgs84().exportToWkt(&text);
    std::string wkt = text != nullptr ? text : "";
    CPLFree(text);
    return wkt;
}

void start_gdal_for_accounts() {
    CPLSetErrorHandler(CPLQuietErrorHandler);
    CPLSetConfigOption("GDAL_NUM_THREADS", "1");
    // Nothing is read from or written to .aux.xml files beside the products.
    CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
    GDALAllRegister();
    GDALSetCacheMax64(ACCOUNTS_BLOCK_CACHE_BYTES);
}

AccountProducts::AccountProducts(const AccountInputs& inputs)
    : year_count_(inputs.last_year - FIRST_OUTPUT_YEAR + 1) {
    GdalErrorWatch quiet(false);
    for (int year = FIRST_OUTPUT_YEAR; year <= inputs.last_year; ++year) {
        for (const char* kind : {"TCC", "TCH", "Loss"}) {
            paths_.push_back(account_product_path(inputs, kind, year));
        }
    }
    paths_.push_back(inputs.datamask_dir + "/" + inputs.tile_id + "_datamask.tif");
    const std::string& first = paths_.front();

    for (std::size_t k = 0; k < paths_.size(); ++k) {
        const std::string& path = paths_[k];
        const bool product = k + 1 < paths_.size();
        rasters_.push_back(product ? std::make_unique<LayerDataset>(path, "HFA")
                                   : std::make_unique<LayerDataset>(path));
        GDALDataset& dataset = rasters_.back()->dataset();
        check_band(dataset, path, product);
        const int width = dataset.GetRasterXSize(), height = dataset.GetRasterYSize();
        if (k == 0) {
            grid_.width = width;
            grid_.height = height;
        } else if (width != grid_.width || height != grid_.height) {
            throw RunFailure(path + " is " + text_of_size(width, height) + " pixels, not " +
                             text_of_size(grid_.width, grid_.height) + " as " + first);
        }
        // The datamask's own georeferencing is not looked at: process_tile
        // places the products by its arguments, not by the datamask.
        if (!product) continue;
        if (!is_wgs84_geographic(dataset.GetSpatialRef())) {
            throw RunFailure(path + " is not in WGS84 longitude and latitude");
        }
        std::array<double, 6> gt{};
        if (dataset.GetGeoTransform(gt.data()) != CE_None) {
            throw RunFailure(path + " has no geotransform");
        }
        if (k == 0) {
            // North up, no rotation, and the whole tile on the globe: the
            // cell areas are those of rows between two parallels.
            const double north = gt[3], south = gt[3] + gt[5] * height;
            const bool finite = std::all_of(gt.begin(), gt.end(),
                                            [](double value) { return std::isfinite(value); });
            if (!finite || gt[2] != 0.0 || gt[4] != 0.0 || !(gt[1] > 0.0) || !(gt[5] < 0.0)) {
                throw RunFailure(path + " is not north up without rotation: geotransform " +
                                 text_of_geotransform(gt));
            }
            if (north > 90.0 || south < -90.0 || gt[1] * width > 360.0) {
                throw RunFailure(path + " reaches beyond the globe: geotransform " +
                                 text_of_geotransform(gt));
            }
            grid_.geotransform = gt;
        } else if (gt != grid_.geotransform) {
            throw RunFailure(path + " has the geotransform " + text_of_geotransform(gt) + ", not " +
                             text_of_geotransform(grid_.geotransform) + " as " + first);
        }
    }
    strip_rows_ = std::min(STRIP_ROWS, grid_.height);
    strip_.resize(rasters_.size() * static_cast<std::size_t>(strip_rows_) *
                  static_cast<std::size_t>(grid_.width));
}

AccountProducts::~AccountProducts() = default;

void AccountProducts::read_strip(int first_row, int rows) {
    const std::size_t width = static_cast<std::size_t>(grid_.width);
    for (std::size_t k = 0; k < rasters_.size(); ++k) {
        GdalErrorWatch quiet(false);
        uint8_t* buffer = strip_.data() + k * static_cast<std::size_t>(strip_rows_) * width;
        const CPLErr result = rasters_[k]->dataset().GetRasterBand(1)->RasterIO(
            GF_Read, 0, first_row, grid_.width, rows, buffer, grid_.width, rows, GDT_Byte, 0, 0,
            nullptr);
        if (result != CE_None || quiet.failed()) throw RunFailure(paths_[k] + " cannot be read");
    }
}

const uint8_t* AccountProducts::buffer_row(std::size_t raster, int row) const {
    const std::size_t width = static_cast<std::size_t>(grid_.width);
    return strip_.data() + (raster * static_cast<std::size_t>(strip_rows_) + row) * width;
}

const uint8_t* AccountProducts::datamask(int row) const {
    return buffer_row(rasters_.size() - 1, row);
}
const uint8_t* AccountProducts::tcc(int year, int row) const {
    return buffer_row(static_cast<std::size_t>(3 * year), row);
}
const uint8_t* AccountProducts::tch(int year, int row) const {
    return buffer_row(static_cast<std::size_t>(3 * year + 1), row);
}
const uint8_t* AccountProducts::loss(int year, int row) const {
    return buffer_row(static_cast<std::size_t>(3 * year + 2), row);
}

}  // namespace pt
