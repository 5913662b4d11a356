#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "both_forms.hpp"
#include "filter/repair_cover_gaps_lanes.hpp"
#include "filter/stages.hpp"

namespace pt {
namespace {

// Years 3 to n-1 given as (state, value, cover byte); years 0 to 2 are
// accepted at 0, as classification leaves them.
struct Year {
    int32_t state, value;
    uint8_t cover;
};
constexpr Year OK(int32_t v) {
    return {STATE_OK, v, static_cast<uint8_t>(v)};
}
constexpr Year BAD(uint8_t c) {
    return {STATE_INVALID, 0, c};
}
constexpr Year JUMP(uint8_t c) {
    return {STATE_JUMP, 0, c};
}

// A window and what the repair makes of it: values, and states as letters,
// '.' accepted, 'x' invalid, 'r' repaired, 'i' interpolated.
struct Case {
    std::vector<Year> window;
    std::vector<int32_t> values;
    std::string states;
};

char state_letter(int32_t code) {
    switch (code) {
        case STATE_OK:
            return '.';
        case STATE_INVALID:
            return 'x';
        case STATE_REPAIRED:
            return 'r';
        case STATE_INTERPOLATED:
            return 'i';
        default:
            return '?';
    }
}

void expect_repairs(const std::vector<Case>& cases) {
    std::vector<CoverPixel> pixels;
    for (const Case& c : cases) {
        CoverPixel p(std::vector<uint8_t>(first_output_index + c.window.size()));
        for (int t = 0; t < p.years(); ++t) {
            const Year y = t < first_output_index ? OK(0) : c.window[t - first_output_index];
            p.state[t] = y.state, p.value[t] = y.value, p.cover[t] = y.cover;
        }
        pixels.push_back(p);
    }
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        const std::vector<CoverPixel> out = run_form(
            pixels, form,
            [](CoverPixel& p) {
                repair_cover_gaps({p.cover.data(), 1}, p.value, p.state);
            },
            [](PixelGroup& g) { repair_cover_gaps(g); });
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const std::vector<int32_t> values(out[i].value.begin() + first_output_index,
                                              out[i].value.end());
            std::string states;
            for (int t = first_output_index; t < out[i].years(); ++t) {
                states += state_letter(out[i].state[t]);
            }
            EXPECT_EQ(values, cases[i].values) << "case " << i;
            EXPECT_EQ(states, cases[i].states) << "case " << i;
        }
    }
}

TEST(RepairCoverGaps, Replacement) {
    expect_repairs({
        // Median of 62, 0, 58.
        {{OK(50), OK(50), OK(62), BAD(0), OK(58), OK(50)}, {50, 50, 62, 58, 58, 50}, "...r.."},
        // The byte of 60 keeps itself; an accepted last year is not carried.
        {{OK(50), OK(50), OK(62), BAD(60), OK(58)}, {50, 50, 62, 60, 58}, "...r."},
        // A jump takes the median even when the year after is not accepted;
        // that year, with no accepted neighbour left, is interpolated.
        {{OK(50), OK(50), OK(40), JUMP(70), BAD(68), OK(80), OK(80)},
         {50, 50, 40, 68, 74, 80, 80},
         "...ri.."},
        // Year 7 borrows 66 from year 6; for year 8's median it then offers
        // its byte 70, not 66.
        {{OK(50), OK(50), OK(50), OK(66), BAD(70), JUMP(80), OK(60), OK(60)},
         {50, 50, 50, 66, 66, 70, 60, 60},
         "....rr.."},
        // A byte above 100 at year index 3 ends as 0 either way.
        {{BAD(0), OK(70), OK(70)}, {0, 70, 70}, "r.."},
        {{BAD(0), BAD(70), OK(70)}, {0, 70, 70}, "rr."},
    });
}

TEST(RepairCoverGaps, Interpolation) {
    expect_repairs({
        // -40/3 truncates to -13, not -14; the carried last year keeps its code.
        {{OK(60), OK(60), OK(60), BAD(0), BAD(0), OK(20), OK(20), OK(33), BAD(0)},
         {60, 60, 60, 47, 34, 20, 20, 33, 33},
         "...ii...x"},
        // Year 7 borrows 60 at the limit, then year 8 is a run of one between
        // 60 and 20.
        {{OK(60), OK(60), OK(60), BAD(60 - BORROW_MAX_DIFF), BAD(0), OK(20), OK(20)},
         {60, 60, 60, 60, 40, 20, 20},
         "...ri.."},
        // Invalid year before a jump: the jump is replaced first, then the
        // gap is interpolated between 62 and 68.
        {{OK(62), OK(62), BAD(40), JUMP(70), OK(68), OK(60), OK(60)},
         {62, 62, 65, 68, 68, 60, 60},
         "..ir..."},
        // A run reaching n - 2 anchors on its own last byte; the last year copies.
        {{OK(50), OK(50), OK(50), BAD(0), BAD(30), BAD(0)}, {50, 50, 50, 44, 37, 37}, "...iix"},
        // A run at the window start anchors on its own first byte.
        {{BAD(40), BAD(0), OK(70), OK(70)}, {50, 60, 70, 70}, "ii.."},
        {{BAD(20), BAD(80), BAD(0)}, {40, 60, 60}, "iix"},
        {{BAD(37), BAD(0)}, {37, 37}, "ix"},
        // Last year 2000: nothing to repair from; the year before's 0 is carried.
        {{BAD(37)}, {0}, "x"},
    });
}

}  // namespace
}  // namespace pt
