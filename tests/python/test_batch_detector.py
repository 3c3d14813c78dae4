"""Detector descriptions: loading the example configs, the ties to the velmora
models they describe, pickling, validation of configs and override tables."""

import json
import pickle
import shutil
import warnings
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import velmora
from velmora_batch import Detector, ImplausibleValueWarning, _core
from velmora_batch._detector import read_points
from velmora_batch._models import MAX_WAVEFORM_SAMPLES
from velmora_batch._records import record_dtype
from velmora_batch.cli import apply_settings

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
FLASH = np.concatenate([np.full(40, 2e-6), np.linspace(1e-6, 9e-6, 30)])


def copy_example(tmp_path, name):
    """A copy of an example detector directory and its config as a dict."""
    directory = tmp_path / name
    shutil.copytree(EXAMPLES / name, directory)
    return directory, json.loads((directory / "config.json").read_text())


@pytest.fixture(params=["zozuvuza", "multipmt"])
def example(request, tmp_path):
    return copy_example(tmp_path, request.param)


def write_config(directory, config):
    path = directory / "config.json"
    path.write_text(json.dumps(config))
    return path


def velmora_model(directory, config, seed):
    """The model that velmora itself builds from a config directory."""
    kwargs = {k: v for k, v in config.items() if k not in ("model", "seed")}
    for key, value in kwargs.items():
        if isinstance(value, str) and value.endswith(".txt"):
            kwargs[key] = directory / value
    if "early_handling" in kwargs:
        kwargs["early_handling"] = getattr(velmora.EarlyHandling, kwargs["early_handling"])
    return getattr(velmora, config["model"])(**kwargs, seed=seed)


def fields(records):
    """Every field of every record, for exact comparison."""
    out = []
    for r in records:
        if hasattr(r, "waveform"):
            out.append((r.channel, r.trigger_time_s, r.trigger_time_ticks, r.baseline, r.intsum, list(r.waveform)))
        else:
            out.append((r.time, r.channel, r.time_over_threshold, r.adc_sample))
    return out


def test_example_loads_with_file_contents_and_builds_the_same_model(example):
    directory, config = example
    det = Detector.from_config(directory / "config.json")
    assert det.model == config["model"] and det.seed == config["seed"] and det.overrides == {}
    for key, value in det.params.items():
        assert value == config.get(key, "WARN"), key
    for key, (x, y) in det.spectra.items():
        expected = np.loadtxt(directory / config[key])
        np.testing.assert_array_equal(x, expected[:, 0])
        np.testing.assert_array_equal(y, expected[:, 1])
    # The model rebuilt from the held contents draws and records exactly like
    # velmora's own model read from the files.
    mine, theirs = det.build_model(11), velmora_model(directory, config, 11)
    assert fields(mine.simulate(FLASH, 5)) == fields(theirs.simulate(FLASH, 5))
    assert len(fields(mine.simulate(FLASH, 5))) > 0


def test_detector_is_self_contained_after_pickling_and_json(example):
    directory, _ = example
    det = Detector.from_config(write_config(directory, {**json.loads((directory / "config.json").read_text())}))
    copy = pickle.loads(pickle.dumps(det))
    through_json = Detector.from_dict(json.loads(json.dumps(det.config())))
    shutil.rmtree(directory)  # nothing may refer to the files any more
    assert copy == det and through_json == det
    assert fields(copy.build_model(3).simulate(FLASH, 1)) == fields(det.build_model(3).simulate(FLASH, 1))


def zozuvuza_only(config, key, value):
    return {**config, key: value}


