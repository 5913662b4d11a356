// What the cleaning did to a tile: QA rasters, a table and a chart (see
// app/quality_run.hpp). Failures go to standard error, one line, status 1.
#include <iostream>

#include "app/quality_run.hpp"

int main(int argc, char** argv) {
    return pt::tile_quality_main(argc, argv, std::cerr);
}
