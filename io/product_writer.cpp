#include "io/product_writer.hpp"

#include <cpl_error.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "io/gdal_errors.hpp"
#include "tile/ordered_failure.hpp"

namespace pt {

namespace {

constexpr const char* TEMPORARY_PREFIX = ".tmp-";

// Removes the file when it goes out of scope, unless kept.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!kept_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& path() const { return path_; }
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

// Writes the file's pages to disk; a write error the page cache has held back
// (network file systems report a full disk or quota only here) shows up now.
bool flush_to_disk(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

bool process_exists(long pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH; }

}  // namespace

std::string temporary_product_path(const std::string& path, long pid) {
    const std::size_t slash = path.rfind('/');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, name_start) + TEMPORARY_PREFIX + std::to_string(pid) + "-" +
           path.substr(name_start);
}

std::optional<long> temporary_product_pid(const std::string& file_name,
                                          const std::string& tile_id) {
    std::string_view rest = file_name;
    const std::string_view prefix = TEMPORARY_PREFIX;
    if (rest.substr(0, prefix.size()) != prefix) return std::nullopt;
    rest.remove_prefix(prefix.size());

    auto take_digits = [&rest]() -> std::string_view {
        std::size_t n = 0;
        while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
        const std::string_view digits = rest.substr(0, n);
        rest.remove_prefix(n);
        return digits;
    };
    const std::string_view pid_digits = take_digits();
    if (pid_digits.empty() || pid_digits.size() > 9 || pid_digits.front() == '0') {
        return std::nullopt;
    }
    if (rest.empty() || rest.front() != '-') return std::nullopt;
    rest.remove_prefix(1);

    bool product = false;
    for (const std::string_view token : {"TCC_", "TCH_", "Loss_"}) {
        if (rest.substr(0, token.size()) == token) {
            rest.remove_prefix(token.size());
            product = true;
            break;
        }
    }
    if (!product || take_digits().empty()) return std::nullopt;
    if (rest != "_" + tile_id + ".img") return std::nullopt;
    return std::stol(std::string(pid_digits));
}

void remove_stale_temporaries(const ProductPaths& paths) {
    namespace fs = std::filesystem;
    const long own_pid = static_cast<long>(::getpid());
    std::error_code error;
    for (fs::directory_iterator entry(paths.output_dir + "/", error), end; !error && entry != end;
         entry.increment(error)) {
        const auto pid = temporary_product_pid(entry->path().filename().string(), paths.tile_id);
        if (!pid || *pid == own_pid || process_exists(*pid)) continue;
        std::error_code ignored;
        fs::remove(entry->path(), ignored);
    }
}

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
    TemporaryFile temporary(temporary_product_path(path, static_cast<long>(::getpid())));
    GdalErrorWatch errors;
    char* no_options[] = {nullptr};
    GDALDataset* dataset =
        driver->Create(temporary.path().c_str(), width, height, 1, GDT_Byte, no_options);
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
    ok = !errors.failed() && ok;
    if (!ok || !flush_to_disk(temporary.path())) throw RunFailure(path + " cannot be written");

    // Atomic within the directory: readers see the old product or the new
    // one, never a part of either.
    if (std::rename(temporary.path().c_str(), path.c_str()) != 0) {
        throw RunFailure(path + " cannot be renamed into place");
    }
    temporary.keep();
}

void write_products(const ProductPaths& paths, int last_year, double origin_x, double origin_y,
                    const TileMemory& tile, int workers, Progress& progress) {
    GDALDriver* driver = hfa_driver();
    const std::string wkt = wgs84_wkt();
    const auto geotransform = product_geotransform(origin_x, origin_y);
    const std::vector<ProductWrite> plan = product_plan(paths, last_year, tile);
    // Only now, with the tile filtered and about to be written, may the run
    // touch the output directory: a run that fails earlier leaves it as it was.
    remove_stale_temporaries(paths);
    progress.begin_phase("writing", static_cast<long>(plan.size()));
    run_items_in_order(static_cast<int>(plan.size()), workers, progress, [&](int index) {
        write_product(driver, plan[index].path, geotransform, wkt, plan[index].source,
                      tile.width(), tile.height());
    });
    progress.end_phase();
}

}  // namespace pt
