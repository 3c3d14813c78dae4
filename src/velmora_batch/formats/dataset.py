"""Datasets: a directory of Parquet parts, one per block of channels, with a
manifest describing the run and each part (see the dataset module of the
package for its layout). Records, the run's description (the manifest) and
links are read from a complete dataset; a dataset is written a part at a
time by a run or by ``convert``, which resume, claim and check it, not by a
record writer."""

from __future__ import annotations

import itertools
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
import pyarrow as pa

from .._channels import ChannelSet
from .._dataset import read_dataset, read_dataset_links, read_dataset_parts, read_manifest
from .._formats import RecordPieces
from .._links import InsideLinks, LinksWriter
from .._pes import PETable
from .._records import Writer


def _refused(path: Path, what: str) -> NoReturn:
    raise ValueError(f"{path}: {what}")


def _pieces(path: Path) -> RecordPieces:
    """The records of a complete dataset a part at a time, each part read
    and checked whole; their dtype that of the parts (which hold the columns
    added to the records since the manifest was written), as read_records
    gives them."""
    dtype, parts = read_dataset_parts(path)
    rows = sum(int(entry["rows"]) for entry in read_manifest(path)["blocks"])
    first = next(parts, None)
    if first is not None:
        dtype = np.dtype([(name, values.dtype, values.shape[1:]) for name, values in first.items()])

    def pieces(step: int, names: list[str]) -> Iterator[dict[str, np.ndarray]]:
        for part in itertools.chain([] if first is None else [first], parts):
            for lo in range(0, len(part["channel"]), step):
                yield {name: part[name][lo : lo + step] for name in names}

    return RecordPieces(path, dtype, rows, pieces, lambda: None)


class DatasetFormat:
    """Dataset directories: records, the run's description, links."""

    name = "dataset"
    suffixes: tuple[str, ...] = ()
    directory = True
    records = True
    tables = False
    pes = False
    parts = False
    whole = False
    links_inside = True
    keyed = False

    def open_writer(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool) -> Writer:
        _refused(path, "a dataset is written a part at a time by a run or by convert, not by a record writer")

    def read_records(self, path: Path, columns: Sequence[str] | None, channels: ChannelSet | None) -> np.ndarray:
        return read_dataset(path, columns, channels)

    def open_pieces(self, path: Path) -> RecordPieces:
        return _pieces(path)

    def read_metadata(self, path: Path) -> dict[str, Any]:
        return read_manifest(path)

    def open_links(self, writer: Writer, schema: pa.Schema, metadata: dict[str, Any],
                   overwrite: bool) -> LinksWriter | InsideLinks:
        _refused(writer.path, "a dataset's links are written a part at a time by the run that writes it")

    def read_links(self, path: Path) -> pa.Table:
        return read_dataset_links(path)

    def pe_tables(self, path: Path, key: str | None, extras: bool) -> Iterator[PETable]:
        _refused(path, "a dataset holds records, not a PE table")

    def read_pes(self, path: Path, key: str | None) -> PETable:
        _refused(path, "a dataset holds records, not a PE table")

    def pe_extra_names(self, path: Path, key: str | None) -> tuple[str, ...]:
        _refused(path, "a dataset holds records, not a PE table")


    def column_notes(self, path: Path) -> dict[str, dict[bytes, bytes]] | None:
        return None

    def read_table(self, path: Path) -> pa.Table:
        raise ValueError(f"{path}: {self.name} files hold no plain table")

    def write_table(self, table: pa.Table, path: Path) -> None:
        raise ValueError(f"{path}: {self.name} files hold no plain table")


FORMAT = DatasetFormat()
