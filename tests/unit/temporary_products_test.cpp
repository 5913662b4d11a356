// Where a run keeps its products until they are complete, which leftovers a
// later run of the same tile may remove, planted links included, and how a
// finished product takes its final name.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "io/temporary_products.hpp"
#include "io/tile_lock.hpp"
#include "tile/tile.hpp"

namespace pt {
namespace {

namespace fs = std::filesystem;

TEST(TemporaryProducts, PrivateDirectoryNamesAreRecognisedForTheirTileOnly) {
    EXPECT_EQ(private_directory_template("t7", 4242), ".tmp-4242-t7.XXXXXX");
    EXPECT_TRUE(is_private_directory_name(".tmp-4242-t7.aB3xYz", "t7"));
    EXPECT_TRUE(is_private_directory_name(".tmp-1-40N_080W.000000", "40N_080W"));
    // A tile id with a dot in it is told apart by the fixed-length suffix.
    EXPECT_TRUE(is_private_directory_name(".tmp-9-t7.b.aB3xYz", "t7.b"));
    EXPECT_FALSE(is_private_directory_name(".tmp-9-t7.b.aB3xYz", "t7"));

    const char* not_ours[] = {
        ".tmp-4242-t8.aB3xYz",        // another tile
        ".tmp-4242-xt7.aB3xYz",       // a tile whose name ends like ours
        ".tmp-4242-t7.aB3xY",         // suffix too short
        ".tmp-4242-t7.aB3xYzz",       // suffix too long
        ".tmp-4242-t7.aB3x/z",        // not what mkdtemp puts there
        ".tmp-4242-t7_aB3xYz",        // no dot
        ".tmp-4242-TCC_2005_t7.img",  // an older version's temporary product
        ".tmp-0-t7.aB3xYz",           // not a pid
        ".tmp--t7.aB3xYz",           "tmp-4242-t7.aB3xYz", ".lock-t7",
    };
    for (const char* name : not_ours) EXPECT_FALSE(is_private_directory_name(name, "t7")) << name;
}

TEST(TemporaryProducts, OnlyTemporariesOfTheTileAreRecognised) {
    EXPECT_EQ(temporary_product_pid(".tmp-4242-TCC_2005_t7.img", "t7"), 4242);
    EXPECT_EQ(temporary_product_pid(".tmp-1-Loss_2060_40N_080W.img", "40N_080W"), 1);

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
    for (const char* name : not_ours)
        EXPECT_EQ(temporary_product_pid(name, "t7"), std::nullopt) << name;
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

// A fresh scratch directory, removed at the end of the test.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& name)
        : path_(fs::temp_directory_path() / (name + "_" + std::to_string(getpid()))) {
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(TemporaryProducts, StaleCleanupRemovesOnlyLeftoversOfDeadRunsOfTheTile) {
    const ScratchDir scratch("pt_stale");
    const fs::path dir = scratch.path() / "out";
    fs::create_directories(dir);
    const long dead = dead_pid();
    const long own = getpid();
    const long alive = getppid();
    auto touch = [&](const std::string& name) { write_text(dir / name, "x"); };
    const std::string stale1 = ".tmp-" + std::to_string(dead) + "-TCC_2005_t7.img";
    const std::string stale2 = ".tmp-" + std::to_string(dead) + "-Loss_2019_t7.img";
    const std::vector<std::string> kept = {
        ".tmp-" + std::to_string(own) + "-TCC_2005_t7.img",    // this run's own
        ".tmp-" + std::to_string(alive) + "-TCH_2005_t7.img",  // a live older run of the tile
        ".tmp-" + std::to_string(dead) + "-TCC_2005_t8.img",   // another tile
        "TCC_2005_t7.img",                                     // a finished product
        ".tmp-" + std::to_string(dead) + "-notes.txt",
    };
    touch(stale1);
    touch(stale2);
    for (const auto& name : kept) touch(name);

    UniqueFd fd = open_directory(dir.string());
    ASSERT_TRUE(fd.valid());
    remove_stale_temporaries(fd.get(), "t7");

    EXPECT_FALSE(fs::exists(dir / stale1));
    EXPECT_FALSE(fs::exists(dir / stale2));
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(dir / name)) << name;
}

TEST(TemporaryProducts, StaleCleanupRemovesPrivateDirectoriesWithoutFollowingLinks) {
    const ScratchDir scratch("pt_stale_private");
    const fs::path dir = scratch.path() / "out";
    const fs::path outside = scratch.path() / "outside";
    fs::create_directories(dir);
    fs::create_directories(outside / "tree");
    write_text(outside / "victim", "precious");
    write_text(outside / "tree" / "leaf", "precious");
    const long dead = dead_pid();

    // Private directories of the tile, whatever their pid: with the tile's
    // lock held no other run of it writes, so each is a leftover.
    const std::string stale = ".tmp-" + std::to_string(dead) + "-t7.aB3xYz";
    const std::string live_pid = ".tmp-" + std::to_string(getppid()) + "-t7.Qq0000";
    for (const auto& name : {stale, live_pid}) {
        fs::create_directories(dir / name / "nested");
        write_text(dir / name / "TCC_2000_t7.img", "partial");
        write_text(dir / name / "nested" / "deeper", "x");
        fs::create_symlink(outside / "victim", dir / name / "link_to_file");
        fs::create_symlink(outside / "tree", dir / name / "link_to_directory");
        ASSERT_EQ(mkfifo((dir / name / "fifo").c_str(), 0600), 0);
    }
    // Another tile's, and a link dressed as a private directory of the tile.
    const std::string other_tile = ".tmp-" + std::to_string(dead) + "-t8.aB3xYz";
    fs::create_directories(dir / other_tile);
    const std::string disguised = ".tmp-" + std::to_string(dead) + "-t7.zzzzzz";
    fs::create_symlink(outside / "tree", dir / disguised);
    // Older versions' leftovers of a dead run under a planted link, FIFO or
    // directory: the first two go as names, the directory is not theirs.
    const std::string old_link = ".tmp-" + std::to_string(dead) + "-TCC_2000_t7.img";
    const std::string old_fifo = ".tmp-" + std::to_string(dead) + "-TCH_2000_t7.img";
    const std::string old_dir = ".tmp-" + std::to_string(dead) + "-Loss_2000_t7.img";
    fs::create_symlink(outside / "victim", dir / old_link);
    ASSERT_EQ(mkfifo((dir / old_fifo).c_str(), 0600), 0);
    fs::create_directories(dir / old_dir);

    UniqueFd fd = open_directory(dir.string());
    ASSERT_TRUE(fd.valid());
    remove_stale_temporaries(fd.get(), "t7");

    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / stale)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / live_pid)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / old_link)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / old_fifo)));
    EXPECT_TRUE(fs::is_directory(dir / other_tile));
    EXPECT_TRUE(fs::is_symlink(dir / disguised));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir / old_dir)));
    EXPECT_EQ(read_text(outside / "victim"), "precious");
    EXPECT_EQ(read_text(outside / "tree" / "leaf"), "precious");
}

