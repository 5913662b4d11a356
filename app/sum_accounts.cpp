#include "app/sum_accounts.hpp"

#include "app/tool_options.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

#include "accounts/thresholds.hpp"
#include "run/printable.hpp"
#include "tile/constants.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

constexpr const char* USAGE =
    "Usage: sum_accounts [--] LIST ACCOUNTS_DIR LAST_YEAR THRESHOLDS OUT_TABLE [OUT_ZONE_TABLE]\n"
    "  Sums the forest accounts of a batch from the tables tile_accounts wrote\n"
    "  into ACCOUNTS_DIR, as the end of a batch does (tilebatch/accounts.py).\n"
    "  LIST (a file, or - for standard input) names the tables, one a line:\n"
    "    tile_id TAB table_name TAB size TAB mtime_ns TAB inode\n"
    "  with the identity the tile's record holds for the table (- - - for none);\n"
    "  table_name is <tile_id>_accounts.csv or <tile_id>_zone_accounts.csv. Each\n"
    "  table is read only when it is still the regular file of that identity, and\n"
    "  strictly: its header, every row of its own tile, the thresholds (THRESHOLDS,\n"
    "  comma-separated percentages) and years (2000 to LAST_YEAR) in order, once\n"
    "  (once a zone in a zone table), figures plain decimals of six places, cover\n"
    "  and loss within land, a height exactly where there is cover.\n"
    "  Sums exactly (whole micro-hectares; the mean height weighted by cover,\n"
    "  rounded half to even) and writes OUT_TABLE:\n"
    "    threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
    "  and with zone tables OUT_ZONE_TABLE (zones in the order they first appear):\n"
    "    zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
    "  each flushed to disk, for the caller to rename into place.\n"
    "Exit status: 0; 1 after a failure (one line on standard error) or where\n"
    "  a table is damaged: each such tile on a line of standard output,\n"
    "    tile_id TAB table_name: why\n"
    "  and nothing written; 2 for a wrong call. -h, --help: this text.\n";

constexpr std::string_view HEADER = "tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n";
constexpr std::string_view ZONE_HEADER =
    "tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n";
constexpr std::string_view BATCH_HEADER = "threshold,year,land_ha,cover_ha,loss_ha,height_mean\n";
constexpr std::string_view BATCH_ZONE_HEADER =
    "zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n";
// A tile table of 2060 holds some 60,000 rows; no table of a tile comes near.
constexpr std::size_t MAX_TABLE_BYTES = std::size_t{256} << 20;
// Rows are checked some thousands at a time, whole zones at once.
constexpr std::size_t CHUNK_ROWS = 4096;
constexpr std::uint64_t MICRO = 1000000;

std::string csv_text(std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(field);
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// One CSV field as tile_accounts writes it, and the comma after it: quoted
// (its quotes doubled, any other byte within) or plain (no comma, quote, CR
// or LF). The position after the comma, or nullptr.
const char* csv_field_at(const char* p, const char* end, std::string_view& out) {
    const char* start = p;
    if (p < end && *p == '"') {
        ++p;
        for (;;) {
            const char* q = static_cast<const char*>(std::memchr(p, '"', end - p));
            if (q == nullptr) return nullptr;
            if (q + 1 < end && q[1] == '"') {
                p = q + 2;
                continue;
            }
            p = q + 1;
            break;
        }
    } else {
        while (p < end && *p != ',' && *p != '"' && *p != '\r' && *p != '\n') ++p;
    }
    if (p >= end || *p != ',') return nullptr;
    out = std::string_view(start, static_cast<std::size_t>(p - start));
    return p + 1;
}

// One to four digits (a threshold, a year) and the comma after them.
const char* key_at(const char* p, const char* end, std::string_view& out) {
    const char* start = p;
    while (p < end && p - start < 4 && is_digit(*p)) ++p;
    if (p == start || p >= end || *p != ',') return nullptr;
    out = std::string_view(start, static_cast<std::size_t>(p - start));
    return p + 1;
}

// A plain decimal of six places, one to fifteen digits before the point, as
// whole millionths; the position after it, or nullptr.
const char* decimal_at(const char* p, const char* end, AccountFigure& out) {
    std::uint64_t whole = 0;
    const char* start = p;
    while (p < end && p - start < 15 && is_digit(*p)) whole = whole * 10 + (*p++ - '0');
    if (p == start || end - p < 7 || *p != '.') return nullptr;
    std::uint64_t part = 0;
    for (int k = 1; k <= 6; ++k) {
        if (!is_digit(p[k])) return nullptr;
        part = part * 10 + (p[k] - '0');
    }
    out = AccountFigure{whole} * MICRO + part;
    return p + 7;
}

std::string line_text(std::size_t line) {
    return std::to_string(line);
}

void add_checked(AccountFigure& sum, AccountFigure value, std::size_t line) {
    if (__builtin_add_overflow(sum, value, &sum)) {
        throw DamagedTable("line " + line_text(line) + " takes the sums beyond 128 bits");
    }
}

}  // namespace

