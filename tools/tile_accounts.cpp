// The forest accounts of one tile from its products (see app/accounts_run.hpp).
// A failure is one line on standard error, status 1; a wrong call status 2.
#include <iostream>

#include "app/accounts_run.hpp"

int main(int argc, char** argv) {
    return pt::tile_accounts_main(argc, argv, std::cout, std::cerr);
}
