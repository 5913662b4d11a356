#!/usr/bin/env python3
"""One end of a batch's accounts (accounts.build) in a process of its own,
for the tests that kill it: accounts_end_driver.py REQUEST_FILE ROWS_FILE
[KILL_AT]. ROWS_FILE holds [[tile, its tables' identities]] of the tiles
done. With KILL_AT the process SIGKILLs itself ($END_DRIVER_SIGNAL: another
signal, SIGINT as Ctrl-C sends it) just before its KILL_AT-th
step on the file system (a rename, removal, link, directory made or removed,
flush) or the start of the summing program. It prints the steps it took and
exits with build's status."""
import json
import os
import signal
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

from tilebatch import accounts  # noqa: E402
from tilebatch.records import Request, Row, State  # noqa: E402

req = Request.load(sys.argv[1])
with open(sys.argv[2]) as f:
    rows = [Row(tile, State.DONE, "0", accounts=tables) for tile, tables in json.load(f)]
kill_at = int(sys.argv[3]) if len(sys.argv) > 3 else 0
steps = 0


def counted(call):
    def step(*args, **kwargs):
        global steps
        steps += 1
        if steps == kill_at:
            os.kill(os.getpid(), getattr(signal, os.environ.get("END_DRIVER_SIGNAL", "SIGKILL")))
        return call(*args, **kwargs)
    return step


for name in ("replace", "rename", "unlink", "symlink", "mkdir", "rmdir", "fsync"):
    setattr(os, name, counted(getattr(os, name)))
subprocess.Popen._execute_child = counted(subprocess.Popen._execute_child)
status = accounts.build(req, rows)
print(steps)
sys.exit(status)
