// The run driver: arguments, tile memory, the order of the passes, and the
// mapping of failures to one line on standard output and exit status 1.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
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
// atoi/atof; throws RunFailure("wrong call") otherwise. A numeric argument
// must be wholly a number, white space around it aside (last_year an
// optional sign and decimal digits, an origin what strtod reads whole):
// otherwise "<name> <text> is not a whole number" / "... is not a number",
// or "<name> is empty" when nothing but white space is given. A last year
// whose number does not fit an int is refused here, as written, with the
// line of any other refused year: atoi would silently wrap it (4294969297 to
// 2001). Touches no file.
RunArguments parse_arguments(int argc, const char* const* argv);

// atoi's reading of `text` (leading blanks, a sign, the digits that follow;
// 0 when no digit comes), or nothing when that number lies outside int.
std::optional<int> convert_last_year(const char* text);

// Refuses, before anything is opened, what no run can use: a last year the
// filter cannot handle, a tile id that is empty, "." or "..", or would lead
// product names into other directories or onto the terminal, an empty output directory
// (the products would land in "/"), and an origin that is not finite or
// cannot be a tile's corner (the products' georeferencing would be unreadable).
// `output_name` is what the failure lines call output_dir.
void check_run_arguments(const RunArguments& args, const std::string& output_name = "output_dir");

// Before any pixel is read: throws RunFailure "<path> not found" for the
// first layer in read order that is not a regular file, then
// `cannot_create` when args.output_dir is not a directory the run may
// create files in. A run that could not finish fails in its first second
// instead of after reading and filtering the whole tile; only damage inside
// a layer is seen later. Creates nothing.
void check_files_before_reading(const RunArguments& args, const std::string& cannot_create);

// Loads the inputs, filters the tile and writes the products. Throws
// RunFailure on the first failure.
void run_tile(const RunArguments& args);

// A program on the eight tile arguments, the one place that maps failures to
// an exit status: runs `run` on the parsed arguments and returns 0, or prints
// the failure line on `out`, flushed (and, after a wrong call, `usage` on
// `usage_out`), and returns 1.
int run_program_main(int argc, const char* const* argv, std::ostream& out, std::ostream& usage_out,
                     const char* usage, const std::function<void(const RunArguments&)>& run);

// The whole program: returns the exit status, printing the failure line (if
// any) on `out`, flushed.
int process_tile_main(int argc, const char* const* argv, std::ostream& out);

}  // namespace pt
