"""A channel's PE list as a run composes it: the table's PEs, dark noise,
afterpulses, per-channel time offsets and dark rates, and where each PE that
reaches the engine came from."""

import json
import pickle
import re
import shutil
import warnings
from pathlib import Path

import numpy as np
import pytest
import velmora_batch as vb
from velmora_batch import _seeding
from velmora_batch._options import RunOptions
from velmora_batch._plan import prepare


def plan_of(det, table, **options):
    settings = dict(seed=11, workers=1, dark_rate=None, duration=None, channels=None, seeding="independent",
                    segment=None, block_channels=None)
    settings.update(options)
    return prepare(det, table, RunOptions(**settings)).inputs


def mixed_table():
    # Channel 3 has no PEs of the table; times straddle segment edges and 0.
    channel = np.array([5, 1, 5, 2, 1, 5, 2, 1], np.int64)
    time = np.array([9e-6, 2e-6, -1e-9, 4e-6, 3.9e-5, 2e-6, 1.2e-5, 0.0])
    return vb.PETable(channel=channel, time=time)


@pytest.mark.parametrize("seeding", ["independent", "sequential"])
@pytest.mark.parametrize("dark", [False, True], ids=["table", "table+dark"])
@pytest.mark.parametrize("segment", [None, 8e-6], ids=["whole", "segments"])
def test_provenance_names_the_source_of_every_time(make_detector, seeding, dark, segment):
    noise = dict(dark_rate=3e5, duration=3e-5, channels="1-5") if dark else {}
    inputs = plan_of(make_detector("ZozuvUza"), mixed_table(), seeding=seeding, segment=segment, **noise)
    block = np.arange(1, 6)
    plain = inputs.pieces(block)
    pieces = inputs.pieces(block, provenance=True)
    assert "kinds" not in plain and "sources" not in plain
    for key, value in plain.items():
        if value is None:
            assert pieces[key] is None
        else:
            assert pieces[key].tobytes() == value.tobytes(), key
    kinds, sources, times = pieces["kinds"], pieces["sources"], pieces["times"]
    assert kinds.dtype == np.uint8 and sources.dtype == np.int64 and len(kinds) == len(sources) == len(times)
    assert set(np.unique(kinds).tolist()) == ({0, 1} if dark else {0})
    table = inputs.block_pes(block)
    bounds = pieces["bounds"]
    for i, (channel, origin) in enumerate(zip(pieces["channels"].tolist(), pieces["origins"].tolist())):
        lo, hi = bounds[i], bounds[i + 1]
        k, s, t = kinds[lo:hi], sources[lo:hi], times[lo:hi]
        # Each time is its source's time counted from the piece's origin, exactly.
        first, count = table.of_channels(np.array([channel]))
        assert ((s[k == 0] >= first[0]) & (s[k == 0] < first[0] + count[0])).all()
        np.testing.assert_array_equal(t[k == 0], table.times[s[k == 0]] - origin)
        if dark:
            drawn = _seeding.dark_noise(11, channel, 3e5, 3e-5)
            np.testing.assert_array_equal(t[k == 1], drawn[s[k == 1]] - origin)
    # Every source appears once per channel.
    for channel in np.unique(pieces["channels"]).tolist():
        per = np.repeat(pieces["channels"], np.diff(bounds)) == channel
        pairs = kinds[per].astype(np.int64) * 2**40 + sources[per]
        assert len(np.unique(pairs)) == per.sum()


# Afterpulses: how many, when, and in which order.

NS = 1e-9
# A delay density with every feature the inverse must get right: a rise from
# zero, a flat stretch, a step up, a fall to zero, a gap of no probability
# and a rise to the last point.
DELAY = (np.array([0.0, 2.0, 5.0, 5.0, 8.0, 10.0, 12.0]) * NS, np.array([0.0, 1.0, 1.0, 3.0, 0.0, 0.0, 0.5]))


