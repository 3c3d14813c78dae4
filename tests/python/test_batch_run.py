"""velmora_batch.run: outputs, per-channel overrides, long runs in segments,
bad input, failures and Ctrl-C."""

import contextlib
import os
import re
import signal
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest
import velmora_batch as vb

ROOT = Path(__file__).resolve().parents[2]


def flash_table(channels, times_per_channel):
    ch = np.repeat(channels, len(times_per_channel))
    t = np.tile(times_per_channel, len(channels))
    return vb.PETable(channel=ch, time=t)


FLASHES = np.concatenate([np.full(15, 2e-6), np.full(15, 7e-6), np.linspace(1e-6, 9e-6, 20)])


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
@pytest.mark.parametrize("suffix", [".parquet", ".npz"])
def test_written_records_equal_the_returned_ones(model, suffix, make_detector, tmp_path):
    det = make_detector(model, seed=3)
    table = flash_table([5, 1, 3], FLASHES)
    rec = vb.run(det, table)
    assert len(rec) > 6
    order = np.lexsort((rec["time_ns"] if model == "ZozuvUza" else rec["time"], rec["channel"]))
    np.testing.assert_array_equal(order, np.arange(len(rec)))  # (channel, time) order
    out = tmp_path / f"r{suffix}"
    summary = vb.run(det, table, output=out, block_channels=1, workers=2)
    assert (summary.path, summary.rows, summary.channels, summary.blocks) == (out, len(rec), 3, 3)
    assert vb.read_records(out).tobytes() == rec.tobytes()
    meta = vb.read_metadata(out)
    assert (meta["seed"], meta["seeding"], meta["velmora_version"]) == (3, "independent", vb.__version__)
    assert vb.Detector.from_dict(meta["config"]) == det
    assert sorted(p.name for p in tmp_path.iterdir()) == [out.name]


def test_overrides_change_only_their_channels(make_detector):
    table = flash_table(np.arange(6), FLASHES)
    plain = vb.run(make_detector("ZozuvUza", seed=8), table)
    loud = vb.run(make_detector("ZozuvUza", seed=8, gain=80.0), table)
    mixed = vb.run(make_detector("ZozuvUza", seed=8, overrides={2: {"gain": 80.0}, 4: {"gain": 80.0}}), table)
    for c in range(6):
        want = loud if c in (2, 4) else plain
        assert mixed[mixed["channel"] == c].tobytes() == want[want["channel"] == c].tobytes(), c
    assert loud[loud["channel"] == 2].tobytes() != plain[plain["channel"] == 2].tobytes()


def test_sequential_overrides_keep_one_generator_across_blocks(make_detector):
    """Sequential seeding with a per-channel setting: the one generator passes
    through the overridden channel's model, whatever the blocks."""
    table = flash_table(np.arange(3), FLASHES)
    det = make_detector("MultiPMT", overrides={1: {"adc_gain": 70.0}})
    rec = vb.run(det, table, seed=5, seeding="sequential")
    assert rec.tobytes() == vb.run(det, table, seed=5, seeding="sequential", block_channels=1).tobytes()
    # Channel 0 comes before any override: the plain model's first call.
    first = det.build_model(5).simulate(FLASHES, 0)
    assert len(first) > 0
    np.testing.assert_array_equal(rec[rec["channel"] == 0]["time"], [r.time for r in first])
    # Without the override, channel 1 would read other ADC samples.
    plain = vb.run(make_detector("MultiPMT"), table, seed=5, seeding="sequential")
    assert (rec[rec["channel"] == 1]["adc_sample"] != plain[plain["channel"] == 1]["adc_sample"]).any()


def deterministic(make_detector, model, **params):
    """A detector whose records do not depend on the seed: PE time offsets and
    amplitudes fixed within rounding, no noise, no jitter."""
    det = make_detector(model, **params)
    det.spectra["time_spectrum"] = (np.array([0.0, 1e-15]), np.array([1.0, 1.0]))
    det.spectra["amplitude_spectrum"] = (np.array([1.0, 1.0 + 1e-12]), np.array([1.0, 1.0]))
    return det


