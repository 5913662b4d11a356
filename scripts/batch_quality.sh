#!/usr/bin/env bash
# The quality of a batch from its tiles' quality tables; see --help and
# docs/batch.md.
#   batch_quality.sh QUALITY_DIR TILE_ID...
# shellcheck source=scripts/tilebatch.sh
. "$(dirname "${BASH_SOURCE[0]}")/tilebatch.sh"
exec "${TILEBATCH[@]}" batch-quality "$@"
