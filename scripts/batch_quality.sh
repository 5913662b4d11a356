#!/usr/bin/env bash
# The quality of a batch from its tiles' quality tables; see --help and
# docs/batch.md.
#   batch_quality.sh QUALITY_DIR TILE_ID...
exec python3 -B -E -s "$(dirname "${BASH_SOURCE[0]}")/tilebatch" batch-quality "$@"