def with_channel_values(det, afterpulses=None, overrides=None):
    """``det`` with afterpulses (probability, delay) and per-channel values."""
    ap = None if afterpulses is None else vb.Afterpulses(*afterpulses)
    return vb.Detector(det.model, det.params, det.spectra, det.seed, overrides, ap)


def numeric_cdf(x, y, at):
    """The delay density's cumulative distribution at ``at``, by integrating
    each interval on a fine grid (no inversion involved)."""
    grid_all, cum_all, total = [], [], 0.0
    for a, b, ya, yb in zip(x[:-1], x[1:], y[:-1], y[1:]):
        if b == a:
            continue
        grid = np.linspace(a, b, 20001)
        density = ya + (yb - ya) * (grid - a) / (b - a)
        cum = total + np.concatenate([[0.0], np.cumsum(0.5 * (density[1:] + density[:-1]) * np.diff(grid))])
        grid_all.append(grid)
        cum_all.append(cum)
        total = cum[-1]
    return np.interp(at, np.concatenate(grid_all), np.concatenate(cum_all)) / total


def ks_statistic(samples, cdf):
    s = np.sort(samples)
    f = cdf(s)
    n = len(s)
    return max(float(np.max(np.arange(1, n + 1) / n - f)), float(np.max(f - np.arange(n) / n)))


@pytest.mark.parametrize("x, y, u, want", [
    ([0.0, 1.0], [1.0, 1.0], [0.0, 0.25, 0.5, 1.0], [0.0, 0.25, 0.5, 1.0]),  # uniform
    ([0.0, 1.0], [0.0, 2.0], [0.0, 0.25, 0.64, 1.0], [0.0, 0.5, 0.8, 1.0]),  # rising: F = x^2
    ([0.0, 1.0], [2.0, 0.0], [0.0, 0.75, 1.0], [0.0, 0.5, 1.0]),  # falling: F = 2x - x^2
    ([0.0, 1.0, 1.0, 2.0], [1.0, 1.0, 3.0, 3.0], [0.25, 0.5, 1.0], [1.0, 1 + 1 / 3, 2.0]),  # a step up
    ([0.0, 1.0, 2.0, 3.0], [1.0, 0.0, 0.0, 1.0], [0.5, 0.75], [2.0, 2 + 0.5 ** 0.5]),  # nothing in the gap
], ids=["uniform", "rising", "falling", "step", "gap"])
def test_delays_are_the_exact_quantiles_of_the_piecewise_linear_density(x, y, u, want):
    got = _seeding.piecewise_linear_quantiles(np.array(u), np.array(x), np.array(y))
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12)


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_afterpulse_count_and_delays_follow_the_probability_and_spectrum(make_detector, model):
    """40,000 parents (the table's PEs and dark noise) on 40 channels, half
    of them with a probability of their own; all parents of channel 0 at
    time 0, so that its afterpulses' times are their delays."""
    overrides = {c: {"afterpulse_probability": 0.6} for c in range(20, 40)}
    det = with_channel_values(make_detector(model), (0.25, DELAY), overrides)
    times = np.where(np.arange(40 * 900) < 900, 0.0, np.tile(np.linspace(1e-6, 9e-6, 900), 40))
    table = vb.PETable(channel=np.repeat(np.arange(40), 900), time=times)
    inputs = plan_of(det, table, dark_rate=1e6, duration=1e-4, channels="0-39")
    pieces = inputs.pieces(np.arange(40), provenance=True)
    per = np.repeat(pieces["channels"], np.diff(pieces["bounds"]))
    for channels, p in ((per < 20, 0.25), (per >= 20, 0.6)):
        parents = int(np.sum(channels & (pieces["kinds"] < 2)))
        spawned = int(np.sum(channels & (pieces["kinds"] == 2)))
        assert abs(spawned - parents * p) < 5 * np.sqrt(parents * p * (1 - p)), (p, parents, spawned)
    delays = pieces["times"][(per == 0) & (pieces["kinds"] == 2) & (pieces["sources"] < 225)]
    first = pieces["times"][(per == 0) & (pieces["kinds"] == 2)][:225]
    np.testing.assert_array_equal(delays, first)  # the first 225 spawned by the table's PEs, at time 0
    # The delays of all afterpulses of the first 20 channels, from their parents.
    density = _seeding.PiecewiseLinear(*DELAY)
    many = np.concatenate([_seeding.afterpulses(7, c, np.zeros(5000), 1.0, density)[1] for c in range(20)])
    assert ((many >= 0) & (many <= 12 * NS)).all() and not ((many > 8 * NS) & (many < 10 * NS)).any()
    d = ks_statistic(many, lambda t: numeric_cdf(*DELAY, t))
    assert d < 1.949 / np.sqrt(len(many)), d  # the asymptotic KS bound at a level of 0.001


