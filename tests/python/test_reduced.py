"""The reduced copy a tile's job leaves for the region, made from tiny
products (44 x 44 pixels averaged to 2 x 2, each copy pixel over 22 x 22
product pixels as over a tile's): TCC and TCH are the averages, Loss the
exact share of pixels with any non-zero loss byte, and the copy lies where
its tile lies."""
import os
import shutil

import pytest

from tilebatch import pictures, tilejob
from tiny_rasters import STEP, needs_gdal, read_band, write_raster

pytestmark = needs_gdal
SIZE, PIXELS, BLOCK = 44, 2, 22
WEST, NORTH = -60.0, 10.0


def loss_byte(r, c):
    if r < BLOCK and c < BLOCK:  # a lone pixel among 22 x 22: averaged in bytes it would vanish
        return 2 if (r, c) == (5, 5) else 0
    if r < BLOCK:  # every non-zero byte process_tile may write
        return (1, 3, 4, 255)[(r + c) % 4] if (r * c) % 5 == 0 else 0
    return 0 if c < BLOCK else 1  # none, then all


PRODUCTS = {
    "TCC": [[(r * 7 + c * 3) % 101 for c in range(SIZE)] for r in range(SIZE)],
    "TCH": [[(r + 2 * c) % 61 for c in range(SIZE)] for r in range(SIZE)],
    "Loss": [[loss_byte(r, c) for c in range(SIZE)] for r in range(SIZE)],
}


def blocks(rows, value):
    """The PIXELS x PIXELS averages of VALUE(v) over the BLOCK x BLOCK blocks."""
    return [[sum(value(rows[r][c]) for r in range(br * BLOCK, (br + 1) * BLOCK)
                 for c in range(bc * BLOCK, (bc + 1) * BLOCK)) / BLOCK ** 2 for bc in range(PIXELS)]
            for br in range(PIXELS)]


@pytest.fixture(scope="module")
def products(tmp_path_factory):
    """Tile t1's products of 2005, written once; each test copies them."""
    here = tmp_path_factory.mktemp("products")
    for product, rows in PRODUCTS.items():
        write_raster(tilejob.product_path(str(here), product, 2005, "t1"), rows, WEST, NORTH)
    return here


@pytest.fixture
def out(tmp_path, products):
    for name in os.listdir(products):
        shutil.copy2(products / name, tmp_path / name)
    return str(tmp_path)


def test_the_copy_holds_the_averages_and_the_share_of_pixels_with_loss(out):
    assert not tilejob.reduced_is_fresh(out, 2005, "t1")
    assert tilejob.make_reduced(out, 2005, "t1", pixels=PIXELS) is None
    copy = tilejob.reduced_path(out, 2005, "t1")
    assert os.listdir(os.path.dirname(copy)) == [os.path.basename(copy)]  # no temporary left
    assert pictures.geometry(copy) == pytest.approx((PIXELS, PIXELS, WEST, NORTH, BLOCK * STEP, BLOCK * STEP))
    tcc, tch, loss = (read_band(copy, band) for band in (1, 2, 3))
    # TCC and TCH are averaged in bytes: the average rounded to a whole unit.
    for got, want in ((tcc, blocks(PRODUCTS["TCC"], float)), (tch, blocks(PRODUCTS["TCH"], float))):
        assert [v for row in got for v in row] == pytest.approx([v for row in want for v in row], abs=0.5)
        assert all(v == round(v) for row in got for v in row)
    share = blocks(PRODUCTS["Loss"], lambda v: v != 0)
    assert share[0][0] == 1 / 484 and share[1] == [0, 1] and 0 < share[0][1] < 1
    assert [v for row in loss for v in row] == pytest.approx([v for row in share for v in row], abs=1e-6)
    # Made after its products, the copy is fresh; a rerun that rewrites a
    # product leaves it stale.
    assert tilejob.reduced_is_fresh(out, 2005, "t1")
    later = os.stat(copy).st_mtime_ns + 10**9
    os.utime(tilejob.product_path(out, "TCH", 2005, "t1"), ns=(later, later))
    assert not tilejob.reduced_is_fresh(out, 2005, "t1")


def test_the_loss_band_is_read_as_one_for_every_non_zero_byte(out, tmp_path):
    vrt = str(tmp_path / "bands.vrt")
    bands = [(p, tilejob.product_path(out, p, 2005, "t1")) for p in ("TCC", "Loss")]
    assert tilejob.averaging_vrt(bands, vrt) is None
    assert read_band(vrt, 1) == PRODUCTS["TCC"]  # the other products as they are
    assert read_band(vrt, 2) == [[float(v != 0) for v in row] for row in PRODUCTS["Loss"]]


def test_a_copy_that_cannot_be_made_says_why_and_leaves_the_older_one(out):
    here = os.path.join(out, tilejob.REDUCED_DIR)
    os.symlink(out, here)  # a link in the copies' place is replaced by a directory of the output's own
    assert tilejob.make_reduced(out, 2005, "t1", pixels=PIXELS) is None
    assert os.path.isdir(here) and not os.path.islink(here)
    copy = tilejob.reduced_path(out, 2005, "t1")
    with open(copy, "rb") as f:
        made = f.read()
    with open(tilejob.product_path(out, "TCH", 2005, "t1"), "wb") as f:
        f.write(b"not a raster")
    why = tilejob.make_reduced(out, 2005, "t1", pixels=PIXELS)
    assert why and "TCH_2005_t1.img" in why
    with open(copy, "rb") as f:
        assert f.read() == made
    assert os.listdir(here) == [os.path.basename(copy)]
    os.unlink(tilejob.product_path(out, "TCC", 2005, "t1"))  # and a product that is missing
    assert "TCC_2005_t1.img" in tilejob.make_reduced(out, 2005, "t1", pixels=PIXELS)


def test_the_copy_records_its_products_and_is_stale_once_they_are_put_back(out):
    assert tilejob.make_reduced(out, 2005, "t1", pixels=PIXELS) is None
    copy = tilejob.reduced_path(out, 2005, "t1")
    # gdaladdo, run after gdal_translate wrote them, keeps the identities.
    assert tilejob.recorded_identity(copy) == tilejob.products_identity(out, 2005, "t1")
    # The products restored with cp -p from a backup: the same times, older
    # than the copy's, in other files: the copy is not trusted.
    tcc = tilejob.product_path(out, "TCC", 2005, "t1")
    shutil.copy2(tcc, tcc + ".backup")
    os.replace(tcc + ".backup", tcc)
    assert os.stat(tcc).st_mtime_ns < os.stat(copy).st_mtime_ns
    assert not tilejob.reduced_is_fresh(out, 2005, "t1")


def test_a_copy_of_products_rewritten_while_it_was_made_is_discarded(out, monkeypatch):
    gdal_step = tilejob.gdal_step
    loss = tilejob.product_path(out, "Loss", 2005, "t1")

    def rewritten_meanwhile(command, *args, **kwargs):
        why = gdal_step(command, *args, **kwargs)
        if command[0] == "gdaladdo":  # another run of the tile writes its products now
            shutil.copy2(loss, loss + ".new")
            os.replace(loss + ".new", loss)
        return why

    monkeypatch.setattr(tilejob, "gdal_step", rewritten_meanwhile)
    why = tilejob.make_reduced(out, 2005, "t1", pixels=PIXELS)
    assert why and "changed while the reduced copy was made" in why
    assert os.listdir(os.path.join(out, tilejob.REDUCED_DIR)) == []  # neither the copy nor a temporary