# (change to the config, expected exception, part of its message)
BAD_CONFIGS = {
    "unknown key with a hint": (lambda c: {**c, "pmt_time_stepp": 1e-10}, ValueError,
                                "unknown key 'pmt_time_stepp' (did you mean 'pmt_time_step'?)"),
    "missing key": (lambda c: {k: v for k, v in c.items() if k != "adc_step"}, ValueError, "missing key 'adc_step'"),
    "no model": (lambda c: {k: v for k, v in c.items() if k != "model"}, ValueError, "'model' must be one of"),
    "unknown model": (lambda c: {**c, "model": "Zozuvuza"}, ValueError, "got 'Zozuvuza'"),
    "model not a name": (lambda c: {**c, "model": ["ZozuvUza"]}, ValueError, "'model' must be one of"),
    "text for a number": (lambda c: {**c, "adc_step": "4e-9"}, ValueError, "'adc_step' must be a finite number"),
    "bool for a number": (lambda c: {**c, "adc_step": True}, ValueError, "'adc_step' must be a finite number"),
    "fraction for an integer": (lambda c: {**c, "pmt_time_step": 1e-10, **({"jitter": 1.5} if "jitter" in c else
                                                                          {"adc_jitter": 1.5})},
                                ValueError, "must be an integer in the 32-bit range, got 1.5"),
    "integer beyond 32 bits": (lambda c: {**c, **({"jitter": 2**31} if "jitter" in c else {"adc_jitter": 2**31})},
                               ValueError, "32-bit range"),
    "seed of the wrong type": (lambda c: {**c, "seed": "7"}, ValueError, "'seed' must be an integer or null"),
    "bad kernel": (lambda c: zozuvuza_only(c, "trigger_kernel", [1, "1"]), ValueError,
                   "'trigger_kernel' must be a list of integers"),
    "bad early handling": (lambda c: zozuvuza_only(c, "early_handling", "warn"), ValueError,
                           "'early_handling' must be one of IGNORE, ZERO, WARN, THROW"),
    "empty waveform": (lambda c: zozuvuza_only(c, "waveform_samples", 0), ValueError,
                       "'waveform_samples' must be at least 1"),
    "missing file": (lambda c: {**c, "time_spectrum": "nope.txt"}, ValueError,
                     "'time_spectrum': cannot read"),
    "model refuses a value": (lambda c: {**c, "adc_step": -4e-9}, ValueError, "adc_step"),
    "model refuses a clip": (lambda c: zozuvuza_only(c, "clip", 70000.0), ValueError, "clip must lie in [0, 65535]"),
    "short inline spectrum": (lambda c: {**c, "time_spectrum": {"x": [0.0], "y": [1.0]}}, ValueError,
                              "'time_spectrum' must hold two equally long lists"),
}


@pytest.mark.parametrize("name, case", [(n, c) for c in BAD_CONFIGS for n in ("zozuvuza", "multipmt")
                                         if "zozuvuza_only" not in BAD_CONFIGS[c][0].__code__.co_names or
                                         n == "zozuvuza"])
def test_bad_config_names_the_key_and_the_fault(tmp_path, name, case):
    directory, config = copy_example(tmp_path, name)
    change, error, message = BAD_CONFIGS[case]
    changed = change(config)
    with pytest.raises(error) as info:
        Detector.from_config(write_config(directory, changed))
    assert message in str(info.value)
    assert str(info.value).startswith(f"{directory / 'config.json'}: ")


def test_config_that_is_not_an_object_or_not_json(tmp_path):
    (tmp_path / "a.json").write_text("[1, 2]")
    (tmp_path / "b.json").write_text("{")
    with pytest.raises(ValueError, match="must be a JSON object"):
        Detector.from_config(tmp_path / "a.json")
    with pytest.raises(ValueError, match="not valid JSON"):
        Detector.from_config(tmp_path / "b.json")


def override_columns(model):
    if model == "ZozuvUza":
        return {"channel": [4, 1], "gain": [35.0, 25.5], "adc_threshold": [60, 50]}
    return {"channel": [4, 1], "adc_gain": [35.0, 25.5], "tot_threshold": [0.4, 0.25]}


