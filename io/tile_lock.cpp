#include "io/tile_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tile/tile.hpp"

namespace pt {

namespace {

// A holder removes the lock file as it finishes, so a run may lock a file
// that has just lost its name and must try again with the new one; only a
// directory where runs keep coming and going needs more than two attempts.
constexpr int LOCK_ATTEMPTS = 16;

}  // namespace

bool lock_file_still_named(int dir_fd, const std::string& name, int fd) {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 &&
           ::fstatat(dir_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

std::string tile_lock_name(const std::string& tile_id) {
    return ".lock-" + tile_id;
}

TileLock::TileLock(int dir_fd, const std::string& output_dir, const std::string& tile_id,
                   const std::string& unusable_line)
    : dir_fd_(dir_fd), name_(tile_lock_name(tile_id)) {
    const std::string in_the_way =
        output_dir + "/" + name_ + " is in the way of the tile's lock: not a regular file";
    const std::string busy_line =
        "tile " + tile_id + " is being written into " + output_dir + " by another run";
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        // No link is followed; O_NONBLOCK keeps a FIFO planted under the name
        // from stalling the open, and the file is never read or written.
        UniqueFd file(::openat(dir_fd, name_.c_str(),
                               O_CREAT | O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        // Something other than a lock file under the name (a link, a
        // directory, a FIFO) is named as the cause; a directory that takes
        // no new file gives the caller's line, as for the products.
        if (!file.valid()) {
            const int open_error = errno;
            if (open_error == ELOOP || open_error == EISDIR || open_error == ENXIO) {
                throw RunFailure(in_the_way);
            }
            // A lock file that is there but may not be opened (another user's,
            // whose run made it; or with fs.protected_regular, any file of
            // another user in a shared sticky directory) is named itself: the
            // products are not what is wrong.
            struct stat named {};
            if ((open_error == EACCES || open_error == EPERM) &&
                ::fstatat(dir_fd, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(named.st_mode)) {
                throw RunFailure(
                    output_dir + "/" + name_ + " cannot be opened" +
                    (named.st_uid != ::geteuid() ? ": it belongs to another user" : ""));
            }
            throw RunFailure(unusable_line);
        }
        struct stat status {};
        if (::fstat(file.get(), &status) != 0) throw RunFailure(unusable_line);
        if (!S_ISREG(status.st_mode)) throw RunFailure(in_the_way);
        if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) throw RunFailure(busy_line);
            throw RunFailure(unusable_line);
        }
        if (lock_file_still_named(dir_fd, name_, file.get())) {
            file_ = std::move(file);
            return;
        }
    }
    throw RunFailure(busy_line);
}

TileLock::~TileLock() {
    // Only the file this run locked: whatever else took the name since is
    // not this run's to remove.
    if (lock_file_still_named(dir_fd_, name_, file_.get())) ::unlinkat(dir_fd_, name_.c_str(), 0);
    file_.reset();
}

}  // namespace pt
