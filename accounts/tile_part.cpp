#include "accounts/tile_part.hpp"

#include <algorithm>
#include <charconv>
#include <utility>

namespace pt {

namespace {

// A whole number of decimal digits only, at most what a row or column index
// can be; advances `at`.
std::optional<int> index_at(std::string_view text, std::size_t& at) {
    std::size_t digits = at;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == at || digits - at > 9) return std::nullopt;
    int value = 0;
    std::from_chars(text.data() + at, text.data() + digits, value);
    at = digits;
    return value;
}

bool expect(std::string_view text, std::size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

// "FIRST-LAST" into [first, last + 1), inside [0, limit).
bool range_at(std::string_view text, std::size_t& at, int limit, int& first, int& end) {
    const std::optional<int> a = index_at(text, at);
    if (!a || !expect(text, at, '-')) return false;
    const std::optional<int> b = index_at(text, at);
    if (!b || *a > *b || *b >= limit) return false;
    first = *a;
    end = *b + 1;
    return true;
}

}  // namespace

TilePart TilePart::whole(int width, int height) {
    TilePart part;
    part.begin_.assign(static_cast<std::size_t>(height), 0);
    part.end_.assign(static_cast<std::size_t>(height), width);
    return part;
}

std::optional<TilePart> TilePart::parse(std::string_view text, int width, int height,
                                        std::string& error) {
    TilePart part;
    part.begin_.assign(static_cast<std::size_t>(height), 0);
    part.end_.assign(static_cast<std::size_t>(height), 0);
    std::size_t at = 0;
    int next_free_row = 0;
    for (int band = 1;; ++band) {
        const std::size_t start = at;
        int row0 = 0, row_end = 0, column0 = 0, column_end = 0;
        if (!range_at(text, at, height, row0, row_end) || !expect(text, at, ':') ||
            !range_at(text, at, width, column0, column_end) ||
            (at < text.size() && text[at] != ',')) {
            // The band as given, cut short: a message is one line.
            constexpr std::size_t SHOWN = 40;
            const std::size_t comma = text.find(',', start);
            const std::string_view given = text.substr(
                start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
            error = "band " + std::to_string(band) + " (" + std::string(given.substr(0, SHOWN)) +
                    (given.size() > SHOWN ? "..." : "") +
                    ") is not ROWS:COLUMNS, each FIRST-LAST, inside the tile's " +
                    std::to_string(width) + " x " + std::to_string(height) + " pixels";
            return std::nullopt;
        }
        if (row0 < next_free_row) {
            error = "band " + std::to_string(band) +
                    " does not begin below the rows of the band before it";
            return std::nullopt;
        }
        for (int r = row0; r < row_end; ++r) {
            part.begin_[static_cast<std::size_t>(r)] = column0;
            part.end_[static_cast<std::size_t>(r)] = column_end;
        }
        next_free_row = row_end;
        if (at == text.size()) return part;
        ++at;  // the comma
    }
}

std::vector<TilePixel> part_border_pixels(const TilePart& part) {
    const int height = part.height();
    // Owned columns of a row, nothing for the rows beyond the tile.
    auto run = [&](int row) {
        return row < 0 || row >= height ? std::pair{0, 0}
                                        : std::pair{part.begin(row), part.end(row)};
    };
    std::vector<TilePixel> sides[2];
    std::vector<std::pair<int, int>> spans;
    for (int row = 0; row < height; ++row) {
        const auto [begin, end] = run(row);
        if (begin >= end) continue;
        // Its own ends, and where a row above or below does not own the
        // column or one either side of it.
        spans.assign({{begin, begin + 1}, {end - 1, end}});
        for (int other : {row - 1, row + 1}) {
            const auto [b, e] = run(other);
            if (b >= e) {
                spans.emplace_back(begin, end);
                continue;
            }
            spans.emplace_back(begin, std::min(end, b + 1));
            spans.emplace_back(std::max(begin, e - 1), end);
        }
        std::sort(spans.begin(), spans.end());
        int next = begin;  // columns before it are taken
        for (const auto& [from, to] : spans) {
            for (int column = std::max(from, next); column < to; ++column) {
                sides[2 * column + 1 <= begin + end ? 0 : 1].push_back({row, column});
            }
            next = std::max(next, to);
        }
    }
    sides[0].insert(sides[0].end(), sides[1].begin(), sides[1].end());
    return std::move(sides[0]);
}

}  // namespace pt
