"""The forest accounts in the batch: the options and what they refuse, the
tile job running tile_accounts (a stand-in) as the program's command line
says, a tile's state with accounts, the list's overlap check, and the
batch's sums: exact, from tables read strictly, written whole under a lock
with a manifest, or none at all."""
import csv
import json
import io
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

from tilebatch import accounts, cli, facts, finish, records, slurm, tilejob
from tilebatch.records import Request, Row, State
from found_files import file_identities

STAND_IN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "accounts_stand_in.py")
# The built tools/sum_accounts, which makes the batch's sums: scripts/python_tests.sh
# and ctest name it where the build has it.
SUM_ACCOUNTS = os.environ.get("PT_SUM_ACCOUNTS", "")
HEADER = ",".join(facts.ACCOUNTS_COLUMNS) + "\n"
ZONE_HEADER = ",".join(facts.ZONE_ACCOUNTS_COLUMNS) + "\n"


def call(argv):
    try:
        return cli.main(argv)
    except SystemExit as e:
        return e.code


# ---- options --------------------------------------------------------------------
@pytest.mark.parametrize("options, said", [
    (["--thresholds", "3O"], "threshold '3O' is not a whole percentage"),
    (["--thresholds", "10.5"], "threshold '10.5' is not"),
    (["--thresholds", "101"], "threshold '101' is not"),
    (["--thresholds", "+5"], "threshold '+5' is not"),
    (["--thresholds", "10,,20"], "threshold '' is not"),
    (["--thresholds", "20,10,020"], "threshold 20 is given twice"),
    (["--zone-field", "name"], "--zone-field names a part of the zones file: give --zones FILE too"),
    (["--zone-layer", "l"], "--zone-layer names a part"),
    (["--zones", "missing.gpkg"], "missing.gpkg is not a readable file"),
    (["--zones", "."], "is not a readable file"),
    (["--zones", "zones.txt", "--zone-field="], "--zone-field needs a name"),
])
def test_accounts_options_refused_before_anything_is_touched(tmp_path, monkeypatch, capsys, options, said):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tiles.txt").write_text("a -60 10\n")
    (tmp_path / "zones.txt").write_text("z\n")
    before = sorted(os.listdir(tmp_path))
    for entry in ("batch", "slurm"):
        assert call([entry, "--plan", *options, "tiles.txt", "2020", "i", "o", "d", "w"]) == 2
        assert said in capsys.readouterr().err
    assert sorted(os.listdir(tmp_path)) == before


def request(tmp_path, **kw):
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    values = dict(tiles=[("t1", "-60", "10"), ("t2", "-50", "10")], last_year=2001, input_dir="/in",
                  output_dir=str(out), datamask_dir="/dm", wetland_dir="/wl", process_tile="/p",
                  logs=str(out / "logs"), tile_accounts=STAND_IN, thresholds="10,30")
    values.update(kw)
    return Request(**values)


def test_the_request_keeps_the_settings_and_old_requests_read(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the request's relative directories are made absolute from here
    (tmp_path / "tiles.txt").write_text("a -60 10\n")
    zones = tmp_path / "zones.gpkg"
    zones.write_text("z\n")
    parser = cli.batch_parser()
    a = parser.parse_intermixed_args(["--thresholds", "75,010,0", "--zones", str(zones), "--zone-field=-f",
                                      str(tmp_path / "tiles.txt"), "2001", "i", "o", "d", "w", "/b/process_tile"])
    req = cli.request_from(a, "batch.sh")
    assert (req.tile_accounts, req.thresholds, req.zones, req.zone_field) == (
        "/b/tools/tile_accounts", "0,10,75", str(zones), "-f")
    assert req.zones_identity == [tilejob.file_identity(str(zones))]
    # Handed to the job as NAME=VALUE: a field beginning with '-' stays a value.
    assert "--zone-field=-f" in req.job_arguments() and "--thresholds=0,10,75" in req.job_arguments()
    req.save()
    assert Request.load(os.path.join(req.logs, "batch.json")) == req
    with open(os.path.join(req.logs, "batch.json")) as f:
        value = json.load(f)
    for bad in ({"thresholds": "10,10"}, {"thresholds": "30,10"}, {"zones_identity": None},
                {"tile_accounts": None}):
        (tmp_path / "bad.json").write_text(json.dumps(dict(value, **bad)))
        assert Request.load(str(tmp_path / "bad.json")) is None, bad
    for name in records.ACCOUNTS_SETTINGS + ("tile_accounts",):
        del value[name]
    (tmp_path / "old.json").write_text(json.dumps(value))
    assert Request.load(str(tmp_path / "old.json")).tile_accounts is None


# ---- the tile's job -------------------------------------------------------------
def stand_in(tmp_path, name, body):
    path = tmp_path / name
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)
    return str(path)


