"""Forest by definition in a batch: --forest and --connectivity checked as
tile_accounts checks them before anything is touched, the definition kept
in the request and in each tile's record (another one makes the tile's
accounts not run, and a run again counts them), the tile's forest tables
and edges held to what its run wrote, and the end handing sum_accounts
(a stand-in) the forest options, tables and placement and publishing the
forest tables with the definition in the manifest, or none of them."""
import io
import json
import os
import sys

import pytest

import test_accounts as support
import tiny_rasters
from test_accounts_end import SUM_STAND_IN, TILE_STAND_IN, program, published
from tilebatch import accounts, cli, facts, records, slurm, tilejob
from tilebatch.records import Request, Row, State
from found_files import file_identities

job_request = support.job_request  # the fixture: a job whose tile_accounts is the stand-in
FOREST = "10:5:0.5"


def call(argv):
    try:
        return cli.main(argv)
    except SystemExit as e:
        return e.code


# ---- the options ------------------------------------------------------------------
@pytest.mark.parametrize("options, said", [
    (["--forest", "10:5"], "--forest 10:5: needs COVER:HEIGHT:HECTARES, three fields, not 2"),
    (["--forest", "10:5:-1"], "--forest 10:5:-1: HECTARES is not a decimal number of hectares, 0 or more"),
    (["--forest", "101:5:1"], "--forest 101:5:1: COVER is not a whole percentage from 0 to 100"),
    (["--forest", "10:x:1"], "--forest 10:x:1: HEIGHT is not a whole number from 0 to 255"),
    (["--forest", "10:5:0.5:1"], "--forest 10:5:0.5:1: needs COVER:HEIGHT:HECTARES, three fields, not 4"),
    (["--forest", "10:256:1"], "HEIGHT is not a whole number from 0 to 255"),
    (["--forest", "10:5:1e3"], "HECTARES is not a decimal"),
    (["--forest", "10:5:1.2.3"], "HECTARES is not a decimal"),
    (["--forest", "10:5:."], "HECTARES is not a decimal"),
    (["--forest", "+10:5:1"], "COVER is not a whole percentage"),
    (["--forest", "\uff11\uff10:5:1"], "COVER is not a whole percentage"),  # full-width digits are no digits
    (["--forest", "0010:5:1"], "COVER is not a whole percentage"),  # tile_accounts takes three digits at most
    (["--forest", "10:5:" + "1" * 65], "HECTARES is not a decimal"),
    (["--forest", "10:5:\x1b[2J"], "--forest 10:5:\\x1b[2J: HECTARES"),  # said, not sent to the terminal
    (["--connectivity", "4"], "--connectivity says how forest patches join: give --forest C:H:HA too"),
    (["--forest", FOREST, "--connectivity", "6"], "argument --connectivity: invalid choice: '6'"),
])
def test_forest_options_refused_in_one_line_before_anything_is_touched(tmp_path, monkeypatch, capsys, options, said):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tiles.txt").write_text("a -60 10\n")
    before = sorted(os.listdir(tmp_path))
    for entry, prog in (("batch", "batch.sh"), ("slurm", "slurm_array.sh")):
        assert call([entry, "--plan", *options, "tiles.txt", "2020", "i", "o", "d", "w"]) == 2
        first, hint = capsys.readouterr().err.splitlines()
        assert first.startswith(prog + ": ") and said in first and hint == "try: %s --help" % prog
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("given, written", [
    ("10:5:0.5", "10:5:0.5"), ("010:05:0.50", "10:5:0.5"), ("10:5:.5", "10:5:0.5"), ("10:5:5.", "10:5:5"),
    ("0:0:0", "0:0:0"), ("100:255:000.000", "100:255:0"), ("30:5:100", "30:5:100"),
    ("10:5:0.1000000000000000000000000000001", "10:5:0.1000000000000000000000000000001"),  # no digit lost
])
def test_one_definition_is_one_text(given, written):
    assert facts.parse_forest(given) == written


def parsed_request(tmp_path, *options):
    (tmp_path / "tiles.txt").write_text("a -60 10\nb -59 10\n")
    a = cli.batch_parser().parse_intermixed_args(list(options) + [str(tmp_path / "tiles.txt"), "2001", "i", "o",
                                                                  "d", "w", "/b/process_tile"])
    return cli.request_from(a, "batch.sh")


