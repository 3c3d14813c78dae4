// The six list types, bound with the binding library's standard vector binding.
// Some of its methods are replaced, with the same signatures and docstrings,
// because Python code may run while they work and change the very vector they
// work on (a generator, an item's conversion, a loop body):
//  - `extend` from an iterable runs the iterable to its end and converts every
//    item before the vector changes, so a bad item leaves the vector as it was
//    and nothing the iterable does to the vector is undone or overwritten;
//  - iterators hold the vector and an index and check the current length at
//    every step, so a vector that grows or shrinks is never read out of bounds;
//  - `extend` and slice assignment from the vector itself work on a copy.
// The two record vectors hand out records that refer into their storage
// (instances.h); everything that changes their length detaches those records
// first.
#include "bindings.h"
#include "instances.h"

#include <iterator>
#include <memory>
#include <stdexcept>
#include <type_traits>

namespace velmora::python {
namespace {

// A record object that refers into a vector element, already created and
// tracked; typed so that signatures name the record class.
template <typename Vector>
struct ElementRef {
    py::object record;
};

// The state of an iterator over one of the list types.
template <typename Vector>
struct IndexIterator {
    py::object vector; // the Python vector, kept alive while the iterator lives
    std::size_t next = 0;
    bool done = false; // once exhausted, stays exhausted, as a list iterator does
};

} // namespace
} // namespace velmora::python

namespace pybind11::detail {
template <typename Vector>
struct type_caster<velmora::python::ElementRef<Vector>> {
    PYBIND11_TYPE_CASTER(velmora::python::ElementRef<Vector>, make_caster<typename Vector::value_type>::name);
    bool load(handle, bool) { return false; }
    static handle cast(const velmora::python::ElementRef<Vector>& ref, return_value_policy, handle) {
        return ref.record.inc_ref();
    }
};

template <typename Vector>
class type_caster<velmora::python::IndexIterator<Vector>>
    : public velmora::python::CheckedCaster<velmora::python::IndexIterator<Vector>> {};
} // namespace pybind11::detail

