"""Records as columns: the structured dtype of each model's records, the
base of every format's record writer (which streams blocks of records into a
file under a temporary name and renames it only when complete), and the
readers of a record file in whatever format its name gives."""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import tokenize
import zipfile
import zlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import Any

import numpy as np
import pyarrow as pa

from ._models import LABEL_TYPES, MODELS, TRUTH_COLUMNS, Column, spec_of
from ._publish import PublishedFile, remove_stale_temporaries, temporary_beside
from .formats import Format, by_suffix, parts_format, record_format, record_suffixes, suffixes_text

# Records as the engine gives them: one array per column, by name, in the
# order of the record dtype (a waveform column has one row per record).
Columns = dict[str, np.ndarray]

METADATA_KEY = b"velmora"  # Parquet schema metadata: the run's description as JSON
# Beside it, the SHA-256 of that JSON text: the footer that holds it has no
# checksum of its own (the data pages have theirs, PAGE_CHECKSUMS).
METADATA_DIGEST_KEY = b"velmora.sha256"
# Record files in Parquet carry a CRC-32 in every data page's header
# (write_page_checksum), which every read of a record file verifies
# (page_checksum_verification; pages written without one are read unchecked).


@dataclass(frozen=True)
class ColumnInfo:
    """What a record column holds: its name, its type as numpy names it, its
    unit, a one-line meaning, and when it is written ("" for always, else the
    option or command that adds it)."""

    name: str
    type: str
    unit: str
    meaning: str
    when: str = ""


_TRUTH = "truth=True"


def _info(column: Column, when: str = "") -> ColumnInfo:
    """The description of a column of the engine's tables (a shaped column's
    type gives the parameter of its length)."""
    type_name = np.dtype(column.dtype).name + (f"[{column.shape}]" if column.shape is not None else "")
    return ColumnInfo(column.name, type_name, column.unit, column.meaning, when)


_EVENT = ColumnInfo("event", "int64", "", "the event the record was grouped into (its id in the event table), "
                    "-1 for none", "velmora events")
_RECORD_ROW = ColumnInfo("record_row", "int64", "",
                         "the record's row in the records velmora events read (its row in the record file, or in "
                         "the dataset as read_records gives it): the row that links name as record",
                         "velmora events --records-out")

# Every column a record file holds, per model, in the order written, and
# those of a links file: the Arrow field metadata of each written column,
# `velmora schema records` and the README's table of columns are all made
# from this table, the model's own columns and the truth columns from the
# engine's tables of them.
RECORD_COLUMNS: dict[str, tuple[ColumnInfo, ...]] = {
    **{name: (*(_info(c) for c in spec.columns), *(_info(c, _TRUTH) for c in TRUTH_COLUMNS), _EVENT, _RECORD_ROW)
       for name, spec in MODELS.items()},
    # The links of records to the PEs that made them (truth="links"), one row
    # per (record, PE) pair; the input PE table's other columns follow them.
    "links": (
        ColumnInfo("record", "int64", "",
                   "the record's row in its output (in a dataset's links part, in its block's record part)"),
        ColumnInfo("channel", "int32", "", "the record's channel"),
        ColumnInfo("kind", "dictionary<int8, string>", "",
                   "where the PE came from: input (code 0), dark (1) or afterpulse (2)"),
        ColumnInfo("pe_index", "int64", "",
                   "an input PE's row in the input table (from 0, over all its rows); a dark PE's index among its "
                   "channel's dark PEs in draw order; an afterpulse's index among its channel's afterpulses"),
        ColumnInfo("arrival_time", "float64", "s",
                   "the PE's drawn arrival time, transit-time spread included, from the run's time origin"),
        ColumnInfo("amplitude", "float64", "normalised amplitude", "the PE's drawn amplitude"),
        ColumnInfo("parent_kind", "dictionary<int8, string>", "",
                   "for an afterpulse, the kind of the PE that spawned it (input or dark, coded as kind); null for "
                   "every PE that is no afterpulse"),
        ColumnInfo("parent_index", "int64", "",
                   "for an afterpulse, the pe_index of the PE that spawned it (in the numbering of its "
                   "parent_kind); null for every PE that is no afterpulse"),
        ColumnInfo("fraction", "float64", "share of the PE's pulse",
                   "the share of the PE's shaped pulse that falls inside the record, each pulse-shape tap weighed by "
                   "its absolute value: 0 to 1, 1 for a pulse wholly inside (MultiPMT: of its ToT taps within any "
                   "hit); 0 for a MultiPMT link through the ADC sample alone"),
    ),
}
# The meaning of a column of the input PE table that links pass through.
PASSED_THROUGH = ColumnInfo("", "", "", "the input PE table's own column, passed through unchanged (null for dark "
                            "noise and afterpulses)")


