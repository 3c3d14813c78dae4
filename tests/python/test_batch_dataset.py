"""Dataset directories: one run at a time, parts checked against the manifest
on resume and on read, a manifest that cannot point outside its directory,
what readers see of an unfinished run, and the clean-up of runs that were
killed."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time

import numpy as np
import pyarrow.dataset as pads
import pyarrow.parquet as pq
import pytest
import velmora_batch as vb
from velmora_batch._dataset import MANIFEST, write_manifest

# Dark noise in blocks of 5 channels: channels 0-24 give parts 0, 5, 10, 15, 20.
RUN = dict(dark_rate=4e5, duration=2e-3, channels=range(25), seed=11, block_channels=5)
LOCK = "_velmora.lock"


def part(first):
    return f"part-{first:010d}.parquet"


def load_manifest(out):
    """The manifest of the dataset ``out`` as stored, unchecked."""
    return json.loads(pq.read_schema(out / MANIFEST).metadata[b"velmora"])


def store_manifest(out, manifest):
    """Replaces the manifest of the dataset ``out`` by ``manifest``, unchecked."""
    write_manifest(out, manifest, pq.read_schema(out / MANIFEST))


@pytest.fixture
def detector(make_detector):
    return make_detector("ZozuvUza", seed=1)


@pytest.fixture
def finished(detector, tmp_path):
    """A finished dataset of RUN and the records it holds."""
    out = tmp_path / "d"
    vb.run(detector, output=out, **RUN)
    return out, vb.read_records(out)


def dead_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


def write_lock(directory, pid, host=None, **more):
    directory.mkdir(exist_ok=True)
    (directory / LOCK).write_text(json.dumps({"pid": pid, "host": host or socket.gethostname(), "run": "x" * 32,
                                              "since": "earlier", **more}))


# One run at a time.


@pytest.mark.parametrize("resume", [False, True], ids=["new run", "resume"])
@pytest.mark.parametrize("holder", ["live process", "other host", "unreadable"])
def test_a_claimed_directory_is_refused(detector, tmp_path, holder, resume):
    out = tmp_path / "d"
    if holder == "live process":
        write_lock(out, os.getpid())
    elif holder == "other host":
        write_lock(out, dead_pid(), host="elsewhere.example")
    else:
        out.mkdir()
        (out / LOCK).write_text("{")
    lock = (out / LOCK).read_bytes()
    with pytest.raises(RuntimeError, match=r"d: in use by another velmora run .*remove .*_velmora\.lock") as e:
        vb.run(detector, output=out, resume=resume, **RUN)
    assert "\n" not in str(e.value)
    assert sorted(p.name for p in out.iterdir()) == [LOCK] and (out / LOCK).read_bytes() == lock


@pytest.mark.parametrize("holder", ["ended", "id taken by a later process"])
def test_a_lock_of_a_process_that_ended_is_taken_over(detector, tmp_path, holder):
    out = tmp_path / "d"
    if holder == "ended":
        write_lock(out, dead_pid())
    else:  # this process's id, but recorded with another start time
        write_lock(out, os.getpid(), process_start="1")
    want = vb.run(detector, **RUN)
    vb.run(detector, output=out, **RUN)
    assert vb.read_records(out).tobytes() == want.tobytes()
    assert LOCK not in os.listdir(out)  # released at the end


def test_the_claim_is_released_when_a_run_fails(detector, finished):
    out, _ = finished
    with pytest.raises(FileExistsError, match="already holds a dataset"):
        vb.run(detector, output=out, **RUN)
    with pytest.raises(ValueError, match="differs in seed"):
        vb.run(detector, output=out, resume=True, **dict(RUN, seed=12))
    assert LOCK not in os.listdir(out)


KILLED_RUN = """
import sys
import velmora_batch as vb
import velmora_batch._dataset
velmora_batch._dataset._SAVE_INTERVAL = 0.0
det = vb.Detector.from_config(sys.argv[1])
vb.run(det, dark_rate=1e5, duration=2e-3, channels=range(0, 1000), block_channels=5, workers=1, seed=4,
       output=sys.argv[2])
