// The pool that bounds what the reading workers decode at once: it must
// never grant more than it holds, must let a waiting worker go on as soon as
// enough is returned, and must refuse at once what it could never grant.
#include "run/memory_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace pt {
namespace {

TEST(MemoryPool, AShareLargerThanThePoolIsRefusedInsteadOfWaitingForever) {
    MemoryPool pool(100);
    EXPECT_THROW(pool.reserve(101), std::length_error);
    const MemoryPool::Reservation whole = pool.reserve(100);
    EXPECT_EQ(pool.in_use(), 100u);
}

TEST(MemoryPool, AWorkerWaitsWhileOthersHoldThePoolAndGoesOnWhenTheyReturnIt) {
    MemoryPool pool(100);
    std::atomic<bool> granted{false};
    std::thread waiter;
    {
        const MemoryPool::Reservation held = pool.reserve(70);
        waiter = std::thread([&] {
            const MemoryPool::Reservation share = pool.reserve(50);
            granted = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(granted) << "granted 50 while 70 of 100 were held";
    }
    waiter.join();
    EXPECT_TRUE(granted);
    EXPECT_EQ(pool.in_use(), 0u);
}

TEST(MemoryPool, ManyWorkersNeverHoldMoreThanThePool) {
    constexpr uint64_t capacity = 1000;
    MemoryPool pool(capacity);
    std::atomic<uint64_t> most_held{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 8; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 rng(static_cast<unsigned>(w));
            for (int i = 0; i < 2000; ++i) {
                const MemoryPool::Reservation share =
                    pool.reserve(std::uniform_int_distribution<uint64_t>(1, capacity)(rng));
                const uint64_t held = pool.in_use();
                uint64_t seen = most_held.load();
                while (held > seen && !most_held.compare_exchange_weak(seen, held)) {
                }
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_LE(most_held.load(), capacity);
    EXPECT_EQ(pool.in_use(), 0u);
}

}  // namespace
}  // namespace pt
