// Where a tile run spends its time, measured in one process on one tile:
//   1. the whole run as the program does it, phase by phase, and its peak
//      resident memory against the tile memory it needs;
//   2. the I/O floor: the same reads and writes, same threads, no filtering
//      and no flushing to disk, against which the durable whole run is held;
//      and, to show what durability costs, the floor's write flushed;
//   3. the plain one-thread filter against the fast one on the same inputs,
//      with a check that both give identical product cubes.
// Usage: bench_tile tile_root tile_id last_year output_dir
//   tile_root holds input/, datamask/ and wetland/ as make_synthetic_tile writes them.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/quality_run.hpp"
#include "app/tool_options.hpp"
#include "filter/pixel_chain.hpp"
#include "filter/stages.hpp"
#include "filter/tile_pass.hpp"
#include "io/gdal_setup.hpp"
#include "io/input_layers.hpp"
#include "io/product_writer.hpp"
#include "run/output_page_toucher.hpp"
#include "run/workers.hpp"
#include "tile/tile.hpp"

using namespace pt;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <class F>
double timed(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return seconds_since(start);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A virtual machine backs guest memory on first use, and this one also hands
// memory the guest has freed back to the host a few seconds later: a page
// touched for the first time, or again after that, faults on the host too,
// which cost about 2.5 s per GiB on one thread here. A run that starts right
// after another one finds that run's pages still backed. The whole run needs
// about 1 GiB more than the floor (the output cubes), so measured one after
// the other the whole run would always meet cold memory and the floor warm.
// Touching a tile's worth of memory right before each measured run puts
// both on the same footing: memory the machine has just used, as a tile run
// finds it in a batch, where tiles follow each other.
void warm_up_memory(std::size_t bytes) {
    // Laid out like tile memory (huge pages), so that what it frees is what
    // the next tile memory takes.
    TileMemory scratch(1, static_cast<int>(bytes / 8 / TILE_SIZE), TILE_SIZE);
    std::memset(scratch.loss_cube.data, 1, TileMemory::bytes_needed(1, scratch.width(), TILE_SIZE));
}

// The process's peak resident memory since the last reset_peak_resident(),
// from the kernel's high-water mark (VmHWM).
double peak_resident_bytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
    }
    return 0.0;
}

// Writes out whatever earlier runs left dirty in the page cache, untimed,
// so that a run flushing its products does not also wait for the floor's
// unflushed ones: in a batch, every tile before it was flushed already.
void settle_page_cache() {
    ::sync();
}

// Lowers the high-water mark to the current resident size, so the warm-up
// does not count as the run's peak.
void reset_peak_resident() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

constexpr const char* USAGE =
    "Usage: bench_tile tile_root tile_id last_year output_dir\n"
    "  Measures where a run of one tile spends its time, in one process: the whole\n"
    "  run phase by phase with its peak resident memory, the I/O floor (the same\n"
    "  reads and writes without filtering), the plain one-thread filter against the\n"
    "  fast one, and the quality run, and prints the medians. tile_root holds\n"
    "  input/, datamask/ and wetland/ as make_synthetic_tile writes them; the\n"
    "  products go into output_dir and the quality run's files into\n"
    "  output_dir/quality, both created if missing.\n";

}  // namespace

