"""Truth and links: which PEs made each record.

A run with ``truth=True`` gives every record the truth columns (``n_pe``,
``true_charge``, ``first_pe_time``, ``n_dark``, ``n_afterpulse``); with
``truth="links"`` it also gives one link per (record, PE) pair:

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
- then every other column of the input PE table, unchanged (null for dark
  noise and afterpulses).

Links are written as Parquet beside the records (``<stem>.links.parquet``)
or in a dataset directory's ``_links`` folder, and read by ``read_links``."""

from __future__ import annotations

import difflib
import json
import os
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from ._pes import GroupedPEs
from ._records import PASSED_THROUGH, PublishedFile, column_info, described, temporary_beside

KINDS = ("input", "dark", "afterpulse")
LINK_COLUMNS = ("record", "channel", "kind", "pe_index", "arrival_time", "amplitude", "parent_kind", "parent_index")
# The link columns every links file holds, older ones included; the others
# came later, so a file may end its link columns before them.
_FIRST_LINK_COLUMNS = LINK_COLUMNS[:6]
LINKS_KEY = b"velmora-links"  # Parquet schema metadata of a links file: what ties it to its records, as JSON
LINKS_SUFFIX = ".links.parquet"


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
              pa.field("parent_kind", _KIND_TYPE, nullable=True), pa.field("parent_index", pa.int64(), nullable=True)]
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
        pa.array(parent, mask=orphan)]
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
    """Where the links of a record file lie: ``<stem>.links.parquet`` beside it."""
    path = Path(output)
    return path.with_name(path.stem + LINKS_SUFFIX)


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
            self._writer = pq.ParquetWriter(self._tmp, self.schema)
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
        table = pq.read_table(Path(path))
    except (OSError, ValueError, pa.ArrowException) as e:
        raise ValueError(f"{path}: not a readable links file: {' '.join(str(e).split())}") from None
    if table.column_names[:len(_FIRST_LINK_COLUMNS)] != list(_FIRST_LINK_COLUMNS):
        raise ValueError(f"{path}: not a velmora links file: columns {', '.join(table.column_names)}")
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
    available = [n for n in names if n not in LINK_COLUMNS and n != "fraction"]
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
