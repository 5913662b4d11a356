// make_synthetic_tile: writes a complete synthetic input tile for process_tile.
//
//   make_synthetic_tile <input_dir> <datamask_dir> <wetland_dir> <tile_id>
//                       <last_year> <seed> [--size N] [--compress LZW|DEFLATE|NONE]
//
// Files written (single-band byte GeoTIFFs, WGS84, 0.00025 degree pixels):
//   <datamask_dir>/<tile_id>_datamask.tif
//   <wetland_dir>/<tile_id>_wetlandmask.tif
//   <input_dir>/<tile_id>/<tile_id>_TCC_<year>.tif    1997 .. last_year
//   <input_dir>/<tile_id>/<tile_id>_loss_<year>.tif   2000 .. last_year
//   <input_dir>/<tile_id>/<tile_id>_TCH_<year>.tif    2000 .. last_year
//
// The landscape is a simulation run year by year. Every pixel has a potential
// canopy cover (value noise over several octaves: non-forest, sparse and dense
// forest), a few lakes (water) and a static height offset. Its state is the
// true cover and true height of the current year. Each year from 2000 on,
// loss patches clear forest (the cover drops to a few percent, the height to
// almost nothing, in the loss year or the year after); afterwards cover and
// height regrow slowly towards the potential. The observed layers add to the
// state what real annual layers show: a slowly drifting regional offset,
// small per-pixel noise, single-year and two-year jumps of 20 or more,
// invalid cover bytes (101..255), missing heights (scattered zeros and
// rectangular blocks) and single-year height spikes.
//
// Everything is derived from the seed through a counter-based hash (per pixel
// and year) or std::mt19937_64 streams (per year, for the patch lists), so the
// output depends on the arguments alone. The simulation runs on the main
// thread; two writer threads compress and write finished layers, each file
// through its own GDAL dataset, which does not affect the bytes written.
//
// Exit status: 0 on success, 2 on a usage error (an unknown option among
// them), 1 when a directory or a file cannot be created or written. -h or
// --help prints the usage on standard output (status 0). On a terminal
// (standard error), the progress of the layers written is shown there.

#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include "run/printable.hpp"
#include "run/progress.hpp"
#include "tile/tile.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int GEN_FIRST_YEAR = pt::FIRST_YEAR;              // 1997
constexpr int GEN_FIRST_LOSS_YEAR = pt::FIRST_OUTPUT_YEAR;  // 2000
constexpr int GEN_MAX_LAST_YEAR = pt::MAX_LAST_YEAR;
constexpr double PIXEL_DEG = pt::PIXEL_SIZE;

// Marker in the potential-cover layer for open water.
constexpr uint8_t WATER = 255;

// Per-pixel flags.
constexpr uint8_t DROP_NOW = 1;   // cover and height collapse this year
constexpr uint8_t DROP_NEXT = 2;  // ... next year (loss mapped a year early)

// Hash salts, one per independent random stream.
enum Salt : uint64_t {
    SALT_FOREST = 1,
    SALT_LAKE,
    SALT_WETLAND,
    SALT_EDGE,
    SALT_STATIC,
    SALT_DRIFT,
    SALT_COVER,
    SALT_GROW,
    SALT_LOSS,
    SALT_BLOCKS,
};

// ---- random numbers -----------------------------------------------------

constexpr uint64_t GOLDEN = 0x9E3779B97F4A7C15ull;

inline uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
}

// Key of one random stream: seed, salt and up to two further numbers.
uint64_t stream_key(uint64_t seed, uint64_t salt, uint64_t a = 0, uint64_t b = 0) {
    uint64_t k = mix64(seed + GOLDEN);
    k = mix64(k ^ (salt * 0xD6E8FEB86659FD93ull));
    k = mix64(k ^ (a * 0xA0761D6478BD642Full + 0x632BE59BD9B4E019ull));
    k = mix64(k ^ (b * 0xE7037ED1A0B428DBull + 0x8EBC6AF09C88C6E3ull));
    return k;
}

// Random 64 bits for element `i` of the stream `key`.
inline uint64_t element_hash(uint64_t key, uint64_t i) {
    return mix64(key + i * GOLDEN);
}

// ---- value noise --------------------------------------------------------

// For every coordinate along one axis: the coarse grid cell and the
// bilinear weight (0..255) of the next grid node.
struct Axis {
    std::vector<int> cell;
    std::vector<int> weight;
};

Axis make_axis(int n, int cell_size) {
    Axis axis;
    axis.cell.resize(static_cast<size_t>(n));
    axis.weight.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        axis.cell[static_cast<size_t>(i)] = i / cell_size;
        axis.weight[static_cast<size_t>(i)] = ((i % cell_size) * 256) / cell_size;
    }
    return axis;
}