def test_zozuvuza_segments_carry_record_times_back_exactly(make_detector):
    det = deterministic(make_detector, "ZozuvUza", noise=0.0, jitter=0)
    segment = 1e-3  # 250000 ADC steps and ticks
    burst = np.full(20, 2e-6 + 0.05e-9)
    one = vb.run(det, flash_table([0], burst), seed=1)
    assert len(one) == 1
    late = burst[None, :] + segment * np.arange(4)[:, None]
    rec = vb.run(det, flash_table([0], late.ravel()), seed=1, segment=segment)
    assert len(rec) == 4
    np.testing.assert_array_equal(rec["time_ns"], one["time_ns"][0] + np.arange(4) * 1_000_000)
    np.testing.assert_array_equal(rec["trigger_time_ticks"], rec["time_ns"] // 4)
    np.testing.assert_array_equal(rec["waveform"], np.repeat(one["waveform"], 4, axis=0))


# Flash times on the 4 ns grid from 0 to 100 s: values whose window starts
# the time stamp's double-precision rule puts one tick low (17.25 s, 1.5 s and
# many others late in the run), and values where it does not.
FLASH_SECONDS = np.unique(np.concatenate([
    [4e-6, 0.12, 1.5, 17.25, 33.0, 64.0, 99.999999996],
    np.round(np.random.default_rng(7).uniform(1e-5, 100.0, 120) / 4e-9) * 4e-9,
]))


@pytest.mark.parametrize("segment", [None, 10.0], ids=["one-piece", "segments"])
def test_window_times_keep_their_distance_from_the_flash_at_every_absolute_time(segment, make_detector):
    det = deterministic(make_detector, "ZozuvUza", noise=0.0, jitter=0)
    channels = np.arange(len(FLASH_SECONDS))
    pes = vb.PETable(channel=np.repeat(channels, 20), time=np.repeat(FLASH_SECONDS, 20))
    rec = vb.run(det, pes, seed=1, segment=segment, channels=channels)
    assert np.array_equal(rec["channel"], channels)  # one window per flash
    flash_steps = np.round(FLASH_SECONDS / 4e-9).astype(np.int64)
    # The window starts the same number of ADC steps after every flash, and
    # time_ns is that start in ns, exactly.
    delay_steps = rec["adc_index"] - flash_steps
    assert len(set(delay_steps.tolist())) == 1, sorted(set(delay_steps.tolist()))
    np.testing.assert_array_equal(rec["time_ns"], rec["adc_index"] * 4)
    # The time stamps keep the front end's own rule, which may lie one tick low.
    stamp_ticks = rec["trigger_time_s"].astype(np.int64) * 250_000_000 + rec["trigger_time_ticks"]
    assert set((rec["adc_index"] - stamp_ticks).tolist()) <= {0, 1}
    assert (rec["adc_index"] - stamp_ticks).any()  # the case the exact start exists for


@pytest.mark.parametrize("adc_step, flashes", [
    (10e-9, [3.0, 3.0 + 10e-9]),        # whole ns
    (2.5e-9, [7.5, 7.5 + 2.5e-9]),      # whole ps: one of two starts lies on a half ns
])
def test_window_time_in_ns_rounds_a_start_between_whole_ns_to_the_later_one(adc_step, flashes, make_detector):
    det = deterministic(make_detector, "ZozuvUza", noise=0.0, jitter=0, adc_step=adc_step)
    rec = vb.run(det, vb.PETable(channel=np.repeat([0, 1], 20), time=np.repeat(flashes, 20)), seed=1)
    assert len(rec) == 2
    step_ps = round(adc_step * 1e12)
    starts_ps = rec["adc_index"].astype(np.int64) * step_ps  # exactly
    np.testing.assert_array_equal(rec["time_ns"], (starts_ps + 500) // 1000)
    assert rec["adc_index"][1] - rec["adc_index"][0] == 1
    assert (np.abs(rec["time_ns"] * 1e-9 - np.asarray(flashes)) < 1e-6).all()


def test_multipmt_segments_move_hit_times_by_the_origin(make_detector):
    det = deterministic(make_detector, "MultiPMT", tot_noise=0.0, tot_jitter=0.0, adc_noise=0.0, adc_jitter=0)
    segment = 2e-3
    burst = np.full(20, 3e-6 + 0.05e-9)
    one = vb.run(det, flash_table([2], burst), seed=1)
    assert len(one) == 1
    rec = vb.run(det, flash_table([2], np.concatenate([burst, burst + 5 * segment])), seed=1, segment=segment)
    np.testing.assert_array_equal(rec["time"], [one["time"][0], one["time"][0] + 5 * segment])
    np.testing.assert_array_equal(rec["time_over_threshold"], np.repeat(one["time_over_threshold"], 2))


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(segment=3e-9), ValueError, "segment must be a whole number of ADC steps"),
        (dict(segment=2e-9 * 1001), ValueError, "segment must be a whole number"),
        (dict(segment=-1.0), ValueError, "segment"),
        (dict(workers=0), ValueError, "workers"),
        (dict(block_channels=0), ValueError, "block_channels"),
        (dict(seeding="random"), ValueError, "seeding"),
        (dict(dark_rate=-1.0, duration=1.0), ValueError, "dark rate"),
        (dict(dark_rate=1.0), ValueError, "both"),
        (dict(channels=[]), ValueError, "empty"),
        (dict(output="records.txt"), ValueError, r"\.parquet, \.npz, \.root, \.h5 or \.hdf5"),
        (dict(pmt_time_step=0.0), ValueError, "pmt_time_step"),
        (dict(waveform_samples=10**8), ValueError, "waveform_samples must be at most 65536"),
        (dict(max_memory=1 << 20), MemoryError, "needs about .* GiB at its peak"),
        (dict(dark_rate=2e8, duration=10.0, channels=[0]), MemoryError, "more than the memory available"),
        (dict(max_memory="lots"), ValueError, "max_memory must be a number of bytes"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_bad_input_fails_before_anything_is_written(kwargs, error, message, make_detector, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    det_params = {k: kwargs.pop(k) for k in ["pmt_time_step", "waveform_samples"] if k in kwargs}
    det = make_detector("ZozuvUza", seed=1, **det_params)
    kwargs.setdefault("output", tmp_path / "out.parquet")
    with pytest.raises(error, match=message):
        vb.run(det, flash_table([0, 1], FLASHES), **kwargs)
    assert list(tmp_path.iterdir()) == []


def test_a_failing_channel_is_named_and_leaves_no_file(make_detector, tmp_path):
    det = make_detector("ZozuvUza", seed=1, early_handling="THROW")
    table = vb.PETable(channel=np.r_[np.zeros(30, int), np.full(30, 4)], time=np.r_[np.full(30, 2e-6), np.full(30, -1e-6)])
    with pytest.raises(RuntimeError, match="channel 4: Early trigger"):
        vb.run(det, table, output=tmp_path / "out.parquet", block_channels=1)
    assert list(tmp_path.iterdir()) == []


def test_progress_bar_counts_channels(make_detector, capsys):
    vb.run(make_detector("MultiPMT", seed=1), flash_table(np.arange(4), FLASHES), progress=True, block_channels=2)
    err = capsys.readouterr().err
    assert "4/4" in err and "ch" in err


INTERRUPTED_RUN = """
import sys
import velmora_batch as vb
det = vb.Detector.from_config(sys.argv[1])
print("running", flush=True)
vb.run(det, dark_rate=3e3, duration=2.0, channels=range(4000), seed=1, workers=2, block_channels=8,
       output=sys.argv[2])
print("finished", flush=True)
"""


def test_ctrl_c_stops_a_run_quickly_and_leaves_no_file(tmp_path):
    out = tmp_path / "dark.parquet"
    proc = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(INTERRUPTED_RUN), str(ROOT / "examples/zozuvuza/config.json"), str(out)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=os.environ.copy(),
    )
    try:
        assert proc.stdout.readline().strip() == "running"
        time.sleep(1.0)
        assert proc.poll() is None, proc.stderr.read()
        start = time.monotonic()
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=30)
        stopped = time.monotonic() - start
    finally:
        proc.kill()
    assert proc.returncode != 0
    assert "KeyboardInterrupt" in err
    assert stopped < 5.0, stopped
    assert list(tmp_path.iterdir()) == []


def test_times_beyond_the_late_time_limit_need_segments(make_detector, tmp_path):
    det = make_detector("ZozuvUza", seed=1)
    limit = 2**40 * det.params["pmt_time_step"]
    late = flash_table([0], FLASHES + limit)
    with pytest.raises(ValueError, match="late-time limit .* segment="):
        vb.run(det, late, output=tmp_path / "out.parquet")
    with pytest.raises(ValueError, match="late-time limit"):
        vb.run(det, dark_rate=1.0, duration=2 * limit, channels=[0])
    with pytest.raises(ValueError, match="longer than this detector's late-time limit"):
        vb.run(det, late, segment=220.0)  # whole ticks, twice the limit
    assert list(tmp_path.iterdir()) == []
    # In segments the same PEs run, from an origin near them.
    rec = vb.run(det, late, segment=1.0)
    assert len(rec) > 0 and (rec["trigger_time_s"] >= int(limit)).all()


@pytest.mark.parametrize("text, expected", [
    ("8G", 8 * 2**30), ("512m", 512 * 2**20), ("1.5GiB", 3 * 2**29), ("4096", 4096), (3000, 3000),
    ("auto", "auto"), ("none", None), (None, None),
    ("0", "max_memory"), ("-1G", "max_memory"), ("lots", "max_memory"), ("\u0663G", "max_memory"),
    ("1e400", "max_memory"), (True, "max_memory"),
], ids=repr)
def test_memory_bounds(text, expected):
    from velmora_batch._options import parse_memory

    if expected == "max_memory":
        with pytest.raises(ValueError, match="max_memory must be a number of bytes"):
            parse_memory(text)
    else:
        assert parse_memory(text) == expected


def test_an_explicit_bound_lets_a_run_through(make_detector, tmp_path):
    det = make_detector("ZozuvUza", seed=1)
    table = flash_table([0, 1], FLASHES)
    want = vb.run(det, table)
    assert vb.run(det, table, max_memory=None).tobytes() == want.tobytes()
    assert vb.run(det, table, max_memory="64G").tobytes() == want.tobytes()


WIDE_RUN = """
import os, resource, sys
import numpy as np
import velmora_batch as vb
from velmora_batch._options import RunOptions
from velmora_batch.cli import describe
# Far less than a materialised selection of 2**31 channels would take. The
# sanitizer build reserves more address space than that for its own use, so
# there only the resident size below is checked.
if "libasan" not in os.environ.get("LD_PRELOAD", ""):
    resource.setrlimit(resource.RLIMIT_AS, (3 * 2**30, 3 * 2**30))
det = vb.Detector.from_config(sys.argv[1])
flashes = np.concatenate([np.full(15, 2e-6), np.full(15, 7e-6), np.linspace(1e-6, 9e-6, 20)])
table = vb.PETable(channel=[2**31 - 1] * 50 + [7] * 50, time=np.tile(flashes, 2))
print(describe(det, table, RunOptions(channels="0-2147483647", workers=2, seed=1, max_memory=None)))
wide = vb.run(det, table, channels="0-2147483647", seed=1, workers=2, output=sys.argv[2])
narrow = vb.run(det, table, seed=1)
assert len(narrow) > 0 and vb.read_records(sys.argv[2]).tobytes() == narrow.tobytes()
print("blocks", wide.blocks, "channels", wide.channels)
print("peak KiB", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def test_the_widest_channel_selection_runs_in_little_memory(tmp_path):
    out = subprocess.run([sys.executable, "-c", WIDE_RUN, str(ROOT / "examples/zozuvuza/config.json"),
                          str(tmp_path / "wide.parquet")], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert "channels:       2147483648" in out.stdout
    assert "blocks 524288 channels 2147483648" in out.stdout
    peak_kib = int(out.stdout.split("peak KiB")[1])
    assert peak_kib < 3 * 2**20, f"{peak_kib} KiB resident"


class CountingPool(ThreadPoolExecutor):
    """A thread pool that counts the blocks submitted to it."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.blocks = 0

    def submit(self, fn, /, *args, **kwargs):
        if fn.__name__ == "run_block":
            self.blocks += 1
        return super().submit(fn, *args, **kwargs)


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_channels_without_pes_are_not_simulated(model, make_detector):
    det = make_detector(model, seed=2, noise=3.0) if model == "ZozuvUza" else make_detector(model, seed=2)
    table = flash_table([70_000, 5], FLASHES)
    want = vb.run(det, table)
    assert len(want) > 0
    with CountingPool(2) as pool:
        got = vb.run(det, table, channels="0-99999", executor=pool, block_channels=4096)
        assert got.tobytes() == want.tobytes()
        assert pool.blocks == 2  # of 25
    assert vb.run(det, table, channels="0-99999").tobytes() == want.tobytes()


def test_the_default_workers_are_the_cores_this_process_may_use(make_detector, monkeypatch):
    from velmora_batch._options import RunOptions
    from velmora_batch._plan import prepare

    monkeypatch.setattr(os, "sched_getaffinity", lambda pid: {3}, raising=False)
    monkeypatch.setattr(os, "cpu_count", lambda: 64)
    setup = prepare(make_detector("ZozuvUza"), flash_table([0], FLASHES), RunOptions(seed=1))
    assert setup.workers == 1


def test_a_resume_with_another_selection_of_the_same_span_is_refused(make_detector, tmp_path):
    det = make_detector("MultiPMT", seed=4)
    run = dict(dark_rate=2e4, duration=1e-3, block_channels=4)
    vb.run(det, channels="0-9,11", output=tmp_path / "ds", **run)
    with pytest.raises(ValueError, match="differs in channels"):
        vb.run(det, channels="0,2-11", output=tmp_path / "ds", resume=True, **run)
    vb.run(det, channels="0-4,5-9,11", output=tmp_path / "ds", resume=True, **run)


@pytest.mark.parametrize("option, code, message", [
    ("1M", 1, "Error: this run needs about .* more than --max-memory .*(--max-memory none)"),
    ("lots", 2, "Error: --max-memory must be a number of bytes"),
])
def test_command_line_memory_bound(option, code, message, tmp_path):
    from click.testing import CliRunner
    from velmora_batch.cli import main

    config = ROOT / "examples/zozuvuza/config.json"
    result = CliRunner().invoke(main, ["run", str(config), "--dark-rate", "1e4", "--duration", "1e-3", "--channels",
                                       "0-9", "--max-memory", option, "-o", str(tmp_path / "out.parquet")])
    assert result.exit_code == code, result.output
    assert re.search(message, result.output) and "Traceback" not in result.output
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("seeding, segment, output", [
    ("independent", None, "file"), ("independent", None, "dataset"), ("independent", None, "memory"),
    ("sequential", None, "file"), ("sequential", None, "memory"),
    ("independent", 4e-6, "file"), ("independent", 4e-6, "dataset"),
])
def test_a_pe_file_gives_the_records_of_the_same_table_in_memory(seeding, segment, output, make_detector, tmp_path,
                                                                  monkeypatch):
    from velmora_batch import _pes

    monkeypatch.setattr(_pes, "_BATCH_ROWS", 37)  # many pieces, each crossing blocks
    rng = np.random.default_rng(9)
    table = flash_table(rng.permutation(12), FLASHES)
    order = rng.permutation(len(table))  # channels interleaved, each channel's times in their own order
    table = vb.PETable(table.channel[order], table.time[order])
    path = tmp_path / "pes.parquet"
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"channel": table.channel, "time": table.time}), path, row_group_size=50)
    det = make_detector("MultiPMT", seed=6)
    run = dict(seeding=seeding, segment=segment, channels="0-2,4-30", block_channels=3, workers=2)
    want = vb.run(det, table, **run)
    assert len(want) > 0
    if output == "memory":
        got = vb.run(det, path, **run)
    else:
        out = tmp_path / ("ds" if output == "dataset" else "r.parquet")
        vb.run(det, path, output=out, **run)
        got = vb.read_records(out)
        if output == "dataset":  # the same PEs by digest: the run from the table in memory resumes it
            vb.run(det, table, output=out, resume=True, **run)
    assert got.tobytes() == want.tobytes()
    assert not [p.name for p in tmp_path.iterdir() if p.name.startswith(".velmora-pes")]


