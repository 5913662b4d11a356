"""The region and the pictures on tiny rasters: each tile's place in the
mosaics, the reduced copies trusted only where they fit their tile, the
picture's size and geometry, "no tile" drawn white, and a whole build of two
tiles 44 x 44 pixels apart (products of 2000, reduced copies of 2 x 2)."""
import array
import os
import shutil
import subprocess

import pytest

from tilebatch import facts, pictures, region, tilejob
from tiny_rasters import STEP, needs_gdal, needs_gnuplot, png_size, rgb_at, write_raster, write_vrt

pytestmark = needs_gdal
SIZE, PIXELS, YEAR = 44, 2, 2000
SIDE = SIZE * STEP
# t1, and t2 one tile's width east of t1's east edge: a gap of no tile between.
CORNERS = {"t1": (-60.0, 10.0), "t2": (-60.0 + 2 * SIDE, 10.0)}
WHITE = (255, 255, 255)


def place(tile):
    west, north = CORNERS[tile]
    return west, north, west + SIDE, north - SIDE


@pytest.fixture(scope="module")
def products(tmp_path_factory):
    here = tmp_path_factory.mktemp("products")
    for number, (tile, (west, north)) in enumerate(CORNERS.items()):
        for product, top in (("TCC", 100), ("TCH", 40), ("Loss", 1)):
            rows = [[(r + c + number) % (top + 1) for c in range(SIZE)] for r in range(SIZE)]
            write_raster(tilejob.product_path(str(here), product, YEAR, tile), rows, west, north)
    return here


@pytest.fixture
def out(tmp_path, products):
    for name in os.listdir(products):
        shutil.copy2(products / name, tmp_path / name)
    os.mkdir(tmp_path / "work")
    return str(tmp_path)


def tcc_mosaic(out, tiles=("t1", "t2")):
    vrt = os.path.join(out, "work", "TCC.vrt")
    assert region.product_mosaic(out, "TCC", YEAR, list(tiles), vrt, os.path.join(out, "work")) is None
    return vrt


def test_the_mosaic_puts_each_tile_where_it_lies_and_fails_without_one(out):
    vrt = tcc_mosaic(out)
    found = region.placements(vrt)
    assert sorted(found) == ["TCC_2000_t1.img", "TCC_2000_t2.img"]
    for tile in CORNERS:
        assert found["TCC_2000_%s.img" % tile] == pytest.approx(place(tile), abs=1e-9)
    assert region.placements(tilejob.product_path(out, "TCC", YEAR, "t1")) is None  # not a VRT
    with open(tilejob.product_path(out, "TCH", YEAR, "t2"), "wb") as f:
        f.write(b"not a raster")
    why = region.product_mosaic(out, "TCH", YEAR, ["t1", "t2"], vrt, os.path.join(out, "work"))
    assert why and "lacks tile t2" in why


def test_a_reduced_copy_is_trusted_only_where_it_fits_its_tile(out):
    for tile in CORNERS:
        assert tilejob.make_reduced(out, YEAR, tile, pixels=PIXELS) is None
    vrt, work = tcc_mosaic(out), os.path.join(out, "work")

    def misplaced():
        return region.misplaced_copies(out, YEAR, ["t1", "t2"], vrt, work, pixels=PIXELS)

    assert misplaced() == []
    t1, t2 = (tilejob.reduced_path(out, YEAR, t) for t in ("t1", "t2"))
    shutil.copy(t1, t2)  # another tile's copy under t2's name
    assert misplaced() == ["t2"]
    with open(t2, "wb") as f:  # or one GDAL cannot read
        f.write(b"\0" * 3000)
    assert misplaced() == ["t2"]
    os.unlink(t1)
    assert misplaced() == ["t1", "t2"]


def test_the_picture_keeps_at_least_two_by_two_pixels(out):
    dot = write_raster(os.path.join(out, "dot.tif"), [[7]], -60.0, 10.0, fmt="GTiff")
    row = write_raster(os.path.join(out, "row.tif"), [[1] * 40], -60.0, 10.0, fmt="GTiff")
    assert region.picture_size(dot, 2000) == (2, 2)
    assert region.picture_size(row, 20) == (20, 2)  # halved: 20 x 0.5, widened to 2
    assert region.picture_size(row, 2000) == (40, 2)


