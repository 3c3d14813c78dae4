"""The record schema describes itself: every column written has a unit and a
meaning in one table, which the Parquet field metadata, `velmora schema
records` and the README's table of columns are made from."""

import json
import re
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import velmora_batch as vb
from click.testing import CliRunner
from conftest import MULTIPMT_DEFAULTS
from velmora_batch._dataset import MANIFEST, MANIFEST_JSON, write_manifest
from velmora_batch._models import MODELS
from velmora_batch._links import links_schema
from velmora_batch._records import PASSED_THROUGH, RECORD_COLUMNS, column_info, columns_tables
from velmora_batch.cli import main

README = Path(__file__).resolve().parents[2] / "README.md"
DARK = dict(dark_rate=2e5, duration=1e-3, channels=range(4), seed=5)

# Each way a run writes columns: the options that add columns, where run() takes them.
RUN_OPTIONS = {"plain": {}, "truth": {"truth": True}, "links": {"truth": "links"}}


def type_name(field):
    """A column's numpy type as the table names it."""
    base = np.dtype(field.base).name
    return f"{base}[waveform_samples]" if field.shape else base


def test_the_table_names_each_column_once_with_a_meaning():
    for model, columns in RECORD_COLUMNS.items():
        names = [c.name for c in columns]
        assert len(names) == len(set(names)), model
        for c in columns:
            assert c.meaning and "\n" not in c.meaning and not c.meaning.endswith("."), (model, c.name)
            if model in MODELS:
                np.dtype(re.sub(r"\[.*\]$", "", c.type))  # a numpy type


@pytest.mark.parametrize("model", list(MODELS))
def test_every_column_of_the_model_has_its_entry_with_its_type(model):
    dtype = MODELS[model].record_dtype(3)
    for name in dtype.names:
        info = column_info(model, name)
        assert info is not None, f"{model} column {name!r} has no entry in RECORD_COLUMNS"
        assert info.type == type_name(dtype[name]) and info.when == "", name
    # The columns always written come first in the table, in the record's order.
    assert [c.name for c in RECORD_COLUMNS[model]][: len(dtype.names)] == list(dtype.names)


@pytest.mark.parametrize("output", ["r.parquet", "d"], ids=["file", "dataset"])
@pytest.mark.parametrize("option", list(RUN_OPTIONS))
@pytest.mark.parametrize("model", list(MODELS))
def test_every_written_column_carries_its_unit_and_meaning(make_detector, tmp_path, model, option, output):
    out = tmp_path / output
    vb.run(make_detector(model), output=out, **DARK, **RUN_OPTIONS[option], block_channels=2)
    records = vb.read_records(out)
    assert len(records) > 0
    files = sorted(out.glob("part-*.parquet")) if out.is_dir() else [out]
    assert files
    for path in files:
        for field in pq.read_schema(path):
            info = column_info(model, field.name)
            assert info is not None, f"{model} column {field.name!r} is written but has no entry in RECORD_COLUMNS"
            assert field.metadata == {b"unit": info.unit.encode(), b"description": info.meaning.encode()}
            assert info.type == type_name(records.dtype[field.name]), field.name
    links = sorted(tmp_path.rglob("*links*.parquet"))
    assert bool(links) == (option == "links")
    for path in links:
        schema = pq.read_schema(path)
        assert schema.names == [c.name for c in RECORD_COLUMNS["links"]]
        for field in schema:
            info = column_info("links", field.name)
            assert field.metadata == {b"unit": info.unit.encode(), b"description": info.meaning.encode()}


def test_every_column_of_a_links_file_carries_its_unit_and_meaning():
    own = pa.field("pe_id", pa.int64(), metadata={"unit": "", "description": "the generator's PE number"})
    schema = links_schema(pa.schema([pa.field("source", pa.string()), own]))
    names = [c.name for c in RECORD_COLUMNS["links"]]
    assert schema.names == [*names, "source", "pe_id"]
    for field in schema:
        info = column_info("links", field.name) or PASSED_THROUGH
        want = own.metadata if field.name == "pe_id" else {b"unit": info.unit.encode(),
                                                            b"description": info.meaning.encode()}
        assert field.metadata == want, field.name


