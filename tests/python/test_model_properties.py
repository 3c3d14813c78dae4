"""Random configurations and PE sets: a valid one simulates, an invalid one raises ValueError or
RuntimeError with a message; nothing crashes. Fixed seed, bounded budget."""
import hashlib
import math

import numpy as np
import pytest
import velmora
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

BUDGET = settings(max_examples=200, deadline=None, derandomize=True, database=None,
                  suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])

finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)
odd_float = st.one_of(st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0, 1e308, -1e308, 5e-324]), finite)


@st.composite
def spectrum(draw, span, start=-1.0):
    """Mostly valid spectra (increasing x, non-negative weights), sometimes broken ones."""
    if draw(st.sampled_from([False] * 9 + [True])):
        return [(draw(odd_float), draw(odd_float)) for _ in range(draw(st.integers(0, 4)))]
    n = draw(st.integers(2, 8))
    xs = np.cumsum([draw(st.floats(0.01, 1.0)) * span for _ in range(n)]) + start * span
    ys = [draw(st.sampled_from([0.0, 1.0, 2.5])) if draw(st.booleans()) else draw(st.floats(0.01, 10.0))
          for _ in range(n)]
    return list(zip(xs.tolist(), ys))


@st.composite
def pulse(draw, step):
    """A smooth pulse of 2 to 800 taps, now and then with an undershoot or sampled off its step."""
    n = draw(st.integers(2, 800))
    rise, decay = draw(st.floats(0.5, 50.0)), draw(st.floats(1.0, 300.0))
    undershoot = draw(st.sampled_from([0.0, 0.0, 0.02]))
    slip = draw(st.sampled_from([1.0] * 19 + [1.01]))
    return [(i * step * slip, (1.0 - math.exp(-i / rise)) * math.exp(-i / decay) - undershoot) for i in range(n)]


