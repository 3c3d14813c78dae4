"""run(): simulates whole detectors, channel by channel: the run is planned
(everything checked before the first block), its blocks go to an executor
(the run's own thread pool, or one given) through one bounded loop, and
their records to a sink (an array, a record file or a dataset directory)."""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import os
import uuid
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np
import pyarrow as pa
from tqdm import tqdm

from ._dataset import (block_name, hidden_name, is_dataset, links_block_name, refuse_dataset,
                       refuse_foreign_directory, refuse_in_use, stored_seed)
from ._detector import Detector
from ._executors import check_versions, run_jobs
from ._errors import OptionError
from ._jobs import RUN_ENGINES, BlockJob, BlockResult, EarlyWindowTally, RunJobs, engine_token
from ._links import links_inside, links_path, refuse_links_file
from ._options import RunOptions
from ._pes import FilePEs, PETable, remove_stale_spills
from ._plan import RunPlan, check_memory, prepare, run_identity
from ._records import check_output, refuse_missing_directory, refuse_record_file
from ._sinks import RunSummary, Sink, open_sink

if TYPE_CHECKING:
    from ._executors import BlockExecutor

__all__ = ["RunOptions", "RunSummary", "run"]


@overload
def run(detector: Detector, pes: PETable | str | os.PathLike[str] | Any | None = None, *, seed: int | None = None,
        workers: int | None = None, output: str | os.PathLike[str] | None = None, dark_rate: float | None = None,
        duration: float | None = None, channels: str | Iterable[int] | np.ndarray | None = None,
        seeding: str = "independent", segment: float | None = None, block_channels: int | None = None,
        progress: bool = False, executor: BlockExecutor | None = None, resume: bool = False,
        max_memory: int | str | None = "auto", overwrite: bool = False, pes_key: str | None = None,
        truth: bool = False, order: str = "channel", label: str | None = None) -> np.ndarray | RunSummary: ...


@overload
def run(detector: Detector, pes: PETable | str | os.PathLike[str] | Any | None = None, *, seed: int | None = None,
        workers: int | None = None, output: str | os.PathLike[str] | None = None, dark_rate: float | None = None,
        duration: float | None = None, channels: str | Iterable[int] | np.ndarray | None = None,
        seeding: str = "independent", segment: float | None = None, block_channels: int | None = None,
        progress: bool = False, executor: BlockExecutor | None = None, resume: bool = False,
        max_memory: int | str | None = "auto", overwrite: bool = False, pes_key: str | None = None,
        truth: Literal["links"], order: str = "channel",
        label: str | None = None) -> tuple[np.ndarray, pa.Table] | RunSummary: ...


