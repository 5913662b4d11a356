// The first failure in plan order among items done by several workers, so a
// parallel run reports what a one-by-one run in the same order would.
#pragma once

#include <cstddef>
#include <limits>
#include <mutex>
#include <string>

#include "tile/tile.hpp"

namespace pt {

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

}  // namespace pt
