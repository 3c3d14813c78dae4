"""The format registry: every registered record format keeps records bit for bit through its writer and each of
its readers; a format added by registration alone is written, read, converted and listed in messages without any
other module knowing it; the registry refuses formats that would make a name ambiguous."""

import numpy as np
import pytest
import velmora_batch as vb
from velmora_batch import formats
from velmora_batch._formats import open_record_pieces
from velmora_batch._records import open_writer, record_dtype
from velmora_batch.formats.npz import NpzFormat

from test_batch_records import METADATA, random_records, same_bits

RECORD_SUFFIXES = formats.suffixes(records=True)


def truth_records(model, n, rng):
    """Records of ``model`` with the truth columns, every field random."""
    plain = random_records(model, n, rng)
    out = np.zeros(n, record_dtype(model, 5, truth=True))
    for name in plain.dtype.names:
        out[name] = plain[name]
    out["n_pe"] = rng.integers(0, 9, n)
    out["true_charge"] = rng.random(n)
    return out


@pytest.mark.parametrize("suffix", RECORD_SUFFIXES)
@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_every_record_format_keeps_records_through_each_reader(tmp_path, suffix, model):
    records = np.sort(truth_records(model, 300, np.random.default_rng(11)), order="channel", kind="stable")
    path = tmp_path / f"r{suffix}"
    with open_writer(path, model=model, waveform_samples=5, metadata=METADATA, truth=True) as writer:
        writer.write(records[:120])
        writer.write(records[120:])
    same_bits(vb.read_records(path), records)
    assert vb.read_metadata(path) == METADATA
    with open_record_pieces(path) as pieces:
        same_bits(_joined(pieces, records.dtype), records)
    selected = vb.read_records(path, columns=["n_pe", "channel"], channels="3-40")
    keep = (records["channel"] >= 3) & (records["channel"] <= 40)
    assert selected["channel"].tolist() == records["channel"][keep].tolist()
    assert selected["n_pe"].tolist() == records["n_pe"][keep].tolist()


def _joined(pieces, dtype):
    out = np.empty(pieces.rows, dtype)
    lo = 0
    for piece in pieces:
        n = len(piece["channel"])
        for name, values in piece.items():
            out[name][lo:lo + n] = values
        lo += n
    assert lo == pieces.rows
    return out


class _Archive(NpzFormat):
    """A format of its own suffix, made of the NumPy archive's reader and writer."""

    name = "test archive"
    suffixes = (".vtest",)


@pytest.fixture
def with_archive(monkeypatch):
    monkeypatch.setattr(formats, "_FORMATS", list(formats.registered()))
    formats.register(_Archive())


def test_a_registered_format_needs_nothing_else(tmp_path, with_archive):
    rng = np.random.default_rng(2)
    records = random_records("MultiPMT", 50, rng)
    path = tmp_path / "r.vtest"
    with open_writer(path, model="MultiPMT", waveform_samples=5, metadata=METADATA) as writer:
        writer.write(records)
    same_bits(vb.read_records(path), records)
    assert vb.read_metadata(path) == METADATA
    vb.convert(path, tmp_path / "r.parquet")
    same_bits(vb.read_records(tmp_path / "r.parquet"), records)
    vb.convert(tmp_path / "r.parquet", tmp_path / "back.vtest")
    same_bits(vb.read_records(tmp_path / "back.vtest"), records)
    with open(tmp_path / "pes.vtest", "wb") as f:
        np.savez(f, channel=np.array([4, 2, 4]), time=np.array([1e-6, 2e-6, 3e-6]))
    assert sorted(vb.read_pes(tmp_path / "pes.vtest").channel.tolist()) == [2, 4, 4]
    with pytest.raises(ValueError, match=r"record files must end in .*\.hdf5 or \.vtest"):
        vb.read_records(tmp_path / "r.txt")
    with pytest.raises(ValueError, match=r"PE files must end in .*\.vtest"):
        vb.read_pes(tmp_path / "r.txt")


class _Named:
    def __init__(self, name, suffixes, directory=False, parts=False):
        self.name, self.suffixes, self.directory, self.parts = name, suffixes, directory, parts


@pytest.mark.parametrize("format, message", [
    (_Named("x", (".npz",)), r"\.npz belong to another format"),
    (_Named("x", ("vtest",)), "is no suffix"),
    (_Named("x", (".VTEST",)), "is no suffix"),
    (_Named("x", (".links.vtest",)), "is no suffix"),
    (_Named("x", (), directory=True), "role 'directory'"),
    (_Named("x", (".vtest",), parts=True), "role 'parts'"),
], ids=["taken", "no dot", "upper case", "two dots", "second directory format", "second parts format"])
def test_the_registry_refuses_ambiguous_formats(monkeypatch, format, message):
    monkeypatch.setattr(formats, "_FORMATS", list(formats.registered()))
    before = formats.registered()
    with pytest.raises(ValueError, match=message):
        formats.register(format)
    assert formats.registered() == before


@pytest.mark.parametrize("name, found", [
    ("r.parquet", "Parquet"), ("R.PARQUET", "Parquet"), ("r.npz", "NumPy .npz"), ("r.root", "ROOT"),
    ("r.h5", "HDF5"), ("r.hdf5", "HDF5"), ("r.csv", None), ("r.txt", None), ("r", None), ("r.links.parquet", "Parquet"),
])
def test_record_files_are_known_by_their_suffix(name, found):
    format = formats.record_format(name)
    assert (format.name if format is not None else None) == found


def test_a_directory_is_a_dataset_and_parts_are_parquet(tmp_path):
    assert formats.format_of(tmp_path).directory
    assert formats.format_of(tmp_path / "missing").__class__ is not formats.format_of(tmp_path).__class__
    assert formats.parts_format().suffixes == (".parquet",)


def test_a_dataset_reads_a_part_at_a_time_as_a_file_does(tmp_path):
    records = np.sort(truth_records("ZozuvUza", 200, np.random.default_rng(4)), order="channel", kind="stable")
    with open_writer(tmp_path / "r.parquet", model="ZozuvUza", waveform_samples=5, metadata=METADATA,
                     truth=True) as writer:
        writer.write(records)
    vb.convert(tmp_path / "r.parquet", tmp_path / "ds/")
    dataset = formats.format_of(tmp_path / "ds")
    with dataset.open_pieces(tmp_path / "ds") as pieces:
        same_bits(_joined(pieces, records.dtype), records)
    with pytest.raises(ValueError, match="not by a record writer"):
        dataset.open_writer(tmp_path / "ds", records.dtype, {}, False)


class _Broken(NpzFormat):
    """A format whose readers and writers hand back the wrong kind of object."""

    name = "broken archive"
    suffixes = (".vbroken",)

    def open_writer(self, path, dtype, metadata, overwrite):
        return object()

    def open_pieces(self, path):
        return object()

    def read_pes(self, path, key):
        return object()


@pytest.mark.parametrize(("action", "message"), [
    (lambda path: open_writer(path, model="MultiPMT", metadata=METADATA), "open_writer gave a object, not a record Writer"),
    (lambda path: open_record_pieces(path), "open_pieces gave a object, not RecordPieces"),
    (lambda path: vb.read_pes(path), "read_pes gave a object, not a PETable"),
])
def test_a_format_handing_back_the_wrong_object_is_named(tmp_path, monkeypatch, action, message):
    monkeypatch.setattr(formats, "_FORMATS", list(formats.registered()))
    formats.register(_Broken())
    with pytest.raises(TypeError, match="format broken archive: " + message):
        action(tmp_path / "x.vbroken")
