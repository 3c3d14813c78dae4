"""Seeded runs kept as files.

A seeded model gives the same records, release after release. The cases below
run a few configurations of both models on fixed PE times; their results are
kept in tests/data/stored_outputs/ (one JSON object per line), written by
tools/regen_stored_outputs.py and compared bit for bit by
test_stored_outputs.py. Floats are kept as float.hex, so equality of the lines
is equality of the bits.

Each case builds a fresh model and makes its calls in order on it, so every
call after the first also checks the generator state that the previous one
left behind (an exception included). PE times come from random.Random(seed)
.random(), whose sequence Python keeps unchanged across releases; each call's
line carries a SHA-256 of its PE times, so that a changed input is told apart
from a changed output.
"""

import contextlib
import hashlib
import json
import math
import os
import random
import struct
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

import velmora

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data" / "stored_outputs"
DETECTOR = DATA / "detector"

PMT_STEP = 0.1e-9
TOT_STEP = 0.5e-9


def detector_points():
    """The detector files of every case: 1 ns transit-time spread, a single-PE
    amplitude peak, a 40 ns pulse (1 ns rise, 8 ns decay) on the PMT grid and a
    20 ns time-over-threshold pulse on its own grid."""
    return {
        "time.txt": [(0.0, 1.0), (1e-9, 1.0)],
        "amplitude.txt": [(0.5, 0.0), (1.0, 1.0), (1.5, 0.0)],
        "pulse.txt": [(i * PMT_STEP, (1.0 - math.exp(-i / 10.0)) * math.exp(-i / 80.0)) for i in range(400)],
        "tot_pulse.txt": [(i * TOT_STEP, (1.0 - math.exp(-i / 4.0)) * math.exp(-i / 8.0) * 2.0) for i in range(40)],
    }


def write_detector():
    DETECTOR.mkdir(parents=True, exist_ok=True)
    for name, points in detector_points().items():
        (DETECTOR / name).write_text("".join(f"{x!r} {y!r}\n" for x, y in points))


# ---------------------------------------------------------------- PE times


def uniform(seed, n, start, end):
    rng = random.Random(seed)
    return [start + (end - start) * rng.random() for _ in range(n)]


def flashes(times, pes, spread, seed):
    """`pes` PEs within `spread` after each of `times`."""
    rng = random.Random(seed)
    return [t + spread * rng.random() for t in times for _ in range(pes)]


FLASHES_AND_DARK = flashes([1e-6, 3e-6, 3.05e-6, 5e-6], 25, 2e-9, 1) + uniform(2, 200, 0.0, 20e-6)
LATE_FLASH = flashes([2e-6], 30, 1e-9, 3)
# Flashes before, at and just after time 0: their readout windows start before 0.
EARLY = flashes([-30e-9, 0.0, 6e-9], 30, 1e-9, 4) + LATE_FLASH
BRIGHT = flashes([1e-6, 1.5e-6], 400, 1e-9, 5) + uniform(6, 50, 0.0, 3e-6)
DENSE_BURST = uniform(7, 3000, 1e-6, 4e-6)


# ---------------------------------------------------------------- calls


@dataclass
class Simulate:
    pe_times: list[float]
    channel: int = 0


@dataclass
class SimulatePEList:
    entries: list[tuple[int, list[float]]] = field(default_factory=list)
    generated: tuple[int, int, float] | None = None  # the arguments of generate_pe_list instead


@dataclass
class CalibrateDelay:
    num_pes: int
    num_sim: int


@dataclass
class Case:
    model: str  # "zozuvuza" or "multipmt"
    name: str
    settings: dict[str, Any]  # overrides of the model's base settings
    calls: list[Any]


ZOZUVUZA_BASE = dict(
    pmt_time_step=PMT_STEP, adc_step=4e-9, jitter=0, gain=40.0, offset=10.3, preamp_clip=4000.0, noise=1.0,
    clip=4095.0, waveform_samples=16, retrigger_offset=16, trigger_kernel=[1, 1], adc_threshold=40, trigger_norm=1,
    trigger_offset=-4, seed=11, early_handling="IGNORE",
)

