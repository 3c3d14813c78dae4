"""Converting records between record files and dataset directories: every
pair of formats keeps the records bit for bit and the run's description, a
dataset made by conversion passes every check a run's does, the work goes a
piece at a time, and refusals are one clean line."""

import re
from pathlib import Path

import numpy as np
import pyarrow.dataset as pads
import pyarrow.parquet as pq
import pytest
import uproot
import velmora_batch as vb
from click.testing import CliRunner
from velmora_batch import _convert, _formats, convert, read_metadata, read_records
from velmora_batch._dataset import MANIFEST, read_manifest, write_manifest
from velmora_batch._records import open_writer
from velmora_batch.cli import main

from test_batch_records import METADATA, random_records

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
TARGETS = ["t.parquet", "t.npz", "t.root", "t.h5", "dataset"]
BOOKKEEPING = {"format", "run", "complete", "rows", "blocks"}


@pytest.fixture(scope="module", params=["zozuvuza", "multipmt"])
def run_dataset(request, tmp_path_factory):
    """A run's dataset directory of several blocks, on an example detector."""
    directory = tmp_path_factory.mktemp("run") / "records"
    det = vb.Detector.from_config(EXAMPLES / request.param / "config.json")
    channels = np.r_[0:12, 20:24]
    flashes = vb.PETable(channel=np.repeat(channels, 90), time=np.tile(np.repeat([2e-6, 5e-6, 9e-6], 30), 16))
    vb.run(det, flashes, dark_rate=4e4, duration=2e-3, block_channels=5, output=directory, seed=6)
    return directory


@pytest.mark.parametrize("first", TARGETS)
@pytest.mark.parametrize("second", TARGETS)
def test_every_pair_of_formats_keeps_records_and_description(run_dataset, tmp_path, first, second):
    expected = read_records(run_dataset)
    description = {k: v for k, v in read_metadata(run_dataset).items() if k not in BOOKKEEPING}
    a, b = tmp_path / "a" / first, tmp_path / "b" / second
    a.parent.mkdir(), b.parent.mkdir()
    assert convert(run_dataset, a) == len(expected) > 0
    assert convert(a, b) == len(expected)
    run_keys = ["config", "seed", "seeding", "segment", "dark_rate", "duration", "model", "waveform_samples",
                "pes_sha256", "velmora_version"]
    for path in (a, b):
        assert read_records(path).tobytes() == expected.tobytes(), path
        stored = read_metadata(path)
        assert {k: stored[k] for k in run_keys} == {k: description[k] for k in run_keys}
        if path.is_dir():
            # A dataset made by conversion: the channels that hold records as its selection, its own blocks.
            assert stored["complete"] and stored["channels"]["count"] == len(np.unique(expected["channel"]))
        elif not a.is_dir():
            assert stored == description


def test_a_converted_dataset_has_parts_that_table_libraries_read(tmp_path, monkeypatch):
    monkeypatch.setattr(_convert, "_PART_ROWS", 40)
    rng = np.random.default_rng(4)
    records = random_records("ZozuvUza", 500, rng)
    records["channel"] = np.sort(rng.integers(0, 60, 500))
    source = tmp_path / "r.h5"
    with open_writer(source, model="ZozuvUza", waveform_samples=5, metadata=METADATA) as writer:
        writer.write(records)
    convert(source, tmp_path / "ds")
    manifest = read_manifest(tmp_path / "ds")
    assert len(manifest["blocks"]) > 5 and manifest["complete"]
    assert sum(b["rows"] for b in manifest["blocks"]) == 500
    assert sorted(p.name for p in (tmp_path / "ds").iterdir()) == sorted(
        [MANIFEST, *(b["file"] for b in manifest["blocks"])])
    assert read_records(tmp_path / "ds").tobytes() == records.tobytes()
    assert pads.dataset(tmp_path / "ds").to_table().num_rows == 500


