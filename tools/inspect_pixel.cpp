// inspect_pixel: shows how one pixel of a tile comes to its products.
//
//   inspect_pixel tile_id last_year input_dir output_dir origin_x origin_y
//                 datamask_dir wetland_dir row col
//
// The first eight arguments are those of process_tile (output_dir, origin_x
// and origin_y are accepted and not used); row and col pick the pixel, 0 to
// 4003 each. It reads only the pixels around the one asked for, runs the same
// stage functions the tile pass runs, and prints on standard output the
// pixel's inputs and, one line per year, what each stage made of them, down
// to the TCC, TCH and Loss bytes that process_tile stores for that pixel.
//
// Exit status 0 with the report on standard output; 1 with one line on
// standard error when the arguments are refused or an input layer cannot be
// read. -h/--help prints the usage (status 0), an unknown option is refused
// (status 2) before anything is read: see app/tool_options.hpp.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/run.hpp"
#include "app/tool_options.hpp"
#include "filter/classify_cover_lanes.hpp"
#include "filter/height_series_lanes.hpp"
#include "filter/pixel_group.hpp"
#include "filter/post_loss_rules_lanes.hpp"
#include "filter/repair_cover_gaps_lanes.hpp"
#include "filter/stages.hpp"
#include "io/gdal_setup.hpp"
#include "io/input_layers.hpp"
#include "run/printable.hpp"
#include "tile/tile.hpp"

namespace {

using pt::RunFailure;

constexpr const char* USAGE =
    "inspect_pixel tile_id last_year input_dir output_dir origin_x origin_y datamask_dir "
    "wetland_dir row col";

constexpr const char* HELP =
    "Usage: inspect_pixel tile_id last_year input_dir output_dir origin_x origin_y\n"
    "                     datamask_dir wetland_dir row col\n"
    "  Shows how one pixel of a tile comes to its TCC, TCH and Loss products: its\n"
    "  inputs and, one line per year, what each filter stage made of them. The\n"
    "  first eight arguments are process_tile's (output_dir, origin_x and origin_y\n"
    "  are accepted and not used); row and col pick the pixel, 0 to 4003 each.\n";

// The farthest any stage looks from its pixel: the height fill's 5x5 block.
// Loss proximity looks one pixel away, everything else at the pixel itself.
constexpr int REACH = 2;

struct Request {
    pt::RunArguments run;
    int row = 0;
    int col = 0;
};

int parse_pixel_index(const char* name, std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw RunFailure(std::string(name) + " " + std::string(text) + " is not a whole number");
    }
    if (value < 0 || value >= pt::TILE_SIZE) {
        throw RunFailure(std::string(name) + " " + std::string(text) + " is outside 0 to " +
                         std::to_string(pt::TILE_SIZE - 1));
    }
    return value;
}

// Argument count, then last_year, then the pixel, before any file is opened.
Request parse_request(int argc, const char* const* argv) {
    if (argc != 11) throw RunFailure(std::string("wrong call, usage: ") + USAGE);
    Request request;
    request.run = pt::parse_arguments(9, argv);
    pt::check_run_arguments(request.run);
    request.row = parse_pixel_index("row", argv[9]);
    request.col = parse_pixel_index("col", argv[10]);
    return request;
}

// The pixels read: every tile pixel within REACH rows and columns of the
// inspected one, clipped at the tile's edges and nowhere else.
pt::LayerWindow window_around(int row, int col) {
    const int top = std::max(0, row - REACH);
    const int left = std::max(0, col - REACH);
    const int bottom = std::min(pt::TILE_SIZE - 1, row + REACH);
    const int right = std::min(pt::TILE_SIZE - 1, col + REACH);
    return {left, top, right - left + 1, bottom - top + 1};
}

// What the pixel looked like after each stage, per year index. A stage that
// did not run leaves its entries empty.
struct Trace {
    explicit Trace(int year_count) : n(year_count) {}
    int n;
    std::vector<int> cover_in, loss_in, height_in;  // as read
    std::vector<int> loss;                          // thinned, the Loss product
    std::vector<int> proximity;
    std::vector<int> classified, classified_state;
    std::vector<int> repaired, repaired_state;
    std::vector<int> cover_out;  // after the post-loss rules: the TCC product
    std::vector<int> derived, capped;
    std::vector<int> height_out;  // smoothed, final year settled: the TCH product
};

