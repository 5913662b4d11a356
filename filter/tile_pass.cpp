#include "filter/tile_pass.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "filter/lanes.hpp"
#include "filter/pixel_group.hpp"
#include "filter/stages.hpp"
#include "tile/workers.hpp"

namespace pt {

namespace {

constexpr int THINNING_ROWS_PER_CHUNK = 32;
// Long enough that the rolling loss-bit rows are reused, short enough that
// both workers stay busy to the end of the tile.
constexpr int PIXEL_ROWS_PER_CHUNK = 64;

// Entry c + 1 of bits: bit t set when column c of the row `rows` points to
// (year t at rows + t * layer) has loss. Entries 0 and width + 1 stay 0.
PT_LANE_CLONES void gather_loss_bits(const uint8_t* rows, std::size_t layer, int year_count,
                                     int width, uint64_t* bits) {
    std::fill(bits, bits + width + 2, 0);
    for (int t = 0; t < year_count; ++t) {
        const uint8_t* src = rows + t * layer;
        for (int c = 0; c < width; ++c) bits[c + 1] |= static_cast<uint64_t>(src[c] != 0) << t;
    }
}

// Year t of flags at t * stride: bit t of the column's word, as 0 or 1.
PT_LANE_CLONES void spread_year_bits(const uint64_t* words, int width, int year_count,
                                     std::size_t stride, uint8_t* flags) {
    for (int t = 0; t < year_count; ++t) {
        uint8_t* out = flags + t * stride;
        for (int c = 0; c < width; ++c) out[c] = static_cast<uint8_t>((words[c] >> t) & 1);
    }
}

std::size_t round_up_to_lanes(int width) {
    return (static_cast<std::size_t>(width) + LANE_COUNT - 1) / LANE_COUNT * LANE_COUNT;
}

// Filters rows of the tile for one worker. Each row is copied year by year
// into the worker's own buffers, [year][column], padded to whole groups of
// LANE_COUNT pixels, and the chain runs on a group of neighbouring pixels at
// a time. The loss bits of the rows above and below and the input heights of
// the two rows on either side roll along with the row, so every cube byte is
// copied once per chunk of rows, not once per neighbour.
class RowFilter {
public:
    explicit RowFilter(TileMemory& tile)
        : tile_(tile),
          n_(tile.year_count()),
          width_(tile.width()),
          padded_(round_up_to_lanes(width_)),
          height_stride_(padded_ + 4),
          group_(n_),
          cover_(buffer_size()),
          loss_(buffer_size()),
          recent_(buffer_size()),
          near_(buffer_size()),
          cover_out_(buffer_size()),
          height_out_(buffer_size()),
          mask_(padded_),
          wetland_(padded_),
          recent_words_(width_),
          near_words_(width_) {
        for (auto& bits : bits_) bits.resize(static_cast<std::size_t>(width_) + 2);
        for (auto& heights : heights_) heights.resize(height_stride_ * n_);
    }

    void filter_rows(int begin, int end) {
        for (int k = 0; k < 3; ++k) load_loss_bits(begin - 1 + k, bits_[k]);
        for (int k = 0; k < 5; ++k) load_heights(begin - 2 + k, heights_[k]);
        for (int row = begin; row < end; ++row) {
            if (row > begin) {
                std::rotate(bits_.begin(), bits_.begin() + 1, bits_.end());
                load_loss_bits(row + 1, bits_[2]);
                std::rotate(heights_.begin(), heights_.begin() + 1, heights_.end());
                load_heights(row + 2, heights_[4]);
            }
            filter_row(row);
        }
    }

private:
    std::size_t buffer_size() const { return padded_ * n_; }

    // Entry c + 1: bit t set when the pixel (row, c) has loss at year index
    // t. Entries 0 and width + 1, and a row outside the tile, hold no loss.
    void load_loss_bits(int row, std::vector<uint64_t>& bits) const {
        if (row < 0 || row >= tile_.height()) {
            std::fill(bits.begin(), bits.end(), 0);
            return;
        }
        gather_loss_bits(tile_.loss_cube.row(0, row), tile_.loss_cube.layer_size(), n_, width_,
                         bits.data());
    }

    // Year t of the row at t * height_stride_ + 2; the two bytes before and
    // everything after the row stay 0, as do rows outside the tile: heights
    // outside the tile are never counted, and neither are zero heights.
    void load_heights(int row, std::vector<uint8_t>& heights) const {
        if (row < 0 || row >= tile_.height()) {
            std::fill(heights.begin(), heights.end(), 0);
            return;
        }
        for (int t = 0; t < n_; ++t) {
            std::memcpy(heights.data() + t * height_stride_ + 2, tile_.height_cube.row(t, row), width_);
        }
    }

    void gather_row(const YearCube& cube, int row, std::vector<uint8_t>& buffer) const {
        for (int t = 0; t < n_; ++t) std::memcpy(buffer.data() + t * padded_, cube.row(t, row), width_);
    }

    void scatter_row(const std::vector<uint8_t>& buffer, const YearCube& cube, int row) const {
        for (int t = first_output_index; t < n_; ++t) {
            std::memcpy(cube.row(t, row), buffer.data() + t * padded_, width_);
        }
    }

    // The proximity verdict of every pixel of the row, as 0/1 bytes per year.
    void find_proximity() {
        for (int c = 0; c < width_; ++c) {
            LossBlock block;
            int i = 0;
            for (const auto& bits : bits_) {
                for (int dx = 0; dx < 3; ++dx) block.bits[i++] = bits[c + dx];
            }
            const ProximityWords words = proximity_words(block);
            recent_words_[c] = words.recent;
            near_words_[c] = words.recent | words.older;
        }
        spread_year_bits(recent_words_.data(), width_, n_, padded_, recent_.data());
        spread_year_bits(near_words_.data(), width_, n_, padded_, near_.data());
    }

    void filter_row(int row) {
        const uint8_t* mask = tile_.datamask.row(row);
        if (std::none_of(mask, mask + width_, [](uint8_t m) { return m == 1; })) return;

        std::memcpy(mask_.data(), mask, width_);
        std::memcpy(wetland_.data(), tile_.wetland_mask.row(row), width_);
        gather_row(tile_.cover_cube, row, cover_);
        gather_row(tile_.loss_cube, row, loss_);
        find_proximity();
        std::fill(cover_out_.begin(), cover_out_.end(), 0);
        std::fill(height_out_.begin(), height_out_.end(), 0);

        RowBuffers buffers{cover_.data(),      loss_.data(),       recent_.data(),
                           near_.data(),       mask_.data(),       wetland_.data(),
                           cover_out_.data(),  height_out_.data(), padded_,
                           padded_,            {},                 static_cast<std::ptrdiff_t>(height_stride_)};
        for (int k = 0; k < 5; ++k) buffers.height_rows[k] = heights_[k].data() + 2;
        filter_row_groups(group_, buffers);

        scatter_row(cover_out_, tile_.cover_out, row);
        scatter_row(height_out_, tile_.height_out, row);
    }

    TileMemory& tile_;
    int n_;
    int width_;
    std::size_t padded_;
    std::size_t height_stride_;
    PixelGroup group_;
    std::vector<uint8_t> cover_, loss_, recent_, near_, cover_out_, height_out_;
    std::vector<uint8_t> mask_, wetland_;
    std::vector<uint64_t> recent_words_, near_words_;
    std::array<std::vector<uint64_t>, 3> bits_;    // loss bits of rows row-1 .. row+1
    std::array<std::vector<uint8_t>, 5> heights_;  // input heights of rows row-2 .. row+2
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
