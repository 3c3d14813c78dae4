"""Record files: exact round trips through Parquet and .npz, the Parquet
layout, the stored run description, no complete-looking file from a run
that did not finish, one-line errors for files that are not records, no
file overwritten unasked, and the temporary files of stopped runs."""

import gc
import json
import os
import signal
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import velmora_batch as vb
from velmora_batch import read_metadata, read_records
from velmora_batch._records import open_writer, record_dtype

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
        if out[name].dtype.kind == "b":  # a bool holds 0 or 1, not any byte
            out[name] = out[name].view(np.uint8) % 2 == 1
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


@pytest.mark.parametrize("suffix", [".parquet", ".npz", ".links.parquet"])
def test_ctrl_c_just_after_the_temporary_file_is_made_leaves_nothing(tmp_path, monkeypatch, suffix):
    # The interrupt arrives the moment the temporary file exists, before the
    # writer could register its removal: it must still be removed.
    import tempfile

    import velmora_batch._publish as publishing

    make = tempfile.mkstemp

    def make_then_interrupt(*args, **kwargs):
        made = make(*args, **kwargs)
        signal.raise_signal(signal.SIGINT)
        return made

    monkeypatch.setattr(publishing.tempfile, "mkstemp", make_then_interrupt)
    path = tmp_path / f"records{suffix}"
    with pytest.raises(KeyboardInterrupt):
        if suffix == ".links.parquet":
            from velmora_batch._links import LinksWriter
            LinksWriter(path, pa.schema([("record", pa.int64())]), {})
        else:
            open_writer(path, model="ZozuvUza", waveform_samples=32, metadata=METADATA)
    monkeypatch.undo()
    gc.collect()
    assert os.listdir(tmp_path) == []


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
                            "waveform", "n_saturated", "adc_index"]
    assert [schema.field(n).type for n in schema.names] == [
        pa.int32(), pa.int64(), pa.uint32(), pa.uint32(), pa.float32(), pa.float32(),
        pa.list_(pa.field("element", pa.uint16(), nullable=False), 32),  # no sample and no row is ever null
        pa.uint16(), pa.int64()]
    assert not any(schema.field(n).nullable for n in schema.names)
    # One row group per block: the writer never holds more than one block.
    assert pq.ParquetFile(path).metadata.num_row_groups == 3
    table = pq.read_table(path)
    assert table.column("waveform")[5].as_py() == read_records(path)["waveform"][5].tolist()


def test_multipmt_columns(tmp_path):
    assert record_dtype("MultiPMT").names == ("time", "channel", "time_over_threshold", "adc_sample", "tdc_count",
                                              "adc_saturated")
    path = tmp_path / "hits.parquet"
    with open_writer(path, model="MultiPMT", metadata={}) as writer:
        writer.write(random_records("MultiPMT", 3, np.random.default_rng(5)))
    assert [f.type for f in pq.read_schema(path)] == [pa.float64(), pa.int32(), pa.float64(), pa.uint16(),
                                                      pa.int64(), pa.bool_()]
    # A bool column reads back (Arrow packs it in bits).
    back = read_records(path)
    np.testing.assert_array_equal(back["adc_saturated"], random_records("MultiPMT", 3, np.random.default_rng(5))[
        "adc_saturated"])


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
    with pytest.raises(ValueError, match="must end in .parquet, .npz, .root, .h5 or .hdf5"):
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


# Files that are not velmora record files, or damaged ones: one line naming the file.


def npz_records(path, metadata="{}", **changes):
    dtype = record_dtype("MultiPMT")
    columns = {n: np.zeros(3, dtype[n]) for n in dtype.names}
    columns.update(changes)
    np.savez(path, metadata=np.array(metadata), **columns)


