"""Parquet: a record file holds one column per record field (a waveform a
fixed-size list of samples), a row group per block, and the run's
description as JSON in its schema metadata; its links lie in a Parquet links
file beside it. A selection of a record file reads only the columns asked
for and, with a channel selection, only the row groups whose channel
statistics may hold a selected channel. A dataset's parts and links files
are Parquet files too, and PE tables are read from Parquet a row group at a
time."""

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
from .._pes import PETable, batch_rows, check_names, checked_piece, from_arrow, other_names, read_arrow_pes, read_pes
from .._records import (DAMAGED_METADATA, LAYOUT_KEY, METADATA_DIGEST_KEY, METADATA_KEY, Columns, Writer,
                        _arrow_schema, _model_of, _names, digest_matches, file_record_dtype, layout_model,
                        model_of_dtype, parsed_metadata, refusing, unreadable)
from .._tables import overlaps, selected_dtype

SUFFIX = ".parquet"


class ParquetWriter(Writer):
    """One Parquet row group per block, written as the block arrives; the
    waveform is a fixed-size list of uint16. The run's description is JSON
    under the schema metadata key ``velmora``."""

    def __init__(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool = True) -> None:
        super().__init__(path, dtype, metadata, overwrite)
        self._schema = _arrow_schema(dtype, metadata, model_of_dtype(dtype))
        try:
            self._writer = pq.ParquetWriter(self._tmp, self._schema, write_page_checksum=True)
        except BaseException:
            self._finalizer()
            raise

    def _write(self, columns: Columns) -> None:
        # Straight from the columns to an Arrow record batch: no array of rows between.
        arrays: list[pa.Array[Any]] = []
        for name in _names(self.dtype):
            values = np.ascontiguousarray(columns[name])
            if values.ndim == 2:
                arrays.append(pa.FixedSizeListArray.from_arrays(pa.array(values.reshape(-1)),
                                                                type=self._schema.field(name).type))
            else:
                arrays.append(pa.array(values))
        self._writer.write_batch(pa.RecordBatch.from_arrays(arrays, schema=self._schema))

    def _finish(self) -> None:
        self._writer.close()

    def _discard(self) -> None:
        self._writer.close()


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


def _row_groups(file: pq.ParquetFile, channels: ChannelSet | None) -> list[int]:
    """The row groups of ``file`` that may hold a selected channel, by the
    statistics of its channel column (a row group without them is read)."""
    groups = range(file.metadata.num_row_groups)
    if channels is None:
        return list(groups)
    column = file.schema_arrow.get_field_index("channel")
    kept = []
    for i in groups:
        stats = file.metadata.row_group(i).column(column).statistics
        lo, hi = (stats.min, stats.max) if stats is not None and stats.has_min_max else (None, None)
        if lo is None or hi is None or overlaps(channels, int(lo), int(hi)):
            kept.append(i)
    return kept


def _as_records(table: pa.Table, dtype: np.dtype) -> np.ndarray:
    out = np.empty(table.num_rows, dtype)
    for name in _names(dtype):
        column = table.column(name).combine_chunks()
        if isinstance(column, pa.FixedSizeListArray):
            out[name] = column.flatten().to_numpy().reshape(table.num_rows, column.type.list_size)
        else:
            out[name] = column.to_numpy(zero_copy_only=False)  # a bool column is bit-packed in Arrow
    return out


def _read_selected(path: Path, columns: Sequence[str] | None, channels: ChannelSet | None) -> np.ndarray:
    file = pq.ParquetFile(path)
    schema = file.schema_arrow
    spec = spec_of(_model_of(schema.names, layout_model(path, (schema.metadata or {}).get(LAYOUT_KEY.encode()))))
    waveform_samples = 1
    if spec.shaped_column is not None:
        waveform_type = schema.field(spec.shaped_column).type
        if not isinstance(waveform_type, pa.FixedSizeListType):
            raise ValueError(f"{path}: not a velmora record file: column {spec.shaped_column!r} holds "
                             f"{waveform_type}, not a fixed-size list of samples")
        waveform_samples = waveform_type.list_size
    full = file_record_dtype(spec, waveform_samples, schema.names,
                             lambda n: schema.field(n).type.to_pandas_dtype(), path)
    dtype = selected_dtype(full, columns, path)
    names = list(_names(dtype))
    read = names + (["channel"] if channels is not None and "channel" not in names else [])
    table = file.read_row_groups(_row_groups(file, channels), columns=read)
    if channels is not None:
        table = table.filter(pa.array(channels.contains(table.column("channel").to_numpy())))
    return _as_records(table, dtype)


def _read_some(path: Path, columns: Sequence[str] | None, channels: ChannelSet | None) -> np.ndarray:
    """The records of a Parquet record file of ``channels`` with only
    ``columns``: only those columns and the row groups that may hold those
    channels are read."""
    with refusing(path, (TypeError,)):
        return _read_selected(path, columns, channels)


def _iter_pes(path: Path, extras: bool = False) -> Iterator[PETable]:

    try:
        # Without read-ahead: a row group at a time is all a pass needs.
        file = pq.ParquetFile(path, pre_buffer=False)
        check_names(file.schema_arrow.names, str(path))
        batches = file.iter_batches(batch_size=batch_rows(), columns=None if extras else ["channel", "time"],
                                    use_threads=False)
    except pa.ArrowException:
        yield read_pes(path)  # its message names what is wrong with the file
        return
    with file:
        row = 0
        while True:
            try:
                batch = next(batches, None)
            except pa.ArrowException as e:
                first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
                raise ValueError(f"{path}: not a readable parquet file: {first}") from None
            if batch is None:
                return
            yield checked_piece(lambda: from_arrow(pa.Table.from_batches([batch]), str(path), extras), path, row)
            row += batch.num_rows


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
        return _read_some(path, columns, channels)

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
        return _iter_pes(path, extras)

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
