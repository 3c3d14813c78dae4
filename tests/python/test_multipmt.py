import math

import numpy as np
import pytest
import velmora
from conftest import ADC_STEP, MULTIPMT_DEFAULTS, TOT_STEP, write_points


def key(records):
    return [(r.time, r.channel, r.time_over_threshold, r.adc_sample) for r in records]


ISOLATED = [1e-6, 2e-6, 3e-6]


def test_docstrings():
    init_doc = velmora.MultiPMT.__init__.__doc__
    assert init_doc.endswith("seed : int\n    Random generator seed\n\n")
    for name in MULTIPMT_DEFAULTS:
        assert f"\n{name} : " in init_doc
    sim_doc = velmora.MultiPMT.simulate.__doc__
    assert sim_doc.count("channel : int, optional\n    The channel number of the PMT\n\nReturns") == 2
    assert sim_doc.index("pe_times : List[float]") < sim_doc.index("pe_times : numpy.ndarray")
    assert "If too many simulations do not produce a valid trigger" in velmora.MultiPMT.calibrate_delay.__doc__
    assert "List[MultiPMTTrigger]" in velmora.MultiPMT.simulate_pe_list.__doc__


def test_constructor_has_no_defaults(make_multipmt, detector_dir, tot_pulse):
    args = [detector_dir / "time.txt", detector_dir / "amplitude.txt", 1e-10, TOT_STEP, tot_pulse, 0.3, 5e-9, 0.0,
            0.0, ADC_STEP, detector_dir / "pulse.txt", 0, 40.0, 10.0, 1.0, 4095.0, 8e-9]
    with pytest.raises(TypeError):
        velmora.MultiPMT(*args)
    velmora.MultiPMT(*args, 1)


def test_single_pes_give_one_hit_each(make_multipmt):
    records = make_multipmt().simulate(ISOLATED, 5)
    assert isinstance(records, velmora.MultiPMTTriggerVector)
    assert len(records) == 3
    for r, t in zip(records, ISOLATED):
        assert r.channel == 5
        assert t < r.time < t + 10e-9
        assert round(r.time / TOT_STEP) * TOT_STEP == r.time  # on the TDC grid
        assert 0 < r.time_over_threshold < 30e-9
        assert r.adc_sample > 10  # read on the pulse, above the offset


@pytest.mark.parametrize(
    "convert",
    [list, velmora.DoubleVector, np.array, tuple, lambda x: np.array(x)[::-1][::-1],
     lambda x: np.repeat(np.array(x), 2)[::2]],
    ids=["list", "DoubleVector", "array", "tuple", "double-reversed", "strided"],
)
def test_every_input_form_gives_the_same_records(make_multipmt, convert):
    expected = key(make_multipmt().simulate(ISOLATED, 1))
    assert key(make_multipmt().simulate(convert(ISOLATED), 1)) == expected


def test_empty_and_scalar_inputs(make_multipmt):
    assert len(make_multipmt().simulate([])) == 0
    assert len(make_multipmt().simulate(np.zeros((0, 3)))) == 0
    assert key(make_multipmt().simulate(1e-6)) == key(make_multipmt().simulate([1e-6]))


def test_reproducible_copies_of_seed_and_successive_calls_differ(make_multipmt):
    a, b = make_multipmt(seed=11), make_multipmt(seed=11)
    first = key(a.simulate(ISOLATED))
    assert first == key(b.simulate(ISOLATED))
    assert key(a.simulate(ISOLATED)) != first


def test_simulate_pe_list_concatenates(make_multipmt):
    pe_list = velmora.generate_pe_list(3, 10, 1e-7)
    one = make_multipmt()
    expected = []
    for channel, times in pe_list:
        expected += key(one.simulate(times, channel))
    got = make_multipmt().simulate_pe_list(pe_list)
    assert key(got) == expected
    assert [r.channel for r in got] == sorted(r.channel for r in got)
    with pytest.raises(TypeError):
        make_multipmt().simulate_pe_list([(0, [1e-9])])


def test_adc_sample_is_zero_where_nothing_is_stored(make_multipmt):
    # Read the ADC long after the pulse has gone: no sample stored there, so 0, not the offset.
    records = make_multipmt(sample_delay=1e-6, adc_offset=50.0).simulate(ISOLATED)
    assert len(records) == 3 and all(r.adc_sample == 0 for r in records)