@pytest.mark.parametrize("form", ["csv", "parquet", "config csv", "mapping", "structured"])
def test_overrides_apply_per_channel(example, form):
    directory, config = example
    columns = override_columns(config["model"])
    names = list(columns)
    table = pa.table(columns)
    if form in ("csv", "config csv"):
        (directory / "gains.csv").write_text(
            ",".join(names) + "\n" + "".join(",".join(str(columns[n][i]) for n in names) + "\n" for i in range(2)))
    elif form == "parquet":
        pq.write_table(table, directory / "gains.parquet")
    if form == "config csv":
        det = Detector.from_config(write_config(directory, {**config, "overrides": "gains.csv"}))
    else:
        source = {"csv": directory / "gains.csv", "parquet": directory / "gains.parquet", "mapping": columns,
                  "structured": table.to_pandas().to_records(index=False)}[form]
        det = Detector.from_config(directory / "config.json", overrides=source)
    key = names[1]
    assert det.params_for(4)[key] == 35.0 and det.params_for(1)[key] == 25.5
    assert det.params_for(2) == det.params and det.params_for(4)[names[2]] == columns[names[2]][0]
    assert type(det.params_for(1)[names[2]]) is type(det.params[names[2]])
    # The per-channel model is velmora's model built with the overridden values.
    theirs = velmora_model(directory, {**config, key: 25.5, names[2]: columns[names[2]][1]}, 9)
    assert fields(det.build_model(9, channel=1).simulate(FLASH, 1)) == fields(theirs.simulate(FLASH, 1))
    assert Detector.from_dict(det.config()) == det


BAD_OVERRIDES = {
    "no channel column": ({"gain": [1.0]}, "no 'channel' column"),
    "unknown column": ({"channel": [1], "gian": [1.0]}, "unknown column for ZozuvUza 'gian' (did you mean 'gain'?)"),
    "not overridable": ({"channel": [1], "adc_step": [1e-9]}, "unknown column for ZozuvUza 'adc_step'"),
    "column named by a number": ({"channel": [1], 3: [1.0]}, "unknown column for ZozuvUza 3;"),
    "duplicate channel": ({"channel": [3, 1, 3], "gain": [1.0, 2.0, 3.0]}, "channel 3 appears 2 times"),
    "fractional channel": ({"channel": [1.5], "gain": [1.0]}, "column 'channel' must hold integers, got 1.5"),
    "negative channel": ({"channel": [-1], "gain": [1.0]}, "-1 is outside"),
    "text value": ({"channel": [1], "gain": ["high"]}, "column 'gain' must hold numbers"),
    "blank value": ({"channel": [1, 2], "gain": [1.0, np.nan]}, "must hold finite numbers, got nan"),
    "fractional threshold": ({"channel": [1], "adc_threshold": [50.5]}, "'adc_threshold' must hold integers"),
    "uneven columns": ({"channel": [1, 2], "gain": [1.0]}, "has 1 values for 2 channels"),
    "value the model refuses": ({"channel": [1, 7], "noise": [1.0, -2.0]}, "override noise=-2.0 of channel 7"),
}


@pytest.mark.parametrize("case", BAD_OVERRIDES, ids=list(BAD_OVERRIDES))
def test_bad_override_table(case):
    columns, message = BAD_OVERRIDES[case]
    with pytest.raises(ValueError) as info:
        Detector.from_config(EXAMPLES / "zozuvuza" / "config.json", overrides=columns)
    assert message in str(info.value)


def test_override_file_errors_name_the_file(tmp_path):
    (tmp_path / "o.csv").write_text("channel,gain\n1,2.0\n1,3.0\n")
    with pytest.raises(ValueError, match=f"{tmp_path / 'o.csv'}: channel 1 appears 2 times"):
        Detector.from_config(EXAMPLES / "zozuvuza" / "config.json", overrides=tmp_path / "o.csv")
    with pytest.raises(ValueError, match=r"expected a \.csv or \.parquet file"):
        Detector.from_config(EXAMPLES / "zozuvuza" / "config.json", overrides=tmp_path / "o.txt")


