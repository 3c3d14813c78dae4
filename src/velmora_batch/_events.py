"""Events: records grouped by a simple detector trigger, a multiplicity of
channels within a time window.

The records are taken in time order across channels (records of equal time
in channel order). The earliest record not yet in an event opens a window
that starts at its time and lasts ``window`` seconds, its end excluded. If
the records in that window come from at least ``multiplicity`` different
channels, they all form an event and the next window is opened by the first
record after it; otherwise the next record opens a window. Windows never
grow: a long burst of hits gives one event per window it fills. A window may
be of any finite length: one longer than the run holds every later record.

The event table has one row per event: ``event`` (its id, from 0 in time
order), ``start`` and ``end`` (the times of its first and last record, in
seconds from the run's time origin), ``channels`` (different channels in it),
``records`` and ``charge``: the sum over its records of ``intsum`` for
ZozuvUza (LSB x samples) and of ``time_over_threshold`` for MultiPMT
(seconds, the one measure of size every MultiPMT hit has). The records get
an ``event`` column: the id of their event, -1 for records in none.

Events are found a chunk of records at a time: a window still open at the
end of a chunk is decided once the next chunk is read, so memory holds a
chunk and the records of one window, never the run."""

from __future__ import annotations

import json
import math
import os
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from .formats import record_format
from .formats.parquet import FORMAT as PARQUET
from .formats.reading import read_metadata
from ._order import arrow_batch, time_ordered, with_rows
from ._publish import PublishedFile, temporary_beside
from ._records import EVENT_COLUMN, RECORD_ROW_COLUMN, Columns, _arrow_schema, _names, model_of_dtype, prepare_record_file
from ._tables import by_time, time_column

def _field(name: str, kind: pa.DataType, unit: str, description: str) -> pa.Field[Any]:
    return pa.field(name, kind, nullable=False, metadata={b"unit": unit.encode(), b"description": description.encode()})


EVENT_SCHEMA = pa.schema([
    _field("event", pa.int64(), "", "the event's id, from 0 in time order"),
    _field("start", pa.float64(), "s", "time of the event's first record from the run's time origin"),
    _field("end", pa.float64(), "s", "time of the event's last record from the run's time origin"),
    _field("channels", pa.uint32(), "channels", "different channels among the event's records"),
    _field("records", pa.uint32(), "records", "records in the event"),
    _field("charge", pa.float64(), "LSB x samples (ZozuvUza) or s (MultiPMT)",
           "sum over the event's records of intsum (ZozuvUza) or of time_over_threshold (MultiPMT)"),
])
# The column summed into an event's charge, and the factor from a record's time to seconds.
_CHARGE = {"time_ns": "intsum", "time": "time_over_threshold"}
_SECONDS = {"time_ns": 1e-9, "time": 1.0}


@dataclass(frozen=True)
class Trigger:
    """The trigger condition: ``multiplicity`` channels within ``window`` seconds."""

    multiplicity: int
    window: float

    def __post_init__(self) -> None:
        if isinstance(self.multiplicity, bool) or not isinstance(self.multiplicity, int) or self.multiplicity < 1:
            raise ValueError(f"multiplicity must be a whole number of at least 1, got {self.multiplicity!r}")
        if not (isinstance(self.window, int | float) and math.isfinite(self.window) and self.window > 0):
            raise ValueError(f"window must be a positive number of seconds, got {self.window!r}")

    def span(self, key: str) -> float | int:
        """The window in the unit of the time column ``key``: whole ns for
        ``time_ns``, at most 2^64 (more than any two int64 times are apart)."""
        if key != "time_ns":
            return self.window
        ns = self.window * 1e9
        return max(1, round(ns)) if ns < _NS_SPAN else _NS_SPAN


# Times in ns are int64. A window may be longer than any run (the whole run
# in one window): a time plus the window is worked out exactly, and where it
# lies past the largest int64 the window holds every later record.
_NS_MIN, _NS_MAX = (int(v) for v in (np.iinfo(np.int64).min, np.iinfo(np.int64).max))
_NS_SPAN = 2**64


def _window_ends(times: np.ndarray, span: float | int) -> np.ndarray:
    """For each record (in time order), the index of the first record at or
    after its time plus ``span``."""
    if times.dtype.kind == "f":
        return np.asarray(np.searchsorted(times, times + span, side="left"))
    last = _NS_MAX - int(span)  # the latest time whose window ends within int64
    if last < _NS_MIN:
        return np.full(len(times), len(times), np.intp)
    # t + span for t <= last in two's complement (uint64 sums wrap): exact, as the sum fits int64.
    reach = (np.minimum(times, last).view(np.uint64) + np.uint64(int(span) % 2**64)).view(np.int64)
    ends = np.asarray(np.searchsorted(times, reach, side="left"))
    ends[times > last] = len(times)
    return ends


