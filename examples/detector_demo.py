"""velmora detector demo: a whole detector of 2,000 channels through `velmora run`.

A light source near channel 1000 flashes once; each channel sees a Poisson
number of flash PEs whose mean falls off with its distance from the source, on
top of 3 kHz of dark noise over 0.1 s. The flash PEs go into a PE table (.npz);
`velmora run` adds the dark noise and simulates both example detectors on all
cores, writing one Parquet record file each. The demo then reads the records
back, prints a summary (measured dark rate, flash hits and charges) and, unless
--no-plot is given, draws <output>/detector.png:

- MultiPMT hits per channel without flash PEs, as a rate, against the true
  dark rate;
- the MultiPMT ADC-sample spectrum of dark-noise hits and of flash hits;
- the ZozuvUza flash charge per channel with the mean number of flash PEs;
- the ZozuvUza flash charge against the true charge of its PEs;
- the efficiency of both detectors against the true number of flash PEs, in
  the run and in the calibration;
- the walk curve of both detectors from `velmora calibrate`: the delay of the
  first record after a flash of 1 to 100 PEs (median, mean and the 16-84 %
  band).

The runs write the records' truth (`--truth`): which records hold flash PEs,
how many, and their true charge, so nothing is matched by time.

    python examples/detector_demo.py [--output DIR] [--no-plot] [--workers N]
"""

import argparse
import shlex
import subprocess
import sys
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pyarrow.csv
import velmora_batch as vb

HERE = Path(__file__).resolve().parent

CHANNELS = 2000
DURATION = 0.1  # seconds of dark noise per channel
DARK_RATE = 3e3  # dark-noise PEs per second and channel
FLASH_TIME = 50e-3  # seconds
SOURCE = 1000  # the channel nearest the light source
WIDTH = 350.0  # channels over which the flash intensity falls to 60 %
PEAK_PES = 40.0  # mean flash PEs of the nearest channel
SEED = 7
CALIBRATION_EVENTS = 500  # flashes per number of PEs of the walk curve
CALIBRATION_NPE = (1, 2, 3, 4, 5, 7, 10, 20, 50, 100)  # numbers of PEs of its points
MIN_TRIGGERED = 10  # flashes with a record that make a point of the walk curve


Ints = npt.NDArray[np.int64]
Floats = npt.NDArray[np.float64]


def mean_flash_pes(channel: Ints) -> Floats:
    """The flash's mean number of PEs in each channel."""
    return PEAK_PES * np.exp(-0.5 * ((channel - SOURCE) / WIDTH) ** 2)


def flash_pes(rng: np.random.Generator) -> tuple[Ints, Floats, Ints]:
    """Channel and time of every flash PE, and the number per channel."""
    channel = np.arange(CHANNELS)
    counts = rng.poisson(mean_flash_pes(channel))
    return np.repeat(channel, counts), np.full(counts.sum(), FLASH_TIME), counts


def velmora(args: list[str]) -> str:
    """Runs a `velmora` command (the console script's entry point in this
    interpreter), prints it and its output, and returns the output."""
    print("$ velmora " + shlex.join(args))
    result = subprocess.run([sys.executable, "-m", "velmora_batch.cli", *args], capture_output=True, text=True)
    print(result.stdout + result.stderr, end="")
    if result.returncode != 0:
        raise SystemExit(result.returncode)
    return result.stdout


def velmora_run(config: Path, pes: Path, output: Path, workers: int | None) -> Path:
    """Runs `velmora run` on the flash PEs and dark noise, with the records'
    truth (which PEs made each record), and returns its output file."""
    args = ["run", str(config), "--pes", str(pes), "--dark-rate", str(DARK_RATE), "--duration", str(DURATION),
            "--channels", f"0-{CHANNELS - 1}", "--seed", str(SEED), "--truth", "--no-progress", "--overwrite",
            "-o", str(output)]
    if workers is not None:
        args += ["--workers", str(workers)]
    velmora(args)
    return output


def velmora_calibrate(config: Path, output: Path, workers: int | None) -> dict[str, npt.NDArray[np.float64]]:
    """Runs `velmora calibrate` (the walk curve) and returns its table's columns."""
    args = ["calibrate", str(config), "--npe", ",".join(map(str, CALIBRATION_NPE)), "--events",
            str(CALIBRATION_EVENTS), "--seed", str(SEED), "--overwrite", "-o", str(output)]
    if workers is not None:
        args += ["--workers", str(workers)]
    velmora(args)
    table = pyarrow.csv.read_csv(output)
    return {name: table[name].to_numpy().astype(np.float64) for name in table.column_names}


