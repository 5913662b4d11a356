"""What a batch will cost, said before it runs (--plan), and how many tiles
fit at once in a node's memory: the program's own figures (facts) scaled to
the request."""
import os

from . import facts


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


def mem_available(field="MemAvailable"):
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith(field + ":"):
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
    if req.tile_accounts:
        more = facts.accounts_seconds(req.last_year)
        secs += more
        print("plan: accounts: %.1f s more per tile for tile_accounts (%d s for a 2020 tile, bench/tile_accounts.sh "
              "with 200 zones on a 2-core node, scaled by years), %.1f s in all" % (more, facts.ACCOUNTS_SECONDS_2020, secs))
        held = "tile_accounts holds some %d MiB (%d MiB and GDAL's %d MiB cache), and only once process_tile has " \
            "ended" % (facts.ACCOUNTS_MIB, facts.ACCOUNTS_PROGRAM_MIB, facts.ACCOUNTS_GDAL_CACHE_MIB)
        if facts.ACCOUNTS_MIB * facts.MIB <= job_bytes:
            print("plan: accounts: %s: less than the %s above, so the memory per tile (and a Slurm task's --mem) "
                  "stays process_tile's" % (held, human(job_bytes)))
        else:
            print("plan: accounts: warning: %s: more than the %s above" % (held, human(job_bytes)))
    print("plan: node-hours: %.1f (tiles x time per tile, one tile at a time on all of a node like that)" % (n * secs / 3600))