@pytest.mark.parametrize("scale", [1e200, 1e-200, 1e300, 1e-300, 2.0**900, 2.0**-990, 1e6, 1.0])
def test_afterpulse_delays_do_not_depend_on_the_scale_of_the_density(make_detector, scale):
    """A density is known up to a factor: the delays of y * scale follow
    the spectrum at any scale, and for a power of two (an exact scaling)
    they are those of y itself, bit for bit."""
    x, y = DELAY
    density = _seeding.PiecewiseLinear(x, y * scale)
    many = np.concatenate([_seeding.afterpulses(7, c, np.zeros(5000), 1.0, density)[1] for c in range(20)])
    assert ((many >= 0) & (many <= 12 * NS)).all() and not ((many > 8 * NS) & (many < 10 * NS)).any()
    d = ks_statistic(many, lambda t: numeric_cdf(*DELAY, t))
    assert d < 1.949 / np.sqrt(len(many)), d
    if np.frexp(scale)[0] == 0.5:
        plain = _seeding.PiecewiseLinear(*DELAY)
        want = np.concatenate([_seeding.afterpulses(7, c, np.zeros(5000), 1.0, plain)[1] for c in range(20)])
        np.testing.assert_array_equal(many, want)
    # The detector takes the same spectrum, and a run draws the same delays from it.
    det = with_channel_values(make_detector("MultiPMT"), (1.0, (x, y * scale)))
    table = vb.PETable(channel=np.zeros(50, np.int64), time=np.zeros(50))
    drawn = plan_of(det, table).pieces(np.array([0]), provenance=True)["times"][50:]
    np.testing.assert_array_equal(drawn, _seeding.afterpulses(11, 0, np.zeros(50), 1.0, density)[1])


# A spectrum in microseconds whose density is of the order of 1e6 per second.
MICROSECONDS = np.linspace(0.2e-6, 6e-6, 30)
BUMPS = 1e6 * (np.exp(-((MICROSECONDS - 1.5e-6) / 0.4e-6) ** 2)
               + 0.3 * np.exp(-((MICROSECONDS - 4e-6) / 1e-6) ** 2))


@pytest.mark.parametrize("seed, channel, spectrum, want", [
    (7, 3, DELAY, [5.321839385826071e-09, 6.627427022183584e-09, 3.1665279913108788e-09, 4.134884472815171e-09,
                   1.1754773835033288e-08, 5.655752126101584e-09]),
    (5, 2, (MICROSECONDS, BUMPS), [3.188251146608248e-06, 3.7468896306539043e-06, 3.6999324107912744e-06,
                                   2.631031738873582e-06, 4.464952313417556e-06, 1.3983460191103146e-06]),
], ids=["ns", "us"])
def test_normally_scaled_afterpulse_delays_keep_their_draws(seed, channel, spectrum, want):
    """The draws of spectra of ordinary scale, pinned: seeded runs made
    before keep their afterpulses."""
    got = _seeding.afterpulses(seed, channel, np.zeros(6), 1.0, _seeding.PiecewiseLinear(*spectrum))[1]
    assert got.tolist() == want