def write_bad_file(path, kind):
    if kind == "npy named npz":
        with open(path, "wb") as f:
            np.save(f, np.arange(3))
    elif kind == "empty":
        path.write_bytes(b"")
    elif kind == "truncated":
        npz_records(path)
        path.write_bytes(path.read_bytes()[:200])
    elif kind == "array header damaged":
        # A sound archive whose arrays have headers (Python literals) that do not parse.
        npz_records(path)
        with zipfile.ZipFile(path) as archive:
            members = {name: archive.read(name) for name in archive.namelist()}
        with zipfile.ZipFile(path, "w") as archive:
            for name, data in members.items():
                at = data.index(b"{") + 1
                archive.writestr(name, data[:at] + b"\0" + data[at + 1:])
    elif kind == "metadata not JSON":
        npz_records(path, metadata="{not json")
    elif kind == "columns of other lengths":
        npz_records(path, channel=np.zeros(5, np.int32))
    elif kind == "duplicate column":
        table = pa.Table.from_arrays([pa.array([1.0]), pa.array([1], pa.int32()), pa.array([1.0]),
                                      pa.array([1], pa.uint16()), pa.array([2], pa.uint16())],
                                     names=["time", "channel", "time_over_threshold", "adc_sample", "adc_sample"])
        pq.write_table(table, path)
    elif kind == "garbage":
        path.write_bytes(b"PAR1" + bytes(range(256)) * 4)
    elif kind == "text":
        path.write_text("channel,time\n0,1e-6\n")


BAD_FILES = [  # file, what is wrong with it, what reads it, what the message says
    ("x.npz", "npy named npz", read_records, "not a .npz archive"),
    ("x.npz", "npy named npz", read_metadata, "not a .npz archive"),
    ("x.npz", "empty", read_records, "cannot read it"),
    ("x.npz", "empty", read_metadata, "cannot read it"),
    ("x.npz", "truncated", read_records, "cannot read it"),
    ("x.npz", "truncated", read_metadata, "cannot read it"),
    ("x.npz", "array header damaged", read_records, "cannot read it"),
    ("x.npz", "array header damaged", read_metadata, "cannot read it"),
    ("x.npz", "text", read_records, "not a zip archive of arrays (a file written by numpy.savez)"),
    ("x.npz", "text", read_metadata, "not a zip archive of arrays (a file written by numpy.savez)"),
    ("x.npz", "metadata not JSON", read_metadata, "metadata is not valid JSON"),
    ("x.npz", "columns of other lengths", read_records, "not a velmora record file: column 'time' has shape"),
    ("x.parquet", "duplicate column", read_records, "not a velmora record file: columns time, channel, "
                                                    "time_over_threshold, adc_sample, adc_sample"),
    ("x.parquet", "duplicate column", read_metadata, "no velmora metadata"),
    ("x.parquet", "empty", read_records, ""),
    ("x.parquet", "empty", read_metadata, ""),
    ("x.parquet", "garbage", read_records, ""),
    ("x.parquet", "garbage", read_metadata, ""),
]


@pytest.mark.parametrize("name, kind, reader, message", BAD_FILES,
                         ids=[f"{n[2:]} {k} {r.__name__}" for n, k, r, _ in BAD_FILES])
def test_a_bad_file_is_a_one_line_error_naming_it(tmp_path, name, kind, reader, message):
    path = tmp_path / name
    write_bad_file(path, kind)
    with pytest.raises(ValueError) as e:
        reader(path)
    text = str(e.value)
    assert text.startswith(f"{path}: ") and message in text and "\n" not in text
    assert "pickle" not in text  # no advice to load a file unsafely


# Writing a record file: never over an existing one unless asked, and the
# temporary files of killed runs.


@pytest.fixture
def detector(make_detector):
    return make_detector("MultiPMT", seed=1)


DARK = dict(dark_rate=1e5, duration=1e-3, channels=range(6), seed=3)


@pytest.mark.parametrize("executor", [False, True], ids=["threads", "executor"])
@pytest.mark.parametrize("suffix", [".parquet", ".npz"])
def test_an_existing_record_file_is_kept_unless_overwrite(detector, tmp_path, suffix, executor):
    from concurrent.futures import ThreadPoolExecutor

    path = tmp_path / f"r{suffix}"
    path.write_bytes(b"an earlier run")
    with ThreadPoolExecutor(2) as pool:
        run = dict(DARK, output=path, executor=pool if executor else None)
        with pytest.raises(FileExistsError, match=r"r\.(parquet|npz): exists; overwrite it \(--overwrite"):
            vb.run(detector, **run)
        assert path.read_bytes() == b"an earlier run"
        vb.run(detector, overwrite=True, **run)
    assert read_records(path).tobytes() == vb.run(detector, **DARK).tobytes()


