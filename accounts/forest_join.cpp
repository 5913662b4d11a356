// How the join works. A pixel of a tile's edge touches pixels its part does
// not own; where another tile's part owns one, that pixel is on the other
// tile's edge too. So the joins are found between the two tiles' edge
// pixels alone. An edge is cut into straight segments (a part's side is a
// run of pixels along a row or down a column, in the edge order both tiles
// follow), and the states along a segment are runs: two segments touch
// only when they lie side by side (their runs are merged along the line,
// run against run), end to end, or across each other's ends (a few pixels
// at the corner). No pixel is visited one by one along a side, so the cost
// is that of the runs the tiles wrote.
//
// Memory. The tiles are taken grid by grid, from north to south. A tile is
// held (its edge segments and runs, its undecided patches and their
// figures) until the sweep passes the row below its last, beyond which no
// later tile can touch it. Its patches are then settled where their joined
// set is closed (every tile of the set released): forest sets add their
// figures, the others are dropped. A patch whose set still reaches a held
// tile waits, with its tile's patches, until the set closes. The union-find
// over the patches is kept per tile and freed with it.
#include "accounts/forest_join.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "accounts/account_sums.hpp"
#include "accounts/tile_part.hpp"
#include "accounts/tile_tables.hpp"
#include "run/printable.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

// Tiles are found by their upper-left pixel in buckets of a degree: a grid
// is 360 of them around.
constexpr long long BUCKET = 4000;
constexpr long long BUCKET_COLUMNS = GRID_COLUMNS / BUCKET;
constexpr long long LAST_ROW = std::numeric_limits<long long>::max();
constexpr uint64_t LOCAL_MASK = 0xffffffffu;

long long floor_div(long long a, long long b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// The columns from `from` to `to`, the short way round the globe.
long long column_offset(long long from, long long to) {
    long long d = (to - from) % GRID_COLUMNS;
    if (d < 0) d += GRID_COLUMNS;
    if (d > GRID_COLUMNS / 2) d -= GRID_COLUMNS;
    return d;
}

// A straight stretch of a part's edge: `length` pixels from (row, column)
// along the row or down the column, at places first, first + 1, ... of the
// edge order. A lone pixel counts as along a row.
struct Segment {
    int row = 0, column = 0, length = 0;
    uint32_t first = 0;
    bool down = false;
    int last_row() const { return down ? row + length - 1 : row; }
    int last_column() const { return down ? column : column + length - 1; }
};

// A stretch of one state along a line: positions [from, to] on it.
struct Stretch {
    long long from, to;
    int32_t state;
};

}  // namespace

std::vector<TilePlace> parse_placement(std::string_view text) {
    std::vector<TilePlace> places;
    std::unordered_set<std::string_view> seen;
    std::size_t at = 0, line = 0;
    while (at < text.size()) {
        ++line;
        const std::string bad = "line " + std::to_string(line) + " of the placement ";
        const std::size_t eol = text.find('\n', at);
        if (eol == std::string_view::npos) throw RunFailure(bad + "does not end in a newline");
        const std::string_view whole_line = text.substr(at, eol - at);
        at = eol + 1;
        const std::vector<std::string_view> fields = tab_fields(whole_line);
        if (fields.size() != 4) throw RunFailure(bad + "is not tile id, grid, column and row");
        if (fields[0].empty() || has_control_character(fields[0])) {
            throw RunFailure(bad + "names no tile");
        }
        constexpr std::size_t MAX_GRID = 256;
        if (fields[1].empty() || fields[1].size() > MAX_GRID ||
            std::any_of(fields[1].begin(), fields[1].end(),
                        [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; })) {
            throw RunFailure(bad + "names no grid (a token of up to " + std::to_string(MAX_GRID) +
                             " bytes, no spaces)");
        }
        TilePlace place;
        if (!whole_number(fields[2], false, place.column) || place.column >= GRID_COLUMNS) {
            throw RunFailure(bad + "holds a column that is not a whole number from 0 to " +
                             std::to_string(GRID_COLUMNS - 1));
        }
        if (!whole_number(fields[3], false, place.row) || place.row > GRID_ROWS) {
            throw RunFailure(bad + "holds a row that is not a whole number from 0 to " +
                             std::to_string(GRID_ROWS));
        }
        if (!seen.insert(fields[0]).second) {
            throw RunFailure(bad + "places tile " + printable(fields[0]) + " a second time");
        }
        place.tile_id = std::string(fields[0]);
        place.grid = std::string(fields[1]);
        places.push_back(std::move(place));
    }
    return places;
}

