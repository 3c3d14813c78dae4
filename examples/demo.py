"""velmora demo: a light flash on top of dark noise, seen by two detector front ends.

Builds the example detectors of examples/zozuvuza/ and examples/multipmt/,
simulates 1 ms of data for several channels (random dark-noise PEs plus one
bright flash at a known time), runs the same PE list through both, and prints
what came out: the records per channel and, for each channel, the flash's time
corrected by the detector's calibrated delay, compared with the true flash
time. Unless --no-plot is given, a few ZozuvUza readout windows and the
MultiPMT hits are drawn to <output>/demo.png (see demo_plot.py).

    python examples/demo.py [--output DIR] [--no-plot]
"""

import argparse
import json
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any, Protocol, TypeVar

import numpy as np
import velmora

HERE = Path(__file__).resolve().parent

NUM_CHANNELS = 8
RUN_LENGTH = 1e-3  # seconds of data per channel
DARK_RATE = 3e3  # dark-noise PEs per second and channel
FLASH_TIME = 400e-6  # true time of the light flash, seconds
FLASH_PES = 50  # mean number of flash PEs per channel
TICK = velmora.ZozuvUzaTrigger.SECONDS_PER_TICK  # unit of the ZozuvUza time stamps
MULTIPMT_MATCH = 5e-9  # a MultiPMT hit this close to the corrected flash time belongs to it

Counts = list[tuple[int, int]]  # per channel: dark PEs, flash PEs
Window = tuple[int, velmora.ZozuvUzaTrigger, float]  # channel, record, window start in seconds
Record = TypeVar("Record", velmora.ZozuvUzaTrigger, velmora.MultiPMTTrigger)
Records = TypeVar("Records", velmora.ZozuvUzaTriggerVector, velmora.MultiPMTTriggerVector, covariant=True)


class Detector(Protocol[Records]):
    """What the demo asks of both detector models."""

    def calibrate_delay(self, num_pes: int, num_sim: int) -> float: ...

    def simulate_pe_list(self, pe_list: velmora.PEListVector) -> Records: ...


def load_config(directory: Path, path_keys: Sequence[str]) -> dict[str, Any]:
    """config.json of a detector directory as constructor arguments: its file
    names made absolute, without the model name."""
    config: dict[str, Any] = json.loads((directory / "config.json").read_text())
    del config["model"]
    for key in path_keys:
        config[key] = directory / config[key]
    return config


def load_zozuvuza() -> tuple[velmora.ZozuvUza, float]:
    """The example ZozuvUza and its ADC step."""
    config = load_config(HERE / "zozuvuza", ("time_spectrum", "amplitude_spectrum", "pulse_shape"))
    config["early_handling"] = getattr(velmora.EarlyHandling, config["early_handling"])
    return velmora.ZozuvUza(**config), config["adc_step"]


def load_multipmt() -> velmora.MultiPMT:
    """The example MultiPMT."""
    config = load_config(
        HERE / "multipmt", ("time_spectrum", "amplitude_spectrum", "tot_pulse_shape", "adc_pulse_shape"))
    return velmora.MultiPMT(**config)


def make_pe_list(rng: np.random.Generator) -> tuple[velmora.PEListVector, Counts]:
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


def window_start(record: velmora.ZozuvUzaTrigger) -> float:
    return record.trigger_time_s + record.trigger_time_ticks * TICK


def hit_time(record: velmora.MultiPMTTrigger) -> float:
    return record.time


def flash_per_channel(records: Iterable[Record], counts: Counts, time_of: Callable[[Record], float], delay: float,
                      tolerance: float) -> Iterator[tuple[int, int, int, int, Record | None]]:
    """Per channel: its numbers of dark and flash PEs, of records, and the record
    whose delay-corrected time is closest to the flash if it lies within the
    tolerance (else None)."""
    for channel, (dark, flash) in enumerate(counts):
        mine = [r for r in records if r.channel == channel]
        best = min(mine, key=lambda r: abs(time_of(r) - delay - FLASH_TIME), default=None)
        if best is not None and abs(time_of(best) - delay - FLASH_TIME) > tolerance:
            best = None
        yield channel, dark, flash, len(mine), best


