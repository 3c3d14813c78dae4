"""PE input: a table of (channel, time) rows in any order, read from Parquet,
.npz or CSV, checked and grouped by channel; and the checks of a dark-noise
source and a channel selection."""

from __future__ import annotations

import glob
import hashlib
import math
import numbers
import os
import re
import shutil
import tempfile
import zipfile
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any, Protocol, cast

import numpy as np
import numpy.typing as npt
import pyarrow as pa

from ._errors import OptionError
from ._formats import FormatError
from ._channels import ChannelSet, channel_numbers, parse_channels
from ._publish import host_tag, process_exists
from .formats import Format, by_suffix, suffixes, suffixes_text

# Expected dark PEs of one channel: far beyond what one channel's times could
# take in memory (8 bytes each), well within what numpy's Poisson draw takes.
MAX_DARK_PES = 1e12


class UnusedPEColumnsWarning(UserWarning):
    """The PE table has columns besides channel and time that the run does
    not use: only a run with ``truth="links"`` passes them on, into the
    link of each record to its PEs."""


class PETable:
    """PE arrival times per channel: ``channel`` (integers) and ``time``
    (seconds, finite), one row per PE, in any order.

    Raises ValueError for columns of different lengths, channels that are not
    integers in [0, 2**31 - 1] (floats with a fraction included) and times that
    are NaN or infinite.

    ``extras``: the table's other columns (a pyarrow Table of as many rows),
    which a run with ``truth="links"`` passes into every link of an input
    PE; ``extra_names`` names the other columns the table came with, kept
    or not.
    """

    channel: npt.NDArray[np.int64]
    time: npt.NDArray[np.float64]
    extras: pa.Table | None
    extra_names: tuple[str, ...]

    def __init__(self, channel: npt.ArrayLike, time: npt.ArrayLike, *, extras: pa.Table | None = None) -> None:
        self.channel = channel_numbers(channel, "PE channels")
        times = np.asarray(time)
        # Complex values would lose their imaginary part, dates and durations their unit.
        if times.dtype.kind in "cmM":
            raise ValueError(f"PE times must be real numbers (seconds), got {times.dtype} values")
        try:
            times = np.asarray(times, dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError("PE times must be numbers") from None
        if times.ndim != 1:
            raise ValueError(f"PE times must be one-dimensional, got shape {times.shape}")
        if len(times) != len(self.channel):
            raise ValueError(f"PE table: {len(self.channel)} channels but {len(times)} times")
        bad = ~np.isfinite(times)
        if bad.any():
            row = np.flatnonzero(bad)[0]
            raise ValueError(f"PE times must be finite, got {times[row]} at row {row} (channel {self.channel[row]})")
        self.time = times
        if extras is not None and extras.num_rows != len(times):
            raise ValueError(f"PE table: {len(times)} PEs but {extras.num_rows} rows of other columns")
        self.extras = extras
        self.extra_names = () if extras is None else tuple(extras.column_names)

    def __len__(self) -> int:
        return len(self.time)

    def __repr__(self) -> str:
        return f"<PETable {len(self)} PEs in {len(np.unique(self.channel))} channels>"

    def grouped(self) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """The PEs grouped by channel: the distinct channels in increasing
        order, the start of each channel's times (one more entry than channels,
        the last the number of PEs) and the times, channel by channel. A stable
        sort, so each channel's times keep their input order."""
        g = GroupedPEs.of(self.channel, self.time)
        return g.channels, g.starts, g.times


_ROW = np.dtype([("channel", "<i8"), ("time", "<f8")])


class PEDigest:
    """A digest of PE rows (channel, time) fed in input order, in pieces of
    any size: the same rows give the same digest however they are cut."""

    def __init__(self) -> None:
        self._h = hashlib.sha256(b"pe-rows|")

    def update(self, channel: np.ndarray, time: np.ndarray) -> None:
        rows = np.empty(len(channel), _ROW)
        rows["channel"] = channel
        rows["time"] = time
        self._h.update(rows.tobytes())

    def hexdigest(self) -> str:
        return self._h.hexdigest()


class GroupedPEs:
    """PEs grouped by channel: the distinct channels in increasing order, the
    start of each channel's times (one more entry than channels) and the
    times, channel by channel, each channel's in input order. Where a run
    links records to PEs, also each PE's row in the input table (``rows``,
    int64) and the input table's other columns (``extras``, a pyarrow Table),
    aligned with the times; None otherwise."""

    def __init__(self, channels: np.ndarray, starts: np.ndarray, times: np.ndarray, rows: np.ndarray | None = None,
                 extras: pa.Table | None = None) -> None:
        self.channels = channels
        self.starts = starts
        self.times = times
        self.rows = rows
        self.extras = extras

    @classmethod
    def empty(cls, rows: bool = False, extras: pa.Schema | None = None) -> GroupedPEs:
        """No PEs; ``rows``: with (no) input rows, ``extras``: with (no) rows of these other columns."""
        return cls(np.zeros(0, np.int64), np.zeros(1, np.int64), np.zeros(0, np.float64),
                   np.zeros(0, np.int64) if rows else None, None if extras is None else extras.empty_table())

    @classmethod
    def of(cls, channel: np.ndarray, time: np.ndarray, rows: np.ndarray | None = None,
           extras: pa.Table | None = None) -> GroupedPEs:
        order = np.argsort(channel, kind="stable")
        sorted_channels = channel[order]
        channels, first = np.unique(sorted_channels, return_index=True)
        starts = np.append(first, len(sorted_channels)).astype(np.int64)
        return cls(channels.astype(np.int64), starts, time[order], None if rows is None else rows[order],
                   None if extras is None else extras.take(order))

    def block(self, first: int, last: int) -> GroupedPEs:
        """The PEs of the channels ``first`` to ``last`` (views)."""
        lo = int(np.searchsorted(self.channels, first))
        hi = int(np.searchsorted(self.channels, last, side="right"))
        starts = self.starts[lo : hi + 1]
        a, b = int(starts[0]), int(starts[-1])
        return GroupedPEs(self.channels[lo:hi], starts - starts[0], self.times[a:b],
                          None if self.rows is None else self.rows[a:b],
                          None if self.extras is None else self.extras.slice(a, b - a))

    def copy(self) -> GroupedPEs:
        # take() makes new buffers: a slice of the run's extras would carry all of them along.
        extras = None if self.extras is None else self.extras.take(np.arange(self.extras.num_rows))
        return GroupedPEs(self.channels.copy(), self.starts.copy(), self.times.copy(),
                          None if self.rows is None else self.rows.copy(), extras)

    def of_channels(self, channels: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """For each of ``channels`` (increasing), where its times start here
        and how many there are (0 for a channel without PEs)."""
        i = np.searchsorted(self.channels, channels)
        hit = i < len(self.channels)
        hit[hit] = self.channels[i[hit]] == channels[hit]
        first = np.where(hit, self.starts[np.minimum(i, len(self.starts) - 1)], 0)
        counts = np.where(hit, self.starts[np.minimum(i + 1, len(self.starts) - 1)] - first, 0)
        return first.astype(np.int64), counts.astype(np.int64)


class PESource(Protocol):
    """Where a run takes its PEs from, block by block."""

    count: int  # PEs of the selected channels
    earliest: float  # the earliest and latest time among them (0.0 for none)
    latest: float

    def block(self, first: int, last: int) -> GroupedPEs: ...

    def occupied_blocks(self, size: int) -> np.ndarray: ...

    def counts_of(self, channels: np.ndarray) -> np.ndarray: ...

    def digest(self) -> str: ...


class MemoryPEs:
    """The PEs of a run from a table in memory, grouped once; ``rows``: with
    each PE's row in the table and the table's other columns, for links."""

    def __init__(self, table: PETable, selection: ChannelSet, rows: bool = False) -> None:
        self._table = table
        self._selection = selection
        self.extra_names = table.extra_names
        self.grouped = GroupedPEs.of(table.channel, table.time, np.arange(len(table), dtype=np.int64) if rows else None,
                                     table.extras if rows else None)
        g = self.grouped
        selected = selection.contains(g.channels)
        counts = np.diff(g.starts)
        self.count = int(counts[selected].sum())
        self.earliest = self.latest = 0.0  # the range of the selected PEs' times
        if self.count:
            times = g.times[np.repeat(selected, counts)]
            self.earliest, self.latest = float(times.min()), float(times.max())
        self._digest: str | None = None

    def block(self, first: int, last: int) -> GroupedPEs:
        return self.grouped.block(first, last)

    def occupied_blocks(self, size: int) -> np.ndarray:
        """The blocks of ``size`` selected channels that hold PEs, by index."""
        g = self.grouped
        channels = g.channels[self._selection.contains(g.channels) & (np.diff(g.starts) > 0)]
        return np.unique(self._selection.rank(channels) // size)

    def counts_of(self, channels: np.ndarray) -> np.ndarray:
        """The PEs of each of ``channels`` (selected, increasing)."""
        return self.grouped.of_channels(channels)[1]

    def digest(self) -> str:
        if self._digest is None:
            d = PEDigest()
            step = 1 << 20
            for lo in range(0, len(self._table), step):
                ch = self._table.channel[lo : lo + step]
                keep = self._selection.contains(ch)
                d.update(ch[keep], self._table.time[lo : lo + step][keep])
            self._digest = d.hexdigest()
        return self._digest


# Rows per batch when a PE file is read in pieces.
_BATCH_ROWS = 1 << 18
_SPILL_ROW = np.dtype([("channel", "<i4"), ("time", "<f8")])
# A row split for a run that links records to PEs: with its row in the input file.
_SPILL_ROW_LINKED = np.dtype([("channel", "<i4"), ("time", "<f8"), ("row", "<i8")])
_MAX_OPEN_SPILLS = 256

# A PE file split by block goes into a directory named
# ".velmora-pes-<pid>-<host>-<output name>-<random>", holding only
# "<block>.rows" files (and, for links, the other columns of the block's rows
# as Arrow streams "<block>.<n>.extra"): like the temporary files of record files, the name
# tells whether its process still runs on this host and whose output it
# serves, so that the next run of that output can remove what a killed run
# left. Directories named otherwise, or holding anything else, are left alone.
_SPILL_DIR_RE = re.compile(r"\.velmora-pes-(\d+)-([0-9a-f]{8})-(.+)-[a-z0-9_]{8}")
_SPILL_FILE_RE = re.compile(r"\d+\.rows|\d+\.\d+\.extra")


def _spill_prefix(name: str) -> str:

    return f".velmora-pes-{os.getpid()}-{host_tag()}-{name}-"


def remove_stale_spills(output: str | os.PathLike[str]) -> list[Path]:
    """Removes the split-PE directories of ``output`` left next to it by runs
    that no longer exist (a process of this host that has ended). Gives the
    directories removed."""


    output = Path(output).absolute()
    removed = []
    mine = host_tag()
    for leftover in output.parent.glob(f".velmora-pes-*-{glob.escape(output.name)}-*"):
        match = _SPILL_DIR_RE.fullmatch(leftover.name)
        if (match is None or match.group(3) != output.name or match.group(2) != mine
                or process_exists(int(match.group(1))) or leftover.is_symlink() or not leftover.is_dir()):
            continue
        try:
            files = list(leftover.iterdir())
            if not all(_SPILL_FILE_RE.fullmatch(f.name) and f.is_file() and not f.is_symlink() for f in files):
                continue
            for f in files:
                f.unlink(missing_ok=True)
            leftover.rmdir()
        except OSError:  # another user's, or removed meanwhile
            continue
        removed.append(leftover)
    return removed


def iter_pes(path: str | os.PathLike[str], key: str | None = None, extras: bool = False) -> Iterator[PETable]:
    """The rows of a PE file in input order, as checked tables of a few
    hundred thousand rows each, read in pieces; ``extras``: each with the
    file's other columns. A file that cannot be read so is read whole by
    ``read_pes``, whose error names what is wrong. ``key`` names the tree or
    table of a ROOT or HDF5 file."""
    path = Path(path)
    found = _pe_format(path, key)
    if found is None:
        yield read_pes(path)
    else:
        yield from found.pe_tables(path, key, extras)


def _pe_format(path: Path, key: str | None) -> Format | None:
    """The format of the PE file ``path`` by its suffix (None for a suffix
    of no format PE tables are read from); refuses a ``key`` for a format
    whose files hold one table."""
    found = by_suffix(path.suffix.lower())
    found = found if found is not None and found.pes else None
    if key is not None and (found is None or not found.keyed):
        raise ValueError(f"{path}: a PE key names a tree of a ROOT file or a table of an HDF5 file; "
                         f"a {path.suffix or 'suffixless'} file has none")
    return found


def batch_rows() -> int:
    """The rows of a piece of a PE table read in pieces."""
    return _BATCH_ROWS


def iter_tables(path: Path, pieces: Iterator[pa.Table], extras: bool = False) -> Iterator[PETable]:
    """The rows of a PE table that ``pieces`` reads (as Arrow tables), checked."""
    row = 0
    for table in pieces:
        yield checked_piece(lambda: from_arrow(table, str(path), extras), path, row)
        row += table.num_rows


# Columns that pandas adds for a DataFrame's index when it becomes a pyarrow table: no column of the PE table.
_PANDAS_INDEX = re.compile(r"__index_level_\d+__")


def other_names(names: Iterable[str]) -> list[str]:
    """The names of a PE table's columns besides channel and time."""
    return [n for n in names if n not in ("channel", "time") and not _PANDAS_INDEX.fullmatch(n)]


def extra_column_names(path: str | os.PathLike[str], key: str | None = None) -> tuple[str, ...]:
    """The columns of a PE file besides channel and time, from its schema
    (the first rows of a CSV, ROOT or HDF5 file); () where it cannot be read
    so."""
    path = Path(path)
    try:
        found = _pe_format(path, key)
        return () if found is None else found.pe_extra_names(path, key)
    except (OSError, ValueError, zipfile.BadZipFile, pa.ArrowException):
        return ()


def first_extra_names(path: Path, key: str | None) -> tuple[str, ...]:
    """The other columns of a PE table as its first piece names them."""
    first = next(iter_pes(path, key), None)
    return () if first is None else first.extra_names


def checked_piece(make: Any, path: Path, row: int) -> PETable:
    try:
        return cast(PETable, make())
    except ValueError as e:
        text = str(e)
        if row and not text.startswith(str(path)):
            text = f"{text} (counting from row {row} of the file)"
        raise ValueError(text if text.startswith(str(path)) else f"{path}: {text}") from None


class _SpillFiles:
    """The open files of a PE file being split by block, at most
    ``_MAX_OPEN_SPILLS`` blocks' at once: each block's rows appended to
    ``<block>.rows``, their other columns to an Arrow stream
    ``<block>.<n>.extra``, a new stream each time a block's files reopen."""

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        self.rows: dict[int, Any] = {}
        self.extras: dict[int, tuple[Any, Any]] = {}  # the stream writer and its file
        self.streams: dict[int, int] = {}  # the streams made for each block so far

    def write(self, block: int, rows: bytes, extras: pa.Table | None) -> None:
        f = self.rows.get(block)
        if f is None:
            if len(self.rows) >= _MAX_OPEN_SPILLS:
                self.close()
            f = self.rows[block] = open(self.directory / f"{block}.rows", "ab", buffering=1 << 16)
        f.write(rows)
        if extras is None:
            return
        if block not in self.extras:
            n = self.streams[block] = self.streams.get(block, -1) + 1
            sink = pa.OSFile(str(self.directory / f"{block}.{n}.extra"), "wb")
            self.extras[block] = (pa.ipc.new_stream(sink, extras.schema), sink)
        self.extras[block][0].write_table(extras)

    def close(self) -> None:
        for f in self.rows.values():
            f.close()
        for writer, sink in self.extras.values():
            writer.close()
            sink.close()
        self.rows.clear()
        self.extras.clear()


def _read_stream(path: Path) -> pa.Table:
    with pa.OSFile(str(path), "rb") as f:
        return pa.ipc.open_stream(f).read_all()


class FilePEs:
    """The PEs of a run read from a file in pieces, never held whole. A
    first pass checks every row and takes the count, time range and digest
    of the selected PEs (and the table's channels when none are selected);
    before the run, a second pass splits the selected rows by block into
    temporary files, each block's rows in input order, so that a block reads
    only its own rows."""

    def __init__(self, path: str | os.PathLike[str], selection: ChannelSet | None, key: str | None = None,
                 rows: bool = False, counted: np.ndarray | None = None) -> None:
        self.path = Path(path)
        self.key = key
        self.rows = rows  # split each row's input row and other columns along, for links
        # The channels (increasing) whose PEs the first pass counts one by one.
        self._counted = np.zeros(0, np.int64) if counted is None else np.asarray(counted, np.int64)
        self._counts = np.zeros(len(self._counted), np.int64)
        digest = PEDigest()
        count = 0
        earliest, latest = math.inf, -math.inf
        found = np.zeros(0, np.int64)
        for table in iter_pes(self.path, self.key):
            ch, t = table.channel, table.time
            if selection is None:
                found = np.union1d(found, np.unique(ch))
            else:
                keep = selection.contains(ch)
                ch, t = ch[keep], t[keep]
            digest.update(ch, t)
            count += len(t)
            self._count(ch)
            if len(t):
                earliest, latest = min(earliest, float(t.min())), max(latest, float(t.max()))
        self.selection = selection if selection is not None else ChannelSet.of(found)
        self.count = count
        self.earliest, self.latest = (earliest, latest) if count else (0.0, 0.0)
        self._digest = digest.hexdigest()
        self._directory: Path | None = None
        self._size = 0
        self._blocks = np.zeros(0, np.int64)
        self.extra_names = extra_column_names(self.path, key)
        # The other columns as the links carry them: the types of the file's first piece.
        # Read also where no other column was named: the first piece with its
        # other columns checks them (an HDF5 group's datasets, say).
        first = next(iter_pes(self.path, key, extras=True), None) if rows else None
        self.extras_schema = None if first is None or first.extras is None else first.extras.schema

    def _count(self, channels: np.ndarray) -> None:
        if not len(self._counted):
            return
        i = np.minimum(np.searchsorted(self._counted, channels), len(self._counted) - 1)
        hit = self._counted[i] == channels
        self._counts += np.bincount(i[hit], minlength=len(self._counted))

    def counts_of(self, channels: np.ndarray) -> np.ndarray:
        """The PEs of each of ``channels``, which the first pass counted."""
        i = np.searchsorted(self._counted, channels)
        if not np.all(i < len(self._counted)) or not np.array_equal(self._counted[i], channels):
            raise ValueError("the PE file's first pass did not count these channels")
        return self._counts[i]

    def digest(self) -> str:
        return self._digest

    def spill(self, size: int, output: str | os.PathLike[str] | None) -> None:
        """Splits the selected rows into one temporary file per block of
        ``size`` channels, in a new directory next to ``output`` (None: in the
        system's temporary directory)."""

        where, name = (None, "records") if output is None else (Path(output).absolute().parent,
                                                                 Path(output).absolute().name)
        self._directory = Path(tempfile.mkdtemp(prefix=_spill_prefix(name), dir=where))
        self._size = size
        files = _SpillFiles(self._directory)
        try:
            offset = 0  # the input row of the piece's first row
            for table in iter_pes(self.path, self.key, extras=self.extras_schema is not None):
                keep = self.selection.contains(table.channel)
                ch, t = table.channel[keep], table.time[keep]
                offset += len(table)
                if not len(ch):
                    continue
                block = self.selection.rank(ch) // size
                order = np.argsort(block, kind="stable")  # each block's rows stay in input order
                rows = np.empty(len(ch), _SPILL_ROW_LINKED if self.rows else _SPILL_ROW)
                rows["channel"] = ch[order]
                rows["time"] = t[order]
                taken = np.flatnonzero(keep)[order]
                if self.rows:
                    rows["row"] = taken + (offset - len(table))
                extras = None if table.extras is None else table.extras.take(taken)
                blocks, starts = np.unique(block[order], return_index=True)
                ends = np.append(starts[1:], len(rows))
                for b, lo, hi in zip(blocks.tolist(), starts.tolist(), ends.tolist(), strict=True):
                    files.write(b, rows[lo:hi].tobytes(), None if extras is None else extras.slice(lo, hi - lo))
        except BaseException:
            files.close()
            self.close()
            raise
        files.close()
        self._blocks = np.sort(np.asarray([int(p.stem) for p in self._directory.glob("*.rows")], np.int64))

    def block(self, first: int, last: int) -> GroupedPEs:
        if self._directory is None:
            raise RuntimeError("the PE file has not been split into blocks")
        b = int(self.selection.rank(np.asarray([first]))[0]) // self._size
        file = self._directory / f"{b}.rows"
        if not file.exists():
            return GroupedPEs.empty(self.rows, self.extras_schema)
        rows = np.fromfile(file, _SPILL_ROW_LINKED if self.rows else _SPILL_ROW)
        extras = None
        if self.extras_schema is not None:
            streams = sorted(self._directory.glob(f"{b}.*.extra"), key=lambda p: int(p.name.split(".")[1]))
            extras = pa.concat_tables([_read_stream(p) for p in streams]) if streams else None
        return GroupedPEs.of(rows["channel"].astype(np.int64), rows["time"].copy(),
                             rows["row"].copy() if self.rows else None, extras)

    def occupied_blocks(self, size: int) -> np.ndarray:
        if self._directory is None or size != self._size:
            raise RuntimeError("the PE file has not been split into blocks of this size")
        return self._blocks

    def close(self) -> None:
        """Removes the temporary files of the blocks."""

        if self._directory is not None:
            shutil.rmtree(self._directory, ignore_errors=True)
            self._directory = None


def read_pes(path: str | os.PathLike[str], key: str | None = None) -> PETable:
    """Reads a PE table from a Parquet, .npz or CSV file with the columns (or
    arrays) ``channel`` and ``time``, or from a ROOT file (a TTree with
    branches ``channel`` and ``time``; ``pip install 'velmora[root]'``) or an
    HDF5 file (a compound dataset with fields ``channel`` and ``time``, or a
    group of datasets so named; ``pip install 'velmora[hdf5]'``); other
    columns are ignored. ``key`` names the tree or HDF5 table; without it,
    the file's only one. A file that cannot be read as its suffix says is a
    ValueError naming it."""
    path = Path(path)
    found = _pe_format(path, key)
    if found is None:
        raise ValueError(f"{path}: PE files must end in {suffixes_text(suffixes(pes=True))}")
    table = found.read_pes(path, key)
    if not isinstance(table, PETable):
        raise TypeError(f"format {found.name}: read_pes gave a {type(table).__name__}, not a PETable")
    return table


def read_arrow_pes(path: Path, names: Callable[[Path], list[str]], read: Callable[[Path], pa.Table],
                   others: bool) -> PETable:
    """The PE table of a file of columns: ``names`` gives its columns'
    names, ``read`` its columns channel and time; ``others``: the table
    carries the names of its other columns."""
    try:
        all_names = names(path)
        check_names(all_names, str(path))
        table = read(path)
    except pa.ArrowException as e:
        # Arrow's messages may run over several lines (a schema dump): the first says what failed.
        first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        raise ValueError(f"{path}: not a readable {path.suffix.lower()[1:]} file: {first}") from None
    pes = from_arrow(table, str(path))
    if others:
        pes.extra_names = tuple(other_names(all_names))
    return pes


def read_tables(path: Path, pieces: Iterator[pa.Table]) -> PETable:
    """The PE table that ``pieces`` reads from a ROOT or HDF5 file, whole."""
    tables = list(pieces)
    try:
        return from_arrow(pa.concat_tables(tables), str(path))
    except FormatError:
        raise
    except ValueError as e:
        text = str(e)
        raise ValueError(text if text.startswith(str(path)) else f"{path}: {text}") from None


def check_names(names: list[str], where: str) -> None:
    missing = [k for k in ("channel", "time") if k not in names]
    if missing:
        raise ValueError(f"{where}: no column {' or '.join(map(repr, missing))} (found {', '.join(names)})")
    for name in ("channel", "time"):
        if names.count(name) > 1:
            raise ValueError(f"{where}: the column {name!r} appears {names.count(name)} times")


def from_arrow(table: Any, where: str, extras: bool = False) -> PETable:
    """A checked PE table of the columns channel and time of an Arrow table;
    ``extras``: with its other columns, else only with their names."""
    check_names(table.column_names, where)
    for name in ("channel", "time"):
        column = table.column(name)
        if column.null_count:
            raise ValueError(f"{where}: column {name!r} has {column.null_count} missing values")
        if not (pa.types.is_integer(column.type) or pa.types.is_floating(column.type)):
            raise ValueError(f"{where}: column {name!r} must hold numbers, got {column.type}")
    others = other_names(table.column_names)
    pes = PETable(channel=table.column("channel").to_numpy(), time=table.column("time").to_numpy(),
                  extras=table.select(others) if extras and others else None)
    pes.extra_names = tuple(others)
    return pes


def pe_table_of(columns: Any, extras: bool = False) -> PETable:
    """A PE table from a table with columns ``channel`` and ``time`` that
    pyarrow takes: a pandas DataFrame, a pyarrow Table or RecordBatch, any
    object offering the Arrow stream interface, or a mapping of columns;
    ``extras``: with its other columns, else only with their names."""

    try:
        # A Table or RecordBatch is taken as it is: pa.table() would pass it
        # through the C data interface, which cuts a name at a NUL character.
        table = (columns if isinstance(columns, pa.Table) else pa.Table.from_batches([columns])
                 if isinstance(columns, pa.RecordBatch) else pa.table(columns))
    except (TypeError, ValueError, pa.ArrowException) as e:
        raise TypeError(f"pes must be a PETable, a PE file or a table with columns channel and time, got "
                        f"{type(columns).__name__} ({str(e).splitlines()[0] if str(e) else 'not a table'})") from None
    return from_arrow(table, f"PE table ({type(columns).__name__})", extras)


def check_dark_noise(dark_rate: float | None, duration: float | None) -> None:
    """Checks a dark-noise source: both or neither given, a rate that is finite
    and not negative, a duration that is finite and greater than zero."""
    if (dark_rate is None) != (duration is None):
        raise ValueError("dark noise needs both a rate and a duration")
    if dark_rate is None:
        return
    if not (isinstance(dark_rate, numbers.Real) and math.isfinite(dark_rate) and dark_rate >= 0):
        raise OptionError("dark_rate", "{dark_rate.prose} must be a finite number not below zero, got {value!r}",
                          value=dark_rate)
    if not (isinstance(duration, numbers.Real) and math.isfinite(duration) and duration > 0):
        raise OptionError("duration", "{duration.prose} must be a finite number greater than zero, got {value!r}",
                          value=duration)
    if dark_rate * duration > MAX_DARK_PES:
        raise OptionError("dark_rate", "{dark_rate} {rate!r} Hz over a duration of {length!r} s gives {pes:.3g} "
                          "expected dark PEs per channel, more than the {most:.0e} a run can hold; the rate is in Hz "
                          "(PEs per second), the duration in seconds", rate=dark_rate, length=duration,
                          pes=dark_rate * duration, most=MAX_DARK_PES)


def run_channels(pes: PETable | None, dark_rate: float | None, duration: float | None,
                 channels: str | Iterable[int] | npt.ArrayLike | ChannelSet | None) -> ChannelSet:
    """Checks the sources of a run and gives the channels it simulates, sorted
    and distinct: the selection if one is given (PEs of other channels are
    left out), else the channels of the PE table. Dark noise without a PE table
    needs a selection; a run needs a PE table or dark noise."""
    check_dark_noise(dark_rate, duration)
    if pes is None and dark_rate is None:
        raise ValueError("nothing to simulate: give a PE table and/or a dark rate and duration")
    if channels is not None:
        return parse_channels(channels)
    if pes is None:
        raise ValueError("dark noise needs a channel selection")
    selected = ChannelSet.of(pes.channel)
    if len(selected) == 0:
        raise ValueError("the PE table is empty and no channels are selected")
    return selected
