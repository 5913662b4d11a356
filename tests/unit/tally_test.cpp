// The tally of cells by year and threshold, held to hand-worked pixels and,
// for long runs, to a cell-by-cell count.
#include <gtest/gtest.h>

#include <random>

#include "accounts/tally.hpp"

namespace pt {
namespace {

Thresholds thresholds_of(const char* text) {
    std::string error;
    auto t = parse_thresholds(text, error);
    EXPECT_TRUE(t.has_value()) << error;
    return *t;
}

// A row of `years` years held in vectors, and the pointers to them.
struct Row {
    std::vector<uint8_t> datamask;
    std::vector<std::vector<uint8_t>> tcc, tch, loss;
    AccountRow view() const {
        AccountRow row;
        row.datamask = datamask.data();
        for (std::size_t y = 0; y < tcc.size(); ++y) {
            row.tcc.push_back(tcc[y].data());
            row.tch.push_back(tch[y].data());
            row.loss.push_back(loss[y].data());
        }
        return row;
    }
};

TEST(Tally, HandfulOfPixels) {
    // Five cells, two years, thresholds 10 and 50, each cell 2 m2.
    Row row;
    row.datamask = {1, 1, 1, 0, 2};
    row.tcc = {{60, 30, 5, 90, 90}, {40, 55, 50, 90, 90}};
    row.tch = {{20, 10, 3, 30, 30}, {15, 12, 8, 30, 30}};
    row.loss = {{0, 0, 0, 1, 1}, {1, 1, 0, 1, 1}};
    Tally tally(thresholds_of("50,10"), 2);
    tally.add(row.view(), 0, 5, 2.0);

    // Year 0: cover >= 10: cells 0, 1; >= 50: cell 0. No loss.
    AccountFigures f = tally.figures(0, 0);
    EXPECT_EQ(f.land_m2, 6);  // the cells of datamask 0 and 2 count nowhere
    EXPECT_EQ(f.cover_m2, 4);
    EXPECT_EQ(f.height_m3, 2 * (20 + 10));
    EXPECT_EQ(f.loss_m2, 0);
    f = tally.figures(0, 1);
    EXPECT_EQ(f.cover_m2, 2);
    EXPECT_EQ(f.height_m3, 2 * 20);
    // Year 1: cover >= 10: cells 0, 1, 2; >= 50: cells 1, 2. Loss in cells 0
    // and 1 counts where the first year's cover reached the threshold: both
    // at 10, only cell 0 (60 in year 0, 40 now) at 50.
    f = tally.figures(1, 0);
    EXPECT_EQ(f.cover_m2, 6);
    EXPECT_EQ(f.height_m3, 2 * (15 + 12 + 8));
    EXPECT_EQ(f.loss_m2, 4);
    EXPECT_EQ(f.height_m3 / f.cover_m2, (15 + 12 + 8) / 3.0);  // the height mean
    f = tally.figures(1, 1);
    EXPECT_EQ(f.cover_m2, 4);
    EXPECT_EQ(f.loss_m2, 2);

    EXPECT_THROW(tally.figures(2, 0), std::out_of_range);
    EXPECT_THROW(tally.figures(0, 2), std::out_of_range);
    AccountRow short_row = row.view();
    short_row.tch.pop_back();
    EXPECT_THROW(tally.add(short_row, 0, 5, 1.0), std::invalid_argument);
}

// Many cells with every kind of byte, counted in runs of every length (and
// for a long list of thresholds, which counts by level instead), against
// the same cells one at a time and a plain count.
TEST(Tally, RunsAgreeWithCellsOneAtATime) {
    std::mt19937 rng(2000);
    const int n = 12000;
    const int years = 3;
    Row row;
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> small(0, 9);
    for (int i = 0; i < n; ++i)
        row.datamask.push_back(static_cast<uint8_t>(small(rng) < 7 ? 1 : small(rng) % 3 * 127));
    for (int y = 0; y < years; ++y) {
        std::vector<uint8_t> tcc, tch, loss;
        for (int i = 0; i < n; ++i) {
            tcc.push_back(static_cast<uint8_t>(small(rng) < 8 ? byte(rng) % 101 : byte(rng)));
            tch.push_back(static_cast<uint8_t>(byte(rng)));
            loss.push_back(static_cast<uint8_t>(y == 2 ? 0 : (small(rng) == 0 ? byte(rng) : 0)));
        }
        row.tcc.push_back(tcc);
        row.tch.push_back(tch);
        row.loss.push_back(loss);
    }
    // Every third and every second percentage: a pass per threshold, and
    // (past 40 thresholds) the counts by level.
    std::string thirds, halves;
    for (int v = 0; v <= 100; ++v) {
        for (auto& [list, step] : {std::pair<std::string&, int>{thirds, 3}, {halves, 2}}) {
            if (v % step != 0) continue;
            if (!list.empty()) list += ',';
            list += std::to_string(v);
        }
    }
    for (const char* list : {"10,15,20,25,30,50,75", "0,100", thirds.c_str(), halves.c_str()}) {
        SCOPED_TRACE(list);
        const Thresholds t = thresholds_of(list);
        const double cell = 771.25;
        Tally runs(t, years);
        Tally cells(t, years);
        // Runs of 1 to 200 cells, then one long run.
        int at = 0;
        for (int length = 1; at + length <= 3000; ++length) {
            runs.add(row.view(), at, at + length, cell);
            at += length;
        }
        runs.add(row.view(), at, n, cell);
        for (int i = 0; i < n; ++i) cells.add(row.view(), i, i + 1, cell);
        for (int y = 0; y < years; ++y) {
            for (std::size_t k = 0; k < t.values.size(); ++k) {
                uint64_t land = 0, cover = 0, loss = 0, height = 0;
                for (int i = 0; i < n; ++i) {
                    if (row.datamask[i] != 1) continue;
                    ++land;
                    if (row.tcc[y][i] >= t.values[k]) {
                        ++cover;
                        height += row.tch[y][i];
                    }
                    loss += row.loss[y][i] != 0 && row.tcc[0][i] >= t.values[k];
                }
                const AccountFigures a = runs.figures(y, static_cast<int>(k));
                const AccountFigures b = cells.figures(y, static_cast<int>(k));
                const double tol = 1e-12 * cell * n * 255;
                EXPECT_NEAR(a.land_m2, static_cast<double>(land) * cell, tol);
                EXPECT_NEAR(a.cover_m2, static_cast<double>(cover) * cell, tol);
                EXPECT_NEAR(a.loss_m2, static_cast<double>(loss) * cell, tol);
                EXPECT_NEAR(a.height_m3, static_cast<double>(height) * cell, tol);
                EXPECT_NEAR(b.cover_m2, a.cover_m2, tol);
                EXPECT_NEAR(b.loss_m2, a.loss_m2, tol);
                EXPECT_NEAR(b.height_m3, a.height_m3, tol);
                EXPECT_NEAR(b.land_m2, a.land_m2, tol);
            }
        }
    }
}

// Runs long enough that every lane counter fills and the run is taken in
// several chunks: all land, full cover and the greatest height and loss.
TEST(Tally, LongRunOfFullCells) {
    const int n = 40000;
    Row row;
    row.datamask.assign(n, 1);
    row.tcc.assign(1, std::vector<uint8_t>(n, 255));
    row.tch.assign(1, std::vector<uint8_t>(n, 255));
    row.loss.assign(1, std::vector<uint8_t>(n, 255));
    Tally tally(thresholds_of("0,100"), 1);
    tally.add(row.view(), 0, n, 0.5);
    for (const int k : {0, 1}) {
        const AccountFigures f = tally.figures(0, k);
        EXPECT_EQ(f.land_m2, n * 0.5);
        EXPECT_EQ(f.cover_m2, n * 0.5);
        EXPECT_EQ(f.loss_m2, n * 0.5);
        EXPECT_EQ(f.height_m3, n * 0.5 * 255);
    }
}

}  // namespace
}  // namespace pt
