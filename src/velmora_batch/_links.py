"""Truth and links: which PEs made each record.

A run with ``truth=True`` gives every record the truth columns (``n_pe``,
``true_charge``, ``first_pe_time``, ``n_dark``, ``n_afterpulse``,
``n_pe_any``); with ``truth="links"`` it also gives one link per (record, PE)
pair:

- ``record`` (int64): the record's row in the output (the records that
  ``run`` returns, the record file, or the dataset as ``read_records`` gives
  it; a dataset's links part holds the row in its block's record part);
- ``channel`` (int32): the record's channel;
- ``kind`` (dictionary of int8 codes): ``"input"`` (code 0) for a PE of the
  input table, ``"dark"`` (1) for dark noise, ``"afterpulse"`` (2);
- ``pe_index`` (int64): for an input PE its row in the input table (counted
  from 0, over every row of the table or file, selected or not); for dark
  noise its index among its channel's dark PEs (in draw order); for an
  afterpulse its index among its channel's afterpulses;
- ``arrival_time`` (float64, seconds in the run's time) and ``amplitude``
  (float64): the PE's drawn arrival time (transit-time spread included) and
  drawn amplitude;
- ``parent_kind`` and ``parent_index``: for an afterpulse, the ``kind``
  and ``pe_index`` of the PE that spawned it (an input PE or dark noise);
  null for every other PE (links files written before these columns lack
  them);
- ``fraction`` (float64): the share of the PE's shaped pulse that falls
  inside the record, 0 to 1 (links files written before this column lack
  it);
- then every other column of the input PE table, unchanged (null for dark
  noise and afterpulses).

Where links are kept, and read back by ``read_links``:

- a ROOT or HDF5 record file holds them itself: a second TTree ``links`` (a
  branch per column) or a second compound dataset ``links`` (a field per
  column). ``kind`` and ``parent_kind`` are stored as their int8 codes; a
  column that may be null (``parent_kind``, ``parent_index``, a passed-through
  column of numbers or text) keeps its values (0 or "" where null) with a
  bool column ``<name>_valid`` beside it, false where the value is null; the
  links'
  Arrow schema (types, nullability, units and meanings) is stored with them
  (the ROOT string object ``links_metadata``, the HDF5 attribute
  ``velmora-links``), so that they read back as written;
- a Parquet or .npz record file has them beside it, in the Parquet file
  ``<record file name>.links.parquet`` (``run.parquet.links.parquet``): no
  two record files share the name. Files of earlier runs, whose links lie in
  ``<stem>.links.parquet``, are still read (checked to be of the same run);
- a dataset directory has them beside it, in ``<name>.links`` (see
  ``_dataset``).

A links file is told from a record file by what it holds (the schema
metadata ``velmora-links``), never by its name: a record file may be named
``x.links.parquet``. A run replaces, with ``overwrite``, only a file whose
metadata says it is the links of the record file it writes."""

from __future__ import annotations

import base64
import difflib
import json
import math
import os
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from ._errors import OptionError
from ._formats import FormatError
from ._pes import GroupedPEs
from ._publish import PublishedFile, temporary_beside
from ._records import (PASSED_THROUGH, Writer, check_output, column_info, described, prepare_record_file,
                       read_file_metadata, refuse_record_file)
from .formats import by_suffix, parts_format, record_format, registered, suffixes_text

KINDS = ("input", "dark", "afterpulse")
LINK_COLUMNS = ("record", "channel", "kind", "pe_index", "arrival_time", "amplitude", "parent_kind", "parent_index",
                "fraction")
# The link columns every links file holds, older ones included; the others
# came later, so a file may end its link columns before them.
_FIRST_LINK_COLUMNS = LINK_COLUMNS[:6]
LINKS_KEY = b"velmora-links"  # Parquet schema metadata of a links file: what ties it to its records, as JSON
LINKS_TAG = ".links"  # a links file's name: its record file's, this, and the suffix of the format of links files


def links_suffix() -> str:
    """What a links file's name adds to its record file's: ``.links.parquet``."""
    return LINKS_TAG + parts_format().suffixes[0]


