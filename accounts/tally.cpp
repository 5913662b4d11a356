// The tally of a tile's cells by year and threshold.
//
// A run of whole cells of one row has one cell area, so its sums are integer
// counts (cells, height metres) times that area: the counts are exact, and
// one multiplication a run keeps the rounding of the square metres to a few
// units in the sixteenth digit however many cells the run holds.
//
// The counts are the part that costs: every cell of the tile, every year,
// every threshold, for the tile and again for each zone holding it. For each
// year the run's cover and height bytes are first set to 0 off land, the
// cover biased by 128 so that one signed byte comparison tells "at or above
// the threshold". Each threshold then takes one pass of 16 or 32 cells at a
// time: the comparison's mask (255 per lane) is subtracted from byte counters
// (adding one), and the heights under the mask are summed by the processor's
// sum-of-absolute-differences against zero. Loss is rare in any year, so it
// is found by scanning eight bytes at a time and its cells are counted one by
// one, by the level of their first-year cover.
//
// With many thresholds a count per cell by cover level (whatever the number
// of thresholds) is cheaper than a pass per threshold, and is used instead.
#include "accounts/tally.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace pt {
namespace {

constexpr int COVER = 0;
constexpr int LOSS = 1;
constexpr int HEIGHT = 2;

// Cells counted in one go: the scratch of a chunk stays in the first-level
// cache, and no count can come near overflowing.
constexpr int CHUNK = 1 << 13;

// Up to this many thresholds the passes per threshold; above it the counts
// by level.
constexpr int MAX_PASS_THRESHOLDS = 40;

// Scratch rows are padded to whole vectors with cells that count nowhere:
// cover 0 (below every threshold once biased) and height 0.
constexpr int PAD = 32;
constexpr uint8_t BIAS = 0x80;

struct PassCounts {
    uint64_t cover = 0;
    uint64_t height = 0;
};

// Cells of `cover` (biased) above `above` (the threshold minus one, biased)
// and the sum of their `height`, over `n` cells, n a multiple of PAD.
#if defined(__x86_64__)
PassCounts count_pass_sse2(const uint8_t* cover, const uint8_t* height, int n, uint8_t above) {
    const __m128i limit = _mm_set1_epi8(static_cast<char>(above));
    const __m128i zero = _mm_setzero_si128();
    __m128i heights = zero;
    uint64_t cells = 0;
    for (int g0 = 0; g0 < n; g0 += 255 * 16) {
        const int g1 = std::min(n, g0 + 255 * 16);
        __m128i counter = zero;  // at most 255 a lane
        for (int i = g0; i < g1; i += 16) {
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cover + i));
            const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(height + i));
            const __m128i mask = _mm_cmpgt_epi8(c, limit);
            counter = _mm_sub_epi8(counter, mask);
            heights = _mm_add_epi64(heights, _mm_sad_epu8(_mm_and_si128(h, mask), zero));
        }
        const __m128i sums = _mm_sad_epu8(counter, zero);
        cells += static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
    return {cells,
            static_cast<uint64_t>(_mm_cvtsi128_si64(heights)) +
                static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(heights, heights)))};
}

[[gnu::target("avx2")]] PassCounts count_pass_avx2(const uint8_t* cover, const uint8_t* height,
                                                   int n, uint8_t above) {
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(above));
    const __m256i zero = _mm256_setzero_si256();
    __m256i heights = zero;
    uint64_t cells = 0;
    for (int g0 = 0; g0 < n; g0 += 255 * 32) {
        const int g1 = std::min(n, g0 + 255 * 32);
        __m256i counter = zero;
        for (int i = g0; i < g1; i += 32) {
            const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cover + i));
            const __m256i h = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(height + i));
            const __m256i mask = _mm256_cmpgt_epi8(c, limit);
            counter = _mm256_sub_epi8(counter, mask);
            heights = _mm256_add_epi64(heights, _mm256_sad_epu8(_mm256_and_si256(h, mask), zero));
        }
        alignas(32) uint64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_sad_epu8(counter, zero));
        cells += lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), heights);
    return {cells, lanes[0] + lanes[1] + lanes[2] + lanes[3]};
}

bool use_avx2() {
#if defined(PT_NO_LANE_CLONES)
    return false;  // the baseline build keeps to the baseline instruction set
#else
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#endif
}
#endif

PassCounts count_pass(const uint8_t* cover, const uint8_t* height, int n, uint8_t above) {
#if defined(__x86_64__)
    return use_avx2() ? count_pass_avx2(cover, height, n, above)
                      : count_pass_sse2(cover, height, n, above);
#else
    PassCounts counts;
    for (int i = 0; i < n; ++i) {
        if (static_cast<int8_t>(cover[i]) > static_cast<int8_t>(above)) {
            ++counts.cover;
            counts.height += height[i];
        }
    }
    return counts;
#endif
}