def run_job(req, tile="t1", x="-60", y="10"):
    return tilejob.main(["--quiet", "--logs", req.logs, "--job", "local-b-1", "--no-reduced"]
                        + req.job_arguments() + [tile, x, y])


@pytest.fixture
def job_request(tmp_path, monkeypatch):
    """A request whose process_tile writes every product, and whose
    tile_accounts is the stand-in, started through this interpreter."""
    names = " ".join(facts.product_names('"$1"', 2001))
    tool = stand_in(tmp_path, "tile_accounts", 'exec %s %s "$@"' % (sys.executable, STAND_IN))
    zones = tmp_path / "zones.gpkg"
    zones.write_text("north\nsouth, \"old\"\n")
    req = request(tmp_path, tiles=[("-t", "-60", "10")], tile_accounts=tool, zones=str(zones), zone_field="-name",
                  zone_layer="l", zones_identity=tilejob.zones_identity(str(zones)),
                  process_tile=stand_in(tmp_path, "process_tile", 'cd "$4" && touch %s' % names))
    monkeypatch.setenv("STAND_IN_ARGV", str(tmp_path / "argv"))
    if SUM_ACCOUNTS:  # the batch's sums, where the build has the program
        os.symlink(os.path.abspath(SUM_ACCOUNTS), tmp_path / "sum_accounts")
    return req


def state(req, tile="-t"):
    record, mark = records.read_tile(req.logs, tile)
    return records.evaluate(req, tile, "-60", "10", record, mark, (file_identities(req.output_dir), set()),
                            lambda j: slurm.ENDED)


def test_the_job_runs_tile_accounts_as_its_command_line_says(tmp_path, job_request, monkeypatch):
    req = job_request
    assert run_job(req, "-t") == 0
    with open(tmp_path / "argv") as f:
        assert f.read().splitlines() == ["--thresholds", "10,30", "--zones", req.zones, "--zone-field", "-name",
                                         "--zone-layer", "l", "--", "-t", "2001", req.output_dir, "/dm",
                                         req.accounts_dir]
    record, _ = records.read_tile(req.logs, "-t")
    assert (record.accounts_status, record.thresholds, record.zones_identity) == (0, "10,30", req.zones_identity)
    assert sorted(record.accounts_tables) == ["-t_accounts.csv", "-t_zone_accounts.csv"]
    row = state(req)
    # The row holds each table's identity and the SHA-256 of its bytes.
    assert (row.state, row.accounts) == (State.DONE, {name: identity + [record.accounts_sha256[name]]
                                                      for name, identity in record.accounts_tables.items()})
    # The job's record, written and read back, is one a batch summing reads.
    if not SUM_ACCOUNTS:
        return
    said = io.StringIO()
    assert accounts.build(req, [row], say=said) == 0
    with open(os.path.join(req.accounts_dir, facts.BATCH_ZONE_ACCOUNTS)) as f:
        assert [r[0] for r in csv.reader(f)][1::4] == ["north", 'south, "old"']
    assert "warning" not in said.getvalue()
    # The batch as it ran is summed again by --report OUTPUT_DIR, which says
    # that the zones file has changed since.
    os.utime(req.zones, ns=(1, 1))
    said = io.StringIO()
    assert accounts.build(req, [row], say=said) == 0
    assert "the zones file %s has changed since the batch started" % req.zones in said.getvalue()
    os.utime(req.zones, ns=(req.zones_identity[0][1],) * 2)

    monkeypatch.setenv("STAND_IN_FAIL", "no datamask for -t")
    assert run_job(req, "-t") == 1
    record, _ = records.read_tile(req.logs, "-t")
    assert (record.status, record.accounts_status, record.accounts_message) == (0, 1, "tile_accounts: no datamask for -t")
    row = state(req)
    assert (row.state, row.exit, row.message, row.products) == (State.FAILED, "1", "tile_accounts: no datamask for -t",
                                                                True)
    monkeypatch.delenv("STAND_IN_FAIL")
    os.unlink(req.zones)
    assert run_job(req, "-t") == 1
    assert state(req).message == "tile_accounts: the zones file %s is not there" % req.zones


