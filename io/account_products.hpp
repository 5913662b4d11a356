// The products of one tile as the accounts read them: for each year from
// 2000 to the last year the TCC, TCH and Loss rasters process_tile wrote
// (HFA, one byte band, WGS84 longitude and latitude, north up), and the
// tile's datamask, read a strip of rows at a time into buffers that serve
// the whole tile, so that a run's memory does not grow with the tile or the
// number of years beyond one strip of each.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/layer_dataset.hpp"

namespace pt {

// Where the rasters lie: products_dir/{TCC,TCH,Loss}_<year>_<tile_id>.img
// and datamask_dir/<tile_id>_datamask.tif.
struct AccountInputs {
    std::string tile_id;
    int last_year = 0;
    std::string products_dir;
    std::string datamask_dir;
};

// "<products_dir>/<kind>_<year>_<tile_id>.img" (kind TCC, TCH or Loss).
std::string account_product_path(const AccountInputs& inputs, const char* kind, int year);

// The grid every raster of the tile shares: its size and geotransform
// (gt[0] the west edge, gt[1] the cell width in degrees, gt[3] the north
// edge, gt[5] minus the cell height; no rotation).
struct TileGrid {
    int width = 0;
    int height = 0;
    std::array<double, 6> geotransform{};
};

// WGS84 longitude and latitude: the coordinate system of the products (and
// so of the pixel coordinates the zones are given in), as WKT.
std::string account_crs_wkt();

// GDAL made ready for reading the products in strips: GDAL's messages kept
// off standard error (a run says what went wrong in one line of its own),
// the format drivers registered, and a block cache of a few strips' blocks
// (each block is read once, so more would only hold copies).
void start_gdal_for_accounts();

class AccountProducts {
  public:
    // Opens every product and the datamask, read-only, and checks that they
    // form one tile, before any pixel is read. Throws RunFailure with one
    // line naming the first raster (in the order TCC, TCH, Loss of 2000,
    // then of 2001, ..., then the datamask) that is missing ("<path> not
    // found"), no HFA raster, not one byte band, of another size or
    // geotransform than TCC of 2000, rotated or not north up, or not in
    // WGS84 longitude and latitude.
    explicit AccountProducts(const AccountInputs& inputs);
    ~AccountProducts();
    AccountProducts(const AccountProducts&) = delete;
    AccountProducts& operator=(const AccountProducts&) = delete;

    const TileGrid& grid() const { return grid_; }
    int year_count() const { return year_count_; }
    // The rows of a strip: 64, the block height of GDAL's HFA files, or the
    // tile's height when smaller.
    int strip_rows() const { return strip_rows_; }

    // Reads rows [first_row, first_row + rows) of every raster into the
    // strip buffers (rows <= strip_rows()). Throws RunFailure "<path>
    // cannot be read" naming the first raster GDAL fails on.
    void read_strip(int first_row, int rows);

    // Row `row` of the strip last read (0 = its first row): the datamask,
    // and year `year`'s cover, height and loss (0 = 2000). Each holds
    // grid().width bytes.
    const uint8_t* datamask(int row) const;
    const uint8_t* tcc(int year, int row) const;
    const uint8_t* tch(int year, int row) const;
    const uint8_t* loss(int year, int row) const;

  private:
    const uint8_t* buffer_row(std::size_t raster, int row) const;

    TileGrid grid_;
    int year_count_ = 0;
    int strip_rows_ = 0;
    // TCC, TCH, Loss of each year in turn, then the datamask.
    std::vector<std::unique_ptr<LayerDataset>> rasters_;
    std::vector<std::string> paths_;
    std::vector<uint8_t> strip_;  // rasters_.size() buffers of strip_rows_ rows
};

}  // namespace pt
