"""ROOT files (through uproot, ``pip install 'velmora[root]'``): a record
file holds a TTree ``records`` with the run's description and its links
inside it; a PE table is a TTree (or an RNTuple), named by a key where the
file holds several."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from .._channels import ChannelSet
from .._formats import RecordPieces, RootWriter, read_whole, root_metadata, root_pe_pieces, root_records
from .._links import InsideLinks, LinksWriter, read_file_links, read_links_inside
from .._pes import PETable, batch_rows, first_extra_names, iter_tables, read_tables
from .._records import Writer, parsed_metadata
from .._tables import read_pieces

SUFFIX = ".root"


def _links_inside(path: Path) -> tuple[dict[str, Any], pa.Table] | None:
    return read_links_inside(path, hdf5=False)


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
        return InsideLinks(writer, schema, metadata)

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
