"""Datasets: a run's records as a directory of Parquet parts, one per block,
named after the block's first channel, with a manifest ``_manifest.json``
describing the run (config, seed, seeding mode, version, the blocks with
their channels, files and row counts). The manifest is rewritten atomically
as blocks complete and marked complete last, so an interrupted run can be
resumed: blocks whose parts and manifest entries are complete are skipped.
Parquet readers (pyarrow, pandas, Dask) skip names that start with ``_`` or
``.``: they see the parts only, in channel order."""

from __future__ import annotations

import hashlib
import json
import os
import tempfile
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from ._records import _FILE_MODE

if TYPE_CHECKING:
    from ._run import _Plan

MANIFEST = "_manifest.json"
FORMAT = "velmora-dataset/1"
PART_GLOB = "part-*.parquet"
# The manifest of a running run is rewritten at most this often (seconds):
# often enough that little is redone after an interruption, rarely enough
# that rewriting it costs nothing beside the blocks.
_SAVE_INTERVAL = 1.0

# What must match for a run to resume another's dataset.
IDENTITY_KEYS = ("model", "waveform_samples", "config", "seed", "seeding", "segment", "dark_rate", "duration",
                 "channels", "pes_sha256", "block_channels", "velmora_version")


def is_dataset(output: str | os.PathLike[str] | None) -> bool:
    """Whether ``output`` names a dataset directory rather than a record file:
    an existing directory, a path ending in a separator, or one without a
    suffix."""
    if output is None:
        return False
    text = os.fspath(output)
    path = Path(text)
    return text.endswith(("/", os.sep)) or path.is_dir() or path.suffix == ""


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


def identity(plan: _Plan, config: dict[str, Any], *, waveform_samples: int, block_channels: int,
             version: str) -> dict[str, Any]:
    """The run's description that a resumed run must match: the detector,
    seed, seeding, noise, segments, channel selection, PE input (by digest)
    and blocks."""
    ch = plan.channels
    return {
        "model": plan.model,
        "waveform_samples": waveform_samples,
        "config": config,
        "seed": plan.seed,
        "seeding": plan.seeding,
        "segment": plan.segment,
        "dark_rate": plan.dark_rate,
        "duration": plan.duration,
        "channels": {"count": len(ch), "first": ch.first, "last": ch.last, "sha256": ch.digest()},
        "pes_sha256": plan.pes_digest(),
        "block_channels": block_channels,
        "velmora_version": version,
    }


def read_manifest(directory: str | os.PathLike[str]) -> dict[str, Any]:
    path = Path(directory) / MANIFEST
    try:
        manifest = json.loads(path.read_text())
    except FileNotFoundError:
        raise FileNotFoundError(f"{directory}: not a velmora dataset (no {MANIFEST})") from None
    except json.JSONDecodeError as e:
        raise ValueError(f"{path}: not valid JSON: {e}") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise ValueError(f"{path}: not a velmora dataset manifest")
    return manifest


def write_manifest(directory: Path, manifest: dict[str, Any]) -> None:
    """Replaces the manifest atomically: readers see the old one or the new
    one, never a part of either."""
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=f".{MANIFEST}.", suffix=".part")
    try:
        with os.fdopen(fd, "w") as f:
            json.dump(manifest, f, indent=1)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, _FILE_MODE)
        os.replace(tmp, directory / MANIFEST)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


def _part_complete(directory: Path, entry: dict[str, Any]) -> bool:
    import pyarrow.parquet as pq

    try:
        return int(pq.read_metadata(directory / entry["file"]).num_rows) == int(entry["rows"])
    except (OSError, ValueError, KeyError, TypeError):
        return False


def prepare(directory: Path, ident: dict[str, Any], resume: bool) -> dict[int, dict[str, Any]]:
    """Makes ``directory`` ready for the run and gives the blocks already
    complete there (by first channel): none for a new run, the complete
    parts of an earlier run of the same definition when resuming."""
    if directory.exists() and not directory.is_dir():
        raise NotADirectoryError(f"{directory}: exists and is not a directory")
    if not directory.parent.is_dir():
        raise FileNotFoundError(f"{directory}: the directory {directory.parent} does not exist")
    directory.mkdir(exist_ok=True)
    has_manifest = (directory / MANIFEST).exists()
    has_parts = any(directory.glob(PART_GLOB))
    if not resume:
        if has_manifest or has_parts:
            raise FileExistsError(f"{directory}: already holds a dataset; resume it (--resume, resume=True) "
                                  "or choose another directory")
        return {}
    remove_leftovers(directory)
    if not has_manifest:
        if has_parts:
            raise ValueError(f"{directory}: holds parts but no {MANIFEST}; cannot tell which run wrote them")
        return {}
    stored = read_manifest(directory)
    differ = [k for k in IDENTITY_KEYS if stored.get(k) != ident[k]]
    if differ:
        shown = "; ".join(f"{k}: {json.dumps(stored.get(k))[:80]} there, {json.dumps(ident[k])[:80]} here"
                          for k in differ)
        raise ValueError(f"{directory}: cannot resume, the run there differs in {', '.join(differ)} ({shown})")
    done = {}
    for entry in stored.get("blocks", []):
        if _part_complete(directory, entry):
            done[int(entry["first"])] = entry
    return done


def remove_leftovers(directory: Path) -> None:
    """Removes the temporary files (of parts, of the manifest) whose writer
    was killed (a lost worker, an interrupted run); called when no block of
    the run is running."""
    for leftover in directory.glob(".*.part"):
        leftover.unlink(missing_ok=True)


class ManifestWriter:
    """Keeps the manifest of a running run: the run's identity and the
    blocks complete so far, saved at most every second and on finish."""

    def __init__(self, directory: Path, ident: dict[str, Any], done: dict[int, dict[str, Any]]) -> None:
        self.directory = directory
        self.ident = ident
        self.blocks = dict(done)
        self._saved = 0.0
        self.save(complete=False)

    def add(self, entry: dict[str, Any]) -> None:
        self.blocks[int(entry["first"])] = entry
        if time.monotonic() - self._saved >= _SAVE_INTERVAL:
            self.save(complete=False)

    def save(self, complete: bool) -> None:
        if complete:
            remove_leftovers(self.directory)
        blocks = [self.blocks[k] for k in sorted(self.blocks)]
        manifest = {"format": FORMAT, **self.ident, "complete": complete,
                    "rows": sum(int(b["rows"]) for b in blocks), "blocks": blocks}
        write_manifest(self.directory, manifest)
        self._saved = time.monotonic()


def read_dataset(directory: str | os.PathLike[str]) -> np.ndarray:
    """The records of a complete dataset, in (channel, time) order."""
    from ._records import read_records, record_dtype

    directory = Path(directory)
    manifest = read_manifest(directory)
    if not manifest.get("complete"):
        raise ValueError(f"{directory}: the run that writes this dataset has not finished; resume it first")
    blocks = sorted(manifest["blocks"], key=lambda b: int(b["first"]))
    parts = [read_records(directory / b["file"]) for b in blocks]
    if parts:
        return np.concatenate(parts)
    return np.zeros(0, record_dtype(manifest["model"], int(manifest["waveform_samples"])))
