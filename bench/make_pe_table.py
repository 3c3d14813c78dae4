"""Writes a large PE table for memory measurements of velmora run --pes.

    python bench/make_pe_table.py ROWS PATH [--channels N] [--span S] [--seed N]

ROWS PEs spread uniformly over N channels (default 2000) and [0, S) seconds
(default 0.5), rows in random channel order (as a physics file would hold
them), written to a Parquet (or .npz) file a million rows at a time, so that
the script itself stays small whatever ROWS is.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("rows", type=float)
    parser.add_argument("path", type=Path)
    parser.add_argument("--channels", type=int, default=2000)
    parser.add_argument("--span", type=float, default=0.5)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rows = int(args.rows)
    rng = np.random.default_rng(args.seed)
    step = 1 << 20
    if args.path.suffix == ".npz":
        np.savez(args.path, channel=rng.integers(0, args.channels, rows), time=rng.uniform(0, args.span, rows))
        return
    import pyarrow as pa
    import pyarrow.parquet as pq

    schema = pa.schema([("channel", pa.int64()), ("time", pa.float64())])
    with pq.ParquetWriter(args.path, schema) as writer:
        for lo in range(0, rows, step):
            n = min(step, rows - lo)
            writer.write_table(pa.table({"channel": rng.integers(0, args.channels, n),
                                         "time": rng.uniform(0, args.span, n)}, schema=schema))


if __name__ == "__main__":
    main()
