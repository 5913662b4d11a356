// Fresh memory costs a page fault on first touch, and in a virtual machine a
// second fault on the host behind it: for the 1 GB of output years of a
// 2020 tile that was over a second here, paid inside the filter. Reading the
// inputs leaves the processors partly idle, so a thread of its own touches
// the output pages meanwhile and the filter later finds them ready.
#pragma once

#include <atomic>
#include <thread>

#include "tile/tile.hpp"

namespace pt {

class OutputPageToucher {
  public:
    // Starts touching the pages the filter will write: the output years of
    // loss_out, cover_out and height_out. Their bytes stay 0.
    explicit OutputPageToucher(const TileMemory& tile);
    // Waits for the thread; stops it early when the run ends before the filter.
    ~OutputPageToucher();
    OutputPageToucher(const OutputPageToucher&) = delete;
    OutputPageToucher& operator=(const OutputPageToucher&) = delete;

    // Waits until every page has been touched.
    void finish();

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace pt
