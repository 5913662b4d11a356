// The edge pixels of a tile's part, held to the plain rule (an owned pixel
// with a neighbour, through an edge or a corner, that the part does not
// own) on random staircases of bands, and their order: the western halves
// of the rows first, then the eastern, each row by row from west to east.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <tuple>

#include "accounts/tile_part.hpp"

namespace pt {
namespace {

TEST(PartBorder, IsEveryOwnedPixelWithAnUnownedNeighbourInOneOrder) {
    std::mt19937 random(4004);
    for (int trial = 0; trial < 200; ++trial) {
        const int width = 1 + static_cast<int>(random() % 20);
        const int height = 1 + static_cast<int>(random() % 20);
        // Bands of random rows and columns, some rows left out.
        std::string text;
        for (int row = static_cast<int>(random() % 3); row < height;) {
            const int last = std::min(height - 1, row + static_cast<int>(random() % 4));
            const int c0 = static_cast<int>(random() % width);
            const int c1 = c0 + static_cast<int>(random() % (width - c0));
            if (!text.empty()) text += ',';
            text += std::to_string(row);
            text += '-';
            text += std::to_string(last);
            text += ':';
            text += std::to_string(c0);
            text += '-';
            text += std::to_string(c1);
            row = last + 1 + static_cast<int>(random() % 2);
        }
        if (text.empty()) continue;
        std::string error;
        const auto part = TilePart::parse(text, width, height, error);
        ASSERT_TRUE(part) << text << ": " << error;
        SCOPED_TRACE(text);
        std::set<std::pair<int, int>> expected;
        for (int r = 0; r < height; ++r) {
            for (int c = 0; c < width; ++c) {
                if (!part->owns(r, c)) continue;
                bool edge = false;
                for (int dr = -1; dr <= 1; ++dr)
                    for (int dc = -1; dc <= 1; ++dc) edge = edge || !part->owns(r + dr, c + dc);
                if (edge) expected.insert({r, c});
            }
        }
        const std::vector<TilePixel> border = part_border_pixels(*part);
        std::set<std::pair<int, int>> found;
        for (const TilePixel& p : border) found.insert({p.row, p.column});
        EXPECT_EQ(found, expected);
        ASSERT_EQ(found.size(), border.size()) << "a pixel twice";
        auto side = [&](const TilePixel& p) {
            return 2 * p.column + 1 <= part->begin(p.row) + part->end(p.row) ? 0 : 1;
        };
        for (std::size_t k = 1; k < border.size(); ++k) {
            const TilePixel &a = border[k - 1], &b = border[k];
            EXPECT_LT(std::tuple(side(a), a.row, a.column), std::tuple(side(b), b.row, b.column));
        }
    }
}

TEST(PartBorder, OfAWholeTileIsItsOuterRing) {
    const std::vector<TilePixel> border = part_border_pixels(TilePart::whole(5, 4));
    // 5 + 5 + 2 + 2 pixels; the west half of row 0 is its first three.
    ASSERT_EQ(border.size(), 14u);
    EXPECT_EQ(border[0], (TilePixel{0, 0}));
    EXPECT_EQ(border[2], (TilePixel{0, 2}));
    EXPECT_EQ(border[3], (TilePixel{1, 0}));
    EXPECT_EQ(border.back(), (TilePixel{3, 4}));
}

}  // namespace
}  // namespace pt