def from_flash(records: npt.NDArray[np.void]) -> npt.NDArray[np.bool_]:
    """The records that flash PEs contributed to, by the records' truth: PEs
    that are neither dark noise nor afterpulses came from the PE table, the
    flash."""
    return np.asarray(records["n_pe"] > records["n_dark"] + records["n_afterpulse"])


def summarise_multipmt(hits: npt.NDArray[np.void], counts: Ints) -> tuple[Floats, npt.NDArray[np.bool_], bool]:
    """Prints and returns per channel the dark-noise rate (hits without flash
    PEs) and whether the flash was seen."""
    flash = from_flash(hits)
    dark_rate = np.bincount(hits["channel"][~flash], minlength=CHANNELS) / DURATION
    seen = np.bincount(hits["channel"][flash], minlength=CHANNELS) > 0
    lit = counts >= 5
    print(f"== MultiPMT: {len(hits)} hits in {CHANNELS} channels")
    print(f"dark-noise hit rate: {dark_rate.mean() / 1e3:.3f} kHz per channel on average "
          f"(true PE rate {DARK_RATE / 1e3:g} kHz; the discriminator fires on nearly every PE)")
    print(f"flash seen in {seen[lit].sum()} of {lit.sum()} channels with at least 5 flash PEs\n")
    return dark_rate, flash, bool(seen[lit].all())


def summarise_zozuvuza(windows: npt.NDArray[np.void], counts: Ints) -> tuple[npt.NDArray[np.void], Floats, bool]:
    """Prints and returns the flash windows and the flash charge per channel
    (NaN where no window holds flash PEs)."""
    flash = windows[from_flash(windows)]
    charge = np.full(CHANNELS, np.nan)
    charge[flash["channel"]] = flash["intsum"]  # the window sum above the baseline
    lit = counts >= 10
    gain = np.nanmedian(charge[lit] / counts[lit])
    print(f"== ZozuvUza: {len(windows)} readout windows in {CHANNELS} channels, {len(flash)} at the flash")
    print(f"flash window in {np.isfinite(charge[lit]).sum()} of {lit.sum()} channels with at least 10 flash PEs; "
          f"{np.isfinite(charge[counts < 2]).sum()} of {(counts < 2).sum()} with fewer than 2")
    print(f"charge per flash PE: {gain:.1f} LSB (median over those channels)")
    # The window charge against the PEs' own drawn amplitudes: the electronics' response without the
    # Poisson and amplitude fluctuations of the light.
    clean = flash[flash["n_saturated"] == 0]
    slope = float(np.sum(clean["intsum"] * clean["true_charge"]) / np.sum(clean["true_charge"] ** 2))
    spread = float(np.std(clean["intsum"] / (slope * clean["true_charge"])))
    print(f"charge per unit of true charge: {slope:.1f} LSB, spread {100 * spread:.1f} % over {len(clean)} "
          f"flash windows; {len(flash) - len(clean)} flash windows saturated\n")
    return flash, charge, bool(np.isfinite(charge[lit]).all())


Walks = dict[str, dict[str, Floats]]
EFFICIENCY_PES = (1, 2, 3, 4, 5, 10)  # true flash PEs at which the run's efficiency is compared with the calibration's


def efficiency(records: npt.NDArray[np.void], counts: Ints) -> tuple[Ints, Floats, Ints]:
    """Per true number of flash PEs k: the fraction of channels with k flash
    PEs in which a record holds flash PEs, and the number of such channels."""
    seen = np.bincount(records["channel"][from_flash(records)], minlength=CHANNELS) > 0
    channels = np.bincount(counts)
    k = np.flatnonzero(channels)
    return k, np.bincount(counts, weights=seen)[k] / channels[k], channels[k]


def summarise_efficiency(name: str, records: npt.NDArray[np.void], counts: Ints, walk: dict[str, Floats]) -> bool:
    """Prints the run's efficiency against the true number of flash PEs next
    to the calibration's, and returns whether they agree within 4 standard
    deviations of the binomial errors."""
    k, eff, channels = efficiency(records, counts)
    agree = True
    parts = []
    for n in EFFICIENCY_PES:
        run_eff, cal_eff = float(eff[k == n][0]), float(walk["efficiency_any"][walk["npe"] == n][0])
        sigma = np.sqrt(cal_eff * (1 - cal_eff) / CALIBRATION_EVENTS + run_eff * (1 - run_eff) / channels[k == n][0])
        agree &= abs(run_eff - cal_eff) <= max(4 * sigma, 0.02)
        parts.append(f"{n} PE{'s' if n > 1 else ''} {run_eff:.3f} ({cal_eff:.3f})")
    print(f"efficiency ({name}) against true flash PEs, run (calibration): {', '.join(parts)}")
    return agree


