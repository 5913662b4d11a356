#include "filter/pixel_group.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "tile/constants.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

// The rules the main years and the last year share: loss, invalid byte,
// unchanged cover, wetland. Applies them and returns the lanes they decided.
PT_LANE_INLINE Lanes judge_leading_rules(PixelGroup& g, int t) {
    Lanes& cover = g.cover[t];
    const Lanes loss = g.loss[t];
    // A loss year keeps value 0 and its byte is not examined.
    const Lanes invalid = ~loss & (cover > MAX_VALID_COVER);
    cover = choose(invalid, splat(0), cover);
    g.state[t] = choose(invalid, splat(STATE_INVALID), g.state[t]);

    const Lanes open = ~loss & ~invalid;
    const Lanes same = open & (g.cover[t - 1] == cover);
    const Lanes wet = open & ~same & g.wetland;

    Lanes accept = same;
    if (t + FIRST_YEAR < WETLAND_RULE_YEAR) {
        accept |= wet;
    } else if (any_lane(wet)) {
        const Lanes v1 = g.value[t - 1];
        const Lanes v2 = g.value[t - 2];
        const Lanes d = lanes_abs(v1 - cover);
        const Lanes close = g.near[t] | (d <= WETLAND_ACCEPT_DIFF);
        const Lanes trend = ((cover < v1) & (v1 < v2)) | ((v1 < cover) & (v2 < v1));
        const Lanes halfway = ~close & trend & (d <= WETLAND_AVERAGE_DIFF);
        const Lanes hold = ~close & ~halfway;
        accept |= wet & close;
        g.value[t] = choose(wet & halfway, half_toward_zero(v1 + cover), g.value[t]);
        g.value[t] = choose(wet & hold, v1, g.value[t]);
    }
    g.value[t] = choose(accept, cover, g.value[t]);
    return loss | invalid | same | wet;
}

PT_LANE_INLINE void judge_main_year(PixelGroup& g, int t) {
    const Lanes rest = ~judge_leading_rules(g, t);
    if (!any_lane(rest)) return;
    const Lanes before = g.cover[t - 1];
    const Lanes here = g.cover[t];
    const Lanes after = g.cover[t + 1];
    const Lanes monotone = ((before >= here) & (here >= after)) | ((before <= here) & (here <= after));
    const Lanes valley = (before >= here) & (here <= after);
    Lanes wider_valley{};
    if (t < g.year_count - 2) {
        wider_valley = valley & (g.cover[t - 2] > before) & (after < g.cover[t + 2]);
    }
    const Lanes accept = rest & (monotone | (valley & g.recent[t]) | wider_valley);
    const Lanes a = lanes_abs(before - here);
    const Lanes b = lanes_abs(after - here);
    const Lanes jump = ((a >= JUMP_MIN) & (b <= (a >> 1))) | ((b >= JUMP_MIN) & (a <= (b >> 1)));
    const Lanes marked = rest & ~accept;
    g.value[t] = choose(accept, here, g.value[t]);
    g.state[t] = choose(marked, choose(jump, splat(STATE_JUMP), splat(STATE_INVALID)), g.state[t]);
}

PT_LANE_INLINE void judge_last_year(PixelGroup& g, int t) {
    const Lanes rest = ~judge_leading_rules(g, t);
    if (!any_lane(rest)) return;
    const Lanes before2 = g.cover[t - 2];
    const Lanes before = g.cover[t - 1];
    const Lanes here = g.cover[t];
    const Lanes monotone =
        ((before2 >= before) & (before >= here)) | ((before2 <= before) & (before <= here));
    const Lanes loss_before = g.loss[t - 1] | g.loss[t - 2] | (g.loss[t - 3] & (here > before));
    const Lanes accept = rest & (monotone | ((before >= here) & g.recent[t]) | loss_before);
    const Lanes other = rest & ~accept;
    const Lanes prior_marked = g.state[t - 1] != STATE_OK;
    g.value[t] = choose(accept, here, g.value[t]);
    g.state[t] = choose(other & prior_marked, splat(STATE_INVALID), g.state[t]);
    g.value[t] = choose(other & ~prior_marked, g.value[t - 1], g.value[t]);
}