def run(
    detector: Detector,
    pes: PETable | str | os.PathLike[str] | Any | None = None,
    *,
    seed: int | None = None,
    workers: int | None = None,
    output: str | os.PathLike[str] | None = None,
    dark_rate: float | None = None,
    duration: float | None = None,
    channels: str | Iterable[int] | np.ndarray | None = None,
    seeding: str = "independent",
    segment: float | None = None,
    block_channels: int | None = None,
    progress: bool = False,
    executor: BlockExecutor | None = None,
    resume: bool = False,
    max_memory: int | str | None = "auto",
    overwrite: bool = False,
    pes_key: str | None = None,
    truth: bool | str = False,
    order: str = "channel",
    label: str | None = None,
) -> np.ndarray | tuple[np.ndarray, pa.Table] | RunSummary:
    """Simulates the channels of ``detector`` and returns their records.

    Input: a PE table ``pes`` (a ``PETable``, a file that ``read_pes``
    reads, or a table with columns ``channel`` and ``time`` that pyarrow
    takes, such as a pandas DataFrame or a pyarrow Table), dark noise (``dark_rate`` in Hz over ``duration`` seconds, per
    channel a Poisson number of PEs uniform over ``[0, duration)``), or both;
    a channel's PEs from the table come first, then its dark noise, then
    the afterpulses of the detector's ``afterpulses`` in the order of their
    parents; the detector's per-channel ``time_offset`` moves all of them
    and its per-channel ``dark_rate`` replaces ``dark_rate`` for a channel.
    ``channels`` selects the channels to simulate (needed with dark noise;
    default: the channels of the PE table), as integers or as text such as
    ``"0-1999"`` or ``"0-9,20,30-39"``; PEs on other channels are not
    simulated, and a selected channel without PEs is simulated with none.

    Seeding (``seed`` overrides the detector's; with neither, fresh entropy
    is drawn and recorded): ``"independent"`` gives each channel its own
    generator, so its records do not depend on ``workers`` or
    ``block_channels``; ``"sequential"`` runs one generator through the
    channels in increasing order on one thread, giving the records of
    ``velmora.<Model>(..., seed=seed).simulate_pe_list`` over those channels.

    Blocks of ``block_channels`` consecutive channels (default: chosen from
    the expected number of PEs, never from ``workers``) run on ``workers``
    threads (default: the cores this process may run on); at most
    ``workers + 1`` blocks are in memory at once (on an executor, a window
    of blocks submitted or finished and not yet written). Channel selections
    stay ranges, and blocks without PEs cost next to nothing.

    ``max_memory`` bounds the run's estimated peak memory (the estimate that
    ``velmora run --dry-run`` prints): ``"auto"`` refuses a run that would
    exceed what this process has now plus the memory available (the
    kernel's MemAvailable, or less under a cgroup limit), a number of bytes
    (or text such as ``"8G"``) refuses one beyond it, and None checks
    nothing. A refused run raises MemoryError before anything runs.

    ``segment`` (seconds, a whole number of ADC steps, of TDC steps for
    MultiPMT and of 4 ns ticks for ZozuvUza) splits long runs: the PEs of
    ``[k * segment, (k + 1) * segment)`` (times before 0 go to segment 0) are
    simulated from time origin ``k * segment`` with their own seed key
    ``(channel, k)``, and the record times are moved back by the origin
    (ZozuvUza time stamps in whole ticks, exactly; MultiPMT times by one
    floating-point addition). Segments are simulated independently, so at
    each edge: pulses of PEs just before the edge are not seen by the next
    segment (no pile-up across the edge, no trigger or hit formed from PEs
    on both sides), a readout window of a trigger just before the edge may
    extend past it, and a window that would start before a segment's origin
    is handled by the detector's ``early_handling`` (as one before time 0).
    Records stay in (channel, time) order.

    Returns the records as a numpy structured array in (channel, time) order
    when ``output`` is None; otherwise writes them to ``output`` (``.parquet``
    or ``.npz``, under a temporary name renamed when complete) and returns a
    ``RunSummary``. ``progress=True`` shows a progress bar (tqdm) on standard
    error. Ctrl-C stops the run between channels and leaves no output file.

    ``executor`` runs the blocks elsewhere: a ``concurrent.futures.Executor``
    or a ``dask.distributed.Client`` (``pip install velmora[dask]``); each
    block is sent with the detector, its channels' PEs and the seed, and the
    records are the same as those of the default thread pool. Workers must
    run this velmora version (checked before any block is submitted).

    With a directory as ``output`` (an existing directory, or a path ending
    in ``/`` or without a suffix), each block writes its own Parquet part
    ``part-<first channel>.parquet`` where it runs (the directory must be
    reachable at the same path by every worker), and ``_manifest.parquet``
    describes the run and its blocks; nothing is gathered here.
    ``read_records(directory)`` gives the records in (channel, time) order.
    ``resume=True`` continues an interrupted run into the same directory:
    it checks that the detector, seed, seeding and input are the same
    (taking the stored seed when none is given) and skips the blocks whose
    parts are complete and intact. Executors and directories need
    independent seeding. A run claims its directory: a second run into it
    (a resume included) is refused while the first runs.

    An existing record file or dataset is refused unless ``overwrite=True``.

    ``order="time"`` gives the records in time order across channels (by the
    time column, ``time_ns`` or ``time``; records of equal time in channel
    order) instead of (channel, time) order. A record file is then written by
    a merge pass: each block, sorted by time as it finishes, is spilled beside
    the output, and the spilled blocks are merged into the file a chunk at a
    time, so memory holds (blocks x chunk) records, never the run. A dataset
    directory keeps its parts by blocks of channels (what resuming and
    checking rest on), marks its manifest ``"order": "time"``, and
    ``read_records`` reads it back in time order. Links (``truth="links"``)
    name records by their row in channel order, and are refused with it.

    ``pes_key`` names the tree of a ROOT PE file or the table of an HDF5 one
    (default: the file's only one). An output ending in ``.root`` or ``.h5``
    is written as ROOT (``pip install 'velmora[root]'``) or HDF5 (``pip
    install 'velmora[hdf5]'``), block by block like Parquet.

    ``truth=True`` adds to every record the PEs that made it, each PE with
    its share of pulse (``fraction``) in every record its pulse reaches:
    ``n_pe``, the PEs whose largest share lies in the record (each PE counted
    in one record at most); ``true_charge``, the sum of share times drawn
    amplitude over the PEs that reach it; ``first_pe_time`` (seconds), the
    earliest drawn arrival among the PEs counted in ``n_pe``; ``n_dark`` and
    ``n_afterpulse``, how many of those are dark noise and afterpulses;
    ``n_pe_any``, every PE whose pulse reaches a sample the record reads. It
    draws nothing: the records' own columns are those of a run without it.
    ``truth="links"`` also links each record to each PE that reaches it, one
    row per pair with its ``fraction`` (see ``read_links`` for the columns),
    with the PE table's other columns passed through: inside a
    ROOT or HDF5 record file (a second tree or dataset ``links``), beside a
    Parquet or .npz one as ``<its name>.links.parquet``, beside a dataset
    directory ``DIR`` in ``DIR.links/links-part-<first channel>.parquet``
    (an ``output`` string ending in a separator names a dataset directory
    whatever its name); without ``output``,
    ``run`` returns ``(records, links)``, the links a pyarrow Table whose
    ``record`` is the row in ``records``. Without links, a PE table's other
    columns are named in an ``UnusedPEColumnsWarning``.

    ``label="event_id"`` gives every record a column ``event_id`` after the
    truth columns: the value of that column of the PE table of the record's
    input PE with the largest charge share, as ``record_labels`` takes it
    from the record's links. An integer column gives int64 labels, -1 where
    no input PE reaches the record (dark noise and afterpulses only) or that
    PE's value is null (a column holding -1 is refused); a floating-point
    column gives float64 labels, NaN there. The label comes with the truth
    columns; each block's links are made to label its records and dropped
    unless ``truth="links"`` keeps them. The run's description names the
    label (``"label": {"column": ..., "type": ...}``).
    """
    options = RunOptions(seed=seed, workers=workers, output=output, dark_rate=dark_rate, duration=duration,
                         channels=channels, seeding=seeding, segment=segment, block_channels=block_channels,
                         progress=progress, executor=executor, resume=resume, max_memory=max_memory,
                         overwrite=overwrite, pes_key=pes_key, truth=truth, order=order, label=label)
    return run_with(detector, pes, options)