def summarise_walk(name: str, walk: dict[str, Floats]) -> bool:
    """Prints where the walk curve starts (the faintest flash that gave at
    least MIN_TRIGGERED records) and ends, and returns whether it looks like
    one: the brightest flashes always trigger, and earlier than faint ones."""
    seen = walk["any_record"] >= MIN_TRIGGERED
    faint, bright = int(np.argmax(seen)), len(seen) - 1
    print(f"walk ({name}): median delay {walk['q50_delay_ns'][faint]:.1f} ns at {walk['npe'][faint]:.0f} PEs "
          f"(efficiency {walk['efficiency_any'][faint]:.3f}), {walk['q50_delay_ns'][bright]:.1f} ns at "
          f"{walk['npe'][bright]:.0f} PEs (efficiency {walk['efficiency_any'][bright]:.3f})")
    return bool(walk["efficiency_any"][bright] == 1.0
                and walk["mean_delay_ns"][bright] < walk["mean_delay_ns"][faint])


def plot_efficiency(ax: Any, runs: dict[str, npt.NDArray[np.void]], counts: Ints, walks: Walks) -> None:
    """Efficiency against the true number of flash PEs: the run's channels
    (with binomial errors) and the calibration's flashes."""
    for name, records in runs.items():
        k, eff, channels = efficiency(records, counts)
        some = (channels >= 5) & (k >= 1)
        err = np.sqrt(eff * (1 - eff) / channels)[some]
        line = ax.errorbar(k[some], eff[some], yerr=err, fmt="o", ms=3, label=f"{name}: detector run")[0]
        walk = walks[name]
        ax.plot(walk["npe"], walk["efficiency_any"], "-", color=line.get_color(), label=f"{name}: calibration")
    ax.set(xscale="log", xlim=(0.8, 120), xlabel="true flash PEs", ylabel="fraction with a record",
           ylim=(-0.05, 1.05), title="efficiency against the true number of PEs")
    ax.legend(fontsize="small", loc="lower right")


def plot_walks(ax: Any, walks: Walks) -> None:
    """The walk curves of the calibration: the first record's delay against
    the flash's PEs (median, mean and 16-84 % band)."""
    for name, walk in walks.items():
        seen = walk["any_record"] >= MIN_TRIGGERED
        npe = walk["npe"][seen]
        line = ax.plot(npe, walk["q50_delay_ns"][seen], "o-", label=f"{name}: median")[0]
        ax.plot(npe, walk["mean_delay_ns"][seen], "s--", ms=3, color=line.get_color(), label=f"{name}: mean")
        ax.fill_between(npe, walk["q16_delay_ns"][seen], walk["q84_delay_ns"][seen], color=line.get_color(),
                        alpha=0.2)
    ax.axhline(0, color="k", lw=0.8)
    ax.set(xscale="log", xlabel="PEs per flash", ylabel="delay of the first record (ns)",
           title=f"walk curve ({CALIBRATION_EVENTS} flashes per point, band 16-84 %)")
    ax.legend(fontsize="small")


def plot_charge(ax: Any, flash: npt.NDArray[np.void]) -> None:
    """ZozuvUza window charge against the true charge of its PEs."""
    saturated = flash["n_saturated"] > 0
    ax.plot(flash["true_charge"][~saturated], flash["intsum"][~saturated], ".", ms=3, alpha=0.5,
            label="flash windows")
    ax.plot(flash["true_charge"][saturated], flash["intsum"][saturated], "x", ms=4, color="C3",
            label="saturated windows")
    clean = flash[~saturated]
    slope = float(np.sum(clean["intsum"] * clean["true_charge"]) / np.sum(clean["true_charge"] ** 2))
    top = float(flash["true_charge"].max())
    ax.plot([0, top], [0, top * slope], "k-", lw=1, label=f"{slope:.0f} LSB per unit")
    ax.set(xlabel="true charge (sum of the PEs' drawn amplitudes)", ylabel="window charge (LSB)",
           title="ZozuvUza: flash charge against true charge")
    ax.legend()