// A square grid of random node values for one octave.
struct Grid {
    int cell_size = 1;
    int nodes = 2;  // per side
    std::vector<int> value;

    int at(int gy, int gx) const {
        return value[static_cast<size_t>(gy) * static_cast<size_t>(nodes) +
                     static_cast<size_t>(gx)];
    }
};

Grid random_grid(int n, int cell_size, int amplitude, uint64_t key) {
    Grid grid;
    grid.cell_size = cell_size;
    grid.nodes = n / cell_size + 2;
    grid.value.resize(static_cast<size_t>(grid.nodes) * static_cast<size_t>(grid.nodes));
    const uint64_t span = static_cast<uint64_t>(2 * amplitude + 1);
    for (size_t i = 0; i < grid.value.size(); ++i)
        grid.value[i] = static_cast<int>(element_hash(key, i) % span) - amplitude;
    return grid;
}

// Bilinear interpolation of `grid` along row y; the result is in grid units
// times 65536 shifted back by `shift` bits (16 gives grid units).
void sample_row(const Grid& grid, const Axis& ax, int y, int shift, int* out, int n) {
    const int gy = y / grid.cell_size;
    const int wy = ((y % grid.cell_size) * 256) / grid.cell_size;
    for (int x = 0; x < n; ++x) {
        const int gx = ax.cell[static_cast<size_t>(x)];
        const int wx = ax.weight[static_cast<size_t>(x)];
        const int top = grid.at(gy, gx) * (256 - wx) + grid.at(gy, gx + 1) * wx;
        const int bottom = grid.at(gy + 1, gx) * (256 - wx) + grid.at(gy + 1, gx + 1) * wx;
        out[x] = (top * (256 - wy) + bottom * wy) >> shift;
    }
}

struct Octave {
    int cell_size;
    int amplitude;
};

// A field of summed value-noise octaves; values lie within +-(sum of amplitudes).
std::vector<int16_t> noise_field(int n, const std::vector<Octave>& octaves, uint64_t key) {
    const size_t nn = static_cast<size_t>(n) * static_cast<size_t>(n);
    std::vector<int16_t> field(nn, 0);
    std::vector<int> row(static_cast<size_t>(n));
    for (size_t o = 0; o < octaves.size(); ++o) {
        const Grid grid =
            random_grid(n, octaves[o].cell_size, octaves[o].amplitude, mix64(key + o));
        const Axis ax = make_axis(n, octaves[o].cell_size);
        for (int y = 0; y < n; ++y) {
            sample_row(grid, ax, y, 16, row.data(), n);
            int16_t* dst = field.data() + static_cast<size_t>(y) * static_cast<size_t>(n);
            for (int x = 0; x < n; ++x)
                dst[x] = static_cast<int16_t>(dst[x] + row[static_cast<size_t>(x)]);
        }
    }
    return field;
}

// For each possible field value (offset by `bound`), the share of pixels of
// the field with a lower value: the percentile rank, 0..1.
std::vector<double> percentile_ranks(const std::vector<int16_t>& field, int bound) {
    std::vector<uint64_t> histogram(static_cast<size_t>(2 * bound + 1), 0);
    for (int16_t v : field)
        ++histogram[static_cast<size_t>(std::clamp(static_cast<int>(v), -bound, bound) + bound)];
    std::vector<double> rank(histogram.size());
    uint64_t below = 0;
    const double total = static_cast<double>(field.size());
    for (size_t i = 0; i < histogram.size(); ++i) {
        rank[i] = static_cast<double>(below) / total;
        below += histogram[i];
    }
    return rank;
}

int amplitude_sum(const std::vector<Octave>& octaves) {
    int sum = 0;
    for (const Octave& o : octaves) sum += o.amplitude;
    return sum;
}

// ---- the landscape ------------------------------------------------------

struct Landscape {
    int n = 0;
    Bytes potential;            // 0..100 potential cover, WATER for lakes
    std::vector<int8_t> h_off;  // static height offset per pixel
    Bytes datamask;             // 0 no data, 1 land, 2 water
    Bytes wetland;              // 1 wetland, else 0
};

