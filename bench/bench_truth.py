"""The cost of the engine's truth on a dark-noise run of the example detectors.

    python bench/bench_truth.py [--pes N] [--channels N] [--repeat N] [--models NAME ...]

The blocks of a dark-noise run (its plan's pieces, built once) go through the
engine as a run sends them, with and without truth (the per-record truth
columns and the (record, PE) links), and without the always-on saturation
column, in interleaved rounds so that a loaded machine slows all alike. Prints
the best time of each, and the ratios truth / default and default / bare.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path
from typing import Any

import numpy as np
import velmora_batch as vb
from velmora_batch.internal import RunOptions, prepare, spec_of
from velmora_batch.internal import core as _core

ROOT = Path(__file__).resolve().parents[1]
CONFIGS = {"ZozuvUza": ROOT / "examples/zozuvuza/config.json", "MultiPMT": ROOT / "examples/multipmt/config.json"}
RATE = 3e3  # dark rate, Hz


def measure(model: str, n_pes: int, channels: int, repeat: int) -> dict[str, float]:
    det = vb.Detector.from_config(CONFIGS[model])
    duration = n_pes / (RATE * channels)
    plan = prepare(det, None, RunOptions(seed=1, workers=1, dark_rate=RATE, duration=duration,
                                         channels=range(channels)))
    inputs = plan.inputs
    blocks = [inputs.pieces(b.channels, provenance=True) for b in plan.block_list()]
    engine = spec_of(model).engine(inputs.parameter_sets, dict(det.spectra))

    def run(**extras: Any) -> int:
        rows = 0
        for pieces in blocks:
            args: dict[str, Any] = {k: v for k, v in pieces.items()
                                    if k not in ("kinds", "sources", "parent_kinds", "parent_sources")}
            if extras.get("truth"):
                extras = dict(extras, kinds=pieces["kinds"])
            rows += len(engine.simulate(**args, cancel=_core.CancelFlag(), **extras)["channel"])
        return rows

    variants = {"bare": dict(saturation=False), "default": {}, "truth": dict(truth=True)}
    best = {name: float("inf") for name in variants}
    rows = run()
    for _ in range(repeat):
        for name, extras in variants.items():
            start = time.perf_counter()
            run(**extras)
            best[name] = min(best[name], time.perf_counter() - start)
    pes = sum(len(p["times"]) for p in blocks)
    print(f"{model}: {pes} dark-noise PEs over {channels} channels, {rows} records, {len(blocks)} blocks")
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pes", type=int, default=2_000_000)
    parser.add_argument("--channels", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--models", nargs="+", default=list(CONFIGS))
    args = parser.parse_args()
    print("| model | without saturation | default (saturation) | with truth | truth / default | default / without |")
    print("|---|---|---|---|---|---|")
    for model in args.models:
        t = measure(model, args.pes, args.channels, args.repeat)
        print(f"| {model} | {t['bare']:.3f} s | {t['default']:.3f} s | {t['truth']:.3f} s | "
              f"{t['truth'] / t['default']:.3f} | {t['default'] / t['bare']:.3f} |")


if __name__ == "__main__":
    np.seterr(all="raise")
    main()