def readme_tables():
    text = README.read_text()
    match = re.search(r"<!-- record columns: [^\n]*-->\n(.*?)<!-- end of record columns -->", text, re.S)
    assert match, "the README has no generated table of record columns"
    return match.group(1)


def test_the_readme_lists_the_columns_as_the_table_does():
    assert readme_tables() == columns_tables(), (
        "the README's record columns differ from RECORD_COLUMNS: run tools/update_readme_columns.py")


@pytest.mark.parametrize("model", [*MODELS, "links"])
def test_schema_records_prints_the_table(model):
    result = CliRunner().invoke(main, ["schema", "records", model])
    assert result.exit_code == 0, result.output
    lines = result.output.splitlines()
    assert lines[0].split() == ["column", "type", "unit", "meaning"]
    assert [line.split()[0] for line in lines[1:]] == [c.name for c in RECORD_COLUMNS[model]]
    for line, info in zip(lines[1:], RECORD_COLUMNS[model], strict=True):
        assert info.meaning in line


# Exact MultiPMT times: tdc_count, the hit start in whole TDC steps.

TOT_STEP = MULTIPMT_DEFAULTS["tot_step"]


def flashes(rng, start, n=20):
    """Flashes of a few PEs from ``start`` on, at times that are whole multiples
    of 2^-26 s, so that start + t holds t exactly for a start up to 2^27 s."""
    t = np.repeat(rng.integers(0, 2**12, n), 6) + rng.integers(0, 3, 6 * n)  # units of 2^-26 s (~15 ns)
    return start + np.sort(t) * 2.0**-26


@pytest.mark.parametrize("seeding, segment", [("independent", None), ("sequential", None),
                                              ("independent", 1e-6), ("sequential", 2.5e-6)])