Landscape build_landscape(int n, uint64_t seed) {
    Landscape land;
    land.n = n;
    const size_t nn = static_cast<size_t>(n) * static_cast<size_t>(n);
    land.potential.assign(nn, 0);
    land.datamask.assign(nn, 1);
    land.wetland.assign(nn, 0);
    land.h_off.assign(nn, 0);

    // Potential cover from percentile ranks: 10 % non-forest (0), 15 % sparse
    // forest (5..50), the rest forest (50..100).
    {
        const std::vector<Octave> oct{{640, 60}, {160, 30}, {40, 14}, {10, 6}};
        const int bound = amplitude_sum(oct);
        const std::vector<int16_t> field = noise_field(n, oct, stream_key(seed, SALT_FOREST));
        const std::vector<double> rank = percentile_ranks(field, bound);
        std::vector<uint8_t> lut(rank.size());
        for (size_t i = 0; i < rank.size(); ++i) {
            const double p = rank[i];
            double cover = 0.0;
            if (p >= 0.25)
                cover = 50.0 + (p - 0.25) / 0.75 * 50.0;
            else if (p >= 0.10)
                cover = 5.0 + (p - 0.10) / 0.15 * 45.0;
            lut[i] = static_cast<uint8_t>(std::clamp(static_cast<int>(cover), 0, 100));
        }
        for (size_t i = 0; i < nn; ++i)
            land.potential[i] = lut[static_cast<size_t>(field[i] + bound)];
    }

    // Lakes: the top 3.5 % of another field is water (datamask 2); a shore
    // ring below it is land without trees.
    {
        const std::vector<Octave> oct{{300, 60}, {75, 25}, {20, 10}};
        const int bound = amplitude_sum(oct);
        const std::vector<int16_t> field = noise_field(n, oct, stream_key(seed, SALT_LAKE));
        const std::vector<double> rank = percentile_ranks(field, bound);
        for (size_t i = 0; i < nn; ++i) {
            const double p = rank[static_cast<size_t>(field[i] + bound)];
            if (p >= 0.965) {
                land.potential[i] = WATER;
                land.datamask[i] = 2;
            } else if (p >= 0.95) {
                land.potential[i] = 0;
            }
        }
    }

    // Wetland patches: the top 10 % of a third field.
    {
        const std::vector<Octave> oct{{400, 50}, {100, 25}, {25, 12}};
        const int bound = amplitude_sum(oct);
        const std::vector<int16_t> field = noise_field(n, oct, stream_key(seed, SALT_WETLAND));
        const std::vector<double> rank = percentile_ranks(field, bound);
        for (size_t i = 0; i < nn; ++i)
            land.wetland[i] = rank[static_cast<size_t>(field[i] + bound)] >= 0.90 ? 1 : 0;
    }

    // No data beyond a wavy line along the east edge (about 5 % of the tile).
    {
        const int cell = std::max(1, n / 8);
        const int amp = std::max(1, n / 40);
        std::mt19937_64 rng(stream_key(seed, SALT_EDGE));
        std::vector<int> nodes(static_cast<size_t>(n / cell + 2));
        for (int& v : nodes) v = static_cast<int>(rng() % static_cast<uint64_t>(2 * amp + 1)) - amp;
        for (int y = 0; y < n; ++y) {
            const int g = y / cell;
            const int w = y % cell;
            const int wave = (nodes[static_cast<size_t>(g)] * (cell - w) +
                              nodes[static_cast<size_t>(g) + 1] * w) /
                             cell;
            const int start = std::max(0, n - n / 20 - amp + wave);
            for (int x = start; x < n; ++x)
                land.datamask[static_cast<size_t>(y) * static_cast<size_t>(n) +
                              static_cast<size_t>(x)] = 0;
        }
    }

    // Static height offset, -3..4.
    const uint64_t key = stream_key(seed, SALT_STATIC);
    for (size_t i = 0; i < nn; ++i)
        land.h_off[i] = static_cast<int8_t>(static_cast<int>(element_hash(key, i) & 7) - 3);
    return land;
}

// Height a pixel grows towards for a given true cover: about 0.36 per cover
// percent plus the pixel's offset, so dense forest reaches 33..40.
inline int target_height(int cover, int offset) {
    if (cover == 0) return 0;
    return std::clamp(((cover * 23) >> 6) + offset, 0, 45);
}

// ---- loss patches -------------------------------------------------------

struct Patch {
    int cx = 0;
    int cy = 0;
    int radius = 1;
    uint8_t value = 1;
    bool delayed = false;  // the cover drops only in the year after the loss
    uint64_t shape = 0;    // seed of the ragged outline
};

struct ScheduledPatch {
    int year;
    Patch patch;
};

// Runs the simulation and hands every finished layer to `emit`.
class Simulation {
  public:
    Simulation(const Landscape& land, uint64_t seed)
        : land_(land),
          n_(land.n),
          nn_(static_cast<size_t>(land.n) * static_cast<size_t>(land.n)),
          seed_(seed) {
        cover_.assign(nn_, 0);
        height_.assign(nn_, 0);
        flags_.assign(nn_, 0);
        pending_jump_.assign(nn_, 0);
        const uint64_t key = stream_key(seed_, SALT_STATIC, 1);
        for (size_t i = 0; i < nn_; ++i) {
            const uint8_t pot = land_.potential[i];
            if (pot == WATER || pot == 0) continue;
            // Most forest starts mature, some of it a little below potential.
            const uint64_t h = element_hash(key, i);
            const int cover =
                (h & 3) == 0 ? std::max(1, pot - static_cast<int>((h >> 2) % 25)) : pot;
            cover_[i] = static_cast<uint8_t>(cover);
            const int target = target_height(cover, land_.h_off[i]);
            height_[i] = static_cast<uint8_t>(std::max(0, target - static_cast<int>((h >> 8) % 9)));
        }
        drift_cell_ = std::min(160, std::max(1, n_));
        drift_ = random_grid(n_, drift_cell_, 6, stream_key(seed_, SALT_DRIFT));
        for (int& v : drift_.value) v *= 16;  // drift in 1/16 cover units
        drift_axis_ = make_axis(n_, drift_cell_);
    }