@pytest.mark.parametrize("output", ["", "  ", ".parquet", "out/.NPZ"])
def test_outputs_that_name_nothing_are_refused(detector, tmp_path, monkeypatch, output):
    from click.testing import CliRunner
    from velmora_batch.cli import main

    monkeypatch.chdir(tmp_path)
    (tmp_path / "out").mkdir()
    with pytest.raises(ValueError, match="output"):
        vb.run(detector, output=output, **DARK)
    config = tmp_path / "det.json"
    config.write_text(json.dumps(detector.config()))
    result = CliRunner().invoke(main, ["run", str(config), "--dark-rate", "1e3", "--duration", "1", "--channels",
                                       "0", "-o", output])
    assert result.exit_code == 2 and "Option '-o' / '--output'" in result.output
    assert sorted(p.name for p in tmp_path.iterdir()) == ["det.json", "out"] and not any((tmp_path / "out").iterdir())


@pytest.mark.parametrize("output", ["/", "//", "/.", "/tmp/.."])
def test_the_root_directory_is_no_output(output):
    from velmora_batch._records import check_output

    with pytest.raises(ValueError, match="the root directory cannot hold a dataset"):
        check_output(output)


@pytest.mark.parametrize("output", ["x" * 250 + ".parquet", "x" * 208 + ".npz", "x" * 240 + "/",
                                    "\u00e9" * 110 + ".parquet", "a/" * 2100 + "x.parquet"],
                         ids=["record-file", "just-too-long", "dataset", "two-byte-letters", "path-too-long"])
def test_output_names_too_long_for_the_file_system_are_one_line_errors(detector, tmp_path, output):
    from click.testing import CliRunner
    from velmora_batch.cli import main

    config = tmp_path / "det.json"
    config.write_text(json.dumps(detector.config()))
    result = CliRunner().invoke(main, ["run", str(config), "--dark-rate", "1e3", "--duration", "1e-3", "--channels",
                                       "0-1", "--seed", "1", "-o", str(tmp_path / output)])
    assert result.exit_code in (1, 2) and "Error: " in result.output and "Traceback" not in result.output
    assert "too long" in result.output, result.output
    assert sorted(p.name for p in tmp_path.iterdir()) == ["det.json"]


def test_the_longest_output_name_that_leaves_room_is_written(detector, tmp_path):
    from velmora_batch._records import _NAME_MAX, _TEMP_DECORATION

    output = tmp_path / ("x" * (_NAME_MAX - _TEMP_DECORATION - len(".parquet")) + ".parquet")
    vb.run(detector, output=output, **DARK)
    assert len(read_records(output)) == len(vb.run(detector, **DARK))


def test_the_command_line_overwrites_only_when_asked(detector, tmp_path):
    from click.testing import CliRunner
    from velmora_batch.cli import main

    config = tmp_path / "det.json"
    config.write_text(json.dumps(detector.config()))
    args = ["run", str(config), "--dark-rate", "1e5", "--duration", "1e-3", "--channels", "0-5", "--seed", "3"]
    for output in (tmp_path / "r.parquet", tmp_path / "d"):
        assert CliRunner().invoke(main, [*args, "-o", str(output)]).exit_code == 0
        result = CliRunner().invoke(main, [*args, "--seed", "4", "-o", str(output)])
        assert result.exit_code == 1 and "--overwrite" in result.output
        assert read_metadata(output)["seed"] == 3
        result = CliRunner().invoke(main, [*args, "--seed", "4", "--overwrite", "-o", str(output)])
        assert result.exit_code == 0, result.output
        assert read_records(output).tobytes() == vb.run(detector, **dict(DARK, seed=4)).tobytes()
    result = CliRunner().invoke(main, [*args, "--overwrite", "--resume", "-o", str(tmp_path / "d")])
    assert result.exit_code == 2 and "not both" in result.output
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL  # the command's own handler is gone


