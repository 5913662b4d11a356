// Arguments a scheduler's tile list or a careless (or hostile) caller can
// produce: each is refused before any file is opened, with exactly one line
// of plain text and status 1, and nothing is written anywhere.
#include <gdal_priv.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "e2e_support.hpp"

namespace pt::e2e {
namespace {

// The arguments of a run whose inputs do not exist, with one of them
// replaced: a refusal that came after an open would say "not found".
std::vector<std::string> arguments_with(std::size_t position, const std::string& value,
                                        const fs::path& out) {
    std::vector<std::string> args = {"t7",  "2001", "/nonexistent/in", out.string(),
                                     "-60", "10",   "/nonexistent/dm", "/nonexistent/wm"};
    args[position] = value;
    return args;
}

// One line of printable ASCII: every argument of these tests is ASCII but
// for its control characters, which must come out escaped.
bool plain_single_line(const std::string& text) {
    if (text.empty() || text.back() != '\n') return false;
    return std::all_of(text.begin(), text.end() - 1, [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b >= 0x20 && b < 0x7f;
    });
}

TEST(ArgumentFault, UnusableArgumentsAreRefusedOnOneLineBeforeAnyFile) {
    constexpr std::size_t TILE_ID = 0, LAST_YEAR = 1, OUTPUT_DIR = 3, ORIGIN_X = 4, ORIGIN_Y = 5;
    struct Case {
        std::size_t position;
        std::string value;
        std::string line;  // the whole expected output
    };
    const std::vector<Case> cases = {
        {TILE_ID, "", "tile_id is empty\n"},
        {TILE_ID, "a/b", "tile_id a/b contains '/'\n"},
        {TILE_ID, "../t7", "tile_id ../t7 contains '/'\n"},
        // Directory names, not tile ids: ".." would read input_dir's parent.
        {TILE_ID, "..", "tile_id .. names no file of its own\n"},
        {TILE_ID, ".", "tile_id . names no file of its own\n"},
        {TILE_ID, "t7\nERR1", "tile_id t7\\x0AERR1 contains a control character\n"},
        {TILE_ID, "t7\x1b]0;pwned\x07",
         "tile_id t7\\x1B]0;pwned\\x07 contains a control character\n"},
        {TILE_ID,
         "t7\xc2\x9b"
         "31m",
         "tile_id t7\\u009B31m contains a control character\n"},
        {TILE_ID, "t7\r", "tile_id t7\\x0D contains a control character\n"},
        {TILE_ID,
         "T\x9b"
         "1",
         "tile_id T\\x9B1 contains a control character\n"},
        {OUTPUT_DIR, "", "output_dir is empty\n"},
        {LAST_YEAR, "4294969297", "last_year 4294969297 is outside 2000 to 2060\n"},
        {LAST_YEAR, " 99999999999999999999",
         "last_year 99999999999999999999 is outside 2000 to 2060\n"},
        {LAST_YEAR, "-2147483649", "last_year -2147483649 is outside 2000 to 2060\n"},
        {LAST_YEAR, "2147483647", "last_year 2147483647 is outside 2000 to 2060\n"},
        // atoi would take 2001 from each and run with status 0.
        {LAST_YEAR, "2001abc", "last_year 2001abc is not a whole number\n"},
        {LAST_YEAR, "2001.9", "last_year 2001.9 is not a whole number\n"},
        {LAST_YEAR, "", "last_year is empty\n"},
        // atof would take 0, 0, 12, 4 and 1 from these.
        {ORIGIN_X, "abc", "origin_x abc is not a number\n"},
        {ORIGIN_X, "", "origin_x is empty\n"},
        {ORIGIN_X, "12abc", "origin_x 12abc is not a number\n"},
        {ORIGIN_X, "4O", "origin_x 4O is not a number\n"},
        {ORIGIN_X, "1,5", "origin_x 1,5 is not a number\n"},
        {ORIGIN_Y, "10\nERR1", "origin_y 10\\x0AERR1 is not a number\n"},
        {ORIGIN_X, "nan", "origin_x nan is not a longitude from -180 to 360\n"},
        {ORIGIN_X, "inf", "origin_x inf is not a longitude from -180 to 360\n"},
        {ORIGIN_X, "1e400", "origin_x inf is not a longitude from -180 to 360\n"},
        {ORIGIN_X, "-1e308", "origin_x -1e+308 is not a longitude from -180 to 360\n"},
        {ORIGIN_X, "-180.5", "origin_x -180.5 is not a longitude from -180 to 360\n"},
        {ORIGIN_X, "360.25", "origin_x 360.25 is not a longitude from -180 to 360\n"},
        {ORIGIN_Y, "1e20", "origin_y 1e+20 is not a latitude from -90 to 90\n"},
        {ORIGIN_Y, "-nan", "origin_y -nan is not a latitude from -90 to 90\n"},
        {ORIGIN_Y, "90.001", "origin_y 90.001 is not a latitude from -90 to 90\n"},
        {ORIGIN_Y, "-91", "origin_y -91 is not a latitude from -90 to 90\n"},
    };
    const fs::path root = scratch_dir("refused_arguments");
    for (const Case& c : cases) {
        SCOPED_TRACE("argument " + std::to_string(c.position + 1) + " = " + c.value);
        const fs::path out = root / "out";
        fs::create_directories(out);
        const ProgramResult r =
            run_program(PT_PROCESS_TILE, arguments_with(c.position, c.value, out));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, c.line);
        EXPECT_TRUE(plain_single_line(r.out)) << r.out;
        EXPECT_TRUE(fs::is_empty(out));
        fs::remove_all(out);
    }
    // Nothing was created beside the output directory either (a tile id with
    // "/" or "../" must not have led a write elsewhere).
    EXPECT_TRUE(fs::is_empty(root));
}

TEST(ArgumentFault, ControlCharactersInPathsAreEscapedInTheFailureLine) {
    const fs::path root = scratch_dir("escaped_paths");
    // A datamask directory whose name holds a newline and a terminal escape:
    // the "not found" line names it, still on one line, still plain text.
    const std::string odd_dir = (root / "dm\nERR1\x1b[2J").string();
    const ProgramResult r =
        run_program(PT_PROCESS_TILE, {"t7", "2000", (root / "in").string(), (root / "out").string(),
                                      "0", "0", odd_dir, (root / "wm").string()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, (root / "dm\\x0AERR1\\x1B[2J/t7_datamask.tif not found\n").string());
    EXPECT_TRUE(plain_single_line(r.out)) << r.out;

    // Characters that print no mark of their own are escaped too: a
    // right-to-left override would show the rest of the line reversed, a
    // line separator would break it, a zero-width space would hide itself;
    // and a byte that is no UTF-8 is shown as the byte it is.
    const std::string odd_id =
        "t\xe2\x80\xae"
        "7\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\x8b\xe9";
    const ProgramResult id = run_program(
        PT_PROCESS_TILE, {odd_id, "2000", (root / "in").string(), (root / "out").string(), "0", "0",
                          (root / "dm").string(), (root / "wm").string()});
    EXPECT_EQ(id.exit_status, 1);
    EXPECT_EQ(
        id.out,
        (root / "dm" / "t\\u202E7\\u2028\\u2029\\u200B\\xE9_datamask.tif not found\n").string());
    EXPECT_TRUE(plain_single_line(id.out)) << id.out;
}

TEST(ArgumentFault, OriginsAtTheEdgesOfTheGlobeAreKeptExactly) {
    // The bounds themselves are corners a tile can have, and every accepted
    // value reaches the geotransform exactly as atof read it.
    const fs::path root = scratch_dir("edge_origins");
    const GeneratedTile tile = generate_tile(root / "tile", "e1", 2000, 3);
    const fs::path out = root / "out";
    fs::create_directories(out);
    std::vector<std::string> args = tile_arguments(tile, out);
    args[4] = "-180";
    args[5] = "90";
    ProgramResult r = run_program(PT_PROCESS_TILE, args);
    ASSERT_EQ(r.exit_status, 0) << r.out;
    args[4] = "359.999749999999";
    args[5] = "-89.0";
    const fs::path out2 = root / "out2";
    fs::create_directories(out2);
    args[3] = out2.string();
    r = run_program(PT_PROCESS_TILE, args);
    ASSERT_EQ(r.exit_status, 0) << r.out;

    GDALAllRegister();
    const std::array<std::pair<fs::path, std::array<double, 2>>, 2> expected = {{
        {out / "TCH_2000_e1.img", {-180.0, 90.0}},
        {out2 / "Loss_2000_e1.img", {359.999749999999, -89.0}},
    }};
    for (const auto& [path, origin] : expected) {
        GDALDataset* ds = GDALDataset::FromHandle(GDALOpen(path.c_str(), GA_ReadOnly));
        ASSERT_NE(ds, nullptr) << path;
        double transform[6];
        EXPECT_EQ(ds->GetGeoTransform(transform), CE_None);
        EXPECT_EQ(transform[0], origin[0]) << path;
        EXPECT_EQ(transform[3], origin[1]) << path;
        GDALClose(GDALDataset::ToHandle(ds));
    }
}

}  // namespace
}  // namespace pt::e2e
