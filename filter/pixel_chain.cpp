#include "filter/pixel_chain.hpp"

namespace pt {

void run_pixel_chain(TileMemory& tile, int row, int col, PixelWork& work) {
    const ByteSeries cover = tile.cover_cube.series(row, col);
    const ByteSeries loss = tile.loss_cube.series(row, col);
    const ConstByteSeries const_loss{loss.base, loss.stride};
    const ByteSeries cover_out = tile.cover_out.series(row, col);

    compute_loss_proximity(gather_loss_block(tile.loss_cube, row, col), work.proximity);
    classify_cover(cover, const_loss, tile.wetland_mask.at(row, col), work.proximity, work.value,
                   work.state);
    repair_cover_gaps({cover.base, cover.stride}, work.value, work.state);
    apply_post_loss_rules(const_loss, work.value);
    store_cover(work.value, cover_out);
    filter_height_series(height_neighbourhood(tile.height_cube, row, col),
                         {cover_out.base, cover_out.stride}, const_loss, work.proximity,
                         work.value, work.height, tile.height_out.series(row, col));
}

void filter_tile_reference(TileMemory& tile) {
    thin_loss(tile.loss_cube, tile.loss_out);
    PixelWork work(tile.year_count());
    for (int row = 0; row < tile.height(); ++row) {
        for (int col = 0; col < tile.width(); ++col) {
            if (tile.datamask.at(row, col) == 1) run_pixel_chain(tile, row, col, work);
        }
    }
}

}  // namespace pt
