#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "both_forms.hpp"
#include "filter/classify_cover_lanes.hpp"
#include "filter/stages.hpp"

namespace pt {
namespace {

using Pixel = CoverPixel;

std::vector<Pixel> classified(std::vector<Pixel> pixels, Form form) {
    return run_form(
        std::move(pixels), form,
        [](Pixel& p) {
            classify_cover({p.cover.data(), 1}, {p.loss.data(), 1}, p.wetland, p.proximity, p.value,
                           p.state);
        },
        [](PixelGroup& g) { classify_cover(g); });
}

TEST(ClassifyCover, PeaksAndValleys) {
    // Years 4 to 8 of n = 12, flat outside them; year 6 is judged.
    constexpr uint8_t A = 40 + JUMP_MIN;  // a drop of exactly JUMP_MIN to 40
    struct Case {
        uint8_t c[5];
        int32_t prox;
        uint8_t wetland;
        int32_t state, value;
    };
    const Case cases[] = {
        {{A, A, 40, A, A}, 0, 0, STATE_INVALID, 0},            // a = b = JUMP_MIN
        {{A, A, 40, 45, 45}, 0, 0, STATE_JUMP, 0},             // b = 5 <= a / 2
        {{A - 1, A - 1, 40, 45, 45}, 0, 0, STATE_INVALID, 0},  // a = JUMP_MIN - 1
        {{40, 40, 70, 68, 68}, 0, 0, STATE_JUMP, 0},           // peak
        {{40, 40, 70, 68, 68}, 0, 1, STATE_OK, 70},            // wetland before WETLAND_RULE_YEAR
        {{A, A, 40, 45, 45}, PROX_RECENT, 0, STATE_OK, 40},    // valley by recent loss
        {{A, A, 40, 45, 45}, PROX_OLDER, 0, STATE_JUMP, 0},
        {{70, 60, 50, 55, 65}, 0, 0, STATE_OK, 50},  // inside a wider valley
        {{70, 60, 50, 55, 55}, 0, 0, STATE_INVALID, 0},
        {{50, 50, 60, 200, 0}, 0, 0, STATE_OK, 60},  // 200 compares unsigned
    };
    std::vector<Pixel> pixels;
    for (const Case& c : cases) {
        Pixel p({c.c[0], c.c[0], c.c[0], c.c[0], c.c[0], c.c[1], c.c[2], c.c[3], c.c[4], c.c[4],
                 c.c[4], c.c[4]});
        p.proximity[6] = c.prox;
        p.wetland = c.wetland;
        pixels.push_back(p);
    }
    // The wider valley cannot reach past the last year.
    pixels.push_back(Pixel({70, 70, 70, 70, 70, 70, 70, 70, 70, 60, 50, 55}));

    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        const std::vector<Pixel> out = classified(pixels, form);
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            EXPECT_EQ(out[i].state[6], cases[i].state) << "case " << i;
            EXPECT_EQ(out[i].value[6], cases[i].value) << "case " << i;
        }
        EXPECT_EQ(out.back().state[10], STATE_INVALID);
    }
}

TEST(ClassifyCover, InvalidBytesAndLossYears) {
    Pixel pixel({0, 0, 255, 50, 40, 150, 0, 200, 200, 0});
    pixel.loss[7] = 1;
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        const Pixel p = classified({pixel}, form)[0];
        EXPECT_EQ(p.value[3], 50);  // 1999's 255 takes part as read: 255 >= 50 >= 40
        // 150 is zeroed in place, so the 0 after it is unchanged cover.
        EXPECT_EQ(p.cover[5], 0);
        EXPECT_EQ(p.state[5], STATE_INVALID);
        EXPECT_EQ(p.state[6], STATE_OK);
        // A loss year is cleared without examining its byte.
        EXPECT_EQ(p.cover[7], 200);
        EXPECT_EQ(p.value[7] | p.state[7], 0);
        for (int t = 0; t < first_output_index; ++t) EXPECT_EQ(p.value[t] | p.state[t], 0);
    }
}

TEST(ClassifyCover, WetlandFollowsThePreviousValueFromItsRuleYear) {
    // The rule year is accepted at 50 through older loss nearby; the year
    // after it is judged against that.
    constexpr int RULE = WETLAND_RULE_YEAR - FIRST_YEAR;
    struct Case {
        uint8_t before, after;
        int32_t expected;
    };
    const Case cases[] = {
        {60, 50 + WETLAND_ACCEPT_DIFF, 50 + WETLAND_ACCEPT_DIFF},  // close: accepted
        {60, 43, 46},                                              // falling trend: halfway
        {40, 43, 50},                                              // no trend: holds
        {60, 50 - WETLAND_AVERAGE_DIFF - 1, 50},                   // too far: holds
    };
    std::vector<Pixel> pixels;
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(RULE + 3, 60);
        bytes[RULE - 1] = c.before, bytes[RULE] = 50, bytes[RULE + 1] = c.after;
        Pixel p(bytes);
        p.wetland = 1;
        p.proximity[RULE] = PROX_OLDER;
        pixels.push_back(p);
    }
    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        const std::vector<Pixel> out = classified(pixels, form);
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            EXPECT_EQ(out[i].value[RULE + 1], cases[i].expected) << "case " << i;
            EXPECT_EQ(out[i].state[RULE + 1], STATE_OK) << "case " << i;
        }
    }
}

TEST(ClassifyCover, LastYear) {
    std::vector<Pixel> pixels;
    // Unsettled after an accepted year: takes its value; n = 4 sees 1999 at 0.
    pixels.push_back(Pixel({60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 40, 50}));
    pixels.back().proximity[10] = PROX_RECENT;
    pixels.push_back(Pixel({0, 50, 60, 40}));
    // After a jump year (60 between 50 and 40) it is marked instead.
    pixels.push_back(Pixel({50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 60, 40}));
    // Loss three years back accepts a rise, not a fall.
    pixels.push_back(Pixel({50, 50, 50, 50, 50, 50, 50, 50, 0, 70, 40, 45}));
    pixels.back().loss[8] = 1;
    pixels.push_back(Pixel({50, 50, 50, 50, 50, 50, 50, 50, 0, 30, 70, 45}));
    pixels.back().loss[8] = 1;
    pixels.back().proximity[11] = PROX_OLDER;

    for (Form form : BOTH_FORMS) {
        SCOPED_TRACE(form_name(form));
        const std::vector<Pixel> out = classified(pixels, form);
        EXPECT_EQ(out[0].value[11], 40);
        EXPECT_EQ(out[1].value[3], 0);
        EXPECT_EQ(out[2].state[11], STATE_INVALID);
        EXPECT_EQ(out[3].value[11], 45);
        EXPECT_EQ(out[4].state[11], STATE_INVALID);
    }
}

}  // namespace
}  // namespace pt
