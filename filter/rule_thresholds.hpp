// The thresholds of the cover rules, shared by the one-pixel stages and
// their lane form (pixel_group.cpp), which must decide exactly alike.
#pragma once

namespace pt {

// Cover bytes above this are not percentages.
inline constexpr int MAX_VALID_COVER = 100;
// A change of this much against one neighbour, with at most half of it
// against the other, is a one-sided jump rather than noise.
inline constexpr int JUMP_MIN = 20;
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

}  // namespace pt
