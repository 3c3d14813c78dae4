"""velmora demo: a light flash seen by a few ZozuvUza channels on top of dark noise.

Builds the example detector of examples/zozuvuza/, simulates 1 ms of data for
several channels (random dark-noise PEs plus one bright flash at a known
time), and prints what came out: the records per channel and, for each
channel, the flash's window start corrected by the calibrated trigger delay.
Unless --no-plot is given, a few readout windows are drawn to
<output>/demo.png.

    python examples/demo.py [--output DIR] [--no-plot]
"""

import argparse
import json
from pathlib import Path

import numpy as np
import velmora

HERE = Path(__file__).resolve().parent
DETECTOR = HERE / "zozuvuza"

NUM_CHANNELS = 8
RUN_LENGTH = 1e-3  # seconds of data per channel
DARK_RATE = 3e3  # dark-noise PEs per second and channel
FLASH_TIME = 400e-6  # true time of the light flash, seconds
FLASH_PES = 50  # mean number of flash PEs per channel
TICK = velmora.ZozuvUzaTrigger.SECONDS_PER_TICK  # unit of the records' time stamps


def load_detector(directory):
    """Builds a ZozuvUza from config.json (file names relative to the directory);
    returns it with its ADC step."""
    config = json.loads((directory / "config.json").read_text())
    for key in ("time_spectrum", "amplitude_spectrum", "pulse_shape"):
        config[key] = directory / config[key]
    config["early_handling"] = getattr(velmora.EarlyHandling, config["early_handling"])
    return velmora.ZozuvUza(**config), config["adc_step"]


def make_pe_list(rng):
    """Dark noise spread uniformly over the run, plus the flash PEs, all at the
    flash time: the photomultiplier's transit-time spread does the smearing."""
    pe_list = velmora.PEListVector()
    counts = []
    for channel in range(NUM_CHANNELS):
        dark = rng.uniform(0.0, RUN_LENGTH, rng.poisson(DARK_RATE * RUN_LENGTH))
        flash = np.full(rng.poisson(FLASH_PES), FLASH_TIME)
        times = rng.permutation(np.concatenate([dark, flash]))  # the upstream list is unordered
        pe_list.append((channel, times.tolist()))
        counts.append((len(dark), len(flash)))
    return pe_list, counts


def window_start(record):
    return record.trigger_time_s + record.trigger_time_ticks * TICK


def find_flash(records, delay):
    """The record whose delay-corrected window start is closest to the flash,
    if it lies within a few ticks of it."""
    best = min(records, key=lambda r: abs(window_start(r) - delay - FLASH_TIME), default=None)
    if best is None or abs(window_start(best) - delay - FLASH_TIME) > 5 * TICK:
        return None
    return best


def plot_windows(windows, delay, adc_step, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(10, 6.5), sharex=True, constrained_layout=True)
    for ax, (channel, record) in zip(axes.flat, windows):
        samples = np.array(list(record.waveform))
        # Sample k of the window lies k ADC steps after its start; shown in ns after the flash.
        t = (window_start(record) - FLASH_TIME + adc_step * np.arange(len(samples))) * 1e9
        ax.plot(t, samples, ".-", color="tab:blue", label="ADC samples")
        ax.axhline(record.baseline, color="gray", ls="--", label=f"baseline {record.baseline:g} LSB")
        ax.axvline(0.0, color="tab:red", lw=1, label="flash (true time)")
        ax.axvline(delay * 1e9, color="tab:orange", lw=1, ls=":", label="expected window start (flash + delay)")
        ax.set_title(f"channel {channel}: integral {record.intsum:.0f} LSB·samples")
        ax.set_ylabel("ADC [LSB]")
        ax.grid(alpha=0.3)
    for ax in axes[-1]:
        ax.set_xlabel("time after the flash [ns]")
    axes.flat[0].legend(fontsize=8)
    fig.suptitle("ZozuvUza readout windows of the flash")
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description="ZozuvUza demo: a flash on top of dark noise.")
    parser.add_argument("--output", type=Path, default=HERE / "output", help="directory for demo.png")
    parser.add_argument("--no-plot", action="store_true", help="skip the plot (no matplotlib needed)")
    args = parser.parse_args()

    detector, adc_step = load_detector(DETECTOR)
    # Mean window start of many single-trigger events with 50 PEs at time 0.
    delay = detector.calibrate_delay(50, 1000)
    print(f"calibrated delay: {delay * 1e9:.2f} ns (window start after the PE time)")

    rng = np.random.default_rng(7)
    pe_list, counts = make_pe_list(rng)
    records = detector.simulate_pe_list(pe_list)
    print(f"{sum(d + f for d, f in counts)} PEs in {NUM_CHANNELS} channels -> {len(records)} records\n")

    print("channel  dark PEs  flash PEs  records  flash window (us)  corrected - true (ns)")
    windows, found = [], 0
    for channel, (dark, flash) in enumerate(counts):
        mine = [r for r in records if r.channel == channel]
        record = find_flash(mine, delay)
        if record is None:
            print(f"{channel:7d} {dark:9d} {flash:10d} {len(mine):8d}  flash not found")
            continue
        found += 1
        windows.append((channel, record))
        start = window_start(record)
        residual = (start - delay - FLASH_TIME) * 1e9
        print(f"{channel:7d} {dark:9d} {flash:10d} {len(mine):8d} {start * 1e6:18.4f} {residual:+22.2f}")
    print(f"\nflash found in {found} of {NUM_CHANNELS} channels "
          f"(time stamps are whole {TICK * 1e9:g} ns ticks, so expect agreement within a tick)")

    if not args.no_plot and windows:
        path = args.output / "demo.png"
        plot_windows(windows[:4], delay, adc_step, path)
        print(f"plot written to {path}")
    return 0 if found == NUM_CHANNELS else 1


if __name__ == "__main__":
    raise SystemExit(main())