def plot(path: Path, counts: Ints, hits: npt.NDArray[np.void], dark_rate: Floats, flash: npt.NDArray[np.bool_],
         windows: npt.NDArray[np.void], charge: Floats, walks: Walks) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    channel = np.arange(CHANNELS)
    fig, ax = plt.subplots(3, 2, figsize=(12, 12.5))
    ax[0, 0].plot(channel, dark_rate / 1e3, ".", ms=2, alpha=0.5, label="hits without flash PEs")
    ax[0, 0].axhline(DARK_RATE / 1e3, color="k", lw=1, label="true dark-noise PE rate")
    ax[0, 0].set(xlabel="channel", ylabel="rate (kHz)", title="MultiPMT: dark-noise hit rate per channel",
                 ylim=(0, 2 * DARK_RATE / 1e3))
    ax[0, 0].legend(loc="lower right")

    bins = np.arange(0, 2000, 10)
    ax[0, 1].hist([hits["adc_sample"][~flash], hits["adc_sample"][flash]], bins=bins, histtype="step",
                  label=["dark-noise hits", "flash hits"])
    ax[0, 1].set(xlabel="ADC sample (LSB)", ylabel="hits per 10 LSB", yscale="log",
                 title="MultiPMT: ADC sample spectrum")
    ax[0, 1].legend()

    ax[1, 0].plot(channel, charge, ".", ms=2, label="flash window charge (LSB)")
    gain = np.nanmedian(charge[counts >= 10] / counts[counts >= 10])
    ax[1, 0].plot(channel, mean_flash_pes(channel) * gain, "k-", lw=1, label=f"mean flash PEs x {gain:.0f} LSB")
    ax[1, 0].set(xlabel="channel", ylabel="charge (LSB)", title="ZozuvUza: flash charge per channel")
    ax[1, 0].legend()

    plot_charge(ax[1, 1], windows[from_flash(windows)])
    plot_efficiency(ax[2, 0], {"ZozuvUza": windows, "MultiPMT": hits}, counts, walks)
    plot_walks(ax[2, 1], walks)
    fig.suptitle(f"{CHANNELS} channels, {DARK_RATE / 1e3:g} kHz dark noise over {DURATION:g} s, "
                 f"one flash at {FLASH_TIME * 1e3:g} ms (seed {SEED})")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main() -> int:
    parser = argparse.ArgumentParser(description="velmora detector demo: 2,000 channels through velmora run.")
    parser.add_argument("--output", type=Path, default=HERE / "output", help="directory for the files and the plot")
    parser.add_argument("--no-plot", action="store_true", help="skip the plot (no matplotlib needed)")
    parser.add_argument("--workers", type=int, help="workers of velmora run (default: the number of cores)")
    args = parser.parse_args()
    args.output.mkdir(parents=True, exist_ok=True)

    channel, time, counts = flash_pes(np.random.default_rng(SEED))
    pes = args.output / "flash.npz"
    np.savez(pes, channel=channel, time=time)
    print(f"{len(channel)} flash PEs in {CHANNELS} channels written to {pes}")

    hits = vb.read_records(velmora_run(HERE / "multipmt" / "config.json", pes, args.output / "multipmt.parquet",
                                       args.workers))
    windows = vb.read_records(velmora_run(HERE / "zozuvuza" / "config.json", pes, args.output / "zozuvuza.parquet",
                                          args.workers))
    print()
    dark_rate, flash, multipmt_ok = summarise_multipmt(hits, counts)
    _, charge, zozuvuza_ok = summarise_zozuvuza(windows, counts)
    walks = {name: velmora_calibrate(HERE / name.lower() / "config.json", args.output / f"walk-{name.lower()}.csv",
                                     args.workers) for name in ("ZozuvUza", "MultiPMT")}
    print()
    walks_ok = all([summarise_walk(name, walk) for name, walk in walks.items()])
    efficiency_ok = all([summarise_efficiency(name, records, counts, walks[name])
                         for name, records in (("ZozuvUza", windows), ("MultiPMT", hits))])
    if not args.no_plot:
        path = args.output / "detector.png"
        plot(path, counts, hits, dark_rate, flash, windows, charge, walks)
        print(f"plot written to {path}")
    return 0 if multipmt_ok and zozuvuza_ok and walks_ok and efficiency_ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
