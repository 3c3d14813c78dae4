"""Record files: exact round trips through Parquet and .npz, the Parquet
layout, the stored run description, and no complete-looking file from a run
that did not finish."""

import gc
import os

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from velmora_batch import read_records
from velmora_batch._records import open_writer, read_metadata, record_dtype

METADATA = {"config": {"model": "ZozuvUza", "gain": 30.0}, "seed": 7, "seeding": "independent",
            "velmora_version": "0.1.0"}


def random_records(model, n, rng, first_channel=0, waveform_samples=5):
    """Records with every field random (full-range integers, floats of any
    bit pattern but NaN), in channel order."""
    dtype = record_dtype(model, waveform_samples)
    out = np.empty(n, dtype)
    raw = out.view(np.uint8).reshape(n, dtype.itemsize) if n else None
    if n:
        raw[:] = rng.integers(0, 256, raw.shape, dtype=np.uint8)
    for name in dtype.names:
        if out[name].dtype.kind == "f":
            out[name] = np.where(np.isnan(out[name]), 1.5, out[name])
    out["channel"] = np.sort(rng.integers(first_channel, first_channel + 10, n))
    return out


def same_bits(a, b):
    assert a.dtype == b.dtype and a.shape == b.shape
    for name in a.dtype.names:
        assert a[name].tobytes() == b[name].tobytes(), name


@pytest.mark.parametrize("suffix", [".parquet", ".npz"])
@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_round_trip_block_by_block(tmp_path, suffix, model):
    rng = np.random.default_rng(3)
    blocks = [random_records(model, n, rng, first_channel=10 * i) for i, n in enumerate([100, 0, 1, 250])]
    path = tmp_path / f"records{suffix}"
    with open_writer(path, model=model, waveform_samples=5, metadata=METADATA) as writer:
        for block in blocks:
            writer.write(block)
    assert writer.rows == 351
    same_bits(read_records(path), np.concatenate(blocks))
    assert read_metadata(path) == METADATA
    assert os.listdir(tmp_path) == [path.name]  # no temporary file left
    umask = os.umask(0)
    os.umask(umask)
    assert path.stat().st_mode & 0o777 == 0o666 & ~umask  # as any new file, not the private temporary's


@pytest.mark.parametrize("suffix", [".parquet", ".npz"])
def test_empty_run_gives_an_empty_file(tmp_path, suffix):
    path = tmp_path / f"records{suffix}"
    with open_writer(path, model="ZozuvUza", waveform_samples=32, metadata=METADATA):
        pass
    records = read_records(path)
    assert len(records) == 0 and records.dtype == record_dtype("ZozuvUza", 32)


def test_parquet_layout(tmp_path):
    rng = np.random.default_rng(4)
    path = tmp_path / "records.parquet"
    with open_writer(path, model="ZozuvUza", waveform_samples=32, metadata=METADATA) as writer:
        for i in range(3):
            writer.write(random_records("ZozuvUza", 40, rng, first_channel=10 * i, waveform_samples=32))
    schema = pq.read_schema(path)
    assert schema.names == ["channel", "time_ns", "trigger_time_s", "trigger_time_ticks", "baseline", "intsum",
                            "waveform"]
    assert [schema.field(n).type for n in schema.names] == [
        pa.int32(), pa.int64(), pa.uint32(), pa.uint32(), pa.float32(), pa.float32(), pa.list_(pa.uint16(), 32)]
    # One row group per block: the writer never holds more than one block.
    assert pq.ParquetFile(path).metadata.num_row_groups == 3
    table = pq.read_table(path)
    assert table.column("waveform")[5].as_py() == read_records(path)["waveform"][5].tolist()


