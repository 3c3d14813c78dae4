"""NumPy archives (``.npz``): a record file holds one array per column and
the run's description as the JSON string ``metadata``, written whole when
the writer closes (for runs small enough to hold); a PE table is the arrays
``channel`` and ``time`` (and any other columns, one number per PE), read a
piece at a time from the archive's streams."""

from __future__ import annotations

import contextlib
import json
import zipfile
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import tokenize

from .._channels import ChannelSet
from .._formats import RecordPieces, whole_records
from .._links import InsideLinks, LinksWriter, links_beside, read_file_links
from .._models import spec_of
from .._pes import PETable, batch_rows, checked_piece, other_names, read_pes
from .._records import (LAYOUT_KEY, Columns, Writer, _model_of, _names, file_record_dtype, layout_model,
                        parsed_metadata, read_record_file, unreadable)
from .._tables import select

SUFFIX = ".npz"
_MEMBER = ".npy"  # the suffix of each array's member of the archive

# What numpy raises for an .npy header it cannot parse, besides ValueError: the
# header is a Python literal, read with the tokenizer and the parser.
NPY_HEADER_ERRORS = (ValueError, SyntaxError, tokenize.TokenError, OverflowError)


class NpzWriter(Writer):
    """Keeps the blocks in memory and writes one array per column, plus the
    run's description as the JSON string ``metadata``, at close: for runs
    small enough to hold."""

    def __init__(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool = True) -> None:
        super().__init__(path, dtype, metadata, overwrite)
        self._blocks: list[Columns] = []

    def _write(self, columns: Columns) -> None:
        self._blocks.append({name: np.array(values) for name, values in columns.items()})

    def _finish(self) -> None:
        names = _names(self.dtype)
        columns: dict[str, Any] = {
            name: (np.concatenate([b[name] for b in self._blocks]) if self._blocks
                   else np.empty((0, *self.dtype[name].shape), self.dtype[name].base)) for name in names}
        self._blocks = []
        with open(self._tmp, "wb") as f:
            np.savez(f, metadata=np.array(json.dumps(_with_layout(self.metadata, self.layout))), **columns)

    def _discard(self) -> None:
        self._blocks = []


@contextlib.contextmanager
def _npz(path: Path) -> Iterator[np.lib.npyio.NpzFile]:
    # The file is opened here, not by np.load, so that it is closed also when
    # the archive turns out to be damaged.
    with open(path, "rb") as f:
        # np.load takes anything but a zip archive or an .npy array for a
        # pickle, and its refusal would advise loading the file unsafely.
        head = f.read(len(np.lib.format.MAGIC_PREFIX))
        if head and not head.startswith((b"PK\x03\x04", b"PK\x05\x06", np.lib.format.MAGIC_PREFIX)):
            raise unreadable(path, f"not a readable .npz file: not a zip archive of arrays (a file written by "
                              "numpy.savez)")
        f.seek(0)
        data = np.load(f, allow_pickle=False)
        if not isinstance(data, np.lib.npyio.NpzFile):
            raise unreadable(path, "not a .npz archive but a single array (.npy)")
        with data:
            yield data


def _with_layout(metadata: dict[str, Any], layout: str | None) -> dict[str, Any]:
    """The run's description as an archive stores it: with the records'
    layout under LAYOUT_KEY, as a member of its own would be taken for a
    column by the readers of archives written before."""
    return metadata if layout is None else dict(metadata, **{LAYOUT_KEY: json.loads(layout)})


def _stored_layout(data: Any) -> str | None:
    """The layout stored in the description of an open archive; None where
    it stores none (a description that cannot be read is read_metadata's to
    refuse)."""
    try:
        stored = json.loads(str(data["metadata"])) if "metadata" in data.files else None
    except ValueError:
        return None
    layout = stored.get(LAYOUT_KEY) if isinstance(stored, dict) else None
    return None if layout is None else json.dumps(layout)


def _read_records(path: Path) -> np.ndarray:
    """The records of an archive, read whole."""
    with _npz(path) as data:
        names = [n for n in data.files if n != "metadata"]
        spec = spec_of(_model_of(names, layout_model(path, _stored_layout(data))))
        waveform_samples = 1
        if spec.shaped_column is not None:
            waveform = data[spec.shaped_column]
            if waveform.ndim != 2:
                raise ValueError(f"{path}: not a velmora record file: the waveforms are an array of shape "
                                 f"{waveform.shape}, not one row of samples per record")
            waveform_samples = waveform.shape[1]
        dtype = file_record_dtype(spec, waveform_samples, names, lambda n: data[n].dtype, path)
        out = np.empty(len(data["channel"]), dtype)
        for name in names:
            values = data[name]
            if values.shape != out[name].shape:
                raise unreadable(path, f"not a velmora record file: column {name!r} has shape "
                                  f"{values.shape}, not {out[name].shape}")
            out[name] = values
        return out


def _raw_metadata(path: Path) -> str:
    with _npz(path) as data:
        if "metadata" not in data.files:
            raise unreadable(path, "no velmora metadata")
        return str(data["metadata"])