def test_the_geometry_is_read_of_north_up_rasters_only(out):
    product = tilejob.product_path(out, "TCC", YEAR, "t2")
    west, north = CORNERS["t2"]
    assert pictures.geometry(product) == pytest.approx((SIZE, SIZE, west, north, STEP, STEP))
    as_vrt = write_vrt(os.path.join(out, "north-up.vrt"), product, SIZE, SIZE, (west, STEP, 0.0, north, 0.0, -STEP))
    assert pictures.geometry(as_vrt) == pytest.approx((SIZE, SIZE, west, north, STEP, STEP))
    refused = {
        "south-up": (west, STEP, 0.0, north, 0.0, STEP),
        "rotated": (west, STEP, 1e-6, north, 1e-6, -STEP),
        "not georeferenced": None,
    }
    for name, transform in refused.items():
        assert pictures.geometry(write_vrt(os.path.join(out, name + ".vrt"), product, SIZE, SIZE, transform)) \
            is None, name
    with open(os.path.join(out, "text.tif"), "w") as f:
        f.write("not a raster")
    assert pictures.geometry(os.path.join(out, "text.tif")) is None
    assert pictures.geometry(os.path.join(out, "none.tif")) is None


def legend_entries(png):
    """The entries of a picture's legend, from the height of its box: its
    frame, dark, down a column inside it from the plot's top (50), an
    entry every 24 pixels (gnuplot's spacing 1.4 at 11 points)."""
    width = png_size(png)[0]
    column = rgb_at(png, *[(width - 245, y) for y in range(40, 200)])
    frame = [40 + i for i, c in enumerate(column) if sum(c) < 200]
    return (frame[-1] - frame[0]) // 24


@pytest.mark.parametrize("values, chunk, found", [
    ([], 4, False),
    ([0.0, 100.0, 3.5], 4, False),
    ([0.0, 1.0, 2.0, 3.0, 4.0, pictures.NO_TILE], 2, True),  # in the last chunk
    ([pictures.NO_TILE, 1.0, 2.0], 1, True),
])
def test_no_tile_found_in_any_chunk_of_the_floats(tmp_path, values, chunk, found):
    floats = tmp_path / "r.f32"
    floats.write_bytes(array.array("f", values).tobytes())
    assert pictures.has_no_tile(str(floats), chunk_values=chunk) is found


@needs_gnuplot
def test_a_picture_draws_each_pixel_as_a_block_and_no_tile_white(out):
    # 2 x 2 pixels, each drawn as 300 x 300 (a 600 x 600 plot at (90, 50)),
    # with the title, axes and legend around it.
    raster = write_raster(os.path.join(out, "cover.tif"), [[pictures.NO_TILE, 50], [100, 0]], -60.0, 10.0,
                          step=0.5, fmt="GTiff", data_type="Float32")
    png, work = os.path.join(out, "cover.png"), os.path.join(out, "work")
    assert pictures.draw("TCC", raster, png, "cover", work) is None
    assert pictures.whole_png(png) and png_size(png) == (950, 710)
    blocks = dict(zip([(r, c) for r in (0, 1) for c in (0, 1)],
                      rgb_at(png, *[(90 + 150 + 300 * c, 50 + 150 + 300 * r) for r in (0, 1) for c in (0, 1)])))
    assert blocks[0, 0] == WHITE
    assert WHITE not in (blocks[0, 1], blocks[1, 0], blocks[1, 1])
    assert len({blocks[0, 1], blocks[1, 0], blocks[1, 1]}) == 3  # 50, 100 and 0 in colours of their own
    assert os.listdir(work) == []  # the floats it drew from are gone
    assert legend_entries(png) == 2  # the colour of 0, and that of no tile, which it shows
    # A lone tile's picture shows no "no tile", and its legend does not name it.
    whole = write_raster(os.path.join(out, "whole.tif"), [[10, 50], [100, 0]], -60.0, 10.0, step=0.5, fmt="GTiff",
                         data_type="Float32")
    assert pictures.draw("TCC", whole, os.path.join(out, "whole.png"), "whole", work) is None
    assert legend_entries(os.path.join(out, "whole.png")) == 1
    # A raster that is not north-up is refused, and nothing drawn.
    flipped = write_vrt(os.path.join(out, "flipped.vrt"), tilejob.product_path(out, "TCC", YEAR, "t1"), SIZE, SIZE,
                        (-60.0, STEP, 0.0, 10.0, 0.0, STEP))
    why = pictures.draw("TCC", flipped, os.path.join(out, "flipped.png"), "flipped", work)
    assert why and "north-up" in why and not os.path.exists(os.path.join(out, "flipped.png"))


