from pathlib import Path

import numpy as np
import pytest
import velmora
from velmora_batch import _core


def test_read_spectrum_gives_float64_pairs_in_file_order(tmp_path):
    path = tmp_path / "s.txt"
    path.write_text("0 1.5\n1e-9 2\n  2e-9\t0.25 \n")
    x, y = _core.read_spectrum(path)
    assert x.dtype == np.float64 and y.dtype == np.float64
    np.testing.assert_array_equal(x, [0.0, 1e-9, 2e-9])
    np.testing.assert_array_equal(y, [1.5, 2.0, 0.25])
    # A path given as a string reads the same file.
    x2, _ = _core.read_spectrum(str(path))
    np.testing.assert_array_equal(x2, x)


def test_read_spectrum_reads_the_example_files_exactly():
    path = Path(__file__).resolve().parents[2] / "examples" / "zozuvuza" / "pulse_shape.txt"
    x, y = _core.read_spectrum(path)
    values = np.array(path.read_text().split(), dtype=np.float64)
    np.testing.assert_array_equal(x, values[0::2])
    np.testing.assert_array_equal(y, values[1::2])


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "Failed to open spectrum file"),
        ("1 2\n", "at least two data points"),
        ("", "at least two data points"),
    ],
    ids=["missing", "one-pair", "empty"],
)
def test_read_spectrum_errors_are_those_of_the_models(tmp_path, content, message, detector_dir):
    path = tmp_path / "bad.txt"
    if content is not None:
        path.write_text(content)
    with pytest.raises(RuntimeError, match=message):
        _core.read_spectrum(path)
    # The model constructor fails the same way on the same file.
    with pytest.raises(RuntimeError, match=message):
        velmora.MultiPMT(
            path, detector_dir / "amplitude.txt", 1e-10, 5e-10, path, 0.3, 5e-9, 0.0, 0.0, 4e-9, path,
            0, 1.0, 0.0, 0.0, 4000.0, 0.0, 1,
        )


# --- engines ---------------------------------------------------------------

from conftest import BATCH_FILES as FILES  # noqa: E402
from conftest import MULTIPMT_DEFAULTS, ZOZUVUZA_DEFAULTS, check_window_starts  # noqa: E402

MODELS = ["ZozuvUza", "MultiPMT"]
@pytest.fixture
def engine_inputs(detector_dir, tot_pulse):
    """(params without the seed, spectra, velmora constructor) per model."""

    def inputs(model, **overrides):
        defaults = ZOZUVUZA_DEFAULTS if model == "ZozuvUza" else MULTIPMT_DEFAULTS
        params = {k: v for k, v in defaults.items() if k != "seed"}
        if model == "ZozuvUza":
            params["early_handling"] = "WARN"
        params.update(overrides)
        spectra = {k: _core.read_spectrum(detector_dir / f) for k, f in FILES[model].items()}

        def build(seed):
            kwargs = {k: detector_dir / f for k, f in FILES[model].items()}
            kwargs.update(params)
            if model == "ZozuvUza":
                kwargs["early_handling"] = getattr(velmora.EarlyHandling, params["early_handling"])
            return getattr(velmora, model)(seed=seed, **kwargs)

        return params, spectra, build

    return inputs


def block_arrays(pe_list, seeds=None):
    """The engine's arrays for a list of (channel, times) pieces at origin 0."""
    bounds = np.cumsum([0] + [len(t) for _, t in pe_list])
    return dict(
        channels=np.array([c for c, _ in pe_list], np.int32),
        bounds=bounds,
        times=np.concatenate([np.asarray(t, float) for _, t in pe_list]),
        models=np.zeros(len(pe_list), np.int64),
        seeds=seeds,
        origin_ticks=np.zeros(len(pe_list), np.uint64),
        origins=np.zeros(len(pe_list)),
    )


