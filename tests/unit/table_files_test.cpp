// Tables put into a directory: a killed run's temporary files removed by the
// next run of the same tables, and only those; two runs of the same tables
// at once kept apart by the lock; temporary names apart across hosts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "io/safe_directory.hpp"
#include "io/table_files.hpp"
#include "tile/tile.hpp"

namespace pt {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(TableFileNames, TemporaryNamesAreOwnAndRecognisedOnlyForTheirTable) {
    const std::string name = "t1_accounts.csv";
    const std::string a = temporary_table_name(name), b = temporary_table_name(name);
    EXPECT_NE(a, b);
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_TRUE(a.starts_with(".tmp-t1_accounts.csv.")) << a;
    // The host as the name holds it: letters, digits and '-', at most 32.
    std::string own_host;
    for (const char* p = host; *p != '\0' && own_host.size() < 32; ++p) {
        own_host += std::isalnum(static_cast<unsigned char>(*p)) || *p == '-' ? *p : '-';
    }
    EXPECT_NE(a.find("." + own_host + "." + std::to_string(::getpid()) + "."), std::string::npos)
        << a;
    EXPECT_TRUE(is_temporary_table_name(a, name));
    EXPECT_EQ(table_lock_name(name), ".lock-t1_accounts");

    for (const char* entry : {".tmp-t1_accounts.csv.node-7.123.abcdefghij12",  // another host's
                              ".tmp-4242-t1_accounts.csv.ab3xyz09"}) {  // an earlier version's
        EXPECT_TRUE(is_temporary_table_name(entry, name)) << entry;
    }
    for (const char* entry : {
             ".tmp-t1_accounts.csv.node.123.abcdefghij1",                  // random part short
             ".tmp-t1_accounts.csv.node.12x.abcdefghij12",                 // no pid
             ".tmp-t1_accounts.csv.no_de.123.abcdefghij12",                // no host name
             ".tmp-xt1_accounts.csv.node.123.abcdefghij12",                // a tile ending like t1
             ".tmp-4242-t1_accounts.csv.ab3xyz0",                          // old suffix short
             ".tmp-t1_accounts.csv.h-x_accounts.csv.node.1.abcdefghij12",  // another table's
             "t1_accounts.csv",
             ".tmp-keep",
             ".lock-t1_accounts",
         }) {
        EXPECT_FALSE(is_temporary_table_name(entry, name)) << entry;
    }
    // Tile "t1_accounts.csv.h-x": its table's temporary file is its own.
    EXPECT_TRUE(is_temporary_table_name(".tmp-t1_accounts.csv.h-x_accounts.csv.node.1.abcdefghij12",
                                        "t1_accounts.csv.h-x_accounts.csv"));
}

class PutTables : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("pt_put_tables_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
        dir_ = root_ / "accounts";  // made by the first put
    }
    void TearDown() override { fs::remove_all(root_); }

    void plant(const std::string& name) { std::ofstream(dir_ / name) << "half a table"; }
    std::set<std::string> names() const {
        std::set<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            found.insert(entry.path().filename().string());
        }
        return found;
    }
    std::string put(const std::string& bytes) {
        try {
            put_tables(dir_.string(), {{"t1_accounts.csv", bytes}, {"t1_zone_accounts.csv", bytes}},
                       {}, "cannot create");
            return "";
        } catch (const RunFailure& failure) {
            return failure.what();
        }
    }

    fs::path root_, dir_;
};

TEST_F(PutTables, AKilledRunsLeftoversGoWithTheNextRunOfTheSameTables) {
    ASSERT_EQ(put("first\n"), "");
    EXPECT_EQ(names(), (std::set<std::string>{"t1_accounts.csv", "t1_zone_accounts.csv"}));
    // What runs killed while writing left: on this host, on another, by an
    // earlier version; beside them another tile's, a user's file, and
    // another tile's lock.
    const std::set<std::string> others = {".tmp-t2_accounts.csv.node.1.abcdefghij12", ".tmp-keep",
                                          ".lock-t2_accounts", "t2_accounts.csv"};
    for (const std::string& name : others) plant(name);
    plant(temporary_table_name("t1_accounts.csv"));
    plant(".tmp-t1_zone_accounts.csv.other-host.99.abcdefghij12");
    plant(".tmp-77-t1_accounts.csv.ab3xyz09");
    ASSERT_EQ(put("second\n"), "");
    std::set<std::string> expected = others;
    expected.insert({"t1_accounts.csv", "t1_zone_accounts.csv"});
    EXPECT_EQ(names(), expected);  // and no lock file of t1 left
    EXPECT_EQ(read_file(dir_ / "t1_accounts.csv"), "second\n");
}

TEST_F(PutTables, ARunOfTheSameTablesWhileTheLockIsHeldIsRefusedAndTouchesNothing) {
    ASSERT_EQ(put("first\n"), "");
    // Another run holds the lock (flock belongs to an open file, so another
    // open of the same file stands for another process).
    UniqueFd held(::open((dir_ / ".lock-t1_accounts").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_TRUE(held.valid());
    ASSERT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0);
    const std::string its = temporary_table_name("t1_accounts.csv");
    plant(its);  // the holder's own temporary file, being written
    EXPECT_EQ(put("second\n"), dir_.string() + "/t1_accounts.csv is being written by another run");
    EXPECT_EQ(read_file(dir_ / "t1_accounts.csv"), "first\n");
    EXPECT_TRUE(fs::exists(dir_ / its));
    // Another tile's tables have a lock of their own.
    EXPECT_NO_THROW(put_tables(dir_.string(), {{"t2_accounts.csv", "x\n"}}, {}, "cannot create"));
    // Let go, the next run goes ahead.
    held.reset();
    EXPECT_EQ(put("third\n"), "");
    EXPECT_EQ(read_file(dir_ / "t1_zone_accounts.csv"), "third\n");
    EXPECT_FALSE(fs::exists(dir_ / its));
}

TEST_F(PutTables, SomethingInTheLocksWayIsNamed) {
    fs::create_directories(dir_);
    fs::create_symlink("elsewhere", dir_ / ".lock-t1_accounts");
    EXPECT_EQ(
        put("x\n"),
        dir_.string() + "/.lock-t1_accounts is in the way of the tables' lock: not a regular file");
    EXPECT_FALSE(fs::exists(dir_ / "t1_accounts.csv"));
}

}  // namespace
}  // namespace pt