def _npy_member(archive: Any, name: str) -> tuple[Any, np.dtype, int] | None:
    """An array of an .npz archive opened for reading in pieces: the stream,
    dtype and length; None for anything but a plain one-dimensional array."""
    try:
        stream = archive.open(name + _MEMBER)
        version = np.lib.format.read_magic(stream)
        if version == (1, 0):
            shape, fortran, dtype = np.lib.format.read_array_header_1_0(stream)
        elif version == (2, 0):
            shape, fortran, dtype = np.lib.format.read_array_header_2_0(stream)
        else:
            return None
    except (KeyError, OSError, *NPY_HEADER_ERRORS):
        return None
    if len(shape) != 1 or dtype.hasobject or dtype.kind not in "iuf" or fortran:
        stream.close()
        return None
    return stream, dtype, int(shape[0])


def _npz_extras(archive: Any, path: Path, n: int) -> dict[str, tuple[Any, np.dtype, int]]:
    """The other arrays of a PE archive opened for reading in pieces, each
    a column of the table: one-dimensional numbers of its length."""
    found: dict[str, tuple[Any, np.dtype, int]] = {}
    for name in other_names(n.removesuffix(_MEMBER) for n in archive.namelist()):
        member = _npy_member(archive, name)
        if member is None or member[2] != n:
            if member is not None:
                member[0].close()
            for other in found.values():
                other[0].close()
            raise ValueError(f"{path}: the array {name!r} is no column of the PE table to pass into the links: "
                             f"it must hold {n} numbers, one per PE")
        found[name] = member
    return found


def _iter_npz(path: Path, extras: bool = False) -> Iterator[PETable]:
    """The rows of a PE archive in pieces, each array read a piece at a time
    from its stream; an archive that cannot be read so is read whole by
    read_pes, whose error names what is wrong."""
    try:
        archive = zipfile.ZipFile(path)
    except (OSError, zipfile.BadZipFile, ValueError):
        yield read_pes(path)  # its message names what is wrong with the file
        return
    with archive:
        members = [_npy_member(archive, name) for name in ("channel", "time")]
        channel, time = members
        if channel is None or time is None or channel[2] != time[2]:
            for m in members:
                if m is not None:
                    m[0].close()
            yield read_pes(path)
            return
        n = channel[2]
        others = _npz_extras(archive, path, n) if extras else {}
        streams = {"channel": channel, "time": time, **others}
        step = batch_rows()
        try:
            for lo in range(0, max(n, 1), step):
                rows = min(step, n - lo)
                parts = {}
                for name, (stream, dtype, _) in streams.items():
                    data = stream.read(rows * dtype.itemsize)
                    if len(data) != rows * dtype.itemsize:
                        raise ValueError(f"{path}: not a readable .npz file: an array ends early")
                    parts[name] = np.frombuffer(data, dtype)
                table = pa.table({k: parts[k] for k in others}) if others else None
                yield checked_piece(lambda: PETable(channel=parts["channel"], time=parts["time"], extras=table), path, lo)
        except (zipfile.BadZipFile, EOFError, OSError) as e:
            raise ValueError(f"{path}: not a readable .npz file: {str(e) or type(e).__name__}") from None
        finally:
            for stream, _, _ in streams.values():
                stream.close()




def _read_npz(path: Path) -> PETable:
    """The PE table of an archive of arrays channel and time, read whole."""
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
    except (EOFError, zipfile.BadZipFile, *NPY_HEADER_ERRORS) as e:
        raise ValueError(f"{path}: not a readable .npz file: {str(e) or type(e).__name__}") from None
    except OSError as e:
        raise ValueError(f"{path}: cannot read: {e.strerror or e}") from None
    return PETable(channel=channel, time=time)


class NpzFormat:
    """NumPy archives: records (held in memory until written), their links
    in a links file beside them, and PE tables."""

    name = "NumPy .npz"
    suffixes: tuple[str, ...] = (SUFFIX,)
    directory = False
    records = True
    tables = False
    pes = True
    parts = False
    whole = True
    links_inside = False
    keyed = False

    def open_writer(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool) -> Writer:
        return NpzWriter(path, dtype, metadata, overwrite)

    def read_records(self, path: Path, columns: Sequence[str] | None, channels: ChannelSet | None) -> np.ndarray:
        if columns is None and channels is None:
            return _read_records(path)
        return select(read_record_file(path), columns, channels, path)

    def open_pieces(self, path: Path) -> RecordPieces:
        return whole_records(path)

    def read_metadata(self, path: Path) -> dict[str, Any]:
        metadata = parsed_metadata(path, _raw_metadata)
        metadata.pop(LAYOUT_KEY, None)  # the records' layout, not the run's description
        return metadata

    def open_links(self, writer: Writer, schema: pa.Schema, metadata: dict[str, Any],
                   overwrite: bool) -> LinksWriter | InsideLinks:
        return links_beside(writer, schema, metadata, overwrite)

    def read_links(self, path: Path) -> pa.Table:
        return read_file_links(path, None)

    def pe_tables(self, path: Path, key: str | None, extras: bool) -> Iterator[PETable]:
        return _iter_npz(path, extras)

    def read_pes(self, path: Path, key: str | None) -> PETable:
        return _read_npz(path)

    def pe_extra_names(self, path: Path, key: str | None) -> tuple[str, ...]:
        with zipfile.ZipFile(path) as archive:
            return tuple(other_names(n.removesuffix(_MEMBER) for n in archive.namelist()))


    def column_notes(self, path: Path) -> dict[str, dict[bytes, bytes]] | None:
        return None

    def read_table(self, path: Path) -> pa.Table:
        raise ValueError(f"{path}: {self.name} files hold no plain table")

    def write_table(self, table: pa.Table, path: Path) -> None:
        raise ValueError(f"{path}: {self.name} files hold no plain table")


FORMAT = NpzFormat()