def dead_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


def test_only_the_stale_temporary_files_of_the_output_are_removed(detector, tmp_path):
    from velmora_batch._publish import host_tag

    here, dead = host_tag(), dead_pid()
    stale = tmp_path / f".velmora-tmp-{dead}-{here}-r.parquet-abc_12.part"
    kept = [
        tmp_path / f".velmora-tmp-{os.getpid()}-{here}-r.parquet-abc_12.part",  # a writer still running
        tmp_path / f".velmora-tmp-{dead}-{host_tag('elsewhere')}-r.parquet-abc_12.part",  # another host's
        tmp_path / f".velmora-tmp-{dead}-{here}-other.parquet-abc_12.part",  # another output's
        tmp_path / ".r.parquet.abc_12.part",  # not named by velmora
        tmp_path / ".notes.part",
    ]
    for f in (stale, *kept):
        f.write_bytes(b"x")
    vb.run(detector, output=tmp_path / "r.parquet", **DARK)
    assert not stale.exists() and all(f.exists() for f in kept)


def thread_states(pid: int) -> list[str]:
    states = []
    for stat in Path(f"/proc/{pid}/task").glob("*/stat"):
        try:
            text = stat.read_text()
        except OSError:  # a thread that ended meanwhile
            continue
        states.append(text[text.rfind(")") + 2])
    return states


