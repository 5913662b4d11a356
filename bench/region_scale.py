#!/usr/bin/python3
"""What a batch's follow-up work costs as the batch grows: the region (a VRT
mosaic of every product and year, and the pictures of the last year), the
batch quality, the report and the batch page, as the Slurm follow-up job runs
them (`tilebatch follow-up`), for N stand-in tiles of last year 2020.

Each stand-in tile is one real tile's products under N tile names and
origins: a VRT a product, placed on a grid of one-degree steps, pointing at
the real product; and what each tile's job leaves for the region, a reduced
copy: the real tile's (made here by the job's own code), again as a VRT
placed on the tile. Each tile has a record of a done job, and a quality
table. The real tile is made first (make_synthetic_tile and process_tile of
the build) unless --products names products of tile b1, 2020.

It prints, for each N side by side: wall seconds, seconds a tile, and the
peak memory of the whole process tree (the resident memory of every process
summed, sampled every 50 ms, and the largest single process from the
kernel's own count), then the projection to 20,000 tiles from the two
largest N, against 15 minutes and the follow-up job's memory request. A
benchmark, not a test.

    bench/region_scale.py [--sizes 100,1000] [--dir DIR] [--products DIR]
"""
import argparse
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)  # the batch package lies at the root
sys.dont_write_bytecode = True  # nothing written into the tree, as the batch scripts run it (-B)
from tilebatch import facts, slurm, tilejob  # noqa: E402
from tilebatch.records import Request  # noqa: E402

LAST_YEAR = 2020
SOURCE_TILE = "b1"
PRODUCT_VRT = """<VRTDataset rasterXSize="4004" rasterYSize="4004">
  <SRS>EPSG:4326</SRS>
  <GeoTransform>%r, 0.00025, 0, %r, 0, -0.00025</GeoTransform>
  <VRTRasterBand dataType="Byte" band="1">
    <SimpleSource><SourceFilename relativeToVRT="0">%s</SourceFilename><SourceBand>1</SourceBand></SimpleSource>
  </VRTRasterBand>
</VRTDataset>
"""
REDUCED_BAND = """  <VRTRasterBand dataType="Float32" band="%d">
    <SimpleSource><SourceFilename relativeToVRT="0">%s</SourceFilename><SourceBand>%d</SourceBand></SimpleSource>
  </VRTRasterBand>
"""
QUALITY_HEADER = ("year,filtered,invalid,jump,repaired,interpolated,post_loss,height_filled,height_capped,"
                  "height_smoothed,tcc_changed,loss_in,loss_kept")