def test_forest_implies_the_accounts_and_travels_to_the_job(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    req = parsed_request(tmp_path, "--forest", "010:5:0.50", "--connectivity", "4")
    assert (req.tile_accounts, req.thresholds, req.forest, req.connectivity) == (
        "/b/tools/tile_accounts", facts.DEFAULT_THRESHOLDS, FOREST, 4)
    assert ["--forest=" + FOREST, "--connectivity=4"] == [w for w in req.job_arguments()
                                                          if w.startswith(("--forest", "--connectivity"))]
    # A Slurm task is handed the same words.
    command = slurm.array_command(req, slurm.windows([1, 2], 1000)[0], "/l.tsv", facts.TILEJOB, 1, 100, None, None)
    assert "--forest=" + FOREST in command and "--connectivity=4" in command
    assert parsed_request(tmp_path, "--forest", FOREST).connectivity == facts.DEFAULT_CONNECTIVITY
    plain = parsed_request(tmp_path, "--accounts")
    assert (plain.forest, plain.connectivity) == (None, None)
    assert not [w for w in plain.job_arguments() if w.startswith(("--forest", "--connectivity"))]
    # The plan counts the longer run.
    assert call(["batch", "--plan", "--forest", FOREST, str(tmp_path / "tiles.txt"), "2020", "i", "o", "d", "w",
                 "/b/process_tile"]) == 0
    assert "%.1f s more per tile for tile_accounts with --forest %s" % (facts.FOREST_ACCOUNTS_SECONDS_2020, FOREST) in capsys.readouterr().out


def test_a_saved_request_holds_its_forest_and_no_other(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    req = parsed_request(tmp_path, "--forest", FOREST, "--connectivity", "4")
    req.save()
    path = os.path.join(req.logs, "batch.json")
    assert Request.load(path) == req
    with open(path) as f:
        value = json.load(f)
    for bad in ({"forest": "010:5:0.5"}, {"forest": "10:5"}, {"forest": 10}, {"connectivity": 6},
                {"connectivity": True}, {"connectivity": "4"}, {"connectivity": None}, {"forest": None},
                {"tile_accounts": None, "thresholds": None}):
        (tmp_path / "bad.json").write_text(json.dumps(dict(value, **bad)))
        assert Request.load(str(tmp_path / "bad.json")) is None, bad
    del value["forest"], value["connectivity"]  # a batch saved before forest
    (tmp_path / "old.json").write_text(json.dumps(value))
    old = Request.load(str(tmp_path / "old.json"))
    assert (old.forest, old.connectivity) == (None, None) and not old.same_run(req)


# ---- the tile's job and its record -------------------------------------------------
def forest_request(req, forest=FOREST, connectivity=8):
    return Request(**dict(vars(req), forest=forest, connectivity=connectivity))


def state(req, record=None, tile="-t"):
    found, mark = records.read_tile(req.logs, tile)
    return records.evaluate(req, tile, "-60", "10", record or found, mark, (file_identities(req.output_dir), set()),
                            lambda j: slurm.ENDED)


def forest_names(tile="-t"):
    return [facts.forest_table_name(tile), facts.zone_forest_table_name(tile), facts.forest_edges_name(tile)]


def test_the_job_counts_the_forest_and_its_record_holds_every_table(tmp_path, job_request):
    req = forest_request(job_request)
    assert support.run_job(req, "-t") == 0
    words = (tmp_path / "argv").read_text().splitlines()
    assert words[words.index("--forest"):words.index("--")] == ["--forest", FOREST, "--connectivity", "8",
                                                                 "--forest-edges"]
    record, _ = records.read_tile(req.logs, "-t")
    assert (record.forest, record.connectivity, record.accounts_status) == (FOREST, 8, 0)
    names = tilejob.accounts_tables("-t", req.zones, req.forest)
    assert sorted(record.accounts_tables) == sorted(names) and set(forest_names()) <= set(names)
    for name in names:
        assert record.accounts_tables[name] == tilejob.file_identity(os.path.join(req.accounts_dir, name))
        assert len(record.accounts_sha256[name]) == 64
    row = state(req)
    assert row.state is State.DONE and sorted(row.accounts) == sorted(names)
    # The batch's list hands sum_accounts every one of them, with identity and digest.
    listed, refused = accounts.table_list([("-t", row.accounts)], True, True)
    lines = listed.decode().splitlines()
    assert refused == [] and [line.split("\t")[1] for line in lines] == names
    assert all(len(line.split("\t")) == 6 and "-" not in line.split("\t")[2:] for line in lines)
    # A record without forest does not carry the fields at all.
    assert support.run_job(job_request, "-t") == 0
    with open(os.path.join(tilejob.tile_dir(req.logs, "-t"), tilejob.RECORD)) as f:
        assert not {"forest", "connectivity"} & set(json.load(f))


def test_a_record_of_another_forest_is_not_run_and_a_run_again_counts_it(tmp_path, job_request):
    req = forest_request(job_request)
    assert support.run_job(req, "-t") == 0
    record, _ = records.read_tile(req.logs, "-t")
    cases = [
        (dict(forest="10:5:1"), {}, State.NOT_RUN,
         "its accounts were made with another forest definition (10:5:0.5, not 10:5:1)"),
        (dict(connectivity=4), {}, State.NOT_RUN, "its forest patches were joined through 8 neighbours, not 4"),
        ({}, dict(forest=None, connectivity=None), State.NOT_RUN,
         "its accounts were made without --forest (10:5:0.5 asked)"),
        ({}, dict(connectivity=None), State.NOT_RUN, "its forest patches were joined through unknown neighbours, not 8"),
        ({}, dict(connectivity="8"), State.NOT_RUN, "its forest patches were joined through unknown neighbours, not 8"),
        # A request without forest asks nothing of the record's forest.
        (dict(forest=None, connectivity=None), {}, State.DONE, ""),
        (dict(forest=None, connectivity=None), dict(forest="1:2:3", connectivity=4), State.DONE, ""),
        # Settings other than the forest's go first, as before.
        (dict(forest="10:5:1", thresholds="10,20"), {}, State.NOT_RUN,
         "its accounts were made with other thresholds (10,30, not 10,20)"),
    ]
    for asked, made, expected, message in cases:
        rec = tilejob.TileRecord.from_json(dict(record.to_json(), **made))
        row = state(Request(**dict(vars(req), **asked)), rec)
        assert (row.state, row.message) == (expected, message), (asked, made)
        assert (row.accounts is None) == (expected is not State.DONE)

    # A forest table or the edges gone, or changed: the run failed to leave
    # them, and only a request with forest cares.
    edges = os.path.join(req.accounts_dir, facts.forest_edges_name("-t"))
    os.rename(edges, edges + ".away")
    assert (state(req).state, state(req).message) == (
        State.FAILED, "its accounts table -t_forest_edges.txt is not in the accounts directory")
    assert state(forest_request(req, None, None)).state is State.DONE
    os.rename(edges + ".away", edges)
    with open(os.path.join(req.accounts_dir, facts.zone_forest_table_name("-t")), "a") as f:
        f.write("-t,north,2000,1.000000,0.000000\n")
    assert state(req).message.startswith("its accounts table -t_zone_forest.csv changed after its run: ")

    # Run again with the definition asked: done with it, the earlier no more.
    other = forest_request(req, "30:5:100", 4)
    assert state(other).state is State.NOT_RUN
    assert support.run_job(other, "-t") == 0
    words = (tmp_path / "argv").read_text().splitlines()
    assert words[words.index("--forest") + 1:words.index("--forest") + 4] == ["30:5:100", "--connectivity", "4"]
    assert state(other).state is State.DONE and state(req).state is State.NOT_RUN

    # Run again without forest: the program removes its forest tables and
    # edges, and a batch without forest neither asks for nor lists them.
    assert support.run_job(job_request, "-t") == 0
    assert not any(os.path.exists(os.path.join(req.accounts_dir, n)) for n in forest_names())
    assert state(other).message == "its accounts were made without --forest (30:5:100 asked)"
    row = state(job_request)
    assert row.state is State.DONE and not set(forest_names()) & set(row.accounts)
    listed, _ = accounts.table_list([("-t", row.accounts)], True, False)
    assert b"forest" not in listed


# ---- the end of the batch ------------------------------------------------------------
@pytest.fixture
def tools(tmp_path, monkeypatch):
    """A tile_accounts stand-in with the summing stand-in beside it, which
    keeps its command line, list and placement under tmp_path/sum."""
    where = tmp_path / "tools"
    where.mkdir()
    program(where / "sum_accounts", 'exec "%s" "%s" "$@"' % (sys.executable, SUM_STAND_IN))
    monkeypatch.setenv("SUM_STAND_IN_ARGV", str(tmp_path / "sum"))
    return program(where / "tile_accounts", 'exec "%s" "%s" "$@"' % (sys.executable, TILE_STAND_IN))


def end_request(tmp_path, tools, **kw):
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    values = dict(tiles=[("t1", "-60", "10"), ("t2", "-58.999", "10"), ("t3", "179.5", "-0.5")], last_year=2001,
                  input_dir="/in", output_dir=str(out), datamask_dir="/dm", wetland_dir="/wl", process_tile="/p",
                  logs=str(out / "logs"), tile_accounts=tools, thresholds="10,30")
    values.update(kw)
    return Request(**values)


def rows_with_every_table(req):
    """Every tile done, its record naming each of its tables (the stand-in
    reads none)."""
    names = lambda t: accounts.tile_tables(t, True, True)  # noqa: E731
    return [Row(t, State.DONE, "0", accounts={n: [1, 2, 3, "%064x" % k] for k, n in enumerate(names(t))})
            for t, _, _ in req.tiles]


def sum_call(tmp_path):
    with open(tmp_path / "sum") as f:
        words = f.read().splitlines()
    with open(tmp_path / "sum.list") as f:
        listed = [line.split("\t") for line in f.read().splitlines()]
    placement = tmp_path / "sum.placement"
    return words, listed, placement.read_text() if placement.exists() else None


def test_the_end_sums_the_forest_and_publishes_it_with_its_definition(tmp_path, tools, capsys):
    zones = tmp_path / "zones.txt"
    zones.write_text("z\n")
    req = end_request(tmp_path, tools, zones=str(zones), zones_identity=tilejob.zones_identity(str(zones)),
                      forest=FOREST, connectivity=4)
    here = req.accounts_dir
    assert accounts.build(req, rows_with_every_table(req)) == 0
    generation = os.path.join(here, accounts.current_generation(here))
    words, listed, placement = sum_call(tmp_path)
    put = lambda name: os.path.join(generation, name)  # noqa: E731
    assert words == ["--forest", FOREST, "--connectivity", "4", "--placement", put(accounts.PLACEMENT),
                     "--forest-table", put(facts.BATCH_FOREST), "--zone-forest-table", put(facts.BATCH_ZONE_FOREST),
                     "--", "-", here, "2001", "10,30", put(facts.BATCH_ACCOUNTS), put(facts.BATCH_ZONE_ACCOUNTS)]
    assert [line[:2] for line in listed] == [[t, n] for t, _, _ in req.tiles for n in accounts.tile_tables(t, True, True)]
    # Each tile's upper-left pixel on the grid of 0.00025 degrees from 180 W
    # and 90 N; t3 east of 179.5 wraps round to the tiles west of it.
    assert placement == ("t1\t0,0\t480000\t320000\n" "t2\t0,0\t484004\t320000\n" "t3\t0,0\t1438000\t362000\n")
    # The placement went with the sums: the generation holds the tables and their manifest.
    assert sorted(os.listdir(generation)) == sorted(list(accounts.BATCH_TABLES) + [facts.BATCH_ACCOUNTS_MANIFEST])
    assert published(here) == (req.batch_id, sorted(accounts.BATCH_TABLES))
    with open(os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST)) as f:
        manifest = json.load(f)
    assert manifest["forest"] == {"definition": FOREST, "connectivity": 4}
    with open(os.path.join(here, facts.BATCH_FOREST)) as f:
        assert f.readline() == ",".join(facts.FOREST_COLUMNS[1:]) + "\n"
    # A manifest is of this batch only with its forest.
    assert accounts.of_this_batch(req, manifest)
    for other in (dict(forest="10:5:1"), dict(connectivity=8), dict(forest=None, connectivity=None)):
        assert not accounts.of_this_batch(Request(**dict(vars(req), **other)), manifest), other
    assert "accounts: the sums of 3 tiles: " in capsys.readouterr().out

    # The same list again without forest (nor zones): the forest tables go
    # with the earlier publication, none is listed, the manifest says null.
    plain = Request(**dict(vars(req), batch_id="plain", zones=None, zones_identity=None, forest=None,
                           connectivity=None))
    os.unlink(tmp_path / "sum.placement")
    assert accounts.build(plain, rows_with_every_table(plain), say=io.StringIO()) == 0
    words, listed, placement = sum_call(tmp_path)
    assert words[:2] == ["--", "-"] and placement is None
    assert {line[1] for line in listed} == {facts.accounts_table_name(t) for t, _, _ in req.tiles}
    assert published(here) == ("plain", [facts.BATCH_ACCOUNTS])
    assert not any(os.path.lexists(os.path.join(here, n)) for n in accounts.BATCH_FOREST_TABLES)
    with open(os.path.join(here, facts.BATCH_ACCOUNTS_MANIFEST)) as f:
        assert json.load(f)["forest"] is None


def test_forest_without_zones_publishes_the_forest_table_alone(tmp_path, tools):
    req = end_request(tmp_path, tools, forest="0:0:0", connectivity=8)
    assert accounts.tables_of(req) == [facts.BATCH_ACCOUNTS, facts.BATCH_FOREST]
    assert accounts.build(req, rows_with_every_table(req), say=io.StringIO()) == 0
    words, listed, _ = sum_call(tmp_path)
    assert "--zone-forest-table" not in words and words[words.index("--forest-table") + 2] == "--"
    assert {line[1] for line in listed} == {n for t, _, _ in req.tiles for n in accounts.tile_tables(t, False, True)}
    assert published(req.accounts_dir) == (req.batch_id, [facts.BATCH_ACCOUNTS, facts.BATCH_FOREST])


def test_a_forest_table_the_record_does_not_name_is_said_so(tmp_path, tools, capsys):
    """sum_accounts names a damaged table by its file; where the tile's
    record holds nothing of it that reads (a record of the tile made
    before the edges existed), that is what the end says."""
    req = end_request(tmp_path, tools, forest=FOREST, connectivity=8)
    rows = rows_with_every_table(req)
    del rows[1].accounts[facts.forest_edges_name("t2")]
    stand_in = os.path.join(os.path.dirname(tools), "sum_accounts")
    program(stand_in, 'cat >/dev/null; printf "t2\\tt2_forest_edges.txt: it cannot be opened\\n"; exit 1')
    assert accounts.build(req, rows) == 1
    err = capsys.readouterr().err
    assert ("accounts: the table of tile t2 is damaged: t2_forest_edges.txt: its record holds no identity or digest "
            "of it that reads") in err
    assert not os.path.exists(os.path.join(req.accounts_dir, facts.BATCH_FOREST))


# ---- with the real programs ------------------------------------------------------------
REAL_SUM = support.SUM_ACCOUNTS
REAL_TILE = os.path.join(os.path.dirname(os.path.abspath(REAL_SUM)), "tile_accounts") if REAL_SUM else ""
COARSE = 4  # the products are drawn in cells of 4 x 4 pixels: a tile of 1001 x 1001 cells


def product(path, west, north, cells, fmt="HFA"):
    """A tile's raster at PATH, its upper-left corner at (WEST, NORTH): CELLS
    (a number, or rows of 1001 numbers) drawn in blocks of COARSE pixels."""
    rows = [[cells]] if isinstance(cells, int) else cells
    grid = path + ".asc"
    with open(grid, "w") as f:
        f.write("ncols %d\nnrows %d\nxllcorner 0\nyllcorner 0\ncellsize 1\n" % (len(rows[0]), len(rows)))
        f.writelines(" ".join(map(str, row)) + "\n" for row in rows)
    side = facts.TILE_SIZE
    tiny_rasters.gdal("gdal_translate", "-q", "-of", fmt, "-ot", "Byte", "-outsize", str(side), str(side), "-r",
                      "near", "-a_srs", "EPSG:4326", "-a_ullr", str(west), str(north), str(west + 1.001),
                      str(north - 1.001), grid, path)
    os.unlink(grid)


def column_of_cells(first, last):
    """Rows of cells with canopy (cover 50) in rows 500 to 524 (pixel rows
    2000 to 2099) and cells FIRST to LAST, none elsewhere."""
    side = facts.TILE_SIZE // COARSE
    return [[50 if 500 <= r < 525 and first <= c <= last else 0 for c in range(side)] for r in range(side)]


@pytest.mark.skipif(not (REAL_SUM and os.access(REAL_TILE, os.X_OK)), reason="no built tile_accounts and "
                    "sum_accounts: PT_SUM_ACCOUNTS names none (scripts/python_tests.sh sets it from the build)")
@pytest.mark.skipif(bool(tiny_rasters.GDAL_MISSING), reason="GDAL's programs are missing (gdal-bin)")
def test_a_patch_split_by_two_tiles_parts_is_forest_in_the_batch_alone(tmp_path):
    """Tiles a and b of a whole-degree grid share four columns: a owns its
    columns to 4001, b its own from 2. A patch of 400 x 100 pixels runs
    across, some 1000 ha in each part: at a least area of 500 ha each tile
    counts its piece, at 1500 ha neither does alone, and the batch joins
    them into the same forest (the joined set's square metres rounded once,
    against the two tiles' rounded figures)."""
    out, dm = tmp_path / "out", tmp_path / "dm"
    out.mkdir()
    dm.mkdir()
    tiles = [("a", "10", "50"), ("b", "11", "50")]
    for (tile, x, y), cells in zip(tiles, (column_of_cells(950, 1000), column_of_cells(0, 49))):
        product(str(out / ("TCC_2000_%s.img" % tile)), float(x), float(y), cells)
        product(str(out / ("TCH_2000_%s.img" % tile)), float(x), float(y), 10)
        product(str(out / ("Loss_2000_%s.img" % tile)), float(x), float(y), 0)
        product(str(dm / ("%s_datamask.tif" % tile)), float(x), float(y), 1, fmt="GTiff")

    def batch(forest):
        req = Request(tiles=tiles, last_year=2000, input_dir="/in", output_dir=str(out), datamask_dir=str(dm),
                      wetland_dir="/wl", process_tile="/bin/true", logs=str(tmp_path / "logs"),
                      tile_accounts=REAL_TILE, thresholds="10", forest=forest, connectivity=8)
        rows = []
        for tile, x, y in tiles:
            part = req.part_of(tile)
            assert tilejob.main(["--quiet", "--logs", req.logs, "--job", "local-f-1", "--no-reduced"]
                                + (["--part", part] if part else []) + req.job_arguments() + [tile, x, y]) == 0
            record, mark = records.read_tile(req.logs, tile)
            assert record.accounts_status == 0, record.accounts_message
            rows.append(records.evaluate(req, tile, x, y, record, mark, (file_identities(req.output_dir), set()),
                                         lambda j: slurm.ENDED))
        assert [r.state for r in rows] == [State.DONE, State.DONE], [r.message for r in rows]
        assert accounts.build(req, rows, say=io.StringIO()) == 0
        with open(os.path.join(req.accounts_dir, facts.BATCH_FOREST)) as f:
            batch_forest = f.read().splitlines()
        tile_forest = []
        for tile, _, _ in tiles:
            with open(os.path.join(req.accounts_dir, facts.forest_table_name(tile))) as f:
                tile_forest.append(f.read().splitlines()[1].split(",")[2])
        return batch_forest, tile_forest

    low, low_tiles = batch("10:5:500")
    assert low[0] == "year,forest_ha,forest_loss_ha"
    pieces = [float(v) for v in low_tiles]
    assert all(950 < p < 1050 for p in pieces), pieces  # each part's piece, counted by its tile
    assert abs(float(low[1].split(",")[1]) - sum(pieces)) < 2e-6
    high, high_tiles = batch("10:5:1500")
    assert high_tiles == ["0.000000", "0.000000"]  # neither piece reaches 1500 ha alone
    assert abs(float(high[1].split(",")[1]) - sum(pieces)) < 2e-6, (high, pieces)
    # Beyond the whole: no forest anywhere.
    none, _ = batch("10:5:2500")
    assert none[1] == "2000,0.000000,0.000000"
