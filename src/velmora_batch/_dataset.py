"""Datasets: a run's records as a directory of Parquet parts, one per block.

A dataset directory holds:

- ``part-<first channel, 10 digits>.parquet``, one per block: the block's
  records in (channel, time) order. Its Parquet metadata (key ``velmora``)
  holds only what ties it to its run: the run's digest, the seed, and the
  block (first and last channel, rows).
- ``_manifest.parquet``: the run's description, stored once (config, seed,
  seeding, noise, segment, digests of the channel selection and of the PE
  input, version), its digest ``run``, and per block its channels, file, rows
  and the SHA-256 of the part's file, as JSON under the Parquet metadata key
  ``velmora`` of a file that holds no record but has the records' columns.
  It is rewritten atomically as blocks complete (at most once a second) and
  marked ``"complete": true`` last.
- ``_velmora.lock`` while a run writes into the directory.

A run with links writes them beside the directory, in the sibling folder
``<name>.links`` (the manifest names it, ``links_directory``):
``links-part-<first channel>.parquet`` per block, the block's links, whose
``record`` is the row in the block's record part; the manifest lists it
(file, links, SHA-256) under the block's ``links``. The dataset directory
itself thus holds records only, and every table library reads it as it is;
``read_links`` reads the links. Datasets whose links lie inside them, in a
``_links`` folder (the layout before, whose manifest names no links
directory), are read as they are; resuming one moves its links beside it.

Table libraries read a complete directory as it is: every file in it ends
in ``.parquet`` and has the records' columns. Readers that take every file
below the directory, hidden ones included (polars, awkward, Dask), find in
the manifest no record and no other column; pyarrow and pandas skip it, as
they skip every name that starts with ``_`` or ``.``.

Until its run completes, a part lies under ``_part-<...>.parquet.pending``
(a links part under ``_links/_links-part-<...>.parquet.pending``):
a name that no Parquet reader takes for a part (pyarrow and pandas skip its
``_``, polars, awkward and Dask its extension), and that polars refuses to
read among ``.parquet`` files, as it refuses the lock: a directory whose run
has not finished shows no reader a partial dataset. Completion lists every
block in the manifest, renames the parts into place and then marks the
manifest complete. Resuming hides the parts again until it completes.

Datasets of the format before (``velmora-dataset/2``: the manifest as
``_manifest.json``, unfinished parts under ``_part-<...>.parquet``) are read
and resumed; resuming one moves it to this format.

Claiming: a run claims the directory by creating ``_velmora.lock`` with
``O_EXCL``, holding its process id, host and run id, and removes it when it
ends, also on an error or Ctrl-C. While the lock exists any other run into
the directory, a resume included, is refused. A lock left by a killed run is
stale when it names a process of this host that no longer exists (or a
process id taken since by a later process): the next run takes it over. A
lock of another host is never judged from here; remove it by hand once that
run is known to have ended. Temporary files (``.velmora-tmp-*.part``) of
runs that were killed are removed by the next run that claims the directory.

Trust: resuming keeps a finished part only if its file's SHA-256 is the one
in the manifest and its metadata (run digest, seed, first and last channel,
rows) match its manifest entry; any other part is run again. Reading checks
the same, and that each part's channels lie within its block in order; a
part that fails is an error naming it."""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import re
import socket
import tempfile
import time
import uuid
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from ._links import links_metadata, links_schema, read_links_file, shifted
from ._publish import FILE_MODE, is_temporary, process_exists, temp_prefix
from ._records import (METADATA_KEY, Columns, _arrow_schema, _names, file_sha256, manifest_dtype, model_of_dtype,
                       read_file_metadata, read_record_file)
from ._tables import (Channels, overlaps, read_selected, records_by_time, select, selected_dtype, selection,
                      time_column)
from .formats.parquet import SUFFIX as PART_SUFFIX

# Parts, links parts and the manifest are Parquet files.
_PARQUET = re.escape(PART_SUFFIX)
MANIFEST = "_manifest" + PART_SUFFIX
# Where the manifest of the formats before lies: JSON, which table libraries
# reading every file of the directory refuse beside the parts.
MANIFEST_JSON = "_manifest.json"
LOCK = "_velmora.lock"
FORMAT = "velmora-dataset/3"
# The format before: the manifest as JSON, unfinished parts "_part-<...>.parquet".
# Read and resumed.
_FORMAT_2 = "velmora-dataset/2"
# Datasets of the first layout (every part visible, holding the whole run
# description) are still read; they cannot be resumed.
_FORMAT_1 = "velmora-dataset/1"
_PART = re.compile(rf"part-\d{{10}}{_PARQUET}")
_HIDDEN_PART = re.compile(rf"_part-\d{{10}}{_PARQUET}\.pending")
_FORMAT_2_HIDDEN_PART = re.compile(rf"_part-\d{{10}}{_PARQUET}")
LINKS_DIR = "_links"  # where the links parts of a dataset of the layout before lie, inside it
LINKS_DIRECTORY_KEY = "links_directory"  # the manifest's name of the folder beside the dataset holding its links
_LINKS_PART = re.compile(rf"links-part-\d{{10}}{_PARQUET}|_links-part-\d{{10}}{_PARQUET}\.pending")
_SHA256 = re.compile(r"[0-9a-f]{64}")
# The manifest of a running run is rewritten at most this often (seconds):
# often enough that little is redone after an interruption, rarely enough
# that rewriting it costs nothing beside the blocks.
_SAVE_INTERVAL = 1.0

