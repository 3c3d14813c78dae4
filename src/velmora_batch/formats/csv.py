"""CSV: PE tables (columns ``channel`` and ``time``, any others passed into
the links), read a block of rows at a time, and plain tables (a detector's
channel table, a calibration table). A CSV file holds no records."""

from __future__ import annotations

import re
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
import pyarrow as pa
import pyarrow.csv as arrow_csv

from .._channels import ChannelSet
from .._formats import RecordPieces
from .._links import InsideLinks, LinksWriter
from .._pes import PETable, batch_rows, check_names, checked_piece, from_arrow, other_names, read_arrow_pes, read_pes
from .._records import Writer

SUFFIX = ".csv"


def _no_records(path: Path) -> NoReturn:
    raise ValueError(f"{path}: a CSV file holds PE tables, not records")


def _pe_names(path: Path) -> list[str]:
    return arrow_csv.open_csv(path).schema.names


def _pe_columns(path: Path) -> pa.Table:
    # The other columns are not read: they cannot make the file unreadable.
    return arrow_csv.read_csv(path, convert_options=arrow_csv.ConvertOptions(include_columns=["channel", "time"]))


# A CSV conversion error names the column (counted from 0 in the file) whose row did not fit its type.
_CSV_COLUMN = re.compile(r"In CSV column #(\d+): ")


def _wider(kind: pa.DataType) -> pa.DataType:
    """The type a CSV column takes where a later row does not fit the one
    Arrow guessed from the first rows: the next that Arrow itself would try
    (whole numbers after none, floating point after whole numbers), else text."""
    if pa.types.is_null(kind):
        return pa.int64()
    return pa.float64() if pa.types.is_integer(kind) else pa.string()


def _csv_other_types(path: Path, schema: pa.Schema, others: list[str],
                     options: arrow_csv.ReadOptions) -> dict[str, pa.DataType]:
    """The types of the other columns of a CSV PE file that hold every row:
    Arrow's guess from the first rows, widened (see _wider) where a later
    row does not fit. A pass over those columns of the whole file, and one
    more for each widening. A fault the widening cannot mend is left for the
    read to name."""
    types = dict(zip(schema.names, schema.types))
    types = {name: types[name] for name in others}
    while True:
        try:
            reader = arrow_csv.open_csv(path, read_options=options, convert_options=arrow_csv.ConvertOptions(
                column_types=types, include_columns=others))
            for _ in reader:
                pass
            return types
        except pa.ArrowInvalid as e:
            match = _CSV_COLUMN.match(str(e))
            index = int(match.group(1)) if match else len(schema.names)
            name = schema.names[index] if index < len(schema.names) else None
            if name not in types or pa.types.is_string(types[name]):
                return types
            types[name] = _wider(types[name])


def _iter_pes(path: Path, extras: bool = False) -> Iterator[PETable]:

    try:
        # Numbers as doubles throughout: the type guessed from a first piece could differ from a later one's.
        options = arrow_csv.ReadOptions(block_size=batch_rows() * 32)
        types: dict[str, pa.DataType] = {"channel": pa.float64(), "time": pa.float64()}
        reader = arrow_csv.open_csv(path, read_options=options,
                                    convert_options=arrow_csv.ConvertOptions(column_types=types))
        check_names(reader.schema.names, str(path))
        # Columns the run does not use are not read; those carried into the links get a type that holds every row.
        names = tuple(other_names(reader.schema.names))
        others = list(names) if extras else []
        types |= _csv_other_types(path, reader.schema, others, options) if others else {}
        reader = arrow_csv.open_csv(path, read_options=options, convert_options=arrow_csv.ConvertOptions(
            column_types=types, include_columns=None if others else ["channel", "time"]))
    except pa.ArrowException:
        yield read_pes(path)
        return
    row = 0
    while True:
        try:
            batch = reader.read_next_batch()
        except StopIteration:
            return
        except pa.ArrowException as e:
            read_pes(path)  # raises the error that names the fault, if it finds one
            first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
            raise ValueError(f"{path}: not a readable csv file: {first}") from None
        pes = checked_piece(lambda: from_arrow(pa.Table.from_batches([batch]), str(path), extras), path, row)
        pes.extra_names = names
        yield pes
        row += batch.num_rows


class CsvFormat:
    """CSV files: PE tables and plain tables."""

    name = "CSV"
    suffixes: tuple[str, ...] = (SUFFIX,)
    directory = False
    records = False
    tables = True
    pes = True
    parts = False
    whole = False
    links_inside = False
    keyed = False

    def open_writer(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool) -> Writer:
        _no_records(path)

    def read_records(self, path: Path, columns: Sequence[str] | None, channels: ChannelSet | None) -> np.ndarray:
        _no_records(path)

    def open_pieces(self, path: Path) -> RecordPieces:
        _no_records(path)

    def read_metadata(self, path: Path) -> dict[str, Any]:
        _no_records(path)

    def open_links(self, writer: Writer, schema: pa.Schema, metadata: dict[str, Any],
                   overwrite: bool) -> LinksWriter | InsideLinks:
        _no_records(writer.path)

    def read_links(self, path: Path) -> pa.Table:
        _no_records(path)

    def pe_tables(self, path: Path, key: str | None, extras: bool) -> Iterator[PETable]:
        return _iter_pes(path, extras)

    def read_pes(self, path: Path, key: str | None) -> PETable:
        return read_arrow_pes(path, _pe_names, _pe_columns, others=True)

    def pe_extra_names(self, path: Path, key: str | None) -> tuple[str, ...]:
        return tuple(other_names(arrow_csv.open_csv(path).schema.names))


    def column_notes(self, path: Path) -> dict[str, dict[bytes, bytes]] | None:
        return None

    def read_table(self, path: Path) -> pa.Table:
        return arrow_csv.read_csv(path)

    def write_table(self, table: pa.Table, path: Path) -> None:
        arrow_csv.write_csv(table, path)

FORMAT = CsvFormat()
