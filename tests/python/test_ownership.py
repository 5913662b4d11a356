"""Which tile counts each pixel where tiles overlap: the bands worked out
from the list against a pixel-by-pixel count of the nearest centre, on
small tiles of random layouts, and the whole-degree grids users run."""
import os
import random
from decimal import Decimal

import pytest

from tilebatch import ownership
from tilebatch.ownership import NotOneGrid, neighbours, part_of, parts

PIXEL = Decimal("0.00025")


def origin(columns, rows, x0=Decimal(10), y0=Decimal(50)):
    """The origin COLUMNS pixels east and ROWS pixels south of (x0, y0), as
    a list writes it."""
    return str(x0 + columns * PIXEL), str(y0 - rows * PIXEL)


def owners_by_pixel(offsets, size):
    """{(tile, row, column): owner} of every pixel location of tiles at
    OFFSETS [(columns, rows)], each pixel given to the covering tile whose
    centre is nearest, ties to the one listed first (worked out pixel by
    pixel, in doubled coordinates)."""
    owner = {}
    for index, (ox, oy) in enumerate(offsets):
        for r in range(size):
            for c in range(size):
                gx, gy = 2 * (ox + c) + 1, 2 * (oy + r) + 1  # the pixel's centre, doubled
                best = None
                for other, (px, py) in enumerate(offsets):
                    if px <= ox + c < px + size and py <= oy + r < py + size:
                        key = ((gx - 2 * px - size) ** 2 + (gy - 2 * py - size) ** 2, other)
                        best = min(best or key, key)
                owner[index, r, c] = best[1]
    return owner


def owned_by_bands(bands, size):
    if bands is None:
        return {(r, c) for r in range(size) for c in range(size)}
    return {(r, c) for r0, r1, c0, c1 in bands for r in range(r0, r1 + 1) for c in range(c0, c1 + 1)}


def check_layout(offsets, size):
    tiles = [("t%d" % k,) + origin(*o) for k, o in enumerate(offsets)]
    owner = owners_by_pixel(offsets, size)
    near = neighbours(tiles, size)
    seen = {}
    for index in range(len(tiles)):
        claims = [(dx, dy, other < index) for dx, dy, other in near.get(index, [])]
        got = owned_by_bands(part_of(claims, size), size)
        want = {(r, c) for (t, r, c), o in owner.items() if t == index and o == index}
        assert got == want, (offsets, index)
        for r, c in got:  # every location counted once over the list
            where = (offsets[index][0] + c, offsets[index][1] + r)
            assert where not in seen, (offsets, where)
            seen[where] = index


@pytest.mark.parametrize("seed", range(40))
def test_random_layouts_match_the_nearest_centre_pixel_by_pixel(seed):
    rng = random.Random(seed)
    size = rng.choice([5, 6, 9, 12])
    offsets = set()
    while len(offsets) < rng.randint(2, 6):
        offsets.add((rng.randint(-size, size), rng.randint(-size, size)))
    check_layout(sorted(offsets, key=lambda _: rng.random()), size)


def test_ties_go_to_the_tile_listed_first():
    # Columns 0 to 5 of the second tile are columns 3 to 8 of the first: an
    # odd overlap of 3, whose middle column is as near to both centres.
    check_layout([(0, 0), (3, 0)], 6)
    check_layout([(3, 0), (0, 0)], 6)
    first, second = part_of([(3, 0, False)], 6), part_of([(-3, 0, True)], 6)
    assert first == [(0, 5, 0, 4)] and second == [(0, 5, 2, 5)]


def test_a_whole_degree_grid_splits_each_strip_down_its_middle():
    # 3 x 3 tiles 1 degree apart: 4004 pixels each, overlapping by 4.
    tiles = [("t%d%d" % (i, j), "%d" % (10 + i), "%d" % (50 - j)) for j in range(3) for i in range(3)]
    got = dict(zip((t for t, _, _ in tiles), parts(tiles)))
    assert got["t11"] == "2-4001:2-4001"  # neighbours all round
    assert got["t00"] == "0-4001:0-4001"  # to the east and south only
    assert got["t10"] == "0-4001:2-4001"
    assert got["t22"] == "2-4003:2-4003"
    assert got["t21"] == "2-4001:2-4003"