// ---- what is held --------------------------------------------------------

// A part's edge as segments, with the segments found by where they lie.
struct ForestJoin::Shape {
    TilePart part;
    int width = 0, height = 0;
    std::size_t border_pixels = 0;
    std::vector<Segment> segments;       // in the edge order
    std::vector<uint32_t> along_rows;    // those along a row, by row, then column
    std::vector<uint32_t> down_columns;  // those down a column, by column, then row

    Shape(TilePart p, int w, int h) : part(std::move(p)), width(w), height(h) {
        const std::vector<TilePixel> pixels = part_border_pixels(part);
        border_pixels = pixels.size();
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            const TilePixel& pixel = pixels[i];
            if (!segments.empty()) {
                Segment& last = segments.back();
                const bool next_along = (!last.down || last.length == 1) && pixel.row == last.row &&
                                        pixel.column == last.column + last.length;
                const bool next_down = (last.down || last.length == 1) &&
                                       pixel.column == last.column &&
                                       pixel.row == last.row + last.length;
                if (next_along || next_down) {
                    last.down = next_down;
                    ++last.length;
                    continue;
                }
            }
            segments.push_back({pixel.row, pixel.column, 1, static_cast<uint32_t>(i), false});
        }
        for (uint32_t s = 0; s < segments.size(); ++s) {
            (segments[s].down ? down_columns : along_rows).push_back(s);
        }
        std::sort(along_rows.begin(), along_rows.end(), [&](uint32_t a, uint32_t b) {
            return std::tie(segments[a].row, segments[a].column) <
                   std::tie(segments[b].row, segments[b].column);
        });
        std::sort(down_columns.begin(), down_columns.end(), [&](uint32_t a, uint32_t b) {
            return std::tie(segments[a].column, segments[a].row) <
                   std::tie(segments[b].column, segments[b].row);
        });
    }
};

// Shapes by part: the tiles of a grid share a few parts (the whole tile,
// the sides cut off where neighbours overlap).
struct ForestJoin::ShapeCache {
    std::map<std::tuple<std::string, int, int>, std::shared_ptr<const Shape>> shapes;
};

// A tile's edges while a later tile may touch them.
struct ForestJoin::Held {
    std::size_t tile = 0;
    long long row = 0, column = 0;  // its upper-left pixel on the grid
    std::shared_ptr<const Shape> shape;
    // Each year's runs of edge states: where each begins in the edge order,
    // and its state.
    std::vector<std::vector<uint32_t>> starts;
    std::vector<std::vector<int32_t>> states;
    long long reach() const { return row + shape->height; }

    int32_t state_at(int year, uint32_t place) const {
        const std::vector<uint32_t>& s = starts[static_cast<std::size_t>(year)];
        const auto run = std::upper_bound(s.begin(), s.end(), place) - s.begin() - 1;
        return states[static_cast<std::size_t>(year)][static_cast<std::size_t>(run)];
    }
};

// A tile's undecided patches: their union-find, and what each adds when
// its set is forest. Kept until every one of them is settled. Some 40
// bytes a patch, and 12 a zone it reaches (the losses of 2000's patches
// besides).
struct ForestJoin::Nodes {
    struct Node {
        uint64_t parent;       // (tile << 32) | patch
        double own_m2;         // the patch's area
        double set_m2;         // at a root: its set's; infinite: it touches forest
        int32_t reach;         // at a root: the last sweep row a tile of its set is held
        uint32_t first_share;  // its zone shares begin here; the next patch's end them
    };
    std::vector<uint32_t> year_first;  // the first patch of each year, and the count
    std::vector<Node> nodes;
    std::vector<uint32_t> share_zone;  // the batch's zone number
    std::vector<double> share_forest_m2;
    std::vector<double> loss_m2;        // patches of 2000: the loss of each year
    std::vector<double> share_loss_m2;  // shares of 2000's patches: each year's loss
    std::size_t waiting = 0;
    bool released = false;

