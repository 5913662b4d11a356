#include "app/run.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <new>
#include <ostream>

#include "filter/tile_pass.hpp"
#include "io/gdal_setup.hpp"
#include "io/input_layers.hpp"
#include "io/product_writer.hpp"
#include "io/temporary_products.hpp"
#include "run/memory_budget.hpp"
#include "run/output_page_toucher.hpp"
#include "run/printable.hpp"
#include "run/progress.hpp"
#include "run/workers.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

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

std::string last_year_refusal(const std::string& year) {
    return "last_year " + year + " is outside " + std::to_string(MIN_LAST_YEAR) + " to " +
           std::to_string(MAX_LAST_YEAR);
}

// The number at the start of `text` as the user wrote it, for a refusal:
// what atoi would read, without the blanks before it or the text after it.
std::string number_as_written(const char* text) {
    const char* begin = text;
    while (std::isspace(static_cast<unsigned char>(*begin))) ++begin;
    const char* end = begin;
    if (*end == '+' || *end == '-') ++end;
    while (*end >= '0' && *end <= '9') ++end;
    return std::string(begin, end);
}

// The shortest text that reads back as `value` ("1e+20", "inf", "nan").
std::string shortest_text(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

bool is_blank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// `text` without the white space around it, for a refusal.
std::string trimmed(const char* text) {
    const char* begin = text;
    while (is_blank(*begin)) ++begin;
    const char* end = begin + std::strlen(begin);
    while (end > begin && is_blank(end[-1])) --end;
    return std::string(begin, end);
}

// The refusal of a numeric argument that is not wholly a number: atoi and
// atof read the number at the start of the text and drop the rest, so a typo
// (12abc, 4O with the letter O, 1,5) would run the tile at a wrong place or
// year with status 0.
RunFailure not_a_number(const char* name, const char* text, const char* what) {
    const std::string written = trimmed(text);
    if (written.empty()) return RunFailure(std::string(name) + " is empty");
    return RunFailure(std::string(name) + " " + written + " is not " + what);
}

// atof's reading of `text` when the whole of it, white space around it
// aside, is the number strtod reads (decimal or hexadecimal, inf, nan):
// atof(text) is strtod(text, nullptr), so the value is atof's to the bit.
std::optional<double> convert_origin(const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text) return std::nullopt;  // no number at all
    while (is_blank(*end)) ++end;
    if (*end != '\0') return std::nullopt;
    return value;
}

double parse_origin(const char* name, const char* text) {
    const std::optional<double> value = convert_origin(text);
    if (!value) throw not_a_number(name, text, "a number");
    return *value;
}

// Only white space, an optional sign and decimal digits, at least one.
bool is_whole_number(const char* text) {
    const char* p = text;
    while (is_blank(*p)) ++p;
    if (*p == '+' || *p == '-') ++p;
    const char* digits = p;
    while (*p >= '0' && *p <= '9') ++p;
    if (p == digits) return false;
    while (is_blank(*p)) ++p;
    return *p == '\0';
}

void check_origin(const char* name, double value, const char* kind, double low, double high) {
    if (!std::isfinite(value) || value < low || value > high) {
        throw RunFailure(std::string(name) + " " + shortest_text(value) + " is not a " + kind +
                         " from " + shortest_text(low) + " to " + shortest_text(high));
    }
}
}  // namespace

std::optional<int> convert_last_year(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    // Accumulated as a negative number: INT_MIN has no positive counterpart.
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 - (*p - '0');
        if (value < std::numeric_limits<int>::min()) return std::nullopt;
    }
    if (!negative) {
        value = -value;
        if (value > std::numeric_limits<int>::max()) return std::nullopt;
    }
    return static_cast<int>(value);
}

RunArguments parse_arguments(int argc, const char* const* argv) {
    if (argc != 9) throw RunFailure("wrong call");
    RunArguments args;
    args.tile_id = argv[1];
    if (!is_whole_number(argv[2])) throw not_a_number("last_year", argv[2], "a whole number");
    const std::optional<int> last_year = convert_last_year(argv[2]);
    if (!last_year) throw RunFailure(last_year_refusal(number_as_written(argv[2])));
    args.last_year = *last_year;
    args.input_dir = argv[3];
    args.output_dir = argv[4];
    args.origin_x = parse_origin("origin_x", argv[5]);
    args.origin_y = parse_origin("origin_y", argv[6]);
    args.datamask_dir = argv[7];
    args.wetland_dir = argv[8];
    return args;
}

