// Small text tables put into a directory so that a name there only ever
// holds a whole table whose bytes are on disk: each is written under a
// temporary name of its own in the same directory, flushed, and renamed
// over its final name in one step; a run that fails removes its temporary
// files and leaves the tables as they were. Names are taken relative to the
// directory opened once, so renaming its path meanwhile cannot lead a write
// elsewhere, and a name planted there (a link, a FIFO) is replaced, never
// written through.
#pragma once

#include <string>
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

// Creates `dir` when missing (not its parents), writes `tables`, removes the
// files named `stale` (a missing one is no failure), renames the tables into
// place and flushes the directory. Throws RunFailure: `cannot_create` when
// the directory cannot be made or opened, "<dir>/<name> cannot be written"
// for the first table that fails, "<dir>/<name> cannot be removed" for a
// stale file that stays.
void put_tables(const std::string& dir, const std::vector<TableFile>& tables,
                const std::vector<std::string>& stale, const std::string& cannot_create);

}  // namespace pt
