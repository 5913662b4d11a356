#include "io/table_files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

#include "io/safe_directory.hpp"
#include "io/temporary_products.hpp"
#include "io/tile_lock.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

constexpr std::string_view TEMPORARY_PREFIX = ".tmp-";
constexpr std::size_t HOST_LETTERS = 32;
constexpr std::size_t RANDOM_LETTERS = 12;
constexpr std::size_t OLD_RANDOM_LETTERS = 8;
constexpr std::size_t PID_DIGITS = 10;
constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
// A holder removes the lock file as it finishes, so a run may lock a file
// that has just lost its name and must try again with the new one.
constexpr int LOCK_ATTEMPTS = 16;

std::string parent_of(const std::string& dir) {
    std::string trimmed = dir;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : trimmed.substr(0, slash);
}

bool is_host_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool is_random_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

template <typename Pred>
bool all_of(std::string_view text, std::size_t min, std::size_t max, Pred pred) {
    if (text.size() < min || text.size() > max) return false;
    for (char c : text) {
        if (!pred(c)) return false;
    }
    return true;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// This host's name as a temporary name holds it: no dot (the name's own
// separator), no slash, nothing a shell would make much of.
std::string host_part() {
    char name[256] = {};
    std::string host;
    if (::gethostname(name, sizeof name - 1) == 0) {
        for (const char* p = name; *p != '\0' && host.size() < HOST_LETTERS; ++p) {
            host += is_host_letter(*p) ? *p : '-';
        }
    }
    return host.empty() ? "host" : host;
}

std::string random_letters(std::size_t count) {
    static std::mt19937_64 generator{std::random_device{}()};
    std::string letters(count, 'a');
    for (char& c : letters) c = LETTERS[generator() % (sizeof LETTERS - 1)];
    return letters;
}

bool write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The lock of a set of tables in an open directory, held from construction
// (or RunFailure) to destruction, which removes the lock file while still
// holding it: nothing of the run stays beside the tables.
class TablesLock {
  public:
    TablesLock(int dir_fd, const std::string& dir, const std::string& first_table)
        : dir_fd_(dir_fd), name_(table_lock_name(first_table)) {
        const std::string path = dir + "/" + name_;
        for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
            // No link is followed, and O_NONBLOCK keeps a FIFO under the name
            // from stalling the open; the file is never read or written.
            UniqueFd file(::openat(dir_fd, name_.c_str(),
                                   O_CREAT | O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
            if (!file.valid()) {
                const int error = errno;
                if (error == ELOOP || error == EISDIR || error == ENXIO) throw in_the_way(path);
                throw RunFailure(path + " cannot be opened: " + std::strerror(error));
            }
            struct stat status {};
            if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
                throw in_the_way(path);
            }
            if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
                const int error = errno;
                if (error == EWOULDBLOCK) throw busy(dir, first_table);
                throw RunFailure(path + " cannot be locked: " + std::strerror(error));
            }
            if (lock_file_still_named(dir_fd, name_, file.get())) {
                file_ = std::move(file);
                return;
            }
        }
        throw busy(dir, first_table);
    }
    ~TablesLock() {
        // Only the file this run locked: whatever took the name since is not
        // this run's to remove.
        if (lock_file_still_named(dir_fd_, name_, file_.get()))
            ::unlinkat(dir_fd_, name_.c_str(), 0);
    }
    TablesLock(const TablesLock&) = delete;
    TablesLock& operator=(const TablesLock&) = delete;

  private:
    static RunFailure in_the_way(const std::string& path) {
        return RunFailure(path + " is in the way of the tables' lock: not a regular file");
    }
    static RunFailure busy(const std::string& dir, const std::string& first_table) {
        return RunFailure(dir + "/" + first_table + " is being written by another run");
    }

    int dir_fd_;
    std::string name_;
    UniqueFd file_;
};

// Removes what killed runs left of the tables `names`: their temporary
// files. Only under the tables' lock, where no live run has any. A file
// that cannot be removed (another user's) stays; it is in no one's way.
void remove_leftovers(int dir_fd, const std::vector<std::string>& names) {
    for (const std::string& entry : entry_names(dir_fd)) {
        if (!entry.starts_with(TEMPORARY_PREFIX)) continue;
        for (const std::string& name : names) {
            if (is_temporary_table_name(entry, name)) {
                ::unlinkat(dir_fd, entry.c_str(), 0);
                break;
            }
        }
    }
}

// The temporary files made so far, removed unless renamed into place.
class Temporaries {
  public:
    explicit Temporaries(int dir_fd) : dir_fd_(dir_fd) {}
    ~Temporaries() {
        for (const std::string& name : names_) {
            if (!name.empty()) ::unlinkat(dir_fd_, name.c_str(), 0);
        }
    }
    Temporaries(const Temporaries&) = delete;
    Temporaries& operator=(const Temporaries&) = delete;