def calibrate_and_simulate(name: str, detector: Detector[Records], pe_list: velmora.PEListVector, counts: Counts,
                           measured: str, record_word: str) -> tuple[float, Records]:
    """Calibrates the detector's delay (the mean time of many single-record
    events with 50 PEs at time 0), simulates the PE list, and prints both;
    returns the delay and the records."""
    delay = detector.calibrate_delay(50, 1000)
    records = detector.simulate_pe_list(pe_list)
    print(f"== {name}")
    print(f"calibrated delay: {delay * 1e9:.2f} ns ({measured} after the PE time)")
    print(f"{sum(d + f for d, f in counts)} PEs in {NUM_CHANNELS} channels -> {len(records)} {record_word}\n")
    return delay, records


def run_zozuvuza(pe_list: velmora.PEListVector, counts: Counts) -> tuple[int, list[Window], float, float]:
    """Simulates the PE list on the ZozuvUza and prints the flash per channel;
    returns the number of channels that saw it, their flash records (channel,
    record, window start), the delay and the ADC step."""
    detector, adc_step = load_zozuvuza()
    delay, records = calibrate_and_simulate("ZozuvUza", detector, pe_list, counts, "window start", "records")
    print("channel  dark PEs  flash PEs  records  flash window (us)  corrected - true (ns)")
    windows = []
    for channel, dark, flash, count, record in flash_per_channel(records, counts, window_start, delay, 5 * TICK):
        if record is None:
            print(f"{channel:7d} {dark:9d} {flash:10d} {count:8d}  flash not found")
            continue
        start = window_start(record)
        windows.append((channel, record, start))
        residual = (start - delay - FLASH_TIME) * 1e9
        print(f"{channel:7d} {dark:9d} {flash:10d} {count:8d} {start * 1e6:18.4f} {residual:+22.2f}")
    print(f"\nflash found in {len(windows)} of {NUM_CHANNELS} channels "
          f"(time stamps are whole {TICK * 1e9:g} ns ticks, so expect agreement within a tick)\n")
    return len(windows), windows, delay, adc_step


def run_multipmt(pe_list: velmora.PEListVector,
                 counts: Counts) -> tuple[int, velmora.MultiPMTTriggerVector, float]:
    """Simulates the same PE list on the MultiPMT and prints the flash hit per
    channel; returns the number of channels that saw it, all records and the
    delay."""
    delay, records = calibrate_and_simulate("MultiPMT", load_multipmt(), pe_list, counts, "hit start", "hits")
    print("channel  dark PEs  flash PEs  hits  flash hit (us)  ToT (ns)  ADC (LSB)  corrected - true (ns)")
    found = 0
    for channel, dark, flash, count, hit in flash_per_channel(records, counts, hit_time, delay, MULTIPMT_MATCH):
        if hit is None:
            print(f"{channel:7d} {dark:9d} {flash:10d} {count:5d}  flash not found")
            continue
        found += 1
        residual = (hit.time - delay - FLASH_TIME) * 1e9
        print(f"{channel:7d} {dark:9d} {flash:10d} {count:5d} {hit.time * 1e6:15.5f}"
              f" {hit.time_over_threshold * 1e9:9.1f} {hit.adc_sample:10d} {residual:+22.2f}")
    print(f"\nflash found in {found} of {NUM_CHANNELS} channels "
          "(the TDC counts 0.5 ns steps; the dark PEs give the other hits)\n")
    return found, records, delay


def main() -> int:
    parser = argparse.ArgumentParser(description="velmora demo: a flash on top of dark noise.")
    parser.add_argument("--output", type=Path, default=HERE / "output", help="directory for demo.png")
    parser.add_argument("--no-plot", action="store_true", help="skip the plot (no matplotlib needed)")
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    pe_list, counts = make_pe_list(rng)
    zozuvuza_found, windows, zozuvuza_delay, adc_step = run_zozuvuza(pe_list, counts)
    multipmt_found, hits, multipmt_delay = run_multipmt(pe_list, counts)

    if not args.no_plot:
        from demo_plot import plot_demo

        path = args.output / "demo.png"
        plot_demo(path, windows[:4], zozuvuza_delay, adc_step, hits, multipmt_delay, FLASH_TIME, RUN_LENGTH)
        print(f"plot written to {path}")
    return 0 if zozuvuza_found == multipmt_found == NUM_CHANNELS else 1


if __name__ == "__main__":
    raise SystemExit(main())
