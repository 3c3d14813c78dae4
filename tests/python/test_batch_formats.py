"""ROOT and HDF5 files both ways: records written block by block and read back
bit for bit with their run description, PE tables read from trees and HDF5
tables (in pieces, as a run streams them) giving the records of the same PEs
from Parquet, one-line errors for damaged and foreign files, and a clear
message when the optional library is missing."""

import json
import re
import sys
import warnings
from pathlib import Path

import h5py
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import uproot
import velmora_batch as vb
from click.testing import CliRunner
from velmora_batch import _pes, convert, read_metadata, read_pes, read_records
from velmora_batch._formats import MissingExtra
from velmora_batch._pes import UnusedPEColumnsWarning
from velmora_batch._records import column_info, open_writer, record_dtype
from velmora_batch.cli import main

from test_batch_records import METADATA, random_records, same_bits

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
ZOZUVUZA = EXAMPLES / "zozuvuza" / "config.json"
FORMATS = [".root", ".h5"]


def write_blocks(path, model, blocks, metadata=METADATA, waveform_samples=5):
    with open_writer(path, model=model, waveform_samples=waveform_samples, metadata=metadata) as writer:
        for block in blocks:
            writer.write(block)
    return writer


@pytest.mark.parametrize("suffix", [*FORMATS, ".hdf5"])
@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_round_trip_bit_for_bit(tmp_path, suffix, model):
    rng = np.random.default_rng(5)
    blocks = [random_records(model, n, rng, first_channel=10 * i) for i, n in enumerate([100, 0, 1, 250])]
    path = tmp_path / f"records{suffix}"
    assert write_blocks(path, model, blocks).rows == 351
    same_bits(read_records(path), np.concatenate(blocks))
    assert read_metadata(path) == METADATA
    assert [p.name for p in tmp_path.iterdir()] == [path.name]  # the temporary file renamed, nothing beside


@pytest.mark.parametrize("suffix", FORMATS)
@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_truth_columns_flow_through(tmp_path, suffix, model):
    rng = np.random.default_rng(6)
    plain = random_records(model, 40, rng)
    records = np.empty(40, record_dtype(model, 5, truth=True))
    records.view(np.uint8)[:] = rng.integers(0, 256, records.nbytes, dtype=np.uint8)
    for name in records.dtype.names:
        if name in plain.dtype.names:
            records[name] = plain[name]
        elif records[name].dtype.kind == "f":
            records[name] = np.where(np.isnan(records[name]), 0.25, records[name])
    path = tmp_path / f"r{suffix}"
    with open_writer(path, model=model, waveform_samples=5, metadata=METADATA, truth=True) as writer:
        writer.write(records)
    same_bits(read_records(path), records)
    convert(path, tmp_path / "back.parquet")
    same_bits(read_records(tmp_path / "back.parquet"), records)


@pytest.mark.parametrize("suffix", FORMATS)
def test_some_columns_and_channels_are_read_a_piece_at_a_time(tmp_path, suffix, monkeypatch):
    from velmora_batch import _formats
    monkeypatch.setattr(_formats, "_PIECE_BYTES", 3000)  # several pieces
    records = random_records("ZozuvUza", 400, np.random.default_rng(3), waveform_samples=16)
    path = tmp_path / f"r{suffix}"
    write_blocks(path, "ZozuvUza", [records], waveform_samples=16)
    keep = np.isin(records["channel"], [2, 3, 4, 7])
    got = read_records(path, columns=["waveform", "time_ns"], channels="2-4,7")
    assert got.dtype.names == ("waveform", "time_ns") and len(got) == keep.sum() > 0
    assert got["waveform"].tobytes() == records["waveform"][keep].tobytes()
    assert got["time_ns"].tobytes() == records["time_ns"][keep].tobytes()
    assert read_records(path, columns=[]).shape == (400,)
    with pytest.raises(ValueError, match="no column 'nope'; the records have channel, time_ns"):
        read_records(path, columns=["nope"])


@pytest.mark.parametrize("suffix", FORMATS)
def test_a_run_without_records_reads_back_empty(tmp_path, suffix):
    path = tmp_path / f"empty{suffix}"
    write_blocks(path, "ZozuvUza", [], waveform_samples=7)
    records = read_records(path)
    assert len(records) == 0 and records.dtype == record_dtype("ZozuvUza", 7)


