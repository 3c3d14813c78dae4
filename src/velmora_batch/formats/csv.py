"""CSV: PE tables (columns ``channel`` and ``time``, any others passed into
the links), read a block of rows at a time, and plain tables (a detector's
channel table, a calibration table). A CSV file holds no records."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
import pyarrow as pa
import pyarrow.csv as arrow_csv

from .._channels import ChannelSet
from .._formats import RecordPieces
from .._links import InsideLinks, LinksWriter
from .._pes import PETable, iter_csv, other_names, read_arrow_pes
from .._records import Writer

SUFFIX = ".csv"


def _no_records(path: Path) -> NoReturn:
    raise ValueError(f"{path}: a CSV file holds PE tables, not records")


def _pe_names(path: Path) -> list[str]:
    return arrow_csv.open_csv(path).schema.names


def _pe_columns(path: Path) -> pa.Table:
    # The other columns are not read: they cannot make the file unreadable.
    return arrow_csv.read_csv(path, convert_options=arrow_csv.ConvertOptions(include_columns=["channel", "time"]))


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
        return iter_csv(path, extras)

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
