#include "io/table_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "io/safe_directory.hpp"
#include "io/temporary_products.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

std::string parent_of(const std::string& dir) {
    std::string trimmed = dir;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : trimmed.substr(0, slash);
}

// A fresh name for a table's temporary file: ".tmp-<pid>-<name>.<random>".
std::string temporary_name(const std::string& file_name) {
    static std::mt19937_64 generator{std::random_device{}()};
    static const char LETTERS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix(8, 'a');
    for (char& c : suffix) c = LETTERS[generator() % (sizeof LETTERS - 1)];
    return ".tmp-" + std::to_string(::getpid()) + "-" + file_name + "." + suffix;
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
            name = temporary_name(file_name);
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
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) throw RunFailure(cannot_create);
    UniqueFd dir_fd = open_directory(dir);
    if (!dir_fd.valid()) throw RunFailure(cannot_create);
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
    // The new names survive a power cut as the tables' bytes do.
    if (::fsync(dir_fd.get()) != 0) throw RunFailure(dir + " cannot be written");
}

}  // namespace pt
