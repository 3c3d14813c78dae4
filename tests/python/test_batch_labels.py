"""Records labelled by a column of the PE table (run(label=...), --label): each
record's value is that of record_labels over its links, whatever the output
format, the split into blocks, workers or segments; it is stored, read back,
converted and shown with its meaning; wrong labels are refused up front in one
line, the dry run alike; a run without a label is unchanged."""

import json
import math

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import velmora_batch as vb
from click.testing import CliRunner
from numpy.lib.recfunctions import repack_fields
from velmora_batch.cli import main

from test_batch_cli import ZOZUVUZA

MODELS = ["ZozuvUza", "MultiPMT"]
FLASHES = {7: 1.0e-6, 9: 6.0e-6}  # event id: flash time, far apart on every channel
OUTPUTS = [None, "r.parquet", "r.npz", "r.root", "r.h5", "dataset/"]
# The flash table's column not used as the label is named in a warning, as any unused column is.
pytestmark = pytest.mark.filterwarnings("ignore:the PE table's column:UserWarning")


def _flash_table(float_label=False):
    """Two flashes of four PEs on each of six channels, with their event id
    (and a float column: the id plus a half)."""
    channel = np.tile(np.repeat(np.arange(6), 4), 2)
    event_id = np.repeat(list(FLASHES), 24).astype(np.int64)
    time = np.array([FLASHES[e] for e in event_id]) + np.tile(np.linspace(0, 3e-9, 4), 12)
    return pa.table({"channel": channel, "time": time, "event_id": event_id, "energy": event_id + 0.5})


def _run(det, column="event_id", **options):
    options = {"dark_rate": 1e5, "duration": 1e-5, "channels": "0-5", "seed": 5, **options}
    return vb.run(det, _flash_table(), **options, **({"label": column} if column else {}))


def _expected(det, column="event_id", **options):
    """The records and their labels as record_labels gives them from a run's links."""
    records, links = _run(det, column=None, truth="links", **options)
    labels = vb.record_labels(links, records, column)
    none = -1 if pa.types.is_integer(labels.type) else math.nan
    return records, np.asarray(labels.fill_null(none).to_numpy(zero_copy_only=False))


def _without(records, name):
    return repack_fields(records[[n for n in records.dtype.names if n != name]])


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("output", OUTPUTS)
def test_records_carry_their_flashs_event_id_and_dark_only_records_none(tmp_path, make_detector, model, output):
    det = make_detector(model, seed=21)
    truth_records, labels = _expected(det)
    result = _run(det, output=None if output is None else tmp_path / output)
    records = result if output is None else vb.read_records(tmp_path / output)
    assert records.dtype.names[-7:] == ("n_pe", "true_charge", "first_pe_time", "n_dark", "n_afterpulse",
                                        "n_pe_any", "event_id")
    assert records["event_id"].dtype == np.int64
    np.testing.assert_array_equal(records["event_id"], labels)
    # The label changes no other column: the records are those of a run with links.
    assert _without(records, "event_id").tobytes() == truth_records.tobytes()
    start = records["time_ns"] * 1e-9 if model == "ZozuvUza" else records["time"]
    for t, label, n_input in zip(start, records["event_id"], records["n_pe"] - records["n_dark"]
                                 - records["n_afterpulse"], strict=True):
        near = [e for e, at in FLASHES.items() if abs(t - at) < 100e-9]
        assert label == (near[0] if n_input else -1), (t, label, n_input)
    got = records["event_id"].tolist()
    assert got.count(7) >= 6 and got.count(9) >= 6 and -1 in got  # dark noise alone made some records
    if output is not None:
        # The links that made the labels are not written.
        assert [p.name for p in tmp_path.iterdir()] == [output.rstrip("/")]
        assert not (tmp_path / "dataset" / "_links").exists()
        assert vb.read_metadata(tmp_path / output)["label"] == {"column": "event_id", "type": "int64"}
        with pytest.raises(ValueError, match="wrote no links"):
            vb.read_links(tmp_path / output)


@pytest.mark.parametrize("model", MODELS)
def test_a_floating_point_label_is_nan_where_no_input_pe_reaches(tmp_path, make_detector, model):
    det = make_detector(model, seed=4)
    _, labels = _expected(det, "energy")
    vb.run(det, _flash_table(), label="energy", dark_rate=1e5, duration=1e-5, channels="0-5", seed=5,
           output=tmp_path / "r.parquet")
    records = vb.read_records(tmp_path / "r.parquet")
    assert records["energy"].dtype == np.float64
    np.testing.assert_array_equal(records["energy"], labels)  # NaN where the other has NaN
    assert set(records["energy"][~np.isnan(records["energy"])].tolist()) == {7.5, 9.5}
    assert np.isnan(records["energy"]).any()


