"""Whole detectors on every core: runs many channels of a velmora detector
model in parallel and hands the records over as columns."""

from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _version

from ._detector import Detector, ImplausibleValueWarning
from ._pes import PETable, read_pes
from ._records import read_metadata, read_records
from ._run import RunSummary, run

try:
    __version__ = _version("velmora")
except PackageNotFoundError:  # a build tree that was never installed
    __version__ = "unknown"

__all__ = ["Detector", "ImplausibleValueWarning", "PETable", "RunSummary", "__version__", "read_metadata", "read_pes", "read_records", "run"]
