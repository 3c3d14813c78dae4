"""Write and read speed of each record format against Parquet.

    python bench/bench_formats.py [--records N] [--models NAME ...] [--formats SUFFIX ...] [--block N] [--dir DIR]
                                  [--memory]

For each model, N records (default 10^7) are written block by block (blocks
of --block records, as a run hands them over) to a Parquet, ROOT, HDF5 and
.npz file through the package's writers, then read back in pieces (as
``velmora convert`` reads) and whole (``read_records``). The records look
like a run's: channels in order, times increasing within a channel, and
ZozuvUza waveforms of a baseline with Gaussian noise and a pulse, so that
they compress as real ones do. Blocks are made before the clock starts.

Prints a Markdown table: seconds and millions of records per second for
writing, reading in pieces and reading whole, and the file size. Timings are
wall-clock (time.perf_counter), one run each.

--memory instead writes the N records of each format in a child process that
makes each block just before writing it, and prints the child's peak
resident set (VmHWM) beside that of one that only makes the blocks: what the
writer adds to a run's memory.
"""

from __future__ import annotations

import argparse
import gc
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
from velmora_batch import read_records
from velmora_batch.internal import Columns, open_record_pieces, open_writer, record_dtype

WAVEFORM_SAMPLES = 32


def make_block(model: str, lo: int, n: int, rng: np.random.Generator) -> Columns:
    """``n`` records of a run, numbered from ``lo``: ten per channel."""
    dtype = record_dtype(model, WAVEFORM_SAMPLES)
    index = np.arange(lo, lo + n)
    out: Columns = {}
    for name in dtype.names or ():
        out[name] = np.zeros((n, *dtype[name].shape), dtype[name].base)
    out["channel"] = (index // 10).astype(np.int32)
    if model == "ZozuvUza":
        out["time_ns"] = (index % 10) * 100_000 + rng.integers(0, 1000, n)
        out["trigger_time_s"] = np.zeros(n, np.uint32)
        out["trigger_time_ticks"] = (out["time_ns"] // 4).astype(np.uint32)
        out["baseline"] = np.full(n, 10.0, np.float32)
        pulse = 40.0 * np.exp(-np.arange(WAVEFORM_SAMPLES - 8) / 3.0)
        waves = 10.0 + rng.normal(0.0, 1.0, (n, WAVEFORM_SAMPLES))
        waves[:, 8:] += rng.uniform(0.5, 2.0, (n, 1)) * pulse
        out["waveform"] = np.clip(np.rint(waves), 0, 4095).astype(np.uint16)
        out["intsum"] = (out["waveform"].astype(np.float32) - 10.0).sum(axis=1)
    else:
        out["time"] = (index % 10) * 1e-4 + rng.uniform(0.0, 1e-6, n)
        out["time_over_threshold"] = rng.uniform(5e-9, 60e-9, n)
        out["adc_sample"] = rng.integers(20, 600, n).astype(np.uint16)
        if "tdc_count" in out:
            out["tdc_count"] = np.rint(out["time"] / 0.5e-9).astype(np.int64)
    return out


def measure(model: str, suffix: str, blocks: list[Columns], directory: Path) -> dict[str, float]:
    path = directory / f"records-{model}{suffix}"
    gc.collect()
    start = time.perf_counter()
    with open_writer(path, model=model, waveform_samples=WAVEFORM_SAMPLES, metadata={"bench": True}) as writer:
        for block in blocks:
            writer.write(block)
    write = time.perf_counter() - start
    gc.collect()
    start = time.perf_counter()
    rows = 0
    with open_record_pieces(path) as pieces:
        for columns in pieces:
            rows += len(columns["channel"])
    pieces_read = time.perf_counter() - start
    assert rows == writer.rows
    gc.collect()
    start = time.perf_counter()
    records = read_records(path)
    whole = time.perf_counter() - start
    assert len(records) == writer.rows
    del records
    size = path.stat().st_size
    path.unlink()
    return {"write": write, "pieces": pieces_read, "whole": whole, "size": size}


WRITE_ONLY = """
import sys
import numpy as np
sys.path.insert(0, {bench!r})
from bench_formats import make_block
from velmora_batch.internal import open_writer
model, suffix, records, block, path = {model!r}, {suffix!r}, {records}, {block}, {path!r}
rng = np.random.default_rng(1)
if suffix == "none":
    for lo in range(0, records, block):
        make_block(model, lo, min(block, records - lo), rng)
else:
    with open_writer(path, model=model, waveform_samples={samples}, metadata={{}}) as writer:
        for lo in range(0, records, block):
            writer.write(make_block(model, lo, min(block, records - lo), rng))
print([line for line in open("/proc/self/status") if line.startswith("VmHWM")][0].split()[1])
"""


def peak_memory(args: argparse.Namespace, directory: Path) -> None:
    print(f"peak resident set of a child writing {args.records} records in blocks of {args.block}\n")
    print("| model | format | peak MiB |")
    print("|---|---|---|")
    for model in args.models:
        for suffix in ["none", *args.formats]:
            code = WRITE_ONLY.format(bench=str(Path(__file__).parent), model=model, suffix=suffix,
                                     records=args.records, block=args.block, samples=WAVEFORM_SAMPLES,
                                     path=str(directory / f"m-{model}{suffix}"))
            out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], check=True, capture_output=True,
                                 text=True).stdout
            shown = "blocks made, nothing written" if suffix == "none" else suffix
            print(f"| {model} | {shown} | {int(out.split()[-1]) / 1024:.0f} |", flush=True)
            (directory / f"m-{model}{suffix}").unlink(missing_ok=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=10**7)
    parser.add_argument("--block", type=int, default=100_000)
    parser.add_argument("--models", nargs="+", default=["ZozuvUza", "MultiPMT"])
    parser.add_argument("--formats", nargs="+", default=[".parquet", ".root", ".h5", ".npz"])
    parser.add_argument("--dir", type=Path, default=None, help="where to write the files (default: a temporary "
                                                                "directory)")
    parser.add_argument("--memory", action="store_true", help="peak memory of writing, in child processes")
    args = parser.parse_args()
    if args.memory:
        with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
            peak_memory(args, Path(tmp))
        return
    rng = np.random.default_rng(1)
    print(f"{args.records} records per file, blocks of {args.block}\n")
    print("| model | format | write s | write M rec/s | read in pieces s | read whole s | read whole M rec/s "
          "| size MB | size vs Parquet |")
    print("|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        for model in args.models:
            blocks = [make_block(model, lo, min(args.block, args.records - lo), rng)
                      for lo in range(0, args.records, args.block)]
            parquet_size = None
            for suffix in args.formats:
                m = measure(model, suffix, blocks, Path(tmp))
                if suffix == ".parquet":
                    parquet_size = m["size"]
                ratio = f"{m['size'] / parquet_size:.2f}" if parquet_size else "-"
                mega = args.records / 1e6
                print(f"| {model} | {suffix} | {m['write']:.1f} | {mega / m['write']:.2f} | {m['pieces']:.1f} | "
                      f"{m['whole']:.1f} | {mega / m['whole']:.2f} | {m['size'] / 1e6:.0f} | {ratio} |", flush=True)
            del blocks


if __name__ == "__main__":
    main()
