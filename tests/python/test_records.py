import gc

import pytest
import velmora

RECORD_ATTRS = {
    velmora.ZozuvUzaTrigger: {
        "channel": "Channel number",
        "trigger_time_s": "Seconds since run start",
        "trigger_time_ticks": "Ticks since last full second (tick = 4ns)",
        "baseline": "Baseline in LSB",
        "intsum": "Waveform sum in LSB",
        "waveform": "ADC samples in LSB",
    },
    velmora.MultiPMTTrigger: {
        "time": "Trigger time in seconds",
        "channel": "Channel number",
        "time_over_threshold": "Time over threshold in seconds",
        "adc_sample": "ADC sample in LSB",
    },
}


@pytest.mark.parametrize("cls", list(RECORD_ATTRS), ids=lambda c: c.__name__)
def test_record_class_face(cls):
    with pytest.raises(TypeError, match=": No constructor defined!$"):
        cls()
    assert cls.__doc__ is None
    attrs = [name for name, value in cls.__dict__.items() if isinstance(value, property)]
    static = ["SECONDS_PER_TICK"] if cls is velmora.ZozuvUzaTrigger else []
    assert attrs == list(RECORD_ATTRS[cls]) + static
    for name, doc in RECORD_ATTRS[cls].items():
        assert getattr(cls, name).__doc__ == doc


def test_seconds_per_tick_is_read_only():
    assert velmora.ZozuvUzaTrigger.SECONDS_PER_TICK == 4e-09
    with pytest.raises(AttributeError):
        velmora.ZozuvUzaTrigger.SECONDS_PER_TICK = 1.0
    assert velmora.ZozuvUzaTrigger.SECONDS_PER_TICK == 4e-09


@pytest.mark.parametrize(
    ("attr", "bad"),
    [("trigger_time_s", -1), ("trigger_time_s", 2**32), ("trigger_time_ticks", 2**32), ("channel", 2**31),
     ("channel", 1.5), ("waveform", [70000]), ("waveform", (1, 2))],
)
def test_zozuvuza_record_rejects_out_of_range_values(triggers, attr, bad):
    record = triggers[0]
    before = getattr(record, attr)
    with pytest.raises(TypeError):
        setattr(record, attr, bad)
    assert getattr(record, attr) == before


def test_zozuvuza_record_values_and_precision(triggers):
    r = triggers[0]
    r.baseline = 0.1
    assert r.baseline == 0.10000000149011612
    r.trigger_time_s = 2**32 - 1
    assert r.trigger_time_s == 2**32 - 1
    assert r.SECONDS_PER_TICK == 4e-09
    r.waveform = [1, 2, 3]
    assert list(r.waveform) == [1, 2, 3]
    r.waveform.append(5)
    assert list(triggers[0].waveform) == [1, 2, 3, 5]


def test_records_refer_into_their_vector(triggers):
    triggers[0].channel = 7
    assert triggers[0].channel == 7
    r = triggers[1]
    r.intsum = 2.5
    assert triggers[1].intsum == 2.5
    assert [t.channel for t in triggers] == [7, 3, 3, 3, 3]
    w = triggers[2].waveform
    w[0] = 1234
    assert triggers[2].waveform[0] == 1234


def test_waveform_outlives_its_record(triggers):
    r = triggers[0]
    w = r.waveform
    expected = list(w)
    del r, triggers
    gc.collect()
    assert list(w) == expected


def _clear_then_yield(v):
    kept = v[0]
    v.clear()
    yield kept


RESIZES = {
    "append": lambda v: v.append(v[-1]),
    "extend-self": lambda v: v.extend(v),
    "extend-iterable": lambda v: v.extend([v[0]] * 50),
    "extend-generator": lambda v: v.extend(v[i] for i in range(len(v))),
    "extend-generator-clears": lambda v: v.extend(_clear_then_yield(v)),
    "insert-front": lambda v: v.insert(0, v[3]),
    "pop": lambda v: v.pop(),
    "pop-front": lambda v: v.pop(0),
    "clear": lambda v: v.clear(),
    "del-index": lambda v: v.__delitem__(0),
    "del-slice": lambda v: v.__delitem__(slice(0, 2)),
    "del-stride": lambda v: v.__delitem__(slice(None, None, 2)),
}


