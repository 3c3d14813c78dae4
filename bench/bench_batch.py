"""Benchmarks of velmora_batch.run on the example detectors.

    python bench/bench_batch.py [--quick] [--models NAME ...] [--skip-memory]

Four figures, printed as a Markdown table:

1. per-worker throughput: ``run(workers=1)`` on dark noise against the same
   PEs (the same per-channel times) through ``velmora``'s ``simulate`` on one
   thread, channel by channel, with the time of ``simulate`` alone;
2. scaling: ``run(workers=2)`` against ``run(workers=1)`` on at least 10^7 PEs;
3. records to columns: the engine's column hand-over (the time it spends
   turning records into columns, plus assembling the structured array)
   against reading the same records attribute by attribute from ``velmora``
   record objects into numpy arrays;
4. peak memory: a 10^8-PE dark-noise run written to Parquet, in a child
   process (its peak resident set, VmHWM), for two block sizes, beside a
   10^7-PE run.

Timings are wall-clock (time.perf_counter), best of --repeat runs.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
import velmora
import velmora_batch as vb
from velmora_batch.internal import core as _core
from velmora_batch.internal import record_dtype, records_of
from velmora_batch.internal import seeding as _seeding

ROOT = Path(__file__).resolve().parents[1]
CONFIGS = {"ZozuvUza": ROOT / "examples/zozuvuza/config.json", "MultiPMT": ROOT / "examples/multipmt/config.json"}
RATE = 3e3  # dark rate, Hz


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def throughput(model, n_pes, repeat):
    """run(workers=1) against velmora simulate on the same PEs."""
    det = vb.Detector.from_config(CONFIGS[model])
    channels = 200
    duration = n_pes / (RATE * channels)
    velmora_model = det.build_model(1)
    pes = [_seeding.dark_noise(1, c, RATE, duration) for c in range(channels)]
    total = sum(len(p) for p in pes)

    def simulate():
        for c, p in enumerate(pes):
            velmora_model.simulate(p, c)

    t_sim = best(simulate, repeat)
    t_run = best(lambda: vb.run(det, dark_rate=RATE, duration=duration, channels=range(channels), seed=1,
                                workers=1), repeat)
    return total, t_sim, t_run


def scaling(model, n_pes, repeat):
    det = vb.Detector.from_config(CONFIGS[model])
    channels = 2000
    duration = n_pes / (RATE * channels)
    args = dict(dark_rate=RATE, duration=duration, channels=range(channels), seed=1)
    t1 = best(lambda: vb.run(det, workers=1, **args), repeat)
    t2 = best(lambda: vb.run(det, workers=2, **args), repeat)
    return t1, t2


def columns(model, repeat):
    """Column hand-over against attribute-by-attribute reading of the same records."""
    det = vb.Detector.from_config(CONFIGS[model])
    rng = np.random.default_rng(2)
    # Flashes of 30 PEs every 2 us: many records per PE.
    times = (np.repeat(np.arange(20000) * 2e-6, 30) + rng.uniform(0, 2e-9, 600000)).astype(np.float64)
    records = det.build_model(5).simulate(times, 0)
    n = len(records)

    if model == "ZozuvUza":
        def read():
            return (np.array([r.channel for r in records], np.int32),
                    np.array([r.trigger_time_s * 10**9 + r.trigger_time_ticks * 4 for r in records], np.int64),
                    np.array([r.trigger_time_s for r in records], np.uint32),
                    np.array([r.trigger_time_ticks for r in records], np.uint32),
                    np.array([r.baseline for r in records], np.float32),
                    np.array([r.intsum for r in records], np.float32),
                    np.array([list(r.waveform) for r in records], np.uint16))
    else:
        def read():
            return (np.array([r.time for r in records], np.float64),
                    np.array([r.channel for r in records], np.int32),
                    np.array([r.time_over_threshold for r in records], np.float64),
                    np.array([r.adc_sample for r in records], np.uint16))

    t_attr = best(read, repeat)

    ws = int(det.params.get("waveform_samples", 1)) if model == "ZozuvUza" else 1
    dtype = record_dtype(model, ws)
    best_cols = float("inf")
    for _ in range(repeat):
        engine = getattr(_core, f"{model}Engine")([det.params], det.spectra)
        engine.seed_sequential(5)
        cols = engine.simulate(channels=np.zeros(1, np.int32), bounds=np.array([0, len(times)]), times=times,
                               models=np.zeros(1, np.int64), seeds=None, origin_ticks=np.zeros(1, np.uint64),
                               origins=np.zeros(1), cancel=_core.CancelFlag())
        start = time.perf_counter()
        rec = records_of([cols], dtype)
        t_cols = engine.columns_seconds + time.perf_counter() - start
        best_cols = min(best_cols, t_cols)
    assert len(rec) == n
    return n, t_attr, best_cols


MEMORY_CHILD = """
import sys, time
import velmora_batch as vb
det = vb.Detector.from_config(sys.argv[1])
n_pes, block = float(sys.argv[3]), sys.argv[4]
channels = 2000
start = time.perf_counter()
s = vb.run(det, dark_rate=3e3, duration=n_pes / (3e3 * channels), channels=range(channels), seed=1, workers=2,
           output=sys.argv[2], block_channels=None if block == "default" else int(block))
