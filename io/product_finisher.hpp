// The last steps of a product, taken off the encoding workers: waiting for
// the disk to hold its bytes, then giving it its final name. A thread of its
// own does them, so the wait for the disk overlaps the encoding of the next
// products instead of holding up a worker.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "io/safe_directory.hpp"
#include "run/run_items_in_order.hpp"

namespace pt {

enum class Flushing;

// A product encoded and closed in the private directory, its file open.
struct EncodedProduct {
    std::size_t index = 0;  // in the plan, for the order of failures
    std::string path;       // its final path, for the failure line
    std::string file_name;  // the same in both directories
    UniqueFd file;
};

// Opens a product just encoded in the private directory and, when
// flushing, asks the kernel to start writing its pages to disk right away
// rather than when memory gets short or a timer fires, so that by the time
// the finisher waits for it little is left to write. Throws RunFailure
// "<path> cannot be written" when it cannot be opened.
EncodedProduct start_writeback(std::size_t index, const std::string& path,
                               const std::string& file_name, int private_dir_fd,
                               Flushing flushing);

class ProductFinisher {
public:
    // Moves products from `private_dir_fd` to `output_dir_fd`; failures go
    // to `failure` under the product's plan index.
    ProductFinisher(int private_dir_fd, int output_dir_fd, Flushing flushing,
                    OrderedFailure& failure);
    // Finishes what it was handed.
    ~ProductFinisher();
    ProductFinisher(const ProductFinisher&) = delete;
    ProductFinisher& operator=(const ProductFinisher&) = delete;

    void hand_over(EncodedProduct product);
    // Returns once every product handed over is flushed (when flushing) and
    // renamed, or has failed.
    void finish();

private:
    void run();
    // fsync, close, rename: a name in output_dir only ever holds a complete
    // product whose bytes are on disk.
    void finish_one(EncodedProduct& product);

    int private_dir_fd_;
    int output_dir_fd_;
    Flushing flushing_;
    OrderedFailure& failure_;
    std::mutex mutex_;
    std::condition_variable handed_over_;
    std::deque<EncodedProduct> queue_;
    bool closing_ = false;
    std::thread thread_;
};

}  // namespace pt
