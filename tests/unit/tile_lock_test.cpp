// The per-tile lock: one run at a time writes a tile into a directory, and
// the lock file cannot be turned against the run that opens it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

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

// In a directory shared by several users, the tile's lock file may be
// another user's, left by their run: the line says so and names the lock
// file, not the first product, which is not the trouble. A directory that
// takes no new file still gives the caller's line.
TEST_F(TileLockTest, AnotherUsersLockFileIsNamedWhenItCannotBeOpened) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to run as another user beside a file of root's";
    }
    std::ofstream(lock_path()).close();
    ASSERT_EQ(::chmod(lock_path().c_str(), 0600), 0);
    int lines[2];
    ASSERT_EQ(::pipe(lines), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(lines[0]);
        // nobody: may search the directory, may neither open root's file
        // nor make a new one there.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(125);
        const std::string said = refusal("t7") + "\n" + refusal("t9") + "\n";
        const bool written =
            ::write(lines[1], said.data(), said.size()) == static_cast<ssize_t>(said.size());
        _exit(written ? 0 : 1);
    }
    ::close(lines[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = ::read(lines[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
    ::close(lines[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 125) GTEST_SKIP() << "could not become another user";
    EXPECT_EQ(said, lock_path().string() + " cannot be opened: it belongs to another user\n" +
                        "unusable\n");
}

}  // namespace
}  // namespace pt
