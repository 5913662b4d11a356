// -h/--help and unknown options of the helper tools whose command line is
// otherwise positional, as process_tile's is (tile_quality, inspect_pixel).
//
// A call with the tool's full count of arguments is a run and is never read
// for options, as process_tile reads it: a tile id or a directory may begin
// with '-' (the batch runs the tools on the tile ids process_tile accepts).
// Any other call is looked at before anything is done: -h or --help anywhere
// prints the usage on standard output (status 0); an argument that looks
// like an option prints "<tool>: unknown option <arg>" and the usage on
// standard error (status 2); anything else is the tool's own wrong call.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "run/printable.hpp"

namespace pt {

// '-' and then anything but a digit or '.': a negative origin such as -80 or
// -.5 is a number, not an option.
inline bool looks_like_option(std::string_view arg) {
    return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9') && arg[1] != '.';
}

// The exit status of a call that asks for help or gives an unknown option,
// after answering it; nothing for a call to run or to refuse as a wrong call.
// `positional` is the number of arguments of a run, `usage` the usage text
// (ending in a newline).
// Whether -h or --help stands among the options, before any "--": for the
// tools whose options may come anywhere (tile_accounts, sum_accounts), where
// asking for help answers whatever else is given.
inline bool asks_for_help(int argc, const char* const* argv) {
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (arg == "--") return false;
        if (arg == "-h" || arg == "--help") return true;
    }
    return false;
}

// The value of the option at argv[k] of the tools whose options take
// values (tile_accounts, sum_accounts): "--name=VALUE" (`equals` the place
// of its '=') or "--name VALUE", k moved on to the value. Marks it `given`.
// Nothing, with `error` set to "<tool>: <name> given twice" or "... needs a
// value", for an option given twice or without its value.
inline std::optional<std::string> option_value(int argc, const char* const* argv, int& k,
                                               std::string_view tool, bool& given,
                                               std::string& error) {
    const std::string arg = argv[k];
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (given) {
        error = std::string(tool) + ": " + name + " given twice";
        return std::nullopt;
    }
    given = true;
    if (equals != std::string::npos) return arg.substr(equals + 1);
    if (k + 1 < argc) return std::string(argv[++k]);
    error = std::string(tool) + ": " + name + " needs a value";
    return std::nullopt;
}

inline std::optional<int> answer_tool_options(int argc, const char* const* argv, int positional,
                                              std::string_view tool, std::string_view usage,
                                              std::ostream& out, std::ostream& err) {
    if (argc - 1 == positional) return std::nullopt;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (arg == "-h" || arg == "--help") {
            out << usage << std::flush;
            return 0;
        }
    }
    for (int k = 1; k < argc; ++k) {
        if (looks_like_option(argv[k])) {
            err << tool << ": unknown option " << printable(argv[k]) << '\n' << usage << std::flush;
            return 2;
        }
    }
    return std::nullopt;
}

}  // namespace pt
