"""Fuzz round of the ``velmora run`` command and of the velmora_batch Python API.

Generates bad and borderline inputs (configs, spectrum and pulse-shape files,
PE files, option combinations, signals in the middle of a run, Python calls),
runs each one in a fresh temporary directory as a subprocess with a time
limit, and sorts the outcomes into classes:

    success              exit 0
    clear_error          exit 1 or 2 with exactly one "Error: ..." line (click's
                         usage lines and "Warning: ..." lines aside), no traceback;
                         for Python cases, a ValueError, TypeError, RuntimeError,
                         MemoryError or OSError with a one-line message
    unclear_error        any other failure without a traceback (several error
                         lines, an empty message, "Aborted!", an odd exit code)
    traceback            "Traceback" in the output, or an undocumented exception
                         type from the Python API
    crash                ended by a signal (other than the one a signal case sent)
    hang                 did not end within --timeout seconds
    should_have_failed   success where the input is plainly invalid
    should_have_succeeded  failure where the input is valid
    wrong_result         success whose output does not read back or whose count
                         differs from the one printed, a signalled run that left
                         files behind, or a resumed run whose records differ from
                         an undisturbed run's

Use (from the repository root, with the package installed in .venv):

    .venv/bin/python tools/fuzz_batch.py                  # the whole round, 2 cases at a time
    .venv/bin/python tools/fuzz_batch.py --sample 1100 --keep   # a seeded sample, directories kept
    .venv/bin/python tools/fuzz_batch.py --jobs 1 --timeout 60 --random 600 --seed 3
    .venv/bin/python tools/fuzz_batch.py --only seed --verbose   # cases whose name contains "seed"
    .venv/bin/python tools/fuzz_batch.py --list           # the case names only
    .venv/bin/python tools/fuzz_batch.py --report fuzz.json

It prints the counts by class and, for every case not in success or
clear_error, its class, its reproducing command (to be run in the case's
directory, kept with --keep) and the last lines of its output. The exit status
is 1 when any traceback, crash, hang or wrong result was found, else 0. It is
not part of the test suite: pytest does not collect it.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import zipfile
from collections import Counter
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
VELMORA = [str(Path(sys.executable).parent / "velmora")]
PY = sys.executable

Setup = Callable[[Path], None]

# A small run: 4 channels of about 20 dark PEs each.
DARK = ["--dark-rate", "2e4", "--duration", "1e-3", "--channels", "0-3", "--seed", "5"]


@dataclass
class Case:
    name: str
    args: list[str]  # after "velmora run"; for Python cases: [code]
    setup: list[Setup] = field(default_factory=list)
    expect: str | None = None  # "ok", "fail" or None (either is sound)
    kind: str = "cli"  # "cli", "py" or "signal"
    signal_: int = 0
    delay: float = 0.0
    repeat: int = 1  # signal cases: the signal sent this many times, 20 ms apart
    dataset: bool = False
    model: str = "z"
    command: str = "run"  # the velmora command of a "cli" case


@dataclass
class Outcome:
    case: Case
    cls: str
    rc: int | None
    output: str
    seconds: float
    note: str = ""
    where: str = ""


# -- set-up helpers -------------------------------------------------------------------------------------------

MODEL_DIRS = {"z": EXAMPLES / "zozuvuza", "m": EXAMPLES / "multipmt"}


def copy_model(which: str) -> Setup:
    def setup(d: Path) -> None:
        target = d / which
        if not target.exists():
            shutil.copytree(MODEL_DIRS[which], target)
    return setup


def edit_config(which: str, change: Callable[[dict[str, Any]], Any]) -> Setup:
    def setup(d: Path) -> None:
        copy_model(which)(d)
        path = d / which / "config.json"
        config = json.loads(path.read_text())
        result = change(config)
        # The change edits the config in place, or returns a new one (a dict)
        # or the file's raw contents (str or bytes).
        if isinstance(result, str | bytes):
            path.write_bytes(result.encode() if isinstance(result, str) else result)
        else:
            path.write_text(json.dumps(result if isinstance(result, dict) else config))
    return setup


def write_file(rel: str, data: bytes | str) -> Setup:
    def setup(d: Path) -> None:
        path = d / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data.encode() if isinstance(data, str) else data)
    return setup


def edit_file(rel: str, change: Callable[[bytes], bytes]) -> Setup:
    def setup(d: Path) -> None:
        path = d / rel
        path.write_bytes(change(path.read_bytes()))
    return setup


def npz(rel: str, **arrays: Any) -> Setup:
    def setup(d: Path) -> None:
        with open(d / rel, "wb") as f:
            np.savez(f, **arrays)
    return setup


def parquet(rel: str, columns: dict[str, Any], names: list[str] | None = None, row_group: int | None = None) -> Setup:
    def setup(d: Path) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        arrays = [c if isinstance(c, pa.Array | pa.ChunkedArray) else pa.array(c) for c in columns.values()]
        table = pa.Table.from_arrays(arrays, names=names or list(columns))
        pq.write_table(table, d / rel, row_group_size=row_group)
    return setup


def csv(rel: str, text: str) -> Setup:
    return write_file(rel, text)


def _edit_manifest(directory: Path, change: Callable[[Any], Any]) -> None:
    """Replaces the manifest of the dataset ``directory`` by ``change`` of
    it, unchecked (it is JSON in the metadata of a Parquet file)."""
    import pyarrow.parquet as pq

    from velmora_batch.internal import MANIFEST, write_manifest

    schema = pq.read_schema(directory / MANIFEST)
    write_manifest(directory, change(json.loads(schema.metadata[b"velmora"])), schema)


def flash(n: int = 40, channels: int = 4) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(1)
    return {"channel": np.repeat(np.arange(channels), n), "time": 2e-6 + rng.random(n * channels) * 1e-7}


# -- case generators ------------------------------------------------------------------------------------------

KEYS = {
    "z": json.loads((EXAMPLES / "zozuvuza" / "config.json").read_text()),
    "m": json.loads((EXAMPLES / "multipmt" / "config.json").read_text()),
}
FILE_KEYS = {"z": ["time_spectrum", "amplitude_spectrum", "pulse_shape"],
             "m": ["time_spectrum", "amplitude_spectrum", "tot_pulse_shape", "adc_pulse_shape"]}
OPTIONAL_KEYS = {"seed", "early_handling"}
WRONG_TYPES: list[tuple[str, Any]] = [
    ("null", None), ("true", True), ("text", "abc"), ("list", []), ("object", {}), ("list1", [1]),
    ("numtext", "1.5"),
]
EXTREME_NUMBERS: list[tuple[str, Any]] = [
    ("zero", 0), ("negzero", -0.0), ("minus1", -1), ("tiny", 5e-324), ("huge", 1e308), ("neghuge", -1e308),
    ("int31", 2**31), ("int31m1", 2**31 - 1), ("int63", 2**63), ("intneg31", -(2**31) - 1), ("half", 0.5),
    ("e-300", 1e-300), ("big30", 1e30), ("ten", 10), ("onee6", 1e6),
]


def config_cases() -> list[Case]:
    cases: list[Case] = []
    for m in ("z", "m"):
        cfg = f"{m}/config.json"
        base = [cfg, *DARK, "-o", "out.parquet"]
        cases.append(Case(f"config/{m}/plain", base, [copy_model(m)], "ok", model=m))
        for key in KEYS[m]:
            cases.append(Case(f"config/{m}/missing/{key}", base,
                              [edit_config(m, lambda c, k=key: c.pop(k))],
                              "ok" if key in OPTIONAL_KEYS else "fail", model=m))
            for label, value in WRONG_TYPES:
                if key == "seed" and value is None:
                    expect: str | None = "ok"
                elif key == "trigger_kernel" and value == [1]:
                    expect = "ok"
                else:
                    expect = "fail"
                cases.append(Case(f"config/{m}/type/{key}/{label}", base,
                                  [edit_config(m, lambda c, k=key, v=value: c.__setitem__(k, v))], expect, model=m))
            if key in ("model", "early_handling") or key in FILE_KEYS[m]:
                continue
            for label, value in EXTREME_NUMBERS:
                if key == "trigger_kernel":
                    value = [value, 1]
                cases.append(Case(f"config/{m}/extreme/{key}/{label}", base,
                                  [edit_config(m, lambda c, k=key, v=value: c.__setitem__(k, v))], None, model=m))
        # JSON's non-standard constants, which Python's json module reads.
        for const in ("NaN", "Infinity", "-Infinity"):
            for key in [k for k, v in KEYS[m].items() if isinstance(v, float)][:4]:
                cases.append(Case(f"config/{m}/const/{key}/{const}", base, [edit_config(
                    m, lambda c, k=key, cst=const: json.dumps(c).replace(f'"{k}": {json.dumps(c[k])}',
                                                                         f'"{k}": {cst}'))], "fail", model=m))
        for label, extra in [("unknown", {"gian": 1}), ("emptykey", {"": 1}), ("overrides_missing", {"overrides": "nope.csv"}),
                             ("overrides_num", {"overrides": 5}), ("overrides_list", {"overrides": [1, 2]}),
                             ("overrides_dict_bad", {"overrides": {"channel": [1, 1]}}),
                             ("overrides_obj", {"overrides": {"channel": ["a"]}}),
                             ("model_other", {"model": "Zozuvuza"}), ("model_list", {"model": ["ZozuvUza"]}),
                             ("seed_float", {"seed": 1.5}), ("seed_neg", {"seed": -5}), ("seed_big", {"seed": 2**130}),
                             ("seed_text", {"seed": "7"}), ("early_lower", {"early_handling": "warn"}),
                             ("early_throw", {"early_handling": "THROW"})]:
            # MultiPMT has no early_handling: the key is unknown there.
            expect = "ok" if label == "seed_big" or (label == "early_throw" and m == "z") else (
                "fail" if label != "seed_neg" else None)
            cases.append(Case(f"config/{m}/extra/{label}", base,
                              [edit_config(m, lambda c, e=extra: {**c, **e})], expect, model=m))
        # Implausible units: nanoseconds or whole seconds where seconds are meant.
        for key, value in {"z": [("pmt_time_step", 0.1), ("adc_step", 4), ("pmt_time_step", 1e-3)],
                           "m": [("sample_delay", 14), ("tot_dead_time", 5), ("pmt_time_step", 0.1),
                                 ("tot_jitter", 0.2), ("tot_step", 0.5)]}[m]:
            cases.append(Case(f"config/{m}/units/{key}={value}", base,
                              [edit_config(m, lambda c, k=key, v=value: c.__setitem__(k, v))], None, model=m))
        # The config file itself.
        for label, data in [("empty", b""), ("notjson", b"{model: x"), ("array", b"[1, 2]"), ("binary", os.urandom(200)),
                            ("bom", b"\xef\xbb\xbf" + (EXAMPLES / ("zozuvuza" if m == "z" else "multipmt") /
                                                       "config.json").read_bytes()),
                            ("deep", b"[" * 100000 + b"]" * 100000), ("latin1", b'{"model": "Zozuv\xe9Uza"}'),
                            ("null", b"null"), ("number", b"3"), ("dupkeys", None)]:
            if label == "dupkeys":
                setup = edit_config(m, lambda c: json.dumps(c)[:-1] + ', "gain": "x"}')
            else:
                setup = edit_config(m, lambda c, x=data: x)
            cases.append(Case(f"config/{m}/file/{label}", base, [setup], "fail" if label != "bom" else None, model=m))
        cases.append(Case(f"config/{m}/file/directory", [m, *DARK, "-o", "out.parquet"], [copy_model(m)], "fail", model=m))
        cases.append(Case(f"config/{m}/file/missing", ["nope.json", *DARK, "-o", "out.parquet"], [], "fail", model=m))
    return cases


GOOD_PAIRS = "0 1\n1e-9 2\n2e-9 1\n"


def spectrum_mutations(original: bytes) -> list[tuple[str, Callable[[bytes], bytes], str | None]]:
    lines = original.split(b"\n")
    half = len(lines) // 2
    return [
        ("empty", lambda b: b"", "fail"),
        ("onepoint", lambda b: b"0 1\n", "fail"),
        ("truncated_mid", lambda b: b[: len(b) // 2] + b"\n" if not b[len(b) // 2 - 1: len(b) // 2].isspace() else b[: len(b) // 2 - 1], None),
        ("cut_number", lambda b: b.rstrip()[:-1], None),
        ("comment_mid", lambda b: b"\n".join(lines[:half] + [b"# a comment"] + lines[half:]), "fail"),
        ("comment_first", lambda b: b"# header\n" + b, "fail"),
        ("oddcount", lambda b: b.rstrip() + b" 3\n", "fail"),
        ("nan", lambda b: b"\n".join(lines[:half] + [b"1 nan"] + lines[half:]), "fail"),
        ("inf", lambda b: b"\n".join(lines[:half] + [b"1 inf"] + lines[half:]), "fail"),
        ("e999", lambda b: b"\n".join(lines[:half] + [b"1 1e999"] + lines[half:]), "fail"),
        ("hex", lambda b: b"\n".join(lines[:half] + [b"0x1 1"] + lines[half:]), "fail"),
        ("arabic_digit", lambda b: b"\n".join(lines[:half] + ["\u0663 1".encode()] + lines[half:]), "fail"),
        ("binary", lambda b: bytes(range(256)) * 4, "fail"),
        ("nul", lambda b: b.replace(b"\n", b"\x00\n", 3), "fail"),
        ("crlf", lambda b: b.replace(b"\n", b"\r\n"), "ok"),
        ("tabs", lambda b: b.replace(b" ", b"\t"), "ok"),
        ("one_line", lambda b: b.replace(b"\n", b" "), "ok"),
        ("bom", lambda b: b"\xef\xbb\xbf" + b, "fail"),
        ("latin1", lambda b: b + b"\xe9\n", "fail"),
        ("negative_y", lambda b: b"\n".join(lines[:half] + [lines[half].split()[0] + b" -5" if lines[half].split() else b""] + lines[half + 1:]), None),
        ("all_zero_y", lambda b: b"\n".join(l.split()[0] + b" 0" for l in lines if l.split()), None),
        ("huge_y", lambda b: b"\n".join(l.split()[0] + b" 1e308" for l in lines if l.split()), None),
        ("unsorted", lambda b: b"\n".join(reversed([l for l in lines if l.strip()])), None),
        ("dup_x", lambda b: b"\n".join([l for l in lines if l.strip()][:1] * 2 + [l for l in lines if l.strip()][1:]), None),
        ("huge_file", lambda b: b"".join(f"{i * 1e-10!r} 1\n".encode() for i in range(200000)), None),
        ("trailing_garbage", lambda b: b + b"end\n", "fail"),
        ("plus_signs", lambda b: b.replace(b"\n0", b"\n+0"), "ok"),
        ("fortran_d", lambda b: b"\n".join(lines[:half] + [b"1.0d0 1"] + lines[half:]), "fail"),
        ("comma_sep", lambda b: b.replace(b" ", b","), "fail"),
        ("dot_only", lambda b: b"\n".join(lines[:half] + [b". 1"] + lines[half:]), "fail"),
    ]


def file_cases() -> list[Case]:
    cases: list[Case] = []
    for m in ("z", "m"):
        cfg = f"{m}/config.json"
        base = [cfg, *DARK, "-o", "out.parquet"]
        for key in FILE_KEYS[m]:
            rel = f"{m}/{KEYS[m][key]}"
            original = (MODEL_DIRS[m] / KEYS[m][key]).read_bytes()
            for label, change, expect in spectrum_mutations(original):
                if label in ("crlf", "tabs", "one_line", "plus_signs"):
                    expect = "ok"
                cases.append(Case(f"file/{m}/{key}/{label}", base, [copy_model(m), edit_file(rel, change)], expect,
                                  model=m))
            cases.append(Case(f"file/{m}/{key}/missing", base, [copy_model(m), lambda d, r=rel: (d / r).unlink()],
                              "fail", model=m))
            cases.append(Case(f"file/{m}/{key}/directory", base,
                              [copy_model(m), lambda d, r=rel: ((d / r).unlink(), (d / r).mkdir())], "fail", model=m))
            cases.append(Case(f"file/{m}/{key}/inline", base, [edit_config(
                m, lambda c, k=key: c.__setitem__(k, {"x": [0, 1e-10, 2e-10], "y": [0, 1, 0]}))], None, model=m))
            cases.append(Case(f"file/{m}/{key}/inline_bad", base, [edit_config(
                m, lambda c, k=key: c.__setitem__(k, {"x": [0, "a"], "y": [0, 1]}))], "fail", model=m))
            cases.append(Case(f"file/{m}/{key}/inline_nan", base, [edit_config(
                m, lambda c, k=key: json.dumps({**c, k: {"x": [0, 1e-10], "y": [0, 1]}}).replace("[0, 1]", "[0, NaN]"))],
                "fail", model=m))
            cases.append(Case(f"file/{m}/{key}/abs_path", base, [edit_config(
                m, lambda c, k=key, m=m: c.__setitem__(k, str(MODEL_DIRS[m] / KEYS[m][k])))], "ok", model=m))
            cases.append(Case(f"file/{m}/{key}/dev_null", base, [edit_config(
                m, lambda c, k=key: c.__setitem__(k, "/dev/null"))], "fail", model=m))
            # A pulse shape on another grid than its step.
            if "pulse" in key:
                cases.append(Case(f"file/{m}/{key}/wrong_step", base, [copy_model(m), edit_file(
                    rel, lambda b: b"".join(f"{float(l.split()[0]) * 2!r} {l.split()[1].decode()}\n".encode()
                                            for l in b.split(b"\n") if l.split()))], "fail", model=m))
    return cases


def pe_cases() -> list[Case]:
    cases: list[Case] = []
    good = flash()
    for m in ("z", "m"):
        cfg = f"{m}/config.json"

        def add(name: str, setups: list[Setup], pes: str, expect: str | None, extra: list[str] | None = None) -> None:
            cases.append(Case(f"pes/{m}/{name}", [cfg, "--pes", pes, "--seed", "3", *(extra or []), "-o", "out.parquet"],
                              [copy_model(m), *setups], expect, model=m))

        for fmt in ("parquet", "npz", "csv"):
            def make(rel: str, cols: dict[str, Any], fmt: str = fmt) -> Setup:
                if fmt == "parquet":
                    return parquet(rel, cols)
                if fmt == "npz":
                    return npz(rel, **{k: np.asarray(v) for k, v in cols.items()})
                lines = ",".join(cols) + "\n" + "".join(
                    ",".join(repr(v) if not isinstance(v, str) else v for v in row) + "\n"
                    for row in zip(*[np.asarray(v).tolist() for v in cols.values()]))
                return csv(rel, lines)

            p = f"pes.{fmt}"
            add(f"{fmt}/good", [make(p, good)], p, "ok")
            add(f"{fmt}/empty_file", [write_file(p, b"")], p, "fail")
            add(f"{fmt}/zero_rows", [make(p, {"channel": np.zeros(0, np.int64), "time": np.zeros(0)})], p, "fail")
            add(f"{fmt}/zero_rows_with_channels", [make(p, {"channel": np.zeros(0, np.int64), "time": np.zeros(0)})], p,
                "ok", ["--channels", "0-2"])
            add(f"{fmt}/truncated", [make(p, good), lambda d, p=p: (d / p).write_bytes((d / p).read_bytes()[:200])], p, None)
            add(f"{fmt}/truncated_tail", [make(p, good), lambda d, p=p: (d / p).write_bytes((d / p).read_bytes()[:-7])], p, None)
            add(f"{fmt}/garbage", [write_file(p, os.urandom(3000))], p, "fail")
            add(f"{fmt}/missing_time", [make(p, {"channel": good["channel"]})], p, "fail")
            add(f"{fmt}/missing_channel", [make(p, {"time": good["time"]})], p, "fail")
            add(f"{fmt}/renamed", [make(p, {"Channel": good["channel"], "Time": good["time"]})], p, "fail")
            add(f"{fmt}/extra_column", [make(p, {**good, "energy": good["time"]})], p, "ok")
            add(f"{fmt}/time_first", [make(p, {"time": good["time"], "channel": good["channel"]})], p, "ok")
            for label, time_value, expect in [
                ("nan", np.nan, "fail"), ("inf", np.inf, "fail"), ("neginf", -np.inf, "fail"),
                ("neg_small", -1e-9, None), ("neg_big", -1e12, "fail"), ("big", 1e12, "fail"), ("limit_below", 109.0, None),
                ("limit_above", 111.0, "fail"), ("denormal", 5e-324, "ok"), ("max", 1.7976931348623157e308, "fail"),
                ("zero", 0.0, "ok"), ("negzero", -0.0, "ok"),
            ]:
                t = good["time"].copy()
                t[5] = time_value
                add(f"{fmt}/time_{label}", [make(p, {"channel": good["channel"], "time": t})], p, expect)
                if label in ("big", "limit_above", "neg_small", "max", "neg_big"):
                    for seg in ("1", "4e-4", "1e300"):
                        add(f"{fmt}/time_{label}/segment{seg}", [make(p, {"channel": good["channel"], "time": t})], p,
                            None, ["--segment", seg])
            for label, channel_value, expect in [
                ("negative", -1, "fail"), ("int31", 2**31, "fail"), ("int31m1", 2**31 - 1, "ok"),
                ("huge", 2**62, "fail"), ("fraction", 1.5, "fail"), ("float_whole", 2.0, None),
            ]:
                c = good["channel"].astype(np.float64 if isinstance(channel_value, float) else np.int64)
                c[3] = channel_value
                add(f"{fmt}/channel_{label}", [make(p, {"channel": c, "time": good["time"]})], p, expect)
            add(f"{fmt}/channel_text", [make(p, {"channel": np.array(["a"] * len(good["time"])), "time": good["time"]})],
                p, "fail")
            add(f"{fmt}/time_text", [make(p, {"channel": good["channel"], "time": np.array(["x"] * len(good["time"]))})],
                p, "fail")
            add(f"{fmt}/bool_channel", [make(p, {"channel": good["channel"] > 1, "time": good["time"]})], p, None)
            add(f"{fmt}/uint64_channel", [make(p, {"channel": good["channel"].astype(np.uint64), "time": good["time"]})],
                p, "ok")
            add(f"{fmt}/int8_channel", [make(p, {"channel": good["channel"].astype(np.int8), "time": good["time"]})], p, "ok")
            add(f"{fmt}/float32_time", [make(p, {"channel": good["channel"], "time": good["time"].astype(np.float32)})],
                p, "ok")
            add(f"{fmt}/int_time", [make(p, {"channel": good["channel"], "time": np.zeros(len(good["time"]), np.int64)})],
                p, "ok")
            add(f"{fmt}/big_table", [make(p, {"channel": np.arange(200000) % 16, "time": np.linspace(0, 1e-3, 200000)})],
                p, "ok", ["--workers", "2"])
        # Format-specific cases.
        add("npz/npy_named_npz", [lambda d: np.save(open(d / "pes.npz", "wb"), np.arange(10.0))], "pes.npz", "fail")
        add("npz/pickled_object", [lambda d: np.savez(d / "pes.npz", channel=np.array([1, "a"], dtype=object),
                                                      time=np.array([1e-6, 2e-6]))], "pes.npz", "fail")
        add("npz/2d", [npz("pes.npz", channel=np.zeros((2, 3), np.int64), time=np.zeros((2, 3)))], "pes.npz", "fail")
        add("npz/lengths_differ", [npz("pes.npz", channel=np.arange(5), time=np.zeros(4))], "pes.npz", "fail")
        add("npz/scalar", [npz("pes.npz", channel=np.int64(1), time=np.float64(1e-6))], "pes.npz", None)
        add("npz/compressed", [lambda d: np.savez_compressed(d / "pes.npz", **good)], "pes.npz", "ok")
        add("npz/zip_of_text", [lambda d: zipfile.ZipFile(d / "pes.npz", "w").writestr("channel.npy", "hello")],
            "pes.npz", "fail")
        add("npz/big_endian", [npz("pes.npz", channel=good["channel"].astype(">i8"), time=good["time"].astype(">f8"))],
            "pes.npz", "ok")
        add("npz/fortran_order", [npz("pes.npz", channel=np.asfortranarray(good["channel"]),
                                       time=np.asfortranarray(good["time"]))], "pes.npz", "ok")
        add("npz/structured", [npz("pes.npz", channel=np.zeros(3, [("a", "i4")]), time=np.zeros(3))], "pes.npz", "fail")
        add("npz/complex_time", [npz("pes.npz", channel=np.arange(3), time=np.zeros(3, complex))], "pes.npz", "fail")
        add("npz/huge_header", [lambda d: zipfile.ZipFile(d / "pes.npz", "w").writestr(
            "channel.npy", b"\x93NUMPY\x01\x00" + (60000).to_bytes(2, "little") + b"{" + b" " * 59999)], "pes.npz", "fail")
        add("npz/shape_lies", [lambda d: zipfile.ZipFile(d / "pes.npz", "w").writestr(
            "channel.npy", b"\x93NUMPY\x01\x00v\x00{'descr': '<i8', 'fortran_order': False, 'shape': (100000000000,), }"
            + b" " * 40 + b"\n" + b"\x00" * 64)], "pes.npz", "fail")
        add("csv/header_only", [csv("pes.csv", "channel,time\n")], "pes.csv", "fail")
        add("csv/duplicate_columns", [csv("pes.csv", "channel,time,time\n1,1e-6,2e-6\n")], "pes.csv", "fail")
        add("csv/semicolons", [csv("pes.csv", "channel;time\n1;1e-6\n")], "pes.csv", "fail")
        add("csv/quoted", [csv("pes.csv", '"channel","time"\n"1","1e-6"\n')], "pes.csv", None)
        add("csv/blank_cell", [csv("pes.csv", "channel,time\n1,\n2,1e-6\n")], "pes.csv", "fail")
        add("csv/bom", [write_file("pes.csv", b"\xef\xbb\xbfchannel,time\n1,1e-6\n")], "pes.csv", None)
        add("csv/spaces", [csv("pes.csv", "channel, time\n1, 1e-6\n")], "pes.csv", None)
        add("csv/nan_text", [csv("pes.csv", "channel,time\n1,nan\n")], "pes.csv", "fail")
        add("csv/arabic_digits", [csv("pes.csv", "channel,time\n\u0661,1e-6\n")], "pes.csv", "fail")
        add("csv/ragged", [csv("pes.csv", "channel,time\n1,1e-6,3\n")], "pes.csv", "fail")
        add("csv/crlf", [csv("pes.csv", "channel,time\r\n1,1e-6\r\n")], "pes.csv", "ok")
        add("csv/huge_channel", [csv("pes.csv", "channel,time\n99999999999999999999999,1e-6\n")], "pes.csv", "fail")
        add("parquet/duplicate_column", [parquet("pes.parquet", {"channel": good["channel"], "time": good["time"],
                                                                  "x": good["time"]}, names=["channel", "time", "time"])],
            "pes.parquet", "fail")
        add("parquet/nulls", [parquet("pes.parquet", {"channel": [1, None, 2], "time": [1e-6, 2e-6, None]})],
            "pes.parquet", "fail")
        add("parquet/list_column", [parquet("pes.parquet", {"channel": [[1], [2]], "time": [1e-6, 2e-6]})],
            "pes.parquet", "fail")
        add("parquet/dictionary", [lambda d: parquet("pes.parquet", {
            "channel": __import__("pyarrow").array(good["channel"]).dictionary_encode(), "time": good["time"]})(d)],
            "pes.parquet", None)
        add("parquet/many_row_groups", [parquet("pes.parquet", good, row_group=7)], "pes.parquet", "ok")
        add("parquet/decimal_time", [lambda d: parquet("pes.parquet", {
            "channel": [1, 2], "time": __import__("pyarrow").array(
                [__import__("decimal").Decimal("0.000001")] * 2)})(d)], "pes.parquet", None)
        add("parquet/timestamp_time", [lambda d: parquet("pes.parquet", {
            "channel": [1, 2], "time": __import__("pyarrow").array([1, 2], __import__("pyarrow").timestamp("s"))})(d)],
            "pes.parquet", "fail")
        add("suffix/txt", [write_file("pes.txt", "channel,time\n1,1e-6\n")], "pes.txt", "fail")
        add("suffix/upper", [npz("pes.NPZ", **good)], "pes.NPZ", None)
        add("suffix/directory", [lambda d: (d / "pes.parquet").mkdir()], "pes.parquet", "fail")
        add("suffix/fifo_missing", [], "missing.parquet", "fail")
    return cases


CHANNEL_TEXTS = ["", ",", "0-", "-1", "1-0", "0--3", "0 - 3", "\u0663", "\uff10-\uff13", "0x10", "1e3", "2147483648",
                 "0,0,0", "3-3", " 1 ", "1,,2", "+1", "1_000", "0-2147483647", "2147483647", "0-3,2-5", "5,3,1",
                 "0-3\n", "٠-٣", "9" * 40, "0-1,", "a-b", "0:3", "0..3", "\t2\t", "-", "0-3-5"]
SEGMENTS = ["0", "-1", "nan", "inf", "1e-9", "4e-9", "1e-6", "1e300", "10.000000002", "1e-320", "1", "110", "111",
            "2e-9", "4.000000001e-9", "0x10", "1e-3", "-0"]
RATES = ["0", "-1", "nan", "inf", "1e300", "1e-300", "5e-324", "1e9", "2e8", "1", "-0", "1e308", "\u0661", "1_000"]
DURATIONS = ["0", "-1", "nan", "inf", "1e300", "1e-300", "5e-324", "100", "111", "1e-3", "1e5", "-0"]
SEEDS = ["-1", "0", str(2**31 - 1), str(2**31), str(2**32), str(2**64), str(2**128), str(10**40), "\u0661\u0662",
         "\uff17", "0x10", "+5", " 7", "1_000", "1e3", "", "-" + str(2**31), "-" + str(2**31 + 1), "12\n"]
SETS = ["gain", "=", "gain=", "gain=nan", "gain=\u0661", "trigger_kernel=", "trigger_kernel=[1,2]", "trigger_kernel=1,,2",
        "waveform_samples=100000000", "waveform_samples=65536", "waveform_samples=65537", "waveform_samples=0",
        "seed=abc", "seed=-1", "seed=" + str(2**70), "model=MultiPMT", "overrides=nofile.csv", "early_handling=zero",
        "early_handling=THROW", "unknown=1", "gain=1e308", "gain=-1", "noise=0", "noise=1e30", "clip=0", "clip=70000",
        "adc_threshold=0", "adc_threshold=2147483648", "trigger_norm=0", "trigger_offset=-100000",
        "retrigger_offset=0", "jitter=5", "pmt_time_step=1e-11", "adc_step=1e-10", "time_spectrum=nope.txt",
        "pulse_shape=/dev/null", "trigger_kernel=[]", "trigger_kernel=[1.5]", "gain= 3 ", " gain=3", "GAIN=3",
        "tot_threshold=0", "tot_dead_time=5", "sample_delay=1e308", "tot_jitter=1e308", "adc_clip=-1",
        "sample_delay=14", "tot_step=1e-10", "adc_noise=nan", "overrides=", "gain=1,2"]
BLOCKS = ["0", "1", "3", "1000000", "2147483648", "-1", "abc", "\u0661"]
WORKERS = ["0", "1", "2", "64", "-1", "abc", "99999999999999999999"]
OUTPUTS = ["", ".parquet", "/", "dir/", "a.txt", "a.PARQUET", "nope/x.parquet", "x.npz", "x" * 300 + ".parquet",
           "new\nline.parquet", "-", "~/x.parquet", "a b.parquet", "\u00e9t\u00e9.parquet", ".npz", "..", ".",
           "x.parquet/", "/proc/x.parquet", "/dev/null", "dir.npz/", "\x01.parquet", "out.Npz"]
MEMORY = ["0", "1", "1K", "8G", "none", "auto", "-1", "abc", "1e30", "nan", "\u0661G", "1.5G", "inf", "", "1T", "1KiB",
          "99999999999999999999999999G", "1e-3"]


def option_cases() -> list[Case]:
    cases: list[Case] = []
    for m in ("z", "m"):
        cfg = f"{m}/config.json"
        setup = [copy_model(m)]

        def add(name: str, args: list[str], expect: str | None = None, extra: list[Setup] | None = None) -> None:
            cases.append(Case(f"opt/{m}/{name}", [cfg, *args], setup + (extra or []), expect, model=m))

        for text in CHANNEL_TEXTS:
            expect = "ok" if text in ("0,0,0", "3-3", " 1 ", "0-3,2-5", "5,3,1", "2147483647", "\t2\t", "0-3\n") else (
                None if text in ("0-2147483647", "+1", "0 - 3") else "fail")
            extra = ["--dry-run"] if text == "0-2147483647" else []
            add(f"channels/{text!r}", ["--dark-rate", "2e4", "--duration", "1e-3", "--channels", text, "--seed", "1",
                                       *extra, "-o", "out.parquet"], expect)
        for seg in SEGMENTS:
            expect = "fail" if seg in ("0", "-1", "nan", "inf", "1e300", "10.000000002", "1e-320", "1e-9", "2e-9",
                                       "4.000000001e-9", "0x10", "-0") else None
            add(f"segment/{seg}", [*DARK, "--segment", seg, "-o", "out.parquet"], expect)
        for rate in RATES:
            expect = "fail" if rate in ("-1", "nan", "inf", "1e300", "\u0661", "1_000", "1e308") else None
            add(f"dark_rate/{rate}", ["--dark-rate", rate, "--duration", "1e-3", "--channels", "0-1", "--seed", "1",
                                      "-o", "out.parquet"], expect)
        for dur in DURATIONS:
            expect = "fail" if dur in ("-1", "nan", "inf", "1e300", "0", "-0") else None
            add(f"duration/{dur}", ["--dark-rate", "10", "--duration", dur, "--channels", "0-1", "--seed", "1",
                                    "-o", "out.parquet"], expect)
        for seed in SEEDS:
            bad = any(not c.isascii() for c in seed) or seed in ("0x10", "1_000", "1e3", "")
            expect = "fail" if bad else None
            add(f"seed/{seed!r}", ["--dark-rate", "2e4", "--duration", "1e-3", "--channels", "0-1", "--seed", seed,
                                   "-o", "out.parquet"], expect)
            add(f"seed_sequential/{seed!r}", ["--dark-rate", "2e4", "--duration", "1e-3", "--channels", "0-1", "--seed",
                                              seed, "--seeding", "sequential", "-o", "out.parquet"], expect)
        for setting in SETS:
            if m == "m" and setting.split("=")[0] in ("gain", "trigger_kernel", "waveform_samples", "clip", "noise",
                                                      "adc_threshold", "trigger_norm", "trigger_offset",
                                                      "retrigger_offset", "jitter", "pulse_shape"):
                pass  # unknown keys for MultiPMT: still worth trying
            expect = "fail" if setting in ("gain", "=", "gain=", "gain=nan", "gain=\u0661", "trigger_kernel=",
                                           "trigger_kernel=1,,2", "seed=abc", "model=MultiPMT", "overrides=nofile.csv",
                                           "early_handling=zero", "unknown=1", "waveform_samples=0",
                                           "waveform_samples=100000000", "trigger_kernel=[]", "trigger_kernel=[1.5]",
                                           "GAIN=3", "time_spectrum=nope.txt", "pulse_shape=/dev/null",
                                           "adc_noise=nan", "overrides=", "gain=1,2", "adc_threshold=2147483648",
                                           "sample_delay=1e308", "tot_jitter=1e308") else None
            add(f"set/{setting!r}", [*DARK, "--set", setting, "-o", "out.parquet"], expect)
        for b in BLOCKS:
            expect = "fail" if b in ("0", "-1", "abc", "\u0661") else "ok"
            add(f"block_channels/{b}", [*DARK, "--block-channels", b, "-o", "out.parquet"], expect)
            add(f"block_channels_dataset/{b}", [*DARK, "--block-channels", b, "-o", "ds/"], expect)
        for w in WORKERS:
            expect = "fail" if w in ("0", "-1", "abc") else None
            add(f"workers/{w}", [*DARK, "--workers", w, "-o", "out.parquet"], expect)
        for out in OUTPUTS:
            # "." and ".." are existing directories, which a dataset may use.
            expect = "fail" if out in ("", ".parquet", "/", "a.txt", "nope/x.parquet", ".npz", "/proc/x.parquet",
                                       "/dev/null") else None
            add(f"output/{out!r}", [*DARK, "-o", out], expect)
        for mem in MEMORY:
            expect = "fail" if mem in ("0", "1", "1K", "-1", "abc", "nan", "\u0661G", "inf", "", "1e-3") else None
            add(f"max_memory/{mem!r}", [*DARK, "--max-memory", mem, "-o", "out.parquet"], expect)
        # Flag combinations on a record file and on a dataset directory.
        prior_file = [lambda d, cfg=cfg: subprocess.run([*VELMORA, "run", f"{d}/{cfg}", *DARK, "-o", f"{d}/out.parquet"],
                                               capture_output=True, timeout=60)]
        prior_ds = [lambda d, cfg=cfg: subprocess.run([*VELMORA, "run", f"{d}/{cfg}", *DARK, "--block-channels", "1",
                                              "-o", f"{d}/ds/"], capture_output=True, timeout=60)]
        for flags, expect_new, expect_file, expect_ds in [
            ([], "ok", "fail", "fail"), (["--overwrite"], "ok", "ok", "ok"), (["--resume"], "fail", "fail", "ok"),
            (["--resume", "--overwrite"], "fail", "fail", "fail"), (["--dry-run"], "ok", "fail", "fail"),
            (["--dry-run", "--resume"], None, None, None), (["--dry-run", "--overwrite"], "ok", "ok", "ok"),
        ]:
            label = "+".join(flags) or "none"
            add(f"flags/new_file/{label}", [*DARK, *flags, "-o", "out.parquet"], expect_new)
            add(f"flags/existing_file/{label}", [*DARK, *flags, "-o", "out.parquet"], expect_file, prior_file)
            add(f"flags/existing_ds/{label}", [*DARK, "--block-channels", "1", *flags, "-o", "ds/"], expect_ds, prior_ds)
            add(f"flags/existing_ds_other_seed/{label}", [*DARK[:-1], "6", "--block-channels", "1", *flags, "-o", "ds/"],
                "fail" if "--resume" in flags and "--dry-run" not in flags else None, prior_ds)
        # A dataset tampered with, then resumed or read.
        for label, tamper in [
            ("manifest_garbage", lambda d: (d / "ds" / "_manifest.parquet").write_text("{")),
            ("manifest_list", lambda d: _edit_manifest(d / "ds", lambda m: [])),
            ("manifest_missing", lambda d: (d / "ds" / "_manifest.parquet").unlink()),
            ("part_deleted", lambda d: sorted((d / "ds").glob("part-*"))[0].unlink()),
            ("part_truncated", lambda d: (lambda p: p.write_bytes(p.read_bytes()[:100]))(sorted((d / "ds").glob("part-*"))[1])),
            ("part_swapped", lambda d: shutil.copy(sorted((d / "ds").glob("part-*"))[0], sorted((d / "ds").glob("part-*"))[1])),
            ("foreign_file", lambda d: (d / "ds" / "notes.txt").write_text("mine")),
            ("manifest_path_escape", lambda d: _edit_manifest(
                d / "ds", lambda m: json.loads(json.dumps(m).replace("part-", "../part-", 1)))),
        ]:
            expect = "ok" if label in ("part_deleted", "part_truncated", "part_swapped", "foreign_file") else "fail"
            add(f"tamper/{label}/resume", [*DARK, "--block-channels", "1", "--resume", "-o", "ds/"], expect,
                prior_ds + [tamper])
            cases.append(Case(f"py/{m}/tamper/{label}/read", [
                "import velmora_batch as vb; vb.read_records('ds')"], [copy_model(m), *prior_ds, tamper],
                "ok" if label == "foreign_file" else "fail", kind="py", model=m))
        # Options that should combine.
        add("combo/pes_and_dark", ["--pes", "pes.npz", "--dark-rate", "1e4", "--duration", "1e-3", "--channels", "0-5",
                                   "--seed", "2", "-o", "out.parquet"], "ok", [npz("pes.npz", **flash())])
        add("combo/dark_no_duration", ["--dark-rate", "1e4", "--channels", "0-2", "-o", "out.parquet"], "fail")
        add("combo/duration_no_rate", ["--pes", "pes.npz", "--duration", "1", "-o", "out.parquet"], "fail",
            [npz("pes.npz", **flash())])
        add("combo/scheduler_and_cluster", [*DARK, "--scheduler", "tcp://127.0.0.1:1", "--cluster", "local",
                                            "-o", "ds/"], "fail")
        add("combo/scheduler_unreachable", [*DARK, "--scheduler", "tcp://127.0.0.1:9", "-o", "ds/"], "fail")
        add("combo/scheduler_garbage", [*DARK, "--scheduler", "not an address", "-o", "ds/"], "fail")
        add("combo/dashboard_alone", [*DARK, "--dashboard", "-o", "out.parquet"], "fail")
        add("combo/no_output", [*DARK], "fail")
        add("combo/nothing", ["-o", "out.parquet"], "fail")
        add("combo/sequential_dataset", [*DARK, "--seeding", "sequential", "-o", "ds/"], None)
        add("combo/sequential_segment", [*DARK, "--seeding", "sequential", "--segment", "4e-4", "-o", "out.parquet"],
            None)
        add("combo/npz_output_many", ["--dark-rate", "1e5", "--duration", "1e-3", "--channels", "0-99", "--seed", "1",
                                      "-o", "out.npz"], "ok")
        add("combo/unknown_option", [*DARK, "--sed", "1", "-o", "out.parquet"], "fail")
        add("combo/repeated_seed", [*DARK, "--seed", "9", "-o", "out.parquet"], None)
    return cases


def random_cases(count: int, seed: int) -> list[Case]:
    """Random combinations of the odd values above on a small run."""
    rng = random.Random(seed)
    pools: list[tuple[str, list[str]]] = [
        ("--channels", CHANNEL_TEXTS), ("--segment", SEGMENTS), ("--dark-rate", RATES), ("--duration", DURATIONS),
        ("--seed", SEEDS), ("--set", SETS), ("--block-channels", BLOCKS), ("--workers", ["1", "2", "0", "3"]),
        ("--max-memory", MEMORY), ("--seeding", ["independent", "sequential", "random"]),
    ]
    cases = []
    for i in range(count):
        m = rng.choice("zm")
        opts = {"--dark-rate": "2e4", "--duration": "1e-3", "--channels": "0-3", "--seed": "5"}
        setups: list[Setup] = [copy_model(m)]
        extra: list[str] = []
        if rng.random() < 0.3:
            setups.append(npz("pes.npz", **flash(10, 3)))
            extra += ["--pes", "pes.npz"]
            if rng.random() < 0.5:
                del opts["--dark-rate"], opts["--duration"]
        for _ in range(rng.randint(1, 3)):
            option, pool = rng.choice(pools)
            value = rng.choice(pool)
            if option == "--set":
                extra += ["--set", value]
            else:
                opts[option] = value
        if rng.random() < 0.1:
            extra.append("--dry-run")
        output = rng.choice(["out.parquet", "out.npz", "ds/"])
        args = [f"{m}/config.json", *extra, *[x for kv in opts.items() for x in kv], "-o", output]
        cases.append(Case(f"random/{i}", args, setups, None, model=m))
    return cases


def signal_cases() -> list[Case]:
    cases = []
    long_run = ["--dark-rate", "1e6", "--duration", "0.25", "--channels", "0-19", "--seed", "8", "--workers", "1",
                "--block-channels", "2"]
    for m in ("z", "m"):
        for sig in (signal.SIGTERM, signal.SIGINT):
            for delay in (0.5, 1.5):
                for output in ("out.parquet", "ds/"):
                    cases.append(Case(f"signal/{m}/{sig.name}/{delay}/{output}",
                                      [f"{m}/config.json", *long_run, "-o", output], [copy_model(m)], None,
                                      kind="signal", signal_=sig, delay=delay, dataset=output.endswith("/"), model=m))
        # The signal sent again while the run stops: its cleanup must still run to the end.
        for repeat, delay in ((3, 0.5), (6, 1.0)):
            cases.append(Case(f"signal/{m}/SIGTERMx{repeat}/{delay}/out.parquet",
                              [f"{m}/config.json", *long_run, "-o", "out.parquet"], [copy_model(m)], None,
                              kind="signal", signal_=signal.SIGTERM, delay=delay, repeat=repeat, model=m))
        # A PE file being split when the signal comes.
        for delay in (1.0,):
            cases.append(Case(f"signal/{m}/SIGTERM/pes/{delay}",
                              [f"{m}/config.json", "--pes", "pes.npz", "--seed", "8", "--workers", "1",
                               "--block-channels", "50", "-o", "ds/"],
                              [copy_model(m), npz("pes.npz", channel=np.arange(2_000_000) % 400,
                                                  time=np.linspace(0, 1e-2, 2_000_000))],
                              None, kind="signal", signal_=signal.SIGTERM, delay=delay, dataset=True, model=m))
    return cases


def python_cases() -> list[Case]:
    cases = []
    head = "import numpy as np, velmora_batch as vb; det = vb.Detector.from_config('{m}/config.json'); "
    snippets: list[tuple[str, str, str | None]] = [
        ("pandas_df", "import pandas as pd; vb.run(det, pd.DataFrame({{'channel': [1, 2], 'time': [1e-6, 2e-6]}}), seed=1)", "ok"),
        ("arrow_table", "import pyarrow as pa; vb.run(det, pa.table({{'channel': [1], 'time': [1e-6]}}), seed=1)", "ok"),
        ("dict_table", "vb.run(det, {{'channel': [1], 'time': [1e-6]}}, seed=1)", None),
        ("list_pes", "vb.run(det, [1, 2, 3], seed=1)", "fail"),
        ("int_pes", "vb.run(det, 5, seed=1)", "fail"),
        ("channels_float", "vb.run(det, dark_rate=1e3, duration=1e-3, channels=[1.5], seed=1)", "fail"),
        ("channels_gen", "vb.run(det, dark_rate=1e3, duration=1e-3, channels=(i for i in range(3)), seed=1)", "ok"),
        ("channels_neg_range", "vb.run(det, dark_rate=1e3, duration=1e-3, channels=range(-3, 2), seed=1)", "fail"),
        ("channels_step_range", "vb.run(det, dark_rate=1e3, duration=1e-3, channels=range(10, 0, -3), seed=1)", "ok"),
        ("channels_empty", "vb.run(det, dark_rate=1e3, duration=1e-3, channels=[], seed=1)", "fail"),
        ("channels_none_obj", "vb.run(det, dark_rate=1e3, duration=1e-3, channels=object(), seed=1)", "fail"),
        ("channels_2d", "vb.run(det, dark_rate=1e3, duration=1e-3, channels=np.zeros((2, 2), int), seed=1)", "fail"),
        ("channels_bool", "vb.run(det, dark_rate=1e3, duration=1e-3, channels=np.array([True, False]), seed=1)", None),
        ("channels_str_list", "vb.run(det, dark_rate=1e3, duration=1e-3, channels=['1'], seed=1)", None),
        ("seed_float", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1.5)", "fail"),
        ("seed_str", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed='7')", "fail"),
        ("seed_bool", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=True)", "fail"),
        ("seed_neg", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=-1)", "fail"),
        ("seed_np", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=np.int64(3))", "ok"),
        ("seed_huge", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=2**200)", "ok"),
        ("seed_seq_big", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=2**40, seeding='sequential')", "fail"),
        ("workers_float", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, workers=1.5)", "fail"),
        ("workers_str", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, workers='2')", "fail"),
        ("rate_str", "vb.run(det, dark_rate='1e3', duration=1e-3, channels='0-1', seed=1)", "fail"),
        ("rate_complex", "vb.run(det, dark_rate=1j, duration=1e-3, channels='0-1', seed=1)", "fail"),
        ("rate_np", "vb.run(det, dark_rate=np.float32(1e3), duration=1e-3, channels='0-1', seed=1)", "ok"),
        ("rate_nan", "vb.run(det, dark_rate=float('nan'), duration=1e-3, channels='0-1', seed=1)", "fail"),
        ("duration_huge", "vb.run(det, dark_rate=1e-300, duration=1e300, channels='0-1', seed=1)", "fail"),
        ("segment_str", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, segment='1')", "fail"),
        ("segment_np", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, segment=np.float64(4e-4))", "ok"),
        ("block_float", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, block_channels=2.0)", "fail"),
        ("seeding_bad", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, seeding='Independent')", "fail"),
        ("output_int", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, output=5)", "fail"),
        ("output_bytes", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, output=b'x.parquet')", None),
        ("max_memory_float", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, max_memory=1.5)", "fail"),
        ("max_memory_bool", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, max_memory=True)", "fail"),
        ("executor_bad", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, executor=object())", "fail"),
        ("executor_process", "import concurrent.futures as cf; vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-3', "
         "seed=1, output='ds/', executor=cf.ThreadPoolExecutor(2))", "ok"),
        ("resume_no_output", "vb.run(det, dark_rate=1e3, duration=1e-3, channels='0-1', seed=1, resume=True)", "fail"),
        ("pes_missing_file", "vb.run(det, 'nope.parquet', seed=1)", "fail"),
        ("pes_path_dir", "vb.run(det, '.', seed=1)", "fail"),
        ("read_pes_bad", "vb.read_pes(__import__('os').devnull)", "fail"),
        ("read_records_missing", "vb.read_records('nope.parquet')", "fail"),
        ("read_records_dir_empty", "__import__('os').mkdir('e'); vb.read_records('e')", "fail"),
        ("read_records_text", "open('r.parquet','w').write('hi'); vb.read_records('r.parquet')", "fail"),
        ("read_records_npz_text", "open('r.npz','w').write('hi'); vb.read_records('r.npz')", "fail"),
        ("read_records_empty_npz", "open('r.npz','w').close(); vb.read_records('r.npz')", "fail"),
        ("read_records_other_npz", "np.savez('r.npz', a=np.arange(3)); vb.read_records('r.npz')", "fail"),
        ("read_records_other_parquet", "import pyarrow as pa, pyarrow.parquet as pq; pq.write_table(pa.table({{'a': [1]}}), "
         "'r.parquet'); vb.read_records('r.parquet')", "fail"),
        ("read_metadata_other_parquet", "import pyarrow as pa, pyarrow.parquet as pq; pq.write_table(pa.table({{'a': [1]}}),"
         " 'r.parquet'); vb.read_metadata('r.parquet')", "fail"),
        ("read_metadata_bad_json", "import pyarrow as pa, pyarrow.parquet as pq; pq.write_table(pa.table({{'a': [1]}})"
         ".replace_schema_metadata({{b'velmora': b'{{'}}), 'r.parquet'); vb.read_metadata('r.parquet')", "fail"),
        ("read_records_pickle_npz", "np.savez('r.npz', channel=np.array([object()], dtype=object)); vb.read_records('r.npz')",
         "fail"),
        ("detector_from_dict_list", "vb.Detector.from_dict([1])", "fail"),
        ("detector_from_dict_none", "vb.Detector.from_dict(None)", "fail"),
        ("detector_missing_file", "vb.Detector.from_config('nope.json')", "fail"),
        ("detector_overrides_bad", "vb.Detector.from_config('{m}/config.json', overrides={{'channel': [1], 'bogus': [2]}})",
         "fail"),
        ("detector_overrides_nan", "vb.Detector.from_config('{m}/config.json', overrides={{'channel': [1, 2], "
         "'{okey}': [1.0, float('nan')]}})", "fail"),
        ("detector_overrides_dupe", "vb.Detector.from_config('{m}/config.json', overrides={{'channel': [1, 1], "
         "'{okey}': [1.0, 2.0]}})", "fail"),
        ("detector_overrides_ragged", "vb.Detector.from_config('{m}/config.json', overrides={{'channel': [1, 2], "
         "'{okey}': [1.0]}})", "fail"),
        ("detector_overrides_huge_channel", "vb.Detector.from_config('{m}/config.json', overrides={{'channel': [2**40], "
         "'{okey}': [1.0]}})", "fail"),
        ("detector_overrides_str", "vb.Detector.from_config('{m}/config.json', overrides='nope.csv')", "fail"),
        ("detector_overrides_other", "vb.Detector.from_config('{m}/config.json', overrides=5)", "fail"),
        ("detector_roundtrip", "d2 = vb.Detector.from_dict(det.config()); assert d2 == det", "ok"),
        ("detector_pickle", "import pickle; assert pickle.loads(pickle.dumps(det)) == det", "ok"),
        ("overrides_huge_value_run", "d = vb.Detector.from_config('{m}/config.json', overrides={{'channel': [1], "
         "'{okey}': [1e300]}}); vb.run(d, dark_rate=1e4, duration=1e-3, channels='0-2', seed=1)", None),
    ]
    okey = {"z": "gain", "m": "adc_gain"}
    for m in ("z", "m"):
        for label, code, expect in snippets:
            cases.append(Case(f"py/{m}/{label}", [head.format(m=m) + code.format(m=m, okey=okey[m])], [copy_model(m)],
                              expect, kind="py", model=m))
    return cases


def late_type_csv(rel: str, rows: int = 600_000) -> Setup:
    """A CSV PE file whose other columns change type after ``rows`` rows
    (past Arrow's first block): whole numbers to a fraction and to a word."""
    def setup(d: Path) -> None:
        i = np.arange(rows)
        body = np.char.add(np.char.add(np.char.add((i % 8).astype(str), ","), (2e-6 + i * 1e-9).astype(str)),
                           np.char.add(",", i.astype(str)))
        text = "\n".join(np.char.add(body, ",1").tolist())
        (d / rel).write_text(f"channel,time,event_id,note\n{text}\n1,3e-6,7.5,word\n")
    return setup


def input_cases() -> list[Case]:
    """Inputs near the edges of what a run reads: afterpulse spectra at the
    limits of double precision, event windows longer than any run, CSV
    columns that change type late, other PE columns a links file cannot
    hold, and files that are not what their name says."""
    cases: list[Case] = []
    for m in ("z", "m"):
        cfg = f"{m}/config.json"
        for scale in ("1e200", "1e-200", "1e300", "1e-300", "5e-324", "1.7e308"):
            spectrum = {"x": [0.0, 2e-7, 5e-7, 1e-6], "y": [0.0, 1.0 * float(scale), 0.5 * float(scale), 0.0]}
            cases.append(Case(f"inputs/{m}/afterpulse_scale/{scale}", [cfg, *DARK, "-o", "out.parquet"],
                              [edit_config(m, lambda c, s=spectrum: c.update(afterpulses={
                                  "probability": 0.5, "delay_spectrum": s}))], None, model=m))
        cases.append(Case(f"inputs/{m}/csv_late_type_change", [cfg, "--pes", "late.csv", "-o", "out.parquet"],
                          [copy_model(m), late_type_csv("late.csv")], "ok", model=m))
        cases.append(Case(f"inputs/{m}/csv_late_type_change/links",
                          [cfg, "--pes", "late.csv", "--truth", "links", "-o", "out.parquet"],
                          [copy_model(m), late_type_csv("late.csv")], "ok", model=m))
        cases.append(Case(f"inputs/{m}/overrides_header_only",
                          [cfg, *DARK, "--set", "overrides=o.csv", "-o", "out.parquet"],
                          [copy_model(m), csv("o.csv", "channel\n")], "ok", model=m))
    head = "import numpy as np, pyarrow as pa, velmora_batch as vb; det = vb.Detector.from_config('{m}/config.json'); "
    flash_ = "pa.table({{'channel': np.repeat(np.arange(4), 20), 'time': np.full(80, 2e-6)}})"
    made = f"vb.run(det, {flash_}, dark_rate=2e4, duration=1e-3, seed=5, output='r.parquet'); "
    snippets: list[tuple[str, str, str | None]] = [
        # Delays at a power-of-two scale are those of the spectrum itself, bit for bit.
        ("afterpulse_scale_exact", "from velmora_batch.internal import seeding as _seeding; x = np.linspace(0, 1e-6, 40); "
         "y = np.exp(-x / 2e-7); draw = lambda y: _seeding.afterpulses(1, 0, np.zeros(5000), 1.0, "
         "_seeding.PiecewiseLinear(x, y))[1]; assert all((draw(y * 2.0**k) == draw(y)).all() for k in "
         "(-1000, -600, 600, 1000)); assert abs(np.median(draw(y * 1e200)) - np.median(draw(y))) < 2e-8", "ok"),
        *[(f"events_window_{w}", made + f"vb.write_events('r.parquet', 'e.parquet', multiplicity=2, window={w})", "ok")
          for w in ("1e10", "9.3e9", "1e300", "1.7e308")],
        *[(f"events_window_{w}", made + f"vb.write_events('r.parquet', 'e.parquet', multiplicity=2, window={w})",
           "fail") for w in ("float('inf')", "float('nan')", "0.0", "-1.0")],
        ("find_events_window_huge", f"r = vb.run(det, {flash_}, dark_rate=2e4, duration=1e-3, seed=5); "
         "e, _ = vb.find_events(r, 2, 1e300); assert e.num_rows == 1", "ok"),
        ("find_events_no_records", "r = vb.run(det, dark_rate=1.0, duration=1e-6, channels='0-3', seed=5); "
         "assert len(r) == 0; e, _ = vb.find_events(r, 2, 1e-7); assert e.num_rows == 0", "ok"),
        # A wrong diagnosis is no clear error: these assert what the message says.
        ("npz_not_an_archive_message", "open('r.npz', 'w').write('channel,time\\n'); "
         "exec('try:\\n vb.read_records(\\'r.npz\\')\\nexcept ValueError as e:\\n "
         "assert \\'pickle\\' not in str(e) and \\'not a zip archive\\' in str(e), e\\n raise')", "fail"),
        *[(f"links_{label}_column", f"t = pa.table({{{{'channel': [0, 1], 'time': [1e-6, 2e-6], 'odd': {column}}}}}); "
           "exec('try:\\n vb.run(det, t, truth=\\'links\\', output=\\'r.parquet\\')\\nexcept ValueError as e:"
           "\\n assert \\'odd\\' in str(e), e\\n raise')", "fail")
          for label, column in (("dense_union", "pa.UnionArray.from_dense(pa.array([0, 1], pa.int8()), "
                                                "pa.array([0, 0], pa.int32()), [pa.array([1]), pa.array(['a'])])"),
                                ("sparse_union", "pa.UnionArray.from_sparse(pa.array([0, 1], pa.int8()), "
                                                 "[pa.array([1, 2]), pa.array(['a', 'b'])])"),
                                ("empty_struct", "pa.array([{{}}, {{}}], pa.struct([]))"))],
        ("links_nul_name", "vb.run(det, pa.table({{'channel': [0], 'time': [1e-6], 'a\\x00b': [1]}}), truth='links')",
         "fail"),
        ("links_hdf5_group_odd_dataset", "import h5py; f = h5py.File('p.h5', 'w'); f['t/channel'] = [0, 1, 2]; "
         "f['t/time'] = [1e-6, 2e-6, 3e-6]; f['t/odd'] = [1.0]; f.close(); "
         "vb.run(det, 'p.h5', truth='links', output='r.parquet')", "fail"),
        ("overrides_empty_csv_and_parquet", "import pyarrow.parquet as pq; open('o.csv', 'w').write('channel\\n'); "
         "pq.write_table(pa.table({{'channel': pa.array([], pa.int64())}}), 'o.parquet'); "
         "assert vb.Detector.from_config('{m}/config.json', overrides='o.csv') == "
         "vb.Detector.from_config('{m}/config.json', overrides='o.parquet') == det", "ok"),
    ]
    for m in ("z", "m"):
        for label, code, expect in snippets:
            cases.append(Case(f"inputs/py/{m}/{label}", [head.format(m=m) + code.format(m=m)], [copy_model(m)],
                              expect, kind="py", model=m))
    return cases


# -- truth, labels, links, events and output names -------------------------------------------------------------

# A PE table of three events (event_id 100, 101, 102) on channels 0-3, with
# other columns of every kind a label may be asked of.
LABEL_EVENTS = np.array([2e-6, 4.1e-4, 8.3e-4])


def label_table(rel: str) -> Setup:
    def setup(d: Path) -> None:
        import pyarrow as pa
        import pyarrow.csv as pacsv
        import pyarrow.parquet as pq

        rng = np.random.default_rng(2)
        events = np.repeat(np.arange(3), 40)
        columns: dict[str, Any] = {
            "channel": rng.integers(0, 4, events.size), "time": LABEL_EVENTS[events] + rng.random(events.size) * 2e-8,
            "event_id": events + 100, "energy": events * 1.5 + 0.25, "note": np.array([f"e{e}" for e in events]),
            "neg": np.where(events == 1, -1, events), "n_pe": events, "small": events.astype(np.int8),
            "big": np.full(events.size, 2**63 + 1, np.uint64), "flag": events > 0,
            "nan_energy": np.where(events == 2, np.nan, 1.0)}
        path = d / rel
        if rel.endswith(".npz"):
            np.savez(path, **columns)
        elif rel.endswith(".csv"):
            pacsv.write_csv(pa.table(columns), path)
        else:
            pq.write_table(pa.table(columns), path)
    return setup


def velmora_step(*args: str) -> Setup:
    """A set-up step that runs ``velmora ARGS`` in the case's directory (its outcome is the case's to see)."""
    def setup(d: Path) -> None:
        subprocess.run([*VELMORA, *args], cwd=d, capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
    return setup


LABELS = [("event_id", "ok"), ("energy", "ok"), ("small", "ok"), ("nan_energy", None), ("flag", None),
          ("note", "fail"), ("neg", "fail"), ("big", "fail"), ("missing", "fail"), ("n_pe", "fail"),
          ("channel", "fail"), ("time", None), ("", "fail"), ("Event_id", "fail")]
LABEL_OUTPUTS = ["out.parquet", "out.npz", "out.root", "out.h5", "d/"]


def label_cases() -> list[Case]:
    cases: list[Case] = []
    for m in ("z", "m"):
        cfg = f"{m}/config.json"
        setup = [copy_model(m), label_table("pes.parquet")]

        def add(name: str, args: list[str], expect: str | None, extra: list[Setup] | None = None) -> None:
            cases.append(Case(f"label/{m}/{name}", [cfg, *args], setup + (extra or []), expect, model=m))

        pes = ["--pes", "pes.parquet", "--seed", "4"]
        for column, expect in LABELS:
            add(f"column/{column!r}", [*pes, "--label", column, "-o", "out.parquet"], expect)
        for out in LABEL_OUTPUTS:
            add(f"output/{out}", [*pes, "--label", "event_id", "-o", out], "ok")
            add(f"output_links/{out}", [*pes, "--label", "event_id", "--truth", "links", "-o", out], "ok")
        add("with_dark", [*pes, "--dark-rate", "2e4", "--duration", "1e-3", "--label", "event_id", "-o", "out.parquet"],
            "ok")
        add("dark_only", [*DARK, "--label", "event_id", "-o", "out.parquet"], "fail")
        add("segment", [*pes, "--dark-rate", "2e4", "--duration", "1e-3", "--segment", "3e-4", "--label", "event_id",
                        "-o", "out.parquet"], "ok")
        add("segment_tiny", [*pes, "--segment", "4e-6", "--label", "energy", "-o", "d/"], "ok")
        add("order_time", [*pes, "--dark-rate", "2e4", "--duration", "1e-3", "--order", "time", "--label", "event_id",
                           "-o", "out.parquet"], "ok")
        add("order_time_links", [*pes, "--order", "time", "--truth", "links", "--label", "event_id",
                                 "-o", "out.parquet"], None)
        add("twice", [*pes, "--label", "event_id", "--label", "energy", "-o", "out.parquet"], None)
        for fmt in ("npz", "csv"):
            cases.append(Case(f"label/{m}/pes_{fmt}", [cfg, "--pes", f"pes.{fmt}", "--seed", "4", "--label", "event_id",
                                                       "-o", "out.parquet"], [copy_model(m), label_table(f"pes.{fmt}")],
                              "ok", model=m))
        add("dry_run", [*pes, "--label", "event_id", "--dry-run", "-o", "out.parquet"], "ok")
    head = ("import numpy as np, pyarrow as pa, velmora_batch as vb; det = vb.Detector.from_config('MODEL/config.json'); "
            "import pyarrow.parquet as pq; t = pq.read_table('pes.parquet'); ")
    snippets: list[tuple[str, str, str | None]] = [
        ("event_id", "r = vb.run(det, t, seed=4, label='event_id'); "
         "assert set(np.unique(r['event_id'])) <= {-1, 100, 101, 102}, np.unique(r['event_id']); "
         "assert r['event_id'].dtype == np.int64", "ok"),
        ("energy_nan", "r = vb.run(det, t, dark_rate=1e6, duration=1e-3, channels='0-5', seed=4, label='energy'); "
         "assert r['energy'].dtype == np.float64; e = r['energy'][r['n_pe'] > 0]; "
         "assert set(e[~np.isnan(e)].tolist()) <= {0.25, 1.75, 3.25}, np.unique(e); "
         "assert np.isnan(r['energy'][r['channel'] >= 4]).all(), 'a channel without input PEs has a label'", "ok"),
        ("links_agree", "r, l = vb.run(det, t, seed=4, label='event_id', truth='links'); "
         "lab = np.asarray(vb.record_labels(l, len(r), 'event_id')); assert (lab == r['event_id']).all()", "ok"),
        ("label_int", "vb.run(det, t, seed=4, label=5)", "fail"),
        ("label_bytes", "vb.run(det, t, seed=4, label=b'event_id')", "fail"),
        ("label_missing", "vb.run(det, t, seed=4, label='missing')", "fail"),
        ("label_no_pes", "vb.run(det, dark_rate=1e4, duration=1e-3, channels='0-1', seed=4, label='event_id')", "fail"),
        ("label_dataset_read", "vb.run(det, t, seed=4, label='event_id', output='d/', block_channels=1); "
         "r = vb.read_records('d'); assert 'event_id' in r.dtype.names", "ok"),
        ("label_dict_table", "vb.run(det, {'channel': [0, 1], 'time': [1e-6, 2e-6], 'e': [7, 8]}, seed=4, label='e')",
         None),
        ("label_pandas_nullable", "import pandas as pd; df = t.to_pandas(); df['event_id'] = "
         "df['event_id'].astype('Int64'); df.loc[0, 'event_id'] = None; vb.run(det, df, seed=4, label='event_id')",
         None),
        ("label_chunked", "t2 = pa.concat_tables([t.slice(0, 7), t.slice(7)]); a = vb.run(det, t2, seed=4, "
         "label='event_id'); b = vb.run(det, t, seed=4, label='event_id'); assert a.tobytes() == b.tobytes()", "ok"),
        ("label_off_unchanged", "a = vb.run(det, t, seed=4); b = vb.run(det, t, seed=4, label='event_id'); "
         "assert (a['channel'] == b['channel']).all() and len(a) == len(b)", "ok"),
    ]
    for m in ("z", "m"):
        for label, code, expect in snippets:
            cases.append(Case(f"label/py/{m}/{label}", [(head + code).replace("MODEL", m)],
                              [copy_model(m), label_table("pes.parquet")], expect, kind="py", model=m))
    return cases


# A Python case that runs velmora commands: ``sh`` runs one and raises its error line.
SH = ("import subprocess, sys, os, numpy as np, pyarrow as pa, velmora_batch as vb\n"
      "from pathlib import Path\n"
      f"V = {VELMORA[0]!r}\n"
      "def sh(*a):\n"
      "    r = subprocess.run([V, *a], capture_output=True, text=True)\n"
      "    if r.returncode:\n"
      "        lines = [l for l in r.stderr.splitlines() if l.startswith('Error')]\n"
      "        raise RuntimeError((lines or [f'exit {r.returncode}: {r.stderr[-300:]!r}'])[-1])\n"
      "    return r.stdout\n")

LINK_TARGETS = ["r.parquet", "r.npz", "r.root", "r.h5", "rd/"]
CONVERT_CHECK = """
sh("run", "MODEL/config.json", "--pes", "pes.parquet", "--dark-rate", "2e4", "--duration", "1e-3", "--seed", "5",
   "--truth", "links", *EXTRA, "-o", "SRC")
sh("convert", "SRC", "DST")
a, b = vb.read_records("SRC"), vb.read_records("DST")
assert len(a) == len(b), f"{len(a)} records became {len(b)}"
for name in a.dtype.names:
    assert name in b.dtype.names, f"column {name} lost"
    assert np.array_equal(a[name], b[name], equal_nan=a[name].dtype.kind == "f"), f"column {name} differs"
la, lb = vb.read_links("SRC"), vb.read_links("DST")
assert la.column_names == lb.column_names, f"links columns {la.column_names} became {lb.column_names}"
assert la.num_rows == lb.num_rows, f"{la.num_rows} links became {lb.num_rows}"
for name in la.column_names:
    x, y = la[name].to_pylist(), lb[name].to_pylist()
    assert x == y or np.array_equal(np.asarray(x, float), np.asarray(y, float), equal_nan=True), f"links {name} differs"
sh("info", "DST")
if "DST".endswith("/"):
    import pyarrow.dataset as ds, polars as pl
    inside = [p.name for p in Path("DST").iterdir() if "links" in p.name]
    assert not inside, f"links inside the dataset: {inside}"
    assert ds.dataset("DST", format="parquet").count_rows() == len(b), "pyarrow reads other rows"
    assert pl.read_parquet("DST").height == len(b), "polars reads other rows"
"""


def links_cases() -> list[Case]:
    cases: list[Case] = []
    for m in ("z", "m"):
        cfg = f"{m}/config.json"
        for src in LINK_TARGETS:
            for order in ("channel", "time"):
                cases.append(Case(f"links/{m}/run/{order}/{src}", [cfg, "--pes", "pes.parquet", "--dark-rate", "2e4",
                                                                   "--duration", "1e-3", "--seed", "5", "--truth",
                                                                   "links", "--order", order, "-o", src],
                                  [copy_model(m), label_table("pes.parquet")], None if order == "time" else "ok",
                                  model=m))
            for dst in LINK_TARGETS:
                if dst == src:
                    dst = "x" + dst
                code = CONVERT_CHECK.replace("MODEL", m).replace("SRC", src).replace("DST", dst)
                cases.append(Case(f"links/py/{m}/convert/{src}->{dst}", [SH + code.replace("*EXTRA, ", "")],
                                  [copy_model(m), label_table("pes.parquet")], "ok", kind="py", model=m))
            code = CONVERT_CHECK.replace("MODEL", m).replace("SRC", src).replace("DST", "c.parquet")
            cases.append(Case(f"links/py/{m}/convert_labelled/{src}", [SH + code.replace(
                "*EXTRA", '"--label", "event_id"')], [copy_model(m), label_table("pes.parquet")], "ok", kind="py",
                model=m))
        # Conversions refused or odd: onto the source, into a links file's name.
        for label, args, expect in [
            ("onto_itself", ["r.parquet", "r.parquet"], "fail"),
            ("onto_links_file", ["r.parquet", "r.parquet.links.parquet"], "fail"),
            ("links_file_as_source", ["r.parquet.links.parquet", "c.parquet"], "fail"),
            ("into_dotted_dir", ["r.parquet", "c.v2/"], "ok"),
            ("into_parquet_named_dir", ["r.parquet", "c.parquet/"], "ok"),
        ]:
            cases.append(Case(f"links/{m}/convert/{label}", args, [copy_model(m), label_table("pes.parquet"),
                                                                   velmora_step("run", cfg, "--pes", "pes.parquet",
                                                                                "--seed", "5", "--truth", "links",
                                                                                "-o", "r.parquet")],
                              expect, model=m, command="convert"))
    return cases


EVENT_WINDOWS = [("1e-7", "ok"), ("1e10", "ok"), ("9.3e9", "ok"), ("1e300", "ok"), ("1.7e308", "ok"),
                 ("inf", "fail"), ("nan", "fail"), ("0", "fail"), ("-1", "fail"), ("5e-324", None), ("1e-300", None),
                 ("4e-9", "ok"), ("abc", "fail")]


def events_cases() -> list[Case]:
    cases: list[Case] = []
    for m in ("z", "m"):
        cfg = f"{m}/config.json"
        made = [copy_model(m), label_table("pes.parquet"),
                velmora_step("run", cfg, "--pes", "pes.parquet", "--dark-rate", "2e4", "--duration", "1e-3", "--seed",
                             "5", "--truth", "links", "-o", "r.parquet")]
        made_ds = [copy_model(m), label_table("pes.parquet"),
                   velmora_step("run", cfg, "--pes", "pes.parquet", "--dark-rate", "2e4", "--duration", "1e-3",
                                "--seed", "5", "--truth", "links", "--block-channels", "1", "-o", "rd/")]

        def add(name: str, args: list[str], expect: str | None, setup: list[Setup] = made) -> None:
            cases.append(Case(f"events/{m}/{name}", args, setup, expect, model=m, command="events"))

        base = ["--multiplicity", "2", "-o", "ev.parquet"]
        for w, expect in EVENT_WINDOWS:
            add(f"window/{w}", ["r.parquet", *base, "--window", w, "--records-out", "ro.parquet"], expect)
            add(f"window_m1/{w}", ["r.parquet", "--multiplicity", "1", "-o", "ev.parquet", "--window", w], expect)
        w = ["--window", "1e-7"]
        add("records_out/plain", ["r.parquet", *base, *w, "--records-out", "ro.parquet"], "ok")
        add("records_out/dataset_source", ["rd/", *base, *w, "--records-out", "ro.parquet"], "ok", made_ds)
        add("records_out/dataset_source_noslash", ["rd", *base, *w, "--records-out", "ro.parquet"], "ok", made_ds)
        add("records_out/same_as_output", ["r.parquet", *base, *w, "--records-out", "ev.parquet"], "fail")
        add("records_out/same_other_path", ["r.parquet", *base, *w, "--records-out", "./sub/../ev.parquet"], "fail",
            made + [lambda d: (d / "sub").mkdir()])
        add("records_out/same_symlink", ["r.parquet", *base, *w, "--records-out", "link.parquet"], "fail",
            made + [lambda d: os.symlink("ev.parquet", d / "link.parquet")])
        add("records_out/same_as_source", ["r.parquet", *base, *w, "--records-out", "r.parquet"], "fail")
        add("records_out/source_links_file", ["r.parquet", *base, *w, "--records-out", "r.parquet.links.parquet"],
            "fail")
        add("records_out/output_is_source", ["r.parquet", "--multiplicity", "2", "-o", "r.parquet", *w], "fail")
        add("records_out/no_dir", ["r.parquet", *base, *w, "--records-out", "nope/ro.parquet"], "fail")
        add("records_out/txt", ["r.parquet", *base, *w, "--records-out", "ro.txt"], "fail")
        add("records_out/empty", ["r.parquet", *base, *w, "--records-out", ""], "fail")
        add("records_out/directory", ["r.parquet", *base, *w, "--records-out", "sub/"], "fail",
            made + [lambda d: (d / "sub").mkdir()])
        add("records_out/existing", ["r.parquet", *base, *w, "--records-out", "ro.parquet"], "fail",
            made + [write_file("ro.parquet", "mine")])
        add("records_out/existing_overwrite", ["r.parquet", *base, *w, "--records-out", "ro.parquet", "--overwrite"],
            "ok", made + [write_file("ro.parquet", "mine")])
        add("records_out/npz", ["r.parquet", *base, *w, "--records-out", "ro.npz"], None)
        add("source_missing", ["nope.parquet", *base, *w], "fail")
        add("source_links_file", ["r.parquet.links.parquet", *base, *w], "fail")
        add("multiplicity_huge", ["r.parquet", "--multiplicity", "99999999999999999999", "-o", "ev.parquet", *w],
            None)
        add("multiplicity_zero", ["r.parquet", "--multiplicity", "0", "-o", "ev.parquet", *w], "fail")
        add("multiplicity_many", ["r.parquet", "--multiplicity", "1000", "-o", "ev.parquet", *w,
                                  "--records-out", "ro.parquet"], "ok")
    # The records' rows join the links: record_row is each record's row in the record file.
    join = """
sh("run", "MODEL/config.json", "--pes", "pes.parquet", "--dark-rate", "2e4", "--duration", "1e-3", "--seed", "5",
   "--truth", "links", "-o", "SRC")
sh("events", "SRC", "-o", "ev.parquet", "--multiplicity", "2", "--window", "1e-7", "--records-out", "ro.parquet")
import pyarrow.parquet as pq
ro, rec, links = pq.read_table("ro.parquet"), vb.read_records("SRC"), vb.read_links("SRC")
rows = ro["record_row"].to_numpy()
assert np.array_equal(np.sort(rows), np.arange(len(rec))), "record_row is not each record's row once"
for name in ("channel", "n_pe"):
    assert np.array_equal(ro[name].to_numpy(), rec[name][rows]), f"{name} at record_row differs"
assert links["record"].to_numpy().max() < len(rec)
"""
    for m in ("z", "m"):
        for src in LINK_TARGETS:
            cases.append(Case(f"events/py/{m}/join/{src}", [SH + join.replace("MODEL", m).replace("SRC", src)],
                              [copy_model(m), label_table("pes.parquet")], "ok", kind="py", model=m))
    return cases


def name_cases() -> list[Case]:
    cases: list[Case] = []
    for m in ("z", "m"):
        cfg = f"{m}/config.json"

        def add(name: str, args: list[str], expect: str | None, extra: list[Setup] | None = None) -> None:
            cases.append(Case(f"names/{m}/{name}", [cfg, *DARK, *args], [copy_model(m), *(extra or [])], expect,
                              model=m))

        for out, expect in [("run.v2/", "ok"), ("x.parquet/", "ok"), ("x.npz/", "ok"), ("a.b.c/", "ok"),
                            ("x.links.parquet", "ok"), ("x.links.parquet/", "ok"), ("run.v2", None),
                            ("x.parquet//", "ok"), ("./x.parquet/", "ok"), (".hidden.parquet", "ok"),
                            ("x.links", None), ("x.links/", "ok")]:
            add(f"output/{out}", ["-o", out], expect)
            add(f"output_links/{out}", ["--truth", "links", "-o", out], expect)
        # A file that a links file's name would take, but not a velmora links file.
        for content_label, content in [("empty", b""), ("text", b"mine"), ("parquet", None)]:
            def beside(d: Path, content: bytes | None = content) -> None:
                import pyarrow as pa
                import pyarrow.parquet as pq

                for name in ("run.parquet.links.parquet", "run.links.parquet"):
                    if content is None:
                        pq.write_table(pa.table({"record": [1, 2]}), d / name)
                    else:
                        (d / name).write_bytes(content)
            prior = [beside, velmora_step("run", cfg, *DARK, "-o", "run.parquet")]
            add(f"foreign_links/{content_label}/overwrite", ["--truth", "links", "--overwrite", "-o", "run.parquet"],
                None, prior)
            add(f"foreign_links/{content_label}/overwrite_no_links", ["--overwrite", "-o", "run.parquet"], "ok", prior)
            add(f"foreign_links/{content_label}/new", ["--truth", "links", "-o", "run.parquet"], None, [beside])
    # Whatever the run decides, an unrelated file beside it is never replaced.
    keep = """
from pathlib import Path
import pyarrow as pa, pyarrow.parquet as pq
pq.write_table(pa.table({"record": [1, 2]}), "run.links.parquet")
Path("run.parquet.links.parquet").write_bytes(Path("run.links.parquet").read_bytes())
before = Path("run.links.parquet").read_bytes()
sh("run", "MODEL/config.json", "--dark-rate", "2e4", "--duration", "1e-3", "--channels", "0-3", "--seed", "5",
   "-o", "run.parquet")
try:
    sh("run", "MODEL/config.json", "--dark-rate", "2e4", "--duration", "1e-3", "--channels", "0-3", "--seed", "6",
       "--truth", "links", "--overwrite", "-o", "run.parquet")
    ran = True
except RuntimeError:
    ran = False
assert Path("run.links.parquet").read_bytes() == before, "an unrelated run.links.parquet was replaced"
if not ran:
    assert Path("run.parquet.links.parquet").read_bytes() == before, "a refused run changed the file beside"
    assert vb.read_records("run.parquet")["channel"].size >= 0
else:
    vb.read_links("run.parquet")
sh("info", "run.parquet")
"""
    for m in ("z", "m"):
        cases.append(Case(f"names/py/{m}/foreign_links_kept", [SH + keep.replace("MODEL", m)], [copy_model(m)], "ok",
                          kind="py", model=m))
        for out in ("run.v2/", "x.parquet/", "x.links.parquet"):
            code = (f"vb.run(vb.Detector.from_config('{m}/config.json'), dark_rate=2e4, duration=1e-3, channels='0-3', "
                    f"seed=5, output='{out}', truth='links'); r = vb.read_records('{out}'); "
                    f"assert Path('{out}').is_dir() == {out.endswith('/')}; vb.read_links('{out}'); sh('info', '{out}')")
            cases.append(Case(f"names/py/{m}/run_output/{out}", [SH + code], [copy_model(m)], "ok", kind="py", model=m))
    return cases


# Refused combinations, each run with and without --dry-run: the dry run must refuse exactly what the run refuses.
PARITY = """
import shutil
def attempt(*a):
    r = subprocess.run([V, "run", *a], capture_output=True, text=True)
    errors = [l for l in r.stderr.splitlines() if l.startswith("Error")]
    return r.returncode, errors
dry = attempt(*ARGS, "--dry-run")
real = attempt(*ARGS)
assert dry[0] == real[0], f"dry run exit {dry[0]} {dry[1]}, run exit {real[0]} {real[1]}"
assert dry[1] == real[1], f"dry run says {dry[1]}, run says {real[1]}"
if real[0]:
    raise ValueError(real[1][0] if len(real[1]) == 1 else f"not one error line: {real[1]}")
"""


def dry_run_cases() -> list[Case]:
    cases: list[Case] = []
    for m in ("z", "m"):
        cfg = f"{m}/config.json"
        pes = ["--pes", "pes.parquet", "--seed", "4"]
        prior = velmora_step("run", cfg, *DARK, "-o", "run.parquet")
        prior_links = velmora_step("run", cfg, *DARK, "--truth", "links", "-o", "run.parquet")

        def beside(d: Path) -> None:
            (d / "run.parquet.links.parquet").write_bytes(b"mine")

        combos: list[tuple[str, list[str], list[Setup], str | None]] = [
            *[(f"label/{c!r}", [*pes, "--label", c, "-o", "out.parquet"], [], e) for c, e in LABELS],
            ("label/dark_only", [*DARK, "--label", "event_id", "-o", "out.parquet"], [], "fail"),
            ("label/order_time_links", [*pes, "--order", "time", "--truth", "links", "--label", "event_id", "-o",
                                        "out.parquet"], [], None),
            ("segment_1e300", ["--dark-rate", "3e3", "--duration", "200", "--channels", "0-9", "--segment", "1e300",
                               "-o", "out.parquet"], [], "fail"),
            ("segment_huge_pes", [*pes, "--segment", "1e300", "-o", "out.parquet"], [], None),
            ("order_time_links_ds", [*DARK, "--order", "time", "--truth", "links", "-o", "d/"], [], None),
            ("order_time_links", [*DARK, "--order", "time", "--truth", "links", "-o", "out.parquet"], [], None),
            ("existing", [*DARK, "-o", "run.parquet"], [prior], "fail"),
            ("existing_links", [*DARK, "--truth", "links", "-o", "run.parquet"], [prior_links], "fail"),
            ("foreign_links_beside", [*DARK, "--truth", "links", "--overwrite", "-o", "run.parquet"],
             [prior, beside], None),
            ("foreign_links_beside_new", [*DARK, "--truth", "links", "-o", "run.parquet"], [beside], None),
            ("resume_file", [*DARK, "--resume", "-o", "run.parquet"], [prior], "fail"),
            ("sequential_ds", [*DARK, "--seeding", "sequential", "-o", "d/"], [], None),
            ("memory_tiny", [*DARK, "--max-memory", "10K", "-o", "out.parquet"], [], None),
            ("output_links_name", [*DARK, "--truth", "links", "-o", "x.links.parquet"], [], None),
            ("output_dotted_dir", [*DARK, "--truth", "links", "-o", "run.v2/"], [], "ok"),
            ("output_file_is_dir", [*DARK, "-o", "sub.parquet"], [lambda d: (d / "sub.parquet").mkdir()], None),
            ("output_dir_is_file", [*DARK, "-o", "f.v2/"], [write_file("f.v2", "x")], "fail"),
            ("output_no_parent", [*DARK, "-o", "nope/out.parquet"], [], "fail"),
            ("label_dataset_resume", [*pes, "--label", "event_id", "--resume", "-o", "d/"],
             [velmora_step("run", cfg, *pes, "-o", "d/")], None),
            ("pes_and_label_segment", [*pes, "--segment", "1e-9", "--label", "event_id", "-o", "out.parquet"], [],
             "fail"),
        ]
        for name, args, extra, expect in combos:
            code = PARITY.replace("ARGS", repr([cfg, *args]))
            cases.append(Case(f"dryrun/py/{m}/{name}", [SH + code], [copy_model(m), label_table("pes.parquet"),
                                                                      *extra], expect, kind="py", model=m))
    return cases


def timing_cases() -> list[Case]:
    """ZozuvUza window starts in whole ADC steps: time_ns is adc_index * 4 (checked on every such run's output)."""
    cases: list[Case] = []
    cfg = "z/config.json"
    for seg in ("4e-4", "1e-3", "0.25", "1", "3.7e-5", "4e-6"):
        for rate, duration in (("2e4", "1e-3"), ("20", "100"), ("1e3", "17.3")):
            cases.append(Case(f"adc_index/z/segment{seg}/dur{duration}",
                              [cfg, "--dark-rate", rate, "--duration", duration, "--channels", "0-3", "--seed", "7",
                               "--segment", seg, "-o", "out.parquet"], [copy_model("z")], "ok"))
    late = {"channel": np.repeat(np.arange(4), 3), "time": np.tile([1.5, 17.25, 99.999], 4)}
    for seg in ("1", "10", "0.3"):
        cases.append(Case(f"adc_index/z/late_flash/segment{seg}", [cfg, "--pes", "late.npz", "--seed", "7",
                                                                   "--segment", seg, "-o", "out.parquet"],
                          [copy_model("z"), npz("late.npz", **late)], "ok"))
    return cases


def all_cases(random_count: int, seed: int) -> list[Case]:
    return [*config_cases(), *file_cases(), *pe_cases(), *option_cases(), *python_cases(), *input_cases(),
            *label_cases(), *links_cases(), *events_cases(), *name_cases(), *dry_run_cases(), *timing_cases(),
            *signal_cases(), *random_cases(random_count, seed)]


# -- running and classifying ----------------------------------------------------------------------------------

# Run by each Python case: documented exceptions are clear errors, others a traceback.
PY_DRIVER = textwrap.dedent("""
    import sys, traceback, warnings
    warnings.simplefilter("ignore")
    try:
        exec(sys.argv[1], {})
    except AssertionError as e:
        # A check of a result that failed: a wrong result, not a traceback of the package.
        print(f"Wrong: {e}", file=sys.stderr)
        sys.exit(4)
    except (ValueError, TypeError, RuntimeError, MemoryError, OSError) as e:
        message = str(e)
        if message.strip() and "\\n" not in message.strip() and "Traceback" not in message:
            print(f"Error: {type(e).__name__}: {message}", file=sys.stderr)
            sys.exit(1)
        traceback.print_exc()
        sys.exit(3)
    except BaseException:
        traceback.print_exc()
        sys.exit(3)
""")

LEFTOVER = (".velmora-tmp-", ".velmora-pes-")


def leftovers(directory: Path) -> list[str]:
    found = []
    for root, dirs, files in os.walk(directory):
        for name in [*dirs, *files]:
            if name.startswith(LEFTOVER):
                found.append(os.path.relpath(os.path.join(root, name), directory))
    # Temporary PE splits may also go to the system's temporary directory.
    return found


def is_clear_error(rc: int, stderr: str) -> bool:
    if rc not in (1, 2):
        return False
    lines = [line for line in stderr.splitlines() if line.strip()]
    errors = [line for line in lines if line.startswith("Error:")]
    other = [line for line in lines if not (line.startswith(("Warning:", "Usage:", "Try ")) or line in errors)]
    return len(errors) == 1 and len(errors[0]) > len("Error: ") + 3 and not other and "Aborted" not in stderr


def check_output(directory: Path, case: Case, stdout: str) -> str:
    """What is wrong with a successful command's output: unreadable, another
    number of records than printed, a label, links or window start that does
    not hold, or events whose records do not join back."""
    import velmora_batch as vb

    args = case.args
    if case.command == "events":
        return check_events(directory, args)
    if case.command == "convert":
        args = [*args[:1], "-o", args[1]]
    if "-o" not in args or "--dry-run" in args:
        return ""
    out = args[args.index("-o") + 1]
    path = directory / out
    try:
        records = vb.read_records(path)
        links = vb.read_links(path) if "links" in args else None
    except Exception as e:  # noqa: BLE001 - any failure to read back is the finding
        return f"output does not read back: {type(e).__name__}: {e}"
    printed = [line for line in stdout.splitlines() if "records written to" in line]
    if printed and int(printed[-1].split()[0]) != len(records):
        return f"printed {printed[-1]!r} but {len(records)} records read back"
    if links is not None and len(links) and links["record"].to_numpy().max() >= len(records):
        return "a link names a record beyond the records"
    if "--label" in args:
        label = args[len(args) - 1 - args[::-1].index("--label") + 1]  # the last one given counts
        if label not in (records.dtype.names or ()):
            return f"no label column {label!r} in the records"
        if label == "event_id" and not set(np.unique(records[label]).tolist()) <= {-1, 100, 101, 102}:
            return f"labels {np.unique(records[label])} not from the PE table"
    names = records.dtype.names or ()
    if case.model == "z" and "--set" not in args and "adc_index" in names and "time_ns" in names:
        # The example ZozuvUza detector samples every 4 ns: a window starts at a whole ADC step.
        off = np.flatnonzero(records["time_ns"] != records["adc_index"] * 4)
        if off.size:
            i = off[0]
            return (f"{off.size} records with time_ns != adc_index * 4, e.g. time_ns {records['time_ns'][i]} "
                    f"adc_index {records['adc_index'][i]}")
    return ""


def check_events(directory: Path, args: list[str]) -> str:
    """An event table that reads back, and records written with their
    event and their row in the record file read."""
    import pyarrow.parquet as pq
    import velmora_batch as vb

    try:
        events = pq.read_table(directory / args[args.index("-o") + 1])
        if "--records-out" not in args:
            return ""
        out = pq.read_table(directory / args[args.index("--records-out") + 1])
        records = vb.read_records(directory / args[0])
    except Exception as e:  # noqa: BLE001 - any failure to read back is the finding
        return f"output does not read back: {type(e).__name__}: {e}"
    rows = out["record_row"].to_numpy()
    if not np.array_equal(np.sort(rows), np.arange(len(records))):
        return "record_row is not each record's row once"
    in_events = int((out["event"].to_numpy() >= 0).sum())
    if in_events != int(pc_sum(events["records"])):
        return f"{in_events} records carry an event but the events count {pc_sum(events['records'])}"
    return ""


def pc_sum(column: Any) -> int:
    import pyarrow.compute as pc

    return int(pc.sum(column).as_py() or 0)


_references: dict[str, Any] = {}


def reference(case: Case, work: Path) -> Any:
    """The records of an undisturbed run of a signal case, computed once per set of arguments."""
    import velmora_batch as vb

    key = json.dumps([case.model, case.args[1:-2]])
    if key not in _references:
        ref_dir = Path(tempfile.mkdtemp(prefix="ref-", dir=work))
        for s in case.setup:
            s(ref_dir)
        r = subprocess.run([*VELMORA, "run", *case.args[:-1], "ref.parquet"], cwd=ref_dir, capture_output=True,
                           text=True, timeout=600)
        _references[key] = vb.read_records(ref_dir / "ref.parquet") if r.returncode == 0 else None
    return _references[key]


def run_case(case: Case, work: Path, timeout: float) -> Outcome:
    directory = Path(tempfile.mkdtemp(prefix="case-", dir=work))
    try:
        for s in case.setup:
            s(directory)
    except Exception as e:  # noqa: BLE001 - a set-up fault of the harness, not of the package
        return Outcome(case, "harness_error", None, f"set-up failed: {type(e).__name__}: {e}", 0.0, where=str(directory))
    if case.kind == "py":
        cmd = [PY, "-c", PY_DRIVER, case.args[0]]
    else:
        cmd = [*VELMORA, case.command, *case.args]
    start = time.monotonic()
    env = {**os.environ, "PYTHONWARNINGS": "ignore"}
    if case.kind == "signal":
        return run_signal_case(case, cmd, directory, work, timeout, env)
    try:
        proc = subprocess.run(cmd, cwd=directory, capture_output=True, timeout=timeout, env=env, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode("utf-8", "replace") + (e.stderr or b"").decode("utf-8", "replace")
        return Outcome(case, "hang", None, out, time.monotonic() - start, where=str(directory))
    seconds = time.monotonic() - start
    stdout = proc.stdout.decode("utf-8", "replace")
    stderr = proc.stderr.decode("utf-8", "replace")
    output = stdout + stderr
    rc = proc.returncode
    if rc < 0:
        cls = "crash"
    elif case.kind == "py" and rc == 4:
        cls = "wrong_result"
    elif "Traceback" in output or (case.kind == "py" and rc == 3):
        cls = "traceback"
    elif rc == 0:
        cls = "should_have_failed" if case.expect == "fail" else "success"
    elif case.expect == "ok":
        cls = "should_have_succeeded"
    else:
        cls = "clear_error" if is_clear_error(rc, stderr) else "unclear_error"
    note = ""
    if cls in ("success", "should_have_failed") and case.kind == "cli":
        note = check_output(directory, case, stdout)
        if note:
            cls = "wrong_result"
    if cls not in ("success",) and case.kind == "cli" and rc != 0:
        left = [f for f in leftovers(directory)]
        if left:
            note = f"temporary files left: {left}"
            cls = "wrong_result"
    return Outcome(case, cls, rc, output, seconds, note, str(directory))


def run_signal_case(case: Case, cmd: list[str], directory: Path, work: Path, timeout: float,
                    env: dict[str, str]) -> Outcome:
    import velmora_batch as vb

    start = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                            stdin=subprocess.DEVNULL)
    time.sleep(case.delay)
    for i in range(case.repeat):
        if proc.poll() is None:
            proc.send_signal(case.signal_)
        time.sleep(0.02)
    try:
        out_b, err_b = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out_b, err_b = proc.communicate()
        return Outcome(case, "hang", None, (out_b + err_b).decode("utf-8", "replace"), time.monotonic() - start,
                       "did not stop after the signal", str(directory))
    output = (out_b + err_b).decode("utf-8", "replace")
    rc = proc.returncode
    seconds = time.monotonic() - start
    if "Traceback" in output:
        return Outcome(case, "traceback", rc, output, seconds, where=str(directory))
    if rc < 0 and -rc != case.signal_:
        return Outcome(case, "crash", rc, output, seconds, where=str(directory))
    left = leftovers(directory)
    if left:
        return Outcome(case, "wrong_result", rc, output, seconds, f"temporary files left: {left}", str(directory))
    out = case.args[-1]
    if rc != 0 and not case.dataset and (directory / out).exists():
        return Outcome(case, "wrong_result", rc, output, seconds, "an interrupted run left its output", str(directory))
    # Finish the run (resume a dataset, run a record file again) and compare with an undisturbed run.
    again = [*cmd, "--resume"] if case.dataset else cmd
    if rc == 0 and not case.dataset:
        again = []  # finished before the signal came
    if again:
        r = subprocess.run(again, cwd=directory, capture_output=True, text=True, timeout=timeout * 5, env=env)
        if r.returncode != 0:
            return Outcome(case, "should_have_succeeded", r.returncode, output + "\n--- resume:\n" + r.stdout + r.stderr,
                           seconds, "the run after the signal failed", str(directory))
    expected = reference(case, work)
    got = vb.read_records(directory / out)
    if expected is None or got.tobytes() != expected.tobytes():
        return Outcome(case, "wrong_result", rc, output, seconds,
                       f"records after the signal and {'resume' if case.dataset else 'rerun'} differ from an "
                       "undisturbed run's", str(directory))
    cls = "success" if rc == 0 else ("clear_error" if rc in (1, 2, 130, 143) or -rc == case.signal_ else "unclear_error")
    return Outcome(case, cls, rc, output, seconds, f"exit {rc} after {signal.Signals(case.signal_).name}; "
                   "finished run equals an undisturbed one", str(directory))


def command_line(outcome: Outcome) -> str:
    case = outcome.case
    if case.kind == "py":
        return f"cd {outcome.where} && {shlex.quote(PY)} -c {shlex.quote(case.args[0])}"
    text = f"cd {outcome.where} && velmora {case.command} {shlex.join(case.args)}"
    if case.kind == "signal":
        text += f"  # {signal.Signals(case.signal_).name} after {case.delay} s"
    return text


BAD = ("traceback", "crash", "hang", "wrong_result")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--jobs", type=int, default=2, help="cases run at once (default 2)")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds before a case counts as a hang")
    parser.add_argument("--random", type=int, default=300, help="random option combinations (default 300)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the random combinations")
    parser.add_argument("--sample", type=int, default=0,
                        help="run a random sample of this many cases (seeded by --seed; signal cases always run)")
    parser.add_argument("--only", default="",
                        help="run only the cases whose name contains this text (or one of several: a|b)")
    parser.add_argument("--list", action="store_true", help="list the case names and exit")
    parser.add_argument("--keep", action="store_true", help="keep the case directories (printed at the end)")
    parser.add_argument("--verbose", action="store_true", help="print every case's class as it ends")
    parser.add_argument("--report", type=Path, help="write every outcome as JSON to this file")
    args = parser.parse_args()

    cases = [c for c in all_cases(args.random, args.seed) if any(o in c.name for o in args.only.split("|"))]
    if args.sample and args.sample < len(cases):
        # The same seed picks the same cases, so that rounds before and after a fix compare.
        timed = [c for c in cases if c.kind == "signal"]
        rest = [c for c in cases if c.kind != "signal"]
        chosen = set(random.Random(args.seed).sample(range(len(rest)), max(args.sample - len(timed), 0)))
        cases = [c for i, c in enumerate(rest) if i in chosen] + timed
    if args.list:
        print("\n".join(c.name for c in cases))
        return 0
    work = Path(tempfile.mkdtemp(prefix="velmora-fuzz-"))
    start = time.monotonic()
    outcomes: list[Outcome] = []
    # Signal cases run alone at the end, so that their timing does not depend on other cases.
    plain = [c for c in cases if c.kind != "signal"]
    timed = [c for c in cases if c.kind == "signal"]
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for outcome in pool.map(lambda c: run_case(c, work, args.timeout), plain):
            outcomes.append(outcome)
            if args.verbose:
                print(f"{outcome.cls:22s} {outcome.seconds:6.2f}s {outcome.case.name}", flush=True)
    for case in timed:
        outcome = run_case(case, work, args.timeout)
        outcomes.append(outcome)
        if args.verbose:
            print(f"{outcome.cls:22s} {outcome.seconds:6.2f}s {outcome.case.name}", flush=True)
    elapsed = time.monotonic() - start

    counts = Counter(o.cls for o in outcomes)
    print(f"\n{len(outcomes)} inputs in {elapsed:.0f} s (timeout {args.timeout:g} s, {args.jobs} at a time)")
    for cls in ("success", "clear_error", "unclear_error", "traceback", "crash", "hang", "should_have_failed",
                "should_have_succeeded", "wrong_result", "harness_error"):
        print(f"  {cls:22s} {counts.get(cls, 0)}")
    for o in outcomes:
        if o.cls in ("success", "clear_error"):
            continue
        print(f"\n[{o.cls}] {o.case.name} (exit {o.rc}, expected {o.case.expect or 'either'}) {o.note}")
        print(f"  {command_line(o)}")
        tail = [line for line in o.output.strip().splitlines()][-6:]
        for line in tail:
            print(f"    | {line[:300]}")
    if args.report:
        args.report.write_text(json.dumps([{"name": o.case.name, "class": o.cls, "rc": o.rc, "expect": o.case.expect,
                                            "seconds": round(o.seconds, 3), "note": o.note, "command": command_line(o),
                                            "output": o.output[-4000:]} for o in outcomes], indent=1))
    if args.keep:
        print(f"\ncase directories kept in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if any(counts.get(c) for c in BAD) else 0


if __name__ == "__main__":
    sys.exit(main())