MULTIPMT_BASE = dict(
    pmt_time_step=PMT_STEP, tot_step=TOT_STEP, tot_threshold=0.3, tot_dead_time=5e-9, tot_noise=0.02,
    tot_jitter=0.1e-9, adc_step=4e-9, adc_jitter=0, adc_gain=40.0, adc_offset=10.0, adc_noise=1.0, adc_clip=4095.0,
    sample_delay=8e-9, seed=12,
)

PE_LIST = [(5, FLASHES_AND_DARK[:60]), (2, []), (5, LATE_FLASH), (0, uniform(8, 40, 0.0, 2e-6))]

CASES = [
    Case("zozuvuza", "flashes_and_dark", {}, [Simulate(FLASHES_AND_DARK, 3), Simulate(FLASHES_AND_DARK, 4)]),
    Case("zozuvuza", "random_phase_four_tap_trigger",
         dict(jitter=-1, noise=2.5, offset=20.0, trigger_kernel=[1, 1, 1, 1], adc_threshold=55, trigger_norm=4,
              waveform_samples=32, retrigger_offset=32, trigger_offset=-3),
         [Simulate(FLASHES_AND_DARK, 1), Simulate(LATE_FLASH, 2)]),
    Case("zozuvuza", "fixed_phase_2", dict(jitter=2, waveform_samples=48, retrigger_offset=8, trigger_offset=-10),
         [Simulate(FLASHES_AND_DARK), Simulate(DENSE_BURST[:300])]),
    *[Case("zozuvuza", f"early_{policy.lower()}", dict(early_handling=policy, trigger_offset=-8),
           [Simulate(EARLY, 6), Simulate(LATE_FLASH, 6)]) for policy in ("IGNORE", "ZERO", "WARN", "THROW")],
    Case("zozuvuza", "clipping", dict(gain=400.0, preamp_clip=1000.0, clip=900.0, noise=3.0), [Simulate(BRIGHT, 9)]),
    Case("zozuvuza", "dense_burst", dict(jitter=-1), [Simulate(DENSE_BURST, 1), Simulate(LATE_FLASH, 1)]),
    Case("zozuvuza", "empty_input", dict(jitter=-1), [Simulate([], 0), Simulate(LATE_FLASH, 0), Simulate([], 1)]),
    Case("zozuvuza", "pe_list", {}, [SimulatePEList(PE_LIST), SimulatePEList(generated=(3, 40, 5e-8))]),
    # Windows start at the trigger, so that the calibration's flashes at time 0 give records.
    Case("zozuvuza", "calibrate_delay", dict(trigger_offset=0), [CalibrateDelay(30, 100), CalibrateDelay(0, 10), Simulate(LATE_FLASH)]),
    Case("multipmt", "flashes_and_dark", {}, [Simulate(FLASHES_AND_DARK, 3), Simulate(FLASHES_AND_DARK, 4)]),
    Case("multipmt", "random_phase", dict(adc_jitter=-1, adc_noise=2.5, sample_delay=14e-9),
         [Simulate(FLASHES_AND_DARK, 1), Simulate(LATE_FLASH, 2)]),
    Case("multipmt", "early_hits", {}, [Simulate(EARLY, 6)]),
    Case("multipmt", "clipping", dict(adc_gain=400.0, adc_clip=900.0, adc_noise=3.0), [Simulate(BRIGHT, 9)]),
    Case("multipmt", "dense_burst", dict(adc_jitter=-1, tot_noise=0.05),
         [Simulate(DENSE_BURST, 1), Simulate(LATE_FLASH, 1)]),
    Case("multipmt", "empty_input", dict(adc_jitter=-1), [Simulate([], 0), Simulate(LATE_FLASH, 0), Simulate([], 1)]),
    Case("multipmt", "pe_list", {}, [SimulatePEList(PE_LIST), SimulatePEList(generated=(3, 40, 5e-8))]),
    Case("multipmt", "calibrate_delay", {}, [CalibrateDelay(30, 100), CalibrateDelay(0, 10), Simulate(LATE_FLASH)]),
]

MODELS = ("zozuvuza", "multipmt")


