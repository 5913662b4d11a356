// The tiles' tables as sum_accounts reads them: the list, and each table
// read only when it is still the file and the bytes its tile's run wrote —
// also after a rewrite in place that put back its size, inode and time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "accounts/account_sums.hpp"
#include "accounts/sha256.hpp"
#include "accounts/tile_tables.hpp"
#include "tile/tile.hpp"

namespace pt {
namespace {

namespace fs = std::filesystem;

std::string sha256_of(const std::string& bytes) {
    Sha256 hash;
    hash.add(bytes.data(), bytes.size());
    return hash.hex();
}

TEST(Sha256, KnownDigestsWholeOrInParts) {
    EXPECT_EQ(sha256_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Sha256 parts;
    parts.add("a", 1);
    parts.add("bc", 2);
    EXPECT_EQ(parts.hex(), sha256_of("abc"));
    EXPECT_EQ(parts.hex(), sha256_of(""));  // begun again
    EXPECT_TRUE(is_sha256_hex(sha256_of("abc")));
    EXPECT_FALSE(is_sha256_hex("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"));
    EXPECT_FALSE(is_sha256_hex(sha256_of("abc").substr(1)));
}

std::string list_refusal(const std::string& text) {
    try {
        parse_table_list(text);
        return "";
    } catch (const RunFailure& failure) {
        return failure.what();
    }
}

TEST(TableList, LinesOfTileTableIdentityAndDigest) {
    const std::string digest = sha256_of("x");
    const auto tables = parse_table_list("-t\t-t_accounts.csv\t12\t-5\t7\t" + digest +
                                         "\n-t\t-t_zone_accounts.csv\t1\t2\t3\t-\n"
                                         "u\tu_accounts.csv\t-\t-\t-\t-\n");
    ASSERT_EQ(tables.size(), 3u);
    EXPECT_TRUE(tables[0].identified && !tables[0].zoned);
    EXPECT_EQ(tables[0].size, 12);
    EXPECT_EQ(tables[0].mtime_ns, -5);  // a time before 1970 is a time
    EXPECT_EQ(tables[0].inode, 7u);
    EXPECT_EQ(tables[0].sha256, digest);
    EXPECT_TRUE(tables[1].zoned && tables[1].sha256.empty());  // a record without digests
    EXPECT_FALSE(tables[2].identified);

    struct Case {
        std::string text, why;
    };
    for (const Case& c : std::vector<Case>{
             {"a\ta_accounts.csv\t1\t2\t3\n", "line 1 of the list is not tile id, table name"},
             {"a\tb_accounts.csv\t-\t-\t-\t-\n", "names b_accounts.csv, no table of tile a"},
             {"..\t.._accounts.csv\t-\t-\t-\t-\n", "names no tile whose tables can be read"},
             {"a\ta_accounts.csv\t-1\t2\t3\t-\n", "holds an identity that is not three whole"},
             {"a\ta_accounts.csv\t1\t2\t9223372036854775808\t-\n", "not three whole numbers"},
             {"a\ta_accounts.csv\t1\t2\t3\t" + std::string(64, 'A') + "\n", "holds a SHA-256"},
             {"a\ta_accounts.csv\t1\t2\t3\t" + digest + "0\n", "holds a SHA-256"},
             {"a\ta_accounts.csv\t-\t-\t-\t-", "does not end in a newline"},
         }) {
        const std::string why = list_refusal(c.text);
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << " -> " << why;
    }
}

class ListedTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("pt_tile_tables_" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        dir_fd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(dir_fd_, 0);
    }
    void TearDown() override {
        ::close(dir_fd_);
        fs::remove_all(dir_);
    }

    // Writes t1's table and lists it as its run's record would.
    ListedTable written(const std::string& bytes) {
        std::ofstream(dir_ / "t1_accounts.csv", std::ios::binary) << bytes;
        struct stat info {};
        EXPECT_EQ(::stat((dir_ / "t1_accounts.csv").c_str(), &info), 0);
        ListedTable t;
        t.tile = "t1";
        t.name = "t1_accounts.csv";
        t.identified = true;
        t.size = info.st_size;
        t.mtime_ns = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
        t.inode = info.st_ino;
        t.sha256 = sha256_of(bytes);
        return t;
    }
    // What reading `t` gives: its bytes, or "damaged: <why>".
    std::string read(const ListedTable& t) {
        try {
            return std::string(read_listed_table(dir_fd_, t, buffer_));
        } catch (const DamagedTable& e) {
            return std::string("damaged: ") + e.what();
        }
    }

    fs::path dir_;
    int dir_fd_ = -1;
    std::vector<char> buffer_;
};

TEST_F(ListedTableTest, ARewriteInPlaceWithItsIdentityPutBackIsRefused) {
    const ListedTable t = written("t1,10,2000,2.000000\n");
    EXPECT_EQ(read(t), "t1,10,2000,2.000000\n");

    // One byte changed through the same inode, the same size, the time put back.
    {
        std::fstream f(dir_ / "t1_accounts.csv", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(11);
        f.put('3');
    }
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(t.mtime_ns / 1000000000LL),
                                static_cast<long>(t.mtime_ns % 1000000000LL)}};
    ASSERT_EQ(::utimensat(dir_fd_, "t1_accounts.csv", times, 0), 0);
    struct stat info {};
    ASSERT_EQ(::stat((dir_ / "t1_accounts.csv").c_str(), &info), 0);
    ASSERT_EQ(info.st_ino, t.inode);
    ASSERT_EQ(info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec, t.mtime_ns);
    EXPECT_NE(read(t).find("damaged: its bytes are not those its run wrote (their SHA-256 differs"),
              std::string::npos)
        << read(t);

    // A record written before the digests holds the table to its identity
    // alone, as tables were held before.
    ListedTable older = t;
    older.sha256.clear();
    EXPECT_EQ(read(older), "t1,10,2000,3.000000\n");
}

TEST_F(ListedTableTest, OnlyTheRegularFileOfItsIdentityIsRead) {
    const ListedTable t = written("abc\n");
    ListedTable other = t;
    other.mtime_ns += 1;
    EXPECT_EQ(read(other), "damaged: it is not the file its run wrote (changed since)");
    other = t;
    other.identified = false;
    EXPECT_EQ(read(other), "damaged: it is not the file its run wrote (changed since)");
    // A FIFO under its name is opened without waiting for a writer, and refused.
    fs::remove(dir_ / "t1_accounts.csv");
    ASSERT_EQ(::mkfifo((dir_ / "t1_accounts.csv").c_str(), 0600), 0);
    EXPECT_EQ(read(t), "damaged: it is not the file its run wrote (changed since)");
    fs::remove(dir_ / "t1_accounts.csv");
    EXPECT_EQ(read(t), "damaged: it cannot be opened: No such file or directory");
}

}  // namespace
}  // namespace pt
