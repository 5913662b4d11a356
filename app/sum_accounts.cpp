#include "app/sum_accounts.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "accounts/account_sums.hpp"
#include "accounts/forest_edges.hpp"
#include "accounts/forest_join.hpp"
#include "accounts/forest_patches.hpp"
#include "accounts/thresholds.hpp"
#include "accounts/tile_tables.hpp"
#include "app/tool_options.hpp"
#include "run/printable.hpp"
#include "tile/constants.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

constexpr const char* USAGE =
    "Usage: sum_accounts [--forest C:H:HA [--connectivity 4|8] --placement FILE\n"
    "                     --forest-table OUT [--zone-forest-table OUT]] [--]\n"
    "                    LIST ACCOUNTS_DIR LAST_YEAR THRESHOLDS OUT_TABLE [OUT_ZONE_TABLE]\n"
    "  Sums the forest accounts of a batch from the tables tile_accounts wrote\n"
    "  into ACCOUNTS_DIR, as the end of a batch does (tilebatch/accounts.py).\n"
    "  LIST (a file, or - for standard input) names the tables, one a line:\n"
    "    tile_id TAB table_name TAB size TAB mtime_ns TAB inode TAB sha256\n"
    "  with the identity the tile's record holds for the table (- - - for none)\n"
    "  and the SHA-256 of its bytes (64 lowercase hex digits; - for none: a record\n"
    "  written before the digests); table_name is <tile_id>_accounts.csv or\n"
    "  <tile_id>_zone_accounts.csv, and with --forest also <tile_id>_forest.csv,\n"
    "  <tile_id>_zone_forest.csv and <tile_id>_forest_edges.txt. Each table is\n"
    "  read only when it is still the regular file of that identity and its bytes\n"
    "  have that digest, and strictly: its header, every row of its own tile, the\n"
    "  thresholds (THRESHOLDS, comma-separated percentages) and years (2000 to\n"
    "  LAST_YEAR) in order, once (once a zone in a zone table), figures plain\n"
    "  decimals of six places, cover and loss within land, a height exactly where\n"
    "  there is cover.\n"
    "  Sums exactly (whole micro-hectares; the mean height weighted by cover,\n"
    "  rounded half to even) and writes OUT_TABLE:\n"
    "    threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
    "  and with zone tables OUT_ZONE_TABLE (zones in the order they first appear):\n"
    "    zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
    "  each flushed to disk, for the caller to rename into place. It is killed\n"
    "  when the process that started it ends.\n"
    "  --forest C:H:HA       forest by definition, patches measured whole across\n"
    "                        the tiles: every listed tile must have its forest\n"
    "                        table, its zone forest table (with OUT_ZONE_TABLE)\n"
    "                        and its forest edges (tile_accounts --forest-edges),\n"
    "                        of this definition and connectivity. The forest\n"
    "                        tables are read as strictly (forest_loss_ha at most\n"
    "                        the forest of 2000) and summed exactly; the patches\n"
    "                        each tile left undecided at its part's edge are\n"
    "                        joined where they touch across tiles, and a joined\n"
    "                        set touching a tile's forest or reaching HA\n"
    "                        hectares adds its area (and, of 2000, the loss on\n"
    "                        it) to its years, summed in square metres and\n"
    "                        rounded once to micro-hectares. Writes the\n"
    "                        --forest-table OUT: year,forest_ha,forest_loss_ha\n"
    "                        and with OUT_ZONE_TABLE the --zone-forest-table OUT:\n"
    "                          zone,year,forest_ha,forest_loss_ha\n"
    "  --connectivity N      with --forest: 8 (default) or 4, as the tiles had it\n"
    "  --placement FILE      with --forest: where each tile lies, one a line:\n"
    "                          tile_id TAB grid TAB column TAB row\n"
    "                        grid a token naming the tile's pixel grid (tiles of\n"
    "                        two grids never touch), column and row the tile's\n"
    "                        upper-left pixel of 0.00025 degrees on it (column\n"
    "                        0 to 1439999 from 180 W, wrapping round the globe;\n"
    "                        row 0 to 720000 from 90 N). A patch that reaches\n"
    "                        pixels no listed tile owns ends there.\n"
    "Exit status: 0; 1 after a failure (one line on standard error) or where\n"
    "  a table is damaged: each such tile on a line of standard output,\n"
    "    tile_id TAB table_name: why\n"
    "  and nothing written; 2 for a wrong call. -h, --help: this text.\n";

