#include "accounts/thresholds.hpp"

#include <algorithm>

#include "run/printable.hpp"

namespace pt {
namespace {

// An entry as it may be quoted in a message: escaped, and cut short so that
// an absurdly long argument still makes a readable line.
std::string quoted(std::string_view entry) {
    constexpr std::size_t MAX_SHOWN = 40;
    std::string text = "\"";
    text += printable(entry.substr(0, MAX_SHOWN));
    if (entry.size() > MAX_SHOWN) text += "...";
    text += '"';
    return text;
}

// The value of an entry of decimal digits only, or -1 when it has anything
// else or exceeds 100 (checked digit by digit, so no length overflows).
int whole_percent(std::string_view entry) {
    if (entry.empty()) return -1;
    int value = 0;
    for (const char c : entry) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
        if (value > 100) return -1;
    }
    return value;
}

}  // namespace

std::optional<Thresholds> parse_thresholds(std::string_view text, std::string& error) {
    if (text.empty()) {
        error = "the threshold list is empty";
        return std::nullopt;
    }
    Thresholds thresholds;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string_view entry = text.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        if (entry.empty()) {
            error = "empty threshold in the list " + quoted(text);
            return std::nullopt;
        }
        const int value = whole_percent(entry);
        if (value < 0) {
            error = "threshold " + quoted(entry) + " is not a whole percentage from 0 to 100";
            return std::nullopt;
        }
        if (std::find(thresholds.values.begin(), thresholds.values.end(), value) !=
            thresholds.values.end()) {
            error = "threshold " + std::to_string(value) + " is given twice";
            return std::nullopt;
        }
        thresholds.values.push_back(value);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    std::sort(thresholds.values.begin(), thresholds.values.end());
    for (int byte = 0; byte < 256; ++byte) {
        thresholds.level[byte] = static_cast<uint8_t>(
            std::upper_bound(thresholds.values.begin(), thresholds.values.end(), byte) -
            thresholds.values.begin());
    }
    return thresholds;
}

}  // namespace pt
