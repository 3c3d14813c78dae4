"""Records and PE tables in ROOT and HDF5 files, both ways, through the
optional libraries uproot (``pip install 'velmora[root]'``) and h5py
(``pip install 'velmora[hdf5]'``), each imported only when such a file is
used.

Record files:

- ``.root``: a TTree ``records``, one branch per column (the waveform a
  fixed-size array branch), the run's description as JSON in a string object
  ``metadata``, and each column's unit and meaning as JSON in a string object
  ``columns``;
- ``.h5`` (or ``.hdf5``): a one-dimensional compound dataset ``records``, one
  field per column (the waveform a fixed-size subarray field), with the run's
  description as JSON in its attribute ``velmora`` and, for browsing, each of
  its top-level numbers and strings as an attribute of its own, and each
  column's unit and meaning in attributes ``<column>.unit`` and
  ``<column>.description``.

Both are written block by block as the blocks arrive (a ROOT basket, an HDF5
chunk range at a time), under a temporary name renamed when complete, like
Parquet. A PE table is read from a TTree or an HDF5 table (a compound dataset,
or a group of one-dimensional datasets) with columns ``channel`` and ``time``,
in pieces. Also here: reading any record file in pieces, whatever its
format."""

from __future__ import annotations

import contextlib
import errno
import hashlib
import json
import os
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from ._records import (DAMAGED_METADATA, LAYOUT_KEY, Columns, Writer, _model_of, digest_matches, label_column,
                       layout_model, model_of_dtype, read_record_file, record_column_info, text_digest)
from ._records import writer_for as records_writer_for
from .formats import record_format, suffixes_text
from ._models import LABEL_TYPES, spec_of

RECORDS_KEY = "records"  # the TTree or HDF5 dataset of the records
ROOT_METADATA = "metadata"  # the ROOT string object of the run's description
ROOT_COLUMNS = "columns"  # the ROOT string object of the columns' units and meanings
ROOT_LAYOUT = "layout"  # the ROOT string object of the records' model and layout (LAYOUT_KEY)
# The ROOT string object of the SHA-256 of the run's description and of each
# column's values (see ColumnDigests), as JSON: ROOT keeps no checksum of a
# basket that is stored uncompressed, nor of the string objects.
ROOT_CHECKSUMS = "checksums"
HDF5_METADATA = "velmora"  # the HDF5 attribute of the run's description
HDF5_METADATA_DIGEST = "velmora.sha256"  # the HDF5 attribute of its SHA-256

# Data handed to the library at once: a ROOT basket of each branch, an HDF5
# write, a piece read back. Keeps what a block adds to memory bounded and
# ROOT's baskets far below their size limit.
_PIECE_BYTES = 32 << 20
# HDF5 chunks of about 1 MiB, compressed as ROOT's baskets are (zlib, level 1),
# which every HDF5 reader can decompress; shuffling the bytes first makes the
# samples compress better. Each chunk carries a Fletcher-32 checksum, which
# the library verifies whenever it reads the chunk.
_HDF5_CHUNK_BYTES = 1 << 20
_HDF5_COMPRESSION = {"compression": "gzip", "compression_opts": 1, "shuffle": True, "fletcher32": True}


class MissingExtra(ImportError):
    """An optional library needed for a file format is not installed."""


def uproot_module() -> Any:
    """The uproot module, or MissingExtra naming the extra that brings it."""
    try:
        import uproot
    except ImportError:
        raise MissingExtra("ROOT files need the Python package uproot, which is not installed: "
                           "pip install 'velmora[root]'") from None
    return uproot


def h5py_module() -> Any:
    """The h5py module, or MissingExtra naming the extra that brings it."""
    try:
        import h5py
    except ImportError:
        raise MissingExtra("HDF5 files need the Python package h5py, which is not installed: "
                           "pip install 'velmora[hdf5]'") from None
    return h5py


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


# ROOT.


def _branch_type(field: np.dtype) -> np.dtype:
    return np.dtype((field.base, field.shape)) if field.shape else field.base


