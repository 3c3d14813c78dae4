"""The velmora command line: the same records as the Python API, typed --set
changes, the dry run, and clean one-line errors."""

import json
import signal
import subprocess
import sys
import time
import weakref
from importlib.metadata import entry_points
from pathlib import Path

import numpy as np
import pytest
import velmora_batch as vb
from click.testing import CliRunner
from velmora_batch.cli import main

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
ZOZUVUZA = EXAMPLES / "zozuvuza" / "config.json"
MULTIPMT = EXAMPLES / "multipmt" / "config.json"


def velmora(*args):
    return CliRunner().invoke(main, [str(a) for a in args])


@pytest.fixture
def pes(tmp_path):
    """A flash in channels 3 to 6 and a few PEs in channel 40, as a .npz file."""
    channel = np.repeat([3, 4, 5, 6, 40], [30, 30, 30, 30, 2])
    time = np.where(channel == 40, 5e-6, 2e-6)
    path = tmp_path / "pes.npz"
    np.savez(path, channel=channel, time=time)
    return path


@pytest.mark.parametrize("options, kwargs", [
    ([], {}),
    (["--seeding", "sequential"], {"seeding": "sequential"}),
    (["--segment", "4e-4", "--block-channels", "3"], {"segment": 4e-4}),
], ids=["independent", "sequential", "segments"])
@pytest.mark.parametrize("config", [ZOZUVUZA, MULTIPMT], ids=["zozuvuza", "multipmt"])
def test_run_writes_the_records_of_the_python_api(tmp_path, pes, config, options, kwargs):
    output = tmp_path / "records.parquet"
    result = velmora("run", config, "--pes", pes, "--dark-rate", 2e4, "--duration", 1e-3, "--channels", "0-7",
                     "--seed", 11, "--workers", 2, "-o", output, *options)
    assert result.exit_code == 0, result.output
    expected = vb.run(vb.Detector.from_config(config), vb.read_pes(pes), seed=11, workers=1, dark_rate=2e4,
                      duration=1e-3, channels=range(8), **kwargs)
    records = vb.read_records(output)
    assert len(records) > 0 and set(records["channel"].tolist()) <= set(range(8))
    assert records.tobytes() == expected.tobytes()
    assert f"{len(records)} records written to {output}" in result.output
    metadata = vb.read_metadata(output)
    assert metadata["seed"] == 11 and metadata["seeding"] == kwargs.get("seeding", "independent")
    assert metadata["config"] == vb.Detector.from_config(config).config()


def test_set_changes_the_detector(tmp_path, pes):
    plain, changed = tmp_path / "plain.npz", tmp_path / "changed.npz"
    for output, extra in ((plain, []), (changed, ["--set", "gain=45", "--set", "adc_threshold=70"])):
        result = velmora("run", ZOZUVUZA, "--pes", pes, "--seed", 3, "-o", output, *extra)
        assert result.exit_code == 0, result.output
    config = vb.read_metadata(changed)["config"]
    assert config["gain"] == 45.0 and config["adc_threshold"] == 70
    assert vb.read_records(plain)["intsum"].sum() < vb.read_records(changed)["intsum"].sum()


def test_dry_run_counts_without_simulating(tmp_path, pes):
    output = tmp_path / "never.parquet"
    result = velmora("run", MULTIPMT, "--pes", pes, "--dark-rate", 3e3, "--duration", 0.5, "--channels", "0-1999",
                     "--block-channels", 300, "--workers", 2, "--dry-run", "-o", output)
    assert result.exit_code == 0, result.output
    lines = dict(line.split(":", 1) for line in result.output.splitlines())
    assert int(lines["channels"]) == 2000
    assert float(lines["expected PEs"]) == pytest.approx(122 + 2000 * 3e3 * 0.5)
    assert lines["blocks"].split()[0] == "7"
    assert "MiB" in lines["peak memory"]
    assert not output.exists()