def _decided(times: np.ndarray, span: float | int) -> int:
    """The number of leading records (in time order) whose window ends at or
    before the last record's time: all their window's records are known."""
    if times.dtype.kind == "f":
        return int(np.searchsorted(times, times[-1] - span, side="right"))
    limit = int(times[-1]) - int(span)
    return 0 if limit < _NS_MIN else int(np.searchsorted(times, limit, side="right"))


def _windows(times: np.ndarray, channels: np.ndarray, span: float | int, multiplicity: int,
             decided: int) -> tuple[list[tuple[int, int]], int]:
    """The events among records in time order, as (first, stop) rows, and
    the first record not yet decided: openers before ``decided`` have all
    their window's records here."""
    ends = _window_ends(times, span)
    openers = np.flatnonzero(ends - np.arange(len(times)) >= multiplicity)  # enough records, maybe enough channels
    events: list[tuple[int, int]] = []
    i = 0
    while True:
        k = int(np.searchsorted(openers, i))
        if k == len(openers) or openers[k] >= decided:
            return events, max(i, min(decided, len(times)))
        i = int(openers[k])
        stop = int(ends[i])
        if len(np.unique(channels[i:stop])) >= multiplicity:
            events.append((i, stop))
            i = stop
            if i >= decided:
                return events, i
        else:
            i += 1


class EventFinder:
    """Finds the events of records given in time order a chunk at a time:
    :meth:`add` gives back the records decided so far with their ``event``
    and the events among them; :meth:`finish` decides the rest."""

    def __init__(self, trigger: Trigger, key: str) -> None:
        self.trigger = trigger
        self.key = key
        self.span = trigger.span(key)
        self.charge = _CHARGE[key]
        self.next_id = 0
        self.pending: Columns | None = None

    def add(self, chunk: Columns, last: bool = False) -> tuple[Columns, list[dict[str, Any]]]:
        buf = chunk if self.pending is None else {n: np.concatenate([self.pending[n], chunk[n]]) for n in chunk}
        times = buf[self.key]
        if not len(times):
            return {}, []
        decided = len(times) if last else _decided(times, self.span)
        found, stop = _windows(times, buf["channel"], self.span, self.trigger.multiplicity, decided)
        event = np.full(stop, -1, np.int64)
        rows = []
        for first, end in found:
            event[first:end] = self.next_id
            rows.append(self._row(buf, first, end))
            self.next_id += 1
        self.pending = {n: v[stop:] for n, v in buf.items()}
        done = {n: v[:stop] for n, v in buf.items()}
        done["event"] = event
        return done, rows

    def finish(self) -> tuple[Columns, list[dict[str, Any]]]:
        if self.pending is None:
            return {}, []
        return self.add({n: v[:0] for n, v in self.pending.items()}, last=True)

    def _row(self, buf: Columns, first: int, end: int) -> dict[str, Any]:
        seconds = _SECONDS[self.key]
        return {"event": self.next_id, "start": float(buf[self.key][first]) * seconds,
                "end": float(buf[self.key][end - 1]) * seconds,
                "channels": len(np.unique(buf["channel"][first:end])), "records": end - first,
                "charge": float(np.sum(buf[self.charge][first:end], dtype=np.float64))}


def find_events(records: np.ndarray, multiplicity: int, window: float) -> tuple[pa.Table, np.ndarray]:
    """The events of records in memory (any order): the event table, and
    the records in time order with an ``event`` column and their row in
    ``records`` (``record_row``) added.

    Each comes as its kind reads elsewhere, as ``run(truth="links")`` gives
    numpy records and a pyarrow links table: the event table is a pyarrow
    Table, equal to what ``pq.read_table`` gives of the event file that
    ``write_events`` writes (its fields carry their units and meanings), and
    the records a numpy structured array, as ``run`` and ``read_records``
    give records."""
    trigger = Trigger(multiplicity, window)
    key = time_column(records.dtype)
    columns = {name: records[name] for name in _names(records.dtype)}
    columns[RECORD_ROW_COLUMN[0]] = np.arange(len(records), dtype=np.int64)
    columns = by_time(columns, key)
    finder = EventFinder(trigger, key)
    done, rows = finder.add(columns, last=True)
    out = np.empty(len(records), _with_event(with_rows(records.dtype)))
    for name in _names(out.dtype) if len(records) else ():  # no records: nothing decided, nothing to copy
        out[name] = done[name]
    return pa.Table.from_pylist(rows, schema=EVENT_SCHEMA), out


