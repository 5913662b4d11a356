"""The package's command line: one subcommand a script or job runs, each a
main(argv). batch (batch.sh) and slurm (slurm_array.sh) share their options,
declared once (the options both have in one group), with the help made from
the declarations and the checks that touch no file; this is the one place
that maps their failures to exit statuses. Nothing imports this module."""
import argparse
import os
import sys

from . import accounts, facts, local, ownership, pictures, quality, region, submit
from .errors import Busy, Refused, ReportMissing, UsageError
from .finish import Ending, finish
from .records import BATCH_FILE, Request
from .survey import running_local_batch, survey
from .text import printable
from .tilejob import zones_identity
from .tilelist import NUMBER, ListError, read_tiles

POSITIONALS = "TILE_LIST LAST_YEAR INPUT_DIR OUTPUT_DIR DATAMASK_DIR WETLAND_DIR [PROCESS_TILE]"


def positive(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("needs a positive whole number, not %r" % text)
    return int(text)


def size(text):
    """Bytes, or a number with a binary K, M, G or T suffix."""
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}.get(text[-1:].upper(), 1)
    digits = text[:-1] if scale > 1 else text
    if not digits.isdigit():
        raise argparse.ArgumentTypeError("bad size %r" % text)
    return int(digits) * scale


def entry_parser(prog, description):
    """An entry point's parser: the options of both entry points, then a
    group of its own."""
    p = argparse.ArgumentParser(prog=prog, usage="%(prog)s [options] " + POSITIONALS, description=description,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    g = p.add_argument_group("options of both entry points")
    g.add_argument("--logs", metavar="DIR", help="per-tile records and logs (default OUTPUT_DIR/logs)")
    g.add_argument("--resume", "--unfinished", dest="resume", action="store_true",
                   help="run only the tiles not done: no record of this request with status 0 and its products")
    g.add_argument("--jobs", "--max-running", "-j", dest="jobs", type=positive, metavar="N",
                   help="tiles at once (batch.sh: on each host; slurm_array.sh: the array throttle)")
    g.add_argument("--quality", action="store_true",
                   help="also run tile_quality on each tile that succeeded, into OUTPUT_DIR/quality, and the "
                        "batch quality at the end")
    g.add_argument("--tile-quality", metavar="PATH",
                   help="the tile_quality binary (implies --quality; default tools/tile_quality beside PROCESS_TILE)")
    g.add_argument("--accounts", action="store_true",
                   help="also run tile_accounts on each tile that succeeded, into OUTPUT_DIR/accounts, and sum the "
                        "batch's accounts at the end (docs/accounts.md); where tiles overlap, each place is counted once, by the "
                        "tile whose centre is nearest")
    g.add_argument("--zones", metavar="FILE", help="accounts of each zone of this vector file too (implies --accounts)")
    g.add_argument("--zone-field", metavar="NAME",
                   help="the field that names a zone (with --zones; default the feature id)")
    g.add_argument("--zone-layer", metavar="NAME", help="the zones file's layer (with --zones; default its only layer: a file of several needs it)")
    g.add_argument("--thresholds", metavar="LIST",
                   help="the accounts' canopy-cover thresholds, whole percentages 0 to 100 (implies --accounts; "
                        "default %s)" % facts.DEFAULT_THRESHOLDS)
    g.add_argument("--forest", metavar="C:H:HA",
                   help="forest by definition too (implies --accounts): canopy of at least C %% cover and height H "
                        "in patches of at least HA hectares, each patch measured whole across the tiles it runs "
                        "through (e.g. 10:5:0.5; docs/accounts.md)")
    g.add_argument("--connectivity", metavar="N", choices=("4", "8"),
                   help="with --forest: the neighbours a patch joins through, 8 (default: edges and corners) or 4")
    g.add_argument("--tile-accounts", metavar="PATH",
                   help="the tile_accounts binary (implies --accounts; default tools/tile_accounts beside PROCESS_TILE)")
    g.add_argument("--no-region", dest="region", action="store_false", help="no region mosaics and pictures")
    g.add_argument("--plan", action="store_true", help="print what the run will cost; run nothing")
    g.add_argument("--report", action="store_true",
                   help="print the report of the latest batch (--report OUTPUT_DIR) or of the list given, and write "
                        "it and the batch page again; run no tile")
    g.add_argument("--dry-run", action="store_true", help="print the commands, runnable as printed; run nothing")
    p.add_argument("args", nargs="*", help=argparse.SUPPRESS)
    return p, p.add_argument_group(prog + " only")


def batch_parser():
    p, g = entry_parser("batch.sh", "Runs process_tile on every tile of TILE_LIST (\"tile_id origin_x origin_y\" a "
                        "line) with GNU parallel,\nas many at once as cores and memory allow. See docs/batch.md.")
    g.add_argument("--joblog", metavar="FILE", help="parallel's job log (default OUTPUT_DIR/batch.joblog)")
    g.add_argument("--retries", type=positive, default=1, metavar="N", help="tries per tile (parallel --retries)")
    g.add_argument("--fresh", action="store_true", help="discard the job log and run every tile again")
    g.add_argument("--memfree", type=size, metavar="SIZE", help="parallel's --memfree (default one job; 0 off)")
    g.add_argument("--mem-available", type=size, metavar="SIZE", help="plan with SIZE instead of MemAvailable")
    g.add_argument("--no-pin", dest="pin", action="store_false", help="do not pin tiles to CPUs")
    g.add_argument("-S", "--sshlogin", action="append", default=[], metavar="LOGINS",
                   help='run on these hosts (parallel -S, e.g. "2/node1,node2,:")')
    g.add_argument("--sshloginfile", metavar="FILE", help='hosts from a file: one login a line, "N/host"')
    return p


def slurm_parser():
    p, g = entry_parser("slurm_array.sh", "Submits TILE_LIST to Slurm as job arrays, one task per tile, and a "
                        "follow-up job (region, batch\nquality, report) once every task has ended. Other sbatch "
                        "settings come from its environment\n(SBATCH_PARTITION, SBATCH_ACCOUNT, SBATCH_TIMELIMIT, "
                        "...). See docs/batch.md.")
    g.add_argument("--cpus", type=positive, default=4, metavar="N", help="CPUs per task (default 4)")
    g.add_argument("--max-array-size", type=positive, metavar="N", help="plan with MaxArraySize N")
    return p


def absolute(path):
    if not path:
        raise UsageError("an empty path is not a directory")
    return os.path.abspath(path)


def parse_last_year(text):
    if not NUMBER.fullmatch(text) or not text.lstrip("+-").isdigit():
        raise UsageError("LAST_YEAR must be a year from %d to %d, not %r" % (facts.MIN_LAST_YEAR, facts.MAX_LAST_YEAR, text))
    year = int(text)
    if not facts.MIN_LAST_YEAR <= year <= facts.MAX_LAST_YEAR:
        raise UsageError("LAST_YEAR %d is outside %d to %d" % (year, facts.MIN_LAST_YEAR, facts.MAX_LAST_YEAR))
    return year


def accounts_asked(a):
    """Whether the options ask for accounts: --accounts or one that implies it."""
    return a.accounts or any(v is not None for v in (a.zones, a.zone_field, a.zone_layer, a.thresholds,
                                                     a.tile_accounts, a.forest, a.connectivity))


def forest_settings(a):
    """{Request field: value} of --forest and --connectivity, checked as
    tile_accounts checks them; none without --forest."""
    if a.forest is None:
        if a.connectivity is not None:
            raise UsageError("--connectivity says how forest patches join: give --forest C:H:HA too")
        return {}
    try:
        definition = facts.parse_forest(a.forest)
    except facts.ForestError as e:
        raise UsageError("--forest %s: %s" % (printable(a.forest), e))
    return {"forest": definition,
            "connectivity": facts.DEFAULT_CONNECTIVITY if a.connectivity is None else int(a.connectivity)}


def accounts_settings(a, process_tile):
    """{Request field: value} of the accounts options, checked as far as can
    be without touching a file: none where no accounts are asked. The zones
    file is stat'ed (it must be a readable file), and its identity kept as
    it is now, when the batch starts."""
    if not accounts_asked(a):
        return {}
    forest = forest_settings(a)
    for option, value in (("--zone-field", a.zone_field), ("--zone-layer", a.zone_layer)):
        if value is not None and a.zones is None:
            raise UsageError("%s names a part of the zones file: give --zones FILE too" % option)
        if value == "":
            raise UsageError("%s needs a name, not an empty one" % option)
    try:
        thresholds = facts.thresholds_text(facts.parse_thresholds(
            facts.DEFAULT_THRESHOLDS if a.thresholds is None else a.thresholds))
    except facts.ThresholdError as e:
        raise UsageError("--thresholds %s: %s" % (printable(a.thresholds), e))
    zones = identity = None
    if a.zones is not None:
        zones = absolute(a.zones)
        if not os.path.isfile(zones) or not os.access(zones, os.R_OK):
            raise UsageError("--zones %s is not a readable file" % printable(zones))
        identity = zones_identity(zones)
    return {"tile_accounts": absolute(a.tile_accounts or os.path.join(os.path.dirname(process_tile), "tools",
                                                                        "tile_accounts")),
            "thresholds": thresholds, "zones": zones, "zone_field": a.zone_field, "zone_layer": a.zone_layer,
            "zones_identity": identity, **forest}


def request_from(a, entry):
    """The Request of the positional arguments, or of the latest batch in
    OUTPUT_DIR (--report OUTPUT_DIR alone)."""
    if a.report and len(a.args) == 1:
        if accounts_asked(a):
            raise UsageError("--report OUTPUT_DIR reports the latest batch as it was run: give its list to "
                             "report it with other accounts")
        logs = absolute(a.logs or os.path.join(a.args[0], "logs"))
        req = Request.load(os.path.join(logs, BATCH_FILE))
        if req is None and os.path.lexists(os.path.join(logs, BATCH_FILE)):
            raise ReportMissing("the latest batch recorded in %s (%s) does not read: give its list to report it"
                                % (printable(logs), BATCH_FILE))
        if req is None:
            raise ReportMissing("no batch recorded in %s (%s): nothing was run there" % (printable(logs), BATCH_FILE))
        if req.output_dir != absolute(a.args[0]):
            raise ReportMissing("the latest batch of %s wrote into %s, not %s: give its list to report this one"
                                % (printable(logs), printable(req.output_dir), printable(absolute(a.args[0]))))
        req.logs = logs  # where it was read, whatever the file says
        return req
    if len(a.args) not in (6, 7):
        raise UsageError("expected 6 or 7 arguments (%s), got %d" % (POSITIONALS, len(a.args)))
    last_year = parse_last_year(a.args[1])
    input_dir, output_dir, datamask_dir, wetland_dir = map(absolute, a.args[2:6])
    process_tile = absolute(a.args[6] if len(a.args) == 7 else os.path.join(facts.PROJECT_ROOT, "build", "process_tile"))
    tile_quality = None
    if a.quality or a.tile_quality:
        tile_quality = absolute(a.tile_quality or os.path.join(os.path.dirname(process_tile), "tools", "tile_quality"))
    settings = accounts_settings(a, process_tile)
    try:
        tiles = read_tiles(a.args[0])
    except ListError as e:
        raise UsageError(str(e))
    if settings:
        # Each place is counted by the one tile that owns it where tiles
        # overlap: they must share one pixel grid and no origin.
        clash = accounts.table_clash(Request(tiles=tiles, last_year=last_year, input_dir="", output_dir="",
                                             datamask_dir="", wetland_dir="", process_tile="", logs=""))
        if clash:
            raise UsageError("--accounts: tile %s would write its table under the name of the batch's own %s: "
                             "rename the tile" % (printable(clash[0]), clash[1]))
        shared = accounts.shared_table(tiles)
        if shared:
            raise UsageError("--accounts: tiles %s and %s would both write a table %s: rename one"
                             % tuple(printable(t) for t in shared))
        try:
            ownership.neighbours(tiles)
        except ownership.Crowded as e:
            raise UsageError("--accounts: tile %s overlaps more than %d tiles of the list (a grid of whole degrees "
                             "overlaps each with 8): no layout to count" % (printable(e.args[0]),
                                                                            ownership.MAX_OVERLAPPING))
        except ownership.NotOneGrid as e:
            first, second, why = e.args
            raise UsageError("--accounts: tiles %s and %s cannot share their overlap: %s (a tile covers %s degrees "
                             "east and south of its origin)"
                             % (printable(first), printable(second), why, accounts.TILE_DEGREES))
    return Request(tiles=tiles, last_year=last_year, input_dir=input_dir, output_dir=output_dir,
                   datamask_dir=datamask_dir, wetland_dir=wetland_dir, process_tile=process_tile,
                   logs=absolute(a.logs or os.path.join(output_dir, "logs")), tile_quality=tile_quality, entry=entry,
                   region=a.region, **settings)


def report_main(req, prog, latest=None):
    """--report: printed whole on standard output (and written beside the
    records when they can be), and the page written again; the region and
    the batch quality are left as they are."""
    if not os.path.isdir(req.logs):
        print("%s: no log directory %s: nothing of this list was run there" % (prog, printable(req.logs)),
              file=sys.stderr)
        return 1
    if latest is None:
        # A list given again: the page and the job log are those of the
        # latest batch where it ran this very list, else of no batch at all.
        recorded = Request.load(os.path.join(req.logs, BATCH_FILE))
        if recorded is not None and recorded.same_run(req):
            req.batch_id, req.joblog, req.entry = recorded.batch_id, recorded.joblog, recorded.entry
            req.started = recorded.started
        else:
            req.ran = False
        latest = recorded
    rows, source = survey(req, running_local_batch(req, latest), inputs=True)
    return finish(req, rows, source, Ending(prog, rebuild=False, full_report=True))


def entry_main(name, argv):
    """batch.sh and slurm_array.sh."""
    parser, run = (batch_parser(), local.main) if name == "batch" else (slurm_parser(), submit.main)
    prog = parser.prog
    parser.error = lambda message: parser.exit(2, "%s: %s\ntry: %s --help\n" % (prog, printable(message), prog))
    after = argv.index("--") if "--" in argv else len(argv)  # what follows -- is positional, whatever it looks like
    a = parser.parse_intermixed_args(argv[:after])
    a.args += argv[after + 1:]
    try:
        req = request_from(a, prog)
        if a.report:  # of OUTPUT_DIR alone: the latest batch there, read already
            return report_main(req, prog, req if len(a.args) == 1 else None)
        return run(a, req)
    except Busy as e:
        print("%s: %s is in use by another batch; wait for it to end" % (prog, printable(e.args[0])), file=sys.stderr)
        return 2
    except OSError as e:  # a directory that cannot be made, a lock file that is not one
        print("%s: %s" % (prog, printable("%s: %s" % (e.filename, e.strerror) if e.filename else e)), file=sys.stderr)
        return 2
    except UsageError as e:
        print("%s: %s" % (prog, e), file=sys.stderr)
        print("try: %s --help" % prog, file=sys.stderr)
        return 2
    except Refused as e:
        print("%s: %s" % (prog, e), file=sys.stderr)
        return 2
    except ReportMissing as e:
        print("%s: %s" % (prog, e), file=sys.stderr)
        return 1


COMMANDS = {
    "batch": ("a tile list run with GNU parallel (batch.sh)", lambda argv: entry_main("batch", argv)),
    "slurm": ("a tile list submitted as Slurm job arrays (slurm_array.sh)", lambda argv: entry_main("slurm", argv)),
    "region": ("the region's mosaics and pictures (region.sh)", region.main),
    "batch-quality": ("the quality of a batch (batch_quality.sh)", quality.main),
    "picture": ("the picture of one product raster (quicklook.sh)", pictures.main),
    "follow-up": ("the end of a Slurm batch, run by its follow-up job", submit.follow_up),
    "mark-tasks": ("an array's tiles marked as its tasks' (a dry run's script)", submit.mark_tasks_main),
}


def main(argv):
    parser = argparse.ArgumentParser(prog="tilebatch", description="The batch layer around process_tile; the "
                                     "scripts in scripts/ run these. Each command answers --help.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, (about, _) in COMMANDS.items():
        commands.add_parser(name, help=about, add_help=False)
    # The command's own arguments go to its own parser, whatever they look like.
    command = parser.parse_args(argv[:1]).command
    return COMMANDS[command][1](argv[1:])
