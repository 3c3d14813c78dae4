"""A run planned before anything is simulated: its settings checked, its
channels, PE input, parameter sets, blocks, seeds, segments and metadata
derived, and its peak memory estimated. The run executes this plan, and a
dry run describes the same plan, so the two cannot differ."""

from __future__ import annotations

import copy
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
from typing import TYPE_CHECKING, Any, NotRequired, TypedDict, cast

import numpy as np
import numpy.typing as npt
import pyarrow as pa

from . import _seeding
from ._dataset import is_dataset
from ._detector import check_channel_values
from ._errors import OptionError, OptionMemoryError
from ._executors import check_executor, executor_slots, executor_window
from ._jobs import Engine
from ._links import check_extra_names, check_extra_types, check_integer_labels, label_type, links_schema
from ._models import CHANNEL_OVERRIDE_NAMES, MAX_WAVEFORM_SAMPLES, ModelSpec, spec_of
from ._channels import ChannelSet, parse_channels
from ._options import RunOptions, parse_memory
from ._pes import (MAX_DARK_PES, FilePEs, GroupedPEs, MemoryPEs, PEDigest, PESource, PETable,
                   UnusedPEColumnsWarning, check_dark_noise, iter_pes, pe_table_of, run_channels)
from ._records import EVENT_COLUMN, LABEL_KEY, RECORD_ROW_COLUMN
from . import _version
from .formats import record_format

if TYPE_CHECKING:
    from ._detector import Detector
    from ._executors import BlockExecutor

_PES_PER_BLOCK = 1 << 18
_MAX_BLOCK_CHANNELS = 4096
_EXACT_SEGMENTS = 2.0**53  # segment numbers (and their origins) stay exact below this
NO_PARENT = 255  # the parent kind of a PE that is no afterpulse
# Warnings of planning show at the caller of run(): above the helper that
# warns are prepare, plan_run, run_with and run.
WARN_AT_CALLER = 6


class Pieces(TypedDict):
    """A block's input to the engine's ``simulate``: piece i is channel
    ``channels[i]`` with the times ``times[bounds[i]:bounds[i + 1]]``."""

    channels: npt.NDArray[np.int32]
    bounds: npt.NDArray[np.int64]
    times: npt.NDArray[np.float64]
    models: npt.NDArray[np.int64]
    seeds: npt.NDArray[np.uint32] | None  # None: the sequential generator
    origin_ticks: npt.NDArray[np.uint64]
    origins: npt.NDArray[np.float64]
    origin_steps: npt.NDArray[np.int64]  # the origins in whole ADC steps
    # With provenance only: what each time is and where it came from.
    kinds: NotRequired[npt.NDArray[np.uint8]]
    sources: NotRequired[npt.NDArray[np.int64]]
    # With provenance only: for an afterpulse its parent's kind and source
    # (as ``kinds`` and ``sources`` name a PE), NO_PARENT and -1 for others.
    parent_kinds: NotRequired[npt.NDArray[np.uint8]]
    parent_sources: NotRequired[npt.NDArray[np.int64]]
    # With baseline noise only: the seed words of each piece's noise generator.
    noise_seeds: NotRequired[npt.NDArray[np.uint32]]


@dataclass
class Block:
    channels: np.ndarray  # int64, increasing
    index: int = 0  # its place among the run's blocks


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


def _joined(arrays: list[np.ndarray], dtype: type[np.generic]) -> np.ndarray:
    return np.concatenate(arrays) if arrays else np.zeros(0, dtype)


def _channel_values(detector: Detector, keys: np.ndarray) -> dict[str, np.ndarray]:
    """The per-channel run values (time offset, dark rate, afterpulse
    probability) of the channels ``keys`` (increasing, all overridden), one
    array per value the override table gives."""
    overrides = detector.overrides or {}
    given = {k for values in overrides.values() for k in values if k in CHANNEL_OVERRIDE_NAMES}
    return {name: np.asarray([float(overrides[c][name]) for c in keys.tolist()], np.float64)
            for name in CHANNEL_OVERRIDE_NAMES if name in given}


