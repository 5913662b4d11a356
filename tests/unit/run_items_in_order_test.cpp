// Work spread over threads must report failures as a one-by-one run would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "run/run_items_in_order.hpp"

namespace pt {
namespace {

TEST(RunItemsInOrder, ReportsTheFirstFailingItemWhateverFinishesFirst) {
    for (int workers : {1, 2, 4}) {
        std::vector<std::atomic<int>> ran(40);
        try {
            run_items_in_order(40, workers, Progress::silent(), [&](int i) {
                ran[i] = 1;
                // The later failure is met first: the earlier item is slow.
                if (i == 7) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                    throw RunFailure("item 7");
                }
                if (i == 8) throw RunFailure("item 8");
            });
            ADD_FAILURE() << "no failure reported";
        } catch (const RunFailure& failure) {
            EXPECT_STREQ(failure.what(), "item 7") << workers << " workers";
        }
        for (int i = 0; i <= 7; ++i) EXPECT_EQ(ran[i], 1) << i;
        // One at a time, nothing after the first failure is started.
        if (workers == 1) {
            for (int i = 8; i < 40; ++i) EXPECT_EQ(ran[i], 0) << i;
        }
    }
}

TEST(RunItemsInOrder, RunsEveryItemOnceWhenNothingFails) {
    std::vector<std::atomic<int>> runs(100);
    run_items_in_order(100, 3, Progress::silent(), [&](int i) { ++runs[i]; });
    for (int i = 0; i < 100; ++i) EXPECT_EQ(runs[i], 1) << i;
}

}  // namespace
}  // namespace pt
