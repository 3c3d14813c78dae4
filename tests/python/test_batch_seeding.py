"""Seeding of whole-detector runs: the sequential tie to the velmora module,
independence from workers and blocks, and the documented seed derivation."""

import numpy as np
import pytest
import velmora
import velmora_batch as vb
from velmora_batch import _core, _seeding

MODELS = ["ZozuvUza", "MultiPMT"]


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


def as_records(model, records, waveform_samples=1):
    """velmora record objects as the run's structured array (attribute by attribute)."""
    out = np.zeros(len(records), vb._records.record_dtype(model, waveform_samples))
    for i, r in enumerate(records):
        if model == "ZozuvUza":
            out[i] = (r.channel, r.trigger_time_s * 10**9 + r.trigger_time_ticks * 4, r.trigger_time_s,
                      r.trigger_time_ticks, r.baseline, r.intsum, list(r.waveform))
        else:
            out[i] = (r.time, r.channel, r.time_over_threshold, r.adc_sample)
    return out


def assert_same_records(a, b):
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
