// Text from the command line or from GDAL, made safe for one terminal line.
#include <gtest/gtest.h>

#include "run/printable.hpp"

namespace pt {
namespace {

TEST(Printable, EscapesControlCharactersAndKeepsEverythingElse) {
    struct Case {
        const char* in;
        const char* out;
        bool control;  // what has_control_character says (it refuses tile ids)
    };
    const Case cases[] = {
        {"src/t7/t7_TCC_2000.tif not found", "src/t7/t7_TCC_2000.tif not found", false},
        {"a\nb", "a\\x0Ab", true},
        {"\x1b[31mred", "\\x1B[31mred", true},
        {"tab\there\r", "tab\\x09here\\x0D", true},
        {"del\x7f", "del\\x7F", true},
        {"csi\xc2\x9b"
         "2J",
         "csi\\u009B2J", true},  // C1 control in UTF-8
        {"nel\xc2\x85", "nel\\u0085", true},
        {"b\xc3\xa4r \xc2\xa0nbsp", "b\xc3\xa4r \xc2\xa0nbsp", false},  // letters, U+00A0 stay
        {"T\x9b"
         "1",
         "T\\x9B1", true},  // 8-bit CSI, no part of a character
        {"\x85start", "\\x85start", true},
        {"\xe2\x82\xac \xe2\x82\x9b \xf0\x9f\x8c\xb2 \xe4\xb8\xad",
         "\xe2\x82\xac \xe2\x82\x9b \xf0\x9f\x8c\xb2 \xe4\xb8\xad", false},
        {"back\\slash", "back\\slash", false},
        {"", "", false},
        // Format and separator characters print no mark of their own: a
        // right-to-left override shows "t7_TCC" reversed, a line or
        // paragraph separator breaks the line, a zero-width space or a tag
        // character makes two different names look alike.
        {"t\xe2\x80\xae"
         "7_TCC",
         "t\\u202E7_TCC", false},
        {"a\xe2\x80\xa8"
         "b\xe2\x80\xa9"
         "c",
         "a\\u2028b\\u2029c", false},
        {"t\xe2\x80\x8b"
         "7",
         "t\\u200B7", false},
        {"\xef\xbb\xbft7", "\\uFEFFt7", false},
        {"soft\xc2\xad", "soft\\u00AD", false},
        {"t7\xf3\xa0\x80\x81", "t7\\U000E0001", false},
        {"iso\xe2\x81\xa6x", "iso\\u2066x", false},
        // Bytes that are no part of well-formed UTF-8: Latin-1 text, a
        // sequence cut short, an overlong form, a surrogate, beyond U+10FFFF.
        {"caf\xe9", "caf\\xE9", false},
        {"trail\xc2", "trail\\xC2", false},
        {"cut\xe2\x80", "cut\\xE2\\x80", true},  // 0x80 begins no character
        {"over\xc0\xaf", "over\\xC0\\xAF", false},
        {"sur\xed\xa0\x80", "sur\\xED\\xA0\\x80", true},
        {"big\xf4\x90\x80\x80", "big\\xF4\\x90\\x80\\x80", true},
        {"\xff\xfe", "\\xFF\\xFE", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(printable(c.in), c.out) << c.in;
        EXPECT_EQ(has_control_character(c.in), c.control) << c.in;
    }
    // A NUL inside the text is escaped too, not taken for its end.
    EXPECT_EQ(printable(std::string_view("a\0b", 3)), "a\\x00b");
}

}  // namespace
}  // namespace pt
