// Helpers for tests that run the built programs as a user would.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tile/tile.hpp"

namespace pt::e2e {

namespace fs = std::filesystem;

struct ProgramResult {
    int exit_status = -1;  // -1 when the program did not exit normally
    std::string out;       // everything it wrote on standard output
};

// Runs `program` with `args` (no shell), capturing standard output; standard
// error is left to the test log.
ProgramResult run_program(const std::string& program, const std::vector<std::string>& args);

// The same, calling `in_child` in the child between fork and exec: to lower
// a resource limit or join a cgroup for the program alone. It must only make
// async-signal-safe calls.
ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::function<void()>& in_child);

// An in_child step that ends the program with SIGALRM after `seconds` (the
// alarm survives exec), so a program that hangs fails its test with exit
// status -1 instead of hanging the test.
std::function<void()> deadline(unsigned seconds);

// The argv for execv: program, args, and the closing null; the pointers
// stay valid while program and args live.
std::vector<char*> exec_arguments(const std::string& program, const std::vector<std::string>& args);

// A generated input tile: the three input directories and its arguments.
struct GeneratedTile {
    fs::path root;
    std::string tile_id;
    int last_year = 0;
    fs::path input_dir() const { return root / "input"; }
    fs::path datamask_dir() const { return root / "datamask"; }
    fs::path wetland_dir() const { return root / "wetland"; }
};

// Generates a tile with the synthetic tile generator (fails the test on error).
GeneratedTile generate_tile(const fs::path& root, const std::string& tile_id, int last_year,
                            int seed, int size = TILE_SIZE);

// A copy of `tile` under `root` made of symbolic links to its files, so a
// test can remove or replace single layers cheaply.
GeneratedTile link_tile(const GeneratedTile& tile, const fs::path& root);

// The eight process_tile arguments for the tile and an output directory.
std::vector<std::string> tile_arguments(const GeneratedTile& tile, const fs::path& output_dir,
                                        double origin_x = -60.0, double origin_y = 10.0);

// A fresh, empty scratch directory for one test.
fs::path scratch_dir(const std::string& name);

// Names of the regular files in a directory, sorted.
std::vector<std::string> file_names(const fs::path& dir);

// Reads band 1 of a raster as bytes (fails the test if it cannot).
std::vector<unsigned char> read_band(const fs::path& path);

// The bytes of a file ("" when it cannot be read).
std::string read_file(const fs::path& path);

// True when `bytes` are one whole PNG as far as its ends show: the signature
// first, the IEND chunk (length 0, "IEND", its CRC) last. A chart cut short
// keeps the signature and loses the end.
bool whole_png(const std::string& bytes);

}  // namespace pt::e2e