@pytest.mark.parametrize("suffix", FORMATS)
def test_blocks_larger_than_a_piece_are_written_in_pieces(tmp_path, suffix, monkeypatch):
    from velmora_batch import _formats
    monkeypatch.setattr(_formats, "_PIECE_BYTES", 1000)  # a few records per basket or HDF5 write
    rng = np.random.default_rng(2)
    block = random_records("ZozuvUza", 300, rng, waveform_samples=16)
    path = tmp_path / f"r{suffix}"
    write_blocks(path, "ZozuvUza", [block], waveform_samples=16)
    same_bits(read_records(path), block)
    if suffix == ".root":
        assert uproot.open(path)["records"]["waveform"].num_baskets > 10


def test_the_root_layout(tmp_path):
    rng = np.random.default_rng(1)
    records = random_records("ZozuvUza", 20, rng, waveform_samples=9)
    path = tmp_path / "r.root"
    write_blocks(path, "ZozuvUza", [records], waveform_samples=9)
    with uproot.open(path) as file:
        assert file.classnames() == {"records;1": "TTree", "metadata;1": "TObjString", "columns;1": "TObjString",
                                     "layout;1": "TObjString", "checksums;1": "TObjString"}
        assert json.loads(file["layout"]) == {"model": "ZozuvUza", "version": 1}
        tree = file["records"]
        assert list(tree.keys()) == list(records.dtype.names)
        assert tree["waveform"].interpretation.inner_shape == (9,)  # a fixed-size array branch
        assert json.loads(file["metadata"]) == METADATA
        notes = json.loads(file["columns"])
        assert list(notes) == list(records.dtype.names) and notes["waveform"]["unit"] == "LSB"
        assert notes["time_ns"] == {"unit": "ns", "description": column_info("ZozuvUza", "time_ns").meaning}
        assert np.array_equal(tree["waveform"].array(library="np"), records["waveform"])


def test_the_hdf5_layout(tmp_path):
    rng = np.random.default_rng(1)
    records = random_records("MultiPMT", 20, rng)
    path = tmp_path / "r.h5"
    write_blocks(path, "MultiPMT", [records])
    with h5py.File(path, "r") as file:
        data = file["records"]
        assert list(file) == ["records"] and data.dtype == records.dtype
        assert json.loads(data.attrs["velmora"]) == METADATA
        assert data.attrs["seed"] == 7 and data.attrs["seeding"] == "independent"  # the top-level values
        assert json.loads(data.attrs["velmora.layout"]) == {"model": "MultiPMT", "version": 1}
        assert data.attrs["time.unit"] == "s" and data.attrs["adc_sample.unit"] == "LSB"
        assert data.attrs["channel.description"] == column_info("MultiPMT", "channel").meaning
        assert data[:].tobytes() == records.tobytes()
    zozuvuza = tmp_path / "z.h5"
    write_blocks(zozuvuza, "ZozuvUza", [random_records("ZozuvUza", 3, rng, waveform_samples=4)], waveform_samples=4)
    with h5py.File(zozuvuza, "r") as file:
        assert file["records"].dtype["waveform"].shape == (4,)  # a fixed-size subarray field


@pytest.mark.parametrize("seed, as_digits", [(2**127 + 5, True), (2**63 + 5, True), (2**63, True),
                                              (2**63 - 1, False), (-(2**63), False), (-(2**63) - 1, True)])
def test_a_drawn_seed_of_128_bits_is_stored(tmp_path, seed, as_digits):
    """Every seed reads back; in the HDF5 attribute, one beyond the signed
    64-bit integers as its digits (a run without a seed draws 128 bits)."""
    metadata = dict(METADATA, seed=seed)
    for suffix in FORMATS:
        path = tmp_path / f"r{suffix}"
        write_blocks(path, "MultiPMT", [], metadata=metadata)
        assert read_metadata(path)["seed"] == seed
    with h5py.File(tmp_path / "r.h5", "r") as file:
        stored = file["records"].attrs["seed"]
    assert (stored == str(seed)) if as_digits else (isinstance(stored, np.int64) and stored == seed)


