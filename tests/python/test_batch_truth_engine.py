"""The engine's truth, saturation and baseline noise, seen from Python: none of
them changes a record or a draw, and the baseline noise is the ADC's own."""

import numpy as np
import pytest
from velmora_batch import _core, _seeding

from test_batch_core import MODELS, block_arrays, engine_inputs, flash_pes  # noqa: F401 (fixture)

SATURATION = {"ZozuvUza": "n_saturated", "MultiPMT": "adc_saturated"}
TRUTH = ["n_pe", "true_charge", "first_pe_time", "n_dark", "n_afterpulse", "n_pe_any"]


def segmented(pe_list, origin):
    """The same pieces counted from an origin (a segment of a longer run)."""
    args = block_arrays(pe_list)
    args["origins"] = np.full(len(pe_list), origin)
    args["origin_ticks"] = np.full(len(pe_list), round(origin / 4e-9), np.uint64)
    return args


def run(engine, args, seeded, **extras):
    if not seeded:
        engine.seed_sequential(11)
    return engine.simulate(**args, cancel=_core.CancelFlag(), **extras)


def counted(links):
    """Per link whether its PE is counted in its record: the PE's largest
    fraction, above 0, the earliest record on a tie."""
    order = np.lexsort((links["record"], -links["fraction"], links["pe"]))
    first = np.ones(len(order), bool)
    first[1:] = links["pe"][order][1:] != links["pe"][order][:-1]
    out = np.zeros(len(order), bool)
    out[order[first]] = links["fraction"][order[first]] > 0
    return out


def assert_truth_follows_the_links(cols, kinds):
    """Every truth column worked out again from the links."""
    links, rows = cols["links"], len(cols["channel"])
    count = counted(links)
    record = links["record"]
    np.testing.assert_array_equal(np.bincount(record, minlength=rows), cols["n_pe_any"])
    np.testing.assert_array_equal(np.bincount(record[count], minlength=rows), cols["n_pe"])
    np.testing.assert_array_equal(np.bincount(record[count], weights=kinds[links["pe"][count]] == 1, minlength=rows),
                                  cols["n_dark"])
    np.testing.assert_array_equal(np.bincount(record[count], weights=kinds[links["pe"][count]] == 2,
                                              minlength=rows), cols["n_afterpulse"])
    np.testing.assert_allclose(np.bincount(record, weights=links["fraction"] * links["amplitude"], minlength=rows),
                               cols["true_charge"], rtol=1e-12, atol=0)
    first = np.full(rows, np.inf)
    np.minimum.at(first, record[count], links["time"][count])
    np.testing.assert_array_equal(np.where(np.isinf(first), np.nan, first), cols["first_pe_time"])


def assert_shares_add_up(cols, n_pes):
    """Each PE's fractions add up to at most 1 and it is counted once at
    most: the records' n_pe add up to at most the PEs, their true_charge to
    at most the linked PEs' charge."""
    links = cols["links"]
    assert ((links["fraction"] >= 0) & (links["fraction"] <= 1)).all()
    shares = np.bincount(links["pe"], weights=links["fraction"], minlength=n_pes)
    assert (shares <= 1 + 1e-12).all()
    assert cols["n_pe"].sum() <= n_pes
    assert (cols["n_pe"] <= cols["n_pe_any"]).all()
    pes, where = np.unique(links["pe"], return_index=True)
    assert cols["true_charge"].sum() <= links["amplitude"][where].sum() * (1 + 1e-12)


