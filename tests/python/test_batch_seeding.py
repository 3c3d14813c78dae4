"""Seeding of whole-detector runs: the sequential tie to the velmora module,
independence from workers and blocks, and the documented seed derivation."""

import numpy as np
from numpy.lib.recfunctions import repack_fields
import pytest
import velmora
import velmora_batch as vb
from conftest import MULTIPMT_DEFAULTS, check_window_starts
from velmora_batch import _core, _seeding

MODELS = ["ZozuvUza", "MultiPMT"]
TOT_STEP = MULTIPMT_DEFAULTS["tot_step"]  # that of every MultiPMT detector here


def shuffled_table(rng, channels, per_channel=40):
    """Flashes and single PEs on the given channels, rows in random order."""
    ch, t = [], []
    for c in channels:
        flashes = np.repeat(rng.uniform(0, 30e-6, 3), per_channel // 4) + rng.uniform(0, 2e-9, 3 * (per_channel // 4))
        times = np.concatenate([flashes, rng.uniform(0, 30e-6, per_channel // 4)])
        ch.append(np.full(len(times), c))
        t.append(times)
    ch, t = np.concatenate(ch), np.concatenate(t)
    order = rng.permutation(len(t))
    return vb.PETable(channel=ch[order], time=t[order])


def pe_list_of(table, channels):
    """The velmora PE list of a table: channels in increasing order, each
    channel's times in table order."""
    pe_list = velmora.PEListVector()
    for c in channels:
        pe_list.append((int(c), velmora.DoubleVector(table.time[table.channel == c].tolist())))
    return pe_list


# The columns of a run's records that a velmora record object gives (tdc_count from its time).
OWN_COLUMNS = {"ZozuvUza": 7, "MultiPMT": 5}


def as_records(model, records, waveform_samples=1):
    """velmora record objects as the run's structured array (attribute by
    attribute), in the columns that a record object has."""
    dtype = vb._records.record_dtype(model, waveform_samples)
    out = np.zeros(len(records), [(n, dtype[n]) for n in dtype.names[: OWN_COLUMNS[model]]])
    for i, r in enumerate(records):
        if model == "ZozuvUza":
            out[i] = (r.channel, r.trigger_time_s * 10**9 + r.trigger_time_ticks * 4, r.trigger_time_s,
                      r.trigger_time_ticks, r.baseline, r.intsum, list(r.waveform))
        else:
            # The hit start in whole TDC steps: exact by division at these short times.
            out[i] = (r.time, r.channel, r.time_over_threshold, r.adc_sample, round(r.time / TOT_STEP))
    return out


def assert_same_records(a, b):
    if a.dtype != b.dtype and b.dtype.names == a.dtype.names[: len(b.dtype.names)]:
        # b from velmora record objects: the columns they have, not those that the run adds,
        # and their window starts as their time stamps give them.
        if "adc_index" in a.dtype.names:
            a = a.copy()
            a["time_ns"] = check_window_starts(a)
        a = repack_fields(a[list(b.dtype.names)])
    assert a.dtype == b.dtype
    assert len(a) == len(b)
    assert a.tobytes() == b.tobytes()  # bit for bit, padding-free dtypes


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("seed, block_channels", [(7, 2), (20240611, None), (-3, 1)])
def test_sequential_run_is_simulate_pe_list(model, seed, block_channels, make_detector):
    det = make_detector(model)
    table = shuffled_table(np.random.default_rng(abs(seed)), [4, 0, 9, 2, 5])
    rec = vb.run(det, table, seed=seed, seeding="sequential", block_channels=block_channels, workers=2)
    want = det.build_model(seed).simulate_pe_list(pe_list_of(table, [0, 2, 4, 5, 9]))
    assert len(want) > 10
    assert_same_records(rec, as_records(model, want, det.params.get("waveform_samples", 1)))


@pytest.mark.parametrize("model", MODELS)
def test_independent_run_does_not_depend_on_workers_or_blocks(model, make_detector):
    det = make_detector(model, seed=11)
    table = shuffled_table(np.random.default_rng(5), range(12))
    reference = vb.run(det, table, workers=1, block_channels=12)
    assert len(np.unique(reference["channel"])) == 12
    for workers, block_channels in [(2, 1), (2, 5), (1, 3), (3, None)]:
        assert_same_records(vb.run(det, table, workers=workers, block_channels=block_channels), reference)
    # A channel's records depend only on its own PEs: a run of some channels
    # gives exactly their records of the whole run.
    part = vb.run(det, table, channels=[3, 7, 8], workers=2)
    assert_same_records(part, reference[np.isin(reference["channel"], [3, 7, 8])])
    # Another seed gives other records.
    assert vb.run(det, table, seed=12).tobytes() != reference.tobytes()


@pytest.mark.parametrize("model", MODELS)
def test_independent_seeds_follow_the_documented_derivation(model, make_detector):
    """Channel c: SeedSequence(seed, spawn_key=(c,)).spawn(2) gives the model's
    seed_seq words and the dark-noise generator."""
    det = make_detector(model)
    seed, rate, duration, channel = 99, 2e5, 2e-4, 6
    rec = vb.run(det, dark_rate=rate, duration=duration, channels=[channel], seed=seed)

    model_ss, noise_ss = np.random.SeedSequence(seed, spawn_key=(channel,)).spawn(2)
    noise = np.random.default_rng(noise_ss)
    times = noise.uniform(0.0, duration, noise.poisson(rate * duration))
    assert len(times) > 20
    engine = getattr(_core, f"{model}Engine")([det.params], det.spectra)
    cols = engine.simulate(
        channels=np.array([channel], np.int32), bounds=np.array([0, len(times)]), times=times,
        models=np.zeros(1, np.int64), seeds=model_ss.generate_state(8, np.uint32)[None, :],
        origin_ticks=np.zeros(1, np.uint64), origins=np.zeros(1), cancel=_core.CancelFlag())
    assert len(rec) == len(cols["channel"]) > 0
    for name in rec.dtype.names:
        np.testing.assert_array_equal(rec[name], cols[name])


def test_sequential_dark_noise_is_drawn_per_channel(make_detector):
    det = make_detector("MultiPMT")
    rec = vb.run(det, dark_rate=1e5, duration=3e-4, channels=[1, 2], seed=4, seeding="sequential")
    pe_list = velmora.PEListVector()
    for c in (1, 2):
        pe_list.append((c, velmora.DoubleVector(_seeding.dark_noise(4, c, 1e5, 3e-4).tolist())))
    assert_same_records(rec, as_records("MultiPMT", det.build_model(4).simulate_pe_list(pe_list)))


def test_a_run_without_a_seed_draws_one_and_reports_it(make_detector, tmp_path):
    det = make_detector("ZozuvUza")
    table = shuffled_table(np.random.default_rng(1), [0, 1])
    summary = vb.run(det, table, output=tmp_path / "a.parquet")
    assert summary.seed >= 0
    assert vb.read_metadata(tmp_path / "a.parquet")["seed"] == summary.seed
    assert_same_records(vb.read_records(tmp_path / "a.parquet"), vb.run(det, table, seed=summary.seed))


@pytest.mark.parametrize(
    "seed, seeding, error",
    [
        (-1, "independent", ValueError),
        (2**31, "sequential", ValueError),
        (1.5, "independent", TypeError),
        (True, "independent", TypeError),
        (1, "parallel", ValueError),
    ],
)
def test_bad_seeds_are_refused(seed, seeding, error):
    with pytest.raises(error):
        _seeding.resolve_seed(seed, seeding)


def engine_records(det, channel, times, state, origin_ticks=0, origin=0.0, origin_steps=0):
    """The records of one piece simulated by the engine with the given seed words."""
    engine = getattr(_core, f"{det.model}Engine")([det.params], det.spectra)
    return engine.simulate(
        channels=np.array([channel], np.int32), bounds=np.array([0, len(times)]), times=np.asarray(times, float),
        models=np.zeros(1, np.int64), seeds=state[None, :], origin_ticks=np.array([origin_ticks], np.uint64),
        origins=np.array([origin]), cancel=_core.CancelFlag(), origin_steps=np.array([origin_steps], np.int64))


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("seed", [2**32, 2**40 + 5, 2**127 + 3], ids=["2^32", "2^40+5", "2^127+3"])
def test_seeds_beyond_32_bits_are_used_whole(model, seed, make_detector):
    det = make_detector(model)
    table = shuffled_table(np.random.default_rng(2), [3])
    rec = vb.run(det, table, seed=seed)
    model_ss, _ = np.random.SeedSequence(seed, spawn_key=(3,)).spawn(2)
    cols = engine_records(det, 3, table.time, model_ss.generate_state(8, np.uint32))
    assert len(rec) == len(cols["channel"]) > 0
    for name in rec.dtype.names:
        np.testing.assert_array_equal(rec[name], cols[name])
    assert rec.tobytes() != vb.run(det, table, seed=seed % 2**32).tobytes()


@pytest.mark.parametrize("model", MODELS)
def test_table_pes_come_before_dark_noise(model, make_detector):
    det = make_detector(model)
    table = shuffled_table(np.random.default_rng(8), [1, 4])
    seed, rate, duration = 17, 5e4, 4e-5
    rec = vb.run(det, table, seed=seed, seeding="sequential", dark_rate=rate, duration=duration, channels=[1, 4])
    pe_list = velmora.PEListVector()
    for c in (1, 4):
        dark = _seeding.dark_noise(seed, c, rate, duration)
        assert len(dark) > 0
        times = np.concatenate([table.time[table.channel == c], dark])
        pe_list.append((c, velmora.DoubleVector(times.tolist())))
    want = as_records(model, det.build_model(seed).simulate_pe_list(pe_list), det.params.get("waveform_samples", 1))
    assert len(want) > 4
    assert_same_records(rec, want)


@pytest.mark.parametrize("segment", [1e-6, 3e-6, 1e-3])
def test_noise_free_segments_give_the_unsegmented_time_stamps(segment, make_detector):
    """1 us is 250 ticks of 4 ns, although neither is exact as a double: a
    noise-free run in such segments gives the unsegmented run's time stamps,
    also past 2^31 ns."""
    from test_batch_run import deterministic

    det = deterministic(make_detector, "ZozuvUza", noise=0.0, jitter=0)
    starts = np.array([2e-6, 0.7501e-3, 2.3, 3.0000103, 5.5, 99.99])  # seconds, beyond 2^31 ns from 2.3 s on
    burst = (starts[:, None] + 0.3e-6 + 0.05e-9 + np.zeros(20)).ravel()
    table = vb.PETable(channel=np.zeros(len(burst), int), time=burst)
    whole = vb.run(det, table, seed=1)
    assert len(whole) == len(starts) and (whole["time_ns"] > 2**31).sum() >= 4
    rec = vb.run(det, table, seed=1, segment=segment)
    np.testing.assert_array_equal(rec["time_ns"], whole["time_ns"])
    np.testing.assert_array_equal(rec["trigger_time_s"], whole["trigger_time_s"])
    np.testing.assert_array_equal(rec["trigger_time_ticks"], whole["trigger_time_ticks"])
    np.testing.assert_array_equal(rec["waveform"], whole["waveform"])


@pytest.mark.parametrize("model", MODELS)
def test_segment_k_of_channel_c_is_seeded_from_c_and_k(model, make_detector):
    det = make_detector(model)  # with noise, so that each seed shows in the records
    seed, segment, channel = 31, 4e-5, 5
    burst = shuffled_table(np.random.default_rng(4), [channel]).time  # within [0, 3.2e-5)
    rec = vb.run(det, vb.PETable(channel=np.full(2 * len(burst), channel), time=np.concatenate(
        [burst, burst + 3 * segment])), seed=seed, segment=segment)
    first = rec[rec["time_ns" if model == "ZozuvUza" else "time"] < (
        3 * segment * 1e9 if model == "ZozuvUza" else 3 * segment)]
    later = rec[len(first):]
    assert len(first) > 0 and len(later) > 0
    for k, part in ((0, first), (3, later)):
        model_ss, _ = np.random.SeedSequence(seed, spawn_key=(channel, k)).spawn(2)
        # The origin in whole steps of the records' integer time: 4 ns ticks, or TDC steps.
        ticks = k * round(segment / (4e-9 if model == "ZozuvUza" else TOT_STEP))
        adc_steps = k * round(segment / det.params["adc_step"])
        cols = engine_records(det, channel, burst, model_ss.generate_state(8, np.uint32), ticks, k * segment,
                              adc_steps)
        assert len(part) == len(cols["channel"])
        for name in part.dtype.names:
            np.testing.assert_array_equal(part[name], cols[name])


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("seeding, segment", [("independent", 2e-5), ("sequential", None)])
def test_a_record_files_metadata_repeats_its_run(model, seeding, segment, make_detector, tmp_path):
    det = make_detector(model, seed=3, overrides={1: {"adc_gain" if model == "MultiPMT" else "gain": 33.0}})
    table = shuffled_table(np.random.default_rng(6), [0, 1, 2])
    out = tmp_path / "r.parquet"
    vb.run(det, table, seed=71, seeding=seeding, dark_rate=3e4, duration=6e-5, segment=segment, output=out)
    meta = vb.read_metadata(out)
    again = vb.run(vb.Detector.from_dict(meta["config"]), table, seed=meta["seed"], seeding=meta["seeding"],
                   dark_rate=meta["dark_rate"], duration=meta["duration"], segment=meta["segment"],
                   channels=[0, 1, 2])
    original = vb.read_records(out)
    assert len(original) > 5
    assert_same_records(again, original)
