"""Records in time order across channels (in memory, a record file written by a merge pass, a dataset read
back in time order) and events grouped from them by a multiplicity trigger, on a flash over dark noise."""

import importlib.util
import math
import os

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import velmora_batch as vb
from click.testing import CliRunner
from velmora_batch._events import EVENT_SCHEMA, EventFinder, Trigger, find_events
from velmora_batch._order import merge, time_ordered
from velmora_batch._tables import records_by_time
from velmora_batch.cli import main

FLASH_TIME = 5e-4
FLASH_CHANNELS = [1, 4, 5, 8, 9, 10, 13, 17, 18, 19, 22, 23]
# Dark noise on 25 channels over 1 ms, in blocks of 5 channels, and a flash of 5 PEs on 12 of them.
RUN = dict(dark_rate=2e4, duration=1e-3, channels=range(25), seed=3, block_channels=5)


def flash():
    channels = np.repeat(FLASH_CHANNELS, 5)
    return vb.PETable(channel=channels, time=FLASH_TIME + np.tile(np.linspace(0, 2e-9, 5), len(FLASH_CHANNELS)))


def time_of(records):
    return records["time_ns"] * 1e-9 if "time_ns" in records.dtype.names else records["time"]


@pytest.fixture(params=["ZozuvUza", "MultiPMT"])
def detector(request, make_detector):
    return make_detector(request.param, seed=1)


def test_a_run_in_time_order_holds_the_records_of_the_run_in_channel_order(detector, tmp_path):
    by_channel = vb.run(detector, flash(), **RUN)
    want = records_by_time(by_channel)
    assert (np.diff(time_of(want)) >= 0).all() and not (np.diff(time_of(by_channel)) >= 0).all()
    assert vb.run(detector, flash(), order="time", **RUN).tobytes() == want.tobytes()
    for name in ("t.parquet", "t.npz", "d"):
        vb.run(detector, flash(), order="time", output=tmp_path / name, **RUN)
        assert vb.read_records(tmp_path / name).tobytes() == want.tobytes(), name
        assert vb.read_metadata(tmp_path / name)["order"] == "time"
    # The merge's spilled blocks are gone; a dataset keeps its parts by blocks of channels.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["d", "t.npz", "t.parquet"]
    assert vb.read_records(tmp_path / "d" / "part-0000000005.parquet").tobytes() == \
        by_channel[(by_channel["channel"] >= 5) & (by_channel["channel"] < 10)].tobytes()


def test_a_failed_run_in_time_order_leaves_no_file(make_detector, tmp_path):
    det = make_detector("ZozuvUza", seed=1, early_handling="THROW")
    table = vb.PETable(channel=np.repeat([0, 1, 2, 7, 8], 30), time=np.r_[np.full(120, 2e-6), np.full(30, -1e-6)])
    with pytest.raises(RuntimeError, match="block of channels"):
        vb.run(det, table, block_channels=2, workers=1, order="time", output=tmp_path / "t.parquet")
    assert list(tmp_path.iterdir()) == []


def chunks_of(columns, size):
    for lo in range(0, len(columns["channel"]), size):
        yield {name: values[lo:lo + size] for name, values in columns.items()}


@pytest.mark.parametrize("chunk", [1, 3, 50, 10_000])
def test_the_merge_gives_time_then_channel_order(chunk):
    """Runs with many equal times, across and within runs: every record once,
    in (time, channel) order, records of one channel keeping their order."""
    rng = np.random.default_rng(5)
    runs = []
    for k in range(6):
        n = int(rng.integers(0, 300))
        columns = {"time": rng.integers(0, 40, n).astype(np.float64), "channel": rng.integers(10 * k, 10 * k + 3, n)}
        order = np.lexsort((columns["channel"], columns["time"]))
        columns = {name: values[order] for name, values in columns.items()}
        columns["row"] = np.arange(n) + 1000 * k
        runs.append(columns)
    merged = list(merge([chunks_of(r, chunk) for r in runs], "time"))
    assert all(len(c["channel"]) for c in merged)
    got = {name: np.concatenate([c[name] for c in merged]) for name in ("time", "channel", "row")}
    every = {name: np.concatenate([r[name] for r in runs]) for name in ("time", "channel", "row")}
    want = np.lexsort((every["row"], every["channel"], every["time"]))
    assert np.array_equal(got["row"], every["row"][want])