"""


def test_a_resume_waits_for_the_run_and_follows_a_killed_one(detector, tmp_path):
    """While a run writes the directory a resume (or a second run) is
    refused; once the run is killed its lock is stale and the resume
    completes the dataset as an undisturbed run would have."""
    config = tmp_path / "det.json"
    config.write_text(json.dumps(detector.config()))
    out = tmp_path / "d"
    run = dict(dark_rate=1e5, duration=2e-3, channels=range(0, 1000), block_channels=5, seed=4)
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(KILLED_RUN), str(config), str(out)])
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and child.poll() is None:
            if (out / MANIFEST).exists() and len(vb.read_metadata(out)["blocks"]) >= 2:
                break
            time.sleep(0.02)
        assert child.poll() is None, "the run ended before it could be disturbed"
        for resume in (True, False):
            with pytest.raises(RuntimeError, match=f"in use by another velmora run .process {child.pid} "):
                vb.run(detector, output=out, resume=resume, **run)
        child.send_signal(signal.SIGKILL)
    finally:
        child.wait()
    assert LOCK in os.listdir(out)
    vb.run(detector, output=out, resume=True, **run)
    assert vb.read_records(out).tobytes() == vb.run(detector, **run).tobytes()
    assert sorted(p.name for p in out.iterdir() if not p.name.startswith("part-")) == [MANIFEST]


CONCURRENT = """
import sys
import velmora_batch as vb
det = vb.Detector.from_config(sys.argv[1])
print("ready", flush=True)
sys.stdin.readline()
try:
    vb.run(det, dark_rate=1e5, duration=2e-3, channels=range(0, 300), block_channels=5, workers=1,
           seed=int(sys.argv[3]), output=sys.argv[2])
except (RuntimeError, FileExistsError) as e:
    print(e)
    sys.exit(1)
