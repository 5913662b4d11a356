// The quality run: the tile's inputs through the filter that process_tile
// runs, with the quality bytes recorded alongside, and what they add up to.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <string>
#include <vector>

#include "app/run.hpp"
#include "tile/quality_word.hpp"
#include "tile/tile.hpp"

namespace pt {

// One line of the quality table: the counts of one output year.
struct QualityYear {
    int year = 0;
    uint64_t filtered = 0;                      // pixels whose datamask byte is 1
    std::array<uint64_t, QA_BIT_COUNT> bits{};  // filtered pixels with each bit set
    uint64_t tcc_changed = 0;  // filtered pixels whose TCC byte differs from the input cover
    uint64_t loss_in = 0;      // pixels of the tile with input loss (no datamask test)
    uint64_t loss_kept = 0;    // the same after thinning
};

// The count of words with each bit set, for every bit of a quality word:
// one histogram of byte values per byte of the word, then each bit's count
// from its byte's, so a pixel costs an increment per byte, whatever the
// number of flags.
template <class Word>
class FlagHistogram {
  public:
    static constexpr int BITS = std::numeric_limits<Word>::digits;

    void add(Word word) {
        for (std::size_t b = 0; b < sizeof(Word); ++b) ++by_byte_[b][(word >> (8 * b)) & 0xFF];
    }
    // Bit k's count at k.
    std::array<uint64_t, BITS> bit_counts() const {
        std::array<uint64_t, BITS> counts{};
        for (int bit = 0; bit < BITS; ++bit) {
            const auto& bytes = by_byte_[static_cast<std::size_t>(bit / 8)];
            for (std::size_t value = 0; value < 256; ++value) {
                if (value >> (bit % 8) & 1) counts[static_cast<std::size_t>(bit)] += bytes[value];
            }
        }
        return counts;
    }

  private:
    std::array<std::array<uint64_t, 256>, sizeof(Word)> by_byte_{};
};

// Bytes a quality run needs for its tile: the tile memory and one quality
// word per pixel and year.
std::size_t quality_memory_needed(int year_count);

// The pixels with loss of each output year, as loaded (count them before the
// thinning rewrites the loss cube in place).
std::vector<uint64_t> count_input_loss(const TileMemory& tile, int workers);

// The counts of every output year, once the tile holds the filtered products
// and `flags` the quality words. Years are shared among `workers` threads.
std::vector<QualityYear> count_quality(const TileMemory& tile, const std::vector<uint64_t>& loss_in,
                                       const QualityCube& flags, int workers);

// The table's header line, without its newline: "year,filtered", the
// flags' names (QA_BIT_NAMES), "tcc_changed,loss_in,loss_kept". The one
// place the columns are spelled.
std::string quality_table_header();

// The table as CSV: the header line, then one line a year.
std::string quality_table(const std::vector<QualityYear>& years);

// Loads, filters with flags, counts, and writes QA_<year>_<tile_id>.tif,
// <tile_id>_quality.csv and <tile_id>_quality.png into args.output_dir (the
// quality directory). Throws RunFailure on the first failure.
void run_tile_quality(const RunArguments& args);

// The whole program: returns the exit status, printing the failure line (if
// any) on `out`, flushed, and the usage after "wrong call". A call without
// the eight arguments that asks for -h/--help gets the usage on standard
// output (0); one with an unknown option gets it on `out` (2): see
// app/tool_options.hpp.
int tile_quality_main(int argc, const char* const* argv, std::ostream& out);

}  // namespace pt