    // Advances the simulation to `year` and fills the year's layers; `loss`
    // and `height` are filled only from 2000 on.
    void step(int year, Bytes& cover, Bytes& loss, Bytes& height) {
        const bool with_loss = year >= GEN_FIRST_LOSS_YEAR;
        cover.assign(nn_, 0);
        if (with_loss) {
            loss.assign(nn_, 0);
            height.assign(nn_, 0);
            place_loss(year, loss);
        }
        if (year > GEN_FIRST_YEAR) walk_drift(year);

        const uint64_t cover_key = stream_key(seed_, SALT_COVER, static_cast<uint64_t>(year));
        const uint64_t grow_key = stream_key(seed_, SALT_GROW, static_cast<uint64_t>(year));
        std::vector<int> drift_row(static_cast<size_t>(n_));

        for (int y = 0; y < n_; ++y) {
            sample_row(drift_, drift_axis_, y, 16, drift_row.data(), n_);
            const size_t row0 = static_cast<size_t>(y) * static_cast<size_t>(n_);
            for (int x = 0; x < n_; ++x) {
                const size_t i = row0 + static_cast<size_t>(x);
                const uint8_t pot = land_.potential[i];
                if (pot == WATER) continue;  // open water: cover, loss and height 0
                const uint64_t hg = element_hash(grow_key, i);
                const uint64_t hc = element_hash(cover_key, i);

                // True state.
                int tc = cover_[i];
                int th = height_[i];
                uint8_t f = flags_[i];
                if (f & DROP_NOW) {
                    tc = static_cast<int>(hg & 7);         // 0..7 % cover left
                    th = static_cast<int>((hg >> 3) % 3);  // 0..2 m
                    f = static_cast<uint8_t>(f & ~DROP_NOW);
                } else {
                    if (tc < pot) tc = std::min<int>(pot, tc + 1 + static_cast<int>((hg >> 8) & 3));
                    const int target = target_height(tc, land_.h_off[i]);
                    if (th < target) {
                        if ((hg >> 10) & 3) ++th;  // +1 in three years of four
                    } else if (th > target + 2) {
                        --th;
                    }
                }
                if (f & DROP_NEXT) f = static_cast<uint8_t>((f & ~DROP_NEXT) | DROP_NOW);
                cover_[i] = static_cast<uint8_t>(tc);
                height_[i] = static_cast<uint8_t>(th);
                flags_[i] = f;

                cover[i] = observe_cover(i, pot, tc, drift_row[static_cast<size_t>(x)], hc);
                if (with_loss) height[i] = observe_height(tc, th, hg);
            }
        }
        if (with_loss) cut_height_blocks(year, height);
    }

  private:
    // Observed canopy cover of one pixel.
    uint8_t observe_cover(size_t i, uint8_t pot, int tc, int drift16, uint64_t hc) {
        const int carried = pending_jump_[i];
        pending_jump_[i] = 0;
        const uint32_t event = static_cast<uint32_t>(hc & 0xFFFF);
        if (event < 328)  // ~0.5 %: invalid byte
            return static_cast<uint8_t>(101 + (hc >> 16) % 155);
        if (pot == 0 && tc == 0) return 0;  // non-forest reads 0

        // Small noise: triangular -3..3, 0 in a quarter of the years.
        const int noise = static_cast<int>((hc >> 40) & 3) + static_cast<int>((hc >> 42) & 3) - 3;
        int v = tc + ((drift16 * tc) >> 10) + noise + carried;
        if (event < 328 + 1700) {  // ~2.6 %: a jump of 20..49
            const int magnitude = 20 + static_cast<int>((hc >> 16) % 30);
            const bool prefer_down = tc >= 50;
            const bool majority = ((hc >> 24) & 3) != 0;  // 3 in 4
            const int delta = (prefer_down == majority) ? -magnitude : magnitude;
            v += delta;
            if ((hc >> 26) % 3 == 0)
                pending_jump_[i] = static_cast<int8_t>(delta);  // lasts two years
        }
        return static_cast<uint8_t>(std::clamp(v, 0, 100));
    }

