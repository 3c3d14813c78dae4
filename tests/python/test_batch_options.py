"""A run's options as one value: checked once when made, and errors that name
an option as data, spelled as Python's keyword by run() and as the option by
the command line."""

import pickle
from pathlib import Path

import numpy as np
import pytest
import velmora_batch as vb
from click.testing import CliRunner
from velmora_batch._errors import OptionError, OptionMemoryError
from velmora_batch._options import RunOptions
from velmora_batch.cli import main, option_message

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
ZOZUVUZA = EXAMPLES / "zozuvuza" / "config.json"


def velmora(*args):
    return CliRunner().invoke(main, [str(a) for a in args])


@pytest.mark.parametrize("options, option, python, command_line", [
    (dict(resume=True, overwrite=True), "resume", "resume continues the run in the output, overwrite replaces it",
     "--resume continues the run in the output, --overwrite replaces it: give one of them, not both"),
    (dict(max_memory="lots"), "max_memory", "max_memory must be a number of bytes",
     "--max-memory must be a number of bytes (e.g. 8G), 'auto' or 'none', got 'lots'"),
    (dict(max_memory=0), "max_memory", "max_memory must be a number of bytes", "--max-memory must be"),
    (dict(workers=0), "workers", "workers must be a whole number of at least 1, got 0", "--workers must be"),
    (dict(block_channels=True), "block_channels", "block_channels must be a whole number of at least 1, got True",
     "--block-channels must be"),
    (dict(block_channels=2.0), "block_channels", "block_channels must be a whole number", "--block-channels must"),
], ids=["resume and overwrite", "memory text", "memory zero", "no workers", "bool blocks", "float blocks"])
def test_options_are_checked_when_made(options, option, python, command_line):
    with pytest.raises(OptionError) as caught:
        RunOptions(**options)
    assert caught.value.option == option
    assert str(caught.value).startswith(python)
    assert option_message(caught.value).startswith(command_line)


@pytest.mark.parametrize("options", [dict(order="random"), dict(truth="all")], ids=["order", "truth"])
def test_options_of_a_fixed_set_are_checked_when_made(options):
    with pytest.raises(ValueError, match=f"{next(iter(options))} must be"):
        RunOptions(**options)


@pytest.mark.parametrize("given, bound", [("8G", 8 * 2**30), ("none", None), (None, None), ("auto", "auto"),
                                          (4096, 4096)])
def test_the_memory_bound_is_read_once(given, bound):
    options = RunOptions(max_memory=given)
    assert options.max_memory == bound
    assert RunOptions(max_memory=options.max_memory).max_memory == bound  # reading it again changes nothing


@pytest.mark.parametrize("truth, label, mode", [(False, None, None), (True, None, "columns"),
                                                ("links", None, "links"), (False, "event_id", "columns"),
                                                ("links", "event_id", "links")])
def test_a_label_brings_the_truth_columns(truth, label, mode):
    assert RunOptions(truth=truth, label=label).truth_mode == mode


@pytest.mark.parametrize("options, option, python, command_line", [
    (dict(dark_rate=1e3, duration=1e-3, channels="0-1", segment=float("nan")), "segment",
     "segment must be finite and positive", "--segment must be finite and positive"),
    (dict(dark_rate=1e3, duration=1e-3, channels="0-1", seed=-1), "seed",
     "seed must not be negative with independent seeding", "--seed must not be negative"),
    (dict(dark_rate=1e3, duration=1e-3, channels="4-2"), "channels",
     "channels '4-2': the range 4-2 ends before it starts", "--channels '4-2': the range 4-2 ends before it starts"),
    (dict(dark_rate=-1.0, duration=1e-3, channels="0-1"), "dark_rate",
     "the dark rate must be a finite number not below zero", "--dark-rate must be a finite number not below zero"),
    (dict(dark_rate=1e3, duration=0.0, channels="0-1"), "duration",
     "the duration must be a finite number greater than zero", "--duration must be a finite number"),
    (dict(pes=vb.PETable(channel=[0], time=[1e-6]), label=""), "label",
     "label= must name a column of the PE table, got ''", "--label must name a column of the PE table, got ''"),
    (dict(dark_rate=1e3, duration=1e-3, channels="0-1", label="event_id"), "label",
     "label='event_id': a label is the value of a column", "--label 'event_id': a label is the value of a column"),
    (dict(dark_rate=1e3, duration=1e-3, channels="0-1", seeding="sequential", seed=2**31), "seed",
     "seed must fit a 32-bit signed integer", "--seed must fit a 32-bit signed integer"),
], ids=["segment", "seed", "channels", "dark rate", "duration", "empty label", "label without PEs", "sequential seed"])
def test_errors_of_a_run_name_the_option_for_each_front_end(make_detector, options, option, python, command_line):
    options = dict(options)
    with pytest.raises(OptionError) as caught:
        vb.run(make_detector("ZozuvUza", seed=1), options.pop("pes", None), **options)
    assert caught.value.option == option
    assert str(caught.value).startswith(python), str(caught.value)
    assert option_message(caught.value).startswith(command_line), option_message(caught.value)


