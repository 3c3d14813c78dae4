"""The installed velmora version: read here and nowhere else."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("velmora")
except PackageNotFoundError:  # a build tree that was never installed
    __version__ = "unknown"