    // Observed canopy height of one pixel.
    static uint8_t observe_height(int tc, int th, uint64_t hg) {
        if (tc == 0 && th == 0) return 0;
        const uint32_t event = static_cast<uint32_t>((hg >> 16) & 0xFFFF);
        if (event < 1311) return 0;  // ~2 %: missing
        int v = th;
        const uint32_t jitter = static_cast<uint32_t>((hg >> 40) & 7);
        if (jitter == 0) --v;
        if (jitter == 1) ++v;
        if (event < 1311 + 200)  // ~0.3 %: single-year spike
            v += 8 + static_cast<int>((hg >> 32) % 13);
        return static_cast<uint8_t>(std::clamp(v, 0, 255));
    }

    void walk_drift(int year) {
        const uint64_t key = stream_key(seed_, SALT_DRIFT, static_cast<uint64_t>(year));
        for (size_t i = 0; i < drift_.value.size(); ++i) {
            const int step = static_cast<int>(element_hash(key, i) % 5) - 2;
            drift_.value[i] = std::clamp(drift_.value[i] + step * 16, -8 * 16, 8 * 16);
        }
    }

    // Places this year's loss patches: repeats scheduled by earlier years
    // first, then new patches on forest.
    void place_loss(int year, Bytes& loss) {
        std::mt19937_64 rng(stream_key(seed_, SALT_LOSS, static_cast<uint64_t>(year)));
        auto below = [&rng](uint64_t bound) { return static_cast<int>(rng() % bound); };

        std::vector<ScheduledPatch> later;
        std::vector<Patch> due;
        for (const ScheduledPatch& s : scheduled_) {
            if (s.year == year)
                due.push_back(s.patch);
            else
                later.push_back(s);
        }
        scheduled_ = std::move(later);
        for (const Patch& p : due) {
            paint(p, false, loss);
            if (below(100) < 10) schedule(year, p, rng);
        }

        // About 1600 patches a year on a full tile, more in some years.
        const uint64_t base = std::max<uint64_t>(1, nn_ / 10000);
        const uint64_t count = base * static_cast<uint64_t>(40 + below(121)) / 100;
        for (uint64_t k = 0; k < count; ++k) {
            Patch p;
            p.cx = below(static_cast<uint64_t>(n_));
            p.cy = below(static_cast<uint64_t>(n_));
            const int size_class = below(100);
            if (size_class < 50)
                p.radius = 1 + below(3);
            else if (size_class < 85)
                p.radius = 3 + below(4);
            else
                p.radius = 6 + below(7);
            p.value = below(100) < 88 ? 1 : static_cast<uint8_t>(2 + below(3));
            p.delayed = below(100) < 25;
            p.shape = rng();
            paint(p, true, loss);
            if (below(100) < 20) schedule(year, p, rng);
        }
    }

    // The same patch again one to four years later (mostly the next year),
    // a little smaller or larger.
    void schedule(int year, const Patch& p, std::mt19937_64& rng) {
        const int u = static_cast<int>(rng() % 100);
        const int delay = u < 55 ? 1 : u < 70 ? 2 : u < 85 ? 3 : 4;
        Patch again = p;
        again.radius = std::max(1, p.radius + static_cast<int>(rng() % 3) - 1);
        again.shape = rng();
        if (rng() % 100 < 15) again.value = static_cast<uint8_t>(1 + rng() % 3);
        scheduled_.push_back({year + delay, again});
    }

    // Marks the pixels of a patch as lost. A new patch takes only forest
    // (true cover 15 or more); a repeat takes its whole outline. Water never.
    void paint(const Patch& p, bool forest_only, Bytes& loss) {
        const int r = p.radius;
        const int r2 = r * r;
        const int span = 2 * r + 1;
        for (int dy = -r; dy <= r; ++dy) {
            const int y = p.cy + dy;
            if (y < 0 || y >= n_) continue;
            for (int dx = -r; dx <= r; ++dx) {
                const int x = p.cx + dx;
                if (x < 0 || x >= n_) continue;
                const uint64_t h =
                    element_hash(p.shape, static_cast<uint64_t>((dy + r) * span + (dx + r)));
                // Ragged outline: the radius varies between 0.8 and 1.06 times r.
                const int limit = (r2 * (160 + static_cast<int>(h & 127))) / 256 + (r == 1 ? 1 : 0);
                if (dx * dx + dy * dy > limit) continue;
                const size_t i =
                    static_cast<size_t>(y) * static_cast<size_t>(n_) + static_cast<size_t>(x);
                if (land_.potential[i] == WATER || loss[i] != 0) continue;
                if (forest_only && cover_[i] < 15) continue;
                uint8_t value = p.value;
                if (value == 1 && ((h >> 8) % 100) == 0) value = 2;  // odd codes inside a patch
                loss[i] = value;
                flags_[i] = static_cast<uint8_t>(flags_[i] | (p.delayed ? DROP_NEXT : DROP_NOW));
            }
        }
    }

