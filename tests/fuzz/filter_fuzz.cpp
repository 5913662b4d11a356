// libFuzzer target: a small tile built from arbitrary bytes goes through the
// plain one-thread filter and the fast two-worker one. Both must give the same
// cubes, every stored cover must be a percentage, pixels outside the datamask
// must stay 0, and no consistency failure (ERR1/ERR2) may escape: whatever
// bytes the inputs hold, the gap repair's invariant has to hold.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "filter/pixel_chain.hpp"
#include "filter/tile_pass.hpp"
#include "tile/tile.hpp"

namespace {

using pt::TileMemory;

// Takes bytes off the front of the fuzz input; 0 once it runs out.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The tile's cubes and masks, each in a heap buffer of its exact size, so
// AddressSanitizer sees any read or write beyond one of them (inside the
// tile's single mapping it would not).
struct SeparateBuffers {
    std::vector<std::vector<uint8_t>> buffers;

    explicit SeparateBuffers(TileMemory& tile) {
        const size_t layer = static_cast<size_t>(tile.width()) * tile.height();
        pt::YearCube* cubes[] = {&tile.loss_cube, &tile.cover_cube, &tile.height_cube,
                                 &tile.loss_out,  &tile.cover_out,  &tile.height_out};
        for (pt::YearCube* cube : cubes) {
            buffers.emplace_back(layer * tile.year_count(), 0);
            cube->data = buffers.back().data();
        }
        for (pt::TileMask* mask : {&tile.datamask, &tile.wetland_mask}) {
            buffers.emplace_back(layer, 0);
            mask->data = buffers.back().data();
        }
    }
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "filter_fuzz: %s\n", what);
    std::abort();
}

bool same_cube(const pt::YearCube& a, const pt::YearCube& b) {
    const size_t n = a.layer_size() * a.year_count;
    for (size_t i = 0; i < n; ++i) {
        if (a.data[i] != b.data[i]) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    // Last years from the earliest the filter takes to 2026.
    const int year_count = pt::year_count_for(pt::MIN_LAST_YEAR) + in.next() % 27;
    const int width = 1 + in.next() % 7;
    const int height = 1 + in.next() % 7;
    // Flags: datamask all 1 (most pixels filtered) instead of raw bytes;
    // cover kept to 0..100 (deeper into the repair rules) instead of raw.
    const uint8_t flags = in.next();

    TileMemory plain(year_count, width, height), fast(year_count, width, height);
    SeparateBuffers plain_buffers(plain), fast_buffers(fast);

    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            plain.datamask.at(r, c) = (flags & 1) != 0 ? 1 : in.next();
            plain.wetland_mask.at(r, c) = in.next();
            for (int t = 0; t < year_count; ++t) {
                const uint8_t cover = in.next();
                plain.cover_cube.at(t, r, c) = (flags & 2) != 0 ? cover % 101 : cover;
                if (t < pt::first_output_index) continue;
                plain.loss_cube.at(t, r, c) = in.next();
                plain.height_cube.at(t, r, c) = in.next();
            }
        }
    }
    for (size_t i = 0; i < plain_buffers.buffers.size(); ++i) {
        std::copy(plain_buffers.buffers[i].begin(), plain_buffers.buffers[i].end(),
                  fast_buffers.buffers[i].begin());
    }

    try {
        pt::filter_tile_reference(plain);
        pt::filter_tile(fast, 2);
    } catch (const pt::RunFailure& failure) {
        std::fprintf(stderr, "filter_fuzz: run failure escaped: \"%s\"\n", failure.what());
        std::abort();
    }

    if (!same_cube(plain.loss_out, fast.loss_out)) fail("loss_out differs");
    if (!same_cube(plain.loss_cube, fast.loss_cube)) fail("thinned loss_cube differs");
    if (!same_cube(plain.cover_out, fast.cover_out)) fail("cover_out differs");
    if (!same_cube(plain.height_out, fast.height_out)) fail("height_out differs");

    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            const bool filtered = plain.datamask.at(r, c) == 1;
            for (int t = 0; t < year_count; ++t) {
                const uint8_t cover = plain.cover_out.at(t, r, c);
                if (cover > pt::MAX_VALID_COVER) fail("cover_out above 100");
                const bool stored = filtered && t >= pt::first_output_index;
                if (!stored && (cover != 0 || plain.height_out.at(t, r, c) != 0)) {
                    fail("cover_out or height_out written outside the filtered pixels and years");
                }
            }
        }
    }
    return 0;
}