def run_with(detector: Detector, pes: PETable | str | os.PathLike[str] | Any | None,
             options: RunOptions) -> np.ndarray | tuple[np.ndarray, pa.Table] | RunSummary:
    """Runs ``detector`` on ``pes`` with the options of a :class:`RunOptions`,
    as :func:`run` does with them given one by one."""
    plan = plan_run(detector, pes, options)
    source = plan.inputs.pes
    try:
        return _execute(plan, options, spill=source if isinstance(source, FilePEs) else None)
    finally:
        if isinstance(source, FilePEs):
            source.close()


def plan_run(detector: Detector, pes: PETable | str | os.PathLike[str] | Any | None, options: RunOptions) -> RunPlan:
    """A run planned and checked, everything that it refuses refused before
    its first block: what ``run`` executes and what a dry run describes.
    Changes nothing."""
    output = options.output
    if output is not None:
        check_output(output)
        if is_dataset(output):
            refuse_foreign_directory(output)  # before any work; checked again once the directory is claimed
        if options.resume and options.seed is None:
            # A resumed run continues with the seed it started with, which
            # may have been given in place of the detector's.
            options = dataclasses.replace(options, seed=stored_seed(output))
    plan = prepare(detector, pes, options)
    try:
        check_run(plan, options)
    except BaseException:
        if isinstance(plan.inputs.pes, FilePEs):
            plan.inputs.pes.close()
        raise
    return plan


def check_run(plan: RunPlan, options: RunOptions) -> None:
    """What a planned run refuses before its first block, beyond what
    planning it refuses: its memory, its options together, its output as it
    stands now. Changes nothing, so that a dry run refuses exactly what the
    run would."""
    check_memory(plan, options.max_memory)
    if options.order == "time" and plan.truth == "links":
        raise OptionError("order", "{order.given}'time' cannot go with {truth.given}'links': links name records by "
                          "their row in channel order")
    resume, overwrite = options.resume, options.overwrite
    _check_distributed(plan, resume)
    if plan.output is None:
        return
    if plan.dataset:
        refuse_in_use(Path(plan.output))  # as claiming it would; the run claims it only later
        refuse_dataset(Path(plan.output), resume, overwrite, plan.truth == "links", run_identity(plan))
        return
    path = Path(plan.output)
    refuse_record_file(path, overwrite)
    refuse_missing_directory(path)
    if plan.truth == "links" and not links_inside(path):
        check_output(links_path(path))
        refuse_links_file(links_path(path), path.name, overwrite)


