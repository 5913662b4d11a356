// The program on a cluster where jobs are killed at their time limit, disks
// fill up, input files arrive cut short and memory is capped: what it leaves
// in the output directory and what it says, run as a scheduler runs it.
#include <fcntl.h>
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "e2e_support.hpp"
#include "run/memory_budget.hpp"
#include "tile/tile.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define PT_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PT_UNDER_ASAN 1
#endif
#endif

namespace pt::e2e {
namespace {

using Bytes = std::vector<unsigned char>;
constexpr int SIZE = TILE_SIZE;
// Long enough for any honest run of the test tile on a loaded machine; a run
// that blocks is killed then and fails its test instead of stalling the suite.
constexpr unsigned RUN_DEADLINE_SECONDS = 120;

// What a run keeps beside the products while it writes: its private
// directory (".tmp-<pid>-<tile>.XXXXXX"; older versions: ".tmp-<pid>-<product>")
// and the tile's lock file.
bool is_leftover(const std::string& name) {
    return name.rfind(".tmp-", 0) == 0 || name.rfind(".lock-", 0) == 0;
}

// Every name in a directory, of whatever type, sorted.
std::vector<std::string> entry_names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> temporaries(const fs::path& dir) {
    std::vector<std::string> names = entry_names(dir);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& n) { return !is_leftover(n); }),
                names.end());
    return names;
}

std::vector<std::string> products(const fs::path& dir) {
    std::vector<std::string> names = file_names(dir);
    names.erase(std::remove_if(names.begin(), names.end(), is_leftover), names.end());
    return names;
}

std::size_t line_count(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Reads band 1 of a product, or says why it cannot.
std::string read_product(const fs::path& path, Bytes& bytes) {
    GDALDataset* ds = GDALDataset::FromHandle(GDALOpen(path.c_str(), GA_ReadOnly));
    if (ds == nullptr) return "does not open";
    std::string problem;
    if (ds->GetRasterXSize() != SIZE || ds->GetRasterYSize() != SIZE || ds->GetRasterCount() != 1) {
        problem = "has the wrong shape";
    } else {
        bytes.assign(static_cast<std::size_t>(SIZE) * SIZE, 0);
        if (ds->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, SIZE, SIZE, bytes.data(), SIZE, SIZE,
                                           GDT_Byte, 0, 0, nullptr) != CE_None) {
            problem = "cannot be read";
        }
    }
    GDALClose(GDALDataset::ToHandle(ds));
    return problem;
}

// Writes a one-band GeoTIFF of `type` holding `bytes`, converted by GDAL.
void write_geotiff(const fs::path& path, GDALDataType type, const Bytes& bytes) {
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        path.c_str(), SIZE, SIZE, 1, type, nullptr);
    ASSERT_NE(ds, nullptr) << path;
    EXPECT_EQ(ds->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, SIZE, SIZE,
                                             const_cast<unsigned char*>(bytes.data()), SIZE, SIZE,
                                             GDT_Byte, 0, 0, nullptr),
              CE_None);
    GDALClose(GDALDataset::ToHandle(ds));
}

// Replaces a link of a linked tile copy by a file of its own.
void replace_layer(const fs::path& layer, const std::function<void(const fs::path&)>& write) {
    fs::remove(layer);
    write(layer);
}

// A tmpfs mounted on a directory for the length of a test.
class TmpfsMount {
  public:
    TmpfsMount(const fs::path& dir, unsigned long flags, const std::string& options) : dir_(dir) {
        mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", flags, options.c_str()) == 0;
        if (!mounted_) error_ = std::strerror(errno);
    }
    ~TmpfsMount() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

  private:
    fs::path dir_;
    bool mounted_ = false;
    std::string error_;
};

// One full-size tile (last year 2001) and the products of an undisturbed
// run of it, shared by the tests of one test program.
class FaultTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        GDALAllRegister();
        tile_ = new GeneratedTile(generate_tile(scratch_dir("fault_tile"), "t7", 2001, 11));
    }
    static void TearDownTestSuite() {
        delete tile_;
        delete baseline_;
        tile_ = nullptr;
        baseline_ = nullptr;
    }

    static ProgramResult run(const std::vector<std::string>& args) {
        return run_program(PT_PROCESS_TILE, args);
    }

    // File name -> band bytes of the undisturbed run's products.
    static const std::map<std::string, Bytes>& baseline() {
        if (baseline_ == nullptr) {
            const fs::path out = scratch_dir("fault_baseline");
            const ProgramResult r = run(tile_arguments(*tile_, out));
            EXPECT_EQ(r.exit_status, 0) << r.out;
            baseline_ = new std::map<std::string, Bytes>;
            for (const auto& name : file_names(out)) {
                Bytes bytes;
                EXPECT_EQ(read_product(out / name, bytes), "") << name;
                (*baseline_)[name] = std::move(bytes);
            }
            EXPECT_EQ(baseline_->size(), 6u);
            // Neither the lock file nor the private directory outlives the run.
            EXPECT_EQ(entry_names(out), file_names(out));
            fs::remove_all(out);
        }
        return *baseline_;
    }

    // A run of `tile` into a new directory `out` succeeds and writes every
    // product of the undisturbed run, byte for byte.
    static void expect_undisturbed_run(const GeneratedTile& tile, const fs::path& out) {
        fs::create_directories(out);
        const ProgramResult r = run_with_deadline(tile_arguments(tile, out));
        ASSERT_EQ(r.exit_status, 0) << r.out;
        EXPECT_EQ(products(out).size(), baseline().size());
        expect_only_complete_products(out);
    }

    // Every file under a product name in `dir` opens, has the tile's shape,
    // reads, and equals the undisturbed run's product.
    static void expect_only_complete_products(const fs::path& dir) {
        const auto& expected = baseline();
        for (const auto& name : products(dir)) {
            const auto it = expected.find(name);
            if (it == expected.end()) {
                ADD_FAILURE() << "unexpected file " << name;
                continue;
            }
            Bytes bytes;
            const std::string problem = read_product(dir / name, bytes);
            EXPECT_EQ(problem, "") << name;
            if (problem.empty()) {
                EXPECT_TRUE(bytes == it->second) << name << " differs";
            }
        }
    }

    // A run that takes longer than any run of this tile should is ended by
    // SIGALRM, so a hang fails the test (exit status -1) instead of stalling it.
    static ProgramResult run_with_deadline(const std::vector<std::string>& args) {
        return run_program(PT_PROCESS_TILE, args, deadline(RUN_DEADLINE_SECONDS));
    }

    static std::vector<std::string> baseline_names() {
        std::vector<std::string> names;
        for (const auto& [name, bytes] : baseline()) names.push_back(name);
        return names;
    }

    static GeneratedTile* tile_;
    static std::map<std::string, Bytes>* baseline_;
};
GeneratedTile* FaultTest::tile_ = nullptr;
std::map<std::string, Bytes>* FaultTest::baseline_ = nullptr;

