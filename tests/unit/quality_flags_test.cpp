// The quality bytes and their counts on a small hand-built tile: one pixel
// per case, six columns apart so that no case sees another's heights or
// loss, each with a cover and height series whose every flag is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/quality_run.hpp"
#include "filter/quality_flags.hpp"
#include "filter/tile_pass.hpp"

namespace pt {
namespace {

constexpr int LAST_YEAR = 2008;
constexpr int SPACING = 6;

int index_of(int year) {
    return year - FIRST_YEAR;
}

struct Case {
    std::string name;
    std::map<int, int> cover;   // year -> byte, over a steady 50
    std::map<int, int> height;  // year -> byte, over steady `base_height`
    int base_height = 0;
    std::map<int, int> loss;           // year -> byte
    std::map<int, int> right_height;   // heights of the pixel to the right (outside the datamask)
    bool inside = true;                // datamask byte 1
    std::map<int, QualityWord> flags;  // year -> expected quality word (0 elsewhere)
    std::vector<int> tcc_changed;      // years whose product byte differs from the input byte
};

std::vector<Case> cases() {
    // Laid out by hand, one case a row or two; clang-format would give every field a line.
    // clang-format off
    return {
        {"steady cover and height: nothing to do", {}, {}, 10, {}, {}, true, {}, {}},
        {"a byte above 100 between two equal years: median", {{2004, 200}}, {}, 0, {}, {}, true,
         {{2004, QA_INVALID | QA_REPAIRED}}, {2004}},
        {"an invalid last year: carried from the year before", {{2008, 255}}, {}, 0, {}, {}, true,
         {{2008, QA_INVALID | QA_REPAIRED}}, {2008}},
        {"a one-sided jump of 30: median", {{2003, 40}, {2004, 70}, {2005, 68}, {2006, 68},
                                             {2007, 68}, {2008, 68}, {2000, 40}, {2001, 40},
                                             {2002, 40}, {1997, 40}, {1998, 40}, {1999, 40}},
         {}, 0, {}, {}, true, {{2004, QA_JUMP | QA_REPAIRED}}, {2004}},
        {"two invalid years: interpolated", {{2003, 200}, {2004, 200}}, {}, 0, {}, {}, true,
         {{2003, QA_INVALID | QA_INTERPOLATED}, {2004, QA_INVALID | QA_INTERPOLATED}}, {2003, 2004}},
        {"regrowth right after a loss: halved", {{2004, 0}, {2005, 45}, {2006, 71}, {2007, 71},
                                                  {2008, 71}},
         {}, 0, {{2004, 1}}, {}, true, {{2005, QA_POST_LOSS}}, {2005}},
        {"a missing height: the neighbour's", {}, {{2003, 0}}, 12, {}, {{2003, 12}}, true,
         {{2003, QA_HEIGHT_FILLED}}, {}},
        {"a rise of 10: capped over three years", {}, {{2000, 10}}, 20, {}, {}, true,
         {{2001, QA_HEIGHT_CAPPED}, {2002, QA_HEIGHT_CAPPED}, {2003, QA_HEIGHT_CAPPED}}, {}},
        {"a one-year peak: smoothed", {}, {{2002, 13}}, 10, {}, {}, true,
         {{2002, QA_HEIGHT_SMOOTHED}}, {}},
        {"outside the datamask, loss in two years: no flags, the second thinned", {{2004, 200}},
         {}, 10, {{2001, 1}, {2002, 1}}, {}, false, {}, {}},
    };
    // clang-format on
}

class QualityFlags : public ::testing::Test {
  protected:
    void SetUp() override {
        const int n = year_count_for(LAST_YEAR);
        tile_.emplace(n, SPACING * static_cast<int>(cases_.size()), 1);
        flags_bytes_.assign(tile_->cover_cube.layer_size() * static_cast<std::size_t>(n), 0);
        flags_ = QualityCube{flags_bytes_.data(), n, tile_->width(), 1};
        for (std::size_t k = 0; k < cases_.size(); ++k) {
            const Case& c = cases_[k];
            const int col = SPACING * static_cast<int>(k);
            tile_->datamask.at(0, col) = c.inside ? 1 : 0;
            for (int t = 0; t < n; ++t) {
                const int year = FIRST_YEAR + t;
                auto value = [&](const std::map<int, int>& m, int otherwise) {
                    const auto it = m.find(year);
                    return static_cast<uint8_t>(it == m.end() ? otherwise : it->second);
                };
                tile_->cover_cube.at(t, 0, col) = value(c.cover, 50);
                if (t < first_output_index) continue;
                tile_->height_cube.at(t, 0, col) = value(c.height, c.base_height);
                tile_->height_cube.at(t, 0, col + 1) = value(c.right_height, 0);
                tile_->loss_cube.at(t, 0, col) = value(c.loss, 0);
            }
        }
        loss_in_ = count_input_loss(*tile_, 2);
        filter_tile(*tile_, 2, Progress::silent(), &flags_);
    }