@pytest.mark.parametrize("seed", [0, 12345, -7, 2**40], ids=["0", "12345", "negative", "large"])
def test_afterpulses_draw_from_the_fourth_child_stream_in_the_documented_order(seed):
    """One uniform number per parent for whether it spawns, then one per
    afterpulse for its delay, from ``SeedSequence(seed, spawn_key=(c,)).spawn(4)[3]``."""
    parents = np.linspace(0.0, 1e-5, 400)
    entropy = seed % 2**32 if seed < 0 else seed
    rng = np.random.default_rng(np.random.SeedSequence(entropy, spawn_key=(9,)).spawn(4)[3])
    spawned = np.flatnonzero(rng.random(len(parents)) < 0.3)
    want = parents[spawned] + _seeding.piecewise_linear_quantiles(rng.random(len(spawned)), *DELAY)
    index, times = _seeding.afterpulses(seed, 9, parents, 0.3, _seeding.PiecewiseLinear(*DELAY))
    np.testing.assert_array_equal(index, spawned)
    np.testing.assert_array_equal(times, want)


def test_every_pe_spawns_one_afterpulse_at_probability_one_and_afterpulses_none(make_detector):
    parents = np.arange(1, 301) * 1e-6  # far apart, so each afterpulse lies between its parent and the next
    det = with_channel_values(make_detector("MultiPMT"), (1.0, DELAY))
    table = vb.PETable(channel=np.zeros(300, np.int64), time=parents)
    for seeding in ("independent", "sequential"):
        pieces = plan_of(det, table, seeding=seeding).pieces(np.array([0]), provenance=True)
        kinds, sources, times = pieces["kinds"], pieces["sources"], pieces["times"]
        np.testing.assert_array_equal(kinds, np.repeat([0, 2], 300))
        np.testing.assert_array_equal(sources, np.tile(np.arange(300), 2))
        delay = times[300:] - parents
        assert ((delay >= 0) & (delay <= 12 * NS)).all()  # in the order of their parents


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_afterpulses_reach_the_engine_as_pes_after_the_channels_own(make_detector, model):
    """Records with afterpulses are those of a table that holds each
    channel's PEs followed by its afterpulses."""
    plain = make_detector(model)
    det = with_channel_values(plain, (0.5, DELAY))
    times = np.linspace(1e-6, 9e-6, 60)
    table = vb.PETable(channel=np.repeat([1, 4], 60), time=np.tile(times, 2))
    density = _seeding.PiecewiseLinear(*DELAY)
    by_hand = [np.concatenate([times, _seeding.afterpulses(3, c, times, 0.5, density)[1]]) for c in (1, 4)]
    hand = vb.PETable(channel=np.repeat([1, 4], [len(t) for t in by_hand]), time=np.concatenate(by_hand))
    assert len(hand.time) > len(table.time)
    got = vb.run(det, table, seed=3)
    assert got.tobytes() == vb.run(plain, hand, seed=3).tobytes()
    assert got.tobytes() != vb.run(plain, table, seed=3).tobytes()


# Per-channel time offsets and dark rates.

@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
@pytest.mark.parametrize("seeding", ["independent", "sequential"])
@pytest.mark.parametrize("segment", [None, 8e-6], ids=["whole", "segments"])
def test_a_time_offset_gives_the_records_of_times_moved_by_hand(make_detector, model, seeding, segment):
    """The table's PEs and the dark noise moved by the channel's offset:
    the records are those of a table holding the moved times (the same one
    addition), whatever the seeding and segments."""
    offsets = {1: 3e-7, 3: 7.5e-6, 2: -2.5e-9}
    det = with_channel_values(make_detector(model), overrides={c: {"time_offset": o} for c, o in offsets.items()})
    times = np.concatenate([np.full(10, 2e-6), np.linspace(1e-6, 2e-5, 30)])
    table = vb.PETable(channel=np.repeat([0, 1, 2], 40), time=np.tile(times, 3))
    moved = [np.concatenate([times if c < 3 else [], _seeding.dark_noise(5, c, 2e5, 3e-5)]) + offsets.get(c, 0.0)
             for c in range(4)]
    hand = vb.PETable(channel=np.repeat(np.arange(4), [len(t) for t in moved]), time=np.concatenate(moved))
    options = dict(seed=5, seeding=seeding, segment=segment, channels="0-3")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vb.EarlyTriggerWarning)
        got = vb.run(det, table, dark_rate=2e5, duration=3e-5, **options)
        want = vb.run(make_detector(model), hand, **options)
    assert len(got) > 0 and got.tobytes() == want.tobytes()


