"""Throughput and peak memory of `simulate` on the example detector.

    python bench/bench_simulate.py [--repeat N | --quick] [--models NAME ...] [--cases KEY ...]
                                   [--mem-limit-gb G] [--json PATH]

Every (model, case) pair runs in a fresh child process, so that one case's
heap does not inflate the next one's memory figure. The child builds the model
and the input, then times `--repeat` calls with time.perf_counter; the first of
them also measures the peak resident memory that the call adds (the kernel's
high-water mark VmHWM, reset just before the call, minus the resident size at
that moment; where the mark cannot be reset, the ru_maxrss increase instead).
The child's address space is capped (--mem-limit-gb), so that a case that
needs more memory than the machine can spare fails with MemoryError instead of
waking the kernel's out-of-memory killer.

Models are listed in MODELS (name -> factory); every case runs on every model,
so a new detector model needs only its factory.
"""

import argparse
import gc
import json
import resource
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np
import velmora

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"


def load_config(name, path_keys):
    """config.json of an example detector as constructor arguments: its file
    names made absolute, without the model name."""
    directory = EXAMPLES / name
    config = json.loads((directory / "config.json").read_text())
    del config["model"]
    for key in path_keys:
        config[key] = directory / config[key]
    return config


def make_zozuvuza(name="zozuvuza"):
    config = load_config(name, ("time_spectrum", "amplitude_spectrum", "pulse_shape"))
    config["early_handling"] = getattr(velmora.EarlyHandling, config["early_handling"])
    return velmora.ZozuvUza(**config)


def make_multipmt():
    config = load_config("multipmt", ("time_spectrum", "amplitude_spectrum", "tot_pulse_shape", "adc_pulse_shape"))
    return velmora.MultiPMT(**config)


# name -> factory returning a model with simulate(pe_times, channel) and simulate_pe_list(pe_list).
MODELS: dict[str, Callable[[], object]] = {
    "ZozuvUza": make_zozuvuza,
    # Its threshold lies at about half a PE: most single PEs open a readout window.
    "ZozuvUza1PE": lambda: make_zozuvuza("zozuvuza_single_pe"),
    "MultiPMT": make_multipmt,
}


@dataclass(frozen=True)
class Case:
    description: str
    num_pes: int
    # Builds the input from a seeded generator; returns the call to measure.
    prepare: Callable[[np.random.Generator], Callable[[object], object]]


def random_times(num_pes, span, as_numpy=False):
    """num_pes PE times drawn uniformly over [0, span), in random order."""

    def prepare(rng):
        times = rng.uniform(0.0, span, num_pes)
        pe_times = times if as_numpy else velmora.DoubleVector(times.tolist())
        return lambda model: model.simulate(pe_times, 0)

    return prepare


def pe_list(num_channels, pes_per_channel, interval):
    def prepare(rng):
        del rng  # generate_pe_list is deterministic
        pes = velmora.generate_pe_list(num_channels, pes_per_channel, interval)
        return lambda model: model.simulate_pe_list(pes)

    return prepare


CASES: dict[str, Case] = {
    "a": Case("1e5 PEs over 10 s, DoubleVector", 100_000, random_times(100_000, 10.0)),
    "a-numpy": Case("1e5 PEs over 10 s, numpy array", 100_000, random_times(100_000, 10.0, as_numpy=True)),
    "b": Case("1e6 PEs over 1 s, DoubleVector", 1_000_000, random_times(1_000_000, 1.0)),
    "b-numpy": Case("1e6 PEs over 1 s, numpy array", 1_000_000, random_times(1_000_000, 1.0, as_numpy=True)),
    "c": Case("1e5 PEs within 10 us, DoubleVector", 100_000, random_times(100_000, 10e-6)),
    "d": Case("simulate_pe_list, generate_pe_list(1000, 100, 1e-6)", 100_000, pe_list(1000, 100, 1e-6)),
}


# ---------------------------------------------------------------- child side