def column_info(model: str, name: str) -> ColumnInfo | None:
    """The description of the record column ``name`` of ``model``, if the
    table has one."""
    return next((c for c in RECORD_COLUMNS.get(model, ()) if c.name == name), None)


# Where a run's metadata (and a dataset's manifest) names the label column of
# its records: {"column": its name, "type": one of LABEL_TYPES}.
LABEL_KEY = "label"


def label_info(name: str, type_name: str) -> ColumnInfo:
    """The description of a record's label column ``name`` (``run(label=name)``)."""
    none = "-1" if type_name == "int64" else "NaN"
    return ColumnInfo(name, type_name, "",
                      f"label: the value of the PE table's column {name!r} of the record's input PE with the "
                      "largest charge share (its amplitude, times its fraction of the record where links carry "
                      "one; ties to the smaller pe_index), as record_labels gives it; an integer column's values "
                      f"as int64, a floating-point column's as float64; {none} where no input PE reaches the "
                      "record (dark noise and afterpulses only) or that PE's value is null", "label=")


def label_of(metadata: dict[str, Any]) -> tuple[str, str] | None:
    """The label column (name, type) that a run's description or a dataset's
    manifest names, if any."""
    label = metadata.get(LABEL_KEY)
    if not isinstance(label, dict):
        return None
    name, kind = label.get("column"), label.get("type")
    return (name, kind) if isinstance(name, str) and kind in LABEL_TYPES else None


def manifest_dtype(manifest: dict[str, Any]) -> np.dtype:
    """The record dtype that a dataset's manifest describes: its model's
    records, with the truth columns and the label column where its run
    recorded them."""
    return record_dtype(manifest["model"], int(manifest["waveform_samples"]), "truth" in manifest,
                        label_of(manifest))


def record_column_info(dtype: np.dtype, name: str) -> ColumnInfo | None:
    """The description of the column ``name`` of records of ``dtype``: from
    the table of record columns, or that of the records' label column."""
    model = model_of_dtype(dtype)
    info = column_info(model, name) if model is not None else None
    if info is None and name == label_column(list(_names(dtype))):
        info = label_info(name, dtype[name].name)
    return info


def field_metadata(info: ColumnInfo | None) -> dict[bytes, bytes] | None:
    """The Arrow field metadata of a column: its unit and meaning."""
    if info is None:
        return None
    return {b"unit": info.unit.encode(), b"description": info.meaning.encode()}


def described(field: pa.Field[Any], info: ColumnInfo | None) -> pa.Field[Any]:
    """``field`` carrying the unit and meaning of ``info`` (unchanged without)."""
    if info is None:
        return field
    return field.with_metadata({b"unit": info.unit.encode(), b"description": info.meaning.encode()})


def columns_tables() -> str:
    """The Markdown tables of every model's record columns and of the links'
    columns, each under its name: the README's table of columns."""
    titles = {"links": "Links files (`truth=\"links\"`)"}
    return "".join(f"{titles.get(name, name)}:\n\n{columns_table(name, markdown=True)}\n" for name in RECORD_COLUMNS)


