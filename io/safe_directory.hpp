// Directory work that names entries relative to an open directory and never
// follows a symbolic link it did not expect: the output directory may be
// shared with other users, any of whom can plant a link, a FIFO or a
// directory under a name this program is about to use.
#pragma once

#include <string>
#include <vector>

namespace pt {

// An owned file descriptor, closed when it goes out of scope.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    // Closes now; false when close reports an error (a delayed write error
    // on some file systems).
    bool close();
    void reset() { close(); }

  private:
    int fd_ = -1;
};

// Opens `path` as a directory (a link given by the caller is its choice and
// is followed); invalid when it is not one.
UniqueFd open_directory(const std::string& path);

// The names in the open directory, "." and ".." left out; empty when it
// cannot be listed.
std::vector<std::string> entry_names(int dir_fd);

// Removes the directory `name` inside `parent_fd` and everything in it,
// without ever following a link: a link inside is removed as a link, and
// `name` itself is left alone when it is not a directory. It never leaves
// the mount `parent_fd` is on: a directory on another file system or
// mounted from elsewhere (a bind mount) is neither entered nor removed.
// Such directories, subdirectories deeper than a few levels, or entries it
// may not remove, stay, and so do the directories holding them. Returns
// whether `name` is gone.
bool remove_directory_tree(int parent_fd, const std::string& name);

}  // namespace pt