def test_tdc_count_is_the_time_in_whole_steps(make_detector, seeding, segment):
    # Short times (far below 2^50 steps), where dividing the time by the step is exact.
    rng = np.random.default_rng(11)
    pes = vb.PETable(np.repeat(np.arange(3), 120), np.concatenate([flashes(rng, 0.0) for _ in range(3)]))
    records = vb.run(make_detector("MultiPMT"), pes, seed=9, seeding=seeding, segment=segment, workers=1)
    assert len(records) > 50
    np.testing.assert_array_equal(records["tdc_count"], np.round(records["time"] / TOT_STEP).astype(np.int64))
    if segment is not None:  # the hits lie in many segments, and the origins count
        assert len(np.unique(records["tdc_count"] // round(segment / TOT_STEP))) > 5


def test_tdc_count_stays_exact_far_from_the_origin(make_detector):
    """The same PEs 10^8 s later, in a segment of their own: with one
    generator through both runs, the hits are the same within their segment,
    so their counts differ by exactly 10^8 s in steps, where the times, as
    doubles, are 15 ns apart and no longer hold whole steps of 0.5 ns."""
    det = make_detector("MultiPMT")
    near = flashes(np.random.default_rng(12), 0.0)
    far = near + 1e8
    assert (far - 1e8 == near).all()
    run = dict(seed=4, seeding="sequential", segment=1.0)
    a = vb.run(det, vb.PETable(np.zeros(len(near), np.int64), near), **run)
    b = vb.run(det, vb.PETable(np.zeros(len(far), np.int64), far), **run)
    assert len(a) > 10 and len(a) == len(b)
    assert (b["tdc_count"] - a["tdc_count"] == round(1e8 / TOT_STEP)).all()
    np.testing.assert_array_equal(b["time"], a["time"] + 1e8)  # time keeps its value
    # Here dividing the time by the step no longer gives the count.
    assert (np.round(b["time"] / TOT_STEP).astype(np.int64) != b["tdc_count"]).any()


# The columns of the first record files: every file written since holds them
# and, after them, the columns added up to its writing.
FIRST_COLUMNS = {
    "ZozuvUza": ["channel", "time_ns", "trigger_time_s", "trigger_time_ticks", "baseline", "intsum", "waveform"],
    "MultiPMT": ["time", "channel", "time_over_threshold", "adc_sample"],
}


def write_columns(path, columns):
    """A record file of ``columns`` as an earlier writer wrote it."""
    if path.suffix == ".npz":
        np.savez(path, metadata=np.array("{}"), **columns)
        return
    arrays = [pa.FixedSizeListArray.from_arrays(pa.array(v.reshape(-1)), v.shape[1]) if v.ndim == 2 else pa.array(v)
              for v in columns.values()]
    pq.write_table(pa.Table.from_arrays(arrays, names=list(columns)), path)


@pytest.mark.parametrize("suffix", [".parquet", ".npz"])
@pytest.mark.parametrize("model", list(MODELS))
def test_record_files_written_before_columns_were_added_still_read(tmp_path, model, suffix):
    dtype = MODELS[model].record_dtype(3)
    full = np.zeros(3, dtype)
    full["channel"] = [1, 2, 2]
    names = list(dtype.names)
    assert names[: len(FIRST_COLUMNS[model])] == FIRST_COLUMNS[model]
    path = tmp_path / f"r{suffix}"
    for n in range(len(FIRST_COLUMNS[model]), len(names) + 1):
        write_columns(path, {name: full[name] for name in names[:n]})
        records = vb.read_records(path)
        assert records.dtype.names == tuple(names[:n])
        np.testing.assert_array_equal(records["channel"], [1, 2, 2])
    # A file that lacks a column the first files already had is no record file.
    write_columns(path, {name: full[name] for name in FIRST_COLUMNS[model][:-1]})
    with pytest.raises(ValueError, match="not a velmora record file"):
        vb.read_records(path)


@pytest.mark.parametrize("truth", [False, True], ids=["records", "with truth"])
def test_records_grouped_into_events_read_back(tmp_path, truth):
    """Records with the event column after all others (as grouping them into
    events writes them) read back with it; elsewhere it is refused."""
    dtype = MODELS["MultiPMT"].record_dtype(1, truth)
    full = np.zeros(3, dtype)
    columns = {name: full[name] for name in dtype.names} | {"event": np.array([-1, 0, 0], np.int64)}
    path = tmp_path / "r.parquet"
    write_columns(path, columns)
    records = vb.read_records(path)
    assert records.dtype.names == (*dtype.names, "event") and records["event"].tolist() == [-1, 0, 0]
    write_columns(path, {"event": columns.pop("event"), **columns})
    with pytest.raises(ValueError, match="not a velmora record file"):
        vb.read_records(path)


def test_the_records_events_writes_read_back(make_detector, tmp_path):
    vb.run(make_detector("MultiPMT"), output=tmp_path / "r.parquet", **DARK)
    result = CliRunner().invoke(main, ["events", str(tmp_path / "r.parquet"), "-o", str(tmp_path / "e.parquet"),
                                       "--multiplicity", "2", "--window", "1e-6", "--records-out",
                                       str(tmp_path / "re.parquet")])
    assert result.exit_code == 0, result.output
    records = vb.read_records(tmp_path / "re.parquet")
    assert records["event"].tolist() == pq.read_table(tmp_path / "re.parquet").column("event").to_pylist()
    assert (records["event"] >= 0).any()
    result = info(tmp_path / "re.parquet")
    assert result.exit_code == 0 and "  event " in result.output and f"records: {len(records)}" in result.output
    result = info(tmp_path / "e.parquet")
    assert result.exit_code == 0, result.output
    lines = result.output.splitlines()
    events = pq.read_table(tmp_path / "e.parquet")
    assert lines[:2] == [f"Parquet event table: {tmp_path / 'e.parquet'}", f"events: {events.num_rows}"]
    start = next(line for line in lines if line.split()[:1] == ["start"])
    assert start.split()[1:3] == ["double", events.schema.field("start").metadata[b"unit"].decode()]
    assert '  events: {"multiplicity": 2, "window": 1e-06}' in lines  # the trigger that made them


# The run's description stored with its records names its PE input.


@pytest.fixture
def pe_rows():
    rng = np.random.default_rng(21)
    return vb.PETable(rng.integers(0, 4, 300), rng.uniform(0, 1e-4, 300))


def pe_input(kind, rows, tmp_path):
    """The PEs of ``rows`` given to a run (from ``tmp_path``) as a file by a
    relative name, as a table in memory, or not at all; and the name stored."""
    if kind == "file":
        (tmp_path / "in").mkdir()
        pq.write_table(pa.table({"channel": rows.channel, "time": rows.time}), tmp_path / "in" / "hits.parquet")
        return "in/hits.parquet", str(tmp_path / "in" / "hits.parquet")
    if kind == "memory":
        return rows, "memory table"
    return None, "none"


@pytest.mark.parametrize("output", ["r.parquet", "r.npz", "d"], ids=["parquet", "npz", "dataset"])
@pytest.mark.parametrize("kind", ["file", "memory", "none"])
def test_the_description_names_the_pe_input_its_digest_and_the_dark_noise(make_detector, tmp_path, pe_rows,
                                                                           output, kind, monkeypatch):
    monkeypatch.chdir(tmp_path)
    pes, name = pe_input(kind, pe_rows, tmp_path)
    det = make_detector("ZozuvUza")
    vb.run(det, pes, output=output, dark_rate=1e4, duration=1e-4, channels=range(4), seed=3, block_channels=2)
    meta = vb.read_metadata(output)
    assert meta["pes_input"] == name
    assert (meta["dark_rate"], meta["duration"], meta["seed"], meta["seeding"]) == (1e4, 1e-4, 3, "independent")
    assert meta["config"] == det.config() and meta["velmora_version"] == vb.__version__
    # The digest is that of the PE rows, however they were given; the dataset's
    # manifest holds the same digest for the same rows.
    same_rows = vb.run(det, pe_rows if kind != "none" else None, output=tmp_path / "again.parquet", dark_rate=1e4,
                       duration=1e-4, channels=range(4), seed=3)
    assert meta["pes_sha256"] == vb.read_metadata(same_rows.path)["pes_sha256"]
    if kind != "none":
        other = vb.PETable(pe_rows.channel, pe_rows.time + 1e-9)
        vb.run(det, other, output=tmp_path / "other.parquet", channels=range(4), seed=3)
        assert vb.read_metadata(tmp_path / "other.parquet")["pes_sha256"] != meta["pes_sha256"]


def test_a_dataset_described_before_its_pe_input_was_named_still_resumes(make_detector, tmp_path, pe_rows):
    det = make_detector("ZozuvUza")
    out = tmp_path / "d"
    run = dict(output=out, channels=range(4), seed=3, block_channels=2)
    vb.run(det, pe_rows, **run)
    want = vb.read_records(out)
    stored = pq.read_schema(out / MANIFEST)
    manifest = json.loads(stored.metadata[b"velmora"])
    del manifest["pes_input"]  # as a run before this description wrote it
    manifest["complete"] = False
    write_manifest(out, manifest, stored)
    (out / "part-0000000002.parquet").unlink()
    vb.run(det, pe_rows, resume=True, **run)
    assert vb.read_records(out).tobytes() == want.tobytes()
    assert vb.read_metadata(out)["pes_input"] == "memory table"


# velmora info: what a record file or dataset holds, and whether a dataset is complete.


def info(*args):
    return CliRunner().invoke(main, ["info", *map(str, args)])


@pytest.fixture
def dataset(make_detector, tmp_path):
    """A finished MultiPMT dataset of three parts, and its records."""
    out = tmp_path / "d"
    vb.run(make_detector("MultiPMT"), output=out, **dict(DARK, channels=range(6)), block_channels=2)
    return out, vb.read_records(out)


def test_info_of_a_complete_dataset(dataset):
    out, records = dataset
    result = info(out)
    assert result.exit_code == 0, result.output
    lines = result.output.splitlines()
    assert lines[:4] == [f"dataset directory: {out}", "model: MultiPMT", f"records: {len(records)}",
                         "complete: yes, every part present and checked"]
    tdc = next(line for line in lines if line.split()[:1] == ["tdc_count"])
    assert tdc.split()[1:4] == ["int64", "TDC", "steps"] and column_info("MultiPMT", "tdc_count").meaning in tdc
    assert '  pes_input: "none"' in lines and "  blocks: 3" in lines and "    tot_step: 5e-10" in lines
    report = json.loads(info(out, "--json").output)
    assert report["complete"] is True and report["rows"] == len(records) and report["problems"] == []
    assert [c["name"] for c in report["columns"]] == list(records.dtype.names)
    assert report["metadata"]["config"] == vb.read_metadata(out)["config"]  # in full


def drop_part(out):
    (out / "part-0000000002.parquet").unlink()


def change_part(out):
    path = out / "part-0000000002.parquet"
    data = bytearray(path.read_bytes())
    data[8] ^= 0xFF  # within its first data page
    path.write_bytes(bytes(data))


def unfinish(out):
    stored = pq.read_schema(out / MANIFEST)
    manifest = json.loads(stored.metadata[b"velmora"])
    manifest["complete"] = False
    manifest["blocks"] = manifest["blocks"][:1]
    manifest["rows"] = manifest["blocks"][0]["rows"]
    write_manifest(out, manifest, stored)


@pytest.mark.parametrize("damage, problem", [
    (drop_part, "part-0000000002.parquet: missing"),
    (change_part, "part-0000000002.parquet: its contents changed since it was written .*SHA-256.*"),
    (unfinish, "the run that writes it has not finished: 1 block of 2 of its 6 channels are written; resume it"),
], ids=["part missing", "part changed", "run unfinished"])
def test_info_of_an_incomplete_dataset_names_why_and_fails(dataset, damage, problem):
    out, _ = dataset
    damage(out)
    result = info(out)
    assert result.exit_code == 1
    lines = result.output.splitlines()
    if damage is unfinish:  # the report, with why it is not complete
        assert lines[3] == "complete: no" and re.fullmatch(f"  {problem}", lines[4]), result.output
    else:  # a finished dataset that is damaged: one line naming the part
        assert len(lines) == 1 and re.fullmatch(f"Error: {re.escape(str(out))}/{problem}", lines[0]), result.output
    report = json.loads(info(out, "--json").output)
    assert report["complete"] is False and re.fullmatch(problem, report["problems"][0])


@pytest.mark.parametrize("suffix", [".parquet", ".npz", ".root", ".h5"])
def test_info_of_a_record_file(make_detector, tmp_path, suffix):
    if suffix in (".root", ".h5"):
        pytest.importorskip("uproot" if suffix == ".root" else "h5py")
    path = tmp_path / f"r{suffix}"
    vb.run(make_detector("ZozuvUza"), output=path, **DARK)
    records = vb.read_records(path)
    result = info(path)
    assert result.exit_code == 0, result.output
    lines = result.output.splitlines()
    assert lines[1:3] == ["model: ZozuvUza", f"records: {len(records)}"] and lines[0].endswith(f"record file: {path}")
    columns = lines[lines.index("columns:") + 1 : lines.index("metadata:")]
    assert [line.split()[0] for line in columns] == list(records.dtype.names)
    waveform = next(line for line in columns if line.split()[0] == "waveform")
    assert waveform.split()[1:3] == [f"uint16[{records['waveform'].shape[1]}]", "LSB"]
    assert '  seed: 5' in lines and '  pes_input: "none"' in lines and "  dark_rate: 200000.0" in lines


def test_info_shortens_spectra_within_the_config(make_detector, tmp_path):
    """A 300-point afterpulse delay spectrum is shown by its count, as the
    model's spectra are; the whole config stays in the JSON report."""
    x = np.linspace(0.0, 3e-6, 300)
    det = make_detector("ZozuvUza")
    det = vb.Detector(det.model, det.params, det.spectra, det.seed, None, vb.Afterpulses(0.25, (x, np.ones(300))))
    path = tmp_path / "r.parquet"
    vb.run(det, output=path, **DARK)
    lines = info(path).output.splitlines()
    assert '    afterpulses: {"probability": 0.25, "delay_spectrum": (300 points)}' in lines
    assert next(line for line in lines if line.startswith("    pulse_shape: ")).endswith(" points)")
    assert max(len(line) for line in lines) < 300
    report = json.loads(info(path, "--json").output)
    assert report["metadata"]["config"]["afterpulses"]["delay_spectrum"]["x"] == x.tolist()


def test_info_of_a_links_file(tmp_path):
    path = tmp_path / "r.links.parquet"
    schema = links_schema(pa.schema([pa.field("pe_id", pa.int64())]))
    pq.write_table(schema.with_metadata({b"velmora-links": b'{"records": "r.parquet", "rows": 0}'}).empty_table(),
                   path)
    result = info(path)
    assert result.exit_code == 0, result.output
    lines = result.output.splitlines()
    assert lines[:2] == [f"Parquet links file: {path}", "links: 0"]
    arrival = next(line for line in lines if line.split()[:1] == ["arrival_time"])
    assert arrival.split()[1:3] == ["double", "s"] and column_info("links", "arrival_time").meaning in arrival
    assert PASSED_THROUGH.meaning in next(line for line in lines if line.split()[:1] == ["pe_id"])
    assert '  records: "r.parquet"' in lines
    # A file is a links file by its metadata, not by its name: without it,
    # a file of that name is read as what its columns say it is.
    pq.write_table(pa.table({"a": [1]}), path)
    result = info(path)
    assert result.exit_code == 1 and result.output.startswith(f"Error: {path}: not a velmora record file")
    assert result.output.count("\n") == 1


def foreign_parquet(path):
    pq.write_table(pa.table({"a": [1, 2]}), path)


BAD_FILES = {
    "garbage Parquet": ("r.parquet", lambda p: p.write_bytes(b"not parquet"), r"r\.parquet: "),
    "foreign Parquet": ("r.parquet", foreign_parquet, r"r\.parquet: not a velmora record file"),
    "garbage .npz": ("r.npz", lambda p: p.write_bytes(b"PK\x03\x04 no zip"), r"r\.npz: "),
    "unknown suffix": ("r.txt", lambda p: p.write_text("x"), r"r\.txt: record files must end in"),
    "missing": ("gone.parquet", lambda p: None, r"gone\.parquet: no such file or directory"),
    "directory of no dataset": ("plain", lambda p: p.mkdir(), r"plain: not a velmora dataset"),
    "damaged manifest": ("d", lambda p: (p.mkdir(), (p / MANIFEST).write_text("{")), r"not a velmora dataset manifest"),
    "manifest not JSON": ("d", lambda p: (p.mkdir(), (p / MANIFEST_JSON).write_text("{")), r"not valid JSON"),
}


@pytest.mark.parametrize("name, make, message", BAD_FILES.values(), ids=list(BAD_FILES))
def test_info_of_a_bad_file_is_a_one_line_error(tmp_path, name, make, message):
    path = tmp_path / name
    make(path)
    result = info(path)
    assert result.exit_code == 1
    assert result.output.startswith("Error: ") and result.output.count("\n") == 1, result.output
    assert re.search(message, result.output) and "Traceback" not in result.output
