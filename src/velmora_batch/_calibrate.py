"""Delay calibration of a detector: the walk curve of its records, measured
on light flashes of a known number of PEs.

A flash is ``npe`` PEs at one instant, the flash time, on one channel. Every
event is a channel of its own (channels 0 to ``events - 1``) simulated with
independent seeding, so the events share no pulse, trigger or random draw,
and the run's thread pool simulates them side by side. All PEs of a flash
arrive at the same instant, as a laser or LED pulse much shorter than the
PMT's transit-time spread would deliver them; the spread of the records comes
from the PMT's time spectrum, its amplitudes and the electronics.

The flashes lie far enough from time 0 that no readout window of their
records can start before 0 (where the early-window policy would drop or move
it), and on whole numbers of PMT steps, ADC steps and time-stamp ticks (or
TDC steps), so that the ADC samples each flash with the phases it would have
at time 0, and a ZozuvUza delay is an exact difference of whole nanoseconds.
The events' flashes are spread over many such grid points (see
``FLASH_POSITIONS``).
"""

from __future__ import annotations

import copy
import math
import numbers
import os
import tempfile
from collections.abc import Iterable
from fractions import Fraction
from pathlib import Path
from typing import Any, cast

import numpy as np
import numpy.typing as npt
import pyarrow as pa

from ._detector import Detector
from ._errors import OptionError
from ._models import ModelSpec, spec_of
from ._pes import PETable
from ._plan import default_workers
from ._publish import publish
from ._records import check_output
from ._run import run
from .formats import table_format, table_suffixes_text

__all__ = ["CALIBRATION_DTYPE", "DEFAULT_NPE", "calibrate", "event_delays", "flash_times", "format_table", "plot_walk",
           "write_table"]

DEFAULT_NPE = (1, 2, 5, 10, 20, 50, 100)

# One row per flash size. Delays are record time minus flash time, in
# nanoseconds, over the events with at least one record (each event's
# earliest record); NaN where no event made one.
CALIBRATION_DTYPE = np.dtype([
    ("npe", np.int64),  # PEs per flash
    ("events", np.int64),  # flashes simulated
    ("one_record", np.int64),  # events with exactly one record
    ("any_record", np.int64),  # events with at least one record
    ("efficiency_one", np.float64),  # one_record / events
    ("efficiency_any", np.float64),  # any_record / events
    ("mean_delay_ns", np.float64),
    ("rms_delay_ns", np.float64),  # standard deviation about the mean
    ("q16_delay_ns", np.float64),  # 16 %, 50 % and 84 % quantiles
    ("q50_delay_ns", np.float64),
    ("q84_delay_ns", np.float64),
])

_MAX_CHANNELS = 2**31  # events are channels 0 .. events - 1
_MAX_ROW_PES = 10**9  # PEs of all flashes of one row, held in memory at once

# Flashes are spread over this many points of their grid. A ZozuvUza time
# stamp truncates the window start to whole 4 ns ticks in floating point, so
# that some starts on an exact tick come out one tick low, and which ones
# depends on the absolute time: a single flash time would give its own
# pattern of them, spread flashes the average over many.
FLASH_POSITIONS = 1000
_MAX_GRID = 1e-4  # a common grid coarser than this is given up for a finer one (s)


def _step_fraction(value: float) -> Fraction:
    # The decimal value as written (repr gives the shortest decimal that reads
    # back as the same double): 4e-9 s is 40 steps of 1e-10 s, exactly.
    return Fraction(repr(float(value)))


def _common_multiple(steps: Iterable[float]) -> Fraction:
    """The least common multiple of time steps, in their decimal values."""
    out = Fraction(0)
    for step in map(_step_fraction, steps):
        if out == 0:
            out = step
        else:
            # lcm(a/b, c/d) = lcm(a d, c b) / (b d)
            out = Fraction(math.lcm(out.numerator * step.denominator, step.numerator * out.denominator),
                           out.denominator * step.denominator)
    return out


def _grid(detector: Detector, spec: ModelSpec) -> Fraction:
    """The grid the flash is placed on: the least common multiple of the PMT
    step and of the grids a segment must fit (ADC steps, time-stamp ticks or
    TDC steps); where that is coarser than 100 us (steps of no simple
    ratio), of fewer of them, down to the ADC step alone."""
    grids = [float(cast(float, detector.params[g])) if isinstance(g, str) else g for g, _ in spec.segment_grids]
    # Every step of the model (the PMT step among them) with the grids, then the grids alone, then the ADC step.
    steps_of_model = [float(cast(float, detector.params[p.name])) for p in spec.parameters if p.plausible == "step"]
    for steps in ([*steps_of_model, *grids], grids, grids[:1]):
        grid = _common_multiple(steps)
        if grid <= _MAX_GRID:
            return grid
    return grid


