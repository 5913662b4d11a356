#include "filter/tile_pass.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "filter/pixel_chain.hpp"
#include "filter/stages.hpp"
#include "tile/workers.hpp"

namespace pt {

namespace {

constexpr int THINNING_ROWS_PER_CHUNK = 32;
// Long enough that the rolling loss-bit rows are reused, short enough that
// both workers stay busy to the end of the tile.
constexpr int PIXEL_ROWS_PER_CHUNK = 16;

class RowFilter {
public:
    explicit RowFilter(TileMemory& tile)
        : tile_(tile),
          n_(tile.year_count()),
          width_(tile.width()),
          work_(n_),
          cover_(buffer_size()),
          loss_(buffer_size()),
          cover_out_(buffer_size()),
          height_out_(buffer_size()),
          bits_above_(width_),
          bits_here_(width_),
          bits_below_(width_) {}

    void filter_rows(int begin, int end) {
        load_loss_bits(begin - 1, bits_above_);
        load_loss_bits(begin, bits_here_);
        for (int row = begin; row < end; ++row) {
            if (row > begin) {
                std::swap(bits_above_, bits_here_);
                std::swap(bits_here_, bits_below_);
            }
            load_loss_bits(row + 1, bits_below_);
            filter_row(row);
        }
    }

private:
    std::size_t buffer_size() const { return static_cast<std::size_t>(width_) * n_; }

    // Bit t of entry c: the pixel (row, c) has loss at year index t. A row
    // outside the tile reads as no loss at all.
    void load_loss_bits(int row, std::vector<uint64_t>& bits) const {
        std::fill(bits.begin(), bits.end(), 0);
        if (row < 0 || row >= tile_.height()) return;
        for (int t = 0; t < n_; ++t) {
            const uint8_t* src = tile_.loss_cube.row(t, row);
            for (int c = 0; c < width_; ++c) {
                bits[c] |= static_cast<uint64_t>(src[c] != 0) << t;
            }
        }
    }

    // The row of every year of a cube into the worker's buffer: entry t of
    // pixel c at t * width + c.
    void gather_row(const YearCube& cube, int row, std::vector<uint8_t>& buffer) const {
        for (int t = 0; t < n_; ++t) {
            std::memcpy(buffer.data() + static_cast<std::size_t>(t) * width_, cube.row(t, row), width_);
        }
    }

    void scatter_row(const std::vector<uint8_t>& buffer, const YearCube& cube, int row) const {
        for (int t = first_output_index; t < n_; ++t) {
            std::memcpy(cube.row(t, row), buffer.data() + static_cast<std::size_t>(t) * width_, width_);
        }
    }

    LossBlock loss_block(int col) const {
        LossBlock block{};
        const std::vector<uint64_t>* rows[3] = {&bits_above_, &bits_here_, &bits_below_};
        int i = 0;
        for (int dy = 0; dy < 3; ++dy) {
            for (int dx = -1; dx <= 1; ++dx, ++i) {
                const int c = col + dx;
                if (c >= 0 && c < width_) block.bits[i] = (*rows[dy])[c];
            }
        }
        return block;
    }

    void filter_row(int row) {
        const uint8_t* mask = tile_.datamask.row(row);
        if (std::none_of(mask, mask + width_, [](uint8_t m) { return m == 1; })) return;

        gather_row(tile_.cover_cube, row, cover_);
        gather_row(tile_.loss_cube, row, loss_);
        std::fill(cover_out_.begin(), cover_out_.end(), 0);
        std::fill(height_out_.begin(), height_out_.end(), 0);

        const uint8_t* wetland = tile_.wetland_mask.row(row);
        for (int col = 0; col < width_; ++col) {
            if (mask[col] != 1) continue;
            const std::size_t at = static_cast<std::size_t>(col);
            compute_loss_proximity(loss_block(col), work_.proximity);
            filter_pixel_series({{cover_.data() + at, width_},
                                 {loss_.data() + at, width_},
                                 wetland[col],
                                 {cover_out_.data() + at, width_},
                                 {height_out_.data() + at, width_},
                                 height_neighbourhood(tile_.height_cube, row, col)},
                                work_);
        }

        scatter_row(cover_out_, tile_.cover_out, row);
        scatter_row(height_out_, tile_.height_out, row);
    }

    TileMemory& tile_;
    int n_;
    int width_;
    PixelWork work_;
    std::vector<uint8_t> cover_, loss_, cover_out_, height_out_;
    std::vector<uint64_t> bits_above_, bits_here_, bits_below_;
};

}  // namespace

void thin_loss_parallel(TileMemory& tile, int workers) {
    WorkQueue rows(tile.height(), THINNING_ROWS_PER_CHUNK);
    run_workers(workers, [&](int) {
        int begin, end;
        while (rows.next(begin, end)) thin_loss_rows(tile.loss_cube, tile.loss_out, begin, end);
    });
}

void filter_pixels_parallel(TileMemory& tile, int workers, Progress& progress) {
    WorkQueue rows(tile.height(), PIXEL_ROWS_PER_CHUNK);
    run_workers(workers, [&](int) {
        RowFilter filter(tile);
        int begin, end;
        while (rows.next(begin, end)) {
            filter.filter_rows(begin, end);
            progress.advance(end - begin);
        }
    });
}

void filter_tile(TileMemory& tile, int workers, Progress& progress) {
    // Proximity reads the thinned loss of neighbouring rows, so every row is
    // thinned before any pixel is filtered.
    progress.begin_phase("filtering", tile.height());
    thin_loss_parallel(tile, workers);
    filter_pixels_parallel(tile, workers, progress);
    progress.end_phase();
}

}  // namespace pt