def test_evaluate_with_accounts(tmp_path, job_request):
    req = job_request
    assert run_job(req, "-t") == 0
    record, _ = records.read_tile(req.logs, "-t")
    table = os.path.join(req.accounts_dir, "-t_zone_accounts.csv")
    cases = [
        (dict(req=dict(thresholds="10,20")), State.NOT_RUN, "its accounts were made with other thresholds (10,30, not 10,20)"),
        (dict(req=dict(zone_layer=None)), State.NOT_RUN, "its accounts were made with another zone layer (l, not none)"),
        (dict(req=dict(zones_identity=[[1, 2, 3]])), State.NOT_RUN, "its zones file changed since its accounts were made"),
        (dict(record=dict(accounts_dir=None)), State.NOT_RUN, "done without --accounts"),
        (dict(record=dict(accounts_status=None)), State.FAILED, "its record holds no tile_accounts status"),
        (dict(req=dict(tile_accounts=None)), State.DONE, ""),
    ]
    for changes, expected, message in cases:
        changed = Request(**dict(vars(req), **changes.get("req", {})))
        rec = tilejob.TileRecord.from_json(dict(record.to_json(), **changes.get("record", {})))
        row = records.evaluate(changed, "-t", "-60", "10", rec, None, (file_identities(req.output_dir), set()),
                               lambda j: slurm.ENDED)
        assert (row.state, row.message) == (expected, message), changes
    with open(table, "a") as f:
        f.write("-t,north,10,2000,1.000000,0.000000,0.000000,\n")
    assert state(req).message.startswith("its accounts table -t_zone_accounts.csv changed after its run: ")
    os.unlink(table)
    assert state(req).message == "its accounts table -t_zone_accounts.csv is not in the accounts directory"


# ---- the batch's sums --------------------------------------------------------------
@pytest.fixture
def summing(tmp_path):
    """A tile_accounts path with the built sum_accounts beside it, where the
    batch looks for it."""
    if not (SUM_ACCOUNTS and os.access(SUM_ACCOUNTS, os.X_OK)):
        pytest.skip("no built sum_accounts: PT_SUM_ACCOUNTS names none (scripts/python_tests.sh sets it "
                    "from the build)")
    tools = tmp_path / "tools"
    tools.mkdir()
    os.symlink(os.path.abspath(SUM_ACCOUNTS), tools / "sum_accounts")
    return str(tools / "tile_accounts")


def write_tile(req, tile, rows, zone_rows=None):
    """The tile's tables from rows of figures; its identities, as a record keeps them."""
    os.makedirs(req.accounts_dir, exist_ok=True)
    tables = {facts.accounts_table_name(tile): HEADER + "".join(
        "%s,%s,%s,%s,%s,%s,%s\n" % ((tile,) + tuple(r)) for r in rows)}
    if zone_rows is not None:
        tables[facts.zone_accounts_table_name(tile)] = ZONE_HEADER + "".join(
            "%s,%s,%s,%s,%s,%s,%s,%s\n" % ((tile,) + tuple(r)) for r in zone_rows)
    for name, text in tables.items():
        with open(os.path.join(req.accounts_dir, name), "w") as f:
            f.write(text)
    return {name: tilejob.file_identity(os.path.join(req.accounts_dir, name)) for name in tables}


def rows_of(req, tables):
    return [Row(t, State.DONE, "0", accounts=tables[t]) for t, _, _ in req.tiles]


