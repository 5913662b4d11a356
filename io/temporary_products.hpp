// How products reach their final names, so that a name in output_dir only
// ever holds a complete product whose bytes are on disk. A run takes the
// tile's lock (io/tile_lock.hpp), removes what dead runs of the tile left,
// and writes its products into a directory of its own inside output_dir,
// made as mkdtemp makes one (a fresh, unpredictable name, mode 0700) but
// relative to the open output directory: no other user can prepare a name
// there in advance, so nothing is ever written through a planted link, and
// renaming output_dir's path meanwhile cannot lead a write elsewhere. A
// product leaves it for its final name only once written, closed and
// flushed; after the last rename output_dir itself is flushed. The bytes of
// a product are written by the caller (io/product_writer.cpp, with GDAL);
// this unit does everything around them with plain system calls.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "io/safe_directory.hpp"
#include "io/tile_lock.hpp"
#include "run/run_items_in_order.hpp"

namespace pt {

// Whether the products are flushed to disk before the run may say it has
// written them. Only the benchmark's I/O floor leaves the flushing to the
// kernel, to show what durability costs; a run always flushes.
enum class Flushing { to_disk, none };

// Throws RunFailure(cannot_create) unless `output_dir` is a directory (a
// link given by the caller is followed) in which this process may create
// files, as far as its permissions and the mount tell; creates nothing, so
// a run that fails later still leaves the directory as it was. For the
// first second of a run: the same line as when writing starts.
void check_output_directory(const std::string& output_dir, const std::string& cannot_create);

// The mkdtemp template of a run's private directory, relative to output_dir:
// ".tmp-<pid>-<tile_id>.XXXXXX".
std::string private_directory_template(const std::string& tile_id, long pid);

// Whether `name` is a private directory name of tile `tile_id` as
// private_directory_template makes it, the X's replaced.
bool is_private_directory_name(const std::string& name, const std::string& tile_id);

// The pid in `file_name` when it is a temporary product of tile `tile_id` in
// the form older versions used, ".tmp-<pid>-<TCC|TCH|Loss>_<year>_<tile_id>.img";
// nothing otherwise.
std::optional<long> temporary_product_pid(const std::string& file_name, const std::string& tile_id);

// Removes what runs of the tile that no longer write have left in the open
// output directory: every private directory of the tile, with its content
// (the caller holds the tile's lock, so no other live run of the tile has
// one), and the older versions' temporary products whose process no longer
// exists (those versions take no lock). Other tiles' leftovers, products
// and anything that is not what such a name should be stay.
void remove_stale_temporaries(int output_dir_fd, const std::string& tile_id);

// A run's private directory; removed with anything left in it when the
// object goes out of scope.
class PrivateDirectory {
  public:
    // Creates it in the open output directory; throws
    // RunFailure(failure_line) when it cannot be made.
    PrivateDirectory(int output_dir_fd, const std::string& tile_id,
                     const std::string& failure_line);
    ~PrivateDirectory();
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;

    // A path to it for GDAL, which creates files by name:
    // "/proc/self/fd/<n>", which leads into the very directory this run
    // made, whatever output_dir's path leads to by now.
    const std::string& gdal_path() const { return gdal_path_; }
    int fd() const { return fd_.get(); }

  private:
    int output_dir_fd_;
    std::string name_;
    std::string gdal_path_;
    UniqueFd fd_;
};

// One run's products on their way into output_dir. Products are handed over
// by the workers that write them; a thread of its own flushes each and
// renames it into place, so the wait for the disk overlaps the writing of
// the next products instead of holding up a worker.
class TemporaryProducts {
  public:
    // Opens output_dir, takes the tile's lock, removes what dead runs of the
    // tile left (remove_stale_temporaries) and makes the private directory.
    // Throws RunFailure: the lock's own lines when another run holds it or
    // something else sits under its name, `cannot_create` when output_dir,
    // the lock file or the private directory cannot be had.
    TemporaryProducts(const std::string& output_dir, const std::string& tile_id,
                      const std::string& cannot_create, Flushing flushing);
    // Waits for what was handed over; then the private directory goes with
    // anything left in it, then the lock file, while the lock is still held.
    ~TemporaryProducts();
    TemporaryProducts(const TemporaryProducts&) = delete;
    TemporaryProducts& operator=(const TemporaryProducts&) = delete;

    // The path under which the caller creates product `file_name`: its final
    // file name inside the private directory, reached through the directory
    // this run opened (PrivateDirectory::gdal_path).
    std::string writing_path(const std::string& file_name) const;

    // Takes product `index` of the plan, written and closed under
    // writing_path(file_name), whose final path is `path`. When flushing,
    // asks the kernel to start writing its pages to disk right away rather
    // than when memory gets short or a timer fires, so that little is left
    // to write by the time the finishing thread waits for it. Throws
    // RunFailure "<path> cannot be written" when the file cannot be opened.
    // Callable from any thread.
    void hand_over(std::size_t index, const std::string& path, const std::string& file_name);

    // Failures by plan index: the finishing thread records its own here,
    // and the caller's run_items_in_order records the writers'.
    OrderedFailure& failures() { return failures_; }

    // Returns once every product handed over is flushed (when flushing) and
    // renamed, or has failed; nothing is handed over after it.
    void wait();

    // After wait(): throws the first failure in plan order; otherwise
    // flushes output_dir, so that the renames survive a power cut as the
    // products' bytes do (RunFailure "<output_dir> cannot be written").
    void commit();

  private:
    // A product written and closed in the private directory, its file open.
    struct Written {
        std::size_t index = 0;  // in the plan, for the order of failures
        std::string path;       // its final path, for the failure line
        std::string file_name;  // the same in both directories
        UniqueFd file;
    };

    void finish_handed_over();
    // fsync, close, rename: a name in output_dir only ever holds a complete
    // product whose bytes are on disk.
    void finish_one(Written& product);

    std::string output_dir_path_;
    Flushing flushing_;
    // Declared in this order, they go in the reverse one: the private
    // directory is emptied and removed while the lock is still held.
    UniqueFd output_dir_;
    TileLock lock_;
    PrivateDirectory private_dir_;
    OrderedFailure failures_;
    std::mutex mutex_;
    std::condition_variable handed_over_;
    std::deque<Written> queue_;
    bool closing_ = false;
    std::thread finishing_thread_;  // started last, once everything above is set up
};

}  // namespace pt
