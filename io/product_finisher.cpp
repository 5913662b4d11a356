#include "io/product_finisher.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "io/product_writer.hpp"

namespace pt {

EncodedProduct start_writeback(std::size_t index, const std::string& path,
                               const std::string& file_name, int private_dir_fd,
                               Flushing flushing) {
    UniqueFd file(::openat(private_dir_fd, file_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid()) throw RunFailure(path + " cannot be written");
    // Only a hint: an error here shows up again in the fsync that decides.
    if (flushing == Flushing::to_disk) ::sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    return {index, path, file_name, std::move(file)};
}

ProductFinisher::ProductFinisher(int private_dir_fd, int output_dir_fd, Flushing flushing,
                                 OrderedFailure& failure)
    : private_dir_fd_(private_dir_fd),
      output_dir_fd_(output_dir_fd),
      flushing_(flushing),
      failure_(failure),
      thread_([this] { run(); }) {}

ProductFinisher::~ProductFinisher() { finish(); }

void ProductFinisher::hand_over(EncodedProduct product) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(product));
    }
    handed_over_.notify_one();
}

void ProductFinisher::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    handed_over_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void ProductFinisher::run() {
    for (;;) {
        EncodedProduct product;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            handed_over_.wait(lock, [this] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;
            product = std::move(queue_.front());
            queue_.pop_front();
        }
        finish_one(product);
    }
}

void ProductFinisher::finish_one(EncodedProduct& product) {
    // A write error the page cache has held back (network file systems
    // report a full disk or quota only here) shows up in fsync or close.
    const bool synced = flushing_ == Flushing::none || ::fsync(product.file.get()) == 0;
    if (!product.file.close() || !synced) {
        failure_.record(product.index, product.path + " cannot be written");
        return;
    }
    // Atomic within the file system: readers see the old product or the new
    // one, never a part of either. rename replaces a link, FIFO or file
    // planted under the final name instead of following it.
    if (::renameat(private_dir_fd_, product.file_name.c_str(), output_dir_fd_,
                   product.file_name.c_str()) != 0) {
        failure_.record(product.index, product.path + " cannot be renamed into place");
    }
}

}  // namespace pt