    // Rectangular blocks without height data (two to seven a year).
    void cut_height_blocks(int year, Bytes& height) {
        std::mt19937_64 rng(stream_key(seed_, SALT_BLOCKS, static_cast<uint64_t>(year)));
        const uint64_t max_side = static_cast<uint64_t>(std::max(4, n_ / 12));
        const int count = 2 + static_cast<int>(rng() % 6);
        for (int k = 0; k < count; ++k) {
            const int w = 4 + static_cast<int>(rng() % max_side);
            const int h = 4 + static_cast<int>(rng() % max_side);
            const int x0 = static_cast<int>(rng() % static_cast<uint64_t>(n_));
            const int y0 = static_cast<int>(rng() % static_cast<uint64_t>(n_));
            const int x1 = std::min(n_, x0 + w);
            for (int y = y0; y < std::min(n_, y0 + h); ++y) {
                uint8_t* row = height.data() + static_cast<size_t>(y) * static_cast<size_t>(n_);
                std::fill(row + x0, row + x1, uint8_t{0});
            }
        }
    }

    const Landscape& land_;
    int n_;
    size_t nn_;
    uint64_t seed_;
    Bytes cover_;                       // true cover 0..100
    Bytes height_;                      // true height
    Bytes flags_;                       // DROP_NOW / DROP_NEXT
    std::vector<int8_t> pending_jump_;  // second year of a two-year jump
    std::vector<ScheduledPatch> scheduled_;
    int drift_cell_ = 160;
    Grid drift_;
    Axis drift_axis_;
};

// ---- writing ------------------------------------------------------------

struct WriteJob {
    std::string path;
    Bytes data;
};

// Two threads that write queued layers as GeoTIFFs. A bounded queue keeps
// memory to a few layers. The first failure stops all writing.
class Writer {
  public:
    Writer(int n, std::string compress, const double (&geotransform)[6], std::string wkt,
           pt::Progress& progress)
        : n_(n), compress_(std::move(compress)), wkt_(std::move(wkt)), progress_(progress) {
        std::copy(std::begin(geotransform), std::end(geotransform), geotransform_);
        for (int k = 0; k < 2; ++k) threads_.emplace_back([this] { work(); });
    }

    ~Writer() { finish(); }

    // Queues one layer; false once a write has failed.
    bool submit(std::string path, Bytes data) {
        std::unique_lock lock(mutex_);
        not_full_.wait(lock, [this] { return queue_.size() < CAPACITY || !error_.empty(); });
        if (!error_.empty()) return false;
        queue_.push_back({std::move(path), std::move(data)});
        not_empty_.notify_one();
        return true;
    }

    // Waits for all queued layers; returns the first error ("" if none).
    std::string finish() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        not_empty_.notify_all();
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
        std::lock_guard lock(mutex_);
        return error_;
    }

  private:
    static constexpr size_t CAPACITY = 4;

    void work() {
        for (;;) {
            WriteJob job;
            {
                std::unique_lock lock(mutex_);
                not_empty_.wait(lock,
                                [this] { return !queue_.empty() || closing_ || !error_.empty(); });
                if (!error_.empty() || queue_.empty()) return;
                job = std::move(queue_.front());
                queue_.pop_front();
                not_full_.notify_one();
            }
            std::string failure = write_file(job);
            if (failure.empty()) progress_.advance();
            if (!failure.empty()) {
                std::lock_guard lock(mutex_);
                if (error_.empty()) error_ = std::move(failure);
                queue_.clear();
                not_full_.notify_all();
                not_empty_.notify_all();
                return;
            }
        }
    }

    std::string write_file(const WriteJob& job) const {
        CPLErrorReset();
        GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GTiff");
        if (driver == nullptr) return "GTiff driver not available";
        char** options = nullptr;
        if (compress_ != "NONE") options = CSLSetNameValue(options, "COMPRESS", compress_.c_str());
        GDALDataset* ds = driver->Create(job.path.c_str(), n_, n_, 1, GDT_Byte, options);
        CSLDestroy(options);
        if (ds == nullptr) return "cannot create " + job.path + ": " + CPLGetLastErrorMsg();

        double gt[6];
        std::copy(std::begin(geotransform_), std::end(geotransform_), gt);
        bool ok = ds->SetGeoTransform(gt) == CE_None;
        ok = ok && ds->SetProjection(wkt_.c_str()) == CE_None;
        ok = ok && ds->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, n_, n_,
                                                  const_cast<uint8_t*>(job.data.data()), n_, n_,
                                                  GDT_Byte, 0, 0, nullptr) == CE_None;
        if (ok) ds->FlushCache(false);
        GDALClose(ds);
        if (!ok || CPLGetLastErrorType() >= CE_Failure)
            return "cannot write " + job.path + ": " + CPLGetLastErrorMsg();
        return "";
    }

    const int n_;
    const std::string compress_;
    const std::string wkt_;
    double geotransform_[6] = {};
    pt::Progress& progress_;
    std::mutex mutex_;
    std::condition_variable not_empty_;
    std::condition_variable not_full_;
    std::deque<WriteJob> queue_;
    std::vector<std::thread> threads_;
    bool closing_ = false;
    std::string error_;
};

