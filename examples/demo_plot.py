"""The figure of demo.py: ZozuvUza readout windows of the flash on the left,
MultiPMT hits on the right (the whole run above, the flash below)."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    # Types only: matplotlib is imported when the figure is drawn, and velmora is loaded by the demo.
    import velmora
    from matplotlib.axes import Axes
    from matplotlib.collections import PathCollection

    Window = tuple[int, velmora.ZozuvUzaTrigger, float]  # channel, record, window start in seconds


def plot_windows(axes: Sequence[Axes], windows: Iterable[Window], delay: float, adc_step: float,
                 flash_time: float) -> None:
    """One ZozuvUza readout window per axis: ADC samples, baseline, flash."""
    for ax, (channel, record, start) in zip(axes, windows):
        samples = np.array(list(record.waveform))
        # Sample k of the window lies k ADC steps after its start; shown in ns after the flash.
        t = (start - flash_time + adc_step * np.arange(len(samples))) * 1e9
        ax.plot(t, samples, ".-", color="tab:blue", label="ADC samples")
        ax.axhline(record.baseline, color="gray", ls="--", label=f"baseline {record.baseline:g} LSB")
        ax.axvline(0.0, color="tab:red", lw=1, label="flash (true time)")
        ax.axvline(delay * 1e9, color="tab:orange", lw=1, ls=":", label="flash + calibrated delay")
        ax.set_title(f"ZozuvUza channel {channel}: integral {record.intsum:.0f} LSB·samples", fontsize=10)
        ax.set_ylabel("ADC [LSB]")
        ax.grid(alpha=0.3)
    axes[0].legend(fontsize=7)


def plot_run(ax: Axes, hits: Iterable[velmora.MultiPMTTrigger], run_length: float, flash_time: float) -> PathCollection:
    """Every MultiPMT hit of the run as a marker at its start time, one row per channel."""
    channels = np.array([h.channel for h in hits])
    starts = np.array([h.time for h in hits]) * 1e6
    adc = np.array([h.adc_sample for h in hits])
    points = ax.scatter(starts, channels, c=adc, cmap="viridis", norm="log", s=18, zorder=3)
    ax.axvline(flash_time * 1e6, color="tab:red", lw=1, label="flash")
    ax.set_xlim(0.0, run_length * 1e6)
    ax.set_xlabel("hit start [µs]")
    ax.set_ylabel("channel")
    ax.set_title("MultiPMT: all hits of the run (dark noise and the flash)", fontsize=10)
    ax.legend(fontsize=7, loc="upper right")
    ax.grid(alpha=0.3)
    return points


def plot_flash(ax: Axes, hits: Iterable[velmora.MultiPMTTrigger], delay: float, flash_time: float,
               points: PathCollection) -> None:
    """MultiPMT hits around the flash as bars from start to end, coloured and
    labelled with their ADC sample."""
    lo, hi = -5e-9, 42e-9
    for h in hits:
        start = h.time - flash_time
        if lo <= start <= hi:
            colour = points.cmap(points.norm(np.asarray(h.adc_sample)))
            ax.broken_barh([(start * 1e9, h.time_over_threshold * 1e9)], (h.channel - 0.35, 0.7), color=colour)
            ax.text((start + h.time_over_threshold) * 1e9 + 0.5, h.channel, f"ADC {h.adc_sample}",
                    va="center", fontsize=7)
    ax.axvline(0.0, color="tab:red", lw=1, label="flash (true time)")
    ax.axvline(delay * 1e9, color="tab:orange", lw=1, ls=":", label="flash + calibrated delay")
    ax.set_xlim(lo * 1e9, hi * 1e9)
    ax.set_xlabel("time after the flash [ns]")
    ax.set_ylabel("channel")
    ax.set_title("MultiPMT: flash hits, start to end (time over threshold)", fontsize=10)
    ax.legend(fontsize=7, loc="center right")
    ax.grid(alpha=0.3)


def plot_demo(path: Path, windows: Sequence[Window], zozuvuza_delay: float, adc_step: float,
              hits: Iterable[velmora.MultiPMTTrigger], multipmt_delay: float, flash_time: float,
              run_length: float) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(16, 7), constrained_layout=True)
    grid = fig.add_gridspec(2, 3, width_ratios=[1, 1, 1.3])
    left = [fig.add_subplot(grid[r, c]) for r in range(2) for c in range(2)]
    for ax in left[1:]:
        ax.sharex(left[0])
    plot_windows(left, windows, zozuvuza_delay, adc_step, flash_time)
    for ax in left[2:]:
        ax.set_xlabel("time after the flash [ns]")
    run_ax, flash_ax = fig.add_subplot(grid[0, 2]), fig.add_subplot(grid[1, 2])
    points = plot_run(run_ax, hits, run_length, flash_time)
    plot_flash(flash_ax, hits, multipmt_delay, flash_time, points)
    for ax in (run_ax, flash_ax):
        ax.set_yticks(range(max(h.channel for h in hits) + 1))
        ax.set_ylim(-0.7, max(h.channel for h in hits) + 0.7)
    fig.colorbar(points, ax=[run_ax, flash_ax], label="MultiPMT ADC sample [LSB]", shrink=0.8, aspect=40, pad=0.01)
    fig.suptitle("velmora demo: one light flash on top of dark noise, same PE list for both detectors")
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
