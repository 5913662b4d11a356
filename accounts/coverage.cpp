// Exact cell shares of a zone, from its edges.
//
// The area of a region left of the line x = X within one row of cells is the
// integral of min(x, X) dy along the region's boundary inside the row (the
// row's top and bottom lines add nothing, having dy = 0). Differencing at
// X = c and X = c + 1 gives the area inside cell c:
//
//     area(c) = sum over boundary pieces in the row of the integral of
//               clamp(x - c, 0, 1) dy.
//
// Cutting every edge at the grid lines it crosses leaves pieces that each lie
// in one cell, where x is linear, so a piece in column k with signed height
// dy and mean abscissa xm adds dy to every cell right of column k and
// dy * (k + 1 - xm) to cell k itself. Written as a difference along the row,
// the piece puts dy * (k + 1 - xm) at column k and dy * (xm - k) at column
// k + 1, and the running sum along the row is the area in each cell. Cells
// between two columns that received something share the running sum, so the
// work is proportional to the number of pieces, not to the zone's area.
//
// Only the running sum matters left of the tile: a piece left of x = 0 adds
// its dy at column 0. Pieces at or right of x = width change no cell of the
// tile. Rows outside the tile are not visited, and an edge is cut only within
// the tile, so a ring reaching far outside costs no more than its part
// inside.
#include "accounts/coverage.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace pt {
namespace {

// Shares this close to 1 are 1, this close to 0 are nothing: rounding of
// sums of pieces, never a part of a cell a zone holds.
constexpr double SHARE_SNAP = 1e-9;

// Coordinates beyond this many pixels from the tile cannot be a zone that
// was transformed correctly (the whole globe is 1.44 million cells of
// 0.00025 degrees across), and would lose all precision in the cell shares.
constexpr double MAX_COORDINATE = 1e12;

struct Entry {
    uint64_t key;  // row << 32 | column
    double value;
};

class RowDifferences {
  public:
    RowDifferences(int width, int height) : width_(width), height_(height) {}

    // The edge from `p` to `q` of a ring whose areas count `sign` (+1 or -1).
    void add_edge(PixelPoint p, PixelPoint q, double sign);

    std::vector<CoverSpan> spans();

  private:
    void add_row_segment(int row, double u0, double v0, double u1, double v1, double sign);
    void add_piece(int row, double ua, double ub, double dy);
    void add(int row, int col, double value) {
        entries_.push_back({static_cast<uint64_t>(row) << 32 | static_cast<uint32_t>(col), value});
        if (entries_.size() >= compact_at_) compact();
    }
    // Entries of the same cell summed, so that a zone whose edges cross the
    // tile very many times needs memory for the cells, not for the pieces.
    void compact();

    int width_;
    int height_;
    std::vector<Entry> entries_;
    std::size_t compact_at_ = std::size_t{1} << 22;
};

void RowDifferences::add_edge(PixelPoint p, PixelPoint q, double sign) {
    if (p.y == q.y) return;  // horizontal: no dy, no area
    if (p.y > q.y) {
        std::swap(p, q);
        sign = -sign;
    }
    if (q.y <= 0 || p.y >= height_) return;
    const double y_start = std::max(p.y, 0.0);
    const double y_end = std::min(q.y, static_cast<double>(height_));
    const double x_lo = std::min(p.x, q.x);
    const double x_hi = std::max(p.x, q.x);
    // The edge's abscissa at ordinate y; the ends exactly, and the same value
    // for the same y, so that consecutive rows meet at one point.
    const auto x_at = [&](double y) {
        if (y == p.y) return p.x;
        if (y == q.y) return q.x;
        if (p.x == q.x) return p.x;
        const double t = (y - p.y) / (q.y - p.y);
        return std::clamp(p.x + t * (q.x - p.x), x_lo, x_hi);
    };
    const int first_row = static_cast<int>(std::floor(y_start));
    double ya = y_start;
    double xa = x_at(ya);
    for (int row = first_row; row < height_ && row < y_end; ++row) {
        const double yb = std::min(static_cast<double>(row) + 1, y_end);
        if (yb <= ya) continue;
        const double xb = x_at(yb);
        add_row_segment(row, xa, ya, xb, yb, sign);
        ya = yb;
        xa = xb;
    }
}

// The part of an edge within one row, from (u0, v0) to (u1, v1) with v0 < v1,
// cut at the integer abscissae within the tile.
void RowDifferences::add_row_segment(int row, double u0, double v0, double u1, double v1,
                                     double sign) {
    if (u0 == u1) {
        add_piece(row, u0, u1, sign * (v1 - v0));
        return;
    }
    const double lo = std::min(u0, u1);
    const double hi = std::max(u0, u1);
    if (hi <= 0) {
        add(row, 0, sign * (v1 - v0));  // wholly left of the tile
        return;
    }
    if (lo >= width_) return;  // wholly right of it
    const double slope = (v1 - v0) / (u1 - u0);
    const auto v_at = [&](double x) { return std::clamp(v0 + (x - u0) * slope, v0, v1); };
    // Integer abscissae strictly between the ends, within [0, width].
    const int first = static_cast<int>(std::max(std::floor(lo) + 1, 0.0));
    const int last = static_cast<int>(std::min(std::ceil(hi) - 1, static_cast<double>(width_)));
    double ua = u0;
    double va = v0;
    if (u1 > u0) {
        for (int x = first; x <= last; ++x) {
            const double vb = v_at(x);
            add_piece(row, ua, x, sign * (vb - va));
            ua = x;
            va = vb;
        }
    } else {
        for (int x = last; x >= first; --x) {
            const double vb = v_at(x);
            add_piece(row, ua, x, sign * (vb - va));
            ua = x;
            va = vb;
        }
    }
    add_piece(row, ua, u1, sign * (v1 - va));
}

// A piece of an edge within one cell (or wholly left or right of the tile),
// from abscissa `ua` to `ub`, rising by `dy` (signed for the ring).
void RowDifferences::add_piece(int row, double ua, double ub, double dy) {
    if (dy == 0) return;
    const double xm = (ua + ub) / 2;
    if (xm < 0) {
        add(row, 0, dy);
        return;
    }
    if (xm >= width_) return;
    const int col = static_cast<int>(xm);  // floor: xm >= 0
    add(row, col, dy * ((col + 1) - xm));
    if (col + 1 < width_) add(row, col + 1, dy * (xm - col));
}

void RowDifferences::compact() {
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.key < b.key; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (kept > 0 && entries_[kept - 1].key == entries_[i].key) {
            entries_[kept - 1].value += entries_[i].value;
        } else {
            entries_[kept++] = entries_[i];
        }
    }
    entries_.resize(kept);
    compact_at_ = std::max(compact_at_, 2 * kept);
}