int main(int argc, char** argv) {
    if (const auto answered =
            answer_tool_options(argc, argv, 4, "bench_tile", USAGE, std::cout, std::cerr))
        return *answered;
    if (argc != 5) {
        std::cerr << USAGE;
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const std::string tile_id = argv[2];
    const int last_year = std::atoi(argv[3]);
    const std::string output_dir = argv[4];
    std::filesystem::create_directories(output_dir);
    const InputPaths inputs{tile_id, (root / "input").string(), (root / "datamask").string(),
                            (root / "wetland").string()};
    const ProductPaths products{output_dir, tile_id};
    const int n = year_count_for(last_year);
    const int workers = available_cpus();

    start_gdal();
    const double tile_bytes =
        static_cast<double>(TileMemory::bytes_needed(n, TILE_SIZE, TILE_SIZE));
    std::printf("tile %s, last year %d (%d years), %d workers, tile memory %.3f GiB\n",
                tile_id.c_str(), last_year, n, workers, tile_bytes / (1 << 30));

    try {
        const std::size_t tile_size = TileMemory::bytes_needed(n, TILE_SIZE, TILE_SIZE);
        double peak = 0.0;

        // 1. The whole run, by phase, durable as the program runs it and once
        //    more without flushing, and 2. the I/O floor: nothing but the
        //    same reads and writes on fresh tile memory, unflushed.
        //    Alternated over ROUNDS rounds so that all meet the same machine;
        //    medians.
        constexpr int ROUNDS = 5;
        std::vector<double> setups, reads, thins, pixel_passes, writes, wholes, unflushed_wholes;
        std::vector<double> floor_reads, floor_writes, floors, quality_runs;
        const std::string quality_dir = output_dir + "/quality";
        std::filesystem::create_directories(quality_dir);
        const RunArguments quality_args{
            tile_id, last_year, inputs.input_dir,    quality_dir,
            0.0,     0.0,       inputs.datamask_dir, inputs.wetland_dir};
        for (int round = 0; round < ROUNDS; ++round) {
            for (const Flushing flushing : {Flushing::to_disk, Flushing::none}) {
                double setup, read, thin, pixels, write;
                settle_page_cache();
                warm_up_memory(tile_size);
                reset_peak_resident();
                {
                    std::unique_ptr<TileMemory> tile;
                    setup = timed(
                        [&] { tile = std::make_unique<TileMemory>(n, TILE_SIZE, TILE_SIZE); });
                    read = timed([&] {
                        OutputPageToucher output_pages(*tile);
                        load_input_layers(inputs, last_year, *tile, workers);
                        output_pages.finish();
                    });
                    thin = timed([&] { thin_loss_parallel(*tile, workers); });
                    pixels = timed([&] { filter_pixels_parallel(*tile, workers); });
                    write = timed([&] {
                        write_products(products, last_year, 0.0, 0.0, *tile, workers,
                                       Progress::silent(), flushing);
                    });
                }
                const double total = setup + read + thin + pixels + write;
                if (flushing == Flushing::none) {
                    unflushed_wholes.push_back(total);
                    continue;
                }
                setups.push_back(setup);
                reads.push_back(read);
                thins.push_back(thin);
                pixel_passes.push_back(pixels);
                writes.push_back(write);
                wholes.push_back(total);
                peak = std::max(peak, peak_resident_bytes());
            }

            double floor_read, floor_write;
            settle_page_cache();
            warm_up_memory(tile_size);
            {
                TileMemory tile(n, TILE_SIZE, TILE_SIZE);
                floor_read = timed([&] { load_input_layers(inputs, last_year, tile, workers); });
                floor_write = timed([&] {
                    write_products(products, last_year, 0.0, 0.0, tile, workers, Progress::silent(),
                                   Flushing::none);
                });
            }
            floor_reads.push_back(floor_read);
            floor_writes.push_back(floor_write);
            floors.push_back(floor_read + floor_write);

            // The quality run, start to end as tile_quality runs it, in the
            // same round as the product runs it is held to.
            settle_page_cache();
            warm_up_memory(tile_size);
            quality_runs.push_back(timed([&] { run_tile_quality(quality_args); }));
        }

        // 3. The plain one-thread filter and the fast one, on identical inputs
        //    and on memory already touched, so no pass pays for page faults.
        struct FilterTimes {
            double thin = 0, pixels = 0;
        };
        FilterTimes plain, fast_one, fast;
        double flagged_pixels = 0;
        bool identical = true;
        {
            TileMemory tile(n, TILE_SIZE, TILE_SIZE);
            load_input_layers(inputs, last_year, tile, workers);
            const std::size_t cube_bytes = tile.cover_cube.layer_size() * n;
            const std::vector<uint8_t> cover_in(tile.cover_cube.data,
                                                tile.cover_cube.data + cube_bytes);
            const std::vector<uint8_t> loss_in(tile.loss_cube.data,
                                               tile.loss_cube.data + cube_bytes);
            auto restore_inputs = [&] {
                std::memcpy(tile.cover_cube.data, cover_in.data(), cube_bytes);
                std::memcpy(tile.loss_cube.data, loss_in.data(), cube_bytes);
                std::memset(tile.loss_out.data, 0, 3 * cube_bytes);  // the three output cubes
            };
            restore_inputs();

            plain.thin =
                timed([&] { thin_loss_rows(tile.loss_cube, tile.loss_out, 0, tile.height()); });
            plain.pixels = timed([&] { filter_pixels_reference(tile); });
            const std::vector<uint8_t> plain_out(tile.loss_out.data,
                                                 tile.loss_out.data + 3 * cube_bytes);

            for (auto [count, times] : {std::pair{1, &fast_one}, std::pair{workers, &fast}}) {
                std::vector<double> thin_runs, pixel_runs;
                for (int round = 0; round < ROUNDS; ++round) {
                    restore_inputs();
                    thin_runs.push_back(timed([&] { thin_loss_parallel(tile, count); }));
                    pixel_runs.push_back(timed([&] { filter_pixels_parallel(tile, count); }));
                    identical = identical && std::memcmp(plain_out.data(), tile.loss_out.data,
                                                         3 * cube_bytes) == 0;
                }
                times->thin = median(thin_runs);
                times->pixels = median(pixel_runs);
            }
            // The pass with quality flags recorded alongside, on all workers.
            std::vector<uint8_t> flag_bytes(cube_bytes);
            const YearCube flags{flag_bytes.data(), n, TILE_SIZE, TILE_SIZE};
            std::vector<double> flagged_runs;
            for (int round = 0; round < ROUNDS; ++round) {
                restore_inputs();
                thin_loss_parallel(tile, workers);
                flagged_runs.push_back(timed(
                    [&] { filter_pixels_parallel(tile, workers, Progress::silent(), &flags); }));
                identical = identical &&
                            std::memcmp(plain_out.data(), tile.loss_out.data, 3 * cube_bytes) == 0;
            }
            flagged_pixels = median(flagged_runs);
        }

        const double whole = median(wholes);
        const double floor = median(floors);
        std::printf("\n(times are medians of %d runs; the plain pass runs once)\n", ROUNDS);
        std::printf("\nwhole run by phase (%d workers)\n", workers);
        std::printf("  %-22s %8.3f s\n", "memory set-up", median(setups));
        std::printf("  %-22s %8.3f s\n", "read", median(reads));
        std::printf("  %-22s %8.3f s\n", "loss thinning", median(thins));
        std::printf("  %-22s %8.3f s\n", "pixel pass", median(pixel_passes));
        std::printf("  %-22s %8.3f s\n", "write", median(writes));
        std::printf("  %-22s %8.3f s\n", "total", whole);

        std::printf("\nI/O floor (same reads and writes, same threads, no filtering, no fsync)\n");
        std::printf("  %-22s %8.3f s\n  %-22s %8.3f s\n  %-22s %8.3f s\n", "read",
                    median(floor_reads), "write", median(floor_writes), "total", floor);

        const double unflushed = median(unflushed_wholes);
        std::printf("\nwhole run against the I/O floor without fsync\n");
        std::printf("  %-34s %8.3f s\n", "I/O floor, no fsync", floor);
        std::printf("  %-34s %8.3f s   ratio %5.2f\n", "whole run, no fsync", unflushed,
                    unflushed / floor);
        std::printf("  %-34s %8.3f s   ratio %5.2f   (target <= 1.15)\n",
                    "whole run, durable (the program)", whole, whole / floor);
        std::printf("  durable / no fsync                 %8.2f\n", whole / unflushed);

        std::printf("\nfilter: plain one-thread pass vs fast pass\n");
        std::printf("  %-22s %10s %10s %10s %8s\n", "", "plain", "fast x1", "fast", "ratio");
        auto row = [&](const char* name, double p, double f1, double f) {
            std::printf("  %-22s %9.3fs %9.3fs %9.3fs %8.2f\n", name, p, f1, f, p / f);
        };
        row("loss thinning", plain.thin, fast_one.thin, fast.thin);
        row("pixel pass", plain.pixels, fast_one.pixels, fast.pixels);
        row("thinning + pixel pass", plain.thin + plain.pixels, fast_one.thin + fast_one.pixels,
            fast.thin + fast.pixels);
        std::printf(
            "  (fast x1: one worker; fast: %d workers; ratio plain / fast; target for the\n"
            "   pixel pass >= 8)\n",
            workers);
        std::printf("  output cubes identical: %s\n", identical ? "yes" : "NO");

        std::printf("\npixel pass with quality flags (%d workers)\n", workers);
        std::printf("  %-34s %8.3f s\n", "without flags (process_tile)", fast.pixels);
        std::printf("  %-34s %8.3f s   ratio %5.2f\n", "with flags (tile_quality)", flagged_pixels,
                    flagged_pixels / fast.pixels);
        const double quality = median(quality_runs);
        std::printf("\nquality run against the whole product run\n");
        std::printf("  %-34s %8.3f s\n", "process_tile run", whole);
        std::printf("  %-34s %8.3f s   ratio %5.2f   (target <= 1.5)\n", "tile_quality run",
                    quality, quality / whole);

        std::printf("\nmemory\n");
        std::printf("  %-22s %8.3f GiB\n  %-22s %8.3f GiB\n", "tile memory", tile_bytes / (1 << 30),
                    "peak resident (run)", peak / (1 << 30));
        std::printf("  peak / tile memory      %8.3f   (target <= 1.05)\n", peak / tile_bytes);
        return identical ? 0 : 1;
    } catch (const RunFailure& failure) {
        std::printf("%s\n", failure.what());
        return 1;
    }
}