class BlockInputs:
    """Everything a block needs to make its engine's inputs, fixed before the
    first block runs; :meth:`of_block` cuts out what one block's job carries."""

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
        self.baseline_noise = detector.baseline_noise
        self.afterpulses = detector.afterpulses
        self.delay = None if detector.afterpulses is None else _seeding.PiecewiseLinear(*detector.afterpulses.delay)
        # The overridden channels' own run values, aligned with override_channels.
        self.channel_values = _channel_values(detector, self.override_channels)

    def value_of(self, key: str, channels: np.ndarray, default: float) -> np.ndarray:
        """The per-channel run value ``key`` of each of ``channels``: its
        override, or ``default`` where it has none."""
        values = self.channel_values.get(key)
        keys = self.override_channels
        if values is None or not len(keys):
            return np.full(len(channels), default, np.float64)
        i = np.minimum(np.searchsorted(keys, channels), len(keys) - 1)
        return np.where(keys[i] == channels, values[i], default)

    def dark_rates(self, channels: np.ndarray) -> np.ndarray:
        """The dark rate of each of ``channels``: 0 in a run without dark noise."""
        if self.dark_rate is None or self.duration is None:
            return np.zeros(len(channels), np.float64)
        return self.value_of("dark_rate", channels, self.dark_rate)

    def afterpulse_probabilities(self, channels: np.ndarray) -> np.ndarray:
        if self.afterpulses is None:
            return np.zeros(len(channels), np.float64)
        return self.value_of("afterpulse_probability", channels, self.afterpulses.probability)

    def time_offsets(self, channels: np.ndarray) -> np.ndarray:
        return self.value_of("time_offset", channels, 0.0)

    def values_range(self, key: str, default: float) -> tuple[float, float]:
        """The least and greatest per-channel value ``key`` of the run's
        channels (``default`` stands for the channels without one)."""
        values = self.channel_values.get(key)
        if values is None or not len(values):
            return default, default
        both = values if len(values) == len(self.channels) else np.append(values, default)
        return float(both.min()), float(both.max())

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

    def time_range(self) -> tuple[float, float]:
        """Bounds of every PE time of the run (at most 0.0 and at least
        0.0): the table's and the dark noise's, moved by the least and the
        greatest time offset, the latest also by the longest afterpulse
        delay where a channel has afterpulses."""
        earliest, latest = self.table_time_range()
        if self.duration is not None:
            latest = max(latest, self.duration)
        low, high = self.values_range("time_offset", 0.0)
        if self.afterpulses is not None and self.values_range("afterpulse_probability",
                                                               self.afterpulses.probability)[1] > 0:
            high += float(self.afterpulses.delay[0].max())
        return earliest + low, latest + high

    def pes_digest(self) -> str:
        return self.pes.digest() if self.pes is not None else PEDigest().hexdigest()

    def has_run_dark_noise(self) -> bool:
        """Whether every channel without a dark rate of its own has dark noise."""
        return self.dark_rate is not None and self.duration is not None and self.dark_rate * self.duration > 0

    def has_dark_noise(self) -> bool:
        """Whether any channel has dark noise."""
        return self.has_run_dark_noise() or (self.duration is not None and self.dark_rate is not None
                                             and self.values_range("dark_rate", 0.0)[1] * self.duration > 0)

    def expected_pes(self) -> float:
        """The PEs of the table and of dark noise, and the afterpulses that
        each channel's own probability gives them (at most one per PE)."""
        total = float(self.table_count())
        if self.dark_rate is not None and self.duration is not None:
            own = self.channel_values.get("dark_rate", np.zeros(0))
            total += (self.dark_rate * (len(self.channels) - len(own)) + float(own.sum())) * self.duration
        if self.afterpulses is None:
            return total
        run_probability = self.afterpulses.probability
        after = total * run_probability
        if "afterpulse_probability" in self.channel_values:
            # The channels of a probability of their own, counted again at it.
            keys = self.override_channels
            parents = self.dark_rates(keys) * (self.duration or 0.0)
            if self.pes is not None:
                parents = parents + self.pes.counts_of(keys)
            after += float(parents @ (self.afterpulse_probabilities(keys) - run_probability))
        return total + after

    def _dark_blocks(self, size: int) -> np.ndarray:
        """The blocks holding a channel with a dark rate of its own above zero."""
        rates = self.channel_values.get("dark_rate")
        if rates is None or self.duration is None or self.dark_rate is None:
            return np.zeros(0, np.int64)
        noisy = self.override_channels[rates * self.duration > 0]
        return np.unique(self.channels.rank(noisy) // size) if len(noisy) else np.zeros(0, np.int64)

    def blocks(self, size: int, skip_empty: bool) -> Iterator[Block]:
        """The run's blocks of ``size`` channels, made one at a time. With
        ``skip_empty``, blocks that cannot give a record are left out: with
        independent seeding and no dark noise, those without PEs and without
        a channel of a dark rate of its own."""
        if skip_empty and self.seeding == "independent" and not self.has_run_dark_noise():
            occupied = self.pes.occupied_blocks(size) if self.pes is not None else np.zeros(0, np.int64)
            if "dark_rate" in self.channel_values:
                occupied = np.union1d(occupied, self._dark_blocks(size)).astype(np.int64)
            for i in occupied.tolist():
                yield Block(self.channels.take(i * size, (i + 1) * size), i)
            return
        for i, channels in enumerate(self.channels.blocks(size)):
            yield Block(channels, i)

    def block_pes(self, channels: np.ndarray) -> GroupedPEs:
        if self.pes is None:
            return GroupedPEs.empty()
        return self.pes.block(int(channels[0]), int(channels[-1]))

    def of_block(self, channels: np.ndarray, copy_pes: bool) -> BlockInputs:
        """A copy that holds only the PEs and settings of ``channels``
        (increasing), so that a job carries its own block's input and no
        more; ``copy_pes``: its PEs copied out of the run's (for a job that
        leaves this process), else a view of them."""
        sub = copy.copy(self)
        first, last = int(channels[0]), int(channels[-1])
        if self.pes is not None:
            grouped = self.pes.block(first, last)
            sub.pes = BlockPEs(grouped.copy() if copy_pes else grouped)
        sub.channels = ChannelSet.of(channels)
        keep = (self.override_channels >= first) & (self.override_channels <= last)
        sub.override_channels = self.override_channels[keep]
        sub.override_sets = self.override_sets[keep]
        sub.channel_values = {k: v[keep] for k, v in self.channel_values.items()}
        return sub

    def pieces(self, channels: np.ndarray, provenance: bool = False) -> Pieces:
        """The engine's inputs for a block: one piece per channel, or per
        occupied segment of a channel. A channel without PEs gives no records;
        with independent seeding its piece is left out, with sequential
        seeding it stays, as the one generator still draws for it.

        With ``provenance``, two more arrays are aligned with ``times``:
        ``kinds`` (uint8: 0 a PE of the table, 1 dark noise, 2 an
        afterpulse) and ``sources`` (int64: for a PE of the table its index
        into the times of :meth:`block_pes`, for dark noise its index among
        the channel's dark PEs in draw order, for an afterpulse its index
        among the channel's afterpulses), and ``parent_kinds`` and
        ``parent_sources``: for an afterpulse the kind and source of the PE
        that spawned it (a PE of the table or dark noise), NO_PARENT and -1
        for every other PE."""
        chans, bounds, times_all, origin = self._channel_pes(channels, provenance)
        if self.segment is None:
            keys: list[tuple[int, ...]] = [(c,) for c in chans.tolist()]
            out = self._pieces(chans, bounds, times_all, np.zeros(len(chans), np.uint64),
                               np.zeros(len(chans), np.float64), np.zeros(len(chans), np.int64), keys)
        else:
            out, order = self._segments(chans, bounds, times_all)
            origin = None if origin is None else tuple(a[order] for a in origin)
        if origin is not None:
            out["kinds"], out["sources"], out["parent_kinds"], out["parent_sources"] = origin
        return out

    def _channel_pes(self, channels: np.ndarray, provenance: bool
                     ) -> tuple[np.ndarray, np.ndarray, np.ndarray, tuple[np.ndarray, ...] | None]:
        """The block's pieces before any segment split: their channels, the
        bounds of each one's times, the times channel by channel (each
        channel's PE list, see :meth:`_channel_list`), and with
        ``provenance`` their kinds, sources, parent kinds and parent
        sources."""
        table = self.block_pes(channels)
        block_channels = np.asarray(channels, np.int64)
        first, counts = table.of_channels(block_channels)
        keep_empty = self.seeding != "independent"
        origin: tuple[np.ndarray, ...] | None = None
        rates, probabilities = self.dark_rates(block_channels), self.afterpulse_probabilities(block_channels)
        offsets = self.time_offsets(block_channels)
        if rates.any() or probabilities.any() or offsets.any():
            per_channel = [self._channel_list(c, table.times[f : f + n], f, r, p, o) for c, f, n, r, p, o in
                           zip(block_channels.tolist(), first.tolist(), counts.tolist(), rates.tolist(),
                               probabilities.tolist(), offsets.tolist(), strict=True)]
            counts = np.asarray([len(p[0]) for p in per_channel], np.int64)
            occupied = counts > 0
            if not keep_empty:
                per_channel = [p for p, o in zip(per_channel, occupied.tolist(), strict=True) if o]
            times_all = _joined([p[0] for p in per_channel], np.float64)
            if provenance:
                origin = tuple(_joined([p[i] for p in per_channel], t)
                               for i, t in ((1, np.uint8), (2, np.int64), (3, np.uint8), (4, np.int64)))
        else:
            occupied = counts > 0
            take = np.ones(len(block_channels), bool) if keep_empty else occupied
            n = counts[take]
            # The times of the kept channels, channel by channel.
            index = np.arange(int(n.sum()), dtype=np.int64) + np.repeat(first[take] - (np.cumsum(n) - n), n)
            times_all = table.times[index]
            if provenance:
                origin = (np.zeros(len(index), np.uint8), index, np.full(len(index), NO_PARENT, np.uint8),
                          np.full(len(index), -1, np.int64))
        take = np.ones(len(block_channels), bool) if keep_empty else occupied
        n = counts[take]
        return block_channels[take], np.concatenate([[0], np.cumsum(n)]).astype(np.int64), times_all, origin

    def _channel_list(self, channel: int, times: np.ndarray, first: int, rate: float, probability: float,
                      offset: float) -> tuple[np.ndarray, ...]:
        """One channel's PE list: its PEs of the table (``times``, from
        index ``first`` of the block's), its dark noise in draw order, then
        its afterpulses in the order of their parents, all moved by its time
        offset; with the kind (0 table, 1 dark noise, 2 afterpulse) and the
        source index of each, and for an afterpulse the kind and source of
        its parent (NO_PARENT and -1 for the others)."""
        if rate > 0:
            assert self.duration is not None
            dark = _seeding.dark_noise(self.seed, channel, rate, self.duration)
        else:
            dark = np.zeros(0, np.float64)
        parents = np.concatenate([times, dark])
        after = np.zeros(0, np.float64)
        spawned = np.zeros(0, np.int64)  # each afterpulse's parent, an index into parents
        if self.delay is not None and probability > 0:
            spawned, after = _seeding.afterpulses(self.seed, channel, parents, probability, self.delay)
        pes = np.concatenate([parents, after]) if len(after) else parents
        if offset != 0.0:  # an offset of 0 leaves even the sign of a zero time as it is
            pes = pes + offset
        counts = [len(times), len(dark), len(after)]
        kinds = np.repeat(np.arange(3, dtype=np.uint8), counts)
        sources = np.concatenate([np.arange(first, first + len(times), dtype=np.int64),
                                  np.arange(len(dark), dtype=np.int64), np.arange(len(after), dtype=np.int64)])
        from_table = spawned < len(times)
        parent_kinds = np.concatenate([np.full(len(parents), NO_PARENT, np.uint8),
                                       np.where(from_table, 0, 1).astype(np.uint8)])
        parent_sources = np.concatenate([np.full(len(parents), -1, np.int64),
                                         np.where(from_table, spawned + first, spawned - len(times)).astype(np.int64)])
        return pes, kinds, sources, parent_kinds, parent_sources

    def _segments(self, chans: np.ndarray, bounds: np.ndarray, times_all: np.ndarray) -> tuple[Pieces, np.ndarray]:
        """The pieces of a segmented block, and for each of their times its
        index in ``times_all`` (the channel's times are reordered by segment)."""
        assert self.segment is not None
        # A segment's origin in whole steps of the records' integer time: time-stamp ticks, or TDC steps.
        step = self.spec.stamp_tick if self.spec.count_step is None else float(
            self.parameter_sets[0][self.spec.count_step])
        steps_per_segment = 0 if step is None else round(self.segment / step)
        # ... and in whole ADC steps, which the windows and samples start on.
        adc_per_segment = round(self.segment / float(self.parameter_sets[0][str(self.spec.segment_grids[0][0])]))
        adc_steps: list[int] = []
        seg_chans: list[int] = []
        seg_bounds = [0]
        times: list[np.ndarray] = []
        order_all: list[np.ndarray] = []
        ticks: list[int] = []
        origins: list[float] = []
        keys: list[tuple[int, ...]] = []
        for c, lo, hi in zip(chans.tolist(), bounds[:-1].tolist(), bounds[1:].tolist(), strict=True):
            t = times_all[lo:hi]
            # Segment k holds the times in [k * segment, (k + 1) * segment)
            # (times before 0 belong to segment 0), each counted from its origin.
            k = np.maximum(np.floor(t / self.segment), 0).astype(np.int64) if len(t) else np.zeros(0, np.int64)
            order = np.argsort(k, kind="stable")
            order_all.append(order + lo)
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
                ticks.append(s * steps_per_segment)
                adc_steps.append(s * adc_per_segment)
                origins.append(origin)
                keys.append((c, s))
        pieces = self._pieces(np.asarray(seg_chans, np.int64), np.asarray(seg_bounds, np.int64),
                              _joined(times, np.float64), np.asarray(ticks, np.uint64),
                              np.asarray(origins, np.float64), np.asarray(adc_steps, np.int64), keys)
        return pieces, _joined(order_all, np.int64)

    def _pieces(self, chans: np.ndarray, bounds: np.ndarray, times: np.ndarray, ticks: np.ndarray,
                origins: np.ndarray, adc_steps: np.ndarray, keys: list[tuple[int, ...]]) -> Pieces:
        seeds = None
        if self.seeding == "independent":
            seeds = (np.stack([_seeding.model_seed_state(self.seed, key) for key in keys]) if keys
                     else np.zeros((0, 8), np.uint32))
        out: Pieces = {
            "channels": chans.astype(np.int32),
            "bounds": bounds,
            "times": times,
            "models": self.sets_of(chans),
            "seeds": seeds,
            "origin_ticks": ticks,
            "origins": origins,
            "origin_steps": adc_steps,
        }
        if self.baseline_noise:
            out["noise_seeds"] = (np.stack([_seeding.baseline_noise_seed_state(self.seed, key) for key in keys])
                                  if keys else np.zeros((0, 8), np.uint32))
        return out


class BlockPEs:
    """The PEs of one block, travelling with its job."""

    def __init__(self, grouped: GroupedPEs) -> None:
        self.grouped = grouped
        self.count = len(grouped.times)
        times = grouped.times
        self.earliest, self.latest = (float(times.min()), float(times.max())) if len(times) else (0.0, 0.0)

    def block(self, first: int, last: int) -> GroupedPEs:
        return self.grouped.block(first, last)

    def occupied_blocks(self, size: int) -> np.ndarray:  # pragma: no cover - a job's inputs make no blocks
        raise NotImplementedError

    def counts_of(self, channels: np.ndarray) -> np.ndarray:
        return self.grouped.of_channels(channels)[1]

    def digest(self) -> str:  # pragma: no cover - a job's inputs are never asked for the run's identity
        raise NotImplementedError


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
