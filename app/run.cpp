#include "app/run.hpp"

#include <gdal_priv.h>

#include <cstdlib>
#include <iostream>
#include <new>
#include <ostream>

#include "filter/tile_pass.hpp"
#include "io/input_layers.hpp"
#include "io/product_writer.hpp"
#include "tile/memory_budget.hpp"
#include "tile/output_pages.hpp"
#include "tile/progress.hpp"
#include "tile/tile.hpp"
#include "tile/workers.hpp"

namespace pt {

namespace {
constexpr GIntBig GDAL_BLOCK_CACHE_BYTES = 64 << 20;

// After "wrong call" on standard output, the synopsis goes to standard error,
// as for GDAL's own programs.
constexpr const char* USAGE =
    "Usage: process_tile tile_id last_year input_dir output_dir origin_x origin_y\n"
    "                    datamask_dir wetland_dir\n"
    "  Filters the annual canopy cover, loss and canopy height series of one\n"
    "  4004 x 4004 tile and writes TCC, TCH and Loss products (HFA) for the years\n"
    "  2000 to last_year into output_dir. Inputs are read from\n"
    "  datamask_dir/<tile_id>_datamask.tif, wetland_dir/<tile_id>_wetlandmask.tif and\n"
    "  input_dir/<tile_id>/<tile_id>_{TCC,loss,TCH}_<year>.tif.\n";
}  // namespace

RunArguments parse_arguments(int argc, const char* const* argv) {
    if (argc != 9) throw RunFailure("wrong call");
    RunArguments args;
    args.tile_id = argv[1];
    args.last_year = std::atoi(argv[2]);
    args.input_dir = argv[3];
    args.output_dir = argv[4];
    args.origin_x = std::atof(argv[5]);
    args.origin_y = std::atof(argv[6]);
    args.datamask_dir = argv[7];
    args.wetland_dir = argv[8];
    return args;
}

void check_run_arguments(const RunArguments& args) {
    // Before 2000 the filter's year arithmetic would reach before the first
    // year of the series; far ahead, the run would ask for absurd memory.
    if (args.last_year < MIN_LAST_YEAR || args.last_year > MAX_LAST_YEAR) {
        throw RunFailure("last_year " + std::to_string(args.last_year) + " is outside " +
                         std::to_string(MIN_LAST_YEAR) + " to " + std::to_string(MAX_LAST_YEAR));
    }
}

void run_tile(const RunArguments& args) {
    check_run_arguments(args);
    GDALAllRegister();
    // Every layer moves in one whole-window call straight into tile memory, so
    // GDAL's block cache only holds blocks in transit; left at its default
    // (a share of RAM) it would add gigabytes of resident copies.
    GDALSetCacheMax64(GDAL_BLOCK_CACHE_BYTES);
    const int workers = available_cpus();
    Progress progress = Progress::for_terminal();
    const int year_count = year_count_for(args.last_year);
    // Refuse a tile the machine, the process limits or the cgroup cannot hold
    // now, before any input is opened, rather than be killed halfway.
    check_memory_budget(TileMemory::bytes_needed(year_count, TILE_SIZE, TILE_SIZE), workers);
    TileMemory tile(year_count, TILE_SIZE, TILE_SIZE);
    OutputPageToucher output_pages(tile);
    load_input_layers({args.tile_id, args.input_dir, args.datamask_dir, args.wetland_dir},
                      args.last_year, tile, workers, progress);
    output_pages.finish();
    filter_tile(tile, workers, progress);
    write_products({args.output_dir, args.tile_id}, args.last_year, args.origin_x, args.origin_y,
                   tile, workers, progress);
}

int process_tile_main(int argc, const char* const* argv, std::ostream& out) {
    try {
        run_tile(parse_arguments(argc, argv));
        return 0;
    } catch (const RunFailure& failure) {
        out << failure.what() << std::endl;
        if (argc != 9) std::cerr << USAGE;
        return 1;
    } catch (const std::bad_alloc&) {
        out << "cannot obtain memory" << std::endl;
        return 1;
    } catch (const std::exception& error) {
        // Anything unforeseen still ends as one line and status 1, never 0.
        out << "failed: " << error.what() << std::endl;
        return 1;
    }
}

}  // namespace pt
