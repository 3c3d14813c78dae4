"""Records from one format into another: a record file (Parquet, .npz, ROOT,
HDF5) or a dataset directory into any of them, by the output's name, read
and written a piece at a time (a dataset part at a time from a dataset; a
.npz archive, which holds its arrays whole, whole), with the run's
description carried over, and the links of a run with ``truth="links"``
with them (inside a ROOT or HDF5 file, beside any other file, beside a
dataset directory; see ``_links``). A conversion into a dataset that fails
removes what it wrote: a conversion is run again, never resumed."""

from __future__ import annotations

import contextlib
import os
import uuid
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from . import _version
from ._dataset import (LINKS_DIRECTORY_KEY, MANIFEST, ManifestWriter, _check_part, _clear_links, _parts_in,
                       _PartMismatch, block_name, claim, has_digests, hidden_name, is_dataset, links_block_name,
                       links_folder_name, prepare_dataset, read_manifest, remove_leftovers, run_digest)
from ._formats import FormatError, RecordPieces, open_record_pieces, writer_for
from ._links import LinksWriter, open_links, shifted
from ._order import time_ordered
from ._channels import ChannelSet
from ._records import (Columns, check_output, file_sha256, manifest_dtype, model_of_dtype, prepare_record_file,
                       read_file_metadata)
from .formats.parquet import ParquetWriter
from .formats.reading import read_links

# A dataset's bookkeeping, which a record file made from it does not carry.
_DATASET_ONLY = ("format", "run", "complete", "rows", "blocks", LINKS_DIRECTORY_KEY)
# Records per part of a dataset made by conversion, about.
_PART_ROWS = 1 << 20


class _Source:
    """What a conversion reads: the records' dtype and number, the run's
    description, and the records in pieces (of some columns only, if asked)."""

    def __init__(self, dtype: np.dtype, rows: int, metadata: dict[str, Any],
                 pieces: Callable[[list[str]], Iterator[Columns]], close: Callable[[], None] | None = None) -> None:
        self.dtype = dtype
        self.rows = rows
        self.metadata = metadata
        self.links: pa.Table | None = None  # the records' links, ``record`` their row in the source
        self._pieces = pieces
        self.close = close or (lambda: None)

    def columns(self, names: list[str] | None = None) -> Iterator[Columns]:
        return self._pieces(list(self.dtype.names or ()) if names is None else names)


def _dataset_source(directory: Path) -> _Source:
    """The records of a complete dataset, a part at a time, each checked
    against the manifest as reading it whole checks them."""
    manifest = read_manifest(directory)
    if not manifest["complete"]:
        raise ValueError(f"{directory}: the run that writes this dataset has not finished; resume it first")
    current = has_digests(manifest)
    if current and run_digest(manifest) != manifest["run"]:
        raise ValueError(f"{directory}: the run its manifest describes was changed after the run "
                         "(its digest does not match)")
    dtype = manifest_dtype(manifest)
    first_part = next((directory / b["file"] for b in manifest["blocks"] if b["rows"]), None)
    if first_part is not None:
        with open_record_pieces(first_part) as part:  # the parts' own columns, added ones included
            dtype = part.dtype

    def pieces(names: list[str]) -> Iterator[Columns]:
        for entry in manifest["blocks"]:
            path = directory / entry["file"]
            try:
                records = _check_part(path, entry, current=current, run=manifest.get("run"), seed=manifest["seed"],
                                      read=True)
            except _PartMismatch as e:
                raise ValueError(f"{path}: not the part its dataset's manifest lists: {e}") from None
            assert records is not None
            if records.dtype != dtype:
                raise ValueError(f"{path}: its columns differ from the other parts'")
            yield {name: records[name] for name in names}

    metadata = {k: v for k, v in manifest.items() if k not in _DATASET_ONLY}
    return _Source(dtype, int(manifest["rows"]), metadata, pieces)


def _file_source(path: Path) -> _Source:
    metadata = read_file_metadata(path)
    records: RecordPieces = open_record_pieces(path)
    return _Source(records.dtype, records.rows, metadata, records.columns, records.close)


@contextlib.contextmanager
def _opened(source: Path) -> Iterator[_Source]:
    if source.is_dir():
        opened = _dataset_source(source)
    elif not source.exists():
        raise FileNotFoundError(f"{source}: no such file or dataset directory")
    else:
        opened = _file_source(source)
    try:
        if opened.metadata.get("truth") == "links" or "links_id" in opened.metadata:
            # Read before anything is written: records whose links are gone are not converted without them.
            opened.links = read_links(source)
        yield opened
    finally:
        opened.close()


def _samples(dtype: np.dtype) -> int:
    shaped = [name for name in dtype.names or () if dtype[name].shape]
    return int(dtype[shaped[0]].shape[0]) if shaped else 1


