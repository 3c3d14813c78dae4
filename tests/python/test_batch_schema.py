"""The record schema describes itself: every column written has a unit and a
meaning in one table, which the Parquet field metadata, `velmora schema
records` and the README's table of columns are made from."""

import inspect
import re
from pathlib import Path

import numpy as np
import pyarrow.parquet as pq
import pytest
import velmora_batch as vb
from click.testing import CliRunner
from velmora_batch._models import MODELS
from velmora_batch._records import RECORD_COLUMNS, column_info, columns_table
from velmora_batch.cli import main

README = Path(__file__).resolve().parents[2] / "README.md"
DARK = dict(dark_rate=2e5, duration=1e-3, channels=range(4), seed=5)

# Each way a run writes columns: the options that add columns, where run() takes them.
RUN_OPTIONS = {"plain": {}, "truth": {"truth": True}}


def type_name(field):
    """A column's numpy type as the table names it."""
    base = np.dtype(field.base).name
    return f"{base}[waveform_samples]" if field.shape else base


def test_the_table_names_each_column_once_with_a_meaning():
    for model, columns in RECORD_COLUMNS.items():
        names = [c.name for c in columns]
        assert len(names) == len(set(names)), model
        for c in columns:
            assert c.meaning and "\n" not in c.meaning and not c.meaning.endswith("."), (model, c.name)
            np.dtype(re.sub(r"\[.*\]$", "", c.type))  # a numpy type


@pytest.mark.parametrize("model", list(MODELS))
def test_every_column_of_the_model_has_its_entry_with_its_type(model):
    dtype = MODELS[model].record_dtype(3)
    for name in dtype.names:
        info = column_info(model, name)
        assert info is not None, f"{model} column {name!r} has no entry in RECORD_COLUMNS"
        assert info.type == type_name(dtype[name]) and info.when == "", name
    # The columns always written come first in the table, in the record's order.
    assert [c.name for c in RECORD_COLUMNS[model]][: len(dtype.names)] == list(dtype.names)


@pytest.mark.parametrize("option", list(RUN_OPTIONS))
@pytest.mark.parametrize("model", list(MODELS))
def test_every_written_column_carries_its_unit_and_meaning(make_detector, tmp_path, model, option):
    extra = RUN_OPTIONS[option]
    if not set(extra) <= set(inspect.signature(vb.run).parameters):
        pytest.skip(f"run() takes no {', '.join(extra)}")
    path = tmp_path / "r.parquet"
    vb.run(make_detector(model), output=path, **DARK, **extra)
    schema = pq.read_schema(path)
    records = vb.read_records(path)
    assert len(records) > 0
    for field in schema:
        info = column_info(model, field.name)
        assert info is not None, f"{model} column {field.name!r} is written but has no entry in RECORD_COLUMNS"
        assert field.metadata == {b"unit": info.unit.encode(), b"description": info.meaning.encode()}
        assert info.type == type_name(records.dtype[field.name]), field.name


def readme_tables():
    text = README.read_text()
    match = re.search(r"<!-- record columns: [^\n]*-->\n(.*?)<!-- end of record columns -->", text, re.S)
    assert match, "the README has no generated table of record columns"
    return match.group(1)


def test_the_readme_lists_the_columns_as_the_table_does():
    expected = "".join(f"{model}:\n\n{columns_table(model, markdown=True)}\n" for model in RECORD_COLUMNS)
    assert readme_tables() == expected, (
        "the README's record columns differ from RECORD_COLUMNS: paste in the output of "
        "`velmora schema records MODEL --markdown` for each model")


@pytest.mark.parametrize("model", list(MODELS))
def test_schema_records_prints_the_table(model):
    result = CliRunner().invoke(main, ["schema", "records", model])
    assert result.exit_code == 0, result.output
    lines = result.output.splitlines()
    assert lines[0].split() == ["column", "type", "unit", "meaning"]
    assert [line.split()[0] for line in lines[1:]] == [c.name for c in RECORD_COLUMNS[model]]
    for line, info in zip(lines[1:], RECORD_COLUMNS[model], strict=True):
        assert info.meaning in line


def test_schema_records_refuses_an_unknown_model():
    result = CliRunner().invoke(main, ["schema", "records", "Zozuvuza"])
    assert result.exit_code == 2 and "'Zozuvuza' is not one of" in result.output
