#include "tile/tile.hpp"

#include <sys/mman.h>

namespace pt {

namespace {
constexpr int CUBE_COUNT = 6;
constexpr int MASK_COUNT = 2;
}  // namespace

std::size_t TileMemory::bytes_needed(int year_count, int width, int height) {
    const std::size_t layer = static_cast<std::size_t>(width) * height;
    return CUBE_COUNT * layer * year_count + MASK_COUNT * layer;
}

TileMemory::TileMemory(int year_count, int width, int height)
    : year_count_(year_count), width_(width), height_(height) {
    mapping_size_ = bytes_needed(year_count, width, height);
    // Anonymous pages arrive zeroed, so the six cubes need no explicit clear,
    // and pages nobody touches (layers 0-2 of loss and height) cost nothing.
    void* p = mmap(nullptr, mapping_size_, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        throw RunFailure("cannot obtain " + std::to_string(mapping_size_) +
                         " bytes of tile memory");
    }
    // Huge pages cut the cost of first touching gigabytes of fresh memory.
    madvise(p, mapping_size_, MADV_HUGEPAGE);
    mapping_ = p;

    auto* next = static_cast<uint8_t*>(p);
    const std::size_t layer = static_cast<std::size_t>(width) * height;
    auto take_cube = [&](YearCube& cube) {
        cube = YearCube{next, year_count, width, height};
        next += layer * year_count;
    };
    auto take_mask = [&](TileMask& mask) {
        mask = TileMask{next, width, height};
        next += layer;
    };
    take_cube(loss_cube);
    take_cube(cover_cube);
    take_cube(height_cube);
    take_cube(loss_out);
    take_cube(cover_out);
    take_cube(height_out);
    take_mask(datamask);
    take_mask(wetland_mask);
}

TileMemory::~TileMemory() {
    if (mapping_ != nullptr) munmap(mapping_, mapping_size_);
}

}  // namespace pt
