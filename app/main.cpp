#include <iostream>

#include "app/run.hpp"

int main(int argc, char** argv) {
    return pt::process_tile_main(argc, argv, std::cout);
}