def test_the_split_pe_file_is_removed_when_a_run_fails(make_detector, tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"channel": np.r_[np.zeros(30, int), np.full(30, 4)],
                             "time": np.r_[np.full(30, 2e-6), np.full(30, -1e-6)]}), tmp_path / "pes.parquet")
    det = make_detector("ZozuvUza", seed=1, early_handling="THROW")
    with pytest.raises(RuntimeError, match="channel 4: Early trigger"):
        vb.run(det, tmp_path / "pes.parquet", output=tmp_path / "out.parquet", block_channels=1)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pes.parquet"]


PE_FILE_RUN = """
import resource, sys
import numpy as np
import pyarrow as pa, pyarrow.parquet as pq
import velmora_batch as vb
rows, path = int(sys.argv[2]), sys.argv[3]
rng = np.random.default_rng(1)
with pq.ParquetWriter(path, pa.schema([("channel", pa.int64()), ("time", pa.float64())])) as w:
    for lo in range(0, rows, 1 << 18):
        n = min(1 << 18, rows - lo)
        w.write_table(pa.table({"channel": rng.integers(0, 64, n), "time": rng.uniform(0, 4e-3, n)}))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
vb.run(vb.Detector.from_config(sys.argv[1]), path, seed=1, workers=1, block_channels=1, output=sys.argv[4])
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)
"""


