// Shared types of one tile run: the state and proximity codes, the year cubes
// and masks that hold the whole tile in memory, and the strided views through
// which the per-pixel stages see one pixel's years. The run constants and the
// rules' thresholds are in constants.hpp, included here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "tile/constants.hpp"

namespace pt {

// ---- codes --------------------------------------------------------------
inline constexpr int32_t STATE_OK = 0;
inline constexpr int32_t STATE_INVALID = 1;
inline constexpr int32_t STATE_REPAIRED = 2;
inline constexpr int32_t STATE_INTERPOLATED = 3;
inline constexpr int32_t STATE_JUMP = 4;

inline constexpr int32_t PROX_NONE = 0;
inline constexpr int32_t PROX_RECENT = 1;
inline constexpr int32_t PROX_OLDER = 2;

// ---- failures -----------------------------------------------------------
// A failure that ends the run. `message` is the one line the program prints
// on standard output before it exits with status 1.
struct RunFailure : std::runtime_error {
    explicit RunFailure(const std::string& message) : std::runtime_error(message) {}
};

// ---- per-pixel views ----------------------------------------------------
// One pixel's bytes across the years of a cube: entry t at base[t * stride].
// In the tile cubes the stride is one layer; in a worker's transposed row
// buffer it is 1. The stages do not care which.
template <class Byte>
struct StridedSeries {
    Byte* base = nullptr;
    std::ptrdiff_t stride = 0;
    Byte& operator[](int t) const { return base[static_cast<std::ptrdiff_t>(t) * stride]; }
};
using ByteSeries = StridedSeries<uint8_t>;
using ConstByteSeries = StridedSeries<const uint8_t>;

// Per-pixel work space: year_count signed 32-bit entries.
using YearSeries = std::span<int32_t>;
using ConstYearSeries = std::span<const int32_t>;

// ---- tile memory --------------------------------------------------------
// year_count layers of height rows of width words, [year][row][column],
// column fastest, no gaps: one layer is the buffer of one raster read/write.
// The tile's layers are bytes (YearCube); the quality pass's flags are
// QualityWord (tile/quality_word.hpp).
template <class Word>
struct BasicYearCube {
    Word* data = nullptr;
    int year_count = 0;
    int width = 0;
    int height = 0;

    std::size_t layer_size() const { return static_cast<std::size_t>(width) * height; }
    Word* layer(int t) const { return data + layer_size() * t; }
    Word* row(int t, int r) const { return layer(t) + static_cast<std::size_t>(r) * width; }
    Word& at(int t, int r, int c) const { return row(t, r)[c]; }
    StridedSeries<Word> series(int r, int c) const {
        return {data + static_cast<std::size_t>(r) * width + c,
                static_cast<std::ptrdiff_t>(layer_size())};
    }
};
using YearCube = BasicYearCube<uint8_t>;

struct TileMask {
    uint8_t* data = nullptr;
    int width = 0;
    int height = 0;

    uint8_t* row(int r) const { return data + static_cast<std::size_t>(r) * width; }
    uint8_t& at(int r, int c) const { return row(r)[c]; }
};

// The whole tile, every year, in one anonymous mapping that the kernel hands
// out zero-filled. Owned for the length of the run.
class TileMemory {
  public:
    // Throws RunFailure when the memory cannot be had.
    TileMemory(int year_count, int width, int height);
    ~TileMemory();
    TileMemory(const TileMemory&) = delete;
    TileMemory& operator=(const TileMemory&) = delete;

    // Bytes needed for the cubes and masks of such a tile.
    static std::size_t bytes_needed(int year_count, int width, int height);

    int year_count() const { return year_count_; }
    int width() const { return width_; }
    int height() const { return height_; }

    YearCube loss_cube, cover_cube, height_cube;
    YearCube loss_out, cover_out, height_out;
    TileMask datamask, wetland_mask;

  private:
    int year_count_, width_, height_;
    void* mapping_ = nullptr;
    std::size_t mapping_size_ = 0;
};

}  // namespace pt