def test_the_memory_error_names_the_bound_for_each_front_end(make_detector):
    with pytest.raises(OptionMemoryError) as caught:
        vb.run(make_detector("ZozuvUza", seed=1), dark_rate=1e3, duration=1e-3, channels="0-1", max_memory=1)
    assert isinstance(caught.value, MemoryError) and not isinstance(caught.value, ValueError)
    assert "more than max_memory (" in str(caught.value) and "(max_memory=None)" in str(caught.value)
    shown = option_message(caught.value)
    assert "more than --max-memory (" in shown and "workers or --block-channels" in shown
    assert shown.endswith("(--max-memory none)") and "max_memory" not in shown


@pytest.mark.parametrize("channels", ["{segment}", "{0}", "0-{", "{value!r}"])
def test_values_in_a_message_are_shown_as_given(make_detector, channels):
    """A value that looks like a field of the message is text, never filled in."""
    with pytest.raises(OptionError) as caught:
        vb.run(make_detector("ZozuvUza", seed=1), dark_rate=1e3, duration=1e-3, channels=channels)
    for shown in (str(caught.value), option_message(caught.value)):
        assert repr(channels) in shown and "--segment" not in shown.replace("--channels", "")


@pytest.mark.parametrize("error", [
    OptionError("channels", "{channels} {text!r}: the range {item} ends before it starts", text="4-2", item="4-2"),
    OptionMemoryError("max_memory", "more than {max_memory}: allow it ({max_memory.none})"),
], ids=["value error", "memory error"])
def test_an_option_error_keeps_its_option_through_pickling(error):
    """As an error raised where a block runs comes back from another process."""
    back = pickle.loads(pickle.dumps(error))
    assert type(back) is type(error) and back.option == error.option
    assert str(back) == str(error) and option_message(back) == option_message(error)


@pytest.mark.parametrize("name", ["max_memory.npz", "block_channels.npz", "pes_key.npz", "segment=1.npz"])
def test_the_command_line_names_a_file_as_it_is_named(tmp_path, name):
    """A file whose name reads like a keyword of run() keeps its name in the
    command line's message."""
    path = tmp_path / name
    np.savez(path, channel=[1], times=[0.0])
    result = velmora("run", ZOZUVUZA, "--pes", path, "-o", tmp_path / "o.parquet")
    assert result.exit_code == 1 and str(path) in result.output and "no array 'time'" in result.output


def test_the_command_line_keeps_the_units_of_a_message(tmp_path):
    """Only the options a message names are spelled as options: its prose stays."""
    result = velmora("run", ZOZUVUZA, "--dark-rate", "1e300", "--duration", "1", "--channels", "0", "-o",
                     tmp_path / "o.parquet")
    assert result.exit_code == 1
    assert result.output.startswith("Error: --dark-rate 1e+300 Hz over a duration of 1.0 s gives")
    assert result.output.rstrip().endswith("the rate is in Hz (PEs per second), the duration in seconds")


def test_calibrate_names_its_options_as_the_command_line_does():
    result = velmora("calibrate", ZOZUVUZA, "--npe", "1,2000000000")
    assert result.exit_code == 1, result.output
    assert result.output.startswith("Error: --npe must lie in [1, 1000000000], got 2000000000")
