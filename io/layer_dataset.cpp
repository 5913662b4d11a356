#include "io/layer_dataset.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tile/tile.hpp"

namespace pt {

namespace {

// Opens the file `path` leads to when it is a regular file, or returns -1.
// The kind is judged before anything is opened, so a device is never
// opened; the open itself does not block (O_NONBLOCK) should the path have
// become a FIFO since, and fstat judges what was really opened.
int open_regular_file(const std::string& path) {
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// GeoTIFF only: any other driver could follow references to other files.
// No sibling files: GDAL takes the list as what lies next to the layer and
// so looks for no .aux.xml, .ovr or .msk file.
GDALDataset* open_geotiff(int fd) {
    static const char* const GEOTIFF_ONLY[] = {"GTiff", nullptr};
    static const char* const NO_SIBLINGS[] = {nullptr};
    // Opening /proc/self/fd/<n> opens the very file behind the descriptor,
    // whatever the path names by now.
    const std::string name = "/proc/self/fd/" + std::to_string(fd);
    return GDALDataset::FromHandle(GDALOpenEx(name.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY,
                                              GEOTIFF_ONLY, nullptr, NO_SIBLINGS));
}

}  // namespace

LayerDataset::LayerDataset(const std::string& path) : file_(open_regular_file(path)) {
    if (file_ < 0) throw RunFailure(path + " not found");
    dataset_.reset(open_geotiff(file_));
    if (!dataset_) {
        ::close(file_);
        throw RunFailure(path + " not found");
    }
}

LayerDataset::~LayerDataset() {
    dataset_.reset();
    if (file_ >= 0) ::close(file_);
}

}  // namespace pt
