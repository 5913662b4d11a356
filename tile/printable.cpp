#include "tile/printable.hpp"

#include <cstdio>

namespace pt {

namespace {

bool is_c0_or_del(unsigned char c) { return c < 0x20 || c == 0x7f; }

// A C1 control in UTF-8 starts at `text[i]`: 0xC2 followed by 0x80..0x9F.
bool is_c1_at(std::string_view text, std::size_t i) {
    return static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
           static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
           static_cast<unsigned char>(text[i + 1]) <= 0x9F;
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escape[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (is_c0_or_del(c)) {
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        } else if (is_c1_at(text, i)) {
            std::snprintf(escape, sizeof escape, "\\u00%02X",
                          static_cast<unsigned char>(text[i + 1]));
            out += escape;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool has_control_character(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_c0_or_del(static_cast<unsigned char>(text[i])) || is_c1_at(text, i)) return true;
    }
    return false;
}

}  // namespace pt
