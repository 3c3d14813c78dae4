"""Whole detectors on every core: runs many channels of a velmora detector
model in parallel and hands the records over as columns."""

from .formats import builtin  # registers the file formats, before anything is read or written
from ._calibrate import calibrate, flash_times
from ._convert import convert
from ._detector import Afterpulses, Detector, ImplausibleValueWarning
from ._events import find_events, write_events
from ._jobs import EarlyTriggerWarning
from ._links import record_labels
from ._pes import PETable, UnusedPEColumnsWarning, read_pes
from ._run import RunSummary, run
from ._version import __version__
from .formats.reading import read_links, read_metadata, read_records, to_pandas

__all__ = ["Afterpulses", "Detector", "EarlyTriggerWarning", "ImplausibleValueWarning", "PETable", "RunSummary", "UnusedPEColumnsWarning", "__version__", "calibrate", "convert", "find_events", "flash_times", "read_links", "read_metadata", "read_pes", "read_records", "record_labels", "run", "to_pandas", "write_events"]