// Starts the program with its output discarded; returns its pid.
pid_t start_quietly(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv = exec_arguments(program, args);
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, STDIN_FILENO);
            dup2(devnull, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

TEST_F(FaultTest, KilledAtAnyMomentOfWritingLeavesOnlyCompleteProductsAndARerunRecovers) {
    baseline();
    const fs::path root = scratch_dir("killed");
    std::random_device seed_source;
    const unsigned seed = seed_source();
    std::mt19937 rng(seed);
    auto between = [&](int lo, int hi) { return std::uniform_int_distribution<>(lo, hi)(rng); };
    // Milliseconds from the first file in the output directory to the kill:
    // at once, early, midway and late in writing the six products.
    const std::vector<int> delays = {0, between(1, 40), between(40, 150), between(150, 400),
                                     between(400, 900)};

    int killed_while_running = 0;
    fs::path with_leftovers;
    for (std::size_t i = 0; i < delays.size(); ++i) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", kill " + std::to_string(delays[i]) +
                     " ms after the first file");
        const fs::path out = root / ("out" + std::to_string(i));
        fs::create_directories(out);
        const pid_t pid = start_quietly(PT_PROCESS_TILE, tile_arguments(*tile_, out));
        ASSERT_GT(pid, 0);

        int status = 0;
        bool exited = false;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (fs::is_empty(out) && std::chrono::steady_clock::now() < give_up) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!exited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delays[i]));
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        if (WIFSIGNALED(status)) ++killed_while_running;
        for (const auto& name : temporaries(out)) {
            if (fs::is_directory(fs::symlink_status(out / name))) with_leftovers = out;
        }

        expect_only_complete_products(out);
    }
    // The kills did land while products were being written.
    EXPECT_GT(killed_while_running, 0);
    ASSERT_FALSE(with_leftovers.empty()) << "no kill left a private directory behind";

    // A rerun into a directory holding a killed run's leftovers (its private
    // directory, with partial products in it, and its lock file, whose lock
    // the kernel released) replaces and completes the products and clears
    // the dead run's leftovers.
    const ProgramResult r = run(tile_arguments(*tile_, with_leftovers));
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(entry_names(with_leftovers), baseline_names());
    expect_only_complete_products(with_leftovers);
}

TEST_F(FaultTest, RunFailingBeforeWritingLeavesTheOutputDirectoryAsItWas) {
    const fs::path root = scratch_dir("early_failure");
    const GeneratedTile copy = link_tile(*tile_, root / "tile");
    fs::remove(copy.root / "input/t7/t7_TCH_2001.tif");
    const fs::path out = root / "out";
    fs::create_directories(out);
    // A dead run's leftover and an older product: only a run that gets as far
    // as writing may clear the one and replace the other.
    const pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string leftover = ".tmp-" + std::to_string(dead) + "-TCC_2000_t7.img";
    std::ofstream(out / leftover) << "partial";
    std::ofstream(out / "TCC_2000_t7.img") << "older product";

    const ProgramResult r = run(tile_arguments(copy, out));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, (copy.root / "input/t7/t7_TCH_2001.tif").string() + " not found\n");
    EXPECT_EQ(entry_names(out), (std::vector<std::string>{leftover, "TCC_2000_t7.img"}));
    EXPECT_EQ(fs::file_size(out / "TCC_2000_t7.img"), std::string("older product").size());
}