# VmHWM, the peak of this process image: ru_maxrss would also count the
# benchmark process that this child was forked from.
hwm = next(line for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(time.perf_counter() - start, s.rows, int(hwm.split()[1]) / 1024)
"""


def memory(model, n_pes, block):
    with tempfile.TemporaryDirectory() as tmp:
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(MEMORY_CHILD), str(CONFIGS[model]),
                              str(Path(tmp) / "dark.parquet"), str(n_pes), str(block)],
                             check=True, capture_output=True, text=True).stdout.split()
        size = (Path(tmp) / "dark.parquet").stat().st_size / 2**20
    seconds, rows, peak_mib = float(out[0]), int(out[1]), float(out[2])
    return seconds, rows, peak_mib, size


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small runs, one repeat (a smoke test)")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--models", nargs="+", default=list(CONFIGS))
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()
    repeat = 1 if args.quick else args.repeat
    n_tp, n_scale, n_mem = (2e5, 1e6, 1e6) if args.quick else (2e6, 1e7, 1e8)

    print(f"velmora {vb.__version__}; {n_tp:.0e} PEs per-worker throughput, {n_scale:.0e} PEs scaling")
    print()
    print("| model | figure | value |")
    print("|---|---|---|")
    for model in args.models:
        total, t_sim, t_run = throughput(model, n_tp, repeat)
        print(f"| {model} | simulate, 1 thread | {total / t_sim / 1e6:.2f} M PEs/s |")
        print(f"| {model} | run, 1 worker | {total / t_run / 1e6:.2f} M PEs/s ({t_sim / t_run:.0%} of simulate) |")
        t1, t2 = scaling(model, n_scale, repeat)
        print(f"| {model} | run, 2 workers vs 1 ({n_scale:.0e} PEs) | {t1:.2f} s / {t2:.2f} s = {t1 / t2:.2f}x |")
        n, t_attr, t_cols = columns(model, repeat)
        print(f"| {model} | {n} records to columns vs attribute by attribute | {t_cols * 1e3:.1f} ms vs "
              f"{t_attr * 1e3:.0f} ms = {t_attr / t_cols:.0f}x |")
        sys.stdout.flush()
    if not args.skip_memory:
        for model in args.models[:1]:
            for n_pes, block in [(n_mem / 10, "default"), (n_mem, "default"), (n_mem, 16)]:
                seconds, rows, peak, size = memory(model, n_pes, block)
                print(f"| {model} | {n_pes:.0e} dark-noise PEs to Parquet, block_channels={block} | peak RSS "
                      f"{peak:.0f} MiB, {seconds:.0f} s, {rows} records, file {size:.0f} MiB |")
                sys.stdout.flush()


if __name__ == "__main__":
    main()
