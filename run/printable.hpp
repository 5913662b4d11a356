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
// argument cannot reach the terminal. Format and separator characters
// (Unicode categories Cf, Zl, Zp: U+202E turns the rest of the line around,
// U+2028 ends it in many viewers, U+200B hides a difference between names)
// are written "\uHHHH" ("\UHHHHHHHH" beyond U+FFFF), and every other byte
// that is no part of well-formed UTF-8 (Latin-1 text, a cut sequence) as
// "\xHH": what is printed is what is there. Everything else, UTF-8 letters
// and symbols of any script, passes unchanged.
std::string printable(std::string_view text);

// True when `text` holds a control character: a C0 byte, DEL, a UTF-8
// encoded C1 control or a byte 0x80 to 0x9F that is no part of a UTF-8
// character. Format characters and other bytes printable() escapes are not
// counted here.
bool has_control_character(std::string_view text);

}  // namespace pt