@pytest.mark.parametrize("args, message", [
    (["--dark-rate", -1, "--duration", 1, "--channels", "0-3"], "--dark-rate must be a finite number not below zero"),
    (["--dark-rate", 1e3, "--channels", "0-3"], "needs both a rate and a duration"),
    (["--dark-rate", 1e3, "--duration", 1, "--channels", "4-2"], "ends before it starts"),
    (["--dark-rate", 1e3, "--duration", 1, "--channels", "0-3", "--set", "gian=3"], "did you mean 'gain'?"),
    (["--dark-rate", 1e3, "--duration", 1, "--channels", "0-3", "--set", "noise=-1"],
     "noise must be a finite number not below zero"),
    (["--dark-rate", 1e3, "--duration", 1], "needs a channel selection"),
    (["--dark-rate", 1e3, "--duration", 1, "--channels", "0-3", "--resume"], "resume needs a dataset directory"),
])
def test_errors_are_one_clean_line(tmp_path, args, message):
    result = velmora("run", ZOZUVUZA, *args, "-o", tmp_path / "out.parquet")
    assert result.exit_code == 1
    assert result.output.startswith("Error: ") and message in result.output
    assert len(result.output.strip().splitlines()) == 1 and "Traceback" not in result.output
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("args, message", [
    (["--dark-rate", 1e3, "--duration", 1, "--channels", "0-3"], "Missing option '-o'"),
    (["-o", "x.parquet"], "Nothing to simulate"),
    (["--dark-rate", 1e3, "--duration", 1, "-o", "x.csv"], "must end in .parquet, .npz, .root, .h5 or .hdf5"),
    (["--seeding", "random", "-o", "x.parquet"], "'random' is not one of"),
    (["--pes", __file__, "--cluster", "local", "--scheduler", "tcp://x:1", "-o", "x/"], "not both"),
])
def test_usage_errors(args, message):
    result = velmora("run", ZOZUVUZA, *args)
    assert result.exit_code == 2 and message in result.output


def test_bad_config_and_pe_file(tmp_path):
    config = tmp_path / "config.json"
    config.write_text(json.dumps({"model": "MultiPMT"}))
    result = velmora("run", config, "--dark-rate", 1, "--duration", 1, "--channels", "0", "-o", tmp_path / "o.npz")
    assert result.exit_code == 1 and "missing keys 'time_spectrum'" in result.output
    config.write_text(json.dumps({"model": ["ZozuvUza"]}))
    for settings in ([], ["--set", "gain=3"]):
        result = velmora("run", config, *settings, "--dark-rate", 1, "--duration", 1, "--channels", "0",
                         "-o", tmp_path / "o.npz")
        assert result.exit_code == 1 and result.output.startswith("Error: ") and "Traceback" not in result.output
    np.savez(tmp_path / "pes.npz", channel=[1], times=[0.0])
    result = velmora("run", ZOZUVUZA, "--pes", tmp_path / "pes.npz", "-o", tmp_path / "o.npz")
    assert result.exit_code == 1 and "no array 'time'" in result.output


def config_with(tmp_path, **changes):
    """The example ZozuvUza config with ``changes``, written into ``tmp_path``."""
    config = {**json.loads(ZOZUVUZA.read_text()), **changes}
    for key in ("time_spectrum", "amplitude_spectrum", "pulse_shape"):
        config[key] = str(EXAMPLES / "zozuvuza" / config[key])
    (tmp_path / "c.json").write_text(json.dumps(config))
    return tmp_path / "c.json"


@pytest.mark.parametrize("overrides, afterpulses, wanted, unwanted", [
    ("channel,bogus\n1,2\n", None, "allowed: gain, offset, noise, adc_threshold, preamp_clip, clip, "
     "time_offset, dark_rate, afterpulse_probability", "--dark-rate"),
    ("channel,dark_rate\n1,-2\n", None, "dark_rate of channel 1 must be a finite number not below zero",
     "--dark-rate"),
    (None, [[1e-6, 5e-7, 2e-6], [1, 1, 1]], "point 2 (5e-07 s) comes after 1e-06 s", "np."),
    (None, [[-5e-7, 1e-6], [1, 1]], "got -5e-07 s", "np."),
    (None, [[0, 1e-6], [1, -5e-7]], "probabilities must not be negative, got -5e-07", "np."),
], ids=["override columns", "override dark rate", "delays decrease", "negative delay", "negative density"])
def test_messages_name_columns_and_numbers_as_written(tmp_path, overrides, afterpulses, wanted, unwanted):
    """A column of an override table keeps its name (only the run's own
    dark_rate is --dark-rate), and numbers read as plain numbers."""
    changes = {}
    if overrides is not None:
        (tmp_path / "o.csv").write_text(overrides)
        changes["overrides"] = str(tmp_path / "o.csv")
    if afterpulses is not None:
        changes["afterpulses"] = {"probability": 0.1, "delay_spectrum": dict(zip("xy", afterpulses))}
    result = velmora("run", config_with(tmp_path, **changes), "--dark-rate", 1, "--duration", 1,
                     "--channels", "0-3", "--dry-run")
    assert result.exit_code == 1 and wanted in result.output, result.output
    assert unwanted is None or unwanted not in result.output
    assert len(result.output.strip().splitlines()) == 1


