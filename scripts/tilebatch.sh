# shellcheck shell=bash
# How a script runs the batch package, sourced by every script that does: one
# interpreter and one set of flags. -B writes no bytecode beside the package;
# -E and -s keep the caller's PYTHON* variables and user site-packages out, so
# the package runs the same on every node. A wrapper execs it, so that a
# signal sent to the wrapper reaches the batch itself.
# shellcheck disable=SC2034  # used by the scripts that source this file
TILEBATCH=(python3 -B -E -s "$(CDPATH="" cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)/tilebatch_main.py")
