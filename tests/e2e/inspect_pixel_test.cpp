// inspect_pixel against process_tile on one generated full-size tile: at the
// corners, on and next to the edges, inside and outside the datamask, the
// input columns it prints must be the layer bytes and its TCC, TCH and Loss
// columns the bytes of the products at that pixel.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "e2e_support.hpp"
#include "filter/quality_flags.hpp"

namespace pt::e2e {
namespace {

constexpr int SIZE = TILE_SIZE;
constexpr int LAST_YEAR = 2002;
const std::string TILE = "t3";

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// The report: free lines, then a header of column names and one line per
// year with the year first and one word per column.
struct Report {
    std::vector<std::string> notes;
    std::vector<std::string> header;
    std::map<int, std::vector<std::string>> years;

    std::string cell(int year, const std::string& column) const {
        const auto at = std::find(header.begin(), header.end(), column);
        if (at == header.end() || !years.count(year)) {
            ADD_FAILURE() << "no cell " << column << " for " << year;
            return "";
        }
        return years.at(year)[at - header.begin()];
    }
};

Report parse_report(const std::string& out) {
    Report report;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> cells = words(line);
        if (report.header.empty()) {
            if (!cells.empty() && cells[0] == "year") {
                report.header = cells;
            } else {
                report.notes.push_back(line);
            }
            continue;
        }
        EXPECT_EQ(cells.size(), report.header.size()) << line;
        if (cells.size() == report.header.size()) report.years[std::stoi(cells[0])] = cells;
    }
    return report;
}

struct Pixel {
    std::string what;
    int row, col;
    std::size_t index() const { return static_cast<std::size_t>(row) * SIZE + col; }
};

// One generated full-size tile shared by the tests here; its products are
// made by the one test that compares with them.
class InspectPixelTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tile_ = new GeneratedTile(generate_tile(scratch_dir("inspect_tile"), TILE, LAST_YEAR, 23));
        products_ = new fs::path(scratch_dir("inspect_products"));
    }
    static void TearDownTestSuite() {
        delete tile_;
        delete products_;
    }

    static fs::path input(const char* token, int year) {
        return tile_->input_dir() / TILE / (TILE + token + std::to_string(year) + ".tif");
    }
    static fs::path product(const char* token, int year) {
        return *products_ / (std::string(token) + "_" + std::to_string(year) + "_" + TILE + ".img");
    }
    static std::vector<std::string> arguments(const GeneratedTile& tile, const std::string& row,
                                              const std::string& col) {
        std::vector<std::string> args = tile_arguments(tile, *products_);
        args.push_back(row);
        args.push_back(col);
        return args;
    }

    static GeneratedTile* tile_;
    static fs::path* products_;
};
GeneratedTile* InspectPixelTest::tile_ = nullptr;
fs::path* InspectPixelTest::products_ = nullptr;

// Runs the inspector with standard error captured apart from standard output.
struct Outcome {
    int exit_status;
    std::string out, err;
};
Outcome inspect_capturing_errors(
    const std::vector<std::string>& args, const fs::path& scratch,
    const std::function<void()>& in_child = [] {}) {
    const fs::path out_file = scratch / "stdout.txt";
    std::vector<std::string> sh = {"-c", "out=$1; shift; exec \"$0\" \"$@\" 2>&1 >\"$out\"",
                                   PT_INSPECT_PIXEL, out_file.string()};
    sh.insert(sh.end(), args.begin(), args.end());
    const ProgramResult r = run_program("/bin/sh", sh, in_child);
    std::ifstream in(out_file);
    std::stringstream out;
    out << in.rdbuf();
    return {r.exit_status, out.str(), r.out};
}