// What year k offers to a median: its value once accepted, else its byte.
PT_LANE_INLINE Lanes median_candidate(const PixelGroup& g, int k) {
    return choose(g.state[k] == STATE_OK, g.value[k], g.cover[k]);
}

PT_LANE_INLINE void replace_marked_years(PixelGroup& g) {
    for (int t = first_output_index; t < g.year_count - 1; ++t) {
        const Lanes code = g.state[t];
        const Lanes marked = (code == STATE_INVALID) | (code == STATE_JUMP);
        if (!any_lane(marked)) continue;
        const Lanes own = g.cover[t];
        const Lanes before_ok = g.state[t - 1] == STATE_OK;
        const Lanes after_ok = g.state[t + 1] == STATE_OK;
        const Lanes median = marked & ((before_ok & after_ok) | (code == STATE_JUMP));
        const Lanes borrow_before =
            marked & ~median & before_ok & (lanes_abs(g.value[t - 1] - own) <= BORROW_MAX_DIFF);
        const Lanes borrow_after = marked & ~median & ~borrow_before & after_ok &
                                   (lanes_abs(g.value[t + 1] - own) <= BORROW_MAX_DIFF);
        Lanes v = g.value[t];
        v = choose(median,
                   median_of_three(median_candidate(g, t - 1), own, median_candidate(g, t + 1)), v);
        v = choose(borrow_before, g.value[t - 1], v);
        v = choose(borrow_after, g.value[t + 1], v);
        g.value[t] = v;
        g.state[t] = choose(median | borrow_before | borrow_after, splat(STATE_REPAIRED), code);
    }
}

// Runs of invalid years in the window first_output_index .. year_count - 2
// lie on the straight line between the years around them; at the window's
// edges the run's own edge byte stands in. A forward sweep notes each run's
// start and anchor, a backward sweep its end and anchor, and fills it.
PT_LANE_INLINE void interpolate_runs(PixelGroup& g) {
    const int first = first_output_index;
    const int last = g.year_count - 2;
    if (last < first) return;

    Lanes in_run{};
    Lanes any_invalid{};
    Lanes start{}, anchor{};
    for (int t = first; t <= last; ++t) {
        const Lanes invalid = g.state[t] == STATE_INVALID;
        const Lanes opens = invalid & ~in_run;
        // The year before a run's first year cannot be invalid unless the
        // run finding went wrong: the gap repair's consistency check.
        if (t > first && any_lane(opens & (g.state[t - 1] == STATE_INVALID))) throw RunFailure("ERR1");
        const Lanes edge_anchor = t == first ? g.cover[t] : g.value[t - 1];
        start = choose(opens, splat(t), start);
        anchor = choose(opens, edge_anchor, anchor);
        g.run_start[t] = start;
        g.run_anchor[t] = anchor;
        in_run = invalid;
        any_invalid |= invalid;
    }
    if (!any_lane(any_invalid)) return;

    in_run = Lanes{};
    Lanes end{}, end_anchor{};
    for (int t = last; t >= first; --t) {
        const Lanes invalid = g.state[t] == STATE_INVALID;
        if (!any_lane(invalid)) {
            in_run = Lanes{};
            continue;
        }
        const Lanes closes = invalid & ~in_run;
        if (t < last && any_lane(closes & (g.state[t + 1] == STATE_INVALID))) throw RunFailure("ERR2 ");
        const Lanes edge_anchor = t == last ? g.cover[t] : g.value[t + 1];
        end = choose(closes, splat(t), end);
        end_anchor = choose(closes, edge_anchor, end_anchor);
        in_run = invalid;

        const Lanes s = g.run_start[t];
        const Lanes a = g.run_anchor[t];
        const Lanes step = divide_toward_zero((splat(t) - s + 1) * (end_anchor - a), end - s + 2);
        g.value[t] = choose(invalid, a + step, g.value[t]);
        g.state[t] = choose(invalid, splat(STATE_INTERPOLATED), g.state[t]);
    }
}

