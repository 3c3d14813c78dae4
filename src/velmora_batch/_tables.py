"""Reading part of a record file, and records as a pandas DataFrame.

Each format reads a selection of columns and channels as it can (a Parquet
file only the columns asked for and the row groups whose channel statistics
may hold a selected channel, see formats.parquet); here are what they share:
the selection's dtype, selecting from records read whole, and selecting from
a file read in pieces a piece at a time."""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ._channels import ChannelSet, parse_channels
from ._formats import open_record_pieces
from ._models import MODELS
from ._records import Columns, _names
from .formats import record_format, suffixes_text

Channels = str | Iterable[int] | npt.ArrayLike | ChannelSet


def selection(channels: Channels | None) -> ChannelSet | None:
    """A channel selection as ``run`` takes it (``"0-9,20"``, a range, an
    array), or None for every channel."""
    return None if channels is None else parse_channels(channels)


def overlaps(selected: ChannelSet, first: int, last: int) -> bool:
    """Whether any of the channels ``first`` to ``last`` is selected."""
    i = int(np.searchsorted(selected.starts, last, side="right")) - 1
    return i >= 0 and int(selected.stops[i]) > first


def selected_dtype(dtype: np.dtype, columns: Sequence[str] | None, where: object) -> np.dtype:
    """The record dtype ``dtype`` with only ``columns``, in the order given."""
    if columns is None:
        return dtype
    if isinstance(columns, str):
        raise TypeError(f"{where}: columns must be a list of column names, not the string {columns!r}")
    names = _names(dtype)
    unknown = [c for c in columns if c not in names]
    if unknown:
        raise ValueError(f"{where}: no column {unknown[0]!r}; the records have {', '.join(names)}")
    if len(set(columns)) != len(columns):
        raise ValueError(f"{where}: a column is named twice in {list(columns)}")
    return np.dtype([(name, dtype[name]) for name in columns])


def select(records: np.ndarray, columns: Sequence[str] | None, channels: ChannelSet | None,
           where: object) -> np.ndarray:
    """The records of ``channels`` with only ``columns``, from records in memory."""
    dtype = selected_dtype(records.dtype, columns, where)
    if channels is not None:
        records = records[channels.contains(records["channel"])]
    if columns is None:
        return records
    out = np.empty(len(records), dtype)
    for name in _names(dtype):
        out[name] = records[name]
    return out


def read_selected(path: str | os.PathLike[str], columns: Sequence[str] | None = None,
                  channels: ChannelSet | None = None) -> np.ndarray:
    """The records of the record file ``path`` of ``channels`` (None: all),
    with only ``columns`` (None: all): from a Parquet file, only those
    columns and the row groups that may hold those channels are read."""
    path = Path(path)
    found = record_format(path)
    if found is None:
        raise ValueError(f"{path}: record files must end in {suffixes_text()}")
    return found.read_records(path, columns, channels)


def read_pieces(path: Path, columns: Sequence[str] | None, channels: ChannelSet | None) -> np.ndarray:
    """The records of a file read in pieces (ROOT, HDF5), a piece at a time and only
    the columns asked for (and the channel, to select by), each piece's
    rows of other channels dropped as it comes."""
    with open_record_pieces(path) as pieces:
        dtype = selected_dtype(pieces.dtype, columns, path)
        names = list(_names(dtype))
        read = names + (["channel"] if "channel" not in names and (channels is not None or not names) else [])
        kept = []
        for piece in pieces.columns(read):
            rows = channels.contains(piece["channel"]) if channels is not None else slice(None)
            part = np.empty(len(piece[read[0]][rows]), dtype)
            for name in names:
                part[name] = piece[name][rows]
            kept.append(part)
    return np.concatenate(kept) if kept else np.empty(0, dtype)


def time_column(dtype: np.dtype) -> str:
    """The time column of records of ``dtype``."""
    names = _names(dtype)
    for spec in MODELS.values():
        if spec.time_column in names:
            return spec.time_column
    raise ValueError(f"not velmora records in time order: no time column among {', '.join(names)}")


def by_time(columns: Columns, key: str) -> Columns:
    """``columns`` in (time, channel) order, records of one channel keeping
    their order."""
    order = np.lexsort((columns["channel"], columns[key]))
    return {name: values[order] for name, values in columns.items()}


def records_by_time(records: np.ndarray) -> np.ndarray:
    """A structured array of records in (time, channel) order."""
    key = time_column(records.dtype)
    return records[np.lexsort((records["channel"], records[key]))]


def to_dataframe(records: np.ndarray, metadata: dict[str, Any] | None = None) -> Any:
    """Records as a pandas DataFrame: a column per field, a waveform as a
    column holding one 1-D array of samples per record, and ``metadata``
    under ``attrs["velmora"]``."""
    try:
        import pandas as pd
    except ImportError:
        raise ImportError("records as a DataFrame need the Python package pandas, which is not installed: "
                          "pip install pandas") from None
    columns: dict[str, Any] = {}
    for name in _names(records.dtype):
        values = records[name]
        columns[name] = list(np.ascontiguousarray(values)) if values.ndim == 2 else values
    frame = pd.DataFrame(columns)
    if metadata is not None:
        frame.attrs["velmora"] = metadata
    return frame
