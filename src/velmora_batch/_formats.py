"""What the record file formats share: the errors of reading them (a
missing optional library, a damaged or foreign file), the record dtype a
file's own columns give, the unit and meaning of each column, reading any
record file in pieces of bounded size whatever its format, and the checks
and Arrow form of a PE table read in pieces from a file of columns. Each
format's own code lies in its module of the ``formats`` package."""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from ._records import (Columns, Writer, _model_of, label_column, layout_model, model_of_dtype, read_record_file,
                       record_column_info)
from ._records import writer_for as records_writer_for
from .formats import record_format, suffixes_text
from ._models import LABEL_TYPES, spec_of

RECORDS_KEY = "records"  # the TTree or HDF5 dataset of the records

# Data handed to the library at once: a ROOT basket of each branch, an HDF5
# write, a piece read back. Keeps what a block adds to memory bounded and
# ROOT's baskets far below their size limit.
_PIECE_BYTES = 32 << 20


class MissingExtra(ImportError):
    """An optional library needed for a file format is not installed."""



class FormatError(ValueError):
    """A file that cannot be read as what it should hold; the message names
    the file and what is wrong, on one line."""


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


@contextlib.contextmanager
def reading(path: Path, kind: str) -> Iterator[None]:
    """Turns whatever reading a damaged or foreign ``kind`` file raises into
    a one-line FormatError naming ``path``; missing files, permissions,
    missing libraries and lack of memory pass as they are."""
    try:
        yield
    except (FormatError, FileNotFoundError, PermissionError, IsADirectoryError, MissingExtra, MemoryError):
        raise
    except Exception as e:
        raise FormatError(f"{path}: not a readable {kind} file: {_one_line(e)}") from None


# The record dtype of a file, from its own columns.


def stored_model(path: Path, layout: str | bytes | None) -> str | None:
    """The model that the layout stored with a record file names, None for
    a file that stores none; a FormatError naming the file where it cannot be
    read (see layout_model)."""
    try:
        return layout_model(path, layout)
    except ValueError as e:
        raise FormatError(str(e)) from None


def checked_dtype(path: Path, fields: list[tuple[str, np.dtype, tuple[int, ...]]],
                  model: str | None = None) -> np.dtype:
    """The record dtype of a file whose columns are ``fields`` (name, element
    type, shape per record), in the file's order: a FormatError unless they
    are the columns of a model's records (of ``model``, where the file's
    layout names one), each of the model's type."""
    names = [name for name, _, _ in fields]
    try:
        spec = spec_of(_model_of(names, model))
    except ValueError as e:
        raise FormatError(f"{path}: {e}") from None
    shapes = dict((name, shape) for name, _, shape in fields)
    samples = 1
    if spec.shaped_column is not None:
        shape = shapes[spec.shaped_column]
        if len(shape) != 1 or shape[0] < 1:
            raise FormatError(f"{path}: not a velmora record file: column {spec.shaped_column!r} holds "
                              f"{'arrays of shape ' + str(shape) if shape else 'one value'} per record, "
                              "not a row of samples")
        samples = shape[0]
    expected = spec.record_dtype(samples, truth=True)  # the truth columns' types checked too, where present
    label = label_column(names)
    out = []
    for name, base, shape in fields:
        if name == label and (shape or base.name not in LABEL_TYPES):
            raise FormatError(f"{path}: not a velmora record file: its label column {name!r} holds "
                              f"{base}{list(shape) if shape else ''}, not {' or '.join(LABEL_TYPES)}")
        base = base.newbyteorder("=") if base.byteorder in "<>" else base
        if name in (expected.names or ()) and (base != expected[name].base or shape != expected[name].shape):
            want = expected[name]
            found = f"{base}{list(shape) if shape else ''}"
            raise FormatError(f"{path}: not a velmora record file: column {name!r} holds {found}, "
                              f"not {want.base}{list(want.shape) if want.shape else ''}")
        out.append((name, base, shape) if shape else (name, base))
    return np.dtype(out)


def _fill(out: np.ndarray, lo: int, columns: dict[str, np.ndarray]) -> None:
    for name in out.dtype.names or ():
        out[name][lo : lo + len(columns[name])] = columns[name]


def column_notes(dtype: np.dtype) -> dict[str, dict[str, str]]:
    """The unit and meaning of each column of ``dtype`` that the table of
    record columns describes, by name."""
    model = model_of_dtype(dtype)
    notes = {}
    for name in dtype.names or ():
        info = record_column_info(dtype, name) if model is not None else None
        if info is not None:
            notes[name] = {"unit": info.unit, "description": info.meaning}
    return notes