// Sum and count of the non-zero heights of year t on the square ring at
// Chebyshev distance `radius` around each lane's pixel; the padded rows make
// positions outside the tile read 0, which is never counted either.
PT_LANE_INLINE Lanes ring_sum_and_count(const GroupHeights& h, std::ptrdiff_t year_offset,
                                        int radius, Lanes& count) {
    Lanes sum{};
    count = Lanes{};
    for (int dy = -radius; dy <= radius; ++dy) {
        const bool full_row = dy == -radius || dy == radius;
        const uint8_t* row = h.rows[2 + dy] + year_offset;
        for (int dx = -radius; dx <= radius; dx += full_row ? 1 : 2 * radius) {
            const Lanes v = load_lanes(row + dx);
            sum += v;
            count -= v != 0;  // a true mask is -1
        }
    }
    return sum;
}

PT_LANE_INLINE void classify_group_cover_lanes(PixelGroup& g) {
    std::fill(g.value.begin(), g.value.end(), Lanes{});
    std::fill(g.state.begin(), g.state.end(), Lanes{});
    for (int t = first_output_index; t < g.year_count - 1; ++t) judge_main_year(g, t);
    judge_last_year(g, g.year_count - 1);
}

PT_LANE_INLINE void repair_group_gaps_lanes(PixelGroup& g) {
    replace_marked_years(g);
    interpolate_runs(g);
    const int last = g.year_count - 1;
    g.value[last] = choose(g.state[last] != STATE_OK, g.value[last - 1], g.value[last]);
}

PT_LANE_INLINE void apply_group_post_loss_rules_lanes(PixelGroup& g) {
    const int n = g.year_count;
    auto& v = g.value;
    for (int t = first_output_index + 1; t < n - 1; ++t) {
        const Lanes regrown = g.loss[t - 1] & (v[t] >= REGROWTH_MIN) & (v[t - 1] == 0) &
                              (v[t + 1] >= REGROWTH_NEXT_MIN);
        v[t] = choose(regrown, half_toward_zero(v[t - 1] + v[t + 1]), v[t]);
    }
    const int last = n - 1;
    const Lanes regrown_last =
        g.loss[last - 1] & (v[last] >= REGROWTH_MIN) & (v[last - 1] == 0);
    v[last] = choose(regrown_last, half_toward_zero(v[last - 1] + v[last]), v[last]);
    for (int t = first_output_index + 1; t < n - 1; ++t) {
        const Lanes capped = g.loss[t - 1] & (v[t] >= 1) & (v[t + 1] < v[t]);
        v[t] = choose(capped, v[t + 1], v[t]);
    }
}

PT_LANE_INLINE void derive_group_heights_lanes(PixelGroup& g, const GroupHeights& h) {
    std::fill(g.derived.begin(), g.derived.end(), Lanes{});
    for (int t = first_output_index; t < g.year_count; ++t) {
        const std::ptrdiff_t at = t * h.year_stride;
        // The gate is the stored product byte, not the wider value.
        const Lanes covered = (g.value[t] & 0xFF) != 0;
        const Lanes own = load_lanes(h.rows[2] + at);
        Lanes d = own;
        const Lanes fill = covered & (own == 0);
        if (any_lane(fill)) {
            Lanes count3, count5;
            const Lanes sum3 = ring_sum_and_count(h, at, 1, count3);
            Lanes mean = divide_toward_zero(sum3, count3);
            const Lanes outer = fill & (count3 == 0);
            if (any_lane(outer)) {
                const Lanes sum5 = ring_sum_and_count(h, at, 2, count5);
                mean = choose(count3 == 0, divide_toward_zero(sum5, count5), mean);
            }
            d = choose(fill, mean, d);
        }
        g.derived[t] = choose(covered, d, Lanes{});
    }
}

PT_LANE_INLINE void cap_group_heights_lanes(PixelGroup& g) {
    for (int t = first_output_index + 1; t < g.year_count; ++t) {
        g.derived[t] = lanes_min(g.derived[t], g.derived[t - 1] + HEIGHT_GAIN_LIMIT);
    }
}

