#include <gtest/gtest.h>

#include <vector>

#include "filter/stages.hpp"

namespace pt {
namespace {

// n = 12, values from year index 3 on, loss at one year index (value 0).
std::vector<int32_t> after_loss(int loss_year, std::vector<int32_t> window) {
    std::vector<int32_t> value(first_output_index, 0);
    value.insert(value.end(), window.begin(), window.end());
    std::vector<uint8_t> loss(value.size());
    loss[loss_year] = 1;
    apply_post_loss_rules({loss.data(), 1}, value);
    return {value.begin() + first_output_index, value.end()};
}

using V = std::vector<int32_t>;

TEST(PostLossRules, YearAfterLoss) {
    struct Case { int32_t v7, v8, v9, e7; };
    const Case cases[] = {
        {45, 71, 71, 35},  // regrowth: 71 / 2
        {30, 50, 50, 25},  // both limits inclusive
        {45, 49, 49, 45},  // successor too low for regrowth, not lower either
        {29, 71, 71, 29},
        {60, 40, 40, 40},  // lowered to the year after
        {40, 30, 10, 30},  // only the year right after the loss
        {40, 40, 40, 40},
        {0, 20, 20, 0},
    };
    for (const Case& c : cases) {
        const V out = after_loss(6, {50, 50, 50, 0, c.v7, c.v8, c.v9, 60, 60});
        EXPECT_EQ(out, (V{50, 50, 50, 0, c.e7, c.v8, c.v9, 60, 60})) << c.v7 << " " << c.v8;
    }
}

TEST(PostLossRules, WindowEnds) {
    // Loss at n - 2: the last year halves on its own; the lowering never
    // reaches it.
    EXPECT_EQ(after_loss(10, {50, 50, 50, 50, 50, 50, 50, 0, 61}).back(), 30);
    EXPECT_EQ(after_loss(10, {50, 50, 50, 50, 50, 50, 50, 0, 30}).back(), 15);
    EXPECT_EQ(after_loss(10, {50, 50, 50, 50, 50, 50, 50, 0, 29}).back(), 29);
    // Loss at n - 3: the last year serves as the year after.
    EXPECT_EQ(after_loss(9, {50, 50, 50, 50, 50, 50, 0, 45, 71}), (V{50, 50, 50, 50, 50, 50, 0, 35, 71}));
    EXPECT_EQ(after_loss(9, {50, 50, 50, 50, 50, 50, 0, 60, 40}), (V{50, 50, 50, 50, 50, 50, 0, 40, 40}));
    // Loss at index 3 acts on index 4 and leaves 3 alone.
    EXPECT_EQ(after_loss(3, {0, 60, 40, 40, 40, 40, 40, 40, 40})[1], 40);
}

TEST(StoreCover, WritesOutputYearsOnly) {
    const std::vector<int32_t> value = {7, 7, 7, 0, 100, 55};
    std::vector<uint8_t> out(value.size(), 0xEE);
    store_cover(value, {out.data(), 1});
    EXPECT_EQ(out, (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0, 100, 55}));
}

}  // namespace
}  // namespace pt