def _with_event(dtype: np.dtype) -> np.dtype:
    """``dtype`` with the event column after the records' own, and their row
    (``record_row``) last where they have it."""
    own = [(n, dtype[n]) for n in _names(dtype) if n not in (EVENT_COLUMN[0], RECORD_ROW_COLUMN[0])]
    return np.dtype([*own, EVENT_COLUMN, *([RECORD_ROW_COLUMN] if RECORD_ROW_COLUMN[0] in _names(dtype) else [])])


class _ParquetOut(PublishedFile):
    """A Parquet file written under a temporary name beside it (with page
    checksums, as record files are) and given its name when complete; see
    _outputs for the checks made before any is created."""

    def __init__(self, path: Path, schema: pa.Schema, overwrite: bool) -> None:
        self.path, self.schema, self.overwrite = path, schema, overwrite
        self._tmp, self._finalizer = temporary_beside(path, self)
        self._open = True
        try:
            self.writer = pq.ParquetWriter(self._tmp, schema, write_page_checksum=True)
        except BaseException:
            self._finalizer()
            raise

    def write(self, batch: pa.RecordBatch) -> None:
        if batch.num_rows:
            self.writer.write_batch(batch)

    def _finish(self) -> None:
        self.writer.close()

    def _discard(self) -> None:
        self.writer.close()


def _outputs(events: Path, records_out: Path | None, overwrite: bool) -> None:
    """Refuses, before anything is read or written, outputs that cannot be
    written: not .parquet, in a directory that does not exist, a directory,
    an existing file without ``overwrite``, and both outputs naming one file
    (by any path: what was written first would be overwritten by, or
    interleaved with, the other). Removes what killed runs left of them."""
    paths = [events] if records_out is None else [events, records_out]
    for path in paths:
        if record_format(path) is not PARQUET:
            raise ValueError(f"{path}: events and records with events are written as {PARQUET.suffixes[0]} files")
        if not path.parent.is_dir():
            raise FileNotFoundError(f"{path}: the directory {path.parent} does not exist")
    if records_out is not None and (events.resolve() == records_out.resolve() or (
            events.exists() and records_out.exists() and os.path.samefile(events, records_out))):
        raise ValueError(f"{records_out}: the records with events and the event table ({events}) would be the "
                         "same file; give each its own name")
    for path in paths:
        prepare_record_file(path, overwrite)


def write_events(records: str | os.PathLike[str], events: str | os.PathLike[str], *, multiplicity: int,
                 window: float, records_out: str | os.PathLike[str] | None = None, overwrite: bool = False,
                 chunk: int | None = None) -> tuple[int, int]:
    """Finds the events of the records of ``records`` (a record file or a
    dataset directory, read in time order in bounded memory) and writes the
    event table to ``events`` (.parquet) and, with ``records_out``, the
    records in time order with their ``event`` column and their row in
    ``records`` (``record_row``: its row in the file, or in the dataset as
    ``read_records`` gives it, the row its links name) (.parquet). Gives
    the number of events and of records."""
    trigger = Trigger(multiplicity, window)
    _outputs(Path(events), None if records_out is None else Path(records_out), overwrite)
    metadata = dict(read_metadata(records), order="time",
                    events={"multiplicity": trigger.multiplicity, "window": trigger.window})
    with time_ordered(records, chunk, rows=records_out is not None) as (empty, chunks):
        key = time_column(empty.dtype)
        finder = EventFinder(trigger, key)
        outputs: list[_ParquetOut] = []
        try:
            outputs.append(_ParquetOut(Path(events), EVENT_SCHEMA.with_metadata(
                {"velmora": json.dumps(metadata).encode()}), overwrite))
            if records_out is not None:
                dtype = _with_event(empty.dtype)
                schema = _arrow_schema(dtype, metadata, model_of_dtype(dtype))
                outputs.append(_ParquetOut(Path(records_out), schema, overwrite))
            rows = _stream(finder, chunks, outputs)
            for out in outputs:
                out.close()
        except BaseException:
            for out in outputs:
                out.abort()  # nothing for those already closed
            raise
    return finder.next_id, rows


def _stream(finder: EventFinder, chunks: Iterator[Columns], outputs: list[_ParquetOut]) -> int:
    rows = 0
    for last, chunk in _with_last(chunks):
        done, found = finder.add(chunk, last)
        outputs[0].write(pa.RecordBatch.from_pylist(found, schema=EVENT_SCHEMA))
        if len(outputs) > 1 and done:
            outputs[1].write(arrow_batch(done, outputs[1].schema))
        rows += len(done.get("channel", ()))
    return rows


def _with_last(chunks: Iterator[Columns]) -> Iterator[tuple[bool, Columns]]:
    """The chunks, each with whether it is the last (an empty last chunk
    where there are none, so that what is pending is decided)."""
    previous: Columns | None = None
    for chunk in chunks:
        if previous is not None:
            yield False, previous
        previous = chunk
    if previous is not None:
        yield True, previous
