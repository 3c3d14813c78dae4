"""Truth and links of a run: the input rows and other PE columns carried through reading and the split, the
truth values a run takes, the warning for other columns no link takes, and, through the engine, links that
match the records they name, records unchanged by truth, and links beside record files and in datasets."""

import re
import warnings

import numpy as np
import pyarrow as pa
import pyarrow.csv
import pyarrow.parquet as pq
import pytest
import velmora_batch as vb
from numpy.lib.recfunctions import repack_fields
from test_batch_channel_pes import ks_statistic, numeric_cdf
from velmora_batch import _core, _links, _pes, _seeding
from velmora_batch._jobs import sorted_columns
from velmora_batch._models import MODELS
from velmora_batch._channels import parse_channels
from velmora_batch._pes import GroupedPEs, PETable

from conftest import ADC_STEP, write_points
from test_batch_truth_engine import assert_shares_add_up, assert_truth_follows_the_links, counted


def _pe_columns(n, rng):
    """A PE table's columns of ``n`` rows over 12 channels, with other columns of several types."""
    return {"channel": rng.integers(0, 12, n), "time": rng.uniform(0.2e-6, 4e-6, n),
            "pe_id": np.arange(1000, 1000 + n, dtype=np.int64),
            "source": pa.array([f"track-{i % 7}" if i % 5 else None for i in range(n)], pa.string()),
            "weight": rng.uniform(0, 1, n).astype(np.float32)}


def _write(path, columns):
    if path.suffix == ".parquet":
        pq.write_table(pa.table(columns), path)
    elif path.suffix == ".npz":  # numbers only: an archive holds arrays of numbers
        np.savez(path, **{k: np.asarray(v) for k, v in columns.items() if k != "source"})
    else:
        pyarrow.csv.write_csv(pa.table(columns), path)
    return path


@pytest.mark.parametrize("suffix", [".parquet", ".npz", ".csv"])
def test_input_rows_and_other_columns_survive_the_split(tmp_path, monkeypatch, suffix):
    # Small pieces and few open files, so that blocks gather rows of many pieces over reopened streams.
    monkeypatch.setattr(_pes, "_BATCH_ROWS", 16)
    monkeypatch.setattr(_pes, "_MAX_OPEN_SPILLS", 2)
    columns = _pe_columns(301, np.random.default_rng(3))
    path = _write(tmp_path / f"pes{suffix}", columns)
    whole = _pes.read_pes(path)
    selection = parse_channels("2-9")  # rows of channels 0, 1, 10 and 11 are left out
    file = _pes.FilePEs(path, selection, rows=True)
    memory = _pes.MemoryPEs(_pes.pe_table_of(pa.csv.read_csv(path) if suffix == ".csv" else
                                             pa.table(dict(np.load(path))) if suffix == ".npz" else
                                             pq.read_table(path), extras=True), selection, rows=True)
    expected_names = ("pe_id", "weight") if suffix == ".npz" else ("pe_id", "source", "weight")
    assert file.extra_names == memory.extra_names == expected_names
    file.spill(3, tmp_path / "out.parquet")
    try:
        for block in selection.blocks(3):
            got, want = file.block(block[0], block[-1]), memory.block(block[0], block[-1])
            for name in ("channels", "starts", "times", "rows"):
                np.testing.assert_array_equal(getattr(got, name), getattr(want, name))
            # Each PE names its own row of the input, and its other columns are that row's, bit for bit.
            np.testing.assert_array_equal(got.times, whole.time[got.rows])
            np.testing.assert_array_equal(np.repeat(got.channels, np.diff(got.starts)), whole.channel[got.rows])
            assert got.extras.equals(want.extras)
            assert got.extras.column("pe_id").to_pylist() == (got.rows + 1000).tolist()
    finally:
        file.close()
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.name]


@pytest.mark.parametrize("late, first_type, whole_type", [
    ("7.5", "1", pa.float64()),  # whole numbers, then a fraction: numbers
    ("word", "1", pa.string()),  # whole numbers, then a word: text
    ("word", "1.5", pa.string()),
    ("2", "", pa.int64()),  # nothing in the first rows, then a number
    ("word", "", pa.string()),
    ("true", "false", pa.bool_()),
    ("yes", "false", pa.string()),
], ids=["int-float", "int-word", "float-word", "empty-int", "empty-word", "bool", "bool-word"])
def test_other_csv_columns_carry_the_type_of_the_whole_file(tmp_path, monkeypatch, late, first_type, whole_type):
    """A CSV column's type is Arrow's guess from the first rows, widened where a
    later row does not fit it (whole numbers to float64, else to text), so
    that the links carry every row's value."""
    monkeypatch.setattr(_pes, "_BATCH_ROWS", 16)
    rows = [f"{i % 3},{(i + 1) * 1e-7!r},{first_type if i < 290 else late},{i}" for i in range(300)]
    path = tmp_path / "pes.csv"
    path.write_text("channel,time,tag,pe_id\n" + "\n".join(rows) + "\n")
    want = pa.csv.read_csv(path, convert_options=pa.csv.ConvertOptions(column_types={"tag": whole_type}))
    file = _pes.FilePEs(path, None, rows=True)
    assert file.extras_schema.field("tag").type == whole_type
    assert file.extras_schema.field("pe_id").type == pa.int64()
    file.spill(3, tmp_path / "out.parquet")
    try:
        got = file.block(0, 2)
        assert got.extras.column("tag").to_pylist() == want.column("tag").take(got.rows).to_pylist()
    finally:
        file.close()