@pytest.mark.parametrize("kind", ["parquet", "dataset"])
def test_reading_in_time_order_in_chunks(detector, tmp_path, kind, monkeypatch):
    import velmora_batch._order

    monkeypatch.setattr(velmora_batch._order, "SPILL_ROW_GROUP", 4)  # a chunk of 16 records is 4 row groups
    out = tmp_path / ("r.parquet" if kind == "parquet" else "d")
    vb.run(detector, flash(), output=out, **RUN)
    want = records_by_time(vb.read_records(out))
    with time_ordered(out, chunk=16) as (empty, chunks):
        chunks = list(chunks)
        names = empty.dtype.names
        assert {len(c["channel"]) for c in chunks[:-1]} <= set(range(1, 16 * 5 + 1))  # at most a chunk per block
        got = {name: np.concatenate([c[name] for c in chunks]) for name in names}
        assert [p for p in tmp_path.iterdir() if p.name.startswith(".velmora-tmp")] != []  # spilled beside it
    assert [p for p in tmp_path.iterdir() if p.name.startswith(".velmora-tmp")] == []
    for name in names:
        assert np.array_equal(got[name], want[name]), name


def test_a_flash_over_dark_noise_is_one_event_of_its_channels(detector, tmp_path):
    records = vb.run(detector, flash(), **RUN)
    dark = records[np.abs(time_of(records) - FLASH_TIME) > 1e-6]
    assert len(dark) > 100 and len(np.unique(dark["channel"])) == 25
    events, marked = find_events(records, multiplicity=5, window=200e-9)
    assert events.num_rows == 1, events.to_pylist()
    (event,) = events.to_pylist()
    assert event["event"] == 0 and event["channels"] == len(FLASH_CHANNELS)
    assert FLASH_TIME - 100e-9 < event["start"] <= event["end"] < FLASH_TIME + 200e-9
    in_event = marked[marked["event"] == 0]
    assert sorted(set(in_event["channel"].tolist())) == FLASH_CHANNELS and event["records"] == len(in_event)
    charge = "intsum" if "intsum" in records.dtype.names else "time_over_threshold"
    assert event["charge"] == pytest.approx(float(np.sum(in_event[charge], dtype=np.float64)))
    assert (marked["event"][marked["event"] != 0] == -1).all()
    assert np.array_equal(np.sort(marked["channel"]), np.sort(records["channel"]))  # every record, once


def test_the_events_command_on_a_file_and_a_dataset(detector, tmp_path):
    records = vb.run(detector, flash(), **RUN)
    want_events, want_records = find_events(records, multiplicity=5, window=200e-9)
    vb.run(detector, flash(), output=tmp_path / "d", **RUN)
    vb.run(detector, flash(), output=tmp_path / "t.parquet", order="time", **RUN)
    sources = ["d", "t.parquet"]
    if importlib.util.find_spec("h5py") is not None:  # a file read in pieces and sorted, not only Parquet
        vb.run(detector, flash(), output=tmp_path / "c.h5", **RUN)
        sources.append("c.h5")
    for source in sources:
        args = ["events", str(tmp_path / source), "-o", str(tmp_path / "ev.parquet"), "--multiplicity", "5",
                "--window", "2e-7", "--records-out", str(tmp_path / "rec.parquet"), "--overwrite"]
        result = CliRunner().invoke(main, args)
        assert result.exit_code == 0, result.output
        assert result.output == f"1 events of {len(records)} records written to {tmp_path / 'ev.parquet'}\n"
        assert pq.read_table(tmp_path / "ev.parquet").equals(want_events)
        written = pq.read_table(tmp_path / "rec.parquet")
        assert np.array_equal(written.column("event").to_numpy(), want_records["event"])
        assert np.array_equal(written.column("channel").to_numpy(), want_records["channel"])
    assert vb.read_metadata(tmp_path / "ev.parquet")["events"] == {"multiplicity": 5, "window": 2e-7}
    result = CliRunner().invoke(main, args[:-1])
    assert result.exit_code == 1 and "exists; overwrite it" in result.output


@pytest.mark.parametrize("source", ["r.parquet", "d", "t.parquet", "td"])
def test_records_out_rows_join_back_to_the_records_and_their_links(detector, tmp_path, source):
    """Each record of --records-out names its row in the records grouped, as
    read_records gives them: in a file or dataset in channel order the row
    its links name, in one in time order its row there."""
    timed = source.startswith("t")
    out = tmp_path / source
    links = None
    if timed:
        vb.run(detector, flash(), output=out, order="time", **RUN)
    else:
        vb.run(detector, flash(), output=out, truth="links", **RUN)
        links = vb.read_links(out)
    args = ["events", str(out), "-o", str(tmp_path / "ev.parquet"), "--multiplicity", "5", "--window", "2e-7",
            "--records-out", str(tmp_path / "rec.parquet")]
    result = CliRunner().invoke(main, args)
    assert result.exit_code == 0, result.output
    records, grouped = vb.read_records(out), vb.read_records(tmp_path / "rec.parquet")
    row = grouped["record_row"]
    assert grouped.dtype.names[-2:] == ("event", "record_row") and sorted(row) == list(range(len(records)))
    names = [n for n in records.dtype.names if n != "event"]
    for name in names:
        np.testing.assert_array_equal(grouped[name], records[name][row], err_msg=name)
    if links is not None:  # each record's links are found by its row, and are all of its PEs
        linked = links.column("record").to_numpy()
        per_row = np.bincount(linked, minlength=len(records))[row]
        np.testing.assert_array_equal(per_row, grouped["n_pe_any"])
        np.testing.assert_array_equal(links.column("channel").to_numpy(), records["channel"][linked])
    # In memory the row is that of the array given.
    _, marked = find_events(records, multiplicity=5, window=200e-9)
    for name in names:
        np.testing.assert_array_equal(marked[name], records[name][marked["record_row"]], err_msg=name)


