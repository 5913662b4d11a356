// What the cleaning did to each pixel-year, as one byte of flags: the
// quality pass runs the same lane stages as the product pass and records,
// between the steps, which of them changed the year.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/pixel_group.hpp"

namespace pt {

// The bits of a quality byte, set for a pixel inside the datamask when, in
// that year:
inline constexpr uint8_t QA_INVALID = 1 << 0;          // classification left it STATE_INVALID
inline constexpr uint8_t QA_JUMP = 1 << 1;             // classification left it STATE_JUMP
inline constexpr uint8_t QA_REPAIRED = 1 << 2;         // gap repair left it STATE_REPAIRED, or
                                                       // the final-year carry set its value
inline constexpr uint8_t QA_INTERPOLATED = 1 << 3;     // gap repair left it STATE_INTERPOLATED
inline constexpr uint8_t QA_POST_LOSS = 1 << 4;        // the post-loss rules changed its cover
inline constexpr uint8_t QA_HEIGHT_FILLED = 1 << 5;    // its height is the mean of neighbours'
inline constexpr uint8_t QA_HEIGHT_CAPPED = 1 << 6;    // the growth cap lowered its height
inline constexpr uint8_t QA_HEIGHT_SMOOTHED = 1 << 7;  // smoothing or the final-year rule
                                                       // changed its height
inline constexpr int QA_BIT_COUNT = 8;
// Their names, bit 0 first, as the quality table's columns call them.
inline constexpr const char* QA_BIT_NAMES[QA_BIT_COUNT] = {
    "invalid",   "jump",          "repaired",      "interpolated",
    "post_loss", "height_filled", "height_capped", "height_smoothed"};

// A worker's flag series for one group, reused from group to group.
struct GroupFlags {
    explicit GroupFlags(int year_count) : flags(year_count), before(year_count) {}
    LaneSeries flags;   // the quality byte of each year, being built
    LaneSeries before;  // a step's input, to see what the step changed
};

// filter_row_groups, and the quality bytes of the row's output years into
// flags_out, laid out as cover_out (year t at t * row.stride); 0 outside
// the datamask.
void filter_row_groups_with_flags(PixelGroup& group, const RowBuffers& row, GroupFlags& work,
                                  uint8_t* flags_out);

}  // namespace pt
