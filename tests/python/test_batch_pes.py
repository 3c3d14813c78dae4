"""PE input: grouping by channel, the three file formats, and bad input caught
before anything is simulated."""

import zipfile

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from velmora_batch import PETable, read_pes
from velmora_batch._channels import parse_channels
from velmora_batch._pes import check_dark_noise, run_channels


@pytest.mark.parametrize("n, channels", [(0, 1), (1, 1), (7, 3), (5000, 40), (5000, 5000)])
def test_grouped_is_a_stable_grouping(n, channels):
    rng = np.random.default_rng(n + channels)
    channel = rng.integers(0, channels, n) * 3 + 2
    time = rng.uniform(-1e-6, 1e-3, n)
    time[::5] = 1e-4  # repeated times: stability matters for them too
    got_channels, starts, times = PETable(channel=channel, time=time).grouped()
    expected = {}
    for c, t in zip(channel.tolist(), time.tolist()):
        expected.setdefault(c, []).append(t)
    assert got_channels.tolist() == sorted(expected)
    assert got_channels.dtype == starts.dtype == np.int64 and times.dtype == np.float64
    assert len(starts) == len(got_channels) + 1 and starts[0] == 0 and starts[-1] == n
    for i, c in enumerate(got_channels.tolist()):
        assert times[starts[i]:starts[i + 1]].tolist() == expected[c]


def test_channels_as_whole_floats_and_lists_are_accepted():
    table = PETable(channel=[3.0, 1.0], time=[1, 2])
    assert table.channel.tolist() == [3, 1] and table.time.tolist() == [1.0, 2.0]


@pytest.mark.parametrize("channel, time, message", [
    ([1.5], [0.0], "PE channels must be integers, got 1.5 at row 0"),
    ([0, np.nan], [0.0, 0.0], "PE channels must be integers, got nan at row 1"),
    ([0, -1], [0.0, 0.0], r"PE channels must lie in \[0, 2147483647\], got -1 at row 1"),
    ([2**31], [0.0], r"must lie in \[0, 2147483647\], got 2147483648"),
    (["a"], [0.0], "PE channels must be integers"),
    ([True], [0.0], "PE channels must be integers"),
    ([[1, 2]], [0.0, 1.0], "PE channels must be one-dimensional"),
    ([1, 2], [0.0], "2 channels but 1 times"),
    ([1, 2], [0.0, np.nan], r"PE times must be finite, got nan at row 1 \(channel 2\)"),
    ([1], [np.inf], "PE times must be finite, got inf"),
    ([1], ["x"], "PE times must be numbers"),
])
def test_bad_pe_tables(channel, time, message):
    with pytest.raises(ValueError, match=message):
        PETable(channel=channel, time=time)


def write_pes(path, channel, time):
    if path.suffix == ".parquet":
        pq.write_table(pa.table({"channel": channel, "time": time, "extra": np.zeros(len(time))}), path)
    elif path.suffix == ".npz":
        np.savez(path, channel=channel, time=time)
    else:
        path.write_text("time,channel\n" + "".join(f"{t!r},{c}\n" for c, t in zip(channel.tolist(), time.tolist())))
    return path


@pytest.mark.parametrize("suffix", [".parquet", ".npz", ".csv"])
def test_read_pes_round_trip(tmp_path, suffix):
    rng = np.random.default_rng(1)
    channel = rng.integers(0, 50, 1000)
    time = rng.uniform(0.0, 1.0, 1000)
    table = read_pes(write_pes(tmp_path / f"pes{suffix}", channel, time))
    np.testing.assert_array_equal(table.channel, channel)
    np.testing.assert_array_equal(table.time, time)  # exactly, also through text


@pytest.mark.parametrize("suffix", [".parquet", ".npz", ".csv"])
def test_read_pes_missing_column(tmp_path, suffix):
    path = tmp_path / f"pes{suffix}"
    if suffix == ".parquet":
        pq.write_table(pa.table({"chan": [1], "time": [0.0]}), path)
    elif suffix == ".npz":
        np.savez(path, chan=[1], time=[0.0])
    else:
        path.write_text("chan,time\n1,0.0\n")
    with pytest.raises(ValueError, match="'channel'"):
        read_pes(path)