TEST_F(FaultTest, FullDiskFailsNamingTheProductAndLeavesNoPartialFile) {
    baseline();
    const fs::path out = scratch_dir("full_disk") / "out";
    fs::create_directories(out);
    // Room for two of the six products: some complete, then the disk is full.
    TmpfsMount small(out, MS_NOSUID | MS_NODEV, "size=40m");
    if (!small.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs was refused (" << small.error()
                     << "); the full-disk case needs root";
    }
    const ProgramResult r = run(tile_arguments(*tile_, out));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(line_count(r.out), 1u) << r.out;
    EXPECT_EQ(r.out.rfind(out.string() + "/", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("_t7.img cannot be written\n"), std::string::npos) << r.out;
    EXPECT_TRUE(temporaries(out).empty());
    EXPECT_LT(products(out).size(), 6u);
    expect_only_complete_products(out);
}

TEST_F(FaultTest, ReadOnlyOutputDirectoryFailsBeforeAnyProduct) {
    const fs::path out = scratch_dir("read_only") / "out";
    fs::create_directories(out);
    // Root ignores permission bits; a read-only mount stops root as well.
    TmpfsMount read_only(out, MS_RDONLY | MS_NOSUID | MS_NODEV, "size=1m");
    if (!read_only.mounted()) {
        GTEST_SKIP() << "mounting a read-only tmpfs was refused (" << read_only.error()
                     << "); the read-only case needs root";
    }
    const ProgramResult r = run(tile_arguments(*tile_, out));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, out.string() + "/TCC_2000_t7.img cannot be created\n");
    EXPECT_TRUE(entry_names(out).empty());
}

// ---- hostile output directory ---------------------------------------------

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Files outside the output directory that planted links point at: they must
// come out of any run as they went in, and nothing may appear beside them.
class OutsideFiles {
  public:
    explicit OutsideFiles(const fs::path& dir) : dir_(dir) {
        fs::create_directories(dir_ / "tree");
        std::ofstream(victim()) << "precious";
        std::ofstream(dir_ / "tree" / "leaf") << "precious";
        victim_time_ = fs::last_write_time(victim());
        before_ = listing();
    }
    fs::path victim() const { return dir_ / "victim"; }
    fs::path tree() const { return dir_ / "tree"; }
    // Where a dangling link points: a write through it would create it.
    fs::path absent() const { return dir_ / "absent"; }

    void expect_untouched() const {
        EXPECT_EQ(read_text(victim()), "precious");
        EXPECT_EQ(fs::last_write_time(victim()), victim_time_);
        EXPECT_EQ(read_text(dir_ / "tree" / "leaf"), "precious");
        EXPECT_EQ(listing(), before_);
    }

  private:
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(dir_)) {
            names.push_back(fs::relative(e.path(), dir_).string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir_;
    fs::file_time_type victim_time_;
    std::vector<std::string> before_;
};

// The pid the next process will most likely get.
long next_pid() {
    std::ifstream last("/proc/sys/kernel/ns_last_pid");
    long pid = 0;
    if (last >> pid) return pid + 1;
    return static_cast<long>(getpid()) + 1;
}

TEST_F(FaultTest, LinksPlantedAtPredictableNamesAreNeverWrittenThrough) {
    const auto expected = baseline_names();
    const fs::path root = scratch_dir("planted_links");
    const OutsideFiles outside(root / "outside");
    const fs::path out = root / "out";
    fs::create_directories(out);
    // The temporary names older versions wrote under, for the pids the run
    // and its threads are about to get, pointing at a file, at nothing and
    // at a directory outside.
    const fs::path targets[] = {outside.victim(), outside.absent(), outside.tree()};
    const long first = next_pid();
    int planted = 0;
    for (long pid = first; pid < first + 300; ++pid) {
        for (const auto& name : expected) {
            fs::create_symlink(targets[planted++ % 3],
                               out / (".tmp-" + std::to_string(pid) + "-" + name));
        }
    }
    // And the final names themselves.
    fs::create_symlink(outside.victim(), out / "TCC_2000_t7.img");
    fs::create_symlink(outside.absent(), out / "TCH_2000_t7.img");
    fs::create_symlink(outside.tree(), out / "Loss_2001_t7.img");

    const ProgramResult r = run_with_deadline(tile_arguments(*tile_, out));
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(r.out, "");
    // Each final name is now a product of its own, not a link.
    EXPECT_EQ(products(out), expected);
    for (const auto& name : expected) EXPECT_FALSE(fs::is_symlink(out / name)) << name;
    expect_only_complete_products(out);
    outside.expect_untouched();
    // What is left is only planted links the cleanup may not judge stale
    // (a live process has the pid); no lock file, no private directory.
    for (const auto& name : temporaries(out)) {
        EXPECT_TRUE(fs::is_symlink(out / name)) << name;
    }
}

TEST_F(FaultTest, PlantedLinkFifoOrDirectoryAtARunsNamesFailsInOneLineOrIsReplaced) {
    const auto expected = baseline_names();
    const fs::path root = scratch_dir("planted_names");
    const OutsideFiles outside(root / "outside");
    enum class Kind { link_to_file, dangling_link, fifo, directory };
    const char* const LOCK_IN_THE_WAY =
        ".lock-t7 is in the way of the tile's lock: not a regular file";
    const struct Case {
        const char* name;
        Kind kind;
        const char* line;  // after "<out>/"; empty: a clean run
    } cases[] = {
        {".lock-t7", Kind::link_to_file, LOCK_IN_THE_WAY},
        {".lock-t7", Kind::dangling_link, LOCK_IN_THE_WAY},
        {".lock-t7", Kind::fifo, LOCK_IN_THE_WAY},
        {".lock-t7", Kind::directory, LOCK_IN_THE_WAY},
        {"TCH_2001_t7.img", Kind::fifo, ""},
        {"Loss_2000_t7.img", Kind::directory, "Loss_2000_t7.img cannot be renamed into place"},
    };
    int index = 0;
    for (const Case& c : cases) {
        const fs::path out = root / ("out" + std::to_string(index++));
        fs::create_directories(out);
        SCOPED_TRACE(std::string(c.name) + " planted as kind " +
                     std::to_string(static_cast<int>(c.kind)));
        const fs::path planted = out / c.name;
        switch (c.kind) {
            case Kind::link_to_file:
                fs::create_symlink(outside.victim(), planted);
                break;
            case Kind::dangling_link:
                fs::create_symlink(outside.absent(), planted);
                break;
            case Kind::fifo:
                ASSERT_EQ(mkfifo(planted.c_str(), 0600), 0);
                break;
            case Kind::directory:
                fs::create_directories(planted);
                break;
        }
        const ProgramResult r = run_with_deadline(tile_arguments(*tile_, out));
        if (std::string(c.line).empty()) {
            EXPECT_EQ(r.exit_status, 0) << r.out;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(entry_names(out), expected);
        } else {
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_EQ(r.out, (out / c.line).string() + "\n");
            // The planted entry stays as it was; of the run only complete
            // products may remain.
            EXPECT_TRUE(fs::exists(fs::symlink_status(planted)));
            for (const auto& name : temporaries(out)) EXPECT_EQ(name, c.name);
        }
        expect_only_complete_products(out);
        outside.expect_untouched();
    }
}

// A link copy of `tile` under another tile id, so two tiles of identical
// content can be written into one directory.
GeneratedTile link_tile_as(const GeneratedTile& tile, const fs::path& root,
                           const std::string& tile_id) {
    GeneratedTile copy{root, tile_id, tile.last_year};
    for (const auto& entry : fs::recursive_directory_iterator(tile.root)) {
        if (entry.is_directory()) continue;
        std::string relative = fs::relative(entry.path(), tile.root).string();
        for (std::size_t at; (at = relative.find(tile.tile_id)) != std::string::npos;) {
            relative.replace(at, tile.tile_id.size(), tile_id);
        }
        fs::create_directories((root / relative).parent_path());
        fs::create_symlink(fs::absolute(entry.path()), root / relative);
    }
    return copy;
}

// The lock a run holds while it writes tile t7 into `out`, taken by the
// test itself so that "while the first run writes" lasts as long as needed.
class HeldTileLock {
  public:
    explicit HeldTileLock(const fs::path& out) : path_(out / ".lock-t7") {
        fd_ = ::open(path_.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
    // Lets go as a run does: the name first, then the lock.
    ~HeldTileLock() {
        ::unlink(path_.c_str());
        if (fd_ >= 0) ::close(fd_);
    }
    HeldTileLock(const HeldTileLock&) = delete;
    HeldTileLock& operator=(const HeldTileLock&) = delete;
    bool held() const { return held_; }

  private:
    fs::path path_;
    int fd_ = -1;
    bool held_ = false;
};

TEST_F(FaultTest, SecondRunOfATileBeingWrittenIsRefusedWhileOtherTilesProceed) {
    const auto expected = baseline_names();
    const fs::path root = scratch_dir("second_run");
    const fs::path out = root / "out";
    fs::create_directories(out);
    const ProgramResult first = run(tile_arguments(*tile_, out));
    ASSERT_EQ(first.exit_status, 0) << first.out;
    std::map<std::string, fs::file_time_type> written;
    for (const auto& name : expected) written[name] = fs::last_write_time(out / name);

    {
        const HeldTileLock lock(out);
        ASSERT_TRUE(lock.held());
        const ProgramResult second = run_with_deadline(tile_arguments(*tile_, out));
        EXPECT_EQ(second.exit_status, 1);
        EXPECT_EQ(second.out,
                  "tile t7 is being written into " + out.string() + " by another run\n");
        // The first run's products are neither replaced nor touched.
        for (const auto& name : expected) {
            EXPECT_EQ(fs::last_write_time(out / name), written[name]) << name;
        }
        expect_only_complete_products(out);
        // The refused run leaves nothing; the lock file is the holder's.
        EXPECT_EQ(temporaries(out), std::vector<std::string>{".lock-t7"});

        // Another tile into the same directory meanwhile goes ahead.
        const GeneratedTile other = link_tile_as(*tile_, root / "t8", "t8");
        const ProgramResult r = run_with_deadline(tile_arguments(other, out));
        EXPECT_EQ(r.exit_status, 0) << r.out;
        for (const auto& name : expected) {
            const std::string t8_name = name.substr(0, name.size() - 6) + "t8.img";
            Bytes bytes;
            ASSERT_EQ(read_product(out / t8_name, bytes), "") << t8_name;
            EXPECT_TRUE(bytes == baseline().at(name)) << t8_name;
        }
    }
    EXPECT_EQ(entry_names(out).size(), 12u);
    EXPECT_TRUE(temporaries(out).empty());
}

TEST_F(FaultTest, TwoRunsOfATileStartedTogetherLeaveOneRunsCompleteProducts) {
    const auto expected = baseline_names();
    const fs::path out = scratch_dir("two_runs") / "out";
    fs::create_directories(out);
    // Whichever reaches writing second either finds the lock held (status 1,
    // the lock line) or the first done (status 0, its products replaced).
    auto a = std::async(std::launch::async,
                        [&] { return run_with_deadline(tile_arguments(*tile_, out)); });
    auto b = std::async(std::launch::async,
                        [&] { return run_with_deadline(tile_arguments(*tile_, out)); });
    const ProgramResult results[] = {a.get(), b.get()};
    int succeeded = 0;
    for (const ProgramResult& r : results) {
        if (r.exit_status == 0) {
            ++succeeded;
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_EQ(r.out, "tile t7 is being written into " + out.string() + " by another run\n");
        }
    }
    EXPECT_GE(succeeded, 1);
    EXPECT_EQ(entry_names(out), expected);
    expect_only_complete_products(out);
}

TEST_F(FaultTest, TruncatedOrCorruptInputLayerEndsTheRunNamingIt) {
    struct Case {
        const char* layer;  // relative to the tile root
        const char* damage;
    };
    const Case cases[] = {
        {"input/t7/t7_TCC_2000.tif", "cut in half"},
        {"input/t7/t7_loss_2001.tif", "random bytes"},
        {"datamask/t7_datamask.tif", "cut after its header"},
    };
    std::mt19937 rng(5);
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.layer) + " " + c.damage);
        const fs::path root = scratch_dir("damaged_" + std::to_string(index++));
        const GeneratedTile copy = link_tile(*tile_, root / "tile");
        const fs::path layer = copy.root / c.layer;
        const fs::path original = tile_->root / c.layer;
        const auto size = static_cast<std::size_t>(fs::file_size(original));
        Bytes content(size);
        std::ifstream(original, std::ios::binary)
            .read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(size));
        if (std::string(c.damage) == "cut in half") {
            content.resize(size / 2);
        } else if (std::string(c.damage) == "random bytes") {
            for (auto& b : content) b = static_cast<unsigned char>(rng());
        } else {
            content.resize(1024);
        }
        replace_layer(layer, [&](const fs::path& p) {
            std::ofstream(p, std::ios::binary)
                .write(reinterpret_cast<const char*>(content.data()),
                       static_cast<std::streamsize>(content.size()));
        });
        const fs::path out = root / "out";
        fs::create_directories(out);
        const ProgramResult r = run(tile_arguments(copy, out));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(line_count(r.out), 1u) << r.out;
        EXPECT_EQ(r.out.rfind(layer.string() + " ", 0), 0u) << r.out;
        EXPECT_TRUE(entry_names(out).empty());
    }
}