def test_a_row_of_three_and_tiles_that_meet_nothing():
    tiles = [("a", "10", "50"), ("b", "11", "50"), ("c", "12", "50"), ("far", "20", "50")]
    assert parts(tiles) == ["0-4003:0-4001", "0-4003:2-4001", "0-4003:2-4003", None]
    # Tiles side by side 1.001 degrees apart share nothing: each owns all.
    assert parts([("a", "10", "50"), ("b", "11.001", "50")]) == [None, None]


def test_tiles_across_the_antimeridian_and_both_longitude_conventions():
    # 179 and 180 (= -180) overlap by 4 pixels across 180 degrees east.
    for east in ("180", "-180"):
        assert parts([("w", "179", "0"), ("e", east, "0")]) == ["0-4003:0-4001", "0-4003:2-4003"]
    with pytest.raises(NotOneGrid) as refused:
        parts([("a", "-180", "0"), ("b", "180", "0")])
    assert refused.value.args == ("a", "b", "they have the same origin")


def test_tiles_off_one_pixel_grid_are_refused_by_name():
    with pytest.raises(NotOneGrid) as refused:
        parts([("a", "10", "50"), ("far", "30", "50"), ("b", "10.9999", "50")])
    assert refused.value.args[:2] == ("a", "b")
    assert "not a whole number of pixels apart" in refused.value.args[2]
    # Off the grid but apart: nothing is shared, nothing refused.
    assert parts([("a", "10", "50"), ("b", "11.0011", "50.00001")]) == [None, None]


def test_a_large_grid_is_worked_out_quickly():
    # 100 x 100 whole-degree tiles: each with its 8 neighbours.
    tiles = [("t%d_%d" % (i, j), str(i - 50), str(50 - j)) for i in range(100) for j in range(100)]
    got = parts(tiles)
    assert got.count("2-4001:2-4001") == 98 * 98
    assert ownership.part_of([], 4004) is None


@pytest.mark.parametrize("lines, pair", [
    (["a 0 0", "b 1.001 0", "c 0 -1.001", "d 1.001 -1.001"], None),  # a grid 1.001 apart only touches
    (["a 0 0", "b 1.0 0"], ("a", "b")),  # 1 degree apart: a strip of 4 pixels shared
    (["a 0 0", "b 1.0 1.001"], None),  # beside in longitude, above in latitude
    (["a 1e1 10", "b 10.5 9.5"], ("a", "b")),  # origins read as the numbers they are
    (["a 179.5 1", "b -180 1.5"], ("a", "b")),  # across the antimeridian
    (["a 359.5 1", "b -0.4 1"], ("a", "b")),  # 359.5 is -0.5
    (["a 178.999 1", "b -180 1"], None),  # reaches 180 exactly
])
def test_which_tiles_overlap(lines, pair):
    tiles = [tuple(line.split()) for line in lines]
    for order in (tiles, list(reversed(tiles))):
        near = neighbours(order)
        found = {tuple(sorted((order[k][0], order[o][0]))) for k, others in near.items() for _, _, o in others}
        assert found == ({pair} if pair else set())


def test_one_tile_off_the_grid_anywhere_in_a_large_list_is_found():
    grid = [("t%d_%d" % (i, j), str(-170 + i), str(80 - j)) for i in range(200) for j in range(100)]
    assert len(neighbours(grid)) == len(grid)
    grid[12345] = (grid[12345][0], grid[12345][1] + ".00001", grid[12345][2])
    with pytest.raises(NotOneGrid) as refused:
        neighbours(grid)
    assert grid[12345][0] in refused.value.args[:2]