struct WrongCall {
    std::string line;
};

struct SumArguments {
    std::vector<std::string> positional;
    bool forest_given = false;
    std::string forest;
    int connectivity = 8;
    std::string placement, forest_table, zone_forest_table;
    bool zone_forest_given = false;
};

// Reads the command line: the options, then the five or six positionals.
// Throws WrongCall for an unknown option, an option without its value or
// given twice, a forest option without --forest or --forest without what
// it needs, or a wrong count of positionals.
SumArguments arguments_of(int argc, const char* const* argv) {
    SumArguments args;
    bool options = true;
    bool connectivity_given = false, placement_given = false, table_given = false;
    std::string connectivity;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (!options || arg.size() < 2 || arg[0] != '-') {
            args.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options = false;
            continue;
        }
        // "--name VALUE" or "--name=VALUE".
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        auto take = [&](bool& given, std::string& value) {
            std::string error;
            const std::optional<std::string> found =
                option_value(argc, argv, k, "sum_accounts", given, error);
            if (!found) throw WrongCall{error};
            value = *found;
        };
        if (name == "--forest") {
            take(args.forest_given, args.forest);
        } else if (name == "--connectivity") {
            take(connectivity_given, connectivity);
        } else if (name == "--placement") {
            take(placement_given, args.placement);
        } else if (name == "--forest-table") {
            take(table_given, args.forest_table);
        } else if (name == "--zone-forest-table") {
            take(args.zone_forest_given, args.zone_forest_table);
        } else {
            throw WrongCall{"sum_accounts: unknown option " + printable(arg)};
        }
    }
    if (args.positional.size() != 5 && args.positional.size() != 6) throw WrongCall{};
    const bool zoned = args.positional.size() == 6;
    if (!args.forest_given) {
        if (connectivity_given || placement_given || table_given || args.zone_forest_given) {
            throw WrongCall{
                "sum_accounts: --connectivity, --placement, --forest-table and "
                "--zone-forest-table need --forest"};
        }
        return args;
    }
    if (connectivity_given) {
        if (connectivity != "4" && connectivity != "8") {
            throw WrongCall{"sum_accounts: --connectivity is 4 or 8, not " +
                            printable(connectivity)};
        }
        args.connectivity = connectivity == "4" ? 4 : 8;
    }
    if (!placement_given || !table_given) {
        throw WrongCall{"sum_accounts: --forest needs --placement and --forest-table"};
    }
    if (zoned != args.zone_forest_given) {
        throw WrongCall{zoned ? "sum_accounts: --forest with OUT_ZONE_TABLE needs "
                                "--zone-forest-table"
                              : "sum_accounts: --zone-forest-table needs OUT_ZONE_TABLE"};
    }
    if (args.placement.empty() || args.forest_table.empty() ||
        (args.zone_forest_given && args.zone_forest_table.empty())) {
        throw WrongCall{"sum_accounts: a forest option needs a path, not an empty one"};
    }
    return args;
}

int last_year_of(const std::string& last_year_text) {
    long long last_year = 0;
    if (!whole_number(last_year_text, false, last_year) || last_year < MIN_LAST_YEAR ||
        last_year > MAX_LAST_YEAR) {
        throw RunFailure("LAST_YEAR " + printable(last_year_text) + " is not a year from " +
                         std::to_string(MIN_LAST_YEAR) + " to " + std::to_string(MAX_LAST_YEAR));
    }
    return static_cast<int>(last_year);
}

AccountSums empty_sums(int last_year, const std::string& thresholds_text) {
    std::string why;
    const std::optional<Thresholds> thresholds = parse_thresholds(thresholds_text, why);
    if (!thresholds) throw RunFailure(why);
    std::vector<std::string> threshold_texts;
    for (int t : thresholds->values) threshold_texts.push_back(std::to_string(t));
    return AccountSums(std::move(threshold_texts), last_year);
}

