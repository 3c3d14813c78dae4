"""Random sequences of operations on each list type, checked step by step
against a plain Python list of the expected values.

Records, waveforms and iterators taken from a vector are held across the
operations. A record (and the waveform taken from it) follows its element
until the vector's length changes, and from then on keeps the value its
element had at that moment; an iterator yields the element at its position
in the vector as the vector is now."""

import listkinds
import pytest
import velmora
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule, run_state_machine_as_test

MAX_LEN = 24
POOL = 6
# Fixed examples and a bounded budget: the same sequences on every run, short
# enough for the sanitizer build.
SETTINGS = settings(max_examples=80, stateful_step_count=50, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.too_slow])

indices = st.integers(-MAX_LEN - 2, MAX_LEN + 2)
pool_items = st.integers(0, POOL - 1)
slices = st.builds(slice, st.none() | indices, st.none() | indices, st.none() | st.sampled_from([1, 2, 3, -1, -2]))


class Held:
    """A record object taken from the vector: attached to element `index`, or
    detached (index None) holding `value`."""

    def __init__(self, obj, index):
        self.obj, self.index, self.value = obj, index, None


class ListMachine(RuleBasedStateMachine):
    def __init__(self, kind):
        super().__init__()
        self.kind = kind
        self.pool = kind.items(POOL)
        self.pool_keys = [kind.key(x) for x in self.pool]
        self.v = kind.cls(self.pool)
        self.model = list(self.pool_keys)
        self.held = {}  # id of a record object -> Held
        self.waveforms = []  # (uint16Vector taken from a record, Held of that record)
        self.iterators = []  # [iterator, position, exhausted, expected values, key of a yielded item]
        self.next_channel = 1000
        # Where the channel and the waveform sit in a record's key.
        self.channel_at = 1 if kind.cls is velmora.MultiPMTTriggerVector else 0
        self.waveform_at = 5

    # The model.
    def detach(self):
        """The vector's length is about to change: every attached record keeps its element's value."""
        for h in self.held.values():
            if h.index is not None:
                h.value, h.index = self.model[h.index], None

    def value_of(self, h):
        return self.model[h.index] if h.index is not None else h.value

    def set_value_of(self, h, value):
        if h.index is not None:
            self.model[h.index] = value
        else:
            h.value = value

    def hold(self, obj, index):
        h = self.held.get(id(obj))
        if h is None:
            h = self.held[id(obj)] = Held(obj, index)
        else:  # the same element gives the same object while it is attached
            assert h.obj is obj and h.index == index
        return h

    def wrap(self, i, n):
        """The index that i stands for, or None where the vector raises IndexError."""
        i = i + n if i < 0 else i
        return i if 0 <= i < n else None

    # Operations that change the length.
    def do_append(self, obj, key):
        self.v.append(obj)
        self.detach()
        self.model.append(key)

    def do_clear(self):
        self.v.clear()
        if self.model:
            self.detach()
        self.model.clear()

    def do_pop(self):
        if not self.model:
            with pytest.raises(IndexError):
                self.v.pop()
            return
        popped = self.v.pop()
        self.detach()
        assert self.kind.key(popped) == self.model.pop()

    @precondition(lambda self: len(self.model) < MAX_LEN)
    @rule(k=pool_items)
    def append(self, k):
        self.do_append(self.pool[k], self.pool_keys[k])

    @precondition(lambda self: len(self.model) < MAX_LEN and self.held)
    @rule(data=st.data())
    def append_a_held_record(self, data):
        h = data.draw(st.sampled_from(sorted(self.held.values(), key=lambda h: id(h.obj))))
        self.do_append(h.obj, self.value_of(h))

    @precondition(lambda self: len(self.model) < MAX_LEN - 4)
    @rule(ks=st.lists(pool_items, max_size=4), as_vector=st.booleans())
    def extend(self, ks, as_vector):
        items = [self.pool[k] for k in ks]
        self.v.extend(self.kind.cls(items) if as_vector else items)
        if ks:
            self.detach()
            self.model.extend(self.pool_keys[k] for k in ks)

    @precondition(lambda self: 2 * len(self.model) <= MAX_LEN)
    @rule()
    def extend_from_itself(self):
        self.v.extend(self.v)
        if self.model:
            self.detach()
            self.model.extend(list(self.model))

    @precondition(lambda self: len(self.model) < MAX_LEN - 8)
    @rule(ks=st.lists(pool_items, max_size=3), effect=st.sampled_from(["none", "clear", "append", "pop", "take"]),
          bad=st.booleans())
    def extend_from_a_generator(self, ks, effect, bad):
        """The generator changes the vector or takes records from it before it yields."""
        yielded = []

        def gen():
            if effect == "clear":
                self.do_clear()
            elif effect == "append":
                self.do_append(self.pool[0], self.pool_keys[0])
            elif effect == "pop":
                self.do_pop()
            elif effect == "take" and self.kind.records:
                for i in range(min(3, len(self.model))):
                    record = self.v[i]
                    self.hold(record, i)
                    yielded.append(self.model[i])
                    yield record
            for k in ks:
                yielded.append(self.pool_keys[k])
                yield self.pool[k]
            if bad:
                yield self.kind.bad

        if bad:
            with pytest.raises((TypeError, RuntimeError)):
                self.v.extend(gen())
        else:
            self.v.extend(gen())
            if yielded:
                self.detach()
                self.model.extend(yielded)

    @precondition(lambda self: len(self.model) < MAX_LEN)
    @rule(i=indices, k=pool_items)
    def insert(self, i, k):
        n = len(self.model)
        at = i + n if i < 0 else i
        if not 0 <= at <= n:
            with pytest.raises(IndexError):
                self.v.insert(i, self.pool[k])
            return
        self.v.insert(i, self.pool[k])
        self.detach()
        self.model.insert(at, self.pool_keys[k])

    @rule()
    def pop(self):
        self.do_pop()

    @rule(i=indices)
    def pop_index(self, i):
        at = self.wrap(i, len(self.model))
        if at is None:
            with pytest.raises(IndexError):
                self.v.pop(i)
            return
        popped = self.v.pop(i)
        self.detach()
        assert self.kind.key(popped) == self.model.pop(at)

    @precondition(lambda self: len(self.model) > MAX_LEN // 2)
    @rule()
    def clear(self):
        self.do_clear()

    @rule(i=indices)
    def delete_index(self, i):
        at = self.wrap(i, len(self.model))
        if at is None:
            with pytest.raises(IndexError):
                del self.v[i]
            return
        del self.v[i]
        self.detach()
        del self.model[at]

    @rule(s=slices)
    def delete_slice(self, s):
        del self.v[s]
        if len(range(*s.indices(len(self.model)))):
            self.detach()
        del self.model[s]

    # Operations that keep the length: attached records see the new values.
    @rule(i=indices, k=pool_items)
    def set_index(self, i, k):
        at = self.wrap(i, len(self.model))
        if at is None:
            with pytest.raises(IndexError):
                self.v[i] = self.pool[k]
            return
        self.v[i] = self.pool[k]
        self.model[at] = self.pool_keys[k]

    @rule(s=slices, ks=st.lists(pool_items, max_size=MAX_LEN))
    def set_slice(self, s, ks):
        n = len(range(*s.indices(len(self.model))))
        ks = (ks * (n // max(len(ks), 1) + 1))[:n] if ks else [0] * n
        self.v[s] = self.kind.cls([self.pool[k] for k in ks])
        self.model[s] = [self.pool_keys[k] for k in ks]
        with pytest.raises(RuntimeError):  # sizes that differ are refused
            self.v[s] = self.kind.cls([self.pool[0]] * (n + 1))

    @rule()
    def reverse_from_itself(self):
        self.v[::-1] = self.v
        self.model.reverse()

    # Records and waveforms taken and changed.
    @precondition(lambda self: self.kind.records and self.model)
    @rule(some=st.lists(indices, min_size=1, max_size=3))
    def take_records(self, some):
        for i in some:
            at = self.wrap(i, len(self.model))
            if at is not None:
                self.hold(self.v[i], at)

    @precondition(lambda self: self.held)
    @rule(data=st.data())
    def change_a_held_record(self, data):
        h = data.draw(st.sampled_from(sorted(self.held.values(), key=lambda h: id(h.obj))))
        self.next_channel += 1
        h.obj.channel = self.next_channel
        value = list(self.value_of(h))
        value[self.channel_at] = self.next_channel
        self.set_value_of(h, tuple(value))

    @precondition(lambda self: self.kind.waveforms and self.held)
    @rule(data=st.data())
    def take_waveform(self, data):
        h = data.draw(st.sampled_from(sorted(self.held.values(), key=lambda h: id(h.obj))))
        self.waveforms.append((h.obj.waveform, h))

    @precondition(lambda self: self.waveforms)
    @rule(data=st.data(), sample=st.integers(0, 65535))
    def grow_a_held_waveform(self, data, sample):
        w, h = data.draw(st.sampled_from(self.waveforms))
        w.append(sample)
        value = list(self.value_of(h))
        value[self.waveform_at] = value[self.waveform_at] + (sample,)
        self.set_value_of(h, tuple(value))

    # Iterators held across everything else.
    @rule()
    def take_iterator(self):
        self.iterators.append([iter(self.v), 0, False, lambda: self.model, self.kind.key])

    @precondition(lambda self: self.waveforms)
    @rule(data=st.data())
    def take_waveform_iterator(self, data):
        w, h = data.draw(st.sampled_from(self.waveforms))
        self.iterators.append([iter(w), 0, False, lambda: self.value_of(h)[self.waveform_at], int])

    @precondition(lambda self: self.iterators)
    @rule(data=st.data(), steps=st.integers(1, 4))
    def advance_iterator(self, data, steps):
        state = data.draw(st.sampled_from(self.iterators))
        it, position, exhausted, expected, key = state
        for _ in range(steps):
            values = expected()
            if exhausted or position >= len(values):
                with pytest.raises(StopIteration):
                    next(it)
                exhausted = True
                break
            item = next(it)
            assert key(item) == values[position]
            if key is self.kind.key and self.kind.records:
                self.hold(item, position)
            position += 1
        state[1], state[2] = position, exhausted

    @invariant()
    def everything_matches_the_model(self):
        assert len(self.v) == len(self.model)
        assert self.kind.keys(self.v) == self.model
        for h in self.held.values():
            assert self.kind.key(h.obj) == self.value_of(h)
        for w, h in self.waveforms:
            assert tuple(w) == self.value_of(h)[self.waveform_at]


@pytest.fixture(scope="module")
def record_sources(detector_dir, tot_pulse):
    """Records of both kinds, made once for the module."""
    from conftest import MULTIPMT_DEFAULTS, ZOZUVUZA_DEFAULTS

    zozuvuza = velmora.ZozuvUza(time_spectrum=detector_dir / "time.txt",
                                amplitude_spectrum=detector_dir / "amplitude.txt",
                                pulse_shape=detector_dir / "pulse.txt", **ZOZUVUZA_DEFAULTS)
    multipmt = velmora.MultiPMT(time_spectrum=detector_dir / "time.txt",
                                amplitude_spectrum=detector_dir / "amplitude.txt", tot_pulse_shape=tot_pulse,
                                adc_pulse_shape=detector_dir / "pulse.txt", **MULTIPMT_DEFAULTS)
    return (zozuvuza.simulate(listkinds.RECORD_TIMES, 3), multipmt.simulate(listkinds.RECORD_TIMES, 2))


@pytest.mark.parametrize("name", listkinds.NAMES)
def test_operations_match_a_list_model(name, record_sources):
    kind = listkinds.kind(name, *record_sources)
    run_state_machine_as_test(lambda: ListMachine(kind), settings=SETTINGS)
