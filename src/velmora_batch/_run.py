"""run(): simulates whole detectors, channel by channel, on a pool of worker
threads, and gives the records back as a structured array or writes them to
a file block by block."""

from __future__ import annotations

import json
import math
import numbers
import os
import warnings
from collections import deque
from collections.abc import Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypedDict, cast

import numpy as np
import numpy.typing as npt

from . import _core, _seeding
from ._pes import run_channels
from ._records import open_writer, record_dtype

if TYPE_CHECKING:
    from ._detector import Detector
    from ._executors import BlockExecutor
    from ._pes import PETable

# Expected PEs per block when the caller does not fix block_channels: large
# enough that the per-block work (seeds, hand-over, writing) is small beside
# the simulation, small enough that a few blocks in flight take little memory.
_PES_PER_BLOCK = 1 << 18
_MAX_BLOCK_CHANNELS = 4096
_TICK = 4e-9  # the ZozuvUza time stamp's tick, seconds
_SECONDS_COUNTER = 2**32  # a ZozuvUza time stamp's seconds are 32 bits wide
_EXACT_SEGMENTS = 2.0**53  # segment numbers (and their origins) stay exact below this


@dataclass(frozen=True)
class RunSummary:
    """What ``run`` returns when it writes a file: the file, the number of
    records written, channels and blocks simulated, and the seed and seeding
    mode (the seed drawn by the run when none was given)."""

    path: Path
    rows: int
    channels: int
    blocks: int
    seed: int
    seeding: str


class _Pieces(TypedDict):
    """A block's input to the engine's ``simulate``: piece i is channel
    ``channels[i]`` with the times ``times[bounds[i]:bounds[i + 1]]``."""

    channels: npt.NDArray[np.int32]
    bounds: npt.NDArray[np.int64]
    times: npt.NDArray[np.float64]
    models: npt.NDArray[np.int64]
    seeds: npt.NDArray[np.uint32] | None  # None: the sequential generator
    origin_ticks: npt.NDArray[np.uint64]
    origins: npt.NDArray[np.float64]


@dataclass
class _Block:
    channels: np.ndarray  # int64, increasing


def _positive_float(name: str, value: Any, allow_zero: bool) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    v = float(value)
    if not math.isfinite(v) or v < 0 or (v == 0 and not allow_zero):
        raise ValueError(f"{name} must be finite and {'not negative' if allow_zero else 'positive'}, got {value!r}")
    return v


def _whole_steps(segment: float, step: float, what: str) -> None:
    # Exactly, in the decimal values as written (repr gives the shortest
    # decimal that reads back as the same double): 1e-6 s is 250 ticks of
    # 4e-9 s although neither is exact in binary, and 10.000000002 s is not a
    # whole number of ticks however close it comes.
    steps = Fraction(repr(segment)) / Fraction(repr(step))
    if steps.denominator != 1 or steps < 1:
        raise ValueError(f"segment must be a whole number of {what} ({step!r} s), got {segment!r} s "
                         f"({float(steps)!r} steps)")


def _check_segment(detector: Detector, segment: Any) -> float:
    seg = _positive_float("segment", segment, allow_zero=False)
    params = detector.params
    _whole_steps(seg, float(cast(float, params["adc_step"])), "ADC steps")
    if detector.model == "MultiPMT":
        _whole_steps(seg, float(cast(float, params["tot_step"])), "TDC steps")
    else:
        _whole_steps(seg, _TICK, "4 ns time-stamp ticks")
    return seg


def _parameter_sets(detector: Detector, channels: np.ndarray) -> tuple[list[dict[str, Any]], np.ndarray]:
    """The distinct parameter sets of the run's channels and, per channel, the
    index of its set (0: the detector's own, where it has no overrides)."""
    sets: list[dict[str, Any]] = [dict(detector.params)]
    index = {json.dumps(sets[0], sort_keys=True): 0}
    of_channel = np.zeros(len(channels), dtype=np.int64)
    overrides = detector.overrides or {}
    if overrides:
        for i, c in enumerate(channels.tolist()):
            if c in overrides:
                params = detector.params_for(c)
                key = json.dumps(params, sort_keys=True)
                if key not in index:
                    index[key] = len(sets)
                    sets.append(dict(params))
                of_channel[i] = index[key]
    return sets, of_channel


