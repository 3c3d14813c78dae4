"""What record files survive: single flipped bits anywhere in a file of any
format are refused with a one-line error or change nothing read, files
written before checksums were stored still read, writing HDF5 onto a full
disk is a one-line error and a normal exit (never the library's crash at
exit), and the temporary files of `velmora events`."""

import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import h5py
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import uproot
from velmora_batch import read_metadata, read_records
from velmora_batch._formats import open_record_pieces
from velmora_batch._records import _arrow_schema, open_writer

from test_batch_records import METADATA, random_records, same_bits

ROOT = Path(__file__).resolve().parents[2]
MULTIPMT = ROOT / "examples" / "multipmt" / "config.json"
FORMATS = [".parquet", ".npz", ".root", ".h5"]


def written(path, model="ZozuvUza", metadata=METADATA, sizes=(60, 1, 90)):
    """A record file of random records in three blocks; its records."""
    rng = np.random.default_rng(3)
    blocks = [random_records(model, n, rng, first_channel=10 * i, waveform_samples=8) for i, n in enumerate(sizes)]
    with open_writer(path, model=model, waveform_samples=8, metadata=metadata) as writer:
        for block in blocks:
            writer.write(block)
    return np.concatenate(blocks)


def everything_read(path):
    """The records and run description of ``path`` as each reader gives
    them: whole, and in the pieces that convert and events stream."""
    with open_record_pieces(path) as pieces:
        streamed = [columns for columns in pieces]
    return read_records(path), read_metadata(path), streamed