@pytest.mark.parametrize("form", ["csv header", "csv channel only", "parquet", "parquet of nulls", "mapping",
                                  "structured"])
def test_an_override_table_of_no_rows_overrides_nothing(tmp_path, form):
    """A CSV file of a header alone is taken as an empty Parquet table is:
    no channel overridden (its columns, typeless, must still be known)."""
    path = {"csv header": tmp_path / "o.csv", "csv channel only": tmp_path / "o.csv"}.get(form, tmp_path / "o.parquet")
    if form == "csv header":
        path.write_text("channel,gain,adc_threshold\n")
    elif form == "csv channel only":
        path.write_text("channel\n")
    elif form == "parquet":
        pq.write_table(pa.table({"channel": pa.array([], pa.int64()), "gain": pa.array([], pa.float64())}), path)
    elif form == "parquet of nulls":
        pq.write_table(pa.table({"channel": pa.array([], pa.null()), "gain": pa.array([], pa.null())}), path)
    source = {"mapping": {"channel": [], "gain": []},
              "structured": np.zeros(0, [("channel", np.int64), ("gain", np.float64)])}.get(form, path)
    config = EXAMPLES / "zozuvuza" / "config.json"
    det = Detector.from_config(config, overrides=source)
    assert det == Detector.from_config(config) and det.params_for(0) == det.params
    if form.startswith("csv"):
        path.write_text("channel,gian\n")
        with pytest.raises(ValueError, match="unknown column for ZozuvUza 'gian'"):
            Detector.from_config(config, overrides=path)


@pytest.mark.parametrize("name, content, message", [
    ("o.csv", b"channel,gain,gain\n1,2,3\n", "the column 'gain' appears 2 times"),
    ("o.csv", b"", "not a readable csv file: Empty CSV file"),
    ("o.csv", b"\x00\x01\x02garbage", "not a readable csv file: CSV parse error"),
    ("o.parquet", b"PAR1xx", "not a readable parquet file"),
    ("d.csv", None, "not a readable csv file"),
    ("missing.csv", "missing", "not a readable csv file"),
], ids=["duplicate-column", "empty", "binary", "short-parquet", "directory", "missing"])
def test_unreadable_override_files_are_errors_naming_the_file(tmp_path, name, content, message):
    path = tmp_path / name
    if content is None:
        path.mkdir()
    elif content != "missing":
        path.write_bytes(content)
    with pytest.raises(ValueError) as info:
        Detector.from_config(EXAMPLES / "zozuvuza" / "config.json", overrides=path)
    text = str(info.value)
    assert text.startswith(f"{path}: {message}") and "\n" not in text, text


@pytest.mark.parametrize("setting, key, value", [
    ("gain=32", "gain", 32.0),
    ("adc_threshold=60", "adc_threshold", 60),
    ("trigger_kernel=1,2,1", "trigger_kernel", [1, 2, 1]),
    ("trigger_kernel=[2, 2]", "trigger_kernel", [2, 2]),
    ("early_handling=THROW", "early_handling", "THROW"),
    ("seed=5", "seed", 5),
])
def test_settings_take_the_type_of_their_key(setting, key, value):
    config = json.loads((EXAMPLES / "zozuvuza" / "config.json").read_text())
    changed = apply_settings(config, [setting])
    assert changed[key] == value and type(changed[key]) is type(value)
    assert config[key] != value  # the config itself is left alone
    det = Detector.from_dict(changed, base_dir=EXAMPLES / "zozuvuza")
    assert (det.seed if key == "seed" else det.params[key]) == value