// ---- command line -------------------------------------------------------

struct Options {
    std::string input_dir;
    std::string datamask_dir;
    std::string wetland_dir;
    std::string tile_id;
    int last_year = 0;
    uint64_t seed = 0;
    int size = pt::TILE_SIZE;
    std::string compress = "LZW";
    // The tile's upper-left corner when given, so that the inputs lie where
    // process_tile will place the products; else a corner from the tile name.
    bool has_origin = false;
    double origin_lon = 0.0;
    double origin_lat = 0.0;
};

constexpr const char* USAGE =
    "usage: make_synthetic_tile <input_dir> <datamask_dir> <wetland_dir> <tile_id> <last_year> "
    "<seed>\n"
    "                           [--size N] [--compress LZW|DEFLATE|NONE]\n"
    "                           [--origin LON LAT]\n"
    "  writes <datamask_dir>/<tile_id>_datamask.tif, <wetland_dir>/<tile_id>_wetlandmask.tif "
    "and\n"
    "  <input_dir>/<tile_id>/<tile_id>_{TCC,loss,TCH}_<year>.tif (TCC from 1997, loss and TCH "
    "from 2000)\n";

// What --help adds to the usage.
constexpr const char* HELP_DETAILS =
    "\n"
    "  A synthetic input tile for process_tile, the same bytes for the same arguments:\n"
    "  canopy cover with yearly noise and invalid bytes, loss patches, canopy heights\n"
    "  with missing ones, a datamask with 0, 1 and 2, wetland patches. last_year is\n"
    "  1997 to 2060.\n"
    "\n"
    "  --size N        tiles of N x N pixels (1 to 20000; default 4004), for tests\n"
    "                  only: process_tile refuses a layer smaller than 4004 x 4004\n"
    "                  and reads the upper-left 4004 x 4004 of a larger one\n"
    "  --compress C    GeoTIFF compression: LZW (default), DEFLATE or NONE\n"
    "  --origin LON LAT  the tile's upper-left corner in degrees (LON -180 to 360,\n"
    "                  LAT -90 to 90), as given to process_tile; without it a\n"
    "                  corner derived from the tile name (process_tile does not\n"
    "                  read the inputs' placement, so the products are the same)\n"
    "  -h, --help      this text\n"
    "\n"
    "  On a terminal the progress of writing the layers is shown on standard error.\n"
    "  Exit status 0 when every file is written, 1 when a directory or file cannot\n"
    "  be created or written, 2 on a usage error.\n";

[[noreturn]] void usage() {
    std::fputs(USAGE, stderr);
    std::exit(2);
}

[[noreturn]] void help() {
    std::fputs(USAGE, stdout);
    std::fputs(HELP_DETAILS, stdout);
    std::fflush(stdout);
    std::exit(0);
}

[[noreturn]] void unknown_option(const std::string& option) {
    std::fprintf(stderr, "make_synthetic_tile: unknown option %s\n", pt::printable(option).c_str());
    usage();
}

// '-' and then anything but a digit: -5 is a (refused) number, not an option.
bool looks_like_option(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

template <typename T>
bool parse_number(std::string_view text, T& out) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

// A bad origin is named on one line: the usage would hide which number is wrong.
[[noreturn]] void bad_origin(const std::string& what, const std::string& text) {
    std::fprintf(stderr, "make_synthetic_tile: --origin %s %s is not a %s\n", what.c_str(),
                 pt::printable(text).c_str(),
                 what == "LON" ? "longitude from -180 to 360" : "latitude from -90 to 90");
    std::exit(2);
}

double parse_degrees(const std::string& what, const std::string& text, double low, double high) {
    double value = 0.0;
    if (!parse_number(text, value) || !std::isfinite(value) || value < low || value > high)
        bad_origin(what, text);
    return value;
}

Options parse_args(int argc, char** argv) {
    Options opt;
    std::vector<std::string> positional;
    // Help wins wherever it stands, before anything else is looked at.
    for (int k = 1; k < argc && std::string(argv[k]) != "--"; ++k) {
        const std::string arg = argv[k];
        if (arg == "-h" || arg == "--help") help();
    }
    bool options_end = false;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (options_end) {
            positional.push_back(arg);
        } else if (arg == "--") {
            options_end = true;
        } else if (arg == "--size" || arg == "--compress") {
            if (k + 1 >= argc) usage();
            const std::string value = argv[++k];
            if (arg == "--size") {
                if (!parse_number(value, opt.size) || opt.size < 1 || opt.size > 20000) usage();
            } else {
                if (value != "LZW" && value != "DEFLATE" && value != "NONE") usage();
                opt.compress = value;
            }
        } else if (arg == "--origin") {
            if (k + 2 >= argc) usage();
            opt.origin_lon = parse_degrees("LON", argv[++k], -180.0, 360.0);
            opt.origin_lat = parse_degrees("LAT", argv[++k], -90.0, 90.0);
            opt.has_origin = true;
        } else if (looks_like_option(arg)) {
            unknown_option(arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 6) usage();
    opt.input_dir = positional[0];
    opt.datamask_dir = positional[1];
    opt.wetland_dir = positional[2];
    opt.tile_id = positional[3];
    if (opt.tile_id.empty()) usage();
    if (!parse_number(positional[4], opt.last_year) || opt.last_year < GEN_FIRST_YEAR ||
        opt.last_year > GEN_MAX_LAST_YEAR)
        usage();
    if (!parse_number(positional[5], opt.seed)) usage();
    return opt;
}

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "make_synthetic_tile: %s\n", message.c_str());
    std::exit(1);
}