def test_a_time_offset_moves_afterpulses_with_their_channel(make_detector):
    det = with_channel_values(make_detector("ZozuvUza"), (0.5, DELAY))
    moved = with_channel_values(det, (0.5, DELAY), {2: {"time_offset": 4e-8}})
    table = vb.PETable(channel=np.repeat([1, 2], 50), time=np.tile(np.linspace(1e-6, 5e-6, 50), 2))
    a, b = (plan_of(d, table).pieces(np.array([1, 2]), provenance=True) for d in (det, moved))
    np.testing.assert_array_equal(a["kinds"], b["kinds"])
    assert (a["kinds"] == 2).any()
    on_2 = np.repeat(a["channels"], np.diff(a["bounds"])) == 2
    np.testing.assert_array_equal(b["times"][on_2], a["times"][on_2] + 4e-8)
    np.testing.assert_array_equal(b["times"][~on_2], a["times"][~on_2])


@pytest.mark.parametrize("seeding", ["independent", "sequential"])
@pytest.mark.parametrize("rate", [0.0, 1e5])
def test_a_channel_dark_rate_replaces_the_runs(make_detector, seeding, rate):
    """Channel 3 with a dark rate of its own and channel 7 quiet, in a run
    of any rate: the records of a table holding each channel's dark noise at
    its own rate."""
    plain = make_detector("MultiPMT")
    det = with_channel_values(plain, overrides={3: {"dark_rate": 6e5}, 7: {"dark_rate": 0.0}})
    rates = {c: {3: 6e5, 7: 0.0}.get(c, rate) for c in range(10)}
    dark = [_seeding.dark_noise(2, c, rates[c], 5e-5) for c in range(10)]
    hand = vb.PETable(channel=np.repeat(np.arange(10), [len(t) for t in dark]), time=np.concatenate(dark))
    got = vb.run(det, dark_rate=rate, duration=5e-5, channels="0-9", seed=2, seeding=seeding)
    assert 3 in got["channel"] and 7 not in got["channel"]
    assert got.tobytes() == vb.run(plain, hand, channels="0-9", seed=2, seeding=seeding).tobytes()


def test_channel_dark_rates_give_their_counts_and_their_blocks_only(make_detector):
    overrides = {c: {"dark_rate": 1e5 if c % 2 else 4e5} for c in range(1000, 1200)}
    det = with_channel_values(make_detector("MultiPMT"), overrides=overrides)
    setup = prepare(det, None, RunOptions(seed=4, workers=1, dark_rate=0.0, duration=1e-4, channels="0-99999",
                                          block_channels=100))
    assert [int(b.channels[0]) for b in setup.block_list()] == [1000, 1100]
    pieces = setup.inputs.pieces(np.arange(1000, 1200), provenance=True)
    per = np.repeat(pieces["channels"], np.diff(pieces["bounds"]))
    for odd, mean in ((1, 10.0), (0, 40.0)):
        count = int(np.sum((per % 2 == odd) & (pieces["kinds"] == 1)))
        assert abs(count - 100 * mean) < 5 * np.sqrt(100 * mean), (mean, count)
    assert setup.inputs.expected_pes() == pytest.approx(100 * 10.0 + 100 * 40.0)


