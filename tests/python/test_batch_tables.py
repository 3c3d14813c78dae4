"""Record files and dataset directories as table libraries read them: a complete directory read as it is by
each of them, an unfinished one shown to none, a waveform that is never null, datasets of the format before
read and resumed."""

import json
import os
import warnings

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import velmora_batch as vb
from velmora_batch._dataset import MANIFEST, MANIFEST_JSON

RUN = dict(dark_rate=4e5, duration=2e-3, channels=range(25), seed=11, block_channels=5)


def part(first):
    return f"part-{first:010d}.parquet"


def _polars(path):
    import polars as pl

    return pl.scan_parquet(path).collect().to_arrow()


def _pyarrow(path):
    import pyarrow.dataset as pads

    return pads.dataset(path).to_table()


def _pandas(path):
    import pandas as pd

    return pa.Table.from_pandas(pd.read_parquet(path), preserve_index=False)


def _dask(path):
    import dask.dataframe as dd

    with warnings.catch_warnings():  # dask's own use of a pandas keyword that pandas deprecates
        warnings.filterwarnings("ignore", "The inplace keyword in DataFrame.reset_index is deprecated")
        return pa.Table.from_pandas(dd.read_parquet(path).compute(), preserve_index=False)


def _awkward(path):
    import awkward as ak

    return ak.to_arrow_table(ak.from_parquet(path))


READERS = {"polars": _polars, "pyarrow": _pyarrow, "pandas": _pandas, "dask": _dask, "awkward": _awkward}


def as_records(table, like):
    """A table a library read, as velmora records in (channel, time) order."""
    out = np.empty(table.num_rows, like.dtype)
    for name in like.dtype.names:
        column = table.column(name).combine_chunks()
        if out[name].ndim == 2:
            out[name] = np.array(column.to_pylist(), like.dtype[name].base)
        else:
            out[name] = column.to_numpy(zero_copy_only=False)  # a bool column is bit-packed in Arrow
    time = "time_ns" if "time_ns" in like.dtype.names else "time"
    return out[np.lexsort((out[time], out["channel"]))]


@pytest.fixture(params=["ZozuvUza", "MultiPMT"])
def finished(request, make_detector, tmp_path):
    """A finished dataset of RUN and the records it holds."""
    out = tmp_path / "d"
    vb.run(make_detector(request.param, seed=1), output=out, **RUN)
    return out, vb.read_records(out)


@pytest.mark.parametrize("reader", READERS.values(), ids=list(READERS))
def test_every_table_library_reads_a_complete_dataset_as_it_is(finished, reader):
    out, want = finished
    assert len(want) > 100
    assert sorted(p.name for p in out.iterdir()) == [MANIFEST, *(part(c) for c in range(0, 25, 5))]
    assert as_records(reader(out), want).tobytes() == want.tobytes()


@pytest.mark.parametrize("reader", READERS.values(), ids=list(READERS))
def test_no_table_library_sees_part_of_an_unfinished_run(make_detector, tmp_path, reader):
    """A run that failed after some blocks leaves its finished parts for a
    resume: a reader sees no record of them, or refuses the directory."""
    det = make_detector("ZozuvUza", seed=1, early_handling="THROW")
    table = vb.PETable(channel=np.repeat([0, 1, 2, 7, 8], 30), time=np.r_[np.full(120, 2e-6), np.full(30, -1e-6)])
    out = tmp_path / "d"
    with pytest.raises(RuntimeError, match="block of channels 8-8"):
        vb.run(det, table, output=out, block_channels=2, workers=1)
    assert len(vb.read_metadata(out)["blocks"]) >= 1
    try:
        seen = reader(out).num_rows
    except Exception as e:  # refusing the directory is as good as seeing nothing
        assert "part-" in str(e) or "extension" in str(e) or "no" in str(e).lower(), e
    else:
        assert seen == 0


def test_the_waveform_is_never_null(make_detector, tmp_path):
    ak = pytest.importorskip("awkward")
    det = make_detector("ZozuvUza", seed=1)
    file = tmp_path / "r.parquet"
    vb.run(det, output=file, **RUN)
    vb.run(det, output=tmp_path / "d", **RUN)
    want = vb.read_records(file)
    for path in (file, tmp_path / "d"):
        records = ak.from_parquet(path)
        assert "?" not in str(records.type), records.type
        waveform = ak.to_numpy(records["waveform"])
        assert not isinstance(waveform, np.ma.MaskedArray)
        assert np.array_equal(waveform, want["waveform"])


