// How long process_tile takes as users run it: the whole process from exec to
// exit, one tile after another, against a floor process that takes the same
// tile memory, touches the output pages as the program does, reads the same
// layers and writes the same products, with no filtering and no flushing to
// disk. The two alternate, with the page cache written out (untimed) before
// each, so that both meet the machine as a tile in a batch meets it.
// Usage: bench_whole_process runs tile_root tile_id last_year output_dir process_tile
//   tile_root holds input/, datamask/ and wetland/ as make_synthetic_tile writes them.
// (bench_whole_process --floor tile_root tile_id last_year output_dir is one floor run.)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/tool_options.hpp"
#include "io/gdal_setup.hpp"
#include "io/input_layers.hpp"
#include "io/product_writer.hpp"
#include "run/output_page_toucher.hpp"
#include "run/workers.hpp"
#include "tile/tile.hpp"

using namespace pt;

namespace {

struct Measured {
    double wall = 0, system = 0, user = 0, peak_gib = 0;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs ARGS as a process of its own from exec to exit: wall time, and the
// system and user time and peak resident memory the kernel counted for it.
Measured run_process(const std::vector<std::string>& args) {
    ::sync();  // untimed: earlier runs' dirty pages are not this run's work
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", args[0].c_str(), status);
        std::exit(1);
    }
    Measured m;
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.system = seconds(usage.ru_stime);
    m.user = seconds(usage.ru_utime);
    m.peak_gib = static_cast<double>(usage.ru_maxrss) / (1 << 20);
    return m;
}

// One floor run: the program's memory, page touching, reads and writes, and
// nothing else.
int floor_run(const std::filesystem::path& root, const std::string& tile_id, int last_year,
              const std::string& output_dir) {
    start_gdal();
    const InputPaths inputs{tile_id, (root / "input").string(), (root / "datamask").string(),
                            (root / "wetland").string()};
    const int workers = available_cpus();
    TileMemory tile(year_count_for(last_year), TILE_SIZE, TILE_SIZE);
    {
        OutputPageToucher output_pages(tile);
        load_input_layers(inputs, last_year, tile, workers);
        output_pages.finish();
    }
    write_products(ProductPaths{output_dir, tile_id}, last_year, 0.0, 0.0, tile, workers,
                   Progress::silent(), Flushing::none);
    return 0;
}

constexpr const char* USAGE =
    "Usage: bench_whole_process runs tile_root tile_id last_year output_dir process_tile\n"
    "  Times the program process_tile as users run it, process after process, runs\n"
    "  times, alternated with as many floor processes that take the same memory,\n"
    "  read the same layers and write the same products without filtering, and\n"
    "  prints each run and the medians. tile_root holds input/, datamask/ and\n"
    "  wetland/ as make_synthetic_tile writes them; the products go into\n"
    "  output_dir/program and output_dir/floor, created if missing. runs is a\n"
    "  whole number from 1.\n";

}  // namespace

int main(int argc, char** argv) {
    // One floor process, as this program starts it.
    if (argc == 6 && std::string(argv[1]) == "--floor") {
        try {
            return floor_run(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
        } catch (const RunFailure& failure) {
            std::fprintf(stderr, "%s\n", failure.what());
            return 1;
        }
    }
    if (const auto answered =
            answer_tool_options(argc, argv, 6, "bench_whole_process", USAGE, std::cout, std::cerr))
        return *answered;
    if (argc != 7 || std::atoi(argv[1]) < 1) {
        std::cerr << USAGE;
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const std::filesystem::path root = std::filesystem::absolute(argv[2]);
    const std::string tile_id = argv[3], last_year = argv[4];
    const std::filesystem::path out = std::filesystem::absolute(argv[5]);
    std::filesystem::create_directories(out / "program");
    std::filesystem::create_directories(out / "floor");
    const std::vector<std::string> program = {std::filesystem::absolute(argv[6]).string(),
                                              tile_id,
                                              last_year,
                                              (root / "input").string(),
                                              (out / "program").string(),
                                              "-80",
                                              "40",
                                              (root / "datamask").string(),
                                              (root / "wetland").string()};
    const std::vector<std::string> floor = {std::filesystem::read_symlink("/proc/self/exe"),
                                            "--floor",
                                            root.string(),
                                            tile_id,
                                            last_year,
                                            (out / "floor").string()};
    const double tile_gib =
        static_cast<double>(TileMemory::bytes_needed(year_count_for(std::atoi(last_year.c_str())),
                                                     TILE_SIZE, TILE_SIZE)) /
        (1 << 30);

    std::printf("tile %s, last year %s, tile memory %.3f GiB; %d runs of each, alternated\n",
                tile_id.c_str(), last_year.c_str(), tile_gib, runs);
    std::printf("%5s  %-14s %8s %8s %8s %9s\n", "run", "process", "wall_s", "sys_s", "user_s",
                "peak_GiB");
    std::vector<double> program_wall, floor_wall, program_sys, floor_sys;
    double peak = 0;
    for (int i = 0; i < runs; ++i) {
        // Each goes first in every other round, so neither always follows the other.
        for (const bool program_first : {i % 2 == 0, i % 2 != 0}) {
            const Measured m = run_process(program_first ? program : floor);
            std::printf("%5d  %-14s %8.2f %8.2f %8.2f %9.3f\n", i + 1,
                        program_first ? "process_tile" : "floor", m.wall, m.system, m.user,
                        m.peak_gib);
            (program_first ? program_wall : floor_wall).push_back(m.wall);
            (program_first ? program_sys : floor_sys).push_back(m.system);
            if (program_first) peak = std::max(peak, m.peak_gib);
        }
    }
    const double p = median(program_wall), f = median(floor_wall);
    std::printf("\nmedians of %d runs, whole processes from exec to exit\n", runs);
    std::printf("  %-40s %8.2f s   system %6.2f s\n", "floor (reads, writes, no filter, no fsync)",
                f, median(floor_sys));
    std::printf("  %-40s %8.2f s   system %6.2f s   ratio %5.2f   (target <= 1.15)\n",
                "process_tile, durable", p, median(program_sys), p / f);
    std::printf("  peak resident of process_tile %.3f GiB, tile memory %.3f GiB: %.3f\n", peak,
                tile_gib, peak / tile_gib);
    return 0;
}
