"""The failures of the batch's entry points that are not a tile's: each maps
to one exit status in the command line (cli.main)."""


class UsageError(Exception):
    """A call that cannot be run as given: exit status 2."""


class ReportMissing(Exception):
    """--report where nothing ran: exit status 1."""


class Busy(Exception):
    """Another batch holds a directory of this one (the directory): exit
    status 2."""


class Refused(Exception):
    """A run refused before it starts for a reason that is not the call's (a
    tool missing, an earlier run's job log): exit status 2."""