void check_run_arguments(const RunArguments& args, const std::string& output_name) {
    // The tile id is part of every product name: with a "/" the products
    // would go into other directories, with a control character the failure
    // lines that name files would no longer be one line of plain text.
    if (args.tile_id.empty()) throw RunFailure("tile_id is empty");
    if (args.tile_id.find('/') != std::string::npos) {
        throw RunFailure("tile_id " + args.tile_id + " contains '/'");
    }
    // "." and ".." name directories: input_dir/../ would read the layers
    // from input_dir's parent.
    if (args.tile_id == "." || args.tile_id == "..") {
        throw RunFailure("tile_id " + args.tile_id + " names no file of its own");
    }
    if (has_control_character(args.tile_id)) {
        throw RunFailure("tile_id " + args.tile_id + " contains a control character");
    }
    // Before 2000 the filter's year arithmetic would reach before the first
    // year of the series; far ahead, the run would ask for absurd memory.
    if (args.last_year < MIN_LAST_YEAR || args.last_year > MAX_LAST_YEAR) {
        throw RunFailure(last_year_refusal(std::to_string(args.last_year)));
    }
    // "" + "/TCC_..." would put the products into the root directory.
    if (args.output_dir.empty()) throw RunFailure(output_name + " is empty");
    // Every value inside the ranges goes into the geotransform exactly as
    // atof read it; nan, inf or 1e20 there would leave the products with an
    // origin no reader can use.
    check_origin("origin_x", args.origin_x, "longitude", MIN_ORIGIN_X, MAX_ORIGIN_X);
    check_origin("origin_y", args.origin_y, "latitude", MIN_ORIGIN_Y, MAX_ORIGIN_Y);
}

void check_files_before_reading(const RunArguments& args, const std::string& cannot_create) {
    check_input_layers_present({args.tile_id, args.input_dir, args.datamask_dir, args.wetland_dir},
                               args.last_year);
    check_output_directory(args.output_dir, cannot_create);
}

void run_tile(const RunArguments& args) {
    check_run_arguments(args);
    start_gdal();
    const int workers = available_cpus();
    Progress progress = Progress::for_terminal();
    const int year_count = year_count_for(args.last_year);
    // Refuse a tile the machine, the process limits or the cgroup cannot hold
    // now, before any input is opened, rather than be killed halfway.
    check_memory_budget(TileMemory::bytes_needed(year_count, TILE_SIZE, TILE_SIZE), workers);
    check_files_before_reading(
        args, first_product_path({args.output_dir, args.tile_id}) + " cannot be created");
    TileMemory tile(year_count, TILE_SIZE, TILE_SIZE);
    OutputPageToucher output_pages(tile);
    load_input_layers({args.tile_id, args.input_dir, args.datamask_dir, args.wetland_dir},
                      args.last_year, tile, workers, progress);
    output_pages.finish();
    filter_tile(tile, workers, progress);
    write_products({args.output_dir, args.tile_id}, args.last_year, args.origin_x, args.origin_y,
                   tile, workers, progress);
}

int run_program_main(int argc, const char* const* argv, std::ostream& out, std::ostream& usage_out,
                     const char* usage, const std::function<void(const RunArguments&)>& run) {
    try {
        run(parse_arguments(argc, argv));
        return 0;
    } catch (const RunFailure& failure) {
        // Paths and names come from the command line: escaped, a newline or
        // an escape sequence in them cannot split the line or reach a terminal.
        out << printable(failure.what()) << std::endl;
        if (argc != 9) usage_out << usage << std::flush;
        return 1;
    } catch (const std::bad_alloc&) {
        out << "cannot obtain memory" << std::endl;
        return 1;
    } catch (const std::exception& error) {
        // Anything unforeseen still ends as one line and status 1, never 0.
        out << "failed: " << printable(error.what()) << std::endl;
        return 1;
    }
}

int process_tile_main(int argc, const char* const* argv, std::ostream& out) {
    return run_program_main(argc, argv, out, std::cerr, USAGE, run_tile);
}

}  // namespace pt
