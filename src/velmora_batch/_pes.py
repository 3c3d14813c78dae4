"""PE input: a table of (channel, time) rows in any order, read from Parquet,
.npz or CSV, checked and grouped by channel; and the checks of a dark-noise
source and a channel selection."""

from __future__ import annotations

import math
import numbers
import os
import re
from collections.abc import Iterable
from pathlib import Path
from typing import Any, cast

import numpy as np
import numpy.typing as npt

CHANNEL_MAX = 2**31 - 1  # channels are 32-bit signed in the records
# Expected dark PEs of one channel: far beyond what one channel's times could
# take in memory (8 bytes each), well within what numpy's Poisson draw takes.
MAX_DARK_PES = 1e12


def _channels(values: Any, what: str) -> np.ndarray:
    """Channel numbers as int64: integers, or floats without a fraction, each
    in [0, 2**31 - 1]; ValueError naming the first bad value otherwise."""
    array = np.asarray(values)
    if array.dtype == object:
        try:
            array = array.astype(np.float64)
        except (TypeError, ValueError):
            raise ValueError(f"{what} must be integers") from None
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {array.shape}")
    if array.dtype.kind == "f":
        bad = ~np.isfinite(array) | (array != np.trunc(array))
        if bad.any():
            raise ValueError(f"{what} must be integers, got {array[bad][0].item()!r} at row {np.flatnonzero(bad)[0]}")
    elif array.dtype.kind not in "iu" and not (array.dtype.kind == "b" and array.size == 0):
        raise ValueError(f"{what} must be integers, got {array.dtype} values")
    bad = (array < 0) | (array > CHANNEL_MAX)
    if bad.any():
        raise ValueError(f"{what} must lie in [0, {CHANNEL_MAX}], got {array[bad][0]} at row {np.flatnonzero(bad)[0]}")
    return array.astype(np.int64)


class PETable:
    """PE arrival times per channel: ``channel`` (integers) and ``time``
    (seconds, finite), one row per PE, in any order.

    Raises ValueError for columns of different lengths, channels that are not
    integers in [0, 2**31 - 1] (floats with a fraction included) and times that
    are NaN or infinite.
    """

    channel: npt.NDArray[np.int64]
    time: npt.NDArray[np.float64]

    def __init__(self, channel: npt.ArrayLike, time: npt.ArrayLike) -> None:
        self.channel = _channels(channel, "PE channels")
        try:
            times = np.asarray(time, dtype=np.float64)
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

    def __len__(self) -> int:
        return len(self.time)

    def __repr__(self) -> str:
        return f"<PETable {len(self)} PEs in {len(np.unique(self.channel))} channels>"

    def grouped(self) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """The PEs grouped by channel: the distinct channels in increasing
        order, the start of each channel's times (one more entry than channels,
        the last the number of PEs) and the times, channel by channel. A stable
        sort, so each channel's times keep their input order."""
        order = np.argsort(self.channel, kind="stable")
        sorted_channels = self.channel[order]
        channels, first = np.unique(sorted_channels, return_index=True)
        starts = np.append(first, len(sorted_channels)).astype(np.int64)
        return channels.astype(np.int64), starts, self.time[order]