class _Plan:
    """Everything a block needs, fixed before the first block runs."""

    def __init__(
        self,
        detector: Detector,
        pes: PETable | None,
        seed: int,
        seeding: str,
        channels: np.ndarray,
        dark_rate: float | None,
        duration: float | None,
        segment: float | None,
    ) -> None:
        self.model = detector.model
        self.seed = seed
        self.seeding = seeding
        self.channels = channels
        self.dark_rate = dark_rate
        self.duration = duration
        self.segment = segment
        if pes is not None:
            self.pe_channels, self.pe_starts, self.pe_times = pes.grouped()
        else:
            self.pe_channels = np.zeros(0, np.int64)
            self.pe_starts = np.zeros(1, np.int64)
            self.pe_times = np.zeros(0, np.float64)
        self.parameter_sets, self.set_of_channel = _parameter_sets(detector, channels)
        self.set_by_channel = dict(zip(channels.tolist(), self.set_of_channel.tolist(), strict=True))

    def table_pes(self, channel: int) -> np.ndarray:
        i = int(np.searchsorted(self.pe_channels, channel))
        if i < len(self.pe_channels) and self.pe_channels[i] == channel:
            return self.pe_times[self.pe_starts[i] : self.pe_starts[i + 1]]
        return self.pe_times[:0]

    def expected_pes(self) -> float:
        lo = np.searchsorted(self.pe_channels, self.channels)
        hit = lo < len(self.pe_channels)
        hit[hit] = self.pe_channels[lo[hit]] == self.channels[hit]
        counts = np.diff(self.pe_starts)
        total = float(counts[lo[hit]].sum()) if len(counts) else 0.0
        if self.dark_rate is not None and self.duration is not None:
            total += self.dark_rate * self.duration * len(self.channels)
        return total

    def pieces(self, block: _Block) -> _Pieces:
        """The engine's inputs for a block: one piece per channel, or per
        occupied segment of a channel."""
        chans: list[int] = []
        bounds = [0]
        times: list[np.ndarray] = []
        ticks: list[int] = []
        origins: list[float] = []
        keys: list[tuple[int, ...]] = []
        for c in block.channels.tolist():
            t = self.table_pes(c)
            if self.dark_rate is not None and self.duration is not None:
                t = np.concatenate([t, _seeding.dark_noise(self.seed, c, self.dark_rate, self.duration)])
            if self.segment is None:
                chans.append(c)
                times.append(t)
                bounds.append(bounds[-1] + len(t))
                ticks.append(0)
                origins.append(0.0)
                keys.append((c,))
                continue
            # Segment k holds the times in [k * segment, (k + 1) * segment)
            # (times before 0 belong to segment 0), each counted from its origin.
            k = np.maximum(np.floor(t / self.segment), 0).astype(np.int64) if len(t) else np.zeros(0, np.int64)
            order = np.argsort(k, kind="stable")
            k_sorted = k[order]
            t_sorted = t[order]
            segs, starts = np.unique(k_sorted, return_index=True)
            ends = np.append(starts[1:], len(k_sorted))
            if len(segs) == 0:  # a channel without PEs still runs, as segment 0
                segs, starts, ends = np.zeros(1, np.int64), np.zeros(1, np.int64), np.zeros(1, np.int64)
            for s, a, b in zip(segs.tolist(), starts.tolist(), ends.tolist(), strict=True):
                origin = s * self.segment
                chans.append(c)
                times.append(t_sorted[a:b] - origin)
                bounds.append(bounds[-1] + (b - a))
                ticks.append(s * round(self.segment / _TICK) if self.model == "ZozuvUza" else 0)
                origins.append(origin)
                keys.append((c, s))
        seeds = None
        if self.seeding == "independent":
            seeds = np.stack([_seeding.model_seed_state(self.seed, key) for key in keys]) if keys else None
        return {
            "channels": np.asarray(chans, np.int32),
            "bounds": np.asarray(bounds, np.int64),
            "times": np.concatenate(times) if times else np.zeros(0, np.float64),
            "models": np.asarray([self.set_by_channel[c] for c in chans], np.int64),
            "seeds": seeds if seeds is not None else (np.zeros((0, 8), np.uint32) if self.seeding == "independent" else None),
            "origin_ticks": np.asarray(ticks, np.uint64),
            "origins": np.asarray(origins, np.float64),
        }


