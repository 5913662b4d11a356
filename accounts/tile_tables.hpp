// The tiles' accounts tables as files, for the batch's sums: the list that
// names them with what each tile's record says its run wrote, each table
// read only when it is still that file, and the sums written out.
//
// A listed table is read when it is the regular file of the identity
// (size, mtime in ns, inode) its record holds, and, where the record holds
// the SHA-256 of its bytes, when the bytes read have that digest: a table
// rewritten in place with its size, inode and time put back is damaged too.
// A record written before the digests holds none, and its tables are held to
// their identity alone (tilebatch/records.py).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pt {

// A tile table of 2060 holds some 60,000 rows; no table of a tile comes near.
constexpr std::size_t MAX_TABLE_BYTES = std::size_t{256} << 20;

// The tables a tile's run writes: its accounts, and with --forest its
// forest and the forest edges it leaves for the batch to join.
enum class TableKind { accounts, zone_accounts, forest, zone_forest, forest_edges };

// A table as the list names it, with what the tile's record holds of it.
struct ListedTable {
    std::string tile;
    std::string name;
    TableKind kind = TableKind::accounts;
    bool zoned = false;       // a table of zones (zone_accounts or zone_forest)
    bool identified = false;  // false: the record holds no identity for it
    long long size = 0, mtime_ns = 0;
    unsigned long long inode = 0;
    std::string sha256;  // 64 hex digits; empty: the record holds no digest
};

// The list's text, one table a line:
//   tile_id TAB table_name TAB size TAB mtime_ns TAB inode TAB sha256
// with "-" for each of the three identity fields where the record holds no
// identity and "-" for the digest where it holds none; table_name is
// <tile_id>_accounts.csv, <tile_id>_zone_accounts.csv, <tile_id>_forest.csv,
// <tile_id>_zone_forest.csv or <tile_id>_forest_edges.txt. Throws
// RunFailure naming the first line that is not so.
std::vector<ListedTable> parse_table_list(std::string_view text);

// The list at `path` ("-": standard input), a regular file or a pipe of at
// most 4 GiB. Throws RunFailure.
std::string read_table_list(const std::string& path);
// The same for another file, named `what` in its failures ("the placement").
std::string read_text_file(const std::string& path, const std::string& what);

// The fields of a line of the batch's tab-separated lists (the tables' list,
// the placement file), empty ones kept.
std::vector<std::string_view> tab_fields(std::string_view line);

// The bytes of table `t` in the directory `dir_fd`, read into `buffer` once
// it has been opened without following the caller into a FIFO and found to
// be the file its record names, and hashed while read. Throws DamagedTable
// (accounts/account_sums.hpp) saying why it is not that file or cannot be read.
std::string_view read_listed_table(int dir_fd, const ListedTable& t, std::vector<char>& buffer);

// Writes `text` to `path` (no link followed) and flushes it to disk; `path`
// goes into `opened` once it is the file written, for the caller to remove
// after a failure. Throws RunFailure.
void write_flushed(const std::string& path, const std::string& text,
                   std::vector<std::string>& opened);

// A whole number of decimal digits (and a leading '-' where `sign`) that
// fits a long long; false for anything else.
bool whole_number(std::string_view text, bool sign, long long& out);

}  // namespace pt
