"""Records in time order across channels, in bounded memory.

A run's blocks come out in channel order. Time order across channels is made
by a merge: each block (a dataset's part, a record file's row group, or a
block as it finishes) is sorted by (time, channel) on its own and, where the
run does not fit in memory, spilled to a temporary Parquet file beside the
output; a k-way merge then reads every sorted run a chunk at a time. Memory
holds one block while sorting, and then (runs x chunk) records, never the
whole run.

Time is the model's time column (``time_ns`` for ZozuvUza, ``time`` for
MultiPMT); records of equal time are in channel order, and records of one
channel keep their order."""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from ._dataset import read_dataset_parts
from ._formats import open_record_pieces
from ._publish import temp_prefix
from ._records import RECORD_ROW_COLUMN, Columns, _arrow_schema, _names, model_of_dtype
from ._tables import by_time, time_column
from .formats import record_format
from .formats.parquet import FORMAT as PARQUET
from .formats.reading import read_metadata

ORDERS = ("channel", "time")
# Records per chunk that the merge reads from each sorted run, at most.
CHUNK = 1 << 16
# What the chunks of the runs merged at once may hold, in bytes: with many
# runs, each is read in smaller chunks (of at least _LEAST_CHUNK records).
MERGE_BYTES = 32 << 20
_LEAST_CHUNK = 256
# Records per row group of a spilled run.
SPILL_ROW_GROUP = 8192
# At most this many spilled runs are merged at once (each holds an open file
# and a chunk); more are first merged in groups into longer runs.
FAN_IN = 64


def check_order(order: str) -> str:
    if order not in ORDERS:
        raise ValueError(f"order must be 'channel' or 'time', got {order!r}")
    return order


def _table_columns(table: pa.Table | pa.RecordBatch, dtype: np.dtype) -> Columns:
    out: Columns = {}
    for name in _names(dtype):
        column = table.column(name)
        if isinstance(column, pa.ChunkedArray):
            column = column.combine_chunks()
        if isinstance(column, pa.FixedSizeListArray):
            out[name] = column.flatten().to_numpy().reshape(len(column), column.type.list_size)
        else:
            out[name] = column.to_numpy(zero_copy_only=False).astype(dtype[name].base, copy=False)
    return out


def arrow_batch(columns: Columns, schema: pa.Schema) -> pa.RecordBatch:
    """Records as columns made into an Arrow record batch of ``schema``."""
    arrays = []
    for field in schema:
        values = np.ascontiguousarray(columns[field.name])
        if values.ndim == 2:
            arrays.append(pa.FixedSizeListArray.from_arrays(pa.array(values.reshape(-1)), type=field.type))
        else:
            arrays.append(pa.array(values, type=field.type))
    return pa.RecordBatch.from_arrays(arrays, schema=schema)


def _take(columns: Columns, lo: int, hi: int) -> Columns:
    return {name: values[lo:hi] for name, values in columns.items()}


def _joined(pieces: list[Columns]) -> Columns:
    return {name: np.concatenate([p[name] for p in pieces]) for name in pieces[0]}


def _before_or_at(columns: Columns, key: str, bound: tuple[Any, Any]) -> int:
    """How many of the leading records (sorted by (time, channel)) are at or before ``bound``."""
    t, c = columns[key], columns["channel"]
    at_or_before = (t < bound[0]) | ((t == bound[0]) & (c <= bound[1]))
    return int(np.count_nonzero(at_or_before))


def merge(runs: list[Iterator[Columns]], key: str) -> Iterator[Columns]:
    """A k-way merge of ``runs``, each giving its records in (time, channel)
    order a chunk at a time, into one (time, channel) order, a chunk at a
    time. Each round takes from every run the records up to the smallest of
    their chunks' last records, so that the run holding it is used up and
    read further: at most one chunk per run is held."""
    sources: list[Iterator[Columns] | None] = list(runs)
    held: list[Columns | None] = [None] * len(sources)
    while True:
        for i in range(len(sources)):
            while held[i] is None and (source := sources[i]) is not None:
                chunk = next(source, None)
                if chunk is None:
                    sources[i] = None  # used up
                elif len(chunk["channel"]):
                    held[i] = chunk
        live = [chunk for chunk in held if chunk is not None]
        if not live:
            return
        bound = min((chunk[key][-1], chunk["channel"][-1]) for chunk in live)
        taken = []
        for i, chunk in enumerate(held):
            if chunk is None:
                continue
            n = _before_or_at(chunk, key, bound)
            taken.append(_take(chunk, 0, n))
            held[i] = _take(chunk, n, len(chunk["channel"])) if n < len(chunk["channel"]) else None
        yield by_time(_joined(taken), key)