// The accounts directory, open for reading the tables in it.
class AccountsDir {
  public:
    explicit AccountsDir(const std::string& dir)
        : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ < 0) {
            const int error = errno;
            throw RunFailure("the accounts directory " + dir +
                             " cannot be opened: " + std::strerror(error));
        }
    }
    ~AccountsDir() { ::close(fd_); }
    AccountsDir(const AccountsDir&) = delete;
    AccountsDir& operator=(const AccountsDir&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

// The tiles with a damaged table, each named on a line of `out` once, at
// its first.
class DamagedTiles {
  public:
    explicit DamagedTiles(std::ostream& out) : out_(out) {}
    bool has(const std::string& tile) const { return tiles_.count(tile) != 0; }
    void add(const std::string& tile, const std::string& table, const std::string& why) {
        if (!tiles_.insert(tile).second) return;
        out_ << tile << '\t' << table << ": " << why << '\n';
    }
    std::size_t count() const { return tiles_.size(); }

  private:
    std::ostream& out_;
    std::unordered_set<std::string> tiles_;
};

// Adds every listed table of kind `kind` or `zone_kind` to `sums`
// (AccountSums or ForestSums), each read from `dir`.
template <typename Sums>
void add_tables(const AccountsDir& dir, const std::vector<ListedTable>& tables, TableKind kind,
                TableKind zone_kind, Sums& sums, DamagedTiles& damaged) {
    std::vector<char> buffer;
    for (const ListedTable& t : tables) {
        if ((t.kind != kind && t.kind != zone_kind) || damaged.has(t.tile)) continue;
        try {
            sums.add_table(read_listed_table(dir.fd(), t, buffer), t.tile, t.zoned);
        } catch (const DamagedTable& e) {
            damaged.add(t.tile, t.name, e.what());
        }
    }
}

// Tiles' edges read ahead of the join, a few at a time, in the join's
// order. The parsed edges go back to the reader once joined, to be read
// into again: their memory is reused, not freed and taken anew each tile.
class ReadAhead {
  public:
    struct Item {
        std::unique_ptr<TileForestEdges> edges;  // none: skipped or damaged
        std::vector<std::size_t> zones;          // the batch's number of each of its zones
        std::string why;                         // why it is damaged
    };

    // Edges to read into: one given back, or new.
    std::unique_ptr<TileForestEdges> spare() {
        std::lock_guard lock(mutex_);
        if (spare_.empty()) return std::make_unique<TileForestEdges>();
        std::unique_ptr<TileForestEdges> edges = std::move(spare_.back());
        spare_.pop_back();
        return edges;
    }
    void give_back(std::unique_ptr<TileForestEdges> edges) {
        if (!edges) return;
        std::lock_guard lock(mutex_);
        spare_.push_back(std::move(edges));
    }

    // Waits for room; false when asked to stop first.
    bool put(Item item, const std::stop_token& stop) {
        std::unique_lock lock(mutex_);
        if (!room_.wait(lock, stop, [&] { return items_.size() < AHEAD; })) return false;
        items_.push_back(std::move(item));
        ready_.notify_one();
        return true;
    }

    // The reader ended without putting all its items (it could not have the
    // memory for one): the join must not wait for them.
    void fail(std::exception_ptr failure) {
        std::lock_guard lock(mutex_);
        failure_ = std::move(failure);
        ready_.notify_one();
    }

    Item take() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !items_.empty() || failure_; });
        if (items_.empty()) std::rethrow_exception(failure_);
        Item item = std::move(items_.front());
        items_.pop_front();
        room_.notify_one();
        return item;
    }

  private:
    // Enough to keep the join busy; a dense tile's edges are some 1 MB parsed.
    static constexpr std::size_t AHEAD = 4;
    std::mutex mutex_;
    std::condition_variable_any room_, ready_;
    std::deque<Item> items_;
    std::exception_ptr failure_;
    std::vector<std::unique_ptr<TileForestEdges>> spare_;
};

// The forest of a batch: its tables summed and its tiles' edges joined.
class BatchForest {
  public:
    BatchForest(const SumArguments& args, int last_year, bool zoned)
        : args_(args), last_year_(last_year), zoned_(zoned), sums_(last_year) {
        std::string why;
        const std::optional<ForestDefinition> definition =
            parse_forest_definition(args.forest, why);
        if (!definition) throw RunFailure("--forest " + printable(args.forest) + ": " + why);
        definition_ = *definition;
    }

