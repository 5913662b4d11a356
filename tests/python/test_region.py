"""What the region takes from each tile's job: a reduced copy counts only
while it is newer than every product of its tile, and the picture's size
follows the mosaic's shape within the size asked for."""
import os

import pytest

from tilebatch import pictures, region, tilejob


def touch(path, seconds):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w"):
        pass
    os.utime(path, ns=(seconds * 10**9, seconds * 10**9))


@pytest.mark.parametrize("reduced_at, product_times, fresh", [
    (200, (100, 100, 100), True),   # made after the products, as the job makes it
    (100, (100, 100, 100), True),   # in the same instant
    (200, (100, 300, 100), False),  # a rerun rewrote TCH since
    (None, (100, 100, 100), False),  # none made (the job could not, or an older batch)
    (200, (100, None, 100), False),  # a product is missing
])
def test_a_reduced_copy_is_fresh_only_when_newer_than_each_product(tmp_path, reduced_at, product_times, fresh):
    out = str(tmp_path)
    for product, at in zip(tilejob.PRODUCTS, product_times):
        if at is not None:
            touch(tilejob.product_path(out, product, 2005, "t1"), at)
    if reduced_at is not None:
        touch(tilejob.reduced_path(out, 2005, "t1"), reduced_at)
    assert tilejob.reduced_is_fresh(out, 2005, "t1") is fresh
    # The copy of another year or tile is not this one's.
    assert not tilejob.reduced_is_fresh(out, 2006, "t1")
    assert not tilejob.reduced_is_fresh(out, 2005, "t2")


def test_a_reduced_copy_is_named_apart_from_the_products():
    path = tilejob.reduced_path("/o", 2020, "40N_080W")
    assert path == "/o/reduced/Reduced_2020_40N_080W.tif"
    assert os.path.basename(path) not in [os.path.basename(tilejob.product_path("/o", p, 2020, "40N_080W"))
                                          for p in tilejob.PRODUCTS]


@pytest.mark.parametrize("mosaic, limit, picture", [
    ((182, 182), 2000, (182, 182)),       # one tile: never enlarged (gnuplot draws it in blocks)
    ((18200, 9100), 2000, (2000, 1000)),  # 100 x 50 tiles: the longer side to the limit
    ((9100, 18200), 2000, (1000, 2000)),
    ((36400, 182), 2000, (2000, 10)),     # a single row of 200 tiles
    ((727, 546), 2000, (727, 546)),
])
def test_the_picture_keeps_the_mosaics_shape_within_the_limit(monkeypatch, mosaic, limit, picture):
    monkeypatch.setattr(pictures, "geometry", lambda path: mosaic + (0.0, 0.0, 0.0055, 0.0055))
    assert region.picture_size("m.vrt", limit) == picture


def test_a_picture_is_whole_only_through_its_end(tmp_path):
    png = tmp_path / "p.png"
    whole = b"\x89PNG\r\n\x1a\n" + b"body" + b"\x00\x00\x00\x00IEND\xaeB`\x82"
    png.write_bytes(whole)
    assert pictures.whole_png(str(png))
    png.write_bytes(whole[:-3])  # a writer stopped before the end
    assert not pictures.whole_png(str(png))
    assert not pictures.whole_png(str(tmp_path / "none.png"))


@pytest.mark.parametrize("region", [True, False])
def test_only_a_batch_with_a_region_has_its_jobs_make_reduced_copies(region):
    from tilebatch.records import Request
    req = Request([("t1", "0", "0")], 2005, "/in", "/out", "/dm", "/wl", "/bin/pt", "/logs", region=region)
    arguments = req.job_arguments()
    options = arguments[:arguments.index("--")]
    assert ("--no-reduced" in options) is not region