"""


def test_two_runs_started_together_give_one_dataset(detector, tmp_path):
    config = tmp_path / "det.json"
    config.write_text(json.dumps(detector.config()))
    out = tmp_path / "d"
    children = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(CONCURRENT), str(config), str(out), str(seed)],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) for seed in (1, 2)]
    for child in children:
        assert child.stdout.readline() == "ready\n"
    for child in children:
        child.stdin.write("go\n")
        child.stdin.flush()
    outputs = [child.communicate(timeout=120)[0] for child in children]
    codes = [child.returncode for child in children]
    assert sorted(codes) == [0, 1], outputs
    loser = outputs[codes.index(1)]
    assert "in use by another velmora run" in loser or "already holds a dataset" in loser
    seed = (1, 2)[codes.index(0)]
    run = dict(dark_rate=1e5, duration=2e-3, channels=range(0, 300), block_channels=5)
    assert vb.read_metadata(out)["seed"] == seed
    assert vb.read_records(out).tobytes() == vb.run(detector, seed=seed, **run).tobytes()


# Parts are checked against the manifest.


def swap(out):
    shutil.copyfile(out / part(15), out / part(10))


def corrupt(out):
    data = bytearray((out / part(10)).read_bytes())
    data[len(data) // 3] ^= 0x55  # inside the data pages, before the footer
    (out / part(10)).write_bytes(bytes(data))


def other_run(out, make_detector):
    other = out.parent / "other"
    vb.run(make_detector("ZozuvUza", seed=1, gain=41.0), output=other, **RUN)
    shutil.copyfile(other / part(10), out / part(10))


def delete(out):
    (out / part(10)).unlink()


TAMPERING = {
    "part copied over another": (swap, "holds the block of channels 15-19"),
    "data page corrupted": (corrupt, "contents changed|unreadable"),
    "part of another run": (other_run, "another run"),
    "part deleted": (delete, "missing"),
}


@pytest.mark.parametrize("tamper, reason", TAMPERING.values(), ids=list(TAMPERING))
def test_a_changed_part_is_named_on_read_and_run_again_on_resume(detector, finished, make_detector, tamper,
                                                                 reason):
    out, want = finished
    kept = {p: (out / p).stat().st_mtime_ns for p in (part(0), part(5), part(15), part(20))}
    if tamper is other_run:
        tamper(out, make_detector)
    else:
        tamper(out)
    with pytest.raises(ValueError, match=rf"{part(10)}: not the part its dataset's manifest lists: .*({reason})"):
        vb.read_records(out)
    summary = vb.run(detector, output=out, resume=True, **RUN)
    assert summary.rows == len(want)
    assert vb.read_records(out).tobytes() == want.tobytes()
    assert {p: (out / p).stat().st_mtime_ns for p in kept} == kept  # only the changed block ran again


def test_parts_hold_their_block_and_not_the_config(finished):
    out, want = finished
    manifest = vb.read_metadata(out)
    assert manifest["config"]["gain"] == 40.0  # the run's description, once
    for entry in manifest["blocks"]:
        meta = vb.read_metadata(out / entry["file"])
        assert meta == {"run": manifest["run"], "seed": 11,
                        "block": {"first": entry["first"], "last": entry["last"], "rows": entry["rows"]}}


# The manifest is checked before anything is read or resumed.


def edit_block(index, **changes):
    def edit(manifest):
        manifest["blocks"][index].update(changes)
    return edit


def moved_block(manifest):
    """The block of channel 10 made to start at 11, the one before it to end
    at 10: a manifest of the right shape, whose parts say otherwise."""
    manifest["blocks"][1].update(last=10, channels=6)
    manifest["blocks"][2].update(first=11, file=part(11), channels=4)


def drop_key(key):
    def edit(manifest):
        del manifest[key]
    return edit


BAD_MANIFESTS = {
    "file outside": (edit_block(1, file="../other/" + part(5)), "plain part-<10 digits>.parquet name"),
    "absolute file": (edit_block(1, file="/etc/passwd"), "plain part-<10 digits>.parquet name"),
    "file of another block": (edit_block(1, file=part(0)), "not the part of a block starting at channel 5"),
    "first duplicated": (edit_block(2, first=5, file=part(5)), "overlaps or precedes"),
    "first moved": (moved_block, f"{part(5)}: .*holds the block of channels 5-9, the manifest's entry is 5-10"),
    "rows not a number": (edit_block(0, rows="12"), r"blocks\[0\]\.rows must be a whole number"),
    "blocks not a list": (lambda m: m.update(blocks={}), "'blocks' must be a list"),
    "seed missing": (drop_key("seed"), "no 'seed'"),
    "bad digest": (edit_block(3, sha256=None), "sha256 must be"),
    "block dropped": (lambda m: m["blocks"].pop(4) and m.update(rows=sum(b["rows"] for b in m["blocks"])),
                      "hold 20 of the run's 25 channels"),
    "config edited": (lambda m: m["config"].update(gain=41.0), "changed after the run"),
    "not an object": (lambda m: m.clear(), "not a velmora dataset manifest"),
}


@pytest.mark.parametrize("edit, message", BAD_MANIFESTS.values(), ids=list(BAD_MANIFESTS))
def test_a_bad_manifest_is_a_one_line_error(detector, finished, edit, message):
    out, want = finished
    manifest = load_manifest(out)
    edit(manifest)
    store_manifest(out, manifest)
    if edit is moved_block:
        os.rename(out / part(10), out / part(11))
    with pytest.raises(ValueError, match=message) as e:
        vb.read_records(out)
    assert "\n" not in str(e.value)
    if edit is moved_block:  # a manifest of the right shape: its parts that do not match are run again
        vb.run(detector, output=out, resume=True, **RUN)
        assert vb.read_records(out).tobytes() == want.tobytes()
        assert sorted(p.name for p in out.iterdir()) == [MANIFEST, *(part(c) for c in range(0, 25, 5))]
    elif "changed after the run" not in message:
        with pytest.raises(ValueError, match=message):  # nor is it resumed
            vb.run(detector, output=out, resume=True, **RUN)


# Resuming names what differs.


def test_a_resume_names_the_difference(make_detector, tmp_path):
    det = make_detector("ZozuvUza", seed=1)
    table = vb.PETable(channel=np.repeat([0, 1, 2], 20), time=np.tile(np.linspace(1e-6, 9e-6, 20), 3))
    vb.run(det, table, output=tmp_path / "d", block_channels=2)
    later = vb.PETable(channel=table.channel, time=table.time + 1e-7)  # the same channels, other times
    with pytest.raises(ValueError, match=r"differs in pes_sha256 \(pes_sha256: the PEs of the selected channels "
                                         r"differ"):
        vb.run(det, later, output=tmp_path / "d", block_channels=2, resume=True)
    with pytest.raises(ValueError, match=r"differs in config\.gain \(config\.gain: 40\.0 there, 32\.5 here\)$"):
        vb.run(make_detector("ZozuvUza", seed=1, gain=32.5), table, output=tmp_path / "d", block_channels=2,
               resume=True)


# What other readers see, and overwriting.


def test_readers_see_no_part_of_an_unfinished_run(make_detector, tmp_path):
    det = make_detector("ZozuvUza", seed=1, early_handling="THROW")
    table = vb.PETable(channel=np.repeat([0, 1, 2, 7, 8], 30), time=np.r_[np.full(120, 2e-6), np.full(30, -1e-6)])
    with pytest.raises(RuntimeError, match="block of channels 8-8"):
        vb.run(det, table, output=tmp_path / "d", block_channels=2, workers=1)
    assert len(vb.read_metadata(tmp_path / "d")["blocks"]) >= 1  # finished blocks are kept for a resume
    assert pads.dataset(tmp_path / "d", format="parquet").files == []
    assert not (tmp_path / "d" / LOCK).exists()


def test_overwrite_replaces_a_dataset(detector, finished):
    out, _ = finished
    (out / "notes.txt").write_text("mine")
    run = dict(RUN, channels=range(10), seed=12)
    vb.run(detector, output=out, overwrite=True, **run)
    assert vb.read_records(out).tobytes() == vb.run(detector, **run).tobytes()
    assert sorted(p.name for p in out.iterdir()) == [MANIFEST, "notes.txt", part(0), part(5)]
    with pytest.raises(ValueError, match="give one of them"):
        vb.run(detector, output=out, overwrite=True, resume=True, **run)


@pytest.mark.parametrize("how", [[], ["--overwrite"], ["--resume"]], ids=["new run", "overwrite", "resume"])
def test_a_directory_of_other_files_is_not_taken_for_a_dataset(detector, tmp_path, monkeypatch, how):
    """``-o .`` (or any existing directory holding other files and no
    dataset) is refused before anything is written there; a new or empty
    directory is taken, as is one a killed run left before its first
    manifest."""
    from click.testing import CliRunner
    from velmora_batch.cli import main

    config = tmp_path / "det.json"
    config.write_text(json.dumps(detector.config()))
    work = tmp_path / "work"
    work.mkdir()
    (work / "analysis.py").write_text("mine")
    (work / "plots").mkdir()
    monkeypatch.chdir(work)
    args = ["run", str(config), "--dark-rate", "1e5", "--duration", "1e-3", "--channels", "0-9",
            "--block-channels", "5", "--seed", "3", *how]
    for output in (".", str(work), "./"):
        result = CliRunner().invoke(main, [*args, "-o", output])
        assert result.exit_code == 1, result.output
        assert "analysis.py, plots" in result.output and "new or empty directory" in result.output
        assert len(result.output.strip().splitlines()) == 1, result.output
        assert sorted(p.name for p in work.iterdir()) == ["analysis.py", "plots"]
    with pytest.raises(FileExistsError, match="analysis.py, plots"):
        vb.run(detector, output=work, **dict(RUN, overwrite="--overwrite" in how, resume="--resume" in how))
    empty = tmp_path / "empty"
    empty.mkdir()
    killed = tmp_path / "killed"  # what a run killed before its first manifest leaves
    write_lock(killed, dead_pid())
    (killed / f".velmora-tmp-{dead_pid()}-00000000-{MANIFEST}-abc123.part").write_bytes(b"x")
    for output in (empty, killed, tmp_path / "new"):
        result = CliRunner().invoke(main, [*args, "-o", str(output)])
        assert result.exit_code == 0, result.output
        assert sorted(p.name for p in output.iterdir()) == [MANIFEST, part(0), part(5)]


# Temporary files of killed runs.


def test_a_resume_removes_the_temporary_files_of_killed_runs_only(detector, finished):
    out, want = finished
    delete(out)
    ours = out / f".velmora-tmp-{dead_pid()}-00000000-_{part(10)}-abc123.part"
    theirs = [out / ".notes.part", out / f".{part(10)}.x1.part"]
    for f in (ours, *theirs):
        f.write_bytes(b"x")
    vb.run(detector, output=out, resume=True, **RUN)
    assert not ours.exists() and all(f.exists() for f in theirs)
    assert vb.read_records(out).tobytes() == want.tobytes()


def test_a_dataset_of_the_first_layout_is_read_but_not_resumed(detector, finished):
    """Datasets written before parts were checked: every part visible and
    holding the whole run description, no digests in the manifest."""
    import pyarrow.parquet as pq

    out, want = finished
    manifest = load_manifest(out)
    description = {"config": manifest["config"], "seed": 11, "seeding": "independent",
                   "velmora_version": manifest["velmora_version"], "segment": None, "dark_rate": 4e5,
                   "duration": 2e-3}
    for entry in manifest["blocks"]:
        table = pq.read_table(out / entry["file"])
        meta = dict(description, block={"first": entry["first"], "last": entry["last"]})
        pq.write_table(table.replace_schema_metadata({"velmora": json.dumps(meta)}), out / entry["file"])
        del entry["sha256"]
    del manifest["run"]
    manifest["format"] = "velmora-dataset/1"
    (out / MANIFEST).unlink()  # the first layout's manifest was JSON
    (out / "_manifest.json").write_text(json.dumps(manifest))
    assert vb.read_records(out).tobytes() == want.tobytes()
    swap(out)
    with pytest.raises(ValueError, match=f"{part(10)}: .*holds the block of channels 15-19"):
        vb.read_records(out)
    with pytest.raises(ValueError, match="written by an earlier velmora .*cannot be resumed"):
        vb.run(detector, output=out, resume=True, **RUN)


def test_taking_over_a_lock_that_was_replaced_meanwhile_puts_it_back(tmp_path):
    """Two runs may judge the same dead lock stale; the slower one must not
    remove the lock the faster one has made since."""
    from velmora_batch._dataset import Claim

    write_lock(tmp_path, os.getpid())  # the faster run's lock
    live = (tmp_path / LOCK).read_bytes()
    Claim(tmp_path)._take_over(b'{"pid": 1, "the lock": "judged stale earlier"}')
    assert (tmp_path / LOCK).read_bytes() == live and os.listdir(tmp_path) == [LOCK]


@pytest.mark.parametrize("replaced", [False, True], ids=["own lock", "another run's lock"])
def test_a_claim_releases_only_its_own_lock(tmp_path, replaced):
    """A run whose lock was taken over meanwhile (judged stale by another
    run) leaves the other run's lock in place when it ends."""
    from velmora_batch._dataset import Claim

    held = Claim(tmp_path)
    held.acquire()
    assert json.loads((tmp_path / LOCK).read_text())["run"] == held.run
    if replaced:
        write_lock(tmp_path, os.getpid(), run="y" * 32)
    other = (tmp_path / LOCK).read_bytes()
    held.release()
    assert os.listdir(tmp_path) == ([LOCK] if replaced else [])
    if replaced:
        assert (tmp_path / LOCK).read_bytes() == other


def test_a_part_whose_records_leave_its_block_is_refused(finished):
    """A part rewritten with another block's records under this block's
    metadata, its digest and row count updated in the manifest: only the
    records themselves tell."""
    import pyarrow.parquet as pq

    from velmora_batch._dataset import file_sha256

    out, _ = finished
    manifest = load_manifest(out)
    entry = manifest["blocks"][2]
    table = pq.read_table(out / part(15))
    meta = dict(vb.read_metadata(out / part(10)), block={"first": 10, "last": 14, "rows": table.num_rows})
    pq.write_table(table.replace_schema_metadata({"velmora": json.dumps(meta)}), out / part(10))
    manifest["rows"] += table.num_rows - entry["rows"]
    entry.update(rows=table.num_rows, sha256=file_sha256(out / part(10)))
    store_manifest(out, manifest)
    with pytest.raises(ValueError, match=f"{part(10)}: .*not in channel order within channels 10-14"):
        vb.read_records(out)
