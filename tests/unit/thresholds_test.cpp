// The threshold list of the accounts and the cover levels it gives.
#include <gtest/gtest.h>

#include "accounts/thresholds.hpp"

namespace pt {
namespace {

TEST(Thresholds, RefusesEntriesThatAreNotWholePercentages) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "empty"},
        {"10,,20", "empty threshold"},
        {"10,", "empty threshold"},
        {",10", "empty threshold"},
        {"3O", "\"3O\""},
        {"10.5", "\"10.5\""},
        {"101", "\"101\""},
        {"1000000000000000000000", "\"1000000000000000000000\""},
        {"-1", "\"-1\""},
        {"+5", "\"+5\""},
        {" 5", "\" 5\""},
        {"5 ", "\"5 \""},
        {"0x10", "\"0x10\""},
        {"10,15,10", "10 is given twice"},
        {"7,007", "7 is given twice"},
        {"a\nb", "\"a\\x0Ab\""},  // one line, whatever the entry holds
    };
    for (const auto& [text, named] : cases) {
        SCOPED_TRACE(text);
        std::string error;
        EXPECT_FALSE(parse_thresholds(text, error).has_value());
        EXPECT_NE(error.find(named), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    // A long entry is quoted cut short.
    std::string error;
    EXPECT_FALSE(parse_thresholds(std::string(5000, '9'), error).has_value());
    EXPECT_LT(error.size(), 120u);
}

TEST(Thresholds, SortsTheValuesAndMapsEachCoverByteToItsLevel) {
    std::string error;
    const auto defaults = parse_thresholds(DEFAULT_THRESHOLDS, error);
    ASSERT_TRUE(defaults.has_value()) << error;
    EXPECT_EQ(defaults->values, (std::vector<int>{10, 15, 20, 25, 30, 50, 75}));
    EXPECT_EQ(defaults->levels(), 8);

    const auto t = parse_thresholds("50,0,100,09", error);
    ASSERT_TRUE(t.has_value()) << error;
    EXPECT_EQ(t->values, (std::vector<int>{0, 9, 50, 100}));
    const std::pair<int, int> levels[] = {{0, 1},  {8, 1},  {9, 2},   {49, 2},
                                          {50, 3}, {99, 3}, {100, 4}, {255, 4}};
    for (const auto& [byte, level] : levels) EXPECT_EQ(t->level[byte], level) << byte;

    const auto one = parse_thresholds("100", error);
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->level[99], 0);
    EXPECT_EQ(one->level[100], 1);
}

}  // namespace
}  // namespace pt
