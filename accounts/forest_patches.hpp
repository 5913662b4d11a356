// Forest by definition: a place is forest not because one pixel has enough
// canopy, but because it belongs to a stand of canopy big enough to count
// as a forest. A canopy pixel is land whose cover and height reach the
// definition's; a patch is a largest set of canopy pixels connected through
// their neighbours; its area is the sum of its cells' ground areas; its
// pixels are forest when that area reaches the definition's minimum.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Counting set bits is one instruction on every x86-64 made since 2008,
// but not in the baseline the build targets: the functions that count are
// built for both, and the processor's kind picked when the program starts.
// (GCC's builds; clang, which builds the sanitizer run, would want the
// clones declared so wherever the function is first named.)
#if defined(__x86_64__) && !defined(__clang__)
#define PT_POPCOUNT_CLONES [[gnu::target_clones("popcnt", "default")]]
#else
#define PT_POPCOUNT_CLONES
#endif

namespace pt {

// "COVER:HEIGHT:HECTARES": a whole percentage of canopy cover (0 to 100), a
// whole canopy height in the height products' units (0 to 255) and the
// least area of a patch in hectares (a decimal >= 0).
struct ForestDefinition {
    int cover = 0;
    int height = 0;
    double hectares = 0;
    // The least area of a forest patch in square metres: hectares x 10000,
    // compared with a patch's summed area as doubles (>=), nothing rounded.
    double min_area_m2() const { return hectares * 10000.0; }
};

// Reads "COVER:HEIGHT:HECTARES": exactly three fields, COVER and HEIGHT
// decimal digits only, HECTARES digits with at most one decimal point (no
// sign, exponent, "inf" or "nan"). Nothing, with `error` set to one line,
// otherwise.
std::optional<ForestDefinition> parse_forest_definition(std::string_view text, std::string& error);

// One bit a pixel of a width x height raster, each row starting on a word
// of its own, so that a row's runs and counts work on whole words.
class BitMask {
  public:
    BitMask() = default;
    BitMask(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    void set(int row, int column) { row_words(row)[column >> 6] |= uint64_t{1} << (column & 63); }
    bool test(int row, int column) const {
        return (row_words(row)[column >> 6] >> (column & 63)) & 1u;
    }
    uint64_t* row_words(int row) { return bits_.data() + static_cast<std::size_t>(row) * words_; }
    const uint64_t* row_words(int row) const {
        return bits_.data() + static_cast<std::size_t>(row) * words_;
    }
    // The set pixels of columns [begin, end) of `row`.
    int count(int row, int begin, int end) const;

  private:
    int width_ = 0, height_ = 0;
    std::size_t words_ = 0;  // words a row
    std::vector<uint64_t> bits_;
};

// Clears from `canopy` every pixel of a patch whose area is less than
// `min_area_m2`, leaving the forest pixels. Patches join pixels sharing an
// edge (`connectivity` 4) or an edge or a corner (8); the mask's edges end
// them. A cell of row r weighs `row_area_m2[r]` square metres. Throws
// std::invalid_argument for another connectivity or a row_area_m2 of
// another length than the mask's height.
void keep_forest_patches(BitMask& canopy, const std::vector<double>& row_area_m2,
                         double min_area_m2, int connectivity);

// The patches too small inside the mask that touch one of its `edge`
// pixels, where they may go on beyond it: numbered 1, 2, ... in the order
// of their first pixel (row by row), each with its area and its runs.
struct UndecidedPatches {
    struct Run {
        int row, begin, end;  // columns [begin, end) of `row`
        uint32_t patch;
    };
    std::vector<double> area_m2;  // of patch k at k - 1
    std::vector<Run> runs;        // by row, then column
};

// As above, but a patch below the area that touches a pixel set in `edge`
// (a mask of the same size) is cleared too and returned as undecided.
UndecidedPatches keep_forest_patches(BitMask& canopy, const std::vector<double>& row_area_m2,
                                     double min_area_m2, int connectivity, const BitMask& edge);

}  // namespace pt