def test_without_links_only_channel_and_time_are_split(tmp_path, monkeypatch):
    monkeypatch.setattr(_pes, "_BATCH_ROWS", 16)
    path = _write(tmp_path / "pes.parquet", _pe_columns(200, np.random.default_rng(4)))
    file = _pes.FilePEs(path, None)
    file.spill(5, None)
    try:
        files = list(file._directory.iterdir())
        assert files and all(f.suffix == ".rows" for f in files)
        assert sum(f.stat().st_size for f in files) == 200 * 12  # a 32-bit channel and a time per PE, no more
        block = file.block(0, 4)
        assert block.rows is None and block.extras is None
    finally:
        file.close()


def test_memory_pes_keep_no_rows_without_links():
    table = _pes.pe_table_of(pa.table(_pe_columns(50, np.random.default_rng(5))))
    assert table.extras is None and table.extra_names == ("pe_id", "source", "weight")
    grouped = _pes.MemoryPEs(table, parse_channels("0-11")).block(0, 11)
    assert grouped.rows is None and grouped.extras is None


@pytest.mark.parametrize("truth", ["Links", "yes", "columns", 1, 0, None], ids=repr)
def test_unknown_truth_values_are_refused(make_detector, truth):
    det = make_detector("ZozuvUza", seed=1)
    with pytest.raises(ValueError, match=r"truth must be False, True or 'links', got " + repr(truth)):
        vb.run(det, PETable(channel=[0], time=[1e-6]), truth=truth)


@pytest.mark.parametrize("form", ["table", "file"])
def test_other_columns_are_named_when_no_link_takes_them(tmp_path, make_detector, form):
    det = make_detector("ZozuvUza", seed=1)
    columns = _pe_columns(40, np.random.default_rng(6))
    pes = pa.table(columns) if form == "table" else _write(tmp_path / "pes.parquet", columns)
    with pytest.warns(vb.UnusedPEColumnsWarning, match=r"columns pe_id, source, weight are not used by this run"):
        records = vb.run(det, pes, workers=1)
    with pytest.warns(vb.UnusedPEColumnsWarning):
        again = vb.run(det, pes, workers=1, truth=False)
    plain = vb.run(det, PETable(channel=columns["channel"], time=columns["time"]), workers=1)
    assert records.tobytes() == again.tobytes() == plain.tobytes()


@pytest.mark.parametrize("taken", [["record"], ["kind", "amplitude"]])
def test_other_columns_named_as_link_columns_are_refused_for_links(make_detector, taken):
    det = make_detector("ZozuvUza", seed=1)
    table = pa.table({"channel": [0, 1], "time": [1e-6, 2e-6], **{name: [1, 2] for name in taken}})
    with pytest.raises(ValueError, match="would take the name of a link column.*rename"):
        vb.run(det, table, truth="links")


def _unstorable(kind):
    codes = pa.array([0, 1], pa.int8())
    if kind == "dense union":
        return pa.UnionArray.from_dense(codes, pa.array([0, 0], pa.int32()), [pa.array([1]), pa.array(["a"])])
    if kind == "sparse union":
        return pa.UnionArray.from_sparse(codes, [pa.array([1, 2]), pa.array(["a", "b"])])
    if kind == "interval":
        return pa.array([pa.MonthDayNano([1, 2, 3])] * 2, pa.month_day_nano_interval())
    return pa.array([{}, {}], pa.struct([]))


@pytest.mark.parametrize("kind", ["dense union", "sparse union", "interval", "empty struct"])
@pytest.mark.parametrize("output", ["r.parquet", "r.npz", "d/"])
def test_other_columns_a_links_file_cannot_hold_are_refused_by_name(tmp_path, make_detector, kind, output):
    det = make_detector("ZozuvUza", seed=1)
    table = pa.table({"channel": [0, 1], "time": [1e-6, 2e-6], "good": [1, 2], "odd": _unstorable(kind)})
    with pytest.raises(ValueError, match=r"the PE table's column 'odd' is of type .* which a links file cannot "
                                         r"hold"):
        vb.run(det, table, truth="links", output=tmp_path / output)
    assert list(tmp_path.iterdir()) == []
    records, links = vb.run(det, table, truth="links")  # in memory the links take it as it is
    assert links.column("odd").type == table.column("odd").type


