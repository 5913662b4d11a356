// Opening an input layer so that no input can hold the run: a FIFO would
// block the open or the first read forever, a device can deliver without end,
// and a format that refers to other files (a VRT saved under a .tif name,
// side files such as .aux.xml, .ovr, .msk next to the layer) would lead GDAL
// to files nobody checked. A layer is a regular file holding a GeoTIFF, read
// on its own.
#pragma once

#include <gdal_priv.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace pt {

struct DatasetCloser {
    void operator()(GDALDataset* ds) const { GDALClose(GDALDataset::ToHandle(ds)); }
};
using DatasetPtr = std::unique_ptr<GDALDataset, DatasetCloser>;

// Whether `path` leads (symbolic links followed) to a regular file: what a
// layer must be before anything else about it is looked at. Opens nothing.
bool is_regular_file(const std::string& path);

// A layer opened read-only with GDAL's GeoTIFF driver. Throws RunFailure
// "<path> not found" when the path does not lead (symbolic links followed)
// to a regular file, or when the file is no GeoTIFF GDAL can open. GDAL only
// ever sees the file this process opened and checked, so the path cannot be
// swapped for a FIFO in between, and its messages name /proc/self/fd/<n>.
class LayerDataset {
  public:
    explicit LayerDataset(const std::string& path);
    // The same with the one GDAL driver `driver` (a short name such as
    // "HFA") in place of GeoTIFF's. A regular file that driver cannot open
    // is refused with "<path> is not a readable <driver> raster".
    LayerDataset(const std::string& path, const char* driver);
    ~LayerDataset();
    LayerDataset(const LayerDataset&) = delete;
    LayerDataset& operator=(const LayerDataset&) = delete;

    GDALDataset& dataset() { return *dataset_; }

    // The block the file itself declares for its first image, as width x
    // height pixels: its tiles (TileWidth x TileLength), or its strips (the
    // image width x RowsPerStrip, at most the image height). GDAL may read a
    // strip in blocks of its own (one row each); this is the block as stored.
    // Nothing when the header cannot be read.
    std::optional<std::pair<uint64_t, uint64_t>> declared_block() const;

  private:
    int file_ = -1;       // kept open while GDAL reads: it names it through /proc
    DatasetPtr dataset_;  // closed first
};

}  // namespace pt