@pytest.mark.parametrize("text, message", [
    ("channel,time\n1,0.5\n2,\n", "column 'time' has 1 missing values"),
    ("channel,time\n1.5,0.5\n", "PE channels must be integers, got 1.5"),
    ("channel,time\nA,0.5\n", "column 'channel' must hold numbers"),
    ("channel,time\n1,inf\n", "PE times must be finite, got inf"),
])
def test_bad_csv_values(tmp_path, text, message):
    (tmp_path / "pes.csv").write_text(text)
    with pytest.raises(ValueError, match=message):
        read_pes(tmp_path / "pes.csv")


def test_read_pes_refuses_other_files(tmp_path):
    (tmp_path / "pes.txt").write_text("1 2\n")
    with pytest.raises(ValueError, match=r"must end in \.parquet, \.npz, \.csv, \.root, \.h5 or \.hdf5"):
        read_pes(tmp_path / "pes.txt")


@pytest.mark.parametrize("rate, duration, message", [
    (1e3, None, "needs both a rate and a duration"),
    (None, 1.0, "needs both a rate and a duration"),
    (-1.0, 1.0, "dark rate must be a finite number not below zero, got -1.0"),
    (np.nan, 1.0, "dark rate must be"),
    (1e3, 0.0, "duration must be a finite number greater than zero, got 0.0"),
    (1e3, np.inf, "duration must be"),
])
def test_bad_dark_noise(rate, duration, message):
    with pytest.raises(ValueError, match=message):
        check_dark_noise(rate, duration)


@pytest.mark.parametrize("channels, expected", [
    ("0-4", [0, 1, 2, 3, 4]),
    (" 7 ", [7]),
    ("8-9,0,3-4,9", [0, 3, 4, 8, 9]),
    (range(2, 8, 3), [2, 5]),
    ([5, 1, 5], [1, 5]),
    (np.array([3.0, 2.0]), [2, 3]),
])
def test_channel_selection(channels, expected):
    got = np.asarray(parse_channels(channels))
    assert got.dtype == np.int64 and got.tolist() == expected


@pytest.mark.parametrize("channels, message", [
    ("", "'' is not a channel or a range"),
    ("5-2", "the range 5-2 ends before it starts"),
    ("0-2147483648", "2147483648 is above 2147483647"),
    ("1;2", "is not a channel or a range"),
    ("\u0663", "is not a channel or a range"),  # an Arabic-Indic three
    ("0-\uff19", "is not a channel or a range"),  # a full-width nine
    ("\U0001d7d8", "is not a channel or a range"),  # a mathematical zero
    (range(0), "the channel selection is empty"),
    (range(-3, 2), "channels must lie in"),
    ([], "the channel selection is empty"),
    ([1.5], "channels must be integers"),
])
def test_bad_channel_selection(channels, message):
    with pytest.raises(ValueError, match=message):
        parse_channels(channels)


@pytest.mark.parametrize("with_pes, rate, channels, expected", [
    (True, None, None, [2, 9]),
    (True, 1e3, None, [2, 9]),
    (True, None, "0-3", [0, 1, 2, 3]),
    (False, 1e3, range(3), [0, 1, 2]),
    (False, None, None, "nothing to simulate"),
    (False, 1e3, None, "dark noise needs a channel selection"),
    (False, -1.0, range(3), "dark rate must be"),
])
def test_run_channels(with_pes, rate, channels, expected):
    pes = PETable(channel=[9, 2, 9], time=[0.0, 1.0, 2.0]) if with_pes else None
    duration = 1.0 if rate is not None else None
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            run_channels(pes, rate, duration, channels)
    else:
        assert run_channels(pes, rate, duration, channels).tolist() == expected