def source_products(directory):
    """A real tile's products of 2020, made with the build's programs unless there."""
    products = os.path.join(directory, "products")
    if all(os.path.isfile(os.path.join(products, n)) for n in facts.product_names(SOURCE_TILE, LAST_YEAR)):
        return products
    tile = os.path.join(directory, "tile")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(products)
    subprocess.run([os.path.join(ROOT, "build/tools/make_synthetic_tile"), tile + "/input", tile + "/datamask",
                    tile + "/wetland", SOURCE_TILE, str(LAST_YEAR), "7", "--compress", "LZW"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([os.path.join(ROOT, "build/process_tile"), SOURCE_TILE, str(LAST_YEAR), tile + "/input", products,
                    "-80", "40", tile + "/datamask", tile + "/wetland"], check=True)
    return products


def stand_in_batch(directory, n, products, reduced):
    """N tiles on a grid, each a done job with products, a reduced
    copy and a quality table; the request file of the batch."""
    shutil.rmtree(directory, ignore_errors=True)
    out = os.path.join(directory, "out")
    quality = os.path.join(out, "quality")
    os.makedirs(os.path.join(out, tilejob.REDUCED_DIR))
    os.makedirs(quality)
    empty = os.path.join(directory, "empty")
    open(empty, "w").close()
    # Twice as wide as high, as a continent's land lies: 200 x 100 tiles for 20,000.
    wide = math.ceil(math.sqrt(2 * n))
    tiles = [("s%05d" % k, "%d" % (-100 + k % wide), "%d" % (70 - k // wide)) for k in range(n)]
    req = Request(tiles, LAST_YEAR, directory, out, directory, directory, "/bin/true", os.path.join(out, "logs"),
                  tile_quality="/bin/true", entry="slurm_array.sh")
    table = QUALITY_HEADER + "\n" + "".join("%d,16000000,0,%d,%d,%d,0,%d,0,0,%d,900,800\n"
                                            % (y, y % 7, 40000 + y, 3000, 90000, 5000) for y in range(2000, 2021))
    for k, (tile, x, y) in enumerate(tiles):
        for name in facts.product_names(tile, LAST_YEAR):
            real = os.path.join(products, name.replace("_" + tile + ".", "_" + SOURCE_TILE + "."))
            with open(os.path.join(out, name), "w") as f:
                f.write(PRODUCT_VRT % (float(x), float(y), real))
        for name in facts.quality_names(tile, LAST_YEAR)[:-1]:
            os.symlink(empty, os.path.join(quality, name))
        with open(os.path.join(quality, tile + "_quality.csv"), "w") as f:
            f.write(table.replace(",40000", ",%d" % (40000 + 3000 * (k % 50 == 0) * 40)))
        step = 1.001 / tilejob.REDUCED_PIXELS
        with open(tilejob.reduced_path(out, LAST_YEAR, tile), "w") as f:  # after the products: fresh
            f.write('<VRTDataset rasterXSize="%d" rasterYSize="%d">\n  <SRS>EPSG:4326</SRS>\n'
                    '  <GeoTransform>%r, %r, 0, %r, 0, %r</GeoTransform>\n'
                    % (tilejob.REDUCED_PIXELS, tilejob.REDUCED_PIXELS, float(x), step, float(y), -step)
                    + "".join(REDUCED_BAND % (b, reduced, b) for b in (1, 2, 3)) + "</VRTDataset>\n")
        here = tilejob.tile_dir(req.logs, tile, make=True)
        record = tilejob.TileRecord(tilejob.request_of(req, tile, x, y), "local-bench-%d" % k, host="node%d" % (k % 40),
                                    process_tile=req.process_tile, tile_quality=req.tile_quality,
                                    quality_dir=req.quality_dir, status=0, message="", wall_s=4.0 + (k % 13) / 10,
                                    peak_kib=2100000, quality_status=0, quality_message="", reduced=True,
                                    ended="2026-12-08T00:00:00Z")
        with open(os.path.join(here, tilejob.RECORD), "w") as f:
            json.dump(record.to_json(), f)
    request_file = os.path.join(req.logs, "batch-bench.json")
    req.save(request_file)
    return request_file


def tree_rss_kib(root, largest):
    """The resident memory of ROOT and every process under it, summed; the
    largest seen of each program goes into LARGEST."""
    children, rss, names = {}, {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            children.setdefault(int(fields[1]), []).append(int(entry))
            rss[int(entry)] = int(fields[21]) * os.sysconf("SC_PAGE_SIZE") // 1024
            names[int(entry)] = open("/proc/%s/comm" % entry).read().strip()
        except (OSError, IndexError, ValueError):
            continue
    total, todo = 0, [root]
    while todo:
        pid = todo.pop()
        total += rss.get(pid, 0)
        if pid in names:
            largest[names[pid]] = max(largest.get(names[pid], 0), rss.get(pid, 0))
        todo.extend(children.get(pid, []))
    return total


def follow_up(request_file, log):
    """Wall seconds, peak summed tree memory (KiB), largest process (KiB),
    {program: its largest resident memory (KiB)}."""
    started = time.monotonic()
    with open(log, "w") as f:
        child = subprocess.Popen(["/usr/bin/python3", *facts.PYTHON_FLAGS, facts.LAUNCHER, "follow-up", request_file],
                                 stdout=f, stderr=subprocess.STDOUT)
    peak, ended, largest = [0], threading.Event(), {}

    def sample():
        while not ended.wait(0.05):
            peak[0] = max(peak[0], tree_rss_kib(child.pid, largest))
    sampler = threading.Thread(target=sample)
    sampler.start()
    # The kernel's count of the largest resident set among the follow-up and
    # the processes it waited for.
    _, status, usage = os.wait4(child.pid, 0)
    ended.set()
    child.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - started
    sampler.join()
    if child.returncode != 0:
        sys.exit("the follow-up failed (exit %d); see %s" % (child.returncode, log))
    return wall, peak[0], usage.ru_maxrss, largest


def tile_counts(text):
    """--sizes: whole numbers from 1, separated by commas."""
    counts = [c.strip() for c in text.split(",")]
    if not all(c.isascii() and c.isdigit() and 1 <= int(c) <= 1000000 for c in counts):
        raise argparse.ArgumentTypeError("not whole numbers from 1 to 1000000 separated by commas: %r" % text)
    return [int(c) for c in counts]


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", default="100,1000", type=tile_counts,
                   help="the numbers of stand-in tiles to time, separated by commas (default 100,1000)")
    p.add_argument("--dir", default=os.path.join(ROOT, "out", "region_bench"),
                   help="where the real tile, its products and the stand-in tiles go; its subdirectories are "
                   "removed and made again (default out/region_bench in the project)")
    p.add_argument("--products", help="products of tile b1, last year 2020 (made when not given)")
    a = p.parse_args()
    sizes = sorted(a.sizes)
    products = os.path.abspath(a.products) if a.products else source_products(os.path.join(a.dir, "source"))
    # What each tile's job adds for the region: its reduced copy, timed here
    # on the real products (three runs, the median).
    work = os.path.join(a.dir, "reduced_source")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for name in facts.product_names(SOURCE_TILE, LAST_YEAR):
        os.symlink(os.path.join(products, name), os.path.join(work, name))
    times = []
    for _ in range(3):
        started = time.monotonic()
        why = tilejob.make_reduced(work, LAST_YEAR, SOURCE_TILE)
        times.append(time.monotonic() - started)
        if why:
            sys.exit(why)
    reduced = tilejob.reduced_path(work, LAST_YEAR, SOURCE_TILE)
    print("each tile's job: its reduced copy for the region takes %.2f s (median of 3)" % statistics.median(times))

    results = []
    for n in sizes:
        directory = os.path.join(a.dir, "n%d" % n)
        started = time.monotonic()
        request_file = stand_in_batch(directory, n, products, reduced)
        print("N = %d: stand-ins made in %.0f s; running the follow-up..." % (n, time.monotonic() - started),
              flush=True)
        results.append((n,) + follow_up(request_file, os.path.join(directory, "follow-up.log")))
    print()
    print("%-34s" % "tiles" + "".join("%14d" % r[0] for r in results))
    print("%-34s" % "follow-up wall (s)" + "".join("%14.1f" % r[1] for r in results))
    print("%-34s" % "seconds a tile" + "".join("%14.4f" % (r[1] / r[0]) for r in results))
    print("%-34s" % "peak memory, process tree (MiB)" + "".join("%14.0f" % (r[2] / 1024) for r in results))
    print("%-34s" % "largest single process (MiB)" + "".join("%14s" % ("-" if r[3] is None else "%.0f" % (r[3] / 1024))
                                                            for r in results))
    if len(results) >= 2:
        (n1, t1, m1, _, _), (n2, t2, m2, _, programs) = results[-2], results[-1]
        print("%-34s" % ("ratio, N = %d over N = %d" % (n2, n1)) + "time %.2f for %.0fx the tiles; memory %.2f"
              % (t2 / t1, n2 / n1, m2 / m1))
        per_tile = (t2 - t1) / (n2 - n1)
        t20k = t2 + per_tile * (20000 - n2)
        m20k = m2 + max(0.0, (m2 - m1) / (n2 - n1)) * (20000 - n2)
        request = slurm.FOLLOW_UP_MIB
        print("largest of each program at N = %d (MiB): %s" % (n2, ", ".join(
            "%s %.0f" % (name, kib / 1024) for name, kib in sorted(programs.items(), key=lambda i: -i[1])[:5])))
        print("projection to 20,000 tiles (linear from the two largest N): %.0f s (%.1f min, limit 15 min: %s), "
              "peak %.0f MiB (the follow-up job asks for %d MiB and %d CPUs: %s)"
              % (t20k, t20k / 60, "within" if t20k <= 900 else "OVER", m20k / 1024, request, slurm.FOLLOW_UP_CPUS,
                 "within" if m20k / 1024 <= request else "OVER"))


if __name__ == "__main__":
    main()
