#include "accounts/forest_patches.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

namespace pt {

namespace {

// A whole number of at most three digits from 0 to `most`, digits only.
std::optional<int> whole_field(std::string_view text, int most) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value > most) return std::nullopt;
    return value;
}

// Digits with at most one decimal point and at least one digit: from_chars
// alone would take an exponent, "inf" or "nan".
std::optional<double> decimal_field(std::string_view text) {
    bool digit = false, point = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return std::nullopt;
        }
    }
    if (!digit || text.size() > 64) return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// Runs of set pixels of one row, [begin, end).
struct Run {
    int begin, end;
};

void row_runs(const uint64_t* words, int width, std::vector<Run>& runs) {
    runs.clear();
    int column = 0;
    while (column < width) {
        const uint64_t ahead = words[column >> 6] >> (column & 63);
        if (ahead == 0) {
            column = ((column >> 6) + 1) << 6;
            continue;
        }
        column += std::countr_zero(ahead);
        if (column >= width) break;
        const int begin = column;
        while (column < width) {
            // Set bits ahead of `column` in its word, as clear bits.
            const uint64_t gaps = ~words[column >> 6] >> (column & 63);
            if (gaps == 0) {
                column = ((column >> 6) + 1) << 6;
                continue;
            }
            column += std::countr_zero(gaps);
            break;
        }
        column = std::min(column, width);
        runs.push_back({begin, column});
    }
}

void clear_run(uint64_t* words, const Run& run) {
    for (int column = run.begin; column < run.end;) {
        const int bit = column & 63;
        const int span = std::min(64 - bit, run.end - column);
        const uint64_t mask = span == 64 ? ~uint64_t{0} : ((uint64_t{1} << span) - 1) << bit;
        words[column >> 6] &= ~mask;
        column += span;
    }
}

// The patches of runs: a forest of runs, each root holding its patch's area.
class RunPatches {
  public:
    uint32_t add(double area_m2, bool on_edge) {
        // A run's number must fit its 32 bits (some 4 billion runs, a mask
        // far larger than any tile).
        if (parent_.size() >= UINT32_MAX) throw std::length_error("too many runs of canopy");
        parent_.push_back(static_cast<uint32_t>(parent_.size()));
        area_.push_back(area_m2);
        on_edge_.push_back(on_edge);
        return parent_.back();
    }
    uint32_t root(uint32_t run) {
        while (parent_[run] != run) {
            parent_[run] = parent_[parent_[run]];  // halve the path
            run = parent_[run];
        }
        return run;
    }
    void join(uint32_t a, uint32_t b) {
        a = root(a);
        b = root(b);
        if (a == b) return;
        if (b < a) std::swap(a, b);
        parent_[b] = a;
        area_[a] += area_[b];
        on_edge_[a] = on_edge_[a] || on_edge_[b];
    }
    double area(uint32_t run) { return area_[root(run)]; }
    bool on_edge(uint32_t run) { return on_edge_[root(run)]; }

  private:
    std::vector<uint32_t> parent_;
    std::vector<double> area_;
    std::vector<bool> on_edge_;
};

// Whether any pixel of `run` of `row` is set in `mask`.
bool any_set(const BitMask& mask, int row, const Run& run) {
    return mask.count(row, run.begin, run.end) > 0;
}

}  // namespace

std::optional<ForestDefinition> parse_forest_definition(std::string_view text, std::string& error) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = text.find(':', start);
        fields.push_back(text.substr(start, colon - start));
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    if (fields.size() != 3) {
        error = "needs COVER:HEIGHT:HECTARES, three fields, not " + std::to_string(fields.size());
        return std::nullopt;
    }
    const std::optional<int> cover = whole_field(fields[0], 100);
    if (!cover) {
        error = "COVER is not a whole percentage from 0 to 100";
        return std::nullopt;
    }
    const std::optional<int> height = whole_field(fields[1], 255);
    if (!height) {
        error = "HEIGHT is not a whole number from 0 to 255";
        return std::nullopt;
    }
    const std::optional<double> hectares = decimal_field(fields[2]);
    if (!hectares) {
        error = "HECTARES is not a decimal number of hectares, 0 or more";
        return std::nullopt;
    }
    return ForestDefinition{*cover, *height, *hectares};
}

