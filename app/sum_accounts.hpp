// sum_accounts: the forest accounts of a batch, summed from the tables each
// tile's tile_accounts run wrote. The batch (tilebatch/accounts.py) runs it at
// its end and puts what it wrote in place; a table that is not as its tile's
// run wrote it is named, and then nothing is written. The sums and the
// strict reading are accounts/account_sums.hpp's, the list and the files
// accounts/tile_tables.hpp's; this is the command line.
#pragma once

#include <iosfwd>
#include <string>

namespace pt {

// Ties this process to the one that started it: killed (SIGKILL) as soon as
// its parent ends, so that the sums of a batch whose end was killed or
// cancelled are not left running for nobody. Empty when tied; else why not:
// the parent has already gone by then (the program should end at once), or
// the tie cannot be made. Taken against the parent found as this is called:
// call it first thing in main. The kernel ties it to the thread that started
// it: a caller that starts it from a thread waits for it there
// (subprocess.run does).
std::string end_with_parent();

// The whole program: returns the exit status (0; 1 after a failure, whose
// one line "sum_accounts: ..." goes to `err`, or with damaged tables, each
// named on a line of `out`; 2 for a wrong call; 0 for -h/--help).
int sum_accounts_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace pt
