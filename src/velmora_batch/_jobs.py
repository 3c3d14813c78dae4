"""The block job: everything a worker needs to run one block of a run (the
detector, the block's channels and PEs, the run's seed), so that a worker in
another process or on another machine rebuilds the models itself, and the
result it hands back. The records of a block depend only on the run's
definition, never on where or next to what it ran."""

from __future__ import annotations

import hashlib
import json
import threading
import warnings
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np

from . import _core
from ._dataset import block_name
from ._models import spec_of
from ._records import Columns, file_sha256, open_writer
from . import _version

if TYPE_CHECKING:
    from ._detector import Detector


class BlockInputs(Protocol):
    """What a job needs of the run's plan: the parameter sets of its engine,
    and its block's inputs to the engine."""

    parameter_sets: list[dict[str, Any]]

    def pieces(self, channels: np.ndarray) -> Mapping[str, Any]: ...

Engine = _core.ZozuvUzaEngine | _core.MultiPMTEngine

# Engines built by this process, by the token of their detector and parameter
# sets: a worker runs many blocks of one run and builds its models once.
_ENGINES: dict[str, Engine] = {}
_ENGINES_LOCK = threading.Lock()
_MAX_ENGINES = 4

# The runs started by this process, by run id: their cancel flags, so that
# blocks running here stop at the next channel when their run fails, and
# their engines, so that blocks running here share the run's (and, with
# sequential seeding, its one generator).
CANCEL: dict[str, _core.CancelFlag] = {}
RUN_ENGINES: dict[str, Engine] = {}


class EarlyTriggerWarning(UserWarning):
    """ZozuvUza readout windows that would start before time 0 (or before
    the start of their segment) were dropped under ``early_handling`` WARN:
    one warning per channel and run, with the number of windows dropped and
    the start of the first."""


# The early windows that one piece of a block dropped: channel, how many,
# the first one's start counted from the piece's origin, and that origin
# (seconds in the run's time).
EarlyNotice = tuple[int, int, float, float]


class BlockError(RuntimeError):
    """A block of a run failed; the message names its channels and the reason."""


class VersionMismatch(RuntimeError):
    """A worker runs another velmora version than the client."""


@dataclass(frozen=True)
class BlockJob:
    """Everything a worker needs to run one block."""

    run_id: str
    index: int
    version: str
    token: str  # names the engine of the detector and the run's parameter sets
    detector: Detector
    inputs: BlockInputs  # the run's inputs, holding only this block's PEs
    channels: np.ndarray
    waveform_samples: int
    sort: bool
    part: str | None  # the Parquet part to write, or None to hand the records back
    metadata: dict[str, Any] | None


@dataclass(frozen=True)
class BlockResult:
    index: int
    first: int
    last: int
    channels: int
    pes: int
    rows: int
    file: str | None
    columns: Columns | None  # the records, column by column
    sha256: str | None = None  # of the part's file
    early: tuple[EarlyNotice, ...] = ()  # the early windows its pieces dropped


def worker_version() -> str:
    """The velmora version of the process this runs in."""
    return _version.__version__


def engine_token(detector: Detector, parameter_sets: list[dict[str, Any]]) -> str:
    h = hashlib.sha256(json.dumps([detector.model, parameter_sets], sort_keys=True).encode())
    for key in sorted(detector.spectra):
        h.update(key.encode())
        for a in detector.spectra[key]:
            h.update(np.ascontiguousarray(a, np.float64).tobytes())
    return h.hexdigest()


def _engine(job: BlockJob) -> Engine:
    engine = RUN_ENGINES.get(job.run_id)
    if engine is not None:
        return engine
    with _ENGINES_LOCK:
        engine = _ENGINES.get(job.token)
        if engine is None:
            engine = spec_of(job.detector.model).engine(job.inputs.parameter_sets, dict(job.detector.spectra))
            if len(_ENGINES) >= _MAX_ENGINES:
                _ENGINES.clear()
            _ENGINES[job.token] = engine
        return engine


def sorted_columns(columns: Columns, time_column: str) -> Columns:
    """The records in (channel, time) order: a segmented block gives each
    channel's segments one after the other, each in time order."""
    order = np.lexsort((columns[time_column], columns["channel"]))
    return {name: values[order] for name, values in columns.items()}


def run_block(job: BlockJob) -> BlockResult:
    """Runs one block on this worker: the records handed back as columns, or
    written to the block's part (under a temporary name, renamed when
    complete), whose metadata adds the block (first and last channel, rows)
    to the job's."""
    first, last = int(job.channels[0]), int(job.channels[-1])
    if job.version != worker_version():
        raise VersionMismatch(f"this worker runs velmora {worker_version()}, the client {job.version}: "
                              "install the same velmora version on every worker")
    try:
        pieces = job.inputs.pieces(job.channels)
        cancel = CANCEL.get(job.run_id) or _core.CancelFlag()
        early: list[EarlyNotice] = []
        columns: Columns = _engine(job).simulate(**pieces, cancel=cancel, early=early)
        if job.sort and len(columns["channel"]):
            columns = sorted_columns(columns, spec_of(job.detector.model).time_column)
    except (ValueError, RuntimeError, OverflowError, MemoryError, IndexError) as e:
        raise BlockError(f"block of channels {first}-{last}: {e}") from e
    n_pes, rows = len(pieces["times"]), len(columns["channel"])
    if job.part is None:
        return BlockResult(job.index, first, last, len(job.channels), n_pes, rows, None, columns, early=tuple(early))
    metadata = dict(job.metadata or {}, block={"first": first, "last": last, "rows": rows})
    with open_writer(job.part, model=job.detector.model, waveform_samples=job.waveform_samples,
                     metadata=metadata, kind="parquet") as writer:
        writer.write(columns)
    return BlockResult(job.index, first, last, len(job.channels), n_pes, rows, block_name(first), None,
                       file_sha256(job.part), tuple(early))


class EarlyWindowTally:
    """The early windows dropped in a run, by channel: the number, and the
    earliest start in the run's time with the origin of its segment."""

    def __init__(self) -> None:
        self.channels: dict[int, tuple[int, float, float]] = {}

    def add(self, notices: Iterable[EarlyNotice]) -> None:
        for channel, count, start, origin in notices:
            at = origin + start
            known = self.channels.get(channel)
            if known is None:
                self.channels[channel] = (count, at, origin)
            else:
                total, first, first_origin = known
                self.channels[channel] = (total + count, *((at, origin) if at < first else (first, first_origin)))

    def warn(self, stacklevel: int) -> None:
        """One EarlyTriggerWarning per channel, in channel order."""
        for channel in sorted(self.channels):
            count, at, origin = self.channels[channel]
            windows = "1 readout window" if count == 1 else f"{count} readout windows"
            first = f"the first starts at {at!r} s"
            if origin != 0.0:
                first += f", before the start of its segment at {origin!r} s"
            warnings.warn(f"channel {channel}: {windows} dropped for starting too early (early_handling WARN); "
                          f"{first}", EarlyTriggerWarning, stacklevel=stacklevel + 1)