def piece_rows(dtype: np.dtype) -> int:
    """The records of ``dtype`` in a piece: handed to a library at once, or read back."""
    return max(1, _PIECE_BYTES // max(1, dtype.itemsize))


# Any record file in pieces.


class RecordPieces:
    """The records of a file opened for reading in pieces of bounded size:
    their dtype and number, the pieces as columns by iterating; close it
    (or use it in a ``with`` block) when done."""

    def __init__(self, path: Path, dtype: np.dtype, rows: int,
                 pieces: Callable[[int, list[str]], Iterator[Columns]], close: Callable[[], None],
                 model: str | None = None) -> None:
        self.path = path
        self.dtype = dtype
        # The model of the records: as the file's layout names it, else as their columns do.
        self.model = model if model is not None else model_of_dtype(dtype)
        self.rows = rows
        self._pieces = pieces
        self._close = close

    def __iter__(self) -> Iterator[Columns]:
        return self.columns(list(self.dtype.names or ()))

    def columns(self, names: list[str]) -> Iterator[Columns]:
        """The pieces with only the columns ``names``."""
        return self._pieces(piece_rows(self.dtype), names)

    def close(self) -> None:
        self._close()

    def __enter__(self) -> RecordPieces:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

def whole_records(path: Path) -> RecordPieces:
    records = read_record_file(path)

    def pieces(step: int, names: list[str]) -> Iterator[Columns]:
        for lo in range(0, len(records), step):
            yield {name: records[name][lo : lo + step] for name in names}

    return RecordPieces(path, records.dtype, len(records), pieces, lambda: None)


def open_record_pieces(path: str | Path) -> RecordPieces:
    """The records of a record file of any format, opened for reading in
    pieces of bounded size (a format that holds its arrays whole, as .npz
    does, is read whole first). A file that cannot be read so is a one-line
    ValueError naming it."""
    path = Path(path)
    found = record_format(path)
    if found is None:
        raise FormatError(f"{path}: record files must end in {suffixes_text()}")
    pieces = found.open_pieces(path)
    if not isinstance(pieces, RecordPieces):
        raise TypeError(f"format {found.name}: open_pieces gave a {type(pieces).__name__}, not RecordPieces")
    return pieces


def writer_for(path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool) -> Writer:
    """A writer of records of ``dtype`` (a model's columns, and any added
    after them) to ``path``, in the format its suffix names."""
    if record_format(path) is None:
        raise FormatError(f"{path}: record files must end in {suffixes_text()}")
    return records_writer_for(path, dtype, metadata, overwrite)


def read_whole(pieces: RecordPieces) -> np.ndarray:
    """All the records of a file opened for reading in pieces; closes it."""
    with pieces:
        return _gather(pieces)


def _gather(pieces: RecordPieces) -> np.ndarray:
    path, rows = pieces.path, pieces.rows
    out = np.empty(rows, pieces.dtype)
    lo = 0
    for columns in pieces:
        if lo + len(columns["channel"]) > rows:
            raise FormatError(f"{path}: not a readable file: it holds more records than it says ({rows})")
        _fill(out, lo, columns)
        lo += len(columns["channel"])
    if lo != rows:
        raise FormatError(f"{path}: not a readable file: it holds {lo} of the {rows} records it says it has")
    return out


# PE tables.

PE_COLUMNS = ("channel", "time")


def _arrow_column(values: np.ndarray) -> pa.Array[Any] | None:
    """A column of numbers as Arrow: one value per row, or a fixed-size list
    of them; None for anything else."""
    if values.ndim == 1:
        column: pa.Array[Any] = pa.array(values)
        return column
    if values.ndim == 2 and values.dtype.kind in "biuf":
        return pa.FixedSizeListArray.from_arrays(pa.array(np.ascontiguousarray(values).reshape(-1)),
                                                 values.shape[1])
    return None


def pe_piece(columns: dict[str, np.ndarray]) -> pa.Table:
    arrays = {name: array for name, values in columns.items() if (array := _arrow_column(values)) is not None}
    return pa.table(arrays)


def check_pe_columns(path: Path, where: str, shapes: dict[str, tuple[int, ...] | None]) -> None:
    """``shapes``: each column's shape per row (None: not an array of
    numbers). A FormatError unless ``channel`` and ``time`` are there with
    one value per row."""
    missing = [name for name in PE_COLUMNS if name not in shapes]
    if missing:
        raise FormatError(f"{path}: {where} has no column {' or '.join(map(repr, missing))} "
                          f"(found {', '.join(shapes) or 'none'})")
    for name in PE_COLUMNS:
        if shapes[name] != ():
            raise FormatError(f"{path}: {where}: column {name!r} must hold one number per PE, "
                              f"got {'arrays of shape ' + str(shapes[name]) if shapes[name] else 'other values'}")
