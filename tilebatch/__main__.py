"""`python3 -m tilebatch COMMAND ARGS...` from the project's root."""
import sys

from .cli import main

sys.exit(main(sys.argv[1:]))
