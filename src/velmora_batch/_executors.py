"""Blocks of a run on an executor: a ``concurrent.futures.Executor`` (threads
or processes) or a Dask ``distributed.Client``. Each block travels as a
self-contained job (the detector, the block's channels and PEs, the run's
seed), so a worker in another process or on another machine rebuilds the
models itself; the records of a block depend only on the run's definition,
never on where or next to what it ran."""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import copy
import hashlib
import json
import logging
import sys
import threading
import uuid
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np

from . import _core

if TYPE_CHECKING:
    import os

    import distributed
    from typing_extensions import TypeIs

    from ._detector import Detector
    from ._pes import GroupedPEs
    from ._run import RunSummary, _Block, _Plan

    # Where the blocks of a run go: a pool of this process or a Dask cluster.
    BlockExecutor: TypeAlias = concurrent.futures.Executor | distributed.Client

# Engines built by this process, by the token of their detector and parameter
# sets: a worker runs many blocks of one run and builds its models once.
_ENGINES: dict[str, _core.ZozuvUzaEngine | _core.MultiPMTEngine] = {}
_ENGINES_LOCK = threading.Lock()
_MAX_ENGINES = 4

# Cancel flags of the runs started by this process: blocks running in this
# process (a thread pool) stop at the next channel when their run fails.
_CANCEL: dict[str, _core.CancelFlag] = {}


class BlockError(RuntimeError):
    """A block of a run failed; the message names its channels and the reason."""


class VersionMismatch(RuntimeError):
    """A worker runs another velmora version than the client."""


@dataclass(frozen=True)
class BlockJob:
    """Everything a worker needs to run one block."""

    run_id: str
    index: int
    version: str
    token: str  # names the engine of the detector and the run's parameter sets
    detector: Detector
    plan: _Plan  # the run's plan, holding only this block's PEs
    channels: np.ndarray
    waveform_samples: int
    sort: bool
    part: str | None  # the Parquet part to write, or None to hand the records back
    metadata: dict[str, Any] | None


@dataclass(frozen=True)
class BlockResult:
    index: int
    first: int
    last: int
    channels: int
    pes: int
    rows: int
    file: str | None
    records: np.ndarray | None
    sha256: str | None = None  # of the part's file


def worker_version() -> str:
    """The velmora version of the process this runs in."""
    from . import __version__

    return __version__


def engine_token(detector: Detector, parameter_sets: list[dict[str, Any]]) -> str:
    h = hashlib.sha256(json.dumps([detector.model, parameter_sets], sort_keys=True).encode())
    for key in sorted(detector.spectra):
        h.update(key.encode())
        for a in detector.spectra[key]:
            h.update(np.ascontiguousarray(a, np.float64).tobytes())
    return h.hexdigest()


def _engine(job: BlockJob) -> _core.ZozuvUzaEngine | _core.MultiPMTEngine:
    with _ENGINES_LOCK:
        engine = _ENGINES.get(job.token)
        if engine is None:
            engine = job.plan.spec.engine(job.plan.parameter_sets, dict(job.detector.spectra))
            if len(_ENGINES) >= _MAX_ENGINES:
                _ENGINES.clear()
            _ENGINES[job.token] = engine
        return engine


def block_name(first: int) -> str:
    """The file name of the part whose first channel is ``first``: zero-padded
    so that the names sort as the channels do."""
    return f"part-{first:010d}.parquet"


def run_block(job: BlockJob) -> BlockResult:
    """Runs one block on this worker: the records handed back, or written to
    the block's part (under a temporary name, renamed when complete), whose
    metadata adds the block (first and last channel, rows) to the job's."""
    from ._records import open_writer, record_dtype
    from ._run import _Block, _records

    first, last = int(job.channels[0]), int(job.channels[-1])
    mine = worker_version()
    if job.version != mine:
        raise VersionMismatch(f"this worker runs velmora {mine}, the client {job.version}: "
                              "install the same velmora version on every worker")
    dtype = record_dtype(job.detector.model, job.waveform_samples)
    try:
        pieces = job.plan.pieces(_Block(job.channels))
        cancel = _CANCEL.get(job.run_id) or _core.CancelFlag()
        columns = _engine(job).simulate(**pieces, cancel=cancel)
        rec = _records(columns, dtype, sort=job.sort)
    except (ValueError, RuntimeError, OverflowError, MemoryError, IndexError) as e:
        raise BlockError(f"block of channels {first}-{last}: {e}") from e
    n_pes = len(pieces["times"])
    if job.part is None:
        return BlockResult(job.index, first, last, len(job.channels), n_pes, len(rec), None, rec)
    from ._dataset import file_sha256

    metadata = dict(job.metadata or {}, block={"first": first, "last": last, "rows": len(rec)})
    with open_writer(job.part, model=job.detector.model, waveform_samples=job.waveform_samples,
                     metadata=metadata) as writer:
        writer.write(rec)
    return BlockResult(job.index, first, last, len(job.channels), n_pes, len(rec), block_name(first), None,
                       file_sha256(job.part))