def columns_table(model: str, markdown: bool = False) -> str:
    """The record columns of ``model`` (or the links' columns, ``"links"``)
    with type, unit and meaning: as aligned text, or as a Markdown table."""
    columns = RECORD_COLUMNS[model]
    rows = [(c.name, c.type, c.unit or "-", c.meaning + (f" (with {c.when})" if c.when else "")) for c in columns]
    if markdown:
        lines = ["| column | type | unit | meaning |", "|---|---|---|---|"]
        lines += [f"| `{n}` | {t} | {u} | {m} |" for n, t, u, m in rows]
        return "\n".join(lines) + "\n"
    widths = [max(len(r[i]) for r in [("column", "type", "unit", ""), *rows]) for i in range(3)]
    lines = ["  ".join(h.ljust(w) for h, w in zip(("column", "type", "unit"), widths, strict=True)) + "  meaning"]
    lines += ["  ".join(v.ljust(w) for v, w in zip(r[:3], widths, strict=True)) + "  " + r[3] for r in rows]
    return "\n".join(lines) + "\n"


def record_dtype(model: str, waveform_samples: int = 1, truth: bool = False,
                 label: tuple[str, str] | None = None) -> np.dtype:
    """The structured dtype of one record of ``model``; ``waveform_samples``
    (at least 1) is the length of a ZozuvUza waveform; ``truth``: with the
    truth columns (``n_pe``, ``true_charge``, ``first_pe_time``, ``n_dark``,
    ``n_afterpulse``) after the model's own; ``label``: (name, type) of the
    label column after them (``run(label=...)``)."""
    return spec_of(model).record_dtype(waveform_samples, truth, label)


def records_of(blocks: list[Columns], dtype: np.dtype) -> np.ndarray:
    """Blocks of columns as one structured array of ``dtype``, made only
    where records are asked for in memory."""
    out = np.empty(sum(len(b["channel"]) for b in blocks), dtype)
    start = 0
    for block in blocks:
        stop = start + len(block["channel"])
        for name in _names(dtype):
            out[name][start:stop] = block[name]
        start = stop
    return out


def file_sha256(path: str | os.PathLike[str]) -> str:
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def _names(dtype: np.dtype) -> tuple[str, ...]:
    assert dtype.names is not None
    return dtype.names


def _arrow_schema(dtype: np.dtype, metadata: dict[str, Any], model: str | None = None) -> pa.Schema:
    """The Arrow schema of records of ``dtype``: each field not nullable and,
    where ``model`` is given, carrying its column's unit and meaning."""
    fields = []
    for name in _names(dtype):
        base, shape = dtype[name].base, dtype[name].shape
        arrow_type = pa.from_numpy_dtype(base)
        if shape:
            # A fixed-size list whose items are never null, as its rows are
            # never null: table libraries then give plain arrays, not masked ones.
            arrow_type = pa.list_(pa.field("element", arrow_type, nullable=False), shape[0])
        info = record_column_info(dtype, name) if model is not None else None
        fields.append(pa.field(name, arrow_type, nullable=False, metadata=field_metadata(info)))
    text = json.dumps(metadata).encode()
    stored: dict[bytes | str, bytes | str] = {METADATA_KEY: text, METADATA_DIGEST_KEY: text_digest(text).encode()}
    layout = record_layout(dtype)
    if layout is not None:
        stored[LAYOUT_KEY.encode()] = layout.encode()
    return pa.schema(fields, metadata=stored)


def text_digest(text: str | bytes) -> str:
    """The SHA-256 of a stored text (a run's description), as hex digits."""
    return hashlib.sha256(text.encode() if isinstance(text, str) else text).hexdigest()


def digest_matches(text: str | bytes, digest: str | bytes | None) -> bool:
    """Whether ``text`` read from a file has the SHA-256 ``digest`` stored
    with it (None: a file written before digests were stored, unchecked)."""
    if digest is None:
        return True
    if isinstance(digest, bytes):
        digest = digest.decode(errors="replace")
    return text_digest(text) == digest


DAMAGED_METADATA = "its velmora metadata does not match the SHA-256 stored with it: the file is damaged"


def model_of_dtype(dtype: np.dtype) -> str | None:
    """The model whose records ``dtype`` holds: as a record file's columns
    name it, else the one whose columns it begins with."""
    names = list(_names(dtype))
    try:
        return _model_of(names)
    except ValueError:
        pass
    for spec in MODELS.values():
        first = [c.name for c in spec.columns]
        if names[: len(first)] == first:
            return spec.name
    return None


