"""Where links are kept and what carries them: beside a dataset directory (which every table library then reads
as it is), inside ROOT and HDF5 record files, beside Parquet and .npz files under names that no two record files
share; conversions of records with truth; dataset names with a dot; and what runs that stopped leave behind."""

import errno
import os
import shutil
import warnings

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import velmora_batch as vb
from click.testing import CliRunner
from velmora_batch import _convert
from velmora_batch._dataset import MANIFEST, read_manifest, write_manifest
from velmora_batch._info import inspect
from velmora_batch._records import _arrow_schema, record_dtype
from velmora_batch.formats.parquet import ParquetWriter
from velmora_batch.cli import main

from test_batch_cli import ZOZUVUZA
from test_batch_tables import READERS, as_records

RUN = dict(dark_rate=2e5, duration=1e-5, channels="0-11", block_channels=4, seed=5)


def _pes(rng, n_channels=12):
    """Flashes on every channel, with other columns to pass into the links: numbers, and text with nulls."""
    channel = np.repeat(np.arange(n_channels), 8)
    time = np.tile(np.repeat([1e-6, 4e-6], 4), n_channels) + rng.uniform(0, 20e-9, 8 * n_channels)
    n = len(channel)
    return pa.table({"channel": channel, "time": time, "pe_id": np.arange(n, dtype=np.int64) * 3,
                     "source": pa.array([None if i % 5 == 0 else f"mu{i % 4}" for i in range(n)]),
                     "weight": rng.uniform(0, 1, n).astype(np.float32)})


def _links_dir(dataset):
    return dataset.parent / (dataset.name + ".links")


@pytest.mark.parametrize("reader", READERS.values(), ids=list(READERS))
def test_every_table_library_reads_a_dataset_with_links_as_it_is(make_detector, tmp_path, reader):
    det = make_detector("MultiPMT", seed=1)
    table = _pes(np.random.default_rng(1))
    records, links = vb.run(det, table, truth="links", **RUN)
    out = tmp_path / "set"
    vb.run(det, table, truth="links", output=out, **RUN)
    assert as_records(reader(out), records).tobytes() == records.tobytes()
    assert vb.read_links(out).equals(links)
    assert sorted(p.name for p in _links_dir(out).iterdir()) == [f"links-part-{c:010d}.parquet" for c in (0, 4, 8)]
    assert read_manifest(out)["links_directory"] == "set.links"


def test_a_dataset_with_links_inside_it_is_still_read_and_resumed(make_detector, tmp_path):
    det = make_detector("ZozuvUza", seed=2)
    table = _pes(np.random.default_rng(2))
    records, links = vb.run(det, table, truth="links", **RUN)
    out = tmp_path / "old"
    vb.run(det, table, truth="links", output=out, **RUN)
    # The layout before: the links parts in the dataset's own "_links" folder, the manifest naming no other place.
    shutil.move(_links_dir(out), out / "_links")
    manifest = read_manifest(out)
    del manifest["links_directory"]
    write_manifest(out, manifest, pq.read_schema(out / MANIFEST))
    assert vb.read_links(out).equals(links)
    assert inspect(out).problems == []
    # A resume that runs a block again moves the links beside the dataset.
    (out / "_links" / "links-part-0000000004.parquet").unlink()
    vb.run(det, table, truth="links", output=out, resume=True, **RUN)
    assert not (out / "_links").exists() and vb.read_links(out).equals(links)
    assert vb.read_records(out).tobytes() == records.tobytes()


@pytest.mark.parametrize("suffix", [".root", ".h5"])
def test_root_and_hdf5_files_hold_their_links(make_detector, tmp_path, suffix):
    det = make_detector("ZozuvUza", seed=3)
    table = _pes(np.random.default_rng(3))
    records, links = vb.run(det, table, truth="links", **RUN)
    out = tmp_path / f"run{suffix}"
    vb.run(det, table, truth="links", output=out, **RUN)
    assert [p.name for p in tmp_path.iterdir()] == [out.name]  # nothing beside it
    assert vb.read_records(out).tobytes() == records.tobytes()
    got = vb.read_links(out)
    assert got.equals(links) and got.schema.equals(links.schema, check_metadata=True)
    assert links.column("source").null_count > links.column("pe_id").null_count > 0


def test_links_of_record_files_of_one_name_do_not_clash(make_detector, tmp_path):
    det = make_detector("MultiPMT", seed=4)
    table = _pes(np.random.default_rng(4))
    expected = {}
    for seed, suffix in enumerate((".parquet", ".npz", ".root", ".h5")):
        options = dict(RUN, seed=seed)
        expected[suffix] = vb.run(det, table, truth="links", **options)[1]
        vb.run(det, table, truth="links", output=tmp_path / f"a{suffix}", **options)
    for suffix, links in expected.items():
        assert vb.read_links(tmp_path / f"a{suffix}").equals(links), suffix
    assert expected[".parquet"].column("arrival_time") != expected[".npz"].column("arrival_time")