def assert_same(a, b, names):
    for name in names:
        np.testing.assert_array_equal(a[name].view(np.uint8), b[name].view(np.uint8), err_msg=name)


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("seeded", [True, False], ids=["independent", "sequential"])
@pytest.mark.parametrize("origin", [0.0, 3e-3], ids=["whole", "segment"])
def test_truth_changes_no_record(model, seeded, origin, engine_inputs):
    params, spectra, _ = engine_inputs(model)
    pe_list = flash_pes(np.random.default_rng(4), 4)
    args = segmented(pe_list, origin)
    if seeded:
        args["seeds"] = np.arange(32, dtype=np.uint32).reshape(4, 8)
    kinds = np.random.default_rng(1).integers(0, 3, len(args["times"])).astype(np.uint8)
    plain = run(_core.__dict__[f"{model}Engine"]([params], spectra), args, seeded, saturation=False)
    traced = run(_core.__dict__[f"{model}Engine"]([params], spectra), args, seeded, truth=True, kinds=kinds)
    assert len(plain["channel"]) > 10
    assert_same(plain, traced, list(plain))
    # Saturation comes after the record's own columns (ZozuvUza's exact
    # window start after it, as in the record files), truth after them all.
    own = [c for c in plain if c != "adc_index"]
    start = ["adc_index"] if "adc_index" in plain else []
    assert list(traced) == [*own, SATURATION[model], *start, *TRUTH, "links"]

    links = traced["links"]
    assert_truth_follows_the_links(traced, kinds)
    assert_shares_add_up(traced, len(args["times"]))
    # A record's PEs lie before it: the drawn arrival is within the 1 ns time
    # spectrum after the PE's own time, in the run's time.
    arrival = links["time"] - (origin + args["times"][links["pe"]])
    assert (arrival >= 0).all() and (arrival <= 1e-9 + 1e-15).all()
    assert ((links["amplitude"] >= 0.5) & (links["amplitude"] <= 1.5)).all()
    # Every record here comes from a pulse; the 16 flashes of 12 PEs show as
    # records of 12 PEs or more (a single PE may share the window).
    assert (traced["n_pe_any"] >= 1).all()
    assert (traced["n_pe"] >= 12).sum() >= 16


def test_truth_links_every_flash_pe_to_its_record(engine_inputs):
    """Well separated flashes: each ZozuvUza record holds exactly the PEs of
    the flash it triggered on."""
    params, spectra, _ = engine_inputs("ZozuvUza")
    flashes = np.arange(1, 9) * 2e-6
    times = np.repeat(flashes, 12) + np.tile(np.linspace(0, 0.5e-9, 12), 8)
    args = block_arrays([(3, times)], np.arange(8, dtype=np.uint32).reshape(1, 8))
    cols = _core.ZozuvUzaEngine([params], spectra).simulate(**args, cancel=_core.CancelFlag(), truth=True)
    assert len(cols["channel"]) == 8
    np.testing.assert_array_equal(cols["n_pe"], 12)
    links = cols["links"]
    np.testing.assert_array_equal(links["pe"], np.arange(96))
    np.testing.assert_array_equal(links["record"], np.repeat(np.arange(8), 12))
    # Each pulse lies inside its window: all of it counts, and the records
    # hold the whole charge, summed PE by PE in order.
    np.testing.assert_array_equal(links["fraction"], 1.0)
    np.testing.assert_array_equal(cols["n_pe_any"], 12)
    np.testing.assert_array_equal(cols["true_charge"], np.cumsum(links["amplitude"].reshape(8, 12), axis=1)[:, -1])
    np.testing.assert_allclose(cols["first_pe_time"], flashes, atol=1e-9)
    assert (cols["first_pe_time"] >= flashes).all()


@pytest.mark.parametrize(
    "extras, message",
    [
        (dict(truth=True, kinds=np.zeros(3, np.uint8)), "one entry per PE time"),
        (dict(truth=True, kinds="all"), None),
        (dict(noise_seeds=np.zeros((2, 8), np.uint32)), "shape"),
    ],
    ids=["kinds-length", "kinds-type", "noise-seed-rows"],
)
def test_engine_rejects_bad_extras(extras, message, engine_inputs):
    params, spectra, _ = engine_inputs("ZozuvUza")
    args = block_arrays([(0, [1e-6, 2e-6])], np.zeros((1, 8), np.uint32))
    with pytest.raises((ValueError, TypeError), match=message):
        _core.ZozuvUzaEngine([params], spectra).simulate(**args, cancel=_core.CancelFlag(), **extras)