template <class Series>
std::vector<int> copy_series(const Series& series, int n) {
    std::vector<int> out(n);
    for (int t = 0; t < n; ++t) out[t] = series[t];
    return out;
}

// Lane 0 of a lane series, year by year.
std::vector<int> lane_zero(const pt::LaneSeries& series, int n) {
    std::vector<int> out(n);
    for (int t = 0; t < n; ++t) out[t] = series[t][0];
    return out;
}

// Runs the stages for the pixel at (r, c) of the window with the very
// functions the tile pass runs: the row proximity, then the lane steps on a
// group whose lane 0 is the pixel (the other lanes hold nothing and are
// ignored; lanes never see each other). A copy of the pixel's series is kept
// after each step.
void run_chain(pt::TileMemory& window, int r, int c, Trace& trace) {
    const int n = trace.n;
    std::vector<int32_t> proximity(n);
    pt::loss_proximity_by_rows(window.loss_cube, r, c, proximity);
    trace.proximity = copy_series(proximity, n);

    pt::PixelGroup group(n);
    for (int t = 0; t < n; ++t) {
        group.cover[t][0] = window.cover_cube.at(t, r, c);
        group.loss[t][0] = window.loss_cube.at(t, r, c) != 0 ? -1 : 0;
        group.recent[t][0] = proximity[t] == pt::PROX_RECENT ? -1 : 0;
        group.near[t][0] = proximity[t] != pt::PROX_NONE ? -1 : 0;
    }
    group.wetland[0] = window.wetland_mask.at(r, c) == 1 ? -1 : 0;

    // The pixel's 5x5 neighbourhood of input heights laid out as the tile
    // pass lays out its rows: lane 0 at offset 2, 0 outside the tile.
    constexpr std::ptrdiff_t stride = 2 + pt::LANE_COUNT + 2;
    std::vector<std::vector<uint8_t>> rows(5, std::vector<uint8_t>(stride * n, 0));
    pt::GroupHeights heights;
    heights.year_stride = stride;
    for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
            const int rr = r + dy, cc = c + dx;
            if (rr < 0 || cc < 0 || rr >= window.height() || cc >= window.width()) continue;
            for (int t = 0; t < n; ++t)
                rows[2 + dy][t * stride + 2 + dx] = window.height_cube.at(t, rr, cc);
        }
        heights.rows[2 + dy] = rows[2 + dy].data() + 2;
    }

    pt::classify_cover(group);
    trace.classified = lane_zero(group.value, n);
    trace.classified_state = lane_zero(group.state, n);
    pt::repair_cover_gaps(group);
    trace.repaired = lane_zero(group.value, n);
    trace.repaired_state = lane_zero(group.state, n);
    pt::apply_post_loss_rules(group);
    // The product byte is the low byte of the value, as the tile pass stores it.
    trace.cover_out = lane_zero(group.value, n);
    for (int& v : trace.cover_out) v &= 0xFF;

    pt::derive_heights(group, heights);
    trace.derived = lane_zero(group.derived, n);
    pt::cap_height_growth(group);
    trace.capped = lane_zero(group.derived, n);
    pt::smooth_heights(group);
    trace.height_out = lane_zero(group.height, n);
}

const char* state_name(int state) {
    switch (state) {
        case pt::STATE_OK:
            return "ok";
        case pt::STATE_INVALID:
            return "invalid";
        case pt::STATE_REPAIRED:
            return "repaired";
        case pt::STATE_INTERPOLATED:
            return "interpolated";
        case pt::STATE_JUMP:
            return "jump";
        default:
            return "unknown";
    }
}

const char* proximity_name(int code) {
    switch (code) {
        case pt::PROX_NONE:
            return "none";
        case pt::PROX_RECENT:
            return "recent";
        case pt::PROX_OLDER:
            return "older";
        default:
            return "unknown";
    }
}