def block_plan(plan: _Plan, channels: np.ndarray) -> _Plan:
    """A copy of ``plan`` that holds only the PEs and settings of ``channels``
    (increasing), so that a job carries its own block's input and no more."""
    from ._pes import ChannelSet

    sub = copy.copy(plan)
    first, last = int(channels[0]), int(channels[-1])
    sub.pes = _BlockPEs(plan.pes.block(first, last).copy()) if plan.pes is not None else None
    sub.channels = ChannelSet.of(channels)
    keep = (plan.override_channels >= first) & (plan.override_channels <= last)
    sub.override_channels = plan.override_channels[keep]
    sub.override_sets = plan.override_sets[keep]
    return sub


class _BlockPEs:
    """The PEs of one block, travelling with its job."""

    def __init__(self, grouped: GroupedPEs) -> None:
        self.grouped = grouped
        self.count = len(grouped.times)
        times = grouped.times
        self.earliest, self.latest = (float(times.min()), float(times.max())) if len(times) else (0.0, 0.0)

    def block(self, first: int, last: int) -> GroupedPEs:
        return self.grouped.block(first, last)

    def occupied_blocks(self, size: int) -> np.ndarray:  # pragma: no cover - a job's plan makes no blocks
        raise NotImplementedError

    def digest(self) -> str:  # pragma: no cover - a job's plan is never asked for the run's identity
        raise NotImplementedError


def _is_dask_client(executor: object) -> TypeIs[distributed.Client]:
    distributed = sys.modules.get("distributed")
    return distributed is not None and isinstance(executor, distributed.Client)


def check_versions(executor: BlockExecutor, version: str) -> None:
    """Refuses, before any block is submitted, workers whose velmora version
    differs from this process's."""
    if _is_dask_client(executor):
        versions: dict[str, str] = executor.run(worker_version)
    else:
        versions = {"the executor's worker": executor.submit(worker_version).result()}
    bad = {w: v for w, v in versions.items() if v != version}
    if bad:
        listed = ", ".join(f"{w} runs {v}" for w, v in sorted(bad.items()))
        raise VersionMismatch(f"velmora version mismatch: this client runs {version}, but {listed}; "
                              "install the same velmora version on every worker")


def executor_slots(executor: BlockExecutor, workers: int) -> int:
    """How many blocks run at once on ``executor``."""
    if _is_dask_client(executor):
        return max(1, int(sum(executor.nthreads().values())))
    return max(1, workers)


def executor_window(slots: int) -> int:
    """How many blocks a run on an executor holds at once, submitted or
    finished and not yet written: enough queued that a worker never waits
    for the round trip of its next block, few enough that their PEs and
    records take little memory here."""
    return 4 * slots + 4


def check_executor(executor: object) -> None:
    if not (isinstance(executor, concurrent.futures.Executor) or _is_dask_client(executor)):
        raise TypeError("executor must be a concurrent.futures.Executor or a dask.distributed Client, "
                        f"got {type(executor).__name__}")


