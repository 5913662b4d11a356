#include "filter/stages.hpp"

namespace pt {

uint64_t loss_year_bits(ConstByteSeries loss, int year_count) {
    uint64_t bits = 0;
    for (int t = 0; t < year_count; ++t) {
        if (loss[t] != 0) bits |= uint64_t{1} << t;
    }
    return bits;
}

LossBlock gather_loss_block(const YearCube& loss_cube, int row, int col) {
    LossBlock block{};
    int i = 0;
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx, ++i) {
            const int r = row + dy;
            const int c = col + dx;
            if (r < 0 || r >= loss_cube.height || c < 0 || c >= loss_cube.width) continue;
            const ByteSeries s = loss_cube.series(r, c);
            block.bits[i] = loss_year_bits({s.base, s.stride}, loss_cube.year_count);
        }
    }
    return block;
}

ProximityWords proximity_words(const LossBlock& block) {
    // All years at once: bit t of `recent` says the pixel has loss at t or
    // t-1, of `older` loss at t-2 or t-3. Walking the block in scan order and
    // letting every pixel with loss in t-3..t overwrite the verdict leaves
    // the verdict of the last such pixel, whichever kind it is.
    ProximityWords verdict;
    for (const uint64_t bits : block.bits) {
        const uint64_t recent = bits | (bits << 1);
        const uint64_t older = (bits << 2) | (bits << 3);
        const uint64_t decides = recent | older;
        verdict.recent = (verdict.recent & ~decides) | recent;
        verdict.older = (verdict.older & ~decides) | (older & ~recent);
    }
    return verdict;
}

void compute_loss_proximity(const LossBlock& block, YearSeries proximity_series) {
    const int year_count = static_cast<int>(proximity_series.size());
    const ProximityWords verdict = proximity_words(block);
    for (int t = 0; t < year_count; ++t) {
        const uint64_t bit = uint64_t{1} << t;
        proximity_series[t] = (verdict.recent & bit) != 0  ? PROX_RECENT
                              : (verdict.older & bit) != 0 ? PROX_OLDER
                                                           : PROX_NONE;
    }
}

}  // namespace pt