std::string last_line(const std::string& text) {
    std::string t = text;
    if (!t.empty() && t.back() == '\n') t.pop_back();
    const auto nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

TEST_F(InspectPixelTest, PrintsTheLayerBytesAndTheStoredProductBytesOfThePixel) {
    const ProgramResult run = run_program(PT_PROCESS_TILE, tile_arguments(*tile_, *products_));
    ASSERT_EQ(run.exit_status, 0) << run.out;

    // Pick the pixels from the tile itself. A "filled" pixel is covered in a
    // year where its own height is missing, so the inspector needs the right
    // neighbours; "ring-filled" is such a year where only the pixels two rows
    // or columns away have a height, so it needs the whole reach; a
    // "reshaped" one has its height changed by the growth cap or the
    // smoothing, so the whole height chain shows; a "thinned" one has a loss
    // flag that the thinning cleared.
    const std::vector<unsigned char> datamask =
        read_band(tile_->datamask_dir() / (TILE + "_datamask.tif"));
    ASSERT_EQ(datamask.size(), static_cast<std::size_t>(SIZE) * SIZE);
    enum : unsigned char { FILLED = 1, LOSS = 2, RESHAPED = 4, RING_FILLED = 8, THINNED = 16 };
    std::vector<unsigned char> flags(datamask.size(), 0);
    for (int year = FIRST_OUTPUT_YEAR; year <= LAST_YEAR; ++year) {
        const auto height_in = read_band(input("_TCH_", year));
        const auto loss_in = read_band(input("_loss_", year));
        const auto cover = read_band(product("TCC", year));
        const auto height = read_band(product("TCH", year));
        const auto loss = read_band(product("Loss", year));
        // Whether any in-tile height at Chebyshev distance 1..radius is non-zero.
        auto any_height_within = [&](int r, int c, int radius) {
            for (int y = std::max(0, r - radius); y <= std::min(SIZE - 1, r + radius); ++y)
                for (int x = std::max(0, c - radius); x <= std::min(SIZE - 1, c + radius); ++x)
                    if (height_in[static_cast<std::size_t>(y) * SIZE + x] != 0) return true;
            return false;
        };
        for (std::size_t i = 0; i < flags.size(); ++i) {
            if (cover[i] > 0 && height_in[i] == 0 && height[i] > 0) {
                flags[i] |= FILLED;
                const int r = static_cast<int>(i / SIZE), c = static_cast<int>(i % SIZE);
                if (!any_height_within(r, c, 1) && any_height_within(r, c, 2))
                    flags[i] |= RING_FILLED;
            }
            if (cover[i] > 0 && height_in[i] != 0 && height[i] != height_in[i])
                flags[i] |= RESHAPED;
            if (loss_in[i] != 0) flags[i] |= LOSS;
            if (loss_in[i] != 0 && loss[i] == 0) flags[i] |= THINNED;
        }
    }
    auto find = [&](const std::string& what, std::function<bool(int, int)> fits, int row_begin,
                    int row_end, int col_begin, int col_end) -> std::optional<Pixel> {
        for (int r = row_begin; r < row_end; ++r)
            for (int c = col_begin; c < col_end; ++c)
                if (fits(r, c)) return Pixel{what, r, c};
        ADD_FAILURE() << "the tile has no pixel that is " << what;
        return std::nullopt;
    };
    auto has = [&](int mask_value, unsigned char wanted) {
        return [&datamask, &flags, mask_value, wanted](int r, int c) {
            const std::size_t i = static_cast<std::size_t>(r) * SIZE + c;
            return datamask[i] == mask_value && (flags[i] & wanted) == wanted;
        };
    };
    std::vector<Pixel> pixels = {{"the upper-left corner", 0, 0},
                                 {"the lower-right corner", SIZE - 1, SIZE - 1}};
    for (const auto& found : {
             find("filled on the bottom edge", has(1, FILLED), SIZE - 1, SIZE, 0, SIZE),
             find("filled in the second column", has(1, FILLED), 0, SIZE, 1, 2),
             find(
                 "ring-filled within two pixels of an edge",
                 [&](int r, int c) {
                     const bool near_edge = std::min({r, c, SIZE - 1 - r, SIZE - 1 - c}) < 2;
                     return near_edge && has(1, RING_FILLED)(r, c);
                 },
                 0, SIZE, 0, SIZE),
             find("ring-filled inside", has(1, RING_FILLED), 2, SIZE - 2, 2, SIZE - 2),
             find("filled inside, with loss", has(1, FILLED | LOSS), 2, SIZE - 2, 2, SIZE - 2),
             find("reshaped inside", has(1, RESHAPED), 2, SIZE - 2, 2, SIZE - 2),
             find("thinned", has(1, THINNED), 0, SIZE, 0, SIZE),
             find("outside the datamask, with loss", has(0, LOSS), 0, SIZE, 0, SIZE),
             find("water", has(2, 0), 0, SIZE, 0, SIZE),
         }) {
        if (found) pixels.push_back(*found);
    }

    // The bytes each column must show, gathered one layer at a time.
    std::map<std::pair<std::string, int>, std::vector<int>> expected;  // (column, year)
    auto gather = [&](const std::string& column, int year, const fs::path& path) {
        const auto layer = read_band(path);
        std::vector<int>& values = expected[{column, year}];
        for (const Pixel& p : pixels) values.push_back(layer[p.index()]);
    };
    for (int year = FIRST_YEAR; year <= LAST_YEAR; ++year) {
        gather("cover_in", year, input("_TCC_", year));
        if (year < FIRST_OUTPUT_YEAR) continue;
        gather("loss_in", year, input("_loss_", year));
        gather("height_in", year, input("_TCH_", year));
        gather("TCC", year, product("TCC", year));
        gather("TCH", year, product("TCH", year));
        gather("Loss", year, product("Loss", year));
    }

    for (std::size_t k = 0; k < pixels.size(); ++k) {
        const Pixel& p = pixels[k];
        SCOPED_TRACE(p.what + " (" + std::to_string(p.row) + ", " + std::to_string(p.col) + ")");
        const ProgramResult r = run_program(
            PT_INSPECT_PIXEL, arguments(*tile_, std::to_string(p.row), std::to_string(p.col)));
        ASSERT_EQ(r.exit_status, 0) << r.out;
        const Report report = parse_report(r.out);
        ASSERT_EQ(report.years.size(), static_cast<std::size_t>(LAST_YEAR - FIRST_YEAR + 1))
            << r.out;
        EXPECT_EQ(report.years.begin()->first, FIRST_YEAR);

        const int mask = datamask[p.index()];
        bool mask_shown = false;
        for (const auto& note : report.notes)
            mask_shown |= note.find("datamask " + std::to_string(mask) + ",") != std::string::npos;
        EXPECT_TRUE(mask_shown) << r.out;

        for (const auto& [key, values] : expected) {
            const auto& [column, year] = key;
            EXPECT_EQ(report.cell(year, column), std::to_string(values[k]))
                << column << " " << year << "\n"
                << r.out;
        }
        // The stages run exactly for datamask 1; their columns say so.
        for (int year = FIRST_OUTPUT_YEAR; year <= LAST_YEAR; ++year) {
            for (const char* stage : {"prox", "class_st", "repaired", "derived", "capped"}) {
                EXPECT_EQ(report.cell(year, stage) == "-", mask != 1) << stage << " " << year;
            }
        }
        if (mask != 1) continue;
        // The height columns are the steps in order: the derived height is the
        // pixel's own wherever it is covered and has one, and the cap only
        // lowers it, to at most 3 above the year before.
        int previous_capped = 0;
        for (int year = FIRST_OUTPUT_YEAR; year <= LAST_YEAR; ++year) {
            const int cover = std::stoi(report.cell(year, "TCC"));
            const int own = std::stoi(report.cell(year, "height_in"));
            const int derived = std::stoi(report.cell(year, "derived"));
            const int capped = std::stoi(report.cell(year, "capped"));
            if (cover == 0) {
                EXPECT_EQ(derived, 0) << year;
            }
            if (cover != 0 && own != 0) {
                EXPECT_EQ(derived, own) << year;
            }
            EXPECT_LE(capped, derived) << year;
            if (year > FIRST_OUTPUT_YEAR) {
                EXPECT_LE(capped, previous_capped + 3) << year;
            }
            previous_capped = capped;
        }
    }
}

TEST(InspectPixelArguments, RefusedBeforeAnyFileIsOpened) {
    const fs::path scratch = scratch_dir("inspect_refusals");
    // Directories that do not exist: a refusal must come before any open.
    const std::vector<std::string> eight = {"t3", "2002", "/nonexistent/in", "/nonexistent/out",
                                            "0",  "0",    "/nonexistent/dm", "/nonexistent/wm"};
    auto with = [&](const std::string& year, const std::string& row, const std::string& col) {
        std::vector<std::string> args = eight;
        args[1] = year;
        args.push_back(row);
        args.push_back(col);
        return args;
    };
    std::vector<std::string> twelve = with("2002", "1", "2");
    twelve.push_back("3");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {eight, "wrong call"},
        {twelve, "wrong call"},
        {with(std::to_string(MIN_LAST_YEAR - 1), "1", "2"), "last_year"},
        {with(std::to_string(MAX_LAST_YEAR + 1), "1", "2"), "last_year"},
        {with("2002", std::to_string(SIZE), "2"), "row"},
        {with("2002", "-1", "2"), "row"},
        {with("2002", "12x", "2"), "row"},
        {with("2002", "1", std::to_string(SIZE)), "col"},
        {with("2002", "1", ""), "col"},
    };
    for (const auto& [args, named] : cases) {
        const Outcome o = inspect_capturing_errors(args, scratch);
        SCOPED_TRACE(o.err);
        EXPECT_EQ(o.exit_status, 1);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1);
        EXPECT_EQ(o.err.rfind(named, 0), 0u);
        EXPECT_EQ(o.err.find("not found"), std::string::npos);
    }
}