    Node& operator[](uint64_t node) { return nodes[node & LOCAL_MASK]; }
    uint32_t share_end(std::size_t k) const {
        return k + 1 < nodes.size() ? nodes[k + 1].first_share
                                    : static_cast<uint32_t>(share_zone.size());
    }
};

// The held tiles by the bucket of their upper-left pixel.
struct ForestJoin::Buckets {
    std::unordered_map<uint64_t, std::vector<std::size_t>> tiles;
    int widest = 0, tallest = 0;
    static uint64_t key(long long row_bucket, long long column_bucket) {
        return (static_cast<uint64_t>(row_bucket) << 32) | static_cast<uint64_t>(column_bucket);
    }
    static uint64_t key_of(long long row, long long column) {
        return key(row / BUCKET, (column % GRID_COLUMNS) / BUCKET);
    }
};

// ---- the join --------------------------------------------------------------

ForestJoin::ForestJoin(const ForestDefinition& definition, int connectivity, int years,
                       std::vector<TilePlace> places)
    : definition_(definition),
      connectivity_(connectivity),
      years_(years),
      places_(std::move(places)),
      held_(places_.size()),
      nodes_(places_.size()),
      buckets_(std::make_unique<Buckets>()),
      shapes_(std::make_unique<ShapeCache>()) {
    if (connectivity != 4 && connectivity != 8) {
        throw std::invalid_argument("a connectivity of 4 or 8 neighbours");
    }
    if (years < 1) throw std::invalid_argument("a year at least");
    if (places_.size() >= (std::size_t{1} << 32)) throw std::length_error("too many tiles");
    order_.resize(places_.size());
    for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = i;
    std::sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
        return std::tie(places_[a].grid, places_[a].row, places_[a].column, a) <
               std::tie(places_[b].grid, places_[b].row, places_[b].column, b);
    });
    const auto y = static_cast<std::size_t>(years);
    joined_.forest_m2.assign(y, 0);
    joined_.loss_m2.assign(y, 0);
}

ForestJoin::~ForestJoin() = default;

uint64_t ForestJoin::root(uint64_t node) {
    for (;;) {
        Nodes::Node& n = (*nodes_[node >> 32])[node];
        if (n.parent == node) return node;
        const uint64_t above = (*nodes_[n.parent >> 32])[n.parent].parent;
        n.parent = above;  // halve the path
        node = above;
    }
}

void ForestJoin::unite(uint64_t a, uint64_t b) {
    a = root(a);
    b = root(b);
    if (a == b) return;
    if (b < a) std::swap(a, b);
    Nodes::Node& top = (*nodes_[a >> 32])[a];
    Nodes::Node& under = (*nodes_[b >> 32])[b];
    under.parent = a;
    top.set_m2 += under.set_m2;
    top.reach = std::max(top.reach, under.reach);
}

void ForestJoin::make_forest(uint64_t node) {
    node = root(node);
    (*nodes_[node >> 32])[node].set_m2 = std::numeric_limits<double>::infinity();
}

std::shared_ptr<const ForestJoin::Shape> ForestJoin::shape_of(const TileForestEdges& edges) {
    auto key = std::make_tuple(edges.part, edges.width, edges.height);
    if (const auto found = shapes_->shapes.find(key); found != shapes_->shapes.end()) {
        return found->second;
    }
    if (edges.width < 1 || edges.height < 1 || edges.width > TILE_SIZE ||
        edges.height > TILE_SIZE) {
        throw DamagedTable("its forest edges are of a tile of " + std::to_string(edges.width) +
                           " x " + std::to_string(edges.height) + " pixels");
    }
    std::string error;
    std::optional<TilePart> part =
        edges.part.empty() ? TilePart::whole(edges.width, edges.height)
                           : TilePart::parse(edges.part, edges.width, edges.height, error);
    if (!part) throw DamagedTable("its forest edges' part: " + printable(error));
    // Held tiles keep their shapes; the cache only spares working them out.
    if (shapes_->shapes.size() >= 256) shapes_->shapes.clear();
    auto shape = std::make_shared<const Shape>(std::move(*part), edges.width, edges.height);
    shapes_->shapes.emplace(std::move(key), shape);
    return shape;
}