def test_a_pe_file_is_never_held_whole(tmp_path):
    """The peak memory of a run from a PE file does not grow with the file:
    four times the rows, in blocks of the same size, take about the same."""
    grown = []
    for rows in (1 << 19, 1 << 21):
        out = subprocess.run([sys.executable, "-c", PE_FILE_RUN, str(ROOT / "examples/multipmt/config.json"),
                              str(rows), str(tmp_path / f"pes{rows}.parquet"), str(tmp_path / f"r{rows}.parquet")],
                             capture_output=True, text=True, timeout=600)
        assert out.returncode == 0, out.stderr
        grown.append(int(out.stdout))
    # Held whole, 3 * 2**19 more rows would take at least 24 MiB more (their channel and time alone).
    assert grown[1] - grown[0] < 24 * 2**20, grown


def test_dry_run_describes_the_plan_that_runs(make_detector, tmp_path, monkeypatch):
    """A channel selection narrower than the PE table: the dry run counts only the selected channels' PEs
    and blocks, the run makes those blocks, and the run's memory check holds the printed estimate."""
    from velmora_batch import _plan
    from velmora_batch._options import RunOptions
    from velmora_batch._plan import estimate_peak, prepare
    from velmora_batch.cli import describe

    monkeypatch.setattr(_plan, "_resident_bytes", lambda: 100 * 2**20)  # the process's size, fixed

    det = make_detector("ZozuvUza", seed=2)
    table = flash_table(np.arange(100), FLASHES)  # 50 PEs on each of channels 0-99
    options = dict(seed=5, workers=2, dark_rate=None, duration=None, channels="10-19,40-44", seeding="independent",
                   segment=None, block_channels=4)
    out = tmp_path / "r.parquet"
    lines = dict(line.split(":", 1) for line in describe(det, table, RunOptions(output=out, max_memory=None,
                                                                                 **options)).splitlines())
    assert int(lines["channels"]) == 15 and float(lines["expected PEs"]) == 15 * len(FLASHES)
    assert lines["blocks"].split()[:3] == ["4", "of", "up"]  # 10-13, 14-17, 18-19+40-41, 42-44
    plan = prepare(det, table, RunOptions(output=out, **options))
    peak = estimate_peak(plan)
    assert lines["peak memory"].split()[:2] == ["about", f"{peak / 2**20:.0f}"]
    summary = vb.run(det, table, output=out, max_memory=peak, **{k: v for k, v in options.items()
                                                                 if k not in ("segment",)})
    assert (summary.channels, summary.blocks) == (15, 4)
    assert set(np.unique(vb.read_records(out)["channel"])) <= set(range(10, 20)) | set(range(40, 45))
    with pytest.raises(MemoryError, match="at its peak"):
        vb.run(det, table, output=tmp_path / "s.parquet", max_memory=peak - 1, **options)


