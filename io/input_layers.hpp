// Reading the tile's input layers: the two masks and the annual canopy cover,
// loss and canopy height rasters, band 1 of each, straight into tile memory.
#pragma once

#include <string>
#include <vector>

#include "run/progress.hpp"
#include "tile/tile.hpp"

namespace pt {

struct InputPaths {
    std::string tile_id;
    std::string input_dir;
    std::string datamask_dir;
    std::string wetland_dir;
};

// One layer to read: its file name and the width x height bytes it fills.
struct LayerRead {
    std::string path;
    uint8_t* destination;
};

// The path of every layer of the tile in read order: datamask, wetland
// mask, cover 1997 to 1999, then cover, loss and height of each year from
// 2000 to last_year. Names are plain concatenations; the directories are
// used unchanged.
std::vector<std::string> input_layer_paths(const InputPaths& paths, int last_year);

// Every layer of the tile in read order (input_layer_paths), each with the
// tile memory it fills.
std::vector<LayerRead> input_layer_plan(const InputPaths& paths, int last_year, TileMemory& tile);

// Throws RunFailure "<path> not found" for the first layer in read order
// that is not a regular file (symbolic links followed), before any is
// opened: a run with a layer missing fails in its first second, not once
// the layers before it are read. What lies inside a layer is seen only when
// it is read (read_layer).
void check_input_layers_present(const InputPaths& paths, int last_year);

// Opens the file read-only, reads the upper-left width x height window of
// band 1 as bytes into destination in one call, and closes it. Throws
// RunFailure with "<path> not found" when the path does not lead to a
// regular GeoTIFF file (io/layer_dataset.hpp), and with a line naming the
// file when it opens but cannot deliver the whole window, when GDAL raises
// any warning or error while reading it, or when its blocks need more
// memory to decode than the run sets aside (LAYER_DECODE_POOL, shared by
// all threads reading layers: a thread waits while the others hold it).
void read_layer(const std::string& path, uint8_t* destination, int width, int height);

// A window of a layer: columns x to x + width - 1, rows y to y + height - 1.
struct LayerWindow {
    int x = 0, y = 0, width = 0, height = 0;
};

// Like read_layer, with the same checks and failure lines (the layer must
// still cover layer_width x layer_height pixels), but reads only `window`
// of band 1, which must lie inside that extent, into destination as packed
// rows of window.width bytes. For looking at a few pixels without loading
// the tile.
void read_layer_window(const std::string& path, uint8_t* destination, int layer_width,
                       int layer_height, const LayerWindow& window);

// Reads every layer of the plan. With several workers each reads whole files
// on its own dataset; the outcome is still that of reading in plan order: on
// failure the line names the first failing layer of the plan, and layers
// after a known failure are not opened.
void load_input_layers(const InputPaths& paths, int last_year, TileMemory& tile, int workers = 1,
                       Progress& progress = Progress::silent());

}  // namespace pt
