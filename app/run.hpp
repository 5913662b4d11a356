// The run driver: arguments, tile memory, the order of the passes, and the
// mapping of failures to one line on standard output and exit status 1.
#pragma once

#include <iosfwd>
#include <string>

namespace pt {

struct RunArguments {
    std::string tile_id;
    int last_year = 0;
    std::string input_dir;
    std::string output_dir;
    double origin_x = 0.0;
    double origin_y = 0.0;
    std::string datamask_dir;
    std::string wetland_dir;
};

// Exactly eight positional arguments after the program name, converted with
// atoi/atof; throws RunFailure("wrong call") otherwise. Touches no file.
RunArguments parse_arguments(int argc, const char* const* argv);

// Refuses a last year the filter cannot handle, before anything is read.
void check_run_arguments(const RunArguments& args);

// Loads the inputs, filters the tile and writes the products. Throws
// RunFailure on the first failure.
void run_tile(const RunArguments& args);

// The whole program: returns the exit status, printing the failure line (if
// any) on `out`, flushed.
int process_tile_main(int argc, const char* const* argv, std::ostream& out);

}  // namespace pt
