#include "accounts/tile_tables.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "accounts/account_sums.hpp"
#include "accounts/sha256.hpp"
#include "run/printable.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

std::string error_text(int error) {
    return std::strerror(error);
}

// Reads all of `fd` (at most `limit` bytes, one more telling that there is
// more) into `buffer`, each part read added to `hash` where there is one;
// the count read. Throws the errno of a failed read.
std::size_t read_all(int fd, std::vector<char>& buffer, std::size_t expected, std::size_t limit,
                     Sha256* hash = nullptr) {
    if (buffer.size() < expected + 1) buffer.resize(expected + 1);
    std::size_t got = 0;
    for (;;) {
        if (got == buffer.size()) {
            if (got > limit) return got;
            buffer.resize(std::min(limit + 1, std::max(buffer.size() * 2, std::size_t{1} << 16)));
        }
        const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw errno;
        }
        if (n == 0) return got;
        if (hash != nullptr) hash->add(buffer.data() + got, static_cast<std::size_t>(n));
        got += static_cast<std::size_t>(n);
    }
}

std::optional<TableKind> table_kind(const std::string& tile, std::string_view name) {
    if (!name.starts_with(tile)) return std::nullopt;
    const std::string_view end = name.substr(tile.size());
    if (end == "_accounts.csv") return TableKind::accounts;
    if (end == "_zone_accounts.csv") return TableKind::zone_accounts;
    if (end == "_forest.csv") return TableKind::forest;
    if (end == "_zone_forest.csv") return TableKind::zone_forest;
    if (end == "_forest_edges.txt") return TableKind::forest_edges;
    return std::nullopt;
}

}  // namespace

std::vector<std::string_view> tab_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t tab; (tab = line.find('\t')) != std::string_view::npos;) {
        fields.push_back(line.substr(0, tab));
        line.remove_prefix(tab + 1);
    }
    fields.push_back(line);
    return fields;
}

bool whole_number(std::string_view text, bool sign, long long& out) {
    const bool negative = sign && !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 19) return false;
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    if (value > 9223372036854775807ULL) return false;
    out = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
    return true;
}

std::vector<ListedTable> parse_table_list(std::string_view text) {
    std::vector<ListedTable> tables;
    std::size_t at = 0, line = 0;
    while (at < text.size()) {
        ++line;
        const std::size_t eol = text.find('\n', at);
        const std::string bad = "line " + std::to_string(line) + " of the list ";
        if (eol == std::string_view::npos) throw RunFailure(bad + "does not end in a newline");
        const std::vector<std::string_view> fields = tab_fields(text.substr(at, eol - at));
        at = eol + 1;
        if (fields.size() != 6) {
            throw RunFailure(bad + "is not tile id, table name, size, mtime_ns, inode and SHA-256");
        }
        ListedTable t;
        t.tile = std::string(fields[0]);
        t.name = std::string(fields[1]);
        if (t.tile.empty() || t.tile.find('/') != std::string::npos || t.tile == "." ||
            t.tile == ".." || has_control_character(t.tile)) {
            throw RunFailure(bad + "names no tile whose tables can be read: " + printable(t.tile));
        }
        if (const std::optional<TableKind> kind = table_kind(t.tile, t.name)) {
            t.kind = *kind;
            t.zoned = *kind == TableKind::zone_accounts || *kind == TableKind::zone_forest;
        } else {
            throw RunFailure(bad + "names " + printable(t.name) + ", no table of tile " +
                             printable(t.tile));
        }
        if (fields[5] != "-") {
            if (!is_sha256_hex(fields[5])) {
                throw RunFailure(bad + "holds a SHA-256 that is not 64 lowercase hex digits");
            }
            t.sha256 = std::string(fields[5]);
        }
        if (fields[2] == "-" && fields[3] == "-" && fields[4] == "-") {
            tables.push_back(std::move(t));
            continue;
        }
        long long inode = 0;
        if (!whole_number(fields[2], false, t.size) || !whole_number(fields[3], true, t.mtime_ns) ||
            !whole_number(fields[4], false, inode)) {
            throw RunFailure(bad + "holds an identity that is not three whole numbers");
        }
        t.inode = static_cast<unsigned long long>(inode);
        t.identified = true;
        tables.push_back(std::move(t));
    }
    return tables;
}

std::string read_text_file(const std::string& path, const std::string& what) {
    const int fd = path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw RunFailure(what + " " + path + " cannot be opened: " + error_text(errno));
    struct stat info {};
    if (fd != 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        throw RunFailure(what + " " + path + " is not a regular file");
    }
    std::vector<char> buffer;
    std::size_t got = 0;
    try {
        got = read_all(fd, buffer, 1 << 16, std::size_t{1} << 32);
    } catch (int error) {
        if (fd != 0) ::close(fd);
        throw RunFailure(what + " " + path + " cannot be read: " + error_text(error));
    }
    if (fd != 0) ::close(fd);
    if (got > std::size_t{1} << 32) throw RunFailure(what + " " + path + " is larger than 4 GiB");
    return std::string(buffer.data(), got);
}

std::string read_table_list(const std::string& path) {
    return read_text_file(path, "the list");
}

std::string_view read_listed_table(int dir_fd, const ListedTable& t, std::vector<char>& buffer) {
    // Opened without waiting (a FIFO in its place is refused below), then
    // held to the identity its run recorded: a table swapped after the
    // survey, through a link or not, is not read.
    const int fd = ::openat(dir_fd, t.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw DamagedTable("it cannot be opened: " + error_text(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw DamagedTable("it cannot be read: " + error_text(errno));
    if (!S_ISREG(info.st_mode) || !t.identified || info.st_size != t.size ||
        static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec !=
            t.mtime_ns ||
        static_cast<unsigned long long>(info.st_ino) != t.inode) {
        throw DamagedTable("it is not the file its run wrote (changed since)");
    }
    if (static_cast<std::size_t>(info.st_size) > MAX_TABLE_BYTES) {
        throw DamagedTable("it is larger than " + std::to_string(MAX_TABLE_BYTES >> 20) + " MiB");
    }
    // The digest is of the very bytes that are then summed, not of a second
    // reading that a writer could slip between; a record without one (written
    // before the digests) spares the hashing.
    std::optional<Sha256> hash;
    if (!t.sha256.empty()) hash.emplace();
    std::size_t got = 0;
    try {
        got = read_all(fd, buffer, static_cast<std::size_t>(info.st_size), MAX_TABLE_BYTES,
                       hash ? &*hash : nullptr);
    } catch (int error) {
        throw DamagedTable("it cannot be read: " + error_text(error));
    }
    if (got > MAX_TABLE_BYTES) {
        throw DamagedTable("it is larger than " + std::to_string(MAX_TABLE_BYTES >> 20) + " MiB");
    }
    if (hash && hash->hex() != t.sha256) {
        throw DamagedTable(
            "its bytes are not those its run wrote (their SHA-256 differs: rewritten since, its "
            "size, inode and time put back)");
    }
    return std::string_view(buffer.data(), got);
}

void write_flushed(const std::string& path, const std::string& text,
                   std::vector<std::string>& opened) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) throw RunFailure(path + " cannot be written: " + error_text(errno));
    opened.push_back(path);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            ::close(fd);
            throw RunFailure(path + " cannot be written: " + error_text(error));
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int error = errno;
        throw RunFailure(path + " cannot be written: " + error_text(error));
    }
}

}  // namespace pt