@pytest.mark.parametrize("name", ["a\x00b", "\x00", "ok\x00"])
@pytest.mark.parametrize("output", [None, "r.parquet"])
def test_other_columns_named_with_a_nul_character_are_refused_for_links(tmp_path, make_detector, name, output):
    """A NUL ends a name in the files the links go to: the column would arrive
    under another name, or collide with one."""
    det = make_detector("ZozuvUza", seed=1)
    table = pa.table({"channel": [0, 1], "time": [1e-6, 2e-6], name: [1, 2]})
    with pytest.raises(ValueError, match=re.escape(f"the PE table's column {name!r} has a NUL character in its "
                                                   "name")):
        vb.run(det, table, truth="links", output=None if output is None else tmp_path / output)
    assert list(tmp_path.iterdir()) == []


def test_sorting_a_block_moves_its_links_with_the_records():
    rng = np.random.default_rng(7)
    channel = rng.integers(0, 4, 30).astype(np.int32)
    time = rng.uniform(0, 1, 30)
    links = {"record": rng.integers(0, 30, 80), "pe": np.arange(80)}
    named = [(channel[r], time[r]) for r in links["record"]]
    columns = sorted_columns({"channel": channel, "time": time}, "time", links)
    assert np.all(np.diff(columns["channel"]) >= 0)
    assert [(columns["channel"][r], columns["time"][r]) for r in links["record"]] == named


def test_a_block_links_input_pes_to_their_rows_and_other_columns():
    # Two channels: channel 3 has input rows 7 and 2 then a dark PE; channel 5 input row 4 then an afterpulse
    # that input row 4 (the block's PE 2) spawned.
    pes = GroupedPEs(np.array([3, 5]), np.array([0, 2, 3]), np.array([1e-6, 2e-6, 3e-6]), np.array([7, 2, 4]),
                     pa.table({"pe_id": pa.array([70, 20, 40]), "tag": pa.array(["a", None, "c"])}))
    origin = {"kinds": np.array([0, 0, 1, 0, 2], np.uint8), "sources": np.array([0, 1, 0, 2, 0]),
              "parent_kinds": np.array([255, 255, 255, 255, 0], np.uint8),
              "parent_sources": np.array([-1, -1, -1, -1, 2])}
    found = {"record": np.array([1, 0, 0, 1, 1]), "pe": np.array([3, 2, 0, 4, 1]),
             "time": np.arange(5.0), "amplitude": np.arange(5.0) / 10, "fraction": np.array([1, 0.5, 1, 0.25, 0])}
    schema = _links.links_schema(pes.extras.schema)
    table = _links.block_links(found, np.array([3, 5], np.int32), origin, pes, schema).to_pydict()
    assert table["record"] == [0, 0, 1, 1, 1]
    # In record order, each record's links as the engine gave them: PEs 2, 0 | 3, 4, 1.
    assert table["kind"] == ["dark", "input", "input", "afterpulse", "input"]
    assert table["pe_index"] == [0, 7, 4, 0, 2]  # the input rows, the dark and afterpulse indices
    assert table["pe_id"] == [None, 70, 40, None, 20] and table["tag"] == [None, "a", "c", None, None]
    assert table["arrival_time"] == [1.0, 2.0, 0.0, 3.0, 4.0] and table["channel"] == [3, 3, 5, 5, 5]
    # The afterpulse names its parent by the parent's own kind and row; no other PE has a parent.
    assert table["parent_kind"] == [None, None, None, "input", None]
    assert table["parent_index"] == [None, None, None, 4, None]
    assert table["fraction"] == [0.5, 1.0, 1.0, 0.25, 0.0]


def test_read_links_refuses_records_without_links(tmp_path, make_detector):
    det = make_detector("ZozuvUza", seed=1)
    out = tmp_path / "run.parquet"
    vb.run(det, PETable(channel=[0], time=[1e-6]), output=out)
    with pytest.raises(ValueError, match="its run wrote no links"):
        vb.read_links(out)
    vb.run(det, PETable(channel=[0], time=[1e-6]), output=tmp_path / "set")
    with pytest.raises(ValueError, match="this dataset's run wrote no links"):
        vb.read_links(tmp_path / "set")


def test_the_command_line_refuses_unknown_truth(tmp_path):
    from click.testing import CliRunner
    from velmora_batch.cli import main

    from test_batch_cli import ZOZUVUZA

    result = CliRunner().invoke(main, ["run", str(ZOZUVUZA), "--dark-rate", "1e4", "--duration", "1e-4",
                                       "--channels", "0-1", "--truth", "all", "-o", str(tmp_path / "r.parquet")])
    assert result.exit_code == 2 and "'all' is not one of 'columns', 'links'" in result.output


