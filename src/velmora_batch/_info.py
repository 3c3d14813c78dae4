"""What a record file, links file or dataset directory holds, for `velmora
info`: its columns with their units and meanings, the run's description
stored with it, its number of rows and, for a dataset, whether it is
complete."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow.parquet as pq

from ._dataset import dataset_problems, hidden_name, read_manifest
from ._events import EVENT_SCHEMA
from ._formats import open_record_pieces
from ._links import is_links_file, links_metadata
from ._records import manifest_dtype, model_of_dtype, read_file_metadata, record_column_info
from .formats import record_format, table_format


@dataclass
class ColumnSummary:
    name: str
    type: str
    unit: str
    meaning: str


@dataclass
class Info:
    """What ``velmora info`` reports of a record file or a dataset directory.
    ``complete`` and ``problems`` are those of a dataset (None for a file);
    ``damaged``: a dataset whose run finished but whose parts (or manifest)
    are not as it was written."""

    path: Path
    kind: str
    model: str | None
    rows: int
    columns: list[ColumnSummary]
    metadata: dict[str, Any]
    complete: bool | None = None
    problems: list[str] = field(default_factory=list)
    damaged: bool = False

    def as_json(self) -> dict[str, Any]:
        return {"path": str(self.path), "kind": self.kind, "model": self.model, "rows": self.rows,
                "columns": [vars(c) for c in self.columns], "metadata": self.metadata, "complete": self.complete,
                "problems": self.problems}


def _type_name(dtype: np.dtype, name: str) -> str:
    base, shape = dtype[name].base, dtype[name].shape
    return f"{base.name}[{shape[0]}]" if shape else base.name


def _columns(dtype: np.dtype, stored: dict[str, dict[bytes, bytes]] | None = None) -> list[ColumnSummary]:
    """The columns of records of ``dtype``, described by the file's own field
    metadata where it has any (``stored``, by name), else by the column table."""
    model = model_of_dtype(dtype)
    out = []
    for name in dtype.names or ():
        meta = (stored or {}).get(name) or {}
        known = record_column_info(dtype, name) if model is not None else None
        unit = meta[b"unit"].decode() if b"unit" in meta else (known.unit if known else "")
        meaning = meta[b"description"].decode() if b"description" in meta else (known.meaning if known else "")
        out.append(ColumnSummary(name, _type_name(dtype, name), unit, meaning))
    return out


def _file_info(path: Path) -> Info:
    with open_record_pieces(path) as pieces:
        dtype, rows, model = pieces.dtype, pieces.rows, pieces.model
    found = record_format(path)
    stored = found.column_notes(path) if found is not None else None
    kind = found.name if found is not None else path.suffix
    return Info(path, f"{kind} record file", model, rows, _columns(dtype, stored),
                read_file_metadata(path))


def _described_columns(path: Path) -> list[ColumnSummary]:
    """The columns of a Parquet file as their field metadata describes them."""
    return [ColumnSummary(f.name, str(f.type), (f.metadata or {}).get(b"unit", b"").decode(),
                          (f.metadata or {}).get(b"description", b"").decode()) for f in pq.read_schema(path)]


def _links_info(path: Path) -> Info:
    """A links file: its columns, and what ties it to its records."""
    metadata = links_metadata(path)
    return Info(path, "Parquet links file", None, int(pq.read_metadata(path).num_rows), _described_columns(path),
                metadata)


def _dataset_info(directory: Path) -> Info:
    manifest = read_manifest(directory)
    problems = dataset_problems(directory)
    metadata = {k: v for k, v in manifest.items() if k != "blocks"}
    metadata["blocks"] = len(manifest["blocks"])
    # The columns as its parts hold them: the first part there, else the model's.
    first = next((directory / name for entry in manifest["blocks"]
                  for name in (entry["file"], hidden_name(entry["file"])) if (directory / name).is_file()), None)
    if first is not None and not problems:
        columns = _file_info(first).columns
    else:
        columns = _columns(manifest_dtype(manifest))
    return Info(directory, "dataset directory", manifest["model"], int(manifest["rows"]), columns, metadata,
                complete=not problems, problems=problems, damaged=bool(problems) and bool(manifest["complete"]))


def damage_text(info: Info) -> str:
    """The one-line error of ``velmora info`` for a damaged dataset: the
    first part (or the manifest) that is not as written, by its path, with
    what is wrong, and the names of a few others."""
    first, *others = info.problems
    text = os.path.join(info.path, first)
    if others:
        names = [problem.split(":", 1)[0] for problem in others]
        shown = ", ".join(names[:3]) + (", ..." if len(names) > 3 else "")
        text += f" (and {len(others)} other part{'s' if len(others) > 1 else ''} not as written: {shown})"
    return text


def inspect(path: str | os.PathLike[str]) -> Info:
    """What the record file, links file (a Parquet file of links, told by its metadata) or dataset
    directory ``path`` holds. A file that cannot be read as records or
    links, or a directory that is no dataset, is an error naming it
    (ValueError or OSError)."""
    path = Path(path)
    if path.is_dir():
        return _dataset_info(path)
    if not path.exists():
        raise FileNotFoundError(f"{path}: no such file or directory")
    if is_links_file(path):
        return _links_info(path)
    if table_format(path) is not None and _is_event_table(path):
        return _event_table_info(path)
    return _file_info(path)


def _is_event_table(path: Path) -> bool:
    try:
        return pq.read_schema(path).names == EVENT_SCHEMA.names
    except (OSError, ValueError):
        return False  # reported as the record file it is not


def _event_table_info(path: Path) -> Info:
    """An event table: its columns as their metadata describes them, and the
    description of the run and the trigger that made it."""
    return Info(path, "Parquet event table", None, int(pq.read_metadata(path).num_rows), _described_columns(path),
                read_file_metadata(path))


def _shown(value: Any) -> str:
    """A metadata value on one line: a file's contents and long lists shortened."""
    if isinstance(value, dict) and set(value) == {"x", "y"} and isinstance(value["x"], list):
        return f"({len(value['x'])} points)"
    if isinstance(value, dict) and "channel" in value and isinstance(value["channel"], list):
        return f"(per-channel values of {len(value['channel'])} channels: {', '.join(k for k in value if k != 'channel')})"
    if isinstance(value, list) and len(value) > 8:
        return json.dumps(value[:6])[:-1] + f", ... ({len(value)} values)]"
    if isinstance(value, dict):  # such as the afterpulses: each value shortened in turn
        return "{" + ", ".join(f"{json.dumps(k)}: {_shown(v)}" for k, v in value.items()) + "}"
    return json.dumps(value)