namespace velmora::python {
namespace {

using ostrelin::MultiPMTTrigger;
using ostrelin::ZozuvUzaTrigger;

template <typename Vector>
constexpr bool holds_records =
    std::is_same_v<Vector, std::vector<ZozuvUzaTrigger>> || std::is_same_v<Vector, std::vector<MultiPMTTrigger>>;

// Called right before v changes length, and only then: records taken from v
// stay attached through anything that leaves its length as it is.
template <typename Vector>
void before_resize(const Vector& v) {
    if constexpr (holds_records<Vector>) {
        detach_records(v);
    }
}

// What indexing and iterating yield: a record refers into the vector, every
// other element is a copy.
template <typename Vector>
auto element(Vector& v, std::size_t i) {
    if constexpr (holds_records<Vector>) {
        return ElementRef<Vector>{element_ref(v, i)};
    } else {
        return typename Vector::value_type(v[i]);
    }
}

template <typename Vector>
using Element = decltype(element(std::declval<Vector&>(), 0));

template <typename Vector>
py::ssize_t wrap_index(py::ssize_t i, std::size_t n) {
    if (i < 0) {
        i += static_cast<py::ssize_t>(n);
    }
    if (i < 0 || static_cast<std::size_t>(i) >= n) {
        throw py::index_error();
    }
    return i;
}

// A new vector holding copies of the elements that a slice selects.
template <typename Vector>
Vector* slice_copy(const Vector& v, const py::slice& slice) {
    std::size_t start = 0, stop = 0, step = 0, length = 0;
    if (!slice.compute(v.size(), &start, &stop, &step, &length)) {
        throw py::error_already_set();
    }
    auto seq = std::make_unique<Vector>();
    seq->reserve(length);
    for (std::size_t i = 0; i < length; ++i, start += step) {
        seq->push_back(v[start]);
    }
    return seq.release();
}

// Every item of an iterable, converted to the element type. Runs the iterable
// to its end before the caller touches its vector.
template <typename Vector>
Vector items_of(const py::iterable& it) {
    Vector items;
    items.reserve(py::len_hint(it));
    for (py::handle h : it) {
        items.push_back(h.cast<typename Vector::value_type>());
    }
    return items;
}

// The methods that every list type replaces.
template <typename Vector, typename Class>
void def_safe_methods(Class& cl) {
    using T = typename Vector::value_type;
    using Diff = typename Vector::difference_type;

    for (const char* attr : {"extend", "__setitem__", "__iter__"}) {
        py::delattr(cl, attr);
    }

    cl.def(
        "extend",
        [](Vector& v, const Vector& src) {
            if (src.empty()) {
                return;
            }
            if (&src == &v) {
                const Vector copy(src);
                before_resize(v);
                v.insert(v.end(), copy.begin(), copy.end());
            } else {
                before_resize(v);
                v.insert(v.end(), src.begin(), src.end());
            }
        },
        py::arg("L"), R"doc(Extend the list by appending all the items in the given list)doc");

    cl.def(
        "extend",
        [](Vector& v, const py::iterable& it) {
            Vector items = items_of<Vector>(it);
            if (items.empty()) {
                return;
            }
            before_resize(v);
            v.insert(v.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
        },
        py::arg("L"), R"doc(Extend the list by appending all the items in the given list)doc");

    cl.def("__setitem__",
           [](Vector& v, Diff i, const T& t) { v[static_cast<std::size_t>(wrap_index<Vector>(i, v.size()))] = t; });

    cl.def(
        "__setitem__",
        [](Vector& v, const py::slice& slice, const Vector& value) {
            std::size_t start = 0, stop = 0, step = 0, length = 0;
            if (!slice.compute(v.size(), &start, &stop, &step, &length)) {
                throw py::error_already_set();
            }
            if (length != value.size()) {
                throw std::runtime_error("Left and right hand size of slice assignment have different sizes!");
            }
            // Assigning a vector to a slice of itself reads from a copy, so that no
            // element is read after it has been overwritten.
            const Vector copy = &value == &v ? value : Vector();
            const Vector& from = &value == &v ? copy : value;
            for (std::size_t i = 0; i < length; ++i, start += step) {
                v[start] = from[i];
            }
        },
        R"doc(Assign list elements using a slice object)doc");

    py::class_<IndexIterator<Vector>>(py::handle(), "iterator", py::module_local())
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](IndexIterator<Vector>& it) {
            if (!it.done) {
                auto& v = it.vector.template cast<Vector&>();
                if (it.next < v.size()) {
                    return element(v, it.next++);
                }
                it.done = true;
            }
            throw py::stop_iteration();
        });

