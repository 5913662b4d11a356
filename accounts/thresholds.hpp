// The canopy-cover thresholds of the accounts: whole percentages 0 to 100.
// A pixel's cover byte maps to a level, the number of thresholds at or below
// it, so that one count per level gives every threshold's sum at once (the
// cover at threshold k is the sum of the levels k+1 and up).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pt {

inline constexpr std::string_view DEFAULT_THRESHOLDS = "10,15,20,25,30,50,75";

struct Thresholds {
    std::vector<int> values;           // ascending, no two alike
    std::array<uint8_t, 256> level{};  // cover byte -> number of values <= byte
    int levels() const { return static_cast<int>(values.size()) + 1; }
};

// Reads a comma-separated list such as "10,15,30". Nothing, with `error` set to
// one line naming the faulty entry, for an empty list or entry, an entry that
// is not a whole number from 0 to 100 written in decimal digits ("3O",
// "10.5", "101", "-5", "+5", " 5"), or a value given twice.
std::optional<Thresholds> parse_thresholds(std::string_view text, std::string& error);

}  // namespace pt
