"""The command lines of batch.sh and slurm_array.sh: each option declared
once (the options both have in one group), the help made from the
declarations, and the checks that touch no file."""
import argparse
import os
import sys

from . import facts
from .records import BATCH_FILE, Busy, Request
from .tilejob import printable
from .tilelist import NUMBER, ListError, read_tiles

POSITIONALS = "TILE_LIST LAST_YEAR INPUT_DIR OUTPUT_DIR DATAMASK_DIR WETLAND_DIR [PROCESS_TILE]"


class UsageError(Exception):
    """A call that cannot be run as given: exit status 2."""


class ReportMissing(Exception):
    """--report where nothing ran: exit status 1."""


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
    g.add_argument("--no-region", dest="region", action="store_false", help="no region mosaics and pictures")
    g.add_argument("--plan", action="store_true", help="print what the run will cost; run nothing")
    g.add_argument("--report", action="store_true",
                   help="print the report of the latest batch (--report OUTPUT_DIR) or of the list given; run nothing")
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


def request_from(a, entry):
    """The Request of the positional arguments, or of the latest batch in
    OUTPUT_DIR (--report OUTPUT_DIR alone)."""
    if a.report and len(a.args) == 1:
        logs = absolute(a.logs or os.path.join(a.args[0], "logs"))
        req = Request.load(os.path.join(logs, BATCH_FILE))
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
    try:
        tiles = read_tiles(a.args[0])
    except ListError as e:
        raise UsageError(str(e))
    return Request(tiles=tiles, last_year=last_year, input_dir=input_dir, output_dir=output_dir,
                   datamask_dir=datamask_dir, wetland_dir=wetland_dir, process_tile=process_tile,
                   logs=absolute(a.logs or os.path.join(output_dir, "logs")), tile_quality=tile_quality, entry=entry,
                   region=a.region)


def notes(prog, dry_run):
    """How an entry point says what it does: a dry run's lines are comments,
    so that its output runs as printed."""
    return lambda line: print(("# " if dry_run else "") + prog + ": " + line)


def human(b):
    for unit, scale in (("TiB", 1 << 40), ("GiB", 1 << 30), ("MiB", 1 << 20)):
        if b >= scale:
            return "%.1f %s" % (b / scale, unit)
    return "%d bytes" % b


def jobs_for_memory(available, job_bytes, slots):
    """Tiles at once: min(slots, floor((available - job / 2) / job)), at least
    1; half a job kept free, as parallel's --memfree stops the youngest job
    when free memory falls below half its figure."""
    return max(1, min(slots, (available - job_bytes // 2) // job_bytes))


def mem_available():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def print_plan(req, job_bytes, per_node, what):
    n, years = len(req.tiles), req.last_year - facts.MIN_LAST_YEAR + 1
    products = n * 3 * years * facts.PRODUCT_BYTES
    wanted, in_bytes, with_dirs = {t for t, _, _ in req.tiles}, 0, 0
    try:
        with os.scandir(req.input_dir) as entries:
            for e in entries:
                if e.name in wanted and e.is_dir(follow_symlinks=False):
                    with os.scandir(e.path) as files:
                        in_bytes += sum(f.stat().st_size for f in files if f.is_file())
                    with_dirs += 1
    except OSError:
        pass
    secs = facts.TILE_SECONDS_2020 * facts.year_count(req.last_year) / facts.year_count(2020)
    print("plan: %d tiles, last year %d" % (n, req.last_year))
    print("plan: memory per tile: %d bytes (%s)" % (job_bytes, human(job_bytes)))
    print("plan: tiles at once per node: %d (%s)" % (per_node, what))
    print("plan: products: %d bytes (%s): %d tiles x 3 products x %d years x %d bytes"
          % (products, human(products), n, years, facts.PRODUCT_BYTES))
    if with_dirs:
        print("plan: inputs: %d bytes (%s) in the directories of %d of the %d tiles" % (in_bytes, human(in_bytes), with_dirs, n))
    else:
        print("plan: inputs: none of the tiles has a directory in the input directory yet")
    if req.tile_quality:  # tile_quality reads and filters the tile again: measured as long as the run
        secs *= 2
    print("plan: time: %.1f s per tile (%d s for a 2020 tile, bench/bench_tile whole run on a 2-core node, scaled by "
          "years%s)" % (secs, facts.TILE_SECONDS_2020, "; twice that with the quality run" if req.tile_quality else ""))
    print("plan: node-hours: %.1f (tiles x time per tile, one tile at a time on all of a node like that)" % (n * secs / 3600))


def main(argv):
    command, rest = (argv[:1] or ["?"])[0], argv[1:]
    from . import local, pictures, quality, region, report, submit
    if command in ("region", "batch-quality", "follow-up", "mark-tasks", "picture"):
        return {"region": region.main, "batch-quality": quality.main, "follow-up": submit.follow_up,
                "mark-tasks": submit.mark_tasks, "picture": pictures.main}[command](rest)
    if command not in ("batch", "slurm"):
        print("usage: tilebatch batch|slurm|region|batch-quality ARGS...", file=sys.stderr)
        return 2
    parser, run = (batch_parser(), local.main) if command == "batch" else (slurm_parser(), submit.main)
    prog = parser.prog
    parser.error = lambda message: parser.exit(2, "%s: %s\ntry: %s --help\n" % (prog, printable(message), prog))
    after = rest.index("--") if "--" in rest else len(rest)  # what follows -- is positional, whatever it looks like
    a = parser.parse_intermixed_args(rest[:after])
    a.args += rest[after + 1:]
    try:
        req = request_from(a, prog)
        return report.main(req, prog) if a.report else run(a, req)
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
    except ReportMissing as e:
        print("%s: %s" % (prog, e), file=sys.stderr)
        return 1
