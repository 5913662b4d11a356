"""--plan opens the zones as tile_accounts will (through GDAL's ogrinfo): a
layer or field the file lacks, a layer of points, a file of another format,
a FIFO beside it or a GeoPackage with unwritten edits refuse the plan in
the program's words, before anything is made; where ogrinfo is missing the
plan says the zones are not checked."""
import os
import shutil
import subprocess

import pytest

from tilebatch import cli, plan

pytestmark = pytest.mark.skipif(not (shutil.which("ogrinfo") and shutil.which("ogr2ogr")),
                                reason="ogrinfo and ogr2ogr (Debian's gdal-bin, scripts/install_deps.sh) are not "
                                       "installed: the plan's look at the zones needs them")

SQUARE = '"POLYGON ((-59.5 9.5,-59.4 9.5,-59.4 9.6,-59.5 9.6,-59.5 9.5))"'


def call(argv):
    try:
        return cli.main(argv)
    except SystemExit as e:
        return e.code


def zones(tmp_path, name, *layers, fmt="GPKG"):
    """A zones file of LAYERS, [(layer, geometry type)], each a feature with
    the fields name and "zone id"."""
    path = tmp_path / name
    source = tmp_path / "zones.csv"
    source.write_text('WKT,name,zone id\n%s,"a, b",1\n' % SQUARE)
    for k, (layer, geometry) in enumerate(layers):
        subprocess.run(["ogr2ogr", "-q", "-f", fmt] + (["-update"] if k else []) + [
            str(path), str(source), "-nln", layer, "-nlt", geometry, "-a_srs", "EPSG:4326",
            "-oo", "KEEP_GEOM_COLUMNS=NO"], check=True, capture_output=True)
    return str(path)


@pytest.fixture
def planning(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tiles.txt").write_text("a -60 10\n")

    def run(capsys, *options):
        before = sorted(os.listdir(tmp_path))
        statuses = [call([entry, "--plan", *options, "tiles.txt", "2020", "i", "o", "d", "w"])
                    for entry in ("batch", "slurm")]
        assert sorted(os.listdir(tmp_path)) == before  # a plan makes nothing
        said = capsys.readouterr()
        return statuses, said.out, said.err
    return run


def test_the_plan_refuses_zones_tile_accounts_would_refuse(tmp_path, planning, capsys):
    good = zones(tmp_path, "zones.gpkg", ("zones", "MULTIPOLYGON"))
    two = zones(tmp_path, "two.gpkg", ("land", "POLYGON"), ("road points", "POINT"))
    refused = "tile_accounts would refuse every tile: "
    for options, why in [
        (["--zones", good, "--zone-field", "nam"], "%s layer zones has no field nam (fields: name, zone id)" % good),
        (["--zones", good, "--zone-layer", "zone"], "%s has no layer zone (layers: zones)" % good),
        (["--zones", two], "%s holds 2 layers (land, road points): name one with --zone-layer" % two),
        (["--zones", two, "--zone-layer", "road points"], "%s layer road points holds Point, not polygons" % two),
        (["--zones", str(tmp_path / "zones.csv")], "%s cannot be opened as a vector file (GeoPackage, Shapefile, "
                                                  "GeoJSON, FlatGeobuf)" % (tmp_path / "zones.csv")),
    ]:
        statuses, _, err = planning(capsys, *options)
        assert statuses == [2, 2] and refused + why in err, options
    for options, found in [(["--zones", good, "--zone-field", "zone id"], ", field zone id"),
                           (["--zones", two, "--zone-layer", "land", "--zone-field", "name"], ", layer land, field name"),
                           (["--zones", zones(tmp_path, "z.shp", ("z", "POLYGON"), fmt="ESRI Shapefile")], "")]:
        statuses, out, _ = planning(capsys, *options)
        assert statuses == [0, 0] and "plan: accounts: zones %s%s: found as tile_accounts will read them" % (
            options[1], found) in out


def test_what_would_block_or_change_the_zones_is_refused_unopened(tmp_path, planning, capsys):
    path = zones(tmp_path, "zones.gpkg", ("zones", "POLYGON"))
    os.mkfifo(path + "-journal")  # SQLite would open it, and wait on it
    statuses, _, err = planning(capsys, "--zones", path)
    assert statuses == [2, 2] and "%s-journal beside the zone file is not a regular file" % path in err
    os.unlink(path + "-journal")
    with open(path + "-wal", "w") as f:
        f.write("edits")
    statuses, _, err = planning(capsys, "--zones", path)
    assert statuses == [2, 2] and "(%s-wal): close the program editing it first" % path in err


def test_without_ogrinfo_the_plan_says_the_zones_are_not_checked(tmp_path, planning, capsys, monkeypatch):
    path = zones(tmp_path, "zones.gpkg", ("zones", "POLYGON"))
    monkeypatch.setattr(plan.shutil, "which", lambda name: None)
    statuses, out, _ = planning(capsys, "--zones", path, "--zone-field", "missing")
    assert statuses == [0, 0]
    assert "plan: accounts: the zones' layer and field are not checked: ogrinfo (GDAL's gdal-bin) is not installed" \
        in out


def test_a_run_refuses_a_misspelt_field_before_any_tile_runs(tmp_path, monkeypatch, capsys):
    # Not only the plan: a batch or a submission with a field the zones lack
    # would fail every tile, each after its process_tile had run.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tiles.txt").write_text("a -60 10\n")
    good = zones(tmp_path, "zones.gpkg", ("zones", "MULTIPOLYGON"))
    process_tile = tmp_path / "process_tile"
    process_tile.write_text("#!/bin/sh\ntouch %s/ran\n" % tmp_path)
    process_tile.chmod(0o755)
    tool = tmp_path / "tile_accounts"
    tool.write_text("#!/bin/sh\nexit 0\n")
    tool.chmod(0o755)
    for entry in ("batch", "slurm"):
        out = tmp_path / ("out_" + entry)
        status = call([entry, "--zones", good, "--zone-field", "nam", "--tile-accounts", str(tool), "tiles.txt",
                       "2020", "i", str(out), "d", "w", str(process_tile)])
        assert status == 2
        assert "tile_accounts would refuse every tile: %s layer zones has no field nam" % good in capsys.readouterr().err
        assert not (tmp_path / "ran").exists() and not out.exists()
