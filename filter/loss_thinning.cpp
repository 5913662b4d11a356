#include <algorithm>
#include <vector>

#include "filter/lanes.hpp"
#include "filter/stages.hpp"

namespace pt {

PT_LANE_CLONES void thin_loss_rows(const YearCube& loss_cube, const YearCube& loss_out,
                                   int row_begin, int row_end) {
    const int width = loss_cube.width;
    // A byte, as the countdowns it starts.
    constexpr uint8_t hidden_years{THINNING_YEARS};
    // One countdown per column, so each row's years are walked layer by layer
    // along contiguous memory instead of striding a whole layer per year.
    std::vector<uint8_t> countdown(static_cast<std::size_t>(width));
    for (int row = row_begin; row < row_end; ++row) {
        std::fill(countdown.begin(), countdown.end(), uint8_t{0});
        bool started = false;
        for (int t = 0; t < loss_cube.year_count; ++t) {
            uint8_t* flags = loss_cube.row(t, row);
            uint8_t* out = loss_out.row(t, row);
            // Until the first year with a flag in this row nothing changes and
            // loss_out keeps the 0 it starts with, so neither row is written:
            // the years before the first loss layer then never cost a page.
            if (!started) {
                if (std::all_of(flags, flags + width, [](uint8_t f) { return f == 0; })) continue;
                started = true;
            }
            // Only a plain 1 arms the countdown; inside a countdown any value
            // is cleared, outside one anything else is kept as is. Written
            // as selections so that the compiler runs it on many columns at
            // once.
            for (int col = 0; col < width; ++col) {
                const uint8_t flag = flags[col];
                const uint8_t left = countdown[col];
                const bool counting = left > 0;
                const bool arms = flag == 1 && !counting;
                const uint8_t kept = counting ? uint8_t{0} : flag;
                countdown[col] = arms       ? hidden_years
                                 : counting ? static_cast<uint8_t>(left - 1)
                                            : uint8_t{0};
                flags[col] = kept;
                out[col] = kept;
            }
        }
    }
}

}  // namespace pt
