#include "io/safe_directory.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pt {

namespace {

// A private directory holds plain files; anything deeper was put there by
// someone else, and a bound keeps a planted deep tree from exhausting the
// descriptors or the stack.
constexpr int MAX_REMOVAL_DEPTH = 4;

// Whether the open directory `child` lies on the same mount as the open
// directory `parent` holding it. A different st_dev means another file
// system, as `rm --one-file-system` judges; a bind mount of a directory of the
// same file system keeps st_dev, so the mount itself is compared too, where
// the kernel tells it (statx, Linux 5.8 on). When in doubt, not the same.
bool on_same_mount(int parent, int child) {
    struct stat parent_status {};
    struct stat child_status {};
    if (::fstat(parent, &parent_status) != 0 || ::fstat(child, &child_status) != 0) return false;
    if (parent_status.st_dev != child_status.st_dev) return false;
    struct statx parent_x {};
    struct statx child_x {};
    if (::statx(parent, "", AT_EMPTY_PATH, STATX_MNT_ID, &parent_x) != 0 ||
        ::statx(child, "", AT_EMPTY_PATH, STATX_MNT_ID, &child_x) != 0) {
        return true;  // a kernel without statx: st_dev is all there is
    }
    if ((child_x.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
        (child_x.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
        return false;
    }
    if ((parent_x.stx_mask & STATX_MNT_ID) != 0 && (child_x.stx_mask & STATX_MNT_ID) != 0) {
        return parent_x.stx_mnt_id == child_x.stx_mnt_id;
    }
    return true;
}

bool remove_tree_below(int parent_fd, const std::string& name, int depth_left) {
    // O_NOFOLLOW with O_DIRECTORY refuses a link to a directory, so the
    // removal can never wander out through one.
    UniqueFd dir(::openat(parent_fd, name.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!dir.valid()) return false;
    // A directory mounted here (a bind mount of someone's data into a dead
    // run's private directory) belongs to another tree: nothing in it is
    // removed, and it stays, and so do the directories holding it.
    if (!on_same_mount(parent_fd, dir.get())) return false;
    for (const std::string& entry : entry_names(dir.get())) {
        if (::unlinkat(dir.get(), entry.c_str(), 0) == 0) continue;
        // Linux says EISDIR for a directory, POSIX allows EPERM.
        if ((errno == EISDIR || errno == EPERM) && depth_left > 0) {
            remove_tree_below(dir.get(), entry, depth_left - 1);
        }
    }
    dir.reset();
    return ::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool UniqueFd::close() {
    if (fd_ < 0) return true;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return closed;
}

UniqueFd open_directory(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::vector<std::string> entry_names(int dir_fd) {
    std::vector<std::string> names;
    // fdopendir takes the descriptor it is given; a fresh one of the same
    // directory leaves the caller's own untouched.
    const int listing_fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing_fd < 0) return names;
    DIR* listing = ::fdopendir(listing_fd);
    if (listing == nullptr) {
        ::close(listing_fd);
        return names;
    }
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    return names;
}

bool remove_directory_tree(int parent_fd, const std::string& name) {
    return remove_tree_below(parent_fd, name, MAX_REMOVAL_DEPTH);
}

}  // namespace pt
