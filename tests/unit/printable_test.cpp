// Text from the command line or from GDAL, made safe for one terminal line.
#include <gtest/gtest.h>

#include "run/printable.hpp"

namespace pt {
namespace {

TEST(Printable, EscapesControlCharactersAndKeepsEverythingElse) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"src/t7/t7_TCC_2000.tif not found", "src/t7/t7_TCC_2000.tif not found"},
        {"a\nb", "a\\x0Ab"},
        {"\x1b[31mred", "\\x1B[31mred"},
        {"tab\there\r", "tab\\x09here\\x0D"},
        {"del\x7f", "del\\x7F"},
        {"csi\xc2\x9b"
         "2J",
         "csi\\u009B2J"},  // C1 control in UTF-8
        {"nel\xc2\x85", "nel\\u0085"},
        {"b\xc3\xa4r \xc2\xa0nbsp", "b\xc3\xa4r \xc2\xa0nbsp"},  // letters and U+00A0 stay
        {"trail\xc2", "trail\xc2"},                              // a cut sequence is not a control
        {"T\x9b"
         "1",
         "T\\x9B1"},  // 8-bit CSI, no part of a character
        {"\x85start", "\\x85start"},
        {"caf\xe9 \xe2\x82\xac \xe2\x82\x9b \xf0\x9f\x8c\xb2",
         "caf\xe9 \xe2\x82\xac \xe2\x82\x9b \xf0\x9f\x8c\xb2"},
        {"back\\slash", "back\\slash"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(printable(c.in), c.out) << c.in;
        EXPECT_EQ(has_control_character(c.in), std::string(c.in) != c.out) << c.in;
    }
    // A NUL inside the text is escaped too, not taken for its end.
    EXPECT_EQ(printable(std::string_view("a\0b", 3)), "a\\x00b");
}

}  // namespace
}  // namespace pt