def _reach(detector: Detector, spec: ModelSpec) -> float:
    """How far from its PEs a record can start, in seconds, bounded
    generously from the detector's settings: the time spectrum's largest
    offset, every pulse shape's length, every setting counted in ADC steps or
    samples (trigger offset, window length, retrigger distance) and every
    trigger kernel tap as one ADC step each, ten times every time setting
    (delays, dead times, jitters) and two ADC steps for the ADC's phase and
    grid.

    A window opens at its trigger plus the trigger offset, and a trigger
    comes no earlier than the first ADC sample of its pulse, which lies at
    most one ADC step before the earliest PE arrival (flash time plus the
    smallest offset of the time spectrum): so no window of a flash at this
    distance from 0 or more starts before 0."""
    params = detector.params
    adc = float(cast(float, params[cast(str, spec.segment_grids[0][0])]))
    times = next(p.name for p in spec.parameters if p.kind == "file" and p.plausible == "time")
    reach = float(np.abs(detector.spectra[times][0]).max()) + 2 * adc
    for p in spec.parameters:
        value = params.get(p.name)
        if p.kind == "file" and p.grid is not None:
            reach += len(detector.spectra[p.name][1]) * float(cast(float, params[p.grid]))
        elif p.kind == "int" and p.unit.startswith("ADC"):
            reach += abs(cast(int, value)) * adc
        elif p.kind == "int_list":
            reach += len(cast(list[int], value)) * adc
        elif p.kind == "float" and p.plausible == "time":
            reach += 10 * abs(cast(float, value))
    return reach


def _flash_grid(detector: Detector) -> tuple[Fraction, Fraction]:
    """The first flash time and the grid of the others, exactly."""
    spec = spec_of(detector.model)
    grid = _grid(detector, spec)
    return grid * max(1, math.ceil(Fraction(2 * _reach(detector, spec)) / grid)), grid


def _positions(events: int) -> npt.NDArray[np.int64]:
    return np.arange(events, dtype=np.int64) % FLASH_POSITIONS


def flash_times(detector: Detector, events: int) -> npt.NDArray[np.float64]:
    """The flash time of each event of :func:`calibrate`, in seconds: event
    ``e`` at ``first + (e % FLASH_POSITIONS) * grid``, where the grid is
    common to the detector's PMT steps, ADC steps and time-stamp ticks (or
    TDC steps), and ``first`` is its first point at least twice the farthest
    reach of a record from its PEs after time 0."""
    first, grid = _flash_grid(detector)
    events = _whole_number("events", events, 1, _MAX_CHANNELS)
    exact = np.array([float(first + k * grid) for k in range(min(events, FLASH_POSITIONS))])
    return exact[_positions(events)]