# The columns that grouping records into events adds after all others, and
# their type: the event, then (in files written since it came) the record's
# row in the records grouped.
EVENT_COLUMN = ("event", np.dtype(np.int64))
RECORD_ROW_COLUMN = ("record_row", np.dtype(np.int64))


def _without_event(names: list[str]) -> list[str]:
    if names[-2:] == [EVENT_COLUMN[0], RECORD_ROW_COLUMN[0]]:
        return names[:-2]
    return names[:-1] if names[-1:] == [EVENT_COLUMN[0]] else names


def label_column(names: list[str]) -> str | None:
    """The label column of a record file's columns (``run(label=...)``), if
    any: the one column after the truth columns (and before the event
    column), which a run's description names too (LABEL_KEY)."""
    own = _without_event(list(names))
    if len(own) > 1 and own[-1] not in [c.name for c in TRUTH_COLUMNS] and _ends_in_truth(own[:-1]):
        return own[-1]
    return None


def _without_label(names: list[str]) -> list[str]:
    own = _without_event(list(names))
    return own[:-1] if label_column(own) is not None else own


def _model_of(names: list[str], model: str | None = None) -> str:
    """The model of a record file's columns: all of the model's, or those of
    an older file, which end before a column added since; either may be
    followed by the truth columns and the label column, and then by the
    event column. ``model``: the model the file's layout names, whose
    columns they must be (without, the first model whose columns they are)."""
    names = list(names)
    own = _without_label(names)
    own = own[:len(own) - _truth_count(own)]
    for spec in MODELS.values() if model is None else [spec_of(model)]:
        n = len(own)
        if own == [c.name for c in spec.columns[:n]] and (n == len(spec.columns) or spec.columns[n].added):
            return spec.name
    if model is not None:
        raise ValueError(f"not a velmora record file: its layout names the model {model}, whose records have other "
                         f"columns than {', '.join(names)}")
    raise ValueError(f"not a velmora record file: columns {', '.join(names)}")


# A record file names its model and the layout of its records (LAYOUT_KEY:
# {"model": name, "version": LAYOUT_VERSION}) beside the run's description:
# Parquet in its schema metadata, ROOT as a string object, HDF5 as an
# attribute of its records, .npz inside its description. Readers take the
# model from there; files written before (which name none) are known by their
# columns. Version 1: each model's columns in the order of its table, then
# the truth columns, the label column and the event columns where written.
LAYOUT_KEY = "velmora.layout"
LAYOUT_VERSION = 1


def record_layout(dtype: np.dtype) -> str | None:
    """The layout of records of ``dtype`` as stored with them (JSON); None
    for records of no model."""
    model = model_of_dtype(dtype)
    return None if model is None else json.dumps({"model": model, "version": LAYOUT_VERSION})


def layout_model(path: Path, text: str | bytes | None) -> str | None:
    """The model that the layout ``text`` stored with the record file
    ``path`` names (None for a file written before layouts were stored); a
    ValueError naming the file for a layout that is damaged, newer than this
    version reads, or of a model it does not know."""
    if text is None:
        return None
    try:
        layout = json.loads(text)
    except (ValueError, UnicodeDecodeError):
        layout = None
    version = layout.get("version") if isinstance(layout, dict) else None
    if not (isinstance(layout, dict) and isinstance(layout.get("model"), str) and isinstance(version, int)
            and not isinstance(version, bool) and version >= 1):
        raise _Unreadable(f"{path}: its record layout ({LAYOUT_KEY}) is unreadable: the file is damaged")
    if version > LAYOUT_VERSION:
        raise _Unreadable(f"{path}: its records are in layout {version}, which a newer velmora wrote; this version "
                          f"reads layouts up to {LAYOUT_VERSION}")
    if layout["model"] not in MODELS:
        raise _Unreadable(f"{path}: its layout names the model {layout['model']!r}, which this version of velmora "
                          f"does not know (it knows {', '.join(MODELS)})")
    return str(layout["model"])


def _has_truth(names: list[str]) -> bool:
    """Whether the columns of a record file (of a known model) hold the truth
    columns: at their end, or before the label column or the event column."""
    return _ends_in_truth(_without_label(list(names)))


