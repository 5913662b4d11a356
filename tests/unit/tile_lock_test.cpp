// The per-tile lock: one run at a time writes a tile into a directory, and
// the lock file cannot be turned against the run that opens it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "io/tile_lock.hpp"
#include "tile/tile.hpp"

namespace pt {
namespace {

namespace fs = std::filesystem;

class TileLockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("pt_tile_lock_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(dir());
        dir_fd_ = open_directory(dir().string());
        ASSERT_TRUE(dir_fd_.valid());
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path dir() const { return root_ / "out"; }
    fs::path lock_path() const { return dir() / ".lock-t7"; }
    std::unique_ptr<TileLock> take(const std::string& tile_id = "t7") {
        return std::make_unique<TileLock>(dir_fd_.get(), dir().string(), tile_id, "unusable");
    }
    // The line a refused TileLock throws; empty when it was taken.
    std::string refusal(const std::string& tile_id = "t7") {
        try {
            take(tile_id);
            return "";
        } catch (const RunFailure& failure) {
            return failure.what();
        }
    }

    fs::path root_;
    UniqueFd dir_fd_;
};

TEST_F(TileLockTest, SecondRunOfTheTileIsRefusedWhileOtherTilesProceed) {
    auto first = take();
    EXPECT_EQ(refusal(), "tile t7 is being written into " + dir().string() + " by another run");
    // Another tile's lock is its own.
    EXPECT_EQ(refusal("t8"), "");
    // A lock held by another process (flock is per open file) refuses too,
    // until it is let go.
    first.reset();
    EXPECT_FALSE(fs::exists(fs::symlink_status(lock_path())));
    const int other = ::open(lock_path().c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_NE(refusal().find("by another run"), std::string::npos);
    ::close(other);
    // A file whose holder is gone (a killed run leaves it) is reused.
    EXPECT_EQ(refusal(), "");
}

TEST_F(TileLockTest, LockFileIsPrivateAndGoneWhenTheRunEnds) {
    {
        auto lock = take();
        struct stat status {};
        ASSERT_EQ(::lstat(lock_path().c_str(), &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(status.st_mode & 0777, 0600u);
        EXPECT_EQ(status.st_size, 0);
    }
    EXPECT_TRUE(fs::is_empty(dir()));
}

}  // namespace
}  // namespace pt
