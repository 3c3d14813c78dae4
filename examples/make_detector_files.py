"""Writes the example detector files: examples/zozuvuza/ (a ZozuvUza channel),
examples/zozuvuza_single_pe/ (the same channel triggering on single PEs) and
examples/multipmt/ (a MultiPMT channel).

The spectra and the pulse shapes are smooth analytic models sampled on fixed
grids, so rerunning this script reproduces the committed files byte for byte.
examples/README.md describes what each file models.

    python examples/make_detector_files.py [--output DIR]

DIR (default: examples/) receives the two subdirectories.
"""

import argparse
import json
import math
from pathlib import Path

Points = list[tuple[float, float]]

NS = 1e-9
PMT_STEP = 1e-10
TOT_STEP = 5e-10


def gauss(x: float, mean: float, sigma: float) -> float:
    return math.exp(-0.5 * ((x - mean) / sigma) ** 2)


def time_spectrum(span: float = 30.0, peak: float = 5.0, rms: float = 1.5, late_weight: float = 0.02,
                  late_peak: float = 20.0, late_rms: float = 3.0) -> Points:
    """PE arrival delay after the photon hit, sampled every 0.25 ns from 0 to
    span ns: a Gaussian transit-time peak plus a late-pulse shoulder
    (photo-electrons that scatter back off the first dynode). The defaults are
    the ZozuvUza PMT's: 1.5 ns r.m.s. at 5 ns, and a shoulder around 20 ns
    holding about 4 % of the PEs."""
    points = []
    for i in range(round(span / 0.25) + 1):
        t = 0.25 * i
        density = gauss(t, peak, rms) + late_weight * gauss(t, late_peak, late_rms)
        points.append((t * NS, density))
    return points


def amplitude_spectrum() -> Points:
    """Single-PE charge in units of the mean gain: a peak at 1 with 35 %
    r.m.s., plus an exponential shoulder of under-amplified PEs (electrons that
    miss the first dynode) that rises toward the pedestal. Sampled up to 3."""
    points = []
    for i in range(121):  # 0 to 3 in steps of 0.025
        a = 0.025 * i
        density = gauss(a, 1.0, 0.35) + 0.25 * math.exp(-a / 0.25)
        points.append((a, density))
    return points


def pulse_shape() -> Points:
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


def semi_gaussian(t: float, tau: float) -> float:
    """CR-RC^2 response to a unit charge at t = 0, scaled to peak 1 at t = 2 tau."""
    if t <= 0.0:
        return 0.0
    return (t / tau) ** 2 * math.exp(2.0 - t / tau) / 4.0


def multipmt_time_spectrum() -> Points:
    """The smaller, faster PMT of a multi-PMT module: a transit-time peak of
    1.2 ns r.m.s. at 4 ns and a late-pulse shoulder around 14 ns holding about
    3 % of the PEs, sampled up to 25 ns."""
    return time_spectrum(span=25.0, peak=4.0, rms=1.2, late_weight=0.015, late_peak=14.0, late_rms=2.5)


def tot_pulse_shape() -> Points:
    """Fast shaper in front of the ToT discriminator, on the 0.5 ns ToT grid,
    20 ns long: a CR-RC^2 pulse with a 1.5 ns shaping time, peak 1 at 3 ns.
    A single PE of unit charge stays above a third of its peak for about 6 ns;
    by the end of the kernel the pulse has decayed to below 0.1 % of its peak."""
    return [(i * TOT_STEP, round(semi_gaussian(0.5 * i, 1.5), 6) + 0.0) for i in range(41)]


def multipmt_adc_pulse_shape() -> Points:
    """Slower shaper in front of the ADC, on the 0.1 ns PMT grid, 48 ns long:
    4 ns of cable and preamplifier delay, then a CR-RC^2 pulse with a 4 ns
    shaping time, peak 1 at 12 ns. Within 2 ns of the peak it stays above 92 %
    of it, so one 4 ns sample near the peak measures the charge. The last
    8 ns taper the remaining tail (under 2 % of the peak) smoothly to zero."""
    raw = [semi_gaussian(0.1 * i - 4.0, 4.0) for i in range(481)]
    for i in range(401, 481):
        raw[i] *= 0.5 * (1.0 + math.cos(math.pi * (i - 400) / 80.0))
    return [(i * PMT_STEP, round(v, 6) + 0.0) for i, v in enumerate(raw)]


def write_points(path: Path, points: Points) -> None:
    # The file format has no comment syntax: the description of each file
    # lives in examples/README.md and in the docstrings above.
    path.write_text("".join(f"{x:.6g} {y:.6g}\n" for x, y in points))


ZOZUVUZA_CONFIG = {
    "model": "ZozuvUza",
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

# The same channel with a trigger threshold of about half a PE: 8 LSB above the
# baseline, where a single PE averages about 16 LSB over the 4-sample sum, so
# most single PEs open a readout window.
ZOZUVUZA_SINGLE_PE_CONFIG = {**ZOZUVUZA_CONFIG, "adc_threshold": 28}

MULTIPMT_CONFIG = {
    "model": "MultiPMT",
    "time_spectrum": "time_spectrum.txt",
    "amplitude_spectrum": "amplitude_spectrum.txt",
    "pmt_time_step": PMT_STEP,
    "tot_step": TOT_STEP,
    "tot_pulse_shape": "tot_pulse_shape.txt",
    "tot_threshold": 0.3,
    "tot_dead_time": 5e-9,
    "tot_noise": 0.03,
    "tot_jitter": 2e-10,
    "adc_step": 4e-9,
    "adc_pulse_shape": "adc_pulse_shape.txt",
    "adc_jitter": -1,
    "adc_gain": 30.0,
    "adc_offset": 20.0,
    "adc_noise": 2.5,
    "adc_clip": 4000.0,
    "sample_delay": 14e-9,
    "seed": 20240612,
}

# Subdirectory -> {file name: points}, config.json.
DETECTORS = {
    "zozuvuza": (
        {
            "time_spectrum.txt": time_spectrum,
            "amplitude_spectrum.txt": amplitude_spectrum,
            "pulse_shape.txt": pulse_shape,
        },
        ZOZUVUZA_CONFIG,
    ),
    "zozuvuza_single_pe": (
        {
            "time_spectrum.txt": time_spectrum,
            "amplitude_spectrum.txt": amplitude_spectrum,
            "pulse_shape.txt": pulse_shape,
        },
        ZOZUVUZA_SINGLE_PE_CONFIG,
    ),
    "multipmt": (
        {
            "time_spectrum.txt": multipmt_time_spectrum,
            "amplitude_spectrum.txt": amplitude_spectrum,
            "tot_pulse_shape.txt": tot_pulse_shape,
            "adc_pulse_shape.txt": multipmt_adc_pulse_shape,
        },
        MULTIPMT_CONFIG,
    ),
}


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--output", type=Path, default=Path(__file__).resolve().parent,
                        help="directory that receives zozuvuza/, zozuvuza_single_pe/ and multipmt/ "
                             "(default: examples/)")
    args = parser.parse_args()
    for name, (files, config) in DETECTORS.items():
        directory = args.output / name
        directory.mkdir(parents=True, exist_ok=True)
        for file_name, points in files.items():
            write_points(directory / file_name, points())
        (directory / "config.json").write_text(json.dumps(config, indent=4) + "\n")
        print(f"detector files written to {directory}")


if __name__ == "__main__":
    main()