def _ends_in_truth(names: list[str]) -> bool:
    """Whether ``names`` end in the truth columns."""
    return _truth_count(names) > 0


def _truth_count(names: list[str]) -> int:
    """How many truth columns end ``names``: all of them, or those of an
    older file, which end before a truth column added since; 0 for none."""
    for n in range(len(TRUTH_COLUMNS), 0, -1):
        if (n == len(TRUTH_COLUMNS) or TRUTH_COLUMNS[n].added) and names[-n:] == [c.name for c in TRUTH_COLUMNS[:n]]:
            return n
    return 0


def file_record_dtype(spec: Any, waveform_samples: int, names: list[str], type_of: Callable[[str], np.dtype],
                      where: Path) -> np.dtype:
    """The record dtype of a file of ``spec``'s records whose columns are
    ``names``, ``type_of`` giving a column's numpy type as stored: the
    model's, with the truth columns, a label column of a type labels take
    and the event columns where the file has them."""
    label = label_column(names)
    labelled = None
    if label is not None:
        kind = np.dtype(type_of(label))
        if kind.name not in LABEL_TYPES:
            raise _Unreadable(f"{where}: not a velmora record file: its label column {label!r} holds {kind}, not "
                              f"{' or '.join(LABEL_TYPES)}")
        labelled = (label, kind.name)
    return file_dtype(spec.record_dtype(waveform_samples, _has_truth(names), labelled), names)


# The longest file name most file systems take, in bytes, and what a
# temporary name adds to the output's name: ".velmora-tmp-<pid>-<host tag>-",
# "-<random>.part" (a process id has at most 7 digits on Linux).
_NAME_MAX = 255
_TEMP_DECORATION = len(".velmora-tmp-4194304-01234567--abcdefgh.part")


def check_output(output: str | os.PathLike[str]) -> None:
    """Refuses output names that cannot be meant: an empty name (which would
    be taken for the current directory), the root directory (what "$DIR/"
    gives with DIR unset), and a record-file suffix with no name before it
    (".parquet", which would be taken for a hidden directory)."""
    text = os.fspath(output)
    if text.strip() == "":
        raise ValueError(f"output must name a record file ({suffixes_text()}) or a dataset directory, got {text!r}")
    path, full = Path(text), Path(os.path.abspath(text))
    if full == Path(full.anchor):
        raise ValueError(f"output {text!r}: the root directory cannot hold a dataset")
    if path.name.lower() in record_suffixes():
        raise ValueError(f"output {text!r}: a record file needs a name before {path.name}")
    length = len(path.name.encode(errors="surrogateescape"))
    if length > _NAME_MAX - _TEMP_DECORATION:
        raise ValueError(f"output {path.name[:20]!r}...: the name is too long, {length} bytes; at most "
                         f"{_NAME_MAX - _TEMP_DECORATION} bytes leave room for the temporary name beside it "
                         f"within the file system's {_NAME_MAX}")


def refuse_record_file(path: Path, overwrite: bool) -> None:
    """Refuses to write the record file ``path`` where it is a directory, or
    an existing file without ``overwrite``; changes nothing."""
    if path.is_dir():
        raise IsADirectoryError(f"{path}: is a directory, not a record file")
    if path.exists() and not overwrite:
        raise FileExistsError(f"{path}: exists; overwrite it (--overwrite, overwrite=True) or choose another name")


def refuse_missing_directory(path: Path) -> None:
    """Refuses a file ``path`` whose directory does not exist."""
    if not path.parent.is_dir():
        raise FileNotFoundError(f"{path}: the directory {path.parent} does not exist")


def prepare_record_file(path: Path, overwrite: bool) -> None:
    """Makes ready to write the record file ``path``: refuses it as
    :func:`refuse_record_file` does, and removes this output's stale
    temporary files."""
    refuse_record_file(path, overwrite)
    if path.parent.is_dir():
        remove_stale_temporaries(path)


