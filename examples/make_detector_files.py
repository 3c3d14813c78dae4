"""Writes the example ZozuvUza detector files into examples/zozuvuza/.

The spectra and the pulse shape are smooth analytic models sampled on fixed
grids, so rerunning this script reproduces the committed files byte for byte.
examples/README.md describes what each file models.

    python examples/make_detector_files.py [--output DIR]
"""

import argparse
import json
import math
from pathlib import Path

NS = 1e-9
PMT_STEP = 1e-10


def gauss(x, mean, sigma):
    return math.exp(-0.5 * ((x - mean) / sigma) ** 2)


def time_spectrum():
    """PE arrival delay after the photon hit: a transit-time peak of 1.5 ns
    r.m.s. at 5 ns and a late-pulse shoulder (photo-electrons that scatter back
    off the first dynode) around 20 ns holding about 4 % of the PEs."""
    points = []
    for i in range(121):  # 0 to 30 ns in 0.25 ns steps
        t = 0.25 * i
        density = gauss(t, 5.0, 1.5) + 0.02 * gauss(t, 20.0, 3.0)
        points.append((t * NS, density))
    return points


def amplitude_spectrum():
    """Single-PE charge in units of the mean gain: a peak at 1 with 35 %
    r.m.s., plus an exponential shoulder of under-amplified PEs (electrons that
    miss the first dynode) that rises toward the pedestal. Sampled up to 3."""
    points = []
    for i in range(121):  # 0 to 3 in steps of 0.025
        a = 0.025 * i
        density = gauss(a, 1.0, 0.35) + 0.25 * math.exp(-a / 0.25)
        points.append((a, density))
    return points


def pulse_shape():
    """Front-end response to a unit charge on the 0.1 ns PMT grid, 64 ns long:
    16 ns of signal propagation delay (cable and preamplifier), a semi-Gaussian (CR-RC^2-like) pulse with a
    2.5 ns shaping time (10-90 % rise of about 3 ns) and a slow, shallow
    undershoot from the AC coupling. Scaled to a peak of exactly 1."""
    delay, tau, tau_slow, undershoot = 16.0, 2.5, 12.0, 0.03
    raw = []
    for i in range(641):
        t = 0.1 * i - delay
        if t <= 0.0:
            raw.append(0.0)
            continue
        fast = (t / tau) ** 2 * math.exp(2.0 - t / tau) / 4.0  # peak 1 at t = 2 tau
        slow = (t / tau_slow) * math.exp(1.0 - t / tau_slow)  # peak 1 at t = tau_slow
        raw.append(fast - undershoot * slow * (1.0 - math.exp(-t / tau)))
    # Let the undershoot recover smoothly to zero over the last 15 ns.
    for i in range(491, 641):
        raw[i] *= 0.5 * (1.0 + math.cos(math.pi * (i - 490) / 150.0))
    peak = max(raw)
    return [(i * PMT_STEP, round(v / peak, 6) + 0.0) for i, v in enumerate(raw)]  # + 0.0: no "-0"


def write_points(path, points):
    # The file format has no comment syntax: the description of each file
    # lives in examples/README.md and in the docstrings above.
    path.write_text("".join(f"{x:.6g} {y:.6g}\n" for x, y in points))


CONFIG = {
    "time_spectrum": "time_spectrum.txt",
    "amplitude_spectrum": "amplitude_spectrum.txt",
    "pulse_shape": "pulse_shape.txt",
    "pmt_time_step": PMT_STEP,
    "adc_step": 4e-9,
    "jitter": -1,
    "gain": 30.0,
    "offset": 20.0,
    "preamp_clip": 4000.0,
    "noise": 2.5,
    "clip": 4095.0,
    "waveform_samples": 32,
    "retrigger_offset": 32,
    "trigger_kernel": [1, 1, 1, 1],
    "adc_threshold": 55,
    "trigger_norm": 4,
    "trigger_offset": -3,
    "seed": 20240611,
    "early_handling": "WARN",
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=Path(__file__).resolve().parent / "zozuvuza")
    args = parser.parse_args()
    args.output.mkdir(parents=True, exist_ok=True)
    write_points(args.output / "time_spectrum.txt", time_spectrum())
    write_points(args.output / "amplitude_spectrum.txt", amplitude_spectrum())
    write_points(args.output / "pulse_shape.txt", pulse_shape())
    (args.output / "config.json").write_text(json.dumps(CONFIG, indent=4) + "\n")
    print(f"detector files written to {args.output}")


if __name__ == "__main__":
    main()
