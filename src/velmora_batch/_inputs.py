"""A block's inputs to the engine: the run's channels, PE input, parameter
sets, seeds, dark noise, afterpulses and segments, fixed before the first
block runs, from which each block cuts out its own pieces. A job carries the
inputs of its block alone, and a worker makes the engine's input from them."""

from __future__ import annotations

import copy
import json
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NotRequired, TypedDict

import numpy as np
import numpy.typing as npt

from . import _seeding
from ._channels import ChannelSet
from ._models import CHANNEL_OVERRIDE_NAMES, spec_of
from ._pes import GroupedPEs, PEDigest, PESource

if TYPE_CHECKING:
    from ._detector import Detector

NO_PARENT = 255  # the parent kind of a PE that is no afterpulse


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
