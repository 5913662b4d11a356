// A tile's forest edges as text: read back to the very same doubles and
// bytes, and a file that is not what the writer writes (cut short, counts
// that do not add up, numbers that are no areas, junk) refused with one
// line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "accounts/forest_edges.hpp"
#include "accounts/tile_part.hpp"

namespace pt {
namespace {

constexpr int SIDE = 8;

// A staircase part of an 8 x 8 tile, and the number of its edge pixels.
const std::string PART = "0-3:0-6,4-7:1-7";
std::size_t edge_pixels() {
    std::string error;
    return part_border_pixels(*TilePart::parse(PART, SIDE, SIDE, error)).size();
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void expect_same(const TileForestEdges& a, const TileForestEdges& b) {
    EXPECT_EQ(a.tile_id, b.tile_id);
    EXPECT_EQ(a.definition.cover, b.definition.cover);
    EXPECT_EQ(a.definition.height, b.definition.height);
    EXPECT_TRUE(same_bits(a.definition.hectares, b.definition.hectares));
    EXPECT_EQ(a.connectivity, b.connectivity);
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    EXPECT_EQ(a.part, b.part);
    EXPECT_EQ(a.zone_names, b.zone_names);
    ASSERT_EQ(a.years.size(), b.years.size());
    auto same_all = [](const std::vector<double>& x, const std::vector<double>& y) {
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (!same_bits(x[i], y[i])) return false;
        }
        return true;
    };
    for (std::size_t y = 0; y < a.years.size(); ++y) {
        EXPECT_EQ(a.years[y].border_runs, b.years[y].border_runs);
        ASSERT_EQ(a.years[y].patches.size(), b.years[y].patches.size());
        for (std::size_t k = 0; k < a.years[y].patches.size(); ++k) {
            const EdgePatch& p = a.years[y].patches[k];
            const EdgePatch& q = b.years[y].patches[k];
            EXPECT_EQ(p.id, q.id);
            EXPECT_TRUE(same_bits(p.area_m2, q.area_m2)) << p.area_m2 << " " << q.area_m2;
            EXPECT_TRUE(same_all(p.loss_m2, q.loss_m2));
            ASSERT_EQ(p.zones.size(), q.zones.size());
            for (std::size_t z = 0; z < p.zones.size(); ++z) {
                EXPECT_EQ(p.zones[z].zone, q.zones[z].zone);
                EXPECT_TRUE(same_bits(p.zones[z].forest_m2, q.zones[z].forest_m2));
                EXPECT_TRUE(same_all(p.zones[z].loss_m2, q.zones[z].loss_m2));
            }
        }
    }
}

// Edges of two years whose figures are doubles with no short decimal form,
// the least subnormal among them, and names of any bytes.
TileForestEdges sample() {
    TileForestEdges e;
    e.tile_id = std::string("N\t10\nE\0x", 8);
    e.definition = {10, 5, 0.1 + 0.2};  // 0.30000000000000004
    e.connectivity = 4;
    e.width = e.height = SIDE;
    e.part = PART;
    e.zone_names = {"", "-", std::string("a\nb\0\xff c", 8), "zone 4"};
    const auto pixels = static_cast<uint32_t>(edge_pixels());
    const double least = std::numeric_limits<double>::denorm_min();
    EdgeYear y2000;
    y2000.border_runs = {{3, EDGE_NOT_CANOPY},         {2, 1}, {1, EDGE_FOREST}, {1, 2}, {1, 1},
                         {pixels - 8, EDGE_NOT_CANOPY}};
    y2000.patches.push_back({1, 2999.9999999999995, {0, least, 1.0 / 3, 0}, {}});
    y2000.patches[0].zones.push_back({2, 0.5, {0, 0, least, 1.0 / 3}});
    y2000.patches[0].zones.push_back({0, 2999.9999999999995, {1e-300, 0, 0, 0}});
    y2000.patches.push_back({2, least, {0, 0, 0, 0}, {}});
    e.years.push_back(y2000);
    EdgeYear y2001;  // no undecided patch
    y2001.border_runs = {{pixels, EDGE_FOREST}};
    e.years.push_back(y2001);
    EdgeYear y2002;  // patches of other years hold no losses
    y2002.border_runs = {{pixels - 1, EDGE_NOT_CANOPY}, {1, 1}};
    y2002.patches.push_back({1, 123.456, {}, {{3, 61.728, {}}}});
    e.years.push_back(y2002);
    EdgeYear y2003 = y2001;
    e.years.push_back(y2003);
    return e;
}

TEST(ForestEdges, ReadBackToTheSameBytesAndDoubles) {
    const TileForestEdges edges = sample();
    const std::string text = forest_edges_text(edges);
    expect_same(parse_forest_edges(text), edges);
    EXPECT_EQ(forest_edges_text(parse_forest_edges(text)), text);
    EXPECT_EQ(text.rfind("forest-edges 1\n", 0), 0u);
    // The runs of a year are one line.
    EXPECT_NE(text.find("\nborder 3:-1 2:1 1:0 1:2 1:1 "), std::string::npos) << text;

    // The whole tile, with 8 neighbours and no zones.
    TileForestEdges whole;
    whole.tile_id = "t";
    whole.definition = {100, 255, 0};
    whole.width = whole.height = SIDE;
    whole.years.push_back({{}, {{4 * SIDE - 4, EDGE_NOT_CANOPY}}});
    expect_same(parse_forest_edges(forest_edges_text(whole)), whole);

    // Read into edges that held others, nothing of theirs is left.
    TileForestEdges reused = edges;
    parse_forest_edges(forest_edges_text(whole), reused);
    expect_same(reused, whole);
    reused = whole;
    parse_forest_edges(text, reused);
    expect_same(reused, edges);
    TileForestEdges later = edges;  // patches of 2000 where the text has those of 2002
    std::swap(later.years[0], later.years[2]);
    parse_forest_edges(text, later);
    expect_same(later, edges);
}

// Why `text` is refused (empty when it is read); each refusal one line.
std::string refusal(const std::string& text) {
    try {
        parse_forest_edges(text);
        return "";
    } catch (const std::runtime_error& error) {
        const std::string why = error.what();
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
        return why.empty() ? "(empty)" : why;
    }
}

// `text` with the first `from` replaced by `to`.
std::string changed(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(ForestEdges, ATextCutShortOrWithJunkAfterItsEndIsRefused) {
    const std::string text = forest_edges_text(sample());
    ASSERT_EQ(refusal(text), "");
    // Every cut at a line's end or within a line.
    for (std::size_t end = 0; end < text.size(); ++end) {
        ASSERT_NE(refusal(text.substr(0, end)), "") << end;
    }
    EXPECT_NE(refusal(text + "x"), "");
    EXPECT_NE(refusal(text + "end\n"), "");
    EXPECT_NE(refusal(text + "\n"), "");
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_NE(refusal(crlf), "");
    EXPECT_NE(refusal(changed(text, "forest-edges 1", "forest-edges 2")), "");
}

TEST(ForestEdges, CountsThatDoNotAddUpAreRefused) {
    const std::string text = forest_edges_text(sample());
    const std::string pixels = std::to_string(edge_pixels() - 8);
    struct Case {
        std::string from, to, why;
    };
    for (const Case& c : std::vector<Case>{
             // Counts far beyond what the file can hold, or the part's edge has.
             {"zones 4", "zones 4000000000000", "the number of zones"},
             {"zones 4", "zones 5", ""},
             {"zones 4", "zones 3", ""},
             {"years 4", "years 9999", "the number of years"},
             {"years 4", "years 5", ""},
             {"year 2000 2", "year 2000 4294967297", "the number of patches"},
             {"year 2000 2", "year 2000 3", ""},
             {"year 2000 2", "year 2000 1", ""},
             {"year 2001", "year 2002", "is not the year 2001"},
             // Runs adding up to more or fewer pixels than the edge has.
             {"1:1 " + pixels + ":-1", "1:1 " + pixels + ":-1 1:-1", "more pixels"},
             {"1:1 " + pixels + ":-1", "1:1 1:-1", "not the"},
             {"border 3:-1", "border 0:-1 3:-1", "no pixels"},
             {"border 3:-1", "border 4294967299:-1", "not COUNT:STATE"},
             {"border 3:-1", "border 3:-2", "no patch of its year"},
             {"2:1 1:0 1:2", "2:1 1:0 1:3", "no patch of its year"},
             {"1:0 1:2 1:1", "1:0 1:1 1:1", "no pixel of patch 2"},
             {"border 3:-1", "border 3;-1", "not COUNT:STATE"},
             {"\nborder 3:-1 2:1 1:0 1:2 1:1 " + pixels + ":-1\n", "\nborder\n",
              "not a 'border' line"},
             // Numbers out of their ranges.
             {"patch 2 ", "patch 3 ", "the patch's number"},
             {"share 2 ", "share 4 ", "the zone"},
             {"share 0 ", "share 2 ", "a zone twice"},
             {"definition 10 ", "definition 101 ", "the cover"},
             {"connectivity 4", "connectivity 6", "not 4 or 8"},
             {"size 8 8", "size 8 0", "the height"},
             {"size 8 8", "size 4005 8", "the width"},
             {"part " + PART, "part 0-9:0-7", "the part"},
             {"part " + PART, "part \x1b[2J", "the part"},
             // Names: hex only, each zone once.
             {"tile 4e", "tile 4E", "not in hex"},
             {"tile 4e", "tile 4", "not in hex"},
             {"tile 4e09313", "tile -\ntile 4e09313", "names no tile"},
             {"zone -\nzone 2d", "zone -\nzone -", "names a zone twice"},
         }) {
        const std::string why = refusal(changed(text, c.from, c.to));
        EXPECT_NE(why, "") << c.from << " -> " << c.to;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.to << ": " << why;
        EXPECT_EQ(why.find('\x1b'), std::string::npos);
    }
}

TEST(ForestEdges, FiguresThatAreNoAreasAreRefused) {
    const std::string text = forest_edges_text(sample());
    const std::string area = "patch 2 5e-324 ";
    ASSERT_NE(text.find(area), std::string::npos) << text;
    for (const std::string bad :
         {"nan", "inf", "-1", "-0", "+1", "1e999", "0x1p3", "1,5", ".5", ""}) {
        EXPECT_NE(refusal(changed(text, area, "patch 2 " + bad + " ")), "") << bad;
        EXPECT_NE(refusal(changed(text, "share 3 61.728", "share 3 " + bad)), "") << bad;
    }
    // An area of nothing is no patch; a zone may hold none of one.
    EXPECT_NE(refusal(changed(text, area, "patch 2 0 ")), "");
    EXPECT_EQ(refusal(changed(text, "share 3 61.728", "share 3 0")), "");
    // A patch that reaches the definition's area is no undecided patch.
    EXPECT_NE(refusal(changed(text, "patch 1 123.456", "patch 1 5000")), "");
    // Loss beyond the patch's area, a zone's share beyond it.
    EXPECT_NE(refusal(changed(text, "0.3333333333333333 0\n", "3001 0\n")), "");
    EXPECT_NE(refusal(changed(text, "share 3 61.728", "share 3 123.5")), "");
    // A patch of 2000 without a loss for each year, one of 2002 with.
    EXPECT_NE(refusal(changed(text, "0.3333333333333333 0\n", "0.3333333333333333\n")), "");
    EXPECT_NE(refusal(changed(text, "patch 1 123.456 1", "patch 1 123.456 1 0 0 0 0")), "");
    // Fields one space apart, none at the end.
    EXPECT_NE(refusal(changed(text, "patch 2 ", "patch 2  ")), "");
    EXPECT_NE(refusal(changed(text, "years 4", "years 4 ")), "");
}

}  // namespace
}  // namespace pt
