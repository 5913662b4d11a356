// Small text tables put into a directory so that a name there only ever
// holds a whole table whose bytes are on disk: each is written under a
// temporary name of its own in the same directory, flushed, and renamed
// over its final name in one step; a run that fails removes its temporary
// files and leaves the tables as they were. Names are taken relative to the
// directory opened once, so renaming its path meanwhile cannot lead a write
// elsewhere, and a name planted there (a link, a FIFO) is replaced, never
// written through.
//
// A set of tables is put under a lock of its own in the directory, so that
// two runs writing the same tables at once (a tile's accounts run twice)
// cannot leave a mix of both; a run killed while it wrote leaves temporary
// files that the next run of the same tables removes under that lock, where
// no other run can be writing them. Several hosts may share the directory:
// the temporary names hold the host, the process and random letters.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pt {

struct TableFile {
    std::string file_name;
    std::string bytes;
};

// Before any work: throws RunFailure(cannot_create) unless `dir` is a
// directory this process may create files in, or does not exist and its
// parent is one. Creates nothing.
void check_table_directory(const std::string& dir, const std::string& cannot_create);

// The lock file of a set of tables whose first is `file_name`:
// ".lock-<file_name without .csv>" (".lock-t1_accounts" for a tile's tables).
std::string table_lock_name(const std::string& file_name);

// A fresh temporary name for the table `file_name`:
// ".tmp-<file_name>.<host>.<pid>.<12 random letters>", the host name kept to
// letters, digits and '-'.
std::string temporary_table_name(const std::string& file_name);

// Whether `entry` is a temporary file of the table `file_name`, as
// temporary_table_name() makes them or as earlier versions did
// (".tmp-<pid>-<file_name>.<8 random letters>"); never another table's.
bool is_temporary_table_name(std::string_view entry, std::string_view file_name);

// Creates `dir` when missing (not its parents), takes the lock of the tables
// (table_lock_name() of the first; `tables` holds at least one), removes the temporary files of
// `tables` and `stale` that killed runs left, writes `tables`, removes the files named `stale` (a
// missing one is no failure), renames the tables into place, flushes the directory and removes the
// lock file. Throws RunFailure: `cannot_create` when the directory cannot be made or opened,
// "<dir>/<first table> is being written by another run" while another run
// holds the lock, "<dir>/<lock> is in the way of the tables' lock: not a
// regular file" or "<dir>/<lock> cannot be opened: <why>" where the lock
// cannot be had, "<dir>/<name> cannot be written" for the first table that
// fails, "<dir>/<name> cannot be removed" for a stale file that stays.
void put_tables(const std::string& dir, const std::vector<TableFile>& tables,
                const std::vector<std::string>& stale, const std::string& cannot_create);

}  // namespace pt
