#include "app/run.hpp"

#include <gdal_priv.h>

#include <cstdlib>
#include <ostream>

#include "filter/pixel_chain.hpp"
#include "io/input_layers.hpp"
#include "io/product_writer.hpp"
#include "tile/tile.hpp"

namespace pt {

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
    TileMemory tile(year_count_for(args.last_year), TILE_SIZE, TILE_SIZE);
    load_input_layers({args.tile_id, args.input_dir, args.datamask_dir, args.wetland_dir},
                      args.last_year, tile);
    filter_tile_reference(tile);
    write_products({args.output_dir, args.tile_id}, args.last_year, args.origin_x, args.origin_y,
                   tile);
}

int process_tile_main(int argc, const char* const* argv, std::ostream& out) {
    try {
        run_tile(parse_arguments(argc, argv));
        return 0;
    } catch (const RunFailure& failure) {
        out << failure.what() << std::endl;
        return 1;
    }
}

}  // namespace pt