def test_kinds_beyond_afterpulse_and_multipmt_noise_are_refused(engine_inputs):
    params, spectra, _ = engine_inputs("ZozuvUza")
    args = block_arrays([(0, [1e-6, 2e-6])], np.zeros((1, 8), np.uint32))
    with pytest.raises(ValueError, match="afterpulse"):
        _core.ZozuvUzaEngine([params], spectra).simulate(**args, cancel=_core.CancelFlag(), truth=True,
                                                         kinds=np.array([0, 3], np.uint8))
    params, spectra, _ = engine_inputs("MultiPMT")
    with pytest.raises(ValueError, match="only ZozuvUza"):
        _core.MultiPMTEngine([params], spectra).simulate(**args, cancel=_core.CancelFlag(),
                                                         noise_seeds=np.zeros((1, 8), np.uint32))


@pytest.mark.parametrize("sample_delay, clip", [(4e-9, 150.5), (8e-9, 100.5), (16e-9, 50.5)])
def test_multipmt_saturation_is_that_of_the_sample_it_reads(engine_inputs, sample_delay, clip):
    """A hit's ADC sample is read sample_delay after its start, and so is its
    saturation: with the clip half an LSB above a whole number and no noise,
    a cut sample reads the clip rounded up and no other sample does, so
    adc_saturated is adc_sample == that, hit by hit."""
    params, spectra, _ = engine_inputs("MultiPMT", adc_clip=clip, adc_noise=0.0, sample_delay=sample_delay)
    rng = np.random.default_rng(6)
    sizes = rng.integers(1, 9, 400)
    times = np.repeat(np.arange(400) * 1e-6 + 1e-6, sizes) + rng.uniform(0, 0.3e-9, sizes.sum())
    args = block_arrays([(2, times)], np.arange(8, dtype=np.uint32).reshape(1, 8))
    cols = run(_core.MultiPMTEngine([params], spectra), args, True)
    saturated = cols["adc_saturated"].astype(bool)
    assert 50 < saturated.sum() < len(saturated) - 50
    np.testing.assert_array_equal(saturated, cols["adc_sample"] == clip + 0.5)


# --- baseline noise -----------------------------------------------------------


def noisy_run(engine_inputs, noise, seeded=True, pes=300, **changes):
    """Records of sparse single PEs with and without baseline noise."""
    params, spectra, _ = engine_inputs("ZozuvUza", noise=noise, **changes)
    rng = np.random.default_rng(8)
    pe_list = [(c, np.sort(rng.uniform(0, pes * 3e-6, pes))) for c in range(6)]
    args = block_arrays(pe_list, np.arange(48, dtype=np.uint32).reshape(6, 8) if seeded else None)
    noise_seeds = np.stack([_seeding.baseline_noise_seed_state(5, (c,)) for c, _ in pe_list])
    engine = _core.ZozuvUzaEngine([params], spectra)
    off = run(engine, args, seeded)
    on = run(engine, args, seeded, noise_seeds=noise_seeds)
    return params, off, on


@pytest.mark.parametrize("seeded", [True, False], ids=["independent", "sequential"])
def test_baseline_noise_fills_only_the_samples_without_entry(seeded, engine_inputs):
    params, off, on = noisy_run(engine_inputs, 2.5, seeded, pes=500, offset=100.4)
    assert_same(off, on, ["channel", "time_ns", "trigger_time_s", "trigger_time_ticks", "baseline"])
    assert len(off["channel"]) > 1000
    # The samples that change are those that read 0 (no entry) or the tail
    # fill (the offset, whole); every other sample is untouched.
    changed = off["waveform"] != on["waveform"]
    assert changed.any()
    assert np.isin(off["waveform"][changed], [0, 100]).all()
    # Where the window read 0 there was surely no entry (an entry is at least
    # the offset less a few noise deviations): what the ADC gives a zero
    # pulse there, offset 100.4 plus noise of 2.5 LSB, rounded half away
    # from zero. Over thousands of samples the mean lies within 0.15 LSB
    # (5 sigma) of 100.4 and the spread within 5 % (6 sigma) of
    # sqrt(2.5^2 + 1/12).
    filled = on["waveform"][off["waveform"] == 0].astype(float)
    assert filled.size > 5000
    assert abs(filled.mean() - 100.4) < 0.15
    assert abs(filled.std() / np.hypot(2.5, np.sqrt(1 / 12)) - 1) < 0.05
    # intsum by the records' own rule: (sample - offset) summed in single precision, sample by sample.
    expected = np.zeros(len(on["channel"]), np.float32)
    for j in range(on["waveform"].shape[1]):
        expected = expected + (on["waveform"][:, j].astype(np.float32) - np.float32(params["offset"]))
    np.testing.assert_array_equal(on["intsum"], expected)
    # The tail fill's whole offset biased the sum low; the noise does not.
    assert off["intsum"].mean() < on["intsum"].mean()


