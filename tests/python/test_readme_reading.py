"""The README's snippets for reading records with table libraries, run as they stand on a small run written
in every format they read, so that they cannot go stale."""

import os
import re
from pathlib import Path

import numpy as np
import pytest
import velmora_batch as vb

README = Path(__file__).resolve().parents[2] / "README.md"
LIBRARIES = ["pandas", "polars", "awkward", "uproot", "h5py"]


def section(title):
    text = README.read_text()
    start = text.index(f"### {title}\n")
    end = text.index("\n#", start + 1)
    return text[start:end]


SNIPPETS = re.findall(r"```python\n(.*?)```", section("Reading the records"), re.S)


def library_of(snippet):
    (name,) = [lib for lib in LIBRARIES if re.search(rf"^import {lib}\b", snippet, re.M)]
    return name


def test_there_is_one_snippet_per_library():
    assert sorted(library_of(s) for s in SNIPPETS) == sorted(LIBRARIES)


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """A small ZozuvUza run as run.parquet, run42/, run.root and run.h5, and its records."""
    directory = tmp_path_factory.mktemp("reading")
    detector = vb.Detector.from_config(README.parent / "examples" / "zozuvuza" / "config.json")
    # Flashes of 30 PEs every 4 microseconds on 12 channels.
    times = np.repeat(np.arange(1, 40, 4) * 1e-6, 30)
    flash = vb.PETable(channel=np.repeat(np.arange(12), len(times)), time=np.tile(times, 12))
    for name in ("run.parquet", "run42", "run.root", "run.h5"):
        vb.run(detector, flash, output=directory / name, block_channels=5, seed=4)
    return directory, vb.read_records(directory / "run.parquet")


@pytest.mark.parametrize("snippet", SNIPPETS, ids=[library_of(s) for s in SNIPPETS])
def test_a_readme_snippet_runs_and_reads_the_records(snippet, written, monkeypatch):
    pytest.importorskip(library_of(snippet))
    directory, records = written
    assert len(records) > 20
    monkeypatch.chdir(directory)
    names = {}
    exec(compile(snippet, f"README snippet for {library_of(snippet)}", "exec"), names)
    # Every snippet gives the waveforms as a records x samples array.
    assert np.array_equal(np.asarray(names["waveforms"]), records["waveform"])
    for key in ("seed", "description"):
        if key in names:
            metadata = vb.read_metadata("run.parquet")
            assert (names[key] == metadata["seed"]) if key == "seed" else names[key]["seed"] == metadata["seed"]
    if "dataset" in names:
        assert len(names["dataset"]) == len(records)
    if "per_channel" in names:
        assert sorted(names["per_channel"]["channel"].to_list()) == sorted(set(records["channel"].tolist()))
    assert os.getcwd() == str(directory)