@pytest.mark.parametrize("source", ["memory", "file"])
def test_the_expected_pes_take_each_channels_afterpulse_probability(make_detector, tmp_path, source):
    """Channels 0-9 of 2,000 table PEs each and dark noise, all at the run's
    afterpulse probability of 0.05 but channel 3 at 0.9 and channel 12 (no
    table PEs) at 0.5: the estimate counts each channel's afterpulses at its
    own probability, and the PEs the run draws agree with it."""
    overrides = {3: {"afterpulse_probability": 0.9}, 12: {"afterpulse_probability": 0.5}}
    det = with_channel_values(make_detector("MultiPMT"), (0.05, DELAY), overrides)
    table = vb.PETable(channel=np.repeat(np.arange(10), 2000), time=np.tile(np.linspace(0, 1e-4, 2000), 10))
    if source == "file":
        np.savez(tmp_path / "pes.npz", channel=table.channel, time=table.time)
        table = tmp_path / "pes.npz"
    setup = prepare(det, table, RunOptions(seed=4, workers=1, dark_rate=2e7, duration=1e-4, channels="0-19"))
    dark = 2e7 * 1e-4
    parents = np.full(20, dark) + np.where(np.arange(20) < 10, 2000.0, 0.0)
    probability = np.full(20, 0.05)
    probability[[3, 12]] = [0.9, 0.5]
    expected = float(np.sum(parents * (1 + probability)))
    assert setup.inputs.expected_pes() == pytest.approx(expected, rel=1e-12)
    if source == "file":
        setup.inputs.pes.spill(setup.block_channels, None)  # as the run splits the file before its blocks
    drawn = sum(len(setup.inputs.pieces(b.channels)["times"]) for b in setup.block_list())
    if source == "file":
        setup.inputs.pes.close()
    assert abs(drawn - expected) < 5 * np.sqrt(expected), (drawn, expected)


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
def test_neutral_channel_values_give_todays_records(make_detector, model):
    """Afterpulses of probability 0, offsets of 0 and the run's own dark rate
    leave every record as it is without them."""
    plain = make_detector(model, seed=9)
    neutral = with_channel_values(plain, (0.0, DELAY), {
        c: {"time_offset": 0.0, "dark_rate": 3e5, "afterpulse_probability": 0.0} for c in (0, 2)})
    table = vb.PETable(channel=np.repeat([0, 1, 2], 20), time=np.tile(np.linspace(-1e-9, 9e-6, 20), 3))
    options = dict(dark_rate=3e5, duration=2e-5, channels="0-3")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vb.EarlyTriggerWarning)
        assert vb.run(neutral, table, **options).tobytes() == vb.run(plain, table, **options).tobytes()


# Configs and override tables: read, written back, refused.

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def example_config(tmp_path, name="multipmt"):
    directory = tmp_path / name
    shutil.copytree(EXAMPLES / name, directory)
    (directory / "ap").mkdir()
    (directory / "ap" / "delay.txt").write_text("".join(f"{a!r} {b!r}\n" for a, b in zip(*(d.tolist() for d in DELAY))))
    return directory, json.loads((directory / "config.json").read_text())


def test_afterpulses_and_channel_values_load_and_round_trip(tmp_path):
    directory, config = example_config(tmp_path)
    (directory / "channels.csv").write_text("channel,time_offset,dark_rate,afterpulse_probability,adc_gain\n"
                                            "2,1.5e-08,2000.0,0.1,30.0\n5,-3e-09,0.0,0.0,31.0\n")
    config.update(afterpulses={"probability": 0.05, "delay_spectrum": "ap/delay.txt"}, overrides="channels.csv")
    (directory / "config.json").write_text(json.dumps(config))
    det = vb.Detector.from_config(directory / "config.json")
    assert det.afterpulses == vb.Afterpulses(0.05, DELAY)
    assert det.overrides[2] == {"time_offset": 1.5e-08, "dark_rate": 2000.0, "afterpulse_probability": 0.1,
                                "adc_gain": 30.0}
    # Only the electronics value reaches the model.
    assert det.params_for(2) == {**det.params, "adc_gain": 30.0}
    again = vb.Detector.from_dict(json.loads(json.dumps(det.config())))
    assert again == det and pickle.loads(pickle.dumps(det)) == det
    without = vb.Detector.from_dict({**det.config(), "afterpulses": None, "overrides": None})
    assert without != det and without.afterpulses is None and "afterpulses" not in without.config()