def flash_pes(rng, n_channels):
    """Per channel a few flashes of several PEs plus single PEs, unsorted."""
    out = []
    for c in range(n_channels):
        flashes = np.repeat(rng.uniform(0, 20e-6, 4), 12) + rng.uniform(0, 2e-9, 48)
        singles = rng.uniform(0, 20e-6, 10)
        t = np.concatenate([flashes, singles])
        rng.shuffle(t)
        out.append((c * 3 + 1, t))
    return out


def velmora_columns(model, records):
    """Reads records attribute by attribute (the reference for the engine's columns)."""
    if model == "ZozuvUza":
        return {
            "channel": np.array([r.channel for r in records], np.int32),
            "time_ns": np.array([r.trigger_time_s * 10**9 + r.trigger_time_ticks * 4 for r in records], np.int64),
            "trigger_time_s": np.array([r.trigger_time_s for r in records], np.uint32),
            "trigger_time_ticks": np.array([r.trigger_time_ticks for r in records], np.uint32),
            "baseline": np.array([r.baseline for r in records], np.float32),
            "intsum": np.array([r.intsum for r in records], np.float32),
            "waveform": np.array([list(r.waveform) for r in records], np.uint16).reshape(len(records), -1),
        }
    return {
        "time": np.array([r.time for r in records], np.float64),
        "channel": np.array([r.channel for r in records], np.int32),
        "time_over_threshold": np.array([r.time_over_threshold for r in records], np.float64),
        "adc_sample": np.array([r.adc_sample for r in records], np.uint16),
        # Hit starts in whole TDC steps: exact by division at these short times.
        "tdc_count": np.array([round(r.time / MULTIPMT_DEFAULTS["tot_step"]) for r in records], np.int64),
    }


def assert_columns_equal(got, want):
    # The engine adds its saturation column after the records' own, and for
    # ZozuvUza the exact window start (adc_index, and time_ns from it), which
    # the record objects give only as their time stamps.
    added = ["n_saturated", "adc_index"] if "waveform" in want else ["adc_saturated"]
    assert list(got)[: len(want)] == list(want) and set(got) - set(want) <= set(added)
    if "waveform" in want and "adc_index" not in want:
        got = {**got, "time_ns": check_window_starts(got)}
    for name in want:
        assert got[name].dtype == want[name].dtype, name
        # Bit for bit: compare the raw bytes, so that -0.0/0.0 and NaNs count.
        np.testing.assert_array_equal(got[name].view(np.uint8), want[name].view(np.uint8), err_msg=name)


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("seed", [1, 20240611, -5])
def test_sequential_engine_gives_the_records_of_simulate_pe_list(model, seed, engine_inputs):
    params, spectra, build = engine_inputs(model)
    pe_list = flash_pes(np.random.default_rng(seed % 1000), 5)
    engine = getattr(_core, f"{model}Engine")([params], spectra)
    engine.seed_sequential(seed)
    # Two blocks in a row continue the one generator.
    got_a = engine.simulate(**block_arrays(pe_list[:2]), cancel=_core.CancelFlag())
    got_b = engine.simulate(**block_arrays(pe_list[2:]), cancel=_core.CancelFlag())
    got = {k: np.concatenate([got_a[k], got_b[k]]) for k in got_a}
    vl = velmora.PEListVector()
    for c, t in pe_list:
        vl.append((c, velmora.DoubleVector(t.tolist())))
    records = build(seed).simulate_pe_list(vl)
    assert len(records) > 10
    assert_columns_equal(got, velmora_columns(model, records))


