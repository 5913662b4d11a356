// Temporary product names: what a run writes under before the final rename,
// and which leftovers a later run of the same tile may remove.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "io/product_writer.hpp"

namespace pt {
namespace {

namespace fs = std::filesystem;

TEST(TemporaryProducts, NameLiesBesideTheProductAndKeepsItsEnding) {
    EXPECT_EQ(temporary_product_path("out/TCC_2005_t7.img", 4242), "out/.tmp-4242-TCC_2005_t7.img");
    EXPECT_EQ(temporary_product_path("out//Loss_2000_40N_080W.img", 7),
              "out//.tmp-7-Loss_2000_40N_080W.img");
    EXPECT_EQ(temporary_product_path("/TCH_2001_t7.img", 1), "/.tmp-1-TCH_2001_t7.img");
}

TEST(TemporaryProducts, OnlyTemporariesOfTheTileAreRecognised) {
    EXPECT_EQ(temporary_product_pid(".tmp-4242-TCC_2005_t7.img", "t7"), 4242);
    EXPECT_EQ(temporary_product_pid(".tmp-1-Loss_2060_40N_080W.img", "40N_080W"), 1);
    // The name this very code makes round-trips.
    EXPECT_EQ(temporary_product_pid(
                  fs::path(temporary_product_path("o/TCH_2001_t7.img", 99)).filename().string(),
                  "t7"),
              99);

    const char* not_ours[] = {
        "TCC_2005_t7.img",             // a product
        ".tmp-4242-TCC_2005_t8.img",   // another tile
        ".tmp-4242-TCC_2005_xt7.img",  // a tile whose name ends like ours
        ".tmp-4242-TCC_2005_t7.img.aux.xml",
        ".tmp-4242-TCC_2005_t7.tif",
        ".tmp-4242-NDVI_2005_t7.img",  // not a product of this tool
        ".tmp-4242-TCC__t7.img",       // no year
        ".tmp--TCC_2005_t7.img",       // no pid
        ".tmp-0-TCC_2005_t7.img",      // kill(0) would address the process group
        ".tmp-0042-TCC_2005_t7.img",
        ".tmp-12345678901-TCC_2005_t7.img",
        ".tmp-42x-TCC_2005_t7.img",
        "tmp-42-TCC_2005_t7.img",
    };
    for (const char* name : not_ours) EXPECT_EQ(temporary_product_pid(name, "t7"), std::nullopt) << name;
    // A tile id that begins with digits still parses the year correctly.
    EXPECT_EQ(temporary_product_pid(".tmp-5-TCC_2005_12_x.img", "12_x"), 5);
    EXPECT_EQ(temporary_product_pid(".tmp-5-TCC_2005_12_x.img", "x"), std::nullopt);
}

// A pid that surely belongs to no process: a child that has exited and been
// reaped.
long dead_pid() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

TEST(TemporaryProducts, StaleCleanupRemovesOnlyLeftoversOfDeadRunsOfTheTile) {
    const fs::path dir = fs::temp_directory_path() / ("pt_stale_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const long dead = dead_pid();
    const long own = getpid();
    const long alive = getppid();
    auto touch = [&](const std::string& name) { std::ofstream(dir / name) << "x"; };
    const std::string stale1 = ".tmp-" + std::to_string(dead) + "-TCC_2005_t7.img";
    const std::string stale2 = ".tmp-" + std::to_string(dead) + "-Loss_2019_t7.img";
    const std::vector<std::string> kept = {
        ".tmp-" + std::to_string(own) + "-TCC_2005_t7.img",    // this run's own
        ".tmp-" + std::to_string(alive) + "-TCH_2005_t7.img",  // a live run of the tile
        ".tmp-" + std::to_string(dead) + "-TCC_2005_t8.img",   // another tile
        "TCC_2005_t7.img",                                     // a finished product
        ".tmp-" + std::to_string(dead) + "-notes.txt",
    };
    touch(stale1);
    touch(stale2);
    for (const auto& name : kept) touch(name);

    remove_stale_temporaries({dir.string(), "t7"});

    EXPECT_FALSE(fs::exists(dir / stale1));
    EXPECT_FALSE(fs::exists(dir / stale2));
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(dir / name)) << name;

    // A directory that does not exist is not an error here.
    EXPECT_NO_THROW(remove_stale_temporaries({(dir / "missing").string(), "t7"}));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace pt