void make_directory(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) fail("cannot create directory " + dir + ": " + ec.message());
}

// A plausible upper-left corner derived from the tile name: whole degrees
// within the tropics and temperate zones, padded by two pixels.
void tile_geotransform(const std::string& tile_id, double (&gt)[6]) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : tile_id) h = (h ^ c) * 0x100000001B3ull;
    h = mix64(h);
    const int lon = -80 + static_cast<int>(h % 220);
    const int lat = -20 + static_cast<int>((h >> 20) % 80);
    gt[0] = lon - 2 * PIXEL_DEG;
    gt[1] = PIXEL_DEG;
    gt[2] = 0.0;
    gt[3] = lat + 2 * PIXEL_DEG;
    gt[4] = 0.0;
    gt[5] = -PIXEL_DEG;
}

}  // namespace

int main(int argc, char** argv) {
    const Options opt = parse_args(argc, argv);

    GDALAllRegister();
    if (GetGDALDriverManager()->GetDriverByName("GTiff") == nullptr)
        fail("GTiff driver not available");

    const std::string annual_dir = opt.input_dir + "/" + opt.tile_id;
    make_directory(opt.datamask_dir);
    make_directory(opt.wetland_dir);
    make_directory(annual_dir);

    OGRSpatialReference srs;
    srs.SetWellKnownGeogCS("WGS84");
    char* wkt_raw = nullptr;
    if (srs.exportToWkt(&wkt_raw) != OGRERR_NONE || wkt_raw == nullptr)
        fail("cannot build the WGS84 reference");
    const std::string wkt = wkt_raw;
    CPLFree(wkt_raw);
    double gt[6];
    tile_geotransform(opt.tile_id, gt);
    if (opt.has_origin) {
        gt[0] = opt.origin_lon;
        gt[3] = opt.origin_lat;
    }

    // On a terminal, the layers written so far; silent otherwise.
    pt::Progress progress = pt::Progress::for_terminal();
    const int cover_years = opt.last_year - GEN_FIRST_YEAR + 1;
    const int loss_years = std::max(0, opt.last_year - GEN_FIRST_LOSS_YEAR + 1);
    progress.begin_phase("generating", 2 + cover_years + 2 * loss_years);
    Landscape land = build_landscape(opt.size, opt.seed);
    Writer writer(opt.size, opt.compress, gt, wkt, progress);
    bool ok = writer.submit(opt.datamask_dir + "/" + opt.tile_id + "_datamask.tif",
                            std::move(land.datamask));
    ok = ok && writer.submit(opt.wetland_dir + "/" + opt.tile_id + "_wetlandmask.tif",
                             std::move(land.wetland));

    Simulation sim(land, opt.seed);
    const std::string prefix = annual_dir + "/" + opt.tile_id;
    for (int year = GEN_FIRST_YEAR; ok && year <= opt.last_year; ++year) {
        Bytes cover, loss, height;
        sim.step(year, cover, loss, height);
        const std::string y = std::to_string(year);
        ok = writer.submit(prefix + "_TCC_" + y + ".tif", std::move(cover));
        if (year >= GEN_FIRST_LOSS_YEAR) {
            ok = ok && writer.submit(prefix + "_loss_" + y + ".tif", std::move(loss));
            ok = ok && writer.submit(prefix + "_TCH_" + y + ".tif", std::move(height));
        }
    }
    const std::string error = writer.finish();
    if (!error.empty()) {
        // The failure on a line of its own, not after the progress.
        if (progress.enabled()) std::fputc('\n', stderr);
        fail(error);
    }
    progress.end_phase();
    return 0;
}