TEST_F(FaultTest, LayersOfOtherDataTypesAreReadAsTheirByteValues) {
    const auto& expected = baseline();
    const fs::path root = scratch_dir("data_types");
    const GeneratedTile copy = link_tile(*tile_, root / "tile");
    const std::pair<const char*, GDALDataType> layers[] = {
        {"input/t7/t7_TCC_2000.tif", GDT_UInt16},
        {"input/t7/t7_TCH_2001.tif", GDT_Float32},
        {"input/t7/t7_loss_2000.tif", GDT_Int16},
        {"datamask/t7_datamask.tif", GDT_UInt16},
    };
    for (const auto& layer : layers) {
        const char* name = layer.first;
        const GDALDataType type = layer.second;
        const Bytes values = read_band(tile_->root / name);
        replace_layer(copy.root / name, [&](const fs::path& p) { write_geotiff(p, type, values); });
        GDALDataset* ds =
            GDALDataset::FromHandle(GDALOpen((copy.root / name).c_str(), GA_ReadOnly));
        ASSERT_NE(ds, nullptr);
        EXPECT_EQ(ds->GetRasterBand(1)->GetRasterDataType(), type) << name;
        GDALClose(GDALDataset::ToHandle(ds));
    }
    const fs::path out = root / "out";
    fs::create_directories(out);
    const ProgramResult r = run(tile_arguments(copy, out));
    ASSERT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(products(out).size(), expected.size());
    expect_only_complete_products(out);
}

