// The text of a tile's forest edges. One item a line, fields separated by
// one space, every line ended by a newline:
//
//   forest-edges 1
//   tile HEX                       the tile id, its bytes in hex
//   definition COVER HEIGHT HECTARES
//   connectivity 4|8
//   size WIDTH HEIGHT
//   part TEXT|-                    the --part text, - for the whole tile
//   zones N
//   zone HEX|-                     N lines: each zone's name in hex, - when empty
//   years N
//   then N blocks, one a year from 2000 on:
//   year YYYY PATCHES
//   border COUNT:STATE COUNT:STATE ...   the part's edge pixels as runs
//   patch ID AREA SHARES [LOSS x N]      PATCHES lines, each followed by
//   share ZONE FOREST [LOSS x N]         its SHARES lines
//   end
//
// The losses (one a year) are there for the patches of 2000 only. Figures
// are written in the shortest form that reads back to the same double
// (std::to_chars), so the batch joins exactly what the tile measured. Names
// are in hex because a zone's name may hold any byte, a newline included.
#include "accounts/forest_edges.hpp"

#include <charconv>
#include <cmath>
#include <map>
#include <stdexcept>
#include <tuple>
#include <unordered_set>

#include "accounts/tile_part.hpp"
#include "run/printable.hpp"
#include "tile/constants.hpp"

namespace pt {

namespace {

constexpr std::string_view MAGIC = "forest-edges 1";
// A tile is TILE_SIZE pixels a side; a larger side is no tile's, and would
// let a hostile part's edge (up to half its pixels) take gigabytes.
constexpr int MAX_SIDE = TILE_SIZE;
// A patch's loss lies on its own pixels and a zone's share within its area,
// but each is summed in an order of its own: the last bits may differ.
constexpr double SUM_SLACK = 1 + 1e-9;
constexpr int MAX_YEARS = MAX_LAST_YEAR - FIRST_OUTPUT_YEAR + 1;

// ---- writing -------------------------------------------------------------

void append_hex(std::string& text, std::string_view bytes) {
    if (bytes.empty()) {
        text += '-';
        return;
    }
    static constexpr char DIGITS[] = "0123456789abcdef";
    for (unsigned char c : bytes) {
        text += DIGITS[c >> 4];
        text += DIGITS[c & 15];
    }
}

void append_double(std::string& text, double value) {
    char number[32];
    const auto result = std::to_chars(number, number + sizeof number, value);
    text.append(number, result.ptr);
}

template <typename Integer>
void append_integer(std::string& text, Integer value) {
    char number[24];
    const auto result = std::to_chars(number, number + sizeof number, value);
    text.append(number, result.ptr);
}

void append_losses(std::string& text, const std::vector<double>& loss_m2) {
    for (double loss : loss_m2) {
        text += ' ';
        append_double(text, loss);
    }
}

// ---- reading -------------------------------------------------------------

[[noreturn]] void refuse(std::size_t line, const std::string& why) {
    throw std::runtime_error("forest edges, line " + std::to_string(line) + ": " + why);
}

// The text line by line, each line field by field.
class Lines {
  public:
    explicit Lines(std::string_view text) : text_(text) {}

    std::size_t number() const { return number_; }
    std::size_t bytes_left() const { return text_.size() - at_; }
    bool at_end() const { return at_ == text_.size(); }

    // The next line, without its newline.
    std::string_view next(const char* what) {
        ++number_;
        if (at_ == text_.size()) refuse(number_, std::string("missing: ") + what);
        const std::size_t eol = text_.find('\n', at_);
        if (eol == std::string_view::npos) refuse(number_, "does not end in a newline");
        const std::string_view line = text_.substr(at_, eol - at_);
        at_ = eol + 1;
        fields_ = line;
        return line;
    }

    // The next line, which must begin with `keyword` and a space (or be the
    // keyword alone when `alone`).
    void expect(std::string_view keyword, bool alone = false) {
        const std::string_view line = next(std::string(keyword).c_str());
        if (alone ? line != keyword
                  : !(line.size() > keyword.size() && line.starts_with(keyword) &&
                      line[keyword.size()] == ' ')) {
            refuse(number_, "is not a '" + std::string(keyword) + "' line");
        }
        fields_ = line.substr(alone ? keyword.size() : keyword.size() + 1);
    }

    // The next field of the current line (fields are separated by one space).
    std::string_view field(const char* what) {
        if (fields_.empty()) refuse(number_, std::string("ends before ") + what);
        // Fields are short: a plain scan, not a call, finds the space.
        std::size_t space = 0;
        while (space < fields_.size() && fields_[space] != ' ') ++space;
        const std::string_view f = fields_.substr(0, space);
        if (f.empty()) refuse(number_, "holds an empty field");
        if (space == fields_.size()) {
            fields_ = {};
        } else {
            fields_.remove_prefix(space + 1);
            if (fields_.empty()) refuse(number_, "ends in a space");
        }
        return f;
    }
    bool has_field() const { return !fields_.empty(); }
    void line_done() {
        if (!fields_.empty()) refuse(number_, "holds more fields than it should");
    }