def _check_late_times(plan: _Plan, limit: float) -> None:
    """Refuses, before anything runs, PE times that the run cannot place:
    beyond the models' late-time limit without segments; with segments, a
    segment longer than the limit, times before 0 beyond it (they are
    simulated in the first segment, from time origin 0), ZozuvUza times past
    the time stamp's 32-bit seconds counter, and segment numbers too large to
    be exact in floating point."""
    if plan.segment is not None and plan.segment > limit:
        raise ValueError(f"segment {plan.segment!r} s is longer than this detector's late-time limit of "
                         f"{limit!r} s; choose a shorter segment")
    selected = np.isin(plan.pe_channels, plan.channels)
    counts = np.diff(plan.pe_starts)
    earliest = latest = 0.0
    if selected.any():
        times = np.concatenate([plan.pe_times[plan.pe_starts[i]: plan.pe_starts[i] + counts[i]]
                                for i in np.flatnonzero(selected)])
        if len(times):
            earliest, latest = float(times.min()), float(times.max())
    if plan.duration is not None:
        latest = max(latest, plan.duration)
    if plan.segment is None:
        reach = earliest if -earliest > latest else latest
        if abs(reach) > limit:
            raise ValueError(f"PE times reach {reach!r} s, beyond this detector's late-time limit of {limit!r} s: "
                             "split the run into segments with segment= (seconds), each simulated from its own "
                             "time origin")
        return
    if earliest < -limit:
        raise ValueError(f"PE times reach {earliest!r} s; times before 0 are simulated in the first segment, from "
                         f"time origin 0, and must not lie beyond this detector's late-time limit of -{limit!r} s")
    if plan.model == "ZozuvUza" and latest >= _SECONDS_COUNTER:
        raise ValueError(f"PE times reach {latest!r} s, beyond the {_SECONDS_COUNTER} s that the 32-bit seconds "
                         "counter of a ZozuvUza time stamp holds")
    if latest / plan.segment >= _EXACT_SEGMENTS:
        raise ValueError(f"PE times reach {latest!r} s, which is 2^53 segments of {plan.segment!r} s or more: "
                         "choose a longer segment")


def _records(columns: dict[str, np.ndarray], dtype: np.dtype, sort: bool) -> np.ndarray:
    assert dtype.names is not None
    n = len(columns["channel"])
    rec = np.empty(n, dtype=dtype)
    for name in dtype.names:
        rec[name] = columns[name]
    if sort and n:
        time = rec["time_ns"] if "time_ns" in dtype.names else rec["time"]
        rec = rec[np.lexsort((time, rec["channel"]))]
    return rec