# Through the engine.

TRUTH_NAMES = ["n_pe", "true_charge", "first_pe_time", "n_dark", "n_afterpulse", "n_pe_any"]


def _as_engine_links(links):
    """A links table as the engine gives its links (one ``pe`` number per
    PE: its kind, channel and index), with each PE's kind code."""
    kind = np.asarray(links.column("kind").combine_chunks().indices, np.int64)
    key = np.stack([kind, links.column("channel").to_numpy(), links.column("pe_index").to_numpy()], axis=1)
    unique, pe = np.unique(key, axis=0, return_inverse=True)
    found = {"record": links.column("record").to_numpy(), "pe": pe.reshape(-1),
             "time": links.column("arrival_time").to_numpy(), "amplitude": links.column("amplitude").to_numpy(),
             "fraction": links.column("fraction").to_numpy()}
    return found, unique[:, 0].astype(np.uint8)


def _flashes(rng, n_channels=12, flashes=6):
    """Flashes of a few PEs on every channel, some close enough to pile up, and the other columns."""
    channel, time = [], []
    for c in range(n_channels):
        starts = np.sort(rng.uniform(0.3e-6, 8e-6, flashes))
        for t in starts:
            k = rng.integers(1, 6)
            channel += [c] * k
            time += list(t + rng.uniform(0, 20e-9, k))
    order = rng.permutation(len(channel))  # rows in no particular order
    n = len(channel)
    return {"channel": np.asarray(channel)[order], "time": np.asarray(time)[order],
            "pe_id": np.arange(n, dtype=np.int64) * 3,
            "source": pa.array([f"mu{i % 4}" for i in range(n)]), "weight": rng.uniform(0, 1, n)}


def _reach(det):
    """How far before a record's time and after it a contributing PE may arrive (seconds), with one step
    of room for the grids."""
    if det.model == "ZozuvUza":
        return 40e-9 + ADC_STEP, det.params["waveform_samples"] * ADC_STEP + ADC_STEP
    return 40e-9 + 5e-9, None  # the ADC pulse is the longer; the hit's end and sample point follow


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_links_match_the_records_they_name(make_detector, model):
    det = make_detector(model, seed=11)
    columns = _flashes(np.random.default_rng(12))
    records, links = vb.run(det, pa.table(columns), truth="links", dark_rate=2e5, duration=1e-5,
                            channels="0-11", workers=2, block_channels=5)
    assert len(records) and links.num_rows >= len(records)
    record = links.column("record").to_numpy()
    kind = links.column("kind").to_pylist()
    dark = np.array([k == "dark" for k in kind])
    found, kinds = _as_engine_links(links)
    cols = {"links": found, **{name: records[name] for name in records.dtype.names}}
    assert_truth_follows_the_links(cols, kinds)
    assert_shares_add_up(cols, len(kinds))
    arrival = links.column("arrival_time").to_numpy()
    np.testing.assert_array_equal(links.column("channel").to_numpy(), records["channel"][record])
    # Each linked PE arrives where its record reads.
    before, after = _reach(det)
    start = records["time_ns"][record] * 1e-9 if model == "ZozuvUza" else records["time"][record]
    end = start + after if after else start + records["time_over_threshold"][record] + 8e-9 + 5e-9
    assert np.all((arrival >= start - before) & (arrival <= end))
    # An input PE's link names its row: the channel, the time that the drawn transit time (0 to 1 ns in these
    # spectra) moves to the arrival, its other columns.
    inputs = ~dark
    rows = links.column("pe_index").to_numpy()[inputs]
    np.testing.assert_array_equal(columns["channel"][rows], records["channel"][record[inputs]])
    delay = arrival[inputs] - columns["time"][rows]
    assert np.all((delay > -1e-15) & (delay < 1e-9 + 1e-15))
    assert links.column("pe_id").to_numpy()[inputs].tolist() == columns["pe_id"][rows].tolist()
    assert links.column("source").filter(pa.array(inputs)).combine_chunks().equals(columns["source"].take(rows))
    assert links.column("weight").null_count == int(dark.sum())


