// The floor of tile_accounts' time: the same products and datamask read
// through the same strips, in the same order, with nothing counted. What
// tile_accounts takes beyond this is its arithmetic and its zones.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include "app/tool_options.hpp"
#include "io/account_products.hpp"
#include "run/printable.hpp"
#include "tile/tile.hpp"

namespace {

constexpr const char* USAGE =
    "usage: bench_read_products tile_id last_year products_dir datamask_dir\n"
    "  Reads products_dir/{TCC,TCH,Loss}_<year>_<tile_id>.img for 2000 to last_year\n"
    "  and datamask_dir/<tile_id>_datamask.tif in strips of rows, as tile_accounts\n"
    "  reads them, and prints the seconds taken (and a checksum of the bytes, so\n"
    "  that nothing is left unread).\n";

}  // namespace

int main(int argc, char** argv) {
    const auto answered =
        pt::answer_tool_options(argc, argv, 4, "bench_read_products", USAGE, std::cout, std::cerr);
    if (answered) return *answered;
    if (argc != 5) {
        std::cerr << USAGE;
        return 2;
    }
    try {
        pt::start_gdal_for_accounts();
        const auto start = std::chrono::steady_clock::now();
        pt::AccountProducts products({argv[1], std::stoi(argv[2]), argv[3], argv[4]});
        const pt::TileGrid& grid = products.grid();
        uint64_t sum = 0;
        for (int top = 0; top < grid.height; top += products.strip_rows()) {
            const int rows = std::min(products.strip_rows(), grid.height - top);
            products.read_strip(top, rows);
            // One byte a row of each raster: the reads cannot be left out.
            for (int r = 0; r < rows; ++r) {
                sum += products.datamask(r)[0];
                for (int year = 0; year < products.year_count(); ++year) {
                    sum += products.tcc(year, r)[0] + products.tch(year, r)[0] +
                           products.loss(year, r)[0];
                }
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("read %d products and the datamask in %.3f s (checksum %llu)\n",
                    3 * products.year_count(), seconds, static_cast<unsigned long long>(sum));
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << "bench_read_products: " << pt::printable(failure.what()) << '\n';
        return 1;
    }
}
