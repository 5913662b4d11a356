// The forest accounts of a batch summed from its tiles' tables (see
// app/sum_accounts.hpp). A failure is one line on standard error, status 1;
// damaged tables are named on standard output, status 1; a wrong call 2.
#include <iostream>

#include "app/sum_accounts.hpp"

int main(int argc, char** argv) {
    return pt::sum_accounts_main(argc, argv, std::cout, std::cerr);
}