# What must match for a run to resume another's dataset.
IDENTITY_KEYS = ("model", "waveform_samples", "config", "seed", "seeding", "segment", "dark_rate", "duration",
                 "channels", "pes_sha256", "block_channels", "velmora_version")
# What must match too where a run has it: a run without truth has no such key, and its digest stays as it was.
OPTIONAL_IDENTITY_KEYS = ("truth", "label")


class DatasetInUse(RuntimeError):
    """Another run holds the dataset directory."""


def is_dataset(output: str | os.PathLike[str] | None) -> bool:
    """Whether ``output`` names a dataset directory rather than a record file:
    an existing directory, a path ending in a separator, or one without a
    suffix."""
    if output is None:
        return False
    text = os.fspath(output)
    path = Path(text)
    try:
        is_dir = path.is_dir()
    except OSError:  # a name too long to look up: not an existing directory, writing it fails with its reason
        is_dir = False
    return text.endswith(("/", os.sep)) or is_dir or path.suffix == ""


def refuse_foreign_directory(directory: str | os.PathLike[str]) -> None:
    """Refuses an existing directory that holds no dataset but other files
    (``-o .`` in a working directory): a run puts its parts only into a new
    or empty directory, or into a dataset, never among other files."""
    try:
        names = [p.name for p in Path(directory).iterdir()]
    except (FileNotFoundError, NotADirectoryError):
        return
    if MANIFEST in names or MANIFEST_JSON in names or any(_is_part(n) for n in names):
        return  # a dataset: resumed, overwritten or refused as one
    # A run killed before its first manifest leaves its lock, temporary files and links folder.
    other = sorted(n for n in names if n not in (LOCK, LINKS_DIR) and not is_temporary(n))
    if other:
        shown = ", ".join(other[:3]) + (f" and {len(other) - 3} more" if len(other) > 3 else "")
        raise FileExistsError(f"{directory}: holds files that are not a velmora dataset's ({shown}); "
                              "write the dataset into a new or empty directory")


def links_folder_name(directory: Path) -> str:
    """The name of the folder beside the dataset ``directory`` where a run
    puts its links: ``<name>.links``."""
    return Path(os.path.abspath(directory)).name + ".links"


def links_folder(directory: Path, manifest: dict[str, Any]) -> Path:
    """Where the links parts of the dataset in ``directory`` lie: the folder
    beside it that its manifest names, or its ``_links`` folder (the layout
    before)."""
    name = manifest.get(LINKS_DIRECTORY_KEY)
    return Path(os.path.abspath(directory)).parent / name if isinstance(name, str) else directory / LINKS_DIR


def block_name(first: int) -> str:
    """The file name of the part whose first channel is ``first``: zero-padded
    so that the names sort as the channels do."""
    return f"part-{first:010d}{PART_SUFFIX}"


def hidden_name(file: str) -> str:
    """Where the part ``file`` lies until its run completes."""
    return "_" + file + ".pending"


def _is_part(name: str) -> bool:
    """Whether ``name`` is a part's, visible or hidden (in this format or the one before)."""
    return any(p.fullmatch(name) for p in (_PART, _HIDDEN_PART, _FORMAT_2_HIDDEN_PART))


def links_block_name(first: int) -> str:
    """The file name of the links part of the block whose first channel is ``first``."""
    return f"links-part-{first:010d}{PART_SUFFIX}"


def stored_seed(directory: str | os.PathLike[str]) -> int | None:
    """The seed of the dataset in ``directory``, if there is one."""
    try:
        seed = read_manifest(directory).get("seed")
    except (FileNotFoundError, NotADirectoryError):
        return None
    return int(seed) if seed is not None else None


def _sha256(*arrays: np.ndarray) -> str:
    h = hashlib.sha256()
    for a in arrays:
        h.update(np.ascontiguousarray(a).tobytes())
        h.update(b"|")
    return h.hexdigest()