BAD_AFTERPULSES = {
    "negative probability": ({"probability": -0.1, "delay_spectrum": "ap/delay.txt"}, "from 0 to 1, got -0.1"),
    "probability above 1": ({"probability": 1.5, "delay_spectrum": "ap/delay.txt"}, "from 0 to 1, got 1.5"),
    "NaN probability": ({"probability": float("nan"), "delay_spectrum": "ap/delay.txt"}, "from 0 to 1, got nan"),
    "text probability": ({"probability": "0.1", "delay_spectrum": "ap/delay.txt"}, "from 0 to 1, got '0.1'"),
    "no delay spectrum": ({"probability": 0.1}, "missing key 'delay_spectrum'"),
    "missing file": ({"probability": 0.1, "delay_spectrum": "ap/none.txt"}, r"'delay_spectrum': cannot read .*none"),
    "unknown key": ({"probability": 0.1, "delay_spectrum": "ap/delay.txt", "delay": 1},
                    "unknown key 'delay'; allowed: probability, delay_spectrum"),
    "not an object": (0.1, "must be an object with 'probability' and 'delay_spectrum'"),
    "negative delay": ({"probability": 0.1, "delay_spectrum": {"x": [-1e-9, 5e-9], "y": [1, 1]}},
                       "delays must not be negative"),
    "decreasing delays": ({"probability": 0.1, "delay_spectrum": {"x": [0, 5e-9, 4e-9], "y": [1, 1, 1]}},
                          "the delays must not decrease, but point 3"),
    "negative density": ({"probability": 0.1, "delay_spectrum": {"x": [0, 5e-9], "y": [1, -1]}},
                         "probabilities must not be negative"),
    "no area": ({"probability": 0.1, "delay_spectrum": {"x": [0, 5e-9, 5e-9], "y": [0, 0, 3]}}, "has no area"),
}


@pytest.mark.parametrize("value, message", BAD_AFTERPULSES.values(), ids=BAD_AFTERPULSES.keys())
def test_bad_afterpulses_are_refused(tmp_path, value, message):
    directory, config = example_config(tmp_path)
    path = directory / "config.json"
    path.write_text(json.dumps({**config, "afterpulses": value}))
    with pytest.raises(ValueError, match=message):
        vb.Detector.from_config(path)


@pytest.mark.parametrize("probability, delay, message", [
    (np.float64(1.5), DELAY, "'probability' must be a number from 0 to 1, got 1.5"),
    (0.1, (np.array([2e-9, 1e-9]), np.ones(2)), "point 2 (1e-09 s) comes after 2e-09 s"),
])
def test_afterpulses_of_numpy_values_are_refused_in_plain_numbers(probability, delay, message):
    with pytest.raises(ValueError) as refused:
        vb.Afterpulses(probability, delay)
    assert message in str(refused.value) and "np." not in str(refused.value)


BAD_CHANNEL_VALUES = {
    "probability without afterpulses": ({"afterpulse_probability": [0.1]}, False,
                                        "has an afterpulse_probability, but the detector has no afterpulses"),
    "probability above 1": ({"afterpulse_probability": [1.01]}, True, "from 0 to 1, got 1.01"),
    "negative probability": ({"afterpulse_probability": [-0.5]}, True, "from 0 to 1, got -0.5"),
    "negative dark rate": ({"dark_rate": [-1.0]}, False, "dark_rate of channel 4 must be a finite number not below"),
    "blank time offset": ({"time_offset": [np.nan]}, False, "'time_offset' must hold finite numbers"),
    "text time offset": ({"time_offset": ["1ns"]}, False, "'time_offset' must hold numbers"),
}


@pytest.mark.parametrize("columns, afterpulses, message", BAD_CHANNEL_VALUES.values(), ids=BAD_CHANNEL_VALUES.keys())
def test_bad_channel_values_are_refused(tmp_path, columns, afterpulses, message):
    directory, config = example_config(tmp_path)
    if afterpulses:
        config["afterpulses"] = {"probability": 0.1, "delay_spectrum": "ap/delay.txt"}
    with pytest.raises(ValueError, match=message):
        vb.Detector.from_dict(config, base_dir=directory, overrides={"channel": [4], **columns})


