#include "run/output_page_toucher.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace pt {

namespace {

constexpr std::size_t PAGE_BYTES = 4096;
// How often the thread looks whether it should stop: every 2 MiB.
constexpr std::size_t PAGES_PER_CHECK = 512;

void touch_pages(uint8_t* begin, std::size_t bytes, const std::atomic<bool>& stop) {
    volatile uint8_t* p = begin;
    for (std::size_t at = 0; at < bytes; at += PAGE_BYTES * PAGES_PER_CHECK) {
        if (stop.load(std::memory_order_relaxed)) return;
        const std::size_t end = std::min(bytes, at + PAGE_BYTES * PAGES_PER_CHECK);
        // Writing the 0 the page already holds makes the kernel back it.
        for (std::size_t i = at; i < end; i += PAGE_BYTES) p[i] = 0;
    }
}

}  // namespace

OutputPageToucher::OutputPageToucher(const TileMemory& tile) {
    const std::size_t layer = tile.loss_out.layer_size();
    const std::size_t years = static_cast<std::size_t>(tile.year_count());
    const std::size_t output_years = years - std::min<std::size_t>(years, first_output_index);
    uint8_t* loss = tile.loss_out.row(first_output_index, 0);
    uint8_t* cover = tile.cover_out.row(first_output_index, 0);
    uint8_t* height = tile.height_out.row(first_output_index, 0);
    thread_ = std::thread([this, loss, cover, height, layer, output_years] {
        touch_pages(loss, layer * output_years, stop_);
        touch_pages(cover, layer * output_years, stop_);
        touch_pages(height, layer * output_years, stop_);
    });
}

void OutputPageToucher::finish() {
    if (thread_.joinable()) thread_.join();
}

OutputPageToucher::~OutputPageToucher() {
    stop_ = true;
    finish();
}

}  // namespace pt
