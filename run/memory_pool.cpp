#include "run/memory_pool.hpp"

#include <stdexcept>

namespace pt {

MemoryPool::Reservation::~Reservation() {
    if (pool_ != nullptr) pool_->release(bytes_);
}

MemoryPool::Reservation MemoryPool::reserve(uint64_t bytes) {
    if (bytes > capacity_) throw std::length_error("reservation larger than the memory pool");
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [&] { return capacity_ - in_use_ >= bytes; });
    in_use_ += bytes;
    return Reservation(this, bytes);
}

uint64_t MemoryPool::in_use() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return in_use_;
}

void MemoryPool::release(uint64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        in_use_ -= bytes;
    }
    freed_.notify_all();
}

}  // namespace pt
