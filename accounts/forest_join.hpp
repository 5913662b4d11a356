// Forest patches measured whole across the tiles of a batch. Each tile's
// run decides the patches that reach the definition's area inside the part
// it owns, and leaves undecided those that fall short but touch the part's
// edge (accounts/forest_edges.hpp). Here the undecided patches of all tiles
// are joined where their pixels touch across the parts' edges: a joined set
// that touches decided forest, or whose areas add up to the definition's,
// is forest, and what its patches hold is added to the batch's figures.
//
// Tiles are placed by their upper-left pixel on a grid of 0.00025 degrees
// (columns wrap at 360 degrees); tiles of different grids never touch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/forest_edges.hpp"
#include "accounts/forest_patches.hpp"

namespace pt {

// Columns of a grid around the globe (360 degrees of 0.00025), and its rows
// from the north pole to the south pole.
constexpr long long GRID_COLUMNS = 1440000;
constexpr long long GRID_ROWS = 720000;

// Where a tile lies: the token naming its pixel grid, and its upper-left
// pixel on that grid.
struct TilePlace {
    std::string tile_id;
    std::string grid;
    long long column = 0;  // 0 to GRID_COLUMNS - 1
    long long row = 0;     // 0 to GRID_ROWS
};

// The placement file's text, one tile a line:
//   tile_id TAB grid TAB column TAB row
// grid a token of printable bytes without spaces, column and row whole
// numbers in the ranges above; each tile once. Throws RunFailure naming the
// first line that is not so.
std::vector<TilePlace> parse_placement(std::string_view text);

// The forest the joined sets add, in square metres: for each year (0 =
// 2000), the area of their patches and the loss on those of 2000; the same
// for each zone, by the batch's zone numbers.
struct JoinedForest {
    std::vector<double> forest_m2, loss_m2;
    std::vector<std::vector<double>> zone_forest_m2, zone_loss_m2;  // [zone][year]
};

// What the join held at most at one time, for the record of its cost.
struct JoinHeld {
    std::size_t tiles = 0;        // tiles whose edges were held
    std::size_t patches = 0;      // undecided patches held
    std::size_t border_runs = 0;  // runs of edge states held
    std::size_t waiting = 0;      // patches of released tiles whose sets were still open
};

// Joins the tiles' edges in one sweep, grid by grid, from north to south.
// Only the tiles that a later tile can still touch are held: a tile is
// released as soon as the sweep has passed its last row, and its patches'
// figures are added (or dropped) as soon as every tile of their joined set
// has been released.
//
// What it holds: for each held tile (some two rows of tiles of the list) its
// edge states as runs (8 bytes a run) and its undecided patches (32 bytes a
// patch, 12 a zone share, and a loss a year for those of 2000); for a
// released tile whose patches' sets still reach a held tile, its patches
// until those sets close. A set closes a row of tiles after the last tile it
// reaches, so a tile's patches are kept one row longer at most, unless a
// chain of undecided patches runs on down the list: at worst (every tile
// part of such a chain) every tile's patches, never its edge runs. Measured
// (bench/forest_join_scale.sh): 20,000 stand-in tiles 200 a row, 300
// undecided patches a tile and year, held 400 tiles at most and 320 MiB.
class ForestJoin {
  public:
    ForestJoin(const ForestDefinition& definition, int connectivity, int years,
               std::vector<TilePlace> places);
    ~ForestJoin();
    ForestJoin(const ForestJoin&) = delete;
    ForestJoin& operator=(const ForestJoin&) = delete;

    // The order in which the tiles' edges are to be given (indices into
    // the places): by grid, then row, then column.
    const std::vector<std::size_t>& order() const { return order_; }

    // The edges of the next tile of order(), `tile`; `zone_number[k]` is
    // the batch's number of the edges' zone k. Throws DamagedTable
    // (accounts/account_sums.hpp) where the edges are not of this tile,
    // definition, connectivity and years, or do not add up; RunFailure
    // where its part and an earlier tile's own one pixel (the placement
    // and the parts do not agree).
    void add(std::size_t tile, const TileForestEdges& edges,
             const std::vector<std::size_t>& zone_number);
    // The next tile has no edges to give (they are damaged): the join goes
    // on as if it owned nothing.
    void skip(std::size_t tile);

    // Once every tile is given: what the forest sets add.
    JoinedForest finish();

    const JoinHeld& held_at_most() const { return peak_; }

  private:
    struct Shape;
    struct Held;
    struct Nodes;

    void advance(std::size_t tile);
    void release_before(long long row);
    void release(Held& tile, long long row);
    void settle_waiting(long long row);
    void join_with(Held& later, Held& earlier);
    void settle(uint64_t node, int year);
    uint64_t root(uint64_t node);
    void unite(uint64_t a, uint64_t b);
    void make_forest(uint64_t node);
    std::shared_ptr<const Shape> shape_of(const TileForestEdges& edges);

    ForestDefinition definition_;
    int connectivity_;
    int years_;
    std::vector<TilePlace> places_;
    std::vector<std::size_t> order_;
    std::size_t next_ = 0;
    const std::string* grid_ = nullptr;  // the grid being swept

    std::vector<std::unique_ptr<Held>> held_;    // by tile, while held
    std::vector<std::unique_ptr<Nodes>> nodes_;  // by tile, while any is open
    // A patch of a released tile whose set still reaches a held tile.
    struct Waiting {
        uint64_t node;
        int year;
    };
    // By the last row of the sweep its set reached when last looked at.
    std::map<long long, std::vector<Waiting>> waiting_;
    std::vector<std::size_t> releasing_;  // held tiles, a heap by their last row

    struct Buckets;
    std::unique_ptr<Buckets> buckets_;
    struct ShapeCache;
    std::unique_ptr<ShapeCache> shapes_;

    JoinedForest joined_;
    JoinHeld now_, peak_;
};

}  // namespace pt