@pytest.mark.parametrize("model", MODELS)
def test_independent_pieces_do_not_depend_on_their_neighbours(model, engine_inputs):
    params, spectra, _ = engine_inputs(model)
    engine = getattr(_core, f"{model}Engine")([params], spectra)
    pe_list = flash_pes(np.random.default_rng(3), 4)
    seeds = np.random.default_rng(4).integers(0, 2**32, (4, 8), dtype=np.uint32)
    whole = engine.simulate(**block_arrays(pe_list, seeds), cancel=_core.CancelFlag())
    parts = [engine.simulate(**block_arrays(pe_list[i : i + 1], seeds[i : i + 1]), cancel=_core.CancelFlag())
             for i in reversed(range(4))]
    joined = {k: np.concatenate([p[k] for p in reversed(parts)]) for k in whole}
    assert len(whole["channel"]) > 10
    assert_columns_equal(joined, whole)
    # Another seed for one piece changes that piece's records only.
    seeds2 = seeds.copy()
    seeds2[1, 0] ^= 1
    other = engine.simulate(**block_arrays(pe_list, seeds2), cancel=_core.CancelFlag())
    for c in {c for c, _ in pe_list} - {pe_list[1][0]}:
        mask_a, mask_b = whole["channel"] == c, other["channel"] == c
        for k in whole:
            np.testing.assert_array_equal(whole[k][mask_a], other[k][mask_b])


def test_zozuvuza_origin_ticks_carry_into_the_seconds(engine_inputs):
    params, spectra, _ = engine_inputs("ZozuvUza")
    engine = _core.ZozuvUzaEngine([params], spectra)
    pes = [(0, np.full(30, 2e-6))]
    seeds = np.ones((1, 8), np.uint32)
    base = engine.simulate(**block_arrays(pes, seeds), cancel=_core.CancelFlag())
    assert len(base["channel"]) == 1
    shifted_args = block_arrays(pes, seeds)
    origin_ticks = 3 * 250_000_000 + 249_999_999  # 3.999999996 s
    shifted_args["origin_ticks"] = np.array([origin_ticks], np.uint64)
    shifted = engine.simulate(**shifted_args, cancel=_core.CancelFlag())
    total = int(base["trigger_time_ticks"][0]) + origin_ticks
    assert shifted["trigger_time_s"][0] == base["trigger_time_s"][0] + total // 250_000_000
    assert shifted["trigger_time_ticks"][0] == total % 250_000_000
    # Without origin_steps the window start keeps its place in the piece; with
    # them it moves by that many ADC steps, and time_ns with it.
    assert shifted["adc_index"][0] == base["adc_index"][0]
    shifted_args["origin_steps"] = np.array([origin_ticks], np.int64)  # 4 ns ADC steps: the same instant
    steps = engine.simulate(**shifted_args, cancel=_core.CancelFlag())
    assert steps["adc_index"][0] == base["adc_index"][0] + origin_ticks
    assert steps["time_ns"][0] == base["time_ns"][0] + origin_ticks * 4
    np.testing.assert_array_equal(shifted["waveform"], base["waveform"])


@pytest.mark.parametrize(
    "change, error, message",
    [
        (dict(bounds=np.array([0, 5])), ValueError, "bounds"),
        (dict(models=np.array([1])), IndexError, "parameter set 1"),
        (dict(seeds=np.zeros((1, 7), np.uint32)), ValueError, "shape"),
        (dict(times=np.array([np.nan])), ValueError, "channel 9: PE times must be finite"),
    ],
    ids=["bounds-beyond-times", "unknown-parameter-set", "seed-width", "nan-time"],
)
def test_engine_rejects_bad_blocks(change, error, message, engine_inputs):
    params, spectra, _ = engine_inputs("MultiPMT")
    engine = _core.MultiPMTEngine([params], spectra)
    args = block_arrays([(9, [1e-6])], np.zeros((1, 8), np.uint32))
    args.update(change)
    with pytest.raises(error, match=message):
        engine.simulate(**args, cancel=_core.CancelFlag())