# ---- the part through the batch: job rows, Slurm's list, the job, the record ----
def test_the_part_travels_to_tile_accounts_and_stays_in_the_record(tmp_path, monkeypatch):
    import test_accounts as support
    from tilebatch import local, records, slurm, tilejob
    from tilebatch.text import write_tile_tsv
    from tilebatch.records import Request, State

    names = " ".join(support.facts.product_names('"$1"', 2001))
    argv = tmp_path / "argv"
    monkeypatch.setenv("STAND_IN_ARGV", str(argv))
    tool = support.stand_in(tmp_path, "tile_accounts", 'exec %s %s "$@"' % (support.sys.executable, support.STAND_IN))
    # a and b 1 degree apart share 4 columns; c lies apart and owns all.
    tiles = [("a", "-60", "10"), ("b", "-59", "10"), ("c", "0", "0")]
    req = support.request(tmp_path, tiles=tiles, tile_accounts=tool,
                          process_tile=support.stand_in(tmp_path, "process_tile", 'cd "$4" && touch %s' % names))
    assert [req.part_of(t) for t, _, _ in tiles] == ["0-4003:0-4001", "0-4003:2-4003", None]

    # GNU parallel's rows: each as many words, the parts in a file beside
    # the logs (a part may be longer than parallel takes a command line).
    where = local.Placement(job_bytes=0, available=0, cpus=[0], local_jobs=1, hosts=[])
    run = type("Run", (), {"to_run": tiles})()
    rows = local.job_rows(req, run, where)
    assert len({len(r) for r in rows}) == 1
    assert {w for r in rows for w in r if w.startswith("--part")} == {"--parts-file=" + local.parts_file(req)}
    parts_file = str(tmp_path / "parts.tsv")
    write_tile_tsv(parts_file, [(t, req.part_of(t) or "") for t, _, _ in tiles] + [("long", "0-0:0-0," * 11000)])
    assert [tilejob.listed_part(parts_file, t) for t, _, _ in tiles] == ["0-4003:0-4001", "0-4003:2-4003", None]
    with pytest.raises(SystemExit) as refused:  # counted whole, it would count its neighbours' strips
        tilejob.listed_part(parts_file, "elsewhere")
    assert "tile elsewhere is not in the parts file" in str(refused.value)
    with pytest.raises(SystemExit):  # longer than any part
        tilejob.listed_part(parts_file, "long")

    # Slurm's list: a fourth column, read back by the task.
    listed = tmp_path / "list.tsv"
    write_tile_tsv(str(listed), [tuple(t) + (req.part_of(t[0]) or "",) for t in tiles])
    assert tilejob.slurm_line(str(listed), 2) == ["b", "-59", "10", "0-4003:2-4003"]
    assert tilejob.slurm_line(str(listed), 3) == ["c", "0", "0", ""]

    # The job hands it to tile_accounts and keeps it in the record.
    def job(tile, x, y, part):
        write_tile_tsv(parts_file, [(tile, part)])
        return tilejob.main(["--quiet", "--logs", req.logs, "--job", "local-b-1", "--no-reduced",
                             "--parts-file=" + parts_file] + req.job_arguments() + [tile, x, y])

    def state(tile, x, y, request=req):
        record, mark = records.read_tile(request.logs, tile)
        return records.evaluate(request, tile, x, y, record, mark,
                                (support.file_identities(request.output_dir), set()), lambda j: slurm.ENDED)

    assert job("b", "-59", "10", "0-4003:2-4003") == 0
    words = argv.read_text().splitlines()
    assert words[words.index("--part") + 1] == "0-4003:2-4003"
    assert records.read_tile(req.logs, "b")[0].accounts_part == "0-4003:2-4003"
    assert state("b", "-59", "10").state is State.DONE
    assert job("c", "0", "0", "") == 0
    assert "--part" not in argv.read_text().splitlines()
    assert records.read_tile(req.logs, "c")[0].accounts_part is None
    assert state("c", "0", "0").state is State.DONE

    # Another list, in which b has a neighbour to the east too: b's part is
    # no longer what it counted, so its accounts are to be made again; c's
    # part is unchanged (it has none).
    other = Request(**dict(vars(req), tiles=tiles + [("d", "-58", "10")]))
    assert other.part_of("b") == "0-4003:2-4001"
    row = state("b", "-59", "10", other)
    assert (row.state, row.message) == (
        State.NOT_RUN, "its accounts counted another part of the tile than the list's overlaps leave it")
    assert state("c", "0", "0", other).state is State.DONE


def test_a_saved_request_whose_tiles_cannot_share_their_overlap_is_not_one(tmp_path):
    import test_accounts as support
    from tilebatch.records import Request
    req = support.request(tmp_path, tiles=[("a", "10", "10"), ("b", "10.00001", "10")])
    req.save()
    assert Request.load(os.path.join(req.logs, "batch.json")) is None
    req = support.request(tmp_path, tiles=[("a", "10", "10"), ("b", "10.00025", "10")])
    req.save()
    assert Request.load(os.path.join(req.logs, "batch.json")).part_of("b") == "0-4003:2002-4003"  # a pixel apart: halves