def test_records_detach_when_the_vector_is_resized(make_multipmt):
    records = make_multipmt().simulate(ISOLATED)
    r = records[0]
    before = (r.time, r.time_over_threshold, r.adc_sample)
    records.insert(0, records[2])
    records.extend(records)
    assert (r.time, r.time_over_threshold, r.adc_sample) == before
    r.channel = 99
    assert all(x.channel != 99 for x in records)


@pytest.mark.parametrize(
    ("overrides", "error", "message"),
    [(dict(tot_step=0.0), ValueError, "tot_step"), (dict(tot_step=-1e-9), ValueError, "tot_step"),
     (dict(tot_step=math.nan), ValueError, "tot_step"), (dict(pmt_time_step=math.inf), ValueError, "pmt_time_step"),
     (dict(adc_step=0.0), ValueError, "adc_step"), (dict(adc_step=0.05e-9), ValueError, "adc_step"),
     (dict(adc_clip=70000.0), ValueError, "clip"),
     (dict(tot_step=0.6e-9), RuntimeError, r"^ToT pulse shape time step does not match ToT step\."),
     (dict(pmt_time_step=0.2e-9), RuntimeError, r"^Pulse shape time step does not match PMT step\.")],
    ids=["tot-zero", "tot-negative", "tot-nan", "pmt-inf", "adc-zero", "adc-below-pmt", "clip", "tot-mismatch",
         "adc-mismatch"],
)
def test_bad_configurations(make_multipmt, overrides, error, message):
    with pytest.raises(error, match=message):
        make_multipmt(**overrides)


@pytest.mark.parametrize(
    ("setting", "value"),
    [("tot_threshold", math.nan), ("tot_threshold", math.inf), ("tot_dead_time", math.nan),
     ("tot_dead_time", -math.inf), ("tot_noise", math.nan), ("tot_noise", math.inf), ("tot_noise", -0.01),
     ("tot_jitter", math.inf), ("tot_jitter", -1e-10), ("sample_delay", math.nan), ("sample_delay", math.inf)],
)
def test_settings_that_would_silently_give_nothing_are_refused(make_multipmt, setting, value):
    with pytest.raises(ValueError, match=f"^MultiPMT: {setting} must"):
        make_multipmt(**{setting: value})


@pytest.mark.parametrize("model", ["ZozuvUza", "MultiPMT"])
@pytest.mark.parametrize("call", [lambda m: m.simulate([1e-6]), lambda m: m.simulate(np.zeros(3)),
                                  lambda m: m.calibrate_delay(1, 1),
                                  lambda m: m.simulate_pe_list(velmora.PEListVector([(0, [1e-6])]))],
                         ids=["simulate-list", "simulate-array", "calibrate_delay", "simulate_pe_list"])
def test_objects_never_initialised_raise_instead_of_crashing(model, call):
    cls = getattr(velmora, model)
    with pytest.raises(TypeError, match=f"^{model} object is not initialised"):
        call(cls.__new__(cls))


def test_pulse_shape_files_are_checked_in_order(make_multipmt, tmp_path):
    missing = tmp_path / "missing.txt"
    with pytest.raises(RuntimeError, match="^Failed to open spectrum file: .*missing.txt"):
        make_multipmt(adc_pulse_shape=missing, tot_pulse_shape=missing)
    bad = write_points(tmp_path / "bad.txt", [(0.0, 1.0), (0.0, 1.0)])
    with pytest.raises(ValueError, match="strictly increase"):
        make_multipmt(time_spectrum=bad)


@pytest.mark.parametrize("bad", [math.nan, math.inf, 1e300], ids=["nan", "inf", "huge"])
def test_bad_pe_times_are_rejected_before_any_draw(make_multipmt, bad):
    pmt, twin = make_multipmt(), make_multipmt()
    with pytest.raises(ValueError, match="PE time"):
        pmt.simulate(ISOLATED + [bad])
    assert key(pmt.simulate(ISOLATED)) == key(twin.simulate(ISOLATED))


def test_calibrate_delay(make_multipmt):
    pmt = make_multipmt()
    delay = pmt.calibrate_delay(1, 50)
    assert 0 < delay < 10e-9
    assert math.isnan(pmt.calibrate_delay(1, 0))
    with pytest.raises(RuntimeError, match="^Too many simulations did not produce a valid trigger"):
        pmt.calibrate_delay(0, 2)
    with pytest.raises(TypeError):
        pmt.calibrate_delay(-1, 100)