def test_a_large_run_description_is_stored(tmp_path):
    metadata = dict(METADATA, config={"pulse_shape": {"x": list(range(50_000)), "y": [0.5] * 50_000}})
    for suffix in FORMATS:
        path = tmp_path / f"r{suffix}"
        write_blocks(path, "MultiPMT", [], metadata=metadata)
        assert read_metadata(path) == metadata


@pytest.mark.parametrize("suffix", FORMATS)
def test_an_aborted_writer_leaves_no_file(tmp_path, suffix):
    path = tmp_path / f"r{suffix}"
    with pytest.raises(RuntimeError, match="stop"):
        with open_writer(path, model="MultiPMT", metadata=METADATA) as writer:
            writer.write(random_records("MultiPMT", 10, np.random.default_rng(1)))
            raise RuntimeError("stop")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("suffix", FORMATS)
@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_a_run_writes_the_records_it_returns(make_detector, tmp_path, suffix, model):
    det = make_detector(model, seed=4)
    table = vb.PETable(channel=np.repeat([2, 0, 5], 20), time=np.tile(np.linspace(1e-6, 3e-6, 20), 3))
    expected = vb.run(det, table, dark_rate=3e4, duration=1e-3, channels="0-5")
    summary = vb.run(det, table, dark_rate=3e4, duration=1e-3, channels="0-5", output=tmp_path / f"r{suffix}",
                     block_channels=2)
    assert summary.rows == len(expected) > 0
    assert read_records(summary.path).tobytes() == expected.tobytes()
    assert read_metadata(summary.path)["seed"] == 4


# Damaged and foreign record files: one line naming the file and the fault.