void ForestJoin::advance(std::size_t tile) {
    if (next_ >= order_.size() || order_[next_] != tile) {
        throw std::logic_error("tiles given out of the join's order");
    }
    const TilePlace& place = places_[tile];
    if (grid_ != nullptr && *grid_ != place.grid) release_before(LAST_ROW);
    grid_ = &place.grid;
    release_before(place.row);
    ++next_;
}

void ForestJoin::skip(std::size_t tile) {
    advance(tile);
}

void ForestJoin::add(std::size_t tile, const TileForestEdges& edges,
                     const std::vector<std::size_t>& zone_number) {
    if (zone_number.size() != edges.zone_names.size()) {
        throw std::invalid_argument("a batch zone for each zone of the edges");
    }
    advance(tile);
    const TilePlace& place = places_[tile];
    if (edges.tile_id != place.tile_id) {
        throw DamagedTable("its forest edges are those of tile " + printable(edges.tile_id));
    }
    if (edges.definition.cover != definition_.cover ||
        edges.definition.height != definition_.height ||
        edges.definition.hectares != definition_.hectares) {
        throw DamagedTable("its forest edges are of another definition of forest");
    }
    if (edges.connectivity != connectivity_) {
        throw DamagedTable("its forest edges join patches through " +
                           std::to_string(edges.connectivity) + " neighbours, not " +
                           std::to_string(connectivity_));
    }
    if (edges.years.size() != static_cast<std::size_t>(years_)) {
        throw DamagedTable("its forest edges hold " + std::to_string(edges.years.size()) +
                           " years, not " + std::to_string(years_));
    }

    // Its edge states and patches, checked as far as the join leans on them.
    auto held = std::make_unique<Held>();
    held->tile = tile;
    held->row = place.row;
    held->column = place.column;
    held->shape = shape_of(edges);
    auto nodes = std::make_unique<Nodes>();
    const auto years = static_cast<std::size_t>(years_);
    held->starts.resize(years);
    held->states.resize(years);
    nodes->year_first.push_back(0);
    std::size_t runs = 0, shares = 0, losses = 0;
    for (std::size_t y = 0; y < years; ++y) {
        const EdgeYear& year = edges.years[y];
        held->starts[y].reserve(year.border_runs.size());
        held->states[y].reserve(year.border_runs.size());
        uint64_t place_in_edge = 0;
        for (const auto& [count, state] : year.border_runs) {
            if (count == 0 || state < EDGE_NOT_CANOPY ||
                (state > 0 && static_cast<std::size_t>(state) > year.patches.size())) {
                throw DamagedTable("its forest edges hold a run of no patch of its year");
            }
            held->starts[y].push_back(static_cast<uint32_t>(place_in_edge));
            held->states[y].push_back(state);
            place_in_edge += count;
            if (place_in_edge > held->shape->border_pixels) break;
        }
        if (place_in_edge != held->shape->border_pixels) {
            throw DamagedTable("its forest edges' states of " +
                               std::to_string(FIRST_OUTPUT_YEAR + static_cast<int>(y)) +
                               " do not cover its part's edge");
        }
        runs += year.border_runs.size();
        const uint64_t total = uint64_t{nodes->year_first.back()} + year.patches.size();
        if (total > LOCAL_MASK) throw DamagedTable("its forest edges hold too many patches");
        nodes->year_first.push_back(static_cast<uint32_t>(total));
        for (const EdgePatch& patch : year.patches) {
            shares += patch.zones.size();
            if (y == 0) losses += 1 + patch.zones.size();
        }
    }
    if (shares > LOCAL_MASK) throw DamagedTable("its forest edges hold too many zone shares");
    // Each held exactly: a tile's patches stay until their sets close.
    const std::size_t count = nodes->year_first.back();
    nodes->nodes.reserve(count);
    nodes->share_zone.reserve(shares);
    nodes->share_forest_m2.reserve(shares);
    const std::size_t patches_2000 = nodes->year_first[1];
    nodes->loss_m2.reserve(patches_2000 * years);
    nodes->share_loss_m2.reserve((losses - patches_2000) * years);
    const auto reach = static_cast<int32_t>(held->reach());
    for (std::size_t y = 0; y < years; ++y) {
        for (const EdgePatch& patch : edges.years[y].patches) {
            const std::size_t k = nodes->nodes.size();
            if (!(patch.area_m2 > 0) || !std::isfinite(patch.area_m2)) {
                throw DamagedTable("its forest edges hold a patch of no area");
            }
            nodes->nodes.push_back({(uint64_t{tile} << 32) | k, patch.area_m2, patch.area_m2, reach,
                                    static_cast<uint32_t>(nodes->share_zone.size())});
            if (y == 0) {
                if (patch.loss_m2.size() != years) {
                    throw DamagedTable("its forest edges hold a patch of 2000 without its losses");
                }
                nodes->loss_m2.insert(nodes->loss_m2.end(), patch.loss_m2.begin(),
                                      patch.loss_m2.end());
            }
            for (const EdgeZoneShare& share : patch.zones) {
                if (share.zone >= zone_number.size()) {
                    throw DamagedTable("its forest edges hold a share of no zone");
                }
                nodes->share_zone.push_back(static_cast<uint32_t>(zone_number[share.zone]));
                nodes->share_forest_m2.push_back(share.forest_m2);
                if (y == 0) {
                    if (share.loss_m2.size() != years) {
                        throw DamagedTable("its forest edges hold a zone's share without losses");
                    }
                    nodes->share_loss_m2.insert(nodes->share_loss_m2.end(), share.loss_m2.begin(),
                                                share.loss_m2.end());
                }
            }
        }
    }

    held_[tile] = std::move(held);
    nodes_[tile] = std::move(nodes);
    Held& here = *held_[tile];

    // The held tiles whose upper-left pixel lies where a tile touching this
    // one can begin: up to the widest (tallest) held tile before it.
    Buckets& b = *buckets_;
    b.widest = std::max(b.widest, edges.width);
    b.tallest = std::max(b.tallest, edges.height);
    const long long row_first = floor_div(place.row - b.tallest, BUCKET);
    const long long row_last = floor_div(place.row + edges.height, BUCKET);
    const long long column_first = floor_div(place.column - b.widest, BUCKET);
    const long long column_last = floor_div(place.column + edges.width, BUCKET);
    for (long long r = std::max(0LL, row_first); r <= row_last; ++r) {
        for (long long c = column_first; c <= column_last; ++c) {
            const long long wrapped = ((c % BUCKET_COLUMNS) + BUCKET_COLUMNS) % BUCKET_COLUMNS;
            const auto found = b.tiles.find(Buckets::key(r, wrapped));
            if (found == b.tiles.end()) continue;
            for (std::size_t other : found->second) join_with(here, *held_[other]);
        }
    }
    b.tiles[Buckets::key_of(place.row, place.column)].push_back(tile);
    releasing_.push_back(tile);
    std::push_heap(releasing_.begin(), releasing_.end(), [&](std::size_t a, std::size_t c) {
        return held_[a]->reach() > held_[c]->reach();
    });

    now_.tiles += 1;
    now_.patches += count;
    now_.border_runs += runs;
    peak_.tiles = std::max(peak_.tiles, now_.tiles);
    peak_.patches = std::max(peak_.patches, now_.patches);
    peak_.border_runs = std::max(peak_.border_runs, now_.border_runs);
}