class SortedRuns:
    """Blocks of records, each sorted by time and spilled to a temporary
    Parquet file beside ``near`` (named as velmora's temporary files are, so
    that a killed run's are removed by the next run of the same output)."""

    def __init__(self, near: Path, dtype: np.dtype) -> None:
        self.near = near
        self.dtype = dtype
        self.key = time_column(dtype)
        self.schema = _arrow_schema(dtype, {}, model_of_dtype(dtype))
        self.paths: list[Path] = []

    def _spill(self) -> Path:
        fd, name = tempfile.mkstemp(dir=self.near.parent, prefix=temp_prefix(self.near.name), suffix=".part")
        os.close(fd)
        self.paths.append(Path(name))
        return Path(name)

    def add(self, columns: Columns) -> None:
        if not len(columns["channel"]):
            return
        path = self._spill()
        # Small row groups: reading a run a chunk at a time holds one row group of it.
        pq.write_table(pa.Table.from_batches([arrow_batch(by_time(columns, self.key), self.schema)]), path,
                       row_group_size=SPILL_ROW_GROUP)

    def chunk(self, runs: int, chunk: int | None = None) -> int:
        """Records per chunk when ``runs`` runs are merged at once: ``chunk``,
        or as many as keep their chunks within MERGE_BYTES."""
        if chunk is not None:
            return chunk
        return int(min(CHUNK, max(_LEAST_CHUNK, MERGE_BYTES // max(1, runs * self.dtype.itemsize))))

    def merged(self, chunk: int | None = None) -> Iterator[Columns]:
        """Every record added, in (time, channel) order, a chunk at a time;
        more than FAN_IN runs are first merged FAN_IN at a time."""
        while len(self.paths) > FAN_IN:
            group = self.paths[:FAN_IN]
            target = self._spill()
            size = self.chunk(len(group), chunk)
            with pq.ParquetWriter(target, self.schema) as writer:
                for piece in merge([_file_chunks(path, self.dtype, size) for path in group], self.key):
                    writer.write_batch(arrow_batch(piece, self.schema), row_group_size=SPILL_ROW_GROUP)
            for path in group:
                path.unlink()
            self.paths = self.paths[FAN_IN:]
        size = self.chunk(len(self.paths), chunk)
        return merge([_file_chunks(path, self.dtype, size) for path in self.paths], self.key)

    def close(self) -> None:
        for path in self.paths:
            path.unlink(missing_ok=True)
        self.paths = []


def _file_chunks(path: Path, dtype: np.dtype, chunk: int) -> Iterator[Columns]:
    """The records of a Parquet file, read a few row groups at a time (about
    ``chunk`` records): pyarrow's batch reader would hold all of a file."""
    file = pq.ParquetFile(path)
    groups = file.metadata.num_row_groups
    rows = max(1, file.metadata.num_rows // max(1, groups))
    step = max(1, chunk // rows)
    for first in range(0, groups, step):
        table = file.read_row_groups(list(range(first, min(first + step, groups))), columns=list(_names(dtype)),
                                     use_threads=False)
        yield _table_columns(table, dtype)


def _blocks_of(path: Path) -> tuple[np.dtype, Iterator[Columns]]:
    """The records of a record file or dataset a block at a time: a
    dataset's parts (each checked), a file's pieces of bounded size."""
    if path.is_dir():
        return read_dataset_parts(path)
    pieces = open_record_pieces(path)

    def blocks() -> Iterator[Columns]:
        try:
            yield from pieces
        finally:
            pieces.close()

    return pieces.dtype, blocks()


def read_record_file_dtype(path: Path) -> np.dtype:
    """The record dtype of a record file (reading no record)."""
    with open_record_pieces(path) as pieces:
        return pieces.dtype


def with_rows(dtype: np.dtype) -> np.dtype:
    """``dtype`` with the record_row column (at the end, unless it has one)."""
    if RECORD_ROW_COLUMN[0] in _names(dtype):
        return dtype
    return np.dtype([*((n, dtype[n]) for n in _names(dtype)), RECORD_ROW_COLUMN])


def _numbered(chunks: Iterator[Columns]) -> Iterator[Columns]:
    """The chunks, each record with its row counted over all of them."""
    row = 0
    for chunk in chunks:
        n = len(chunk["channel"])
        yield dict(chunk, **{RECORD_ROW_COLUMN[0]: np.arange(row, row + n, dtype=np.int64)})
        row += n


@contextlib.contextmanager
def time_ordered(path: str | os.PathLike[str], chunk: int | None = None,
                 rows: bool = False) -> Iterator[tuple[np.ndarray, Iterator[Columns]]]:
    """The records of a record file or dataset directory in (time, channel)
    order, a chunk at a time, in bounded memory: a file written in time order
    is read as it is, anything else sorted a block at a time, spilled beside
    it (or in the system's temporary directory where that cannot be written)
    and merged. Gives the records' dtype (as an empty array) and the chunks.
    ``rows``: each record with its row as ``read_records`` gives the records
    (``record_row``, replacing one the records have), the row links name."""
    path = Path(path)
    in_time_order = read_metadata(path).get("order") == "time"
    if in_time_order and not path.is_dir() and record_format(path) is PARQUET:
        dtype = read_record_file_dtype(path)
        chunks = _file_chunks(path, dtype, chunk or CHUNK)
        yield (np.zeros(0, with_rows(dtype)), _numbered(chunks)) if rows else (np.zeros(0, dtype), chunks)
        return
    dtype, blocks = _blocks_of(path)
    # A dataset in time order is read back in time order; anything else in the order it is stored.
    number_blocks = rows and not (in_time_order and path.is_dir())
    spill_dir = path.parent if os.access(path.parent, os.W_OK) else Path(tempfile.gettempdir())
    runs = SortedRuns(spill_dir / (path.name or "records"), with_rows(dtype) if number_blocks else dtype)
    try:
        for block in _numbered(blocks) if number_blocks else blocks:
            runs.add(block)
        merged = runs.merged(chunk)
        yield np.zeros(0, with_rows(dtype) if rows else dtype), (_numbered(merged) if rows and not number_blocks
                                                                  else merged)
    finally:
        runs.close()