    long long whole(const char* what, long long least, long long most) {
        const std::string_view f = field(what);
        long long value = 0;
        const bool negative = f.front() == '-';
        const std::string_view digits = negative ? f.substr(1) : f;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || digits.front() < '0' || digits.front() > '9' ||
            error != std::errc() || end != digits.data() + digits.size()) {
            refuse(number_, std::string(what) + " is not a whole number");
        }
        if (negative) value = -value;
        if (value < least || value > most) {
            refuse(number_, std::string(what) + " is not from " + std::to_string(least) + " to " +
                                std::to_string(most));
        }
        return value;
    }

    // A finite number, 0 or more, in a form std::from_chars reads.
    double figure(const char* what) {
        const std::string_view f = field(what);
        if (f == "0") return 0;  // most of a patch's yearly losses
        double value = 0;
        const auto [end, error] = std::from_chars(f.data(), f.data() + f.size(), value);
        // A leading digit: no sign, no "inf" or "nan".
        if (f.front() < '0' || f.front() > '9' || error != std::errc() ||
            end != f.data() + f.size() || !std::isfinite(value)) {
            refuse(number_, std::string(what) + " is not a finite number of 0 or more");
        }
        return value;
    }

    std::string hex(const char* what) {
        const std::string_view f = field(what);
        if (f == "-") return "";
        if (f.size() % 2 != 0) refuse(number_, std::string(what) + " is not in hex");
        std::string bytes;
        bytes.reserve(f.size() / 2);
        for (std::size_t i = 0; i < f.size(); i += 2) {
            const int high = hex_digit(f[i]), low = hex_digit(f[i + 1]);
            if (high < 0 || low < 0) refuse(number_, std::string(what) + " is not in hex");
            bytes += static_cast<char>(high * 16 + low);
        }
        return bytes;
    }

    // What is left of the current line, as it is.
    std::string_view rest() {
        const std::string_view r = fields_;
        fields_ = {};
        return r;
    }

  private:
    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::size_t number_ = 0;
    std::string_view fields_;
};

// The number of edge pixels of a part. Most tiles of a batch share a few
// parts (the whole tile, a grid's sides), so the counts are kept.
std::size_t border_pixel_count(const std::string& part, int width, int height, std::size_t line) {
    thread_local std::map<std::tuple<std::string, int, int>, std::size_t> known;
    const auto key = std::make_tuple(part, width, height);
    if (const auto found = known.find(key); found != known.end()) return found->second;
    std::string error;
    std::optional<TilePart> parsed =
        part.empty() ? TilePart::whole(width, height) : TilePart::parse(part, width, height, error);
    if (!parsed) refuse(line, "the part: " + printable(error));
    const std::size_t count = part_border_pixels(*parsed).size();
    if (known.size() >= 64) known.clear();
    known.emplace(key, count);
    return count;
}

// A year's edge states, "COUNT:STATE ...", adding up to `pixels`; each
// state -1, 0 or a patch 1..`patches`, every patch there.
// Up to nine decimal digits from `p` as a whole number (so it cannot
// overflow); the position after them, or nullptr for none or more.
const char* digits_at(const char* p, const char* end, uint32_t& value) {
    const char* start = p;
    value = 0;
    while (p < end && *p >= '0' && *p <= '9' && p - start < 10) {
        value = value * 10 + static_cast<uint32_t>(*p++ - '0');
    }
    if (p == start || p - start > 9) return nullptr;
    return p;
}

void read_border(Lines& lines, std::size_t pixels, uint32_t patches,
                 std::vector<std::pair<uint32_t, int32_t>>& runs) {
    std::vector<bool> seen(patches + std::size_t{1}, false);
    std::size_t total = 0;
    const std::string_view rest = lines.rest();
    if (rest.empty()) refuse(lines.number(), "holds no runs");
    // "COUNT:STATE" one space apart, read byte by byte: a dense tile's
    // edge has thousands of runs a year.
    const char* p = rest.data();
    const char* const end = rest.data() + rest.size();
    for (;;) {
        uint32_t count = 0, magnitude = 0;
        p = digits_at(p, end, count);
        if (p == nullptr || p == end || *p++ != ':') {
            refuse(lines.number(), "holds a run that is not COUNT:STATE");
        }
        const bool negative = p < end && *p == '-';
        if (negative) ++p;
        p = digits_at(p, end, magnitude);
        if (p == nullptr || (p < end && *p != ' ')) {
            refuse(lines.number(), "holds a run that is not COUNT:STATE");
        }
        if (count == 0) refuse(lines.number(), "holds a run of no pixels");
        const int64_t state = negative ? -int64_t{magnitude} : int64_t{magnitude};
        if (state < EDGE_NOT_CANOPY || state > int64_t{patches}) {
            refuse(lines.number(), "holds a state that is no patch of its year");
        }
        total += count;
        if (total > pixels) {
            refuse(lines.number(),
                   "holds more pixels than the part's edge has (" + std::to_string(pixels) + ")");
        }
        if (state > 0) seen[static_cast<std::size_t>(state)] = true;
        runs.emplace_back(count, static_cast<int32_t>(state));
        if (p == end) break;
        if (++p == end) refuse(lines.number(), "ends in a space");
    }
    if (total != pixels) {
        refuse(lines.number(), "holds " + std::to_string(total) + " pixels, not the " +
                                   std::to_string(pixels) + " of the part's edge");
    }
    for (uint32_t k = 1; k <= patches; ++k) {
        if (!seen[k]) {
            refuse(lines.number(), "holds no pixel of patch " + std::to_string(k) +
                                       ", which should touch the edge");
        }
    }
}

// A loss a year where `with_loss`; each at most `most` (a patch's loss lies
// on its own pixels).
void read_losses(Lines& lines, bool with_loss, int years, double most,
                 std::vector<double>& loss_m2) {
    if (!with_loss) {
        loss_m2.clear();
        return;
    }
    loss_m2.resize(static_cast<std::size_t>(years));
    for (double& loss : loss_m2) {
        loss = lines.figure("a loss");
        if (loss > most * SUM_SLACK) refuse(lines.number(), "holds a loss beyond its area");
    }
}

}  // namespace

