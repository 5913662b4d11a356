#!/usr/bin/env bash
# Submits a tile list to Slurm as job arrays, one task per tile, and a
# follow-up job; see --help and docs/batch.md. The work is done by the Python
# package beside this script; each task runs tilebatch/tilejob.py, which
# sbatch copies when the array is submitted.
# shellcheck source=scripts/tilebatch.sh
. "$(dirname "${BASH_SOURCE[0]}")/tilebatch.sh"
exec "${TILEBATCH[@]}" slurm "$@"
