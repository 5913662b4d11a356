#include "run/printable.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>

namespace pt {

namespace {

enum class Kind { plain, c0_or_del, c1, stray_c1_byte, invisible, not_utf8 };

// The code points of Unicode's general categories Cf (format: bidirectional
// overrides and isolates, zero-width characters, the byte order mark, tag
// characters), Zl (U+2028) and Zp (U+2029), as of Unicode 15. None prints a
// mark: U+202E shows the rest of a line reversed, U+2028 and U+2029 end a
// line in many viewers, U+200B hides a difference between two names.
struct Range {
    char32_t first, last;
};
constexpr Range INVISIBLE[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

bool is_invisible(char32_t code_point) {
    const auto* range = std::upper_bound(std::begin(INVISIBLE), std::end(INVISIBLE), code_point,
                                         [](char32_t c, const Range& r) { return c < r.first; });
    return range != std::begin(INVISIBLE) && code_point <= std::prev(range)->last;
}

// The length of the well-formed UTF-8 sequence at `text[i]` (a lead byte
// 0xC2..0xF4 and its continuation bytes, no overlong form, no surrogate,
// nothing beyond U+10FFFF), with its code point; 0 when there is none.
std::size_t utf8_sequence(std::string_view text, std::size_t i, char32_t& code_point) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        code_point = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        code_point = c & 0x0F;
        if (c == 0xE0) low = 0xA0;   // overlong
        if (c == 0xED) high = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        code_point = c & 0x07;
        if (c == 0xF0) low = 0x90;   // overlong
        if (c == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
        code_point = (code_point << 6) | (next & 0x3F);
    }
    return length;
}

// What starts at `text[i]`, how many bytes it takes, and its code point when
// it is UTF-8. A C1 control comes either UTF-8 encoded (0xC2 0x80..0x9F) or
// as a lone byte 0x80..0x9F (a terminal reading 8-bit controls takes 0x9B
// for CSI); any other byte that is no part of well-formed UTF-8 (Latin-1
// text, a sequence cut short) cannot be shown as what it is either.
Kind kind_at(std::string_view text, std::size_t i, std::size_t& length, char32_t& code_point) {
    const auto c = static_cast<unsigned char>(text[i]);
    length = 1;
    if (c < 0x20 || c == 0x7f) return Kind::c0_or_del;
    if (c < 0x80) return Kind::plain;
    const std::size_t sequence = utf8_sequence(text, i, code_point);
    if (sequence == 0) return c <= 0x9F ? Kind::stray_c1_byte : Kind::not_utf8;
    length = sequence;
    if (code_point <= 0x9F) return Kind::c1;
    if (is_invisible(code_point)) return Kind::invisible;
    return Kind::plain;
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escape[16];
    for (std::size_t i = 0, length = 1; i < text.size(); i += length) {
        char32_t code_point = 0;
        switch (kind_at(text, i, length, code_point)) {
            case Kind::plain:
                out.append(text.substr(i, length));
                break;
            case Kind::c0_or_del:
            case Kind::stray_c1_byte:
            case Kind::not_utf8:
                std::snprintf(escape, sizeof escape, "\\x%02X",
                              static_cast<unsigned char>(text[i]));
                out += escape;
                break;
            case Kind::c1:
            case Kind::invisible:
                std::snprintf(escape, sizeof escape, code_point > 0xFFFF ? "\\U%08X" : "\\u%04X",
                              static_cast<unsigned>(code_point));
                out += escape;
                break;
        }
    }
    return out;
}

bool has_control_character(std::string_view text) {
    for (std::size_t i = 0, length = 1; i < text.size(); i += length) {
        char32_t code_point = 0;
        const Kind kind = kind_at(text, i, length, code_point);
        if (kind == Kind::c0_or_del || kind == Kind::c1 || kind == Kind::stray_c1_byte) {
            return true;
        }
    }
    return false;
}

}  // namespace pt