def run_jobs(executor: BlockExecutor, jobs: Iterable[BlockJob], window: int,
             on_done: Callable[[BlockResult], None], held: Callable[[], int] = lambda: 0) -> None:
    """Submits ``jobs`` with at most ``window`` of them submitted and not yet
    handed to ``on_done`` or, after it, still held by the caller (``held()``:
    finished blocks waiting to be written); ``on_done`` gets each result in
    completion order. On any failure the remaining jobs are cancelled and
    blocks running in this process are stopped."""
    dask = _is_dask_client(executor)
    if _is_dask_client(executor):
        import distributed

        client = executor

        def submit(job: BlockJob) -> Any:
            # A fresh key per submission: a block that is run again (a resume,
            # a second run) is never taken for an earlier result.
            return client.submit(run_block, job, key=f"velmora-block-{job.index}-{uuid.uuid4().hex}", pure=False)

        def wait_first(fs: set[Any]) -> set[Any]:
            return set(distributed.wait(list(fs), return_when="FIRST_COMPLETED").done)
    else:
        pool = executor

        def submit(job: BlockJob) -> Any:
            return pool.submit(run_block, job)

        def wait_first(fs: set[Any]) -> set[Any]:
            return set(concurrent.futures.wait(fs, return_when=concurrent.futures.FIRST_COMPLETED).done)

    run_id: str | None = None
    pending = iter(jobs)
    in_flight: set[Any] = set()
    exhausted = False

    def fill() -> None:
        nonlocal exhausted, run_id
        while not exhausted and len(in_flight) + held() < window:
            job = next(pending, None)
            if job is None:
                exhausted = True
                return
            if run_id is None:
                run_id = job.run_id
                _CANCEL[run_id] = _core.CancelFlag()
            in_flight.add(submit(job))

    try:
        fill()
        while in_flight:
            for future in wait_first(in_flight):
                in_flight.discard(future)
                on_done(future.result())
            fill()
        if not exhausted:  # the caller holds a full window with nothing running: it would never drain
            raise RuntimeError(f"{held()} finished blocks wait for one that was never submitted")
    except BaseException:
        if run_id is not None:
            _CANCEL[run_id].set()
        for f in in_flight:
            f.cancel()
        if not dask:
            concurrent.futures.wait(in_flight)
        raise
    finally:
        if run_id is not None:
            _CANCEL.pop(run_id, None)


def run_blocks(detector: Detector, plan: _Plan, blocks: Iterable[_Block], *, executor: BlockExecutor | None,
               workers: int, output: str | os.PathLike[str] | None, resume: bool, progress: bool,
               waveform_samples: int, block_channels: int, metadata: dict[str, Any],
               overwrite: bool = False) -> np.ndarray | RunSummary:
    """Runs ``blocks`` on ``executor`` (None: a thread pool of ``workers``
    threads) and gives what ``run`` returns: the records, or a summary of the
    file or dataset written."""
    from ._dataset import claim, hidden_name, identity, is_dataset, prepare, run_digest

    if plan.seeding == "sequential":
        raise ValueError("sequential seeding runs one generator through the channels on one thread; "
                         "use independent seeding with an executor or a dataset directory")
    if executor is not None:
        check_executor(executor)
    dataset = is_dataset(output)
    if resume and not dataset:
        raise ValueError("resume needs a dataset directory as output")
    version = metadata["velmora_version"]
    if executor is not None:
        check_versions(executor, version)
    directory = Path(output).absolute() if dataset and output is not None else None
    done: dict[int, dict[str, Any]] = {}
    ident: dict[str, Any] = {}
    part_metadata = None
    held = contextlib.ExitStack()  # the claim of the directory, released however the run ends
    if directory is not None:
        ident = identity(plan, metadata["config"], waveform_samples=waveform_samples,
                         block_channels=block_channels, version=version)
        # A part carries only what ties it to the run; the manifest holds the rest.
        part_metadata = {"run": run_digest(ident), "seed": plan.seed}
        held.enter_context(claim(directory))
        try:
            done = prepare(directory, ident, resume, overwrite)
        except BaseException:
            held.close()
            raise
    own = None
    if executor is None:
        executor = own = concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="velmora-run")
    try:
        token = engine_token(detector, plan.parameter_sets)
        run_id = uuid.uuid4().hex
        # Jobs are made as they are submitted: each carries its block's PEs.
        jobs = (
            BlockJob(run_id, b.index, version, token, detector, block_plan(plan, b.channels), b.channels,
                     waveform_samples, plan.segment is not None,
                     str(directory / hidden_name(block_name(int(b.channels[0])))) if directory is not None else None,
                     part_metadata)
            for b in blocks if int(b.channels[0]) not in done
        )
        return _collect(executor, jobs, plan.channels.block_count(block_channels), plan, workers=workers,
                        output=output, directory=directory,
                        ident=ident, done=done, progress=progress, waveform_samples=waveform_samples,
                        metadata=metadata, overwrite=overwrite)
    finally:
        if own is not None:
            own.shutdown(wait=True, cancel_futures=True)
        held.close()