@pytest.mark.parametrize("suffix", FORMATS)
def test_a_flipped_bit_is_refused_or_changes_nothing(tmp_path, suffix):
    path = tmp_path / f"r{suffix}"
    records = written(path)
    good = path.read_bytes()
    want_records, want_metadata, want_pieces = everything_read(path)
    same_bits(want_records, records)
    refused, unchanged, changed = 0, 0, []
    for position in range(0, len(good), max(1, len(good) // 150)):
        damaged = bytearray(good)
        damaged[position] ^= 1 << (position % 8)
        path.write_bytes(bytes(damaged))
        try:
            got_records, got_metadata, got_pieces = everything_read(path)
        except ValueError as e:
            message = str(e)
            assert str(path) in message and "\n" not in message and "Traceback" not in message, message
            refused += 1
            continue
        same = (got_records.tobytes() == want_records.tobytes() and got_metadata == want_metadata
                and all(a[n].tobytes() == b[n].tobytes() for a, b in zip(got_pieces, want_pieces, strict=True)
                        for n in a))
        if same:
            unchanged += 1
        else:
            changed.append(position)
    assert changed == [], f"{len(changed)} flips read back as other values, at bytes {changed[:10]}"
    assert refused > 0 and unchanged + refused + len(changed) > 100


def legacy_file(path, records, metadata):
    """``records`` as a file written before checksums were stored: no page
    checksums, metadata digest, ROOT checksums object or HDF5 Fletcher-32."""
    text = json.dumps(metadata)
    names = records.dtype.names
    if path.suffix == ".parquet":
        schema = _arrow_schema(records.dtype, metadata, "ZozuvUza").with_metadata({b"velmora": text.encode()})
        arrays = [pa.FixedSizeListArray.from_arrays(pa.array(records[n].reshape(-1)), type=schema.field(n).type)
                  if records[n].ndim == 2 else pa.array(records[n]) for n in names]
        pq.write_table(pa.Table.from_arrays(arrays, schema=schema), path)
    elif path.suffix == ".root":
        with uproot.recreate(path) as file:
            file["metadata"] = text
            tree = file.mktree("records", {n: np.dtype((records.dtype[n].base, records.dtype[n].shape)) for n in names})
            tree.extend({n: np.ascontiguousarray(records[n]) for n in names})
    else:
        with h5py.File(path, "w") as file:
            data = file.create_dataset("records", data=records, chunks=True, compression="gzip")
            data.attrs["velmora"] = text


@pytest.mark.parametrize("suffix", [".parquet", ".root", ".h5"])
def test_files_written_before_checksums_still_read(tmp_path, suffix):
    records = random_records("ZozuvUza", 50, np.random.default_rng(4), waveform_samples=8)
    path = tmp_path / f"old{suffix}"
    legacy_file(path, records, METADATA)
    got_records, got_metadata, pieces = everything_read(path)
    same_bits(got_records, records)
    assert got_metadata == METADATA and sum(len(p["channel"]) for p in pieces) == 50


@pytest.mark.parametrize("suffix", [".parquet", ".root", ".h5"])
def test_checksums_are_stored(tmp_path, suffix):
    """Each format's checksums are there, in the form its readers (and other
    tools) look for."""
    path = tmp_path / f"r{suffix}"
    written(path)
    if suffix == ".parquet":  # the pages' CRC-32 sit in their headers, which pyarrow does not show
        stored = pq.read_schema(path).metadata
        assert len(stored[b"velmora.sha256"]) == 64
    elif suffix == ".root":
        with uproot.open(path) as file:
            sums = json.loads(file["checksums"])
        assert sums["metadata"] and set(sums["columns"]) == set(read_records(path).dtype.names)
    else:
        with h5py.File(path) as file:
            assert file["records"].fletcher32 and len(file["records"].attrs["velmora.sha256"]) == 64


# A full disk.


@pytest.fixture
def full_disk(tmp_path):
    """A directory on a file system of 256 KiB (a tmpfs, which only root can
    mount: skipped elsewhere)."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    mount = tmp_path / "full"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        yield mount
    finally:
        subprocess.run(["umount", str(mount)], check=True)


def velmora(*args):
    return subprocess.run([sys.executable, "-m", "velmora_batch.cli", *map(str, args)], capture_output=True,
                          text=True, timeout=300)


@pytest.mark.parametrize("command", ["run", "convert"])
@pytest.mark.parametrize("suffix", [".h5", ".parquet", ".root", ".npz"])
def test_a_full_disk_is_a_one_line_error(tmp_path, full_disk, command, suffix):
    """HDF5 used to print "Can't close file" and die of a segmentation fault
    at exit; every format now gives one line and status 1, leaving nothing."""
    run = ["run", MULTIPMT, "--dark-rate", "1e5", "--duration", "1e-2", "--channels", "0-99"]
    out = full_disk / f"r{suffix}"
    if command == "run":
        result = velmora(*run, "-o", out)
    else:
        source = tmp_path / "big.parquet"
        assert velmora(*run, "-o", source).returncode == 0
        assert source.stat().st_size > 1 << 20
        result = velmora("convert", source, out)
    assert result.returncode == 1, result.stderr
    assert result.stderr.startswith("Error: ") and "No space left on device" in result.stderr, result.stderr
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert list(full_disk.iterdir()) == []


FAILING_WRITES = """
import errno, sys
from pathlib import Path
import numpy as np
import velmora_batch.formats.hdf5 as formats
from velmora_batch import read_records
from velmora_batch._records import open_writer
sys.path.insert(0, sys.argv[2])
from test_batch_records import random_records

class Budget:
    # The file system holds ``left`` more bytes, then every write fails.
    def __init__(self, raw, left):
        self.raw, self.left = raw, left
    def write(self, data):
        if len(data) > self.left:
            raise OSError(errno.ENOSPC, "No space left on device")
        self.left -= len(data)
        return self.raw.write(data)
    def __getattr__(self, name):
        return getattr(self.raw, name)

records = random_records("ZozuvUza", 3000, np.random.default_rng(2), waveform_samples=64)
out = Path(sys.argv[1])
outcomes = []
for left in map(int, sys.argv[3:]):
    guarded = formats._GuardedFile
    class Limited(guarded):
        def __init__(self, path):
            super().__init__(path)
            self._raw = Budget(self._raw, left)
    formats._GuardedFile = Limited
    try:
        with open_writer(out / "r.h5", model="ZozuvUza", waveform_samples=64) as writer:
            for lo in range(0, len(records), 700):
                writer.write(records[lo : lo + 700])
        outcomes.append("written" if read_records(out / "r.h5").tobytes() == records.tobytes() else "wrong")
        (out / "r.h5").unlink()
    except OSError as e:
        outcomes.append(f"{e.errno} {e.filename}")
    formats._GuardedFile = guarded
    assert sorted(p.name for p in out.iterdir()) == [], list(out.iterdir())
print("|".join(outcomes))
"""


def test_hdf5_writes_failing_at_any_point_are_errors_and_the_process_exits_normally(tmp_path):
    """The disk filling at any write of an HDF5 record file (data, metadata,
    or at close), without the root a real full disk needs here."""
    size = len(written(tmp_path / "size.h5", sizes=(3000,)).tobytes())  # an upper bound of the file's size
    (tmp_path / "size.h5").unlink()
    budgets = [0, 100, 2000, 5000, *range(20_000, size, size // 25), 10 * size]
    out = tmp_path / "out"
    out.mkdir()
    result = subprocess.run([sys.executable, "-c", FAILING_WRITES, str(out), str(Path(__file__).parent),
                             *map(str, budgets)], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    outcomes = result.stdout.strip().split("|")
    assert outcomes[-1] == "written"
    assert set(outcomes[:-1]) == {f"28 {out / 'r.h5'}"}


# The outputs of `velmora events`.


@pytest.fixture
def run_file(tmp_path):
    """A MultiPMT record file of a short run of dark noise."""
    path = tmp_path / "run.parquet"
    result = velmora("run", MULTIPMT, "--dark-rate", "1e5", "--duration", "1e-3", "--channels", "0-19", "-o", path)
    assert result.returncode == 0, result.stderr
    return path


def events(*args):
    from click.testing import CliRunner
    from velmora_batch.cli import main
    return CliRunner().invoke(main, ["events", *map(str, args), "--multiplicity", "2", "--window", "1e-6"])


def names_in(directory):
    return sorted(p.name for p in directory.iterdir())


@pytest.mark.parametrize("records_out", ["r.csv", "missing/r.parquet", "sub"], ids=["suffix", "no directory",
                                                                                      "a directory"])
def test_events_refused_outputs_leave_nothing(run_file, records_out):
    directory = run_file.parent
    (directory / "sub").mkdir()
    before = names_in(directory)
    result = events(run_file, "-o", directory / "e.parquet", "--records-out", directory / records_out)
    assert result.exit_code == 1 and len(result.output.splitlines()) == 1, result.output
    assert records_out.split("/")[0] in result.output
    assert names_in(directory) == before


def test_events_removes_what_a_killed_events_run_left(run_file):
    from velmora_batch._publish import temp_prefix
    directory = run_file.parent
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    prefix = temp_prefix("e.parquet").replace(f"-{os.getpid()}-", f"-{child.pid}-")
    leftovers = [directory / f"{prefix}{child.pid}.part", directory / f"{prefix.replace('e.parquet', 'w.parquet')}ab.part"]
    for leftover in leftovers:
        leftover.write_bytes(b"x")
    result = events(run_file, "-o", directory / "e.parquet", "--records-out", directory / "w.parquet")
    assert result.exit_code == 0, result.output
    assert names_in(directory) == ["e.parquet", "run.parquet", "w.parquet"]


def test_events_failing_writes_leave_nothing_even_where_closing_fails_again(run_file, monkeypatch):
    """A full disk: the write fails, and closing the writer, which flushes
    what it holds, fails again; the temporary files go all the same."""
    import errno
    import types
    from velmora_batch import _events

    class Full(pq.ParquetWriter):
        def write_batch(self, *args, **kwargs):
            raise OSError(errno.ENOSPC, "No space left on device")

        def close(self):
            if not hasattr(self, "failed"):  # the first time; then as it is, when the writer is collected
                self.failed = True
                self.write_batch()
            super().close()

    monkeypatch.setattr(_events, "pq", types.SimpleNamespace(ParquetWriter=Full))
    directory = run_file.parent
    result = events(run_file, "-o", directory / "e.parquet", "--records-out", directory / "w.parquet")
    assert result.exit_code == 1 and "No space left on device" in result.output, result.output
    assert names_in(directory) == ["run.parquet"]


def test_events_on_a_full_disk_leave_nothing(run_file, full_disk):
    big = velmora("run", MULTIPMT, "--dark-rate", "1e5", "--duration", "1e-2", "--channels", "0-99", "-o",
                  run_file.parent / "big.parquet")
    assert big.returncode == 0, big.stderr
    result = velmora("events", run_file.parent / "big.parquet", "-o", full_disk / "e.parquet", "--records-out",
                     full_disk / "w.parquet", "--multiplicity", "2", "--window", "1e-6")
    assert result.returncode == 1 and "No space left on device" in result.stderr, result.stderr
    assert list(full_disk.iterdir()) == []


@pytest.mark.parametrize("same", ["e.parquet", "./sub/../e.parquet", "link.parquet"],
                         ids=["same name", "another path", "a symbolic link"])
@pytest.mark.parametrize("overwrite", [[], ["--overwrite"]], ids=["new", "overwrite"])
def test_events_refuses_one_file_for_both_outputs(run_file, same, overwrite):
    directory = run_file.parent
    (directory / "sub").mkdir()
    (directory / "link.parquet").symlink_to(directory / "e.parquet")
    if overwrite:
        (directory / "e.parquet").write_bytes(b"an earlier event table")
    before = names_in(directory)
    result = events(run_file, "-o", directory / "e.parquet", "--records-out", directory / same, *overwrite)
    assert result.exit_code == 1 and len(result.output.splitlines()) == 1, result.output
    assert "same file" in result.output
    assert names_in(directory) == before


# `velmora info` of a damaged dataset.


def truncate(parts):
    parts[1].write_bytes(parts[1].read_bytes()[:3000])
    return [(parts[1], "unreadable .*")]


def swap(parts):
    first, second = parts[0].read_bytes(), parts[1].read_bytes()
    parts[0].write_bytes(second)
    parts[1].write_bytes(first)
    return [(parts[0], "it holds the block of channels 2-3, the manifest's entry is 0-1"), (parts[1], ".*")]


def flip(parts):
    data = bytearray(parts[2].read_bytes())
    data[len(data) // 3] ^= 0x10
    parts[2].write_bytes(bytes(data))
    return [(parts[2], r"its contents changed since it was written \(its SHA-256 is not the manifest's\)")]


@pytest.mark.parametrize("damage", [truncate, swap, flip])
def test_info_of_a_damaged_dataset_is_one_line_naming_the_part(tmp_path, damage):
    from click.testing import CliRunner
    from velmora_batch.cli import main
    out = tmp_path / "d"
    result = velmora("run", MULTIPMT, "--dark-rate", "1e5", "--duration", "1e-3", "--channels", "0-5",
                     "--block-channels", "2", "-o", f"{out}/")
    assert result.returncode == 0, result.stderr
    damaged = damage(sorted(out.glob("part-*.parquet")))
    result = CliRunner().invoke(main, ["info", str(out)])
    assert result.exit_code == 1 and len(result.output.splitlines()) == 1, result.output
    (part, why), *others = damaged
    others_named = f" \\(and 1 other part not as written: {others[0][0].name}\\)" if others else ""
    assert re.fullmatch(f"Error: {re.escape(str(part))}: {why}{others_named}\n", result.output), result.output


@pytest.mark.parametrize("suffix", [".parquet", ".h5", ".root"])
def test_a_flipped_bit_in_links_is_refused_or_changes_nothing(tmp_path, suffix):
    """Links beside a Parquet file carry page checksums, links inside an
    HDF5 file chunk checksums, as the records do."""
    import velmora_batch as vb
    out = tmp_path / f"r{suffix}"
    result = velmora("run", MULTIPMT, "--dark-rate", "1e5", "--duration", "1e-4", "--channels", "0-9", "--truth",
                     "links", "-o", out)
    assert result.returncode == 0, result.stderr
    path = next(p for p in tmp_path.iterdir() if p.name.endswith(".links.parquet")) if suffix == ".parquet" else out
    want = vb.read_links(out)
    assert want.num_rows > 0
    good = path.read_bytes()
    changed = []
    for position in range(0, len(good), max(1, len(good) // 120)):
        damaged = bytearray(good)
        damaged[position] ^= 1 << (position % 8)
        path.write_bytes(bytes(damaged))
        try:
            got = vb.read_links(out)
        except (ValueError, OSError) as e:  # a links file damaged in its footer may no longer be known as one
            assert "\n" not in str(e)
            continue
        if not got.equals(want):
            changed.append(position)
    assert changed == [], f"{len(changed)} flips read back as other links, at bytes {changed[:10]}"