@pytest.mark.parametrize("model", MODELS)
def test_labels_do_not_depend_on_how_the_run_is_split(make_detector, model):
    det = make_detector(model, seed=8)
    _, expected = _expected(det)
    for options in ({"workers": 1, "block_channels": 1}, {"workers": 2, "block_channels": 1},
                    {"workers": 2, "block_channels": 4}, {"workers": 1, "block_channels": 6}):
        np.testing.assert_array_equal(_run(det, **options)["event_id"], expected, err_msg=str(options))
    # A segmented run has records of its own (pulses do not cross the edges); its labels are its links'.
    segment = 4e-6
    _, expected = _expected(det, segment=segment, block_channels=2)
    for options in ({"workers": 1, "block_channels": 6}, {"workers": 2, "block_channels": 2}):
        np.testing.assert_array_equal(_run(det, segment=segment, **options)["event_id"], expected)


def test_labels_from_dask_workers_and_in_time_order_are_the_same(tmp_path, make_detector):
    import concurrent.futures

    det = make_detector("ZozuvUza", seed=3)
    expected = _run(det)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        _run(det, executor=pool, output=tmp_path / "d", block_channels=2)
    np.testing.assert_array_equal(vb.read_records(tmp_path / "d"), expected)
    by_time = _run(det, order="time", output=tmp_path / "t.parquet")
    assert by_time.rows == len(expected)
    records = vb.read_records(tmp_path / "t.parquet")
    order = np.lexsort((expected["channel"], expected["time_ns"]))
    np.testing.assert_array_equal(records, expected[order])


@pytest.mark.parametrize("source", ["s.parquet", "s.npz", "s.root", "s.h5", "s/"])
def test_a_labelled_file_converts_to_a_dataset_and_back_and_shows_its_label(tmp_path, make_detector, source):
    det = make_detector("MultiPMT", seed=2)
    expected = _run(det)
    _run(det, output=tmp_path / source)
    vb.convert(tmp_path / source, tmp_path / "ds")
    vb.convert(tmp_path / "ds", tmp_path / "back.h5")
    for path in (tmp_path / "ds", tmp_path / "back.h5"):
        np.testing.assert_array_equal(vb.read_records(path), expected)
        assert vb.read_metadata(path)["label"] == {"column": "event_id", "type": "int64"}
    assert vb.read_records(tmp_path / "ds", columns=["event_id"])["event_id"].tolist() == expected["event_id"].tolist()
    result = CliRunner().invoke(main, ["info", str(tmp_path / "ds")])
    assert result.exit_code == 0, result.output
    line = next(l for l in result.output.splitlines() if l.strip().startswith("event_id"))
    assert "int64" in line and "'event_id' of the record's input PE with the largest charge share" in line
    assert "-1 where no input PE reaches the record" in line
    # Every format carries the meaning with the column.
    field = pq.read_schema(next((tmp_path / "ds").glob("part-*.parquet"))).field("event_id")
    assert b"largest charge share" in field.metadata[b"description"]


def test_events_keep_the_label(tmp_path, make_detector):
    det = make_detector("ZozuvUza", seed=2)
    expected = _run(det, output=tmp_path / "r.parquet")
    assert expected.rows
    result = CliRunner().invoke(main, ["events", str(tmp_path / "r.parquet"), "-o", str(tmp_path / "e.parquet"),
                                       "--multiplicity", "2", "--window", "1e-6", "--records-out",
                                       str(tmp_path / "g.parquet")])
    assert result.exit_code == 0, result.output
    grouped = vb.read_records(tmp_path / "g.parquet")
    records = vb.read_records(tmp_path / "r.parquet")
    assert grouped.dtype.names[-3:] == ("event_id", "event", "record_row")
    np.testing.assert_array_equal(grouped["event_id"], records["event_id"][grouped["record_row"]])
    assert b"largest charge share" in pq.read_schema(tmp_path / "g.parquet").field("event_id").metadata[b"description"]


def _pe_file(tmp_path, **extra):
    table = _flash_table()
    for name, values in extra.items():
        table = table.append_column(name, pa.array(values))
    pq.write_table(table, tmp_path / "pes.parquet")
    return tmp_path / "pes.parquet"


