"""Typed use of the velmora_batch package, checked with mypy --strict and run by the tests.

Lines marked `# type: ignore[...]` are calls that the package's annotations must reject; they also fail at run
time, which main() checks. mypy --strict reports an ignore that is no longer needed, so annotations that start
accepting one of them fail the check.
"""

import tempfile
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import velmora_batch as vb

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
CONFIG = EXAMPLES / "zozuvuza" / "config.json"


def flash() -> vb.PETable:
    channels: npt.NDArray[np.int64] = np.repeat(np.arange(3), 40)
    return vb.PETable(channel=channels, time=np.full(len(channels), 2e-6))


def records(result: npt.NDArray[Any] | vb.RunSummary) -> npt.NDArray[Any]:
    assert isinstance(result, np.ndarray)
    return result


def summary(result: npt.NDArray[Any] | vb.RunSummary) -> vb.RunSummary:
    assert isinstance(result, vb.RunSummary)
    return result


def runs(directory: Path) -> None:
    detector = vb.Detector.from_config(CONFIG, overrides={"channel": [1], "gain": [35.0]})
    assert detector.model == "ZozuvUza" and detector.overrides == {1: {"gain": 35.0}}
    table = flash()
    held = records(vb.run(detector, table, seed=5, workers=2, block_channels=2))
    with ThreadPoolExecutor(max_workers=2) as pool:
        assert records(vb.run(detector, table, seed=5, executor=pool)).tobytes() == held.tobytes()
    assert records(vb.run(detector, table, seed=5, channels=range(3))).tobytes() == held.tobytes()
    assert records(vb.run(detector, table, seed=5, channels="0-2")).tobytes() == held.tobytes()
    delay = (np.array([0.0, 5e-9, 2e-8]), np.array([0.0, 1.0, 0.0]))
    echoing = vb.Detector(detector.model, detector.params, detector.spectra, detector.seed,
                          {1: {"time_offset": 1e-9, "afterpulse_probability": 0.5}}, vb.Afterpulses(0.2, delay))
    assert echoing.afterpulses is not None and echoing.afterpulses.probability == 0.2
    # Afterpulses are the channel's own: the same whatever the blocks and workers.
    assert records(vb.run(echoing, table, seed=5)).tobytes() == \
        records(vb.run(echoing, table, seed=5, workers=2, block_channels=1)).tobytes()

    written = summary(vb.run(detector, table, seed=5, output=directory / "flash.parquet"))
    rows: int = written.rows
    assert rows == len(held) and written.seed == 5 and written.seeding == "independent"
    assert vb.read_records(written.path).tobytes() == held.tobytes()
    metadata: dict[str, Any] = vb.read_metadata(written.path)
    assert metadata["seed"] == 5

    dataset = summary(vb.run(detector, table, seed=5, output=directory / "flash", block_channels=1))
    assert dataset.blocks == 3 and vb.read_records(dataset.path).tobytes() == held.tobytes()

    np.savez(directory / "pes.npz", channel=table.channel, time=table.time)
    again: vb.PETable = vb.read_pes(directory / "pes.npz")
    channels, starts, times = again.grouped()
    assert channels.tolist() == [0, 1, 2] and starts[-1] == len(times) == len(again)
    dark = records(vb.run(vb.Detector.from_dict(detector.config()), dark_rate=1e4, duration=1e-3,
                          channels=np.arange(2), seed=1))
    assert set(dark["channel"].tolist()) <= {0, 1}
    assert isinstance(vb.__version__, str)


def rejected(call: Callable[[], object], error: type[Exception] = TypeError) -> None:
    try:
        call()
    except error:
        return
    raise AssertionError("the call was accepted")


def wrong_calls() -> None:
    detector = vb.Detector.from_config(CONFIG)
    table = flash()
    rejected(lambda: vb.run(detector, table, executor=object()))  # type: ignore[call-overload]
    rejected(lambda: vb.run(detector, table, seed="7"))  # type: ignore[call-overload]
    rejected(lambda: vb.read_records(7))  # type: ignore[arg-type]
    rejected(lambda: vb.run(detector, table, truth="all"), ValueError)  # type: ignore[call-overload]
    rejected(lambda: vb.read_links(7))  # type: ignore[arg-type]
    rejected(lambda: vb.Detector.from_config(CONFIG, overrides=7), ValueError)  # type: ignore[arg-type]


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        runs(Path(directory))
    wrong_calls()


if __name__ == "__main__":
    main()