def truth_mode(truth: object) -> str | None:
    """The truth a run records: None (``truth=False``), ``"columns"`` (the
    truth columns, ``truth=True``) or ``"links"`` (the columns and the
    links, ``truth="links"``); anything else is a ValueError."""
    if isinstance(truth, bool | np.bool_):
        return "columns" if truth else None
    if isinstance(truth, str) and truth == "links":
        return "links"
    raise ValueError(f"truth must be False, True or 'links', got {truth!r}")


def check_extra_names(names: tuple[str, ...]) -> None:
    """Refuses other PE columns whose names a link has already, or that hold
    a NUL character (which ends a name in the files links go to): they
    could not pass through unchanged."""
    for name in names:
        if "\0" in name:
            raise ValueError(f"the PE table's column {name!r} has a NUL character in its name, which a links file "
                             "cannot keep: rename it to pass it into the links")
    taken = [n for n in names if n in LINK_COLUMNS]
    if taken:
        raise ValueError(f"the PE table's column{'s' if len(taken) > 1 else ''} {', '.join(map(repr, taken))} "
                         f"would take the name of a link column ({', '.join(LINK_COLUMNS)}): rename "
                         f"{'them' if len(taken) > 1 else 'it'} to pass {'them' if len(taken) > 1 else 'it'} "
                         "into the links")


def check_extra_types(extras: pa.Schema | None) -> None:
    """Refuses other PE columns of a type that a links file (Parquet) cannot
    hold, such as unions, naming the column."""
    for field in extras or ():
        try:
            pq.ParquetWriter(pa.BufferOutputStream(), pa.schema([field])).close()
        except pa.ArrowException as e:
            reason = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
            raise ValueError(f"the PE table's column {field.name!r} is of type {field.type}, which a links file "
                             f"cannot hold ({reason}): cast it to numbers, text or lists of them to pass it into "
                             "the links") from None


_KIND_TYPE = pa.dictionary(pa.int8(), pa.string())


def _kinds(codes: np.ndarray, mask: np.ndarray | None = None) -> Any:
    """PE kinds as the dictionary of KINDS; ``mask``: where they are null."""
    indices: Any = pa.array(codes.astype(np.int8), mask=mask)
    return pa.DictionaryArray.from_arrays(indices, pa.array(KINDS))


def _row_of(index: np.ndarray, kind: np.ndarray, pes: GroupedPEs) -> np.ndarray:
    """PE indices as links give them: ``index`` (a source index) with an
    input PE's index into the block's PEs made its row in the input table."""
    index = index.copy()
    is_input = kind == 0
    if is_input.any():
        if pes.rows is None:
            raise RuntimeError("the block's input PEs came without their rows in the input table")
        index[is_input] = pes.rows[index[is_input]]
    return index


def links_schema(extras: pa.Schema | None) -> pa.Schema:
    """The columns of a run's links: the link's own, then the PE table's
    other columns; each with its unit and meaning in its field metadata
    (a passed-through column keeps its own where it has any)."""
    fields = [pa.field("record", pa.int64(), nullable=False), pa.field("channel", pa.int32(), nullable=False),
              pa.field("kind", _KIND_TYPE, nullable=False),
              pa.field("pe_index", pa.int64(), nullable=False),
              pa.field("arrival_time", pa.float64(), nullable=False),
              pa.field("amplitude", pa.float64(), nullable=False),
              pa.field("parent_kind", _KIND_TYPE, nullable=True), pa.field("parent_index", pa.int64(), nullable=True),
              pa.field("fraction", pa.float64(), nullable=False)]
    fields = [described(f, column_info("links", f.name)) for f in fields]
    # Nullable whatever the input allowed: dark noise and afterpulses have no values there.
    passed = [(f if f.metadata else described(f, PASSED_THROUGH)).with_nullable(True) for f in extras or ()]
    return pa.schema(fields + passed)


def sort_order(order: np.ndarray) -> np.ndarray:
    """Where each row of a block goes when its rows are put in ``order``
    (the inverse permutation)."""
    where = np.empty(len(order), np.int64)
    where[order] = np.arange(len(order), dtype=np.int64)
    return where