namespace {

// The stretches of canopy of `held`'s `year` along `segment`, at positions
// [from, to] of the line it lies on (columns of a row, rows of a column, in
// the frame where the segment begins at `origin`).
template <typename HeldTile>
void canopy_stretches(const HeldTile& held, int year, const Segment& segment, long long origin,
                      long long from, long long to, std::vector<Stretch>& out) {
    out.clear();
    from = std::max(from, origin);
    to = std::min(to, origin + segment.length - 1);
    if (from > to) return;
    const std::vector<uint32_t>& starts = held.starts[static_cast<std::size_t>(year)];
    const std::vector<int32_t>& states = held.states[static_cast<std::size_t>(year)];
    const auto first = static_cast<uint32_t>(segment.first + (from - origin));
    const auto last = static_cast<uint32_t>(segment.first + (to - origin));
    auto run = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), first) -
                                        starts.begin() - 1);
    for (; run < starts.size() && starts[run] <= last; ++run) {
        if (states[run] == EDGE_NOT_CANOPY) continue;
        const uint32_t run_last = run + 1 < starts.size() ? starts[run + 1] - 1 : UINT32_MAX;
        const long long a = static_cast<long long>(std::max(first, starts[run])) - segment.first;
        const long long z = static_cast<long long>(std::min(last, run_last)) - segment.first;
        out.push_back({a + origin, z + origin, states[run]});
    }
}

}  // namespace