def run_digest(ident: dict[str, Any]) -> str:
    """The digest of a run's identity that each of its parts carries."""
    keys = IDENTITY_KEYS + tuple(k for k in OPTIONAL_IDENTITY_KEYS if k in ident)
    text = json.dumps({k: ident[k] for k in keys}, sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(text.encode()).hexdigest()


# Checking a manifest's shape: every field that is used, with its type.


def _whole(value: Any, least: int = 0) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= least


def _number_or_none(value: Any) -> bool:
    return value is None or (isinstance(value, int | float) and not isinstance(value, bool))


_TOP_FIELDS: dict[str, tuple[Any, str]] = {
    "complete": (lambda v: isinstance(v, bool), "true or false"),
    "rows": (_whole, "a whole number"),
    "blocks": (lambda v: isinstance(v, list), "a list"),
    "model": (lambda v: isinstance(v, str), "a string"),
    "waveform_samples": (lambda v: _whole(v, 1), "a whole number of at least 1"),
    "config": (lambda v: isinstance(v, dict), "an object"),
    "seed": (_whole, "a whole number"),
    "seeding": (lambda v: isinstance(v, str), "a string"),
    "segment": (_number_or_none, "a number or null"),
    "dark_rate": (_number_or_none, "a number or null"),
    "duration": (_number_or_none, "a number or null"),
    "channels": (lambda v: isinstance(v, dict) and _whole(v.get("count")) and isinstance(v.get("sha256"), str)
                 and all(v.get(k) is None or _whole(v.get(k)) for k in ("first", "last")),
                 "an object of count, first, last and sha256"),
    "pes_sha256": (lambda v: isinstance(v, str), "a string"),
    "block_channels": (lambda v: _whole(v, 1), "a whole number of at least 1"),
    "velmora_version": (lambda v: isinstance(v, str), "a string"),
}


def _check_links_entry(links: Any, first: int, bad: Any) -> None:
    if not isinstance(links, dict):
        raise bad(" must be an object")
    if links.get("file") != links_block_name(first):
        raise bad(f".file must be {links_block_name(first)}, got {json.dumps(links.get('file'))[:80]}")
    if not _whole(links.get("rows")):
        raise bad(f".rows must be a whole number, got {json.dumps(links.get('rows'))[:60]}")
    if not (isinstance(links.get("sha256"), str) and _SHA256.fullmatch(links["sha256"])):
        raise bad(".sha256 must be the links part's SHA-256 digest")


def _check_manifest(manifest: Any, path: Path) -> dict[str, Any]:
    formats = (FORMAT,) if path.name == MANIFEST else (_FORMAT_2, _FORMAT_1)
    if not isinstance(manifest, dict) or manifest.get("format") not in formats:
        raise ValueError(f"{path}: not a velmora dataset manifest")

    def bad(what: str) -> ValueError:
        return ValueError(f"{path}: not a valid velmora dataset manifest: {what}")

    for key, (ok, expected) in _TOP_FIELDS.items():
        if key not in manifest:
            raise bad(f"no {key!r}")
        if not ok(manifest[key]):
            raise bad(f"{key!r} must be {expected}, got {json.dumps(manifest[key])[:60]}")
    current = manifest["format"] != _FORMAT_1
    if current and not (isinstance(manifest.get("run"), str) and _SHA256.fullmatch(manifest["run"])):
        raise bad("'run' must be the run's SHA-256 digest")
    if manifest.get("order", "channel") not in ("channel", "time"):
        raise bad(f"'order' must be \"channel\" or \"time\", got {json.dumps(manifest['order'])[:60]}")
    folder = manifest.get(LINKS_DIRECTORY_KEY)
    if folder is not None and not (isinstance(folder, str) and folder not in (".", "..") and folder.strip()
                                   and not any(c in folder for c in "/\\\0")):
        raise bad(f"{LINKS_DIRECTORY_KEY!r} must be the name of a folder beside the dataset, got "
                  f"{json.dumps(folder)[:60]}")
    previous_last = -1
    for i, block in enumerate(manifest["blocks"]):
        where = f"blocks[{i}]"
        if not isinstance(block, dict):
            raise bad(f"{where} must be an object")
        for key in ("first", "last", "channels", "rows"):
            if not _whole(block.get(key)):
                raise bad(f"{where}.{key} must be a whole number, got {json.dumps(block.get(key))[:60]}")
        first, last = block["first"], block["last"]
        if last < first or not 1 <= block["channels"] <= last - first + 1:
            raise bad(f"{where}: channels {first}-{last} cannot hold {block['channels']} channels")
        file = block.get("file")
        if not (isinstance(file, str) and _PART.fullmatch(file)):
            raise bad(f"{where}.file must be a plain part-<10 digits>{PART_SUFFIX} name, got {json.dumps(file)[:80]}")
        if file != block_name(first):
            raise bad(f"{where}.file {file} is not the part of a block starting at channel {first} "
                      f"({block_name(first)})")
        if current and not (isinstance(block.get("sha256"), str) and _SHA256.fullmatch(block["sha256"])):
            raise bad(f"{where}.sha256 must be the part's SHA-256 digest")
        if "links" in block:
            _check_links_entry(block["links"], first, lambda what: bad(f"{where}.links{what}"))
        if first <= previous_last:
            raise bad(f"{where} (channels {first}-{last}) overlaps or precedes the block before it")
        previous_last = last
    blocks = manifest["blocks"]
    if sum(b["rows"] for b in blocks) != manifest["rows"]:
        raise bad(f"'rows' is {manifest['rows']}, but its blocks hold {sum(b['rows'] for b in blocks)}")
    selection = manifest["channels"]
    if blocks and selection["count"] and not (selection["first"] <= blocks[0]["first"]
                                              and blocks[-1]["last"] <= selection["last"]):
        raise bad(f"its blocks reach beyond the run's channels {selection['first']}-{selection['last']}")
    if manifest["complete"] and sum(b["channels"] for b in blocks) != selection["count"]:
        raise bad(f"it is marked complete, but its blocks hold {sum(b['channels'] for b in blocks)} of the "
                  f"run's {selection['count']} channels")
    return manifest


def _manifest_text(path: Path) -> str | bytes:
    """The JSON of the manifest file ``path``: a Parquet file's metadata, or
    the file itself in the formats before."""
    if path.name == MANIFEST_JSON:
        return path.read_text()
    try:
        stored = pq.read_schema(path).metadata or {}
    except (FileNotFoundError, NotADirectoryError, PermissionError):
        raise
    except (OSError, ValueError) as e:
        raise ValueError(f"{path}: not a velmora dataset manifest: {' '.join(str(e).split())}") from None
    if METADATA_KEY not in stored:
        raise ValueError(f"{path}: not a velmora dataset manifest (no velmora metadata)")
    return stored[METADATA_KEY]


def manifest_path(directory: str | os.PathLike[str]) -> Path:
    """The manifest file of the dataset in ``directory``: that of this
    format where there is one, else that of the formats before."""
    directory = Path(directory)
    ours = directory / MANIFEST
    return ours if ours.exists() or not (directory / MANIFEST_JSON).exists() else directory / MANIFEST_JSON


def read_manifest(directory: str | os.PathLike[str]) -> dict[str, Any]:
    """The manifest of the dataset in ``directory``, its shape checked."""
    path = manifest_path(directory)
    try:
        manifest = json.loads(_manifest_text(path))
    except FileNotFoundError:
        raise FileNotFoundError(f"{directory}: not a velmora dataset (no {MANIFEST})") from None
    except NotADirectoryError:
        raise NotADirectoryError(f"{directory}: not a directory") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as e:
        raise ValueError(f"{path}: not valid JSON: {e}") from None
    return _check_manifest(manifest, path)


def write_manifest(directory: Path, manifest: dict[str, Any], schema: pa.Schema) -> None:
    """Replaces the manifest atomically: readers see the old one or the new
    one, never a part of either. It is a Parquet file of the records'
    ``schema`` holding no record, the manifest as JSON in its metadata."""
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=temp_prefix(MANIFEST), suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            text = json.dumps(manifest, indent=1).encode()
            pq.write_table(schema.with_metadata({METADATA_KEY: text}).empty_table(), f)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, FILE_MODE)
        os.replace(tmp, directory / MANIFEST)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