# A delay spectrum that keeps every afterpulse 20 to 60 ns after its parent.
AFTER_DELAY = (np.array([20.0, 30.0, 50.0, 60.0]) * 1e-9, np.array([0.0, 1.0, 1.0, 0.0]))


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
@pytest.mark.parametrize("segment", [None, 2e-6])
def test_afterpulses_link_to_parents_one_drawn_delay_before_them(tmp_path, make_detector, model, segment):
    """Every linked afterpulse names an input or dark PE that exists on its
    channel and arrived before it by a delay of the afterpulse spectrum (a
    transit-time spread of 1 fs, so that arrival times are the PE times)."""
    base = make_detector(model)
    spectra = dict(base.spectra, time_spectrum=_core.read_spectrum(
        write_points(tmp_path / "tts.txt", [(0.0, 1.0), (1e-15, 1.0)])))
    det = vb.Detector(model, base.params, spectra, 17, None, vb.Afterpulses(0.6, AFTER_DELAY))
    columns = _flashes(np.random.default_rng(18), flashes=10)
    rate, duration = 4e5, 1e-5
    with warnings.catch_warnings():  # windows cut at a segment's start
        warnings.simplefilter("ignore", vb.EarlyTriggerWarning)
        _, links = vb.run(det, pa.table(columns), truth="links", dark_rate=rate, duration=duration,
                          channels="0-11", segment=segment, block_channels=5)
    kind = np.asarray(links.column("kind").to_pylist())
    parent_kind = np.asarray(links.column("parent_kind").to_pylist())
    parent = links.column("parent_index").to_numpy(zero_copy_only=False)
    after = kind == "afterpulse"
    assert after.sum() > 300
    assert set(parent_kind[after]) == {"input", "dark"} and all(parent_kind[~after] == None)  # noqa: E711
    assert links.column("parent_index").null_count == int((~after).sum())
    channel = links.column("channel").to_numpy()
    arrival = links.column("arrival_time").to_numpy()
    parent_time = np.full(len(kind), np.nan)
    for c in range(12):
        dark = _seeding.dark_noise(17, c, rate, duration)
        of_input, of_dark = after & (channel == c) & (parent_kind == "input"), after & (channel == c) & (parent_kind == "dark")
        rows, index = parent[of_input].astype(np.int64), parent[of_dark].astype(np.int64)
        assert np.all(columns["channel"][rows] == c) and np.all(index < len(dark))
        parent_time[of_input], parent_time[of_dark] = columns["time"][rows], dark[index]
    delay = arrival[after] - parent_time[after]
    assert np.all((delay > AFTER_DELAY[0][0] - 1e-14) & (delay < AFTER_DELAY[0][-1] + 1e-14))
    # Each afterpulse once, however many records it reaches.
    pe_index = links.column("pe_index").to_numpy()[after]
    _, once = np.unique(channel[after].astype(np.int64) * 2**32 + pe_index, return_index=True)
    assert ks_statistic(delay[once], lambda d: numeric_cdf(*AFTER_DELAY, d)) < 1.63 / np.sqrt(len(once))


def test_links_files_from_before_the_parent_columns_still_read(tmp_path, make_detector):
    det = make_detector("ZozuvUza", seed=3)
    out = tmp_path / "run.parquet"
    vb.run(det, pa.table(_flashes(np.random.default_rng(5))), truth="links", output=out)
    path = tmp_path / "run.parquet.links.parquet"
    links = pq.read_table(path)
    older = links.drop_columns(["parent_kind", "parent_index", "fraction"])
    # Where runs before put the links: <stem>.links.parquet.
    pq.write_table(older.replace_schema_metadata(links.schema.metadata), tmp_path / "run.links.parquet")
    path.unlink()
    got = vb.read_links(out)
    assert got.column_names == ["record", "channel", "kind", "pe_index", "arrival_time", "amplitude", "pe_id",
                                "source", "weight"]
    assert got.equals(older.replace_schema_metadata(None))


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
@pytest.mark.parametrize("seeding, segment", [("independent", None), ("sequential", None),
                                              ("independent", 2e-6), ("sequential", 2e-6)])
def test_truth_changes_no_record(make_detector, model, seeding, segment):
    det = make_detector(model, seed=13)
    columns = _flashes(np.random.default_rng(14))
    table = PETable(channel=columns["channel"], time=columns["time"])
    options = dict(seeding=seeding, segment=segment, dark_rate=1e5, duration=1e-5, channels="0-11", workers=2)
    plain = vb.run(det, table, **options)
    with_truth = vb.run(det, table, truth=True, **options)
    linked, links = vb.run(det, table, truth="links", **options)
    names = list(plain.dtype.names)
    assert list(with_truth.dtype.names) == names + TRUTH_NAMES
    assert repack_fields(with_truth[names]).tobytes() == plain.tobytes()
    assert linked.tobytes() == with_truth.tobytes()
    assert links.num_rows == int(with_truth["n_pe_any"].sum())


