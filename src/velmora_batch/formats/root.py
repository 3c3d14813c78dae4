"""ROOT files (through uproot, ``pip install 'velmora[root]'``), imported
only when such a file is used. A record file holds a TTree ``records``, one
branch per column (the waveform a fixed-size array branch), written a basket
per piece of a block as the blocks arrive, under a temporary name renamed
when complete; the run's description as JSON in a string object
``metadata``, each column's unit and meaning as JSON in a string object
``columns``, the records' layout in ``layout``, and the SHA-256 of each in
``checksums``. Its links lie inside it: a second TTree ``links`` (see the
links module). A PE table is a TTree (or an RNTuple), named by a key where
the file holds several, read in pieces."""

from __future__ import annotations

import hashlib
import json
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from .._channels import ChannelSet
from .._formats import (RECORDS_KEY, FormatError, MissingExtra, RecordPieces, check_pe_columns, checked_dtype,
                        column_notes, pe_piece, piece_rows, read_whole, reading, stored_model)
from .._links import LINKS_KEY_INSIDE, InsideLinks, LinksStore, LinksWriter, links_inside_of, read_file_links
from .._pes import PETable, batch_rows, first_extra_names, iter_tables, read_tables
from .._records import DAMAGED_METADATA, Columns, Writer, digest_matches, parsed_metadata, text_digest
from .._tables import read_pieces

SUFFIX = ".root"
ROOT_METADATA = "metadata"  # the ROOT string object of the run's description
ROOT_COLUMNS = "columns"  # the ROOT string object of the columns' units and meanings
ROOT_LAYOUT = "layout"  # the ROOT string object of the records' model and layout (LAYOUT_KEY)
# The ROOT string object of the SHA-256 of the run's description and of each
# column's values (see ColumnDigests), as JSON: ROOT keeps no checksum of a
# basket that is stored uncompressed, nor of the string objects.
ROOT_CHECKSUMS = "checksums"
ROOT_LINKS_METADATA = "links_metadata"  # the ROOT string object of what ties the links to their records


def uproot_module() -> Any:
    """The uproot module, or MissingExtra naming the extra that brings it."""
    try:
        import uproot
    except ImportError:
        raise MissingExtra("ROOT files need the Python package uproot, which is not installed: "
                           "pip install 'velmora[root]'") from None
    return uproot



def _branch_type(field: np.dtype) -> np.dtype:
    return np.dtype((field.base, field.shape)) if field.shape else field.base


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
        rows, step = len(columns["channel"]), piece_rows(self.dtype)
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



def root_pe_pieces(path: Path, key: str | None, rows: int) -> Iterator[pa.Table]:
    uproot = uproot_module()
    with reading(path, "ROOT"), uproot.open(path) as file:
        tree = _root_tree(file, path, key, "PEs", _TABLE)
        check_pe_columns(path, f"tree {tree.name!r}", _root_shapes(tree))
        names = [name for name, shape in _root_shapes(tree).items() if shape is not None and len(shape) <= 1]
        if tree.num_entries == 0:
            yield pe_piece({name: tree[name].array(library="np") for name in names})
            return
        for chunk in tree.iterate(names, step_size=rows, library="np"):
            yield pe_piece({name: np.asarray(chunk[name]) for name in names})


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



def _links_tree(writer: RootWriter) -> LinksStore:
    """Makes room for links in the ROOT file that ``writer`` writes: a tree
    ``links`` with a branch per stored column, its checksums written with
    the file's."""

    def store(columns: dict[str, np.dtype | str], text: str) -> Callable[[Columns], None]:
        writer._file[ROOT_LINKS_METADATA] = text
        tree = writer._file.mktree(LINKS_KEY_INSIDE, {n: "string" if isinstance(t, str) else t
                                                      for n, t in columns.items()}, title="velmora links")
        digests = writer.tree_digests[LINKS_KEY_INSIDE] = ColumnDigests(list(columns))

        def append(encoded: Columns) -> None:
            tree.extend(encoded)
            digests.add(encoded)

        return append

    return store


def _links_inside(path: Path) -> tuple[dict[str, Any], pa.Table] | None:
    """The links that a ROOT record file holds, with what ties them to their
    records; None where it holds none."""
    uproot = uproot_module()
    with reading(path, "ROOT"), uproot.open(path) as file:
        keys = file.keys(cycle=False)
        text = file[ROOT_LINKS_METADATA] if ROOT_LINKS_METADATA in keys and LINKS_KEY_INSIDE in keys else None

        def columns() -> Columns:
            found: Columns = file[LINKS_KEY_INSIDE].arrays(library="np")
            sums = root_checksums(file, path)
            if sums is not None and isinstance(sums.get(LINKS_KEY_INSIDE), dict):
                digests = ColumnDigests(list(found))
                digests.add(found)
                check_digests(path, digests, sums[LINKS_KEY_INSIDE])
            return found

        return links_inside_of(path, text if isinstance(text, str) else None, columns)


class RootFormat:
    """ROOT files: records with their links inside, and PE tables."""

    name = "ROOT"
    suffixes: tuple[str, ...] = (SUFFIX,)
    directory = False
    records = True
    tables = False
    pes = True
    parts = False
    whole = False
    links_inside = True
    keyed = True

    def open_writer(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool) -> Writer:
        return RootWriter(path, dtype, metadata, overwrite)

    def read_records(self, path: Path, columns: Sequence[str] | None, channels: ChannelSet | None) -> np.ndarray:
        if columns is None and channels is None:
            return read_whole(root_records(path))
        return read_pieces(path, columns, channels)

    def open_pieces(self, path: Path) -> RecordPieces:
        return root_records(path)

    def read_metadata(self, path: Path) -> dict[str, Any]:
        return parsed_metadata(path, root_metadata)

    def open_links(self, writer: Writer, schema: pa.Schema, metadata: dict[str, Any],
                   overwrite: bool) -> LinksWriter | InsideLinks:
        assert isinstance(writer, RootWriter)  # as open_writer opened it
        return InsideLinks(writer, schema, metadata, _links_tree(writer))

    def read_links(self, path: Path) -> pa.Table:
        return read_file_links(path, _links_inside)

    def pe_tables(self, path: Path, key: str | None, extras: bool) -> Iterator[PETable]:
        return iter_tables(path, root_pe_pieces(path, key, batch_rows()), extras)

    def read_pes(self, path: Path, key: str | None) -> PETable:
        return read_tables(path, root_pe_pieces(path, key, 1 << 24))

    def pe_extra_names(self, path: Path, key: str | None) -> tuple[str, ...]:
        return first_extra_names(path, key)


    def column_notes(self, path: Path) -> dict[str, dict[bytes, bytes]] | None:
        return None

    def read_table(self, path: Path) -> pa.Table:
        raise ValueError(f"{path}: {self.name} files hold no plain table")

    def write_table(self, table: pa.Table, path: Path) -> None:
        raise ValueError(f"{path}: {self.name} files hold no plain table")


FORMAT = RootFormat()
