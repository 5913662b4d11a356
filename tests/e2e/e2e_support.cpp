#include "e2e_support.hpp"

#include <fcntl.h>
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace pt::e2e {

ProgramResult run_program(const std::string& program, const std::vector<std::string>& args) {
    return run_program(program, args, [] {});
}

std::function<void()> deadline(unsigned seconds) {
    return [seconds] { alarm(seconds); };
}

std::vector<char*> exec_arguments(const std::string& program,
                                  const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::function<void()>& in_child) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return {};
    std::vector<char*> argv = exec_arguments(program, args);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, STDIN_FILENO);
        in_child();
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    ProgramResult result;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, n);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

GeneratedTile generate_tile(const fs::path& root, const std::string& tile_id, int last_year,
                            int seed, int size) {
    GeneratedTile tile{root, tile_id, last_year};
    const ProgramResult r =
        run_program(PT_MAKE_TILE, {tile.input_dir().string(), tile.datamask_dir().string(),
                                   tile.wetland_dir().string(), tile_id, std::to_string(last_year),
                                   std::to_string(seed), "--size", std::to_string(size)});
    EXPECT_EQ(r.exit_status, 0) << r.out;
    return tile;
}

GeneratedTile link_tile(const GeneratedTile& tile, const fs::path& root) {
    GeneratedTile copy{root, tile.tile_id, tile.last_year};
    for (const auto& entry : fs::recursive_directory_iterator(tile.root)) {
        const fs::path relative = fs::relative(entry.path(), tile.root);
        if (entry.is_directory()) {
            fs::create_directories(root / relative);
        } else {
            fs::create_symlink(fs::absolute(entry.path()), root / relative);
        }
    }
    return copy;
}

std::vector<std::string> tile_arguments(const GeneratedTile& tile, const fs::path& output_dir,
                                        double origin_x, double origin_y) {
    return {tile.tile_id,
            std::to_string(tile.last_year),
            tile.input_dir().string(),
            output_dir.string(),
            std::to_string(origin_x),
            std::to_string(origin_y),
            tile.datamask_dir().string(),
            tile.wetland_dir().string()};
}

fs::path scratch_dir(const std::string& name) {
    const char* base = std::getenv("PT_TEST_SCRATCH");
    fs::path dir = fs::path(base != nullptr ? base : fs::temp_directory_path().string()) /
                   ("process_tile_e2e_" + std::to_string(getpid())) / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::vector<std::string> file_names(const fs::path& dir) {
    std::vector<std::string> names;
    if (!fs::exists(dir)) return names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<unsigned char> read_band(const fs::path& path) {
    GDALAllRegister();
    GDALDataset* ds = GDALDataset::FromHandle(GDALOpen(path.c_str(), GA_ReadOnly));
    EXPECT_NE(ds, nullptr) << path;
    if (ds == nullptr) return {};
    const int w = ds->GetRasterXSize(), h = ds->GetRasterYSize();
    std::vector<unsigned char> bytes(static_cast<size_t>(w) * h);
    EXPECT_EQ(ds->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, w, h, bytes.data(), w, h, GDT_Byte, 0,
                                             0, nullptr),
              CE_None);
    GDALClose(GDALDataset::ToHandle(ds));
    return bytes;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool whole_png(const std::string& bytes) {
    static const std::string signature("\x89PNG\r\n\x1a\n", 8);
    static const std::string iend("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    return bytes.size() > 20 && bytes.compare(0, 8, signature) == 0 &&
           bytes.compare(bytes.size() - 12, 12, iend) == 0;
}

}  // namespace pt::e2e

namespace {
// Removes this process's scratch directories when the test program ends.
class ScratchCleanup : public ::testing::Environment {
  public:
    void TearDown() override {
        const char* base = std::getenv("PT_TEST_SCRATCH");
        std::error_code ignored;
        std::filesystem::remove_all(
            std::filesystem::path(
                base != nullptr ? base : std::filesystem::temp_directory_path().string()) /
                ("process_tile_e2e_" + std::to_string(getpid())),
            ignored);
    }
};
[[maybe_unused]] ::testing::Environment* const cleanup =
    ::testing::AddGlobalTestEnvironment(new ScratchCleanup);
}  // namespace
