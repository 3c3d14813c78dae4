"""A run planned before anything is simulated: its settings checked, its
channels, PE input, parameter sets, blocks, seeds, segments and metadata
derived, and its peak memory estimated. The run executes this plan, and a
dry run describes the same plan, so the two cannot differ."""

from __future__ import annotations

import json
import math
import numbers
import os
import resource
import uuid
import warnings
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import pyarrow as pa

from . import _seeding
from ._dataset import is_dataset
from ._detector import check_channel_values
from ._errors import OptionError, OptionMemoryError
from ._executors import check_executor, executor_slots, executor_window
from ._inputs import Block, BlockInputs
from ._links import check_extra_names, check_extra_types, check_integer_labels, label_type, links_schema
from ._models import MAX_WAVEFORM_SAMPLES, Engine, ModelSpec, spec_of
from ._channels import ChannelSet, parse_channels
from ._options import RunOptions, parse_memory
from ._pes import (MAX_DARK_PES, FilePEs, MemoryPEs, PESource, PETable, UnusedPEColumnsWarning, check_dark_noise,
                   iter_pes, pe_table_of, run_channels)
from ._records import EVENT_COLUMN, LABEL_KEY, RECORD_ROW_COLUMN
from . import _version
from .formats import record_format

if TYPE_CHECKING:
    from ._detector import Detector
    from ._executors import BlockExecutor

_PES_PER_BLOCK = 1 << 18
_MAX_BLOCK_CHANNELS = 4096
_EXACT_SEGMENTS = 2.0**53  # segment numbers (and their origins) stay exact below this
# Warnings of planning show at the caller of run(): above the helper that
# warns are prepare, plan_run, run_with and run.
WARN_AT_CALLER = 6


