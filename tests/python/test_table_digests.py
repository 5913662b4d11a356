"""A tile's accounts tables held to the bytes its run wrote: the job records
the SHA-256 of each beside its identity, and the batch's sums refuse a table
rewritten in place with its size, inode and time put back. Records written
before the digests still read, their tables held to their identity alone."""
import hashlib
import io
import json
import os
import time

import pytest

import test_accounts
from tilebatch import accounts, records, tilejob
from tilebatch.records import State

job_request = test_accounts.job_request  # the fixture: a job whose tile_accounts is the stand-in
TABLE = "-t_accounts.csv"


def digest_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def rewrite_in_place(path, old, new):
    """Replaces OLD by NEW (as long) in the file at PATH through its own
    inode, and puts its time back: its identity is the one written."""
    assert len(old) == len(new)
    info = os.stat(path)
    with open(path, "r+b") as f:
        text = f.read()
        f.seek(text.index(old))
        f.write(new)
    os.utime(path, ns=(info.st_atime_ns, info.st_mtime_ns))
    assert tilejob.file_identity(path) == [info.st_size, info.st_mtime_ns, info.st_ino]


def edit_record(req, change):
    path = os.path.join(tilejob.tile_dir(req.logs, "-t"), tilejob.RECORD)
    with open(path) as f:
        value = json.load(f)
    change(value)
    tilejob.write_json(path, value)


def test_a_table_rewritten_in_place_with_its_identity_put_back_is_refused(tmp_path, job_request, capsys):
    if not test_accounts.SUM_ACCOUNTS:
        pytest.skip("no built sum_accounts: PT_SUM_ACCOUNTS names none")
    req = job_request
    assert test_accounts.run_job(req, "-t") == 0
    record, _ = records.read_tile(req.logs, "-t")
    here = req.accounts_dir
    assert record.accounts_sha256 == {name: digest_of(os.path.join(here, name)) for name in record.accounts_tables}
    # The record's identities are as before the digests: what older readers read.
    with open(os.path.join(tilejob.tile_dir(req.logs, "-t"), tilejob.RECORD)) as f:
        assert json.load(f)["accounts_tables"] == record.accounts_tables
    assert accounts.build(req, [test_accounts.state(req)], say=io.StringIO()) == 0

    # A cover of 4 made 3 in the first row: still a table as tile_accounts
    # writes them, the same size, inode and time; the survey cannot tell.
    rewrite_in_place(os.path.join(here, TABLE), b",4.000000,", b",3.000000,")
    row = test_accounts.state(req)
    assert row.state is State.DONE
    capsys.readouterr()
    assert accounts.build(req, [row], say=io.StringIO()) == 1
    err = capsys.readouterr().err
    assert ("accounts: the table of tile -t is damaged: %s: its bytes are not those its run wrote" % TABLE) in err
    assert not os.path.exists(os.path.join(here, "batch_accounts.csv"))

    # A record written before the digests: read as before, the tables held
    # to their identity alone (the rewrite goes unseen, as it did then).
    edit_record(req, lambda value: value.pop("accounts_sha256"))
    row = test_accounts.state(req)
    assert row.state is State.DONE and all(len(i) == 3 for i in row.accounts.values())
    assert accounts.build(req, [row], say=io.StringIO()) == 0

    # A record whose digest of a table is not one: that table is damaged.
    edit_record(req, lambda value: value.update(accounts_sha256={TABLE: "not a digest"}))
    row = test_accounts.state(req)
    assert row.state is State.DONE
    capsys.readouterr()
    assert accounts.build(req, [row], say=io.StringIO()) == 1
    assert "%s: its record holds no identity or digest of it that reads" % TABLE in capsys.readouterr().err


@pytest.mark.parametrize("identity, text", [
    ([5, -7, 9, "ab" * 32], "5\t-7\t9\t" + "ab" * 32),
    ([5, 7, 9], "5\t7\t9\t-"),  # a record written before the digests
    ([5, 7, 9, None], "-\t-\t-\t-"),
    ([5, 7, 9, "AB" * 32], "-\t-\t-\t-"),
    ([5, 7, 9, "ab" * 31], "-\t-\t-\t-"),
    ([5, 7, 9, "ab" * 32, 1], "-\t-\t-\t-"),
    ([5, 7.0, 9, "ab" * 32], "-\t-\t-\t-"),
    (None, "-\t-\t-\t-"),
])
def test_the_list_holds_identity_and_digest(identity, text):
    listed, refused = accounts.table_list([("t", {"t_accounts.csv": identity})], False)
    assert (listed, refused) == (("t\tt_accounts.csv\t%s\n" % text).encode(), [])


def test_tables_to_sum_joins_the_digests_to_the_identities():
    identities = {"a.csv": [1, 2, 3], "b.csv": [4, 5, 6], "c.csv": None}
    assert records.tables_to_sum(identities, None) is identities
    assert records.tables_to_sum(identities, {"a.csv": "d"}) == {
        "a.csv": [1, 2, 3, "d"], "b.csv": [4, 5, 6, None], "c.csv": None}
    assert records.tables_to_sum(identities, ["d"])["a.csv"] == [1, 2, 3, None]
    assert records.tables_to_sum(None, {"a.csv": "d"}) is None


def test_a_tables_fingerprint_is_of_one_regular_file(tmp_path):
    table = tmp_path / "t_accounts.csv"
    table.write_bytes(b"tile_id\n" * 1000)
    identity, digest = tilejob.table_fingerprint(str(table))
    assert identity == tilejob.file_identity(str(table)) and digest == digest_of(table)
    assert tilejob.table_fingerprint(str(tmp_path / "missing")) == (None, None)
    # A FIFO under a table's name, which no one writes: not waited on.
    os.mkfifo(tmp_path / "fifo")
    started = time.monotonic()
    identity, digest = tilejob.table_fingerprint(str(tmp_path / "fifo"))
    assert identity is not None and digest is None and time.monotonic() - started < 5