def _truncated(path, write):
    write(path)
    data = path.read_bytes()
    path.write_bytes(data[: len(data) * 2 // 3])


def _good(path):
    write_blocks(path, "ZozuvUza", [random_records("ZozuvUza", 2000, np.random.default_rng(1))])


def _root_tree(path, branches, name="records"):
    with uproot.recreate(path) as file:
        file.mktree(name, {k: v.dtype if v.ndim == 1 else np.dtype((v.dtype, v.shape[1:]))
                           for k, v in branches.items()})
        file[name].extend(branches)


def _hdf5_table(path, array, name="records"):
    with h5py.File(path, "w") as file:
        file[name] = array


def _multipmt(**changes):
    records = random_records("MultiPMT", 4, np.random.default_rng(1))
    columns = {name: records[name] for name in records.dtype.names}
    columns.update(changes)
    return {k: v for k, v in columns.items() if v is not None}


def _structured(columns):
    out = np.empty(len(next(iter(columns.values()))), [(k, v.dtype, v.shape[1:]) for k, v in columns.items()])
    for k, v in columns.items():
        out[k] = v
    return out


BAD_RECORD_FILES = [
    ("r.root", lambda p: _truncated(p, _good), "r.root: not a readable ROOT file"),
    ("r.h5", lambda p: _truncated(p, _good), "r.h5: not a readable HDF5 file"),
    ("r.root", lambda p: p.write_bytes(b"not a root file at all" * 10), "r.root: not a readable ROOT file"),
    ("r.h5", lambda p: p.write_bytes(b"\x89HDF\r\n\x1a\n" + b"\0" * 50), "r.h5: not a readable HDF5 file"),
    ("r.root", lambda p: _root_tree(p, _multipmt(), name="hits"), r"r.root: no tree 'records' \(trees there: hits\)"),
    ("r.h5", lambda p: _hdf5_table(p, _structured(_multipmt()), name="hits"), r"no dataset 'records' \(found hits\)"),
    ("r.root", lambda p: _root_tree(p, _multipmt(adc_sample=None)), "not a velmora record file: columns time, "),
    ("r.h5", lambda p: _hdf5_table(p, _structured(_multipmt(adc_sample=None))), "not a velmora record file: columns"),
    ("r.root", lambda p: _root_tree(p, _multipmt(channel=np.zeros(4))), "column 'channel' holds float64, not int32"),
    ("r.h5", lambda p: _hdf5_table(p, _structured(_multipmt(time=np.zeros(4, np.float32)))),
     "column 'time' holds float32, not float64"),
    ("r.h5", lambda p: _hdf5_table(p, np.zeros(4)), "'records' is a 1-dimensional dataset of float64, not a table"),
    ("r.root", lambda p: _root_tree(p, _multipmt(n_pe=np.zeros(4, np.int16), true_charge=np.zeros(4),
                                                 first_pe_time=np.zeros(4), n_dark=np.zeros(4, np.uint32),
                                                 n_afterpulse=np.zeros(4, np.uint32))),
     "column 'n_pe' holds int16, not uint32"),
]


@pytest.mark.parametrize("name, make, message", BAD_RECORD_FILES,
                         ids=["root truncated", "hdf5 truncated", "root garbage", "hdf5 garbage", "root wrong tree",
                              "hdf5 wrong dataset", "root missing column", "hdf5 missing column", "root wrong dtype",
                              "hdf5 wrong dtype", "hdf5 not a table", "root wrong truth dtype"])
def test_bad_record_files_are_one_line_errors(tmp_path, name, make, message):
    path = tmp_path / name
    make(path)
    with pytest.raises(ValueError, match=message) as error:
        read_records(path)
    assert "\n" not in str(error.value) and str(error.value).startswith(str(path))


@pytest.mark.parametrize("make, message", [
    (lambda p: _root_tree(p, _multipmt()), "r.root: no velmora metadata"),
    (lambda p: _hdf5_table(p, _structured(_multipmt())), "r.h5: no velmora metadata"),
], ids=["root", "hdf5"])
def test_files_without_a_run_description_are_named(tmp_path, make, message):
    path = tmp_path / ("r.root" if "root" in message else "r.h5")
    make(path)
    assert len(read_records(path)) == 4  # records they are, just without a description
    with pytest.raises(ValueError, match=message):
        read_metadata(path)


# PE tables.


PE_CHANNEL = np.array([4, 1, 4, 9, 1, 4, 0], np.int32)
PE_TIME = np.array([2e-6, 2.5e-6, 2.1e-6, 1e-6, 3e-6, 2.2e-6, 4e-6])


def _pe_files(tmp_path):
    """The same PEs (and an extra column) in each layout a PE file may have."""
    extra = np.arange(len(PE_TIME), dtype=np.float32)
    columns = {"channel": PE_CHANNEL, "time": PE_TIME, "weight": extra}
    files = {}
    files["parquet"] = tmp_path / "pes.parquet"
    pq.write_table(pa.table(columns), files["parquet"])
    files["root tree"] = tmp_path / "tree.root"
    with uproot.recreate(files["root tree"]) as f:
        f.mktree("pes", {k: v.dtype for k, v in columns.items()})
        f["pes"].extend(columns)
    files["root rntuple"] = tmp_path / "rntuple.root"
    with uproot.recreate(files["root rntuple"]) as f:
        f["pes"] = columns  # uproot's default layout for a table: an RNTuple
    files["hdf5 compound"] = tmp_path / "compound.h5"
    _hdf5_table(files["hdf5 compound"], _structured(columns), name="pes")
    files["hdf5 group"] = tmp_path / "group.h5"
    with h5py.File(files["hdf5 group"], "w") as f:
        for k, v in columns.items():
            f[f"sim/{k}"] = v
    return files


def test_pe_tables_read_from_every_layout_alike(tmp_path):
    files = _pe_files(tmp_path)
    for layout, path in files.items():
        table = read_pes(path)
        assert table.channel.tolist() == PE_CHANNEL.tolist(), layout
        assert table.time.tobytes() == PE_TIME.tobytes(), layout


@pytest.mark.parametrize("layout", ["root tree", "root rntuple", "hdf5 compound", "hdf5 group"])
def test_a_run_from_a_pe_file_streams_it_and_gives_the_records_of_parquet(make_detector, tmp_path, monkeypatch,
                                                                           layout):
    monkeypatch.setattr(_pes, "_BATCH_ROWS", 3)  # several pieces, the last a short one
    files = _pe_files(tmp_path)
    det = make_detector("ZozuvUza", seed=9)
    # The extra column reaches the run as Parquet's does: a run without links names it as unused.
    with pytest.warns(UnusedPEColumnsWarning, match="column weight is not used"):
        expected = vb.run(det, files["parquet"], block_channels=2, dark_rate=1e4, duration=1e-3, channels="0-9")
    with pytest.warns(UnusedPEColumnsWarning, match="column weight is not used"):
        records = vb.run(det, files[layout], block_channels=2, dark_rate=1e4, duration=1e-3, channels="0-9")
    assert len(records) > 0 and records.tobytes() == expected.tobytes()
    assert len(list(_pes.iter_pes(files[layout]))) == 3


@pytest.mark.parametrize("odd", [np.arange(4.0), np.float64(2.0), np.array([b"a"] * 7)],
                         ids=["other length", "scalar", "text"])
@pytest.mark.parametrize("weight", [True, False], ids=["with a column", "alone"])
def test_a_dataset_of_an_hdf5_group_that_is_no_column_is_refused_for_links(make_detector, tmp_path, odd, weight):
    """As the other arrays of a .npz archive: with links, every other dataset of
    the group must be a column of the table, one number per PE; without links
    nothing takes it and the run goes on."""
    path = tmp_path / "group.h5"
    with h5py.File(path, "w") as f:
        f["sim/channel"], f["sim/time"], f["sim/odd"] = PE_CHANNEL, PE_TIME, odd
        if weight:
            f["sim/weight"] = np.arange(7.0)
    det = make_detector("ZozuvUza", seed=9)
    with pytest.raises(ValueError, match=re.escape(f"{path}: group '/sim': the dataset 'odd' is no column of the PE "
                                                   "table to pass into the links: it must hold 7 numbers, one per "
                                                   "PE")):
        vb.run(det, path, truth="links", output=tmp_path / "r.parquet")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["group.h5"]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert len(vb.run(det, path)) > 0
    assert [str(w.message) for w in caught if w.category is UnusedPEColumnsWarning] == (
        ["the PE table's column weight is not used by this run; truth='links' (--truth links) passes them into the "
         "link of each record to its PEs"] if weight else [])


def test_the_pe_key_names_the_tree_or_table(tmp_path):
    root, hdf5 = tmp_path / "two.root", tmp_path / "two.h5"
    with uproot.recreate(root) as f:
        for name, channel in [("flash", [1, 2]), ("dark", [3, 3, 3])]:
            f.mktree(name, {"channel": np.int64, "time": np.float64})
            f[name].extend({"channel": np.array(channel), "time": np.ones(len(channel))})
    with h5py.File(hdf5, "w") as f:
        f["a/channel"], f["a/time"] = [1, 2], [1.0, 1.0]
        f["b"] = _structured({"channel": np.array([3, 3, 3]), "time": np.ones(3)})
    assert read_pes(root, key="dark").channel.tolist() == [3, 3, 3]
    assert read_pes(hdf5, key="a").channel.tolist() == [1, 2]
    assert read_pes(hdf5, key="/b").channel.tolist() == [3, 3, 3]
    for path, message in [(root, r"holds 2 trees \(dark, flash\); name the one with the PEs"),
                          (hdf5, r"holds 2 tables \(/a, /b\); name the one with the PEs")]:
        with pytest.raises(ValueError, match=message):
            read_pes(path)
    with pytest.raises(ValueError, match=r"no tree 'hits' \(trees there: dark, flash\)"):
        read_pes(root, key="hits")
    with pytest.raises(ValueError, match=r"no table 'hits' .*tables there: /a, /b"):
        read_pes(hdf5, key="hits")


BAD_PE_FILES = [
    ("p.root", lambda p: _root_tree(p, {"channel": np.arange(3), "t": np.ones(3)}, "pes"),
     r"tree 'pes' has no column 'time' \(found channel, t\)"),
    ("p.h5", lambda p: _hdf5_table(p, _structured({"ch": np.arange(3), "time": np.ones(3)}), "pes"),
     r"dataset '/pes' has no column 'channel' \(found ch, time\)"),
    ("p.root", lambda p: _root_tree(p, {"channel": np.arange(3), "time": np.ones((3, 2))}, "pes"),
     "column 'time' must hold one number per PE, got arrays of shape"),
    ("p.h5", lambda p: _hdf5_table(p, _structured({"channel": np.arange(3), "time": np.array([b"a", b"b", b"c"])})),
     "column 'time' must hold one number per PE, got other values"),
    ("p.h5", lambda p: _hdf5_table(p, _structured({"channel": np.full(3, 0.5), "time": np.ones(3)})),
     "PE channels must be integers, got 0.5 at row 0"),
    ("p.root", lambda p: _root_tree(p, {"channel": np.arange(3), "time": np.array([1.0, np.nan, 1.0])}, "pes"),
     "PE times must be finite, got nan at row 1"),
    ("p.h5", lambda p: _truncated(p, lambda q: _hdf5_table(q, _structured({"channel": np.arange(9999),
                                                                           "time": np.ones(9999)}))),
     "p.h5: not a readable HDF5 file"),
    ("p.root", lambda p: p.write_bytes(b"root" * 100), "p.root: not a readable ROOT file"),
    ("p.h5", lambda p: h5py.File(p, "w").close(), "p.h5: holds no tables; name the one with the PEs"),
]


@pytest.mark.parametrize("name, make, message", BAD_PE_FILES,
                         ids=["root missing column", "hdf5 missing column", "root arrays", "hdf5 strings",
                              "hdf5 fractional channels", "root nan time", "hdf5 truncated", "root garbage",
                              "hdf5 empty file"])
def test_bad_pe_files_are_one_line_errors(tmp_path, name, make, message):
    path = tmp_path / name
    make(path)
    for read in (read_pes, lambda p: list(_pes.iter_pes(p))):
        with pytest.raises(ValueError, match=message) as error:
            read(path)
        assert "\n" not in str(error.value) and str(error.value).startswith(str(path))


def test_a_pe_key_without_trees_to_name_is_refused(tmp_path, make_detector):
    path = tmp_path / "p.npz"
    np.savez(path, channel=[1], time=[1.0])
    with pytest.raises(ValueError, match="a PE key names a tree of a ROOT file or a table of an HDF5 file"):
        read_pes(path, key="pes")
    with pytest.raises(ValueError, match="pes_key names a tree or table of a PE file"):
        vb.run(make_detector("MultiPMT", seed=1), read_pes(path), pes_key="pes")
    result = CliRunner().invoke(main, ["run", str(ZOZUVUZA), "--dark-rate", "1e3", "--duration", "1e-4",
                                       "--channels", "0", "--pes-key", "pes", "-o", str(tmp_path / "o.parquet")])
    assert result.exit_code == 2 and "--pes-key names the tree or table of a --pes file" in result.output


# The optional libraries.


@pytest.mark.parametrize("suffix, module, extra", [(".root", "uproot", "velmora[root]"),
                                                   (".h5", "h5py", "velmora[hdf5]")])
def test_a_missing_library_names_its_extra(tmp_path, monkeypatch, suffix, module, extra):
    good = tmp_path / f"good{suffix}"
    write_blocks(good, "MultiPMT", [])
    monkeypatch.setitem(sys.modules, module, None)  # import fails as for a library not installed
    for attempt in (lambda: open_writer(tmp_path / f"new{suffix}", model="MultiPMT"),
                    lambda: read_records(good), lambda: read_metadata(good), lambda: read_pes(good)):
        with pytest.raises(MissingExtra, match=re.escape(f"pip install '{extra}'")):
            attempt()
    assert sorted(p.name for p in tmp_path.iterdir()) == [good.name]  # no temporary file left
    result = CliRunner().invoke(main, ["run", str(ZOZUVUZA), "--dark-rate", "1e3", "--duration", "1e-4",
                                       "--channels", "0", "-o", str(tmp_path / f"out{suffix}")])
    assert result.exit_code == 1 and f"pip install '{extra}'" in result.output
    assert "Traceback" not in result.output and result.output.count("\n") == 1


@pytest.mark.filterwarnings("default::velmora_batch._pes.UnusedPEColumnsWarning")
def test_the_command_line_reads_a_pe_tree_and_writes_hdf5(tmp_path):
    files = _pe_files(tmp_path)
    out = tmp_path / "out.h5"
    result = CliRunner().invoke(main, ["run", str(ZOZUVUZA), "--pes", str(files["root tree"]), "--pes-key", "pes",
                                       "--seed", "3", "-o", str(out)])
    assert result.exit_code == 0, result.output
    assert "Warning: the PE table's column weight is not used" in result.output
    expected = vb.run(vb.Detector.from_config(ZOZUVUZA), files["parquet"], seed=3)
    assert read_records(out).tobytes() == expected.tobytes()
    result = CliRunner().invoke(main, ["run", str(ZOZUVUZA), "--pes", str(files["root tree"]), "--pes-key", "nope",
                                       "-o", str(tmp_path / "x.parquet")])
    assert result.exit_code == 1 and "no tree 'nope' (trees there: pes)" in result.output
