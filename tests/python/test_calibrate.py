"""The delay calibration: its table equals a direct measurement of the same
flashes, it repeats from its seed, it measures negative delays and no early
window, it refuses bad input, and the command line writes and draws it."""

import importlib.util
import sys
from fractions import Fraction
from pathlib import Path

import numpy as np
import pyarrow.csv
import pyarrow.parquet
import pytest
import velmora_batch as vb
from click.testing import CliRunner
from velmora_batch._calibrate import FLASH_POSITIONS, plot_walk, walk_figure, wilson_interval, write_table
from velmora_batch.cli import main

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
ZOZUVUZA = EXAMPLES / "zozuvuza" / "config.json"
MULTIPMT = EXAMPLES / "multipmt" / "config.json"
CONFIGS = pytest.mark.parametrize("config", [ZOZUVUZA, MULTIPMT], ids=["zozuvuza", "multipmt"])
NPE = [2, 5, 40]
EVENTS = 300
STATS = ["mean_delay_ns", "rms_delay_ns", "q16_delay_ns", "q50_delay_ns", "q84_delay_ns"]


def detector(config, **changes):
    det = vb.Detector.from_config(config)
    return vb.Detector.from_dict({**det.config(), **changes}) if changes else det


def measure(det, n, events, seed):
    """The statistics of one row, measured directly: the flashes run through
    run() event by event, each event's records picked out and its first
    record's delay taken in the record's own units."""
    flash = vb.flash_times(det, events)
    pes = {"channel": np.repeat(np.arange(events), n), "time": np.repeat(flash, n)}
    records = vb.run(det, pes, seed=seed, channels=range(events), workers=1)
    counts, delays = [], []
    for event in range(events):
        mine = records[records["channel"] == event]
        counts.append(len(mine))
        if len(mine) == 0:
            continue
        flash_ns = Fraction(repr(float(flash[event]))) * 10**9
        if "time_ns" in mine.dtype.names and flash_ns.denominator == 1:  # whole nanoseconds, exactly
            delays.append(int(mine["time_ns"].min()) - flash_ns.numerator)
        elif "time_ns" in mine.dtype.names:
            delays.append(float(mine["time_ns"].min()) - float(flash[event]) * 1e9)
        else:
            delays.append((float(mine["time"].min()) - float(flash[event])) * 1e9)
    counts = np.array(counts)
    d = np.array(delays, dtype=float)
    mean = sum(delays) / len(delays)
    rms = (sum((x - mean) ** 2 for x in delays) / len(delays)) ** 0.5
    return {"one_record": int((counts == 1).sum()), "any_record": int((counts >= 1).sum()),
            "mean_delay_ns": mean, "rms_delay_ns": rms, "q16_delay_ns": np.percentile(d, 16),
            "q50_delay_ns": np.percentile(d, 50), "q84_delay_ns": np.percentile(d, 84)}


@CONFIGS
def test_the_table_is_a_direct_measurement_of_the_same_flashes(config):
    det = detector(config)
    table = vb.calibrate(det, npe=NPE, events=EVENTS, seed=5)
    assert table["npe"].tolist() == NPE and (table["events"] == EVENTS).all()
    for row, n in zip(table, NPE):
        direct = measure(det, n, EVENTS, seed=5)
        assert (row["one_record"], row["any_record"]) == (direct["one_record"], direct["any_record"])
        assert row["efficiency_one"] == direct["one_record"] / EVENTS
        assert row["efficiency_any"] == direct["any_record"] / EVENTS
        for key in STATS:
            assert row[key] == pytest.approx(direct[key], rel=1e-12, abs=1e-9), (n, key)
    # The walk: brighter flashes trigger earlier, and every event of a bright flash triggers.
    assert table["mean_delay_ns"][-1] < table["mean_delay_ns"][0]
    assert table["efficiency_any"][-1] == 1.0


def test_flashes_off_the_nanosecond_grid_are_measured_too():
    """An ADC step of no simple ratio to the 4 ns tick puts the flashes on
    the ADC grid alone, off whole nanoseconds: the delays are then
    differences of floating-point nanoseconds."""
    det = detector(ZOZUVUZA, adc_step=4.0001e-9)
    flash = vb.flash_times(det, 3)
    assert (Fraction(repr(float(flash[0]))) * 10**9).denominator != 1
    table = vb.calibrate(det, npe=[10], events=100, seed=5)
    direct = measure(det, 10, 100, seed=5)
    assert table["any_record"][0] == direct["any_record"] == 100
    for key in STATS:
        assert table[key][0] == pytest.approx(direct[key], rel=1e-12, abs=1e-9), key