    // Every listed tile's forest tables, as many as there should be.
    void check_listed(const std::vector<ListedTable>& tables, DamagedTiles& damaged) {
        std::map<std::string, std::set<TableKind>> listed;  // sorted: reported in tile order
        std::unordered_set<std::string> names;
        for (const ListedTable& t : tables) {
            if (!names.insert(t.name).second) {
                throw RunFailure("the list names " + printable(t.name) + " twice");
            }
            listed[t.tile].insert(t.kind);
        }
        for (const auto& [tile, kinds] : listed) {
            for (TableKind kind :
                 {TableKind::forest, TableKind::zone_forest, TableKind::forest_edges}) {
                if (kind == TableKind::zone_forest && !zoned_) continue;
                if (kinds.count(kind) != 0) continue;
                const char* name = kind == TableKind::forest        ? "_forest.csv"
                                   : kind == TableKind::zone_forest ? "_zone_forest.csv"
                                                                    : "_forest_edges.txt";
                damaged.add(tile, tile + name, "its run wrote none (not in the list)");
            }
        }
    }

    // The forest tables of the list, summed.
    void add_tables(const AccountsDir& dir, const std::vector<ListedTable>& tables,
                    DamagedTiles& damaged) {
        ::pt::add_tables(dir, tables, TableKind::forest, TableKind::zone_forest, sums_, damaged);
    }

    // The listed tiles' edges, joined. Each edge file is read, checked and
    // joined in turn, in the join's order; its text and parsed form are
    // dropped before the next.
    void join(const AccountsDir& dir, const std::vector<ListedTable>& tables,
              DamagedTiles& damaged) {
        std::unordered_map<std::string, const ListedTable*> edges_of;
        for (const ListedTable& t : tables) {
            if (t.kind == TableKind::forest_edges) edges_of[t.tile] = &t;
        }
        std::vector<TilePlace> places;
        {
            std::vector<TilePlace> all =
                parse_placement(read_text_file(args_.placement, "the placement"));
            std::unordered_set<std::string> placed;
            for (TilePlace& place : all) {
                placed.insert(place.tile_id);
                // A tile placed but not listed owns nothing in this batch.
                if (edges_of.count(place.tile_id) != 0) places.push_back(std::move(place));
            }
            for (const ListedTable& t : tables) {
                if (placed.count(t.tile) == 0) {
                    throw RunFailure("the placement does not place tile " + printable(t.tile));
                }
            }
        }
        ForestJoin joining(definition_, args_.connectivity, last_year_ - FIRST_OUTPUT_YEAR + 1,
                           places);
        // Reading, hashing and parsing an edge file is most of the work: a
        // thread does it a few tiles ahead while this one joins.
        std::vector<const ListedTable*> in_order;
        std::vector<bool> skipped;
        for (std::size_t index : joining.order()) {
            in_order.push_back(edges_of.at(places[index].tile_id));
            skipped.push_back(damaged.has(in_order.back()->tile));
        }
        ReadAhead ahead;
        std::jthread reader([&](std::stop_token stop) {
            try {
                std::vector<char> buffer;
                for (std::size_t k = 0; k < in_order.size(); ++k) {
                    ReadAhead::Item item;
                    if (!skipped[k]) {
                        item.edges = ahead.spare();
                        try {
                            read_edges(dir, *in_order[k], buffer, *item.edges);
                            item.zones = zone_numbers(*item.edges);
                        } catch (const DamagedTable& e) {
                            ahead.give_back(std::move(item.edges));
                            item.why = e.what();
                        }
                    }
                    if (!ahead.put(std::move(item), stop)) return;
                }
            } catch (...) {
                ahead.fail(std::current_exception());
            }
        });
        for (std::size_t k = 0; k < in_order.size(); ++k) {
            const std::size_t index = joining.order()[k];
            const ListedTable& t = *in_order[k];
            ReadAhead::Item item = ahead.take();
            if (!item.edges) {
                if (!item.why.empty()) damaged.add(t.tile, t.name, item.why);
                joining.skip(index);
                continue;
            }
            try {
                joining.add(index, *item.edges, item.zones);
            } catch (const DamagedTable& e) {
                damaged.add(t.tile, t.name, e.what());
            }
            ahead.give_back(std::move(item.edges));
        }
        if (damaged.count() != 0) return;
        const JoinedForest joined = joining.finish();
        sums_.add_joined(joined.forest_m2, joined.loss_m2);
        for (std::size_t z = 0; z < joined.zone_forest_m2.size(); ++z) {
            sums_.add_joined(joined.zone_forest_m2[z], joined.zone_loss_m2[z], z);
        }
    }

    const ForestSums& sums() const { return sums_; }

