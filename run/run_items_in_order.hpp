// Items of a plan (input layers, products) run on several workers with the
// outcome of a one-by-one run in plan order: run_items_in_order, and the
// OrderedFailure that keeps the failure of the lowest index.
#pragma once

#include <cstddef>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include "run/progress.hpp"
#include "run/workers.hpp"
#include "tile/tile.hpp"

namespace pt {

// The first failure in plan order among items done by several workers.
class OrderedFailure {
  public:
    OrderedFailure() = default;

    void record(std::size_t index, const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index < index_) {
            index_ = index;
            message_ = message;
        }
    }
    // True when an item before `index` already failed, so `index` need not run.
    bool known_before(std::size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        return index_ < index;
    }
    void throw_if_any() const {
        if (index_ != std::numeric_limits<std::size_t>::max()) throw RunFailure(message_);
    }

  private:
    std::mutex mutex_;
    std::size_t index_ = std::numeric_limits<std::size_t>::max();
    std::string message_;
};

// Runs item(0) .. item(count - 1) on up to `workers` threads, whole items
// each. The outcome is that of running them one by one in index order: an
// item after a known failure is not started, and the RunFailure thrown is the
// one of the lowest failing index. This form records into `failure` instead
// of throwing, for work whose items can also fail later, elsewhere (the
// product writer flushes and renames on a thread of its own).
template <class Item>
void run_items_in_order(int count, int workers, Progress& progress, OrderedFailure& failure,
                        Item&& item) {
    WorkQueue queue(count, 1);
    run_workers(workers < count ? workers : count, [&](int) {
        int index, end;
        while (queue.next(index, end)) {
            if (failure.known_before(index)) continue;
            try {
                item(index);
                progress.advance();
            } catch (const RunFailure& f) {
                failure.record(index, f.what());
            }
        }
    });
}

// The same, throwing the first failure.
template <class Item>
void run_items_in_order(int count, int workers, Progress& progress, Item&& item) {
    OrderedFailure failure;
    run_items_in_order(count, workers, progress, failure, std::forward<Item>(item));
    failure.throw_if_any();
}

}  // namespace pt
