"""Typed use of the whole velmora module, checked with mypy --strict against velmora-stubs and run by the tests.

Lines marked `# type: ignore[...]` are calls that the stubs must reject; they also fail at run time, which
main() checks. mypy --strict reports an ignore that is no longer needed, so a stub that starts accepting one of
them fails the check.
"""

import json
from collections.abc import Callable
from pathlib import Path

import numpy as np
import numpy.typing as npt
import velmora

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def zozuvuza(policy: velmora.EarlyHandling = velmora.WARN) -> velmora.ZozuvUza:
    directory = EXAMPLES / "zozuvuza"
    config = json.loads((directory / "config.json").read_text())
    kernel: list[int] = config["trigger_kernel"]
    return velmora.ZozuvUza(
        directory / config["time_spectrum"], str(directory / config["amplitude_spectrum"]),
        config["pmt_time_step"], config["adc_step"], bytes(directory / config["pulse_shape"]), config["jitter"],
        config["gain"], config["offset"], config["preamp_clip"], config["noise"], config["clip"],
        config["waveform_samples"], config["retrigger_offset"], velmora.IntVector(kernel), config["adc_threshold"],
        config["trigger_norm"], config["trigger_offset"], seed=np.int32(7), early_handling=policy)


def multipmt() -> velmora.MultiPMT:
    directory = EXAMPLES / "multipmt"
    config = json.loads((directory / "config.json").read_text())
    del config["model"]
    for key in ("time_spectrum", "amplitude_spectrum", "tot_pulse_shape", "adc_pulse_shape"):
        config[key] = directory / config[key]
    return velmora.MultiPMT(**config)


def flash(at: float, pes: int = 200) -> list[float]:
    return [at + k * 1e-11 for k in range(pes)]


def zozuvuza_records() -> None:
    cam = zozuvuza(velmora.EarlyHandling.IGNORE)
    from_list = cam.simulate(flash(1e-6), channel=3)
    from_vector = cam.simulate(velmora.DoubleVector(flash(2e-6)))
    times: npt.NDArray[np.float64] = np.array(flash(3e-6))
    from_array = cam.simulate(times.reshape(10, -1), 2)
    from_scalar = cam.simulate(5e-6)
    assert len(from_list) >= 1 and len(from_vector) >= 1 and len(from_array) >= 1
    assert isinstance(from_scalar, velmora.ZozuvUzaTriggerVector)

    record: velmora.ZozuvUzaTrigger = from_list[0]
    channel: int = record.channel
    start: float = record.trigger_time_s + record.trigger_time_ticks * velmora.ZozuvUzaTrigger.SECONDS_PER_TICK
    baseline: float = record.baseline
    intsum: float = record.intsum
    samples: list[int] = list(record.waveform)
    assert channel == 3 and 0.9e-6 < start < 1.1e-6 and intsum > 0.0 and baseline > 0.0 and samples
    record.waveform = [1, 2, 3]
    record.waveform.append(4)
    assert list(from_list[0].waveform) == [1, 2, 3, 4]

    kept = velmora.ZozuvUzaTriggerVector(r for r in from_vector)
    kept.extend(from_array)
    assert len(kept) == len(from_vector) + len(from_array)
    for r in kept:
        r.channel = 9
    assert all(r.channel == 9 for r in kept[1:])


def multipmt_records() -> None:
    pmt = multipmt()
    hits = pmt.simulate(flash(1e-6, 50), 4)
    first: velmora.MultiPMTTrigger = hits[0]
    time: float = first.time
    tot: float = first.time_over_threshold
    adc: int = first.adc_sample
    assert first.channel == 4 and 1e-6 < time < 1.1e-6 and tot > 0.0 and adc > 0
    delay: float = pmt.calibrate_delay(50, 20)
    assert 0.0 < delay < 1e-7


def pe_lists() -> None:
    pe_list = velmora.generate_pe_list(3, 100, 2e-8)
    pe_list.append((7, [1e-6, 2e-6]))
    pe_list.append((8, velmora.DoubleVector(flash(1e-6))))
    channels: list[int] = [channel for channel, _ in pe_list]
    last_times: velmora.DoubleVector = pe_list[-1][1]
    assert channels == [0, 1, 2, 7, 8] and len(last_times) == 200
    records = zozuvuza(velmora.IGNORE).simulate_pe_list(pe_list)
    assert isinstance(records, velmora.ZozuvUzaTriggerVector)
    assert isinstance(multipmt().simulate_pe_list(pe_list), velmora.MultiPMTTriggerVector)


def policies() -> None:
    members: dict[str, velmora.EarlyHandling] = velmora.EarlyHandling.__members__
    assert list(members) == ["IGNORE", "ZERO", "WARN", "THROW"]
    assert velmora.THROW is velmora.EarlyHandling.THROW and int(velmora.THROW) == 3
    assert velmora.EarlyHandling(1) == velmora.ZERO and velmora.ZERO.name == "ZERO"


def rejected(call: Callable[[], object]) -> None:
    try:
        call()
    except TypeError:
        return
    raise AssertionError("the call was accepted")


def wrong_calls() -> None:
    cam = zozuvuza(velmora.IGNORE)
    rejected(lambda: cam.simulate([1e-6], channel=1.5))  # type: ignore[call-overload]
    rejected(lambda: cam.simulate_pe_list([(0, [1e-9])]))  # type: ignore[arg-type]
    rejected(lambda: velmora.generate_pe_list(2.0, 3, 1e-9))  # type: ignore[arg-type]
    rejected(lambda: velmora.MultiPMT("t.txt", "a.txt"))  # type: ignore[call-arg]
    rejected(lambda: zozuvuza(1))  # type: ignore[arg-type]


def main() -> None:
    zozuvuza_records()
    multipmt_records()
    pe_lists()
    policies()
    wrong_calls()


if __name__ == "__main__":
    main()
