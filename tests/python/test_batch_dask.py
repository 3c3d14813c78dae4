"""velmora_batch.run on executors and Dask clusters: the same records
everywhere, dataset directories, lost workers, resumed runs, refused workers
and failing blocks."""

import json
import logging
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest
import velmora_batch as vb

distributed = pytest.importorskip("distributed")

# Dark noise over a few dozen channels, in blocks of 5: enough blocks that
# two workers share them, small enough to keep each run well under a second.
RUN = dict(dark_rate=4e5, duration=2e-3, channels=range(3, 40), seed=11, block_channels=5)


def _cluster(n_workers):
    cluster = distributed.LocalCluster(n_workers=n_workers, processes=True, threads_per_worker=1,
                                       dashboard_address=":0", silence_logs=logging.ERROR)
    return cluster, distributed.Client(cluster)


@pytest.fixture(scope="module")
def client():
    cluster, client = _cluster(2)
    yield client
    client.close()
    cluster.close()


@pytest.fixture
def detector(make_detector):
    return make_detector("ZozuvUza", seed=1)


def _parts(directory):
    return sorted(p.name for p in Path(directory).glob("part-*.parquet"))


def _written(directory):
    """The parts written so far: hidden under "_part-....pending" until the run completes."""
    return [p.name for p in Path(directory).glob("*part-*.parquet*")] if Path(directory).is_dir() else []


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_same_records_on_every_executor(model, make_detector, client, tmp_path):
    det = make_detector(model, seed=1)
    want = vb.run(det, **RUN)
    assert len(np.unique(want["channel"])) > 20
    with ThreadPoolExecutor(3) as pool:
        assert vb.run(det, executor=pool, **RUN).tobytes() == want.tobytes()
        segmented = vb.run(det, segment=4e-4, **RUN)
        assert vb.run(det, executor=pool, segment=4e-4, output=tmp_path / "s.parquet", **RUN).rows == len(segmented)
        assert vb.read_records(tmp_path / "s.parquet").tobytes() == segmented.tobytes()
    assert vb.run(det, executor=client, **RUN).tobytes() == want.tobytes()  # gathered when asked for
    summary = vb.run(det, executor=client, output=tmp_path / "two", **RUN)
    assert (summary.rows, summary.blocks, summary.channels) == (len(want), 8, 37)
    vb.run(det, output=str(tmp_path / "threads") + "/", workers=2, **RUN)
    for name in ("two", "threads"):
        d = tmp_path / name
        assert vb.read_records(d).tobytes() == want.tobytes(), name
        assert _parts(d) == [f"part-{c:010d}.parquet" for c in range(3, 40, 5)]
        manifest = vb.read_metadata(d)
        assert manifest["complete"] and manifest["seed"] == 11 and manifest["rows"] == len(want)
        assert [(b["first"], b["last"]) for b in manifest["blocks"]] == [(c, min(c + 4, 39)) for c in range(3, 40, 5)]
        assert sorted(p.name for p in d.iterdir()) == ["_manifest.parquet", *_parts(d)]  # no temporary files left
    # Other Parquet readers see the parts in channel order.
    import pandas as pd
    import pyarrow.parquet as pq

    np.testing.assert_array_equal(pq.read_table(tmp_path / "two").column("channel").to_numpy(), want["channel"])
    np.testing.assert_array_equal(pd.read_parquet(tmp_path / "two")["channel"].to_numpy(), want["channel"])
    import dask.dataframe as dd

    np.testing.assert_array_equal(dd.read_parquet(tmp_path / "two").compute()["channel"].to_numpy(), want["channel"])


def test_a_killed_worker_is_replaced_and_the_dataset_is_complete(detector, client, tmp_path):
    run = dict(RUN, dark_rate=1e5, channels=range(0, 600), block_channels=4)
    want = vb.run(detector, **run)
    pids = client.run(os.getpid)
    errors = []

    def run_on_cluster():
        try:
            vb.run(detector, executor=client, output=tmp_path / "d", **run)
        except BaseException as e:  # noqa: BLE001 - handed to the test
            errors.append(e)

    thread = threading.Thread(target=run_on_cluster)
    thread.start()
    deadline = time.monotonic() + 60
    while len(_written(tmp_path / "d")) < 3 and time.monotonic() < deadline:
        time.sleep(0.01)
    victim = sorted(pids.values())[0]
    os.kill(victim, signal.SIGKILL)
    parts_at_kill = len(_written(tmp_path / "d"))
    thread.join(120)
    assert not thread.is_alive() and errors == []
    assert 3 <= parts_at_kill < 150, "the worker was not killed during the run"
    assert vb.read_records(tmp_path / "d").tobytes() == want.tobytes()
    assert [p.name for p in (tmp_path / "d").iterdir() if p.name.startswith(".")] == []
    client.wait_for_workers(2, timeout=60)  # the nanny restarts the killed worker
    assert victim not in client.run(os.getpid).values()


