// What the cleaning did to each pixel-year, as one quality word of flags
// (tile/quality_word.hpp): the quality pass runs the same lane stages as the
// product pass and records, between the steps, which of them changed the
// year.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "filter/pixel_group.hpp"
#include "tile/quality_word.hpp"

namespace pt {

// A worker's flag series for one group, reused from group to group.
struct GroupFlags {
    explicit GroupFlags(int year_count) : flags(year_count), before(year_count) {}
    LaneSeries flags;   // the quality word of each year, being built
    LaneSeries before;  // a step's input, to see what the step changed
};

// A lane vector's flags to memory as words: the low byte of each lane for
// byte words, the whole 16-bit lane for 16-bit words (the lanes build every
// flag, so any QualityWord carries all of them; see tile/quality_word.hpp).
template <class Word>
PT_LANE_INLINE void store_lane_words(Word* out, Lanes lanes) {
    static_assert(std::is_unsigned_v<Word> && sizeof(Word) <= sizeof(int16_t));
    if constexpr (sizeof(Word) == 1) {
        store_lanes(out, lanes);
    } else {
        std::memcpy(out, &lanes, sizeof lanes);
    }
}

// filter_row_groups, and the quality words of the row's output years into
// flags_out, laid out as cover_out (year t at t * row.stride); 0 outside
// the datamask.
void filter_row_groups_with_flags(PixelGroup& group, const RowBuffers& row, GroupFlags& work,
                                  QualityWord* flags_out);

}  // namespace pt