def test_links_beside_a_record_file_and_from_a_pe_file(tmp_path, make_detector):
    det = make_detector("ZozuvUza", seed=15)
    columns = _flashes(np.random.default_rng(16))
    options = dict(truth="links", channels="0-11", workers=2, block_channels=4, dark_rate=2e5, duration=1e-5)
    records, links = vb.run(det, pa.table(columns), **options)
    # A file whose pe_id may hold no null: the links of dark PEs hold nulls there all the same.
    table = pa.table(columns)
    table = table.cast(table.schema.set(2, table.schema.field("pe_id").with_nullable(False)))
    pes = tmp_path / "pes.parquet"
    pq.write_table(table, pes)
    for suffix in (".parquet", ".npz"):
        out = tmp_path / f"run{suffix[1:]}{suffix}"
        vb.run(det, pes, output=out, **options)
        assert vb.read_records(out).tobytes() == records.tobytes()
        assert vb.read_links(out).equals(links) and links.column("pe_id").null_count > 0
        assert vb.read_links(tmp_path / f"{out.name}.links.parquet").equals(links)
    # A file where the links would go is refused before anything runs.
    (tmp_path / "again.npz.links.parquet").write_bytes(b"not links")
    with pytest.raises(FileExistsError, match=r"again\.npz\.links\.parquet: exists"):
        vb.run(det, pes, output=tmp_path / "again.npz", **options)
    assert not (tmp_path / "again.npz").exists()
    # Records written again without links: the links beside them are no longer theirs.
    with pytest.warns(vb.UnusedPEColumnsWarning):
        vb.run(det, pes, output=tmp_path / "runparquet.parquet", truth=True, channels="0-11", overwrite=True)
    with pytest.raises(ValueError, match="its run wrote no links"):
        vb.read_links(tmp_path / "runparquet.parquet")


def test_links_of_a_dataset_resume_and_read_back(tmp_path, make_detector):
    det = make_detector("MultiPMT", seed=17)
    columns = _flashes(np.random.default_rng(18))
    options = dict(truth="links", dark_rate=1e5, duration=1e-5, channels="0-11", block_channels=3)
    records, links = vb.run(det, pa.table(columns), **options)
    out = tmp_path / "set"
    vb.run(det, pa.table(columns), output=out, **options)
    assert vb.read_records(out).tobytes() == records.tobytes()
    assert vb.read_links(out).equals(links)
    # The records' directory holds records only: Parquet readers of it see no links.
    assert pq.read_table(out).num_rows == len(records)
    manifest = vb.read_metadata(out)
    assert manifest["truth"] == "links" and all("links" in b for b in manifest["blocks"])
    # A resume re-creates a links part that is gone and one whose contents changed, and keeps the rest.
    parts = sorted((tmp_path / "set.links").iterdir())
    assert [p.name for p in parts] == [f"links-part-{c:010d}.parquet" for c in (0, 3, 6, 9)]
    kept = parts[2].stat().st_mtime_ns
    parts[0].unlink()
    pq.write_table(pq.read_table(parts[1]).slice(1), parts[1])
    vb.run(det, pa.table(columns), output=out, resume=True, **options)
    assert vb.read_links(out).equals(links) and parts[2].stat().st_mtime_ns == kept
    # A resume must record the same truth.
    with pytest.raises(ValueError, match="cannot resume.*truth"), pytest.warns(vb.UnusedPEColumnsWarning):
        vb.run(det, pa.table(columns), output=out, resume=True, **dict(options, truth=True))
    # Overwritten by a run without links, the dataset keeps no links of the run before.
    with pytest.warns(vb.UnusedPEColumnsWarning):
        vb.run(det, pa.table(columns), output=out, overwrite=True, **dict(options, truth=True))
    assert not (tmp_path / "set.links").exists() and not (out / "_links").exists()
    with pytest.raises(ValueError, match="this dataset's run wrote no links"):
        vb.read_links(out)


def test_the_command_line_writes_truth_and_links(tmp_path):
    from click.testing import CliRunner
    from velmora_batch.cli import main

    from test_batch_cli import ZOZUVUZA

    columns = _flashes(np.random.default_rng(19), n_channels=4)
    pes = _write(tmp_path / "pes.parquet", columns)
    for truth, out in ((["--truth"], "t.parquet"), (["--truth", "links"], "l.parquet")):
        with warnings.catch_warnings():  # the command shows warnings on standard error
            warnings.simplefilter("always", vb.UnusedPEColumnsWarning)
            result = CliRunner().invoke(main, ["run", str(ZOZUVUZA), "--pes", str(pes), "--seed", "3", *truth,
                                               "-o", str(tmp_path / out)])
        assert result.exit_code == 0, result.output
        # Only the run without links names the columns it leaves unused.
        assert ("Warning: the PE table's columns pe_id, source, weight" in result.output) == (len(truth) == 1)
        assert vb.read_records(tmp_path / out).dtype.names[-6:] == tuple(TRUTH_NAMES)
    assert vb.read_links(tmp_path / "l.parquet").column_names[-3:] == ["pe_id", "source", "weight"]
    assert not (tmp_path / "t.links.parquet").exists()


