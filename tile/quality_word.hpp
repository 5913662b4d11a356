// The quality word: what the cleaning did to one pixel in one year, one bit
// per flag. Every place that holds or counts these words (the flag cube, the
// lane store, the QA rasters' data type, the table's counts) takes its width
// from QualityWord and its flags from QUALITY_FLAGS, so a flag added to the
// table either fits the word or stops the build.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string_view>

#include "tile/tile.hpp"

namespace pt {

using QualityWord = uint8_t;

// A cube of quality words, shaped as the tile's cubes.
using QualityCube = BasicYearCube<QualityWord>;

// The flags, bit 0 first, under the names that the quality table's columns
// and the QA rasters' band metadata give them. A flag is set for a pixel
// inside the datamask when, in that year:
inline constexpr auto QA_BIT_NAMES = std::to_array<std::string_view>({
    "invalid",          // classification left it STATE_INVALID
    "jump",             // classification left it STATE_JUMP
    "repaired",         // gap repair left it STATE_REPAIRED, or the final-year carry set its value
    "interpolated",     // gap repair left it STATE_INTERPOLATED
    "post_loss",        // the post-loss rules changed its cover
    "height_filled",    // its height is the mean of neighbours'
    "height_capped",    // the growth cap lowered its height
    "height_smoothed",  // smoothing or the final-year rule changed its height
});
inline constexpr int QA_BIT_COUNT = static_cast<int>(QA_BIT_NAMES.size());
static_assert(QA_BIT_COUNT <= std::numeric_limits<QualityWord>::digits,
              "every quality flag needs a bit of QualityWord: widen the word");
static_assert(std::numeric_limits<QualityWord>::digits <= 16,
              "the lane form builds the flags in 16-bit lanes");

// The word with flag `bit` alone set; a bit the word has not stops the build.
consteval QualityWord quality_bit(int bit) {
    if (bit < 0 || bit >= QA_BIT_COUNT) throw "no such quality flag";
    return static_cast<QualityWord>(1u << bit);
}

inline constexpr QualityWord QA_INVALID = quality_bit(0);
inline constexpr QualityWord QA_JUMP = quality_bit(1);
inline constexpr QualityWord QA_REPAIRED = quality_bit(2);
inline constexpr QualityWord QA_INTERPOLATED = quality_bit(3);
inline constexpr QualityWord QA_POST_LOSS = quality_bit(4);
inline constexpr QualityWord QA_HEIGHT_FILLED = quality_bit(5);
inline constexpr QualityWord QA_HEIGHT_CAPPED = quality_bit(6);
inline constexpr QualityWord QA_HEIGHT_SMOOTHED = quality_bit(7);

}  // namespace pt