std::string forest_edges_text(const TileForestEdges& edges) {
    if (edges.part.find_first_not_of("0123456789-:,") != std::string::npos) {
        throw std::invalid_argument("a part of digits, '-', ':' and ',' only");
    }
    std::string text(MAGIC);
    text += "\ntile ";
    append_hex(text, edges.tile_id);
    text += "\ndefinition ";
    append_integer(text, edges.definition.cover);
    text += ' ';
    append_integer(text, edges.definition.height);
    text += ' ';
    append_double(text, edges.definition.hectares);
    text += "\nconnectivity ";
    append_integer(text, edges.connectivity);
    text += "\nsize ";
    append_integer(text, edges.width);
    text += ' ';
    append_integer(text, edges.height);
    text += "\npart ";
    text += edges.part.empty() ? "-" : edges.part;
    text += "\nzones ";
    append_integer(text, edges.zone_names.size());
    text += '\n';
    for (const std::string& name : edges.zone_names) {
        text += "zone ";
        append_hex(text, name);
        text += '\n';
    }
    text += "years ";
    append_integer(text, edges.years.size());
    text += '\n';
    for (std::size_t y = 0; y < edges.years.size(); ++y) {
        const EdgeYear& year = edges.years[y];
        text += "year ";
        append_integer(text, FIRST_OUTPUT_YEAR + static_cast<int>(y));
        text += ' ';
        append_integer(text, year.patches.size());
        text += "\nborder";
        for (const auto& [count, state] : year.border_runs) {
            text += ' ';
            append_integer(text, count);
            text += ':';
            append_integer(text, state);
        }
        text += '\n';
        for (const EdgePatch& patch : year.patches) {
            text += "patch ";
            append_integer(text, patch.id);
            text += ' ';
            append_double(text, patch.area_m2);
            text += ' ';
            append_integer(text, patch.zones.size());
            append_losses(text, patch.loss_m2);
            text += '\n';
            for (const EdgeZoneShare& share : patch.zones) {
                text += "share ";
                append_integer(text, share.zone);
                text += ' ';
                append_double(text, share.forest_m2);
                append_losses(text, share.loss_m2);
                text += '\n';
            }
        }
    }
    text += "end\n";
    return text;
}

TileForestEdges parse_forest_edges(std::string_view text) {
    TileForestEdges edges;
    parse_forest_edges(text, edges);
    return edges;
}

