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
from collections.abc import Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypedDict, cast

import numpy as np
import numpy.typing as npt

from . import _core, _seeding
from ._pes import (ChannelSet, FilePEs, GroupedPEs, MemoryPEs, PEDigest, check_dark_noise, parse_channels,
                   run_channels)
from ._models import MAX_WAVEFORM_SAMPLES, spec_of
from ._records import open_writer

if TYPE_CHECKING:
    from ._detector import Detector
    from ._executors import BlockExecutor
    from ._pes import PESource, PETable

# Expected PEs per block when the caller does not fix block_channels: large
# enough that the per-block work (seeds, hand-over, writing) is small beside
# the simulation, small enough that a few blocks in flight take little memory.
_PES_PER_BLOCK = 1 << 18
_MAX_BLOCK_CHANNELS = 4096
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
    index: int = 0  # its place among the run's blocks


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
    for grid, what in spec_of(detector.model).segment_grids:
        _whole_steps(seg, grid if isinstance(grid, float) else float(cast(float, detector.params[grid])), what)
    return seg


def _parameter_sets(detector: Detector, channels: ChannelSet) -> tuple[list[dict[str, Any]], np.ndarray, np.ndarray]:
    """The distinct parameter sets of the run's channels (0: the detector's
    own), and the selected channels with overrides, increasing, with the
    index of each one's set; every other channel uses set 0."""
    sets: list[dict[str, Any]] = [dict(detector.params)]
    index = {json.dumps(sets[0], sort_keys=True): 0}
    overrides = detector.overrides or {}
    keys = np.asarray(sorted(int(c) for c in overrides), np.int64)
    keys = keys[channels.contains(keys)] if len(keys) else keys
    of_key = np.zeros(len(keys), np.int64)
    for i, c in enumerate(keys.tolist()):
        params = detector.params_for(c)
        key = json.dumps(params, sort_keys=True)
        if key not in index:
            index[key] = len(sets)
            sets.append(dict(params))
        of_key[i] = index[key]
    return sets, keys, of_key