@pytest.mark.parametrize("args, message", [
    (["--label", "evnt_id"], "Error: --label 'evnt_id': the PE table has no such column (did you mean 'event_id'?); "
                             "its columns besides channel and time: event_id, energy"),
    (["--label", "intsum"], "Error: --label 'intsum': the label column would take the name of a record column"),
    (["--label", "event"], "Error: --label 'event': the label column would take the name of a record column"),
    (["--label", "tag"], "Error: --label 'tag': the PE table's column holds string; a label is taken from a column "
                         "of integers or of floating-point numbers"),
    (["--label", "event_id", "--no-pes"], "Error: --label 'event_id': a label is the value of a column of the PE "
                                          "table, and this run has none (dark noise only)"),
    (["--label", "neg"], "Error: --label 'neg': the PE table's column holds -1, which labels a record that no input "
                         "PE reaches"),
    (["--label", "big"], "Error: --label 'big': the PE table's column holds a value beyond the int64 range"),
])
@pytest.mark.parametrize("dry_run", [False, True])
def test_wrong_labels_are_refused_up_front_in_one_line(tmp_path, args, message, dry_run):
    n = 48
    pes = _pe_file(tmp_path, tag=pa.array(["a"] * n), intsum=np.zeros(n), event=np.zeros(n, np.int64),
                   neg=np.r_[np.full(n - 1, 3), -1], big=np.array([3] * (n - 1) + [2**63], np.uint64))
    given = ["--pes", str(pes)] if "--no-pes" not in args else ["--channels", "0-5"]
    args = [a for a in args if a != "--no-pes"]
    out = tmp_path / "out.parquet"
    result = CliRunner().invoke(main, ["run", str(ZOZUVUZA), *given, "--dark-rate", "1e3", "--duration", "1e-4",
                                       *args, "-o", str(out), *(["--dry-run"] if dry_run else [])])
    assert result.exit_code == 1 and result.output.startswith(message), result.output
    assert len(result.output.strip().splitlines()) == 1
    assert not out.exists() and sorted(p.name for p in tmp_path.iterdir()) == ["pes.parquet"]


@pytest.mark.parametrize("label, message", [
    ("evnt_id", r"^label='evnt_id': the PE table has no such column \(did you mean 'event_id'\?\)"),
    ("n_pe", r"^label='n_pe': the label column would take the name of a record column"),
    ("", r"^label= must name a column of the PE table, got ''"),
])
def test_python_names_the_label_argument(make_detector, label, message):
    table = _flash_table().append_column("n_pe", pa.array(np.zeros(48)))
    with pytest.raises(ValueError, match=message):
        vb.run(make_detector("MultiPMT"), table, label=label)


@pytest.mark.parametrize("values, message", [
    (np.r_[np.full(47, 3), -1], "holds -1, which labels a record that no input PE reaches"),
    (np.array([3] * 47 + [2**63], np.uint64), "beyond the int64 range"),
])
def test_integer_labels_that_cannot_be_told_from_none_are_refused(tmp_path, make_detector, values, message):
    table = _flash_table().append_column("bad", pa.array(values))
    with pytest.raises(ValueError, match=message):  # a table in memory: before anything runs
        vb.run(make_detector("ZozuvUza"), table, label="bad", output=tmp_path / "r.parquet")
    assert list(tmp_path.iterdir()) == []
    pq.write_table(table, tmp_path / "pes.parquet")
    with pytest.raises(ValueError, match="^label='bad': .*" + message):  # a file: its column read before any block
        vb.run(make_detector("ZozuvUza"), tmp_path / "pes.parquet", label="bad", output=tmp_path / "r.parquet")
    assert [p.name for p in tmp_path.iterdir()] == ["pes.parquet"]
    # Unsigned values within range label as int64.
    ok = _flash_table().append_column("fine", pa.array(np.arange(48, dtype=np.uint32)))
    records = vb.run(make_detector("ZozuvUza"), ok, label="fine")
    assert records["fine"].dtype == np.int64 and (records["fine"] >= 0).all()


def test_labelled_datasets_resume_only_with_the_same_label(tmp_path, make_detector):
    det = make_detector("ZozuvUza", seed=1)
    _run(det, output=tmp_path / "d", block_channels=2)
    with pytest.raises(ValueError, match="label"):
        _run(det, column="energy", output=tmp_path / "d", block_channels=2, resume=True)
    _run(det, output=tmp_path / "d", block_channels=2, resume=True)
    manifest = json.loads(pq.read_schema(tmp_path / "d" / "_manifest.parquet").metadata[b"velmora"])
    assert manifest["label"] == {"column": "event_id", "type": "int64"}


@pytest.mark.parametrize("suffix", [".parquet", ".npz"])
def test_a_label_column_of_another_type_is_refused_as_no_record_file(tmp_path, make_detector, suffix):
    records = _run(make_detector("MultiPMT", seed=2))
    columns = {n: records[n] for n in records.dtype.names}
    columns["event_id"] = columns["event_id"].astype(np.uint32)
    path = tmp_path / f"x{suffix}"
    if suffix == ".npz":
        np.savez(path, **columns)
    else:
        pq.write_table(pa.table(columns), path)
    for columns in (None, ["event_id"]):
        with pytest.raises(ValueError, match=r"not a velmora record file: its label column 'event_id' holds uint32, "
                                             r"not int64 or float64$"):
            vb.read_records(path, columns=columns)
