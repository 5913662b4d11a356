#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "run/progress.hpp"

namespace pt {
namespace {

std::string drawn(bool enabled) {
    std::FILE* stream = std::tmpfile();
    {
        Progress progress(enabled, stream);
        progress.begin_phase("reading", 68);
        std::vector<std::thread> workers;
        for (int w = 0; w < 2; ++w) {
            workers.emplace_back([&] {
                for (int i = 0; i < 34; ++i) progress.advance();
            });
        }
        for (auto& w : workers) w.join();
        progress.begin_phase("writing", 3);  // ends "reading"
        progress.advance(3);
    }  // ends "writing"
    std::string text(4096, '\0');
    std::rewind(stream);
    text.resize(std::fread(text.data(), 1, text.size(), stream));
    std::fclose(stream);
    return text;
}

TEST(Progress, SilentUnlessEnabled) {
    EXPECT_EQ(drawn(false), "");
}

TEST(Progress, EachPhaseEndsOnItsOwnCompletedLine) {
    const std::string text = drawn(true);
    EXPECT_NE(text.find("reading      0%"), std::string::npos) << text;
    EXPECT_NE(text.find("reading    100%"), std::string::npos) << text;
    EXPECT_NE(text.find("writing    100%"), std::string::npos) << text;
    // Two phases, two finished lines; progress never goes past 100 %.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_EQ(text.find("101%"), std::string::npos);
}

}  // namespace
}  // namespace pt
