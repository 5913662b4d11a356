#include <gtest/gtest.h>

#include <vector>

#include "filter/stages.hpp"

namespace pt {
namespace {

// One pixel's series, cover bytes given from year index 0.
struct Pixel {
    std::vector<uint8_t> cover, loss;
    std::vector<int32_t> proximity, value, state;
    uint8_t wetland = 0;

    explicit Pixel(std::vector<uint8_t> bytes)
        : cover(std::move(bytes)), loss(cover.size()), proximity(cover.size()),
          value(cover.size(), -1), state(cover.size(), -1) {}
    Pixel& run() {
        classify_cover({cover.data(), 1}, {loss.data(), 1}, wetland, proximity, value, state);
        return *this;
    }
};

TEST(ClassifyCover, PeaksAndValleys) {
    // Years 4 to 8 of n = 12, flat outside them; year 6 is judged.
    struct Case { uint8_t c[5]; int32_t prox; uint8_t wetland; int32_t state, value; };
    const Case cases[] = {
        {{60, 60, 40, 60, 60}, 0, 0, STATE_INVALID, 0},        // a = b = 20
        {{60, 60, 40, 45, 45}, 0, 0, STATE_JUMP, 0},           // b = 5 <= 20 / 2
        {{59, 59, 40, 45, 45}, 0, 0, STATE_INVALID, 0},        // a = 19
        {{40, 40, 70, 68, 68}, 0, 0, STATE_JUMP, 0},           // peak
        {{40, 40, 70, 68, 68}, 0, 1, STATE_OK, 70},            // wetland before 2017
        {{60, 60, 40, 45, 45}, PROX_RECENT, 0, STATE_OK, 40},  // valley by recent loss
        {{60, 60, 40, 45, 45}, PROX_OLDER, 0, STATE_JUMP, 0},
        {{70, 60, 50, 55, 65}, 0, 0, STATE_OK, 50},            // inside a wider valley
        {{70, 60, 50, 55, 55}, 0, 0, STATE_INVALID, 0},
        {{50, 50, 60, 200, 0}, 0, 0, STATE_OK, 60},            // 200 compares unsigned
    };
    for (const Case& c : cases) {
        Pixel p({c.c[0], c.c[0], c.c[0], c.c[0], c.c[0], c.c[1], c.c[2], c.c[3], c.c[4], c.c[4],
                 c.c[4], c.c[4]});
        p.proximity[6] = c.prox;
        p.wetland = c.wetland;
        p.run();
        EXPECT_EQ(p.state[6], c.state) << int{c.c[2]} << " prox " << c.prox;
        EXPECT_EQ(p.value[6], c.value) << int{c.c[2]} << " prox " << c.prox;
    }
    // The wider valley cannot reach past the last year.
    EXPECT_EQ(Pixel({70, 70, 70, 70, 70, 70, 70, 70, 70, 60, 50, 55}).run().state[10], STATE_INVALID);
}

TEST(ClassifyCover, InvalidBytesAndLossYears) {
    Pixel p({0, 0, 255, 50, 40, 150, 0, 200, 200, 0});
    p.loss[7] = 1;
    p.run();
    EXPECT_EQ(p.value[3], 50);  // 1999's 255 takes part as read: 255 >= 50 >= 40
    // 150 is zeroed in place, so the 0 after it is unchanged cover.
    EXPECT_EQ(p.cover[5], 0);
    EXPECT_EQ(p.state[5], STATE_INVALID);
    EXPECT_EQ(p.state[6], STATE_OK);
    // A loss year is cleared without examining its byte.
    EXPECT_EQ(p.cover[7], 200);
    EXPECT_EQ(p.value[7] | p.state[7], 0);
    for (int t = 0; t < 3; ++t) EXPECT_EQ(p.value[t] | p.state[t], 0);
}

TEST(ClassifyCover, WetlandFollowsThePreviousValueFrom2017) {
    // Year 20 (2017) is accepted at 50 through older loss nearby.
    struct Case { uint8_t c19, c21; int32_t expected; };
    const Case cases[] = {{60, 54, 54}, {60, 43, 46}, {40, 43, 50}, {60, 40, 50}};
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(23, 60);
        bytes[19] = c.c19, bytes[20] = 50, bytes[21] = c.c21;
        Pixel p(bytes);
        p.wetland = 1;
        p.proximity[20] = PROX_OLDER;
        p.run();
        EXPECT_EQ(p.value[21], c.expected) << int{c.c19} << " " << int{c.c21};
        EXPECT_EQ(p.state[21], STATE_OK);
    }
}

TEST(ClassifyCover, LastYear) {
    // Unsettled after an accepted year: takes its value; n = 4 sees 1999 at 0.
    Pixel valley({60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 40, 50});
    valley.proximity[10] = PROX_RECENT;
    EXPECT_EQ(valley.run().value[11], 40);
    EXPECT_EQ(Pixel({0, 50, 60, 40}).run().value[3], 0);
    // After a jump year (60 between 50 and 40) it is marked instead.
    EXPECT_EQ(Pixel({50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 60, 40}).run().state[11], STATE_INVALID);
    // Loss three years back accepts a rise, not a fall.
    Pixel rise({50, 50, 50, 50, 50, 50, 50, 50, 0, 70, 40, 45});
    rise.loss[8] = 1;
    EXPECT_EQ(rise.run().value[11], 45);
    Pixel fall({50, 50, 50, 50, 50, 50, 50, 50, 0, 30, 70, 45});
    fall.loss[8] = 1;
    fall.proximity[11] = PROX_OLDER;
    EXPECT_EQ(fall.run().state[11], STATE_INVALID);
}

}  // namespace
}  // namespace pt
