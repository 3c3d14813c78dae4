import json
from pathlib import Path

import listkinds
import pytest
import velmora

NUMBER_VECTORS = [velmora.DoubleVector, velmora.IntVector, velmora.uint16Vector]
RECORD_VECTORS = [velmora.ZozuvUzaTriggerVector, velmora.MultiPMTTriggerVector]
ALL_VECTORS = NUMBER_VECTORS + RECORD_VECTORS + [velmora.PEListVector]
COMMON = ["append", "clear", "extend", "insert", "pop", "__getitem__", "__setitem__", "__delitem__", "__iter__",
          "__len__", "__bool__"]
COMPARISON = ["__contains__", "count", "remove"]


def ids(types):
    return [t.__name__ for t in types]


@pytest.mark.parametrize("cls", ALL_VECTORS, ids=ids(ALL_VECTORS))
def test_method_sets(cls):
    for name in COMMON:
        assert name in cls.__dict__, name
    comparable = cls not in RECORD_VECTORS
    for name in COMPARISON + ["__eq__", "__ne__"]:
        assert (name in cls.__dict__) == comparable, name
    assert ("__repr__" in cls.__dict__) == (cls in NUMBER_VECTORS)
    # No buffer protocol.
    with pytest.raises(TypeError):
        memoryview(cls())


@pytest.mark.parametrize(
    ("cls", "items", "text"),
    [(velmora.DoubleVector, [1, 2.5], "DoubleVector[1, 2.5]"), (velmora.IntVector, [3, -4], "IntVector[3, -4]"),
     (velmora.uint16Vector, [0, 65535], "uint16Vector[0, 65535]"), (velmora.DoubleVector, [], "DoubleVector[]")],
    ids=["double", "int", "uint16", "empty"],
)
def test_number_vector_values_and_repr(cls, items, text):
    v = cls(items)
    assert list(v) == items and repr(v) == text
    assert cls(v) == v and cls(v) is not v
    assert cls(x for x in items) == v


@pytest.mark.parametrize(
    ("cls", "bad"),
    [(velmora.uint16Vector, [70000]), (velmora.uint16Vector, [-1]), (velmora.IntVector, [2**31]),
     (velmora.IntVector, [1.5]), (velmora.DoubleVector, ["x"])],
    ids=["uint16-overflow", "uint16-negative", "int-overflow", "int-float", "double-str"],
)
def test_number_vectors_reject_out_of_range_items(cls, bad):
    with pytest.raises((TypeError, RuntimeError)):  # the binding library's cast error
        cls(bad)
    v = cls()
    with pytest.raises(TypeError):
        v.append(bad[0])
    assert len(v) == 0


def test_double_vector_behaves_like_a_list():
    v = velmora.DoubleVector([1.0, 2.0, 3.0])
    v.append(4)
    v.insert(0, 0.5)
    v.extend([5.0])
    v.extend(v)
    assert list(v) == [0.5, 1, 2, 3, 4, 5] * 2
    assert v.pop() == 5 and v.pop(0) == 0.5
    del v[::2]
    assert list(v) == [2, 4, 0.5, 2, 4]
    v[1:3] = velmora.DoubleVector([7, 8])
    assert list(v) == [2, 7, 8, 2, 4] and v.count(2) == 2 and 8 in v
    v.remove(7)
    assert list(v) == [2, 8, 2, 4]
    with pytest.raises(IndexError):
        v[4]
    v.clear()
    assert not v


def test_pe_list_vector_holds_pairs_and_hands_out_copies():
    pe = velmora.PEListVector([(0, [1e-9]), (3, velmora.DoubleVector())])
    assert len(pe) == 2
    channel, times = pe[0]
    assert channel == 0 and isinstance(times, velmora.DoubleVector) and list(times) == [1e-9]
    times.append(2e-9)
    assert list(pe[0][1]) == [1e-9]
    assert pe == velmora.PEListVector([(0, [1e-9]), (3, [])])
    copies = list(pe)
    pe.clear()
    copies[0][1].append(3e-9)  # the copies own their times
    assert list(copies[0][1]) == [1e-9, 3e-9] and copies[1][0] == 3