def records_at(times, channels):
    """MultiPMT-like records at the given times (seconds) and channels, in time order."""
    times = np.asarray(times, np.float64)
    out = np.zeros(len(times), vb._records.record_dtype("MultiPMT"))
    out["time"], out["channel"], out["time_over_threshold"] = times, channels, 1.0
    return out


@pytest.mark.parametrize("times, channels, expected", [
    ([0, 1, 2, 3], [0, 1, 2, 3], [0, 0, 0, -1]),  # the window [0, 3) leaves out the record at 3
    ([0, 1, 1, 2], [0, 0, 0, 1], [-1, -1, -1, -1]),  # three records of two channels
    ([0, 5, 6, 7, 8], [0, 1, 2, 3, 4], [-1, 0, 0, 0, -1]),  # a window opened by the next record
    ([0, 1, 2, 3, 4, 5], [0, 1, 2, 3, 4, 5], [0, 0, 0, 1, 1, 1]),  # windows never grow: two events
], ids=["end excluded", "channels not records", "slides", "does not grow"])
@pytest.mark.parametrize("chunk", [1, 2, 100])
def test_the_trigger_window(times, channels, expected, chunk):
    records = records_at(times, channels)
    finder = EventFinder(Trigger(3, 3.0), "time")
    columns = {name: records[name] for name in records.dtype.names}
    pieces = list(chunks_of(columns, chunk))
    marked = [finder.add(piece, last=i == len(pieces) - 1)[0] for i, piece in enumerate(pieces)]
    assert np.concatenate([m["event"] for m in marked if m]).tolist() == expected
    assert find_events(records, 3, 3.0)[1]["event"].tolist() == expected


def events_by_rule(times_ns, channels, multiplicity, window):
    """The trigger's rule on Python integers, which cannot overflow: a
    window of round(window * 1e9) ns, an infinite one where that is no number."""
    span = window * 1e9
    span = max(1, round(span)) if math.isfinite(span) else span
    out, i, next_id = [-1] * len(times_ns), 0, 0
    while i < len(times_ns):
        stop = i
        while stop < len(times_ns) and times_ns[stop] - times_ns[i] < span:
            stop += 1
        if len(set(channels[i:stop])) >= multiplicity:
            out[i:stop] = [next_id] * (stop - i)
            next_id, i = next_id + 1, stop
        else:
            i += 1
    return out


@pytest.mark.parametrize("times_ns, channels", [
    ([0, 1, 2, 3, 10**12], [0, 1, 2, 3, 0]),
    ([4 * 10**18, 4 * 10**18 + 5, 4 * 10**18 + 7, 4_200_000_000_000_000_000], [0, 1, 1, 2]),  # late in the run
    ([-4 * 10**18, -3 * 10**18, 0, 4 * 10**18, 2**63 - 1], [0, 0, 1, 1, 2]),
], ids=["early", "late", "wide"])
@pytest.mark.parametrize("window", [1e-9, 1.0, 6e9, 9.3e9, 9.3e10, 1e10, 1e300, 1.7e308])
@pytest.mark.parametrize("chunk", [1, 2, 100])
def test_a_window_longer_than_the_run_takes_every_later_record(times_ns, channels, window, chunk):
    """ZozuvUza times are whole ns (int64): a window reaching past the
    largest int64 (a time plus the window) holds every later record instead
    of wrapping around or failing."""
    records = np.zeros(len(times_ns), vb._records.record_dtype("ZozuvUza"))
    records["time_ns"], records["channel"], records["intsum"] = times_ns, channels, 1
    expected = events_by_rule(times_ns, channels, 3, window)
    finder = EventFinder(Trigger(3, window), "time_ns")
    pieces = list(chunks_of({name: records[name] for name in records.dtype.names}, chunk))
    marked = [finder.add(piece, last=i == len(pieces) - 1)[0] for i, piece in enumerate(pieces)]
    assert np.concatenate([m["event"] for m in marked if m]).tolist() == expected
    assert find_events(records, 3, window)[1]["event"].tolist() == expected


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
@pytest.mark.parametrize("window", [1e-7, 1e300])
def test_no_records_have_no_events(model, window):
    events, marked = find_events(np.zeros(0, vb._records.record_dtype(model)), 2, window)
    assert events.num_rows == 0 and events.schema.equals(EVENT_SCHEMA)
    assert len(marked) == 0 and marked.dtype.names[-2:] == ("event", "record_row")