class Writer(PublishedFile):
    """Writes blocks of records to ``path``. Everything goes to a temporary
    file beside it; :meth:`close` renames that to ``path``, :meth:`abort` (or
    an exception inside a ``with`` block, or the writer being dropped without
    close) removes it, so no file that looks complete is left by a run that
    did not finish. Blocks must come in increasing channel order (unless
    ``channel_order`` is set False, for records in time order)."""

    path: Path
    dtype: np.dtype
    metadata: dict[str, Any]
    rows: int

    def __init__(self, path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool = True) -> None:
        self.path = path
        self.dtype = dtype
        self.metadata = metadata
        self.overwrite = overwrite
        self.rows = 0
        # Blocks must come in channel order; a file in time order sets this False.
        self.channel_order = True
        self._last_channel = -1
        # What the file stores of its records' model and layout (None for records of no model).
        self.layout = record_layout(dtype)
        self._tmp, self._finalizer = temporary_beside(path, self)
        self._open = True

    def write(self, block: np.ndarray | Columns) -> None:
        """Appends a block of records: an array of this writer's dtype, or its
        columns by name (as the engine gives them)."""
        if not self._open:
            raise ValueError(f"{self.path}: the writer is closed")
        columns = self._columns(block)
        channels = columns["channel"]
        if len(channels) == 0:
            return
        if self.channel_order and (channels[0] < self._last_channel or (np.diff(channels) < 0).any()):
            raise ValueError(f"{self.path}: records must come in increasing channel order")
        self._write(columns)
        self._last_channel = int(channels[-1])
        self.rows += len(channels)

    def _columns(self, block: np.ndarray | Columns) -> Columns:
        """The columns of a block, checked against this writer's dtype."""
        if isinstance(block, np.ndarray):
            if block.dtype != self.dtype:
                raise TypeError(f"{self.path}: block of dtype {block.dtype} where {self.dtype} was expected")
            return {name: block[name] for name in _names(self.dtype)}
        if list(block) != list(_names(self.dtype)):
            raise TypeError(f"{self.path}: block of columns {', '.join(block)} where {', '.join(_names(self.dtype))} "
                            "were expected")
        rows = len(block["channel"])
        for name in _names(self.dtype):
            field = self.dtype[name]
            values = block[name]
            if values.dtype != field.base or values.shape != (rows, *field.shape):
                raise TypeError(f"{self.path}: column {name!r} of {values.dtype} {values.shape} where "
                                f"{field.base} {(rows, *field.shape)} was expected")
        return block

    def __enter__(self) -> Writer:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if kind is None:
            self.close()
        else:
            self.abort()

    def _write(self, columns: Columns) -> None:
        raise NotImplementedError


def open_writer(path: str | os.PathLike[str], *, model: str, waveform_samples: int = 1,
                metadata: dict[str, Any] | None = None, overwrite: bool = True, kind: str | None = None,
                truth: bool = False, label: tuple[str, str] | None = None) -> Writer:
    """A writer of ``model`` records to ``path``, in the format its suffix
    names (Parquet for ``.parquet``, a NumPy archive for ``.npz``, ...);
    ``kind`` (a suffix without its dot, ``"parquet"``) names the format where
    the name does not (a dataset's part under the name it has until its run
    completes). ``metadata`` (JSON-serialisable) is stored with the records;
    :func:`read_metadata` gives it back. Without ``overwrite``, closing fails
    rather than replace a file that appeared at ``path`` while the writer
    ran. ``truth``: records with the truth columns; ``label`` (name, type):
    with the label column after them."""
    path = Path(path)
    refuse_missing_directory(path)
    dtype = record_dtype(model, waveform_samples, truth, label)
    metadata = dict(metadata or {})
    json.dumps(metadata)  # fail here, before any file exists, if it cannot be stored
    return writer_for(path, dtype, metadata, overwrite, kind)


def writer_for(path: Path, dtype: np.dtype, metadata: dict[str, Any], overwrite: bool,
               kind: str | None = None) -> Writer:
    """A writer of records of ``dtype`` (a model's columns, and any added
    after them) to ``path``, in the format its suffix (or ``kind``) names."""
    found = record_format(path) if kind is None else by_suffix("." + kind)
    if found is None or not found.records:
        raise ValueError(f"{path}: record files must end in {suffixes_text()}")
    writer = found.open_writer(path, dtype, metadata, overwrite)
    if not isinstance(writer, Writer):
        raise TypeError(f"format {found.name}: open_writer gave a {type(writer).__name__}, not a record Writer")
    return writer


