"""The model registry: each model's parameter table agrees with the model's constructor, and the JSON Schema of
its config, as installed and as the command prints it, is the one the table gives."""

import ast
import json
import re
from pathlib import Path

import pytest
import velmora
from click.testing import CliRunner
from velmora_batch._models import MODELS, config_schema_file, config_schema_text
from velmora_batch.cli import main

# How the constructor's signature writes the type of each kind of parameter.
SIGNATURE_TYPE = {
    "file": "os.PathLike | str | bytes",
    "float": "typing.SupportsFloat | typing.SupportsIndex",
    "int": "typing.SupportsInt | typing.SupportsIndex",
    "int_list": "velmora.IntVector",
    "choice": "velmora.EarlyHandling",
}


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


@pytest.mark.parametrize("spec", MODELS.values(), ids=lambda s: s.name)
def test_the_parameter_table_is_the_constructors(spec):
    assert [(p.name, SIGNATURE_TYPE[p.kind], not p.required) for p in spec.parameters] == \
        constructor_parameters(getattr(velmora, spec.name))


@pytest.mark.parametrize("model", MODELS)
def test_the_installed_schema_is_the_tables(model):
    assert config_schema_file(model).read_text() == config_schema_text(model), \
        "regenerate src/velmora_batch/schemas from the model table"
    result = CliRunner().invoke(main, ["schema", "config", model])
    assert result.exit_code == 0, result.output
    assert result.output == config_schema_text(model)


@pytest.mark.parametrize("model", MODELS)
def test_the_schema_gives_every_parameter_with_its_meaning_and_unit(model):
    spec = MODELS[model]
    schema = json.loads(config_schema_text(model))
    properties = schema["properties"]
    assert set(properties) == {"model", "seed", "overrides", "afterpulses", *spec.by_name,
                               *(["baseline_noise"] if spec.baseline_noise else [])}
    assert set(schema["required"]) == {"model", *(p.name for p in spec.parameters if p.required)}
    assert schema["additionalProperties"] is False
    for p in spec.parameters:
        entry = properties[p.name]
        assert entry["description"].startswith(p.meaning)
        if p.unit:
            assert entry["x-unit"] == p.unit and f"[{p.unit}]" in entry["description"]
        assert entry.get("x-overridable", False) == (p.name in spec.overridable)
    if spec.samples_key is not None:
        assert properties[spec.samples_key]["maximum"] == spec.by_name[spec.samples_key].maximum


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


def test_early_handling_choices_are_the_modules():
    spec = MODELS["ZozuvUza"]
    assert spec.by_name["early_handling"].choices == tuple(velmora.EarlyHandling.__members__)


STUB = Path(__file__).resolve().parents[2] / "src" / "velmora_batch" / "_core.pyi"
STUB_TYPE = {"float": "float", "int": "int", "int_list": "list[int]", "choice": "str"}


@pytest.mark.parametrize("spec", MODELS.values(), ids=lambda s: s.name)
def test_the_engine_stub_lists_the_tables_parameters(spec):
    tree = ast.parse(STUB.read_text())
    stub = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == f"_{spec.name}Parameters")
    fields = [(node.target.id, ast.unparse(node.annotation)) for node in stub.body if isinstance(node, ast.AnnAssign)]
    assert fields == [(p.name, STUB_TYPE[p.kind]) for p in spec.parameters if p.kind != "file"]