struct AccountSums::Row {
    std::string_view tile, zone, threshold, year;
    AccountFigure land = 0, cover = 0, loss = 0, height = 0;
    bool has_height = false;
};

namespace {

// One row of a table, with its newline: the tile (and the zone) as CSV
// fields, the threshold and the year, land, cover and loss, and the mean
// height or nothing. The position after it, or nullptr.
const char* row_at(const char* p, const char* end, bool zoned, AccountSums::Row& row) {
    if (!(p = csv_field_at(p, end, row.tile))) return nullptr;
    if (zoned && !(p = csv_field_at(p, end, row.zone))) return nullptr;
    if (!(p = key_at(p, end, row.threshold)) || !(p = key_at(p, end, row.year))) return nullptr;
    if (!(p = decimal_at(p, end, row.land)) || p == end || *p++ != ',') return nullptr;
    if (!(p = decimal_at(p, end, row.cover)) || p == end || *p++ != ',') return nullptr;
    if (!(p = decimal_at(p, end, row.loss)) || p == end || *p++ != ',') return nullptr;
    row.has_height = p < end && *p != '\n';
    row.height = 0;
    if (row.has_height && !(p = decimal_at(p, end, row.height))) return nullptr;
    if (p == end || *p != '\n') return nullptr;
    return p + 1;
}

}  // namespace

std::string micro_text(AccountFigure micro) {
    AccountFigure whole = micro / MICRO;
    const auto part = static_cast<unsigned long long>(micro % MICRO);
    char digits[48];
    char* at = digits + sizeof digits;
    do {
        *--at = static_cast<char>('0' + static_cast<int>(whole % 10));
        whole /= 10;
    } while (whole != 0);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%06llu", part);
    return std::string(at, digits + sizeof digits) + fraction;
}

std::string mean_height_text(AccountFigure weighted, AccountFigure cover) {
    if (cover == 0) return "";
    AccountFigure q = weighted / cover;
    const AccountFigure r = weighted % cover;
    // Twice the remainder against the divisor, without doubling past 128 bits.
    if (r > cover - r || (r == cover - r && q % 2 == 1)) ++q;
    return micro_text(q);
}

AccountSums::AccountSums(std::vector<std::string> thresholds, int last_year)
    : thresholds_(std::move(thresholds)) {
    for (int year = MIN_LAST_YEAR; year <= last_year; ++year)
        years_.push_back(std::to_string(year));
    totals_.resize(key_count());
}