// One line per year; every cell is one word, "-" where the year has no such
// value (no layer, no product, or the stage does not run for the pixel).
void print_table(const Trace& trace, bool filtered) {
    const std::vector<std::string> header = {
        "year",     "cover_in", "loss_in",   "height_in", "Loss",    "prox",   "classified",
        "class_st", "repaired", "repair_st", "TCC",       "derived", "capped", "TCH"};
    std::vector<std::vector<std::string>> rows;
    for (int t = 0; t < trace.n; ++t) {
        const bool output_year = t >= pt::first_output_index;
        auto number = [&](const std::vector<int>& series) -> std::string {
            if (!output_year) return "-";
            return std::to_string(series[t]);
        };
        // A stage of the chain: "-" for a pixel outside the datamask.
        auto stage = [&](const std::vector<int>& series, const char* (*name)(int)) -> std::string {
            if (!output_year || !filtered) return "-";
            return name != nullptr ? name(series[t]) : std::to_string(series[t]);
        };
        // A stored product byte: 0 for a pixel outside the datamask.
        auto product = [&](const std::vector<int>& series) -> std::string {
            if (output_year && !filtered) return "0";
            return number(series);
        };
        rows.push_back({std::to_string(pt::FIRST_YEAR + t), std::to_string(trace.cover_in[t]),
                        number(trace.loss_in), number(trace.height_in), number(trace.loss),
                        stage(trace.proximity, proximity_name), stage(trace.classified, nullptr),
                        stage(trace.classified_state, state_name), stage(trace.repaired, nullptr),
                        stage(trace.repaired_state, state_name), product(trace.cover_out),
                        stage(trace.derived, nullptr), stage(trace.capped, nullptr),
                        product(trace.height_out)});
    }

    std::vector<std::size_t> widths(header.size());
    for (std::size_t i = 0; i < header.size(); ++i) {
        widths[i] = header[i].size();
        for (const auto& row : rows) widths[i] = std::max(widths[i], row[i].size());
    }
    auto print_row = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i > 0) line += "  ";
            line += std::string(widths[i] - cells[i].size(), ' ') + cells[i];
        }
        std::cout << line << '\n';
    };
    print_row(header);
    for (const auto& row : rows) print_row(row);
}

int inspect(const Request& request) {
    const pt::RunArguments& run = request.run;
    const int n = pt::year_count_for(run.last_year);
    const pt::LayerWindow frame = window_around(request.row, request.col);

    // The window is a tile of its own: the same cubes, masks and layer names
    // as the whole tile, only frame.width x frame.height pixels large. Because
    // it is clipped exactly where the tile ends and reaches REACH pixels on
    // every side that lies inside the tile, a neighbour of the pixel is inside
    // the window exactly when it is inside the tile, so the stages' own bounds
    // checks against the window's size are the tile's bounds checks, and every
    // neighbour they read holds the tile's byte.
    pt::TileMemory window(n, frame.width, frame.height);
    pt::start_gdal();
    for (const pt::LayerRead& layer :
         pt::input_layer_plan({run.tile_id, run.input_dir, run.datamask_dir, run.wetland_dir},
                              run.last_year, window)) {
        pt::read_layer_window(layer.path, layer.destination, pt::TILE_SIZE, pt::TILE_SIZE, frame);
    }

    const int r = request.row - frame.y;
    const int c = request.col - frame.x;
    const uint8_t datamask = window.datamask.at(r, c);
    const uint8_t wetland = window.wetland_mask.at(r, c);
    const bool filtered = datamask == 1;

    Trace trace(n);
    trace.cover_in = copy_series(window.cover_cube.series(r, c), n);
    trace.loss_in = copy_series(window.loss_cube.series(r, c), n);
    trace.height_in = copy_series(window.height_cube.series(r, c), n);

    // Thinning is per pixel; the window's own pass gives every pixel of the
    // window, and so the whole 3x3 block of the proximity step, the thinned
    // flags of the tile pass.
    pt::thin_loss_rows(window.loss_cube, window.loss_out, 0, window.height());
    trace.loss = copy_series(window.loss_out.series(r, c), n);

    if (filtered) run_chain(window, r, c, trace);

    std::cout << "tile " << run.tile_id << ", pixel row " << request.row << " col " << request.col
              << ", years " << pt::FIRST_YEAR << " to " << run.last_year << '\n'
              << "datamask " << int{datamask} << ", wetland " << int{wetland} << '\n';
    if (!filtered) {
        std::cout << "datamask is not 1: the pixel is not filtered; its TCC and TCH are 0 and "
                     "its Loss is the thinned loss\n";
    }
    print_table(trace, filtered);
    std::cout.flush();

    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<int> answered =
        pt::answer_tool_options(argc, argv, 10, "inspect_pixel", HELP, std::cout, std::cerr);
    if (answered) return *answered;
    try {
        return inspect(parse_request(argc, argv));
    } catch (const RunFailure& failure) {
        std::cerr << pt::printable(failure.what()) << std::endl;
    } catch (const std::exception& error) {
        std::cerr << "failed: " << pt::printable(error.what()) << std::endl;
    }
    return 1;
}