def test_a_flash_too_faint_to_trigger_gives_no_delay():
    table = vb.calibrate(detector(ZOZUVUZA), npe=[1], events=50, seed=5)
    assert table["any_record"][0] == 0 and table["efficiency_any"][0] == 0.0
    assert np.isnan([table[key][0] for key in STATS]).all()


@CONFIGS
def test_the_flashes_lie_on_the_detectors_grids_after_every_window(config):
    det = detector(config)
    times = vb.flash_times(det, FLASH_POSITIONS + 5)
    assert len(np.unique(times)) == FLASH_POSITIONS and np.array_equal(times[:5], times[-5:])
    # The TDC step, or the 4 ns tick of a time stamp.
    steps = [det.params["pmt_time_step"], det.params["adc_step"], det.params.get("tot_step", 4e-9)]
    for t in times[:50]:
        for step in steps:
            assert (Fraction(repr(float(t))) / Fraction(repr(float(step)))).denominator == 1, (t, step)
    assert times.min() > 0


@pytest.mark.parametrize("config, first_ns", [(ZOZUVUZA, 776), (MULTIPMT, 588)], ids=["zozuvuza", "multipmt"])
def test_the_first_flash_lies_twice_the_reach_from_zero(config, first_ns):
    """The example detectors' records reach at most 386.1 ns (ZozuvUza) and
    293.6 ns (MultiPMT) from their PEs; the first flash lies on the first 4 ns
    grid point at twice that or later, then every 4 ns. Every calibration
    table of a seed rests on these times."""
    times = vb.flash_times(detector(config), 3)
    assert times.tolist() == [float(Fraction(first_ns + 4 * k, 10**9)) for k in range(3)]


@pytest.mark.parametrize("trigger_offset", [-10, -40, -400])
def test_no_window_starts_before_time_zero(trigger_offset):
    """Under THROW an early window would fail the calibration; at time 0,
    where the module's own calibration puts its flashes, it does."""
    det = detector(ZOZUVUZA, trigger_offset=trigger_offset, early_handling="THROW")
    table = vb.calibrate(det, npe=[100], events=100, seed=2)
    assert table["any_record"][0] == 100
    assert table["q50_delay_ns"][0] <= 20 + 4 * trigger_offset
    with pytest.raises(RuntimeError, match="Early trigger"):
        vb.run(det, {"channel": np.zeros(100, int), "time": np.zeros(100)}, seed=2, channels=[0])


def test_a_window_opened_before_the_flash_gives_a_negative_delay():
    base = vb.calibrate(detector(ZOZUVUZA), npe=[10, 100], events=400, seed=3)
    early = vb.calibrate(detector(ZOZUVUZA, trigger_offset=-10), npe=[10, 100], events=400, seed=3)
    assert (early["mean_delay_ns"] < 0).all() and (early["q84_delay_ns"] <= 0).all()
    # The same draws: each window opens 7 ADC steps earlier, up to one 4 ns tick of time-stamp truncation.
    shift = early["mean_delay_ns"] - base["mean_delay_ns"]
    assert np.all(np.abs(shift + 28) <= 4), shift


def test_the_calibration_repeats_from_its_seed():
    det = detector(MULTIPMT)
    first = vb.calibrate(det, npe=[3, 30], events=200, seed=9, workers=2)
    assert vb.calibrate(det, npe=[3, 30], events=200, seed=9, workers=1).tobytes() == first.tobytes()
    # A row depends on its npe, the events and the seed only, not on the other rows.
    assert vb.calibrate(det, npe=[30], events=200, seed=9)[0].tobytes() == first[1].tobytes()
    assert vb.calibrate(det, npe=[3, 30], events=200, seed=10).tobytes() != first.tobytes()
    # The detector's own seed stands in for a missing one.
    assert vb.calibrate(det, npe=[3], events=50).tobytes() == vb.calibrate(det, npe=[3], events=50,
                                                                          seed=det.seed).tobytes()


def test_per_channel_overrides_are_set_aside():
    det = detector(ZOZUVUZA)
    loud = vb.Detector.from_dict({**det.config(), "overrides": {"channel": [0, 1, 2], "gain": [90.0] * 3}})
    assert vb.calibrate(loud, npe=[5], events=20, seed=4).tobytes() == \
        vb.calibrate(det, npe=[5], events=20, seed=4).tobytes()