# Claiming a directory.


def _process_start(pid: int) -> str | None:
    """When process ``pid`` started (clock ticks since boot), where the system tells."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    fields = stat[stat.rfind(")") + 2 :].split()
    return fields[19] if len(fields) > 19 else None


def _is_stale(holder: dict[str, Any]) -> bool:
    """Whether a lock names a process of this host that has ended."""
    pid = holder.get("pid")
    if holder.get("host") != socket.gethostname() or not isinstance(pid, int) or not _whole(pid, 1):
        return False
    if not process_exists(pid):
        return True
    started, now = holder.get("process_start"), _process_start(pid)
    return started is not None and now is not None and started != now  # the id was taken by a later process


class Claim:
    """A run's hold on a dataset directory: the lock file ``_velmora.lock``,
    created with O_EXCL and removed by :meth:`release`."""

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        self.path = directory / LOCK
        self.run = uuid.uuid4().hex
        self.held = False

    def acquire(self) -> None:
        record = {"pid": os.getpid(), "host": socket.gethostname(), "process_start": _process_start(os.getpid()),
                  "run": self.run, "since": time.strftime("%Y-%m-%d %H:%M:%S %Z")}
        for _ in range(10):
            try:
                fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, FILE_MODE)
            except FileExistsError:
                try:
                    raw = self.path.read_bytes()
                except FileNotFoundError:
                    continue  # released in the meantime
                holder = _parse_lock(raw)
                if holder is None or not _is_stale(holder):
                    raise DatasetInUse(self._in_use(holder)) from None
                self._take_over(raw)
                continue
            try:
                with os.fdopen(fd, "w") as f:
                    json.dump(record, f)
                    f.write("\n")
            except BaseException:
                self.path.unlink(missing_ok=True)
                raise
            self.held = True
            return
        raise DatasetInUse(f"{self.directory}: could not claim it: other runs keep claiming it")

    def _take_over(self, raw: bytes) -> None:
        """Removes the stale lock ``raw``, unless another run replaced it
        since it was read."""
        aside = self.path.with_name(f"{temp_prefix(LOCK)}{uuid.uuid4().hex[:12]}.part")
        try:
            os.rename(self.path, aside)
        except FileNotFoundError:
            return  # another run took it over first
        try:
            if aside.read_bytes() != raw:  # a live run's new lock: put it back
                try:
                    os.link(aside, self.path)  # never over a lock made in the meantime
                except FileExistsError:
                    pass
                except OSError:  # a file system without hard links
                    os.rename(aside, self.path)
        finally:
            aside.unlink(missing_ok=True)

    def _in_use(self, holder: dict[str, Any] | None) -> str:
        if holder is None:
            return (f"{self.directory}: in use by another velmora run ({self.path} exists but cannot be read); "
                    f"if no run is writing there, remove {self.path}")
        return (f"{self.directory}: in use by another velmora run (process {holder.get('pid')} on "
                f"{holder.get('host')}, since {holder.get('since')}); wait for it to end, or if it no longer "
                f"runs, remove {self.path}")

    def release(self) -> None:
        if not self.held:
            return
        self.held = False
        try:
            holder = _parse_lock(self.path.read_bytes())
        except FileNotFoundError:
            return
        if holder is not None and holder.get("run") == self.run:
            self.path.unlink(missing_ok=True)


def _parse_lock(raw: bytes) -> dict[str, Any] | None:
    try:
        holder = json.loads(raw)
    except (json.JSONDecodeError, UnicodeDecodeError):
        return None
    return holder if isinstance(holder, dict) else None


@contextlib.contextmanager
def claim(directory: Path) -> Iterator[Claim]:
    """Claims ``directory`` (made if missing; its parent must exist) for the
    length of the ``with`` block."""
    if directory.exists() and not directory.is_dir():
        raise NotADirectoryError(f"{directory}: exists and is not a directory")
    if not directory.parent.is_dir():
        raise FileNotFoundError(f"{directory}: the directory {directory.parent} does not exist")
    directory.mkdir(exist_ok=True)
    held = Claim(directory)
    held.acquire()
    try:
        yield held
    finally:
        held.release()


# Checking parts.


class _PartMismatch(Exception):
    pass


def _check_part(path: Path, entry: dict[str, Any], *, current: bool, run: str | None, seed: int,
                read: bool, digest: bool = True) -> np.ndarray | None:
    """Raises _PartMismatch with the reason when the part at ``path`` is not
    the one its manifest entry describes; with ``read``, gives its records,
    checked to lie within the block in channel order. Without ``digest``,
    the file's SHA-256 is not checked (which reads all of it)."""
    first, last, rows = entry["first"], entry["last"], entry["rows"]
    if not path.is_file():
        raise _PartMismatch("missing")
    try:
        meta = read_file_metadata(path)
        footer_rows = pq.read_metadata(path).num_rows
    except (OSError, ValueError) as e:
        raise _PartMismatch(f"unreadable ({e})") from None
    block = meta.get("block")
    if not isinstance(block, dict):
        raise _PartMismatch("its metadata names no block")
    if current and meta.get("run") != run:
        raise _PartMismatch("it was written by another run (its run digest differs)")
    if meta.get("seed") != seed:
        raise _PartMismatch(f"it was written with seed {meta.get('seed')}, the run's is {seed}")
    if (block.get("first"), block.get("last")) != (first, last):
        raise _PartMismatch(f"it holds the block of channels {block.get('first')}-{block.get('last')}, "
                            f"the manifest's entry is {first}-{last}")
    if footer_rows != rows or (current and block.get("rows") != rows):
        raise _PartMismatch(f"it holds {footer_rows} records, its manifest entry {rows}")
    if current and digest and file_sha256(path) != entry["sha256"]:
        raise _PartMismatch("its contents changed since it was written (its SHA-256 is not the manifest's)")
    if not read:
        return None
    try:
        records = read_record_file(path)
    except (OSError, ValueError) as e:
        raise _PartMismatch(f"unreadable ({e})") from None
    channels = records["channel"]
    if len(records) != rows:
        raise _PartMismatch(f"it holds {len(records)} records, its manifest entry {rows}")
    if len(channels) and (channels[0] < first or channels[-1] > last or (np.diff(channels) < 0).any()):
        raise _PartMismatch(f"its records are not in channel order within channels {first}-{last}")
    return records