// A year's cover and height on land only, the cover biased; the padding
// after `n` counts nowhere. Built for each instruction set of the passes.
[[gnu::always_inline]] inline void prepare_year(const uint8_t* __restrict tcc,
                                                const uint8_t* __restrict tch,
                                                const uint8_t* __restrict land,
                                                uint8_t* __restrict cover,
                                                uint8_t* __restrict height, int n, int padded) {
    for (int i = 0; i < n; ++i) {
        cover[i] = static_cast<uint8_t>((tcc[i] & land[i]) ^ BIAS);
        height[i] = tch[i] & land[i];
    }
    for (int i = n; i < padded; ++i) {
        cover[i] = BIAS;
        height[i] = 0;
    }
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void prepare_year_avx2(const uint8_t* tcc, const uint8_t* tch,
                                               const uint8_t* land, uint8_t* cover, uint8_t* height,
                                               int n, int padded) {
    prepare_year(tcc, tch, land, cover, height, n, padded);
}
#endif

void prepare_year_any(const uint8_t* tcc, const uint8_t* tch, const uint8_t* land, uint8_t* cover,
                      uint8_t* height, int n, int padded) {
#if defined(__x86_64__)
    if (use_avx2()) {
        prepare_year_avx2(tcc, tch, land, cover, height, n, padded);
        return;
    }
#endif
    prepare_year(tcc, tch, land, cover, height, n, padded);
}

// The sum of `n` bytes, n a multiple of PAD.
uint64_t byte_sum(const uint8_t* bytes, int n) {
#if defined(__x86_64__)
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    for (int i = 0; i < n; i += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(b, zero));
    }
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
#else
    uint64_t sum = 0;
    for (int i = 0; i < n; ++i) sum += bytes[i];
    return sum;
#endif
}

}  // namespace

Tally::Tally(const Thresholds& thresholds, int year_count)
    : thresholds_(thresholds),
      years_(std::max(year_count, 0)),
      values_(static_cast<int>(thresholds.values.size())),
      sums_(static_cast<std::size_t>(years_) * values_ * 3, 0.0),
      level_sums_(static_cast<std::size_t>(years_) * (values_ + 1) * 3, 0.0),
      land_(CHUNK + PAD),
      cover_(CHUNK + PAD),
      height_(CHUNK + PAD),
      counts_(static_cast<std::size_t>(years_) * values_ * 3, 0),
      lost_(static_cast<std::size_t>(values_) + 2, 0) {}

void Tally::add(const AccountRow& row, int begin, int end, double cell_m2) {
    if (row.datamask == nullptr || static_cast<int>(row.tcc.size()) != years_ ||
        static_cast<int>(row.tch.size()) != years_ || static_cast<int>(row.loss.size()) != years_) {
        throw std::invalid_argument("an account row without one layer of each kind a year");
    }
    if (end - begin == 1) {
        add_cell(row, begin, cell_m2);
        return;
    }
    for (int start = begin; start < end; start += std::min(end - start, CHUNK)) {
        add_run(row, start, start + std::min(end - start, CHUNK), cell_m2);
    }
}

// One cell: its area added to the sums of its cover level directly.
void Tally::add_cell(const AccountRow& row, int i, double cell_m2) {
    if (row.datamask[i] != 1) return;
    land_m2_ += cell_m2;
    if (years_ == 0) return;
    const int first_level = thresholds_.level[row.tcc[0][i]];
    const std::size_t stride = static_cast<std::size_t>(values_ + 1) * 3;
    double* year_sums = level_sums_.data();
    for (int y = 0; y < years_; ++y, year_sums += stride) {
        double* at_level = year_sums + thresholds_.level[row.tcc[y][i]] * 3;
        at_level[COVER] += cell_m2;
        at_level[HEIGHT] += cell_m2 * row.tch[y][i];
        if (row.loss[y][i] != 0) year_sums[first_level * 3 + LOSS] += cell_m2;
    }
}