def test_baseline_noise_leaves_entries_that_read_zero(engine_inputs):
    """Offset 0 and pulses of a few LSB: many samples with an ADC entry read
    0 (noise below the baseline is cut at 0). PEs every 2 ns from 1 to 3 us
    give every sample there an entry, so the windows within it are the same
    with baseline noise as without: the noise fills the samples without an
    entry, never those that read 0."""
    params, spectra, _ = engine_inputs("ZozuvUza", offset=0.0, gain=0.2, noise=2.5, adc_threshold=1)
    pe_list = [(c, np.arange(1000, 3000, 2) * 1e-9 + c * 0.3e-9) for c in range(3)]
    args = block_arrays(pe_list, np.arange(24, dtype=np.uint32).reshape(3, 8))
    noise_seeds = np.stack([_seeding.baseline_noise_seed_state(5, (c,)) for c, _ in pe_list])
    engine = _core.ZozuvUzaEngine([params], spectra)
    off = run(engine, args, True)
    on = run(engine, args, True, noise_seeds=noise_seeds)
    assert_same(off, on, ["channel", "time_ns"])
    # A PE's 40 ns pulse gives entries from its time on; 1 ns of time spectrum and a sample of margin.
    length = 4 * params["waveform_samples"]
    inside = (off["time_ns"] >= 1000 + 8) & (off["time_ns"] + length <= 3000 + 30)
    assert inside.sum() >= 60 and (off["waveform"][inside] == 0).sum() > 500
    np.testing.assert_array_equal(on["waveform"][inside], off["waveform"][inside])
    # Elsewhere the noise does fill: windows that reach past the PEs' pulses.
    assert (on["waveform"][~inside] != off["waveform"][~inside]).any()


def test_baseline_noise_is_clipped_and_counted_as_the_adc_does(engine_inputs):
    """An offset above the pre-amplifier clip: the ADC cuts every value
    before its noise, the filled samples' too, so with the noise every
    sample of every window counts as saturated, and without it only the
    samples with an entry."""
    _, off, on = noisy_run(engine_inputs, 1.0, pes=40, offset=60.0, preamp_clip=59.5, clip=4095.0)
    assert (on["n_saturated"] == 16).all()
    assert (off["n_saturated"] < 16).any()
    assert (off["n_saturated"] <= on["n_saturated"]).all()
    assert set(np.unique(on["waveform"])) <= set(range(59 - 6, 60 + 6))


@pytest.mark.parametrize("samples", [65535, 65536])
def test_n_saturated_holds_at_65535(engine_inputs, samples):
    """A window of 65,535 or 65,536 samples with every sample cut (an offset
    above the pre-amplifier clip, with baseline noise): n_saturated counts
    them up to the 65,535 that its 16 bits hold, and stays there."""
    params, spectra, _ = engine_inputs("ZozuvUza", noise=1.0, offset=60.0, preamp_clip=59.5, clip=4095.0,
                                       waveform_samples=samples, retrigger_offset=samples)
    args = block_arrays([(0, [1e-6])], np.zeros((1, 8), np.uint32))
    cols = run(_core.ZozuvUzaEngine([params], spectra), args, True,
               noise_seeds=_seeding.baseline_noise_seed_state(5, (0,))[None, :])
    assert cols["waveform"].shape == (1, samples)
    np.testing.assert_array_equal(cols["n_saturated"], [65535])


def test_baseline_noise_seeds_are_the_third_child_of_the_piece_key():
    for key in [(7,), (7, 3)]:
        child = np.random.SeedSequence(123, spawn_key=key).spawn(3)[2]
        np.testing.assert_array_equal(_seeding.baseline_noise_seed_state(123, key), child.generate_state(8, np.uint32))
        # Not the model's or the dark noise's stream.
        assert not np.array_equal(_seeding.baseline_noise_seed_state(123, key), _seeding.model_seed_state(123, key))


