"""Parquet: a record file holds one column per record field (a waveform a
fixed-size list of samples), a row group per block, and the run's
description as JSON in its schema metadata; its links lie in a Parquet links
file beside it. A dataset's parts and links files are Parquet files too, and
PE tables are read from Parquet a row group at a time."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from .._channels import ChannelSet
from .._formats import RecordPieces, checked_dtype, reading, stored_model
from .._links import InsideLinks, LinksWriter, links_beside, read_file_links
from .._models import spec_of
from .._pes import PETable, iter_parquet, other_names, read_arrow_pes
from .._records import (DAMAGED_METADATA, LAYOUT_KEY, METADATA_DIGEST_KEY, METADATA_KEY, Columns, ParquetWriter, Writer,
                        _model_of, _names, digest_matches, file_record_dtype, layout_model, parsed_metadata, unreadable)
from .._tables import read_parquet

SUFFIX = ".parquet"


def _read_records(path: Path) -> np.ndarray:
    """The records of a Parquet record file, read whole."""
    schema = pq.read_schema(path)
    model = layout_model(path, (schema.metadata or {}).get(LAYOUT_KEY.encode()))
    _model_of(schema.names, model)  # before reading: a foreign file may not even be a table
    table = pq.read_table(path, page_checksum_verification=True)
    spec = spec_of(_model_of(table.column_names, model))
    waveform_samples = 1
    if spec.shaped_column is not None:
        waveform_type = table.schema.field(spec.shaped_column).type
        if not isinstance(waveform_type, pa.FixedSizeListType):
            raise ValueError(f"{path}: not a velmora record file: column {spec.shaped_column!r} holds "
                             f"{waveform_type}, not a fixed-size list of samples")
        waveform_samples = waveform_type.list_size
    dtype = file_record_dtype(spec, waveform_samples, table.column_names,
                              lambda n: table.schema.field(n).type.to_pandas_dtype(), path)
    out = np.empty(table.num_rows, dtype)
    for name in _names(dtype):
        column = table.column(name).combine_chunks()
        if name == spec.shaped_column:
            assert isinstance(column, pa.FixedSizeListArray)  # its type is checked above
            out[name] = column.flatten().to_numpy().reshape(table.num_rows, waveform_samples)
        else:
            out[name] = column.to_numpy(zero_copy_only=False)  # a bool column is bit-packed in Arrow
    return out


def _pieces(path: Path) -> RecordPieces:
    """The records of a Parquet record file, opened for reading in pieces."""
    with reading(path, "Parquet"):
        file = pq.ParquetFile(path, pre_buffer=False, page_checksum_verification=True)
        try:
            fields: list[tuple[str, np.dtype, tuple[int, ...]]] = []
            for field in file.schema_arrow:
                kind = field.type
                if isinstance(kind, pa.FixedSizeListType):
                    fields.append((field.name, np.dtype(kind.value_type.to_pandas_dtype()), (kind.list_size,)))
                else:
                    fields.append((field.name, np.dtype(kind.to_pandas_dtype()), ()))
            model = stored_model(path, (file.schema_arrow.metadata or {}).get(LAYOUT_KEY.encode()))
            dtype = checked_dtype(path, fields, model)
            rows = int(file.metadata.num_rows)
        except BaseException:
            file.close()
            raise

    def pieces(step: int, names: list[str]) -> Iterator[Columns]:
        with reading(path, "Parquet"):
            for batch in file.iter_batches(batch_size=step, columns=names, use_threads=False):
                columns: Columns = {}
                for name in names:
                    column = batch.column(name)
                    if isinstance(column, pa.FixedSizeListArray):
                        columns[name] = column.flatten().to_numpy().reshape(len(column), *dtype[name].shape)
                    else:
                        columns[name] = column.to_numpy(zero_copy_only=False).astype(dtype[name].base, copy=False)
                yield columns

    return RecordPieces(path, dtype, rows, pieces, file.close, model)



def _raw_metadata(path: Path) -> bytes:
    stored = pq.read_schema(path).metadata or {}
    if METADATA_KEY not in stored:
        raise unreadable(path, "no velmora metadata")
    if not digest_matches(stored[METADATA_KEY], stored.get(METADATA_DIGEST_KEY)):
        raise unreadable(path, DAMAGED_METADATA)
    return stored[METADATA_KEY]


def _pe_names(path: Path) -> list[str]:
    return pq.read_schema(path).names


def _pe_columns(path: Path) -> pa.Table:
    return pq.read_table(path, columns=["channel", "time"])


class ParquetFormat:
    """Parquet files: records, links files, a dataset's parts, PE tables, plain tables."""

    name = "Parquet"
    suffixes: tuple[str, ...] = (SUFFIX,)
    directory = False
    records = True
    tables = True
    pes = True
    parts = True
    whole = False
    links_inside = False
    keyed = False

    def open_writer(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool) -> Writer:
        return ParquetWriter(path, dtype, metadata, overwrite)

    def read_records(self, path: Path, columns: Sequence[str] | None, channels: ChannelSet | None) -> np.ndarray:
        if columns is None and channels is None:
            return _read_records(path)
        return read_parquet(path, columns, channels)

    def open_pieces(self, path: Path) -> RecordPieces:
        return _pieces(path)

    def read_metadata(self, path: Path) -> dict[str, Any]:
        return parsed_metadata(path, _raw_metadata)

    def open_links(self, writer: Writer, schema: pa.Schema, metadata: dict[str, Any],
                   overwrite: bool) -> LinksWriter | InsideLinks:
        return links_beside(writer, schema, metadata, overwrite)

    def read_links(self, path: Path) -> pa.Table:
        return read_file_links(path, None)

    def pe_tables(self, path: Path, key: str | None, extras: bool) -> Iterator[PETable]:
        return iter_parquet(path, extras)

    def read_pes(self, path: Path, key: str | None) -> PETable:
        return read_arrow_pes(path, _pe_names, _pe_columns, others=False)

    def pe_extra_names(self, path: Path, key: str | None) -> tuple[str, ...]:
        return tuple(other_names(pq.read_schema(path).names))


    def column_notes(self, path: Path) -> dict[str, dict[bytes, bytes]] | None:
        return {f.name: dict(f.metadata or {}) for f in pq.read_schema(path)}

    def read_table(self, path: Path) -> pa.Table:
        return pq.read_table(path)

    def write_table(self, table: pa.Table, path: Path) -> None:
        pq.write_table(table, path)

FORMAT = ParquetFormat()
