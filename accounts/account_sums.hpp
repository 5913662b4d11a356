// The forest accounts of a batch, summed from the tables each tile's
// tile_accounts run wrote (app/accounts_run.hpp). Every table is read
// strictly, as tile_accounts writes it, and every figure is summed exactly:
// areas as whole micro-hectares, the mean height as the cover-weighted sum of
// the tiles' means in whole millionths, rounded half to even once at the end.
// Plain text in, plain text out: the files are accounts/tile_tables.hpp's.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pt {

__extension__ typedef unsigned __int128 AccountFigure;

// A table that does not hold what tile_accounts writes, or is not the file
// its run wrote; what() says why.
struct DamagedTable : std::runtime_error {
    explicit DamagedTable(const std::string& why) : std::runtime_error(why) {}
};

// The running sums of one (threshold, year) key: land, cover and loss in
// micro-hectares, and the heights times the cover (millionths of a metre
// times micro-hectares).
struct KeySums {
    AccountFigure land = 0;
    AccountFigure cover = 0;
    AccountFigure loss = 0;
    AccountFigure weighted = 0;
};

// The sums of a batch: the whole tiles' and each zone's, zones in the order
// they first appear.
class AccountSums {
  public:
    // The keys of every table: each threshold (as its rows print it) with
    // each year from 2000 to `last_year`, thresholds outermost.
    AccountSums(std::vector<std::string> thresholds, int last_year);

    // Adds the table `text` of tile `tile` (its zone table when `zoned`),
    // after checking all of it against what tile_accounts writes: its
    // header; every row of the tile itself (the CSV text of its id); the
    // keys in order, once (once a zone in a zone table, the zone's rows
    // together); figures plain decimals of six places; land the same for
    // every key of an area; cover and loss at most land; a height exactly
    // where there is cover. Throws DamagedTable where it is not; the sums may
    // then hold a part of it.
    void add_table(std::string_view text, std::string_view tile, bool zoned);

    // The batch tables, as the batch writes them.
    std::string table() const;
    std::string zone_table() const;

    std::size_t key_count() const { return thresholds_.size() * years_.size(); }

    // One row of a table as read: its fields' text and its figures.
    struct Row;

  private:
    void add_rows(const std::vector<Row>& rows, std::size_t first_line, bool zoned);
    std::string lines(const std::string& prefix, const KeySums* sums) const;

    std::vector<std::string> thresholds_;
    std::vector<std::string> years_;
    std::vector<KeySums> totals_;
    std::vector<std::string> zone_names_;
    std::unordered_map<std::string, std::size_t> zone_index_;
    std::vector<KeySums> zone_sums_;         // key_count() a zone, in zone_names_ order
    std::vector<std::uint64_t> zone_table_;  // the table that last held each zone
    std::uint64_t table_serial_ = 0;
    std::string name_scratch_;
};

// The forest tables of a batch (--forest): each year's forest and the loss
// within the forest of 2000, of the whole list and of each zone, summed
// exactly as whole micro-hectares from the tiles' forest tables, with what
// the patches joined across tiles add (accounts/forest_join.hpp).
class ForestSums {
  public:
    // The years from 2000 to `last_year`.
    explicit ForestSums(int last_year);

    // Adds the forest table `text` of tile `tile` (its zone forest table
    // when `zoned`), after checking all of it against what tile_accounts
    // writes: its header; every row of the tile itself; the years in order,
    // once (once a zone in a zone table, the zone's rows together); figures
    // plain decimals of six places; each year's loss at most the forest of
    // 2000 (it lies on that forest). Throws DamagedTable where it is not;
    // the sums may then hold a part of it.
    void add_table(std::string_view text, std::string_view tile, bool zoned);

    // The batch's number of the zone named `name` (its place in the zone
    // table), or nothing where no zone forest table holds it.
    std::optional<std::size_t> zone_number(const std::string& name) const;

    // Adds the joined sets' forest and loss of each year in square metres,
    // each rounded once to micro-hectares: of the whole list, or of the
    // zone numbered `zone`.
    void add_joined(const std::vector<double>& forest_m2, const std::vector<double>& loss_m2,
                    std::optional<std::size_t> zone = std::nullopt);

    // The batch tables: year,forest_ha,forest_loss_ha and
    // zone,year,forest_ha,forest_loss_ha.
    std::string table() const;
    std::string zone_table() const;

  private:
    struct YearSums {
        AccountFigure forest = 0, loss = 0;
    };
    std::vector<std::string> years_;
    std::vector<YearSums> totals_;
    std::vector<std::string> zone_names_;
    std::unordered_map<std::string, std::size_t> zone_index_;
    std::vector<YearSums> zone_sums_;        // years a zone, in zone_names_ order
    std::vector<std::uint64_t> zone_table_;  // the table that last held each zone
    std::uint64_t table_serial_ = 0;
};

// Square metres as whole micro-hectares, rounded once: the hectares
// printed to six places as a tile's tables print them. Throws
// std::invalid_argument for a negative or non-finite area.
AccountFigure micro_hectares_of_m2(double m2);

// A figure of micro-units as "%d.%06d"; the mean height from the weighted
// sum and the cover, rounded half to even, empty without cover.
std::string micro_text(AccountFigure micro);
std::string mean_height_text(AccountFigure weighted, AccountFigure cover);

}  // namespace pt