void parse_forest_edges(std::string_view text, TileForestEdges& edges) {
    Lines lines(text);
    if (lines.next("the first line") != MAGIC) {
        refuse(1, "is not '" + std::string(MAGIC) + "': not forest edges of this version");
    }
    lines.expect("tile");
    edges.tile_id = lines.hex("the tile id");
    if (edges.tile_id.empty()) refuse(lines.number(), "names no tile");
    lines.line_done();

    lines.expect("definition");
    edges.definition.cover = static_cast<int>(lines.whole("the cover", 0, 100));
    edges.definition.height = static_cast<int>(lines.whole("the height", 0, 255));
    edges.definition.hectares = lines.figure("the hectares");
    lines.line_done();

    lines.expect("connectivity");
    edges.connectivity = static_cast<int>(lines.whole("the connectivity", 4, 8));
    if (edges.connectivity != 4 && edges.connectivity != 8) {
        refuse(lines.number(), "the connectivity is not 4 or 8");
    }
    lines.line_done();

    lines.expect("size");
    edges.width = static_cast<int>(lines.whole("the width", 1, MAX_SIDE));
    edges.height = static_cast<int>(lines.whole("the height", 1, MAX_SIDE));
    lines.line_done();

    lines.expect("part");
    const std::string_view part = lines.field("the part");
    lines.line_done();
    edges.part = part == "-" ? std::string_view() : part;
    const std::size_t border =
        border_pixel_count(edges.part, edges.width, edges.height, lines.number());

    lines.expect("zones");
    // A zone takes a line of at least 7 bytes ("zone -\n").
    const auto zones = static_cast<std::size_t>(
        lines.whole("the number of zones", 0, static_cast<long long>(lines.bytes_left() / 7)));
    lines.line_done();
    edges.zone_names.clear();
    edges.zone_names.reserve(zones);
    {
        std::unordered_set<std::string_view> names;
        for (std::size_t z = 0; z < zones; ++z) {
            lines.expect("zone");
            edges.zone_names.push_back(lines.hex("a zone's name"));
            lines.line_done();
        }
        for (const std::string& name : edges.zone_names) {
            if (!names.insert(name).second) refuse(lines.number(), "names a zone twice");
        }
    }

    lines.expect("years");
    const auto years = static_cast<int>(lines.whole("the number of years", 1, MAX_YEARS));
    lines.line_done();
    edges.years.resize(static_cast<std::size_t>(years));
    const double min_area_m2 = edges.definition.min_area_m2();
    std::vector<uint32_t> zone_seen(zones, 0);
    uint32_t patch_serial = 0;
    for (int y = 0; y < years; ++y) {
        EdgeYear& year = edges.years[static_cast<std::size_t>(y)];
        lines.expect("year");
        const long long given = lines.whole("the year", FIRST_OUTPUT_YEAR, MAX_LAST_YEAR);
        if (given != FIRST_OUTPUT_YEAR + y) {
            refuse(lines.number(), "is not the year " + std::to_string(FIRST_OUTPUT_YEAR + y));
        }
        // Every patch touches the edge: no more patches than edge pixels.
        const auto patches = static_cast<uint32_t>(
            lines.whole("the number of patches", 0, static_cast<long long>(border)));
        lines.line_done();
        lines.expect("border");
        year.border_runs.clear();
        read_border(lines, border, patches, year.border_runs);
        const bool with_loss = y == 0;
        year.patches.resize(patches);
        for (uint32_t k = 0; k < patches; ++k) {
            EdgePatch& patch = year.patches[k];
            lines.expect("patch");
            patch.id = static_cast<uint32_t>(lines.whole("the patch's number", k + 1, k + 1));
            patch.area_m2 = lines.figure("the patch's area");
            // Undecided: some area, less than the definition's.
            if (!(patch.area_m2 > 0) || !(patch.area_m2 < min_area_m2)) {
                refuse(lines.number(), "holds an area that is not above 0 and below " +
                                           std::to_string(min_area_m2) + " m2");
            }
            const auto shares = static_cast<std::size_t>(
                lines.whole("the number of zones", 0, static_cast<long long>(zones)));
            read_losses(lines, with_loss, years, patch.area_m2, patch.loss_m2);
            lines.line_done();
            patch.zones.resize(shares);
            ++patch_serial;
            for (EdgeZoneShare& share : patch.zones) {
                lines.expect("share");
                share.zone = static_cast<std::size_t>(
                    lines.whole("the zone", 0, static_cast<long long>(zones) - 1));
                if (zone_seen[share.zone] == patch_serial) {
                    refuse(lines.number(), "holds a zone twice for one patch");
                }
                zone_seen[share.zone] = patch_serial;
                share.forest_m2 = lines.figure("the zone's forest");
                if (share.forest_m2 > patch.area_m2 * SUM_SLACK) {
                    refuse(lines.number(), "holds a zone's forest beyond its patch's area");
                }
                read_losses(lines, with_loss, years, share.forest_m2, share.loss_m2);
                lines.line_done();
            }
        }
    }
    lines.expect("end", true);
    if (!lines.at_end()) refuse(lines.number() + 1, "follows the end");
}

}  // namespace pt
