"""The batch package's unit tests, run from the project's root (pyproject.toml
puts the root on the path), import it as `tilebatch`."""