void ForestJoin::join_with(Held& later, Held& earlier) {
    const Shape& a_shape = *later.shape;
    const Shape& b_shape = *earlier.shape;
    // `earlier` in the frame of `later`.
    const long long dr = earlier.row - later.row;
    const long long dc = column_offset(later.column, earlier.column);
    if (dr > a_shape.height || dr + b_shape.height < 0 || dc > a_shape.width ||
        dc + b_shape.width < 0) {
        return;
    }
    // Parts that share a pixel would count it twice: the placement and
    // the parts the tiles were given do not agree.
    for (long long r = std::max(0LL, dr);
         r < std::min<long long>(a_shape.height, dr + b_shape.height); ++r) {
        const int ab = a_shape.part.begin(static_cast<int>(r));
        const int ae = a_shape.part.end(static_cast<int>(r));
        const long long bb = b_shape.part.begin(static_cast<int>(r - dr)) + dc;
        const long long be = b_shape.part.end(static_cast<int>(r - dr)) + dc;
        if (ab < ae && bb < be && std::max<long long>(ab, bb) < std::min<long long>(ae, be)) {
            throw RunFailure("tiles " + printable(places_[later.tile].tile_id) + " and " +
                             printable(places_[earlier.tile].tile_id) + " of grid " +
                             printable(places_[later.tile].grid) + " both own pixels of row " +
                             std::to_string(later.row + r) + ": their parts overlap");
        }
    }

    // The pairs of segments that lie within a pixel of each other.
    struct Pair {
        const Segment* a;
        Segment b;  // in the frame of `later`
    };
    std::vector<Pair> pairs;
    for (const Segment& s : a_shape.segments) {
        // Where a touching segment of `earlier` may lie, in its own frame.
        const long long r0 = s.row - 1 - dr, r1 = s.last_row() + 1 - dr;
        const long long c0 = s.column - 1 - dc, c1 = s.last_column() + 1 - dc;
        if (r1 < 0 || r0 >= b_shape.height || c1 < 0 || c0 >= b_shape.width) continue;
        auto take = [&](uint32_t index) {
            Segment t = b_shape.segments[index];
            if (t.last_row() < r0 || t.row > r1 || t.last_column() < c0 || t.column > c1) return;
            t.row += static_cast<int>(dr);
            t.column += static_cast<int>(dc);
            pairs.push_back({&s, t});
        };
        const auto& rows = b_shape.along_rows;
        auto at = std::lower_bound(rows.begin(), rows.end(), r0, [&](uint32_t i, long long row) {
            return b_shape.segments[i].row < row;
        });
        for (; at != rows.end() && b_shape.segments[*at].row <= r1; ++at) take(*at);
        const auto& columns = b_shape.down_columns;
        at = std::lower_bound(
            columns.begin(), columns.end(), c0,
            [&](uint32_t i, long long column) { return b_shape.segments[i].column < column; });
        for (; at != columns.end() && b_shape.segments[*at].column <= c1; ++at) take(*at);
    }
    if (pairs.empty()) return;

    const int reach = connectivity_ == 8 ? 1 : 0;
    std::vector<Stretch> mine, theirs;
    for (int year = 0; year < years_; ++year) {
        Nodes& a_nodes = *nodes_[later.tile];
        Nodes& b_nodes = *nodes_[earlier.tile];
        const uint32_t a_first = a_nodes.year_first[static_cast<std::size_t>(year)];
        const uint32_t b_first = b_nodes.year_first[static_cast<std::size_t>(year)];
        const uint64_t a_tile = uint64_t{later.tile} << 32;
        const uint64_t b_tile = uint64_t{earlier.tile} << 32;
        auto touch = [&](int32_t a_state, int32_t b_state) {
            if (a_state > 0 && b_state > 0) {
                unite(a_tile | (a_first + static_cast<uint32_t>(a_state) - 1),
                      b_tile | (b_first + static_cast<uint32_t>(b_state) - 1));
            } else if (a_state > 0 && b_state == EDGE_FOREST) {
                make_forest(a_tile | (a_first + static_cast<uint32_t>(a_state) - 1));
            } else if (a_state == EDGE_FOREST && b_state > 0) {
                make_forest(b_tile | (b_first + static_cast<uint32_t>(b_state) - 1));
            }
        };
        // Canopy stretches of two lines one apart (or end to end on one
        // line), each stretch against those of the other it touches.
        auto merge = [&](long long gap) {
            std::size_t j = 0;
            for (const Stretch& m : mine) {
                while (j < theirs.size() && theirs[j].to + gap < m.from) ++j;
                for (std::size_t k = j; k < theirs.size() && theirs[k].from <= m.to + gap; ++k) {
                    touch(m.state, theirs[k].state);
                }
            }
        };
        for (const Pair& p : pairs) {
            const Segment& s = *p.a;
            const Segment& t = p.b;
            if (s.down == t.down) {
                // Side by side or end to end: positions along the line, and
                // the distance across.
                const long long across = s.down ? t.column - s.column : t.row - s.row;
                const long long s0 = s.down ? s.row : s.column;
                const long long t0 = t.down ? t.row : t.column;
                if (across == 0) {
                    // End to end: one pixel each, next to each other.
                    const long long s1 = s0 + s.length - 1, t1 = t0 + t.length - 1;
                    long long mine_at = -1, theirs_at = -1;
                    if (s1 + 1 == t0) {
                        mine_at = s1;
                        theirs_at = t0;
                    } else if (t1 + 1 == s0) {
                        mine_at = s0;
                        theirs_at = t1;
                    } else {
                        continue;
                    }
                    canopy_stretches(later, year, s, s0, mine_at, mine_at, mine);
                    canopy_stretches(earlier, year, t, t0, theirs_at, theirs_at, theirs);
                    merge(1);
                    continue;
                }
                if (across != 1 && across != -1) continue;
                canopy_stretches(later, year, s, s0, t0 - reach, t0 + t.length - 1 + reach, mine);
                canopy_stretches(earlier, year, t, t0, s0 - reach, s0 + s.length - 1 + reach,
                                 theirs);
                merge(reach);
                continue;
            }
            // Across each other: only the pixels by the corner where their
            // lines cross can touch.
            const Segment& along = s.down ? t : s;
            const Segment& down = s.down ? s : t;
            for (long long column = down.column - 1; column <= down.column + 1; ++column) {
                if (column < along.column || column > along.last_column()) continue;
                for (long long row = along.row - 1; row <= along.row + 1; ++row) {
                    if (row < down.row || row > down.last_row()) continue;
                    const long long far =
                        std::abs(column - down.column) + std::abs(row - along.row);
                    if (far == 0 || (connectivity_ == 4 && far > 1)) continue;
                    const int32_t along_state =
                        (&along == &s ? later : earlier)
                            .state_at(year,
                                      along.first + static_cast<uint32_t>(column - along.column));
                    const int32_t down_state =
                        (&down == &s ? later : earlier)
                            .state_at(year, down.first + static_cast<uint32_t>(row - down.row));
                    if (&along == &s) {
                        touch(along_state, down_state);
                    } else {
                        touch(down_state, along_state);
                    }
                }
            }
        }
    }
}

