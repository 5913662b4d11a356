#include "filter/pixel_chain.hpp"

#include <cstdint>
#include <vector>

#include "filter/stages.hpp"

namespace pt {

namespace {

// The four per-pixel work series, allocated once and reused for every pixel.
struct PixelWork {
    explicit PixelWork(int year_count)
        : value(year_count), state(year_count), proximity(year_count), height(year_count) {}
    std::vector<int32_t> value, state, proximity, height;
};

// The stages for the pixel at (row, col), reading and writing the tile
// memory directly.
void filter_pixel(TileMemory& tile, int row, int col, PixelWork& work) {
    const ByteSeries cover = tile.cover_cube.series(row, col);
    const ByteSeries loss_bytes = tile.loss_cube.series(row, col);
    const ConstByteSeries loss{loss_bytes.base, loss_bytes.stride};
    const ByteSeries cover_out = tile.cover_out.series(row, col);

    loss_proximity(tile.loss_cube, row, col, work.proximity);
    classify_cover(cover, loss, tile.wetland_mask.at(row, col), work.proximity, work.value,
                   work.state);
    repair_cover_gaps({cover.base, cover.stride}, work.value, work.state);
    apply_post_loss_rules(loss, work.value);
    store_cover(work.value, cover_out);
    // The cover is stored, so its value series is free to hold the derived
    // heights.
    filter_height_series(height_neighbourhood(tile.height_cube, row, col),
                         {cover_out.base, cover_out.stride}, loss, work.proximity, work.value,
                         work.height, tile.height_out.series(row, col));
}

}  // namespace

void filter_pixels_reference(TileMemory& tile) {
    PixelWork work(tile.year_count());
    for (int row = 0; row < tile.height(); ++row) {
        for (int col = 0; col < tile.width(); ++col) {
            if (tile.datamask.at(row, col) == 1) filter_pixel(tile, row, col, work);
        }
    }
}

void filter_tile_reference(TileMemory& tile) {
    thin_loss_rows(tile.loss_cube, tile.loss_out, 0, tile.height());
    filter_pixels_reference(tile);
}

}  // namespace pt