def test_overwriting_never_replaces_a_file_that_is_not_the_records_links(make_detector, tmp_path):
    det = make_detector("ZozuvUza", seed=6)
    table = _pes(np.random.default_rng(6))
    # A record file whose name ends in .links.parquet, with links of its own.
    other = tmp_path / "run.links.parquet"
    other_records, other_links = vb.run(det, table, truth="links", **RUN)
    vb.run(det, table, truth="links", output=other, **RUN)
    assert vb.read_links(other).equals(other_links)
    assert inspect(other).kind == "Parquet record file"
    kept = other.read_bytes()
    out = tmp_path / "run.parquet"
    vb.run(det, table, truth="links", output=out, **dict(RUN, seed=9))
    vb.run(det, table, truth="links", output=out, overwrite=True, **dict(RUN, seed=9))
    assert other.read_bytes() == kept and vb.read_records(other).tobytes() == other_records.tobytes()
    assert (tmp_path / "run.parquet.links.parquet").is_file()
    # Where the links of run.parquet go, neither a record file nor the links of another record file is replaced.
    target = tmp_path / "run.parquet.links.parquet"
    for stranger in (other, tmp_path / "run.links.parquet.links.parquet"):
        shutil.copy(stranger, target)
        with pytest.raises(FileExistsError, match="not the links of run.parquet"):
            vb.run(det, table, truth="links", output=out, overwrite=True, **RUN)
        assert target.read_bytes() == stranger.read_bytes()
    assert other.read_bytes() == kept


def _sources(det, table, truth, directory):
    """Record files and datasets of one run with truth, in every format a run writes, and in time order."""
    options = dict(RUN, truth=truth)
    if truth is True:
        table = table.select(["channel", "time"])  # without links, other columns would go unused
    out = {}
    for name in ("s.parquet", "s.npz", "s.root", "s.h5", "sd"):
        out[name] = directory / name
        vb.run(det, table, output=out[name], **options)
    if truth is True:  # links name records in channel order: a run in time order records none
        for name in ("t.parquet", "td"):
            out[name] = directory / name
            vb.run(det, table, output=out[name], order="time", **options)
    return out


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
@pytest.mark.parametrize("truth", [True, "links"], ids=["columns", "links"])
def test_every_conversion_of_records_with_truth_keeps_them_readable(make_detector, tmp_path, model, truth):
    det = make_detector(model, seed=7)
    table = _pes(np.random.default_rng(7))
    for name, source in _sources(det, table, truth, tmp_path).items():
        expected = vb.read_records(source)
        for target_name in ("c_ds", "c.parquet", "c.npz", "c.root", "c.h5"):
            target = tmp_path / f"{name.replace('.', '_')}-{target_name}"
            if name == "t.parquet" and target_name == "c_ds":
                # Records in time order across channels from a file: a dataset holds blocks of channels.
                with pytest.raises(ValueError, match="not in channel order"):
                    vb.convert(source, target)
                continue
            assert vb.convert(source, target) == len(expected), (name, target_name)
            assert vb.read_records(target).tobytes() == expected.tobytes(), (name, target_name)
            assert inspect(target).problems == [], (name, target_name)
            if truth == "links":
                assert vb.read_links(target).equals(vb.read_links(source)), (name, target_name)
            if name in ("t.parquet", "td") and target_name != "c_ds":
                continue  # in time order across channels: a dataset cannot take them
            # Converted again, into a dataset: a dataset made from a dataset keeps them too.
            again = tmp_path / f"again-{target.name.replace('.', '_')}"
            vb.convert(target, again)
            assert vb.read_records(again).tobytes() == expected.tobytes(), (name, target_name)
            if truth == "links":
                assert vb.read_links(again).equals(vb.read_links(source)), (name, target_name)


def test_converting_records_whose_links_are_gone_is_refused(make_detector, tmp_path):
    det = make_detector("ZozuvUza", seed=8)
    source = tmp_path / "s.parquet"
    vb.run(det, _pes(np.random.default_rng(8)), truth="links", output=source, **RUN)
    links = [p for p in tmp_path.iterdir() if p != source]
    assert len(links) == 1
    links[0].unlink()
    with pytest.raises(FileNotFoundError, match="missing"):
        vb.convert(source, tmp_path / "c_ds")
    assert not (tmp_path / "c_ds").exists()