@pytest.mark.parametrize("bad", [[(0,)], [(0, [1.0], 2)], [("a", [1.0])], [(0, ["x"])]],
                         ids=["short", "long", "str-channel", "str-time"])
def test_pe_list_vector_rejects_malformed_entries(bad):
    with pytest.raises((TypeError, RuntimeError)):
        velmora.PEListVector(bad)


@pytest.fixture(params=listkinds.NAMES)
def kind(request, make_zozuvuza, make_multipmt):
    name = request.param
    zozuvuza = make_zozuvuza().simulate(listkinds.RECORD_TIMES, 3) if name == "ZozuvUzaTriggerVector" else None
    multipmt = make_multipmt().simulate(listkinds.RECORD_TIMES, 2) if name == "MultiPMTTriggerVector" else None
    return listkinds.kind(name, zozuvuza, multipmt)


def test_extend_from_a_generator_that_clears_the_vector(kind):
    old, new = kind.items(6)[:3], kind.items(6)[3:]
    v = kind.cls(old)

    def clear_then_bad():
        v.clear()
        yield new[0]
        yield kind.bad

    with pytest.raises((TypeError, RuntimeError)):
        v.extend(clear_then_bad())
    assert len(v) == 0  # the old elements do not come back

    v.extend(old)

    def clear_then_good():
        v.clear()
        yield from new

    v.extend(clear_then_good())
    assert kind.keys(v) == kind.keys(new)


def test_extend_from_a_generator_that_grows_the_vector(kind):
    items = kind.items(8)
    v = kind.cls(items[:2])

    def grow():
        for x in items[2:5]:
            v.append(items[7])
            yield x

    v.extend(grow())
    # What the generator did comes first: the items are appended once it is done.
    assert kind.keys(v) == kind.keys(items[:2] + [items[7]] * 3 + items[2:5])


def test_a_bad_item_leaves_the_vector_unchanged(kind):
    items = kind.items(4)
    v = kind.cls(items[:2])
    with pytest.raises((TypeError, RuntimeError)):
        v.extend([items[2], kind.bad, items[3]])

    def fail():
        yield items[2]
        raise KeyError("from the generator")

    with pytest.raises(KeyError):
        v.extend(fail())
    assert kind.keys(v) == kind.keys(items[:2])


@pytest.mark.parametrize("change", ["grow", "shrink", "clear-and-refill"])
def test_iterators_follow_the_current_length(kind, change):
    items = kind.items(12)
    v, model = kind.cls(items[:4]), list(items[:4])
    seen, expected = [], []
    for x, y in zip(v, model):  # the model list is changed alike at each step
        seen.append(kind.key(x))
        expected.append(kind.key(y))
        if change == "grow" and len(model) < 12:
            v.extend(items[len(model):len(model) + 3])
            model.extend(items[len(model):len(model) + 3])
        elif change == "shrink":
            v.pop()
            model.pop()
        elif change == "clear-and-refill" and len(seen) == 2:
            v.clear()
            model.clear()
            v.extend(items[8:11])
            model.extend(items[8:11])
    assert seen == expected and len(seen) == {"grow": 12, "shrink": 2, "clear-and-refill": 3}[change]


def test_an_exhausted_iterator_stays_exhausted(kind):
    items = kind.items(3)
    v = kind.cls(items[:1])
    it = iter(v)
    assert kind.key(next(it)) == kind.key(items[0])
    with pytest.raises(StopIteration):
        next(it)
    v.extend(items[1:])
    with pytest.raises(StopIteration):
        next(it)


def test_slice_assignment_from_the_vector_itself(kind):
    items = kind.items(5)
    v = kind.cls(items)
    v[::-1] = v
    assert kind.keys(v) == kind.keys(items[::-1])
    v.extend(v)
    assert kind.keys(v) == kind.keys(items[::-1] * 2)