def _bad_pe_files(directory):
    """PE files that cannot be read as their suffix says, and a part of the
    message each must give."""
    np.save(directory / "array.npy", np.arange(3))
    (directory / "array.npy").rename(directory / "npy.npz")
    (directory / "empty.npz").write_bytes(b"")
    np.savez(directory / "whole.npz", channel=np.arange(50), time=np.linspace(0, 1e-6, 50))
    data = (directory / "whole.npz").read_bytes()
    (directory / "truncated.npz").write_bytes(data[: len(data) // 2])
    np.savez(directory / "objects.npz", channel=np.array([0, 1], dtype=object), time=np.zeros(2))
    (directory / "duplicate.csv").write_text("channel,time,time\n0,1e-6,2e-6\n")
    pq.write_table(pa.Table.from_arrays([pa.array([0]), pa.array([1e-6]), pa.array([2e-6])],
                                        names=["channel", "time", "time"]), directory / "duplicate.parquet")
    (directory / "garbage.parquet").write_bytes(b"PAR1 not really")
    return {
        "npy.npz": "not a readable .npz file",
        "empty.npz": "not a readable .npz file",
        "truncated.npz": "not a readable .npz file",
        "objects.npz": "not a readable .npz file",
        "duplicate.csv": "the column 'time' appears 2 times",
        "duplicate.parquet": "the column 'time' appears 2 times",
        "garbage.parquet": "not a readable parquet file",
    }


def test_unreadable_pe_files_are_one_line_errors_naming_the_file(tmp_path):
    for name, message in _bad_pe_files(tmp_path).items():
        with pytest.raises(ValueError) as info:
            read_pes(tmp_path / name)
        text = str(info.value)
        assert text.startswith(f"{tmp_path / name}: ") and message in text and "\n" not in text, text


@pytest.mark.parametrize("form", ["pandas", "pyarrow table", "record batch", "mapping"])
def test_run_takes_tables_that_pyarrow_takes(form, make_detector):
    import velmora_batch as vb

    channel = np.repeat([2, 0, 5], 20)
    time = np.tile(np.linspace(1e-6, 3e-6, 20), 3)
    columns = {"channel": channel, "time": time, "energy": np.ones(60)}
    table = {"pandas": lambda: pytest.importorskip("pandas").DataFrame(columns),
             "pyarrow table": lambda: pa.table(columns),
             "record batch": lambda: pa.record_batch(columns),
             "mapping": lambda: columns}[form]()
    det = make_detector("MultiPMT", seed=5)
    expected = vb.run(det, PETable(channel=channel, time=time), workers=1)
    assert len(expected) > 0
    # The column the run does not use is named, and the records are those of the table without it.
    with pytest.warns(vb.UnusedPEColumnsWarning, match=r"column energy is not used by this run"):
        assert vb.run(det, table, workers=1).tobytes() == expected.tobytes()


def test_run_refuses_a_table_without_pe_columns(make_detector):
    import velmora_batch as vb

    det = make_detector("MultiPMT", seed=5)
    with pytest.raises(ValueError, match=r"no column 'time'"):
        vb.run(det, pa.table({"channel": [1, 2]}))
    with pytest.raises(TypeError, match="pes must be a PETable, a PE file or a table"):
        vb.run(det, 42)


@pytest.mark.parametrize("rate, duration, accepted", [(1e300, 1.0, False), (1e6, 1e7, False), (2e8, 10.0, True)])
def test_dark_noise_beyond_what_a_run_holds_is_refused(rate, duration, accepted):
    if accepted:
        check_dark_noise(rate, duration)
    else:
        with pytest.raises(ValueError, match=r"dark_rate .* Hz .*expected dark PEs per channel.*in Hz"):
            check_dark_noise(rate, duration)


def _reference(text):
    """The channels of a text selection, one by one."""
    out = set()
    for item in text.split(","):
        a, _, b = item.partition("-")
        out.update(range(int(a), int(b or a) + 1))
    return np.array(sorted(out), np.int64)


@pytest.mark.parametrize("text", ["0-4", "7", "8-9,0,3-4,9", "0-9,10-19", "5-9,0-6,30,31,29", "3,1,2,100-120,50-60"])
@pytest.mark.parametrize("size", [1, 3, 7, 1000])
def test_channel_ranges_agree_with_the_channels_they_hold(text, size):
    selection = parse_channels(text)
    want = _reference(text)
    assert len(selection) == len(want)
    np.testing.assert_array_equal(np.concatenate(list(selection.blocks(size))), want)
    assert [len(b) for b in selection.blocks(size)][:-1] == [size] * (selection.block_count(size) - 1)
    probe = np.arange(-2, 130)
    np.testing.assert_array_equal(selection.contains(probe), np.isin(probe, want))
    np.testing.assert_array_equal(selection.rank(want), np.arange(len(want)))
    # Ranges that touch or overlap are one range: the same selection, the same digest.
    assert selection.digest() == parse_channels(",".join(map(str, want))).digest()


def test_the_widest_selection_stays_two_numbers():
    selection = parse_channels("0-2147483647")
    assert len(selection) == 2**31 and (selection.first, selection.last) == (0, 2**31 - 1)
    assert selection.block_count(4096) == 2**19
    np.testing.assert_array_equal(selection.take(2**31 - 3, 2**31 + 5), [2**31 - 3, 2**31 - 2, 2**31 - 1])
    assert selection.contains([2**31 - 1]).all() and len(selection.starts) == 1


def test_digest_of_pe_rows_does_not_depend_on_how_they_are_cut():
    from velmora_batch._pes import PEDigest

    rng = np.random.default_rng(1)
    ch, t = rng.integers(0, 9, 1000), rng.uniform(0, 1, 1000)
    whole, cut = PEDigest(), PEDigest()
    whole.update(ch, t)
    for lo, hi in [(0, 1), (1, 400), (400, 400), (400, 1000)]:
        cut.update(ch[lo:hi], t[lo:hi])
    assert whole.hexdigest() == cut.hexdigest()
    other = PEDigest()
    other.update(ch, t[::-1])
    assert other.hexdigest() != whole.hexdigest()


def _write_pes(path, channel, time):
    if path.suffix == ".parquet":
        pq.write_table(pa.table({"time": time, "channel": channel}), path, row_group_size=23)
    elif path.suffix == ".npz":
        np.savez(path, channel=channel, time=time)
    else:
        path.write_text("channel,time\n" + "".join(f"{c},{float(t)!r}\n" for c, t in zip(channel, time)))


@pytest.mark.parametrize("suffix", [".parquet", ".npz", ".csv"])
def test_a_file_is_read_in_pieces_as_it_is_whole(tmp_path, suffix, monkeypatch):
    from velmora_batch import _pes

    monkeypatch.setattr(_pes, "_BATCH_ROWS", 10)
    rng = np.random.default_rng(5)
    channel, time = rng.integers(0, 30, 257), rng.uniform(-1e-6, 1e-5, 257)
    path = tmp_path / f"pes{suffix}"
    _write_pes(path, channel, time)
    pieces = list(_pes.iter_pes(path))
    assert len(pieces) == 26 if suffix != ".csv" else len(pieces) > 5  # CSV pieces go by bytes, not rows
    np.testing.assert_array_equal(np.concatenate([p.channel for p in pieces]), channel)
    np.testing.assert_array_equal(np.concatenate([p.time for p in pieces]), time)
    # Split into blocks of 4 selected channels: each block holds its channels' rows in input order.
    selection = parse_channels("2-20")
    file = _pes.FilePEs(path, selection)
    memory = _pes.MemoryPEs(PETable(channel, time), selection)
    assert (file.count, file.earliest, file.latest, file.digest()) == \
        (memory.count, memory.earliest, memory.latest, memory.digest())
    file.spill(4, tmp_path / "out.parquet")  # split next to the output
    try:
        np.testing.assert_array_equal(file.occupied_blocks(4), memory.occupied_blocks(4))
        for block in selection.blocks(4):
            got, want = file.block(block[0], block[-1]), memory.block(block[0], block[-1])
            for name in ("channels", "starts", "times"):
                np.testing.assert_array_equal(getattr(got, name), getattr(want, name))
    finally:
        file.close()
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.name]


def _late_change_csv(path, rows):
    """A CSV PE file whose unused columns change type after ``rows`` rows:
    whole numbers that turn into a fraction, and into a word."""
    channel, time = np.arange(rows) % 4, np.arange(rows) * 1e-6
    lines = "\n".join(f"{c},{t!r},{i},{i % 3}" for i, (c, t) in enumerate(zip(channel.tolist(), time.tolist())))
    path.write_text(f"channel,time,event_id,note\n{lines}\n1,2e-9,7.5,word\n")
    return np.r_[channel, 1], np.r_[time, 2e-9]


def test_unused_columns_of_a_csv_file_never_make_it_unreadable(tmp_path, make_detector):
    path = tmp_path / "late.csv"
    channel, time = _late_change_csv(path, 600_000)
    table = read_pes(path)
    np.testing.assert_array_equal(table.channel, channel)
    np.testing.assert_array_equal(table.time, time)
    from velmora_batch import _pes

    pieces = list(_pes.iter_pes(path))
    np.testing.assert_array_equal(np.concatenate([p.time for p in pieces]), time)
    assert len(_pes.FilePEs(path, None).digest()) > 0


def test_a_bad_row_far_into_a_file_is_named(tmp_path, monkeypatch):
    from velmora_batch import _pes

    monkeypatch.setattr(_pes, "_BATCH_ROWS", 10)
    time = np.zeros(40)
    time[33] = np.nan
    path = tmp_path / "pes.parquet"
    _write_pes(path, np.arange(40), time)
    with pytest.raises(ValueError, match=r"pes\.parquet: PE times must be finite, got nan at row 3 .*from row 30"):
        _pes.FilePEs(path, None)


def _npy_with_header(header):
    """An .npy member whose header is the given text, padded as numpy pads it."""
    text = header.encode("latin-1")
    text += b" " * (64 - (10 + len(text) + 1) % 64) + b"\n"
    return b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text + b"\x00" * 24


@pytest.mark.parametrize("header", [
    "{'descr': '<i8', 'fortran_order': False, 'shape': (3,), }\x00\x00",
    "{'descr': '<i8', 'fortran_order': False, 'shape': (3,), '",
    "{'descr': '<i8', 'fortran_order': False, 'shape': " + "(" * 300 + "3" + ",)" * 300 + "}",
    "{'descr': '<i8', 'fortran_order': False, 'shape': (" + "9" * 400 + ",), }",
], ids=["null-bytes", "unterminated-string", "deeply-nested", "huge-shape"])
@pytest.mark.parametrize("reader", ["whole", "in pieces"])
def test_npz_with_a_damaged_array_header_is_a_one_line_error(tmp_path, header, reader):
    from velmora_batch import _pes

    path = tmp_path / "pes.npz"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("channel.npy", _npy_with_header(header))
        archive.writestr("time.npy", _npy_with_header(header.replace("<i8", "<f8")))
    with pytest.raises(ValueError) as info:
        read_pes(path) if reader == "whole" else _pes.FilePEs(path, None)
    text = str(info.value)
    assert text.startswith(f"{path}: not a readable .npz file") and "\n" not in text, text


@pytest.mark.parametrize("time", [np.array([1e-6, 2e-6], complex) + 1e-9j, np.array([1, 2], "m8[ns]"),
                                  np.array(["2024-01-01", "2024-01-02"], "M8[D]")],
                         ids=["complex", "timedelta", "datetime"])
@pytest.mark.parametrize("where", ["table", "npz file"])
def test_pe_times_that_are_not_real_seconds_are_refused(tmp_path, time, where):
    with pytest.raises(ValueError, match="PE times must be real numbers"):
        if where == "table":
            PETable(channel=[1, 2], time=time)
        else:
            np.savez(tmp_path / "pes.npz", channel=np.array([1, 2]), time=time)
            read_pes(tmp_path / "pes.npz")