class _Plan:
    """Everything a block needs, fixed before the first block runs."""

    def __init__(
        self,
        detector: Detector,
        pes: PESource | None,
        seed: int,
        seeding: str,
        channels: ChannelSet,
        dark_rate: float | None,
        duration: float | None,
        segment: float | None,
    ) -> None:
        self.model = detector.model
        self.spec = spec_of(detector.model)
        self.seed = seed
        self.seeding = seeding
        self.channels = channels
        self.dark_rate = dark_rate
        self.duration = duration
        self.segment = segment
        self.pes = pes
        self.parameter_sets, self.override_channels, self.override_sets = _parameter_sets(detector, channels)

    def sets_of(self, channels: np.ndarray) -> np.ndarray:
        """The parameter set of each of ``channels``."""
        keys = self.override_channels
        if not len(keys):
            return np.zeros(len(channels), np.int64)
        i = np.minimum(np.searchsorted(keys, channels), len(keys) - 1)
        return np.where(keys[i] == channels, self.override_sets[i], 0).astype(np.int64)

    def table_count(self) -> int:
        return self.pes.count if self.pes is not None else 0

    def table_time_range(self) -> tuple[float, float]:
        """The earliest and latest time of a selected PE of the table (0.0
        for none), at most 0.0 and at least 0.0."""
        return (min(self.pes.earliest, 0.0), max(self.pes.latest, 0.0)) if self.pes is not None else (0.0, 0.0)

    def pes_digest(self) -> str:
        return self.pes.digest() if self.pes is not None else PEDigest().hexdigest()

    def has_dark_noise(self) -> bool:
        return self.dark_rate is not None and self.duration is not None and self.dark_rate * self.duration > 0

    def expected_pes(self) -> float:
        total = float(self.table_count())
        if self.dark_rate is not None and self.duration is not None:
            total += self.dark_rate * self.duration * len(self.channels)
        return total

    def blocks(self, size: int, skip_empty: bool) -> Iterator[_Block]:
        """The run's blocks of ``size`` channels, made one at a time. With
        ``skip_empty``, blocks that cannot give a record are left out: with
        independent seeding and no dark noise, those without PEs."""
        if skip_empty and self.seeding == "independent" and not self.has_dark_noise():
            occupied = self.pes.occupied_blocks(size) if self.pes is not None else np.zeros(0, np.int64)
            for i in occupied.tolist():
                yield _Block(self.channels.take(i * size, (i + 1) * size), i)
            return
        for i, channels in enumerate(self.channels.blocks(size)):
            yield _Block(channels, i)

    def block_pes(self, block: _Block) -> GroupedPEs:
        if self.pes is None:
            return GroupedPEs.empty()
        return self.pes.block(int(block.channels[0]), int(block.channels[-1]))

    def pieces(self, block: _Block) -> _Pieces:
        """The engine's inputs for a block: one piece per channel, or per
        occupied segment of a channel. A channel without PEs gives no records;
        with independent seeding its piece is left out, with sequential
        seeding it stays, as the one generator still draws for it."""
        table = self.block_pes(block)
        block_channels = np.asarray(block.channels, np.int64)
        first, counts = table.of_channels(block_channels)
        keep_empty = self.seeding != "independent"
        if self.has_dark_noise():
            assert self.dark_rate is not None and self.duration is not None
            per_channel = [np.concatenate([table.times[f : f + n],
                                           _seeding.dark_noise(self.seed, c, self.dark_rate, self.duration)])
                           for c, f, n in zip(block_channels.tolist(), first.tolist(), counts.tolist(), strict=True)]
            counts = np.asarray([len(t) for t in per_channel], np.int64)
            occupied = counts > 0
            if not keep_empty:
                per_channel = [t for t, o in zip(per_channel, occupied.tolist(), strict=True) if o]
            times_all = np.concatenate(per_channel) if per_channel else np.zeros(0, np.float64)
        else:
            occupied = counts > 0
            take = np.ones(len(block_channels), bool) if keep_empty else occupied
            n = counts[take]
            # The times of the kept channels, channel by channel.
            offsets = np.repeat(first[take] - (np.cumsum(n) - n), n)
            times_all = table.times[np.arange(int(n.sum()), dtype=np.int64) + offsets]
        take = np.ones(len(block_channels), bool) if keep_empty else occupied
        chans = block_channels[take]
        n = counts[take]
        bounds = np.concatenate([[0], np.cumsum(n)]).astype(np.int64)
        if self.segment is None:
            keys: list[tuple[int, ...]] = [(c,) for c in chans.tolist()] if self.seeding == "independent" else []
            return self._pieces(chans, bounds, times_all, np.zeros(len(chans), np.uint64),
                                np.zeros(len(chans), np.float64), keys)
        tick = self.spec.stamp_tick
        seg_chans: list[int] = []
        seg_bounds = [0]
        times: list[np.ndarray] = []
        ticks: list[int] = []
        origins: list[float] = []
        keys = []
        for c, lo, hi in zip(chans.tolist(), bounds[:-1].tolist(), bounds[1:].tolist(), strict=True):
            t = times_all[lo:hi]
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
                seg_chans.append(c)
                times.append(t_sorted[a:b] - origin)
                seg_bounds.append(seg_bounds[-1] + (b - a))
                ticks.append(0 if tick is None else s * round(self.segment / tick))
                origins.append(origin)
                keys.append((c, s))
        return self._pieces(np.asarray(seg_chans, np.int64), np.asarray(seg_bounds, np.int64),
                            np.concatenate(times) if times else np.zeros(0, np.float64),
                            np.asarray(ticks, np.uint64), np.asarray(origins, np.float64), keys)

    def _pieces(self, chans: np.ndarray, bounds: np.ndarray, times: np.ndarray, ticks: np.ndarray,
                origins: np.ndarray, keys: list[tuple[int, ...]]) -> _Pieces:
        seeds = None
        if self.seeding == "independent":
            seeds = (np.stack([_seeding.model_seed_state(self.seed, key) for key in keys]) if keys
                     else np.zeros((0, 8), np.uint32))
        return {
            "channels": chans.astype(np.int32),
            "bounds": bounds,
            "times": times,
            "models": self.sets_of(chans),
            "seeds": seeds,
            "origin_ticks": ticks,
            "origins": origins,
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
    earliest, latest = plan.table_time_range()
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
    counter = plan.spec.stamp_seconds
    if counter is not None and latest >= counter:
        raise ValueError(f"PE times reach {latest!r} s, beyond the {counter} s that the 32-bit seconds "
                         f"counter of a {plan.model} time stamp holds")
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


def default_workers() -> int:
    """The cores this process may run on: the default number of workers."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1


@dataclass
class RunSetup:
    """A run as planned before anything is simulated: what ``run`` executes
    and what a dry run describes."""

    plan: _Plan
    workers: int
    block_channels: int
    blocks: int
    waveform_samples: int
    dtype: np.dtype
    in_flight: int  # blocks of records in memory at once, at most
    output: Path | None
    base_bytes: int  # this process's resident size before planning


def prepare(detector: Detector, pes: PETable | str | os.PathLike[str] | Any | None, *, seed: int | None,
            workers: int | None, dark_rate: float | None, duration: float | None,
            channels: str | Iterable[int] | np.ndarray | ChannelSet | None, seeding: str, segment: float | None,
            block_channels: int | None, executor: object = None,
            output: str | os.PathLike[str] | None = None) -> RunSetup:
    """Checks a run's settings and plans it: seed, channels, PE input,
    parameter sets, blocks and workers."""
    import pyarrow.parquet  # noqa: F401  (the libraries a run loads count in its base size)
    import tqdm  # noqa: F401

    base_bytes = _resident_bytes()
    seed = _seeding.resolve_seed(detector.seed if seed is None else seed, seeding)
    table: PETable | None = None
    source: PESource | None = None
    if pes is None or hasattr(pes, "grouped"):
        table = cast("PETable | None", pes)
    elif isinstance(pes, str | os.PathLike):
        # A file is read in pieces: a first pass here checks it and takes the
        # selected PEs' count, times and digest.
        check_dark_noise(dark_rate, duration)
        file = FilePEs(pes, None if channels is None else parse_channels(channels))
        if len(file.selection) == 0:
            raise ValueError("the PE table is empty and no channels are selected")
        source = file
    else:
        from ._pes import pe_table_of

        table = pe_table_of(pes)
    chan = file.selection if source is not None else run_channels(table, dark_rate, duration, channels)
    if detector.overrides:
        keys = np.fromiter(detector.overrides, np.int64, len(detector.overrides))
        unused = np.sort(keys[~chan.contains(keys)]).tolist()
        if unused:
            shown = ", ".join(map(str, unused[:5])) + (f" and {len(unused) - 5} more" if len(unused) > 5 else "")
            warnings.warn(f"the detector has overrides for {len(unused)} channel{'s' if len(unused) > 1 else ''} "
                          f"outside this run ({shown}); they have no effect", UserWarning, stacklevel=3)
    rate = None if dark_rate is None else float(dark_rate)
    dur = None if duration is None else float(duration)
    seg = None if segment is None else _check_segment(detector, segment)
    if workers is None:
        workers = default_workers()
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral) or workers < 1:
        raise ValueError(f"workers must be a whole number of at least 1, got {workers!r}")
    if seeding == "sequential":
        workers = 1  # one generator through the channels in order
    spec = spec_of(detector.model)
    waveform_samples = spec.waveform_samples(detector.params)
    if waveform_samples > MAX_WAVEFORM_SAMPLES:
        raise ValueError(f"waveform_samples must be at most {MAX_WAVEFORM_SAMPLES} ADC samples per readout "
                         f"window, got {waveform_samples}")
    dtype = spec.record_dtype(waveform_samples)
    if table is not None:
        source = MemoryPEs(table, chan)
    plan = _Plan(detector, source, seed, seeding, chan, rate, dur, seg)
    if block_channels is None:
        block_channels = _default_block_channels(plan.expected_pes(), len(chan))
    if isinstance(block_channels, bool) or not isinstance(block_channels, numbers.Integral) or block_channels < 1:
        raise ValueError(f"block_channels must be a whole number of at least 1, got {block_channels!r}")
    blocks = chan.block_count(int(block_channels))
    window = int(workers) + 1
    if executor is not None:
        from ._executors import check_executor, executor_slots, executor_window

        check_executor(executor)
        window = executor_window(executor_slots(cast("BlockExecutor", executor), int(workers)))
    return RunSetup(plan, int(workers), int(block_channels), blocks, waveform_samples, dtype, min(blocks, window),
                    None if output is None else Path(output), base_bytes)


# Memory of a run beyond this process as it stands before planning, measured
# with /usr/bin/time -v on the example detectors (bench/estimate_check.sh:
# dark noise over 2,000 channels, 10^6 to 10^8 PEs, and over 20 channels of
# 5 * 10^5 PEs each, 1 and 2 workers; PE files of 10^7 and 10^8 rows): per PE
# of the blocks in flight (its times, the model's working memory, the record
# columns and their way into the file), once per model for the working
# memory its simulation takes beyond that, per PE of a table held in memory
# (its grouped copy), once for pyarrow's conversion and Parquet writer, and
# for the passes that read a PE file in pieces.
BYTES_PER_TABLE_PE = 16
PARQUET_BYTES = 28 * 2**20
PE_FILE_PASS_BYTES = 140 * 2**20


def _resident_bytes() -> int:
    """This process's resident size now."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):  # pragma: no cover - not on Linux
        import resource

        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def estimate_peak(setup: RunSetup) -> int:
    """An estimate of the run's peak resident size, in bytes: this process as
    it stood before planning, the grouped copy of a PE table in memory, the
    blocks in flight, the model's working memory and the Parquet writer, or
    the passes over a PE file where they take more."""
    plan = setup.plan
    per_block = plan.expected_pes() / max(setup.blocks, 1)
    table = BYTES_PER_TABLE_PE * plan.table_count() if isinstance(plan.pes, MemoryPEs) else 0
    parquet = setup.output is None or setup.output.suffix.lower() != ".npz"
    peak = (setup.base_bytes + table + (PARQUET_BYTES if parquet else 0) + plan.spec.model_bytes
            + setup.in_flight * per_block * plan.spec.bytes_per_pe)
    if isinstance(plan.pes, FilePEs):
        peak = max(peak, setup.base_bytes + PE_FILE_PASS_BYTES)
    return int(peak)


def available_memory() -> int | None:
    """Memory this process can still take: the kernel's MemAvailable, or less
    where a cgroup limit leaves less; None where neither can be read."""
    found: list[int] = []
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    found.append(int(line.split()[1]) * 1024)
    except (OSError, ValueError):
        pass
    for limit_file, usage_file in (("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current"),
                                   ("/sys/fs/cgroup/memory/memory.limit_in_bytes",
                                    "/sys/fs/cgroup/memory/memory.usage_in_bytes")):
        try:
            limit = Path(limit_file).read_text().strip()
            usage = int(Path(usage_file).read_text().strip())
        except (OSError, ValueError):
            continue
        if limit.isdigit() and int(limit) < 1 << 60:
            found.append(max(int(limit) - usage, 0))
        break
    return min(found) if found else None


def parse_memory(value: int | str | None) -> int | str | None:
    """A memory bound: a number of bytes (text may end in K, M, G or T, powers
    of 1024), ``"auto"`` (the memory available now) or None / ``"none"`` (no
    bound)."""
    if value is None or (isinstance(value, str) and value.strip().lower() == "none"):
        return None
    if isinstance(value, str):
        text = value.strip().upper().removesuffix("B").removesuffix("I")
        if text == "AUTO":
            return "auto"
        scale = 1
        if text[-1:] in ("K", "M", "G", "T"):
            scale = 1024 ** ("KMGT".index(text[-1]) + 1)
            text = text[:-1]
        try:
            number = float(text) if text.isascii() else math.nan
        except ValueError:
            number = math.nan
        if not (math.isfinite(number) and number > 0):
            raise ValueError(f"max_memory must be a number of bytes (e.g. 8G), 'auto' or 'none', got {value!r}")
        return int(number * scale)
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value <= 0:
        raise ValueError(f"max_memory must be a number of bytes (e.g. 8G), 'auto' or 'none', got {value!r}")
    return int(value)


def check_memory(setup: RunSetup, max_memory: int | str | None) -> None:
    """Refuses a run whose estimated peak exceeds ``max_memory`` (bytes), or
    with ``"auto"`` the memory available to it now; None checks nothing."""
    bound = parse_memory(max_memory)
    if bound is None:
        return
    peak = estimate_peak(setup)
    if bound == "auto":
        free = available_memory()
        if free is None:
            return
        limit = _resident_bytes() + free
        where = "the memory available"
    else:
        limit = int(bound)
        where = "max_memory"
    if peak > limit:
        raise MemoryError(f"this run needs about {peak / 2**30:.3g} GiB at its peak (estimate), more than {where} "
                          f"({limit / 2**30:.3g} GiB): run fewer channels or shorter segments, lower the number "
                          "of workers or block_channels, or allow it explicitly "
                          "(max_memory=None; --max-memory none on the command line)")


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
    reachable at the same path by every worker), and ``_manifest.json``
    describes the run and its blocks; nothing is gathered here.
    ``read_records(directory)`` gives the records in (channel, time) order.
    ``resume=True`` continues an interrupted run into the same directory:
    it checks that the detector, seed, seeding and input are the same
    (taking the stored seed when none is given) and skips the blocks whose
    parts are complete and intact. Executors and directories need
    independent seeding. A run claims its directory: a second run into it
    (a resume included) is refused while the first runs.

    An existing record file or dataset is refused unless ``overwrite=True``.
    """
    if output is not None:
        from ._records import check_output

        check_output(output)
        from ._dataset import is_dataset, refuse_foreign_directory

        if is_dataset(output):
            refuse_foreign_directory(output)  # before any work; checked again once the directory is claimed
    if resume and overwrite:
        raise ValueError("resume continues the run in the output, overwrite replaces it: give one of them")
    if resume and seed is None and output is not None:
        # A resumed run continues with the seed it started with, which may
        # have been given in place of the detector's.
        from ._dataset import stored_seed

        seed = stored_seed(output)
    # Everything is checked before the first channel is simulated.
    setup = prepare(detector, pes, seed=seed, workers=workers, dark_rate=dark_rate, duration=duration,
                    channels=channels, seeding=seeding, segment=segment, block_channels=block_channels,
                    executor=executor, output=output)
    check_memory(setup, max_memory)
    source = setup.plan.pes
    if not isinstance(source, FilePEs):
        return _execute(detector, setup, executor=executor, output=output, resume=resume, progress=progress,
                        overwrite=overwrite)
    try:
        return _execute(detector, setup, executor=executor, output=output, resume=resume, progress=progress,
                        overwrite=overwrite, spill=source)
    finally:
        source.close()


def _execute(detector: Detector, setup: RunSetup, *, executor: BlockExecutor | None,
             output: str | os.PathLike[str] | None, resume: bool, progress: bool, overwrite: bool,
             spill: FilePEs | None = None) -> np.ndarray | RunSummary:
    """Runs a planned run; ``spill``: a PE file to split into blocks once
    everything is checked."""
    plan, seed, seg, workers = setup.plan, setup.plan.seed, setup.plan.segment, setup.workers
    seeding = plan.seeding
    rate, dur, chan = plan.dark_rate, plan.duration, plan.channels
    waveform_samples, dtype, block_channels = setup.waveform_samples, setup.dtype, setup.block_channels
    from ._dataset import is_dataset

    engine = plan.spec.engine(plan.parameter_sets, dict(detector.spectra))  # the models' own construction errors
    _check_late_times(plan, engine.max_pe_time)
    if seeding == "sequential":
        engine.seed_sequential(seed)
    if output is not None:
        from ._pes import remove_stale_spills

        remove_stale_spills(output)
    if spill is not None:
        # Next to the output, where there is room for it; else the system's temporary directory.
        spill.spill(block_channels, output)
    # A dataset has a part for every block; a record file needs none of the
    # blocks that cannot give a record.
    blocks = plan.blocks(block_channels, skip_empty=not is_dataset(output))
    if executor is not None or resume or is_dataset(output):
        from . import __version__
        from ._executors import run_blocks

        metadata = {"config": detector.config(), "seed": seed, "seeding": seeding, "velmora_version": __version__,
                    "segment": seg, "dark_rate": rate, "duration": dur}
        if output is not None and not is_dataset(output):
            from ._records import prepare_record_file

            prepare_record_file(Path(output), overwrite)
        return run_blocks(detector, plan, blocks, executor=executor, workers=int(workers), output=output,
                          resume=resume, progress=progress, waveform_samples=waveform_samples,
                          block_channels=int(block_channels), metadata=metadata, overwrite=overwrite)
    cancel = _core.CancelFlag()

    def simulate(block: _Block) -> np.ndarray:
        columns = engine.simulate(**plan.pieces(block), cancel=cancel)
        return _records(columns, dtype, sort=seg is not None)

    writer = None
    if output is not None:
        from . import __version__
        from ._records import prepare_record_file

        prepare_record_file(Path(output), overwrite)

        metadata = {
            "config": detector.config(),
            "seed": seed,
            "seeding": seeding,
            "velmora_version": __version__,
            "segment": seg,
            "dark_rate": rate,
            "duration": dur,
        }
        writer = open_writer(Path(output), model=detector.model, waveform_samples=waveform_samples, metadata=metadata,
                             overwrite=overwrite)

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
        assert output is not None
        return RunSummary(Path(output), rows, len(chan), chan.block_count(block_channels), seed, seeding)
    return np.concatenate(parts) if parts else np.zeros(0, dtype)