UNINITIALISED_CALLS = {
    "append": lambda v, x: v.append(x),
    "clear": lambda v, x: v.clear(),
    "extend": lambda v, x: v.extend([x]),
    "insert": lambda v, x: v.insert(0, x),
    "pop": lambda v, x: v.pop(),
    "len": lambda v, x: len(v),
    "bool": lambda v, x: bool(v),
    "iter": lambda v, x: iter(v),
    "getitem": lambda v, x: v[0],
    "getslice": lambda v, x: v[:],
    "setitem": lambda v, x: v.__setitem__(0, x),
    "delitem": lambda v, x: v.__delitem__(0),
    "copy-of-it": lambda v, x: type(v)(v),
    "extend-by-it": lambda v, x: type(v)([x]).extend(v),
}


@pytest.mark.parametrize("call", list(UNINITIALISED_CALLS.values()), ids=list(UNINITIALISED_CALLS))
def test_never_initialised_vectors_raise(kind, call):
    v = kind.cls.__new__(kind.cls)
    with pytest.raises(TypeError, match=f"^{kind.cls.__name__} object was never initialised"):
        call(v, kind.items(1)[0])
    v.__init__(kind.items(2))  # initialising it afterwards makes it an ordinary vector
    assert kind.keys(v) == kind.keys(kind.items(2))


def test_never_initialised_iterators_raise(kind):
    iterator_type = type(iter(kind.cls()))
    it = iterator_type.__new__(iterator_type)
    with pytest.raises(TypeError, match="never initialised"):
        next(it)


@pytest.mark.parametrize("cls", NUMBER_VECTORS, ids=ids(NUMBER_VECTORS))
def test_never_initialised_number_vectors_do_not_compare_or_print(cls):
    v = cls.__new__(cls)
    for call in (repr, lambda v: v == cls(), lambda v: 0 in v, lambda v: v.count(0), lambda v: v.remove(0)):
        with pytest.raises(TypeError, match="never initialised"):
            call(v)


def test_never_initialised_early_handling_raises(make_zozuvuza):
    e = velmora.EarlyHandling.__new__(velmora.EarlyHandling)
    for call in (int, lambda e: e.name, lambda e: make_zozuvuza(early_handling=e)):
        with pytest.raises(TypeError, match="^EarlyHandling object was never initialised"):
            call(e)


DOCSTRINGS = Path(__file__).with_name("data") / "docstrings.json"
OWN_NAMES = ["DoubleVector", "IntVector", "uint16Vector", "ZozuvUzaTriggerVector", "MultiPMTTriggerVector",
             "PEListVector", "ZozuvUzaTrigger", "MultiPMTTrigger", "EarlyHandling", "generate_pe_list"]


def docstrings():
    """The docstring of every list type, record class, the enumeration, their
    attributes, and generate_pe_list, by qualified name."""
    docs = {}
    for name in OWN_NAMES:
        obj = getattr(velmora, name)
        docs[name] = obj.__doc__
        if isinstance(obj, type):
            for attr, value in vars(obj).items():
                if attr not in ("__doc__", "__module__", "__dict__", "__weakref__") and "pybind11" not in attr:
                    doc = getattr(value, "__doc__", None)
                    docs[f"{name}.{attr}"] = doc if doc is None or isinstance(doc, str) else repr(doc)
    return docs


def test_docstrings_are_unchanged():
    expected = json.loads(DOCSTRINGS.read_text())
    actual = docstrings()
    assert sorted(actual) == sorted(expected)
    for name in expected:
        assert actual[name] == expected[name], name


if __name__ == "__main__":  # python tests/python/test_vectors.py rewrites the stored docstrings
    DOCSTRINGS.write_text(json.dumps(docstrings(), indent=1, sort_keys=True) + "\n")