def _to_file(source: _Source, origin: Path, target: Path, overwrite: bool) -> int:
    prepare_record_file(target, overwrite)
    metadata = dict(source.metadata)
    if source.links is not None:
        metadata.update(truth="links", links_id=uuid.uuid4().hex)  # the target's own links name it
    with writer_for(target, source.dtype, metadata, overwrite) as writer:
        if source.links is not None:
            links = open_links(writer, source.links.schema, metadata["links_id"], overwrite)
            try:
                links.write(source.links)
                for columns in source.columns():
                    writer.write(columns)
                links.close()
            except BaseException:
                links.abort()
                raise
        elif source.metadata.get("order") != "time":
            for columns in source.columns():
                writer.write(columns)
        else:
            # Records described as in time order across channels stay so: a
            # time-ordered file as it is read, a dataset (whose parts hold
            # blocks of channels) through the bounded merge of its parts.
            writer.channel_order = False
            with time_ordered(origin) as (_, chunks):
                for columns in chunks:
                    writer.write(columns)
    return writer.rows


def _channels_of(source: _Source) -> tuple[np.ndarray, np.ndarray]:
    """The channels the records hold, increasing, and the records of each;
    a ValueError unless they come in channel order, as the blocks of a
    dataset hold them."""
    found: list[np.ndarray] = []
    counts: list[np.ndarray] = []
    last = -1
    for piece in source.columns(["channel"]):
        channels = piece["channel"]
        if len(channels) and (channels[0] < last or (np.diff(channels) < 0).any()):
            raise ValueError("the records are not in channel order; a dataset directory holds them by blocks of "
                             "channels (convert them to a record file instead)")
        if len(channels):
            values, count = np.unique(channels, return_counts=True)
            found.append(values.astype(np.int64))
            counts.append(count.astype(np.int64))
            last = int(channels[-1])
    if not found:
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    every, count = np.concatenate(found), np.concatenate(counts)
    # A channel whose records span two pieces appears twice, one after the other.
    starts = np.flatnonzero(np.r_[True, every[1:] != every[:-1]])
    return every[starts], np.add.reduceat(count, starts)


def _identity(source: _Source, channels: ChannelSet, block_channels: int) -> dict[str, Any]:
    """The description of the dataset made from ``source``: the run's, as
    its records carry it, with the channels that hold records as its channel
    selection and the conversion's blocks."""
    meta = source.metadata
    missing = [key for key in ("config", "seed", "seeding") if key not in meta]
    if missing:
        raise ValueError(f"its run description has no {', '.join(map(repr, missing))}, which a dataset's "
                         "manifest needs")
    model = model_of_dtype(source.dtype)
    assert model is not None  # a record file's columns are checked when it is opened
    return {"model": model, "waveform_samples": _samples(source.dtype), "config": meta["config"],
            "seed": meta["seed"], "seeding": meta["seeding"], "segment": meta.get("segment"),
            "dark_rate": meta.get("dark_rate"), "duration": meta.get("duration"),
            "channels": {"count": len(channels), "first": channels.first if len(channels) else None,
                         "last": channels.last if len(channels) else None, "sha256": channels.digest()},
            "pes_sha256": str(meta.get("pes_sha256", "")), "block_channels": block_channels,
            "velmora_version": str(meta.get("velmora_version", _version.__version__)),
            **({"truth": "links" if source.links is not None else meta["truth"]} if "truth" in meta else {}),
            **({"label": meta["label"]} if "label" in meta else {})}