# --- baseline noise through the config and run() ----------------------------

import json  # noqa: E402
from pathlib import Path  # noqa: E402

import velmora_batch as vb  # noqa: E402
from velmora_batch.cli import apply_settings  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize("text, value", [("true", True), ("False", False), (" TRUE ", True)])
def test_set_baseline_noise_reads_a_truth_value(text, value):
    config = json.loads((EXAMPLES / "zozuvuza" / "config.json").read_text())
    changed = apply_settings(config, [f"baseline_noise={text}"])
    assert changed["baseline_noise"] is value
    det = vb.Detector.from_dict(changed, base_dir=EXAMPLES / "zozuvuza")
    assert det.baseline_noise is value
    # The config round-trips, and says nothing of the option where it is off.
    assert vb.Detector.from_dict(det.config()) == det
    assert ("baseline_noise" in det.config()) is value


@pytest.mark.parametrize("model, change, message", [
    ("zozuvuza", {"baseline_noise": "yes"}, "'baseline_noise' must be true or false"),
    ("zozuvuza", {"baseline_noise": 1}, "'baseline_noise' must be true or false"),
    ("multipmt", {"baseline_noise": True}, "unknown key 'baseline_noise'"),
])
def test_bad_baseline_noise_configs_are_refused(model, change, message):
    config = {**json.loads((EXAMPLES / model / "config.json").read_text()), **change}
    with pytest.raises(ValueError, match=message):
        vb.Detector.from_dict(config, base_dir=EXAMPLES / model)


def test_set_baseline_noise_is_refused_where_it_is_no_truth_value_or_no_key():
    config = json.loads((EXAMPLES / "zozuvuza" / "config.json").read_text())
    with pytest.raises(ValueError, match="'baseline_noise' must be one of true, false"):
        apply_settings(config, ["baseline_noise=maybe"])
    config = json.loads((EXAMPLES / "multipmt" / "config.json").read_text())
    with pytest.raises(ValueError, match="unknown key 'baseline_noise'"):
        apply_settings(config, ["baseline_noise=true"])


@pytest.mark.parametrize("seeding", ["independent", "sequential"])
def test_a_run_with_baseline_noise_keeps_its_records_and_blocks(seeding, make_detector):
    rng = np.random.default_rng(3)
    table = vb.PETable(channel=rng.integers(0, 6, 900), time=rng.uniform(0, 3e-4, 900))
    quiet = make_detector("ZozuvUza", offset=30.6)
    noisy = make_detector("ZozuvUza", offset=30.6)
    noisy.baseline_noise = True
    kw = dict(seed=9, seeding=seeding)
    off = vb.run(quiet, table, **kw)
    on = vb.run(noisy, table, **kw)
    assert len(off) > 100
    for name in ("channel", "time_ns", "baseline", "n_saturated"):
        np.testing.assert_array_equal(on[name], off[name])
    changed = on["waveform"] != off["waveform"]
    assert changed.any() and np.isin(off["waveform"][changed], [0, 30]).all()
    # Each channel's noise comes from its own stream: the records do not
    # depend on how the run is cut into blocks or spread over workers.
    if seeding == "independent":
        np.testing.assert_array_equal(vb.run(noisy, table, block_channels=1, workers=2, **kw), on)
    # Segments draw from their own streams and still fill every gap.
    seg = vb.run(noisy, table, segment=1e-4, **kw)
    assert len(seg) > 100
    assert not np.isin(seg["waveform"], [0]).any()
    assert np.isin(vb.run(quiet, table, segment=1e-4, **kw)["waveform"], [0]).any()


# --- truth by share of signal on the example detector ------------------------