// A directory bind-mounted onto another for the length of a test.
class BindMount {
  public:
    BindMount(const fs::path& source, const fs::path& target) : target_(target) {
        mounted_ = ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (!mounted_) error_ = std::strerror(errno);
    }
    ~BindMount() {
        if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
    }
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

  private:
    fs::path target_;
    bool mounted_ = false;
    std::string error_;
};

// Someone's data bind-mounted into a dead run's private directory, or onto
// one, or into the run's own: the cleanup removes what is the run's and never
// a file of the mounted tree, which may be anyone's (here on the same file
// system, so only the mount tells them apart).
TEST(TemporaryProducts, CleanupNeverRemovesAnythingInAMountedDirectory) {
    const ScratchDir scratch("pt_mounted");
    const fs::path dir = scratch.path() / "out";
    const fs::path data = scratch.path() / "data";
    fs::create_directories(dir);
    fs::create_directories(data / "tree");
    write_text(data / "precious", "precious");
    write_text(data / "tree" / "leaf", "precious");
    const long dead = dead_pid();

    const std::string holding = ".tmp-" + std::to_string(dead) + "-t7.aB3xYz";
    const std::string mounted_on = ".tmp-" + std::to_string(dead) + "-t7.Mnt000";
    fs::create_directories(dir / holding / "nested" / "mnt");
    write_text(dir / holding / "TCC_2000_t7.img", "partial");
    write_text(dir / holding / "nested" / "TCH_2000_t7.img", "partial");
    fs::create_directories(dir / mounted_on);
    const BindMount inside(data, dir / holding / "nested" / "mnt");
    if (!inside.mounted()) {
        GTEST_SKIP() << "bind-mounting a directory was refused (" << inside.error()
                     << "); the mount case needs root";
    }
    const BindMount onto(data, dir / mounted_on);
    ASSERT_TRUE(onto.mounted()) << onto.error();

    UniqueFd fd = open_directory(dir.string());
    ASSERT_TRUE(fd.valid());
    remove_stale_temporaries(fd.get(), "t7");
    // The run's own private directory goes by the same code.
    std::unique_ptr<BindMount> in_own;
    fs::path made;
    {
        const PrivateDirectory own(fd.get(), "t7", "cannot");
        made = fs::read_symlink(own.gdal_path());
        fs::create_directories(made / "mnt");
        in_own = std::make_unique<BindMount>(data, made / "mnt");
        ASSERT_TRUE(in_own->mounted()) << in_own->error();
        write_text(made / "TCC_2000_t7.img", "partial");
    }
    EXPECT_FALSE(fs::exists(made / "TCC_2000_t7.img"));
    EXPECT_TRUE(fs::is_directory(made / "mnt"));

    EXPECT_EQ(read_text(data / "precious"), "precious");
    EXPECT_EQ(read_text(data / "tree" / "leaf"), "precious");
    // What was the dead run's own went; the directories holding the mount stay.
    EXPECT_FALSE(fs::exists(dir / holding / "TCC_2000_t7.img"));
    EXPECT_FALSE(fs::exists(dir / holding / "nested" / "TCH_2000_t7.img"));
    EXPECT_TRUE(fs::is_directory(dir / holding / "nested" / "mnt"));
    EXPECT_TRUE(fs::is_directory(dir / mounted_on));
}