def as_format_2(out, complete=True, hidden=()):
    """Rewrites the dataset ``out`` as the format before wrote it: the
    manifest as JSON, parts written with nullable waveform samples, the
    parts of ``hidden`` (first channels) unfinished under "_part-....parquet"
    and, when not ``complete``, missing from the manifest with the rest."""
    manifest = vb.read_metadata(out)
    for entry in manifest["blocks"]:
        path = out / entry["file"]
        table = pq.read_table(path)
        older = pa.schema([pa.field(f.name, pa.list_(f.type.value_type, f.type.list_size), nullable=False)
                           if isinstance(f.type, pa.FixedSizeListType) else f for f in table.schema],
                          metadata=table.schema.metadata)
        pq.write_table(table.cast(older), path)
        entry["sha256"] = vb._records.file_sha256(path)
        if entry["first"] in hidden:
            os.rename(path, out / ("_" + entry["file"]))
    if not complete:
        manifest["blocks"] = [b for b in manifest["blocks"] if b["first"] in hidden]
        manifest["rows"] = sum(b["rows"] for b in manifest["blocks"])
        manifest["complete"] = False
    manifest["format"] = "velmora-dataset/2"
    (out / MANIFEST).unlink()
    (out / MANIFEST_JSON).write_text(json.dumps(manifest, indent=1))


def test_a_dataset_of_the_format_before_is_read(finished):
    out, want = finished
    as_format_2(out)
    assert vb.read_records(out).tobytes() == want.tobytes()
    assert vb.read_metadata(out)["format"] == "velmora-dataset/2"


def test_resuming_a_dataset_of_the_format_before_moves_it_to_this_format(make_detector, tmp_path):
    """Its finished parts are kept where they have the columns written now;
    the others run again, so that every table library reads the result."""
    det = make_detector("ZozuvUza", seed=1)
    out = tmp_path / "d"
    vb.run(det, output=out, **RUN)
    want = vb.read_records(out)
    as_format_2(out, complete=False, hidden=(0, 5, 10))
    kept = out / ("_" + part(5))
    # One finished part with the columns this version writes.
    table = pq.read_table(kept)
    writer_schema = vb._records._arrow_schema(want.dtype, {}).with_metadata(table.schema.metadata)
    pq.write_table(table.cast(writer_schema), kept)
    manifest = json.loads((out / MANIFEST_JSON).read_text())
    manifest["blocks"][1]["sha256"] = vb._records.file_sha256(kept)
    (out / MANIFEST_JSON).write_text(json.dumps(manifest))
    stamp = kept.stat().st_mtime_ns
    vb.run(det, output=out, resume=True, **RUN)
    assert vb.read_records(out).tobytes() == want.tobytes()
    assert sorted(p.name for p in out.iterdir()) == [MANIFEST, *(part(c) for c in range(0, 25, 5))]
    assert vb.read_metadata(out)["format"] == "velmora-dataset/3"
    assert (out / part(5)).stat().st_mtime_ns == stamp  # kept, not run again
    assert pq.read_schema(out / part(0)).equals(pq.read_schema(out / part(5)))  # run again: its columns differed
    for reader in READERS.values():
        assert as_records(reader(out), want).tobytes() == want.tobytes()


def test_the_dask_extra_brings_dask_dataframe():
    """``pip install velmora[dask]`` must give what ``dask.dataframe.read_parquet`` needs, not only the
    scheduler."""
    from importlib.metadata import requires

    from packaging.requirements import Requirement

    extra = [Requirement(r) for r in requires("velmora") or []]
    extra = {r.name: r.extras for r in extra if r.marker is not None and r.marker.evaluate({"extra": "dask"})}
    assert "dataframe" in extra.get("dask", set()), extra
    assert "distributed" in extra


# Reading only some columns and channels.


@pytest.fixture(params=["ZozuvUza", "MultiPMT"])
def written(request, make_detector, tmp_path):
    """The records of RUN as a dataset, a Parquet file (one row group per block) and an .npz file."""
    det = make_detector(request.param, seed=1)
    paths = {"dataset": tmp_path / "d", "parquet": tmp_path / "r.parquet", "npz": tmp_path / "r.npz"}
    for path in paths.values():
        vb.run(det, output=path, **RUN)
    return paths, vb.read_records(paths["dataset"])


SELECTIONS = {
    "text": ("3-7,21", [3, 4, 5, 6, 7, 21]),
    "range": (range(10, 12), [10, 11]),
    "array": (np.array([24, 0]), [0, 24]),
    "none there": ("100-200", []),
}


@pytest.mark.parametrize("kind", ["dataset", "parquet", "npz"])
@pytest.mark.parametrize("channels, expected", SELECTIONS.values(), ids=list(SELECTIONS))
def test_some_columns_of_some_channels(written, kind, channels, expected):
    paths, everything = written
    time = "time_ns" if "time_ns" in everything.dtype.names else "time"
    got = vb.read_records(paths[kind], columns=[time, "channel"], channels=channels)
    assert got.dtype.names == (time, "channel")
    keep = np.isin(everything["channel"], expected)
    assert sorted(set(got["channel"].tolist())) == sorted(set(everything["channel"][keep].tolist()))
    assert np.array_equal(got[time], everything[time][keep]) and np.array_equal(got["channel"], everything["channel"][keep])
    last = everything.dtype.names[-1]
    assert vb.read_records(paths[kind], columns=[last]).tobytes() == np.ascontiguousarray(everything[last]).tobytes()
    assert vb.read_records(paths[kind], channels=channels).tobytes() == everything[keep].tobytes()


