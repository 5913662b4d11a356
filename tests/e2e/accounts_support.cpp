#include "accounts_support.hpp"

#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogr_spatialref.h>

#include <cmath>
#include <sstream>

namespace pt::e2e {

ProgramResult run_tile_accounts(const std::vector<std::string>& args) {
    std::vector<std::string> sh = {"-c", "exec \"$0\" \"$@\" 2>&1", PT_TILE_ACCOUNTS};
    sh.insert(sh.end(), args.begin(), args.end());
    return run_program("/bin/sh", sh, deadline(60));
}

double ellipsoid_cell_m2(double lat_a, double lat_b, double width_deg) {
    const double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f), e = std::sqrt(e2);
    const double b2 = a * a * (1 - e2);
    auto q = [&](double lat) {
        const double s = std::sin(lat * M_PI / 180);
        return s / (1 - e2 * s * s) + std::atanh(e * s) / e;
    };
    return b2 / 2 * std::fabs(q(lat_a) - q(lat_b)) * width_deg * M_PI / 180;
}

std::string wgs84_wkt() {
    OGRSpatialReference reference;
    reference.SetWellKnownGeogCS("WGS84");
    char* text = nullptr;
    reference.exportToWkt(&text);
    std::string wkt = text;
    CPLFree(text);
    return wkt;
}

void write_byte_raster(const fs::path& path, const char* driver, int width, int height,
                       const std::function<uint8_t(int, int)>& value,
                       const std::array<double, 6>& gt, const std::string& wkt) {
    GDALAllRegister();
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName(driver)->Create(
        path.c_str(), width, height, 1, GDT_Byte, nullptr);
    ASSERT_NE(ds, nullptr) << path;
    std::vector<uint8_t> bytes(static_cast<std::size_t>(width) * height);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            bytes[static_cast<std::size_t>(r) * width + c] = value(r, c);
    std::array<double, 6> transform = gt;
    ds->SetGeoTransform(transform.data());
    ds->SetProjection(wkt.c_str());
    ASSERT_EQ(ds->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, width, height, bytes.data(), width,
                                             height, GDT_Byte, 0, 0, nullptr),
              CE_None);
    GDALClose(GDALDataset::ToHandle(ds));
}

std::vector<std::vector<std::string>> table_rows(const fs::path& path, std::string* header) {
    std::istringstream text(read_file(path));
    std::vector<std::vector<std::string>> rows;
    std::string line;
    std::getline(text, line);
    if (header != nullptr) *header = line;
    while (std::getline(text, line)) {
        std::vector<std::string> cells;
        std::istringstream cut(line);
        for (std::string cell; std::getline(cut, cell, ',');) cells.push_back(cell);
        if (!line.empty() && line.back() == ',') cells.push_back("");
        rows.push_back(cells);
    }
    return rows;
}

}  // namespace pt::e2e
