"""HDF5 files (through h5py, ``pip install 'velmora[hdf5]'``), imported
only when such a file is used. A record file (``.h5`` or ``.hdf5``) holds a
one-dimensional compound dataset ``records``, one field per column (the
waveform a fixed-size subarray field), extended by each block as it arrives
(an HDF5 chunk range at a time), under a temporary name renamed when
complete; the run's description as JSON in its attribute ``velmora`` and,
for browsing, each of its top-level numbers and strings as an attribute of
its own, and each column's unit and meaning in attributes ``<column>.unit``
and ``<column>.description``. Its links lie inside it: a second compound
dataset ``links`` (see the links module). A PE table is a compound dataset
or a group of one-dimensional datasets with columns ``channel`` and
``time``, named by a key where the file holds several, read in pieces."""

from __future__ import annotations

import errno
import json
import os
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from .._channels import ChannelSet
from .._formats import (PE_COLUMNS, RECORDS_KEY, FormatError, MissingExtra, RecordPieces, check_pe_columns,
                        checked_dtype, column_notes, pe_piece, piece_rows, read_whole, reading, stored_model)
from .._links import (LINKS_KEY, LINKS_KEY_INSIDE, InsideLinks, LinksStore, LinksWriter, links_inside_of,
                      read_file_links)
from .._pes import PETable, batch_rows, first_extra_names, iter_tables, read_tables
from .._records import (DAMAGED_METADATA, LAYOUT_KEY, Columns, Writer, digest_matches, parsed_metadata,
                        text_digest)
from .._tables import read_pieces

SUFFIXES = (".h5", ".hdf5")
HDF5_METADATA = "velmora"  # the HDF5 attribute of the run's description
HDF5_METADATA_DIGEST = "velmora.sha256"  # the HDF5 attribute of its SHA-256
HDF5_LINKS_METADATA = LINKS_KEY.decode()  # the HDF5 attribute of what ties the links to their records
# HDF5 chunks of about 1 MiB, compressed as ROOT's baskets are (zlib, level 1),
# which every HDF5 reader can decompress; shuffling the bytes first makes the
# samples compress better. Each chunk carries a Fletcher-32 checksum, which
# the library verifies whenever it reads the chunk.
_HDF5_CHUNK_BYTES = 1 << 20
_HDF5_COMPRESSION = {"compression": "gzip", "compression_opts": 1, "shuffle": True, "fletcher32": True}


def h5py_module() -> Any:
    """The h5py module, or MissingExtra naming the extra that brings it."""
    try:
        import h5py
    except ImportError:
        raise MissingExtra("HDF5 files need the Python package h5py, which is not installed: "
                           "pip install 'velmora[hdf5]'") from None
    return h5py



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
        rows, step = len(columns["channel"]), piece_rows(self.dtype)
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


def _hdf5pe_piece(file: Any, path: Path, key: str | None) -> tuple[Any, str, int]:
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
        check_pe_columns(path, f"dataset {key!r}", shapes)
        return item, f"dataset {key!r}", int(item.shape[0])
    if isinstance(item, h5py.Group):
        members = {name: member for name, member in item.items() if isinstance(member, h5py.Dataset)}
        shapes = {name: member.shape[1:] if member.ndim >= 1 and member.dtype.kind in "biuf" else None
                  for name, member in members.items()}
        check_pe_columns(path, f"group {key!r}", shapes)
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
        table, where, total = _hdf5pe_piece(file, path, key)
        if extras and isinstance(table, h5py.Group):
            _hdf5_columns(table, where, path, total)
        for lo in range(0, max(total, 1), rows):
            if isinstance(table, h5py.Dataset):
                piece = table[lo : lo + rows]
                yield pe_piece({name: piece[name] for name in piece.dtype.names})
            else:
                yield pe_piece({name: member[lo : lo + rows] for name, member in table.items()
                                 if isinstance(member, h5py.Dataset) and member.ndim >= 1
                                 and member.shape[0] == total and member.dtype.kind in "biuf"})