def block_links(links: Mapping[str, np.ndarray], record_channels: np.ndarray, origin: Mapping[str, np.ndarray],
                pes: GroupedPEs, schema: pa.Schema) -> pa.Table:
    """The links of a block in record order: ``links`` as the engine gives
    them (``record``: a row of the block's records, ``pe``: an index into
    its PE pieces), ``origin`` the ``kinds``, ``sources``, ``parent_kinds``
    and ``parent_sources`` of each PE of the pieces (as the block's pieces
    give them), and the block's input PEs, whose ``rows`` and ``extras``
    name each input PE's row and other columns."""
    record = np.asarray(links["record"], np.int64)
    pe = np.asarray(links["pe"], np.int64)
    order = np.argsort(record, kind="stable")
    record, pe = record[order], pe[order]
    kind = np.asarray(origin["kinds"], np.uint8)[pe]
    source = np.asarray(origin["sources"], np.int64)[pe]
    is_input = kind == 0
    parent_kind = np.asarray(origin["parent_kinds"], np.uint8)[pe]
    orphan = parent_kind >= len(KINDS)  # no afterpulse: no parent
    parent_kind[orphan] = 0
    # Only an input parent's index becomes a row of the input table.
    parent = _row_of(np.asarray(origin["parent_sources"], np.int64)[pe], np.where(orphan, 1, parent_kind), pes)
    columns: list[Any] = [
        pa.array(record), pa.array(np.asarray(record_channels, np.int32)[record]), _kinds(kind),
        pa.array(_row_of(source, kind, pes)), pa.array(np.asarray(links["time"], np.float64)[order]),
        pa.array(np.asarray(links["amplitude"], np.float64)[order]), _kinds(parent_kind, orphan),
        pa.array(parent, mask=orphan),
        pa.array(np.asarray(links["fraction"], np.float64)[order])]
    extra_fields = list(schema)[len(LINK_COLUMNS):]
    if extra_fields:
        assert pes.extras is not None
        rows: Any = pa.array(np.where(is_input, source, 0), mask=~is_input)  # null for dark noise and afterpulses
        taken = pes.extras.take(rows)
        columns += [taken.column(f.name) for f in extra_fields]
    return pa.Table.from_arrays(columns, schema=schema)


def shifted(table: pa.Table, rows: int) -> pa.Table:
    """Links whose records moved down by ``rows`` in the output."""
    if rows == 0:
        return table
    record = table.column("record").to_numpy() + np.int64(rows)
    return table.set_column(0, table.schema.field(0), pa.array(record))


def links_path(output: str | os.PathLike[str]) -> Path:
    """Where the links of a Parquet or .npz record file lie:
    ``<its name>.links.parquet`` beside it."""
    path = Path(output)
    return path.with_name(path.name + links_suffix())


def earlier_links_path(output: Path) -> Path:
    """Where runs before put the links of a record file: ``<stem>.links.parquet``."""
    return output.with_name(output.stem + links_suffix())


def links_inside(output: str | os.PathLike[str]) -> bool:
    """Whether a record file of this name holds its links itself (ROOT, HDF5)."""
    found = record_format(output)
    return found is not None and found.links_inside


def is_links_file(path: str | os.PathLike[str]) -> bool:
    """Whether ``path`` is a Parquet file that velmora wrote as links."""
    found = by_suffix(Path(path).suffix.lower())
    if found is None or not found.parts:
        return False
    try:
        return LINKS_KEY in (pq.read_schema(Path(path)).metadata or {})
    except (OSError, ValueError, pa.ArrowException):
        return False


def prepare_links_file(path: Path, records: str, overwrite: bool) -> None:
    """Makes ready to write the links of the record file named ``records``
    to ``path``, refused as :func:`refuse_links_file` refuses it."""
    refuse_links_file(path, records, overwrite)
    prepare_record_file(path, overwrite)


def refuse_links_file(path: Path, records: str, overwrite: bool) -> None:
    """Refuses to write the links of the record file named ``records`` to
    ``path`` where a file is there, unless ``overwrite`` and its metadata
    says it is the links of a record file of that name; changes nothing."""
    if path.exists() and overwrite and not path.is_dir():
        try:
            theirs = links_metadata(path).get("records") if is_links_file(path) else None
        except (OSError, ValueError):
            theirs = None
        if theirs != records:
            raise FileExistsError(f"{path}: exists and is not the links of {records}, so it is not replaced; "
                                  "move it, or write the records under another name")
    refuse_record_file(path, overwrite)


