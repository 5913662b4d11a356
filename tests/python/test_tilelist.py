"""The tile list: a line the batch cannot hand to process_tile exactly as
written must stop the batch before anything runs, naming the line."""
import os
import signal

import pytest

from tilebatch.tilelist import ListError, parse_tiles, read_ids, read_tiles


def test_comments_and_blank_lines_are_skipped_and_fields_kept_as_written():
    text = "# tile x y\n\n  t1 -59.75 10   # a comment\n\tt2 +10 1e1\n#t3 1 2\n   \n"
    assert parse_tiles(text) == [("t1", "-59.75", "10"), ("t2", "+10", "1e1")]


# Origins go to process_tile as written, which reads them with atof: anything
# but a plain decimal number would place the tile's products elsewhere.
@pytest.mark.parametrize("line, why", [
    ("t1 1O 10", "origin_x 1O of tile t1 is not a number"),          # letter O
    ("t1 12abc 10", "origin_x 12abc of tile t1 is not a number"),
    ("t1 1,5 10", "origin_x 1,5 of tile t1 is not a number"),
    ("t1 nan 10", "origin_x nan of tile t1 is not a number"),
    ("t1 10 inf", "origin_y inf of tile t1 is not a number"),
    ("t1 0x10 10", "origin_x 0x10 of tile t1 is not a number"),
    ("t1 1e400 10", "origin_x 1e400 of tile t1 is not a number"),     # overflows to inf
    ("t1 \u0661\u0660 10", "is not a number"),                        # Arabic-Indic digits: atof reads 0
    ("t1 \uff11\uff10 10", "is not a number"),                        # fullwidth digits
    ("t1 360.5 10", "origin_x 360.5 of tile t1 is outside -180 to 360"),
    ("t1 -180.1 10", "origin_x -180.1 of tile t1 is outside -180 to 360"),
    ("t1 10 90.01", "origin_y 90.01 of tile t1 is outside -90 to 90"),
    ("t1 10 -91", "origin_y -91 of tile t1 is outside -90 to 90"),
    ("t1 10", 'expected "tile_id origin_x origin_y", got 2 fields'),
    ("t1 10 20 30", 'expected "tile_id origin_x origin_y", got 4 fields'),
    (". 10 20", "names no file of its own"),
    (".. 10 20", "names no file of its own"),
    ("a/b 10 20", "tile id a/b contains /"),
    ("a\x1bb 10 20", "tile id a\\x1bb contains a control character"),
    ("a\x7fb 10 20", "contains a control character"),
])
def test_bad_line_refused_with_file_and_line(line, why):
    with pytest.raises(ListError) as e:
        parse_tiles("ok 0 0\n" + line + "\n", "tiles.txt")
    assert str(e.value).startswith("tiles.txt:2: ")
    assert why in str(e.value)


@pytest.mark.parametrize("x, y", [("-180", "-90"), ("360", "90"), ("0", "0"), (".5", "-0.")])
def test_range_limits_accepted(x, y):
    assert parse_tiles("t %s %s" % (x, y)) == [("t", x, y)]


def test_every_bad_line_named_and_duplicates_refused():
    text = "t1 0 0\nt2 1O 0\n# fine\nt1 5 5\nt3 0 0\nt4 0\n"
    with pytest.raises(ListError) as e:
        parse_tiles(text, "list.txt")
    lines = str(e.value).splitlines()
    assert [l.split(" ", 1)[0] for l in lines] == ["list.txt:2:", "list.txt:4:", "list.txt:6:"]
    assert lines[1] == "list.txt:4: tile t1 listed twice"


def test_line_numbers_count_newlines_only():
    # A line separator or form feed inside a comment is not a line break for
    # the editor the user fixes the list in.
    text = "# a\u2028b\x0cc\nt1 0 0\nt2 x 0\n"
    with pytest.raises(ListError) as e:
        parse_tiles(text, "l")
    assert str(e.value).startswith("l:3: ")


def test_many_bad_lines_are_cut_short():
    with pytest.raises(ListError) as e:
        parse_tiles("".join("t%d x 0\n" % i for i in range(25)), "l")
    lines = str(e.value).splitlines()
    assert len(lines) == 21 and lines[-1] == "... 5 more"


def test_read_tiles_of_a_file_and_of_an_empty_one(tmp_path):
    good = tmp_path / "tiles.txt"
    good.write_text("t1 -60 10\n")
    assert read_tiles(str(good)) == [("t1", "-60", "10")]
    empty = tmp_path / "empty.txt"
    empty.write_text("# nothing\n\n")
    with pytest.raises(ListError, match="no tiles in"):
        read_tiles(str(empty))
    with pytest.raises(ListError, match="not found"):
        read_tiles(str(tmp_path / "absent.txt"))


@pytest.mark.parametrize("kind", ["fifo", "directory"])
def test_read_tiles_refuses_what_is_not_a_regular_file_without_blocking(tmp_path, kind):
    path = str(tmp_path / "tiles.txt")
    os.mkfifo(path) if kind == "fifo" else os.mkdir(path)

    def hung(signum, frame):
        raise AssertionError("read_tiles blocked on a %s" % kind)

    previous = signal.signal(signal.SIGALRM, hung)
    signal.alarm(5)
    try:
        with pytest.raises(ListError, match="not a regular file"):
            read_tiles(path)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def test_ids_alike_under_unicode_normalisation_are_one_tile_listed_twice():
    # NFC "é" (one code point) and NFD "e" with a combining accent print alike.
    text = "\u00e9t 0 0\nother 1 1\ne\u0301t 2 2\n\u00e9t 3 3\n"
    with pytest.raises(ListError) as e:
        parse_tiles(text, "l")
    assert str(e.value).splitlines() == [
        "l:3: tile e\u0301t listed twice (the same under Unicode normalisation as line 1)",
        "l:4: tile \u00e9t listed twice"]


def test_a_tile_file_of_ids_refuses_ids_listed_twice_alike(tmp_path):
    path = tmp_path / "ids.txt"
    path.write_text("t1\n\u00e9t\ne\u0301t\n")
    with pytest.raises(ListError, match="ids.txt:3: tile e\u0301t listed twice \\(the same under Unicode "
                                        "normalisation as line 2\\)"):
        read_ids(str(path))


def test_a_byte_order_mark_is_no_part_of_the_first_id(tmp_path):
    path = tmp_path / "tiles.txt"
    path.write_bytes(b"\xef\xbb\xbft1 -60 10\nt2 0 0 # \xef\xbb\xbf in a comment\n")
    assert read_tiles(str(path)) == [("t1", "-60", "10"), ("t2", "0", "0")]
    assert read_ids(str(path)) == ["t1", "t2"]
