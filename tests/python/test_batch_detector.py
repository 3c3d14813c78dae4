"""Detector descriptions: loading the example configs, the ties to the velmora
models they describe, pickling, validation of configs and override tables."""

import json
import pickle
import shutil
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import velmora
from velmora_batch import Detector
from velmora_batch._detector import apply_settings

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
    "missing file": (lambda c: {**c, "time_spectrum": "nope.txt"}, RuntimeError, "Failed to open spectrum file"),
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
    if case != "missing file":  # that one names the file instead
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
