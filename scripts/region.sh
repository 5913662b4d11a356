#!/usr/bin/env bash
# The region of a batch: a VRT mosaic of each product and year and a picture
# of each last-year mosaic; see --help and docs/batch.md.
#   region.sh OUTPUT_DIR LAST_YEAR TILE_FILE [DEST_DIR]
# shellcheck source=scripts/tilebatch.sh
. "$(dirname "${BASH_SOURCE[0]}")/tilebatch.sh"
exec "${TILEBATCH[@]}" region "$@"