@needs_gnuplot
def test_a_region_build_of_tiny_tiles(out, monkeypatch, capsys):
    monkeypatch.setenv("REGION_SIZE", "200")
    dest = os.path.join(out, "region")
    # t1's copy is made, and put under t2's name too: one a build trusts (it
    # is fresh and fits), one it makes again (it lies elsewhere).
    assert tilejob.make_reduced(out, YEAR, "t1", pixels=PIXELS) is None
    shutil.copy2(tilejob.reduced_path(out, YEAR, "t1"), tilejob.reduced_path(out, YEAR, "t2"))
    # A listed tile without products fails the build, which says so where
    # its pictures go.
    assert region.build(out, YEAR, ["t1", "nowhere"], pixels=PIXELS) == 1
    assert "TCC_2000_nowhere.img not found" in capsys.readouterr().err
    with open(os.path.join(dest, region.FAILED_NOTE)) as f:
        assert "TCC_2000_nowhere.img not found" in f.read()

    # A user's own directory in DEST, named like a temporary, and what a
    # killed build left: only the latter is cleared.
    os.makedirs(os.path.join(dest, ".tmp-keep"))
    with open(os.path.join(dest, ".tmp-keep", "thesis.txt"), "w") as f:
        f.write("years of work")
    gone = subprocess.Popen(["true"])
    gone.wait()
    os.makedirs(os.path.join(dest, ".tmp-region-%d-work" % gone.pid, "inside"))

    assert region.build(out, YEAR, ["t2", "t1"], pixels=PIXELS, batch="b1") == 0
    said = capsys.readouterr().out
    assert "2 tiles, years 2000 to 2000" in said and "(1 reduced copies made here)" in said
    assert sorted(os.listdir(dest)) == sorted(["%s_2000.%s" % (p, e) for p in facts.PRODUCTS for e in ("vrt", "png")]
                                              + [".region.lock", ".tmp-keep", region.RECORD])  # the note gone
    with open(os.path.join(dest, ".tmp-keep", "thesis.txt")) as f:
        assert f.read() == "years of work"
    # What the pictures were drawn from, for the batch page.
    record = region.read_record(dest)
    assert (record["tiles"], record["last_year"], record["batch"]) == (2, YEAR, "b1")
    assert record["tiles_sha256"] == region.tiles_digest(["t1", "t2"]) != region.tiles_digest(["t1"])
    for tile in CORNERS:
        assert pictures.geometry(tilejob.reduced_path(out, YEAR, tile)) == pytest.approx(
            (PIXELS, PIXELS) + CORNERS[tile] + (SIDE / PIXELS, SIDE / PIXELS))
    for product in facts.PRODUCTS:
        found = region.placements(os.path.join(dest, "%s_2000.vrt" % product))
        assert sorted(found) == ["%s_2000_%s.img" % (product, tile) for tile in CORNERS]
        for tile in CORNERS:
            assert found["%s_2000_%s.img" % (product, tile)] == pytest.approx(place(tile), abs=1e-9)
        # The copies' mosaic is 6 x 2 pixels, drawn 100 times: a 600 x 200
        # plot at (90, 50), t1 on its left third, t2 on its right, no tile between.
        png = os.path.join(dest, "%s_2000.png" % product)
        assert pictures.whole_png(png)
        t1, gap, t2 = rgb_at(png, (190, 150), (390, 150), (590, 150))
        assert gap == WHITE and WHITE not in (t1, t2), product