def test_conversion_goes_a_piece_at_a_time(tmp_path, monkeypatch):
    monkeypatch.setattr(_formats, "_PIECE_BYTES", 2000)
    rng = np.random.default_rng(8)
    records = random_records("ZozuvUza", 3000, rng)
    source = tmp_path / "r.parquet"
    with open_writer(source, model="ZozuvUza", waveform_samples=5, metadata=METADATA) as writer:
        writer.write(records)  # one row group
    writes = []
    original = vb._records.Writer.write
    monkeypatch.setattr(vb._records.Writer, "write", lambda self, block: (writes.append(len(block["channel"])),
                                                                           original(self, block))[1])
    convert(source, tmp_path / "r.root")
    assert sum(writes) == 3000 and max(writes) <= 2000 // records.dtype.itemsize + 1
    assert uproot.open(tmp_path / "r.root")["records"]["channel"].num_baskets == len(writes)
    assert read_records(tmp_path / "r.root").tobytes() == records.tobytes()


@pytest.mark.parametrize("suffix", [".parquet", ".h5"])
def test_a_channel_read_over_many_pieces_is_counted_whole(tmp_path, monkeypatch, suffix):
    """Pieces of a few records and channels of hundreds: each channel's
    records are counted over every piece that holds them, so every block of
    the dataset's manifest holds the rows its part holds."""
    monkeypatch.setattr(_formats, "_PIECE_BYTES", 2000)
    monkeypatch.setattr(_convert, "_PART_ROWS", 700)
    rng = np.random.default_rng(3)
    records = random_records("ZozuvUza", 3000, rng)
    records["channel"] = np.repeat([2, 3, 7, 8, 9, 12], 500)
    source = tmp_path / f"r{suffix}"
    with open_writer(source, model="ZozuvUza", waveform_samples=5, metadata=METADATA) as writer:
        writer.write(records)
    assert 2000 // records.dtype.itemsize < 500  # a channel spans many pieces
    convert(source, tmp_path / "ds")
    manifest = read_manifest(tmp_path / "ds")
    assert manifest["complete"] and len(manifest["blocks"]) > 1
    for block in manifest["blocks"]:
        assert block["rows"] == pq.ParquetFile(tmp_path / "ds" / block["file"]).metadata.num_rows
    assert read_records(tmp_path / "ds").tobytes() == records.tobytes()
    assert CliRunner().invoke(main, ["info", str(tmp_path / "ds")]).exit_code == 0


def _records_file(path, metadata=METADATA, order=True):
    records = random_records("MultiPMT", 50, np.random.default_rng(2))
    if not order:
        records = records[::-1].copy()
    with open_writer(path, model="MultiPMT", metadata=metadata) as writer:
        for lo in range(0, 50, 10):  # each block in order, the blocks not
            writer._last_channel = -1
            writer.write(records[lo:lo + 10] if order else np.sort(records[lo:lo + 10], order="channel"))
    return path


@pytest.mark.parametrize("make, target, error, message", [
    (lambda d: _records_file(d / "s.parquet"), "s.parquet", ValueError, "is the source itself"),
    (lambda d: _records_file(d / "s.parquet"), "exists.h5", FileExistsError, "exists.h5: exists; overwrite it"),
    (lambda d: _records_file(d / "s.root", order=False), "ds", ValueError,
     "s.root: the records are not in channel order; a dataset directory holds them by blocks"),
    (lambda d: _records_file(d / "s.h5", metadata={"note": "hand-made"}), "ds", ValueError,
     "s.h5: its run description has no 'config', 'seed', 'seeding'"),
    (lambda d: d / "missing.parquet", "t.root", FileNotFoundError, "missing.parquet: no such file"),
    (lambda d: _records_file(d / "s.parquet"), "t.csv", ValueError, "record files must end in"),
    (lambda d: _records_file(d / "s.parquet"), "no/t.root", FileNotFoundError, "t.root: the directory .* does not"),
    (lambda d: _records_file(d / "s.parquet"), "no/ds", FileNotFoundError, "ds: the directory .* does not exist"),
], ids=["same file", "existing target", "unordered to dataset", "no description to dataset", "missing source",
        "unknown suffix", "no directory for a file", "no directory for a dataset"])
