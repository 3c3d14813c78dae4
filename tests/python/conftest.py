import math
import os
from pathlib import Path

import numpy as np
import pytest
import velmora
import velmora_batch._core

# The sanitizer run points PYTHONPATH at its own build; make sure that is the
# module under test rather than an installed one.
_expected_dir = os.environ.get("VELMORA_EXPECT_MODULE_DIR")
if _expected_dir:
    assert Path(velmora.__file__).resolve().parent == Path(_expected_dir).resolve(), velmora.__file__
    _batch_core = velmora_batch._core.__file__
    assert Path(_batch_core).resolve().parent == (Path(_expected_dir) / "velmora_batch").resolve(), _batch_core

PMT_STEP = 0.1e-9
ADC_STEP = 4e-9


def write_points(path, points):
    path.write_text("".join(f"{x!r} {y!r}\n" for x, y in points))
    return path


@pytest.fixture(scope="session")
def detector_dir(tmp_path_factory):
    """Small, fast detector files: 1 ns transit-time spread, a single-PE
    amplitude peak, and a 40 ns pulse (1 ns rise, 8 ns decay) on the 0.1 ns
    PMT grid."""
    d = tmp_path_factory.mktemp("detector")
    write_points(d / "time.txt", [(0.0, 1.0), (1e-9, 1.0)])
    write_points(d / "amplitude.txt", [(0.5, 0.0), (1.0, 1.0), (1.5, 0.0)])
    write_points(
        d / "pulse.txt",
        [(i * PMT_STEP, (1.0 - math.exp(-i / 10.0)) * math.exp(-i / 80.0)) for i in range(400)],
    )
    return d


ZOZUVUZA_DEFAULTS = dict(
    pmt_time_step=PMT_STEP,
    adc_step=ADC_STEP,
    jitter=0,
    gain=40.0,
    offset=10.0,
    preamp_clip=4000.0,
    noise=1.0,
    clip=4095.0,
    waveform_samples=16,
    retrigger_offset=16,
    trigger_kernel=[1, 1],
    adc_threshold=40,
    trigger_norm=1,
    trigger_offset=-4,
    seed=1,
)


@pytest.fixture
def make_zozuvuza(detector_dir):
    """Builds a ZozuvUza on the small detector; keyword arguments override."""

    def make(**overrides):
        kwargs = dict(
            time_spectrum=detector_dir / "time.txt",
            amplitude_spectrum=detector_dir / "amplitude.txt",
            pulse_shape=detector_dir / "pulse.txt",
            **ZOZUVUZA_DEFAULTS,
        )
        kwargs.update(overrides)
        return velmora.ZozuvUza(**kwargs)

    return make


@pytest.fixture
def triggers(make_zozuvuza):
    """A ZozuvUzaTriggerVector of several records from well separated flashes."""
    cam = make_zozuvuza()
    result = cam.simulate([t * 1e-6 + k * 1e-10 for t in range(1, 6) for k in range(20)], 3)
    assert len(result) == 5
    return result


TOT_STEP = 0.5e-9


@pytest.fixture(scope="session")
def tot_pulse(detector_dir):
    """ToT pulse shape on its own 0.5 ns grid: 2 ns rise, 4 ns decay."""
    return write_points(
        detector_dir / "tot_pulse.txt",
        [(i * TOT_STEP, (1.0 - math.exp(-i / 4.0)) * math.exp(-i / 8.0) * 2.0) for i in range(40)],
    )


MULTIPMT_DEFAULTS = dict(
    pmt_time_step=PMT_STEP,
    tot_step=TOT_STEP,
    tot_threshold=0.3,
    tot_dead_time=5e-9,
    tot_noise=0.02,
    tot_jitter=0.1e-9,
    adc_step=ADC_STEP,
    adc_jitter=0,
    adc_gain=40.0,
    adc_offset=10.0,
    adc_noise=1.0,
    adc_clip=4095.0,
    sample_delay=8e-9,
    seed=1,
)


@pytest.fixture
def make_multipmt(detector_dir, tot_pulse):
    """Builds a MultiPMT on the small detector; keyword arguments override."""

    def make(**overrides):
        kwargs = dict(
            time_spectrum=detector_dir / "time.txt",
            amplitude_spectrum=detector_dir / "amplitude.txt",
            tot_pulse_shape=tot_pulse,
            adc_pulse_shape=detector_dir / "pulse.txt",
            **MULTIPMT_DEFAULTS,
        )
        kwargs.update(overrides)
        return velmora.MultiPMT(**kwargs)

    return make


BATCH_FILES = {
    "ZozuvUza": {"time_spectrum": "time.txt", "amplitude_spectrum": "amplitude.txt", "pulse_shape": "pulse.txt"},
    "MultiPMT": {
        "time_spectrum": "time.txt",
        "amplitude_spectrum": "amplitude.txt",
        "tot_pulse_shape": "tot_pulse.txt",
        "adc_pulse_shape": "pulse.txt",
    },
}


@pytest.fixture
def make_detector(detector_dir, tot_pulse):
    """Builds a velmora_batch.Detector of the small detector files;
    keyword arguments override its parameters."""
    from velmora_batch import Detector

    def make(model, seed=None, overrides=None, **params):
        defaults = {"ZozuvUza": ZOZUVUZA_DEFAULTS, "MultiPMT": MULTIPMT_DEFAULTS}[model]
        p = {k: v for k, v in defaults.items() if k != "seed"}
        if model == "ZozuvUza":
            p["early_handling"] = "WARN"
        p.update(params)
        spectra = {k: velmora_batch._core.read_spectrum(detector_dir / f) for k, f in BATCH_FILES[model].items()}
        return Detector(model, p, spectra, seed=seed, overrides=overrides)

    return make


def check_window_starts(records):
    """ZozuvUza window starts on a 4 ns ADC grid: time_ns is adc_index in ns
    exactly, and the front end's time stamp lies on it or one tick below (its
    rule truncates a start computed in double precision). Returns the
    records' time_ns as the stamps alone give it, for comparison with records
    that carry only the stamps."""
    stamp_ticks = records["trigger_time_s"].astype(np.int64) * 250_000_000 + records["trigger_time_ticks"]
    np.testing.assert_array_equal(records["time_ns"], records["adc_index"] * 4)
    low = records["adc_index"] - stamp_ticks
    assert set(low.tolist()) <= {0, 1}, sorted(set(low.tolist()))
    return stamp_ticks * 4
