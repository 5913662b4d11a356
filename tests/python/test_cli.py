"""The package's command line: every command answers --help, and the one
mapping of failures to exit statuses."""
import pytest

from tilebatch import cli


@pytest.mark.parametrize("command", sorted(cli.COMMANDS))
def test_every_command_answers_help(command, capsys):
    try:
        status = cli.main([command, "--help"])
    except SystemExit as e:  # argparse's own help
        status = e.code
    assert status == 0 and "usage:" in capsys.readouterr().out


def test_a_batch_record_that_does_not_read_is_not_nothing_run(tmp_path, capsys):
    logs = tmp_path / "out" / "logs"
    logs.mkdir(parents=True)
    assert cli.main(["batch", "--report", str(tmp_path / "out")]) == 1
    assert "no batch recorded in %s (batch.json): nothing was run there" % logs in capsys.readouterr().err
    (logs / "batch.json").write_text("[" * 100000)
    assert cli.main(["batch", "--report", str(tmp_path / "out")]) == 1
    assert "the latest batch recorded in %s (batch.json) does not read" % logs in capsys.readouterr().err


@pytest.mark.parametrize("argv, status, said", [
    (["batch", "--jobs", "0", "l", "2000", "i", "o", "d", "w"], 2, "needs a positive whole number"),
    (["batch", "l", "1999", "i", "o", "d", "w"], 2, "LAST_YEAR 1999 is outside 2000 to 2060"),
    (["slurm", "--report"], 2, "expected 6 or 7 arguments"),
    (["nothing"], 2, "invalid choice"),
])
def test_usage_errors_exit_2_before_anything_is_touched(tmp_path, monkeypatch, capsys, argv, status, said):
    monkeypatch.chdir(tmp_path)
    try:
        got = cli.main(argv)
    except SystemExit as e:
        got = e.code
    assert got == status and said in capsys.readouterr().err
    assert list(tmp_path.iterdir()) == []