@pytest.mark.parametrize("window", ["1e10", "9.3e9", "1e300"])
def test_the_events_command_takes_a_window_longer_than_the_run(make_detector, tmp_path, window):
    records = vb.run(make_detector("ZozuvUza", seed=1), flash(), output=tmp_path / "r.parquet", **RUN)
    args = ["events", str(tmp_path / "r.parquet"), "-o", str(tmp_path / "ev.parquet"), "--multiplicity", "25",
            "--window", window]
    result = CliRunner().invoke(main, args)
    assert result.exit_code == 0, result.output
    rows = vb.read_records(tmp_path / "r.parquet")
    assert result.output == f"1 events of {len(rows)} records written to {tmp_path / 'ev.parquet'}\n"
    assert pq.read_table(tmp_path / "ev.parquet").column("records").to_pylist() == [len(rows)]


@pytest.mark.parametrize("kwargs, message", [
    (dict(multiplicity=0, window=1e-7), "multiplicity must be a whole number of at least 1"),
    (dict(multiplicity=2, window=0.0), "window must be a positive number of seconds"),
    (dict(multiplicity=2, window=float("nan")), "window must be a positive number of seconds"),
])
def test_a_bad_trigger_is_refused(kwargs, message):
    with pytest.raises(ValueError, match=message):
        find_events(records_at([0.0], [0]), **kwargs)


def test_an_unknown_order_is_refused(make_detector):
    with pytest.raises(ValueError, match="order must be 'channel' or 'time'"):
        vb.run(make_detector("ZozuvUza", seed=1), order="random", **RUN)


@pytest.mark.parametrize("fan_in, chunk", [(2, 7), (3, None)], ids=["pairs, small chunks", "threes"])
def test_many_blocks_are_merged_a_few_at_a_time(make_detector, tmp_path, monkeypatch, fan_in, chunk):
    """Beyond FAN_IN spilled blocks the merge first merges them in groups,
    so that it never holds more than FAN_IN files and chunks at once."""
    import velmora_batch._order as order

    det = make_detector("MultiPMT", seed=1)
    want = vb.run(det, flash(), order="time", **RUN)
    monkeypatch.setattr(order, "FAN_IN", fan_in)
    opened = []
    real = order._file_chunks
    monkeypatch.setattr(order, "_file_chunks", lambda *a: opened.append(a[2]) or real(*a))
    if chunk is not None:
        monkeypatch.setattr(order.SortedRuns, "chunk", lambda self, runs, given=None: chunk)
    vb.run(det, flash(), order="time", output=tmp_path / "t.parquet", **RUN)
    assert vb.read_records(tmp_path / "t.parquet").tobytes() == want.tobytes()
    assert len(opened) > 5  # five blocks, and the runs merged from them
    assert os.listdir(tmp_path) == ["t.parquet"]


def test_the_merge_reads_smaller_chunks_of_many_runs(tmp_path):
    from velmora_batch._order import CHUNK, MERGE_BYTES, SortedRuns

    runs = SortedRuns(tmp_path / "r.parquet", vb._records.record_dtype("ZozuvUza", 32))
    assert runs.chunk(1) == CHUNK and runs.chunk(10, 5) == 5
    for count in (100, 1000):
        assert runs.chunk(count) * count * runs.dtype.itemsize <= MERGE_BYTES
    assert runs.chunk(10**7) == 256


def test_the_command_line_runs_in_time_order_and_a_dataset_selects_in_time_order(make_detector, tmp_path):
    import json

    det = make_detector("ZozuvUza", seed=1)
    config = tmp_path / "det.json"
    config.write_text(json.dumps(det.config()))
    pes = tmp_path / "flash.parquet"
    pq.write_table(pa.table({"channel": flash().channel, "time": flash().time}), pes)
    args = ["run", str(config), "--pes", str(pes), "--dark-rate", "2e4", "--duration", "1e-3", "--channels", "0-24",
            "--seed", "3", "--block-channels", "5", "--order", "time"]
    want = vb.run(det, flash(), order="time", **RUN)
    for out in ("t.parquet", "d"):
        result = CliRunner().invoke(main, [*args, "-o", str(tmp_path / out)])
        assert result.exit_code == 0, result.output
        assert vb.read_records(tmp_path / out).tobytes() == want.tobytes()
    some = vb.read_records(tmp_path / "d", columns=["intsum"], channels="0-9,20")
    keep = (want["channel"] < 10) | (want["channel"] == 20)
    assert some.dtype.names == ("intsum",) and np.array_equal(some["intsum"], want["intsum"][keep])