@pytest.mark.parametrize("columns, error, message", [
    (["channel", "energy"], ValueError, r"(d|r\.parquet|r\.npz): no column 'energy'; the records have .*channel"),
    ("channel", TypeError, "a list of column names"),
    (["channel", "channel"], ValueError, "named twice"),
], ids=["unknown", "a string", "twice"])
@pytest.mark.parametrize("kind", ["dataset", "parquet", "npz"])
def test_a_bad_column_selection_is_named(written, kind, columns, error, message):
    paths, _ = written
    with pytest.raises(error, match=message):
        vb.read_records(paths[kind], columns=columns)


class Opened:
    """Counts what the selective reader opens and reads of each Parquet file."""

    def __init__(self, monkeypatch):
        import velmora_batch._dataset
        import velmora_batch.formats.parquet

        self.files, self.groups, self.columns, self.hashed = [], [], [], []
        real, real_hash = pq.ParquetFile, velmora_batch._dataset.file_sha256
        counter = self

        class Counting(real):
            def __init__(self, source, *args, **kwargs):
                counter.files.append(os.path.basename(source))
                super().__init__(source, *args, **kwargs)

            def read_row_groups(self, groups, columns=None, **kwargs):
                counter.groups.append(list(groups))
                counter.columns.append(list(columns))
                return super().read_row_groups(groups, columns=columns, **kwargs)

        def hashing(path):
            counter.hashed.append(os.path.basename(path))
            return real_hash(path)

        monkeypatch.setattr(velmora_batch.formats.parquet.pq, "ParquetFile", Counting)
        monkeypatch.setattr(velmora_batch._dataset, "file_sha256", hashing)


def test_a_dataset_reads_only_the_parts_of_the_selected_channels(written, monkeypatch):
    paths, everything = written
    opened = Opened(monkeypatch)
    got = vb.read_records(paths["dataset"], columns=["channel"], channels="6-7,12")
    assert opened.files == [part(5), part(10)]  # the parts of channels 5-9 and 10-14 only
    assert opened.columns == [["channel"], ["channel"]]
    assert opened.hashed == []  # checked by their metadata: hashing would read all of each
    assert np.array_equal(got["channel"], everything["channel"][np.isin(everything["channel"], [6, 7, 12])])


def test_a_parquet_file_reads_only_the_row_groups_of_the_selected_channels(written, monkeypatch):
    paths, everything = written
    assert pq.ParquetFile(paths["parquet"]).metadata.num_row_groups == 5  # one per block of 5 channels
    opened = Opened(monkeypatch)
    got = vb.read_records(paths["parquet"], columns=[everything.dtype.names[-1]], channels=[16, 23])
    assert opened.groups == [[3, 4]] and len(opened.columns[0]) == 2  # the column asked for, and channel
    name = got.dtype.names[0]
    assert np.array_equal(got[name], everything[name][np.isin(everything["channel"], [16, 23])])


def test_a_damaged_part_is_still_refused_when_only_it_is_read(written):
    paths, _ = written
    path = paths["dataset"] / part(5)
    path.write_bytes(path.read_bytes()[:200])
    with pytest.raises(ValueError, match=f"{part(5)}: not the part its dataset's manifest lists: unreadable"):
        vb.read_records(paths["dataset"], channels="6")
    assert len(vb.read_records(paths["dataset"], channels="0-4,10-24")) > 0  # the other parts are not needed


def test_records_as_a_pandas_dataframe(written):
    paths, everything = written
    for path in paths.values():
        frame = vb.to_pandas(path)
        assert list(frame.columns) == list(everything.dtype.names)
        assert len(frame) == len(everything)
        assert frame.attrs["velmora"] == vb.read_metadata(path)
        for name in everything.dtype.names:
            values = np.stack(frame[name].to_numpy()) if everything[name].ndim == 2 else frame[name].to_numpy()
            assert values.dtype == everything[name].dtype and np.array_equal(values, everything[name]), name
    few = vb.to_pandas(paths["dataset"], columns=["channel"], channels="2")
    assert list(few.columns) == ["channel"] and set(few["channel"]) == {2}


def test_a_changed_part_of_a_dataset_of_the_format_before_is_refused_by_every_reader(finished, tmp_path):
    """The format before records the SHA-256 of each part and the run's digest, as this one does: a part
    rewritten with other records under its own metadata and row count is refused by reading, converting and
    the dataset's check alike."""
    from velmora_batch._dataset import dataset_problems

    out, _ = finished
    as_format_2(out)
    path = out / part(10)
    table = pq.read_table(path)
    column = table.schema.get_field_index("channel")
    changed = table.set_column(column, "channel", pa.array(np.full(table.num_rows, 14, np.int32)))
    pq.write_table(changed.replace_schema_metadata(table.schema.metadata), path)
    message = f"{part(10)}: .*its contents changed since it was written"
    with pytest.raises(ValueError, match=message):
        vb.read_records(out)
    with pytest.raises(ValueError, match=message):
        vb.convert(out, tmp_path / "c.parquet")
    assert [p for p in dataset_problems(out) if "contents changed" in p] == [f"{part(10)}: its contents changed "
                                                                             "since it was written (its SHA-256 is "
                                                                             "not the manifest's)"]