// The quality byte tile_quality stores for a pixel-year, worked out from the
// inspector's stage columns.
int flags_from_stage_columns(const Report& report, int year, int last_year) {
    auto number = [&](const char* column) { return std::stoi(report.cell(year, column)); };
    const std::string classified = report.cell(year, "class_st");
    const std::string repaired = report.cell(year, "repair_st");
    int flags = 0;
    if (classified == "invalid") flags |= QA_INVALID;
    if (classified == "jump") flags |= QA_JUMP;
    // The last year keeps its code; the carry set its value unless it was ok.
    if (repaired == "repaired" || (year == last_year && repaired != "ok")) flags |= QA_REPAIRED;
    if (repaired == "interpolated") flags |= QA_INTERPOLATED;
    if (number("repaired") != number("TCC")) flags |= QA_POST_LOSS;
    if (number("TCC") != 0 && number("height_in") == 0 && number("derived") != 0) {
        flags |= QA_HEIGHT_FILLED;
    }
    if (number("capped") < number("derived")) flags |= QA_HEIGHT_CAPPED;
    if (number("TCH") != number("capped")) flags |= QA_HEIGHT_SMOOTHED;
    return flags;
}

TEST_F(InspectPixelTest, QualityFlagsAgreeWithTheStageColumns) {
    const fs::path quality = scratch_dir("inspect_quality");
    const ProgramResult run = run_program(PT_TILE_QUALITY, tile_arguments(*tile_, quality));
    ASSERT_EQ(run.exit_status, 0) << run.out;
    std::map<int, std::vector<unsigned char>> flags;
    for (int year = FIRST_OUTPUT_YEAR; year <= LAST_YEAR; ++year) {
        flags[year] = read_band(quality / ("QA_" + std::to_string(year) + "_" + TILE + ".tif"));
    }
    // For every bit the first pixel that has it in some year, and the first
    // pixel inside the datamask with no flag at all.
    const std::vector<unsigned char> datamask =
        read_band(tile_->datamask_dir() / (TILE + "_datamask.tif"));
    std::vector<std::size_t> chosen;
    for (int bit = 0; bit < QA_BIT_COUNT; ++bit) {
        bool found = false;
        for (std::size_t i = 0; i < datamask.size() && !found; ++i) {
            for (const auto& [year, layer] : flags) found |= (layer[i] >> bit & 1) != 0;
            if (found) chosen.push_back(i);
        }
        EXPECT_TRUE(found) << QA_BIT_NAMES[bit] << " is set nowhere in the tile";
    }
    for (std::size_t i = 0; i < datamask.size(); ++i) {
        bool none = datamask[i] == 1;
        for (const auto& [year, layer] : flags) none &= layer[i] == 0;
        if (none) {
            chosen.push_back(i);
            break;
        }
    }
    for (const std::size_t i : chosen) {
        const int row = static_cast<int>(i / SIZE), col = static_cast<int>(i % SIZE);
        SCOPED_TRACE(testing::Message() << "pixel row " << row << " col " << col);
        const ProgramResult r = run_program(
            PT_INSPECT_PIXEL, arguments(*tile_, std::to_string(row), std::to_string(col)));
        ASSERT_EQ(r.exit_status, 0) << r.out;
        const Report report = parse_report(r.out);
        for (int year = FIRST_OUTPUT_YEAR; year <= LAST_YEAR; ++year) {
            EXPECT_EQ(int{flags[year][i]}, flags_from_stage_columns(report, year, LAST_YEAR))
                << "year " << year << "\n"
                << r.out;
        }
    }
}

