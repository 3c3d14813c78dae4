"""PE times late in a run: records stay right up to the limit, and later times are refused."""
import math

import numpy as np
import pytest
import velmora
from conftest import ADC_STEP, PMT_STEP, TOT_STEP

LATEST = 2**40 * PMT_STEP  # about 110 s on the 0.1 ns grid

# Flashes of 12 PEs, 20 us apart: each gives records of its own.
BURSTS = (np.repeat(np.arange(60) * 2e-5 + 1e-6, 12)
          + np.tile(np.arange(12) * 1.5e-10, 60))


def key(records):
    """Every field of every record, waveforms as lists."""
    names = [n for n in dir(records[0]) if n.islower() and not n.startswith("_")] if len(records) else []
    return [tuple(list(v) if isinstance(v, velmora.uint16Vector) else v for v in (getattr(r, n) for n in names))
            for r in records]


@pytest.fixture(params=["ZozuvUza", "MultiPMT"])
def make(request, make_zozuvuza, make_multipmt):
    return make_zozuvuza if request.param == "ZozuvUza" else make_multipmt


@pytest.mark.parametrize("sign", [1, -1], ids=["late", "early"])
def test_times_beyond_the_limit_are_refused_naming_it(make, sign):
    model, twin = make(), make()
    model.simulate([sign * LATEST])  # the limit itself is simulated
    twin.simulate([sign * LATEST])
    beyond = sign * math.nextafter(LATEST, math.inf)
    with pytest.raises(ValueError, match=r"109\.95116\d* s .*nearer time origin"):
        model.simulate(np.array([1e-6, beyond]))
    # Refused before any draw: both objects go on alike.
    assert key(model.simulate(BURSTS[:24])) == key(twin.simulate(BURSTS[:24]))


def total_ticks(r):
    return r.trigger_time_s * 250_000_000 + r.trigger_time_ticks


@pytest.mark.parametrize("shift", [1.0, 30.0, LATEST - 2e-3], ids=["1s", "30s", "limit"])
def test_zozuvuza_burst_moved_by_whole_steps_gives_the_same_records(make_zozuvuza, shift):
    steps = round(shift / ADC_STEP)  # a whole number of ADC (and so PMT) steps
    base = make_zozuvuza().simulate(BURSTS)
    moved = make_zozuvuza().simulate(BURSTS + steps * ADC_STEP)
    assert len(base) == 60 and len(moved) == len(base)
    for a, b in zip(base, moved):
        assert len(b.waveform) == len(a.waveform) == 16
        assert list(b.waveform) == list(a.waveform) and b.intsum == a.intsum
        # The tick count truncates the window start in seconds, so an exact
        # multiple of 4 ns may come out one tick low on either side.
        assert abs(total_ticks(b) - total_ticks(a) - steps) <= 1


@pytest.mark.parametrize("shift", [1.0, 30.0, LATEST - 2e-3], ids=["1s", "30s", "limit"])
def test_multipmt_burst_moved_by_whole_steps_gives_the_same_records(make_multipmt, shift):
    # A dead time of a whole number of PMT steps would put hit ends on exact
    # ties of two rounded times, which round alike only at equal magnitudes.
    shift = round(shift / ADC_STEP) * ADC_STEP  # whole ADC, TDC and PMT steps
    base = make_multipmt(tot_dead_time=5.05e-9).simulate(BURSTS)
    moved = make_multipmt(tot_dead_time=5.05e-9).simulate(BURSTS + shift)
    assert len(base) >= 60 and len(moved) == len(base)
    for a, b in zip(base, moved):
        assert b.adc_sample == a.adc_sample
        assert b.time - a.time == pytest.approx(shift, abs=1e-3 * TOT_STEP)
        assert b.time_over_threshold == pytest.approx(a.time_over_threshold, abs=1e-3 * TOT_STEP)
