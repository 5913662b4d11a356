#include "io/layer_dataset.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "tile/tile.hpp"

namespace pt {

namespace {

// Opens the file `path` leads to when it is a regular file, or returns -1.
// The kind is judged before anything is opened, so a device is never
// opened; the open itself does not block (O_NONBLOCK) should the path have
// become a FIFO since, and fstat judges what was really opened.
int open_regular_file(const std::string& path) {
    if (!is_regular_file(path)) return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One driver only (GeoTIFF for the inputs): any other could follow
// references to other files. No sibling files: GDAL takes the list as what
// lies next to the layer and so looks for no .aux.xml, .ovr or .msk file.
GDALDataset* open_with_driver(int fd, const char* driver) {
    const char* const only[] = {driver, nullptr};
    static const char* const NO_SIBLINGS[] = {nullptr};
    // Opening /proc/self/fd/<n> opens the very file behind the descriptor,
    // whatever the path names by now.
    const std::string name = "/proc/self/fd/" + std::to_string(fd);
    return GDALDataset::FromHandle(
        GDALOpenEx(name.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, only, nullptr, NO_SIBLINGS));
}

// Fields of a TIFF header as the file's byte order has them.
class TiffFields {
  public:
    explicit TiffFields(int fd) : fd_(fd) {}

    bool read(uint64_t offset, unsigned char* bytes, std::size_t count) const {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n =
                ::pread(fd_, bytes + done, count - done, static_cast<off_t>(offset + done));
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    uint64_t number(const unsigned char* bytes, std::size_t size) const {
        uint64_t value = 0;
        for (std::size_t k = 0; k < size; ++k) {
            const std::size_t at = little_endian_ ? size - 1 - k : k;
            value = (value << 8) | bytes[at];
        }
        return value;
    }
    void set_little_endian(bool little) { little_endian_ = little; }

  private:
    int fd_;
    bool little_endian_ = true;
};

constexpr uint16_t TAG_IMAGE_WIDTH = 256, TAG_IMAGE_LENGTH = 257, TAG_ROWS_PER_STRIP = 278,
                   TAG_TILE_WIDTH = 322, TAG_TILE_LENGTH = 323;
constexpr uint16_t TYPE_SHORT = 3, TYPE_LONG = 4, TYPE_LONG8 = 16;
// More entries than any image carries: a damaged count is not followed.
constexpr uint64_t MAX_ENTRIES = 4096;

}  // namespace

bool is_regular_file(const std::string& path) {
    struct stat named {};
    return ::stat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode);
}

std::optional<std::pair<uint64_t, uint64_t>> LayerDataset::declared_block() const {
    TiffFields tiff(file_);
    unsigned char header[16];
    if (!tiff.read(0, header, sizeof header)) return std::nullopt;
    if (header[0] == 'I' && header[1] == 'I') {
        tiff.set_little_endian(true);
    } else if (header[0] == 'M' && header[1] == 'M') {
        tiff.set_little_endian(false);
    } else {
        return std::nullopt;
    }
    // Classic TIFF (42) has 32-bit offsets and 12-byte entries, BigTIFF (43)
    // 64-bit offsets and 20-byte entries.
    const uint64_t version = tiff.number(header + 2, 2);
    if (version != 42 && version != 43) return std::nullopt;
    const bool big = version == 43;
    const uint64_t ifd = big ? tiff.number(header + 8, 8) : tiff.number(header + 4, 4);
    const std::size_t count_size = big ? 8 : 2;
    const std::size_t entry_size = big ? 20 : 12;
    const std::size_t value_at = big ? 12 : 8;
    unsigned char count_bytes[8];
    if (!tiff.read(ifd, count_bytes, count_size)) return std::nullopt;
    const uint64_t entries = tiff.number(count_bytes, count_size);
    if (entries > MAX_ENTRIES) return std::nullopt;
    std::vector<unsigned char> table(static_cast<std::size_t>(entries) * entry_size);
    if (!tiff.read(ifd + count_size, table.data(), table.size())) return std::nullopt;

    std::optional<uint64_t> width, length, rows_per_strip, tile_width, tile_length;
    for (uint64_t e = 0; e < entries; ++e) {
        const unsigned char* entry = table.data() + e * entry_size;
        const uint64_t type = tiff.number(entry + 2, 2);
        const uint64_t count = tiff.number(entry + 4, big ? 8 : 4);
        const std::size_t size = type == TYPE_SHORT ? 2 : type == TYPE_LONG ? 4 : 8;
        if (count != 1 || (type != TYPE_SHORT && type != TYPE_LONG && type != TYPE_LONG8)) {
            continue;
        }
        const uint64_t value = tiff.number(entry + value_at, size);
        switch (tiff.number(entry, 2)) {
            case TAG_IMAGE_WIDTH:
                width = value;
                break;
            case TAG_IMAGE_LENGTH:
                length = value;
                break;
            case TAG_ROWS_PER_STRIP:
                rows_per_strip = value;
                break;
            case TAG_TILE_WIDTH:
                tile_width = value;
                break;
            case TAG_TILE_LENGTH:
                tile_length = value;
                break;
            default:
                break;
        }
    }
    if (tile_width && tile_length) return std::make_pair(*tile_width, *tile_length);
    if (!width || !length) return std::nullopt;
    // Without RowsPerStrip the whole image is one strip.
    return std::make_pair(*width, std::min(rows_per_strip.value_or(*length), *length));
}

LayerDataset::LayerDataset(const std::string& path) : file_(open_regular_file(path)) {
    if (file_ < 0) throw RunFailure(path + " not found");
    dataset_.reset(open_with_driver(file_, "GTiff"));
    if (!dataset_) {
        ::close(file_);
        throw RunFailure(path + " not found");
    }
}

LayerDataset::LayerDataset(const std::string& path, const char* driver)
    : file_(open_regular_file(path)) {
    if (file_ < 0) throw RunFailure(path + " not found");
    dataset_.reset(open_with_driver(file_, driver));
    if (!dataset_) {
        ::close(file_);
        throw RunFailure(path + " is not a readable " + driver + " raster");
    }
}

LayerDataset::~LayerDataset() {
    dataset_.reset();
    if (file_ >= 0) ::close(file_);
}

}  // namespace pt
