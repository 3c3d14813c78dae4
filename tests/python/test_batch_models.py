"""The model registry: the engines' tables of parameters and record columns are the one description of each model;
the parameter table agrees with velmora's constructor, and everything made from the tables (the config's JSON
Schema as installed and as the command prints it, --set, the record dtype and the engine's output, the tables of
record columns and the README's) says what the tables say."""

import json
import re
from pathlib import Path

import numpy as np
import pytest
import velmora
from click.testing import CliRunner
from velmora_batch import _core
from velmora_batch._models import INT32, MODELS, config_schema_file, config_schema_text
from velmora_batch._records import RECORD_COLUMNS, columns_tables
from velmora_batch.cli import apply_settings, main

def constructor_parameters(cls):
    """(name, type, has a default) of each argument of the model's constructor but self and seed, from its
    signature line."""
    signature = cls.__init__.__doc__.splitlines()[0]
    arguments = signature[signature.index("(") + 1 : signature.rindex(")")].split(", ")[1:]
    found = []
    for argument in arguments:
        name, _, kind = argument.partition(": ")
        if name != "seed":
            found.append((name, kind.split(" = ")[0], " = " in kind))
    return found


README = Path(__file__).resolve().parents[2] / "README.md"
# What each kind of the engine's field table is in velmora's constructor signature and in a config's schema.
KINDS = {
    "spectrum": ("os.PathLike | str | bytes", None),
    "real": ("typing.SupportsFloat | typing.SupportsIndex", "number"),
    "integer": ("typing.SupportsInt | typing.SupportsIndex", "integer"),
    "integers": ("velmora.IntVector", "array"),
    "choice": ("velmora.EarlyHandling", None),
}


def engine_output(spec):
    """The columns the engine gives for a short flash, with truth and saturation, from the example detector."""
    from velmora_batch import Detector

    det = Detector.from_config(Path(__file__).resolve().parents[2] / "examples" / spec.name.lower() / "config.json")
    times = np.full(30, 2e-6)
    return spec.engine([det.params], dict(det.spectra)).simulate(
        np.array([0], np.int32), np.array([0, len(times)]), times, np.array([0]), np.zeros((1, 8), np.uint32),
        np.array([0], np.uint64), np.array([0.0]), _core.CancelFlag(), truth=True)


@pytest.mark.parametrize("spec", MODELS.values(), ids=lambda s: s.name)
def test_everything_made_from_the_tables_says_what_they_say(spec):
    fields = [f for f in spec.engine.fields if f["kind"] != "seed"]
    # The field table is velmora's constructor, argument by argument (the seed is a config's own key).
    assert [(f["name"], KINDS[f["kind"]][0], f["default"] is not None) for f in fields] == \
        constructor_parameters(getattr(velmora, spec.name))
    assert [f["name"] for f in spec.engine.fields].count("seed") == 1
    # The config's JSON Schema, as installed and as the command prints it.
    text = config_schema_text(spec.name)
    assert config_schema_file(spec.name).read_text() == text, "run tools/update_schemas.py"
    result = CliRunner().invoke(main, ["schema", "config", spec.name])
    assert result.exit_code == 0 and result.output == text, result.output
    schema = json.loads(text)
    assert schema["required"] == ["model", *(f["name"] for f in fields if f["default"] is None)]
    assert list(schema["properties"])[-len(fields):] == [f["name"] for f in fields]
    overridable = sorted((f for f in fields if f["override_column"]), key=lambda f: f["override_column"])
    assert [f["override_column"] for f in overridable] == list(range(1, len(overridable) + 1))
    assert schema["properties"]["overrides"]["description"].endswith(
        ", ".join([f["name"] for f in overridable] + ["time_offset", "dark_rate", "afterpulse_probability"]))
    for f in fields:
        entry = schema["properties"][f["name"]]
        assert entry["description"] == (f"{f['meaning']} [{f['unit']}]" if f["unit"] else f["meaning"])
        assert entry.get("x-unit", "") == f["unit"] and entry.get("x-overridable", False) == bool(f["override_column"])
        assert entry.get("type") == KINDS[f["kind"]][1] and entry.get("default") == f["default"]
        if f["kind"] == "integer":
            assert (entry["minimum"], entry["maximum"]) == (
                INT32[0] if f["minimum"] is None else f["minimum"], INT32[1] if f["maximum"] is None else f["maximum"])
        if f["kind"] == "choice":
            assert entry["enum"] == f["choices"] == list(velmora.EarlyHandling.__members__)
        # --set takes every parameter by its table name, a choice by one of its names.
        if f["kind"] in ("real", "integer", "choice"):
            value = f["choices"][0] if f["choices"] else "1"
            assert apply_settings({"model": spec.name}, [f"{f['name']}={value}"], Path("."))[f["name"]] == \
                (value if f["choices"] else 1)
    # The record columns: the dtype of a record, the engine's output and the tables of columns.
    columns, truth = spec.engine.columns, _core.truth_columns
    dtype = spec.record_dtype(7, truth=True)
    assert list(dtype.names) == [c["name"] for c in columns + truth]
    assert [dtype[c["name"]].base.name for c in columns + truth] == [c["dtype"] for c in columns + truth]
    assert [dtype[c["name"]].shape for c in columns] == [(7,) if c["shape"] else () for c in columns]
    assert all(c["shape"] is None or c["shape"] in spec.by_name for c in columns)
    out = engine_output(spec)
    assert [(k, v.dtype.name) for k, v in out.items() if k != "links"] == \
        [(c["name"], c["dtype"]) for c in columns + truth]
    assert [(k, v.dtype.name) for k, v in out["links"].items()] == [(c["name"], c["dtype"]) for c in
                                                                    _core.link_columns]
    described = {c.name: c for c in RECORD_COLUMNS[spec.name]}
    for c in columns + truth:
        info = described[c["name"]]
        assert (info.type, info.unit, info.meaning) == (
            c["dtype"] + (f"[{c['shape']}]" if c["shape"] else ""), c["unit"], c["meaning"])
        assert info.when == ("truth=True" if c in truth else "")
    assert columns_tables() in README.read_text(), "run tools/update_readme_columns.py"


def test_the_example_configs_keep_to_their_schema():
    # No validator library is required; the checks a schema makes on a flat config are few enough to walk here.
    examples = Path(__file__).resolve().parents[2] / "examples"
    for config_file in sorted(examples.glob("*/config.json")):
        config = json.loads(config_file.read_text())
        schema = json.loads(config_schema_text(config["model"]))
        assert set(schema["required"]) <= set(config) <= set(schema["properties"]), config_file
        for key, value in config.items():
            entry = schema["properties"][key]
            if entry.get("type") == "integer":
                assert isinstance(value, int) and entry["minimum"] <= value <= entry["maximum"], key
            elif entry.get("type") == "number":
                assert isinstance(value, int | float), key
            elif "enum" in entry:
                assert value in entry["enum"], key


@pytest.mark.parametrize("arguments, message", [
    (["schema", "config", "Nope"], "Invalid value for 'MODEL'"),
    (["schema", "config"], "Missing argument 'MODEL'"),
], ids=["unknown model", "no model"])
def test_schema_command_refuses(arguments, message):
    result = CliRunner().invoke(main, arguments)
    assert result.exit_code == 2 and re.search(message, result.output), result.output
