#include "app/quality_run.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string_view>

#include "app/quality_chart.hpp"
#include "app/tool_options.hpp"
#include "filter/tile_pass.hpp"
#include "io/gdal_setup.hpp"
#include "io/input_layers.hpp"
#include "io/quality_writer.hpp"
#include "run/memory_budget.hpp"
#include "run/output_page_toucher.hpp"
#include "run/progress.hpp"
#include "run/workers.hpp"

namespace pt {

namespace {

constexpr const char* USAGE =
    "Usage: tile_quality tile_id last_year input_dir quality_dir origin_x origin_y\n"
    "                    datamask_dir wetland_dir\n"
    "  Runs process_tile's filter on one tile and writes, into quality_dir, what it\n"
    "  did: QA_<year>_<tile_id>.tif (one byte of flags per pixel and year),\n"
    "  <tile_id>_quality.csv (their counts per year) and <tile_id>_quality.png (a\n"
    "  chart of the table). Writes no product.\n";

// A cube of quality words of the tile's size, owned here, zero-filled.
class OwnedFlagCube {
  public:
    OwnedFlagCube(int year_count, int width, int height)
        : words_(static_cast<std::size_t>(year_count) * width * height),
          cube_{words_.data(), year_count, width, height} {}
    const QualityCube& cube() const { return cube_; }

