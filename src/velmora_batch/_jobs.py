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
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import pyarrow as pa

from . import _core
from ._dataset import block_name, links_block_name
from ._inputs import BlockInputs
from ._links import LinksWriter, block_links, label_values, sort_order
from ._models import TRUTH_COLUMNS, Engine, spec_of
from ._records import Columns, file_sha256, open_writer
from . import _version

if TYPE_CHECKING:
    from ._detector import Detector

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
class RunJobs:
    """What every block job of a run shares, made once per run."""

    run_id: str
    version: str
    token: str  # names the engine of the detector and the run's parameter sets
    detector: Detector
    waveform_samples: int
    sort: bool  # the records of a piece come back by segments: sort them into (channel, time) order
    metadata: dict[str, Any] | None  # what each written part stores, besides its block
    truth: str | None = None  # None, "columns" (the truth columns) or "links" (and the links)
    links_schema: pa.Schema | None = None  # with links or a label: the columns of the run's links
    label: tuple[str, str] | None = None  # the records' label column (name, type), made from the block's links


@dataclass(frozen=True)
class BlockJob:
    """Everything a worker needs to run one block."""

    run: RunJobs
    index: int
    inputs: BlockInputs  # the run's inputs, holding only this block's PEs
    channels: np.ndarray
    part: str | None = None  # the Parquet part to write, or None to hand the records back
    links_part: str | None = None  # with a part and links: the links part to write


@dataclass(frozen=True)
class WrittenPart:
    """A part file a block wrote: its name in the dataset, its rows and the SHA-256 of its file."""

    file: str
    rows: int
    sha256: str


@dataclass(frozen=True)
class BlockResult:
    index: int
    first: int
    last: int
    channels: int
    pes: int
    rows: int
    columns: Columns | None = None  # the records, column by column, where they are handed back
    early: tuple[EarlyNotice, ...] = ()  # the early windows its pieces dropped
    links: pa.Table | None = None  # the block's links, handed back (record: the row in the block's records)
    part: WrittenPart | None = None  # the records' part, where the block wrote one
    links_part: WrittenPart | None = None  # and the links' part


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
    engine = RUN_ENGINES.get(job.run.run_id)
    if engine is not None:
        return engine
    with _ENGINES_LOCK:
        engine = _ENGINES.get(job.run.token)
        if engine is None:
            engine = spec_of(job.run.detector.model).engine(job.inputs.parameter_sets, dict(job.run.detector.spectra))
            if len(_ENGINES) >= _MAX_ENGINES:
                _ENGINES.clear()
            _ENGINES[job.run.token] = engine
        return engine


def sorted_columns(columns: Columns, time_column: str, links: dict[str, np.ndarray] | None = None) -> Columns:
    """The records in (channel, time) order: a segmented block gives each
    channel's segments one after the other, each in time order. ``links``
    (the engine's, by record row) are changed in place to name the rows the
    records move to."""
    order = np.lexsort((columns[time_column], columns["channel"]))
    if links is not None:
        links["record"] = sort_order(order)[np.asarray(links["record"], np.int64)]
    return {name: values[order] for name, values in columns.items()}


def _simulate(job: BlockJob, engine: Engine, cancel: _core.CancelFlag, early: list[EarlyNotice]
              ) -> tuple[int, Columns, pa.Table | None]:
    """Runs the block's pieces through the engine: the PEs simulated, the
    records as columns (sorted where segments need it) and, with links, the
    block's links."""
    # The engine takes the pieces as keywords, as many as the block has.
    pieces: dict[str, Any]
    if job.run.truth is None:
        pieces = dict(job.inputs.pieces(job.channels))
        columns: Columns = engine.simulate(**pieces, cancel=cancel, early=early)
        if job.run.sort and len(columns["channel"]):
            columns = sorted_columns(columns, spec_of(job.run.detector.model).time_column)
        return len(pieces["times"]), columns, None
    # With provenance: each PE's kind and source, aligned with the pieces' times.
    pieces = dict(job.inputs.pieces(job.channels, provenance=True))
    origin = {name: pieces.pop(name) for name in ("kinds", "sources", "parent_kinds", "parent_sources")}
    truth: dict[str, Any] = {"truth": True, "kinds": origin["kinds"]}
    out = dict(engine.simulate(**pieces, cancel=cancel, early=early, **truth))
    found = cast(dict[str, np.ndarray], out.pop("links"))
    # The truth columns after the model's own, as the record dtype has them.
    truth_names = [c.name for c in TRUTH_COLUMNS]
    columns = {name: values for name, values in out.items() if name not in truth_names}
    columns.update((name, out[name]) for name in truth_names)
    if job.run.sort and len(columns["channel"]):
        columns = sorted_columns(columns, spec_of(job.run.detector.model).time_column, found)
    links = None
    if job.run.truth == "links" or job.run.label is not None:
        assert job.run.links_schema is not None
        block_pes = job.inputs.block_pes(job.channels)
        links = block_links(found, columns["channel"], origin, block_pes, job.run.links_schema)
        if job.run.label is not None:
            # From the block's own links, which name its own records: the same whatever the run's blocks.
            name, kind = job.run.label
            columns[name] = label_values(links, len(columns["channel"]), name, kind, block_pes)
    return len(pieces["times"]), columns, links if job.run.truth == "links" else None


def run_block(job: BlockJob) -> BlockResult:
    """Runs one block on this worker: the records handed back as columns, or
    written to the block's part (under a temporary name, renamed when
    complete), whose metadata adds the block (first and last channel, rows)
    to the job's."""
    first, last = int(job.channels[0]), int(job.channels[-1])
    if job.run.version != worker_version():
        raise VersionMismatch(f"this worker runs velmora {worker_version()}, the client {job.run.version}: "
                              "install the same velmora version on every worker")
    try:
        cancel = CANCEL.get(job.run.run_id) or _core.CancelFlag()
        early: list[EarlyNotice] = []
        n_pes, columns, links = _simulate(job, _engine(job), cancel, early)
    except (ValueError, RuntimeError, OverflowError, MemoryError, IndexError) as e:
        raise BlockError(f"block of channels {first}-{last}: {e}") from e
    rows = len(columns["channel"])
    if job.part is None:
        return BlockResult(job.index, first, last, len(job.channels), n_pes, rows, columns, tuple(early), links)
    metadata = dict(job.run.metadata or {}, block={"first": first, "last": last, "rows": rows})
    with open_writer(job.part, model=job.run.detector.model, waveform_samples=job.run.waveform_samples,
                     metadata=metadata, kind="parquet", truth=job.run.truth is not None, label=job.run.label) as writer:
        writer.write(columns)
    part = WrittenPart(block_name(first), rows, file_sha256(job.part))
    if links is None or job.links_part is None:
        return BlockResult(job.index, first, last, len(job.channels), n_pes, rows, early=tuple(early), part=part)
    # The links part names the rows of the block's record part.
    links_metadata = dict(job.run.metadata or {}, block={"first": first, "last": last, "rows": links.num_rows,
                                                         "records": rows})
    links_writer = LinksWriter(Path(job.links_part), links.schema, links_metadata)
    try:
        links_writer.write(links)
    except BaseException:
        links_writer.abort()
        raise
    links_writer.close()
    links_part = WrittenPart(links_block_name(first), links.num_rows, file_sha256(job.links_part))
    return BlockResult(job.index, first, last, len(job.channels), n_pes, rows, early=tuple(early), part=part,
                       links_part=links_part)


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