def test_set_offers_every_key_it_takes():
    def dry(config, *settings):
        return velmora("run", config, *settings, "--dark-rate", 1, "--duration", 1, "--channels", "0", "--dry-run")

    offered = dry(ZOZUVUZA, "--set", "bogus=1").output.strip().split("; allowed: ")[1].split(", ")
    assert {"seed", "overrides", "baseline_noise", "gain"} <= set(offered)
    assert dry(ZOZUVUZA, "--set", "baseline_noise=true", "--set", "seed=3").exit_code == 0
    multipmt = dry(MULTIPMT, "--set", "bogus=1").output
    assert "seed, overrides" in multipmt and "baseline_noise" not in multipmt


@pytest.mark.parametrize("command", ["run", "calibrate", "events", "convert", "info", "schema"])
def test_help_shows_no_empty_ranges(command):
    result = velmora(command, "--help")
    assert result.exit_code == 0 and "None" not in result.output, result.output


def test_console_script_is_installed():
    (script,) = entry_points(group="console_scripts", name="velmora")
    assert script.load() is main


def _long_run_writing(tmp_path):
    """A long run of the command line into tmp_path, once it has started
    writing (its temporary file exists)."""
    output = tmp_path / "dark.parquet"
    command = [sys.executable, "-m", "velmora_batch.cli", "run", str(MULTIPMT), "--dark-rate", "1e5", "--duration",
               "1", "--channels", "0-9999", "--block-channels", "10", "--workers", "1", "-o", str(output)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not list(tmp_path.iterdir()) and time.monotonic() < deadline and process.poll() is None:
        time.sleep(0.02)
    assert process.poll() is None, "the run ended before it could be stopped"
    return process


def test_ctrl_c_leaves_no_file(tmp_path):
    process = _long_run_writing(tmp_path)
    interrupted = time.monotonic()
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=30)
    assert time.monotonic() - interrupted < 5
    assert process.returncode != 0 and "Traceback" not in stderr
    assert list(tmp_path.iterdir()) == []


class _Dropped:
    """Calls ``fire`` where Python drops what it raises: from a weakref
    callback or from ``__del__`` ("Exception ignored in ...")."""

    def __init__(self, fire):
        self.fire = fire

    def __del__(self):
        self.fire()


def _request_stop_where_dropped(signum, vehicle):
    def fire():
        signal.getsignal(signum)(signum, None)

    if vehicle == "weakref":
        holder = _Dropped(lambda: None)
        weakref.finalize(holder, fire)
    else:
        holder = _Dropped(fire)
    del holder


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # the dropped KeyboardInterrupt
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
@pytest.mark.parametrize("vehicle", ["weakref", "__del__"])
@pytest.mark.parametrize("moment", ["first block", "closing", "after the run"])
def test_a_stop_request_raised_where_python_drops_it_still_stops_the_run(tmp_path, monkeypatch, signum, vehicle,
                                                                          moment):
    """The handler's KeyboardInterrupt may land where Python prints and drops
    it; the run stops all the same, at its next safe point or at the latest
    when it ends: never a finished run with status 0."""
    from velmora_batch import _sinks, cli

    def before(cls, name):
        original = getattr(cls, name)

        def patched(*args, **kwargs):
            _request_stop_where_dropped(signum, vehicle)
            return original(*args, **kwargs)
        monkeypatch.setattr(cls, name, patched)

    if moment == "first block":
        before(_sinks.RecordFileSink, "add")
    elif moment == "closing":
        before(_sinks.RecordFileSink, "finish")
    else:
        run = cli.run_with

        def run_then_stop(*args, **kwargs):
            summary = run(*args, **kwargs)
            _request_stop_where_dropped(signum, vehicle)
            return summary
        monkeypatch.setattr(cli, "run_with", run_then_stop)
    output = tmp_path / "r.parquet"
    result = velmora("run", MULTIPMT, "--dark-rate", "1e4", "--duration", "1e-3", "--channels", "0-5",
                     "--block-channels", "2", "--workers", "1", "-o", output)
    assert result.exit_code == 1 and "Aborted!" in result.output, result.output
    assert "records written" not in result.output
    assert [p.name for p in tmp_path.iterdir()] == (["r.parquet"] if moment == "after the run" else [])
    # The request ends with its run: the next run is not stopped by it.
    monkeypatch.undo()
    assert velmora("run", MULTIPMT, "--dark-rate", "1e4", "--duration", "1e-3", "--channels", "0-1",
                   "-o", tmp_path / "next.parquet").exit_code == 0


