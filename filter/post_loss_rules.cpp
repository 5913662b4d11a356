// The post-loss rules of one pixel's cover and its store into the cover
// product. The lane form is in post_loss_rules_lanes.hpp.
#include "filter/stages.hpp"
#include "tile/constants.hpp"

namespace pt {

namespace {

int32_t average(int32_t a, int32_t b) {
    return static_cast<int32_t>((a + b) / 2.0);
}

}  // namespace

void apply_post_loss_rules(ConstByteSeries loss, YearSeries value_series) {
    const int year_count = static_cast<int>(value_series.size());
    YearSeries v = value_series;

    for (int t = first_output_index + 1; t < year_count - 1; ++t) {
        if (loss[t - 1] != 0 && v[t] >= REGROWTH_MIN && v[t - 1] == 0 &&
            v[t + 1] >= REGROWTH_NEXT_MIN) {
            v[t] = average(v[t - 1], v[t + 1]);
        }
    }

    // The last year has no successor to confirm the regrowth: halve it on
    // its own cover.
    const int last = year_count - 1;
    if (loss[last - 1] != 0 && v[last] >= REGROWTH_MIN && v[last - 1] == 0) {
        v[last] = average(v[last - 1], v[last]);
    }

    // Cover right after a loss cannot exceed the year after it. Each test
    // reads a year not yet changed here, so a lowering never cascades.
    for (int t = first_output_index + 1; t < year_count - 1; ++t) {
        if (loss[t - 1] != 0 && v[t] >= 1 && v[t + 1] < v[t]) v[t] = v[t + 1];
    }
}

void store_cover(ConstYearSeries value_series, ByteSeries cover_out) {
    const int year_count = static_cast<int>(value_series.size());
    for (int t = first_output_index; t < year_count; ++t) {
        cover_out[t] = static_cast<uint8_t>(value_series[t] & 0xFF);
    }
}

}  // namespace pt
