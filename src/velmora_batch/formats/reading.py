"""The readers of what a run wrote, in any format: records, the run's
description and links, from a record file of whatever format its name gives
or from a dataset directory."""

from __future__ import annotations

import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from .._links import is_links_file, read_links_file
from .._records import read_file_metadata, read_record_file
from .._tables import Channels, read_selected, selection, to_dataframe
from . import format_of, parts_format, record_format


def read_records(path: str | os.PathLike[str], *, columns: Sequence[str] | None = None,
                 channels: Channels | None = None) -> np.ndarray:
    """The records of a record file written by velmora_batch (``.parquet``,
    ``.npz`` or another format it writes), or of a dataset directory, as a
    structured array of :func:`record_dtype`. A file that cannot be read as
    records is a ValueError naming it.

    ``columns`` (a list of names) keeps only those columns, in that order;
    ``channels`` (as ``run`` takes them: ``"0-9,20"``, a range, an array)
    keeps only the records of those channels. A dataset then reads only the
    parts whose blocks hold a selected channel, and a Parquet file only the
    columns asked for and the row groups whose channel statistics may hold a
    selected channel; other formats are read whole and then selected."""
    found = format_of(path)
    if found is not None and found.directory:
        return found.read_records(Path(path), columns, selection(channels))
    if columns is None and channels is None:
        return read_record_file(path)
    return read_selected(path, columns, selection(channels))


def to_pandas(path: str | os.PathLike[str], *, columns: Sequence[str] | None = None,
              channels: Channels | None = None) -> Any:
    """The records of ``path`` (as :func:`read_records` reads them, with the
    same ``columns`` and ``channels``) as a pandas DataFrame: one column per
    record field, a waveform as a column holding one 1-D array of samples per
    record (``np.stack(df["waveform"])`` gives the 2-D array back), and the
    run's description (:func:`read_metadata`) under ``df.attrs["velmora"]``.
    Needs pandas."""
    return to_dataframe(read_records(path, columns=columns, channels=channels), read_metadata(path))


def read_links(path: str | os.PathLike[str]) -> pa.Table:
    """The links that a run with ``truth="links"`` wrote with its records,
    as a pyarrow Table, one row per (record, PE) pair: for a ROOT or HDF5
    record file those it holds; for a Parquet or .npz record file the links
    file ``<its name>.links.parquet`` beside it (or, for files of earlier
    runs, ``<stem>.links.parquet``), checked to be of the same run; for a
    dataset directory its links parts, ``record`` counted over the whole
    dataset; a links file itself as it stands. A path without links is a
    ValueError naming it.

    Columns: ``record`` (int64, the record's row), ``channel`` (int32),
    ``kind`` (dictionary: "input", "dark", "afterpulse"), ``pe_index``
    (int64: an input PE's row in the PE table, else its index among its
    channel's dark PEs or afterpulses), ``arrival_time`` (float64, seconds)
    and ``amplitude`` (float64), drawn; then the PE table's other columns,
    null for dark noise and afterpulses."""
    path = Path(path)
    found = format_of(path)
    if found is not None and found.directory:
        return found.read_links(path)
    if is_links_file(path):
        return read_links_file(path)
    return (record_format(path) or parts_format()).read_links(path)


def read_metadata(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The run description stored with a record file (config, seed, seeding
    mode, version, segment, dark-noise rate and duration, the PE input's name
    and digest); for a dataset directory, its manifest. A file without
    readable velmora metadata is a ValueError naming it."""
    found = format_of(path)
    if found is not None and found.directory:
        return found.read_metadata(Path(path))
    return read_file_metadata(path)