def _links_dataset(writer: Hdf5Writer) -> LinksStore:
    """Makes room for links in the HDF5 file that ``writer`` writes: a
    compound dataset ``links`` with a field per stored column, chunked and
    compressed as the records are."""

    def store(columns: dict[str, np.dtype | str], text: str) -> Callable[[Columns], None]:
        h5py = h5py_module()
        dtype = np.dtype([(n, h5py.string_dtype() if isinstance(t, str) else t) for n, t in columns.items()])
        data = writer._file.create_dataset(LINKS_KEY_INSIDE, shape=(0,), maxshape=(None,), dtype=dtype,
                                           chunks=(max(1, _HDF5_CHUNK_BYTES // dtype.itemsize),),
                                           **_HDF5_COMPRESSION)
        data.attrs[HDF5_LINKS_METADATA] = text

        def append(encoded: Columns) -> None:
            piece = np.empty(len(encoded["record"]), data.dtype)
            for name in columns:
                piece[name] = encoded[name]
            end = data.shape[0]
            data.resize((end + len(piece),))
            data[end:] = piece

        return append

    return store


def _links_inside(path: Path) -> tuple[dict[str, Any], pa.Table] | None:
    """The links that an HDF5 record file holds, with what ties them to
    their records; None where it holds none."""
    h5py = h5py_module()
    with reading(path, "HDF5"), h5py.File(path, "r") as file:
        data = file.get(LINKS_KEY_INSIDE)
        text = None if data is None else data.attrs.get(HDF5_LINKS_METADATA)
        text = text.decode() if isinstance(text, bytes) else text if isinstance(text, str) else None

        def columns() -> Columns:
            found = file[LINKS_KEY_INSIDE][:]
            return {name: found[name] for name in found.dtype.names}

        return links_inside_of(path, text, columns)


class Hdf5Format:
    """HDF5 files: records with their links inside, and PE tables."""

    name = "HDF5"
    suffixes: tuple[str, ...] = SUFFIXES
    directory = False
    records = True
    tables = False
    pes = True
    parts = False
    whole = False
    links_inside = True
    keyed = True

    def open_writer(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool) -> Writer:
        return Hdf5Writer(path, dtype, metadata, overwrite)

    def read_records(self, path: Path, columns: Sequence[str] | None, channels: ChannelSet | None) -> np.ndarray:
        if columns is None and channels is None:
            return read_whole(hdf5_records(path))
        return read_pieces(path, columns, channels)

    def open_pieces(self, path: Path) -> RecordPieces:
        return hdf5_records(path)

    def read_metadata(self, path: Path) -> dict[str, Any]:
        return parsed_metadata(path, hdf5_metadata)

    def open_links(self, writer: Writer, schema: pa.Schema, metadata: dict[str, Any],
                   overwrite: bool) -> LinksWriter | InsideLinks:
        assert isinstance(writer, Hdf5Writer)  # as open_writer opened it
        return InsideLinks(writer, schema, metadata, _links_dataset(writer))

    def read_links(self, path: Path) -> pa.Table:
        return read_file_links(path, _links_inside)

    def pe_tables(self, path: Path, key: str | None, extras: bool) -> Iterator[PETable]:
        return iter_tables(path, hdf5_pe_pieces(path, key, batch_rows(), extras), extras)

    def read_pes(self, path: Path, key: str | None) -> PETable:
        return read_tables(path, hdf5_pe_pieces(path, key, 1 << 24, False))

    def pe_extra_names(self, path: Path, key: str | None) -> tuple[str, ...]:
        return first_extra_names(path, key)


    def column_notes(self, path: Path) -> dict[str, dict[bytes, bytes]] | None:
        return None

    def read_table(self, path: Path) -> pa.Table:
        raise ValueError(f"{path}: {self.name} files hold no plain table")

    def write_table(self, table: pa.Table, path: Path) -> None:
        raise ValueError(f"{path}: {self.name} files hold no plain table")


FORMAT = Hdf5Format()