# ---------------------------------------------------------------- running


def make_model(case):
    if case.model == "zozuvuza":
        kwargs = {**ZOZUVUZA_BASE, **case.settings}
        kwargs["early_handling"] = getattr(velmora.EarlyHandling, kwargs["early_handling"])
        return velmora.ZozuvUza(time_spectrum=DETECTOR / "time.txt", amplitude_spectrum=DETECTOR / "amplitude.txt",
                                pulse_shape=DETECTOR / "pulse.txt", **kwargs)
    kwargs = {**MULTIPMT_BASE, **case.settings}
    return velmora.MultiPMT(time_spectrum=DETECTOR / "time.txt", amplitude_spectrum=DETECTOR / "amplitude.txt",
                            tot_pulse_shape=DETECTOR / "tot_pulse.txt", adc_pulse_shape=DETECTOR / "pulse.txt",
                            **kwargs)


def times_digest(times):
    return hashlib.sha256(struct.pack(f"<{len(times)}d", *times)).hexdigest()


def record_line(record):
    if isinstance(record, velmora.ZozuvUzaTrigger):
        return [record.channel, record.trigger_time_s, record.trigger_time_ticks, record.baseline.hex(),
                record.intsum.hex(), list(record.waveform)]
    return [record.time.hex(), record.channel, record.time_over_threshold.hex(), record.adc_sample]


@contextlib.contextmanager
def captured_stderr(lines):
    """Collects what the native code writes to file descriptor 2 (the early-trigger warning) into `lines`."""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile(mode="w+b") as sink:
        os.dup2(sink.fileno(), 2)
        try:
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            lines.extend(sink.read().decode().splitlines())


def run_call(model, call, header, lines):
    """Makes one call and appends its header line and outcome lines."""
    outcome: Callable[[], Any]
    if isinstance(call, Simulate):
        header.update(op="simulate", channel=call.channel, pes=len(call.pe_times),
                      pe_times_sha256=times_digest(call.pe_times))
        pe_times = velmora.DoubleVector(call.pe_times)
        outcome = lambda: model.simulate(pe_times, call.channel)  # noqa: E731
    elif isinstance(call, SimulatePEList):
        pe_list = (velmora.generate_pe_list(*call.generated) if call.generated is not None
                   else velmora.PEListVector(call.entries))
        everything = [t for _, times in pe_list for t in times]
        header.update(op="simulate_pe_list", entries=len(pe_list), channels=[c for c, _ in pe_list],
                      pes=len(everything), pe_times_sha256=times_digest(everything))
        outcome = lambda: model.simulate_pe_list(pe_list)  # noqa: E731
    else:
        header.update(op="calibrate_delay", num_pes=call.num_pes, num_sim=call.num_sim)
        outcome = lambda: model.calibrate_delay(call.num_pes, call.num_sim)  # noqa: E731
    lines.append(header)
    stderr: list[str] = []
    try:
        with captured_stderr(stderr):
            result = outcome()
    except Exception as e:  # noqa: BLE001 - the exception is part of the stored outcome
        result = e
    lines.extend({"stderr": line} for line in stderr)
    if isinstance(result, Exception):
        lines.append({"error": [type(result).__name__, str(result)]})
    elif isinstance(result, float):
        lines.append({"delay": result.hex()})
    else:
        lines.extend({"record": record_line(r)} for r in result)


def run_case(case):
    """The lines of one case, run on the installed module."""
    lines: list[dict[str, Any]] = []
    model = make_model(case)
    for i, call in enumerate(case.calls):
        run_call(model, call, {"case": case.name, "call": i}, lines)
    return lines


# ---------------------------------------------------------------- files


def path(model):
    return DATA / f"{model}.jsonl"


def dump(lines):
    return "".join(json.dumps(line, separators=(",", ":")) + "\n" for line in lines)


def load(model):
    """The stored lines of one model, by case name."""
    by_case: dict[str, list[dict[str, Any]]] = {}
    for text in path(model).read_text().splitlines():
        line = json.loads(text)
        if "case" in line:
            current = by_case.setdefault(line["case"], [])
        current.append(line)
    return by_case
