"""Whole-detector runs on a local Dask cluster: the speed-up of two worker
processes over one, and what the cluster adds per block.

    python bench/bench_dask.py [--pes 1e7] [--channels 2000] [--model zozuvuza|multipmt]
                               [--overhead-blocks 400] [--repeat 1]

Throughput: dark noise on the example detector, about --pes PEs over
--channels channels, written as a dataset (one Parquet part per block, the
default block size), on LocalCluster(n_workers=N, processes=True,
threads_per_worker=1) for N = 1 and 2; the clusters are started before the
clock starts and warmed up with one small run, so the figures are the runs
alone. The best of --repeat runs counts.

Per-block overhead: --overhead-blocks blocks of one channel with a handful
of PEs each, written as a dataset, once on the 1-worker cluster and once on
the run's own single thread in this process; the difference per block is
what the cluster adds (scheduling, sending the job, the answer), beside the
block's own simulation and Parquet part.
"""

import argparse
import logging
import shutil
import tempfile
import time
from pathlib import Path

import velmora_batch as vb
from distributed import Client, LocalCluster

ROOT = Path(__file__).resolve().parents[1]


def best_time(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pes", type=float, default=1e7, help="expected PEs of the throughput run")
    parser.add_argument("--channels", type=int, default=2000)
    parser.add_argument("--model", choices=["zozuvuza", "multipmt"], default="zozuvuza")
    parser.add_argument("--overhead-blocks", type=int, default=400)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()

    det = vb.Detector.from_config(ROOT / "examples" / args.model / "config.json")
    duration = 1e-3
    rate = args.pes / args.channels / duration
    run = dict(dark_rate=rate, duration=duration, channels=range(args.channels), seed=1)
    tiny = dict(dark_rate=5e3, duration=duration, channels=range(args.overhead_blocks), seed=1, block_channels=1)
    work = Path(tempfile.mkdtemp(prefix="bench_dask."))
    n = [0]

    def fresh():
        n[0] += 1
        return work / f"d{n[0]}"

    try:
        times = {}
        overhead_cluster = None
        for workers in (1, 2):
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                              silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
                vb.run(det, **dict(run, channels=range(8)), executor=client, output=fresh())  # warm-up
                summary = None

                def once():
                    nonlocal summary
                    summary = vb.run(det, **run, executor=client, output=fresh())

                times[workers] = best_time(args.repeat, once)
                if workers == 1:
                    overhead_cluster = best_time(
                        args.repeat, lambda: vb.run(det, **tiny, executor=client, output=fresh()))
        # The same run on this process's thread pool: what the machine gives
        # two workers at the moment, whoever else runs on it.
        local = {w: best_time(args.repeat, lambda w=w: vb.run(det, **run, workers=w, output=fresh())) for w in (1, 2)}
        overhead_local = best_time(args.repeat, lambda: vb.run(det, **tiny, workers=1, output=fresh()))
        print(f"model {args.model}, {args.channels} channels, {args.pes:.3g} expected PEs, "
              f"{summary.blocks} blocks, {summary.rows} records")
        for workers, t in times.items():
            print(f"  {workers} worker(s): {t:.2f} s, {args.pes / t / 1e6:.2f} M PEs/s")
        print(f"  speed-up of 2 workers over 1: {times[1] / times[2]:.2f}x "
              f"(the local thread pool, 1 and 2 threads: {local[1]:.2f} s, {local[2]:.2f} s, "
              f"{local[1] / local[2]:.2f}x)")
        per_block = (overhead_cluster - overhead_local) / args.overhead_blocks * 1e3
        print(f"  per-block overhead of the cluster: {per_block:.2f} ms "
              f"({args.overhead_blocks} one-channel blocks: {overhead_cluster:.2f} s on the 1-worker cluster, "
              f"{overhead_local:.2f} s on one local thread)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