def test_bad_channel_values_of_a_detector_built_directly_are_refused_by_the_run(make_detector):
    det = with_channel_values(make_detector("MultiPMT"), overrides={4: {"dark_rate": float("inf")}})
    with pytest.raises(ValueError, match="dark_rate of channel 4 must be a finite number not below zero, got inf"):
        vb.run(det, dark_rate=1.0, duration=1e-3, channels="0-9")


@pytest.mark.parametrize("what, afterpulses, overrides, message", [
    ("offset", None, {1: {"time_offset": 200.0}}, "PE times reach 200.000002 s, beyond this detector's late-time"),
    ("delay", (0.5, (np.array([0.0, 200.0]), np.array([1.0, 1.0]))), None, "PE times reach 200.000002 s"),
    ("negative offset", None, {1: {"time_offset": -200.0}}, "PE times reach -200.0 s"),
], ids=["offset", "afterpulse delay", "negative offset"])
def test_offsets_and_afterpulse_delays_count_towards_the_late_time_limit(make_detector, what, afterpulses,
                                                                          overrides, message):
    det = with_channel_values(make_detector("MultiPMT"), afterpulses, overrides)
    table = vb.PETable(channel=np.array([1, 2]), time=np.array([2e-6, 1e-6]))
    with pytest.raises(ValueError, match=message):
        vb.run(det, table)


def test_channel_dark_rates_without_dark_noise_are_named_and_too_many_refused(make_detector):
    det = with_channel_values(make_detector("MultiPMT"), overrides={1: {"dark_rate": 5e3}})
    table = vb.PETable(channel=np.array([1, 2]), time=np.array([2e-6, 1e-6]))
    with pytest.warns(UserWarning, match="dark rate of their own, but this run has no dark noise"):
        vb.run(det, table)
    loud = with_channel_values(make_detector("MultiPMT"), overrides={1: {"dark_rate": 1e16}})
    with pytest.raises(ValueError, match="a channel's dark rate of 1e\\+16 Hz over a duration of 0.001 s gives"):
        vb.run(loud, table, dark_rate=1.0, duration=1e-3)


@pytest.mark.parametrize("change, differs", [
    (lambda d: with_channel_values(d, (0.2, DELAY)), "config.afterpulses.probability"),
    (lambda d: with_channel_values(d, (0.1, DELAY), {3: {"time_offset": 2e-9}}), "config.overrides"),
], ids=["probability", "time offset"])
def test_a_resume_with_other_channel_values_is_refused(make_detector, tmp_path, change, differs):
    det = with_channel_values(make_detector("ZozuvUza", seed=1), (0.1, DELAY))
    options = dict(dark_rate=1e5, duration=1e-4, channels="0-5", block_channels=2, output=tmp_path / "d")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vb.EarlyTriggerWarning)
        vb.run(det, **options)
        vb.run(det, resume=True, **options)  # the same run resumes
        with pytest.raises(ValueError, match=f"cannot resume, the run there differs in {re.escape(differs)}"):
            vb.run(change(det), resume=True, **options)


@pytest.mark.parametrize("afterpulses, columns, message", [
    ({"probability": 0.1, "delay_spectrum": {"x": [0, 20], "y": [1, 1]}}, None,
     "'delay_spectrum' reaches 20.0 s, implausibly long"),
    (None, {"channel": [4, 6], "time_offset": [1e-9, 15.0]}, "time_offset of channel 6 is 15.0 s, an implausibly long"),
], ids=["afterpulse delay", "time offset"])
def test_times_given_in_nanoseconds_are_named(tmp_path, afterpulses, columns, message):
    directory, config = example_config(tmp_path)
    with pytest.warns(vb.ImplausibleValueWarning, match=message):
        vb.Detector.from_dict({**config, "afterpulses": afterpulses}, base_dir=directory, overrides=columns)