def _check_columns(path: Path, dtype: np.dtype) -> None:
    """Raises _PartMismatch when the part at ``path`` has other columns,
    types or nullability than the records of ``dtype`` are written with."""
    try:
        columns = pq.read_schema(path)
    except (OSError, ValueError) as e:
        raise _PartMismatch(f"unreadable ({e})") from None
    if not columns.equals(_arrow_schema(dtype, {}, model_of_dtype(dtype))):
        raise _PartMismatch("its columns are not those this version writes")


def _check_links_part(folder: Path, entry: dict[str, Any], *, hidden: bool, run: str | None, seed: int) -> None:
    """Raises _PartMismatch with the reason when the links part of a block
    (in the links folder ``folder``) is not the one its manifest entry
    describes."""
    links = entry.get("links")
    if not isinstance(links, dict):
        raise _PartMismatch("the run wrote no links for it")
    path = folder / (hidden_name(links["file"]) if hidden else links["file"])
    if not path.is_file():
        raise _PartMismatch(f"its links part {path.name} is missing")
    try:
        meta = links_metadata(path)
    except (OSError, ValueError) as e:
        raise _PartMismatch(f"its links part is unreadable ({e})") from None
    block = meta.get("block")
    if meta.get("run") != run or meta.get("seed") != seed or not isinstance(block, dict):
        raise _PartMismatch("its links part was written by another run")
    if (block.get("first"), block.get("last"), block.get("rows"), block.get("records")) != (
            entry["first"], entry["last"], links["rows"], entry["rows"]):
        raise _PartMismatch("its links part holds another block than its manifest entry")
    if file_sha256(path) != links["sha256"]:
        raise _PartMismatch("its links part changed since it was written (its SHA-256 is not the manifest's)")


def _links_parts_in(folder: Path) -> list[Path]:
    """The links parts of the links folder ``folder``, visible or hidden."""
    if not folder.is_dir() or folder.is_symlink():
        return []
    return [p for p in folder.iterdir() if _LINKS_PART.fullmatch(p.name)]


def _remove_links(folder: Path, keep: set[str] = set()) -> None:
    """Removes the links parts of the links folder ``folder`` but those named
    in ``keep``, and the temporary files of killed links writers there; then
    the folder, once it is empty."""
    for part in _links_parts_in(folder):
        if part.name not in keep:
            part.unlink(missing_ok=True)
    if folder.is_dir() and not folder.is_symlink():
        remove_leftovers(folder)
    with contextlib.suppress(OSError):  # not empty, or not there
        folder.rmdir()


def _links_folders(directory: Path) -> tuple[Path, Path]:
    """Where a run into ``directory`` puts its links (beside it), and where
    those of the layout before lie (inside it)."""
    return directory.parent / links_folder_name(directory), directory / LINKS_DIR


def refuse_foreign_links_folder(directory: Path) -> None:
    """Refuses a folder beside the dataset ``directory`` of the name its
    links take that holds anything but links parts and temporary files: a
    run never writes among files it did not write."""
    folder = _links_folders(directory)[0]
    if folder.exists() and not folder.is_dir():
        raise FileExistsError(f"{folder}: exists and is not a folder; the links of the dataset {directory.name} "
                              "go there: move it or choose another directory")
    if folder.is_dir():
        other = sorted(p.name for p in folder.iterdir() if not (_LINKS_PART.fullmatch(p.name)
                                                                  or is_temporary(p.name)))
        if other:
            raise FileExistsError(f"{folder}: holds files that are not velmora links parts ({', '.join(other[:3])}"
                                  f"{' and more' if len(other) > 3 else ''}); the links of the dataset "
                                  f"{directory.name} go there: move them or choose another directory")