def _positive_float(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    v = float(value)
    if not math.isfinite(v) or v <= 0:
        raise OptionError(name, "{%s} must be finite and positive, got {value!r}" % name, value=value)
    return v


def _whole_steps(segment: float, step: float, what: str) -> None:
    # Exactly, in the decimal values as written (repr gives the shortest
    # decimal that reads back as the same double): 1e-6 s is 250 ticks of
    # 4e-9 s although neither is exact in binary, and 10.000000002 s is not a
    # whole number of ticks however close it comes.
    steps = Fraction(repr(segment)) / Fraction(repr(step))
    if steps.denominator != 1 or steps < 1:
        raise OptionError("segment", "{segment} must be a whole number of {what} ({step!r} s), got {value!r} s "
                          "({steps!r} steps)", what=what, step=step, value=segment, steps=float(steps))


def _check_segment(detector: Detector, segment: Any) -> float:
    seg = _positive_float("segment", segment)
    for grid, what in spec_of(detector.model).segment_grids:
        _whole_steps(seg, grid if isinstance(grid, float) else float(cast(float, detector.params[grid])), what)
    return seg


def check_late_times(plan: BlockInputs, limit: float) -> None:
    """Refuses, before anything runs, PE times that the run cannot place:
    beyond the models' late-time limit without segments; with segments, a
    segment longer than the limit, times before 0 beyond it (they are
    simulated in the first segment, from time origin 0), ZozuvUza times past
    the time stamp's 32-bit seconds counter, and segment numbers too large to
    be exact in floating point."""
    if plan.segment is not None and plan.segment > limit:
        raise OptionError("segment", "{segment} {value!r} s is longer than this detector's late-time limit of "
                          "{limit!r} s; choose a shorter segment", value=plan.segment, limit=limit)
    earliest, latest = plan.time_range()
    if plan.segment is None:
        reach = earliest if -earliest > latest else latest
        if abs(reach) > limit:
            raise OptionError("segment", "PE times reach {reach!r} s, beyond this detector's late-time limit of "
                              "{limit!r} s: split the run into segments with {segment.given} (seconds), each "
                              "simulated from its own time origin", reach=reach, limit=limit)
        return
    if earliest < -limit:
        raise OptionError("segment", "PE times reach {earliest!r} s; times before 0 are simulated in the first "
                          "segment, from time origin 0, and must not lie beyond this detector's late-time limit of "
                          "-{limit!r} s", earliest=earliest, limit=limit)
    counter = plan.spec.stamp_seconds
    if counter is not None and latest >= counter:
        raise ValueError(f"PE times reach {latest!r} s, beyond the {counter} s that the 32-bit seconds "
                         f"counter of a {plan.model} time stamp holds")
    if latest / plan.segment >= _EXACT_SEGMENTS:
        raise OptionError("segment", "PE times reach {latest!r} s, which is 2^53 segments of {value!r} s or more: "
                          "choose a longer segment", latest=latest, value=plan.segment)


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
class RunPlan:
    """A run as planned before anything is simulated: what ``run`` executes
    and what a dry run describes."""

    detector: Detector
    inputs: BlockInputs
    workers: int
    block_channels: int
    blocks: int
    waveform_samples: int
    dtype: np.dtype
    window: int  # blocks submitted or finished and not yet written, at most
    output: Path | None
    base_bytes: int  # this process's resident size before planning
    executor: BlockExecutor | None
    metadata: dict[str, Any]  # the run's description, stored with its records
    engine: Engine  # the run's models, built (and their own limits checked) while planning
    truth: str | None = None  # None, "columns" (the truth columns) or "links" (and the links)
    links_schema: Any = None  # with links or a label: the columns of the run's links (a pyarrow Schema)
    to_dataset: bool = False  # the output names a dataset directory (told from the name as given)
    label: tuple[str, str] | None = None  # the label column of the records (name, type), if any

    @property
    def in_flight(self) -> int:
        """Blocks of records in memory at once, at most."""
        return min(self.blocks, self.window)

    @property
    def dataset(self) -> bool:
        return self.to_dataset

    def block_list(self) -> Iterator[Block]:
        """The blocks to run, made one at a time: a dataset has a part for
        every block, a record file or array needs none of those that cannot
        give a record."""
        return self.inputs.blocks(self.block_channels, skip_empty=not self.dataset)


def identity(plan: BlockInputs, config: dict[str, Any], *, waveform_samples: int, block_channels: int,
             version: str, truth: str | None = None, label: dict[str, str] | None = None) -> dict[str, Any]:
    """The run's description that a resumed run must match: the detector,
    seed, seeding, noise, segments, channel selection, PE input (by digest)
    and blocks, and the truth and label it records where it records any."""
    ch = plan.channels
    ident = {
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
    if truth is not None:
        ident["truth"] = truth
    if label is not None:
        ident["label"] = label
    # As it reads back from the manifest (lists, not tuples), so that the two compare equal.
    result: dict[str, Any] = json.loads(json.dumps(ident))
    return result


def run_identity(plan: RunPlan) -> dict[str, Any]:
    """The :func:`identity` of a planned run into a dataset directory."""
    return identity(plan.inputs, plan.metadata["config"], waveform_samples=plan.waveform_samples,
                    block_channels=plan.block_channels, version=plan.metadata["velmora_version"], truth=plan.truth,
                    label=plan.metadata.get("label"))


def _pe_input(pes: PETable | str | os.PathLike[str] | Any | None, dark_rate: float | None, duration: float | None,
              channels: str | Iterable[int] | np.ndarray | ChannelSet | None,
              pes_key: str | None = None, rows: bool = False,
              counted: np.ndarray | None = None) -> tuple[PESource | None, ChannelSet]:
    """The run's PE input and its channel selection; ``rows``: with each
    PE's input row and the table's other columns, for links. A file is read
    in pieces: a first pass here checks it and takes the selected PEs'
    count, times and digest, and the count of each of the channels
    ``counted`` (increasing)."""
    if pes is not None and not hasattr(pes, "grouped") and isinstance(pes, str | os.PathLike):
        check_dark_noise(dark_rate, duration)
        file = FilePEs(pes, None if channels is None else parse_channels(channels), pes_key, rows, counted)
        if len(file.selection) == 0:
            raise ValueError("the PE table is empty and no channels are selected")
        return file, file.selection
    if pes_key is not None:
        raise OptionError("pes_key", "{pes_key} names a tree or table of a PE file (ROOT or HDF5); the PEs given are "
                          "not a file")
    table = cast("PETable | None", pes) if pes is None or hasattr(pes, "grouped") else pe_table_of(pes, rows)
    chan = run_channels(table, dark_rate, duration, channels)
    return (None if table is None else MemoryPEs(table, chan, rows)), chan


def _extras_schema(source: PESource | None) -> Any:
    if isinstance(source, FilePEs):
        return source.extras_schema
    extras = source.grouped.extras if isinstance(source, MemoryPEs) else None
    return None if extras is None else extras.schema


def _extra_columns(source: PESource | None, truth: str | None, label: str | None = None) -> Any:
    """The other columns of the PE input: with links, checked to pass into
    them and their schema given; with a label only, the label's column (the
    links that label the records carry it); otherwise named in a warning,
    as nothing takes them."""
    names: tuple[str, ...] = getattr(source, "extra_names", ())
    if truth != "links":
        unused = tuple(n for n in names if n != label)
        if unused:
            warnings.warn(f"the PE table's column{'s' if len(unused) > 1 else ''} {', '.join(unused)} "
                          f"{'are' if len(unused) > 1 else 'is'} not used by this run; truth='links' (--truth links) "
                          "passes them into the link of each record to its PEs", UnusedPEColumnsWarning,
                          stacklevel=WARN_AT_CALLER)
        if label is None:
            return None
        check_extra_names((label,))
        return pa.schema([_extras_schema(source).field(label)])
    check_extra_names(names)
    return _extras_schema(source)


def _label(label: str | None, source: PESource | None, spec: ModelSpec) -> tuple[str, str] | None:
    """The label column (name, type) of the run's records, checked against
    the PE input's other columns and the record columns; None without."""
    if label is None:
        return None
    if source is None:
        raise OptionError("label", "{label.given}{value!r}: a label is the value of a column of the PE table, and "
                          "this run has none (dark noise only)", value=label)
    taken = (*(spec.record_dtype(truth=True).names or ()), EVENT_COLUMN[0], RECORD_ROW_COLUMN[0])
    kind = label_type(label, getattr(source, "extra_names", ()), _extras_schema(source), taken)
    extras = source.grouped.extras if isinstance(source, MemoryPEs) else None
    if kind == "int64" and extras is not None:
        check_integer_labels(extras.column(label), label)
    elif kind == "int64" and isinstance(source, FilePEs):
        # A pass over the file's column now, so that neither a dry run nor
        # a run with blocks already written learns of a bad value late.
        for table in iter_pes(source.path, source.key, extras=True):
            if table.extras is not None:
                check_integer_labels(table.extras.column(label), label)
    return label, kind


# What names a run's PE input in the description stored with its records,
# beside the digest of its PEs.
PE_INPUT_KEYS = ("pes_input", "pes_key")


def pe_input_description(source: PESource | None) -> dict[str, Any]:
    """The name of a run's PE input: a file's absolute path (and the tree or
    table read from it), "memory table" or "none"."""
    if source is None:
        return {"pes_input": "none"}
    if isinstance(source, FilePEs):
        described: dict[str, Any] = {"pes_input": os.path.abspath(source.path)}
        if source.key is not None:
            described["pes_key"] = source.key
        return described
    return {"pes_input": "memory table"}


def _warn_unused_overrides(detector: Detector, chan: ChannelSet) -> None:
    if not detector.overrides:
        return
    keys = np.fromiter(detector.overrides, np.int64, len(detector.overrides))
    unused = np.sort(keys[~chan.contains(keys)]).tolist()
    if unused:
        shown = ", ".join(map(str, unused[:5])) + (f" and {len(unused) - 5} more" if len(unused) > 5 else "")
        warnings.warn(f"the detector has overrides for {len(unused)} channel{'s' if len(unused) > 1 else ''} "
                      f"outside this run ({shown}); they have no effect", UserWarning, stacklevel=WARN_AT_CALLER)


def _check_channel_values(detector: Detector, inputs: BlockInputs) -> None:
    """Refuses per-channel run values that make no sense, and a channel's
    dark rate that gives more dark PEs than a run holds; warns of dark rates
    of channels in a run without dark noise, which have no effect."""
    check_channel_values(detector.overrides, detector.afterpulses)
    low, high = inputs.values_range("dark_rate", 0.0)
    if high <= 0:
        return
    if inputs.duration is None:
        warnings.warn("the detector gives channels a dark rate of their own, but this run has no dark noise "
                      "(give dark_rate and duration); the channels' dark rates have no effect", UserWarning,
                      stacklevel=WARN_AT_CALLER)
    elif high * inputs.duration > MAX_DARK_PES:
        raise ValueError(f"a channel's dark rate of {high!r} Hz over a duration of {inputs.duration!r} s gives "
                         f"{high * inputs.duration:.3g} expected dark PEs, more than the {MAX_DARK_PES:.0e} a run "
                         "can hold; the rate is in Hz (PEs per second), the duration in seconds")


def _waveform_samples(spec: ModelSpec, detector: Detector) -> int:
    samples = spec.waveform_samples(detector.params)
    if samples > MAX_WAVEFORM_SAMPLES:
        raise ValueError(f"waveform_samples must be at most {MAX_WAVEFORM_SAMPLES} ADC samples per readout "
                         f"window, got {samples}")
    return samples


def _window(executor: object, workers: int) -> int:
    """Blocks a run holds at once, submitted or finished and not yet written:
    workers + 1 on the run's own threads, more on an executor."""
    if executor is None:
        return workers + 1
    check_executor(executor)
    return executor_window(executor_slots(cast("BlockExecutor", executor), workers))


def prepare(detector: Detector, pes: PETable | str | os.PathLike[str] | Any | None, options: RunOptions) -> RunPlan:
    """Checks a run's options for this detector and PE input, and plans it:
    seed, channels, PE input, parameter sets, blocks, workers, its window of
    blocks and metadata; with truth (``options.truth_mode``) the truth
    columns and, with links, its links; with a label, the PE table's column
    whose value labels each record (made from links made and dropped block
    by block)."""
    base_bytes = _resident_bytes()
    mode, label, output = options.truth_mode, options.label, options.output
    seeding, dark_rate, duration = options.seeding, options.dark_rate, options.duration
    seed = _seeding.resolve_seed(detector.seed if options.seed is None else options.seed, seeding)
    # With afterpulse probabilities of their own, the overridden channels' PEs are counted for the run's estimate.
    overrides = detector.overrides or {}
    own = any("afterpulse_probability" in v for v in overrides.values())
    counted = np.asarray(sorted(overrides) if own else [], np.int64)
    source, chan = _pe_input(pes, dark_rate, duration, options.channels, options.pes_key,
                             rows=mode == "links" or label is not None, counted=counted)
    labelled = _label(label, source, spec_of(detector.model))
    extras = _extra_columns(source, mode, label)
    if output is not None:  # links in memory take any column as it is
        check_extra_types(extras)
    _warn_unused_overrides(detector, chan)
    rate = None if dark_rate is None else float(dark_rate)
    dur = None if duration is None else float(duration)
    seg = None if options.segment is None else _check_segment(detector, options.segment)
    n_workers = default_workers() if options.workers is None else int(options.workers)
    if seeding == "sequential":
        n_workers = 1  # one generator through the channels in order
    spec = spec_of(detector.model)
    waveform_samples = _waveform_samples(spec, detector)
    inputs = BlockInputs(detector, source, seed, seeding, chan, rate, dur, seg)
    _check_channel_values(detector, inputs)
    # The models' own errors and the late-time limits, refused here so that a dry run refuses what the run does.
    engine = spec.engine(inputs.parameter_sets, dict(detector.spectra))
    check_late_times(inputs, engine.max_pe_time)
    size = (_default_block_channels(inputs.expected_pes(), len(chan)) if options.block_channels is None
            else int(options.block_channels))
    metadata: dict[str, Any] = {"config": detector.config(), "seed": seed, "seeding": seeding,
                                "velmora_version": _version.__version__, "segment": seg, "dark_rate": rate,
                                "duration": dur, **pe_input_description(source)}
    if output is not None:  # what the records are stored with: the digest of the PEs they were made from
        metadata["pes_sha256"] = inputs.pes_digest()
    if mode is not None:
        # A record file's links name it by this id: links beside it of another run are refused.
        metadata.update(truth=mode, **({"links_id": uuid.uuid4().hex} if mode == "links" else {}))
    if labelled is not None:
        metadata[LABEL_KEY] = {"column": labelled[0], "type": labelled[1]}
    dtype = spec.record_dtype(waveform_samples, mode is not None, labelled)
    return RunPlan(detector, inputs, n_workers, size, chan.block_count(size), waveform_samples, dtype,
                   _window(options.executor, n_workers), None if output is None else Path(output), base_bytes,
                   options.executor, metadata, engine, mode,
                   links_schema(extras) if mode == "links" or labelled else None, is_dataset(output), labelled)


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
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


# What links add, measured with ru_maxrss on 10^6 PEs of flashes over 2,000
# ZozuvUza channels with two other columns (an integer and a short string) in
# a table in memory, written to Parquet (144 MiB beside the run with the truth
# columns only; this estimate gives 155): per link (one per contributing PE)
# its columns, the block's working arrays that make them and their way into
# the links file, besides its share of the other columns; per PE of a table in
# memory its input row, in table order and grouped, and its grouped other
# columns.
BYTES_PER_LINK = 160
BYTES_PER_LINKED_TABLE_PE = 16


def _links_bytes(setup: RunPlan, per_block: float) -> float:
    """Memory a run's links take at its peak: the input rows and other
    columns of a PE table in memory, and the links of the blocks in flight
    (all of them where the run returns its records)."""
    if setup.truth != "links" and setup.label is None:
        return 0.0
    plan = setup.inputs
    extras = plan.pes.grouped.extras if isinstance(plan.pes, MemoryPEs) else None
    table = BYTES_PER_LINKED_TABLE_PE * plan.table_count() + (0 if extras is None else extras.nbytes)
    if extras is not None:
        per_row = extras.nbytes / max(extras.num_rows, 1)
    else:  # a file's other columns, at eight bytes each
        per_row = 8.0 * len(getattr(plan.pes, "extra_names", ()))
    # A run that only labels its records drops each block's links once its labels are made.
    kept = setup.output is None and setup.truth == "links"
    held = plan.expected_pes() if kept else setup.in_flight * per_block
    return (table if isinstance(plan.pes, MemoryPEs) else 0.0) + held * (BYTES_PER_LINK + per_row)


def estimate_peak(setup: RunPlan) -> int:
    """An estimate of the run's peak resident size, in bytes: this process as
    it stood before planning, the grouped copy of a PE table in memory, the
    blocks in flight, the model's working memory and the Parquet writer, or
    the passes over a PE file where they take more; with links, what they
    take besides."""
    plan = setup.inputs
    per_block = plan.expected_pes() / max(setup.blocks, 1)
    table = BYTES_PER_TABLE_PE * plan.table_count() if isinstance(plan.pes, MemoryPEs) else 0
    held = setup.output is not None and (found := record_format(setup.output)) is not None and found.whole
    parquet = not held  # a writer that holds the records takes what they take, not a Parquet writer's buffers
    peak = (setup.base_bytes + table + (PARQUET_BYTES if parquet else 0) + plan.spec.model_bytes
            + setup.in_flight * per_block * plan.spec.bytes_per_pe + _links_bytes(setup, per_block))
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


def check_memory(setup: RunPlan, max_memory: int | str | None) -> None:
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
        where = "{max_memory}"
    if peak > limit:
        raise OptionMemoryError("max_memory", "this run needs about {peak:.3g} GiB at its peak (estimate), more than "
                                + where + " ({limit:.3g} GiB): run fewer channels or shorter segments, lower the "
                                "number of workers or {block_channels}, or allow it explicitly ({max_memory.none})",
                                peak=peak / 2**30, limit=limit / 2**30)