void AccountSums::add_table(std::string_view text, std::string_view tile, bool zoned) {
    const std::string_view header = zoned ? ZONE_HEADER : HEADER;
    if (!text.starts_with(header)) {
        throw DamagedTable("its header is not " + std::string(header.substr(0, header.size() - 1)));
    }
    const std::string own = csv_text(tile);
    const std::size_t n = key_count();
    const std::size_t chunk = n * std::max<std::size_t>(1, CHUNK_ROWS / n);
    ++table_serial_;
    const char* const first = text.data() + header.size();
    const char* const end = text.data() + text.size();
    if (!zoned && first == end) throw DamagedTable("it holds no rows");
    std::vector<Row> rows;
    rows.reserve(chunk);
    std::size_t line = 2;
    for (const char* p = first; p < end;) {
        // As many whole rows as there are, up to a chunk: a row that does not
        // read ends it, and is named when it begins one.
        rows.clear();
        const char* next = p;
        Row row;
        while (rows.size() < chunk && next < end) {
            const char* after = row_at(next, end, zoned, row);
            if (after == nullptr) break;
            rows.push_back(row);
            next = after;
        }
        if (rows.empty()) {
            throw DamagedTable("line " + line_text(line) +
                               " is not a row as tile_accounts writes it (a figure that is not a "
                               "plain decimal of six places?)");
        }
        const std::size_t blocks = rows.size() / n, left = rows.size() % n;
        if (!zoned && (left != 0 || blocks > 1 || p > first)) {
            throw DamagedTable("it holds other rows than the " + std::to_string(n) +
                               " of its thresholds and years");
        }
        if (left != 0) {
            throw DamagedTable("the rows of zone " + printable(rows[blocks * n].zone) +
                               " end short");
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].tile != own) {
                throw DamagedTable("line " + line_text(line + i) + " is not a row of tile " +
                                   printable(tile));
            }
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const std::size_t k = i % n;
            const std::string& threshold = thresholds_[k / years_.size()];
            const std::string& year = years_[k % years_.size()];
            if (rows[i].threshold != threshold || rows[i].year != year) {
                throw DamagedTable("line " + line_text(line + i) + " is of threshold " +
                                   printable(rows[i].threshold) + " and year " +
                                   printable(rows[i].year) + ", not " + threshold + " and " + year);
            }
        }
        // Land is the datamask's, whatever the threshold and year; cover and
        // loss lie on land; a height is there with cover.
        for (const Row& r : rows) {
            if (r.cover > r.land || r.loss > r.land || (r.cover != 0) != r.has_height) {
                throw DamagedTable("a row of lines " + line_text(line) + " to " +
                                   line_text(line + rows.size() - 1) +
                                   " does not add up (land, cover, loss and height)");
            }
        }
        add_rows(rows, line, zoned);
        p = next;
        line += rows.size();
    }
}

void AccountSums::add_rows(const std::vector<Row>& rows, std::size_t first_line, bool zoned) {
    const std::size_t n = key_count();
    for (std::size_t b = 0; b * n < rows.size(); ++b) {
        const Row* block = rows.data() + b * n;
        const std::size_t line = first_line + b * n;
        for (std::size_t k = 1; k < n; ++k) {
            if (block[k].land != block[0].land) {
                throw DamagedTable("lines " + line_text(line) + " to " + line_text(line + n - 1) +
                                   " hold two figures of land");
            }
        }
        KeySums* target = totals_.data();
        if (zoned) {
            const std::string_view zone = block[0].zone;
            for (std::size_t k = 1; k < n; ++k) {
                if (block[k].zone != zone) {
                    throw DamagedTable("line " + line_text(line) + ": the rows of zone " +
                                       printable(zone) + " end short");
                }
            }
            // The zone's name: its field unquoted.
            name_scratch_.clear();
            if (!zone.empty() && zone.front() == '"') {
                for (std::size_t i = 1; i + 1 < zone.size(); ++i) {
                    name_scratch_ += zone[i];
                    if (zone[i] == '"') ++i;
                }
            } else {
                name_scratch_.assign(zone);
            }
            auto [at, added] = zone_index_.try_emplace(name_scratch_, zone_names_.size());
            if (added) {
                zone_names_.push_back(name_scratch_);
                zone_sums_.resize(zone_sums_.size() + n);
                zone_table_.push_back(0);
            }
            if (zone_table_[at->second] == table_serial_) {
                throw DamagedTable("zone " + printable(zone) + " has rows in two places");
            }
            zone_table_[at->second] = table_serial_;
            target = zone_sums_.data() + at->second * n;
        }
        for (std::size_t k = 0; k < n; ++k) {
            const Row& r = block[k];
            AccountFigure weighted = 0;
            if (__builtin_mul_overflow(r.height, r.cover, &weighted)) {
                throw DamagedTable("line " + line_text(line + k) +
                                   ": its height times its cover is beyond 128 bits");
            }
            add_checked(target[k].land, r.land, line + k);
            add_checked(target[k].cover, r.cover, line + k);
            add_checked(target[k].loss, r.loss, line + k);
            add_checked(target[k].weighted, weighted, line + k);
        }
    }
}