def _clear_links(directory: Path) -> None:
    """Removes the links parts of both places, and what killed links writers left there."""
    for folder in _links_folders(directory):
        _remove_links(folder)


# Preparing and keeping a run's directory.


def _parts_in(directory: Path) -> list[Path]:
    """The part files of ``directory``, visible or hidden."""
    return [p for p in directory.iterdir() if _is_part(p.name)]


def remove_leftovers(directory: Path) -> None:
    """Removes the temporary files (of parts, of the manifest, of a lock taken
    over) whose writer was killed; called only by the run that claims the
    directory, when none of its blocks is running."""
    for leftover in directory.glob(".velmora-tmp-*.part"):
        if is_temporary(leftover.name):
            leftover.unlink(missing_ok=True)


def _differences(there: Any, here: Any, path: str = "") -> list[tuple[str, Any, Any]]:
    if isinstance(there, dict) and isinstance(here, dict):
        out = []
        for key in sorted(set(there) | set(here), key=str):
            out += _differences(there.get(key, _ABSENT), here.get(key, _ABSENT), f"{path}.{key}" if path else key)
        return out
    return [] if there == here else [(path, there, here)]


_ABSENT = object()
_DESCRIBED = {"pes_sha256": "the PEs of the selected channels differ (other times or counts)",
              "channels.sha256": "the selected channels differ"}


