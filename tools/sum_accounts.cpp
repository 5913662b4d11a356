// The forest accounts of a batch summed from its tiles' tables (see
// app/sum_accounts.hpp). A failure is one line on standard error, status 1;
// damaged tables are named on standard output, status 1; a wrong call 2.
#include <iostream>
#include <string>

#include "app/sum_accounts.hpp"

int main(int argc, char** argv) {
    // The batch's end waits for the sums; once it is gone no one takes them.
    const std::string untied = pt::end_with_parent();
    if (!untied.empty()) {
        std::cerr << "sum_accounts: " << untied << std::endl;
        return 1;
    }
    return pt::sum_accounts_main(argc, argv, std::cout, std::cerr);
}