std::string AccountSums::lines(const std::string& prefix, const KeySums* sums) const {
    std::string text;
    for (std::size_t k = 0; k < key_count(); ++k) {
        const KeySums& s = sums[k];
        text += prefix;
        text += thresholds_[k / years_.size()];
        text += ',';
        text += years_[k % years_.size()];
        text += ',' + micro_text(s.land) + ',' + micro_text(s.cover) + ',' + micro_text(s.loss) +
                ',' + mean_height_text(s.weighted, s.cover) + '\n';
    }
    return text;
}

std::string AccountSums::table() const {
    return std::string(BATCH_HEADER) + lines("", totals_.data());
}

std::string AccountSums::zone_table() const {
    std::string text(BATCH_ZONE_HEADER);
    for (std::size_t z = 0; z < zone_names_.size(); ++z) {
        text += lines(csv_text(zone_names_[z]) + ',', zone_sums_.data() + z * key_count());
    }
    return text;
}

// ---- the program ----------------------------------------------------------------
namespace {

struct WrongCall {
    std::string line;
};

// A table as the LIST names it, with the identity the tile's record holds.
struct ListedTable {
    std::string tile;
    std::string name;
    bool zoned = false;
    bool identified = false;  // false: the record holds no identity for it
    long long size = 0, mtime_ns = 0;
    unsigned long long inode = 0;
};

std::string error_text(int error) {
    return std::strerror(error);
}

// Reads all of `fd` (at most `limit` bytes, one more telling that there is
// more) into `buffer`; the count read. Throws the errno of a failed read.
std::size_t read_all(int fd, std::vector<char>& buffer, std::size_t expected, std::size_t limit) {
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
        got += static_cast<std::size_t>(n);
    }
}

bool whole_number(std::string_view text, bool sign, long long& out) {
    const bool negative = sign && !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 19) return false;
    unsigned long long value = 0;
    for (char c : text) {
        if (!is_digit(c)) return false;
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    if (value > 9223372036854775807ULL) return false;
    out = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
    return true;
}

