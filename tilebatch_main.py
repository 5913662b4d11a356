"""The batch package's launcher: `python3 -B -E -s tilebatch_main.py COMMAND ARGS...`
(the scripts in scripts/ run it so). Python puts this file's directory first
on its path, and the package lies beside it."""
import sys

from tilebatch.cli import main

sys.exit(main(sys.argv[1:]))
