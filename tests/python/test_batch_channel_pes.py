"""A channel's PE list as a run composes it: the table's PEs, dark noise,
afterpulses, per-channel time offsets and dark rates, and where each PE that
reaches the engine came from."""

import numpy as np
import pytest
import velmora_batch as vb
from velmora_batch import _seeding
from velmora_batch._plan import prepare


def plan_of(det, table, **options):
    settings = dict(seed=11, workers=1, dark_rate=None, duration=None, channels=None, seeding="independent",
                    segment=None, block_channels=None)
    settings.update(options)
    return prepare(det, table, **settings).inputs


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