@pytest.mark.parametrize("where", ["own threads", "thread pool", "dask"])
def test_finished_blocks_never_pile_up_behind_a_slow_first_block(where, make_detector, tmp_path, monkeypatch):
    """Whatever runs the blocks, finished blocks that wait for the slow first one to be written, and blocks
    submitted before it finishes, stay within the run's window."""
    from velmora_batch import _executors, _sinks

    run_block = _executors.run_block

    def slow_first(job):
        if job.index == 0:
            time.sleep(1.0)
        return run_block(job)

    waiting, submitted = [], []
    add, track = _sinks.RecordFileSink.add, _sinks.RecordFileSink.track

    def watched_add(sink, result):
        add(sink, result)
        waiting.append(len(sink.waiting))  # finished and not yet written

    def watched_track(sink, jobs):
        for job in track(sink, jobs):
            submitted.append(0 in sink.order and not waiting)  # submitted while the first block runs
            yield job

    monkeypatch.setattr(_executors, "run_block", slow_first)
    monkeypatch.setattr(_sinks.RecordFileSink, "add", watched_add)
    monkeypatch.setattr(_sinks.RecordFileSink, "track", watched_track)
    det = make_detector("ZozuvUza", seed=1)
    run = dict(dark_rate=2e4, duration=1e-3, channels=range(120), seed=3, block_channels=1, workers=2)
    with contextlib.ExitStack() as stack:
        executor = None
        if where == "thread pool":
            executor = stack.enter_context(ThreadPoolExecutor(2))
        elif where == "dask":
            distributed = pytest.importorskip("distributed")
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=1, threads_per_worker=2, processes=False, dashboard_address=":0"))
            executor = stack.enter_context(distributed.Client(cluster))
        from velmora_batch._options import RunOptions
        from velmora_batch._plan import prepare

        window = prepare(det, None, RunOptions(executor=executor, **run)).window
        summary = vb.run(det, executor=executor, output=tmp_path / "r.parquet", **run)
    assert summary.blocks == 120
    assert 0 < max(waiting) <= window - 1, (max(waiting), window)
    assert 0 < sum(submitted) <= window, (sum(submitted), window)
    monkeypatch.undo()
    assert vb.read_records(tmp_path / "r.parquet").tobytes() == vb.run(det, **run).tobytes()