def test_the_tail_of_a_flash_is_not_counted_in_the_next_hit():
    """The example MultiPMT detector, a flash of 5 to 14 PEs per channel and
    one PE 17 to 19 ns later, after the flash's hit and its dead time: the
    flash's pulses reach the later hit with their tails (and its ADC sample
    with their long ADC pulses), which therefore has n_pe_any above 1; its
    n_pe counts the late PE but none of the flash's PEs whose tails reach
    it, and each PE is counted in one hit."""
    det = vb.Detector.from_dict(json.loads((EXAMPLES / "multipmt" / "config.json").read_text()),
                                base_dir=EXAMPLES / "multipmt")
    channel, time = [], []
    for c in range(40):
        flash = 1e-6 * (c + 1)
        n = 5 + c % 10
        channel += [c] * (n + 1)
        time += [flash] * n + [flash + 17e-9 + (c % 5) * 0.5e-9]
    records, links = vb.run(det, vb.PETable(channel=np.array(channel), time=np.array(time)), truth="links", seed=3)
    record = links.column("record").to_numpy()
    index = links.column("pe_index").to_numpy()
    fraction = links.column("fraction").to_numpy()
    late = np.cumsum(np.bincount(channel)) - 1  # each channel's last row: its late PE
    first_of = np.searchsorted(records["channel"], np.arange(40))
    pairs = [c for c in range(40) if np.count_nonzero(records["channel"] == c) == 2]
    assert len(pairs) >= 20
    is_counted = counted({"pe": index, "record": record, "fraction": fraction})
    for c in pairs:
        hit, later = first_of[c], first_of[c] + 1
        assert records["n_pe_any"][later] > 1
        # The later hit counts the late PE. The flash's PEs whose tails reach it (a small share there) are
        # counted in the flash's hit, not in the later one.
        assert late[c] in index[(record == later) & is_counted]
        both = np.intersect1d(index[record == hit], index[record == later])
        tails = both[np.isin(both, index[(record == later) & (fraction < 0.01)])]
        assert len(tails) >= 3
        assert not is_counted[(record == later) & np.isin(index, tails)].any()
        assert is_counted[(record == hit) & np.isin(index, tails)].all()
        assert records["n_pe"][hit] + records["n_pe"][later] == 6 + c % 10
    # Counted by the PEs that reach them, the records would hold more PEs than there are.
    assert records["n_pe_any"].sum() > len(channel) >= records["n_pe"].sum()
    amplitude = links.column("amplitude").to_numpy()
    kind = np.asarray(links.column("kind").combine_chunks().indices)
    _, once = np.unique(np.stack([kind, links.column("channel").to_numpy(), index], 1), axis=0, return_index=True)
    assert records["true_charge"].sum() <= amplitude[once].sum()


@pytest.mark.parametrize("model", MODELS)
def test_a_flash_alone_is_wholly_in_its_record(model):
    """One flash per channel, far from any other: each PE's pulse lies wholly
    in its record (the ZozuvUza window holds it all; the MultiPMT hit holds
    all of its taps that the discriminator sees), so every PE has share 1,
    is counted once, and the record's true charge is the flash's charge."""
    det = vb.Detector.from_dict(json.loads((EXAMPLES / model.lower() / "config.json").read_text()),
                                base_dir=EXAMPLES / model.lower())
    # A window that opens before the pulse; no discriminator noise that could
    # open a second hit on a pulse's tail and share the pulse with it.
    change = {"trigger_offset": -6} if model == "ZozuvUza" else {"tot_noise": 0.0}
    det = vb.Detector.from_dict({**det.config(), **change}, base_dir=EXAMPLES / model.lower())
    n = 20 if model == "ZozuvUza" else 1  # a bright flash would re-open the discriminator on its long pulse
    channel = np.repeat(np.arange(30), n)
    time = np.repeat(1e-6 * (1 + np.arange(30)), n)
    records, links = vb.run(det, vb.PETable(channel=channel, time=time), truth="links", seed=5)
    # One record per channel (a faint single PE may make none).
    assert len(np.unique(records["channel"])) == len(records) >= 20
    fraction = links.column("fraction").to_numpy()
    np.testing.assert_array_equal(fraction, 1.0)
    np.testing.assert_array_equal(records["n_pe"], n)
    np.testing.assert_array_equal(records["n_pe_any"], n)
    amplitude = links.column("amplitude").to_numpy()
    record = links.column("record").to_numpy()
    np.testing.assert_allclose(records["true_charge"], np.bincount(record, amplitude), rtol=1e-12)
