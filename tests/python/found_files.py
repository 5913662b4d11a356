"""The products of a test's output directory as evaluate() takes them: read
once into a dict, where a batch stats them one by one (ProductFiles)."""
import os

from tilebatch import facts, records
from tilebatch.tilejob import file_identity


class Found(dict):
    """{name: [size, mtime_ns, inode]} of the files of a directory."""

    def identities(self, names):
        return [self.get(name) for name in names]

    def verdict(self, tile, record, last_year):
        names = facts.product_names(tile, last_year)
        return records.product_verdict(self.identities(names), record, names)


def file_identities(directory):
    found = Found()
    for name in sorted(os.listdir(directory)):
        if os.path.isfile(os.path.join(directory, name)):
            found[name] = file_identity(os.path.join(directory, name))
    return found