  private:
    static void read_edges(const AccountsDir& dir, const ListedTable& t, std::vector<char>& buffer,
                           TileForestEdges& edges) {
        const std::string_view text = read_listed_table(dir.fd(), t, buffer);
        try {
            parse_forest_edges(text, edges);
        } catch (const std::runtime_error& e) {
            throw DamagedTable(e.what());
        }
    }

    // The batch's number of each of the edges' zones: those of the zone
    // forest tables.
    std::vector<std::size_t> zone_numbers(const TileForestEdges& edges) const {
        if (!zoned_ && !edges.zone_names.empty()) {
            throw DamagedTable("its forest edges hold zones, and the batch has none");
        }
        std::vector<std::size_t> numbers;
        for (const std::string& name : edges.zone_names) {
            const std::optional<std::size_t> number = sums_.zone_number(name);
            if (!number) {
                throw DamagedTable("its forest edges name a zone no zone forest table holds: " +
                                   printable(name));
            }
            numbers.push_back(*number);
        }
        return numbers;
    }

    const SumArguments& args_;
    int last_year_;
    bool zoned_;
    ForestDefinition definition_;
    ForestSums sums_;
};

bool is_forest_kind(TableKind kind) {
    return kind == TableKind::forest || kind == TableKind::zone_forest ||
           kind == TableKind::forest_edges;
}

}  // namespace

std::string end_with_parent() {
    const pid_t parent = ::getppid();
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
        const int error = errno;
        return std::string("it cannot be tied to the process that started it: ") +
               std::strerror(error);
    }
    // A parent that ended before the tie was made sent nothing: this process
    // has already been handed to another, which the tie now names.
    if (::getppid() != parent) return "the process that started it has ended";
    return "";
}

int sum_accounts_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    if (asks_for_help(argc, argv)) {
        out << USAGE << std::flush;
        return 0;
    }
    SumArguments args;
    try {
        args = arguments_of(argc, argv);
    } catch (const WrongCall& wrong) {
        if (!wrong.line.empty()) err << wrong.line << '\n';
        err << USAGE << std::flush;
        return 2;
    }
    const std::vector<std::string>& positional = args.positional;
    const bool zoned = positional.size() == 6;
    std::vector<std::string> written;
    try {
        const int last_year = last_year_of(positional[2]);
        AccountSums sums = empty_sums(last_year, positional[3]);
        std::optional<BatchForest> forest;
        if (args.forest_given) {
            forest.emplace(args, last_year, zoned);
            if (positional[0] == "-" && args.placement == "-") {
                throw RunFailure("the list and the placement cannot both be standard input");
            }
        }
        const std::vector<ListedTable> tables = parse_table_list(read_table_list(positional[0]));
        for (const ListedTable& t : tables) {
            if (t.zoned && !zoned) {
                throw RunFailure("the list names zone tables, and no OUT_ZONE_TABLE is given");
            }
            if (!forest && is_forest_kind(t.kind)) {
                throw RunFailure("the list names forest tables, and no --forest is given");
            }
        }
        const AccountsDir dir(positional[1]);
        DamagedTiles damaged(out);
        add_tables(dir, tables, TableKind::accounts, TableKind::zone_accounts, sums, damaged);
        if (forest) {
            forest->check_listed(tables, damaged);
            forest->add_tables(dir, tables, damaged);
            forest->join(dir, tables, damaged);
        }
        out << std::flush;
        if (damaged.count() != 0) {
            err << "sum_accounts: " << damaged.count()
                << " tile(s) with a damaged table: nothing written" << std::endl;
            return 1;
        }
        write_flushed(positional[4], sums.table(), written);
        if (zoned) write_flushed(positional[5], sums.zone_table(), written);
        if (forest) {
            write_flushed(args.forest_table, forest->sums().table(), written);
            if (zoned) write_flushed(args.zone_forest_table, forest->sums().zone_table(), written);
        }
        return 0;
    } catch (const RunFailure& failure) {
        err << "sum_accounts: " << printable(failure.what()) << std::endl;
    } catch (const std::bad_alloc&) {
        err << "sum_accounts: cannot obtain memory" << std::endl;
    } catch (const std::exception& error) {
        err << "sum_accounts: failed: " << printable(error.what()) << std::endl;
    }
    // Nothing half-written is left for the caller to take.
    for (const std::string& path : written) ::unlink(path.c_str());
    return 1;
}

}  // namespace pt