@pytest.mark.parametrize("kwargs, error, message", [
    ({"npe": [0]}, ValueError, r"npe must lie in \[1, "),
    ({"npe": [5, -1]}, ValueError, r"npe must lie in \[1, "),
    ({"npe": [2.5]}, TypeError, "npe must be a whole number, got 2.5"),
    ({"npe": [2.0]}, TypeError, "npe must be a whole number, got 2.0"),
    ({"npe": [True]}, TypeError, "npe must be a whole number"),
    ({"npe": 5}, TypeError, "npe must be a list"),
    ({"npe": "1,2"}, TypeError, "npe must be a list"),
    ({"npe": []}, ValueError, "at least one"),
    ({"events": 0}, ValueError, r"events must lie in \[1, "),
    ({"events": -5}, ValueError, r"events must lie in \[1, "),
    ({"events": 10.0}, TypeError, "events must be a whole number"),
    ({"npe": [10**6], "events": 10**4}, ValueError, "calibrate with fewer events"),
], ids=["zero", "negative", "fraction", "float", "bool", "scalar", "text", "empty", "no events",
        "negative events", "float events", "too many PEs"])
def test_bad_input_is_refused(kwargs, error, message):
    with pytest.raises(error, match=message):
        vb.calibrate(detector(ZOZUVUZA), **{"npe": [1], "events": 10, "seed": 1, **kwargs})


def test_a_calibration_needs_a_seed():
    det = vb.Detector.from_dict({**detector(ZOZUVUZA).config(), "seed": None})
    with pytest.raises(ValueError, match="calibrate needs a seed"):
        vb.calibrate(det, npe=[5], events=10)


def velmora(*args):
    return CliRunner().invoke(main, [str(a) for a in args])


def test_the_command_prints_and_writes_the_table(tmp_path):
    output = tmp_path / "walk.csv"
    result = velmora("calibrate", ZOZUVUZA, "--npe", "2,20", "--events", 100, "--seed", 6, "--set",
                     "trigger_offset=-5", "-o", output)
    assert result.exit_code == 0, result.output
    expected = vb.calibrate(detector(ZOZUVUZA, trigger_offset=-5), npe=[2, 20], events=100, seed=6)
    written = pyarrow.csv.read_csv(output)
    assert written.column_names == list(expected.dtype.names)
    for name in expected.dtype.names:
        np.testing.assert_array_equal(written[name].to_numpy(), expected[name])
    lines = result.output.splitlines()
    assert "seed 6" in lines[0] and lines[1].split()[0] == "npe"
    assert [line.split()[0] for line in lines[2:4]] == ["2", "20"]
    assert float(lines[3].split()[4]) == pytest.approx(expected["mean_delay_ns"][1], abs=1e-3)
    # An existing table is kept unless --overwrite.
    again = velmora("calibrate", ZOZUVUZA, "--npe", "2", "--events", 10, "-o", output)
    assert again.exit_code == 2 and "--overwrite" in again.output
    assert velmora("calibrate", ZOZUVUZA, "--npe", "2", "--events", 10, "-o", output, "--overwrite").exit_code == 0
    assert len(pyarrow.csv.read_csv(output)) == 1


@pytest.mark.parametrize("args, message", [
    (["--npe", "1,0"], "at least 1, got 0"),
    (["--npe", "1,2.5"], "not a comma-separated list of whole numbers"),
    (["--npe", ""], "not a comma-separated list"),
    (["--events", "0"], "--events"),
    (["-o", "walk.txt"], ".csv or .parquet"),
    (["-o", "no-such-directory/walk.csv"], "the directory no-such-directory does not exist"),
    (["--plot", "no-such-directory/walk.png"], "the directory no-such-directory does not exist"),
], ids=["zero", "fraction", "empty", "no events", "suffix", "table directory", "plot directory"])
def test_the_command_refuses_bad_options(args, message):
    result = velmora("calibrate", ZOZUVUZA, *args)
    assert result.exit_code == 2 and message in result.output, result.output


def test_a_table_is_not_written_into_a_missing_directory(tmp_path):
    table = vb.calibrate(detector(MULTIPMT), npe=[5], events=10, seed=1)
    with pytest.raises(FileNotFoundError, match="does not exist"):
        write_table(table, tmp_path / "missing" / "walk.csv")
    write_table(table, tmp_path / "walk.parquet")
    assert pyarrow.parquet.read_table(tmp_path / "walk.parquet").to_pydict()["npe"] == [5]
    with pytest.raises(FileExistsError):
        write_table(table, tmp_path / "walk.parquet")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["walk.parquet"]  # no temporary file left


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_a_table_gets_the_mode_of_any_new_file(tmp_path, suffix):
    table = vb.calibrate(detector(MULTIPMT), npe=[5], events=10, seed=1)
    write_table(table, tmp_path / f"walk{suffix}")
    (tmp_path / "plain").write_text("")  # as open() makes a file under this process's umask
    assert (tmp_path / f"walk{suffix}").stat().st_mode == (tmp_path / "plain").stat().st_mode


