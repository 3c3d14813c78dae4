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