def _collect(executor: BlockExecutor, jobs: Iterator[BlockJob], n_blocks: int, plan: _Plan, *, workers: int,
             output: str | os.PathLike[str] | None, directory: Path | None, ident: dict[str, Any],
             done: dict[int, dict[str, Any]], progress: bool, waveform_samples: int,
             metadata: dict[str, Any], overwrite: bool) -> np.ndarray | RunSummary:
    from tqdm import tqdm

    from ._dataset import ManifestWriter
    from ._records import open_writer, record_dtype
    from ._run import RunSummary

    slots = executor_slots(executor, workers)
    bar = tqdm(total=n_blocks, initial=len(done), unit="block", disable=not progress,
               desc="velmora run")
    pes = 0
    manifest = ManifestWriter(directory, ident, done) if directory is not None else None
    writer = None
    if directory is None and output is not None:
        writer = open_writer(Path(output), model=plan.model, waveform_samples=waveform_samples, metadata=metadata,
                             overwrite=overwrite)
    results: dict[int, np.ndarray] = {}
    # The blocks submitted and not yet written, in channel order: a record
    # file takes them in that order.
    order: collections.deque[int] = collections.deque()

    def submitted(jobs: Iterator[BlockJob]) -> Iterator[BlockJob]:
        for job in jobs:
            order.append(job.index)
            yield job

    def on_done(result: BlockResult) -> None:
        nonlocal pes
        pes += result.pes
        if manifest is not None:
            manifest.add({"first": result.first, "last": result.last, "channels": result.channels,
                          "file": result.file, "rows": result.rows, "sha256": result.sha256})
        else:
            assert result.records is not None
            results[result.index] = result.records
            # A record file takes the blocks in channel order.
            while writer is not None and order and order[0] in results:
                writer.write(results.pop(order.popleft()))
        bar.update(1)
        bar.set_postfix(pes=pes, refresh=False)

    try:
        # Finished blocks that wait for an earlier one to be written count in
        # the window, so a slow block never lets the others pile up here.
        run_jobs(executor, submitted(jobs), window=executor_window(slots), on_done=on_done,
                 held=(lambda: len(results)) if writer is not None else (lambda: 0))
        if manifest is not None:
            manifest.save(complete=True)
        if writer is not None:
            writer.close()
    except BaseException:
        if manifest is not None:
            manifest.save(complete=False)  # what is complete so far, for a resume
        if writer is not None:
            writer.abort()
        raise
    finally:
        bar.close()
    if output is None:
        parts = [results[i] for i in sorted(results)]
        return np.concatenate(parts) if parts else np.zeros(0, record_dtype(plan.model, waveform_samples))
    if manifest is not None:
        rows = sum(int(b["rows"]) for b in manifest.blocks.values())
    else:
        assert writer is not None  # a record file: opened above for every output that is not a dataset
        rows = writer.rows
    return RunSummary(Path(output), rows, len(plan.channels), n_blocks, plan.seed, plan.seeding)


@contextlib.contextmanager
def dask_client(scheduler: str | None, cluster: str | None, workers: int,
                dashboard: bool = False) -> Iterator[distributed.Client | None]:
    """A Dask client of the scheduler at ``scheduler``, or of a local cluster
    of ``workers`` single-threaded processes for ``cluster="local"``; None
    (the run's own thread pool) with neither. A local cluster serves its
    dashboard only with ``dashboard``, and then on this machine's loopback
    interface alone: it shows the workers' call stacks and logs to anyone
    who reaches it."""
    if scheduler is None and cluster is None:
        yield None
        return
    try:
        import distributed
    except ImportError:
        raise RuntimeError("running on a Dask cluster needs dask and distributed: pip install 'velmora[dask]'") from None
    if scheduler is not None:
        with distributed.Client(scheduler) as client:
            yield client
        return
    # The scheduler's HTTP server (health checks, and the dashboard when
    # asked) listens on the loopback interface at a free port, like the
    # scheduler itself.
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0", scheduler_kwargs={"dashboard": dashboard},
                                  silence_logs=logging.ERROR) as local, distributed.Client(local) as client:
        if dashboard:
            print(f"dashboard: {client.dashboard_link}", file=sys.stderr)
        yield client