# --- windows that start too early under early_handling WARN ----------------

# Channel 7: two flashes whose windows start before time 0; channel 4: one such
# flash and a late one; channel 2: late flashes only.
EARLY_PES = vb.PETable(channel=np.repeat([7, 4, 2], [40, 40, 30]),
                       time=np.r_[np.full(20, -2e-6), np.full(20, -1e-6), np.full(20, -1e-6), np.full(20, 3e-6),
                                  FLASHES[:30]])


def dropped_per_channel(make_detector, table, **kwargs):
    """Windows dropped, by channel: the records a run keeps under ZERO beyond those under IGNORE."""
    kept = {p: vb.run(make_detector("ZozuvUza", seed=5, early_handling=p), table, **kwargs)
            for p in ("ZERO", "IGNORE")}
    return {int(c): int(np.sum(kept["ZERO"]["channel"] == c) - np.sum(kept["IGNORE"]["channel"] == c))
            for c in np.unique(table.channel)}


def early_warnings(caught):
    assert {type(w.message) for w in caught} == {vb.EarlyTriggerWarning}
    assert {w.filename for w in caught} == {__file__}  # shown at the caller of run()
    found = [re.fullmatch(r"channel (\d+): (\d+) readout windows? dropped for starting too early "
                          r"\(early_handling WARN\); the first starts at (\S+) s(, before the start of its segment "
                          r"at (\S+) s)?", str(w.message)) for w in caught]
    assert all(found), [str(w.message) for w in caught]
    return [(int(m[1]), int(m[2]), float(m[3]), m[5] and float(m[5])) for m in found]