@pytest.mark.parametrize("resize", list(RESIZES.values()), ids=list(RESIZES))
def test_records_detach_when_their_vector_is_resized(triggers, resize):
    taken = [triggers[i] for i in range(len(triggers))]
    iterated = list(triggers)
    waveforms = [t.waveform for t in taken]
    before = [(t.channel, t.trigger_time_s, t.trigger_time_ticks, list(t.waveform)) for t in taken]
    resize(triggers)
    for _ in range(3):  # churn the allocator so stale storage would be reused
        junk = velmora.ZozuvUzaTriggerVector(triggers)
        junk.extend(junk)
    for record, again, waveform, (channel, s, ticks, samples) in zip(taken, iterated, waveforms, before):
        assert again is record
        assert (record.channel, record.trigger_time_s, record.trigger_time_ticks) == (channel, s, ticks)
        assert list(record.waveform) == samples and list(waveform) == samples
        # Detached records and their waveforms stay linked to each other, not to the vector.
        record.channel = -5
        waveform.append(9)
        assert record.waveform[-1] == 9
    assert all(t.channel != -5 for t in triggers)


def test_detached_record_survives_its_vector(triggers):
    r = triggers[4]
    ticks = r.trigger_time_ticks
    triggers.clear()
    del triggers
    gc.collect()
    assert r.trigger_time_ticks == ticks


def test_iterating_while_the_vector_shrinks_stays_in_bounds(triggers):
    seen = 0
    for record in triggers:
        seen += 1
        if len(triggers) > 1:
            triggers.pop()
        assert record.channel == 3
    assert seen == 3


def test_slice_and_index_assignment_keep_references(triggers):
    r = triggers[1]
    replacement = velmora.ZozuvUzaTriggerVector(triggers)
    replacement[1].channel = 42
    triggers[1:2] = replacement[1:2]
    assert r.channel == 42
    with pytest.raises(RuntimeError):
        triggers[0:2] = replacement[0:1]
    triggers[1] = triggers[0]
    assert r.channel == triggers[0].channel


def test_records_taken_inside_extend_are_detached(triggers):
    """Records that a generator takes from the vector it extends keep their values."""
    expected = [(t.channel, t.trigger_time_ticks, list(t.waveform)) for t in triggers]
    for i in range(len(triggers)):
        triggers[i].channel = i
        expected[i] = (i,) + expected[i][1:]
    keep = []

    def g():
        for i in range(len(triggers)):
            keep.append(triggers[i])
            yield triggers[i]

    triggers.extend(g())
    triggers.extend([triggers[0]] * 100)  # reallocate the storage the records referred to
    assert [(r.channel, r.trigger_time_ticks, list(r.waveform)) for r in keep] == expected
    assert [t.channel for t in triggers][:10] == [0, 1, 2, 3, 4] * 2


def test_waveform_iterator_survives_growth_and_detach(triggers):
    w = triggers[0].waveform
    samples = list(w)
    seen = []
    for x in w:
        seen.append(x)
        if len(seen) == 2:
            w.extend([7] * 1000)  # the samples move to new storage
            triggers.clear()  # the record and its waveform are detached
        if len(seen) == len(samples) + 5:
            break
    assert seen == samples + [7] * 5


NEVER_INITIALISED = {
    velmora.ZozuvUzaTrigger: ("channel", 1),
    velmora.MultiPMTTrigger: ("adc_sample", 1),
}


@pytest.mark.parametrize("cls", list(RECORD_ATTRS), ids=lambda c: c.__name__)
def test_never_initialised_records_raise(cls):
    r = cls.__new__(cls)
    for attr in RECORD_ATTRS[cls]:
        with pytest.raises(TypeError, match=f"^{cls.__name__} object was never initialised"):
            getattr(r, attr)
    attr, value = NEVER_INITIALISED[cls]
    with pytest.raises(TypeError, match="never initialised"):
        setattr(r, attr, value)
    vector = velmora.ZozuvUzaTriggerVector if cls is velmora.ZozuvUzaTrigger else velmora.MultiPMTTriggerVector
    for call in (lambda: vector().append(r), lambda: vector([r]), lambda: vector().extend([r])):
        with pytest.raises((TypeError, RuntimeError), match="never initialised"):
            call()