def test_links_from_dask_workers_are_those_of_the_runs_own_threads(make_detector, tmp_path):
    import logging

    distributed = pytest.importorskip("distributed")
    det = make_detector("ZozuvUza", seed=21)
    table = pa.table(_flashes(np.random.default_rng(22)))
    options = dict(truth="links", dark_rate=1e5, duration=1e-5, channels="0-11", block_channels=3)
    records, links = vb.run(det, table, **options)
    with (distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0",
                                   silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client):
        gathered, gathered_links = vb.run(det, table, executor=client, **options)
        vb.run(det, table, executor=client, output=tmp_path / "set", **options)
    assert gathered.tobytes() == records.tobytes() and gathered_links.equals(links)
    assert vb.read_records(tmp_path / "set").tobytes() == records.tobytes()
    assert vb.read_links(tmp_path / "set").equals(links)


def test_links_count_in_the_memory_estimate_and_nothing_else_does(make_detector):
    from velmora_batch._options import RunOptions
    from velmora_batch._plan import check_memory, estimate_peak, prepare

    det = make_detector("ZozuvUza", seed=1)
    table = pa.table(_pe_columns(200_000, np.random.default_rng(8)))
    options = dict(seed=1, workers=2, dark_rate=None, duration=None, channels=None, seeding="independent",
                   segment=None, block_channels=None, output="r.parquet")
    with pytest.warns(vb.UnusedPEColumnsWarning):
        plain = prepare(det, table, RunOptions(**options))
    with pytest.warns(vb.UnusedPEColumnsWarning):
        columns = prepare(det, table, RunOptions(truth=True, **options))
    linked = prepare(det, table, RunOptions(truth="links", **options))
    linked.base_bytes = columns.base_bytes = plain.base_bytes
    assert estimate_peak(columns) == estimate_peak(plain)
    # The rows, the grouped other columns and the links of the blocks in flight: several MB here.
    assert estimate_peak(linked) - estimate_peak(plain) > 200_000 * 16 + linked.inputs.pes.grouped.extras.nbytes
    bound = (estimate_peak(plain) + estimate_peak(linked)) // 2
    check_memory(plain, bound)
    with pytest.raises(MemoryError):
        check_memory(linked, bound)


def test_afterpulse_links_name_the_afterpulse_drawn_for_their_channel(make_detector):
    from velmora_batch import _seeding

    base = make_detector("MultiPMT")
    delay = (np.array([50e-9, 100e-9, 300e-9]), np.array([0.0, 1.0, 0.0]))
    det = vb.Detector(base.model, base.params, base.spectra, None, None, vb.Afterpulses(0.5, delay))
    columns = _flashes(np.random.default_rng(23), n_channels=6)
    records, links = vb.run(det, pa.table(columns), truth="links", seed=24, dark_rate=2e5, duration=1e-5,
                            channels="0-5")
    kind = np.asarray(links.column("kind").to_pylist())
    record = links.column("record").to_numpy()
    after = kind == "afterpulse"
    assert after.sum() > 10
    found, kinds = _as_engine_links(links)
    count = counted(found)
    np.testing.assert_array_equal(records["n_afterpulse"], np.bincount(record[after & count], minlength=len(records)))
    # A channel's afterpulses are drawn from its PEs of the table (in table order) and its dark PEs.
    channel, index = links.column("channel").to_numpy()[after], links.column("pe_index").to_numpy()[after]
    arrival = links.column("arrival_time").to_numpy()[after]
    for c in np.unique(channel).tolist():
        parents = np.concatenate([columns["time"][columns["channel"] == c], _seeding.dark_noise(24, c, 2e5, 1e-5)])
        drawn = _seeding.afterpulses(24, c, parents, 0.5, _seeding.PiecewiseLinear(*delay))[1]
        offset = arrival[channel == c] - drawn[index[channel == c]]
        assert np.all((offset > -1e-15) & (offset < 1e-9 + 1e-15))


# Labels: each record's value of a PE-table column, from its input PE of the largest charge share.