@pytest.mark.parametrize("delays", [[0.0], [0.3], [0.0, 0.01, 0.01], [0.2, 0.05, 0.05, 0.05]],
                         ids=["at once", "later", "three at once", "four later"])
def test_sigterm_once_or_several_times_stops_the_run_cleanly(tmp_path, delays):
    process = _long_run_writing(tmp_path)
    for delay in delays:
        time.sleep(delay)
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
    _, stderr = process.communicate(timeout=30)
    # A repeated SIGTERM is ignored while the run stops; one that comes after
    # the run has stopped and cleaned up meets the default action.
    if process.returncode != -signal.SIGTERM or len(delays) == 1:
        assert process.returncode == 1, stderr
        assert stderr.strip().splitlines()[-1:] == ["Aborted!"], stderr
    assert "Traceback" not in stderr and "Exception ignored" not in stderr, stderr
    assert list(tmp_path.iterdir()) == []


def test_dataset_on_a_local_cluster_and_resume(tmp_path, pes):
    pytest.importorskip("distributed")
    run = ["run", MULTIPMT, "--pes", pes, "--dark-rate", 2e4, "--duration", 1e-3, "--channels", "0-7", "--seed", 5,
           "--block-channels", 3]
    result = velmora(*run, "--cluster", "local", "--workers", 2, "-o", tmp_path / "run42")
    assert result.exit_code == 0, result.output
    assert sorted(p.name for p in (tmp_path / "run42").iterdir()) == [
        "_manifest.parquet", "part-0000000000.parquet", "part-0000000003.parquet", "part-0000000006.parquet"]
    local = vb.run(vb.Detector.from_config(MULTIPMT), vb.read_pes(pes), seed=5, dark_rate=2e4, duration=1e-3,
                   channels=range(8))
    assert vb.read_records(tmp_path / "run42").tobytes() == local.tobytes()
    # Resuming a finished run redoes nothing; resuming with another seed, or
    # writing into the dataset afresh, is refused.
    assert velmora(*run, "--resume", "-o", tmp_path / "run42").exit_code == 0
    assert vb.read_records(tmp_path / "run42").tobytes() == local.tobytes()
    result = velmora(*run[:-4], "--seed", 6, "--block-channels", 3, "--resume", "-o", tmp_path / "run42")
    assert result.exit_code == 1 and "cannot resume, the run there differs in seed" in result.output
    result = velmora(*run, "-o", tmp_path / "run42")
    assert result.exit_code == 1 and "already holds a dataset" in result.output


def test_bad_pe_files_are_one_line_errors(tmp_path):
    from test_batch_pes import _bad_pe_files

    for name, message in _bad_pe_files(tmp_path).items():
        result = velmora("run", ZOZUVUZA, "--pes", tmp_path / name, "-o", tmp_path / "r.parquet")
        assert result.exit_code == 1, (name, result.output)
        lines = result.output.strip().splitlines()
        assert len(lines) == 1 and lines[0].startswith(f"Error: {tmp_path / name}: ") and message in lines[0], \
            (name, result.output)
        assert "Aborted" not in result.output


@pytest.fixture
def far_pes(tmp_path):
    """Two channels: a flash near 0, and a PE far out (or far before 0)."""
    def make(far):
        path = tmp_path / f"far{len(list(tmp_path.iterdir()))}.npz"
        np.savez(path, channel=np.array([0] * 20 + [1]), time=np.array([1e-6] * 20 + [far]))
        return path
    return make