@pytest.mark.parametrize(
    "change, error, message",
    [
        (dict(pmt_time_step=0.0), ValueError, "pmt_time_step"),
        (dict(gain="x"), TypeError, "'gain'"),
        (dict(early_handling="LOUD"), ValueError,
         r"^early_handling must be 'IGNORE', 'ZERO', 'WARN' or 'THROW', got 'LOUD'$"),
        (dict(adc_step=None), TypeError, "'adc_step'"),
    ],
    ids=["model-check", "wrong-type", "unknown-policy", "none"],
)
def test_engine_construction_errors_name_the_setting(change, error, message, engine_inputs):
    params, spectra, _ = engine_inputs("ZozuvUza", **change)
    with pytest.raises(error, match=message):
        _core.ZozuvUzaEngine([params], spectra)


@pytest.mark.parametrize("model", MODELS)
def test_engine_needs_every_setting_and_spectrum_of_its_model(model, engine_inputs):
    # The engine fills a model's settings from its field table: a setting
    # missing from the table would silently stay 0 instead of being asked for.
    params, spectra, _ = engine_inputs(model)
    engine_type = getattr(_core, f"{model}Engine")
    for name in params:
        without = {k: v for k, v in params.items() if k != name}
        with pytest.raises(KeyError, match=f"missing parameter '{name}'"):
            engine_type([without], spectra)
    for name in spectra:
        without = {k: v for k, v in spectra.items() if k != name}
        with pytest.raises(KeyError, match=f"missing spectrum '{name}'"):
            engine_type([params], without)


def test_engine_spectrum_faults_name_the_spectrum(engine_inputs):
    params, spectra, _ = engine_inputs("ZozuvUza")
    spectra["amplitude_spectrum"] = (np.array([1.0, 0.5]), np.array([1.0, 1.0]))
    with pytest.raises(ValueError, match="amplitude_spectrum: x values must strictly increase"):
        _core.ZozuvUzaEngine([params], spectra)
    del spectra["amplitude_spectrum"]
    with pytest.raises(KeyError, match="amplitude_spectrum"):
        _core.ZozuvUzaEngine([params], spectra)


def test_a_set_cancel_flag_stops_the_block(engine_inputs):
    params, spectra, _ = engine_inputs("ZozuvUza")
    engine = _core.ZozuvUzaEngine([params], spectra)
    cancel = _core.CancelFlag()
    cancel.set()
    assert cancel.is_set()
    with pytest.raises(_core.Cancelled):
        engine.simulate(**block_arrays([(0, [1e-6])], np.zeros((1, 8), np.uint32)), cancel=cancel)


@pytest.mark.parametrize("seeded", [True, False], ids=["independent", "sequential"])
def test_engine_notes_early_windows_when_asked_and_writes_lines_otherwise(seeded, engine_inputs, capfd):
    params, spectra, _ = engine_inputs("ZozuvUza")
    engine = _core.ZozuvUzaEngine([params], spectra)
    pe_list = [(3, np.full(20, -1e-6)), (5, np.full(20, 2e-6)), (8, np.r_[np.full(20, -2e-6), np.full(20, -1e-6)])]
    seeds = np.arange(24, dtype=np.uint32).reshape(3, 8) if seeded else None
    capfd.readouterr()
    engine.seed_sequential(1)
    lined = engine.simulate(**block_arrays(pe_list, seeds), cancel=_core.CancelFlag())
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 3 and all(line.startswith("[Warning] Ignoring early trigger at -") for line in lines)
    early: list = []
    engine.seed_sequential(1)
    noted = engine.simulate(**block_arrays(pe_list, seeds), cancel=_core.CancelFlag(), early=early)
    assert capfd.readouterr().err == ""
    assert_columns_equal(noted, lined)
    assert [(c, n, o) for c, n, _, o in early] == [(3, 1, 0.0), (8, 2, 0.0)]
    # The notice keeps the start of each piece's first window (lines 0 and 1).
    starts = [float(line.split(" at ")[1][:-3]) for line in lines]
    assert starts[:2] == pytest.approx([s for _, _, s, _ in early], rel=1e-5)