def _to_dataset(source: _Source, directory: Path, overwrite: bool) -> int:
    """Writes the records as a dataset directory: parts of blocks of
    consecutive channels, a part at a time, then the manifest."""
    present, counts = _channels_of(source)
    if len(present) == 0:
        raise ValueError("no records: a dataset directory needs at least one channel")
    channels = ChannelSet.of(present)
    size = min(len(channels), max(1, round(len(channels) * _PART_ROWS / max(1, source.rows))))
    ident = _identity(source, channels, size)
    block_rows = np.bincount(channels.rank(present) // size, weights=counts).astype(np.int64)
    if not overwrite and directory.is_dir() and ((directory / MANIFEST).exists() or any(directory.glob("*part-*"))):
        raise FileExistsError(f"{directory}: already holds a dataset; overwrite it (--overwrite, overwrite=True) "
                              "or choose another name")
    made = not directory.exists()
    try:
        with claim(directory):
            prepare_dataset(directory, ident, resume=False, overwrite=overwrite)
            described = {k: v for k, v in source.metadata.items() if k not in ident and k != "links_id"}
            if source.links is not None:
                described[LINKS_DIRECTORY_KEY] = links_folder_name(directory)
                (directory.parent / described[LINKS_DIRECTORY_KEY]).mkdir(exist_ok=True)
            try:
                manifest = ManifestWriter(directory, ident, {}, described, source.dtype)
                rows = _write_parts(source, directory, ident, channels, block_rows, manifest)
                manifest.save(complete=True)
            except BaseException:
                _discard(directory)
                raise
    except BaseException:
        if made:
            with contextlib.suppress(OSError):  # only if nothing else was put there meanwhile
                directory.rmdir()
        raise
    return rows


def _discard(directory: Path) -> None:
    """Removes what a conversion into ``directory`` (claimed by it) wrote
    before it failed: a conversion is run again, not resumed."""
    (directory / MANIFEST).unlink(missing_ok=True)
    for part in _parts_in(directory):
        part.unlink(missing_ok=True)
    _clear_links(directory)
    remove_leftovers(directory)


class _Part:
    """The part of one block being written: ``rows`` records, known from
    the first pass, which its metadata carries as a run's parts do."""

    def __init__(self, directory: Path, block: np.ndarray, rows: int, ident: dict[str, Any],
                 dtype: np.dtype) -> None:
        self.first, self.last, self.channels, self.rows = int(block[0]), int(block[-1]), len(block), rows
        self.file = block_name(self.first)
        self.path = directory / hidden_name(self.file)
        self.metadata = {"run": run_digest(ident), "seed": ident["seed"]}
        block_of = {"block": {"first": self.first, "last": self.last, "rows": rows}}
        self.writer = ParquetWriter(self.path, dtype, dict(self.metadata, **block_of), True)

    def finish(self, links: pa.Table | None, folder: Path) -> dict[str, Any]:
        """Closes the part and writes its ``links`` (``record``: the row in
        the part) into ``folder``; its manifest entry."""
        if self.writer.rows != self.rows:
            raise ValueError(f"the records of channels {self.first}-{self.last} changed while they were read "
                             f"({self.writer.rows} records, {self.rows} before)")
        self.writer.close()
        entry = {"first": self.first, "last": self.last, "channels": self.channels, "file": self.file,
                 "rows": self.rows, "sha256": file_sha256(self.path)}
        if links is not None:
            name = links_block_name(self.first)
            block = {"first": self.first, "last": self.last, "rows": links.num_rows, "records": self.rows}
            writer = LinksWriter(folder / hidden_name(name), links.schema, dict(self.metadata, block=block))
            try:
                writer.write(links)
            except BaseException:
                writer.abort()
                raise
            writer.close()
            entry["links"] = {"file": name, "rows": links.num_rows, "sha256": file_sha256(writer.path)}
        return entry


def _write_parts(source: _Source, directory: Path, ident: dict[str, Any], channels: ChannelSet,
                 block_rows: np.ndarray, manifest: ManifestWriter) -> int:
    size = int(ident["block_channels"])
    part: _Part | None = None
    index = -1
    rows = 0
    folder = directory.parent / links_folder_name(directory)
    record = None if source.links is None else source.links.column("record").to_numpy()

    def finish(part: _Part) -> None:
        links = None
        if source.links is not None and record is not None:
            start = rows - part.writer.rows  # the part's first row in the source
            lo, hi = np.searchsorted(record, [start, start + part.rows]).tolist()
            links = shifted(source.links.slice(lo, hi - lo), -start)
        manifest.add(part.finish(links, folder))

    try:
        for columns in source.columns():
            block_of = channels.rank(columns["channel"]) // size
            bounds = np.flatnonzero(np.diff(block_of)) + 1
            for lo, hi in zip([0, *bounds.tolist()], [*bounds.tolist(), len(block_of)], strict=True):
                if lo == hi:
                    continue
                if int(block_of[lo]) != index:
                    if part is not None:
                        finish(part)
                    index = int(block_of[lo])
                    block = channels.take(index * size, (index + 1) * size)
                    part = _Part(directory, block, int(block_rows[index]), ident, source.dtype)
                assert part is not None
                part.writer.write({name: values[lo:hi] for name, values in columns.items()})
                rows += hi - lo
        if part is not None:
            finish(part)
    except BaseException:
        if part is not None:
            part.writer.abort()
        raise
    return rows


def convert(source: str | os.PathLike[str], target: str | os.PathLike[str], *, overwrite: bool = False) -> int:
    """Writes the records of ``source`` (a record file or a dataset directory)
    to ``target`` in the format its name gives (``.parquet``, ``.npz``,
    ``.root``, ``.h5``, or a directory for a dataset), with the run's
    description; gives the number of records. Reads and writes a piece at a
    time, so memory stays bounded (but for .npz archives, which hold their
    arrays whole). An existing ``target`` is refused unless ``overwrite``.
    A ``target`` ending in a path separator is a dataset directory, whatever
    its name."""
    dataset = is_dataset(target)  # before Path() drops a trailing separator
    source, target = Path(source), Path(target)
    check_output(target)
    if source.exists() and target.exists() and os.path.samefile(source, target):
        raise ValueError(f"{target}: is the source itself; convert to another name")
    if not target.absolute().parent.is_dir():
        raise FileNotFoundError(f"{target}: the directory {target.absolute().parent} does not exist")
    with _opened(source) as opened:
        try:
            if dataset:
                return _to_dataset(opened, target.absolute(), overwrite)
            return _to_file(opened, source, target, overwrite)
        except FormatError:
            raise
        except ValueError as e:
            text = str(e)
            raise ValueError(text if text.startswith(str(source)) or text.startswith(str(target))
                             else f"{source}: {text}") from None
