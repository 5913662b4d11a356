// Sixteen neighbouring pixels of a row handled as one value: a vector of
// 16-bit lanes, one per pixel. Every quantity of the filter fits a lane
// (bytes, medians and means of bytes, products of a byte difference and a
// year count), and the rules become lane-wise arithmetic and selections, so
// sixteen pixels cost about what one did with branches that the data makes
// unpredictable. Masks are lanes of all ones (true) or zero (false).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The lane helpers are always inlined, so that they are compiled for the
// instruction set of the function that uses them.
#define PT_LANE_INLINE [[gnu::always_inline]] inline

// Functions built once per instruction set and picked when the program
// starts: AVX2 where the processor has it, the x86-64 baseline elsewhere.
#if defined(__x86_64__) && !defined(PT_NO_LANE_CLONES)
#define PT_LANE_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define PT_LANE_CLONES
#endif

namespace pt {

inline constexpr int LANE_COUNT = 16;

// Aligned explicitly: the default alignment of a vector type depends on the
// instruction set it is compiled for, and the AVX2 build must agree with the
// baseline build about the memory they share.
using Lanes = int16_t __attribute__((vector_size(2 * LANE_COUNT), aligned(2 * LANE_COUNT)));
using LaneBytes = uint8_t __attribute__((vector_size(LANE_COUNT)));
using LaneFloats = float __attribute__((vector_size(4 * LANE_COUNT)));
using LaneInts = int32_t __attribute__((vector_size(4 * LANE_COUNT)));
using LaneWords = uint64_t __attribute__((vector_size(2 * LANE_COUNT)));

// A row width rounded up to whole groups of lanes.
inline std::size_t padded_to_lanes(int width) {
    return (static_cast<std::size_t>(width) + LANE_COUNT - 1) / LANE_COUNT * LANE_COUNT;
}

PT_LANE_INLINE Lanes splat(int value) {
    return Lanes{} + static_cast<int16_t>(value);
}

// Sixteen bytes from memory (any alignment), each widened to its lane.
PT_LANE_INLINE Lanes load_lanes(const uint8_t* bytes) {
    LaneBytes b;
    std::memcpy(&b, bytes, sizeof b);
    return __builtin_convertvector(b, Lanes);
}

// The low byte of each lane to memory.
PT_LANE_INLINE void store_lanes(uint8_t* bytes, Lanes lanes) {
    const LaneBytes b = __builtin_convertvector(lanes, LaneBytes);
    std::memcpy(bytes, &b, sizeof b);
}

PT_LANE_INLINE bool any_lane(Lanes mask) {
    const LaneWords words = reinterpret_cast<LaneWords>(mask);
    return (words[0] | words[1] | words[2] | words[3]) != 0;
}

PT_LANE_INLINE Lanes choose(Lanes mask, Lanes if_true, Lanes if_false) {
    return mask ? if_true : if_false;
}

PT_LANE_INLINE Lanes lanes_min(Lanes a, Lanes b) {
    return a < b ? a : b;
}
PT_LANE_INLINE Lanes lanes_max(Lanes a, Lanes b) {
    return a > b ? a : b;
}
PT_LANE_INLINE Lanes lanes_abs(Lanes a) {
    return a < 0 ? -a : a;
}

PT_LANE_INLINE Lanes median_of_three(Lanes a, Lanes b, Lanes c) {
    return lanes_max(lanes_min(a, b), lanes_min(lanes_max(a, b), c));
}

// Half of each lane, truncated toward zero as the rules' averages are.
PT_LANE_INLINE Lanes half_toward_zero(Lanes a) {
    return (a - (a >> 15)) >> 1;
}

// Quotient truncated toward zero, lane by lane. Exact here: numerators stay
// far below 2^24, so both are exact floats; a quotient that is not an
// integer lies at least 1/divisor (>= 1/64) from one, far beyond the
// float's rounding error, so truncating the rounded quotient gives the
// integer quotient. Lanes whose divisor is 0 must be masked off by the
// caller; they get 1 as divisor here.
PT_LANE_INLINE Lanes divide_toward_zero(Lanes numerator, Lanes divisor) {
    const Lanes safe = divisor == 0 ? splat(1) : divisor;
    // Through 32-bit integers both ways: the compiler turns these into
    // whole-vector conversions, where the direct 16-bit ones came out lane
    // by lane.
    const LaneFloats q =
        __builtin_convertvector(__builtin_convertvector(numerator, LaneInts), LaneFloats) /
        __builtin_convertvector(__builtin_convertvector(safe, LaneInts), LaneFloats);
    return __builtin_convertvector(__builtin_convertvector(q, LaneInts), Lanes);
}

}  // namespace pt