class LinksWriter(PublishedFile):
    """Writes a run's links, a table at a time, to a temporary file beside
    ``path`` that :meth:`close` renames to ``path`` (without ``overwrite``,
    only if no file has taken the name meanwhile); :meth:`abort`, or the
    writer being dropped unclosed, removes it."""

    def __init__(self, path: Path, schema: pa.Schema, metadata: dict[str, Any], overwrite: bool = True) -> None:
        self.path = path
        self.rows = 0
        self.overwrite = overwrite
        self.schema = schema.with_metadata({LINKS_KEY: json.dumps(metadata).encode()})
        self._tmp, self._finalizer = temporary_beside(path, self)
        try:
            self._writer = pq.ParquetWriter(self._tmp, self.schema, write_page_checksum=True)  # as record files
        except BaseException:
            self._finalizer()
            raise
        self._open = True

    def write(self, table: pa.Table) -> None:
        if table.num_rows:
            self._writer.write_table(table.replace_schema_metadata(self.schema.metadata))
            self.rows += table.num_rows

    def _finish(self) -> None:
        self._writer.close()

    def _discard(self) -> None:
        self._writer.close()


def links_metadata(path: str | os.PathLike[str]) -> dict[str, Any]:
    """What ties a links file to its records (JSON under the schema metadata
    key ``velmora-links``); a ValueError naming the file where there is none."""
    try:
        stored = pq.read_schema(Path(path)).metadata or {}
        metadata = json.loads(stored[LINKS_KEY]) if LINKS_KEY in stored else None
    except (FileNotFoundError, PermissionError):
        raise
    except (OSError, ValueError, pa.ArrowException) as e:
        raise ValueError(f"{path}: not a readable links file: {' '.join(str(e).split())}") from None
    if not isinstance(metadata, dict):
        raise ValueError(f"{path}: not a velmora links file (no links metadata)")
    return metadata


def read_links_file(path: str | os.PathLike[str]) -> pa.Table:
    """The links of one links file, as written."""
    links_metadata(path)
    try:
        table = pq.read_table(Path(path), page_checksum_verification=True)
    except (OSError, ValueError, pa.ArrowException) as e:
        raise ValueError(f"{path}: not a readable links file: {' '.join(str(e).split())}") from None
    if table.column_names[:len(_FIRST_LINK_COLUMNS)] != list(_FIRST_LINK_COLUMNS):
        raise ValueError(f"{path}: not a velmora links file: columns {', '.join(table.column_names)}")
    # The types come from the Arrow schema kept in the footer, which no page
    # checksum covers: a link column of another type is a damaged file.
    own = links_schema(None)
    for name in table.column_names:
        if name in own.names and table.schema.field(name).type != own.field(name).type:
            raise ValueError(f"{path}: damaged links file: its column {name} reads as "
                             f"{table.schema.field(name).type}, where links hold {own.field(name).type}")
    return table.replace_schema_metadata(None)