PT_LANE_INLINE void smooth_group_heights_lanes(PixelGroup& g) {
    const int n = g.year_count;
    const int first = first_output_index;
    const auto& v = g.derived;
    std::fill(g.height.begin(), g.height.end(), Lanes{});
    for (int t = first; t <= n - 2; ++t) {
        const Lanes before = v[t - 1], here = v[t], after = v[t + 1];
        const Lanes extreme = ((here < before) & (here < after)) | ((here > before) & (here > after));
        const Lanes smooth = t > first ? ~g.recent[t] & (here >= 1) & extreme : Lanes{};
        g.height[t] = choose(smooth, median_of_three(before, here, after), here);
    }
    const Lanes last = v[n - 1];
    const Lanes prev = g.height[n - 2];
    const Lanes prev2 = g.height[n - 3];
    const Lanes take_last = (prev == last) | ((prev >= last) & (prev2 >= prev)) |
                            ((prev <= last) & (prev2 <= prev)) | ((prev >= last) & g.recent[n - 1]) |
                            g.loss[n - 2] | g.loss[n - 3] | g.loss[n - 4];
    g.height[n - 1] = choose(take_last, last, prev);
}

}  // namespace

LaneSeries::LaneSeries(int year_count)
    : data_(static_cast<Lanes*>(
          std::aligned_alloc(alignof(Lanes), sizeof(Lanes) * static_cast<std::size_t>(year_count)))),
      size_(year_count) {
    if (data_ == nullptr) throw std::bad_alloc();
    std::fill(begin(), end(), Lanes{});
}

LaneSeries::~LaneSeries() { std::free(data_); }

PixelGroup::PixelGroup(int year_count_)
    : year_count(year_count_),
      cover(year_count_),
      loss(year_count_),
      recent(year_count_),
      near(year_count_),
      value(year_count_),
      state(year_count_),
      derived(year_count_),
      height(year_count_),
      run_start(year_count_),
      run_anchor(year_count_) {}

void classify_group_cover(PixelGroup& g) { classify_group_cover_lanes(g); }
void repair_group_gaps(PixelGroup& g) { repair_group_gaps_lanes(g); }
void apply_group_post_loss_rules(PixelGroup& g) { apply_group_post_loss_rules_lanes(g); }
void derive_group_heights(PixelGroup& g, const GroupHeights& h) { derive_group_heights_lanes(g, h); }
void cap_group_heights(PixelGroup& g) { cap_group_heights_lanes(g); }
void smooth_group_heights(PixelGroup& g) { smooth_group_heights_lanes(g); }

// The whole row in one function with every step inlined, so that each
// processor gets a build of it for its widest vectors (two 16-byte halves
// per lane vector otherwise).
PT_LANE_CLONES void filter_row_groups(PixelGroup& g, const RowBuffers& row) {
    GroupHeights heights;
    heights.year_stride = row.height_stride;
    for (std::size_t col = 0; col < row.padded_width; col += LANE_COUNT) {
        const Lanes inside = load_lanes(row.datamask + col) == 1;
        if (!any_lane(inside)) {
            for (int t = first_output_index; t < g.year_count; ++t) {
                const std::size_t at = t * row.stride + col;
                store_lanes(row.cover_out + at, Lanes{});
                store_lanes(row.height_out + at, Lanes{});
            }
            continue;
        }
        for (int t = 0; t < g.year_count; ++t) {
            const std::size_t at = t * row.stride + col;
            g.cover[t] = load_lanes(row.cover + at);
            g.loss[t] = load_lanes(row.loss + t * row.loss_stride + col) != 0;
            g.recent[t] = -load_lanes(row.recent + at);
            g.near[t] = -load_lanes(row.near + at);
        }
        g.wetland = load_lanes(row.wetland + col) == 1;
        for (int k = 0; k < 5; ++k) heights.rows[k] = row.height_rows[k] + col;

        classify_group_cover_lanes(g);
        repair_group_gaps_lanes(g);
        apply_group_post_loss_rules_lanes(g);
        derive_group_heights_lanes(g, heights);
        cap_group_heights_lanes(g);
        smooth_group_heights_lanes(g);

        for (int t = first_output_index; t < g.year_count; ++t) {
            const std::size_t at = t * row.stride + col;
            store_lanes(row.cover_out + at, choose(inside, g.value[t], Lanes{}));
            store_lanes(row.height_out + at, choose(inside, g.height[t], Lanes{}));
        }
    }
}

}  // namespace pt