    cl.def("__iter__", [](Vector& v) {
        // The existing Python object of v, found by its address.
        py::object self = py::cast(&v, py::return_value_policy::reference);
        return py::typing::Iterator<Element<Vector>>(py::cast(IndexIterator<Vector>{std::move(self)}));
    });
}

// A number vector: the standard binding with the safe methods, and a
// conversion from a Python list.
template <typename Vector>
void bind_number_vector(py::module_& m, const char* name) {
    auto cl = py::bind_vector<Vector>(m, name);
    def_safe_methods<Vector>(cl);
    py::implicitly_convertible<py::list, Vector>();
}

template <typename Vector>
void bind_record_vector(py::module_& m, const char* name) {
    using T = typename Vector::value_type;
    using Holder = std::unique_ptr<Vector, TrackedVectorDeleter<Vector>>;
    using Diff = typename Vector::difference_type;

    auto cl = py::bind_vector<Vector, Holder>(m, name);
    def_safe_methods<Vector>(cl);

    // Every method below replaces the standard one of the same name, with the
    // same signature and docstring; the length-changing ones detach first.
    for (const char* attr : {"append", "clear", "insert", "pop", "__delitem__", "__getitem__"}) {
        py::delattr(cl, attr);
    }

    cl.def(
        "append",
        [](Vector& v, const T& value) {
            before_resize(v);
            v.push_back(value);
        },
        py::arg("x"), R"doc(Add an item to the end of the list)doc");

    cl.def(
        "clear",
        [](Vector& v) {
            if (!v.empty()) {
                before_resize(v);
            }
            v.clear();
        },
        R"doc(Clear the contents)doc");

    cl.def(
        "insert",
        [](Vector& v, Diff i, const T& x) {
            if (i < 0) {
                i += static_cast<Diff>(v.size());
            }
            if (i < 0 || static_cast<std::size_t>(i) > v.size()) {
                throw py::index_error();
            }
            before_resize(v);
            v.insert(v.begin() + i, x);
        },
        py::arg("i"), py::arg("x"), R"doc(Insert an item at a given position.)doc");

    cl.def(
        "pop",
        [](Vector& v) {
            if (v.empty()) {
                throw py::index_error();
            }
            before_resize(v);
            T t = std::move(v.back());
            v.pop_back();
            return t;
        },
        R"doc(Remove and return the last item)doc");

    cl.def(
        "pop",
        [](Vector& v, Diff i) {
            i = wrap_index<Vector>(i, v.size());
            before_resize(v);
            T t = std::move(v[static_cast<std::size_t>(i)]);
            v.erase(v.begin() + i);
            return t;
        },
        py::arg("i"), R"doc(Remove and return the item at index ``i``)doc");

    cl.def("__getitem__", &slice_copy<Vector>, py::arg("s"), R"doc(Retrieve list elements using a slice object)doc");

    cl.def("__getitem__",
           [](Vector& v, Diff i) { return element(v, static_cast<std::size_t>(wrap_index<Vector>(i, v.size()))); });

    cl.def(
        "__delitem__",
        [](Vector& v, Diff i) {
            i = wrap_index<Vector>(i, v.size());
            before_resize(v);
            v.erase(v.begin() + i);
        },
        R"doc(Delete the list elements at index ``i``)doc");

    cl.def(
        "__delitem__",
        [](Vector& v, const py::slice& slice) {
            py::ssize_t start = 0, stop = 0, step = 0, length = 0;
            if (!slice.compute(static_cast<py::ssize_t>(v.size()), &start, &stop, &step, &length)) {
                throw py::error_already_set();
            }
            if (length == 0) {
                return;
            }
            before_resize(v);
            if (step == 1) {
                v.erase(v.begin() + start, v.begin() + start + length);
                return;
            }
            // Erase in descending index order so that no index still to be
            // erased shifts.
            if (step > 0) {
                start += (length - 1) * step;
                step = -step;
            }
            for (; length > 0; --length, start += step) {
                v.erase(v.begin() + start);
            }
        },
        R"doc(Delete list elements using a slice object)doc");
}

// The PE list hands out copies: a (channel, DoubleVector) tuple taken from it
// owns its times, so changing it leaves the list alone and it stays valid
// whatever happens to the list afterwards.
void bind_pe_list(py::module_& m) {
    using Diff = PEList::difference_type;
    auto cl = py::bind_vector<PEList>(m, "PEListVector");
    def_safe_methods<PEList>(cl);
    py::delattr(cl, "__getitem__");
    cl.def("__getitem__", &slice_copy<PEList>, py::arg("s"), R"doc(Retrieve list elements using a slice object)doc");
    cl.def("__getitem__", [](const PEList& v, Diff i) -> PEList::value_type {
        return v[static_cast<std::size_t>(wrap_index<PEList>(i, v.size()))];
    });
}

} // namespace

void register_vectors(py::module_& m) {
    bind_number_vector<std::vector<double>>(m, "DoubleVector");
    bind_number_vector<std::vector<int>>(m, "IntVector");
    bind_number_vector<std::vector<unsigned short>>(m, "uint16Vector");
    bind_record_vector<std::vector<ZozuvUzaTrigger>>(m, "ZozuvUzaTriggerVector");
    bind_record_vector<std::vector<MultiPMTTrigger>>(m, "MultiPMTTriggerVector");
    bind_pe_list(m);
}

} // namespace velmora::python