std::vector<CoverSpan> RowDifferences::spans() {
    compact();
    std::vector<CoverSpan> spans;
    const auto emit = [&](int row, int begin, int end, double area) {
        double share = std::clamp(area, 0.0, 1.0);
        if (share <= SHARE_SNAP) return;
        if (share >= 1 - SHARE_SNAP) share = 1;
        if (!spans.empty()) {
            CoverSpan& last = spans.back();
            if (last.row == row && last.end == begin && last.share == share) {
                last.end = end;
                return;
            }
        }
        spans.push_back({row, begin, end, share});
    };
    std::size_t i = 0;
    while (i < entries_.size()) {
        const uint64_t row_key = entries_[i].key >> 32;
        const int row = static_cast<int>(row_key);
        double running = 0;
        while (i < entries_.size() && (entries_[i].key >> 32) == row_key) {
            const int col = static_cast<int>(entries_[i].key & 0xffffffffu);
            running += entries_[i].value;
            ++i;
            const bool more = i < entries_.size() && (entries_[i].key >> 32) == row_key;
            const int next = more ? static_cast<int>(entries_[i].key & 0xffffffffu) : width_;
            emit(row, col, col + 1, running);
            if (next > col + 1) emit(row, col + 1, next, running);
        }
    }
    return spans;
}

// Twice the signed area of a ring in the orientation of the integral of
// x dy (relative to its first point, to keep far-away rings precise).
double twice_signed_area(const PixelRing& ring) {
    const double x0 = ring[0].x;
    double sum = 0;
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const PixelPoint& a = ring[i];
        const PixelPoint& b = ring[i + 1 < ring.size() ? i + 1 : 0];
        sum += ((a.x - x0) + (b.x - x0)) * (b.y - a.y);
    }
    return sum;
}

void check_ring(const PixelRing& ring) {
    for (const PixelPoint& p : ring) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || std::fabs(p.x) > MAX_COORDINATE ||
            std::fabs(p.y) > MAX_COORDINATE) {
            throw std::invalid_argument(
                "a zone's outline has a point that is not finite or lies far beyond the tile");
        }
    }
}

// Adds the ring's edges so that its area counts +1 (an outer ring) or -1 (a
// hole), whichever way round it runs. The running sums come out as minus
// the integral of x dy, hence the sign's turn.
void add_ring(RowDifferences& differences, const PixelRing& ring, double wanted) {
    if (ring.size() < 3) return;  // no area
    const double twice_area = twice_signed_area(ring);
    if (twice_area == 0) return;
    const double sign = twice_area > 0 ? -wanted : wanted;
    for (std::size_t i = 0; i < ring.size(); ++i) {
        differences.add_edge(ring[i], ring[i + 1 < ring.size() ? i + 1 : 0], sign);
    }
}

}  // namespace

std::vector<CoverSpan> coverage_spans(const ZoneShape& zone, int width, int height) {
    for (const PixelRing& ring : zone.outer) check_ring(ring);
    for (const PixelRing& ring : zone.holes) check_ring(ring);
    if (width <= 0 || height <= 0) return {};
    RowDifferences differences(width, height);
    for (const PixelRing& ring : zone.outer) add_ring(differences, ring, +1);
    for (const PixelRing& ring : zone.holes) add_ring(differences, ring, -1);
    return differences.spans();
}

}  // namespace pt