def read_pes(path: str | os.PathLike[str]) -> PETable:
    """Reads a PE table from a Parquet, .npz or CSV file with the columns (or
    arrays) ``channel`` and ``time``; other columns are ignored. A file that
    cannot be read as its suffix says is a ValueError naming it."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".npz":
        return _read_npz(path)
    if suffix in (".parquet", ".csv"):
        import pyarrow as pa
        import pyarrow.csv
        import pyarrow.parquet

        try:
            if suffix == ".parquet":
                names = pyarrow.parquet.read_schema(path).names
            else:
                table = pyarrow.csv.read_csv(path)
                names = table.column_names
            _check_names(names, str(path))
            if suffix == ".parquet":
                table = pyarrow.parquet.read_table(path, columns=["channel", "time"])
        except pa.ArrowException as e:
            # Arrow's messages may run over several lines (a schema dump): the first says what failed.
            first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
            raise ValueError(f"{path}: not a readable {suffix[1:]} file: {first}") from None
        return _from_arrow(table, str(path))
    raise ValueError(f"{path}: PE files must end in .parquet, .npz or .csv")


def _read_npz(path: Path) -> PETable:
    import zipfile

    try:
        # Opened here, so that the file is closed whatever numpy makes of it.
        with open(path, "rb") as f:
            if f.read(4) != b"PK\x03\x04":
                raise ValueError("not a zip archive of arrays (a file written by numpy.savez)")
            f.seek(0)
            with np.load(f, allow_pickle=False) as data:
                missing = [k for k in ("channel", "time") if k not in data.files]
                if missing:
                    raise ValueError(f"no array {' or '.join(map(repr, missing))} (found {', '.join(data.files)})")
                channel, time = data["channel"], data["time"]
    except (ValueError, EOFError, zipfile.BadZipFile) as e:
        raise ValueError(f"{path}: not a readable .npz file: {str(e) or type(e).__name__}") from None
    except OSError as e:
        raise ValueError(f"{path}: cannot read: {e.strerror or e}") from None
    return PETable(channel=channel, time=time)


def _check_names(names: list[str], where: str) -> None:
    missing = [k for k in ("channel", "time") if k not in names]
    if missing:
        raise ValueError(f"{where}: no column {' or '.join(map(repr, missing))} (found {', '.join(names)})")
    for name in ("channel", "time"):
        if names.count(name) > 1:
            raise ValueError(f"{where}: the column {name!r} appears {names.count(name)} times")


def _from_arrow(table: Any, where: str) -> PETable:
    import pyarrow as pa

    _check_names(table.column_names, where)
    for name in ("channel", "time"):
        column = table.column(name)
        if column.null_count:
            raise ValueError(f"{where}: column {name!r} has {column.null_count} missing values")
        if not (pa.types.is_integer(column.type) or pa.types.is_floating(column.type)):
            raise ValueError(f"{where}: column {name!r} must hold numbers, got {column.type}")
    return PETable(channel=table.column("channel").to_numpy(), time=table.column("time").to_numpy())


def pe_table_of(columns: Any) -> PETable:
    """A PE table from a table with columns ``channel`` and ``time`` that
    pyarrow takes: a pandas DataFrame, a pyarrow Table or RecordBatch, any
    object offering the Arrow stream interface, or a mapping of columns."""
    import pyarrow as pa

    try:
        table = pa.table(columns)
    except (TypeError, ValueError, pa.ArrowException) as e:
        raise TypeError(f"pes must be a PETable, a PE file or a table with columns channel and time, got "
                        f"{type(columns).__name__} ({str(e).splitlines()[0] if str(e) else 'not a table'})") from None
    return _from_arrow(table, f"PE table ({type(columns).__name__})")


def check_dark_noise(dark_rate: float | None, duration: float | None) -> None:
    """Checks a dark-noise source: both or neither given, a rate that is finite
    and not negative, a duration that is finite and greater than zero."""
    if (dark_rate is None) != (duration is None):
        raise ValueError("dark noise needs both a rate and a duration")
    if dark_rate is None:
        return
    if not (isinstance(dark_rate, numbers.Real) and math.isfinite(dark_rate) and dark_rate >= 0):
        raise ValueError(f"the dark rate must be a finite number not below zero, got {dark_rate!r}")
    if not (isinstance(duration, numbers.Real) and math.isfinite(duration) and duration > 0):
        raise ValueError(f"the duration must be a finite number greater than zero, got {duration!r}")
    if dark_rate * duration > MAX_DARK_PES:
        raise ValueError(f"dark_rate {dark_rate!r} Hz over a duration of {duration!r} s gives {dark_rate * duration:.3g} "
                         f"expected dark PEs per channel, more than the {MAX_DARK_PES:.0e} a run can hold; the rate "
                         "is in Hz (PEs per second), the duration in seconds")


def run_channels(pes: PETable | None, dark_rate: float | None, duration: float | None,
                 channels: str | Iterable[int] | npt.ArrayLike | None) -> npt.NDArray[np.int64]:
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
    selected = np.unique(pes.channel)
    if len(selected) == 0:
        raise ValueError("the PE table is empty and no channels are selected")
    return selected


_RANGE = re.compile(r"^\s*(\d+)\s*(?:-\s*(\d+)\s*)?$")


def parse_channels(channels: str | Iterable[int] | npt.ArrayLike) -> npt.NDArray[np.int64]:
    """A channel selection as sorted, distinct int64 channel numbers. Takes a
    ``range``, any integer sequence or array, or text such as ``0-1999`` or
    ``0-9,20,30-39`` (ranges include both ends). An empty selection, bad
    channel numbers and ranges that end before they start are errors."""
    if isinstance(channels, str):
        parts: list[np.ndarray] = []
        for item in channels.split(","):
            m = _RANGE.match(item)
            if not m:
                raise ValueError(f"channels {channels!r}: {item.strip()!r} is not a channel or a range like 0-1999")
            first = int(m.group(1))
            last = int(m.group(2)) if m.group(2) is not None else first
            if last < first:
                raise ValueError(f"channels {channels!r}: the range {item.strip()} ends before it starts")
            if last > CHANNEL_MAX:
                raise ValueError(f"channels {channels!r}: {last} is above {CHANNEL_MAX}")
            parts.append(np.arange(first, last + 1, dtype=np.int64))
        array = np.concatenate(parts)
    elif isinstance(channels, range):
        if channels.start < 0 or (len(channels) and max(channels[0], channels[-1]) > CHANNEL_MAX):
            raise ValueError(f"channels must lie in [0, {CHANNEL_MAX}], got {channels}")
        array = np.arange(channels.start, channels.stop, channels.step, dtype=np.int64)
    else:
        # Anything else must be iterable: list() raises TypeError otherwise.
        values = channels if hasattr(channels, "__array__") else list(cast(Iterable[int], channels))
        array = _channels(values, "channels")
    if len(array) == 0:
        raise ValueError("the channel selection is empty")
    return np.unique(array)
