#!/usr/bin/env bash
# Placeholder until the region mosaics land: records how it was called.
#   region.sh OUTPUT_DIR LAST_YEAR SUCCESSFUL_TILES_FILE
echo "region $*" > "$1/region.requested"