def test_multipmt_columns(tmp_path):
    assert record_dtype("MultiPMT").names == ("time", "channel", "time_over_threshold", "adc_sample")
    path = tmp_path / "hits.parquet"
    with open_writer(path, model="MultiPMT", metadata={}) as writer:
        writer.write(random_records("MultiPMT", 3, np.random.default_rng(5)))
    assert [f.type for f in pq.read_schema(path)] == [pa.float64(), pa.int32(), pa.float64(), pa.uint16()]


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("suffix", [".parquet", ".npz"])
@pytest.mark.parametrize("how", ["exception", "abort", "dropped"])
def test_unfinished_run_leaves_no_file_and_keeps_an_old_one(tmp_path, suffix, how):
    path = tmp_path / f"records{suffix}"
    path.write_bytes(b"an earlier run")
    block = random_records("MultiPMT", 20, np.random.default_rng(6))
    if how == "exception":
        with pytest.raises(Interrupted):
            with open_writer(path, model="MultiPMT", metadata=METADATA) as writer:
                writer.write(block)
                raise Interrupted
    else:
        writer = open_writer(path, model="MultiPMT", metadata=METADATA)
        writer.write(block)
        if how == "abort":
            writer.abort()
        del writer
        gc.collect()
    assert os.listdir(tmp_path) == [path.name]
    assert path.read_bytes() == b"an earlier run"


def test_bad_blocks_are_refused(tmp_path):
    rng = np.random.default_rng(7)
    with open_writer(tmp_path / "r.parquet", model="ZozuvUza", waveform_samples=5, metadata={}) as writer:
        with pytest.raises(TypeError, match="dtype"):
            writer.write(random_records("ZozuvUza", 3, rng, waveform_samples=6))
        writer.write(random_records("ZozuvUza", 3, rng, first_channel=20))
        with pytest.raises(ValueError, match="increasing channel order"):
            writer.write(random_records("ZozuvUza", 3, rng, first_channel=0))
        unsorted = random_records("ZozuvUza", 3, rng, first_channel=30)
        unsorted["channel"] = [35, 34, 36]
        with pytest.raises(ValueError, match="increasing channel order"):
            writer.write(unsorted)
    assert len(read_records(tmp_path / "r.parquet")) == 3
    with pytest.raises(ValueError, match="must end in .parquet or .npz"):
        open_writer(tmp_path / "r.csv", model="MultiPMT", metadata={})
    with pytest.raises(TypeError):
        open_writer(tmp_path / "r.npz", model="MultiPMT", metadata={"seed": object()})
    with pytest.raises(FileNotFoundError, match="the directory .*nowhere does not exist"):
        open_writer(tmp_path / "nowhere" / "r.npz", model="MultiPMT", metadata={})
    assert sorted(os.listdir(tmp_path)) == ["r.parquet"]


@pytest.mark.parametrize("model, samples", [("Zozuvuza", 5), ("ZozuvUza", 0), ("ZozuvUza", -3)])
def test_bad_record_dtype(model, samples):
    with pytest.raises(ValueError):
        record_dtype(model, samples)


def test_foreign_parquet_file_is_refused(tmp_path):
    pq.write_table(pa.table({"a": [1]}), tmp_path / "x.parquet")
    with pytest.raises(ValueError, match="not a velmora record file"):
        read_records(tmp_path / "x.parquet")
    with pytest.raises(ValueError, match="no velmora metadata"):
        read_metadata(tmp_path / "x.parquet")
    np.savez(tmp_path / "x.npz", a=np.arange(3))
    with pytest.raises(ValueError, match="no velmora metadata"):
        read_metadata(tmp_path / "x.npz")


# The columns of ZozuvUza records, but waveforms that are no rows of a fixed number of samples.
FOREIGN_WAVEFORMS = {
    "parquet list": ("x.parquet", pa.array([[1, 2, 3], [4, 5]], pa.list_(pa.uint16()))),
    "parquet numbers": ("x.parquet", pa.array([1, 2], pa.uint16())),
    "npz numbers": ("x.npz", np.array([1, 2], np.uint16)),
}


@pytest.mark.parametrize("name, waveform", FOREIGN_WAVEFORMS.values(), ids=list(FOREIGN_WAVEFORMS))
def test_file_with_foreign_waveforms_is_refused(tmp_path, name, waveform):
    dtype = record_dtype("ZozuvUza", 3)
    columns = {n: np.zeros(2, dtype[n]) for n in dtype.names if n != "waveform"}
    if name.endswith(".parquet"):
        table = pa.table({**{n: pa.array(v) for n, v in columns.items()}, "waveform": waveform})
        pq.write_table(table, tmp_path / name)
    else:
        np.savez(tmp_path / name, **columns, waveform=waveform)
    with pytest.raises(ValueError, match="not a velmora record file: .*waveform"):
        read_records(tmp_path / name)
