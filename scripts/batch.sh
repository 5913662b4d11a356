#!/usr/bin/env bash
# Runs process_tile on every tile of a tile list with GNU parallel, one
# record per tile; see --help and docs/batch.md. The work is done by the
# Python package beside this script.
# shellcheck source=scripts/tilebatch.sh
. "$(dirname "${BASH_SOURCE[0]}")/tilebatch.sh"
exec "${TILEBATCH[@]}" batch "$@"
