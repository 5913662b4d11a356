// The quality flags' names where the scripts restate them (the chart's
// program, the header quality_chart.sh expects, the batch tests' headers),
// held to QA_BIT_NAMES and to the table's header: a flag renamed, dropped or
// reordered on either side fails here rather than leaving a chart that plots
// a column the table no longer has.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/quality_run.hpp"
#include "tile/quality_word.hpp"

namespace pt {
namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The scripts that may name the flags, as paths from the project's root.
std::vector<std::string> scripts() {
    std::vector<std::string> found;
    for (const char* dir : {"scripts", "tests/batch"}) {
        for (const auto& entry : fs::directory_iterator(fs::path(PT_SOURCE_DIR) / dir)) {
            const std::string ext = entry.path().extension().string();
            if (ext == ".sh" || ext == ".gp")
                found.push_back(std::string(dir) + "/" + entry.path().filename().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> words_of(const std::string& text, const std::regex& word) {
    std::vector<std::string> words;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), word);
         it != std::sregex_iterator(); ++it) {
        words.push_back(it->str(it->size() > 1 && (*it)[1].matched ? 1 : 0));
    }
    return words;
}

bool is_flag(const std::string& word) {
    return std::find(QA_BIT_NAMES.begin(), QA_BIT_NAMES.end(), word) != QA_BIT_NAMES.end();
}

const std::vector<std::string>& flag_names() {
    static const std::vector<std::string> names(QA_BIT_NAMES.begin(), QA_BIT_NAMES.end());
    return names;
}

// Every line that names two flags or more names them all, from bit 0 on, in
// the order of their bits, one after another.
TEST(QualityNames, ScriptsListEveryFlagInTheOrderOfItsBit) {
    const std::regex word("[A-Za-z0-9_]+");
    std::set<std::string> listing;
    for (const std::string& script : scripts()) {
        std::istringstream lines(read_text(fs::path(PT_SOURCE_DIR) / script));
        std::string line;
        for (int number = 1; std::getline(lines, line); ++number) {
            const std::vector<std::string> words = words_of(line, word);
            if (std::count_if(words.begin(), words.end(), is_flag) < 2) continue;
            const auto first = std::find_if(words.begin(), words.end(), is_flag);
            const auto end = first + std::min<std::ptrdiff_t>(QA_BIT_COUNT, words.end() - first);
            EXPECT_EQ(std::vector<std::string>(first, end), flag_names())
                << script << ":" << number << ": " << line;
            listing.insert(script);
        }
    }
    // The two that draw the chart list them; a list whose every name changed
    // is not found above, so it is missed here.
    EXPECT_TRUE(listing.count("scripts/quality_chart.gp")) << "quality_chart.gp plots no flags";
    EXPECT_TRUE(listing.count("scripts/quality_chart.sh")) << "quality_chart.sh expects no flags";
}

// The chart plots every column of the table after year and filtered, and
// each script that expects a table's header expects the table's own.
TEST(QualityNames, ChartAndScriptsFollowTheTablesHeader) {
    const std::string header = quality_table_header();
    const std::vector<std::string> columns = words_of(header, std::regex("[^,]+"));
    ASSERT_GE(columns.size(), 2u + QA_BIT_NAMES.size());
    ASSERT_EQ(columns[0], "year");
    ASSERT_EQ(columns[1], "filtered");

    const std::string chart = read_text(fs::path(PT_SOURCE_DIR) / "scripts/quality_chart.gp");
    std::vector<std::string> plotted;
    const std::regex plot_list("for \\[c in '([^']*)'\\]");
    for (const std::string& list : words_of(chart, plot_list)) {
        for (const std::string& name : words_of(list, std::regex("[^ ]+"))) plotted.push_back(name);
    }
    EXPECT_EQ(plotted, std::vector<std::string>(columns.begin() + 2, columns.end()));
    EXPECT_NE(chart.find("column('filtered')"), std::string::npos);
    EXPECT_NE(chart.find("using 'year'"), std::string::npos);

    const std::regex expected("^\\s*[a-z_]*header=\"([^\"]*)\"");
    std::set<std::string> expecting;
    for (const std::string& script : scripts()) {
        std::istringstream lines(read_text(fs::path(PT_SOURCE_DIR) / script));
        std::string line;
        std::smatch found;
        for (int number = 1; std::getline(lines, line); ++number) {
            if (!std::regex_search(line, found, expected)) continue;
            EXPECT_EQ(found[1].str(), header) << script << ":" << number;
            expecting.insert(script);
        }
    }
    EXPECT_TRUE(expecting.count("scripts/quality_chart.sh"))
        << "quality_chart.sh expects no header";
}

}  // namespace
}  // namespace pt
