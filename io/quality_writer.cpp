#include "io/quality_writer.hpp"

#include <cpl_conv.h>
#include <fcntl.h>
#include <gdal_priv.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/gdal_errors.hpp"
#include "io/product_writer.hpp"
#include "io/temporary_products.hpp"
#include "run/run_items_in_order.hpp"

namespace pt {

namespace {

struct DatasetCloser {
    void operator()(GDALDataset* dataset) const { GDALClose(GDALDataset::ToHandle(dataset)); }
};
using DatasetHandle = std::unique_ptr<GDALDataset, DatasetCloser>;

GDALDriver* driver_named(const char* name) {
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(name);
    if (driver == nullptr) throw RunFailure(std::string("no ") + name + " driver");
    return driver;
}

// The GDAL data type of a quality word, from its size.
constexpr GDALDataType quality_data_type() {
    static_assert(sizeof(QualityWord) == 1 || sizeof(QualityWord) == 2 || sizeof(QualityWord) == 4,
                  "no GDAL data type for this quality word");
    if constexpr (sizeof(QualityWord) == 1) return GDT_Byte;
    if constexpr (sizeof(QualityWord) == 2) return GDT_UInt16;
    return GDT_UInt32;
}

// What one QA raster is made of: the year's flags and the tile's mask.
struct QualityLayer {
    const QualityWord* flags;
    const uint8_t* valid;  // 255 where the datamask byte is 1, else 0
    int width;
    int height;
};

// The COG driver only copies a whole dataset: the year's flags go into an
// in-memory raster with the products' georeferencing, the names of its bits
// and the mask first. The file has the cloud-optimised layout (tiles, the
// header and tile index first) without overviews: a reduced view of bit
// flags would have to drop or merge them, and building one doubled the time
// of each file. DEFLATE at its fastest level: a third of the default level's
// time for files a tenth larger. Both keep the quality run close to the
// product run. The mask is stored inside the GeoTIFF, not as a .msk file
// beside it: the file stays the one thing that is renamed into place.
void encode_quality_raster(const std::string& file_path, const std::string& path,
                           const std::array<double, 6>& geotransform, const std::string& wkt,
                           const QualityLayer& layer) {
    GdalErrorWatch errors;
    const int width = layer.width, height = layer.height;
    DatasetHandle memory(
        driver_named("MEM")->Create("", width, height, 1, quality_data_type(), nullptr));
    if (!memory) throw RunFailure(path + " cannot be created");
    std::array<double, 6> transform = geotransform;  // GDAL takes a non-const pointer
    bool ok = memory->SetGeoTransform(transform.data()) == CE_None;
    ok = memory->SetProjection(wkt.c_str()) == CE_None && ok;
    GDALRasterBand* band = memory->GetRasterBand(1);
    ok = band->RasterIO(GF_Write, 0, 0, width, height, const_cast<QualityWord*>(layer.flags), width,
                        height, quality_data_type(), 0, 0, nullptr) == CE_None &&
         ok;
    band->SetDescription("quality flags");
    for (int bit = 0; bit < QA_BIT_COUNT; ++bit) {
        const std::string name(QA_BIT_NAMES[static_cast<std::size_t>(bit)]);
        ok = band->SetMetadataItem(quality_flag_item(bit).c_str(), name.c_str()) == CE_None && ok;
    }
    ok = memory->CreateMaskBand(GMF_PER_DATASET) == CE_None && ok;
    GDALRasterBand* mask = band->GetMaskBand();
    ok = mask != nullptr && (band->GetMaskFlags() & GMF_PER_DATASET) != 0 &&
         mask->RasterIO(GF_Write, 0, 0, width, height, const_cast<uint8_t*>(layer.valid), width,
                        height, GDT_Byte, 0, 0, nullptr) == CE_None &&
         ok;
    if (!ok) throw RunFailure(path + " cannot be written");

    // GDAL_TIFF_INTERNAL_MASK is read as a configuration option: set for
    // this thread's copy alone, and put back when it is done.
    DatasetHandle copy;
    {
        const CPLConfigOptionSetter internal_mask("GDAL_TIFF_INTERNAL_MASK", "YES", false);
        std::array<const char*, 5> options = {"COMPRESS=DEFLATE", "LEVEL=1", "OVERVIEWS=NONE",
                                              "NUM_THREADS=1", nullptr};
        copy.reset(driver_named("COG")->CreateCopy(file_path.c_str(), memory.get(), FALSE,
                                                   const_cast<char**>(options.data()), nullptr,
                                                   nullptr));
    }
    if (!copy)
        throw RunFailure(path + (errors.failed() ? " cannot be written" : " cannot be created"));
    copy.reset();
    if (errors.failed()) throw RunFailure(path + " cannot be written");
}

// Writes `bytes` to a new file at `file_path` (never through a planted name).
void write_whole_file(const std::string& file_path, const std::string& path,
                      const std::string& bytes) {
    const int fd =
        open(file_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) throw RunFailure(path + " cannot be created");
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = close(fd) == 0 && ok;
    if (!ok) throw RunFailure(path + " cannot be written");
}

}  // namespace

std::string quality_flag_item(int bit) {
    return "FLAG_" + std::to_string(bit);
}

std::string quality_raster_name(int year, const std::string& tile_id) {
    return "QA_" + std::to_string(year) + "_" + tile_id + ".tif";
}

void write_quality_files(const QualityPaths& paths, int last_year, double origin_x, double origin_y,
                         const QualityCube& flags, const TileMask& datamask,
                         const std::vector<QualityFile>& files, int workers, Progress& progress) {
    driver_named("MEM");
    driver_named("COG");
    const std::string wkt = wgs84_wkt();
    const auto geotransform = product_geotransform(origin_x, origin_y);
    const int years = last_year - FIRST_OUTPUT_YEAR + 1;
    const int count = years + static_cast<int>(files.size());
    auto name_of = [&](int index) {
        return index < years ? quality_raster_name(FIRST_OUTPUT_YEAR + index, paths.tile_id)
                             : files[static_cast<std::size_t>(index - years)].file_name;
    };

    // One mask for every year: the pixels the filter ran on.
    std::vector<uint8_t> valid(flags.layer_size());
    for (std::size_t i = 0; i < valid.size(); ++i) valid[i] = datamask.data[i] == 1 ? 255 : 0;

    TemporaryProducts written(paths.quality_dir, paths.tile_id,
                              paths.quality_dir + "/" + name_of(0) + " cannot be created",
                              Flushing::to_disk);
    progress.begin_phase("writing", count);
    run_items_in_order(count, workers, progress, written.failures(), [&](int index) {
        const std::string file_name = name_of(index);
        const std::string path = paths.quality_dir + "/" + file_name;
        if (index < years) {
            encode_quality_raster(
                written.writing_path(file_name), path, geotransform, wkt,
                {flags.layer(index + first_output_index), valid.data(), flags.width, flags.height});
        } else {
            write_whole_file(written.writing_path(file_name), path,
                             files[static_cast<std::size_t>(index - years)].bytes);
        }
        written.hand_over(static_cast<std::size_t>(index), path, file_name);
    });
    written.wait();
    progress.end_phase();
    written.commit();
}

}  // namespace pt
