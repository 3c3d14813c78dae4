"""Whole detectors on every core: runs many channels of a velmora detector
model in parallel and hands the records over as columns."""

from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _version

try:
    __version__ = _version("velmora")
except PackageNotFoundError:  # a build tree that was never installed
    __version__ = "unknown"

__all__ = ["__version__"]