std::vector<ListedTable> parse_list(const std::string& text) {
    std::vector<ListedTable> tables;
    std::size_t at = 0, line = 0;
    while (at < text.size()) {
        ++line;
        const std::size_t eol = text.find('\n', at);
        const std::string bad = "line " + std::to_string(line) + " of the list ";
        if (eol == std::string::npos) throw RunFailure(bad + "does not end in a newline");
        std::vector<std::string_view> fields;
        std::string_view rest(text.data() + at, eol - at);
        for (std::size_t tab; (tab = rest.find('\t')) != std::string_view::npos;) {
            fields.push_back(rest.substr(0, tab));
            rest.remove_prefix(tab + 1);
        }
        fields.push_back(rest);
        at = eol + 1;
        if (fields.size() != 5) {
            throw RunFailure(bad + "is not tile id, table name, size, mtime_ns and inode");
        }
        ListedTable t;
        t.tile = std::string(fields[0]);
        t.name = std::string(fields[1]);
        if (t.tile.empty() || t.tile.find('/') != std::string::npos || t.tile == "." ||
            t.tile == ".." || has_control_character(t.tile)) {
            throw RunFailure(bad + "names no tile whose tables can be read: " + printable(t.tile));
        }
        if (t.name == t.tile + "_zone_accounts.csv") {
            t.zoned = true;
        } else if (t.name != t.tile + "_accounts.csv") {
            throw RunFailure(bad + "names " + printable(t.name) + ", no table of tile " +
                             printable(t.tile));
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

std::string read_list(const std::string& path) {
    const int fd = path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw RunFailure("the list " + path + " cannot be opened: " + error_text(errno));
    struct stat info {};
    if (fd != 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        throw RunFailure("the list " + path + " is not a regular file");
    }
    std::vector<char> buffer;
    std::size_t got = 0;
    try {
        got = read_all(fd, buffer, 1 << 16, std::size_t{1} << 32);
    } catch (int error) {
        if (fd != 0) ::close(fd);
        throw RunFailure("the list " + path + " cannot be read: " + error_text(error));
    }
    if (fd != 0) ::close(fd);
    if (got > std::size_t{1} << 32) throw RunFailure("the list " + path + " is larger than 4 GiB");
    return std::string(buffer.data(), got);
}

// Adds the table `t` from `dir` to `sums`; DamagedTable where it cannot be.
void add_listed(int dir, const ListedTable& t, std::vector<char>& buffer, AccountSums& sums) {
    // Opened without waiting (a FIFO in its place is refused below), then
    // held to the identity its run recorded: a table swapped after the
    // survey, through a link or not, is not read.
    const int fd = ::openat(dir, t.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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
    std::size_t got = 0;
    try {
        got = read_all(fd, buffer, static_cast<std::size_t>(info.st_size), MAX_TABLE_BYTES);
    } catch (int error) {
        throw DamagedTable("it cannot be read: " + error_text(error));
    }
    if (got > MAX_TABLE_BYTES) {
        throw DamagedTable("it is larger than " + std::to_string(MAX_TABLE_BYTES >> 20) + " MiB");
    }
    sums.add_table(std::string_view(buffer.data(), got), t.tile, t.zoned);
}

// Writes `text` to `path` (no link followed) and flushes it to disk; the
// path goes into `opened` once it is the file written.
void write_table(const std::string& path, const std::string& text,
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

std::vector<std::string> positionals_of(int argc, const char* const* argv) {
    std::vector<std::string> positional;
    bool options = true;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (options && arg == "--") {
            options = false;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            throw WrongCall{"sum_accounts: unknown option " + printable(arg)};
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.size() != 5 && positional.size() != 6) throw WrongCall{};
    return positional;
}

}  // namespace

int sum_accounts_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    if (asks_for_help(argc, argv)) {
        out << USAGE << std::flush;
        return 0;
    }
    std::vector<std::string> args;
    try {
        args = positionals_of(argc, argv);
    } catch (const WrongCall& wrong) {
        if (!wrong.line.empty()) err << wrong.line << '\n';
        err << USAGE << std::flush;
        return 2;
    }
    const bool zoned = args.size() == 6;
    std::vector<std::string> written;
    try {
        long long last_year = 0;
        if (!whole_number(args[2], false, last_year) || last_year < MIN_LAST_YEAR ||
            last_year > MAX_LAST_YEAR) {
            throw RunFailure("LAST_YEAR " + printable(args[2]) + " is not a year from " +
                             std::to_string(MIN_LAST_YEAR) + " to " +
                             std::to_string(MAX_LAST_YEAR));
        }
        std::string why;
        const std::optional<Thresholds> thresholds = parse_thresholds(args[3], why);
        if (!thresholds) throw RunFailure(why);
        std::vector<std::string> threshold_texts;
        for (int t : thresholds->values) threshold_texts.push_back(std::to_string(t));
        AccountSums sums(std::move(threshold_texts), static_cast<int>(last_year));

        const std::vector<ListedTable> tables = parse_list(read_list(args[0]));
        const int dir = ::open(args[1].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) {
            throw RunFailure("the accounts directory " + args[1] +
                             " cannot be opened: " + error_text(errno));
        }
        std::vector<char> buffer;
        std::size_t damaged = 0;
        const std::string* damaged_tile = nullptr;
        for (const ListedTable& t : tables) {
            if (t.zoned && !zoned) {
                ::close(dir);
                throw RunFailure("the list names zone tables, and no OUT_ZONE_TABLE is given");
            }
            // A tile is named once, at its first damaged table.
            if (damaged_tile != nullptr && *damaged_tile == t.tile) continue;
            try {
                add_listed(dir, t, buffer, sums);
            } catch (const DamagedTable& e) {
                out << t.tile << '\t' << t.name << ": " << e.what() << '\n';
                damaged_tile = &t.tile;
                ++damaged;
            }
        }
        ::close(dir);
        out << std::flush;
        if (damaged != 0) {
            err << "sum_accounts: " << damaged << " tile(s) with a damaged table: nothing written"
                << std::endl;
            return 1;
        }
        write_table(args[4], sums.table(), written);
        if (zoned) write_table(args[5], sums.zone_table(), written);
        return 0;
    } catch (const RunFailure& failure) {
        err << "sum_accounts: " << printable(failure.what()) << std::endl;
    } catch (const std::bad_alloc&) {
        err << "sum_accounts: cannot obtain memory" << std::endl;
    } catch (const std::exception& error) {
        err << "sum_accounts: failed: " << printable(error.what()) << std::endl;
    }
    // Nothing half-written is left for the caller to take.
    for (const std::string& path : written) ::unlink(path.c_str());
    return 1;
}

}  // namespace pt