@pytest.mark.parametrize("k, n", [(0, 1), (1, 1), (0, 1000), (1, 1000), (500, 1000), (999, 1000), (1000, 1000),
                                  (3, 7)])
def test_the_wilson_interval_bounds_the_efficiency(k, n):
    """Each bound p inside (0, 1) is where k/n lies one standard deviation
    sqrt(p (1 - p) / n) from p; 0 of n reaches down to 0, n of n up to 1."""
    low, high = (float(b) for b in wilson_interval(k, n))
    assert 0.0 <= low <= k / n <= high <= 1.0 and low < high
    for bound in (low, high):
        if 0.0 < bound < 1.0:
            assert (k / n - bound) ** 2 == pytest.approx(bound * (1 - bound) / n, rel=1e-9)
    assert (low == 0.0) == (k == 0) and (high == 1.0) == (k == n)


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="matplotlib is not installed")
def test_the_walk_curve_carries_its_errors():
    """The median delay's bars reach the 16 % and 84 % quantiles; each
    efficiency's bars are its Wilson interval (the 1-PE point: 1 of 1,000)."""
    import matplotlib.pyplot as plt
    from matplotlib.container import ErrorbarContainer

    table = vb.calibrate(detector(MULTIPMT), npe=[1, 10], events=40, seed=2)
    table["one_record"][0] = table["any_record"][0] = 1
    table["events"][0] = 1000
    fig = walk_figure(table)
    top, bottom = fig.axes
    (delay,) = [c for c in top.containers if isinstance(c, ErrorbarContainer)]
    spans = [(seg[0][1], seg[1][1]) for seg in delay.lines[2][0].get_segments()]
    np.testing.assert_allclose(spans, np.stack([table["q16_delay_ns"], table["q84_delay_ns"]], axis=1))
    bars = [c for c in bottom.containers if isinstance(c, ErrorbarContainer)]
    assert len(bars) == 2
    for bar, key in zip(bars, ["any_record", "one_record"]):
        spans = [(seg[0][1], seg[1][1]) for seg in bar.lines[2][0].get_segments()]
        np.testing.assert_allclose(spans, np.stack(wilson_interval(table[key], table["events"]), axis=1))
    assert spans[0][0] > 0 and spans[0][1] < 0.003  # 1 of 1,000
    plt.close(fig)


def test_the_command_reports_a_missing_seed_in_one_line(tmp_path):
    config = tmp_path / "config.json"
    config.write_text(ZOZUVUZA.read_text().replace('"seed": 20240611', '"seed": null'))
    for name in ("time_spectrum.txt", "amplitude_spectrum.txt", "pulse_shape.txt"):
        (tmp_path / name).write_bytes((ZOZUVUZA.parent / name).read_bytes())
    result = velmora("calibrate", config, "--events", 10)
    assert result.exit_code == 1 and result.output.startswith("Error: calibrate needs a seed")


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="matplotlib is not installed")
def test_the_command_draws_the_walk_curve(tmp_path):
    png = tmp_path / "walk.png"
    result = velmora("calibrate", MULTIPMT, "--npe", "1,10,100", "--events", 50, "--plot", png)
    assert result.exit_code == 0, result.output
    assert f"walk curve written to {png}" in result.output
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 10_000


def test_drawing_without_matplotlib_says_what_to_install(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib now fails
    table = vb.calibrate(detector(MULTIPMT), npe=[5], events=10, seed=1)
    with pytest.raises(ImportError, match=r"needs matplotlib: pip install 'velmora\[plot\]'"):
        plot_walk(table, tmp_path / "walk.png")
    assert not (tmp_path / "walk.png").exists()


def test_afterpulses_of_the_config_are_simulated_and_come_after_the_first_record(tmp_path):
    """Every PE of a bright flash spawns an afterpulse 1 to 2 us later: each
    flash then gives more than one record, and the first is the flash's own."""
    delay = tmp_path / "afterpulse_delay.txt"
    delay.write_text("1e-6 1\n2e-6 1\n")
    config = {**detector(ZOZUVUZA).config(), "afterpulses": {"probability": 1.0, "delay_spectrum": str(delay)}}
    table = vb.calibrate(vb.Detector.from_dict(config), npe=[50], events=100, seed=8)
    plain = vb.calibrate(detector(ZOZUVUZA), npe=[50], events=100, seed=8)
    assert table["any_record"][0] == 100 and table["one_record"][0] == 0 and plain["one_record"][0] == 100
    assert abs(table["q50_delay_ns"][0] - plain["q50_delay_ns"][0]) <= 4
    assert table["q84_delay_ns"][0] < 100
