#include "io/temporary_products.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string_view>
#include <utility>
#include <vector>

#include "tile/tile.hpp"

namespace pt {

namespace {

constexpr std::string_view TEMPORARY_PREFIX = ".tmp-";
constexpr std::string_view MKDTEMP_SUFFIX = "XXXXXX";

bool process_exists(long pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

bool is_ascii_alnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Takes the leading decimal digits off `rest`.
std::string_view take_digits(std::string_view& rest) {
    std::size_t n = 0;
    while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
    const std::string_view digits = rest.substr(0, n);
    rest.remove_prefix(n);
    return digits;
}

// Takes ".tmp-<pid>-" off `rest`; the pid, when it is one kill() can be asked
// about (no leading zero, not 0, which would address the process group).
std::optional<long> take_temporary_prefix(std::string_view& rest) {
    if (rest.substr(0, TEMPORARY_PREFIX.size()) != TEMPORARY_PREFIX) return std::nullopt;
    rest.remove_prefix(TEMPORARY_PREFIX.size());
    const std::string_view pid_digits = take_digits(rest);
    if (pid_digits.empty() || pid_digits.size() > 9 || pid_digits.front() == '0') {
        return std::nullopt;
    }
    if (rest.empty() || rest.front() != '-') return std::nullopt;
    rest.remove_prefix(1);
    return std::stol(std::string(pid_digits));
}

// Characters for the unpredictable end of a private directory's name, as
// mkdtemp uses them.
constexpr std::string_view NAME_CHARACTERS =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int NAME_ATTEMPTS = 100;

// mkdtemp relative to an open directory: the X's at the end of `name_template`
// replaced by random characters, the directory made with mode 0700 where no
// entry of that name exists. mkdtemp itself goes by path, and a path can be
// made to lead elsewhere while the run writes; the open directory cannot.
std::optional<std::string> make_directory_at(int dir_fd, const std::string& name_template) {
    std::random_device random;
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        std::string name = name_template;
        for (std::size_t i = name.size() - MKDTEMP_SUFFIX.size(); i < name.size(); ++i) {
            name[i] = NAME_CHARACTERS[random() % NAME_CHARACTERS.size()];
        }
        if (::mkdirat(dir_fd, name.c_str(), 0700) == 0) return name;
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

UniqueFd open_output_directory(const std::string& path, const std::string& cannot_create) {
    UniqueFd dir = open_directory(path);
    if (!dir.valid()) throw RunFailure(cannot_create);
    return dir;
}

// What dead runs of the tile left goes before this run makes its own private
// directory, which the cleanup would otherwise take for one of theirs.
PrivateDirectory clean_and_make_private_directory(int output_dir_fd, const std::string& tile_id,
                                                  const std::string& cannot_create) {
    remove_stale_temporaries(output_dir_fd, tile_id);
    return PrivateDirectory(output_dir_fd, tile_id, cannot_create);
}

}  // namespace

void check_output_directory(const std::string& output_dir, const std::string& cannot_create) {
    struct stat status {};
    if (::stat(output_dir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        ::faccessat(AT_FDCWD, output_dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        throw RunFailure(cannot_create);
    }
}

std::string private_directory_template(const std::string& tile_id, long pid) {
    return std::string(TEMPORARY_PREFIX) + std::to_string(pid) + "-" + tile_id + "." +
           std::string(MKDTEMP_SUFFIX);
}

bool is_private_directory_name(const std::string& name, const std::string& tile_id) {
    std::string_view rest = name;
    if (!take_temporary_prefix(rest)) return false;
    // The suffix has a fixed length, so a tile id holding dots cannot be
    // mistaken for another tile's.
    if (rest.size() != tile_id.size() + 1 + MKDTEMP_SUFFIX.size()) return false;
    if (rest.substr(0, tile_id.size()) != tile_id || rest[tile_id.size()] != '.') return false;
    for (const char c : rest.substr(tile_id.size() + 1)) {
        if (!is_ascii_alnum(c)) return false;
    }
    return true;
}

std::optional<long> temporary_product_pid(const std::string& file_name,
                                          const std::string& tile_id) {
    std::string_view rest = file_name;
    const std::optional<long> pid = take_temporary_prefix(rest);
    if (!pid) return std::nullopt;
    bool product = false;
    for (const std::string_view token : {"TCC_", "TCH_", "Loss_"}) {
        if (rest.substr(0, token.size()) == token) {
            rest.remove_prefix(token.size());
            product = true;
            break;
        }
    }
    if (!product || take_digits(rest).empty()) return std::nullopt;
    if (rest != "_" + tile_id + ".img") return std::nullopt;
    return pid;
}

void remove_stale_temporaries(int output_dir_fd, const std::string& tile_id) {
    const long own_pid = static_cast<long>(::getpid());
    for (const std::string& name : entry_names(output_dir_fd)) {
        if (is_private_directory_name(name, tile_id)) {
            remove_directory_tree(output_dir_fd, name);
            continue;
        }
        const auto pid = temporary_product_pid(name, tile_id);
        if (!pid || *pid == own_pid || process_exists(*pid)) continue;
        // Flags 0: a file, link or FIFO goes, a directory under such a name
        // is not what an older run leaves and stays.
        ::unlinkat(output_dir_fd, name.c_str(), 0);
    }
}

PrivateDirectory::PrivateDirectory(int output_dir_fd, const std::string& tile_id,
                                   const std::string& failure_line)
    : output_dir_fd_(output_dir_fd) {
    const auto made = make_directory_at(
        output_dir_fd, private_directory_template(tile_id, static_cast<long>(::getpid())));
    if (!made) throw RunFailure(failure_line);
    name_ = *made;
    fd_ = UniqueFd(
        ::openat(output_dir_fd, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // Between the mkdir and the open, someone with write access to a
    // directory without the sticky bit could have put a directory of their
    // own under the name: only one that is this user's and closed to
    // everyone else is used.
    struct stat status {};
    if (!fd_.valid() || ::fstat(fd_.get(), &status) != 0 || status.st_uid != ::geteuid() ||
        (status.st_mode & 0077) != 0) {
        fd_.reset();
        throw RunFailure(failure_line);
    }
    gdal_path_ = "/proc/self/fd/" + std::to_string(fd_.get());
}

PrivateDirectory::~PrivateDirectory() {
    fd_.reset();
    remove_directory_tree(output_dir_fd_, name_);
}

TemporaryProducts::TemporaryProducts(const std::string& output_dir, const std::string& tile_id,
                                     const std::string& cannot_create, Flushing flushing)
    : output_dir_path_(output_dir),
      flushing_(flushing),
      output_dir_(open_output_directory(output_dir, cannot_create)),
      lock_(output_dir_.get(), output_dir, tile_id, cannot_create),
      private_dir_(clean_and_make_private_directory(output_dir_.get(), tile_id, cannot_create)),
      finishing_thread_([this] { finish_handed_over(); }) {}

TemporaryProducts::~TemporaryProducts() {
    wait();
}

std::string TemporaryProducts::writing_path(const std::string& file_name) const {
    return private_dir_.gdal_path() + "/" + file_name;
}

void TemporaryProducts::hand_over(std::size_t index, const std::string& path,
                                  const std::string& file_name) {
    UniqueFd file(
        ::openat(private_dir_.fd(), file_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid()) throw RunFailure(path + " cannot be written");
    // Only a hint: an error here shows up again in the fsync that decides.
    if (flushing_ == Flushing::to_disk) {
        ::sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back({index, path, file_name, std::move(file)});
    }
    handed_over_.notify_one();
}

void TemporaryProducts::wait() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    handed_over_.notify_one();
    if (finishing_thread_.joinable()) finishing_thread_.join();
}

void TemporaryProducts::commit() {
    failures_.throw_if_any();
    if (flushing_ == Flushing::to_disk && ::fsync(output_dir_.get()) != 0) {
        throw RunFailure(output_dir_path_ + " cannot be written");
    }
}

void TemporaryProducts::finish_handed_over() {
    for (;;) {
        Written product;
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

void TemporaryProducts::finish_one(Written& product) {
    // A write error the page cache has held back (network file systems
    // report a full disk or quota only here) shows up in fsync or close.
    const bool synced = flushing_ == Flushing::none || ::fsync(product.file.get()) == 0;
    if (!product.file.close() || !synced) {
        failures_.record(product.index, product.path + " cannot be written");
        return;
    }
    // Atomic within the file system: readers see the old product or the new
    // one, never a part of either. rename replaces a link, FIFO or file
    // planted under the final name instead of following it.
    if (::renameat(private_dir_.fd(), product.file_name.c_str(), output_dir_.get(),
                   product.file_name.c_str()) != 0) {
        failures_.record(product.index, product.path + " cannot be renamed into place");
    }
}

}  // namespace pt