// ---- releasing and settling ------------------------------------------------

void ForestJoin::settle(uint64_t node, int year) {
    const Nodes& n = *nodes_[node >> 32];
    const std::size_t k = node & LOCAL_MASK;
    const auto years = static_cast<std::size_t>(years_);
    const auto y = static_cast<std::size_t>(year);
    joined_.forest_m2[y] += n.nodes[k].own_m2;
    if (year == 0) {
        for (std::size_t l = 0; l < years; ++l) joined_.loss_m2[l] += n.loss_m2[k * years + l];
    }
    for (std::size_t s = n.nodes[k].first_share; s < n.share_end(k); ++s) {
        const std::size_t zone = n.share_zone[s];
        if (zone >= joined_.zone_forest_m2.size()) {
            joined_.zone_forest_m2.resize(zone + 1, std::vector<double>(years, 0.0));
            joined_.zone_loss_m2.resize(zone + 1, std::vector<double>(years, 0.0));
        }
        joined_.zone_forest_m2[zone][y] += n.share_forest_m2[s];
        if (year == 0) {
            for (std::size_t l = 0; l < years; ++l) {
                joined_.zone_loss_m2[zone][l] += n.share_loss_m2[s * years + l];
            }
        }
    }
}

void ForestJoin::release(Held& tile, long long row) {
    Nodes& n = *nodes_[tile.tile];
    n.released = true;
    now_.patches -= n.nodes.size();
    const uint64_t base = uint64_t{tile.tile} << 32;
    for (int year = 0; year < years_; ++year) {
        for (uint32_t k = n.year_first[static_cast<std::size_t>(year)];
             k < n.year_first[static_cast<std::size_t>(year) + 1]; ++k) {
            const uint64_t top = root(base | k);
            const Nodes::Node& r = (*nodes_[top >> 32])[top];
            if (r.reach < row) {
                if (r.set_m2 >= definition_.min_area_m2()) settle(base | k, year);
            } else {
                waiting_[r.reach].push_back({base | k, year});
                ++n.waiting;
                ++now_.waiting;
            }
        }
    }
    peak_.waiting = std::max(peak_.waiting, now_.waiting);
}

