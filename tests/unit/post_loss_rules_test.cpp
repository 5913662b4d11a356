#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "both_forms.hpp"
#include "filter/post_loss_rules_lanes.hpp"
#include "filter/stages.hpp"

namespace pt {
namespace {

using V = std::vector<int32_t>;

// n = 12: loss at one year index, values from year index 3 on, and what the
// rules leave of them.
struct Case {
    int loss_year;
    V window, expected;
};

void expect_after_loss(const std::vector<Case>& cases) {
    std::vector<CoverPixel> pixels;
    for (const Case& c : cases) {
        CoverPixel p(std::vector<uint8_t>(12));
        p.loss[c.loss_year] = 1;
        std::fill(p.value.begin(), p.value.begin() + first_output_index, 0);
        std::copy(c.window.begin(), c.window.end(), p.value.begin() + first_output_index);
        pixels.push_back(p);
    }
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        const std::vector<CoverPixel> out = run_form(
            pixels, form,
            [](CoverPixel& p) {
                apply_post_loss_rules({p.loss.data(), 1}, p.value);
            },
            [](PixelGroup& g) { apply_post_loss_rules(g); });
        for (std::size_t i = 0; i < cases.size(); ++i) {
            EXPECT_EQ(V(out[i].value.begin() + first_output_index, out[i].value.end()),
                      cases[i].expected)
                << "case " << i;
        }
    }
}

TEST(PostLossRules, YearAfterLoss) {
    // Loss at year index 6; year 7 right after it, then years 8 and 9.
    struct Years {
        int32_t v7, v8, v9, e7;
    };
    constexpr int32_t MIN = REGROWTH_MIN, NEXT = REGROWTH_NEXT_MIN;
    const Years years[] = {
        {45, 71, 71, 35},              // regrowth: 71 / 2
        {MIN, NEXT, NEXT, NEXT / 2},   // both limits inclusive
        {45, NEXT - 1, NEXT - 1, 45},  // successor too low for regrowth, not lower either
        {MIN - 1, 71, 71, MIN - 1},
        {60, 40, 40, 40},  // lowered to the year after
        {40, 30, 10, 30},  // only the year right after the loss
        {40, 40, 40, 40},
        {0, 20, 20, 0},
    };
    std::vector<Case> cases;
    for (const Years& y : years) {
        cases.push_back({6,
                         {50, 50, 50, 0, y.v7, y.v8, y.v9, 60, 60},
                         {50, 50, 50, 0, y.e7, y.v8, y.v9, 60, 60}});
    }
    expect_after_loss(cases);
}

TEST(PostLossRules, WindowEnds) {
    expect_after_loss({
        // Loss at n - 2: the last year halves on its own; the lowering never
        // reaches it.
        {10, {50, 50, 50, 50, 50, 50, 50, 0, 61}, {50, 50, 50, 50, 50, 50, 50, 0, 30}},
        {10,
         {50, 50, 50, 50, 50, 50, 50, 0, REGROWTH_MIN},
         {50, 50, 50, 50, 50, 50, 50, 0, REGROWTH_MIN / 2}},
        {10,
         {50, 50, 50, 50, 50, 50, 50, 0, REGROWTH_MIN - 1},
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
