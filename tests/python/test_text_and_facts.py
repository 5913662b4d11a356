"""What is printed of a name, and the figures the batch plans with."""
import pytest

from tilebatch import facts
from tilebatch.tilejob import printable


@pytest.mark.parametrize("text, shown", [
    ("t1", "t1"),
    ("caf\u00e9 \u4e2d", "caf\u00e9 \u4e2d"),           # ordinary letters kept
    ("a\x1b[31mb", "a\\x1b[31mb"),                       # an escape sequence
    ("a\tb\nc\rd\x7f", "a\\tb\\nc\\rd\\x7f"),
    ("abc\u202edef", "abc\\u202edef"),                   # right-to-left override
    ("a\u2028b\u2029c", "a\\u2028b\\u2029c"),            # line and paragraph separators
    ("a\u200bb", "a\\u200bb"),                           # zero width space
    ("a\\x1b", "a\\\\x1b"),                              # a backslash cannot fake an escape
    (b"a\xffb".decode("utf-8", "surrogateescape"), "a\\xffb"),  # a byte that is not UTF-8, shown as the byte
    (2000, "2000"),
])
def test_printable(text, shown):
    assert printable(text) == shown


# The program's own figures (tile/constants.hpp, TileMemory::bytes_needed) and
# the Slurm request per task they give.
@pytest.mark.parametrize("last_year, tile, with_quality, mib, mib_quality", [
    (2000, 416832416, 480960480, 654, 715),
    (2020, 2340674336, None, 2489, None),
])
def test_memory(last_year, tile, with_quality, mib, mib_quality):
    assert facts.tile_memory_bytes(last_year) == tile
    assert facts.task_memory_mib(last_year, False) == mib
    if with_quality is not None:
        assert facts.quality_memory_bytes(last_year) == with_quality
        assert facts.task_memory_mib(last_year, True) == mib_quality