def test_refusals_name_the_fault(tmp_path, make, target, error, message):
    source = make(tmp_path)
    (tmp_path / "exists.h5").write_bytes(b"keep")
    with pytest.raises(error, match=message):
        convert(source, tmp_path / target)
    assert (tmp_path / "exists.h5").read_bytes() == b"keep"
    assert not (tmp_path / "t.root").exists() and not list(tmp_path.glob(".velmora-tmp-*"))
    result = CliRunner().invoke(main, ["convert", str(source), str(tmp_path / target)])
    errors = [line for line in result.output.splitlines() if line.startswith("Error: ")]
    assert result.exit_code != 0 and len(errors) == 1 and re.search(message, errors[0])
    assert "Traceback" not in result.output


def test_an_incomplete_dataset_is_refused(run_dataset, tmp_path):
    import shutil
    copy = tmp_path / "copy"
    shutil.copytree(run_dataset, copy)
    manifest = read_manifest(copy)
    schema = pq.read_schema(copy / MANIFEST)
    write_manifest(copy, dict(manifest, complete=False), schema)
    with pytest.raises(ValueError, match="has not finished; resume it first"):
        convert(copy, tmp_path / "t.parquet")
    write_manifest(copy, manifest, schema)
    part = copy / manifest["blocks"][1]["file"]
    part.write_bytes(part.read_bytes()[:-3] + b"xyz")
    with pytest.raises(ValueError, match="not the part its dataset's manifest lists"):
        convert(copy, tmp_path / "t.parquet")
    assert not (tmp_path / "t.parquet").exists()


def test_the_command_converts_and_overwrites_only_when_asked(run_dataset, tmp_path):
    out = tmp_path / "r.h5"
    result = CliRunner().invoke(main, ["convert", str(run_dataset), str(out)])
    rows = len(read_records(run_dataset))
    assert result.exit_code == 0 and result.output == f"{rows} records written to {out}\n"
    assert CliRunner().invoke(main, ["convert", str(run_dataset), str(out)]).exit_code == 1
    result = CliRunner().invoke(main, ["convert", str(run_dataset), str(out), "--overwrite"])
    assert result.exit_code == 0 and read_records(out).tobytes() == read_records(run_dataset).tobytes()
    directory = tmp_path / "ds"
    assert CliRunner().invoke(main, ["convert", str(out), str(directory)]).exit_code == 0
    result = CliRunner().invoke(main, ["convert", str(out), str(directory)])
    assert result.exit_code == 1 and "already holds a dataset; overwrite it (--overwrite" in result.output
    assert CliRunner().invoke(main, ["convert", str(out), str(directory), "--overwrite"]).exit_code == 0


@pytest.mark.parametrize("stored", ["file", "dataset"])
@pytest.mark.parametrize("target", ["t.parquet", "t.npz", "t.root", "t.h5"])
def test_records_in_time_order_convert_to_files_in_time_order(tmp_path, stored, target):
    det = vb.Detector.from_config(EXAMPLES / "multipmt" / "config.json")
    source = tmp_path / ("run.parquet" if stored == "file" else "run")
    vb.run(det, dark_rate=2e4, duration=1e-3, channels="0-9", block_channels=3, seed=3, order="time",
           output=source)
    expected = read_records(source)
    assert (np.diff(expected["time"]) >= 0).all() and (np.diff(expected["channel"]) != 0).any()
    assert convert(source, tmp_path / target) == len(expected)
    assert read_records(tmp_path / target).tobytes() == expected.tobytes()
    assert read_metadata(tmp_path / target)["order"] == "time"