TEST_F(FaultTest, DatamaskWithoutAnyOneGivesZeroCoverAndHeightAndTheThinnedLoss) {
    const auto& expected = baseline();
    const fs::path root = scratch_dir("empty_datamask");
    const GeneratedTile copy = link_tile(*tile_, root / "tile");
    // Every other datamask value: 0 (no data) and 2 (water), never 1.
    Bytes mask = read_band(tile_->root / "datamask/t7_datamask.tif");
    for (auto& m : mask) m = m == 1 ? 2 : m;
    replace_layer(copy.root / "datamask/t7_datamask.tif",
                  [&](const fs::path& p) { write_geotiff(p, GDT_Byte, mask); });
    const fs::path out = root / "out";
    fs::create_directories(out);
    const ProgramResult r = run(tile_arguments(copy, out));
    ASSERT_EQ(r.exit_status, 0) << r.out;
    ASSERT_EQ(products(out).size(), expected.size());
    for (const auto& name : products(out)) {
        Bytes bytes;
        ASSERT_EQ(read_product(out / name, bytes), "") << name;
        if (name.rfind("Loss_", 0) == 0) {
            // Thinning does not look at the datamask.
            EXPECT_TRUE(bytes == expected.at(name)) << name;
        } else {
            EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) {
                return b == 0;
            })) << name;
        }
    }
}

// ---- hostile input layers -----------------------------------------------

// An address-space limit just above what the memory check asks of a run
// with `args`: one refused run under a low limit tells the need and what the
// process maps already. Nothing when the check does not answer as expected.
std::optional<uint64_t> address_space_just_above_the_check(const std::vector<std::string>& args) {
    constexpr uint64_t MIB = 1ull << 20;
    constexpr uint64_t probe = 256 * MIB;
    const ProgramResult r = run_program(PT_PROCESS_TILE, args, [] {
        const rlimit cap{probe, probe};
        setrlimit(RLIMIT_AS, &cap);
    });
    unsigned long long need_mib = 0, left_mib = 0;
    if (std::sscanf(r.out.c_str(),
                    "not enough memory for the tile: it needs %llu MiB, the address-space limit "
                    "(ulimit -v) leaves %llu MiB",
                    &need_mib, &left_mib) != 2) {
        ADD_FAILURE() << "unexpected answer under a 256 MiB address-space limit: " << r.out;
        return std::nullopt;
    }
    const uint64_t mapped_already = probe - left_mib * MIB;
    return mapped_already + need_mib * MIB + 16 * MIB;
}

ProgramResult run_under_address_space_limit(const std::vector<std::string>& args, uint64_t limit) {
    return run_program(PT_PROCESS_TILE, args, [limit] {
        const rlimit cap{limit, limit};
        setrlimit(RLIMIT_AS, &cap);
        alarm(RUN_DEADLINE_SECONDS);
    });
}

// Writes `source` again as a GeoTIFF with the given creation options.
void write_geotiff_copy(const fs::path& source, const fs::path& target,
                        const std::vector<std::string>& options) {
    GDALDataset* src = GDALDataset::FromHandle(GDALOpen(source.c_str(), GA_ReadOnly));
    ASSERT_NE(src, nullptr) << source;
    std::vector<const char*> option_list;
    for (const auto& o : options) option_list.push_back(o.c_str());
    option_list.push_back(nullptr);
    GDALDataset* copy = GetGDALDriverManager()->GetDriverByName("GTiff")->CreateCopy(
        target.c_str(), src, FALSE, const_cast<char**>(option_list.data()), nullptr, nullptr);
    ASSERT_NE(copy, nullptr) << target;
    GDALClose(GDALDataset::ToHandle(copy));
    GDALClose(GDALDataset::ToHandle(src));
}

// Where strip `index` of band 1 lies in the file, as GDAL's TIFF metadata says.
struct StoredStrip {
    uint64_t offset = 0;
    uint64_t size = 0;
};
StoredStrip stored_strip(const fs::path& layer, int index) {
    GDALDataset* ds = GDALDataset::FromHandle(GDALOpen(layer.c_str(), GA_ReadOnly));
    EXPECT_NE(ds, nullptr) << layer;
    if (ds == nullptr) return {};
    GDALRasterBand* band = ds->GetRasterBand(1);
    const std::string n = std::to_string(index);
    const char* offset = band->GetMetadataItem(("BLOCK_OFFSET_0_" + n).c_str(), "TIFF");
    const char* size = band->GetMetadataItem(("BLOCK_SIZE_0_" + n).c_str(), "TIFF");
    StoredStrip strip;
    if (offset != nullptr && size != nullptr) {
        strip = {std::stoull(offset), std::stoull(size)};
    }
    GDALClose(GDALDataset::ToHandle(ds));
    return strip;
}

void zero_bytes(const fs::path& file, uint64_t offset, uint64_t count) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    const std::string zeros(count, '\0');
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    ASSERT_TRUE(f.good()) << file;
}

// What GDAL itself says while reading band 1 of a layer whole.
struct GdalVerdict {
    bool call_failed = false;
    int warnings = 0;
    int errors = 0;
};
GdalVerdict read_with_gdal(const fs::path& layer) {
    GdalVerdict verdict;
    CPLPushErrorHandlerEx(
        [](CPLErr type, CPLErrorNum, const char*) {
            auto* v = static_cast<GdalVerdict*>(CPLGetErrorHandlerUserData());
            if (type == CE_Warning) ++v->warnings;
            if (type >= CE_Failure) ++v->errors;
        },
        &verdict);
    GDALDataset* ds = GDALDataset::FromHandle(GDALOpen(layer.c_str(), GA_ReadOnly));
    if (ds == nullptr) {
        verdict.call_failed = true;
    } else {
        Bytes bytes(static_cast<std::size_t>(SIZE) * SIZE);
        verdict.call_failed =
            ds->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, SIZE, SIZE, bytes.data(), SIZE, SIZE,
                                           GDT_Byte, 0, 0, nullptr) != CE_None;
        GDALClose(GDALDataset::ToHandle(ds));
    }
    CPLPopErrorHandler();
    return verdict;
}

void expect_one_line_failure(const ProgramResult& r, const std::string& line, const fs::path& out) {
    EXPECT_EQ(r.exit_status, 1) << "a status of -1 means the run was killed or hung";
    EXPECT_EQ(r.out, line + "\n");
    EXPECT_TRUE(file_names(out).empty());
}