@pytest.mark.parametrize("name", ["run.v2/", "2024.06.01/"])
def test_a_trailing_slash_names_a_dataset_whatever_the_name(make_detector, tmp_path, name):
    det = make_detector("ZozuvUza", seed=9)
    options = dict(dark_rate=1e6, duration=1e-4, channels="0-3")
    vb.run(det, output=str(tmp_path) + "/py-" + name, **options)
    assert (tmp_path / ("py-" + name.rstrip("/")) / MANIFEST).is_file()
    result = CliRunner().invoke(main, ["run", str(ZOZUVUZA), "--dark-rate", "1e6", "--duration", "1e-4",
                                       "--channels", "0-1", "-o", str(tmp_path) + "/cli-" + name])
    assert result.exit_code == 0, result.output
    assert (tmp_path / ("cli-" + name.rstrip("/")) / MANIFEST).is_file()
    source = tmp_path / ("py-" + name.rstrip("/"))
    records = vb.read_records(source)
    assert len(records)
    vb.convert(source, str(tmp_path) + "/conv-" + name)
    result = CliRunner().invoke(main, ["convert", str(source), str(tmp_path) + "/cliconv-" + name])
    assert result.exit_code == 0, result.output
    for made in ("conv-", "cliconv-"):
        assert vb.read_records(tmp_path / (made + name.rstrip("/"))).tobytes() == records.tobytes()


def _leftover(folder, name):
    """A temporary file of a writer that was killed (a process id that no process has)."""
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / f".velmora-tmp-4194303-0badcafe-{name}-abcdefgh.part"
    path.write_bytes(b"left over")
    return path


@pytest.mark.parametrize("how", ["again", "resume", "overwrite"])
def test_runs_remove_the_leftovers_of_killed_links_writers(make_detector, tmp_path, how):
    det = make_detector("ZozuvUza", seed=10)
    table = _pes(np.random.default_rng(10))
    out = tmp_path / "set"
    if how != "again":
        vb.run(det, table, truth="links", output=out, **RUN)
    leftovers = [_leftover(_links_dir(out), "_links-part-0000000000.parquet.pending"),
                 _leftover(out / "_links", "_links-part-0000000004.parquet.pending")]
    vb.run(det, table, truth="links", output=out, resume=how == "resume", overwrite=how == "overwrite", **RUN)
    assert not any(p.exists() for p in leftovers)
    assert not (out / "_links").exists()
    assert sorted(p.name for p in _links_dir(out).iterdir()) == [f"links-part-{c:010d}.parquet" for c in (0, 4, 8)]


@pytest.mark.parametrize("truth", [False, "links"])
def test_a_conversion_stopped_by_a_full_disk_leaves_no_dataset_to_resume(make_detector, tmp_path, monkeypatch,
                                                                         truth):
    det = make_detector("MultiPMT", seed=11)
    source = tmp_path / "s.parquet"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vb.UnusedPEColumnsWarning)
        vb.run(det, _pes(np.random.default_rng(11)), truth=truth, output=source, **RUN)
    before = sorted(p.name for p in tmp_path.iterdir())
    monkeypatch.setattr(_convert, "_PART_ROWS", 20)  # several parts
    written = []

    class FullDisk(ParquetWriter):
        def _write(self, columns):
            if written:
                raise OSError(errno.ENOSPC, "No space left on device")
            written.append(1)
            super()._write(columns)

    monkeypatch.setattr(_convert, "ParquetWriter", FullDisk)
    result = CliRunner().invoke(main, ["convert", str(source), str(tmp_path / "c")])
    assert result.exit_code == 1 and "No space left on device" in result.output
    assert len(result.output.strip().splitlines()) == 1
    # Nothing is left that says "resume it": a conversion cannot be resumed, it is run again.
    assert not (tmp_path / "c").exists() and not (tmp_path / "c.links").exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == before


def test_a_links_file_is_told_from_a_record_file_by_what_it_holds(make_detector, tmp_path):
    det = make_detector("ZozuvUza", seed=12)
    out = tmp_path / "r.parquet"
    vb.run(det, _pes(np.random.default_rng(12)), truth="links", output=out, **RUN)
    links = [p for p in tmp_path.iterdir() if p != out]
    assert len(links) == 1 and inspect(links[0]).kind == "Parquet links file"
    assert vb.read_links(links[0]).equals(vb.read_links(out))
    # A record file without links, named as a links file is, is a record file.
    plain = tmp_path / "p.links.parquet"
    schema = _arrow_schema(record_dtype("ZozuvUza", 16), {"seed": 1})
    pq.write_table(schema.empty_table(), plain)
    assert inspect(plain).kind == "Parquet record file"
    with pytest.raises(ValueError, match="its run wrote no links"):
        vb.read_links(plain)
    assert os.path.exists(plain)