INTERRUPTED_RUN = """
import sys
import velmora_batch as vb
import velmora_batch._dataset
velmora_batch._dataset._SAVE_INTERVAL = 0.0  # the manifest follows every block
det = vb.Detector.from_config(sys.argv[1])
vb.run(det, dark_rate=1e5, duration=2e-3, channels=range(0, 1000), block_channels=5, workers=1,
       output=sys.argv[2])
"""


def test_an_interrupted_run_resumes_where_it_stopped(detector, tmp_path):
    config = tmp_path / "det.json"
    config.write_text(json.dumps(detector.config()))
    out = tmp_path / "d"
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(INTERRUPTED_RUN), str(config), str(out)])
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and child.poll() is None:
            if (out / "_manifest.parquet").exists() and len(vb.read_metadata(out)["blocks"]) >= 3:
                break
            time.sleep(0.02)
        child.send_signal(signal.SIGKILL)
    finally:
        child.wait()
    manifest = vb.read_metadata(out)
    assert not manifest["complete"] and 3 <= len(manifest["blocks"]) < 200
    with pytest.raises(ValueError, match="not finished"):
        vb.read_records(out)
    assert _parts(out) == []  # an unfinished run shows Parquet readers no part
    kept = {b["file"]: (out / f"_{b['file']}.pending").stat().st_mtime_ns for b in manifest["blocks"]}
    run = dict(dark_rate=1e5, duration=2e-3, channels=range(0, 1000), block_channels=5)
    with pytest.raises(FileExistsError, match="already holds a dataset"):
        vb.run(detector, output=out, **run)
    with pytest.raises(ValueError, match="differs in seed"):
        vb.run(detector, output=out, resume=True, **dict(run, seed=manifest["seed"] + 1))
    with pytest.raises(ValueError, match="differs in dark_rate"):
        vb.run(detector, output=out, resume=True, **dict(run, dark_rate=3e5))
    summary = vb.run(detector, output=out, resume=True, workers=2, **run)  # the seed drawn by the first run
    assert summary.seed == manifest["seed"] and summary.blocks == 200
    assert {f: (out / f).stat().st_mtime_ns for f in kept} == kept  # complete blocks were not run again
    want = vb.run(detector, seed=manifest["seed"], **run)
    assert vb.read_records(out).tobytes() == want.tobytes()
    assert sorted(p.name for p in out.iterdir() if not p.name.startswith("part-")) == ["_manifest.parquet"]


def test_a_worker_of_another_version_is_refused(detector, client, tmp_path, monkeypatch):
    monkeypatch.setattr(vb._version, "__version__", "0.0.0+other")
    with pytest.raises(RuntimeError, match=r"version mismatch: this client runs 0\.0\.0\+other, but tcp://"):
        vb.run(detector, executor=client, output=tmp_path / "d", **RUN)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("where", ["cluster", "threads"])
def test_a_bad_block_is_named_and_leaves_no_part(where, make_detector, client, tmp_path):
    det = make_detector("ZozuvUza", seed=1, early_handling="THROW")
    table = vb.PETable(channel=np.repeat([0, 1, 2, 7, 8], 30), time=np.r_[np.full(120, 2e-6), np.full(30, -1e-6)])
    with pytest.raises(RuntimeError, match=r"block of channels 8-8: .*channel 8: Early trigger"):
        vb.run(det, table, output=tmp_path / "d", block_channels=2, executor=client if where == "cluster" else None)
    assert "part-0000000008.parquet" not in _parts(tmp_path / "d")
    assert not vb.read_metadata(tmp_path / "d")["complete"]
    assert [p for p in (tmp_path / "d").iterdir() if p.name.startswith(".")] == []


def test_executors_need_independent_seeding(detector):
    with ThreadPoolExecutor(1) as pool, pytest.raises(ValueError, match="independent seeding"):
        vb.run(detector, executor=pool, seeding="sequential", **RUN)
    with pytest.raises(TypeError, match="concurrent.futures.Executor or a dask.distributed Client"):
        vb.run(detector, executor=object(), **RUN)