@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_records_take_the_event_id_of_their_flash_and_dark_only_records_none(make_detector, model):
    det = make_detector(model, seed=21)
    flashes = {7: 1.0e-6, 9: 6.0e-6}  # event id: flash time, far apart on every channel
    channel = np.tile(np.repeat(np.arange(6), 4), 2)
    event_id = np.repeat(list(flashes), 24)
    time = np.array([flashes[e] for e in event_id]) + np.tile(np.linspace(0, 3e-9, 4), 12)
    table = pa.table({"channel": channel, "time": time, "event_id": event_id.astype(np.int64)})
    records, links = vb.run(det, table, truth="links", dark_rate=1e5, duration=1e-5, channels="0-5")
    labels = vb.record_labels(links, records, "event_id")
    assert labels.type == pa.int64() and len(labels) == len(records)
    start = records["time_ns"] * 1e-9 if model == "ZozuvUza" else records["time"]
    got = labels.to_pylist()
    inputs = np.bincount(links.column("record").to_numpy()[np.asarray(links.column("kind").to_pylist()) == "input"],
                         minlength=len(records))
    for t, label, n in zip(start, got, inputs, strict=True):
        near = [e for e, at in flashes.items() if abs(t - at) < 100e-9]
        assert label == (near[0] if n else None), (t, label, n)
    assert got.count(7) >= 6 and got.count(9) >= 6 and None in got  # dark noise alone made some records


def test_a_label_goes_to_the_largest_charge_share_with_fractions_and_ties_to_the_smaller_row():
    links = pa.table({"record": [0, 0, 0, 1, 1, 2], "channel": pa.array([0] * 6, pa.int32()),
                      "kind": pa.array(["input", "input", "dark", "input", "input", "afterpulse"]).dictionary_encode(),
                      "pe_index": [4, 3, 0, 8, 5, 0], "arrival_time": [0.0] * 6,
                      "amplitude": [2.0, 1.0, 9.0, 1.0, 1.0, 5.0], "tag": ["a", "b", None, "c", "d", None]})
    # By amplitude: record 0's largest input PE is row 4 (a dark PE of more is no input), record 1 ties to row 5.
    assert vb.record_labels(links, 4, "tag").to_pylist() == ["a", "d", None, None]
    # With the share of each pulse inside the record, row 3 carries more of record 0's charge.
    shares = links.append_column("fraction", pa.array([0.25, 1.0, 1.0, 1.0, 0.5, 1.0]))
    assert vb.record_labels(shares, 3, "tag").to_pylist() == ["b", "c", None]


@pytest.mark.parametrize("column, message", [
    ("event", r"label 'event' is not a column of the PE table \(did you mean 'event_id'\?\); its columns besides "
              r"channel and time: event_id, weight"),
    ("amplitude", "label 'amplitude' is not a column of the PE table; its columns besides channel and time: "
                  "event_id, weight"),
])
def test_a_label_that_names_no_pe_column_is_refused_with_the_columns_there_are(column, message):
    links = _links.links_schema(pa.schema([("event_id", pa.int64()), ("weight", pa.float32())])).empty_table()
    with pytest.raises(ValueError, match=message):
        vb.record_labels(links, 0, column)


@pytest.mark.parametrize("suffix", [".parquet", ".npz"])
@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_truth_files_of_every_age_read_back(tmp_path, model, suffix):
    """Truth columns are found at the end of a record file (or before its
    event column) whether the file has n_pe_any or was written before it,
    and whatever age the model's own columns are; a file with only part of
    the first truth columns is no record file."""
    from test_batch_schema import FIRST_COLUMNS, write_columns

    spec = MODELS[model]
    dtype = spec.record_dtype(3, truth=True)
    full = np.zeros(3, dtype)
    full["channel"] = [1, 2, 2]
    full["n_pe"] = [4, 0, 1]
    own = [c.name for c in spec.columns]
    path = tmp_path / f"r{suffix}"
    for model_columns in (FIRST_COLUMNS[model], own):
        for truth in (TRUTH_NAMES[:5], TRUTH_NAMES):
            for event in ([], ["event"]):
                names = [*model_columns, *truth]
                columns = {name: full[name] for name in names} | ({"event": np.zeros(3, np.int64)} if event else {})
                write_columns(path, columns)
                records = vb.read_records(path)
                assert records.dtype.names == (*names, *event)
                assert records["n_pe"].tolist() == [4, 0, 1]
    write_columns(path, {name: full[name] for name in [*own, *TRUTH_NAMES[:4]]})
    with pytest.raises(ValueError, match="not a velmora record file"):
        vb.read_records(path)


def test_links_files_written_before_fraction_still_read(tmp_path, make_detector):
    det = make_detector("MultiPMT", seed=31)
    out = tmp_path / "run.parquet"
    vb.run(det, pa.table(_flashes(np.random.default_rng(32), n_channels=3)), output=out, truth="links",
           channels="0-2")
    links = vb.read_links(out)
    assert links.column_names[:len(_links.LINK_COLUMNS)] == list(_links.LINK_COLUMNS)
    assert links.column("fraction").type == pa.float64()
    # The same file as a writer before the fraction column wrote it.
    path = tmp_path / "run.parquet.links.parquet"
    table = pq.read_table(path)
    pq.write_table(table.drop_columns(["fraction"]), path)
    assert vb.read_links(out).equals(links.drop_columns(["fraction"]))
