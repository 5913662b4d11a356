// One run at a time per tile and output directory. A scheduler may retry a
// tile while its first attempt still writes; unguarded, both would exit 0
// and leave a mix of their products.
#pragma once

#include <string>

#include "io/safe_directory.hpp"

namespace pt {

// "<output_dir>/.lock-<tile_id>": the file whose advisory lock (flock) a run
// holds while it writes the tile's products into that directory.
std::string tile_lock_name(const std::string& tile_id);

// Whether the lock file open as `fd` still carries `name` in the directory
// `dir_fd`: a holder removes its lock file as it finishes, so a run that
// locked a file that has just lost its name must open the new one.
bool lock_file_still_named(int dir_fd, const std::string& name, int fd);

class TileLock {
  public:
    // Takes the tile's lock in the open output directory `dir_fd`, creating
    // the lock file when needed (a killed run may leave one; the kernel has
    // released its lock). Throws RunFailure: "tile <id> is being written into
    // <output_dir> by another run" when another run holds it;
    // "<output_dir>/.lock-<tile_id> is in the way of the tile's lock: not a
    // regular file" for a link, directory or FIFO under its name;
    // "<output_dir>/.lock-<tile_id> cannot be opened: it belongs to another
    // user" (without the reason when it is this user's) for a lock file
    // there that may not be opened; and `unusable_line` when the lock file
    // cannot be had otherwise (missing or read-only directory).
    TileLock(int dir_fd, const std::string& output_dir, const std::string& tile_id,
             const std::string& unusable_line);
    // Removes the lock file while still holding the lock, so that nothing of
    // the run is left beside its products; then lets the lock go.
    ~TileLock();
    TileLock(const TileLock&) = delete;
    TileLock& operator=(const TileLock&) = delete;

  private:
    int dir_fd_;
    std::string name_;
    UniqueFd file_;
};

}  // namespace pt