    const std::vector<Case> cases_ = cases();
    std::optional<TileMemory> tile_;
    std::vector<QualityWord> flags_bytes_;
    QualityCube flags_;
    std::vector<uint64_t> loss_in_;
};

TEST_F(QualityFlags, EveryPixelYearHoldsTheFlagsOfWhatTheCleaningDid) {
    for (std::size_t k = 0; k < cases_.size(); ++k) {
        SCOPED_TRACE(cases_[k].name);
        for (int year = FIRST_OUTPUT_YEAR; year <= LAST_YEAR; ++year) {
            const auto it = cases_[k].flags.find(year);
            const int expected = it == cases_[k].flags.end() ? 0 : it->second;
            for (int dx = 0; dx < SPACING; ++dx) {
                const int col = SPACING * static_cast<int>(k) + dx;
                EXPECT_EQ(flags_.at(index_of(year), 0, col), dx == 0 ? expected : 0)
                    << "year " << year << ", column offset " << dx;
            }
        }
    }
}

TEST_F(QualityFlags, TheTableCountsTheFlagsChangedCoverAndLoss) {
    const std::vector<QualityYear> table = count_quality(*tile_, loss_in_, flags_, 2);
    ASSERT_EQ(table.size(), static_cast<std::size_t>(LAST_YEAR - FIRST_OUTPUT_YEAR + 1));
    for (const QualityYear& line : table) {
        SCOPED_TRACE(line.year);
        std::array<uint64_t, QA_BIT_COUNT> bits{};
        uint64_t filtered = 0, changed = 0, loss_in = 0, loss_kept = 0;
        for (const Case& c : cases_) {
            filtered += c.inside;
            const auto it = c.flags.find(line.year);
            for (int bit = 0; bit < QA_BIT_COUNT; ++bit) {
                bits[static_cast<std::size_t>(bit)] +=
                    it != c.flags.end() && (it->second >> bit & 1);
            }
            for (int year : c.tcc_changed) changed += year == line.year;
            const auto loss = c.loss.find(line.year);
            if (loss != c.loss.end()) {
                ++loss_in;
                // Thinning hides a loss within three years after a kept one.
                bool hidden = false;
                for (const auto& [year, byte] : c.loss) {
                    hidden |= year < line.year && line.year - year <= THINNING_YEARS;
                }
                loss_kept += !hidden;
            }
        }
        EXPECT_EQ(line.filtered, filtered);
        EXPECT_EQ(line.bits, bits);
        EXPECT_EQ(line.tcc_changed, changed);
        EXPECT_EQ(line.loss_in, loss_in);
        EXPECT_EQ(line.loss_kept, loss_kept);
    }
    // Every line has a cell per column, and each flag's count stands under
    // the column of its name.
    std::istringstream csv(quality_table(table));
    auto cells = [](const std::string& line) {
        std::vector<std::string> out;
        std::istringstream in(line);
        for (std::string cell; std::getline(in, cell, ',');) out.push_back(cell);
        return out;
    };
    std::string line;
    ASSERT_TRUE(std::getline(csv, line));
    EXPECT_EQ(line, quality_table_header());
    const std::vector<std::string> columns = cells(line);
    ASSERT_EQ(columns.size(), static_cast<std::size_t>(QA_BIT_COUNT) + 5);
    EXPECT_EQ(columns[0], "year");
    for (const QualityYear& counts : table) {
        ASSERT_TRUE(std::getline(csv, line));
        const std::vector<std::string> values = cells(line);
        ASSERT_EQ(values.size(), columns.size()) << line;
        for (int bit = 0; bit < QA_BIT_COUNT; ++bit) {
            const auto column = std::find(columns.begin(), columns.end(), QA_BIT_NAMES[bit]);
            ASSERT_NE(column, columns.end()) << QA_BIT_NAMES[bit];
            EXPECT_EQ(values[static_cast<std::size_t>(column - columns.begin())],
                      std::to_string(counts.bits[bit]))
                << counts.year << " " << QA_BIT_NAMES[bit];
        }
    }
    EXPECT_NE(quality_table(table).find("\n2004,9,2,1,2,1,0,0,0,0,3,1,1\n"), std::string::npos);
}

// Every flag of the table, alone in one lane, through the lane store and the
// table's counts: a flag whose bit the word, the store or the histogram has
// not would come out 0 or under another flag. The word the lanes store is
// the flag's own one-pixel value, quality_bit(k).
TEST(QualityFlagsWord, EveryFlagSurvivesTheLaneStoreAndTheCounts) {
    static_assert(QA_BIT_COUNT <= std::numeric_limits<QualityWord>::digits);
    const std::array<QualityWord, QA_BIT_COUNT> flags = {
        QA_INVALID,   QA_JUMP,          QA_REPAIRED,      QA_INTERPOLATED,
        QA_POST_LOSS, QA_HEIGHT_FILLED, QA_HEIGHT_CAPPED, QA_HEIGHT_SMOOTHED};
    for (int bit = 0; bit < QA_BIT_COUNT; ++bit) {
        SCOPED_TRACE(QA_BIT_NAMES[bit]);
        EXPECT_EQ(flags[bit], 1u << bit);
        const int lane = bit % LANE_COUNT;
        Lanes lanes{};
        lanes[lane] = static_cast<int16_t>(flags[bit]);
        std::array<QualityWord, LANE_COUNT> stored{};
        store_lane_words(stored.data(), lanes);
        FlagHistogram<QualityWord> histogram;
        for (int k = 0; k < LANE_COUNT; ++k) {
            EXPECT_EQ(stored[k], k == lane ? flags[bit] : 0) << "lane " << k;
            histogram.add(stored[k]);
        }
        const auto counts = histogram.bit_counts();
        for (int other = 0; other < QA_BIT_COUNT; ++other) {
            EXPECT_EQ(counts[other], other == bit ? 1u : 0u) << QA_BIT_NAMES[other];
        }
    }
}

// A wider word, as a ninth flag would need: every one of its 16 bits, the
// high byte's too, reaches memory from the lanes and its own count.
TEST(QualityFlagsWord, ASixteenBitWordCarriesEveryBitThroughStoreAndCounts) {
    FlagHistogram<uint16_t> histogram;
    for (int bit = 0; bit < 16; ++bit) {
        const Lanes lanes = splat(1 << bit);
        std::array<uint16_t, LANE_COUNT> stored{};
        store_lane_words(stored.data(), lanes);
        for (int k = 0; k < LANE_COUNT; ++k) {
            EXPECT_EQ(stored[k], 1u << bit) << "bit " << bit << ", lane " << k;
        }
        // bit + 1 words with this bit set.
        for (int k = 0; k <= bit; ++k) histogram.add(stored[static_cast<std::size_t>(k)]);
    }
    histogram.add(0xFFFF);
    const auto counts = histogram.bit_counts();
    for (int bit = 0; bit < 16; ++bit) EXPECT_EQ(counts[bit], bit + 2u) << "bit " << bit;
}

}  // namespace
}  // namespace pt