@pytest.mark.parametrize("config, far, options, message", [
    (ZOZUVUZA, 1e12, ["--segment", "1"], "beyond the 4294967296 s that the 32-bit seconds counter"),
    (ZOZUVUZA, -1e12, ["--segment", "1"], "times before 0 are simulated in the first segment"),
    (MULTIPMT, -1e12, ["--segment", "1"], "times before 0 are simulated in the first segment"),
    (MULTIPMT, 1e300, ["--segment", "1"], "2^53 segments"),
    (ZOZUVUZA, 2e-6, ["--segment", "1e300"], "--segment 1e+300 s is longer than"),
    (MULTIPMT, 2e-6, ["--segment", "1e300"], "--segment 1e+300 s is longer than"),
    (ZOZUVUZA, 2e-6, ["--segment", "10.000000002"], "--segment must be a whole number of ADC steps"),
    (MULTIPMT, 2e-6, ["--segment", "nan"], "--segment must be finite and positive"),
    (ZOZUVUZA, 2e-6, ["--dark-rate", "1e300", "--duration", "1"], "--dark-rate 1e+300 Hz"),
    (ZOZUVUZA, 2e-6, ["--dark-rate", "1", "--duration", "-1"], "--duration must be"),
    (ZOZUVUZA, 2e-6, ["--seeding", "sequential", "--seed", str(2**32)], "--seed must fit a 32-bit"),
    (MULTIPMT, 2e-6, ["--set", "sample_delay=1e308"], "'sample_delay' must lie within"),
], ids=["zozuvuza far", "zozuvuza far negative", "multipmt far negative", "multipmt too many segments",
        "zozuvuza huge segment", "multipmt huge segment", "segment off the tick grid", "segment nan",
        "huge dark rate", "negative duration", "sequential seed", "huge sample delay"])
@pytest.mark.filterwarnings("ignore::velmora_batch.ImplausibleValueWarning")
@pytest.mark.parametrize("dry_run", [[], ["--dry-run"]], ids=["run", "dry run"])
def test_limits_are_one_line_errors_before_the_first_block(tmp_path, far_pes, config, far, options, message, dry_run):
    """Nothing is written: each fault is found before the first block runs,
    and named in the command line's terms; a dry run refuses it alike."""
    output = tmp_path / "out"
    result = velmora("run", config, "--pes", far_pes(far), "--block-channels", 1, "-o", f"{output}/", *options,
                     *dry_run)
    assert result.exit_code == 1, result.output
    lines = result.output.strip().splitlines()
    assert len(lines) == 1 and message in lines[0], result.output
    assert "segment=" not in lines[0] and "dark_rate" not in lines[0]
    assert not output.exists() or not any(output.glob("part-*"))


def _existing_file(tmp_path, pes):
    path = tmp_path / "r.parquet"
    path.write_bytes(b"earlier results")
    return path


def _existing_dataset(tmp_path, pes):
    out = tmp_path / "d"
    assert velmora("run", ZOZUVUZA, "--pes", pes, "-o", f"{out}/").exit_code == 0
    return f"{out}/"


def _links_name_taken(tmp_path, pes):
    (tmp_path / "r.parquet.links.parquet").write_bytes(b"not links")
    return tmp_path / "r.parquet"


def _existing_file_foreign_links(tmp_path, pes):
    return _existing_file(tmp_path, pes) and _links_name_taken(tmp_path, pes)


@pytest.mark.parametrize("output, options, message", [
    (_existing_file, [], "exists; overwrite it (--overwrite"),
    (_links_name_taken, ["--truth", "links"], "r.parquet.links.parquet: exists; overwrite it"),
    (_existing_file_foreign_links, ["--truth", "links", "--overwrite"], "is not the links of r.parquet"),
    (lambda tmp_path, pes: tmp_path / "none" / "r.parquet", [], "none does not exist"),
    (_existing_dataset, ["--resume", "--seed", "99"], "cannot resume, the run there differs in seed"),
    (_existing_dataset, [], "already holds a dataset"),
    (lambda tmp_path, pes: tmp_path / "r.parquet", ["--order", "time", "--truth", "links"],
     "cannot go with"),
    (lambda tmp_path, pes: f"{tmp_path / 'd'}/", ["--seeding", "sequential"], "sequential seeding"),
    (lambda tmp_path, pes: tmp_path / "r.parquet", ["--resume"], "resume needs a dataset directory"),
    (lambda tmp_path, pes: tmp_path / "r.parquet", ["--max-memory", "1M"], "at its peak"),
], ids=["existing file", "links file name taken", "foreign links file", "no directory", "resume another run",
        "existing dataset", "time order with links", "sequential dataset", "resume a file",
        "memory bound"])
