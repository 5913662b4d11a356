#include "run/printable.hpp"

#include <cstdio>

namespace pt {

namespace {

enum class Kind { plain, c0_or_del, c1, stray_c1_byte };

// Whether the byte at `i` (0x80..0xBF) continues a UTF-8 sequence: a lead
// byte 0xC2..0xF4 stands at most three bytes before it with only
// continuation bytes in between, and the sequence it leads reaches `i`.
bool continues_sequence(std::string_view text, std::size_t i) {
    for (std::size_t back = 1; back <= 3 && back <= i; ++back) {
        const auto c = static_cast<unsigned char>(text[i - back]);
        if (c >= 0x80 && c <= 0xBF) continue;  // another continuation byte
        const std::size_t sequence = c >= 0xF0 && c <= 0xF4   ? 4
                                     : c >= 0xE0 && c <= 0xEF ? 3
                                     : c >= 0xC2 && c <= 0xDF ? 2
                                                              : 0;
        return back < sequence;
    }
    return false;
}

// What starts at `text[i]`, and how many bytes it takes. A C1 control comes
// either UTF-8 encoded (0xC2 0x80..0x9F) or as a lone byte 0x80..0x9F that
// begins no UTF-8 sequence (a terminal reading 8-bit controls takes 0x9B for
// CSI); any other byte, valid UTF-8 or Latin-1 text, is passed on.
Kind kind_at(std::string_view text, std::size_t i, std::size_t& length) {
    const auto c = static_cast<unsigned char>(text[i]);
    length = 1;
    if (c < 0x20 || c == 0x7f) return Kind::c0_or_del;
    if (c == 0xC2 && i + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if (next >= 0x80 && next <= 0x9F) {
            length = 2;
            return Kind::c1;
        }
    }
    if (c >= 0x80 && c <= 0x9F && !continues_sequence(text, i)) return Kind::stray_c1_byte;
    return Kind::plain;
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escape[8];
    for (std::size_t i = 0, length = 1; i < text.size(); i += length) {
        switch (kind_at(text, i, length)) {
            case Kind::plain:
                out += text[i];
                break;
            case Kind::c0_or_del:
            case Kind::stray_c1_byte:
                std::snprintf(escape, sizeof escape, "\\x%02X",
                              static_cast<unsigned char>(text[i]));
                out += escape;
                break;
            case Kind::c1:
                std::snprintf(escape, sizeof escape, "\\u00%02X",
                              static_cast<unsigned char>(text[i + 1]));
                out += escape;
                break;
        }
    }
    return out;
}

bool has_control_character(std::string_view text) {
    for (std::size_t i = 0, length = 1; i < text.size(); i += length) {
        if (kind_at(text, i, length) != Kind::plain) return true;
    }
    return false;
}

}  // namespace pt