TEST_F(FaultTest, DamagedJpegStripThatGdalOnlyWarnsAboutEndsTheRunNamingTheLayer) {
    const fs::path root = scratch_dir("damaged_jpeg");
    const GeneratedTile copy = link_tile(*tile_, root / "tile");
    const fs::path layer = copy.root / "input/t7/t7_TCC_2001.tif";
    fs::remove(layer);
    write_geotiff_copy(tile_->root / "input/t7/t7_TCC_2001.tif", layer, {"COMPRESS=JPEG"});

    // Intact, the JPEG layer is read (lossy, so its products are not compared).
    const fs::path intact_out = root / "intact_out";
    fs::create_directories(intact_out);
    const ProgramResult intact = run_with_deadline(tile_arguments(copy, intact_out));
    EXPECT_EQ(intact.exit_status, 0) << intact.out;

    // Zeros over the middle half of a strip halfway down: libjpeg reports a
    // premature end of data as a warning and GDAL's read call succeeds.
    const StoredStrip strip = stored_strip(layer, 120);
    ASSERT_GT(strip.size, 64u);
    zero_bytes(layer, strip.offset + strip.size / 4, strip.size / 2);
    const GdalVerdict verdict = read_with_gdal(layer);
    ASSERT_FALSE(verdict.call_failed);
    ASSERT_GT(verdict.warnings, 0);
    ASSERT_EQ(verdict.errors, 0) << "the damage must be one GDAL only warns about";

    const fs::path out = root / "out";
    fs::create_directories(out);
    expect_one_line_failure(run_with_deadline(tile_arguments(copy, out)),
                            layer.string() + " cannot be read", out);
}

// Puts a FIFO, directory, device, socket or non-GeoTIFF file under a layer's
// name; false when that kind cannot be made here. A socket stays bound while
// its descriptor, added to `sockets`, is open.
bool make_non_geotiff(const std::string& kind, const fs::path& layer, const fs::path& scratch,
                      const fs::path& valid_layer, std::vector<int>& sockets) {
    auto vrt_over = [&](const fs::path& source) {
        std::ofstream(layer) << "<VRTDataset rasterXSize=\"" << SIZE << "\" rasterYSize=\"" << SIZE
                             << "\">\n  <VRTRasterBand dataType=\"Byte\" band=\"1\">\n"
                             << "    <SimpleSource><SourceFilename relativeToVRT=\"0\">"
                             << source.string() << "</SourceFilename><SourceBand>1</SourceBand>"
                             << "</SimpleSource>\n  </VRTRasterBand>\n</VRTDataset>\n";
        return true;
    };
    if (kind == "FIFO") return ::mkfifo(layer.c_str(), 0644) == 0;
    if (kind == "directory") return fs::create_directory(layer);
    if (kind == "link to /dev/zero") return (fs::create_symlink("/dev/zero", layer), true);
    if (kind == "link to /dev/null") return (fs::create_symlink("/dev/null", layer), true);
    if (kind == "socket") {
        sockaddr_un address{};
        if (layer.string().size() >= sizeof address.sun_path) return false;
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, layer.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0) return false;
        sockets.push_back(fd);
        return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    if (kind == "VRT over a FIFO") {
        const fs::path fifo = scratch / "source.fifo";
        return ::mkfifo(fifo.c_str(), 0644) == 0 && vrt_over(fifo);
    }
    if (kind == "VRT over a valid layer") return vrt_over(valid_layer);
    return false;
}

TEST_F(FaultTest, LayerThatIsNoRegularGeoTiffFileIsNotFoundAndNeverBlocks) {
    const char* kinds[] = {
        "FIFO",   "directory",       "link to /dev/zero",     "link to /dev/null",
        "socket", "VRT over a FIFO", "VRT over a valid layer"};
    int index = 0;
    for (const std::string kind : kinds) {
        SCOPED_TRACE(kind);
        const fs::path root = scratch_dir("non_geotiff_" + std::to_string(index++));
        const GeneratedTile copy = link_tile(*tile_, root / "tile");
        const fs::path layer = copy.root / "input/t7/t7_TCH_2001.tif";
        fs::remove(layer);
        std::vector<int> sockets;
        const fs::path valid_layer = tile_->root / "input/t7/t7_TCH_2001.tif";
        if (!make_non_geotiff(kind, layer, root, valid_layer, sockets)) {
            ADD_FAILURE() << "could not make the " << kind;
            for (const int fd : sockets) ::close(fd);
            continue;
        }
        const fs::path out = root / "out";
        fs::create_directories(out);
        expect_one_line_failure(run_with_deadline(tile_arguments(copy, out)),
                                layer.string() + " not found", out);
        for (const int fd : sockets) ::close(fd);
    }
}

TEST_F(FaultTest, FifosBesideALayerWhereGdalLooksForSideFilesAreIgnored) {
    const fs::path root = scratch_dir("side_fifos");
    const GeneratedTile copy = link_tile(*tile_, root / "tile");
    const fs::path dir = copy.root / "input/t7";
    for (const char* name : {"t7_TCH_2001.tif.aux.xml", "t7_TCH_2001.aux", "t7_TCH_2001.tif.ovr",
                             "t7_TCH_2001.tif.msk", "t7_TCH_2001.tfw", "t7_TCH_2001.wld"}) {
        ASSERT_EQ(::mkfifo((dir / name).c_str(), 0644), 0) << name;
    }
    const fs::path out = root / "out";
    expect_undisturbed_run(copy, out);
}

TEST_F(FaultTest, LayerInOneWholeImageCompressedStripIsReadAsBefore) {
    const fs::path root = scratch_dir("one_strip");
    const GeneratedTile copy = link_tile(*tile_, root / "tile");
    // A Byte layer and a Float32 one, each stored as one DEFLATE strip.
    const std::pair<const char*, const char*> layers[] = {{"input/t7/t7_TCC_2001.tif", "Byte"},
                                                          {"input/t7/t7_TCH_2000.tif", "Float32"}};
    for (const auto& [name, type] : layers) {
        const fs::path layer = copy.root / name;
        fs::remove(layer);
        const Bytes values = read_band(tile_->root / name);
        const std::string one_strip = "BLOCKYSIZE=" + std::to_string(SIZE);
        GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
            layer.c_str(), SIZE, SIZE, 1, GDALGetDataTypeByName(type),
            const_cast<char**>(
                std::array<const char*, 3>{"COMPRESS=DEFLATE", one_strip.c_str(), nullptr}.data()));
        ASSERT_NE(ds, nullptr);
        ASSERT_EQ(ds->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, SIZE, SIZE,
                                                 const_cast<unsigned char*>(values.data()), SIZE,
                                                 SIZE, GDT_Byte, 0, 0, nullptr),
                  CE_None);
        GDALClose(GDALDataset::ToHandle(ds));
        EXPECT_EQ(stored_strip(layer, 1).size, 0u) << name << " is not one strip";
    }
    const fs::path out = root / "out";
    expect_undisturbed_run(copy, out);