def _piece_rows(dtype: np.dtype) -> int:
    return max(1, _PIECE_BYTES // max(1, dtype.itemsize))


class RootWriter(Writer):
    """A TTree ``records`` with one branch per column, a basket per piece of
    a block written as the block arrives; the run's description as JSON in
    the string object ``metadata``."""

    def __init__(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool = True) -> None:
        uproot = uproot_module()  # before the temporary file exists
        super().__init__(path, dtype, metadata, overwrite)
        try:
            self._file = uproot.recreate(self._tmp)
            self._file[ROOT_METADATA] = json.dumps(metadata)
            self._file[ROOT_COLUMNS] = json.dumps(column_notes(dtype))
            if self.layout is not None:
                self._file[ROOT_LAYOUT] = self.layout
            branches = {name: _branch_type(dtype[name]) for name in dtype.names or ()}
            self._tree = self._file.mktree(RECORDS_KEY, branches, title="velmora records")
            self._digests = ColumnDigests(list(dtype.names or ()))
            # Checksums of other trees written into the file (its links), by their key.
            self.tree_digests: dict[str, ColumnDigests] = {}
        except BaseException:
            self._finalizer()
            raise

    def _write(self, columns: Columns) -> None:
        rows, step = len(columns["channel"]), _piece_rows(self.dtype)
        for lo in range(0, rows, step):
            piece = {name: np.ascontiguousarray(columns[name][lo : lo + step]) for name in self.dtype.names or ()}
            self._tree.extend(piece)
            self._digests.add(piece)

    def _finish(self) -> None:
        layout = {} if self.layout is None else {ROOT_LAYOUT: text_digest(self.layout)}
        self._file[ROOT_CHECKSUMS] = json.dumps({"metadata": text_digest(json.dumps(self.metadata)), **layout,
                                                 "columns": self._digests.hexdigests(),
                                                 **{key: d.hexdigests() for key, d in self.tree_digests.items()}})
        self._file.close()

    def _discard(self) -> None:
        self._file.close()


class ColumnDigests:
    """The SHA-256 of each column's values over all rows in order, fed a
    piece at a time: of the values' little-endian bytes, one row after
    another (a waveform's samples in order); of a column of text, each
    value's UTF-8 bytes after their length (8 bytes, little-endian)."""

    def __init__(self, names: list[str]) -> None:
        self._hashes = {name: hashlib.sha256() for name in names}

    def add(self, columns: Columns) -> None:
        for name, digest in self._hashes.items():
            values = columns[name]
            if values.dtype.kind in "OSU":
                for value in values.tolist():
                    data = value if isinstance(value, bytes) else str(value).encode()
                    digest.update(len(data).to_bytes(8, "little") + data)
            else:
                digest.update(np.ascontiguousarray(values, values.dtype.newbyteorder("<")).view(np.uint8).reshape(-1))

    def hexdigests(self) -> dict[str, str]:
        return {name: digest.hexdigest() for name, digest in self._hashes.items()}


def root_checksums(file: Any, path: Path) -> dict[str, Any] | None:
    """The checksums stored in an open ROOT record file (None for a file
    written before they were): the run description's SHA-256 under
    ``metadata``, each column's under ``columns``."""
    if ROOT_CHECKSUMS not in file.keys(cycle=False):
        return None
    text = file[ROOT_CHECKSUMS]
    try:
        sums = json.loads(text) if isinstance(text, str) else None
    except json.JSONDecodeError:
        sums = None
    if not (isinstance(sums, dict) and isinstance(sums.get("metadata"), str) and isinstance(sums.get("columns"), dict)):
        raise FormatError(f"{path}: its checksums ({ROOT_CHECKSUMS!r}) are unreadable: the file is damaged")
    return sums


def check_digests(path: Path, digests: ColumnDigests, stored: dict[str, Any]) -> None:
    """A FormatError naming the first column whose values do not match
    their SHA-256 in ``stored`` (by column name)."""
    for name, digest in digests.hexdigests().items():
        if stored.get(name) != digest:
            raise FormatError(f"{path}: the values of column {name!r} do not match the SHA-256 stored with them: "
                              "the file is damaged")


_TREE = ("TTree",)
_TABLE = ("TTree", "ROOT::RNTuple")  # a PE table may also be in ROOT's newer columnar layout


def _root_tree(file: Any, path: Path, key: str | None, what: str, kinds: tuple[str, ...] = _TREE) -> Any:
    """The tree ``key`` of an open ROOT file; without ``key``, its only
    tree. A FormatError lists the trees there are otherwise."""
    trees = sorted({name.rsplit(";", 1)[0] for name, cls in file.classnames().items() if cls in kinds})
    if key is None:
        if len(trees) != 1:
            listed = f" ({', '.join(trees)})" if trees else ""
            raise FormatError(f"{path}: holds {len(trees) or 'no'} trees{listed}; name the one with the {what}")
        key = trees[0]
    if key not in trees:
        raise FormatError(f"{path}: no tree {key!r} (trees there: {', '.join(trees) or 'none'})")
    return file[key]


def _root_fields(tree: Any, path: Path) -> list[tuple[str, np.dtype, tuple[int, ...]]]:
    """Each branch of ``tree`` as (name, element type, shape per entry); a
    FormatError for a branch that is not an array of numbers."""
    fields = []
    for name, branch in tree.items(recursive=False):
        interpretation = branch.interpretation
        dtype = getattr(interpretation, "to_dtype", None)
        if not isinstance(dtype, np.dtype) or dtype.base.kind not in "biuf":
            raise FormatError(f"{path}: not a velmora record file: branch {name!r} holds {interpretation}, "
                              "not numbers")
        fields.append((name, dtype.base, dtype.shape))
    return fields


def root_records(path: Path) -> RecordPieces:
    """The records of a ROOT file, opened for reading in pieces."""
    uproot = uproot_module()
    with reading(path, "ROOT"):
        file = uproot.open(path)
        try:
            tree = _root_tree(file, path, RECORDS_KEY, "records")
            sums = root_checksums(file, path)
            model = stored_model(path, _root_layout(file, path, sums))
            dtype = checked_dtype(path, _root_fields(tree, path), model)
            rows = int(tree.num_entries)
        except BaseException:
            file.close()
            raise

    def pieces(step: int, names: list[str]) -> Iterator[Columns]:
        # Each column read whole is checked against its SHA-256 once its last piece is read.
        digests = ColumnDigests(names)
        with reading(path, "ROOT"):
            for chunk in tree.iterate(names, step_size=step, library="np"):
                columns = {name: np.asarray(chunk[name], dtype[name].base) for name in names}
                digests.add(columns)
                yield columns
            if sums is not None:
                check_digests(path, digests, sums["columns"])

    return RecordPieces(path, dtype, rows, pieces, file.close, model)


def _root_layout(file: Any, path: Path, sums: dict[str, Any] | None) -> str | None:
    """The layout stored in an open ROOT record file, checked against its
    SHA-256 where the file stores one; None for a file that stores none."""
    if ROOT_LAYOUT not in file.keys(cycle=False):
        return None
    text = file[ROOT_LAYOUT]
    if not isinstance(text, str) or not digest_matches(text, None if sums is None else sums.get(ROOT_LAYOUT)):
        raise FormatError(f"{path}: its record layout ({ROOT_LAYOUT!r}) does not match the SHA-256 stored with it: "
                          "the file is damaged")
    return text


def root_metadata(path: Path) -> str:
    uproot = uproot_module()
    with reading(path, "ROOT"), uproot.open(path) as file:
        if ROOT_METADATA not in file.keys(cycle=False):
            raise FormatError(f"{path}: no velmora metadata (no string object {ROOT_METADATA!r})")
        text = file[ROOT_METADATA]
        if not isinstance(text, str):
            raise FormatError(f"{path}: no velmora metadata ({ROOT_METADATA!r} is a {type(text).__name__}, "
                              "not a string)")
        sums = root_checksums(file, path)
        if not digest_matches(text, None if sums is None else sums["metadata"]):
            raise FormatError(f"{path}: {DAMAGED_METADATA}")
        return str(text)


# HDF5.


class _GuardedFile:
    """The file an HDF5 record file is written through (h5py's file-object
    driver), so that HDF5 never sees a write fail: once a write or close of
    the library has failed (a full disk), closing the file again, which the
    library does when the interpreter exits, crashes the process. A write
    that fails here is kept as ``error`` and reported to HDF5 as done, and
    every later write is dropped; the writer raises the error as soon as the
    call into h5py returns, and the file is discarded. Unbuffered, so that
    every write reaches the file system while HDF5 waits for it."""

    def __init__(self, path: Path) -> None:
        self._raw = open(path, "r+b", buffering=0)  # closed by close()
        self.error: OSError | None = None

    def write(self, data: bytes | bytearray | memoryview) -> int:
        view = memoryview(data).cast("B")
        size = len(view)
        try:
            while self.error is None and len(view):
                done = self._raw.write(view)
                if not done:
                    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
                view = view[done:]
        except OSError as e:
            self.error = e
        return size

    def truncate(self, size: int) -> int:
        if self.error is None:
            try:
                self._raw.truncate(size)
            except OSError as e:
                self.error = e
        return size

    def read(self, size: int) -> bytes:
        return self._raw.read(size) or b""

    def seek(self, offset: int, whence: int = 0) -> int:
        return self._raw.seek(offset, whence)

    def tell(self) -> int:
        return self._raw.tell()

    def flush(self) -> None:
        pass  # unbuffered: nothing waits here

    def check(self, path: Path) -> None:
        """Raises the error a write met, as an OSError naming ``path``."""
        if self.error is not None:
            code = self.error.errno
            raise OSError(code, os.strerror(code) if code else str(self.error), str(path))

    def close(self) -> None:
        self._raw.close()


class Hdf5Writer(Writer):
    """A compound dataset ``records``, extended by each block as it arrives;
    the run's description as JSON in its attribute ``velmora``, and its
    top-level numbers and strings as attributes of their own."""

    def __init__(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool = True) -> None:
        h5py = h5py_module()  # before the temporary file exists
        super().__init__(path, dtype, metadata, overwrite)
        try:
            self._io = _GuardedFile(self._tmp)
            self._file = h5py.File(self._io, "w")
            chunk = max(1, _HDF5_CHUNK_BYTES // max(1, dtype.itemsize))
            self._data = self._file.create_dataset(RECORDS_KEY, shape=(0,), maxshape=(None,), dtype=dtype,
                                                   chunks=(chunk,), **_HDF5_COMPRESSION)
            self._data.attrs[HDF5_METADATA] = json.dumps(metadata)
            self._data.attrs[HDF5_METADATA_DIGEST] = text_digest(json.dumps(metadata))
            for key, value in metadata.items():
                if key not in (HDF5_METADATA, HDF5_METADATA_DIGEST, LAYOUT_KEY) and isinstance(value, str | int | float) and not isinstance(value, bool):
                    # A fresh seed has 128 bits: beyond HDF5's integers, it is shown as its digits.
                    fits = not isinstance(value, int) or -(2**63) <= value < 2**63
                    self._data.attrs[key] = value if fits else str(value)
            if self.layout is not None:
                self._data.attrs[LAYOUT_KEY] = self.layout
            for name, note in column_notes(dtype).items():
                self._data.attrs[f"{name}.unit"] = note["unit"]
                self._data.attrs[f"{name}.description"] = note["description"]
        except BaseException:
            self._finalizer()
            raise

    def _write(self, columns: Columns) -> None:
        rows, step = len(columns["channel"]), _piece_rows(self.dtype)
        for lo in range(0, rows, step):
            piece = np.empty(min(step, rows - lo), self.dtype)
            for name in self.dtype.names or ():
                piece[name] = columns[name][lo : lo + step]
            end = self._data.shape[0]
            self._data.resize((end + len(piece),))
            self._data[end:] = piece
            self._io.check(self.path)

    def _finish(self) -> None:
        self._file.close()
        self._io.check(self.path)
        self._io.close()

    def _discard(self) -> None:
        try:
            self._file.close()  # every write after a failed one is dropped: this cannot fail for lack of space
        finally:
            self._io.close()


def hdf5_records(path: Path) -> RecordPieces:
    """The records of an HDF5 file, opened for reading in pieces."""
    h5py = h5py_module()
    with reading(path, "HDF5"):
        file = h5py.File(path, "r")
        try:
            data = _hdf5_dataset(file, path)
            fields = [(name, data.dtype[name].base, data.dtype[name].shape) for name in data.dtype.names]
            layout = data.attrs.get(LAYOUT_KEY)
            model = stored_model(path, layout if isinstance(layout, str | bytes) else None if layout is None else b"")
            dtype = checked_dtype(path, fields, model)
            rows = int(data.shape[0])
        except BaseException:
            file.close()
            raise

    def pieces(step: int, names: list[str]) -> Iterator[Columns]:
        with reading(path, "HDF5"):
            for lo in range(0, rows, step):
                piece = data.fields(names)[lo : lo + step]
                yield {name: np.asarray(piece[name], dtype[name].base) for name in names}

    return RecordPieces(path, dtype, rows, pieces, file.close, model)


def _hdf5_dataset(file: Any, path: Path) -> Any:
    h5py = h5py_module()
    data = file.get(RECORDS_KEY)
    if not isinstance(data, h5py.Dataset):
        found = ", ".join(sorted(file.keys())) or "nothing"
        raise FormatError(f"{path}: no dataset {RECORDS_KEY!r} (found {found})")
    if data.dtype.names is None or data.ndim != 1:
        raise FormatError(f"{path}: not a velmora record file: {RECORDS_KEY!r} is a {data.ndim}-dimensional "
                          f"dataset of {data.dtype}, not a table of records")
    return data


def hdf5_metadata(path: Path) -> str:
    h5py = h5py_module()
    with reading(path, "HDF5"), h5py.File(path, "r") as file:
        data = _hdf5_dataset(file, path)
        if HDF5_METADATA not in data.attrs:
            raise FormatError(f"{path}: no velmora metadata (no attribute {HDF5_METADATA!r} of {RECORDS_KEY!r})")
        text = data.attrs[HDF5_METADATA]
        if isinstance(text, bytes):
            text = text.decode()
        if not isinstance(text, str):
            raise FormatError(f"{path}: no velmora metadata (its attribute {HDF5_METADATA!r} is not a string)")
        digest = data.attrs.get(HDF5_METADATA_DIGEST)
        if digest is not None and not (isinstance(digest, str | bytes) and digest_matches(text, digest)):
            raise FormatError(f"{path}: {DAMAGED_METADATA}")
        return text


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
        return self._pieces(_piece_rows(self.dtype), names)

    def close(self) -> None:
        self._close()

    def __enter__(self) -> RecordPieces:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def parquet_records(path: Path) -> RecordPieces:
    with reading(path, "Parquet"):
        file = pq.ParquetFile(path, pre_buffer=False, page_checksum_verification=True)
        try:
            fields: list[tuple[str, np.dtype, tuple[int, ...]]] = []
            for field in file.schema_arrow:
                kind = field.type
                if isinstance(kind, pa.FixedSizeListType):
                    fields.append((field.name, np.dtype(kind.value_type.to_pandas_dtype()), (kind.list_size,)))
                else:
                    fields.append((field.name, np.dtype(kind.to_pandas_dtype()), ()))
            model = stored_model(path, (file.schema_arrow.metadata or {}).get(LAYOUT_KEY.encode()))
            dtype = checked_dtype(path, fields, model)
            rows = int(file.metadata.num_rows)
        except BaseException:
            file.close()
            raise

    def pieces(step: int, names: list[str]) -> Iterator[Columns]:
        with reading(path, "Parquet"):
            for batch in file.iter_batches(batch_size=step, columns=names, use_threads=False):
                columns: Columns = {}
                for name in names:
                    column = batch.column(name)
                    if isinstance(column, pa.FixedSizeListArray):
                        columns[name] = column.flatten().to_numpy().reshape(len(column), *dtype[name].shape)
                    else:
                        columns[name] = column.to_numpy(zero_copy_only=False).astype(dtype[name].base, copy=False)
                yield columns

    return RecordPieces(path, dtype, rows, pieces, file.close, model)


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
    return found.open_pieces(path)


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


def _pe_table(columns: dict[str, np.ndarray]) -> pa.Table:
    arrays = {name: array for name, values in columns.items() if (array := _arrow_column(values)) is not None}
    return pa.table(arrays)


def _check_pe_columns(path: Path, where: str, shapes: dict[str, tuple[int, ...] | None]) -> None:
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


def root_pe_pieces(path: Path, key: str | None, rows: int) -> Iterator[pa.Table]:
    uproot = uproot_module()
    with reading(path, "ROOT"), uproot.open(path) as file:
        tree = _root_tree(file, path, key, "PEs", _TABLE)
        _check_pe_columns(path, f"tree {tree.name!r}", _root_shapes(tree))
        names = [name for name, shape in _root_shapes(tree).items() if shape is not None and len(shape) <= 1]
        if tree.num_entries == 0:
            yield _pe_table({name: tree[name].array(library="np") for name in names})
            return
        for chunk in tree.iterate(names, step_size=rows, library="np"):
            yield _pe_table({name: np.asarray(chunk[name]) for name in names})


def _root_shapes(tree: Any) -> dict[str, tuple[int, ...] | None]:
    """Each column of a tree with its shape per row, None where it does not
    hold numbers (a TTree's from its branches' types, an RNTuple's from its
    first row)."""
    shapes: dict[str, tuple[int, ...] | None] = {}
    for name in tree.keys(recursive=False):
        if hasattr(tree[name], "interpretation"):
            dtype = getattr(tree[name].interpretation, "to_dtype", None)
            shapes[name] = dtype.shape if isinstance(dtype, np.dtype) and dtype.base.kind in "biuf" else None
        else:
            first = np.asarray(tree[name].array(entry_stop=1, library="np"))
            shapes[name] = first.shape[1:] if first.dtype.kind in "biuf" else None
    return shapes


def _hdf5_tables(file: Any) -> list[str]:
    """The tables of an open HDF5 file: one-dimensional compound datasets,
    and groups holding datasets ``channel`` and ``time``."""
    h5py = h5py_module()
    found = []

    def visit(name: str, item: Any) -> None:
        if isinstance(item, h5py.Dataset) and item.dtype.names is not None and item.ndim == 1:
            found.append("/" + name)
        elif isinstance(item, h5py.Group) and all(isinstance(item.get(c), h5py.Dataset) for c in PE_COLUMNS):
            found.append("/" + name)

    visit("", file)
    file.visititems(visit)
    return sorted(found)


def _hdf5_pe_table(file: Any, path: Path, key: str | None) -> tuple[Any, str, int]:
    """The PE table ``key`` of an open HDF5 file (without ``key``, its only
    table): the dataset or group, how messages name it, and its rows."""
    h5py = h5py_module()
    if key is None:
        tables = _hdf5_tables(file)
        if len(tables) != 1:
            listed = f" ({', '.join(tables)})" if tables else ""
            raise FormatError(f"{path}: holds {len(tables) or 'no'} tables{listed}; name the one with the PEs")
        key = tables[0]
    item = file.get(key)
    if isinstance(item, h5py.Dataset) and item.dtype.names is not None and item.ndim == 1:
        shapes = {name: item.dtype[name].shape if item.dtype[name].base.kind in "biuf" else None
                  for name in item.dtype.names}
        _check_pe_columns(path, f"dataset {key!r}", shapes)
        return item, f"dataset {key!r}", int(item.shape[0])
    if isinstance(item, h5py.Group):
        members = {name: member for name, member in item.items() if isinstance(member, h5py.Dataset)}
        shapes = {name: member.shape[1:] if member.ndim >= 1 and member.dtype.kind in "biuf" else None
                  for name, member in members.items()}
        _check_pe_columns(path, f"group {key!r}", shapes)
        rows = int(members["channel"].shape[0])
        if members["time"].shape[0] != rows:
            raise FormatError(f"{path}: group {key!r}: {rows} channels but {members['time'].shape[0]} times")
        return item, f"group {key!r}", rows
    found = ", ".join(_hdf5_tables(file)) or "none"
    raise FormatError(f"{path}: no table {key!r} (a compound dataset, or a group of datasets channel and time; "
                      f"tables there: {found})")


def _hdf5_columns(table: Any, where: str, path: Path, total: int) -> None:
    """Refuses a dataset of a group PE table that is no column of it (one
    number per PE), as the links would carry it."""
    for name, member in table.items():
        if name in PE_COLUMNS or not isinstance(member, h5py_module().Dataset):
            continue
        if member.ndim < 1 or member.shape[0] != total or member.dtype.kind not in "biuf":
            raise FormatError(f"{path}: {where}: the dataset {name!r} is no column of the PE table to pass into the "
                              f"links: it must hold {total} numbers, one per PE (it holds {member.shape} "
                              f"{member.dtype})")


def hdf5_pe_pieces(path: Path, key: str | None, rows: int, extras: bool) -> Iterator[pa.Table]:
    h5py = h5py_module()
    with reading(path, "HDF5"), h5py.File(path, "r") as file:
        table, where, total = _hdf5_pe_table(file, path, key)
        if extras and isinstance(table, h5py.Group):
            _hdf5_columns(table, where, path, total)
        for lo in range(0, max(total, 1), rows):
            if isinstance(table, h5py.Dataset):
                piece = table[lo : lo + rows]
                yield _pe_table({name: piece[name] for name in piece.dtype.names})
            else:
                yield _pe_table({name: member[lo : lo + rows] for name, member in table.items()
                                 if isinstance(member, h5py.Dataset) and member.ndim >= 1
                                 and member.shape[0] == total and member.dtype.kind in "biuf"})