  private:
    std::vector<QualityWord> words_;
    QualityCube cube_;
};

uint64_t count_nonzero(const uint8_t* bytes, std::size_t size) {
    return static_cast<uint64_t>(size -
                                 static_cast<std::size_t>(std::count(bytes, bytes + size, 0)));
}

}  // namespace

// Runs work(k) for each output year k (0 for 2000), years shared among the workers.
template <class Work>
void for_each_output_year(int year_count, int workers, Work&& work) {
    WorkQueue queue(year_count - first_output_index, 1);
    run_workers(workers, [&](int) {
        int begin, end;
        while (queue.next(begin, end)) {
            for (int k = begin; k < end; ++k) work(k);
        }
    });
}

std::vector<uint64_t> count_input_loss(const TileMemory& tile, int workers) {
    std::vector<uint64_t> counts(static_cast<std::size_t>(tile.year_count() - first_output_index));
    const std::size_t layer = tile.loss_cube.layer_size();
    for_each_output_year(tile.year_count(), workers, [&](int k) {
        counts[static_cast<std::size_t>(k)] =
            count_nonzero(tile.loss_cube.layer(k + first_output_index), layer);
    });
    return counts;
}

std::vector<QualityYear> count_quality(const TileMemory& tile, const std::vector<uint64_t>& loss_in,
                                       const QualityCube& flags, int workers) {
    const int years = tile.year_count() - first_output_index;
    std::vector<QualityYear> table(static_cast<std::size_t>(std::max(years, 0)));
    const std::size_t layer = static_cast<std::size_t>(tile.width()) * tile.height();
    const uint8_t* mask = tile.datamask.data;
    const uint64_t filtered = static_cast<uint64_t>(std::count(mask, mask + layer, 1));
    for_each_output_year(tile.year_count(), workers, [&](int k) {
        const int t = k + first_output_index;
        QualityYear& line = table[static_cast<std::size_t>(k)];
        line.year = FIRST_YEAR + t;
        line.filtered = filtered;
        line.loss_in = loss_in[static_cast<std::size_t>(k)];
        line.loss_kept = count_nonzero(tile.loss_out.layer(t), layer);
        const QualityWord* flag = flags.layer(t);
        const uint8_t* cover_in = tile.cover_cube.layer(t);
        const uint8_t* cover_out = tile.cover_out.layer(t);
        // Flags are 0 outside the datamask, so their bits count only
        // filtered pixels without a test here.
        FlagHistogram<QualityWord> histogram;
        for (std::size_t i = 0; i < layer; ++i) {
            histogram.add(flag[i]);
            line.tcc_changed += (mask[i] == 1) & (cover_in[i] != cover_out[i]);
        }
        const auto counts = histogram.bit_counts();
        std::copy_n(counts.begin(), QA_BIT_COUNT, line.bits.begin());
    });
    return table;
}

std::string quality_table_header() {
    std::string header = "year,filtered";
    for (std::string_view name : QA_BIT_NAMES) (header += ',') += name;
    return header + ",tcc_changed,loss_in,loss_kept";
}

std::string quality_table(const std::vector<QualityYear>& years) {
    std::ostringstream csv;
    csv << quality_table_header() << '\n';
    for (const QualityYear& line : years) {
        csv << line.year << ',' << line.filtered;
        for (uint64_t count : line.bits) csv << ',' << count;
        csv << ',' << line.tcc_changed << ',' << line.loss_in << ',' << line.loss_kept << '\n';
    }
    return csv.str();
}

std::size_t quality_memory_needed(int year_count) {
    return TileMemory::bytes_needed(year_count, TILE_SIZE, TILE_SIZE) +
           static_cast<std::size_t>(TILE_SIZE) * TILE_SIZE * static_cast<std::size_t>(year_count) *
               sizeof(QualityWord);
}

// Like process_tile, tile_quality writes into a directory it is given and
// does not make it. A missing directory is named as such: "cannot be created"
// alone reads like a permission problem.
static std::string quality_output_refusal(const std::string& quality_dir,
                                          const std::string& tile_id) {
    std::error_code error;
    if (!std::filesystem::is_directory(quality_dir, error)) {
        return quality_dir + " is not an existing directory";
    }
    return quality_dir + "/" + quality_raster_name(FIRST_OUTPUT_YEAR, tile_id) +
           " cannot be created";
}

void run_tile_quality(const RunArguments& args) {
    check_run_arguments(args, "quality_dir");
    start_gdal();
    const int workers = available_cpus();
    Progress progress = Progress::for_terminal();
    const int year_count = year_count_for(args.last_year);
    check_memory_budget(quality_memory_needed(year_count), workers);
    check_files_before_reading(args, quality_output_refusal(args.output_dir, args.tile_id));
    TileMemory tile(year_count, TILE_SIZE, TILE_SIZE);
    OwnedFlagCube flags(year_count, TILE_SIZE, TILE_SIZE);
    // As in process_tile: the output cubes' pages are touched while the
    // layers are read, not one fault at a time in the filter pass.
    OutputPageToucher output_pages(tile);
    load_input_layers({args.tile_id, args.input_dir, args.datamask_dir, args.wetland_dir},
                      args.last_year, tile, workers, progress);
    output_pages.finish();
    const std::vector<uint64_t> loss_in = count_input_loss(tile, workers);
    filter_tile(tile, workers, progress, &flags.cube());

    const std::string table = quality_table(count_quality(tile, loss_in, flags.cube(), workers));
    const std::string chart_name = args.tile_id + "_quality.png";
    const std::string chart = draw_quality_chart(table,
                                                 args.tile_id + ": what the cleaning did, " +
                                                     std::to_string(FIRST_OUTPUT_YEAR) + " to " +
                                                     std::to_string(args.last_year),
                                                 args.output_dir + "/" + chart_name);
    write_quality_files({args.output_dir, args.tile_id}, args.last_year, args.origin_x,
                        args.origin_y, flags.cube(), tile.datamask,
                        {{args.tile_id + "_quality.csv", table}, {chart_name, chart}}, workers,
                        progress);
}

int tile_quality_main(int argc, const char* const* argv, std::ostream& out) {
    const std::optional<int> answered =
        answer_tool_options(argc, argv, 8, "tile_quality", USAGE, std::cout, out);
    if (answered) return *answered;
    return run_program_main(argc, argv, out, out, USAGE, run_tile_quality);
}

}  // namespace pt