def _check_distributed(plan: RunPlan, resume: bool) -> None:
    """What a run on an executor or into a dataset directory needs, checked
    before any block is submitted."""
    if plan.executor is None and not plan.dataset and not resume:
        return
    if plan.inputs.seeding == "sequential":
        raise ValueError("sequential seeding runs one generator through the channels on one thread; "
                         "use independent seeding with an executor or a dataset directory")
    if resume and not plan.dataset:
        raise ValueError("resume needs a dataset directory as output")
    if plan.executor is not None:
        check_versions(plan.executor, plan.metadata["velmora_version"])


def _jobs(plan: RunPlan, sink: Sink, run_id: str, token: str) -> Iterator[BlockJob]:
    """The run's jobs, made as they are submitted: each carries its block's
    PEs (copied out of the run's only where the job leaves this process)."""
    inputs = plan.inputs
    shared = RunJobs(run_id, plan.metadata["velmora_version"], token, plan.detector, plan.waveform_samples,
                     inputs.segment is not None, sink.part_metadata, plan.truth, plan.links_schema, plan.label)
    copy_pes = plan.executor is not None
    for b in plan.block_list():
        first = int(b.channels[0])
        if first in sink.done:
            continue
        part = links_part = None
        if sink.directory is not None:
            part = str(sink.directory / hidden_name(block_name(first)))
            if sink.links_folder is not None:
                links_part = str(sink.links_folder / hidden_name(links_block_name(first)))
        yield BlockJob(shared, b.index, inputs.of_block(b.channels, copy_pes), b.channels, part, links_part)


def _progress(plan: RunPlan, progress: bool, done: int) -> tuple[Any, Callable[[BlockResult], int]]:
    """The progress bar and what to count on it for each finished block:
    channels on the run's own threads, blocks on an executor or into a
    dataset directory."""
    if plan.executor is None and not plan.dataset:
        bar = tqdm(total=len(plan.inputs.channels), unit="ch", disable=not progress, desc="velmora run")
        return bar, lambda result: result.channels
    bar = tqdm(total=plan.blocks, initial=done, unit="block", disable=not progress, desc="velmora run")
    return bar, lambda result: 1


def _execute(plan: RunPlan, options: RunOptions,
             spill: FilePEs | None) -> np.ndarray | tuple[np.ndarray, pa.Table] | RunSummary:
    """Runs a planned run: its blocks on the executor, their records into
    the sink; ``spill``: a PE file to split into blocks once everything is
    checked."""
    inputs = plan.inputs
    engine = plan.engine
    if inputs.seeding == "sequential":
        engine.seed_sequential(inputs.seed)
    if plan.output is not None:
        remove_stale_spills(plan.output)
    if spill is not None:
        # Next to the output, where there is room for it; else the system's temporary directory.
        spill.spill(plan.block_channels, plan.output)
    run_id = uuid.uuid4().hex
    with contextlib.ExitStack() as held:
        sink = open_sink(plan, resume=options.resume, overwrite=options.overwrite, held=held, order=options.order)
        executor: BlockExecutor | None = plan.executor
        if executor is None:
            executor = held.enter_context(concurrent.futures.ThreadPoolExecutor(
                max_workers=plan.workers, thread_name_prefix="velmora-run"))
            # Blocks of this process share the run's engine (and a sequential run its one generator).
            RUN_ENGINES[run_id] = engine
            held.callback(RUN_ENGINES.pop, run_id, None)
        bar, step = _progress(plan, options.progress, len(sink.done))
        held.callback(bar.close)
        pes = 0
        early = EarlyWindowTally()

        def on_done(result: BlockResult) -> None:
            nonlocal pes
            pes += result.pes
            early.add(result.early)
            sink.add(result)
            bar.update(step(result))
            bar.set_postfix(pes=pes, refresh=False)

        try:
            jobs = sink.track(_jobs(plan, sink, run_id, engine_token(plan.detector, inputs.parameter_sets)))
            run_jobs(executor, jobs, window=plan.window, on_done=on_done, held=sink.held)
            done = sink.finish()
        except BaseException:
            sink.abort()
            raise
    early.warn(stacklevel=4)  # at the caller of run(), through run_with()
    return done
