#include "accounts/account_sums.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "run/printable.hpp"
#include "tile/constants.hpp"

namespace pt {

namespace {

// The headers of a tile's tables, as tile_accounts writes them, and of the
// batch's.
constexpr std::string_view HEADER = "tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n";
constexpr std::string_view ZONE_HEADER =
    "tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n";
constexpr std::string_view BATCH_HEADER = "threshold,year,land_ha,cover_ha,loss_ha,height_mean\n";
constexpr std::string_view BATCH_ZONE_HEADER =
    "zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n";
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

// ---- forest ----------------------------------------------------------------

namespace {

constexpr std::string_view FOREST_HEADER = "tile_id,year,forest_ha,forest_loss_ha\n";
constexpr std::string_view ZONE_FOREST_HEADER = "tile_id,zone,year,forest_ha,forest_loss_ha\n";
constexpr std::string_view BATCH_FOREST_HEADER = "year,forest_ha,forest_loss_ha\n";
constexpr std::string_view BATCH_ZONE_FOREST_HEADER = "zone,year,forest_ha,forest_loss_ha\n";

struct ForestRow {
    std::string_view tile, zone, year;
    AccountFigure forest = 0, loss = 0;
};

// One row of a forest table, with its newline; the position after it, or
// nullptr.
const char* forest_row_at(const char* p, const char* end, bool zoned, ForestRow& row) {
    if (!(p = csv_field_at(p, end, row.tile))) return nullptr;
    if (zoned && !(p = csv_field_at(p, end, row.zone))) return nullptr;
    if (!(p = key_at(p, end, row.year))) return nullptr;
    if (!(p = decimal_at(p, end, row.forest)) || p == end || *p++ != ',') return nullptr;
    if (!(p = decimal_at(p, end, row.loss)) || p == end || *p != '\n') return nullptr;
    return p + 1;
}

// A zone's field as its name: unquoted, its doubled quotes single.
std::string field_name(std::string_view field) {
    if (field.empty() || field.front() != '"') return std::string(field);
    std::string name;
    for (std::size_t i = 1; i + 1 < field.size(); ++i) {
        name += field[i];
        if (field[i] == '"') ++i;
    }
    return name;
}

}  // namespace

AccountFigure micro_hectares_of_m2(double m2) {
    if (!(m2 >= 0) || !std::isfinite(m2)) {
        throw std::invalid_argument("an area that is not a finite number of 0 or more");
    }
    char text[400];
    const auto written =
        std::to_chars(text, text + sizeof text, m2 / 10000.0, std::chars_format::fixed, 6);
    AccountFigure micro = 0;
    if (written.ec != std::errc() || decimal_at(text, written.ptr, micro) != written.ptr) {
        throw std::invalid_argument("an area beyond the sums' figures");
    }
    return micro;
}

ForestSums::ForestSums(int last_year) {
    for (int year = MIN_LAST_YEAR; year <= last_year; ++year) {
        years_.push_back(std::to_string(year));
    }
    totals_.resize(years_.size());
}

void ForestSums::add_table(std::string_view text, std::string_view tile, bool zoned) {
    const std::string_view header = zoned ? ZONE_FOREST_HEADER : FOREST_HEADER;
    if (!text.starts_with(header)) {
        throw DamagedTable("its header is not " + std::string(header.substr(0, header.size() - 1)));
    }
    const std::string own = csv_text(tile);
    const std::size_t n = years_.size();
    ++table_serial_;
    std::vector<ForestRow> rows;
    const char* const end = text.data() + text.size();
    for (const char* p = text.data() + header.size(); p < end;) {
        ForestRow row;
        const char* after = forest_row_at(p, end, zoned, row);
        if (after == nullptr) {
            throw DamagedTable("line " + line_text(rows.size() + 2) +
                               " is not a row as tile_accounts writes it (a figure that is not a "
                               "plain decimal of six places?)");
        }
        if (row.tile != own) {
            throw DamagedTable("line " + line_text(rows.size() + 2) + " is not a row of tile " +
                               printable(tile));
        }
        const std::string& year = years_[rows.size() % n];
        if (row.year != year) {
            throw DamagedTable("line " + line_text(rows.size() + 2) + " is of year " +
                               printable(row.year) + ", not " + year);
        }
        rows.push_back(row);
        p = after;
    }
    if (rows.size() % n != 0 || (!zoned && rows.size() != n)) {
        throw DamagedTable("it holds other rows than " + std::string(zoned ? "blocks of " : "") +
                           "the " + std::to_string(n) + " years");
    }
    for (std::size_t first = 0; first < rows.size(); first += n) {
        const ForestRow* block = rows.data() + first;
        const std::size_t line = first + 2;
        for (std::size_t y = 0; y < n; ++y) {
            if (zoned && block[y].zone != block[0].zone) {
                throw DamagedTable("line " + line_text(line) + ": the rows of zone " +
                                   printable(block[0].zone) + " end short");
            }
            // Loss is loss within the forest of 2000.
            if (block[y].loss > block[0].forest) {
                throw DamagedTable("line " + line_text(line + y) +
                                   " holds more forest loss than the forest of 2000");
            }
        }
        YearSums* target = totals_.data();
        if (zoned) {
            const std::string name = field_name(block[0].zone);
            auto [at, added] = zone_index_.try_emplace(name, zone_names_.size());
            if (added) {
                zone_names_.push_back(name);
                zone_sums_.resize(zone_sums_.size() + n);
                zone_table_.push_back(0);
            }
            if (zone_table_[at->second] == table_serial_) {
                throw DamagedTable("zone " + printable(block[0].zone) + " has rows in two places");
            }
            zone_table_[at->second] = table_serial_;
            target = zone_sums_.data() + at->second * n;
        }
        for (std::size_t y = 0; y < n; ++y) {
            add_checked(target[y].forest, block[y].forest, line + y);
            add_checked(target[y].loss, block[y].loss, line + y);
        }
    }
}

std::optional<std::size_t> ForestSums::zone_number(const std::string& name) const {
    const auto found = zone_index_.find(name);
    if (found == zone_index_.end()) return std::nullopt;
    return found->second;
}

void ForestSums::add_joined(const std::vector<double>& forest_m2,
                            const std::vector<double>& loss_m2, std::optional<std::size_t> zone) {
    const std::size_t n = years_.size();
    if (forest_m2.size() != n || loss_m2.size() != n || (zone && *zone >= zone_names_.size())) {
        throw std::invalid_argument("joined forest of the batch's years and zones");
    }
    YearSums* target = zone ? zone_sums_.data() + *zone * n : totals_.data();
    for (std::size_t y = 0; y < n; ++y) {
        add_checked(target[y].forest, micro_hectares_of_m2(forest_m2[y]), 0);
        add_checked(target[y].loss, micro_hectares_of_m2(loss_m2[y]), 0);
    }
}

std::string ForestSums::table() const {
    std::string text(BATCH_FOREST_HEADER);
    for (std::size_t y = 0; y < years_.size(); ++y) {
        text += years_[y] + ',' + micro_text(totals_[y].forest) + ',' +
                micro_text(totals_[y].loss) + '\n';
    }
    return text;
}

std::string ForestSums::zone_table() const {
    std::string text(BATCH_ZONE_FOREST_HEADER);
    const std::size_t n = years_.size();
    for (std::size_t z = 0; z < zone_names_.size(); ++z) {
        const std::string prefix = csv_text(zone_names_[z]) + ',';
        for (std::size_t y = 0; y < n; ++y) {
            const YearSums& s = zone_sums_[z * n + y];
            text +=
                prefix + years_[y] + ',' + micro_text(s.forest) + ',' + micro_text(s.loss) + '\n';
        }
    }
    return text;
}

}  // namespace pt
