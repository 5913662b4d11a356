#include "filter/tile_pass.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "filter/lanes.hpp"
#include "filter/pixel_group.hpp"
#include "filter/quality_flags.hpp"
#include "filter/row_groups.hpp"
#include "filter/stages.hpp"
#include "run/workers.hpp"

namespace pt {

namespace {

constexpr int THINNING_ROWS_PER_CHUNK = 32;
// Long enough that the rolling neighbour rows are reused, short enough that
// both workers stay busy to the end of the tile.
constexpr int PIXEL_ROWS_PER_CHUNK = 64;

// Filters rows of the tile for one worker. Each row is copied year by year
// into the worker's own buffers, [year][column], padded to whole groups of
// LANE_COUNT pixels, and the chain runs on a group of neighbouring pixels at
// a time. The loss flags of the rows above and below and the input heights
// of the two rows on either side roll along with the row, so every cube byte
// is read once per chunk of rows, not once per neighbour.
class RowFilter {
  public:
    RowFilter(TileMemory& tile, const QualityCube* quality_flags)
        : tile_(tile),
          flags_cube_(quality_flags),
          n_(tile.year_count()),
          width_(tile.width()),
          padded_(padded_to_lanes(width_)),
          height_stride_(padded_ + 4),
          group_(n_),
          cover_(buffer_size()),
          recent_(buffer_size()),
          near_(buffer_size()),
          cover_out_(buffer_size()),
          height_out_(buffer_size()),
          mask_(padded_),
          wetland_(padded_),
          flag_stride_(padded_ + 2) {
        for (auto& flags : loss_now_) flags.resize(flag_stride_ * n_);
        for (auto& flags : loss_recent_) flags.resize(flag_stride_ * n_);
        for (auto& flags : loss_near_) flags.resize(flag_stride_ * n_);
        for (auto& heights : heights_) heights.resize(height_stride_ * n_);
        if (flags_cube_ != nullptr) {
            group_flags_.emplace(n_);
            flags_out_.resize(buffer_size());
        }
    }

    void filter_rows(int begin, int end) {
        for (int k = 0; k < 3; ++k) load_loss_flags(begin - 1 + k, k);
        for (int k = 0; k < 5; ++k) load_heights(begin - 2 + k, heights_[k]);
        for (int row = begin; row < end; ++row) {
            if (row > begin) {
                std::rotate(loss_now_.begin(), loss_now_.begin() + 1, loss_now_.end());
                std::rotate(loss_recent_.begin(), loss_recent_.begin() + 1, loss_recent_.end());
                std::rotate(loss_near_.begin(), loss_near_.begin() + 1, loss_near_.end());
                load_loss_flags(row + 1, 2);
                std::rotate(heights_.begin(), heights_.begin() + 1, heights_.end());
                load_heights(row + 2, heights_[4]);
            }
            filter_row(row);
        }
    }

  private:
    std::size_t buffer_size() const { return padded_ * n_; }

    // The loss flags of a row into slot k (0: row above, 1: own row, 2: row
    // below); a row outside the tile has no loss.
    void load_loss_flags(int row, int k) {
        if (row < 0 || row >= tile_.height()) {
            std::fill(loss_now_[k].begin(), loss_now_[k].end(), 0);
            std::fill(loss_recent_[k].begin(), loss_recent_[k].end(), 0);
            std::fill(loss_near_[k].begin(), loss_near_[k].end(), 0);
            return;
        }
        loss_flags_of_row(tile_.loss_cube.row(0, row), tile_.loss_cube.layer_size(), n_, width_,
                          flag_stride_, loss_now_[k].data(), loss_recent_[k].data(),
                          loss_near_[k].data());
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
            std::memcpy(heights.data() + t * height_stride_ + 2, tile_.height_cube.row(t, row),
                        width_);
        }
    }

    void gather_row(const YearCube& cube, int row, std::vector<uint8_t>& buffer) const {
        for (int t = 0; t < n_; ++t)
            std::memcpy(buffer.data() + t * padded_, cube.row(t, row), width_);
    }