@pytest.mark.parametrize("how", [
    pytest.param({}, id="array"),
    pytest.param(dict(seeding="sequential", block_channels=1), id="sequential"),
    pytest.param(dict(output="r.parquet", block_channels=1), id="record-file"),
    pytest.param(dict(output="ds/", executor=True, block_channels=2), id="dataset-on-executor"),
])
def test_early_windows_warn_once_per_channel_instead_of_writing_lines(how, make_detector, tmp_path, capfd):
    dropped = dropped_per_channel(make_detector, EARLY_PES)
    assert dropped == {2: 0, 4: 1, 7: 2}

    def records(policy, name, warn):
        kwargs = dict(how)
        if "output" in kwargs:
            kwargs["output"] = str(tmp_path / f"{name}-{kwargs['output']}")
        with contextlib.ExitStack() as stack:
            if kwargs.pop("executor", False):
                kwargs["executor"] = stack.enter_context(ThreadPoolExecutor(2))
            with pytest.warns(vb.EarlyTriggerWarning) if warn else contextlib.nullcontext() as caught:
                out = vb.run(make_detector("ZozuvUza", seed=5, early_handling=policy), EARLY_PES, **kwargs)
        return (out if "output" not in kwargs else vb.read_records(kwargs["output"])), caught

    capfd.readouterr()
    warned, caught = records("WARN", "warn", True)
    assert "early trigger" not in capfd.readouterr().err
    notes = early_warnings(caught)
    assert [(c, n) for c, n, _, _ in notes] == [(4, 1), (7, 2)]
    (_, _, first4, seg4), (_, _, first7, seg7) = notes
    assert seg4 is None and seg7 is None
    assert -1e-6 - 50e-9 < first4 < -1e-6 and -2e-6 - 50e-9 < first7 < -2e-6 + 50e-9
    ignored, _ = records("IGNORE", "ignore", False)
    assert warned.dtype == ignored.dtype and warned.tobytes() == ignored.tobytes()


def test_early_windows_of_segments_add_up_and_name_the_segment(make_detector, capfd):
    segment = 1e-3
    # Channel 3: a flash before time 0 and one just after the second segment's
    # origin, whose window starts before that origin; channel 6: only the latter.
    table = vb.PETable(channel=np.repeat([3, 6], [40, 20]),
                       time=np.r_[np.full(20, -1e-6), np.full(20, segment + 0.05e-9), np.full(20, segment + 0.05e-9)])
    assert dropped_per_channel(make_detector, table, segment=segment) == {3: 2, 6: 1}
    capfd.readouterr()
    with pytest.warns(vb.EarlyTriggerWarning) as caught:
        vb.run(make_detector("ZozuvUza", seed=5, early_handling="WARN"), table, segment=segment)
    assert "early trigger" not in capfd.readouterr().err
    (c3, n3, first3, seg3), (c6, n6, first6, seg6) = early_warnings(caught)
    assert (c3, n3, seg3) == (3, 2, None) and -1e-6 - 50e-9 < first3 < -1e-6
    assert (c6, n6, seg6) == (6, 1, segment) and segment - 50e-9 < first6 < segment
