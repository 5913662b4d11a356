// How much of each cell of a tile a zone covers: the exact area of the zone
// inside the cell, as a share of the cell, computed from the zone's edges as
// they pass through the cells (holes taken off), not from the cells' centres.
//
// Coordinates are the tile's pixel coordinates: x the column (0 at the tile's
// left edge, `width` at its right edge), y the row (0 at the top edge,
// `height` at the bottom). Within one cell of 0.00025 degrees the ground is
// flat to far better than a part in a million, so the share in these
// coordinates is the share of the cell's ground area.
#pragma once

#include <vector>

namespace pt {

struct PixelPoint {
    double x = 0;  // column coordinate
    double y = 0;  // row coordinate
};
using PixelRing = std::vector<PixelPoint>;  // closed or not: the last point joins the first

// A zone inside the tile: polygons that do not overlap one another (one
// zone's features already unioned), each an outer ring and its holes, in
// either winding order. Parts outside the tile are allowed and ignored.
struct ZoneShape {
    std::vector<PixelRing> outer;
    std::vector<PixelRing> holes;
};

// Cells [begin, end) of one row, each covered by the same share: a run of
// whole cells inside the zone (share exactly 1) or cells an edge passes
// through (0 < share < 1, usually one cell a span).
struct CoverSpan {
    int row = 0;
    int begin = 0;
    int end = 0;
    double share = 0;
};

// The spans of the zone over a tile of `width` x `height` cells, ordered by
// row, then column; cells the zone does not reach have none. Shares are
// clamped to [0, 1]; a share within 1e-9 of 1 is 1 and within 1e-9 of 0 is
// left out, so rounding never adds a sliver of a cell the zone only touches.
// A ring of fewer than three points or of no area adds nothing. Throws
// std::invalid_argument for a point that is not finite or lies more than
// 1e12 cells from the tile: no share could be trusted.
std::vector<CoverSpan> coverage_spans(const ZoneShape& zone, int width, int height);

}  // namespace pt