def _shown(value: Any) -> str:
    text = "absent" if value is _ABSENT else json.dumps(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _refuse_other_run(directory: Path, stored: dict[str, Any], ident: dict[str, Any]) -> None:
    keys = IDENTITY_KEYS + OPTIONAL_IDENTITY_KEYS
    differ = _differences({k: stored.get(k, _ABSENT) for k in keys}, {k: ident.get(k, _ABSENT) for k in keys})
    if not differ:
        return
    shown = "; ".join(f"{p}: {_DESCRIBED[p]}" if p in _DESCRIBED else f"{p}: {_shown(a)} there, {_shown(b)} here"
                      for p, a, b in differ[:4])
    more = f" and {len(differ) - 4} more" if len(differ) > 4 else ""
    names = ", ".join(p for p, _, _ in differ[:4])
    raise ValueError(f"{directory}: cannot resume, the run there differs in {names}{more} ({shown})")


def refuse_in_use(directory: Path) -> None:
    """Refuses a directory that a live run holds, as claiming it would;
    changes nothing (a stale lock is left to the claim to take over)."""
    try:
        raw = (directory / LOCK).read_bytes()
    except (FileNotFoundError, NotADirectoryError):
        return
    holder = _parse_lock(raw)
    if holder is None or not _is_stale(holder):
        raise DatasetInUse(Claim(directory)._in_use(holder))


def refuse_dataset(directory: Path, resume: bool, overwrite: bool, links: bool,
                   ident: dict[str, Any] | None = None) -> bool:
    """Refuses to run into ``directory`` where it is not velmora's, where it
    holds a dataset that is neither resumed nor overwritten, or parts of
    an unknown run, or (given the run's ``ident``) a run that a resume
    could not continue; changes nothing. Gives whether it holds a manifest."""
    refuse_foreign_directory(directory)
    if links:
        refuse_foreign_links_folder(directory)
    if not directory.exists():
        return False
    if not directory.is_dir():
        raise NotADirectoryError(f"{directory}: exists and is not a directory")
    has_manifest = (directory / MANIFEST).exists() or (directory / MANIFEST_JSON).exists()
    if overwrite:
        return has_manifest
    parts = _parts_in(directory)
    if not resume and (has_manifest or parts):
        raise FileExistsError(f"{directory}: already holds a dataset; resume it (--resume, resume=True), "
                              "overwrite it (--overwrite, overwrite=True) or choose another directory")
    if resume and not has_manifest and parts:
        raise ValueError(f"{directory}: holds parts but no manifest ({MANIFEST}); cannot tell which run "
                         "wrote them")
    if resume and has_manifest and ident is not None:
        _refuse_other_run(directory, _resumable_manifest(directory), ident)
    return has_manifest


def _resumable_manifest(directory: Path) -> dict[str, Any]:
    """The manifest of the dataset in ``directory``, refused where a run
    cannot resume it."""
    stored = read_manifest(directory)
    if stored["format"] == _FORMAT_1:
        raise ValueError(f"{directory}: written by an earlier velmora ({stored['format']}), which cannot be "
                         "resumed; run it afresh into another directory")
    return stored


def prepare_dataset(directory: Path, ident: dict[str, Any], resume: bool, overwrite: bool = False,
                    dtype: np.dtype | None = None) -> dict[int, dict[str, Any]]:
    """Makes ``directory``, claimed by this run, ready for the run and gives
    the blocks already complete there (by first channel): none for a new run,
    the parts of an earlier run of the same definition that pass their checks
    when resuming. With ``dtype``, a part kept must also have the columns
    this run writes (a part written before the columns changed is run again,
    so that no dataset mixes parts that table libraries cannot read as one)."""
    has_manifest = refuse_dataset(directory, resume, overwrite, ident.get("truth") == "links")
    parts = _parts_in(directory)
    if overwrite:
        (directory / MANIFEST).unlink(missing_ok=True)
        (directory / MANIFEST_JSON).unlink(missing_ok=True)
        for part in parts:
            part.unlink(missing_ok=True)
    if not (resume and has_manifest):
        _clear_links(directory)  # of the run overwritten, or of a run killed before its first manifest
        remove_leftovers(directory)
        return {}
    return _resumable(directory, ident, parts, dtype)


def _resumable(directory: Path, ident: dict[str, Any], parts: list[Path],
               dtype: np.dtype | None) -> dict[int, dict[str, Any]]:
    """The blocks of the dataset in ``directory`` that a resume keeps, their
    parts hidden again and checked; the links parts moved to where this run
    puts links."""
    stored = _resumable_manifest(directory)
    _refuse_other_run(directory, stored, ident)
    remove_leftovers(directory)
    # The parts are hidden again until this run completes (those of the
    # format before from where it hid them).
    for part in parts:
        if not _HIDDEN_PART.fullmatch(part.name):
            os.replace(part, directory / hidden_name(part.name.removeprefix("_")))
    folder, inside = _links_folders(directory)
    if ident.get("truth") == "links":
        folder.mkdir(exist_ok=True)
        for part in _links_parts_in(links_folder(directory, stored)):
            name = part.name if part.name.startswith("_") else hidden_name(part.name)
            os.replace(part, folder / name)
    run = run_digest(ident)
    done = {}
    for entry in stored["blocks"]:
        try:
            _check_part(directory / hidden_name(entry["file"]), entry, current=True, run=run, seed=ident["seed"],
                        read=False)
            if dtype is not None:
                _check_columns(directory / hidden_name(entry["file"]), dtype)
            if ident.get("truth") == "links":
                _check_links_part(folder, entry, hidden=True, run=run, seed=ident["seed"])
        except _PartMismatch:
            continue  # run again
        done[entry["first"]] = entry
    # Parts that failed their check, or that no manifest entry vouches for,
    # are run again: drop them now rather than leave them behind.
    keep = {hidden_name(entry["file"]) for entry in done.values()}
    for hidden in directory.glob(f"_part-*{PART_SUFFIX}.pending"):
        if _HIDDEN_PART.fullmatch(hidden.name) and hidden.name not in keep:
            hidden.unlink()
    _remove_links(folder, {hidden_name(e["links"]["file"]) for e in done.values() if "links" in e})
    _remove_links(inside)
    if ident.get("truth") == "links":
        folder.mkdir(exist_ok=True)
    return done


class ManifestWriter:
    """Keeps the manifest of a running run: the run's identity, what else
    describes it (``described``, such as the name of its PE input, which a
    resumed run need not share) and the blocks complete so far, saved at
    most every second and on finish; ``dtype``: the records' (default: the
    model's), whose columns the manifest's file has."""

    def __init__(self, directory: Path, ident: dict[str, Any], done: dict[int, dict[str, Any]],
                 described: dict[str, Any] | None = None, dtype: np.dtype | None = None) -> None:
        self.directory = directory
        self.ident = ident
        self.described = dict(described or {})
        self.run = run_digest(ident)
        self.blocks = dict(done)
        if dtype is None:
            dtype = manifest_dtype(ident)
        self.schema = _arrow_schema(dtype, {}, model_of_dtype(dtype))  # the parts' columns
        self._saved = 0.0
        self._write(complete=False)
        # A dataset of the format before, resumed, is now one of this format.
        (directory / MANIFEST_JSON).unlink(missing_ok=True)

    def add(self, entry: dict[str, Any]) -> None:
        self.blocks[int(entry["first"])] = entry
        if time.monotonic() - self._saved >= _SAVE_INTERVAL:
            self._write(complete=False)

    def save(self, complete: bool) -> None:
        """Saves the blocks so far; ``complete``: puts the parts in place and
        marks the dataset complete."""
        if complete:
            self._write(complete=False)  # every part listed before any becomes visible
            folder = links_folder(self.directory, self.described)
            for entry in self.blocks.values():
                hidden = self.directory / hidden_name(entry["file"])
                if hidden.exists():
                    os.replace(hidden, self.directory / entry["file"])
                if "links" in entry:
                    hidden = folder / hidden_name(entry["links"]["file"])
                    if hidden.exists():
                        os.replace(hidden, hidden.with_name(entry["links"]["file"]))
            remove_leftovers(self.directory)
            if folder.is_dir():
                remove_leftovers(folder)
        self._write(complete)

    def _write(self, complete: bool) -> None:
        blocks = [self.blocks[k] for k in sorted(self.blocks)]
        manifest = {"format": FORMAT, **self.ident, **self.described, "run": self.run, "complete": complete,
                    "rows": sum(int(b["rows"]) for b in blocks), "blocks": blocks}
        write_manifest(self.directory, manifest, self.schema)
        self._saved = time.monotonic()


def dataset_problems(directory: str | os.PathLike[str]) -> list[str]:
    """What keeps the dataset in ``directory`` from being complete, one line
    each (none: complete): a run that has not finished, a manifest changed
    since, and each part that is missing or not the one its manifest entry
    describes (checked as reading checks it, its SHA-256 included, without
    reading its records)."""
    directory = Path(directory)
    manifest = read_manifest(directory)
    if not manifest["complete"]:
        selection = manifest["channels"]["count"]
        done, blocks = sum(b["channels"] for b in manifest["blocks"]), len(manifest["blocks"])
        return [f"the run that writes it has not finished: {blocks} block{'s' if blocks != 1 else ''} of {done} "
                f"of its {selection} channels are written; resume it"]
    current = has_digests(manifest)
    if current and run_digest(manifest) != manifest["run"]:
        return [f"{MANIFEST}: the run it describes was changed after the run (its digest does not match)"]
    problems = []
    for entry in manifest["blocks"]:
        try:
            _check_part(directory / entry["file"], entry, current=current, run=manifest.get("run"),
                        seed=manifest["seed"], read=False)
        except _PartMismatch as e:
            problems.append(f"{entry['file']}: {e}")
            continue
        if manifest.get("truth") == "links":
            try:
                _check_links_part(links_folder(directory, manifest), entry, hidden=False, run=manifest.get("run"),
                                  seed=manifest["seed"])
            except _PartMismatch as e:
                problems.append(f"{entry['file']}: {e}")
    return problems


def has_digests(manifest: dict[str, Any]) -> bool:
    """Whether a dataset's manifest records the run's digest and each part's
    SHA-256: that of every format but the first."""
    return bool(manifest["format"] != _FORMAT_1)


def _checked_part(directory: Path, manifest: dict[str, Any], entry: dict[str, Any], whole: bool) -> np.ndarray | None:
    """The records of a part, checked against its manifest entry (``whole``:
    read and checked whole, its SHA-256 included; else checked by its
    metadata only and not read)."""
    path = directory / entry["file"]
    try:
        return _check_part(path, entry, current=manifest["format"] != _FORMAT_1, run=manifest.get("run"),
                           seed=manifest["seed"], read=whole, digest=whole)
    except _PartMismatch as e:
        raise ValueError(f"{path}: not the part its dataset's manifest lists: {e}") from None


def read_dataset(directory: str | os.PathLike[str], columns: Sequence[str] | None = None,
                 channels: Channels | None = None) -> np.ndarray:
    """The records of a complete dataset, in (channel, time) order, or in
    (time, channel) order where its run asked for time order; each part
    checked against the manifest. With ``columns`` or ``channels``, only
    those columns of the parts whose blocks hold a selected channel are read,
    each part checked by its metadata but not by its SHA-256 (which would
    read all of it)."""
    directory = Path(directory)
    manifest = _complete_manifest(directory)
    selected = selection(channels)
    full = manifest_dtype(manifest)
    # Columns asked for that the records lack are named before any part is read.
    dtype = selected_dtype(full, columns, directory)
    by_time = manifest.get("order") == "time"
    read = columns
    if by_time and columns is not None:  # what time order is made from, read too
        read = [*columns, *(n for n in (time_column(full), "channel") if n not in columns)]
    whole = columns is None and selected is None
    parts = []
    for entry in manifest["blocks"]:
        if selected is None or overlaps(selected, entry["first"], entry["last"]):
            records = _checked_part(directory, manifest, entry, whole)
            parts.append(records if records is not None else read_selected(directory / entry["file"], read,
                                                                            selected))
    if not parts:
        return np.zeros(0, dtype)
    out = np.concatenate(parts)
    return select(records_by_time(out), columns, None, directory) if by_time else out


def read_dataset_parts(directory: str | os.PathLike[str]) -> tuple[np.dtype, Iterator[Columns]]:
    """The records of a complete dataset a part at a time (in channel order),
    each part read and checked whole as :func:`read_dataset` checks it."""
    directory = Path(directory)
    manifest = _complete_manifest(directory)
    dtype = manifest_dtype(manifest)

    def parts() -> Iterator[Columns]:
        for entry in manifest["blocks"]:
            records = _checked_part(directory, manifest, entry, True)
            assert records is not None
            yield {name: records[name] for name in _names(records.dtype)}

    return dtype, parts()


def _complete_manifest(directory: Path) -> dict[str, Any]:
    """The manifest of a complete dataset whose digest matches its run."""
    manifest = read_manifest(directory)
    if not manifest["complete"]:
        raise ValueError(f"{directory}: the run that writes this dataset has not finished; resume it first")
    if manifest["format"] != _FORMAT_1 and run_digest(manifest) != manifest["run"]:
        raise ValueError(f"{manifest_path(directory)}: the run it describes was changed after the run "
                         "(its digest does not match)")
    return manifest


def read_dataset_links(directory: str | os.PathLike[str]) -> pa.Table:
    """The links of a complete dataset, each part checked against the
    manifest, with ``record`` the row in the dataset as ``read_records``
    gives it."""
    directory = Path(directory)
    manifest = _complete_manifest(directory)
    if manifest.get("truth") != "links":
        raise ValueError(f"{directory}: this dataset's run wrote no links (run it with truth='links', "
                         "--truth links)")
    folder = links_folder(directory, manifest)
    tables, rows = [], 0
    for entry in manifest["blocks"]:
        try:
            _check_links_part(folder, entry, hidden=False, run=manifest.get("run"), seed=manifest["seed"])
        except _PartMismatch as e:
            raise ValueError(f"{folder}: not the links its dataset's manifest lists for channels "
                             f"{entry['first']}-{entry['last']}: {e}") from None
        tables.append(shifted(read_links_file(folder / entry["links"]["file"]), rows))
        rows += int(entry["rows"])
    return pa.concat_tables(tables) if tables else links_schema(None).empty_table()
