#include "filter/pixel_chain.hpp"

namespace pt {

void compute_loss_proximity_plain(const YearCube& loss_cube, int row, int col,
                                  YearSeries proximity_series) {
    const int year_count = static_cast<int>(proximity_series.size());
    for (int32_t& code : proximity_series) code = PROX_NONE;
    for (int t = 0; t < year_count; ++t) {
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                const int r = row + dy, c = col + dx;
                if (c < 0 || r < 0 || c >= loss_cube.width || r >= loss_cube.height) continue;
                auto loss_at = [&](int k) { return loss_cube.at(k, r, c) != 0; };
                if (loss_at(t) || (t >= 1 && loss_at(t - 1))) {
                    proximity_series[t] = PROX_RECENT;
                } else if ((t >= 2 && loss_at(t - 2)) || (t >= 3 && loss_at(t - 3))) {
                    proximity_series[t] = PROX_OLDER;
                }
            }
        }
    }
}

void filter_pixel_series(const PixelSeries& pixel, PixelWork& work) {
    classify_cover(pixel.cover, pixel.loss, pixel.wetland, work.proximity, work.value, work.state);
    repair_cover_gaps({pixel.cover.base, pixel.cover.stride}, work.value, work.state);
    apply_post_loss_rules(pixel.loss, work.value);
    store_cover(work.value, pixel.cover_out);
    filter_height_series(pixel.heights, {pixel.cover_out.base, pixel.cover_out.stride},
                         pixel.loss, work.proximity, work.value, work.height, pixel.height_out);
}

void run_pixel_chain(TileMemory& tile, int row, int col, PixelWork& work) {
    const ByteSeries loss = tile.loss_cube.series(row, col);
    compute_loss_proximity_plain(tile.loss_cube, row, col, work.proximity);
    filter_pixel_series({tile.cover_cube.series(row, col),
                         {loss.base, loss.stride},
                         tile.wetland_mask.at(row, col),
                         tile.cover_out.series(row, col),
                         tile.height_out.series(row, col),
                         height_neighbourhood(tile.height_cube, row, col)},
                        work);
}

void filter_tile_reference(TileMemory& tile) {
    thin_loss(tile.loss_cube, tile.loss_out);
    filter_pixels_reference(tile);
}

void filter_pixels_reference(TileMemory& tile) {
    PixelWork work(tile.year_count());
    for (int row = 0; row < tile.height(); ++row) {
        for (int col = 0; col < tile.width(); ++col) {
            if (tile.datamask.at(row, col) == 1) run_pixel_chain(tile, row, col, work);
        }
    }
}

}  // namespace pt
