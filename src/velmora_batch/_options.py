"""A run's options as one value: what ``run`` takes besides the detector and
its PEs, checked on their own (each option's form, and the options that
exclude each other) once, when the value is made. What an option means for
a given detector and input is checked when the run is planned."""

from __future__ import annotations

import math
import numbers
import os
from collections.abc import Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from ._errors import OptionError
from ._links import truth_mode
from ._order import check_order

if TYPE_CHECKING:
    from ._executors import BlockExecutor
    from ._channels import ChannelSet


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
        if math.isfinite(number) and number > 0:
            return int(number * scale)
    elif not isinstance(value, bool) and isinstance(value, numbers.Integral) and value > 0:
        return int(value)
    raise OptionError("max_memory", "{max_memory} must be a number of bytes (e.g. 8G), 'auto' or 'none', got "
                      "{value!r}", value=value)


def _whole_number(name: str, value: Any) -> None:
    if value is not None and (isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1):
        raise OptionError(name, "{%s} must be a whole number of at least 1, got {value!r}" % name, value=value)


@dataclass(frozen=True, eq=False)
class RunOptions:
    """The options of a run, as ``run`` takes them by keyword (see there for
    each one's meaning). Made once, checked once: a value that exists holds
    options that each make sense and go together; ``max_memory`` holds the
    bound as :func:`parse_memory` reads it."""

    seed: int | None = None
    workers: int | None = None
    output: str | os.PathLike[str] | None = None
    dark_rate: float | None = None
    duration: float | None = None
    channels: str | Iterable[int] | np.ndarray | ChannelSet | None = None
    seeding: str = "independent"
    segment: float | None = None
    block_channels: int | None = None
    progress: bool = False
    executor: BlockExecutor | None = None
    resume: bool = False
    max_memory: int | str | None = "auto"
    overwrite: bool = False
    pes_key: str | None = None
    truth: bool | str = False
    order: str = "channel"
    label: str | None = None

    def __post_init__(self) -> None:
        if self.resume and self.overwrite:
            raise OptionError("resume", "{resume} continues the run in the output, {overwrite} replaces it: give "
                              "one of them, not both")
        object.__setattr__(self, "max_memory", parse_memory(self.max_memory))
        _whole_number("workers", self.workers)
        _whole_number("block_channels", self.block_channels)
        check_order(self.order)
        truth_mode(self.truth)

    @property
    def truth_mode(self) -> str | None:
        """The truth the run records: None, ``"columns"`` or ``"links"``; a
        label goes with the truth columns it is made along with."""
        mode = truth_mode(self.truth)
        return "columns" if mode is None and self.label is not None else mode
