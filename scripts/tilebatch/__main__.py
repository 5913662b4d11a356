"""Run as `python3 scripts/tilebatch COMMAND ARGS...` (the scripts in
scripts/ do): the package is imported from the directory above it."""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [os.path.dirname(here)] + [p for p in sys.path if os.path.abspath(p or ".") != here]

from tilebatch.cli import main  # noqa: E402

sys.exit(main())
