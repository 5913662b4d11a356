// The sums behind the accounts of one area (a whole tile, or one zone in it):
// for every year and threshold level, the ground area of land, of land by
// its cover level, of loss by the cover level of the first year, and the
// area-weighted sum of canopy height by cover level.
#pragma once

#include <cstdint>
#include <vector>

#include "accounts/thresholds.hpp"

namespace pt {

// One row of a tile, as read: the datamask, then for each year from the
// first output year on its TCC, TCH and Loss bytes. `tcc[0]` is the first
// year's cover, which decides where loss counts.
struct AccountRow {
    const uint8_t* datamask = nullptr;
    std::vector<const uint8_t*> tcc;
    std::vector<const uint8_t*> tch;
    std::vector<const uint8_t*> loss;
};

// What one year and threshold add up to, in square metres (height: metres
// times square metres).
struct AccountFigures {
    double land_m2 = 0;
    double cover_m2 = 0;
    double loss_m2 = 0;
    double height_m3 = 0;  // sum of TCH x area over the cells counted in cover
};

class Tally {
  public:
    Tally(const Thresholds& thresholds, int year_count);

    // Counts cells [begin, end) of `row`, each weighing `cell_m2` square
    // metres (the row's cell area times the share of the cell in the area).
    // Land is a datamask byte of exactly 1; other cells count nowhere.
    void add(const AccountRow& row, int begin, int end, double cell_m2);

    // The sums of year index `year` (0 = the first output year) at the
    // threshold `thresholds.values[k]`.
    AccountFigures figures(int year, int k) const;

  private:
    // Whole cells counted as integers per threshold, then multiplied by the
    // cell's area once for the run (see tally.cpp).
    void add_run(const AccountRow& row, int begin, int end, double cell_m2);
    void add_cell(const AccountRow& row, int i, double cell_m2);

    Thresholds thresholds_;
    int years_;
    int values_;          // thresholds_.values.size()
    double land_m2_ = 0;  // the same for every year and threshold
    // Runs' sums by threshold: [year][k][cover, loss, height].
    std::vector<double> sums_;
    // Single cells' sums by cover level (summed over the levels above a
    // threshold when the figures are asked for): [year][level][cover, loss, height].
    std::vector<double> level_sums_;
    // Scratch of a run: land mask, the cover and height of the year on land
    // only (cover biased for signed comparison).
    std::vector<uint8_t> land_, cover_, height_;
    std::vector<uint64_t> counts_;  // [year][k][cover, loss, height]
    std::vector<uint64_t> lost_;    // loss cells of a year by first-year level
};

}  // namespace pt
