// The batch's sums of its tiles' tables: exact in micro-hectares whatever
// the magnitudes, strict about what a table holds, zones kept apart and in
// the order they first appear, and the mean height rounded half to even once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accounts/account_sums.hpp"

namespace pt {
namespace {

const std::string HEADER = "tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n";
const std::string ZONE_HEADER =
    "tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n";
const std::string BATCH_HEADER = "threshold,year,land_ha,cover_ha,loss_ha,height_mean\n";

// A table of tile `tile`, threshold 10 and year 2000: one row of `figures`.
std::string one_row(const std::string& tile, const std::string& figures) {
    return HEADER + tile + ",10,2000," + figures + "\n";
}

// Why `text`, a table of tile t1 (threshold 10, years 2000 to 2001 where
// `two_years`), is damaged; empty when it is read.
std::string damage(const std::string& text, bool zoned = false, bool two_years = false) {
    AccountSums sums({"10"}, two_years ? 2001 : 2000);
    try {
        sums.add_table(text, "t1", zoned);
        return "";
    } catch (const DamagedTable& e) {
        return e.what();
    }
}

AccountFigure figure(unsigned long long high, unsigned long long low) {
    return (AccountFigure{high} << 64) | low;
}

TEST(AccountSums, AreasAreSummedAsWholeMicroHectares) {
    // As doubles these three would print 98765432110.076538 or so: the
    // sixteen digits are beyond a double's.
    AccountSums sums({"10"}, 2000);
    sums.add_table(one_row("a", "98765432109.876543,0.100000,0.000000,1.000001"), "a", false);
    sums.add_table(one_row("b", "0.100000,0.100000,0.100000,1.000002"), "b", false);
    sums.add_table(one_row("c", "0.100000,0.000000,0.000000,"), "c", false);
    EXPECT_EQ(sums.table(),
              BATCH_HEADER + "10,2000,98765432110.076543,0.200000,0.100000,1.000002\n");

    // Twenty tiles of the largest area a row may print pass 64 bits of
    // micro-hectares (1.8e19) and stay exact.
    AccountSums big({"10"}, 2000);
    for (int k = 0; k < 20; ++k) {
        big.add_table(one_row("t", "999999999999999.999999,0.000000,0.000000,"), "t", false);
    }
    EXPECT_EQ(big.table(), BATCH_HEADER + "10,2000,19999999999999999.999980,0.000000,0.000000,\n");
    EXPECT_EQ(micro_text(AccountFigure{1} << 100), "1267650600228229401496703.205376");
    EXPECT_EQ(micro_text(0), "0.000000");
}

TEST(AccountSums, MeanHeightIsRoundedHalfToEvenOnce) {
    struct Case {
        AccountFigure weighted, cover;
        const char* mean;
    };
    const AccountFigure wide = figure(1ULL << 63, 2);  // 2^127 + 2: twice a half is past 128 bits
    for (const Case& c : std::vector<Case>{
             {1, 3, "0.000000"},  // 1/3
             {2, 3, "0.000001"},  // 2/3
             {3, 2, "0.000002"},  // 1.5
             {5, 2, "0.000002"},  // 2.5
             {7, 2, "0.000004"},  // 3.5
             {0, 0, ""},          // no cover: no height
             {wide / 2, wide, "0.000000"},
             {wide / 2 + 1, wide, "0.000001"},
             {wide + wide / 2, wide, "0.000002"},
         }) {
        EXPECT_EQ(mean_height_text(c.weighted, c.cover), c.mean)
            << static_cast<unsigned long long>(c.weighted) << " / "
            << static_cast<unsigned long long>(c.cover);
    }
    // Through the sums: heights 2 and 3 millionths on equal cover make 2.5,
    // which rounds to 2; and 0.000001 over a third of the cover makes 1/3.
    AccountSums sums({"10"}, 2000);
    sums.add_table(one_row("a", "1.000000,0.000001,0.000000,0.000002"), "a", false);
    sums.add_table(one_row("b", "1.000000,0.000001,0.000000,0.000003"), "b", false);
    EXPECT_EQ(sums.table(), BATCH_HEADER + "10,2000,2.000000,0.000002,0.000000,0.000002\n");
}

TEST(AccountSums, ZonesAreSummedApartInTheOrderTheyFirstAppear) {
    AccountSums sums({"10"}, 2000);
    const std::string row = ",10,2000,5.000000,1.000000,0.000000,2.000000\n";
    sums.add_table(ZONE_HEADER + "t1,B" + row + "t1,\"a,\"\"A\"\"\"" + row, "t1", true);
    sums.add_table(ZONE_HEADER + "t2,\"=1\r\n2\"" + row + "t2,B" + row, "t2", true);
    sums.add_table(ZONE_HEADER, "t3", true);  // a tile that meets no zone
    EXPECT_EQ(sums.zone_table(),
              "zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
              "B,10,2000,10.000000,2.000000,0.000000,2.000000\n"
              "\"a,\"\"A\"\"\",10,2000,5.000000,1.000000,0.000000,2.000000\n"
              "\"=1\r\n2\",10,2000,5.000000,1.000000,0.000000,2.000000\n");
}

TEST(AccountSums, ATableIsReadOnlyAsTileAccountsWritesIt) {
    const std::string good = "t1,10,2000,2.000000,1.000000,0.000000,3.000000\n";
    auto with = [&](const std::string& from, const std::string& to) {
        std::string text = HEADER + good;
        text.replace(text.find(from, HEADER.size()), from.size(), to);
        return text;
    };
    EXPECT_EQ(damage(HEADER + good), "");
    struct Case {
        std::string text, why;
    };
    for (const Case& c : std::vector<Case>{
             {"tile_id,threshold,year\n" + good, "its header is not"},
             {HEADER, "it holds no rows"},
             {HEADER + good + good, "it holds other rows than the 1 of its thresholds and years"},
             {with("t1,", "t9,"), "line 2 is not a row of tile t1"},
             {with(",10,", ",010,"), "line 2 is of threshold 010 and year 2000, not 10 and 2000"},
             {with("2.000000", "2e0"), "line 2 is not a row as tile_accounts writes it"},
             {with("2.000000", "-2.000000"), "line 2 is not a row as"},
             {with("3.000000", "3.0"), "line 2 is not a row as"},
             {with("\n", "\r\n"), "line 2 is not a row as"},
             {(HEADER + good).substr(0, HEADER.size() + good.size() - 1), "line 2 is not a row as"},
             {with("2.000000", "1234567890123456.000000"), "line 2 is not a row as"},
             {with("2.000000", "0.500000"), "does not add up"},  // cover beyond land
             {with("3.000000", ""), "does not add up"},          // cover without a height
             {with("2.000000,1.000000,0.000000,3.000000",
                   "999999999999999.999999,999999999999999.999999,0.000000,"
                   "999999999999999.999999"),
              "its height times its cover is beyond 128 bits"},
         }) {
        const std::string why = damage(c.text);
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << "\n -> " << why;
    }
    // Zone tables: each zone's rows whole and together, once.
    const std::string first = "t1,A,10,2000,1.000000,0.000000,0.000000,\n";
    const std::string later = "t1,A,10,2001,1.000000,0.000000,0.000000,\n";
    for (const Case& c : std::vector<Case>{
             {ZONE_HEADER + first, "the rows of zone A end short"},
             {ZONE_HEADER + first + later + first + later, "zone A has rows in two places"},
             {ZONE_HEADER + later + first, "of threshold 10 and year 2001, not 10 and 2000"},
             {ZONE_HEADER + first + "t1,A,10,2001,2.000000,0.000000,0.000000,\n",
              "lines 2 to 3 hold two figures of land"},
         }) {
        const std::string why = damage(c.text, true, true);
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << "\n -> " << why;
    }
    EXPECT_EQ(damage(ZONE_HEADER + first + later, true, true), "");
}

}  // namespace
}  // namespace pt