@st.composite
def pe_times(draw):
    """Flashes (near time 0, where windows start early, and late in a run), PEs spread over a
    millisecond, or a few times that simulate must refuse."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = draw(st.integers(0, 300))
    kind = draw(st.sampled_from(["flash", "spread", "odd"]))
    if kind == "flash":
        at = draw(st.sampled_from([1e-6, 0.0, -2e-8, 100.0]))
        return (at + rng.uniform(0.0, 5e-9, n)).tolist()
    if kind == "spread":
        return rng.uniform(-1e-6, 1e-3, n).tolist()
    return draw(st.lists(st.sampled_from([1e-6, math.nan, math.inf, -1e3, 109.9, 2e2]), max_size=5))


def break_one(draw, kwargs, odd):
    """Now and then replaces one setting by a value from `odd`."""
    name = draw(st.sampled_from([None] * len(odd) + sorted(odd)))
    if name is not None:
        kwargs[name] = draw(odd[name])
    return kwargs


def write(directory, points):
    text = "".join(f"{x!r} {y!r}\n" for x, y in points)
    path = directory / (hashlib.sha1(text.encode()).hexdigest() + ".txt")
    path.write_text(text)
    return path


def expect_clear_failure(call):
    """Runs call; a failure must be ValueError or RuntimeError with a message."""
    try:
        return call()
    except (ValueError, RuntimeError) as e:
        assert str(e), type(e)
        return None


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return tmp_path_factory.mktemp("random-detectors")


@BUDGET
@given(data=st.data())
def test_random_zozuvuza_configurations(files, data):
    draw = data.draw
    pmt_step = draw(st.sampled_from([0.1e-9, 0.25e-9, 1e-9]))
    kwargs = dict(
        time_spectrum=write(files, draw(spectrum(5e-9))),
        amplitude_spectrum=write(files, draw(spectrum(1.0, start=0.5))),
        pmt_time_step=pmt_step,
        adc_step=pmt_step * draw(st.sampled_from([40.0, 1.0, 4.0, 13.3, 0.5])),
        pulse_shape=write(files, draw(pulse(pmt_step))),
        jitter=draw(st.integers(-2, 45)),
        gain=draw(st.floats(10.0, 100.0)),
        offset=draw(st.floats(0.0, 100.0)),
        preamp_clip=draw(st.floats(0.0, 5000.0)),
        noise=draw(st.floats(0.0, 5.0)),
        clip=draw(st.floats(0.0, 4095.0)),
        waveform_samples=draw(st.integers(0, 64)),
        retrigger_offset=draw(st.integers(-5, 64)),
        trigger_kernel=draw(st.lists(st.integers(-1, 3), min_size=1, max_size=6)),
        adc_threshold=draw(st.integers(-10, 40)),
        trigger_norm=draw(st.sampled_from([1, 2, 4, -1])),
        trigger_offset=draw(st.integers(-20, 10)),
        seed=draw(st.integers(-2**31, 2**31 - 1)),
        early_handling=draw(st.sampled_from([velmora.IGNORE, velmora.ZERO, velmora.THROW])),
    )
    break_one(draw, kwargs, dict(
        gain=odd_float, offset=odd_float, preamp_clip=odd_float, noise=odd_float,
        clip=st.sampled_from([65535.0, 65536.0, -1.0, math.nan]), trigger_norm=st.just(0),
        trigger_kernel=st.just([]),
        waveform_samples=st.sampled_from([-1, -2**31, 2**31 - 1])))
    cam = expect_clear_failure(lambda: velmora.ZozuvUza(**kwargs))
    event("constructed" if cam is not None else "refused")
    if cam is None:
        return
    times = draw(pe_times())
    records = expect_clear_failure(lambda: cam.simulate(times, 3))
    event("simulated" if records is not None else "simulate refused")
    if records is None:
        return
    event("records" if len(records) else "no records")
    # A window never holds more than waveform_samples samples, and only huge
    # windows are cut short (never here).
    assert all(len(r.waveform) == kwargs["waveform_samples"] and r.channel == 3 for r in records)
    assert all(r.baseline == np.float32(kwargs["offset"]) for r in records)
    expect_clear_failure(lambda: cam.calibrate_delay(3, 2))


@BUDGET
@given(data=st.data())
def test_random_multipmt_configurations(files, data):
    draw = data.draw
    pmt_step = draw(st.sampled_from([0.1e-9, 0.25e-9]))
    tot_step = pmt_step * draw(st.sampled_from([1.0, 5.0, 2.5, 0.5]))
    kwargs = dict(
        time_spectrum=write(files, draw(spectrum(5e-9))),
        amplitude_spectrum=write(files, draw(spectrum(1.0, start=0.0))),
        pmt_time_step=pmt_step,
        tot_step=tot_step,
        tot_pulse_shape=write(files, draw(pulse(tot_step))),
        tot_threshold=draw(st.floats(0.01, 3.0)),
        tot_dead_time=draw(st.floats(0.0, 2e-8)),
        tot_noise=draw(st.floats(0.0, 0.1)),
        tot_jitter=draw(st.floats(0.0, 1e-9)),
        adc_step=pmt_step * draw(st.sampled_from([40.0, 1.0, 0.5])),
        adc_pulse_shape=write(files, draw(pulse(pmt_step))),
        adc_jitter=draw(st.integers(-2, 45)),
        adc_gain=draw(st.floats(0.0, 100.0)),
        adc_offset=draw(st.floats(0.0, 100.0)),
        adc_noise=draw(st.floats(0.0, 5.0)),
        adc_clip=draw(st.floats(0.0, 4095.0)),
        sample_delay=draw(st.floats(-2e-8, 2e-8)),
        seed=draw(st.integers(-2**31, 2**31 - 1)),
    )
    break_one(draw, kwargs, dict(
        tot_threshold=odd_float, tot_dead_time=odd_float, tot_noise=odd_float, tot_jitter=odd_float,
        adc_gain=odd_float, adc_offset=odd_float, adc_noise=odd_float, sample_delay=odd_float,
        adc_clip=st.sampled_from([65536.0, -1.0, math.nan])))
    pmt = expect_clear_failure(lambda: velmora.MultiPMT(**kwargs))
    event("constructed" if pmt is not None else "refused")
    if pmt is None:
        return
    times = draw(pe_times())
    records = expect_clear_failure(lambda: pmt.simulate(times, 5))
    event("simulated" if records is not None else "simulate refused")
    if records is None:
        return
    event("records" if len(records) else "no records")
    assert all(r.channel == 5 for r in records)
    # Edges lie on the TDC grid, as closely as a double of their size can: a
    # hit at 100 s on a 0.1 ns grid is a whole number of steps only to within
    # the spacing of doubles near 100 s, about 1e-4 steps.
    assert all(abs(r.time / tot_step - round(r.time / tot_step)) < 1e-6 + 4 * math.ulp(r.time) / tot_step
               for r in records)
    expect_clear_failure(lambda: pmt.calibrate_delay(3, 2))
