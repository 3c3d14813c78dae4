"""Channel selections: channel numbers checked, and sets of channels kept as
ranges, so that a selection of every channel of a large detector costs two
numbers, not one per channel."""

from __future__ import annotations

import hashlib
import re
from collections.abc import Iterable, Iterator
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from ._errors import OptionError

CHANNEL_MAX = 2**31 - 1  # channels are 32-bit signed in the records


def channel_numbers(values: Any, what: str) -> np.ndarray:
    """Channel numbers as int64: integers, or floats without a fraction, each
    in [0, 2**31 - 1]; ValueError naming the first bad value otherwise."""
    array = np.asarray(values)
    if array.dtype == object:
        try:
            array = array.astype(np.float64)
        except (TypeError, ValueError):
            raise ValueError(f"{what} must be integers") from None
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {array.shape}")
    if array.dtype.kind == "f":
        bad = ~np.isfinite(array) | (array != np.trunc(array))
        if bad.any():
            raise ValueError(f"{what} must be integers, got {array[bad][0].item()!r} at row {np.flatnonzero(bad)[0]}")
    elif array.dtype.kind not in "iu" and not (array.dtype.kind == "b" and array.size == 0):
        raise ValueError(f"{what} must be integers, got {array.dtype} values")
    bad = (array < 0) | (array > CHANNEL_MAX)
    if bad.any():
        raise ValueError(f"{what} must lie in [0, {CHANNEL_MAX}], got {array[bad][0]} at row {np.flatnonzero(bad)[0]}")
    return array.astype(np.int64)


