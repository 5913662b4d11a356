#include "app/sum_accounts.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "accounts/account_sums.hpp"
#include "accounts/thresholds.hpp"
#include "accounts/tile_tables.hpp"
#include "app/tool_options.hpp"
#include "run/printable.hpp"
#include "tile/constants.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

constexpr const char* USAGE =
    "Usage: sum_accounts [--] LIST ACCOUNTS_DIR LAST_YEAR THRESHOLDS OUT_TABLE [OUT_ZONE_TABLE]\n"
    "  Sums the forest accounts of a batch from the tables tile_accounts wrote\n"
    "  into ACCOUNTS_DIR, as the end of a batch does (tilebatch/accounts.py).\n"
    "  LIST (a file, or - for standard input) names the tables, one a line:\n"
    "    tile_id TAB table_name TAB size TAB mtime_ns TAB inode TAB sha256\n"
    "  with the identity the tile's record holds for the table (- - - for none)\n"
    "  and the SHA-256 of its bytes (64 lowercase hex digits; - for none: a record\n"
    "  written before the digests); table_name is <tile_id>_accounts.csv or\n"
    "  <tile_id>_zone_accounts.csv. Each table is read only when it is still the\n"
    "  regular file of that identity and its bytes have that digest, and\n"
    "  strictly: its header, every row of its own tile, the thresholds (THRESHOLDS,\n"
    "  comma-separated percentages) and years (2000 to LAST_YEAR) in order, once\n"
    "  (once a zone in a zone table), figures plain decimals of six places, cover\n"
    "  and loss within land, a height exactly where there is cover.\n"
    "  Sums exactly (whole micro-hectares; the mean height weighted by cover,\n"
    "  rounded half to even) and writes OUT_TABLE:\n"
    "    threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
    "  and with zone tables OUT_ZONE_TABLE (zones in the order they first appear):\n"
    "    zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
    "  each flushed to disk, for the caller to rename into place. It is killed\n"
    "  when the process that started it ends.\n"
    "Exit status: 0; 1 after a failure (one line on standard error) or where\n"
    "  a table is damaged: each such tile on a line of standard output,\n"
    "    tile_id TAB table_name: why\n"
    "  and nothing written; 2 for a wrong call. -h, --help: this text.\n";

struct WrongCall {
    std::string line;
};

std::vector<std::string> positionals_of(int argc, const char* const* argv) {
    std::vector<std::string> positional;
    bool options = true;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (options && arg == "--") {
            options = false;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            throw WrongCall{"sum_accounts: unknown option " + printable(arg)};
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.size() != 5 && positional.size() != 6) throw WrongCall{};
    return positional;
}

AccountSums empty_sums(const std::string& last_year_text, const std::string& thresholds_text) {
    long long last_year = 0;
    if (!whole_number(last_year_text, false, last_year) || last_year < MIN_LAST_YEAR ||
        last_year > MAX_LAST_YEAR) {
        throw RunFailure("LAST_YEAR " + printable(last_year_text) + " is not a year from " +
                         std::to_string(MIN_LAST_YEAR) + " to " + std::to_string(MAX_LAST_YEAR));
    }
    std::string why;
    const std::optional<Thresholds> thresholds = parse_thresholds(thresholds_text, why);
    if (!thresholds) throw RunFailure(why);
    std::vector<std::string> threshold_texts;
    for (int t : thresholds->values) threshold_texts.push_back(std::to_string(t));
    return AccountSums(std::move(threshold_texts), static_cast<int>(last_year));
}

// Adds every listed table of the directory `dir` to `sums`, naming each tile
// with a damaged table on a line of `out` (once, at its first); their count.
std::size_t add_tables(const std::string& dir, const std::vector<ListedTable>& tables, bool zoned,
                       AccountSums& sums, std::ostream& out) {
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        const int error = errno;
        throw RunFailure("the accounts directory " + dir +
                         " cannot be opened: " + std::strerror(error));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{dir_fd};
    std::vector<char> buffer;
    std::size_t damaged = 0;
    const std::string* damaged_tile = nullptr;
    for (const ListedTable& t : tables) {
        if (t.zoned && !zoned) {
            throw RunFailure("the list names zone tables, and no OUT_ZONE_TABLE is given");
        }
        if (damaged_tile != nullptr && *damaged_tile == t.tile) continue;
        try {
            sums.add_table(read_listed_table(dir_fd, t, buffer), t.tile, t.zoned);
        } catch (const DamagedTable& e) {
            out << t.tile << '\t' << t.name << ": " << e.what() << '\n';
            damaged_tile = &t.tile;
            ++damaged;
        }
    }
    out << std::flush;
    return damaged;
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
    std::vector<std::string> args;
    try {
        args = positionals_of(argc, argv);
    } catch (const WrongCall& wrong) {
        if (!wrong.line.empty()) err << wrong.line << '\n';
        err << USAGE << std::flush;
        return 2;
    }
    const bool zoned = args.size() == 6;
    std::vector<std::string> written;
    try {
        AccountSums sums = empty_sums(args[2], args[3]);
        const std::vector<ListedTable> tables = parse_table_list(read_table_list(args[0]));
        const std::size_t damaged = add_tables(args[1], tables, zoned, sums, out);
        if (damaged != 0) {
            err << "sum_accounts: " << damaged << " tile(s) with a damaged table: nothing written"
                << std::endl;
            return 1;
        }
        write_flushed(args[4], sums.table(), written);
        if (zoned) write_flushed(args[5], sums.zone_table(), written);
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