def _default_block_channels(expected_pes: float, n_channels: int) -> int:
    per_channel = expected_pes / n_channels
    return int(min(_MAX_BLOCK_CHANNELS, max(1, math.ceil(_PES_PER_BLOCK / max(per_channel, 1.0)))))


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
) -> np.ndarray | RunSummary:
    """Simulates the channels of ``detector`` and returns their records.

    Input: a PE table ``pes`` (a ``PETable``, a file that ``read_pes``
    reads, or a table with columns ``channel`` and ``time`` that pyarrow
    takes, such as a pandas DataFrame or a pyarrow Table), dark noise (``dark_rate`` in Hz over ``duration`` seconds, per
    channel a Poisson number of PEs uniform over ``[0, duration)``), or both;
    a channel's PEs from the table come first, then its dark noise.
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
    threads (default: the number of cores); at most ``workers + 1`` blocks
    are in memory at once.

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
    reachable at the same path by every worker), and ``_manifest.json``
    describes the run and its blocks; nothing is gathered here.
    ``read_records(directory)`` gives the records in (channel, time) order.
    ``resume=True`` continues an interrupted run into the same directory:
    it checks that the detector, seed, seeding and input are the same
    (taking the stored seed when none is given) and skips the blocks whose
    parts are complete. Executors and directories need independent seeding.
    """
    if resume and seed is None and output is not None:
        # A resumed run continues with the seed it started with, which may
        # have been given in place of the detector's.
        from ._dataset import stored_seed

        seed = stored_seed(output)
    # Everything is checked before the first channel is simulated.
    seed = _seeding.resolve_seed(detector.seed if seed is None else seed, seeding)
    table: PETable | None
    if pes is None or hasattr(pes, "grouped"):
        table = cast("PETable | None", pes)
    elif isinstance(pes, str | os.PathLike):
        from ._pes import read_pes

        table = read_pes(pes)
    else:
        from ._pes import pe_table_of

        table = pe_table_of(pes)
    chan = run_channels(table, dark_rate, duration, channels)
    if detector.overrides:
        keys = np.fromiter(detector.overrides, np.int64, len(detector.overrides))
        unused = np.sort(keys[~np.isin(keys, chan)]).tolist()
        if unused:
            shown = ", ".join(map(str, unused[:5])) + (f" and {len(unused) - 5} more" if len(unused) > 5 else "")
            warnings.warn(f"the detector has overrides for {len(unused)} channel{'s' if len(unused) > 1 else ''} "
                          f"outside this run ({shown}); they have no effect", UserWarning, stacklevel=2)
    rate = None if dark_rate is None else float(dark_rate)
    dur = None if duration is None else float(duration)
    seg = None if segment is None else _check_segment(detector, segment)
    if workers is None:
        workers = os.cpu_count() or 1
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral) or workers < 1:
        raise ValueError(f"workers must be a whole number of at least 1, got {workers!r}")
    if seeding == "sequential":
        workers = 1  # one generator through the channels in order
    waveform_samples = int(detector.params.get("waveform_samples", 1)) if detector.model == "ZozuvUza" else 1
    dtype = record_dtype(detector.model, waveform_samples)
    plan = _Plan(detector, table, seed, seeding, chan, rate, dur, seg)
    if block_channels is None:
        block_channels = _default_block_channels(plan.expected_pes(), len(chan))
    if isinstance(block_channels, bool) or not isinstance(block_channels, numbers.Integral) or block_channels < 1:
        raise ValueError(f"block_channels must be a whole number of at least 1, got {block_channels!r}")
    blocks = [_Block(chan[i : i + block_channels]) for i in range(0, len(chan), int(block_channels))]
    engine_type = _core.ZozuvUzaEngine if detector.model == "ZozuvUza" else _core.MultiPMTEngine
    engine = engine_type(plan.parameter_sets, dict(detector.spectra))  # the models' own construction errors
    _check_late_times(plan, engine.max_pe_time)
    if seeding == "sequential":
        engine.seed_sequential(seed)
    from ._dataset import is_dataset

    if executor is not None or resume or is_dataset(output):
        from . import __version__
        from ._executors import run_blocks

        metadata = {"config": detector.config(), "seed": seed, "seeding": seeding, "velmora_version": __version__,
                    "segment": seg, "dark_rate": rate, "duration": dur}
        return run_blocks(detector, plan, blocks, executor=executor, workers=int(workers), output=output,
                          resume=resume, progress=progress, waveform_samples=waveform_samples,
                          block_channels=int(block_channels), metadata=metadata)
    cancel = _core.CancelFlag()

    def simulate(block: _Block) -> np.ndarray:
        columns = engine.simulate(**plan.pieces(block), cancel=cancel)
        return _records(columns, dtype, sort=seg is not None)

    writer = None
    if output is not None:
        from . import __version__

        metadata = {
            "config": detector.config(),
            "seed": seed,
            "seeding": seeding,
            "velmora_version": __version__,
            "segment": seg,
            "dark_rate": rate,
            "duration": dur,
        }
        writer = open_writer(Path(output), model=detector.model, waveform_samples=waveform_samples, metadata=metadata)

    from tqdm import tqdm

    bar = tqdm(total=len(chan), unit="ch", disable=not progress, desc="velmora run")
    parts: list[np.ndarray] = []
    rows = 0
    executor = ThreadPoolExecutor(max_workers=int(workers), thread_name_prefix="velmora-run")
    in_flight: deque[tuple[_Block, Future[np.ndarray]]] = deque()
    try:
        pending = iter(blocks)
        # At most workers + 1 blocks are submitted and not yet written.
        for block in pending:
            in_flight.append((block, executor.submit(simulate, block)))
            if len(in_flight) > workers:
                break
        while in_flight:
            block, future = in_flight.popleft()
            rec = future.result()
            block_next = next(pending, None)
            if block_next is not None:
                in_flight.append((block_next, executor.submit(simulate, block_next)))
            if writer is not None:
                writer.write(rec)
            else:
                parts.append(rec)
            rows += len(rec)
            bar.update(len(block.channels))
        if writer is not None:
            writer.close()
    except BaseException:
        cancel.set()
        for _, f in in_flight:
            f.cancel()
        executor.shutdown(wait=True, cancel_futures=True)
        if writer is not None:
            writer.abort()
        raise
    finally:
        executor.shutdown(wait=True)
        bar.close()
    if writer is not None:
        return RunSummary(Path(output), rows, len(chan), len(blocks), seed, seeding)
    return np.concatenate(parts) if parts else np.zeros(0, dtype)