class _Unreadable(ValueError):
    pass


def unreadable(path: Path, message: str) -> ValueError:
    """A one-line ValueError that reading ``path`` gives as it is."""
    return _Unreadable(f"{path}: {message}")


def _refuse(path: Path, error: BaseException) -> ValueError:
    """A one-line ValueError naming ``path`` for a failure to read it."""
    text = " ".join(str(error).split())
    if isinstance(error, _Unreadable) or text.startswith(str(path)):
        return ValueError(text)
    if not isinstance(error, ValueError) or not text:
        text = f"cannot read it: {text or type(error).__name__}"
    return ValueError(f"{path}: {text}")


# What reading a damaged or foreign file raises, besides ValueError (which
# includes pyarrow's ArrowInvalid and JSON's decode error).
_READ_ERRORS = (EOFError, zipfile.BadZipFile, zlib.error, KeyError, IndexError, TypeError, AttributeError,
                OverflowError, pa.ArrowException, NotImplementedError,  # a damaged header may name a type,
                # compression or version the reader does not implement
                SyntaxError, tokenize.TokenError)  # the last two: a damaged .npy header


@contextlib.contextmanager
def refusing(path: Path, passing: tuple[type[BaseException], ...] = ()) -> Iterator[None]:
    """Turns whatever reading the record file ``path`` raises into a
    one-line ValueError naming it; a missing file, a lack of permission, a
    directory and ``passing`` pass as they are."""
    try:
        yield
    except (FileNotFoundError, PermissionError, IsADirectoryError):
        raise
    except BaseException as e:
        if isinstance(e, passing) or not isinstance(e, (ValueError, OSError, *_READ_ERRORS)):
            raise
        raise _refuse(path, e) from None


def file_dtype(dtype: np.dtype, names: list[str]) -> np.dtype:
    """``dtype`` with only the columns a file holds: an older file lacks the
    columns added since it was written; records grouped into events have the
    event column and their row at the end."""
    if list(_names(dtype)) == names:
        return dtype
    added = {name: kind for name, kind in (EVENT_COLUMN, RECORD_ROW_COLUMN) if name not in _names(dtype)}
    return np.dtype([(n, added[n]) if n in added else (n, dtype[n]) for n in names])


def _record_file_format(path: Path) -> Format:
    found = record_format(path)
    if found is None:
        raise ValueError(f"{path}: record files must end in {suffixes_text()}")
    return found


def read_record_file(path: str | os.PathLike[str]) -> np.ndarray:
    """The records of a record file written by velmora_batch, in the format
    its suffix names, as a structured array of :func:`record_dtype`. A file
    that cannot be read as records is a ValueError naming it."""
    path = Path(path)
    with refusing(path):
        return _record_file_format(path).read_records(path, None, None)


def read_file_metadata(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The run description stored with a record file (config, seed, seeding
    mode, version, segment, dark-noise rate and duration, the PE input's name
    and digest); a file whose suffix names no record format (a dataset's part
    until its run completes) is read as a dataset's parts are written. A file
    without readable velmora metadata is a ValueError naming it."""
    path = Path(path)
    return (record_format(path) or parts_format()).read_metadata(path)


def parsed_metadata(path: Path, raw: Callable[[Path], str | bytes]) -> dict[str, Any]:
    """The run description that ``raw`` reads from ``path`` as JSON text,
    parsed; a ValueError naming the file where it is missing or unreadable."""
    try:
        metadata = json.loads(raw(path))
    except (FileNotFoundError, PermissionError, IsADirectoryError):
        raise
    except json.JSONDecodeError as e:
        raise ValueError(f"{path}: its velmora metadata is not valid JSON: {e}") from None
    except (ValueError, OSError, *_READ_ERRORS) as e:
        raise _refuse(path, e) from None
    if not isinstance(metadata, dict):
        raise ValueError(f"{path}: its velmora metadata is not a JSON object")
    return metadata