def test_command_line_runs_on_clusters_and_resumes(client, tmp_path):
    from click.testing import CliRunner
    from velmora_batch.cli import main

    config = Path(__file__).resolve().parents[2] / "examples" / "multipmt" / "config.json"
    args = ["run", str(config), "--dark-rate", "2e4", "--duration", "1e-3", "--channels", "0-19", "--seed", "5",
            "--block-channels", "6", "--progress"]
    two = [*args, "--scheduler", client.scheduler.address, "-o", str(tmp_path / "two") + "/"]
    result = CliRunner().invoke(main, two)
    assert result.exit_code == 0, result.output
    assert "4/4" in result.output and "block" in result.output  # progress counts blocks
    result = CliRunner().invoke(main, [*args, "--cluster", "local", "--workers", "1", "-o", tmp_path / "one"])
    assert result.exit_code == 0, result.output
    want = vb.run(vb.Detector.from_config(config), dark_rate=2e4, duration=1e-3, channels=range(20), seed=5)
    assert vb.read_records(tmp_path / "two").tobytes() == want.tobytes()
    for part in _parts(tmp_path / "two"):  # the same files whatever the number of workers
        assert (tmp_path / "one" / part).read_bytes() == (tmp_path / "two" / part).read_bytes(), part
    result = CliRunner().invoke(main, two)
    assert result.exit_code == 1 and "--resume" in result.output
    result = CliRunner().invoke(main, [*two, "--resume"])
    assert result.exit_code == 0, result.output
    assert vb.read_records(tmp_path / "two").tobytes() == want.tobytes()


def test_a_slow_first_block_never_lets_finished_blocks_pile_up(detector, tmp_path, monkeypatch):
    from velmora_batch import _executors

    run_block = _executors.run_block
    finished = []  # blocks finished while the first one ran
    first_done = threading.Event()

    def slow_first(job):
        if job.index == 0:
            time.sleep(1.0)
            first_done.set()
        result = run_block(job)
        if not first_done.is_set():
            finished.append(job.index)
        return result

    monkeypatch.setattr(_executors, "run_block", slow_first)
    run = dict(dark_rate=2e4, duration=1e-3, channels=range(200), seed=3, block_channels=1)
    with ThreadPoolExecutor(2) as pool:
        summary = vb.run(detector, executor=pool, workers=2, output=tmp_path / "r.parquet", **run)
    assert summary.blocks == 200
    window = _executors.executor_window(2)
    assert 0 < len(finished) <= window - 1, len(finished)
    monkeypatch.setattr(_executors, "run_block", run_block)
    assert vb.read_records(tmp_path / "r.parquet").tobytes() == vb.run(detector, **run).tobytes()


def _reachable(host, port):
    import socket

    try:
        with socket.create_connection((host, port), timeout=2):
            return True
    except OSError:
        return False


@pytest.mark.parametrize("dashboard", [False, True], ids=["without", "with"])
def test_a_local_cluster_serves_its_dashboard_only_when_asked_and_only_here(dashboard):
    import socket
    import urllib.request

    from velmora_batch._executors import dask_client

    with dask_client(None, "local", 1, dashboard=dashboard) as client:
        port = client.scheduler_info()["services"]["dashboard"]  # the scheduler's HTTP server
        assert _reachable("127.0.0.1", port)
        outside = {a[4][0] for a in socket.getaddrinfo(socket.gethostname(), None, socket.AF_INET)}
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.connect(("192.0.2.1", 9))  # sends nothing: picks the address of the default route
                outside.add(probe.getsockname()[0])
            except OSError:
                pass
        outside = {a for a in outside if not a.startswith("127.")}
        for address in outside:
            assert not _reachable(address, port), address
        assert outside, "no address but the loopback one to try"
        if dashboard:
            assert client.dashboard_link.startswith(f"http://127.0.0.1:{port}/")
            assert urllib.request.urlopen(client.dashboard_link, timeout=10).status == 200


@pytest.mark.parametrize("output", [None, "ds/"], ids=["gathered", "dataset"])
def test_early_windows_on_workers_come_back_as_one_warning_per_channel(output, make_detector, client, tmp_path,
                                                                        capfd):
    det = make_detector("ZozuvUza", seed=1, early_handling="WARN")
    pes = vb.PETable(channel=np.repeat([2, 8, 9], 40),
                     time=np.r_[np.full(20, -2e-6), np.full(20, -1e-6), np.full(40, -1e-6), np.full(40, 3e-6)])
    kwargs = dict(executor=client, block_channels=1, seed=3)
    if output is not None:
        kwargs["output"] = str(tmp_path / output)
    capfd.readouterr()
    with pytest.warns(vb.EarlyTriggerWarning) as caught:
        vb.run(det, pes, **kwargs)
    assert [str(w.message).split(" readout")[0] for w in caught] == ["channel 2: 2", "channel 8: 1"]
    assert "early trigger" not in capfd.readouterr().err