def read_table(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


def keys(req):
    return [(t, str(y)) for t in req.thresholds.split(",") for y in range(2000, req.last_year + 1)]


def figures(req, land, cover, loss, height):
    return [(t, y, land, cover, loss, height) for t, y in keys(req)]


def test_sums_are_exact_and_zones_keep_their_first_place(tmp_path, capsys, summing):
    req = request(tmp_path, last_year=2000, thresholds="10", zones="/z.gpkg", zones_identity=[[1, 2, 3]],
                  tile_accounts=summing)
    # Summed as floats these would print 98765432109.876541 and 0.300000: the
    # tables' own decimals are summed, as whole micro-hectares.
    big, small = "98765432109.876543", "0.100000"
    assert "%.6f" % (float(big) + float(small) + float(small)) != "98765432109.876743"
    tables = {
        "t1": write_tile(req, "t1", figures(req, big, small, "0.000000", "1.000001"),
                         [("B",) + f for f in figures(req, "5.000000", "1.000000", "0.000000", "1.000000")]
                         + [('"a,""A"""',) + f for f in figures(req, "5.000000", "0.000000", "0.000000", "")]),
        "t2": write_tile(req, "t2", figures(req, small, small, small, "1.000002"),
                         [("C",) + f for f in figures(req, "1.000000", "1.000000", "1.000000", "2.000000")]
                         + [('"a,""A"""',) + f for f in figures(req, "2.000000", "1.000000", "0.000000", "1.000001")]
                         + [('"=1\r\n2"',) + f for f in figures(req, "1.000000", "0.000000", "0.000000", "")]),
    }
    req.tiles.append(("t3", "-40", "10"))
    tables["t3"] = write_tile(req, "t3", figures(req, small, "0.000000", "0.000000", ""), [])
    assert accounts.build(req, rows_of(req, tables)) == 0
    here = req.accounts_dir
    # Heights 1.000001 and 1.000002 at equal cover: 1.0000015, rounded half to even.
    assert read_table(os.path.join(here, facts.BATCH_ACCOUNTS)) == [
        ["threshold", "year", "land_ha", "cover_ha", "loss_ha", "height_mean"],
        ["10", "2000", "98765432110.076543", "0.200000", "0.100000", "1.000002"]]
    assert read_table(os.path.join(here, facts.BATCH_ZONE_ACCOUNTS))[1:] == [
        ["B", "10", "2000", "5.000000", "1.000000", "0.000000", "1.000000"],
        ['a,"A"', "10", "2000", "7.000000", "1.000000", "0.000000", "1.000001"],
        ["C", "10", "2000", "1.000000", "1.000000", "1.000000", "2.000000"],
        ["=1\r\n2", "10", "2000", "1.000000", "0.000000", "0.000000", ""]]
    # A name holding CR or LF is quoted, as RFC 4180 asks, whichever of them.
    with open(os.path.join(here, facts.BATCH_ZONE_ACCOUNTS), "rb") as f:
        assert b'\n"=1\r\n2",10,2000,' in f.read()
    assert "accounts: the sums of 3 tiles: " in capsys.readouterr().out
    view = accounts.page_view(req)
    assert view["tables"] and view["of_this_batch"] and view["reason"] is None
    assert view["rows"] == [{"threshold": "10", "year": "2000", "land_ha": "98765432110.076543", "cover_ha": "0.200000",
                             "loss_ha": "0.100000", "height_mean": "1.000002"}]
    assert [r["zone"] for r in view["zone_rows"]] == ["B", 'a,"A"', "C", "=1\r\n2"]
    assert view["manifest"]["zones"] == "/z.gpkg" and view["manifest"]["tiles"] == 3
    # A manifest written before it carried its note is still this batch's.
    older = dict(view["manifest"])
    del older["note"]
    assert accounts.of_this_batch(req, older)
    # A table changed after the sums: the page says so and shows no rows.
    with open(os.path.join(here, facts.BATCH_ACCOUNTS), "a") as f:
        f.write("10,2001,1.000000,0.000000,0.000000,\n")
    view = accounts.page_view(req)
    assert not view["tables"] and "not those written with the manifest" in view["reason"]
    assert not accounts.page_view(Request(**dict(vars(req), batch_id="other")))["of_this_batch"]


def sum_directly(tmp_path, tables, zoned=False, outputs=None):
    """sum_accounts run on TABLES, {tile: table text} (with ZONED, {tile: (table,
    zone table)}), of threshold 10 and year 2000: (status, standard output,
    standard error, the batch table or None)."""
    here = tmp_path / "acc"
    here.mkdir(exist_ok=True)
    listed = {}
    for tile, texts in tables.items():
        names = [facts.accounts_table_name(tile)] + ([facts.zone_accounts_table_name(tile)] if zoned else [])
        for name, text in zip(names, texts if zoned else [texts]):
            (here / name).write_text(text)
        listed[tile] = {name: tilejob.file_identity(str(here / name)) for name in names}
    text, _ = accounts.table_list(list(listed.items()), zoned)
    outputs = outputs or [str(tmp_path / "sums.csv")] + ([str(tmp_path / "zones.csv")] if zoned else [])
    done = subprocess.run([SUM_ACCOUNTS, "--", "-", str(here), "2000", "10"] + outputs, input=text,
                          capture_output=True, timeout=60)
    table = (tmp_path / "sums.csv").read_text() if os.path.exists(tmp_path / "sums.csv") else None
    return done.returncode, done.stdout.decode(), done.stderr.decode(), table


# Heights in millionths of a metre over equal or unequal cover: the
# cover-weighted mean, rounded half to even.
@pytest.mark.parametrize("h1, c1, h2, c2, expected", [
    ("0.000001", "0.000001", "0.000000", "0.000002", "0.000000"),  # 1/3
    ("0.000001", "0.000002", "0.000000", "0.000001", "0.000001"),  # 2/3
    ("0.000001", "0.000001", "0.000002", "0.000001", "0.000002"),  # 1.5
    ("0.000002", "0.000001", "0.000003", "0.000001", "0.000002"),  # 2.5
    ("0.000003", "0.000001", "0.000004", "0.000001", "0.000004"),  # 3.5
    ("", "0.000000", "", "0.000000", ""),
])
def test_mean_height_rounds_half_to_even(tmp_path, summing, h1, c1, h2, c2, expected):
    status, out, err, table = sum_directly(tmp_path, {
        "a": HEADER + "a,10,2000,1.000000,%s,0.000000,%s\n" % (c1, h1),
        "b": HEADER + "b,10,2000,1.000000,%s,0.000000,%s\n" % (c2, h2)})
    assert (status, out, err) == (0, "", "")
    assert table.splitlines()[1].split(",")[-1] == expected


GOOD = "t1,10,2000,2.000000,1.000000,0.000000,3.000000\n"


@pytest.mark.parametrize("text, why", [
    ("tile_id,threshold,year,land,cover_ha,loss_ha,height_mean\n" + GOOD, "its header is not"),
    (HEADER + GOOD.replace("t1,", "t9,"), "line 2 is not a row of tile t1"),
    (HEADER + GOOD.replace(",10,", ",15,"), "line 2 is of threshold 15 and year 2000, not 10 and 2000"),
    (HEADER + GOOD.replace(",10,", ",010,"), "of threshold 010"),
    (HEADER + GOOD.replace("2.000000", "2e0"), "line 2 is not a row as tile_accounts writes it"),
    (HEADER + GOOD.replace("2.000000", "-2.000000"), "line 2 is not a row as"),
    (HEADER + GOOD.replace("2.000000", "\uff12.000000"), "line 2 is not a row as"),
    (HEADER + GOOD.replace("3.000000", "3.0"), "line 2 is not a row as"),
    (HEADER + GOOD.replace("\n", "\r\n"), "line 2 is not a row as"),
    (HEADER + GOOD.replace("2.000000", "0.500000"), "does not add up"),  # cover more than land
    (HEADER + GOOD.replace("3.000000", ""), "does not add up"),  # cover without a height
    (HEADER, "it holds no rows"),
    (HEADER + GOOD + GOOD, "it holds other rows than the 1 of its thresholds and years"),
    (HEADER + GOOD[:-1] + ',"\n', "line 2 is not a row as"),
    (HEADER + GOOD[:-1], "line 2 is not a row as"),  # cut short of its last newline
    (HEADER + GOOD.replace("2.000000", "1234567890123456.000000"), "line 2 is not a row as"),
    (HEADER + GOOD.replace("3.000000", "999999999999999.999999").replace("1.000000", "999999999999999.999999")
     .replace("2.000000", "999999999999999.999999") * 1, "beyond 128 bits"),
])
def test_a_damaged_table_makes_no_batch_tables(tmp_path, capsys, summing, text, why):
    req = request(tmp_path, tiles=[("t1", "-60", "10")], last_year=2000, thresholds="10", tile_accounts=summing)
    here = req.accounts_dir
    os.makedirs(here)
    (tmp_path / "out" / "accounts" / facts.BATCH_ACCOUNTS).write_text("an earlier batch's\n")
    name = os.path.join(here, "t1_accounts.csv")
    with open(name, "w") as f:
        f.write(text)
    assert accounts.build(req, [Row("t1", State.DONE, accounts={"t1_accounts.csv": tilejob.file_identity(name)})]) == 1
    err = capsys.readouterr().err
    assert "accounts: the table of tile t1 is damaged: t1_accounts.csv: " in err and why in err
    assert "accounts: 1 tile(s) with a damaged table: no batch tables" in err
    assert not os.path.exists(os.path.join(here, facts.BATCH_ACCOUNTS))
    assert accounts.page_view(req)["reason"] == "the accounts table of 1 tile(s) is damaged"


def test_zone_tables_read_strictly(tmp_path, capsys, summing):
    req = request(tmp_path, tiles=[("t1", "-60", "10")], last_year=2001, thresholds="10", zones="/z",
                  zones_identity=[[1, 2, 3]], tile_accounts=summing)
    row = ("A", "10", "2000", "1.000000", "0.000000", "0.000000", "")
    later = row[:2] + ("2001",) + row[3:]
    for zone_rows, why in [([row], "the rows of zone A end short"),
                           ([row, later] * 2, "zone A has rows in two places"),
                           ([row, later, ('"A"',) + row[1:], ('"A"',) + later[1:]], "zone \"A\" has rows in two places"),
                           ([later, row], "of threshold 10 and year 2001, not 10 and 2000"),
                           ([row, ("B",) + later[1:]], "line 2: the rows of zone A end short"),
                           ([row, later[:3] + ("2.000000",) + later[4:]], "lines 2 to 3 hold two figures of land")]:
        tables = write_tile(req, "t1", figures(req, "1.000000", "0.000000", "0.000000", ""), zone_rows)
        assert accounts.build(req, rows_of(req, {"t1": tables})) == 1
        err = capsys.readouterr().err
        assert "accounts: the table of tile t1 is damaged: t1_zone_accounts.csv: " in err and why in err, why
    # A table rewritten after the survey found it done: not the file its run wrote.
    tables = write_tile(req, "t1", figures(req, "1.000000", "0.000000", "0.000000", ""), [])
    write_tile(req, "t1", figures(req, "2.000000", "0.000000", "0.000000", ""), [])
    tables["t1_accounts.csv"][1] -= 1
    assert accounts.build(req, rows_of(req, {"t1": tables})) == 1
    assert "t1_accounts.csv: it is not the file its run wrote" in capsys.readouterr().err
    # Nor is a FIFO, a link to another file, a table the record holds no
    # identity of, one gone, or one too large to be a tile's; every tile is named.
    req.tiles[:] = [("t%d" % i, str(-60 + 2 * i), "10") for i in range(1, 7)]
    tables = {t: write_tile(req, t, figures(req, "1.000000", "0.000000", "0.000000", ""), [])
              for t, _, _ in req.tiles}
    here = req.accounts_dir
    os.unlink(os.path.join(here, "t1_accounts.csv"))
    os.mkfifo(os.path.join(here, "t1_accounts.csv"))
    os.unlink(os.path.join(here, "t2_zone_accounts.csv"))
    os.symlink("t3_zone_accounts.csv", os.path.join(here, "t2_zone_accounts.csv"))
    del tables["t3"]["t3_zone_accounts.csv"]
    os.unlink(os.path.join(here, "t4_accounts.csv"))
    with open(os.path.join(here, "t5_accounts.csv"), "ab") as f:
        f.truncate(accounts.MAX_TABLE_BYTES + 1)
    tables["t5"]["t5_accounts.csv"] = tilejob.file_identity(os.path.join(here, "t5_accounts.csv"))
    started = time.monotonic()
    assert accounts.build(req, rows_of(req, tables)) == 1
    err = capsys.readouterr().err
    assert time.monotonic() - started < 30
    for tile, why in [("t1", "t1_accounts.csv: it is not the file its run wrote"),
                      ("t2", "t2_zone_accounts.csv: it is not the file its run wrote"),
                      ("t3", "t3_zone_accounts.csv: its record holds no identity or digest of it that reads"),
                      ("t4", "t4_accounts.csv: it cannot be opened: No such file or directory"),
                      ("t5", "t5_accounts.csv: it is larger than 256 MiB")]:
        assert "accounts: the table of tile %s is damaged: %s" % (tile, why) in err
    assert "accounts: 5 tile(s) with a damaged table: no batch tables" in err and "tile t6" not in err
    assert [n for n in os.listdir(here) if n.startswith("batch_")] == [facts.BATCH_ACCOUNTS_MANIFEST]


def test_without_sum_accounts_no_batch_tables_and_one_line(tmp_path, capsys):
    req = request(tmp_path, tile_accounts=str(tmp_path / "elsewhere" / "tile_accounts"))
    tables = {t: write_tile(req, t, figures(req, "1.000000", "0.000000", "0.000000", "")) for t in ("t1", "t2")}
    (tmp_path / "out" / "accounts" / facts.BATCH_ACCOUNTS).write_text("an earlier batch's\n")
    assert accounts.build(req, rows_of(req, tables)) == 1
    err = capsys.readouterr().err
    assert err == "accounts: the summing program %s is missing (built beside tile_accounts): no batch tables\n" % (
        tmp_path / "elsewhere" / "sum_accounts")
    assert not os.path.exists(os.path.join(req.accounts_dir, facts.BATCH_ACCOUNTS))
    assert accounts.page_view(req)["reason"].startswith("the sums could not be made: the summing program")


def test_sum_accounts_refuses_a_wrong_call_and_list(tmp_path, summing):
    good = HEADER + "a,10,2000,1.000000,0.000000,0.000000,\n"
    wrong = subprocess.run([SUM_ACCOUNTS, "-", str(tmp_path), "2000", "10"], capture_output=True, text=True)
    assert wrong.returncode == 2 and wrong.stderr.startswith("Usage: sum_accounts") and not wrong.stdout
    # A zone table in the list with nowhere to write the zones' sums.
    status, out, err, _ = sum_directly(tmp_path, {"a": (good, ZONE_HEADER)}, zoned=True,
                                       outputs=[str(tmp_path / "sums.csv")])
    assert (status, out) == (1, "") and "the list names zone tables, and no OUT_ZONE_TABLE" in err
    for line, why in [(b"a\ta_accounts.csv\t1\t2\n", "line 1 of the list is not tile id"),
                      (b"a\ta_accounts.csv\t-\t-\t-\n", "line 1 of the list is not tile id"),
                      (b"a\tb_accounts.csv\t-\t-\t-\t-\n", "names b_accounts.csv, no table of tile a"),
                      (b"../a\t../a_accounts.csv\t-\t-\t-\t-\n", "names no tile whose tables can be read"),
                      (b"a\ta_accounts.csv\t1\tx\t3\t-\n", "holds an identity that is not three whole numbers"),
                      (b"a\ta_accounts.csv\t1\t2\t3\t" + b"A" * 64 + b"\n", "holds a SHA-256 that is not 64"),
                      (b"a\ta_accounts.csv\t-\t-\t-\t-", "does not end in a newline")]:
        done = subprocess.run([SUM_ACCOUNTS, "-", str(tmp_path), "2000", "10", str(tmp_path / "s.csv")], input=line,
                              capture_output=True, text=False)
        assert done.returncode == 1 and why in done.stderr.decode() and not done.stdout, why
    # An output where a link lies is not written through it; nothing is left.
    os.symlink(str(tmp_path / "target"), tmp_path / "link.csv")
    status, out, err, _ = sum_directly(tmp_path, {"a": good}, outputs=[str(tmp_path / "link.csv")])
    assert status == 1 and "link.csv cannot be written" in err and not os.path.exists(tmp_path / "target")


def test_tiles_not_done_leave_no_batch_tables_and_the_status_alone(tmp_path, capsys, monkeypatch, summing):
    req = request(tmp_path, tile_accounts=summing)
    req.save()
    tables = {t: write_tile(req, t, figures(req, "1.000000", "0.000000", "0.000000", "")) for t in ("t1", "t2")}
    rows = rows_of(req, tables)
    assert accounts.build(req, rows) == 0
    assert os.path.exists(os.path.join(req.accounts_dir, facts.BATCH_ACCOUNTS))
    capsys.readouterr()
    rows[1] = Row("t2", State.FAILED, "1")
    # The states the accounts are decided from, found again under their lock:
    # here the same as the report's.
    monkeypatch.setattr(finish, "states_now", lambda req, ending: lambda: rows)
    # --report: its standard output is the report alone.
    assert finish.finish(req, rows, "records", finish.Ending("batch.sh", rebuild=False, full_report=True)) == 0
    said = capsys.readouterr()
    assert "accounts: 1 of 2 tiles have no accounts of this request: no batch tables\n" in said.err
    assert "accounts:" not in said.out
    # The manifest alone, in the generation put in place (the earlier one gone).
    generation = accounts.current_generation(req.accounts_dir)
    assert sorted(os.listdir(req.accounts_dir)) == sorted([".lock", accounts.CURRENT, facts.BATCH_ACCOUNTS_MANIFEST,
                                                           generation, "t1_accounts.csv", "t2_accounts.csv"])
    assert os.listdir(os.path.join(req.accounts_dir, generation)) == [facts.BATCH_ACCOUNTS_MANIFEST]
    view = accounts.page_view(req)
    assert (view["tables"], view["reason"], view["of_this_batch"]) == (
        False, "1 of 2 tiles have no accounts of this request", True)


def test_two_ends_at_once_wait_for_each_other(tmp_path, summing):
    req = request(tmp_path, tile_accounts=summing)
    tables = {t: write_tile(req, t, figures(req, "1.000000", "0.000000", "0.000000", "")) for t in ("t1", "t2")}
    held = records.lock(req.accounts_dir, accounts.LOCK)
    done = []
    other = threading.Thread(target=lambda: done.append(accounts.build(req, rows_of(req, tables))))
    other.start()
    time.sleep(0.5)
    assert done == [] and not os.path.exists(os.path.join(req.accounts_dir, facts.BATCH_ACCOUNTS_MANIFEST))
    os.close(held)
    other.join(10)
    assert done == [0]
    with open(os.path.join(req.accounts_dir, facts.BATCH_ACCOUNTS_MANIFEST)) as f:
        manifest = json.load(f)
    assert (manifest["batch"], manifest["tiles"], manifest["thresholds"], manifest["last_year"]) == (
        req.batch_id, 2, "10,30", 2001)
    assert manifest["tables"] == {facts.BATCH_ACCOUNTS: tilejob.file_identity(
        os.path.join(req.accounts_dir, facts.BATCH_ACCOUNTS))}
    # The 0 of 2000's loss explained where the tables are described.
    assert manifest["note"].startswith("The loss of 2000 is 0 at every threshold above 0")
    # A link where the accounts directory lies is replaced by a directory of the output's own.
    shutil.rmtree(req.accounts_dir)
    os.symlink(str(tmp_path), req.accounts_dir)
    accounts.build(req, rows_of(req, tables))
    assert not os.path.islink(req.accounts_dir) and not os.path.exists(tmp_path / facts.BATCH_ACCOUNTS_MANIFEST)