def record_labels(links: pa.Table, records: int | np.ndarray, column: str) -> pa.Array[Any]:
    """Each record's label: the value of the PE table's column ``column``
    (passed into ``links``) of the record's input PE with the largest charge
    share, the PE's amplitude times its ``fraction`` where the links have
    that column, else its amplitude (ties go to the smallest ``pe_index``);
    null for a record that no input PE reaches (dark noise and afterpulses
    only, or nothing). ``records``: the records the links name (or their
    number); gives one value per record, of the column's own type."""
    names = links.column_names[len(_FIRST_LINK_COLUMNS):]
    available = [n for n in names if n not in LINK_COLUMNS]
    if column not in available:
        close = difflib.get_close_matches(column, available, n=1)
        raise ValueError(f"label {column!r} is not a column of the PE table"
                         + (f" (did you mean {close[0]!r}?)" if close else "")
                         + f"; its columns besides channel and time: {', '.join(available) or 'none'}")
    count = records if isinstance(records, int | np.integer) else len(records)
    record = links.column("record").to_numpy()
    kind: Any = links.column("kind").cast(pa.string())
    is_input = np.asarray(kind.to_numpy(zero_copy_only=False) == "input", bool)
    if len(record) and (record.min() < 0 or record.max() >= count):
        raise ValueError(f"the links name record rows up to {int(record.max())}, beyond the {count} records given")
    share = links.column("amplitude").to_numpy().copy()
    if "fraction" in links.column_names:
        share *= links.column("fraction").to_numpy()
    linked = np.flatnonzero(is_input)
    # Per record, its input links by decreasing share: the first one is its label's PE.
    linked = linked[np.lexsort((links.column("pe_index").to_numpy()[linked], -share[linked], record[linked]))]
    first = np.ones(len(linked), bool)
    first[1:] = record[linked][1:] != record[linked][:-1]
    best = np.zeros(count, np.int64)
    best[record[linked][first]] = linked[first]
    none = np.ones(count, bool)
    none[record[linked][first]] = False
    rows: Any = pa.array(best, mask=none)
    return links.column(column).take(rows).combine_chunks()


# Links inside a ROOT or HDF5 record file.

LINKS_KEY_INSIDE = "links"  # the TTree or HDF5 dataset of the links
VALID = "_valid"  # suffix of the column that says where a passed-through column holds a value


def _stored_type(field: pa.Field[Any]) -> np.dtype | str | None:
    """How a links column is stored in ROOT or HDF5: a numpy type, "string",
    or None where it cannot be."""
    kind = field.type
    if pa.types.is_dictionary(kind):
        return np.dtype(np.int8)  # the codes of kind
    if pa.types.is_boolean(kind) or pa.types.is_integer(kind) or (pa.types.is_floating(kind)
                                                                  and kind.bit_width > 16):
        return np.dtype(kind.to_pandas_dtype())
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return "string"
    return None


def stored_columns(schema: pa.Schema, path: Path) -> dict[str, np.dtype | str]:
    """The columns of links of ``schema`` in a ROOT or HDF5 file, by name:
    each column, and beside each one that may hold nulls its ``_valid``
    column; a ValueError naming a column that these files cannot hold."""
    out: dict[str, np.dtype | str] = {}
    for field in schema:
        kind = _stored_type(field)
        if kind is None:
            raise ValueError(f"{path}: the PE table's column {field.name!r} holds {field.type}, which the links in "
                             f"a ROOT or HDF5 file cannot hold (numbers and text only); write the records as "
                             f"{suffixes_text(_beside_suffixes())} to keep it in their links")
        out[field.name] = kind
        if field.nullable:
            if field.name + VALID in schema.names:
                raise ValueError(f"{path}: the columns {field.name!r} and {field.name + VALID!r} would share a "
                                 f"column in the links of a ROOT or HDF5 file; rename {field.name + VALID!r} in the "
                                 "PE table")
            out[field.name + VALID] = np.dtype(np.bool_)
    return out


def _encoded(table: pa.Table) -> dict[str, np.ndarray]:
    """The columns of links as a ROOT or HDF5 file stores them."""
    out: dict[str, np.ndarray] = {}
    for i, field in enumerate(table.schema):
        column: Any = table.column(i).combine_chunks()
        if field.nullable:
            out[field.name + VALID] = np.asarray(column.is_valid().to_numpy(zero_copy_only=False), np.bool_)
        kind = _stored_type(field)
        if pa.types.is_dictionary(field.type):  # a kind, as its code
            column = pc.index_in(column.cast(pa.string()), value_set=pa.array(KINDS))
        if kind == "string":
            out[field.name] = np.array(["" if v is None else v for v in column.to_pylist()], dtype=object)
        else:
            assert isinstance(kind, np.dtype)
            filled = column.fill_null(False if kind.kind == "b" else 0) if column.null_count else column
            out[field.name] = np.asarray(filled.to_numpy(zero_copy_only=False), kind)
    return out


