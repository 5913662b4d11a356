"""The end of a batch, one path for its three callers (the local batch once
parallel has ended, the Slurm follow-up job once every array has, and
--report): the report, then, where the batch builds them, the region of the
tiles whose products are written and the batch quality of the tiles done,
with accounts the batch's sums of them (also on --report: they are read
from the tiles' tables, nothing is run; the tiles done are found again once
the accounts' lock is held), and last the batch page, which
shows all of these. Each part reads the rows
it is given, so a part never sees a tile in another state than the report
does."""
import os
import sys
from dataclasses import dataclass

from . import accounts, page, quality, region, report, survey
from .records import State
from .text import printable, write_tile_tsv


@dataclass(frozen=True)
class Ending:
    """How a caller ends its batch."""
    prog: str  # the name its lines begin with
    rebuild: bool = True  # build the region and the batch quality (--report runs nothing: False)
    full_report: bool = False  # the whole report on standard output, the page's line on standard error
    listing: str = None  # an id under which the tiles each part takes are listed (LOGS/region-ID.tsv)


def finish(req, rows, source, ending):
    """0 when every part of the end was written, else 1 (each part says why
    on its own)."""
    summary = report.summarize(rows)
    status = 0
    if ending.full_report:
        try:
            printed = report.write(req.logs, rows, source, summary)
        except OSError:  # printed all the same: a report to read is not lost with its file
            printed = report.full(rows, source, summary)[1]
        sys.stdout.write(printed)
    else:
        report.publish(req.logs, rows, source, summary, ending.prog)
    if ending.rebuild:
        if req.region:
            status |= build_region(req, rows, ending)
        if req.tile_quality:
            status |= build_quality(req, rows, ending)
    if req.tile_accounts:
        status |= accounts.build(req, states_now(req, ending), say=sys.stderr if ending.full_report else sys.stdout,
                                 report=not ending.rebuild)
    status |= page.publish(req, rows, source, summary, ending.prog,
                           say=sys.stderr if ending.full_report else None)
    return status


def states_now(req, ending):
    """What gives the tiles' states when the accounts' lock is held: the
    batch's sums are decided then, not from the rows read before (a report
    that looked while the last tile ran may take its turn after the batch's
    own end). The local batch's own end and the follow-up job come once every
    job has ended; a report asks then whether a local batch is running."""
    def now():
        return survey.survey(req, None if ending.rebuild else survey.running_local_batch(req))[0]
    return now


def chosen(req, rows, ending, part, wanted, how):
    """The tiles a part takes; with a listing, written down and said."""
    tiles = [r.tile for r in rows if wanted(r)]
    if ending.listing is not None:
        where = {t: (x, y) for t, x, y in req.tiles}
        listed = os.path.join(req.logs, "%s-%s.tsv" % ("region" if part == "region" else "quality", ending.listing))
        write_tile_tsv(listed, [(t,) + where[t] for t in tiles])
        print("%s: %d of %d tiles %s (listed in %s)" % (part, len(tiles), len(rows), how, printable(listed)))
        if not tiles:
            print("%s: no tile to take" % part)
    return tiles


def build_region(req, rows, ending):
    tiles = chosen(req, rows, ending, "region", lambda r: r.products, "finished with status 0")
    if not tiles:
        return 0
    if region.build(req.output_dir, req.last_year, tiles, batch=req.batch_id) != 0:
        print("%s: the region mosaics and pictures could not be built (see above)" % ending.prog, file=sys.stderr)
        return 1
    return 0


def build_quality(req, rows, ending):
    tiles = chosen(req, rows, ending, "batch quality", lambda r: r.state is State.DONE, "with quality status 0")
    if not tiles:
        if ending.listing is None:
            print("%s: no tile has its quality written: no batch quality" % ending.prog)
        return 0
    if quality.build(req.quality_dir, tiles) != 0:
        print("%s: the batch quality could not be written (see above)" % ending.prog, file=sys.stderr)
        return 1
    return 0
