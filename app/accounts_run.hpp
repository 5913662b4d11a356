// tile_accounts: the forest accounts of one tile from the products
// process_tile wrote. For each canopy-cover threshold and year, the ground
// area of land, of tree cover at or above the threshold, of loss where the
// cover of 2000 reached it, and the mean canopy height of that cover, in
// hectares on the WGS84 ellipsoid; for the whole tile, and with a zone file
// for each zone (district, reserve, ...) as well, weighted by the share of
// each cell inside the zone.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "accounts/tally.hpp"
#include "accounts/thresholds.hpp"

namespace pt {

struct AccountsArguments {
    std::string tile_id;
    int last_year = 0;
    std::string products_dir;
    std::string datamask_dir;
    std::string accounts_dir;
    bool zones_given = false;
    std::string zones;       // --zones FILE
    std::string zone_field;  // --zone-field NAME (empty: the feature id)
    std::string zone_layer;  // --zone-layer NAME (empty: the only layer)
    std::string thresholds{DEFAULT_THRESHOLDS};
    bool part_given = false;
    std::string part;  // --part BANDS: the pixels the tile owns (TilePart::parse)
    bool forest_given = false;
    std::string forest;         // --forest COVER:HEIGHT:HECTARES (parse_forest_definition)
    int connectivity = 8;       // --connectivity 4|8: the neighbours joining a patch
    bool forest_edges = false;  // --forest-edges: write the undecided patches at the edge
};

// The table file names in accounts_dir: "<tile_id>_accounts.csv" and
// "<tile_id>_zone_accounts.csv".
std::string accounts_table_name(const std::string& tile_id);
std::string zone_accounts_table_name(const std::string& tile_id);
// With --forest: "<tile_id>_forest.csv" and "<tile_id>_zone_forest.csv".
std::string forest_table_name(const std::string& tile_id);
std::string zone_forest_table_name(const std::string& tile_id);
// With --forest-edges: "<tile_id>_forest_edges.txt".
std::string forest_edges_name(const std::string& tile_id);

// `field` as one CSV field (RFC 4180): quoted, its quotes doubled, when it
// holds a comma, a quote, CR or LF; as it is otherwise.
std::string csv_field(const std::string& field);

// The figures of one area, "land_ha,cover_ha,loss_ha,height_mean" of each
// threshold (ascending) and year (ascending) in turn, each line prefixed by
// `prefix` (the tile id and, for a zone, its name, with their commas) and
// "<threshold>,<year>,"; areas in hectares "%.6f", the height "%.6f" or
// empty where there is no cover.
std::string account_lines(const std::string& prefix, const Tally& tally,
                          const Thresholds& thresholds, int year_count);

// Runs the accounts of `args`. Throws RunFailure with the line to print.
void run_tile_accounts(const AccountsArguments& args);

// The whole program: returns the exit status (0; 1 after a failure, whose
// one line "tile_accounts: ..." goes to `err`; 2 for a wrong call, with the
// usage on `err`; 0 for -h/--help, with the usage on `out`).
int tile_accounts_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace pt