def _decoded(columns: dict[str, np.ndarray], schema: pa.Schema) -> pa.Table:
    """Links read from a ROOT or HDF5 file, as written."""
    arrays: list[Any] = []
    for field in schema:
        values = columns[field.name]
        mask = ~np.asarray(columns[field.name + VALID], np.bool_) if field.nullable else None
        if values.dtype.kind in "OS":
            values = np.array([v.decode() if isinstance(v, bytes) else v for v in values], dtype=object)
        if pa.types.is_dictionary(field.type):
            codes: Any = pa.array(np.asarray(values, np.int8), mask=mask)
            arrays.append(pa.DictionaryArray.from_arrays(codes, pa.array(KINDS)))
        else:
            arrays.append(pa.array(values, field.type, mask=mask))
    return pa.Table.from_arrays(arrays, schema=schema)


# Given the columns of links as a record file stores them (see stored_columns) and what ties the links to their
# records (JSON), makes room for the links in the file and gives what appends a table of such columns to them.
LinksStore = Callable[[dict[str, np.dtype | str], str], Callable[[dict[str, np.ndarray]], None]]


class InsideLinks:
    """Writes a run's links into the record file that ``writer`` writes, a
    table at a time, through ``store``, as the file's format keeps them:
    closing or aborting the record file closes or drops them with it."""

    def __init__(self, writer: Writer, schema: pa.Schema, metadata: dict[str, Any], store: LinksStore) -> None:
        self.schema = schema.remove_metadata()
        self.columns = stored_columns(self.schema, writer.path)
        self.rows = 0
        text = json.dumps(dict(metadata, schema=base64.b64encode(self.schema.serialize().to_pybytes()).decode()))
        self._append = store(self.columns, text)

    def write(self, table: pa.Table) -> None:
        if not table.num_rows:
            return
        self._append(_encoded(table))
        self.rows += table.num_rows

    def close(self) -> None:
        pass  # closed with the record file

    def abort(self) -> None:
        pass  # dropped with the record file


def _beside_suffixes() -> list[str]:
    """The suffixes of record files whose links lie beside them."""
    return [s for f in registered() if f.records and not f.directory and not f.links_inside for s in f.suffixes]


def links_inside_of(path: Path, text: str | None,
                    columns: Callable[[], dict[str, np.ndarray]]) -> tuple[dict[str, Any], pa.Table] | None:
    """The links a record file holds, from what ties them to their records
    (``text``, JSON; None where the file holds no links) and their columns as
    stored (read by ``columns``), with what ties them; None where it holds
    none."""
    if text is None:
        return None
    metadata = json.loads(text)
    if not isinstance(metadata, dict) or not isinstance(metadata.get("schema"), str):
        raise FormatError(f"{path}: its links carry no description of their columns")
    schema = pa.ipc.read_schema(pa.py_buffer(base64.b64decode(metadata.pop("schema"))))
    return metadata, _decoded(columns(), schema)


def open_links(writer: Writer, schema: pa.Schema, links_id: str, overwrite: bool) -> LinksWriter | InsideLinks:
    """The writer of the links of the record file that ``writer`` writes:
    inside it (ROOT, HDF5), else beside it, checked and claimed like it, as
    the file's format keeps them."""
    metadata = {"links_id": links_id, "records": writer.path.name}
    found = record_format(writer.path)
    if found is None:
        raise ValueError(f"{writer.path}: record files must end in {suffixes_text()}")
    links = found.open_links(writer, schema, metadata, overwrite)
    if not isinstance(links, LinksWriter | InsideLinks):
        raise TypeError(f"format {found.name}: open_links gave a {type(links).__name__}, not a links writer")
    return links


def links_beside(writer: Writer, schema: pa.Schema, metadata: dict[str, Any], overwrite: bool) -> LinksWriter:
    """The writer of the links of the record file that ``writer`` writes, in
    a links file beside it, checked and claimed like it."""
    path = links_path(writer.path)
    check_output(path)
    prepare_links_file(path, writer.path.name, overwrite)
    return LinksWriter(path, schema, metadata, overwrite)


