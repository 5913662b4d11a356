#include "filter/quality_flags.hpp"

#include "filter/row_groups.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

PT_LANE_INLINE Lanes bit_where(Lanes mask, QualityWord bit) {
    return mask & splat(bit);
}

// Watches the stages of one group and builds its quality words.
class FlagWatch {
  public:
    FlagWatch(GroupFlags& work, QualityWord* out)
        : flags_(work.flags), before_(work.before), out_(out) {}

    PT_LANE_INLINE void classified(const PixelGroup& g) {
        for (int t = first_output_index; t < g.year_count; ++t) {
            flags_[t] = bit_where(g.state[t] == STATE_INVALID, QA_INVALID) |
                        bit_where(g.state[t] == STATE_JUMP, QA_JUMP);
        }
    }

    PT_LANE_INLINE void repaired(const PixelGroup& g) {
        const int last = g.year_count - 1;
        for (int t = first_output_index; t < last; ++t) {
            flags_[t] |= bit_where(g.state[t] == STATE_REPAIRED, QA_REPAIRED) |
                         bit_where(g.state[t] == STATE_INTERPOLATED, QA_INTERPOLATED);
        }
        // The last year keeps its code; the carry took the year before's
        // value wherever that code is not STATE_OK.
        flags_[last] |= bit_where(g.state[last] != STATE_OK, QA_REPAIRED);
        for (int t = first_output_index; t <= last; ++t) before_[t] = g.value[t];
    }

    PT_LANE_INLINE void post_loss_applied(const PixelGroup& g) {
        for (int t = first_output_index; t < g.year_count; ++t) {
            flags_[t] |= bit_where(g.value[t] != before_[t], QA_POST_LOSS);
        }
    }

    // A covered year whose own height is 0 and whose derived height is not
    // took the mean of its neighbours (a mean of non-zero heights is never 0).
    PT_LANE_INLINE void heights_derived(const PixelGroup& g, const GroupHeights& h) {
        for (int t = first_output_index; t < g.year_count; ++t) {
            const Lanes own = load_lanes(h.rows[2] + t * h.year_stride);
            const Lanes covered = (g.value[t] & 0xFF) != 0;
            flags_[t] |= bit_where(covered & (own == 0) & (g.derived[t] != 0), QA_HEIGHT_FILLED);
            before_[t] = g.derived[t];
        }
    }

    PT_LANE_INLINE void growth_capped(const PixelGroup& g) {
        for (int t = first_output_index; t < g.year_count; ++t) {
            flags_[t] |= bit_where(g.derived[t] < before_[t], QA_HEIGHT_CAPPED);
        }
    }

    PT_LANE_INLINE void heights_smoothed(const PixelGroup& g) {
        for (int t = first_output_index; t < g.year_count; ++t) {
            flags_[t] |= bit_where(g.height[t] != g.derived[t], QA_HEIGHT_SMOOTHED);
        }
    }

    PT_LANE_INLINE void store(int t, std::size_t at, Lanes inside) {
        store_lane_words(out_ + at, choose(inside, flags_[t], Lanes{}));
    }

  private:
    LaneSeries& flags_;
    LaneSeries& before_;
    QualityWord* out_;
};

}  // namespace

PT_LANE_CLONES void filter_row_groups_with_flags(PixelGroup& group, const RowBuffers& row,
                                                 GroupFlags& work, QualityWord* flags_out) {
    FlagWatch watch(work, flags_out);
    filter_row_groups_watched(group, row, watch);
}

}  // namespace pt