def status_kib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def reset_peak_rss():
    """Resets the kernel's high-water mark of the resident set (Linux >= 4.0)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def run_child(model_name, case_key, repeat, mem_limit_gb):
    if mem_limit_gb > 0:
        limit = int(mem_limit_gb * 2**30)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    case = CASES[case_key]
    model = MODELS[model_name]()
    call = case.prepare(np.random.default_rng(12345))
    result = {"times": []}
    try:
        for i in range(repeat):
            gc.collect()
            if i == 0:
                hwm_reset = reset_peak_rss()
                rss_before = status_kib("VmRSS") if hwm_reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            start = time.perf_counter()
            records = call(model)
            result["times"].append(time.perf_counter() - start)
            if i == 0:
                peak = status_kib("VmHWM") if hwm_reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
                result["peak_mib"] = max(0, peak - rss_before) / 1024
                result["records"] = len(records)
            del records
    except MemoryError as error:
        result["error"] = f"MemoryError ({error})" if str(error) else "MemoryError"
    print(json.dumps(result))


# --------------------------------------------------------------- parent side


def available_gib():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) / 2**20
    return 0.0


def run_case(model_name, case_key, repeat, mem_limit_gb):
    cmd = [sys.executable, __file__, "--child", model_name, case_key, "--repeat", str(repeat),
           "--mem-limit-gb", str(mem_limit_gb)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    lines = proc.stdout.strip().splitlines()
    if proc.returncode != 0 or not lines:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return {"times": [], "error": f"exit {proc.returncode}: {tail}"}
    return json.loads(lines[-1])


def format_row(model_name, case_key, result):
    case = CASES[case_key]
    head = f"{model_name:<10} {case_key:<8} {case.description:<52}"
    times = result["times"]
    if not times:
        return f"{head} {result.get('error', 'failed')}"
    best, median = min(times), statistics.median(times)
    row = (f"{head} {case.num_pes:>9,d} {result.get('records', 0):>8,d} {best * 1e3:>10.1f} {median * 1e3:>10.1f}"
           f" {case.num_pes / best:>12,.0f} {case.num_pes / median:>12,.0f} {result.get('peak_mib', 0.0):>9.1f}")
    if "error" in result:
        row += f"  ({result['error']} after {len(times)} calls)"
    return row


def main():
    parser = argparse.ArgumentParser(description="Throughput and peak memory of simulate.")
    repeat = parser.add_mutually_exclusive_group()
    repeat.add_argument("--repeat", type=int, default=3, help="timed calls per case (default 3)")
    repeat.add_argument("--quick", action="store_true", help="one timed call per case, for a fast look")
    parser.add_argument("--models", nargs="+", choices=list(MODELS), default=list(MODELS))
    parser.add_argument("--cases", nargs="+", choices=list(CASES), default=list(CASES))
    parser.add_argument("--mem-limit-gb", type=float, default=None,
                        help="address-space cap per case; default half of the available memory, 0 for none")
    parser.add_argument("--json", type=Path, help="also write the raw results to this file")
    parser.add_argument("--child", nargs=2, metavar=("MODEL", "CASE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.quick:
        args.repeat = 1
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    mem_limit = args.mem_limit_gb if args.mem_limit_gb is not None else round(available_gib() / 2, 1)

    if args.child:
        run_child(*args.child, args.repeat, mem_limit)
        return

    cap = f"address space capped at {mem_limit:g} GiB per case" if mem_limit > 0 else "no memory cap"
    print(f"velmora simulate benchmark: {args.repeat} timed calls per case (best and median), {cap}")
    print(f"{'model':<10} {'case':<8} {'input':<52} {'PEs':>9} {'records':>8} {'best ms':>10} {'median ms':>10}"
          f" {'PEs/s best':>12} {'PEs/s med':>12} {'peak MiB':>9}")
    results = []
    for model_name in args.models:
        for case_key in args.cases:
            result = run_case(model_name, case_key, args.repeat, mem_limit)
            results.append({"model": model_name, "case": case_key, **result})
            print(format_row(model_name, case_key, result), flush=True)
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