def _whole_number(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a whole number, got {value!r} ({type(value).__name__})")
    number = int(value)
    if not low <= number <= high:
        raise OptionError(name, "{%s} must lie in [{low}, {high}], got {value}" % name, low=low, high=high,
                          value=number)
    return number


def _check_npe(npe: object) -> list[int]:
    if not isinstance(npe, Iterable) or isinstance(npe, str | bytes):
        raise TypeError(f"npe must be a list of whole numbers, got {npe!r}")
    values = [_whole_number("npe", n, 1, _MAX_ROW_PES) for n in npe]
    if not values:
        raise ValueError("npe must hold at least one number of PEs")
    return values


def _delays_ns(records: np.ndarray, detector: Detector, events: int) -> npt.NDArray[np.float64]:
    """Each record's time minus the flash time of its event (its channel), in
    nanoseconds. A time stamp in whole nanoseconds gives an exact difference
    of integers where the flashes lie on whole nanoseconds, as they do on a
    grid that holds the time-stamp ticks."""
    spec = spec_of(detector.model)
    channels = records["channel"].astype(np.int64)
    times = records[spec.time_column]
    first, grid = _flash_grid(detector)
    first_ns, grid_ns = first * 10**9, grid * 10**9
    if spec.stamp_tick is not None and first_ns.denominator == 1 and grid_ns.denominator == 1:
        # The time column counts nanoseconds.
        flash_ns = first_ns.numerator + _positions(events) * grid_ns.numerator
        return (times - flash_ns[channels]).astype(np.float64)
    flash = flash_times(detector, events)[channels]
    if spec.stamp_tick is not None:
        return times.astype(np.float64) - flash * 1e9
    return (times - flash) * 1e9


def event_delays(records: np.ndarray, detector: Detector,
                 events: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Per event (channel) of a calibration run: its number of records and
    the delay of its earliest record in nanoseconds (NaN without records)."""
    channels = records["channel"].astype(np.int64)
    counts = np.bincount(channels, minlength=events).astype(np.int64)
    first = np.full(events, np.nan)
    if len(records):
        delays = _delays_ns(records, detector, events)
        order = np.lexsort((delays, channels))
        seen, start = np.unique(channels[order], return_index=True)
        first[seen] = delays[order][start]
    return counts, first


def _row(n: int, counts: npt.NDArray[np.int64], first: npt.NDArray[np.float64]) -> tuple[Any, ...]:
    events = len(counts)
    one, any_ = int((counts == 1).sum()), int((counts > 0).sum())
    delays = first[counts > 0]
    if len(delays):
        q16, q50, q84 = np.quantile(delays, [0.16, 0.5, 0.84])
        stats = (float(delays.mean()), float(delays.std()), float(q16), float(q50), float(q84))
    else:
        stats = (math.nan,) * 5
    return (n, events, one, any_, one / events, any_ / events, *stats)


def calibrate(
    detector: Detector,
    npe: Iterable[int] = DEFAULT_NPE,
    events: int = 1000,
    *,
    seed: int | None = None,
    workers: int | None = None,
) -> np.ndarray:
    """Measures the delay of the detector's records after light flashes of
    ``npe`` PEs each: the walk curve of its trigger or discriminator.

    For each number of PEs in ``npe`` (whole numbers of at least 1), the
    flashes of ``events`` independent events (each its own channel, 0 to
    ``events - 1``) are simulated through :func:`run` with independent
    seeding and ``seed`` (default: the detector's; one of them is needed,
    so that the calibration can be repeated). All PEs of a flash arrive at
    their event's flash time (:func:`flash_times`): far enough from 0 that
    no readout window starts before it, and spread over the points of a
    grid common to the detector's steps. The config's electronics are
    calibrated, with its afterpulses if it has any (they may add records
    after the first): the per-channel overrides are set aside.

    Returns a numpy structured array (``CALIBRATION_DTYPE``; pandas takes it
    as ``pandas.DataFrame(table)``), one row per entry of ``npe`` in the
    order given: the events, those with exactly one record and with at least
    one, both as efficiencies, and over the events with a record the delay
    of each event's earliest record (its time, the window start of a
    ZozuvUza record or the time of a MultiPMT hit, minus the flash time;
    negative where the window opens before the flash): its mean, its RMS
    (standard deviation about the mean), and its 16, 50 and 84 % quantiles
    (linear interpolation between the ordered delays), in nanoseconds.

    A row depends only on the detector, its ``npe``, ``events`` and the
    seed: every row simulates channels 0 to ``events - 1`` with the same
    seed, so event ``e`` of every row starts from the same generators. That
    keeps the curve smooth; the rows' statistical errors are correlated.
    """
    sizes = _check_npe(npe)
    events = _whole_number("events", events, 1, _MAX_CHANNELS)
    if max(sizes) * events > _MAX_ROW_PES:
        raise ValueError(f"{max(sizes)} PEs per flash in {events} events are {max(sizes) * events} PEs, more than "
                         f"{_MAX_ROW_PES} at once: calibrate with fewer events")
    if seed is None and detector.seed is None:
        raise ValueError("calibrate needs a seed, so that it can be repeated: give seed= (the detector has none)")
    nominal = copy.copy(detector)
    nominal.overrides = {}
    when = flash_times(detector, events)
    channels = np.arange(events, dtype=np.int64)
    n_workers = default_workers() if workers is None else max(int(workers), 1)
    # Several blocks per worker: the events are spread over the thread pool.
    blocks = max(1, math.ceil(events / (4 * n_workers)))
    rows = []
    for n in sizes:
        pes = PETable(np.repeat(channels, n), np.repeat(when, n))
        records = run(nominal, pes, seed=seed, workers=workers, channels=f"0-{events - 1}", block_channels=blocks)
        assert isinstance(records, np.ndarray)  # no output file: the records come back
        rows.append(_row(n, *event_delays(records, nominal, events)))
    return np.array(rows, dtype=CALIBRATION_DTYPE)


_HEADER = ("npe", "events", "one rec.", ">=1 rec.", "mean ns", "rms ns", "16% ns", "50% ns", "84% ns")


def format_table(table: np.ndarray) -> str:
    """The calibration table as aligned text, one line per flash size."""
    lines = ["{:>7} {:>7} {:>9} {:>9} {:>9} {:>8} {:>8} {:>8} {:>8}".format(*_HEADER)]
    for r in table:
        lines.append(f"{r['npe']:>7} {r['events']:>7} {r['efficiency_one']:>9.3f} {r['efficiency_any']:>9.3f} "
                     f"{r['mean_delay_ns']:>9.3f} {r['rms_delay_ns']:>8.3f} {r['q16_delay_ns']:>8.2f} "
                     f"{r['q50_delay_ns']:>8.2f} {r['q84_delay_ns']:>8.2f}")
    return "\n".join(lines)


def write_table(table: np.ndarray, path: str | os.PathLike[str], overwrite: bool = False) -> None:
    """Writes the calibration table to ``path``: CSV (``.csv``) or Parquet
    (``.parquet``), one column per field. An existing file is refused unless
    ``overwrite``; the file is written under a temporary name beside it and
    renamed when complete."""
    check_output(path)
    target = Path(path)
    found = table_format(target)
    if found is None:
        raise ValueError(f"{target}: a calibration table is written as {table_suffixes_text()}")
    if not target.resolve().parent.is_dir():
        raise FileNotFoundError(f"{target}: the directory {target.parent} does not exist")
    if target.exists() and not overwrite:
        raise FileExistsError(f"{target}: exists; overwrite it (--overwrite, overwrite=True) or choose another name")
    arrow = pa.table({name: table[name] for name in CALIBRATION_DTYPE.names or ()})
    fd, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".part", dir=target.parent)
    os.close(fd)
    try:
        found.write_table(arrow, Path(temporary))
        publish(Path(temporary), target, overwrite)  # with the mode of any new file, not mkstemp's 0600
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


def wilson_interval(successes: npt.ArrayLike, trials: npt.ArrayLike, z: float = 1.0
                    ) -> tuple[np.ndarray, np.ndarray]:
    """The Wilson score interval of a binomial efficiency, ``successes`` of
    ``trials`` (``z`` standard deviations: 1 gives about 68 %): the lower
    and upper bound. Unlike the plain sqrt(p (1 - p) / n), it stays inside
    [0, 1] and is not empty at 0 or 1 of n (one of 1,000 flashes)."""
    k = np.asarray(successes, np.float64)
    n = np.asarray(trials, np.float64)
    z2 = z * z
    centre = (k + z2 / 2) / (n + z2)
    half = z / (n + z2) * np.sqrt(k * (n - k) / n + z2 / 4)
    return np.maximum(centre - half, 0.0), np.minimum(centre + half, 1.0)


def walk_figure(table: np.ndarray, title: str = "") -> Any:
    """The walk curve as a matplotlib figure: the median delay against the
    flash's PEs on a logarithmic axis, its error bar and band from the 16 %
    to the 84 % quantile of the events' delays, the mean; below it the
    efficiencies (exactly one record, at least one) with their 68 % Wilson
    score intervals (see :func:`wilson_interval`)."""
    import matplotlib.pyplot as plt

    rows = table[np.argsort(table["npe"], kind="stable")]
    npe = rows["npe"]
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(7, 7), sharex=True, height_ratios=(2, 1))
    top.fill_between(npe, rows["q16_delay_ns"], rows["q84_delay_ns"], alpha=0.2)
    top.errorbar(npe, rows["q50_delay_ns"], yerr=(rows["q50_delay_ns"] - rows["q16_delay_ns"],
                                                  rows["q84_delay_ns"] - rows["q50_delay_ns"]),
                 fmt="o-", capsize=3, label="median, 16-84 % of events")
    top.plot(npe, rows["mean_delay_ns"], "s--", ms=4, label="mean")
    top.axhline(0, color="k", lw=0.8)
    top.set(ylabel="delay of the first record (ns)", title=title or "walk curve")
    top.legend()
    for key, fmt, label in (("any_record", "o-", "at least one record"), ("one_record", "s--", "exactly one record")):
        efficiency = rows[key] / rows["events"]
        low, high = wilson_interval(rows[key], rows["events"])
        bottom.errorbar(npe, efficiency, yerr=(efficiency - low, high - efficiency), fmt=fmt, ms=4, capsize=3,
                        label=f"{label} (68 % Wilson interval)")
    bottom.set(xscale="log", xlabel="PEs per flash", ylabel="fraction of events", ylim=(-0.05, 1.05))
    bottom.legend(loc="lower right")
    fig.tight_layout()
    return fig


def plot_walk(table: np.ndarray, path: str | os.PathLike[str], title: str = "") -> None:
    """Draws the walk curve (see :func:`walk_figure`) to an image file, its
    type from the suffix, such as ``.png``. Needs matplotlib (``pip install
    'velmora[plot]'``)."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError("plotting the walk curve needs matplotlib: pip install 'velmora[plot]' "
                          "(or pip install matplotlib)") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = walk_figure(table, title)
    fig.savefig(path, dpi=90)
    plt.close(fig)