BitMask::BitMask(int width, int height)
    : width_(width),
      height_(height),
      words_((static_cast<std::size_t>(width) + 63) / 64),
      bits_(words_ * static_cast<std::size_t>(height), 0) {}

PT_POPCOUNT_CLONES int BitMask::count(int row, int begin, int end) const {
    const uint64_t* words = row_words(row);
    int total = 0;
    for (int column = begin; column < end;) {
        const int bit = column & 63;
        const int span = std::min(64 - bit, end - column);
        const uint64_t mask = span == 64 ? ~uint64_t{0} : ((uint64_t{1} << span) - 1) << bit;
        total += std::popcount(words[column >> 6] & mask);
        column += span;
    }
    return total;
}

namespace {

UndecidedPatches keep_patches(BitMask& canopy, const std::vector<double>& row_area_m2,
                              double min_area_m2, int connectivity, const BitMask* edge) {
    if (connectivity != 4 && connectivity != 8) {
        throw std::invalid_argument("a connectivity of 4 or 8 neighbours");
    }
    if (row_area_m2.size() != static_cast<std::size_t>(canopy.height())) {
        throw std::invalid_argument("a cell area for each row of the mask");
    }
    if (edge != nullptr && (edge->width() != canopy.width() || edge->height() != canopy.height())) {
        throw std::invalid_argument("an edge mask of the canopy mask's size");
    }
    // Runs of two rows touch when their columns overlap; through a corner
    // as well, with 8 neighbours: one column further on either side.
    const int reach = connectivity == 8 ? 1 : 0;
    RunPatches patches;
    std::vector<Run> above, here;
    uint32_t above_first = 0;
    for (int row = 0; row < canopy.height(); ++row) {
        row_runs(canopy.row_words(row), canopy.width(), here);
        uint32_t here_first = 0;
        for (std::size_t k = 0; k < here.size(); ++k) {
            const uint32_t id = patches.add(
                (here[k].end - here[k].begin) * row_area_m2[static_cast<std::size_t>(row)],
                edge != nullptr && any_set(*edge, row, here[k]));
            if (k == 0) here_first = id;
        }
        // Both rows' runs in column order: step past whichever ends first,
        // as it can touch no later run of the other row.
        std::size_t i = 0, j = 0;
        while (i < above.size() && j < here.size()) {
            if (above[i].begin < here[j].end + reach && here[j].begin < above[i].end + reach) {
                patches.join(above_first + static_cast<uint32_t>(i),
                             here_first + static_cast<uint32_t>(j));
            }
            if (above[i].end < here[j].end) {
                ++i;
            } else {
                ++j;
            }
        }
        std::swap(above, here);
        above_first = here_first;
    }
    // The runs again, in the same order, so the k-th run found is run k.
    UndecidedPatches undecided;
    std::unordered_map<uint32_t, uint32_t> number;  // a root's undecided patch
    uint32_t run = 0;
    for (int row = 0; row < canopy.height(); ++row) {
        row_runs(canopy.row_words(row), canopy.width(), here);
        for (const Run& found : here) {
            const double area = patches.area(run);
            if (!(area >= min_area_m2)) {
                clear_run(canopy.row_words(row), found);
                if (patches.on_edge(run)) {
                    const auto [at, is_new] = number.try_emplace(
                        patches.root(run), static_cast<uint32_t>(undecided.area_m2.size() + 1));
                    if (is_new) undecided.area_m2.push_back(area);
                    undecided.runs.push_back({row, found.begin, found.end, at->second});
                }
            }
            ++run;
        }
    }
    return undecided;
}

}  // namespace

void keep_forest_patches(BitMask& canopy, const std::vector<double>& row_area_m2,
                         double min_area_m2, int connectivity) {
    keep_patches(canopy, row_area_m2, min_area_m2, connectivity, nullptr);
}

UndecidedPatches keep_forest_patches(BitMask& canopy, const std::vector<double>& row_area_m2,
                                     double min_area_m2, int connectivity, const BitMask& edge) {
    return keep_patches(canopy, row_area_m2, min_area_m2, connectivity, &edge);
}

}  // namespace pt
