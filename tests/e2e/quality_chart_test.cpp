// The quality chart as gnuplot draws it, in tile_quality (draw_quality_chart
// in this process) and through scripts/quality_chart.sh: any title or path
// drawn or opened as written, never read as gnuplot commands; gnuplot taken
// from PATH's absolute directories only; a failure named by gnuplot's first
// message, and nothing short of a whole PNG taken for a chart.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/quality_chart.hpp"
#include "e2e_support.hpp"

namespace pt::e2e {
namespace {

// The chart alone, in this process: PATH and the working directory set for
// each case and put back after it.
class QualityChart : public ::testing::Test {
  protected:
    static constexpr const char* TABLE =
        "year,filtered,invalid,jump,repaired,interpolated,post_loss,height_filled,"
        "height_capped,height_smoothed,tcc_changed,loss_in,loss_kept\n"
        "2000,100,5,1,2,0,1,3,0,1,9,7,6\n"
        "2001,100,4,2,1,1,0,2,1,0,8,5,4\n";

    void SetUp() override {
        const char* path = std::getenv("PATH");
        path_ = path != nullptr ? path : "";
        cwd_ = fs::current_path();
        dir_ = scratch_dir("quality_chart");
        fs::current_path(dir_);
    }
    void TearDown() override {
        setenv("PATH", path_.c_str(), 1);
        fs::current_path(cwd_);
    }
    // An executable shell script `name` in `dir`.
    static void write_script(const fs::path& dir, const std::string& name,
                             const std::string& body) {
        fs::create_directories(dir);
        std::ofstream(dir / name) << "#!/bin/sh\n" << body;
        chmod((dir / name).c_str(), 0755);
    }
    // The failure line of a chart that cannot be drawn ("" when it is drawn).
    static std::string failure(const std::string& title = "t") {
        try {
            draw_quality_chart(TABLE, title, "c.png");
        } catch (const RunFailure& error) {
            return error.what();
        }
        return "";
    }

    std::string path_;
    fs::path cwd_, dir_;
};

TEST_F(QualityChart, TitlesAreDrawnAsWrittenNeverReadAsGnuplotCommands) {
    const std::vector<std::string> titles = {
        "'a",
        "'''a'",
        "\"a",
        "a\\",
        "a'; set output 'made_by_title'; print '",
        "a' . system('touch made_by_title') . '",
        "`touch made_by_title`",
        "@chart",
        "$table",
        "$0 $1 ARG1",
        "# not a comment",
        "t\u00fcle \u0142 \u00e9",
    };
    for (const std::string& title : titles) {
        SCOPED_TRACE(title);
        std::string image;
        ASSERT_NO_THROW(image = draw_quality_chart(TABLE, title, "c.png"));
        EXPECT_TRUE(whole_png(image));
    }
    EXPECT_EQ(file_names(dir_), std::vector<std::string>{});
}

TEST_F(QualityChart, GnuplotIsLookedForInAbsolutePathDirectoriesOnly) {
    // A gnuplot in the working directory and in a relative one, which an
    // empty PATH entry, "." or "bin" would run.
    write_script(dir_, "gnuplot", "/usr/bin/touch ran_from_cwd\nexit 1\n");
    write_script(dir_ / "bin", "gnuplot", "/usr/bin/touch ran_from_bin\nexit 1\n");
    for (const std::string path : {"", ":/nonexistent", ".:/nonexistent", "bin:/nonexistent"}) {
        SCOPED_TRACE(path);
        setenv("PATH", path.c_str(), 1);
        EXPECT_EQ(failure(), "c.png cannot be drawn: gnuplot cannot be started");
    }
    EXPECT_FALSE(fs::exists(dir_ / "ran_from_cwd"));
    EXPECT_FALSE(fs::exists(dir_ / "ran_from_bin"));
}

TEST_F(QualityChart, AGnuplotFailureIsNamedAndOnlyAWholePngIsAChart) {
    const fs::path bin = dir_ / "fake";
    setenv("PATH", ("/nonexistent:" + bin.string()).c_str(), 1);
    struct Case {
        std::string script, line;
    };
    const std::vector<Case> cases = {
        // gnuplot's own report: the command echoed, a caret under it, then
        // the located messages; the first error is the one named.
        {"printf '\\ngnuplot> plot x\\n          ^\\n' >&2\n"
         "printf '\"/dev/stdin\" line 30: warning: Skipping data file with no valid points\\n' "
         ">&2\n"
         "printf '\"/dev/stdin\" line 31: undefined variable: x\\n\\n' >&2\nexit 1\n",
         "c.png cannot be drawn: gnuplot: undefined variable: x"},
        {"echo 'Could not open font' >&2\nexit 1\n",
         "c.png cannot be drawn: gnuplot: Could not open font"},
        {"exit 3\n", "c.png cannot be drawn: gnuplot ended with status 3"},
        {"kill -9 $$\n", "c.png cannot be drawn: gnuplot was ended by signal 9"},
        // A PNG cut short after its header, with status 0.
        {"printf '\\211PNG\\r\\n\\032\\n\\0\\0\\0\\rIHDR\\0\\0\\4L\\0\\0\\3 \\10\\2\\0\\0\\0'\n"
         "printf '\\1\\2\\3\\4\\0\\0\\20\\0IDATxx'\n",
         "c.png cannot be drawn: gnuplot's image is not a whole PNG"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        // Every stand-in reads the whole program first, as gnuplot does.
        write_script(bin, "gnuplot", "/bin/cat >/dev/null\n" + c.script);
        EXPECT_EQ(failure(), c.line);
    }
}

// scripts/quality_chart.sh: the same program and mechanism for any table.
TEST_F(QualityChart, TheScriptDrawsAnyTitleAndPathAsWritten) {
    // Names gnuplot reads as commands unless they come with a directory.
    const std::string table = "< touch made_by_table", chart = "| touch made_by_chart";
    std::ofstream(dir_ / table) << TABLE;
    write_script(dir_, "gnuplot", "/usr/bin/touch ran_from_cwd\nexit 1\n");
    const std::string script = std::string(PT_SCRIPTS_DIR) + "/quality_chart.sh";
    const auto draw = [&](const std::string& title) {
        // "" and "." in PATH lead to the working directory's gnuplot.
        return run_program(
            "/bin/sh",
            {"-c", "cd \"$0\" && PATH=:.:/usr/bin:/bin exec bash \"$1\" \"$2\" \"$3\" \"$4\" 2>&1",
             dir_.string(), script, table, chart, title});
    };
    for (const std::string title : {"'a", "a'; set output 'made_by_title'; print '",
                                    "`touch made_by_title` @chart $table \\"}) {
        SCOPED_TRACE(title);
        const ProgramResult r = draw(title);
        EXPECT_EQ(r.exit_status, 0) << r.out;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(whole_png(read_file(dir_ / chart)));
        fs::remove(dir_ / chart);
    }
    EXPECT_EQ(file_names(dir_), (std::vector<std::string>{table, "gnuplot"}));
}

}  // namespace
}  // namespace pt::e2e
