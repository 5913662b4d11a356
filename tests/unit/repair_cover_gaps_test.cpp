#include <gtest/gtest.h>

#include <vector>

#include "filter/stages.hpp"

namespace pt {
namespace {

// Years 3 to n-1 given as (state, value, cover byte); years 0 to 2 are
// accepted at 0, as classification leaves them.
struct Year { int32_t state, value; uint8_t cover; };
constexpr Year OK(int32_t v) { return {STATE_OK, v, static_cast<uint8_t>(v)}; }
constexpr Year BAD(uint8_t c) { return {STATE_INVALID, 0, c}; }
constexpr Year JUMP(uint8_t c) { return {STATE_JUMP, 0, c}; }

struct Result { std::vector<int32_t> value, state; };

Result repair(const std::vector<Year>& window) {
    const std::size_t n = window.size() + first_output_index;
    std::vector<uint8_t> cover(n);
    Result r{std::vector<int32_t>(n), std::vector<int32_t>(n)};
    for (std::size_t i = 0; i < window.size(); ++i) {
        const std::size_t t = i + first_output_index;
        r.state[t] = window[i].state;
        r.value[t] = window[i].value;
        cover[t] = window[i].cover;
    }
    repair_cover_gaps({cover.data(), 1}, r.value, r.state);
    return r;
}

// Values from year index 3 on.
std::vector<int32_t> window_values(const Result& r) {
    return {r.value.begin() + first_output_index, r.value.end()};
}

TEST(RepairCoverGaps, Replacement) {
    // Median of 62, 0, 58; the byte of 60 keeps itself.
    EXPECT_EQ(repair({OK(50), OK(50), OK(62), BAD(0), OK(58), OK(50)}).value[6], 58);
    // ... and an accepted last year is not carried over from it.
    const Result keep = repair({OK(50), OK(50), OK(62), BAD(60), OK(58)});
    EXPECT_EQ(keep.value[6], 60);
    EXPECT_EQ(keep.value[7], 58);
    // A jump takes the median even when the year after is not accepted.
    const Result jump = repair({OK(50), OK(50), OK(40), JUMP(70), BAD(68), OK(80), OK(80)});
    EXPECT_EQ(jump.value[6], 68);
    EXPECT_EQ(jump.state[6], STATE_REPAIRED);
    // Year 7 borrows 66 from year 6; for year 8's median it then offers its
    // byte 70, not 66.
    const Result chain = repair({OK(50), OK(50), OK(50), OK(66), BAD(70), JUMP(80), OK(60), OK(60)});
    EXPECT_EQ(chain.value[7], 66);
    EXPECT_EQ(chain.value[8], 70);
    // A byte above 100 at year index 3 ends as 0 either way.
    EXPECT_EQ(repair({BAD(0), OK(70), OK(70)}).value[3], 0);
    EXPECT_EQ(repair({BAD(0), BAD(70), OK(70)}).value[3], 0);
}

TEST(RepairCoverGaps, Interpolation) {
    // -40/3 truncates to -13, not -14.
    const Result r = repair({OK(60), OK(60), OK(60), BAD(0), BAD(0), OK(20), OK(20), OK(33), BAD(0)});
    EXPECT_EQ(window_values(r), (std::vector<int32_t>{60, 60, 60, 47, 34, 20, 20, 33, 33}));
    EXPECT_EQ(r.state[7], STATE_INTERPOLATED);
    EXPECT_EQ(r.state[11], STATE_INVALID);  // the carry leaves the code
    // Year 7 borrows 60, then year 8 is a run of one between 60 and 20.
    EXPECT_EQ(window_values(repair({OK(60), OK(60), OK(60), BAD(57), BAD(0), OK(20), OK(20)})),
              (std::vector<int32_t>{60, 60, 60, 60, 40, 20, 20}));
    // Invalid year before a jump: the jump is replaced first, then the gap
    // is interpolated between 62 and 68.
    EXPECT_EQ(window_values(repair({OK(62), OK(62), BAD(40), JUMP(70), OK(68), OK(60), OK(60)})),
              (std::vector<int32_t>{62, 62, 65, 68, 68, 60, 60}));
    // A run reaching n - 2 anchors on its own last byte; the last year copies.
    EXPECT_EQ(window_values(repair({OK(50), OK(50), OK(50), BAD(0), BAD(30), BAD(0)})),
              (std::vector<int32_t>{50, 50, 50, 44, 37, 37}));
    // A run at the window start anchors on its own first byte.
    EXPECT_EQ(window_values(repair({BAD(40), BAD(0), OK(70), OK(70)})),
              (std::vector<int32_t>{50, 60, 70, 70}));
    EXPECT_EQ(window_values(repair({BAD(20), BAD(80), BAD(0)})), (std::vector<int32_t>{40, 60, 60}));
    EXPECT_EQ(window_values(repair({BAD(37), BAD(0)})), (std::vector<int32_t>{37, 37}));
    EXPECT_EQ(window_values(repair({BAD(37)})), (std::vector<int32_t>{0}));
}

}  // namespace
}  // namespace pt
