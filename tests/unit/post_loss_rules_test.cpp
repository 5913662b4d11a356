#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "both_forms.hpp"
#include "filter/post_loss_rules_lanes.hpp"
#include "filter/stages.hpp"

namespace pt {
namespace {

using V = std::vector<int32_t>;

// n = 12: values from year index 3 on, loss at one year index; what the
// rules leave of the values.
struct Case {
    int loss_year;
    V window, expected;
};

std::vector<V> after_loss(const std::vector<Case>& cases, Form form) {
    constexpr int N = 12;
    std::vector<V> out(cases.size());
    auto years = [](int) { return N; };
    if (form == Form::one_pixel) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            V value(first_output_index, 0);
            value.insert(value.end(), cases[i].window.begin(), cases[i].window.end());
            std::vector<uint8_t> loss(N);
            loss[cases[i].loss_year] = 1;
            apply_post_loss_rules({loss.data(), 1}, value);
            out[i].assign(value.begin() + first_output_index, value.end());
        }
        return out;
    }
    run_in_lane_groups(
        static_cast<int>(cases.size()), years,
        [&](PixelGroup& g, int lane, int i) {
            for (int t = first_output_index; t < N; ++t) {
                g.value[t][lane] = static_cast<int16_t>(cases[i].window[t - first_output_index]);
            }
            g.loss[cases[i].loss_year][lane] = -1;
        },
        [](PixelGroup& g) { apply_post_loss_rules(g); },
        [&](PixelGroup& g, int lane, int i) {
            for (int t = first_output_index; t < N; ++t) out[i].push_back(g.value[t][lane]);
        });
    return out;
}

void expect_after_loss(const std::vector<Case>& cases) {
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        const std::vector<V> out = after_loss(cases, form);
        for (std::size_t i = 0; i < cases.size(); ++i) {
            EXPECT_EQ(out[i], cases[i].expected) << "case " << i;
        }
    }
}

TEST(PostLossRules, YearAfterLoss) {
    // Loss at year index 6; year 7 right after it, then years 8 and 9.
    struct Years { int32_t v7, v8, v9, e7; };
    constexpr int32_t MIN = REGROWTH_MIN, NEXT = REGROWTH_NEXT_MIN;
    const Years years[] = {
        {45, 71, 71, 35},               // regrowth: 71 / 2
        {MIN, NEXT, NEXT, NEXT / 2},    // both limits inclusive
        {45, NEXT - 1, NEXT - 1, 45},   // successor too low for regrowth, not lower either
        {MIN - 1, 71, 71, MIN - 1},
        {60, 40, 40, 40},               // lowered to the year after
        {40, 30, 10, 30},               // only the year right after the loss
        {40, 40, 40, 40},
        {0, 20, 20, 0},
    };
    std::vector<Case> cases;
    for (const Years& y : years) {
        cases.push_back({6, {50, 50, 50, 0, y.v7, y.v8, y.v9, 60, 60},
                         {50, 50, 50, 0, y.e7, y.v8, y.v9, 60, 60}});
    }
    expect_after_loss(cases);
}

TEST(PostLossRules, WindowEnds) {
    expect_after_loss({
        // Loss at n - 2: the last year halves on its own; the lowering never
        // reaches it.
        {10, {50, 50, 50, 50, 50, 50, 50, 0, 61}, {50, 50, 50, 50, 50, 50, 50, 0, 30}},
        {10, {50, 50, 50, 50, 50, 50, 50, 0, REGROWTH_MIN},
         {50, 50, 50, 50, 50, 50, 50, 0, REGROWTH_MIN / 2}},
        {10, {50, 50, 50, 50, 50, 50, 50, 0, REGROWTH_MIN - 1},
         {50, 50, 50, 50, 50, 50, 50, 0, REGROWTH_MIN - 1}},
        // Loss at n - 3: the last year serves as the year after.
        {9, {50, 50, 50, 50, 50, 50, 0, 45, 71}, {50, 50, 50, 50, 50, 50, 0, 35, 71}},
        {9, {50, 50, 50, 50, 50, 50, 0, 60, 40}, {50, 50, 50, 50, 50, 50, 0, 40, 40}},
        // Loss at index 3 acts on index 4 and leaves 3 alone.
        {3, {0, 60, 40, 40, 40, 40, 40, 40, 40}, {0, 40, 40, 40, 40, 40, 40, 40, 40}},
    });
}

TEST(StoreCover, WritesOutputYearsOnly) {
    const std::vector<int32_t> value = {7, 7, 7, 0, 100, 55};
    std::vector<uint8_t> out(value.size(), 0xEE);
    store_cover(value, {out.data(), 1});
    EXPECT_EQ(out, (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0, 100, 55}));
}

}  // namespace
}  // namespace pt
