// The batch's forest tables from its tiles': summed exactly, each table
// read as strictly as the other accounts tables; the joined forest in
// square metres rounded once; the placement and the list's forest tables
// as sum_accounts reads them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accounts/account_sums.hpp"
#include "accounts/forest_join.hpp"
#include "accounts/tile_tables.hpp"
#include "tile/tile.hpp"

namespace pt {
namespace {

constexpr const char* HEADER = "tile_id,year,forest_ha,forest_loss_ha\n";
constexpr const char* ZONE_HEADER = "tile_id,zone,year,forest_ha,forest_loss_ha\n";

TEST(ForestSums, TablesAreSummedExactlyZonesInTheOrderTheyFirstAppear) {
    ForestSums sums(2001);
    // Each 0.1 + 0.2 of a double would not give 0.3.
    sums.add_table(std::string(HEADER) + "a,2000,0.100000,0.000000\na,2001,0.100000,0.100000\n",
                   "a", false);
    sums.add_table(std::string(HEADER) + "b,2000,0.200000,0.000000\nb,2001,0.200000,0.000001\n",
                   "b", false);
    EXPECT_EQ(sums.table(),
              "year,forest_ha,forest_loss_ha\n2000,0.300000,0.000000\n2001,0.300000,0.100001\n");
    sums.add_table(std::string(ZONE_HEADER) +
                       "a,\"x, \"\"y\"\"\",2000,1.000000,0.000000\n"
                       "a,\"x, \"\"y\"\"\",2001,1.000000,0.500000\n"
                       "a,w,2000,2.000000,0.000000\na,w,2001,2.000000,0.000000\n",
                   "a", true);
    sums.add_table(std::string(ZONE_HEADER) +
                       "b,w,2000,3.000000,0.000000\n"
                       "b,w,2001,3.000000,0.000000\n",
                   "b", true);
    EXPECT_EQ(sums.zone_number("x, \"y\""), 0u);
    EXPECT_EQ(sums.zone_number("w"), 1u);
    EXPECT_FALSE(sums.zone_number("v"));
    // The joined forest, its square metres rounded once.
    sums.add_joined({150, 0.004}, {0.006, 0}, 1);
    EXPECT_EQ(sums.zone_table(),
              "zone,year,forest_ha,forest_loss_ha\n"
              "\"x, \"\"y\"\"\",2000,1.000000,0.000000\n\"x, \"\"y\"\"\",2001,1.000000,0.500000\n"
              "w,2000,5.015000,0.000001\nw,2001,5.000000,0.000000\n");
    EXPECT_EQ(micro_hectares_of_m2(1e4), AccountFigure{1000000});
    EXPECT_THROW(micro_hectares_of_m2(-1), std::invalid_argument);
    EXPECT_THROW(micro_hectares_of_m2(std::numeric_limits<double>::infinity()),
                 std::invalid_argument);
}

TEST(ForestSums, ATableIsReadOnlyAsTileAccountsWritesIt) {
    struct Case {
        std::string text;
        bool zoned;
        std::string why;
    };
    const std::string row0 = "a,2000,1.000000,0.000000\n", row1 = "a,2001,1.000000,0.500000\n";
    for (const Case& c : std::vector<Case>{
             {"tile_id,year,forest_ha\n" + row0 + row1, false, "its header"},
             {HEADER, false, "other rows than"},
             {HEADER + row0, false, "other rows than"},
             {HEADER + row0 + row1 + row0 + row1, false, "other rows than"},
             {HEADER + row1 + row0, false, "of year 2001, not 2000"},
             {std::string(HEADER) + "b,2000,1.000000,0.000000\n" + row1, false,
              "not a row of tile"},
             {std::string(HEADER) + "a,2000,1.00000,0.000000\n" + row1, false, "six places"},
             {std::string(HEADER) + "a,2000,1.000000,-0.000000\n" + row1, false, "six places"},
             {std::string(HEADER) + "a,2000,1.000000,0.000000,\n" + row1, false, "six places"},
             {HEADER + row0 + "a,2001,1.000000,1.000001\n", false, "more forest loss"},
             {std::string(ZONE_HEADER) + "a,z,2000,1.000000,0.000000\n", true, "other rows"},
             {std::string(ZONE_HEADER) + "a,z,2000,1.000000,0.000000\na,y,2001,1.000000,0.0\n",
              true, "six places"},
             {std::string(ZONE_HEADER) + "a,z,2000,1.000000,0.000000\na,y,2001,1.000000,0.000000\n",
              true, "the rows of zone z end short"},
             {std::string(ZONE_HEADER) +
                  "a,z,2000,1.000000,0.000000\na,z,2001,1.000000,0.000000\n" +
                  "a,z,2000,1.000000,0.000000\na,z,2001,1.000000,0.000000\n",
              true, "rows in two places"},
         }) {
        ForestSums sums(2001);
        try {
            sums.add_table(c.text, "a", c.zoned);
            ADD_FAILURE() << "read: " << c.text;
        } catch (const DamagedTable& damaged) {
            EXPECT_NE(std::string(damaged.what()).find(c.why), std::string::npos)
                << c.text << " -> " << damaged.what();
        }
    }
    // A zone forest table of no zones is a tile's outside every zone.
    ForestSums sums(2001);
    EXPECT_NO_THROW(sums.add_table(ZONE_HEADER, "a", true));
}

std::string placement_refusal(const std::string& text) {
    try {
        parse_placement(text);
        return "";
    } catch (const RunFailure& failure) {
        return failure.what();
    }
}

TEST(Placement, ALineATileOnItsGridAndNothingElse) {
    const std::vector<TilePlace> places =
        parse_placement("N10E020\tg0.00\t800000\t320000\n-t\t0.5_0.5\t1439999\t720000\n");
    ASSERT_EQ(places.size(), 2u);
    EXPECT_EQ(places[1].tile_id, "-t");
    EXPECT_EQ(places[1].grid, "0.5_0.5");
    EXPECT_EQ(places[1].column, 1439999);
    EXPECT_EQ(places[1].row, 720000);
    for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
             {"a\tg\t0\t0", "does not end in a newline"},
             {"a\tg\t0\n", "tile id, grid, column and row"},
             {"a\tg\t0\t0\t\n", "tile id, grid, column and row"},
             {"\tg\t0\t0\n", "names no tile"},
             {"a\tg g\t0\t0\n", "names no grid"},
             {"a\t\t0\t0\n", "names no grid"},
             {"a\tg\t1440000\t0\n", "a column"},
             {"a\tg\t-1\t0\n", "a column"},
             {"a\tg\t0\t720001\n", "a row"},
             {"a\tg\t0\t1e3\n", "a row"},
             {"a\tg\t0\t0\nb\th\t0\t0\na\tg\t8\t0\n", "line 3 of the placement places tile a"},
         }) {
        EXPECT_NE(placement_refusal(text).find(why), std::string::npos)
            << text << " -> " << placement_refusal(text);
    }
}

TEST(TableList, TheForestTablesOfATileAreNamedForIt) {
    const auto tables = parse_table_list(
        "a\ta_forest.csv\t-\t-\t-\t-\na\ta_zone_forest.csv\t-\t-\t-\t-\n"
        "a\ta_forest_edges.txt\t-\t-\t-\t-\n");
    ASSERT_EQ(tables.size(), 3u);
    EXPECT_TRUE(tables[0].kind == TableKind::forest && !tables[0].zoned);
    EXPECT_TRUE(tables[1].kind == TableKind::zone_forest && tables[1].zoned);
    EXPECT_TRUE(tables[2].kind == TableKind::forest_edges && !tables[2].zoned);
    EXPECT_THROW(parse_table_list("a\tb_forest.csv\t-\t-\t-\t-\n"), RunFailure);
    EXPECT_THROW(parse_table_list("a\ta_forest_edges.csv\t-\t-\t-\t-\n"), RunFailure);
}

}  // namespace
}  // namespace pt