def signal_while(process: subprocess.Popen, condition, signum: int, timeout: float = 300) -> None:
    """Sends ``signum`` to ``process`` at a moment when ``condition()`` holds.
    The process is frozen (SIGSTOP) to check the condition, so that it cannot
    change between the check and the signal however loaded the machine is."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and process.poll() is None:
        if condition():
            process.send_signal(signal.SIGSTOP)
            while not all(state in "TZX" for state in thread_states(process.pid)):
                time.sleep(0.001)  # every thread of it has stopped
            if condition():
                process.send_signal(signum)
                process.send_signal(signal.SIGCONT)
                return
            process.send_signal(signal.SIGCONT)
        time.sleep(0.005)
    process.kill()
    raise AssertionError(f"the process ended, or {timeout} s passed, before it could be stopped as wanted: "
                         f"{process.communicate()[1][-2000:]}")


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGKILL], ids=["SIGTERM", "SIGKILL"])
@pytest.mark.parametrize("output", ["r.parquet", "d"], ids=["record file", "dataset"])
def test_a_stopped_run_leaves_nothing_behind(detector, tmp_path, signum, output):
    """SIGTERM stops the command as Ctrl-C does, cleaning up after itself;
    what a SIGKILL leaves, the next run of the same output removes."""
    from click.testing import CliRunner
    from velmora_batch.cli import main

    config = tmp_path / "det.json"
    config.write_text(json.dumps(detector.config()))
    out = tmp_path / output
    where = tmp_path if output == "r.parquet" else out
    args = ["run", str(config), "--duration", "1", "--block-channels", "10", "--workers", "1", "--seed", "3",
            "-o", str(out)]
    process = subprocess.Popen([sys.executable, "-m", "velmora_batch.cli", *args, "--dark-rate", "1e5",
                                "--channels", "0-9999"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # Stopped while it writes its records: the record file's temporary file,
    # or one of a dataset's parts (which exist only once its manifest does).
    pattern = f".velmora-tmp-*-{'r.parquet' if output == 'r.parquet' else '_part-'}*.part"
    signal_while(process, lambda: where.is_dir() and bool(list(where.glob(pattern))), signum)
    _, stderr = process.communicate(timeout=120)
    assert process.returncode != 0 and "Traceback" not in stderr
    left = sorted(p.name for p in where.iterdir() if p.name != "det.json" and not p.name.startswith("_part-"))
    if signum == signal.SIGTERM:
        assert left == ([] if output == "r.parquet" else ["_manifest.parquet"]), left
        return
    assert any(name.startswith(".velmora-tmp-") for name in left), left
    # The next run of the same output cleans up (a dataset: once it has claimed the directory).
    result = CliRunner().invoke(main, [*args, "--dark-rate", "1e3", "--channels", "0-19", "--overwrite"])
    assert result.exit_code == 0, result.output
    assert not list(where.glob(".velmora-tmp-*")) and not list(where.glob("_velmora.lock"))


@pytest.mark.parametrize("output", ["r.parquet", "d"], ids=["record file", "dataset"])
def test_a_killed_run_s_split_pe_file_is_removed_by_the_next_run(detector, tmp_path, output):
    """A run reading a PE file splits it by block into a directory next to
    the output; what a SIGKILL leaves there, the next run of the same output
    removes, and nothing that is not its own stale split."""
    from click.testing import CliRunner
    from velmora_batch._publish import host_tag
    from velmora_batch.cli import main

    config = tmp_path / "det.json"
    config.write_text(json.dumps(detector.config()))
    pes = tmp_path / "pes.parquet"
    rng = np.random.default_rng(1)
    pq.write_table(pa.table({"channel": rng.integers(0, 10000, 5000).astype(np.int32),
                             "time": rng.uniform(0, 1e-3, 5000)}), pes)
    out = tmp_path / output
    args = ["run", str(config), "--pes", str(pes), "--duration", "1", "--block-channels", "10", "--workers", "1",
            "--seed", "3", "-o", str(out)]
    process = subprocess.Popen([sys.executable, "-m", "velmora_batch.cli", *args, "--dark-rate", "1e5",
                                "--channels", "0-9999"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def split() -> list[Path]:
        return [p for p in tmp_path.glob(".velmora-pes-*") if list(p.glob("*.rows"))]

    signal_while(process, lambda: bool(split()), signal.SIGKILL)
    process.communicate(timeout=120)
    (left,) = split()
    assert left.name.startswith(f".velmora-pes-{process.pid}-{host_tag()}-{output}-")
    dead, here = dead_pid(), host_tag()
    kept = [
        tmp_path / f".velmora-pes-{os.getpid()}-{here}-{output}-abcd_123",  # a run still going
        tmp_path / f".velmora-pes-{dead}-{host_tag('elsewhere')}-{output}-abcd_123",  # another host's
        tmp_path / f".velmora-pes-{dead}-{here}-other.parquet-abcd_123",  # another output's
        tmp_path / ".velmora-pes-abcd_123",  # named by no process
        tmp_path / f".velmora-pes-{dead}-{here}-{output}-wxyz_987",  # holds a file velmora never writes
    ]
    for directory in kept:
        directory.mkdir()
        (directory / "0.rows").write_bytes(b"x")
    (kept[-1] / "notes.txt").write_text("mine")
    result = CliRunner().invoke(main, [*args, "--dark-rate", "1e3", "--channels", "0-19", "--overwrite"])
    assert result.exit_code == 0, result.output
    assert not left.exists() and all((d / "0.rows").exists() for d in kept)
    assert sorted(tmp_path.glob(".velmora-pes-*")) == sorted(kept)


@pytest.mark.parametrize("suffix", [".parquet", ".npz"])
@pytest.mark.parametrize("overwrite", [False, True], ids=["kept", "replaced"])
def test_a_file_written_meanwhile_is_replaced_only_with_overwrite(tmp_path, suffix, overwrite):
    # Two runs into one record file: the one that finishes second must not
    # silently replace the first one's records unless told to.
    path = tmp_path / f"r{suffix}"
    records = np.zeros(3, record_dtype("MultiPMT"))
    records["channel"] = [1, 2, 3]
    writer = open_writer(path, model="MultiPMT", metadata={"run": "second"}, overwrite=overwrite)
    writer.write(records)
    path.write_bytes(b"the first run's file")
    if overwrite:
        writer.close()
        assert read_records(path).tobytes() == records.tobytes()
    else:
        with pytest.raises(FileExistsError, match="another run wrote this file meanwhile"):
            writer.close()
        assert path.read_bytes() == b"the first run's file"
    assert [p.name for p in tmp_path.iterdir()] == [path.name]