def info_text(info: Info) -> str:
    """The report of ``velmora info``, as lines of text."""
    lines = [f"{info.kind}: {info.path}"]
    lines += [f"model: {info.model}"] if info.model is not None else []
    rows = "links" if "links" in info.kind else "events" if "event" in info.kind else "records"
    lines.append(f"{rows}: {info.rows}")
    if info.complete is not None:
        lines.append("complete: yes, every part present and checked" if info.complete else
                     "complete: no")
        lines += [f"  {problem}" for problem in info.problems]
    lines.append("columns:")
    widths = [max([len(c.name) for c in info.columns] + [0]), max([len(c.type) for c in info.columns] + [0]),
              max([len(c.unit or "-") for c in info.columns] + [0])]
    for c in info.columns:
        lines.append(f"  {c.name.ljust(widths[0])}  {c.type.ljust(widths[1])}  {(c.unit or '-').ljust(widths[2])}"
                     f"  {c.meaning}")
    lines.append("metadata:")
    for key, value in info.metadata.items():
        if key == "config" and isinstance(value, dict):
            lines.append("  config:")
            lines += [f"    {k}: {_shown(v)}" for k, v in value.items()]
        else:
            lines.append(f"  {key}: {_shown(value)}")
    return "\n".join(lines) + "\n"