@pytest.mark.parametrize("dry_run", [[], ["--dry-run"]], ids=["run", "dry run"])
def test_the_dry_run_refuses_the_output_and_options_the_run_refuses(tmp_path, pes, output, options, message,
                                                                     dry_run):
    target = output(tmp_path, pes)
    before = sorted(p.name for p in tmp_path.rglob("*"))
    result = velmora("run", ZOZUVUZA, "--pes", pes, "-o", target, *options, *dry_run)
    assert result.exit_code == 1, result.output
    lines = result.output.strip().splitlines()
    assert len(lines) == 1 and message in lines[0], result.output
    assert sorted(p.name for p in tmp_path.rglob("*")) == before  # nothing written, nothing removed


@pytest.mark.parametrize("segment", ["1e-6", "1e-3", "4e-9"])
def test_segments_of_whole_ticks_are_accepted(tmp_path, pes, segment):
    result = velmora("run", ZOZUVUZA, "--pes", pes, "--segment", segment, "-o", tmp_path / "r.parquet")
    assert result.exit_code == 0, result.output


@pytest.mark.filterwarnings("always::UserWarning")
def test_overrides_for_channels_outside_the_run_warn(tmp_path, pes):
    overrides = tmp_path / "o.csv"
    overrides.write_text("channel,gain\n4,31.0\n900,31.0\n901,31.0\n")
    config = {**json.loads(ZOZUVUZA.read_text()), "overrides": str(overrides)}
    for key in ("time_spectrum", "amplitude_spectrum", "pulse_shape"):
        config[key] = str(EXAMPLES / "zozuvuza" / config[key])
    (tmp_path / "c.json").write_text(json.dumps(config))
    result = CliRunner().invoke(main, ["run", str(tmp_path / "c.json"), "--pes", str(pes), "-o",
                                       str(tmp_path / "r.parquet")])
    assert result.exit_code == 0, result.output
    assert "Warning: the detector has overrides for 2 channels outside this run (900, 901)" in result.output


def test_resume_without_a_seed_takes_the_stored_one_over_the_configs(tmp_path, pes):
    output = f"{tmp_path / 'ds'}/"
    first = velmora("run", ZOZUVUZA, "--pes", pes, "--seed", 5, "--block-channels", 1, "-o", output)
    assert first.exit_code == 0, first.output
    before = vb.read_records(output)
    assert json.loads(ZOZUVUZA.read_text())["seed"] != 5
    (tmp_path / "ds" / "part-0000000004.parquet").unlink()  # a block to run again
    resumed = velmora("run", ZOZUVUZA, "--pes", pes, "--resume", "--block-channels", 1, "-o", output)
    assert resumed.exit_code == 0, resumed.output
    assert vb.read_metadata(output)["seed"] == 5
    assert vb.read_records(output).tobytes() == before.tobytes()


@pytest.mark.parametrize("seed", ["\u0661\u0662", "\uff11\uff12", "1_000", "0x10", "12.0", ""],
                         ids=["arabic-indic", "fullwidth", "separator", "hex", "fraction", "empty"])
def test_seed_takes_ascii_digits_only(tmp_path, seed):
    output = tmp_path / "out.parquet"
    result = velmora("run", ZOZUVUZA, "--dark-rate", 1e3, "--duration", 1e-3, "--channels", "0-1", "--seed", seed,
                     "-o", output)
    assert result.exit_code == 2 and "--seed" in result.output and "ASCII digits" in result.output
    assert "Traceback" not in result.output and not output.exists()


@pytest.mark.parametrize("seed, value", [("+7", 7), (" 7 ", 7), ("-0", 0), (str(2**40 + 5), 2**40 + 5)],
                         ids=["plus", "blanks", "minus-zero", "beyond-32-bit"])
def test_seed_in_ascii_digits_is_taken(tmp_path, seed, value):
    output = tmp_path / "out.parquet"
    result = velmora("run", ZOZUVUZA, "--dark-rate", 1e3, "--duration", 1e-3, "--channels", "0-1", "--seed", seed,
                     "-o", output)
    assert result.exit_code == 0, result.output
    assert vb.read_metadata(output)["seed"] == value


@pytest.mark.parametrize("option, value", [
    ("--dark-rate", "\u0661e3"), ("--dark-rate", "1_000"), ("--duration", "\uff11e-3"), ("--duration", "0.00_1"),
    ("--segment", "\u0664e-4"), ("--workers", "\u0662"), ("--workers", "1_0"), ("--block-channels", "\u0663"),
], ids=["rate-arabic-indic", "rate-separator", "duration-fullwidth", "duration-separator", "segment-arabic-indic",
        "workers-arabic-indic", "workers-separator", "block-channels-arabic-indic"])
