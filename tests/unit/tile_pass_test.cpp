// The fast whole-tile pass (row buffers, the row form of loss proximity, the
// lane stages, worker threads), with and without quality flags, against the
// plain chain, on random tiles.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "filter/pixel_chain.hpp"
#include "filter/tile_pass.hpp"

namespace pt {
namespace {

// A small random tile with the structure the rules react to: cover that
// drifts with noise, jumps and invalid bytes; loss events, some repeated and
// some of other values; heights with gaps; all datamask and wetland values.
void fill_random_tile(TileMemory& tile, uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto chance = [&](double p) { return std::uniform_real_distribution<>(0, 1)(rng) < p; };
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<>(lo, hi)(rng); };
    const int n = tile.year_count();
    for (int r = 0; r < tile.height(); ++r) {
        for (int c = 0; c < tile.width(); ++c) {
            tile.datamask.at(r, c) = static_cast<uint8_t>(chance(0.8) ? 1 : pick(0, 2));
            tile.wetland_mask.at(r, c) = static_cast<uint8_t>(chance(0.3) ? 1 : 0);
            int cover = pick(0, 100);
            int height = pick(0, 40);
            for (int t = 0; t < n; ++t) {
                cover = std::clamp(cover + pick(-6, 6) + (chance(0.1) ? pick(-40, 40) : 0), 0, 100);
                tile.cover_cube.at(t, r, c) =
                    static_cast<uint8_t>(chance(0.05) ? pick(101, 255) : cover);
                if (t < first_output_index) continue;
                tile.loss_cube.at(t, r, c) =
                    static_cast<uint8_t>(chance(0.12) ? (chance(0.8) ? 1 : pick(2, 255)) : 0);
                height = std::clamp(height + pick(-5, 8), 0, 60);
                tile.height_cube.at(t, r, c) = static_cast<uint8_t>(chance(0.25) ? 0 : height);
            }
        }
    }
}

void copy_tile(const TileMemory& from, TileMemory& to) {
    std::memcpy(to.loss_cube.data, from.loss_cube.data,
                TileMemory::bytes_needed(from.year_count(), from.width(), from.height()));
}

void expect_same_cube(const YearCube& a, const YearCube& b, const char* name) {
    for (int t = 0; t < a.year_count; ++t)
        for (int r = 0; r < a.height; ++r)
            for (int c = 0; c < a.width; ++c)
                if (a.at(t, r, c) != b.at(t, r, c)) {
                    ADD_FAILURE() << name << " differs at year " << t << " row " << r << " col "
                                  << c << ": " << int(a.at(t, r, c)) << " vs "
                                  << int(b.at(t, r, c));
                    return;
                }
}

TEST(TilePass, EqualsThePlainPassForAnyWorkerCount) {
    // Sizes that do not divide into the row chunks or the lane groups; runs
    // of 4, 5, 24 and 64 years (the most a run may have).
    struct Shape {
        int years, width, height;
    };
    for (const Shape shape :
         {Shape{4, 23, 19}, Shape{5, 31, 40}, Shape{24, 45, 53}, Shape{MAX_YEAR_COUNT, 17, 9}}) {
        TileMemory input(shape.years, shape.width, shape.height);
        fill_random_tile(input, static_cast<uint64_t>(shape.years * 1000 + shape.width));

        TileMemory reference(shape.years, shape.width, shape.height);
        copy_tile(input, reference);
        filter_tile_reference(reference);

        // The quality pass runs the same stages with flags recorded alongside:
        // its products must be the product pass's.
        struct Pass {
            int workers;
            bool with_flags;
        };
        for (const Pass pass : {Pass{1, false}, Pass{2, false}, Pass{3, false}, Pass{2, true}}) {
            const int workers = pass.workers;
            SCOPED_TRACE(testing::Message() << shape.years << " years, " << workers << " workers"
                                            << (pass.with_flags ? ", with flags" : ""));
            TileMemory fast(shape.years, shape.width, shape.height);
            copy_tile(input, fast);
            std::vector<uint8_t> flag_bytes(fast.cover_out.layer_size() * shape.years);
            const YearCube flags{flag_bytes.data(), shape.years, shape.width, shape.height};
            filter_tile(fast, workers, Progress::silent(), pass.with_flags ? &flags : nullptr);
            expect_same_cube(reference.loss_cube, fast.loss_cube, "loss_cube");
            expect_same_cube(reference.loss_out, fast.loss_out, "loss_out");
            expect_same_cube(reference.cover_out, fast.cover_out, "cover_out");
            expect_same_cube(reference.height_out, fast.height_out, "height_out");
        }
    }
}

TEST(TilePass, RandomTileReachesTheRulesItIsMeantToCompare) {
    // Guards the test above against data so tame that both passes trivially agree.
    TileMemory tile(24, 45, 53);
    fill_random_tile(tile, 24045);
    filter_tile(tile, 2);
    int nonzero_cover = 0, nonzero_height = 0, repaired_changes = 0;
    for (int t = first_output_index; t < 24; ++t)
        for (int r = 0; r < 53; ++r)
            for (int c = 0; c < 45; ++c) {
                nonzero_cover += tile.cover_out.at(t, r, c) != 0;
                nonzero_height += tile.height_out.at(t, r, c) != 0;
                repaired_changes += tile.datamask.at(r, c) == 1 &&
                                    tile.loss_cube.at(t, r, c) == 0 &&
                                    tile.cover_out.at(t, r, c) != tile.cover_cube.at(t, r, c);
            }
    EXPECT_GT(nonzero_cover, 10000);
    EXPECT_GT(nonzero_height, 5000);
    EXPECT_GT(repaired_changes, 1000);
}

}  // namespace
}  // namespace pt
