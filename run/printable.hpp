// Text that came from the command line or from GDAL, made safe to print on
// one terminal line.
#pragma once

#include <string>
#include <string_view>

namespace pt {

// `text` with every control character written as an escape: C0 bytes and DEL
// as "\xHH", the C1 controls (U+0080 to U+009F, UTF-8 "\xC2\x80" to
// "\xC2\x9F") as "\u00HH", and a byte 0x80 to 0x9F that is no part of a
// UTF-8 character (an 8-bit C1 control, 0x9B being CSI) as "\xHH". A newline
// in a path then cannot split a failure line, and an escape sequence in an
// argument cannot reach the terminal. Everything else, UTF-8 and Latin-1
// letters included, passes unchanged.
std::string printable(std::string_view text);

// True when `text` holds a byte that printable() would escape.
bool has_control_character(std::string_view text);

}  // namespace pt
