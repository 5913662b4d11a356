// Running one job on several threads: the count comes from the CPUs this
// process may use (its affinity mask), so a scheduler that pins a job to a
// few CPUs gets exactly that many workers.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace pt {

// CPUs in the process's affinity mask (at least 1).
int available_cpus();

// Calls work(worker_index) on `workers` threads (the caller's among them) and
// waits for all. The first exception thrown by any worker is rethrown here.
template <class Work>
void run_workers(int workers, Work&& work) {
    if (workers <= 1) {
        work(0);
        return;
    }
    std::exception_ptr failure;
    std::mutex failure_mutex;
    auto guarded = [&](int index) {
        try {
            work(index);
        } catch (...) {
            std::lock_guard<std::mutex> lock(failure_mutex);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(workers - 1);
    for (int i = 1; i < workers; ++i) threads.emplace_back(guarded, i);
    guarded(0);
    for (auto& thread : threads) thread.join();
    if (failure) std::rethrow_exception(failure);
}

// Hands out the items 0..count-1 in chunks to whichever worker asks next.
class WorkQueue {
  public:
    WorkQueue(int count, int chunk) : count_(count), chunk_(chunk) {}
    // Sets [begin, end) to the next chunk; false when none is left.
    bool next(int& begin, int& end) {
        begin = next_.fetch_add(chunk_);
        if (begin >= count_) return false;
        end = begin + chunk_ < count_ ? begin + chunk_ : count_;
        return true;
    }

  private:
    int count_, chunk_;
    std::atomic<int> next_{0};
};

}  // namespace pt
