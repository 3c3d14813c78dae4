"""The file formats that velmora_batch reads and writes, each described once
by a module of this package that implements :class:`Format`, and looked up
by a file's name (or, for a dataset, by its being a directory).

This module holds only the protocol and the registry, and imports nothing of
the package, so that any module can ask the registry which format a path
has. The formats themselves are registered in :mod:`.builtin`, which the
package imports before anything can be read or written; a new format takes
one module implementing :class:`Format` and one line there."""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    import numpy as np
    import pyarrow as pa

    from .._channels import ChannelSet

# What a format's readers and writers hand back is made by the modules that
# read and write records, links and PE tables, which look formats up here:
# the protocol names those types in words, so that this registry stays below
# every one of them.
Writer = Any  # a _records.Writer of the record file
RecordPieces = Any  # a _formats.RecordPieces of the record file
Links = Any  # a _links.LinksWriter of a links file, or the _links.InsideLinks of the record file
PETable = Any  # a _pes.PETable


class Format(Protocol):
    """A file format: what it is called, the suffixes of its files (lower
    case, with the dot; the first is the one messages name) and what it
    holds. A reader or writer of something a format does not hold raises
    ValueError naming the file."""

    name: str  # as messages and `velmora info` name it: "Parquet", "HDF5"
    suffixes: tuple[str, ...]
    directory: bool  # its files are directories (a dataset), not files of a suffix
    records: bool  # holds records (a PE-table format may not)
    pes: bool  # PE tables are read from it
    tables: bool  # holds plain tables of columns (a detector's channel table, a calibration table)
    parts: bool  # the format of a dataset's parts and of links files, and of files whose suffix names no format
    whole: bool  # a writer keeps the records in memory until it is closed
    links_inside: bool  # a record file holds its own links (else they lie in a links file beside it)
    keyed: bool  # a file may hold several PE tables, named by a key (a tree, an HDF5 table)

    def open_writer(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool) -> Writer:
        """A writer of records of ``dtype`` to the record file ``path``."""
        ...

    def read_records(self, path: Path, columns: Sequence[str] | None, channels: ChannelSet | None) -> np.ndarray:
        """The records of ``path``: only ``columns`` (None: all), only of
        ``channels`` (None: all)."""
        ...

    def open_pieces(self, path: Path) -> RecordPieces:
        """The records of the record file ``path``, opened for reading in pieces."""
        ...

    def read_metadata(self, path: Path) -> dict[str, Any]:
        """The run's description stored with the records of ``path``."""
        ...

    def open_links(self, writer: Writer, schema: pa.Schema, metadata: dict[str, Any],
                   overwrite: bool) -> Links:
        """The writer of the links of the records that ``writer`` writes."""
        ...

    def read_links(self, path: Path) -> pa.Table:
        """The links of the records of ``path``, checked to be of their run."""
        ...

    def pe_tables(self, path: Path, key: str | None, extras: bool) -> Iterator[PETable]:
        """The rows of a PE table in ``path`` in input order, in checked
        pieces; ``extras``: each with the table's other columns."""
        ...

    def read_pes(self, path: Path, key: str | None) -> PETable:
        """The PE table in ``path``, read whole."""
        ...

    def pe_extra_names(self, path: Path, key: str | None) -> tuple[str, ...]:
        """The columns of the PE table in ``path`` besides channel and time."""
        ...

    def column_notes(self, path: Path) -> dict[str, dict[bytes, bytes]] | None:
        """Each record column's unit and meaning as the file ``path`` stores
        them, by name (``unit``, ``description``); None where this format
        keeps none that are read back."""
        ...

    def read_table(self, path: Path) -> pa.Table:
        """The plain table of columns in ``path``."""
        ...

    def write_table(self, table: pa.Table, path: Path) -> None:
        """Writes the plain table of columns ``table`` to ``path``."""
        ...


_FORMATS: list[Format] = []


def register(format: Format) -> None:
    """Adds ``format`` to those files are read and written in. A suffix is
    lower case, begins with its dot and belongs to one format only; one
    format holds directories, one is that of parts and links files."""
    bad = [s for s in format.suffixes if not (s.startswith(".") and len(s) > 1 and s == s.lower() and "." not in s[1:])]
    if bad:
        raise ValueError(f"format {format.name}: {', '.join(map(repr, bad))} is no suffix (lower case, one dot first)")
    taken = {suffix for known in _FORMATS for suffix in known.suffixes}
    clash = sorted(taken & set(format.suffixes))
    if clash:
        raise ValueError(f"format {format.name}: the suffixes {', '.join(clash)} belong to another format")
    for role in ("directory", "parts"):
        if getattr(format, role) and any(getattr(known, role) for known in _FORMATS):
            raise ValueError(f"format {format.name}: another format already has the role {role!r}")
    _FORMATS.append(format)


def registered() -> tuple[Format, ...]:
    """Every registered format, in the order registered."""
    return tuple(_FORMATS)


def format_of(path: str | os.PathLike[str]) -> Format | None:
    """The format of ``path``: the directory format for an existing
    directory, else the one its suffix names; None for a suffix of no format."""
    path = Path(path)
    if path.is_dir():
        return next((f for f in _FORMATS if f.directory), None)
    suffix = path.suffix.lower()
    return next((f for f in _FORMATS if suffix in f.suffixes), None) if suffix else None


def by_suffix(suffix: str) -> Format | None:
    """The format of files ending in ``suffix`` (lower case, with the dot)."""
    return next((f for f in _FORMATS if not f.directory and suffix in f.suffixes), None)


def record_format(path: str | os.PathLike[str]) -> Format | None:
    """The format of the record file ``path`` (a file, not a directory) by
    its suffix; None for a suffix of no format of records."""
    found = by_suffix(Path(path).suffix.lower())
    return found if found is not None and found.records else None


def parts_format() -> Format:
    """The format of a dataset's parts and of links files, in which a file
    whose suffix names no format is read."""
    return next(f for f in _FORMATS if f.parts)


def suffixes(*, records: bool = False, pes: bool = False, tables: bool = False) -> tuple[str, ...]:
    """The suffixes of the files of every format (``records``: of those that
    hold records; ``pes``: of those PE tables are read from; ``tables``: of
    those that hold plain tables), in the order the formats were registered."""
    return tuple(s for f in _FORMATS if not f.directory and (f.records or not records) and (f.pes or not pes)
                 and (f.tables or not tables) for s in f.suffixes)


def table_format(path: str | os.PathLike[str]) -> Format | None:
    """The format of the plain table file ``path`` by its suffix; None for
    a suffix of no format of plain tables."""
    found = by_suffix(Path(path).suffix.lower())
    return found if found is not None and found.tables else None


def table_suffixes_text() -> str:
    """The suffixes of plain table files as a message lists them: ".csv or .parquet"."""
    return suffixes_text(sorted(suffixes(tables=True)))


def record_suffixes() -> tuple[str, ...]:
    """The suffixes a record file may end in."""
    return suffixes(records=True)


def suffixes_text(names: Sequence[str] | None = None) -> str:
    """Suffixes (by default, those of record files) as a message lists
    them: ".parquet, .npz or .root"."""
    names = list(record_suffixes() if names is None else names)
    if not names:
        return "none"
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " or " + names[-1]