void Tally::add_run(const AccountRow& row, int begin, int end, double cell_m2) {
    const int n = end - begin;
    const int padded = (n + PAD - 1) / PAD * PAD;
    // Byte stores may alias anything, so the loops work on pointers said not
    // to, which lets the compiler keep them in vector registers.
    uint8_t* __restrict land = land_.data();
    uint8_t* __restrict cover = cover_.data();
    uint8_t* __restrict height = height_.data();
    const uint8_t* __restrict level_of = thresholds_.level.data();
    const uint8_t* __restrict datamask = row.datamask + begin;
    for (int i = 0; i < n; ++i) land[i] = datamask[i] == 1 ? 0xff : 0;
    std::fill(land + n, land + padded, 0);
    const uint64_t land_cells = byte_sum(land, padded) / 0xff;
    land_m2_ += static_cast<double>(land_cells) * cell_m2;
    if (land_cells == 0 || years_ == 0) return;
    // The first year's cover level decides where loss counts; off land, past
    // the last level.
    const uint8_t off_land = static_cast<uint8_t>(values_ + 1);
    const uint8_t* __restrict tcc0 = row.tcc[0] + begin;
    const auto count = [&](int y, int k, int what) -> uint64_t& {
        return counts_[(static_cast<std::size_t>(y) * values_ + k) * 3 + what];
    };
    const bool by_pass = values_ <= MAX_PASS_THRESHOLDS;
    std::vector<uint64_t> cover_levels, height_levels;
    if (!by_pass) {
        cover_levels.resize(static_cast<std::size_t>(values_) + 2);
        height_levels.resize(static_cast<std::size_t>(values_) + 2);
    }
    for (int y = 0; y < years_; ++y) {
        const uint8_t* __restrict tcc = row.tcc[y] + begin;
        const uint8_t* __restrict tch = row.tch[y] + begin;
        if (by_pass) {
            prepare_year_any(tcc, tch, land, cover, height, n, padded);
            for (int k = 0; k < values_; ++k) {
                const int threshold = thresholds_.values[k];
                if (threshold == 0) {  // every land cell; off land is 0 too
                    count(y, k, COVER) = land_cells;
                    count(y, k, HEIGHT) = byte_sum(height, padded);
                    continue;
                }
                const PassCounts c =
                    count_pass(cover, height, padded, static_cast<uint8_t>((threshold - 1) ^ BIAS));
                count(y, k, COVER) = c.cover;
                count(y, k, HEIGHT) = c.height;
            }
        } else {
            std::fill(cover_levels.begin(), cover_levels.end(), 0);
            std::fill(height_levels.begin(), height_levels.end(), 0);
            for (int i = 0; i < n; ++i) {
                const int level = land[i] != 0 ? level_of[tcc[i]] : off_land;
                ++cover_levels[level];
                height_levels[level] += tch[i];
            }
            uint64_t cells = 0, heights = 0;
            for (int k = values_ - 1; k >= 0; --k) {
                cells += cover_levels[k + 1];
                heights += height_levels[k + 1];
                count(y, k, COVER) = cells;
                count(y, k, HEIGHT) = heights;
            }
        }
        // Loss, 32 cells at a time until some have any, then eight.
        std::fill(lost_.begin(), lost_.end(), 0);
        const uint8_t* loss = row.loss[y] + begin;
        const auto count_loss = [&](int from, int to) {
            for (int j = from; j < to; ++j) {
                if (loss[j] != 0) ++lost_[land[j] != 0 ? level_of[tcc0[j]] : off_land];
            }
        };
        int i = 0;
        for (; i + 32 <= n; i += 32) {
            uint64_t words[4];
            std::memcpy(words, loss + i, sizeof words);
            if ((words[0] | words[1] | words[2] | words[3]) == 0) continue;
            for (int w = 0; w < 4; ++w) {
                if (words[w] != 0) count_loss(i + 8 * w, i + 8 * w + 8);
            }
        }
        count_loss(i, n);
        uint64_t lost = 0;
        for (int k = values_ - 1; k >= 0; --k) {
            lost += lost_[k + 1];
            count(y, k, LOSS) = lost;
        }
    }
    for (std::size_t j = 0; j < counts_.size(); ++j) {
        sums_[j] += static_cast<double>(counts_[j]) * cell_m2;
    }
}

AccountFigures Tally::figures(int year, int k) const {
    if (year < 0 || year >= years_ || k < 0 || k >= values_) {
        throw std::out_of_range("no account figures for this year or threshold");
    }
    const double* runs = &sums_[(static_cast<std::size_t>(year) * values_ + k) * 3];
    AccountFigures f{land_m2_, runs[COVER], runs[LOSS], runs[HEIGHT]};
    // Single cells at the levels above k: their cover reached threshold k
    // (loss: their first year's cover did).
    const double* cells = &level_sums_[static_cast<std::size_t>(year) * (values_ + 1) * 3];
    for (int level = k + 1; level <= values_; ++level) {
        f.cover_m2 += cells[level * 3 + COVER];
        f.loss_m2 += cells[level * 3 + LOSS];
        f.height_m3 += cells[level * 3 + HEIGHT];
    }
    return f;
}

}  // namespace pt