class ChannelSet:
    """A channel selection as sorted, disjoint, non-adjacent ranges
    ``[starts[i], stops[i])``: ``0-2147483647`` takes two numbers, not 2**31.
    Blocks of consecutive selected channels are made from it one at a time."""

    __slots__ = ("starts", "stops", "_before")

    def __init__(self, starts: npt.ArrayLike, stops: npt.ArrayLike) -> None:
        a = np.asarray(starts, np.int64).ravel()
        b = np.asarray(stops, np.int64).ravel()
        keep = b > a
        a, b = a[keep], b[keep]
        order = np.argsort(a, kind="stable")
        a, b = a[order], b[order]
        if len(a) > 1:
            # Merge ranges that overlap or touch: a range starts anew only
            # where it begins after the furthest end so far.
            reach = np.maximum.accumulate(b)
            new = np.empty(len(a), bool)
            new[0] = True
            new[1:] = a[1:] > reach[:-1]
            first = np.flatnonzero(new)
            last = np.append(first[1:], len(a)) - 1
            a, b = a[first], reach[last]
        self.starts = a
        self.stops = b
        # Selected channels before each range: the rank of a range's first channel.
        self._before = np.concatenate([[0], np.cumsum(b - a)]).astype(np.int64)

    @classmethod
    def of(cls, channels: npt.ArrayLike) -> ChannelSet:
        """The selection of the channels in an int64 array (any order, repeats allowed)."""
        values = np.unique(np.asarray(channels, np.int64))
        if len(values) == 0:
            return cls(values, values)
        breaks = np.flatnonzero(np.diff(values) != 1) + 1
        first = np.concatenate([[0], breaks])
        last = np.append(breaks, len(values)) - 1
        return cls(values[first], values[last] + 1)

    def __len__(self) -> int:
        return int(self._before[-1])

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, ChannelSet) and np.array_equal(self.starts, other.starts)
                and np.array_equal(self.stops, other.stops))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shown = ",".join(f"{a}" if b == a + 1 else f"{a}-{b - 1}"
                         for a, b in zip(self.starts[:6].tolist(), self.stops[:6].tolist(), strict=True))
        return f"<ChannelSet {len(self)} channels: {shown}{',...' if len(self.starts) > 6 else ''}>"

    @property
    def first(self) -> int:
        return int(self.starts[0])

    @property
    def last(self) -> int:
        return int(self.stops[-1]) - 1

    def contains(self, channels: npt.ArrayLike) -> npt.NDArray[np.bool_]:
        """Whether each of ``channels`` is selected."""
        values = np.asarray(channels, np.int64)
        i = np.searchsorted(self.starts, values, side="right") - 1
        inside = i >= 0
        inside[inside] = values[inside] < self.stops[i[inside]]
        return inside

    def rank(self, channels: npt.ArrayLike) -> npt.NDArray[np.int64]:
        """The position of each of ``channels`` (all selected) in the selection."""
        values = np.asarray(channels, np.int64)
        i = np.searchsorted(self.starts, values, side="right") - 1
        return np.asarray(self._before[i] + (values - self.starts[i]), np.int64)

    def take(self, lo: int, hi: int) -> npt.NDArray[np.int64]:
        """The selected channels of ranks ``lo`` to ``hi - 1``, increasing."""
        hi = min(hi, len(self))
        if lo >= hi:
            return np.zeros(0, np.int64)
        i = int(np.searchsorted(self._before, lo, side="right")) - 1
        j = int(np.searchsorted(self._before, hi, side="left"))
        k = np.arange(i, j)
        a = np.maximum(lo, self._before[k]) - self._before[k] + self.starts[k]
        b = np.minimum(hi, self._before[k + 1]) - self._before[k] + self.starts[k]
        n = b - a
        return np.asarray(np.repeat(a - (np.cumsum(n) - n), n) + np.arange(hi - lo, dtype=np.int64), np.int64)

    def blocks(self, size: int) -> Iterator[npt.NDArray[np.int64]]:
        """The selection in blocks of ``size`` consecutive selected channels
        (the last one shorter), made one at a time."""
        for lo in range(0, len(self), size):
            yield self.take(lo, lo + size)

    def block_count(self, size: int) -> int:
        return -(-len(self) // size)

    def to_array(self) -> npt.NDArray[np.int64]:
        """Every selected channel: for small selections only."""
        return self.take(0, len(self))

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        return self.to_array() if dtype is None else self.to_array().astype(dtype)

    def tolist(self) -> list[int]:
        return cast(list[int], self.to_array().tolist())

    def digest(self) -> str:
        """A digest of the selection (of its ranges)."""
        h = hashlib.sha256(b"channel-ranges|")
        h.update(np.ascontiguousarray(self.starts).tobytes())
        h.update(b"|")
        h.update(np.ascontiguousarray(self.stops).tobytes())
        return h.hexdigest()


# ASCII digits only: \d would take other scripts' digits, which int() reads.
_RANGE = re.compile(r"^\s*([0-9]+)\s*(?:-\s*([0-9]+)\s*)?$", re.ASCII)


def parse_channels(channels: str | Iterable[int] | npt.ArrayLike | ChannelSet) -> ChannelSet:
    """A channel selection as a ``ChannelSet``. Takes a ``range``, any
    integer sequence or array, or text such as ``0-1999`` or ``0-9,20,30-39``
    (ranges include both ends); text and ranges of step 1 stay ranges, however
    many channels they span. An empty selection, bad channel numbers and
    ranges that end before they start are errors."""
    if isinstance(channels, ChannelSet):
        selection = channels
    elif isinstance(channels, str):
        starts: list[int] = []
        stops: list[int] = []
        for item in channels.split(","):
            m = _RANGE.match(item)
            if not m:
                raise OptionError("channels", "{channels} {text!r}: {item!r} is not a channel or a range like 0-1999",
                                  text=channels, item=item.strip())
            first = int(m.group(1))
            last = int(m.group(2)) if m.group(2) is not None else first
            if last < first:
                raise OptionError("channels", "{channels} {text!r}: the range {item} ends before it starts",
                                  text=channels, item=item.strip())
            if last > CHANNEL_MAX:
                raise OptionError("channels", "{channels} {text!r}: {last} is above {most}", text=channels,
                                  last=last, most=CHANNEL_MAX)
            starts.append(first)
            stops.append(last + 1)
        selection = ChannelSet(starts, stops)
    elif isinstance(channels, range):
        if channels.start < 0 or (len(channels) and max(channels[0], channels[-1]) > CHANNEL_MAX):
            raise OptionError("channels", "{channels} must lie in [0, {most}], got {value}", most=CHANNEL_MAX,
                              value=channels)
        if channels.step == 1 or len(channels) <= 1:
            selection = ChannelSet([channels.start], [channels.start + len(channels)])
        else:
            selection = ChannelSet.of(channel_numbers(np.arange(channels.start, channels.stop, channels.step), "channels"))
    else:
        # Anything else must be iterable: list() raises TypeError otherwise.
        values = channels if hasattr(channels, "__array__") else list(cast(Iterable[int], channels))
        selection = ChannelSet.of(channel_numbers(values, "channels"))
    if len(selection) == 0:
        raise ValueError("the channel selection is empty")
    return selection