    template <class Word>
    void scatter_row(const std::vector<Word>& buffer, const BasicYearCube<Word>& cube,
                     int row) const {
        for (int t = first_output_index; t < n_; ++t) {
            std::memcpy(cube.row(t, row), buffer.data() + t * padded_, width_ * sizeof(Word));
        }
    }

    void find_proximity() {
        const std::array<const uint8_t*, 3> recent = {
            loss_recent_[0].data(), loss_recent_[1].data(), loss_recent_[2].data()};
        const std::array<const uint8_t*, 3> near = {loss_near_[0].data(), loss_near_[1].data(),
                                                    loss_near_[2].data()};
        proximity_of_row(recent, near, n_, padded_, flag_stride_, padded_, recent_.data(),
                         near_.data());
    }

    void filter_row(int row) {
        const uint8_t* mask = tile_.datamask.row(row);
        if (std::none_of(mask, mask + width_, [](uint8_t m) { return m == 1; })) return;

        std::memcpy(mask_.data(), mask, width_);
        std::memcpy(wetland_.data(), tile_.wetland_mask.row(row), width_);
        gather_row(tile_.cover_cube, row, cover_);
        find_proximity();

        RowBuffers buffers{};
        buffers.cover = cover_.data();
        buffers.recent = recent_.data();
        buffers.near = near_.data();
        buffers.datamask = mask_.data();
        buffers.wetland = wetland_.data();
        buffers.cover_out = cover_out_.data();
        buffers.height_out = height_out_.data();
        buffers.stride = padded_;
        buffers.padded_width = padded_;
        buffers.loss = loss_now_[1].data() + 1;
        buffers.loss_stride = flag_stride_;
        buffers.height_stride = static_cast<std::ptrdiff_t>(height_stride_);
        for (int k = 0; k < 5; ++k) buffers.height_rows[k] = heights_[k].data() + 2;
        if (flags_cube_ == nullptr) {
            filter_row_groups(group_, buffers);
        } else {
            filter_row_groups_with_flags(group_, buffers, *group_flags_, flags_out_.data());
            scatter_row(flags_out_, *flags_cube_, row);
        }

        scatter_row(cover_out_, tile_.cover_out, row);
        scatter_row(height_out_, tile_.height_out, row);
    }

    TileMemory& tile_;
    const QualityCube* flags_cube_;  // the quality pass's, or none
    int n_;
    int width_;
    std::size_t padded_;
    std::size_t height_stride_;
    PixelGroup group_;
    std::vector<uint8_t> cover_, recent_, near_, cover_out_, height_out_;
    std::vector<uint8_t> mask_, wetland_;
    std::size_t flag_stride_;
    // Loss flags of rows row-1 .. row+1 (see loss_flags_of_row).
    std::array<std::vector<uint8_t>, 3> loss_now_, loss_recent_, loss_near_;
    std::array<std::vector<uint8_t>, 5> heights_;  // input heights of rows row-2 .. row+2
    std::optional<GroupFlags> group_flags_;
    std::vector<QualityWord> flags_out_;
};

}  // namespace

void thin_loss_parallel(TileMemory& tile, int workers) {
    WorkQueue rows(tile.height(), THINNING_ROWS_PER_CHUNK);
    run_workers(workers, [&](int) {
        int begin, end;
        while (rows.next(begin, end)) thin_loss_rows(tile.loss_cube, tile.loss_out, begin, end);
    });
}

void filter_pixels_parallel(TileMemory& tile, int workers, Progress& progress,
                            const QualityCube* flags) {
    WorkQueue rows(tile.height(), PIXEL_ROWS_PER_CHUNK);
    run_workers(workers, [&](int) {
        RowFilter filter(tile, flags);
        int begin, end;
        while (rows.next(begin, end)) {
            filter.filter_rows(begin, end);
            progress.advance(end - begin);
        }
    });
}

void filter_tile(TileMemory& tile, int workers, Progress& progress, const QualityCube* flags) {
    // Proximity reads the thinned loss of neighbouring rows, so every row is
    // thinned before any pixel is filtered.
    progress.begin_phase("filtering", tile.height());
    thin_loss_parallel(tile, workers);
    filter_pixels_parallel(tile, workers, progress, flags);
    progress.end_phase();
}

}  // namespace pt