    // Creates, writes, flushes and closes one; false on any failure.
    bool write(const std::string& file_name, const std::string& bytes) {
        int fd = -1;
        std::string name;
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            name = temporary_table_name(file_name);
            fd = ::openat(dir_fd_, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0 && errno != EEXIST) return false;
        }
        if (fd < 0) return false;
        names_.push_back(name);
        bool ok = write_all(fd, bytes);
        ok = ::fsync(fd) == 0 && ok;
        ok = ::close(fd) == 0 && ok;
        return ok;
    }
    // Renames temporary `index` to `file_name`; false on failure.
    bool rename(std::size_t index, const std::string& file_name) {
        if (::renameat(dir_fd_, names_[index].c_str(), dir_fd_, file_name.c_str()) != 0) {
            return false;
        }
        names_[index].clear();
        return true;
    }

  private:
    int dir_fd_;
    std::vector<std::string> names_;
};

}  // namespace

std::string table_lock_name(const std::string& file_name) {
    const bool csv = file_name.size() > 4 && file_name.ends_with(".csv");
    return ".lock-" + (csv ? file_name.substr(0, file_name.size() - 4) : file_name);
}

std::string temporary_table_name(const std::string& file_name) {
    static const std::string host = host_part();
    return std::string(TEMPORARY_PREFIX) + file_name + "." + host + "." +
           std::to_string(::getpid()) + "." + random_letters(RANDOM_LETTERS);
}

bool is_temporary_table_name(std::string_view entry, std::string_view file_name) {
    if (!entry.starts_with(TEMPORARY_PREFIX)) return false;
    entry.remove_prefix(TEMPORARY_PREFIX.size());
    // ".tmp-<file_name>.<host>.<pid>.<random>": the three parts after the
    // name hold no dot, so another table's name cannot pass for this one's.
    if (entry.starts_with(file_name) && entry.size() > file_name.size() &&
        entry[file_name.size()] == '.') {
        std::string_view rest = entry.substr(file_name.size() + 1);
        const std::size_t first = rest.find('.');
        const std::size_t second =
            first == std::string_view::npos ? first : rest.find('.', first + 1);
        if (second != std::string_view::npos &&
            all_of(rest.substr(0, first), 1, HOST_LETTERS, is_host_letter) &&
            all_of(rest.substr(first + 1, second - first - 1), 1, PID_DIGITS, is_digit) &&
            all_of(rest.substr(second + 1), RANDOM_LETTERS, RANDOM_LETTERS, is_random_letter)) {
            return true;
        }
    }
    // Earlier versions: ".tmp-<pid>-<file_name>.<8 random letters>".
    const std::size_t dash = entry.find('-');
    if (dash == std::string_view::npos || !all_of(entry.substr(0, dash), 1, PID_DIGITS, is_digit)) {
        return false;
    }
    entry.remove_prefix(dash + 1);
    return entry.size() == file_name.size() + 1 + OLD_RANDOM_LETTERS &&
           entry.starts_with(file_name) && entry[file_name.size()] == '.' &&
           all_of(entry.substr(file_name.size() + 1), OLD_RANDOM_LETTERS, OLD_RANDOM_LETTERS,
                  is_random_letter);
}

void check_table_directory(const std::string& dir, const std::string& cannot_create) {
    struct stat status {};
    if (::stat(dir.c_str(), &status) == 0) {
        check_output_directory(dir, cannot_create);
    } else if (errno == ENOENT) {
        check_output_directory(parent_of(dir), cannot_create);
    } else {
        throw RunFailure(cannot_create);
    }
}

void put_tables(const std::string& dir, const std::vector<TableFile>& tables,
                const std::vector<std::string>& stale, const std::string& cannot_create) {
    if (tables.empty()) throw std::invalid_argument("put_tables: no table to put");
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) throw RunFailure(cannot_create);
    UniqueFd dir_fd = open_directory(dir);
    if (!dir_fd.valid()) throw RunFailure(cannot_create);
    const TablesLock lock(dir_fd.get(), dir, tables.front().file_name);
    std::vector<std::string> names(stale);
    for (const TableFile& table : tables) names.push_back(table.file_name);
    remove_leftovers(dir_fd.get(), names);
    {
        Temporaries temporaries(dir_fd.get());
        for (const TableFile& table : tables) {
            if (!temporaries.write(table.file_name, table.bytes)) {
                throw RunFailure(dir + "/" + table.file_name + " cannot be written");
            }
        }
        for (const std::string& name : stale) {
            if (::unlinkat(dir_fd.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
                throw RunFailure(dir + "/" + name + " cannot be removed");
            }
        }
        for (std::size_t k = 0; k < tables.size(); ++k) {
            if (!temporaries.rename(k, tables[k].file_name)) {
                throw RunFailure(dir + "/" + tables[k].file_name + " cannot be written");
            }
        }
    }
    // The new names survive a power cut as the tables' bytes do.
    if (::fsync(dir_fd.get()) != 0) throw RunFailure(dir + " cannot be written");
}

}  // namespace pt
