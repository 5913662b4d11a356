// The fixed numbers of a tile run: its years and tile size, and every
// threshold of the filter's rules. The one-pixel stages and their lane form
// read the thresholds from here, so the two decide exactly alike; tests take
// them from here too.
#pragma once

namespace pt {

// ---- run ----------------------------------------------------------------
inline constexpr int FIRST_YEAR = 1997;
inline constexpr int FIRST_OUTPUT_YEAR = 2000;
inline constexpr int first_output_index = FIRST_OUTPUT_YEAR - FIRST_YEAR;  // 3
inline constexpr int TILE_SIZE = 4004;
inline constexpr double PIXEL_SIZE = 0.00025;

// The filter needs the years 1997 to 2000 at least (the last-year rules look
// three years back). The gap repair walks a pixel's years as the bits of a
// 64-bit word, and the lane arithmetic of the fast pass keeps year steps
// times cover differences within 16 bits; both bound a run at 64 years.
inline constexpr int MIN_LAST_YEAR = FIRST_OUTPUT_YEAR;
inline constexpr int MAX_YEAR_COUNT = 64;
inline constexpr int MAX_LAST_YEAR = FIRST_YEAR + MAX_YEAR_COUNT - 1;  // 2060

inline int year_count_for(int last_year) { return last_year - FIRST_YEAR + 1; }

// ---- loss thinning --------------------------------------------------------
// A retained loss hides the flags of this many following years: the same
// disturbance tends to be reported again in the years right after it.
inline constexpr int THINNING_YEARS = 3;

// ---- canopy cover rules -------------------------------------------------
// Cover bytes above this are not percentages.
inline constexpr int MAX_VALID_COVER = 100;
// A change of this much against one neighbour, with at most half of it
// against the other, is a one-sided jump rather than noise.
inline constexpr int JUMP_MIN = 20;
// Wetland cover from this year on follows the previous year's value instead
// of being accepted as read.
inline constexpr int WETLAND_RULE_YEAR = 2017;
// Wetland years close to the previous value are accepted; a little further
// off on a steady trend they move halfway; otherwise they hold the level.
inline constexpr int WETLAND_ACCEPT_DIFF = 4;
inline constexpr int WETLAND_AVERAGE_DIFF = 9;
// A marked year may borrow an adjacent accepted value this close to its byte.
inline constexpr int BORROW_MAX_DIFF = 5;
// Dense cover in the year right after a loss can only be partial regrowth:
// when it shows REGROWTH_MIN or more and the year after confirms at least
// REGROWTH_NEXT_MIN, it is set halfway between the loss year's 0 and that.
inline constexpr int REGROWTH_MIN = 30;
inline constexpr int REGROWTH_NEXT_MIN = 50;

// ---- canopy height rules ------------------------------------------------
// The derived height may rise by at most this much from one year to the next.
inline constexpr int HEIGHT_GAIN_LIMIT = 3;

}  // namespace pt
