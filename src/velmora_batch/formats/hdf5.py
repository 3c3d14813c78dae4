"""HDF5 files (through h5py, ``pip install 'velmora[hdf5]'``): a record
file holds a compound dataset ``records`` with the run's description and its
links inside it; a PE table is a compound dataset or a group of datasets,
named by a key where the file holds several."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from .._channels import ChannelSet
from .._formats import RecordPieces, Hdf5Writer, read_whole, hdf5_metadata, hdf5_pe_pieces, hdf5_records
from .._links import InsideLinks, LinksWriter, read_file_links, read_links_inside
from .._pes import PETable, batch_rows, first_extra_names, iter_tables, read_tables
from .._records import Writer, parsed_metadata
from .._tables import read_pieces

SUFFIXES = (".h5", ".hdf5")


def _links_inside(path: Path) -> tuple[dict[str, Any], pa.Table] | None:
    return read_links_inside(path, hdf5=True)


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
        return InsideLinks(writer, schema, metadata)

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