TEST_F(InspectPixelTest, NamesAMissingLayerLikeTheTool) {
    const fs::path root = scratch_dir("inspect_missing");
    const GeneratedTile copy = link_tile(*tile_, root / "tile");
    const fs::path layer = copy.input_dir() / TILE / (TILE + "_TCH_2001.tif");
    fs::remove(layer);
    const Outcome o = inspect_capturing_errors(arguments(copy, "5", "5"), root);
    EXPECT_EQ(o.exit_status, 1);
    EXPECT_EQ(o.out, "");
    // GDAL may say its own piece before the tool's line.
    EXPECT_EQ(last_line(o.err), layer.string() + " not found") << o.err;
}

TEST_F(InspectPixelTest, FifoAsALayerIsNotFoundInsteadOfBlocking) {
    const fs::path root = scratch_dir("inspect_fifo");
    const GeneratedTile copy = link_tile(*tile_, root / "tile");
    const fs::path layer = copy.input_dir() / TILE / (TILE + "_TCH_2001.tif");
    fs::remove(layer);
    ASSERT_EQ(::mkfifo(layer.c_str(), 0644), 0);
    const Outcome o = inspect_capturing_errors(arguments(copy, "5", "5"), root, deadline(120));
    EXPECT_EQ(o.exit_status, 1) << "a status of -1 means the inspector was killed or hung";
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(last_line(o.err), layer.string() + " not found") << o.err;
}

}  // namespace
}  // namespace pt::e2e
