// sum_accounts --forest on two small tiles side by side: a patch each tile
// left undecided at its edge joined into forest in the batch's tables; a
// tile whose forest tables or edges are missing or not of the batch's
// definition named and nothing written; the forest options a wrong call
// without --forest.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "accounts/forest_edges.hpp"
#include "accounts/tile_part.hpp"
#include "e2e_support.hpp"

namespace pt::e2e {
namespace {

constexpr int SIDE = 8;

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A tile's edges of 2000 alone: one undecided patch of three pixels down
// column `column` (rows 2 to 4) of an 8 x 8 tile, each of 1 m2, in zone
// "z1", with 1 m2 of loss in 2000.
TileForestEdges edges_of(const std::string& tile, int column) {
    TileForestEdges edges;
    edges.tile_id = tile;
    edges.definition = {10, 5, 0.0005};  // 5 m2
    edges.width = edges.height = SIDE;
    edges.zone_names = {"z1"};
    EdgeYear& year = edges.years.emplace_back();
    for (const TilePixel& p : part_border_pixels(TilePart::whole(SIDE, SIDE))) {
        const int32_t state = p.column == column && p.row >= 2 && p.row <= 4 ? 1 : EDGE_NOT_CANOPY;
        if (!year.border_runs.empty() && year.border_runs.back().second == state) {
            ++year.border_runs.back().first;
        } else {
            year.border_runs.push_back({1, state});
        }
    }
    year.patches.push_back({1, 3.0, {1.0}, {{0, 3.0, {1.0}}}});
    return edges;
}

class SumForest : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch_ = scratch_dir("sum_forest");
        dir_ = scratch_ / "accounts";
        fs::create_directories(dir_);
        for (const char* tile : {"a", "b"}) {
            const std::string t = tile;
            write_file(dir_ / (t + "_accounts.csv"),
                       "tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n" + t +
                           ",10,2000,1.000000,0.500000,0.000000,5.000000\n");
            write_file(dir_ / (t + "_zone_accounts.csv"),
                       "tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n" + t +
                           ",z1,10,2000,1.000000,0.500000,0.000000,5.000000\n");
            write_file(dir_ / (t + "_forest.csv"),
                       "tile_id,year,forest_ha,forest_loss_ha\n" + t + ",2000,0.100000,0.000000\n");
            write_file(dir_ / (t + "_zone_forest.csv"),
                       "tile_id,zone,year,forest_ha,forest_loss_ha\n" + t +
                           ",z1,2000,0.100000,0.000000\n");
        }
        // The patch runs over the border between a (column 7) and b (column 0).
        write_file(dir_ / "a_forest_edges.txt", forest_edges_text(edges_of("a", SIDE - 1)));
        write_file(dir_ / "b_forest_edges.txt", forest_edges_text(edges_of("b", 0)));
        write_file(scratch_ / "placement.tsv", "a\tg\t0\t0\nb\tg\t8\t0\n");
    }

    // The list of the tables, each with its identity and no digest.
    std::string list(const std::vector<std::string>& leave_out = {}) const {
        std::string text;
        for (const char* tile : {"a", "b"}) {
            for (const char* end : {"_accounts.csv", "_zone_accounts.csv", "_forest.csv",
                                    "_zone_forest.csv", "_forest_edges.txt"}) {
                const std::string name = std::string(tile) + end;
                if (std::find(leave_out.begin(), leave_out.end(), name) != leave_out.end()) {
                    continue;
                }
                struct stat info {};
                ::stat((dir_ / name).c_str(), &info);
                text += std::string(tile) + '\t' + name + '\t' + std::to_string(info.st_size) +
                        '\t' +
                        std::to_string(static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL +
                                       info.st_mtim.tv_nsec) +
                        '\t' + std::to_string(info.st_ino) + "\t-\n";
            }
        }
        return text;
    }

    ProgramResult sums(const std::string& listed, const std::vector<std::string>& options) const {
        write_file(scratch_ / "list.tsv", listed);
        std::vector<std::string> args = options;
        for (const std::string& a :
             {std::string("--"), (scratch_ / "list.tsv").string(), dir_.string(),
              std::string("2000"), std::string("10"), (scratch_ / "out.csv").string(),
              (scratch_ / "zones.csv").string()}) {
            args.push_back(a);
        }
        return run_program(PT_SUM_ACCOUNTS, args, deadline(60));
    }