#ifndef PT_UNDER_ASAN
    // The memory check counts the decoding of such a strip: in the least
    // address space it accepts, the run still reads it.
    const auto limit = address_space_just_above_the_check(tile_arguments(copy, out));
    ASSERT_TRUE(limit.has_value());
    fs::remove_all(out);
    fs::create_directories(out);
    const ProgramResult tight = run_under_address_space_limit(tile_arguments(copy, out), *limit);
    ASSERT_EQ(tight.exit_status, 0) << tight.out;
    expect_only_complete_products(out);
#endif
}

// ---- memory -------------------------------------------------------------

// Arguments for a run of last year 2020 whose inputs do not exist: a refusal
// must come before any input is opened, so its line cannot be "not found".
std::vector<std::string> memory_arguments(const fs::path& out) {
    return {"t7", "2020", "/nonexistent/in", out.string(),
            "0",  "0",    "/nonexistent/dm", "/nonexistent/wm"};
}

uint64_t need_2020() {
    return TileMemory::bytes_needed(year_count_for(2020), TILE_SIZE, TILE_SIZE);
}

void expect_memory_refusal(const ProgramResult& r, const std::string& bound) {
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(line_count(r.out), 1u) << r.out;
    EXPECT_EQ(r.out.rfind("not enough memory for the tile: it needs ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(bound), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("not found"), std::string::npos) << r.out;
}

TEST(MemoryFault, AddressSpaceLimitBelowTheNeedIsRefusedBeforeAnyInput) {
#ifdef PT_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space; an address-space "
                    "limit cannot be tested under it";
#endif
    const fs::path out = scratch_dir("address_space");
    // Far below the tile; and just above it, where the tile memory alone
    // would still map but nothing would be left for the threads and GDAL.
    for (const uint64_t limit : {uint64_t{1} << 30, need_2020() + (uint64_t{320} << 20)}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        const ProgramResult r = run_program(PT_PROCESS_TILE, memory_arguments(out), [limit] {
            const rlimit cap{limit, limit};
            setrlimit(RLIMIT_AS, &cap);
        });
        expect_memory_refusal(r, "the address-space limit (ulimit -v) leaves ");
    }
    EXPECT_TRUE(file_names(out).empty());
}

// A memory cgroup of its own under the test's, limited to `limit` bytes;
// removed when done. Either hierarchy, whichever the machine has.
class ChildCgroup {
  public:
    explicit ChildCgroup(uint64_t limit) {
        std::ifstream cgroup_file("/proc/self/cgroup"), mountinfo_file("/proc/self/mountinfo");
        std::stringstream cgroup_text, mountinfo_text;
        cgroup_text << cgroup_file.rdbuf();
        mountinfo_text << mountinfo_file.rdbuf();
        const CgroupMembership membership = parse_proc_cgroup(cgroup_text.str());
        const CgroupMounts mounts = parse_cgroup_mounts(mountinfo_text.str());
        const std::string name = "/pt_fault_" + std::to_string(getpid());
        if (mounts.v1_memory && membership.v1_memory) {
            try_create(cgroup_directory(*mounts.v1_memory, *membership.v1_memory), name,
                       "memory.limit_in_bytes", limit);
        }
        if (dir_.empty() && mounts.v2 && membership.v2) {
            try_create(cgroup_directory(*mounts.v2, *membership.v2), name, "memory.max", limit);
        }
    }
    ~ChildCgroup() {
        if (!dir_.empty()) ::rmdir(dir_.c_str());
    }
    ChildCgroup(const ChildCgroup&) = delete;
    ChildCgroup& operator=(const ChildCgroup&) = delete;
    bool made() const { return !dir_.empty(); }
    std::string procs() const { return dir_ + "/cgroup.procs"; }

  private:
    void try_create(const std::optional<std::string>& parent, const std::string& name,
                    const char* limit_file, uint64_t limit) {
        if (!parent) return;
        const std::string dir = *parent + name;
        if (::mkdir(dir.c_str(), 0755) != 0) return;
        std::ofstream(dir + "/" + limit_file) << limit;
        std::ifstream check(dir + "/" + limit_file);
        uint64_t set = 0;
        if (!(check >> set) || set > limit) {
            ::rmdir(dir.c_str());
            return;
        }
        dir_ = dir;
    }
    std::string dir_;
};

TEST(MemoryFault, CgroupLimitBelowTheNeedIsRefusedBeforeAnyInput) {
    ChildCgroup cgroup(1ull << 30);
    if (!cgroup.made()) {
        GTEST_SKIP() << "no memory cgroup could be made here (needs root and a writable memory "
                        "controller)";
    }
    const fs::path out = scratch_dir("cgroup");
    const std::string procs = cgroup.procs();
    const ProgramResult r = run_program(PT_PROCESS_TILE, memory_arguments(out), [&procs] {
        // "0" moves the writer itself; only plain system calls here.
        const int fd = ::open(procs.c_str(), O_WRONLY);
        if (fd < 0 || ::write(fd, "0", 1) != 1) _exit(125);
        ::close(fd);
    });
    if (r.exit_status == 125) GTEST_SKIP() << "joining the test cgroup was refused";
    expect_memory_refusal(r, "the memory cgroup leaves ");
    EXPECT_TRUE(file_names(out).empty());
}

// A layer stored in one 16384 x 16384 tile: 256 MiB for GDAL to decode,
// whatever window is read, and a few hundred KB on disk (DEFLATE of zeros).
void write_huge_block_layer(const fs::path& layer) {
    const char* options[] = {"TILED=YES", "BLOCKXSIZE=16384", "BLOCKYSIZE=16384",
                             "COMPRESS=DEFLATE", nullptr};
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        layer.c_str(), SIZE, SIZE, 1, GDT_Byte, const_cast<char**>(options));
    ASSERT_NE(ds, nullptr) << layer;
    int width = 0, height = 0;
    ds->GetRasterBand(1)->GetBlockSize(&width, &height);
    EXPECT_EQ(width, 16384);
    EXPECT_EQ(height, 16384);
    GDALClose(GDALDataset::ToHandle(ds));
}

// A linked copy of the test tile whose TCH 2001 layer is stored in huge
// blocks, and the line that refuses it.
struct HugeBlockTile {
    GeneratedTile copy;
    std::string refusal;
    fs::path out;
};
HugeBlockTile huge_block_tile(const GeneratedTile& tile, const std::string& name) {
    const fs::path root = scratch_dir(name);
    HugeBlockTile huge{link_tile(tile, root / "tile"), "", root / "out"};
    const fs::path layer = huge.copy.root / "input/t7/t7_TCH_2001.tif";
    fs::remove(layer);
    write_huge_block_layer(layer);
    huge.refusal = layer.string() +
                   " is stored in blocks of 16384 x 16384 pixels, too large to read in the "
                   "memory the run has";
    fs::create_directories(huge.out);
    return huge;
}

// A 16384 x 16384 Byte layer stored in one DEFLATE strip of 120 MiB (a
// large raster of noisy data saved without tiles): a classic little-endian
// TIFF written field by field, the strip left a hole of the file (no disk
// taken; the run refuses the layer before reading it).
constexpr int STRIP_LAYER_SIZE = 16384;
void write_one_huge_strip_layer(const fs::path& layer) {
    constexpr uint32_t STRIP_OFFSET = 256;
    constexpr uint32_t STRIP_BYTES = 120u << 20;
    struct Field {
        uint16_t tag, type;
        uint32_t value;
    };
    constexpr uint16_t SHORT = 3, LONG = 4;
    const Field fields[] = {
        {256, LONG, STRIP_LAYER_SIZE},
        {257, LONG, STRIP_LAYER_SIZE},  // width, length
        {258, SHORT, 8},
        {259, SHORT, 8},  // 8 bits, DEFLATE
        {262, SHORT, 1},
        {273, LONG, STRIP_OFFSET},  // black is zero
        {277, SHORT, 1},
        {278, LONG, STRIP_LAYER_SIZE},  // one strip
        {279, LONG, STRIP_BYTES},
        {284, SHORT, 1},
    };
    std::string bytes = "II";
    auto put = [&bytes](uint64_t value, int size) {
        for (int k = 0; k < size; ++k) bytes += static_cast<char>((value >> (8 * k)) & 0xff);
    };
    put(42, 2);
    put(8, 4);
    put(std::size(fields), 2);
    for (const Field& f : fields) {
        put(f.tag, 2);
        put(f.type, 2);
        put(1, 4);
        put(f.value, f.type == SHORT ? 2 : 4);
        if (f.type == SHORT) put(0, 2);
    }
    put(0, 4);
    std::ofstream(layer, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    fs::resize_file(layer, STRIP_OFFSET + static_cast<uint64_t>(STRIP_BYTES));
}

TEST_F(FaultTest, LayerStoredInHugeBlocksIsRefusedBeforeAnyProduct) {
    const HugeBlockTile huge = huge_block_tile(*tile_, "huge_blocks");
    expect_one_line_failure(run_with_deadline(tile_arguments(huge.copy, huge.out)), huge.refusal,
                            huge.out);

    // GDAL reads such a strip in one-row blocks of its own, but the whole
    // strip is what cannot be read: the line gives the block the file stores.
    HugeBlockTile strip = huge_block_tile(*tile_, "huge_strip");
    const fs::path layer = strip.copy.root / "input/t7/t7_TCH_2001.tif";
    fs::remove(layer);
    write_one_huge_strip_layer(layer);
    GDALDataset* ds = GDALDataset::FromHandle(GDALOpen(layer.c_str(), GA_ReadOnly));
    ASSERT_NE(ds, nullptr);
    int width = 0, height = 0;
    ds->GetRasterBand(1)->GetBlockSize(&width, &height);
    EXPECT_EQ(height, 1) << "GDAL reads the strip whole now; this case no longer tells";
    GDALClose(GDALDataset::ToHandle(ds));
    expect_one_line_failure(run_with_deadline(tile_arguments(strip.copy, strip.out)),
                            layer.string() +
                                " is stored in blocks of 16384 x 16384 pixels, too large to read "
                                "in the memory the run has",
                            strip.out);
}

TEST_F(FaultTest, LayerStoredInHugeBlocksIsRefusedNotKilledInACgroupTheCheckAccepts) {
    const uint64_t need =
        TileMemory::bytes_needed(year_count_for(tile_->last_year), TILE_SIZE, TILE_SIZE) +
        RESIDENT_HEADROOM;
    ChildCgroup cgroup(need + (16ull << 20));
    if (!cgroup.made()) {
        GTEST_SKIP() << "no memory cgroup could be made here (needs root and a writable memory "
                        "controller)";
    }
    const HugeBlockTile huge = huge_block_tile(*tile_, "huge_blocks_cgroup");
    const std::string procs = cgroup.procs();
    const ProgramResult r =
        run_program(PT_PROCESS_TILE, tile_arguments(huge.copy, huge.out), [&procs] {
            const int fd = ::open(procs.c_str(), O_WRONLY);
            if (fd < 0 || ::write(fd, "0", 1) != 1) _exit(125);
            ::close(fd);
            alarm(RUN_DEADLINE_SECONDS);
        });
    if (r.exit_status == 125) GTEST_SKIP() << "joining the test cgroup was refused";
    expect_one_line_failure(r, huge.refusal, huge.out);
}

TEST_F(FaultTest, LayerStoredInHugeBlocksIsRefusedUnderTheLeastAddressSpaceTheCheckAccepts) {
#ifdef PT_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space; an address-space "
                    "limit cannot be tested under it";
#endif
    const HugeBlockTile huge = huge_block_tile(*tile_, "huge_blocks_address_space");
    const auto limit = address_space_just_above_the_check(tile_arguments(huge.copy, huge.out));
    ASSERT_TRUE(limit.has_value());
    expect_one_line_failure(
        run_under_address_space_limit(tile_arguments(huge.copy, huge.out), *limit), huge.refusal,
        huge.out);
}

}  // namespace
}  // namespace pt::e2e