@pytest.mark.parametrize("setting, message", [
    ("adc_threshold=1.5", "'adc_threshold' must be an integer"),
    ("gain=inf", "'gain' must be a finite number"),
    ("gian=3", "unknown key 'gian' (did you mean 'gain'?)"),
    ("gain", "expected key=value"),
    ("model=MultiPMT", "cannot be changed"),
])
def test_bad_settings(setting, message):
    config = json.loads((EXAMPLES / "zozuvuza" / "config.json").read_text())
    with pytest.raises(ValueError) as info:
        apply_settings(config, [setting])
    assert message in str(info.value)


@pytest.mark.parametrize("model", ["ZozuvUzaa", None, ["ZozuvUza"]])
def test_a_setting_on_a_config_of_unknown_model_names_the_model(model):
    config = {**json.loads((EXAMPLES / "zozuvuza" / "config.json").read_text()), "model": model}
    with pytest.raises(ValueError, match="'model' must be one of ZozuvUza, MultiPMT, got"):
        apply_settings(config, ["gain=3"])


# (file text, line and word named by the error)
BAD_SPECTRUM_FILES = {
    "comment halfway": ("0 1\n1 2\n# second half\n2 3\n3 4\n", "line 3: '#'"),
    "unpaired last number": ("0 1 1 2 3\n", "line 1: the number '3' has no partner"),
    "unpaired after a blank line": ("0 1\n1 2\n\n5\n\n", "line 4: the number '5' has no partner"),
    "word for a number": ("0 1\n1 inf\n", "line 2: 'inf' is not a number"),
    "decimal comma": ("0 1\n1,5 2\n", "line 2: '1,5' is not a number"),
    "digit separator": ("0 1\n1_000 2\n", "line 2: '1_000' is not a number"),
    "other script's digits": ("0 1\n\u0661 2\n", "line 2: '"),
    "number glued to a word": ("0 1\n1.5abc 2\n", "line 2: '1.5abc' is not a number"),
    "beyond a double": ("0 1\n1e400 2\n", "line 2: '1e400' is too large"),
    "one point": ("0 1\n", "must hold at least two x y points, found 1"),
    "empty": ("", "must hold at least two x y points, found 0"),
}


@pytest.mark.parametrize("case", BAD_SPECTRUM_FILES, ids=list(BAD_SPECTRUM_FILES))
def test_spectrum_files_are_read_whole_or_refused(tmp_path, case):
    """The model's own reader stops at the first word that is not a number and
    drops an unpaired number; the detector never loses points that way."""
    text, message = BAD_SPECTRUM_FILES[case]
    directory, config = copy_example(tmp_path, "zozuvuza")
    (directory / "amplitude_spectrum.txt").write_bytes(text.encode("utf-8"))
    with pytest.raises(ValueError) as info:
        Detector.from_config(directory / "config.json")
    assert f"'amplitude_spectrum': {directory / 'amplitude_spectrum.txt'}" in str(info.value)
    assert message in str(info.value)


def test_spectrum_values_are_those_of_the_models_reader(tmp_path):
    """Every bundled file, and numbers written in every form the reader takes,
    read bit for bit as the models read them."""
    for path in sorted(EXAMPLES.glob("*/*.txt")):
        x, y = read_points(path, "k", "w")
        want_x, want_y = _core.read_spectrum(path)
        assert x.tobytes() == want_x.tobytes() and y.tobytes() == want_y.tobytes(), path
    rng = np.random.default_rng(3)
    words = ["0", "-0", "+1", "1.", ".5", "-.5e-3", "1E+2", "4.9406564584124654e-324", "2.2250738585072011e-308",
             "1.7976931348623157e308", "0.1000000000000000055511151231257827021181583404541015625",
             "123456789012345678901234567890", "7e-400"]
    words += [f"{v:.17g}" for v in rng.normal(0, 1e-9, 200)] + [repr(v) for v in rng.uniform(-1e6, 1e6, 200).tolist()]
    words += [f"{rng.integers(0, 10**6)}.{rng.integers(0, 10**12):012d}e{rng.integers(-320, 300)}" for _ in range(200)]
    words += words[:1] if len(words) % 2 else []
    path = tmp_path / "numbers.txt"
    path.write_text("".join(w + ("\n" if i % 3 == 2 else " \t") for i, w in enumerate(words)))
    x, y = read_points(path, "k", "w")
    want_x, want_y = _core.read_spectrum(path)
    assert len(x) == len(words) // 2
    assert x.tobytes() == want_x.tobytes() and y.tobytes() == want_y.tobytes()