    std::vector<std::string> forest_options(const std::string& connectivity = "8") const {
        return {"--forest",
                "10:5:0.0005",
                "--connectivity",
                connectivity,
                "--placement",
                (scratch_ / "placement.tsv").string(),
                "--forest-table",
                (scratch_ / "forest.csv").string(),
                "--zone-forest-table",
                (scratch_ / "zone_forest.csv").string()};
    }

    bool nothing_written() const {
        return !fs::exists(scratch_ / "out.csv") && !fs::exists(scratch_ / "forest.csv") &&
               !fs::exists(scratch_ / "zone_forest.csv");
    }

    fs::path scratch_, dir_;
};

TEST_F(SumForest, PatchesJoinedAcrossTilesAddToTheTablesSums) {
    const ProgramResult run = sums(list(), forest_options());
    ASSERT_EQ(run.exit_status, 0) << run.out;
    // 0.1 ha of each tile's own forest, and the joined patch's 6 m2 with
    // its 2 m2 of loss.
    EXPECT_EQ(read_file(scratch_ / "forest.csv"),
              "year,forest_ha,forest_loss_ha\n2000,0.200600,0.000200\n");
    EXPECT_EQ(read_file(scratch_ / "zone_forest.csv"),
              "zone,year,forest_ha,forest_loss_ha\nz1,2000,0.200600,0.000200\n");
    EXPECT_EQ(read_file(scratch_ / "out.csv"),
              "threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
              "10,2000,2.000000,1.000000,0.000000,5.000000\n");
    // With 4 neighbours the tiles' edges are of another connectivity.
    fs::remove(scratch_ / "out.csv");
    fs::remove(scratch_ / "forest.csv");
    fs::remove(scratch_ / "zone_forest.csv");
    const ProgramResult four = sums(list(), forest_options("4"));
    EXPECT_EQ(four.exit_status, 1);
    EXPECT_NE(four.out.find("a\ta_forest_edges.txt: its forest edges join patches through 8"),
              std::string::npos)
        << four.out;
    EXPECT_NE(four.out.find("b\tb_forest_edges.txt"), std::string::npos) << four.out;
    EXPECT_TRUE(nothing_written());
}

TEST_F(SumForest, ATileWithoutItsForestTablesOrWithDamagedEdgesIsNamed) {
    ProgramResult run = sums(list({"b_forest_edges.txt"}), forest_options());
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "b\tb_forest_edges.txt: its run wrote none (not in the list)\n");
    EXPECT_TRUE(nothing_written());

    const std::string listed = list();
    write_file(dir_ / "a_forest_edges.txt", "forest-edges 1\n");  // changed since its run
    run = sums(listed, forest_options());
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.out.find("a\ta_forest_edges.txt: it is not the file its run wrote"),
              std::string::npos)
        << run.out;
    // Read as its run wrote it, it still does not hold forest edges.
    run = sums(list(), forest_options());
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.out.find("a\ta_forest_edges.txt: forest edges, line 2: missing"),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(nothing_written());
}

TEST_F(SumForest, ForestOptionsNeedEachOtherAndForestTablesNeedForest) {
    EXPECT_EQ(sums(list(), {"--placement", "p"}).exit_status, 2);
    EXPECT_EQ(sums(list(), {"--forest", "10:5:1"}).exit_status, 2);
    std::vector<std::string> no_zones = forest_options();
    no_zones.resize(no_zones.size() - 2);
    EXPECT_EQ(sums(list(), no_zones).exit_status, 2);
    std::vector<std::string> bad = forest_options();
    bad[1] = "10:5";
    EXPECT_EQ(sums(list(), bad).exit_status, 1);
    EXPECT_EQ(sums(list(), forest_options("6")).exit_status, 2);
    // Forest tables listed for a batch without forest, a tile not placed.
    EXPECT_EQ(sums(list(), {}).exit_status, 1);
    write_file(scratch_ / "placement.tsv", "a\tg\t0\t0\n");
    EXPECT_EQ(sums(list(), forest_options()).exit_status, 1);
    EXPECT_TRUE(nothing_written());
}

}  // namespace
}  // namespace pt::e2e
