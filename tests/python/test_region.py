"""What the region takes from each tile's job: a reduced copy counts only
while its tile's products are the files it records it was made from (read
from its TIFF directory, of any file however damaged), a build clears only
its own leftovers, and the picture's size follows the mosaic's shape within
the size asked for."""
import json
import os
import shutil
import subprocess

import pytest

from tilebatch import pictures, region, tilejob


def tiff(path, metadata, big_endian=False, kind=2, count=None, offset=None, header=None):
    """A classic TIFF of one directory at PATH whose GDAL_METADATA tag holds
    METADATA (GDAL's XML): as GDAL writes it, or, through KIND, COUNT,
    OFFSET and HEADER, the tag's type, length and place and the header
    changed, as a hostile or damaged file may have them."""
    order = "big" if big_endian else "little"
    data = metadata.encode() + b"\0"
    at = 8 + 2 + 2 * 12 + 4  # the header, the entry count, two entries, the next directory's offset
    entries = [(256, 4, 1, 1), (tilejob.GDAL_METADATA_TAG, kind, len(data) if count is None else count,
                                at if offset is None else offset)]
    body = (b"MM\0*" if big_endian else b"II*\0") + (8).to_bytes(4, order) + len(entries).to_bytes(2, order)
    for tag, kind_, n, value in entries:
        # Four bytes or fewer lie in the entry itself.
        value = data.ljust(4, b"\0") if tag == tilejob.GDAL_METADATA_TAG and n <= 4 else value.to_bytes(4, order)
        body += tag.to_bytes(2, order) + kind_.to_bytes(2, order) + n.to_bytes(4, order) + value
    body += (0).to_bytes(4, order) + data
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(body if header is None else header + body[len(header):])
    return path


def made_from(out, identities, tile="t1"):
    """A reduced copy of TILE (no pixels: only its metadata is read) recording IDENTITIES."""
    return tiff(tilejob.reduced_path(out, 2005, tile), '<GDALMetadata>\n  <Item name="%s">%s</Item>\n'
                '</GDALMetadata>\n' % (tilejob.REDUCED_KEY, json.dumps(identities)))


def test_a_reduced_copy_is_fresh_only_while_its_products_are_those_it_was_made_from(tmp_path):
    out = str(tmp_path)
    paths = [tilejob.product_path(out, p, 2005, "t1") for p in tilejob.PRODUCTS]
    for path in paths:
        with open(path, "w") as f:
            f.write("product " + path)
    assert not tilejob.reduced_is_fresh(out, 2005, "t1")  # none made
    made_from(out, tilejob.products_identity(out, 2005, "t1"))
    assert tilejob.reduced_is_fresh(out, 2005, "t1")
    # The copy of another year or tile is not this one's.
    assert not tilejob.reduced_is_fresh(out, 2006, "t1")
    assert not tilejob.reduced_is_fresh(out, 2005, "t2")
    # TCH put back as cp -p or rsync -a put it: the same bytes and time
    # (older than the copy), another file.
    shutil.copy2(paths[1], paths[1] + ".put-back")
    os.replace(paths[1] + ".put-back", paths[1])
    assert os.stat(paths[1]).st_mtime_ns < os.stat(tilejob.reduced_path(out, 2005, "t1")).st_mtime_ns
    assert not tilejob.reduced_is_fresh(out, 2005, "t1")
    made_from(out, tilejob.products_identity(out, 2005, "t1"))
    assert tilejob.reduced_is_fresh(out, 2005, "t1")
    os.utime(paths[2], ns=(10**9, 10**9))  # Loss rewritten in place, its time set back
    assert not tilejob.reduced_is_fresh(out, 2005, "t1")
    made_from(out, tilejob.products_identity(out, 2005, "t1"))
    os.unlink(paths[0])  # a product gone
    assert not tilejob.reduced_is_fresh(out, 2005, "t1")
    assert tilejob.products_identity(out, 2005, "t1") == paths[0]
    # A copy an earlier version made records nothing: not fresh, whatever its time.
    for path in paths[:1]:
        with open(path, "w") as f:
            f.write("again")
    tiff(tilejob.reduced_path(out, 2005, "t1"), "<GDALMetadata>\n</GDALMetadata>\n")
    assert not tilejob.reduced_is_fresh(out, 2005, "t1")


def test_the_metadata_is_read_of_classic_tiffs_of_either_byte_order(tmp_path):
    text = '<GDALMetadata><Item name="K">[1]</Item></GDALMetadata>'
    assert tilejob.tiff_metadata(tiff(str(tmp_path / "le.tif"), text)) == text
    assert tilejob.tiff_metadata(tiff(str(tmp_path / "be.tif"), text, big_endian=True)) == text
    assert tilejob.tiff_metadata(tiff(str(tmp_path / "short.tif"), "<a>")) == "<a>"  # 4 bytes: inside the entry


@pytest.mark.parametrize("damage", [
    dict(header=b"II+\0"),  # BigTIFF
    dict(header=b"GIF8"),
    dict(header=b"II*\0\xff\xff\xff\x7f"),  # its directory past the end
    dict(kind=3),  # the tag as numbers, not text
    dict(count=1 << 20),  # longer than any metadata of ours
    dict(offset=1 << 30),  # its text past the end
])
def test_a_damaged_or_foreign_tiff_records_nothing(tmp_path, damage):
    path = tiff(str(tmp_path / "copy.tif"), '<GDALMetadata><Item name="K">[1]</Item></GDALMetadata>', **damage)
    assert tilejob.tiff_metadata(path) is None


def test_what_is_not_a_regular_file_of_its_own_records_nothing_and_never_blocks(tmp_path):
    out = str(tmp_path)
    for p in tilejob.PRODUCTS:
        open(tilejob.product_path(out, p, 2005, "t1"), "w").close()
    made_from(out, tilejob.products_identity(out, 2005, "t1"), tile="other")
    copy = tilejob.reduced_path(out, 2005, "t1")
    os.symlink(tilejob.reduced_path(out, 2005, "other"), copy)  # a link to a copy that would count
    assert not tilejob.reduced_is_fresh(out, 2005, "t1")
    os.unlink(copy)
    os.mkfifo(copy)  # read, it would wait for a writer for ever
    assert not tilejob.reduced_is_fresh(out, 2005, "t1")
    os.unlink(copy)
    os.mkdir(copy)
    assert not tilejob.reduced_is_fresh(out, 2005, "t1")


def test_a_region_build_removes_only_the_leftovers_of_its_own_builds_that_are_gone(tmp_path):
    gone = subprocess.Popen(["true"])
    gone.wait()  # its process id now names no process (none has had time to take it)
    dest = tmp_path
    names = {
        ".tmp-region-%d-TCC_2000.vrt" % gone.pid: True,  # a killed build's file
        ".tmp-region-%d-abcd" % gone.pid: True,  # and its work directory
        ".tmp-region-%d-TCC_2000.vrt" % os.getppid(): False,  # a build that runs (the lock aside)
        ".tmp-region-%d-x" % os.getpid(): False,  # this build's own
        ".tmp-%d-t1.Xa81" % gone.pid: False,  # process_tile's private directory, where DEST is OUTPUT_DIR
        ".tmp-keep": False,  # a user's
        ".tmp-region-x-1": False, ".tmp-region-99999999-x": False, ".tmp-region-%d" % gone.pid: False,
    }
    for name in names:
        if name.endswith((".vrt", "-x", "-1")):
            (dest / name).write_text("")
        else:
            os.mkdir(dest / name)
    assert sorted(e.name for e in region.leftovers(str(dest))) == sorted(n for n, gone_ in names.items() if gone_)


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