def test_missing_spectrum_file_gives_the_os_reason(tmp_path):
    directory, config = copy_example(tmp_path, "multipmt")
    (directory / "tot_pulse_shape.txt").unlink()
    with pytest.raises(ValueError, match=r"'tot_pulse_shape': cannot read .*tot_pulse_shape\.txt: No such file"):
        Detector.from_config(directory / "config.json")


@pytest.mark.parametrize("name, key, step_key", [("zozuvuza", "pulse_shape", "pmt_time_step"),
                                                 ("multipmt", "adc_pulse_shape", "pmt_time_step"),
                                                 ("multipmt", "tot_pulse_shape", "tot_step")])
def test_pulse_shape_on_another_grid_names_the_file_and_both_steps(tmp_path, name, key, step_key):
    directory, config = copy_example(tmp_path, name)
    step = config[step_key]
    write_config(directory, {**config, step_key: step * 2})
    with pytest.raises(ValueError) as info:
        Detector.from_config(directory / "config.json")
    text = str(info.value)
    assert f"{key!r} ({directory / config[key]})" in text
    assert f"apart, but {step_key!r} is {step * 2!r} s" in text and "iostream" not in text
    spacing = float(text.split(" s apart")[0].rsplit(" ", 1)[1])
    assert spacing == pytest.approx(step)


# Values the model takes at construction but that a simulation could not place on its grid.
LOAD_TIME_LIMITS = {
    "huge sample delay": ("multipmt", "sample_delay", 1e308, "'sample_delay' must lie within"),
    "huge negative sample delay": ("multipmt", "sample_delay", -1e308, "'sample_delay' must lie within"),
    "huge ToT jitter": ("multipmt", "tot_jitter", 1e308, "'tot_jitter' must lie within"),
    "waveform near 2^31": ("zozuvuza", "waveform_samples", 2**31 - 1, "'waveform_samples' must be at most"),
    "waveform of 2^30": ("zozuvuza", "waveform_samples", 2**30, "'waveform_samples' must be at most"),
    # The run's bound on a record's waveform, already when the config loads.
    "waveform just past the run's bound": ("zozuvuza", "waveform_samples", MAX_WAVEFORM_SAMPLES + 1,
                                           "'waveform_samples' must be at most 65536 ADC samples, got 65537"),
    "empty trigger kernel": ("zozuvuza", "trigger_kernel", [], "'trigger_kernel' must hold at least one"),
}


@pytest.mark.parametrize("case", LOAD_TIME_LIMITS, ids=list(LOAD_TIME_LIMITS))
def test_values_that_would_fail_in_a_run_fail_at_load(tmp_path, case):
    name, key, value, message = LOAD_TIME_LIMITS[case]
    directory, config = copy_example(tmp_path, name)
    with pytest.raises(ValueError, match=message), warnings.catch_warnings():
        warnings.simplefilter("ignore", ImplausibleValueWarning)
        Detector.from_config(write_config(directory, {**config, key: value}))


def test_the_largest_waveform_allowed_has_a_record_type():
    assert record_dtype("ZozuvUza", MAX_WAVEFORM_SAMPLES).itemsize > 2 * MAX_WAVEFORM_SAMPLES
    with pytest.raises(ValueError):
        record_dtype("ZozuvUza", 2**30)


