// The part of a tile whose pixels a tile's accounts count. Neighbouring
// tiles of a grid overlap by a few pixels (a tile is 4004 pixels of
// 0.00025 degrees, 1.001 degrees a side, on a grid of whole degrees), so
// the sums of a list of tiles count each place once only when each tile
// counts the pixels it owns: the batch works that part out from the list
// and hands it over as bands of rows, each with the columns owned there.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pt {

class TilePart {
  public:
    // The whole of a `width` x `height` tile.
    static TilePart whole(int width, int height);

    // Reads "ROWS:COLUMNS[,ROWS:COLUMNS...]", each of ROWS and COLUMNS
    // "FIRST-LAST" (inclusive, from 0), e.g. "0-4001:2-4001,4002-4003:2-3":
    // bands of rows in ascending order, none sharing a row; rows in no band
    // are not owned. Nothing, with `error` set to one line, for text that
    // is not such a list or a band outside the tile.
    static std::optional<TilePart> parse(std::string_view text, int width, int height,
                                         std::string& error);

    // The owned columns of `row`: [begin(row), end(row)), empty where
    // begin == end.
    int begin(int row) const { return begin_[static_cast<std::size_t>(row)]; }
    int end(int row) const { return end_[static_cast<std::size_t>(row)]; }

    int height() const { return static_cast<int>(begin_.size()); }
    bool owns(int row, int column) const {
        return row >= 0 && row < height() && column >= begin(row) && column < end(row);
    }

  private:
    std::vector<int> begin_, end_;
};

// A pixel of a tile, by row and column from the upper-left corner.
struct TilePixel {
    int row = 0, column = 0;
    bool operator==(const TilePixel&) const = default;
};

// The owned pixels of `part` with a neighbour, through an edge or a corner,
// that the part does not own (outside the tile included): where a patch of
// canopy may go on into a neighbouring tile. In a fixed order, which a
// tile's forest edges and the batch that joins them both follow: first
// the pixels in the western half of their row's owned run (2 x column + 1
// <= begin + end), row by row downwards, each row's from west to east;
// then those in the eastern half, in the same order. A part's sides are
// so runs of consecutive pixels, which its states along the edge, stored
// as runs, need.
std::vector<TilePixel> part_border_pixels(const TilePart& part);

}  // namespace pt
