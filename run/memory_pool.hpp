// A fixed amount of memory shared by threads that each need a transient
// piece of it: a thread reserves its share before the work and gives it back
// after, waiting while the others hold too much. The total in use never
// exceeds the capacity, however many threads there are, so the memory check
// made before the run can count the pool as one fixed sum.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace pt {

class MemoryPool {
  public:
    explicit MemoryPool(uint64_t capacity) : capacity_(capacity) {}
    MemoryPool(const MemoryPool&) = delete;
    MemoryPool& operator=(const MemoryPool&) = delete;

    uint64_t capacity() const { return capacity_; }

    // Held share of the pool; returned when it goes out of scope.
    class Reservation {
      public:
        Reservation(Reservation&& other) noexcept : pool_(other.pool_), bytes_(other.bytes_) {
            other.pool_ = nullptr;
        }
        Reservation& operator=(Reservation&&) = delete;
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;
        ~Reservation();

      private:
        friend class MemoryPool;
        Reservation(MemoryPool* pool, uint64_t bytes) : pool_(pool), bytes_(bytes) {}
        MemoryPool* pool_;
        uint64_t bytes_;
    };

    // Waits until `bytes` are free and takes them. A share larger than the
    // whole pool could never be granted: the caller refuses it beforehand
    // (std::length_error here, so it can never wait forever).
    Reservation reserve(uint64_t bytes);

    // Bytes held now (for tests and diagnostics).
    uint64_t in_use() const;

  private:
    void release(uint64_t bytes);

    const uint64_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    uint64_t in_use_ = 0;
};

}  // namespace pt