TEST(TemporaryProducts, PrivateDirectoryIsPrivateAndGoesWithItsContent) {
    const ScratchDir scratch("pt_private");
    const fs::path dir = scratch.path() / "out";
    fs::create_directories(dir);
    write_text(scratch.path() / "victim", "precious");
    UniqueFd fd = open_directory(dir.string());
    ASSERT_TRUE(fd.valid());
    fs::path made;
    {
        const PrivateDirectory first(fd.get(), "t7", "cannot");
        const PrivateDirectory second(fd.get(), "t7", "cannot");
        made = fs::read_symlink(first.gdal_path());
        EXPECT_NE(made, fs::read_symlink(second.gdal_path()));
        EXPECT_EQ(made.parent_path(), dir);
        EXPECT_TRUE(is_private_directory_name(made.filename().string(), "t7"));
        EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all);
        write_text(fs::path(first.gdal_path()) / "TCC_2000_t7.img", "partial");
        EXPECT_EQ(read_text(made / "TCC_2000_t7.img"), "partial");
        fs::create_symlink(scratch.path() / "victim", made / "link");
    }
    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_EQ(read_text(scratch.path() / "victim"), "precious");

    // Once made, the private directory is reached through the directory
    // opened, not through output_dir's path: whatever that path comes to
    // lead to (here another directory put in its place), files go into the
    // directory the run made.
    {
        const PrivateDirectory writing(fd.get(), "t7", "cannot");
        const std::string name = fs::read_symlink(writing.gdal_path()).filename().string();
        fs::rename(dir, scratch.path() / "moved");
        fs::create_directories(dir / name);
        write_text(fs::path(writing.gdal_path()) / "TCH_2000_t7.img", "product");
        EXPECT_TRUE(fs::is_empty(dir / name));
        EXPECT_EQ(read_text(scratch.path() / "moved" / name / "TCH_2000_t7.img"), "product");
    }
    EXPECT_TRUE(fs::is_empty(scratch.path() / "moved"));
    fs::remove_all(dir);
    fs::rename(scratch.path() / "moved", dir);

    // Made when writing starts: an output directory that is gone by then
    // gives the caller's line.
    UniqueFd missing_fd = open_directory(dir.string());
    fs::remove(dir);
    try {
        const PrivateDirectory none(missing_fd.get(), "t7", "x cannot be created");
        ADD_FAILURE() << "made a private directory in a missing directory";
    } catch (const RunFailure& failure) {
        EXPECT_STREQ(failure.what(), "x cannot be created");
    }
}

TEST(TemporaryProducts, HandedOverProductsTakeTheirFinalNamesAndNothingElseStays) {
    const ScratchDir scratch("pt_products");
    const fs::path dir = scratch.path() / "out";
    const std::string stale = ".tmp-" + std::to_string(dead_pid()) + "-t7.aB3xYz";
    fs::create_directories(dir / stale);
    write_text(dir / "TCC_2000_t7.img", "old");
    // A directory planted under a final name cannot be replaced by a rename.
    fs::create_directories(dir / "Loss_2000_t7.img");
    const auto final_path = [&](const std::string& name) { return (dir / name).string(); };
    {
        TemporaryProducts products(dir.string(), "t7", "x cannot be created", Flushing::to_disk);
        EXPECT_TRUE(fs::exists(dir / tile_lock_name("t7")));
        EXPECT_FALSE(fs::exists(dir / stale));
        const std::string names[] = {"TCC_2000_t7.img", "TCH_2000_t7.img", "Loss_2000_t7.img"};
        for (std::size_t index = 0; index < 3; ++index) {
            write_text(products.writing_path(names[index]), "new " + names[index]);
            products.hand_over(index, final_path(names[index]), names[index]);
        }
        // A product that was never written there cannot be handed over.
        EXPECT_THROW(products.hand_over(3, final_path("TCC_2001_t7.img"), "TCC_2001_t7.img"),
                     RunFailure);
        products.wait();
        try {
            products.commit();
            ADD_FAILURE() << "a product that could not take its name went unreported";
        } catch (const RunFailure& failure) {
            EXPECT_EQ(failure.what(),
                      final_path("Loss_2000_t7.img") + " cannot be renamed into place");
        }
    }
    EXPECT_EQ(read_text(dir / "TCC_2000_t7.img"), "new TCC_2000_t7.img");
    EXPECT_EQ(read_text(dir / "TCH_2000_t7.img"), "new TCH_2000_t7.img");
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left,
              (std::vector<std::string>{"Loss_2000_t7.img", "TCC_2000_t7.img", "TCH_2000_t7.img"}));
}

}  // namespace
}  // namespace pt