def test_numeric_options_take_ascii_digits_only(tmp_path, option, value):
    options = {"--dark-rate": "1e3", "--duration": "1e-3", "--channels": "0-1", "--seed": "3", option: value}
    output = tmp_path / "out.parquet"
    result = velmora("run", ZOZUVUZA, *[x for kv in options.items() for x in kv], "-o", output)
    assert result.exit_code == 2 and option in result.output and "ASCII digits" in result.output
    assert "Traceback" not in result.output and not output.exists()


@pytest.mark.parametrize("option, value", [("--dark-rate", " +1E3 "), ("--duration", ".001"), ("--segment", "4e-4"),
                                           ("--workers", " 2"), ("--block-channels", "+1")],
                         ids=["rate-sign-exponent", "duration-leading-point", "segment", "workers-blank", "blocks-plus"])
def test_numeric_options_in_ascii_are_taken(tmp_path, option, value):
    options = {"--dark-rate": "1e3", "--duration": "1e-3", "--channels": "0-1", "--seed": "3", option: value}
    result = velmora("run", ZOZUVUZA, *[x for kv in options.items() for x in kv], "-o", tmp_path / "out.parquet")
    assert result.exit_code == 0, result.output


@pytest.mark.parametrize("option, value, message", [("--dark-rate", "nan", "--dark-rate must be a finite"),
                                                    ("--duration", "inf", "duration must be a finite"),
                                                    ("--segment", "-inf", "segment must be finite")],
                         ids=["rate-nan", "duration-inf", "segment-minus-inf"])
def test_non_finite_numbers_reach_the_runs_own_checks(tmp_path, option, value, message):
    options = {"--dark-rate": "1e3", "--duration": "1e-3", "--channels": "0-1", "--seed": "3", option: value}
    result = velmora("run", ZOZUVUZA, *[x for kv in options.items() for x in kv], "-o", tmp_path / "out.parquet")
    assert result.exit_code == 1 and message in result.output, result.output


@pytest.mark.parametrize("content, message", [
    (b'{"model": "Zozuv\xe9Uza"}', "not UTF-8 text (byte 0xe9 at offset 16)"),
    (b"\xff\xfe{\x00}\x00", "not UTF-8 text (byte 0xff at offset 0)"),
    (b"[" * 100000 + b"]" * 100000, "not valid JSON: nested too deeply"),
    (b'{"model": ', "not valid JSON: Expecting value"),
], ids=["latin-1", "utf-16", "deeply-nested", "cut-short"])
@pytest.mark.parametrize("settings", [[], ["--set", "gain=3"]], ids=["plain", "with-set"])
def test_a_config_that_is_not_json_text_is_named(tmp_path, content, message, settings):
    config = tmp_path / "config.json"
    config.write_bytes(content)
    result = velmora("run", config, *settings, "--dark-rate", 1, "--duration", 1, "--channels", "0",
                     "-o", tmp_path / "o.parquet")
    assert result.exit_code == 1 and result.output.startswith(f"Error: {config}: {message}"), result.output
    assert len(result.output.strip().splitlines()) == 1 and "Traceback" not in result.output


@pytest.mark.filterwarnings("always::UserWarning")
def test_early_windows_are_one_warning_line_per_channel(tmp_path, capfd):
    path = tmp_path / "early.npz"
    np.savez(path, channel=np.repeat([5, 9], 40), time=np.r_[np.full(20, -2e-6), np.full(20, -1e-6), np.full(40, 2e-6)])
    config = json.loads(ZOZUVUZA.read_text())
    for key in ("time_spectrum", "amplitude_spectrum", "pulse_shape"):
        config[key] = str(EXAMPLES / "zozuvuza" / config[key])
    (tmp_path / "c.json").write_text(json.dumps({**config, "early_handling": "WARN"}))
    result = velmora("run", tmp_path / "c.json", "--pes", path, "-o", tmp_path / "r.parquet")
    assert result.exit_code == 0, result.output
    lines = [line for line in result.output.splitlines() if "Warning" in line]
    assert len(lines) == 1 and lines[0].startswith("Warning: channel 5: 2 readout windows dropped"), result.output
    assert "early trigger" not in capfd.readouterr().err