def label_type(label: object, names: tuple[str, ...], extras: pa.Schema | None, taken: tuple[str, ...]) -> str:
    """The type (one of LABEL_TYPES) of the label column ``label`` that a
    run puts on its records from the PE table's other column of that name
    (``names``, their types in ``extras``); ``taken``: the names of the
    record columns, which a label must not take. Anything else is an
    OptionError naming the option ``label``."""
    if not isinstance(label, str) or not label:
        raise OptionError("label", "{label.given} must name a column of the PE table, got {value!r}", value=label)
    if label not in names:
        close = difflib.get_close_matches(label, names, n=1)
        raise OptionError("label", "{label.given}{value!r}: the PE table has no such column{close}; its columns "
                          "besides channel and time: {names}", value=label, names=", ".join(names) or "none",
                          close=f" (did you mean {close[0]!r}?)" if close else "")
    if label in taken:
        raise OptionError("label", "{label.given}{value!r}: the label column would take the name of a record column "
                          "({taken}); rename the PE table's column to label records with it", value=label,
                          taken=", ".join(taken))
    field = None if extras is None or label not in extras.names else extras.field(label)
    if field is None:
        raise OptionError("label", "{label.given}{value!r}: the PE table has no rows to give the column's type",
                          value=label)
    if pa.types.is_integer(field.type):
        return "int64"
    if pa.types.is_floating(field.type):
        return "float64"
    raise OptionError("label", "{label.given}{value!r}: the PE table's column holds {type}; a label is taken from a "
                      "column of integers or of floating-point numbers", value=label, type=str(field.type))


def check_integer_labels(values: Any, column: str) -> None:
    """Refuses the values of an integer column ``column`` that labels could
    not tell from no label (-1) or cannot hold (beyond int64)."""
    try:
        values = values.cast(pa.int64())
    except pa.ArrowInvalid:
        raise OptionError("label", "{label.given}{value!r}: the PE table's column holds a value beyond the int64 "
                          "range of labels", value=column) from None
    if pc.any(pc.equal(values, pa.scalar(-1, pa.int64()))).as_py():
        raise OptionError("label", "{label.given}{value!r}: the PE table's column holds -1, which labels a record that "
                          "no input PE reaches; give the PEs other values to label records with them", value=column)


def label_values(links: pa.Table, records: int, column: str, kind: str, pes: GroupedPEs) -> np.ndarray:
    """The label column (``kind``: its type, one of LABEL_TYPES) of a
    block's ``records`` records from the block's ``links`` (as
    :func:`record_labels` takes them, from the column ``column`` of the
    block's input PEs ``pes``): an integer column's values as int64, -1 where
    a record has none, a floating-point column's as float64, NaN where it
    has none. An integer column holding -1, which would read as no label, or
    a value beyond int64 is refused."""
    if kind == "int64" and pes.extras is not None:
        check_integer_labels(pes.extras.column(column), column)
    labels = record_labels(links, records, column)
    if kind == "int64":
        return np.asarray(labels.cast(pa.int64()).fill_null(-1).to_numpy(zero_copy_only=False), np.int64)
    return np.asarray(labels.cast(pa.float64()).fill_null(math.nan).to_numpy(zero_copy_only=False), np.float64)


def links_file_of(path: Path, links_id: str) -> Path:
    """The links file of the record file ``path`` whose run's links are
    ``links_id``: where this version puts it, or where earlier runs did."""
    places = [links_path(path), earlier_links_path(path)]
    for links in places:
        if links.exists() and is_links_file(links) and links_metadata(links).get("links_id") == links_id:
            return links
    found = next((p for p in places if p.exists() and is_links_file(p)), None)
    if found is not None:
        raise ValueError(f"{found}: holds the links of another run than {path.name}'s")
    raise FileNotFoundError(f"{places[0]}: missing; the links of {path.name} should be there")


def read_file_links(path: Path, inside: Callable[[Path], tuple[dict[str, Any], pa.Table] | None] | None) -> pa.Table:
    """The links of the record file ``path``: those ``inside`` finds in it
    (where its format keeps them there), else those of the links file
    beside it; each checked to be of the run its metadata names."""
    stored = read_file_metadata(path).get("links_id")
    if stored is None:
        raise ValueError(f"{path}: its run wrote no links (run it with truth='links', --truth links)")
    found = inside(path) if inside is not None else None
    if found is not None:
        if found[0].get("links_id") != stored:
            raise ValueError(f"{path}: holds the links of another run than its records'")
        return found[1]
    return read_links_file(links_file_of(path, stored))
