// The lane arithmetic the filter's averages, means and interpolation rest on:
// a float division or a shift that rounds the wrong way in one corner would
// change a product byte only for the rare pixel that reaches that corner, so
// the whole range the filter can produce is checked here.
#include <gtest/gtest.h>

#include "filter/lanes.hpp"

namespace pt {
namespace {

TEST(LaneArithmetic, DivisionTruncatesTowardZeroOverTheFilterRange) {
    // Numerators: year steps (up to 62) times cover differences (-255..255),
    // and sums of up to 16 heights; divisors: run lengths and counts.
    int checked = 0;
    for (int divisor = 1; divisor <= 64; ++divisor) {
        for (int first = -16384; first < 16384; first += LANE_COUNT) {
            Lanes numerator;
            for (int i = 0; i < LANE_COUNT; ++i) numerator[i] = static_cast<int16_t>(first + i);
            const Lanes quotient = divide_toward_zero(numerator, splat(divisor));
            for (int i = 0; i < LANE_COUNT; ++i) {
                const int expected = (first + i) / divisor;  // C++ truncates toward zero
                if (quotient[i] != expected) {
                    FAIL() << first + i << " / " << divisor << " gave " << quotient[i]
                           << ", expected " << expected;
                }
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 64 * 32768);
}

TEST(LaneArithmetic, DivisionByZeroLanesLeavesTheOtherLanesExact) {
    Lanes numerator = splat(-41), divisor = splat(3);
    divisor[5] = 0;  // a lane the caller masks off
    const Lanes quotient = divide_toward_zero(numerator, divisor);
    for (int i = 0; i < LANE_COUNT; ++i) {
        if (i != 5) {
            EXPECT_EQ(quotient[i], -13) << "lane " << i;
        }
    }
}

TEST(LaneArithmetic, HalvingTruncatesTowardZero) {
    for (int v = -600; v <= 600; ++v) {
        EXPECT_EQ(half_toward_zero(splat(v))[3], v / 2) << v;
    }
}

TEST(LaneArithmetic, BytesWidenUnsignedAndNarrowToTheLowByte) {
    uint8_t bytes[LANE_COUNT];
    for (int i = 0; i < LANE_COUNT; ++i)
        bytes[i] = static_cast<uint8_t>(250 + i);  // wraps past 255
    const Lanes lanes = load_lanes(bytes);
    for (int i = 0; i < LANE_COUNT; ++i) EXPECT_EQ(lanes[i], bytes[i]) << i;

    Lanes wide = lanes + 256;  // a value above 255 stores its low byte
    wide[0] = 300;
    uint8_t out[LANE_COUNT] = {};
    store_lanes(out, wide);
    EXPECT_EQ(out[0], 300 & 0xFF);
    for (int i = 1; i < LANE_COUNT; ++i) EXPECT_EQ(out[i], bytes[i]) << i;
}

TEST(LaneArithmetic, AnyLaneSeesEveryLane) {
    EXPECT_FALSE(any_lane(Lanes{}));
    for (int i = 0; i < LANE_COUNT; ++i) {
        Lanes mask{};
        mask[i] = -1;
        EXPECT_TRUE(any_lane(mask)) << "lane " << i;
    }
}

}  // namespace
}  // namespace pt