@pytest.mark.parametrize("lines, said", [
    ("a 10 50\nb 10.00001 50\n", "tiles a and b cannot share their overlap: they overlap, but their origins are not"),
    ("a 180 50\nb -180 50\n", "tiles a and b cannot share their overlap: they have the same origin"),
    ("batch 10 50\n", "tile batch would write its table under the name of the batch's own batch_accounts.csv"),
    ("batch_zone 10 50\n", "tile batch_zone would write its table under the name of the batch's own"),
    ("x 10 50\nx_zone 20 50\n", "tiles x and x_zone would both write a table x_zone_accounts.csv: rename one"),
    ("".join("d%d %s 10\n" % (k, Decimal(k) * PIXEL) for k in range(200)),
     "tile d0 overlaps more than 64 tiles of the list"),
])
def test_lists_the_accounts_cannot_count_are_refused_before_anything_is_touched(tmp_path, monkeypatch, capsys,
                                                                               lines, said):
    from tilebatch import cli
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tiles.txt").write_text(lines)
    for entry in ("batch", "slurm"):
        assert cli.main([entry, "--plan", "--accounts", "tiles.txt", "2020", "i", "o", "d", "w"]) == 2
        assert said in capsys.readouterr().err
        # Without accounts nothing is counted, and the list is run as it is.
        assert cli.main([entry, "--plan", "tiles.txt", "2020", "i", "o", "d", "w"]) == 0
        capsys.readouterr()
    assert sorted(os.listdir(tmp_path)) == ["tiles.txt"]


# ---- where each tile lies, for joining forest across tiles ---------------------
def test_placement_is_exact_on_the_whole_degree_grid_and_wraps_at_the_antimeridian():
    placed = ownership.placement([
        ("a", "-60", "10"), ("b", "179", "0"), ("c", "-180", "-89"), ("d", "180", "90"), ("e", "359", "1e0"),
        # A pixel east of -180 and south of 90: 1 exactly, where floats make it 0.99999...
        ("f", "-179.99975", "89.99975"), ("g", "-0.00025", "0")])
    assert placed == [("a", "0,0", 480000, 320000), ("b", "0,0", 1436000, 360000), ("c", "0,0", 0, 716000),
                      ("d", "0,0", 0, 0), ("e", "0,0", 716000, 356000), ("f", "0,0", 1, 1),
                      ("g", "0,0", 719999, 360000)]
    assert ownership.placement_text([("a", "-60", "10"), ("e", "359", "1")]) == (
        "a\t0,0\t480000\t320000\ne\t0,0\t716000\t356000\n")


def test_tiles_off_the_whole_degree_grid_are_placed_on_a_grid_of_their_own():
    half = ("h", "-60.000125", "10")  # half a pixel west: column 479999 and a half
    third = ("t", "-60", "10.0000833")  # not a whole or half pixel south either
    placed = dict((tile, (grid, column, row)) for tile, grid, column, row in ownership.placement([half, third]))
    assert placed["h"] == ("1/2,0", 479999, 320000)
    grid, column, row = placed["t"]
    assert (column, row) == (480000, 319999) and grid.startswith("0,") and grid != "0,0"
    # Tiles of one such grid share its name; an origin of a vast denominator
    # is named by a digest, so that no line of the placement runs long.
    again = ownership.placement([("h2", "-59.000125", "11")])[0]
    assert again[1] == "1/2,0"
    tiny = ownership.placement([("z", "1e-300", "0")])[0][1]
    assert tiny.startswith("sha256:") and len(tiny) == 71
    assert ownership.placement([("z2", "2e-300", "0")])[0][1] not in (tiny, "0,0")


@pytest.mark.parametrize("lines", [
    [("a", "10", "50"), ("b", "11", "50"), ("c", "10", "49"), ("d", "11", "49")],  # a whole-degree grid
    [("w", "179.5", "0"), ("e", "-179.5", "0.25"), ("x", "540.25", "0.5")],  # across the antimeridian, 0-360 too
    [("p",) + origin(0, 0), ("q",) + origin(1000, 37), ("r",) + origin(-3999, 4003)],
])
def test_placement_agrees_with_the_overlaps_worked_out_for_the_parts(lines):
    """Two tiles that overlap lie on one grid, their origins dx columns and
    dy rows apart as neighbours() works out for their parts: the end joins
    the pixels the parts own as the parts were cut."""
    placed = ownership.placement(lines)
    pairs = [(i, dx, dy, j) for i, others in neighbours(lines).items() for dx, dy, j in others]
    assert pairs
    for i, dx, dy, j in pairs:
        assert placed[i][1] == placed[j][1] == "0,0"
        assert (placed[j][2] - placed[i][2]) % ownership.COLUMNS_AROUND == dx % ownership.COLUMNS_AROUND
        assert placed[j][3] - placed[i][3] == dy