void ForestJoin::release_before(long long row) {
    auto later_reach = [&](std::size_t a, std::size_t c) {
        return held_[a]->reach() > held_[c]->reach();
    };
    std::vector<std::size_t> released;
    while (!releasing_.empty() && held_[releasing_.front()]->reach() < row) {
        std::pop_heap(releasing_.begin(), releasing_.end(), later_reach);
        released.push_back(releasing_.back());
        releasing_.pop_back();
    }
    // Every patch of the tiles released is looked at before any tile's
    // patches are freed: a set's path may run through them.
    for (std::size_t tile : released) release(*held_[tile], row);
    settle_waiting(row);
    for (std::size_t tile : released) {
        Held& h = *held_[tile];
        auto& bucket = buckets_->tiles[Buckets::key_of(h.row, h.column)];
        bucket.erase(std::find(bucket.begin(), bucket.end(), tile));
        if (bucket.empty()) buckets_->tiles.erase(Buckets::key_of(h.row, h.column));
        now_.tiles -= 1;
        for (const auto& starts : h.starts) now_.border_runs -= starts.size();
        held_[tile].reset();
        if (nodes_[tile] && nodes_[tile]->waiting == 0) nodes_[tile].reset();
    }
}

void ForestJoin::settle_waiting(long long row) {
    // A closed set may wait in several tiles: their patches are freed once
    // all of it has been settled.
    std::vector<std::size_t> settled;
    while (!waiting_.empty() && waiting_.begin()->first < row) {
        const std::vector<Waiting> due = std::move(waiting_.begin()->second);
        waiting_.erase(waiting_.begin());
        for (const Waiting& w : due) {
            const uint64_t top = root(w.node);
            const Nodes::Node& r = (*nodes_[top >> 32])[top];
            if (r.reach >= row) {
                // Its set has grown into a tile held longer.
                waiting_[r.reach].push_back(w);
                continue;
            }
            if (r.set_m2 >= definition_.min_area_m2()) settle(w.node, w.year);
            Nodes& own = *nodes_[w.node >> 32];
            --own.waiting;
            --now_.waiting;
            if (own.waiting == 0 && own.released) settled.push_back(w.node >> 32);
        }
    }
    for (std::size_t tile : settled) nodes_[tile].reset();
}

JoinedForest ForestJoin::finish() {
    if (next_ != order_.size()) throw std::logic_error("the join finished before its last tile");
    release_before(LAST_ROW);
    return std::move(joined_);
}

}  // namespace pt