@pytest.mark.parametrize("name, key, value, unit", [
    ("multipmt", "sample_delay", 14, "times are in seconds"),
    ("multipmt", "tot_dead_time", 5, "times are in seconds"),
    ("multipmt", "tot_step", 0.5, "steps are in seconds"),
    ("zozuvuza", "adc_step", 4.0, "steps are in seconds"),
])
def test_values_implausible_for_their_unit_warn(tmp_path, name, key, value, unit):
    directory, config = copy_example(tmp_path, name)
    with pytest.warns(ImplausibleValueWarning) as record:
        try:
            Detector.from_config(write_config(directory, {**config, key: value}))
        except ValueError:
            pass  # what the model makes of the value may follow
    assert any(f"{key!r} is {float(value)!r} s" in str(w.message) and unit in str(w.message) for w in record)


def test_pmt_step_in_nanoseconds_warns_before_the_grid_error(tmp_path):
    directory, config = copy_example(tmp_path, "zozuvuza")
    with pytest.warns(ImplausibleValueWarning, match="'pmt_time_step' is 0.1 s"), \
            pytest.raises(ValueError, match="'pmt_time_step' is 0.1 s"):
        Detector.from_config(write_config(directory, {**config, "pmt_time_step": 0.1}))


def test_plausible_examples_load_without_warnings(example):
    directory, _ = example
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        Detector.from_config(directory / "config.json")


@pytest.mark.parametrize("setting, message", [
    ("seed=abc", "'seed' must be a whole number (with independent seeding not negative"),
    ("gain=\u0661\u0662", "'gain' must be a finite number"),
    ("gain=1_0", "'gain' must be a finite number"),
    ("gain=nan", "'gain' must be a finite number"),
    ("adc_threshold=\u0664\u0660", "'adc_threshold' must be an integer"),
    ("seed=\u0667", "'seed' must be a whole number"),
    ("trigger_kernel=1,\u0661", "'trigger_kernel' must be a list of integers"),
])
def test_settings_take_plain_ascii_numbers(setting, message):
    config = json.loads((EXAMPLES / "zozuvuza" / "config.json").read_text())
    with pytest.raises(ValueError) as info:
        apply_settings(config, [setting])
    assert message in str(info.value)


# Spectra that the strict reader takes but that the model refuses, as text of x y pairs.
REFUSED_SPECTRA = {
    "x not rising": "0 1\n2e-9 1\n1e-9 1\n",
    "negative weight": "0 1\n1e-9 -1\n2e-9 1\n",
    "no area": "0 0\n1e-9 0\n",
}


@pytest.mark.parametrize("case", REFUSED_SPECTRA, ids=list(REFUSED_SPECTRA))
@pytest.mark.parametrize("name", ["zozuvuza", "multipmt"])
def test_a_spectrum_the_model_refuses_fails_at_load_naming_its_source(tmp_path, monkeypatch, name, case):
    directory, config = copy_example(tmp_path, name)
    (directory / "bad.txt").write_text(REFUSED_SPECTRA[case])
    config_file = write_config(directory, {**config, "time_spectrum": "bad.txt"})
    # The message is the one velmora's own model gives for the same file, after the config's name.
    with pytest.raises(ValueError) as theirs:
        velmora_model(directory, {**config, "time_spectrum": "bad.txt"}, 1)
    # Checking a config builds the run's engine from the points in memory: no file is written for it.
    monkeypatch.setattr("tempfile.TemporaryDirectory", None)
    with pytest.raises(ValueError) as mine:
        Detector.from_config(config_file)
    assert str(mine.value) == f"{config_file}: {theirs.value}"
    x, y = np.loadtxt(directory / "bad.txt", ndmin=2).T
    with pytest.raises(ValueError) as inline:
        Detector.from_dict({**config, "time_spectrum": {"x": x.tolist(), "y": y.tolist()}}, base_dir=directory)
    assert str(inline.value).startswith("config: Spectrum file 'time_spectrum' (inline points): ")
    assert str(inline.value).endswith(str(theirs.value).split(": ", 1)[1])
