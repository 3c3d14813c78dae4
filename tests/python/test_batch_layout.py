"""The model and layout that a record file stores: written by every record format, used by its readers (the
layout's model decides where columns would allow another, a layout that cannot be read is refused by name), while
files written before layouts were stored, known by their columns, read as they always did."""

import dataclasses
import json

import h5py
import numpy as np
import pyarrow.parquet as pq
import pytest
import uproot
import velmora_batch as vb
from velmora_batch import _models, _records, formats
from velmora_batch._formats import open_record_pieces
from velmora_batch._info import inspect
from velmora_batch._records import LAYOUT_KEY, open_writer

from test_batch_format_registry import truth_records
from test_batch_records import METADATA, random_records, same_bits

RECORD_SUFFIXES = formats.suffixes(records=True)


def stored_layout(path):
    """The layout a record file stores, as each format keeps it (None where it keeps none)."""
    suffix = path.suffix
    if suffix == ".parquet":
        text = (pq.read_schema(path).metadata or {}).get(LAYOUT_KEY.encode())
    elif suffix == ".npz":
        with np.load(path) as data:
            text = json.dumps(json.loads(str(data["metadata"])).get(LAYOUT_KEY))
    elif suffix == ".root":
        with uproot.open(path) as file:
            text = file["layout"] if "layout" in file.keys(cycle=False) else None
    else:
        with h5py.File(path, "r") as file:
            text = file["records"].attrs.get(LAYOUT_KEY)
    return json.loads(text) if text is not None else None


def write(path, records, model, truth=False):
    with open_writer(path, model=model, waveform_samples=5, metadata=METADATA, truth=truth) as writer:
        writer.write(records)


@pytest.mark.parametrize("suffix", RECORD_SUFFIXES)
@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_record_files_store_their_model_and_layout(tmp_path, suffix, model):
    records = random_records(model, 30, np.random.default_rng(1))
    path = tmp_path / f"r{suffix}"
    write(path, records, model)
    assert stored_layout(path) == {"model": model, "version": 1}
    assert vb.read_metadata(path) == METADATA  # the layout is no part of the run's description
    same_bits(vb.read_records(path), records)


@pytest.mark.parametrize("suffix", RECORD_SUFFIXES)
@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_files_of_the_layout_before_read_as_they_did(tmp_path, monkeypatch, suffix, model):
    records = np.sort(truth_records(model, 80, np.random.default_rng(2)), order="channel", kind="stable")
    write(tmp_path / f"new{suffix}", records, model, truth=True)
    with monkeypatch.context() as before:
        before.setattr(_records, "record_layout", lambda dtype: None)
        write(tmp_path / f"old{suffix}", records, model, truth=True)
    old = tmp_path / f"old{suffix}"
    assert stored_layout(old) is None
    same_bits(vb.read_records(old), records)
    same_bits(vb.read_records(tmp_path / f"new{suffix}"), vb.read_records(old))
    assert vb.read_metadata(old) == METADATA
    keep = records["channel"] % 3 == 0
    assert vb.read_records(old, columns=["n_pe"], channels=np.unique(records["channel"][keep]))["n_pe"].tolist() \
        == records["n_pe"][keep].tolist()
    with open_record_pieces(old) as pieces:
        assert pieces.rows == len(records) and pieces.model == model


@pytest.mark.parametrize("suffix", [".parquet", ".root", ".h5"])
def test_the_stored_model_decides_where_the_columns_would_name_another(tmp_path, monkeypatch, suffix):
    records = random_records("ZozuvUza", 20, np.random.default_rng(3))
    write(tmp_path / f"new{suffix}", records, "ZozuvUza")
    with monkeypatch.context() as before:
        before.setattr(_records, "record_layout", lambda dtype: None)
        write(tmp_path / f"old{suffix}", records, "ZozuvUza")
    models = {"Twin": dataclasses.replace(_models.MODELS["ZozuvUza"], name="Twin"), **_models.MODELS}
    monkeypatch.setattr(_models, "MODELS", models)
    monkeypatch.setattr(_records, "MODELS", models)
    assert inspect(tmp_path / f"new{suffix}").model == "ZozuvUza"
    assert inspect(tmp_path / f"old{suffix}").model == "Twin"  # known by its columns, the first model they fit
    same_bits(vb.read_records(tmp_path / f"new{suffix}"), records)


def rewrite_layout(path, layout):
    table = pq.read_table(path)
    stored = dict(table.schema.metadata)
    stored[LAYOUT_KEY.encode()] = layout if isinstance(layout, bytes) else json.dumps(layout).encode()
    pq.write_table(table.replace_schema_metadata(stored), path)


@pytest.mark.parametrize("layout, message", [
    (b"{not json", r"its record layout \(velmora.layout\) is unreadable: the file is damaged"),
    ({"model": "ZozuvUza"}, "the file is damaged"),
    ({"model": "ZozuvUza", "version": 0}, "the file is damaged"),
    ({"model": "ZozuvUza", "version": 2}, r"in layout 2, which a newer velmora wrote; this version reads layouts "
                                          r"up to 1"),
    ({"model": "Quartz", "version": 1}, "names the model 'Quartz', which this version of velmora does not know"),
    ({"model": "MultiPMT", "version": 1}, "its layout names the model MultiPMT, whose records have other columns"),
], ids=["not JSON", "no version", "version 0", "newer", "unknown model", "another model"])
@pytest.mark.parametrize("reader", ["whole", "selected", "pieces"])
def test_a_layout_that_cannot_be_followed_is_refused_naming_the_file(tmp_path, layout, message, reader):
    path = tmp_path / "r.parquet"
    write(path, random_records("ZozuvUza", 10, np.random.default_rng(4)), "ZozuvUza")
    rewrite_layout(path, layout)
    read = {"whole": lambda: vb.read_records(path), "selected": lambda: vb.read_records(path, columns=["channel"]),
            "pieces": lambda: open_record_pieces(path).close()}[reader]
    with pytest.raises(ValueError, match=message) as caught:
        read()
    assert str(caught.value).startswith(str(path)) and "\n" not in str(caught.value)
