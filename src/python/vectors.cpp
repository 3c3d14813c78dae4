// The six list types. Number vectors and the PE list are the plain standard
// vector bindings. The two record vectors hand out records that refer into
// their storage; before any operation that changes a record vector's length,
// every such record still alive is detached: it takes over a copy of its
// element as it was, so that it never reads or writes storage that the vector
// no longer owns, nor shows another element after a shift.
#include "bindings.h"

#include <memory>
#include <new>
#include <unordered_map>

namespace velmora::python {
namespace {

// A record object that refers into a vector element, already created and
// tracked; typed so that signatures name the record class.
template <typename Vector>
struct ElementRef {
    py::object record;
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
} // namespace pybind11::detail

namespace velmora::python {
namespace {

using ostrelin::MultiPMTTrigger;
using ostrelin::ZozuvUzaTrigger;

// A record's own sub-objects that Python may hold by reference move with it.
void repoint_members(const MultiPMTTrigger*, MultiPMTTrigger*) {}

void repoint_members(const ZozuvUzaTrigger* from, ZozuvUzaTrigger* to) {
    using Waveform = std::vector<unsigned short>;
    const auto* tinfo = py::detail::get_type_info(typeid(Waveform));
    void* old_ptr = const_cast<Waveform*>(&from->waveform);
    auto found = py::reinterpret_steal<py::object>(py::detail::find_registered_python_instance(old_ptr, tinfo));
    if (!found) {
        return;
    }
    auto* inst = reinterpret_cast<py::detail::instance*>(found.ptr());
    auto v_h = inst->get_value_and_holder(tinfo);
    py::detail::deregister_instance(inst, old_ptr, tinfo);
    v_h.value_ptr() = &to->waveform;
    py::detail::register_instance(inst, &to->waveform, tinfo);
}

// Turns a Python record that refers into vector storage into one that owns a
// copy of the element.
template <typename Record>
void detach(py::handle obj) {
    auto* inst = reinterpret_cast<py::detail::instance*>(obj.ptr());
    const auto* tinfo = py::detail::get_type_info(typeid(Record));
    auto v_h = inst->get_value_and_holder(tinfo);
    if (inst->owned || v_h.holder_constructed() || v_h.value_ptr() == nullptr) {
        return;
    }
    auto* old_ptr = v_h.value_ptr<Record>();
    auto copy = std::make_unique<Record>(*old_ptr); // may throw; nothing changed yet
    Record* fresh = copy.get();
    py::detail::deregister_instance(inst, old_ptr, tinfo);
    v_h.value_ptr() = fresh;
    new (std::addressof(v_h.template holder<std::unique_ptr<Record>>())) std::unique_ptr<Record>(std::move(copy));
    v_h.set_holder_constructed();
    inst->owned = true;
    py::detail::register_instance(inst, fresh, tinfo);
    repoint_members(old_ptr, fresh);
    // The record no longer needs the vector alive.
    if (inst->has_patients) {
        py::detail::clear_patients(obj.ptr());
    }
}

// The records handed out by each live record vector, as weak references.
template <typename Vector>
class ElementRefs {
  public:
    static void track(const Vector* v, py::handle record) {
        Entry& e = table()[v];
        e.refs.emplace_back(record);
        if (e.refs.size() >= 2 * e.live + 16) { // amortised pruning of dead records
            std::erase_if(e.refs, [](const py::weakref& w) { return w().is_none(); });
            e.live = e.refs.size();
        }
    }

    static void detach_all(const Vector* v) {
        auto it = table().find(v);
        if (it == table().end()) {
            return;
        }
        std::vector<py::weakref> refs = std::move(it->second.refs);
        table().erase(it);
        for (const auto& w : refs) {
            py::object record = w();
            if (!record.is_none()) {
                detach<typename Vector::value_type>(record);
            }
        }
    }

    static void forget(const Vector* v) noexcept { table().erase(v); }

  private:
    struct Entry {
        std::vector<py::weakref> refs;
        std::size_t live = 0;
    };
    // Never destroyed: it holds Python objects, which must not be released
    // after the interpreter has gone.
    static std::unordered_map<const Vector*, Entry>& table() {
        static auto* t = new std::unordered_map<const Vector*, Entry>();
        return *t;
    }
};

// Holder of the record vectors: drops the vector's entry when it goes.
template <typename Vector>
struct TrackedVectorDeleter {
    void operator()(Vector* v) const noexcept {
        ElementRefs<Vector>::forget(v);
        delete v;
    }
};

// The record object for element i, kept alive with (and tracked by) its vector.
template <typename Vector>
ElementRef<Vector> element_ref(Vector& v, std::size_t i) {
    const py::object self = py::cast(&v, py::return_value_policy::reference); // the existing Python vector
    py::object record = py::cast(&v[i], py::return_value_policy::reference_internal, self);
    ElementRefs<Vector>::track(&v, record);
    return {std::move(record)};
}

// Iterates by index, so that a vector changed during iteration is never read
// out of bounds.
template <typename Vector>
struct RecordIterator {
    py::object vector;
    std::size_t next = 0;
};

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

template <typename Vector>
void bind_record_vector(py::module_& m, const char* name) {
    using T = typename Vector::value_type;
    using Refs = ElementRefs<Vector>;
    using Holder = std::unique_ptr<Vector, TrackedVectorDeleter<Vector>>;
    using Diff = typename Vector::difference_type;

    auto cl = py::bind_vector<Vector, Holder>(m, name);

    // Every method below replaces the standard one of the same name, with the
    // same signature and docstring; the length-changing ones detach first.
    for (const char* attr : {"append", "clear", "extend", "insert", "pop", "__delitem__", "__getitem__", "__iter__"}) {
        py::delattr(cl, attr);
    }

    py::class_<RecordIterator<Vector>>(py::handle(), "iterator", py::module_local())
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](RecordIterator<Vector>& it) {
            auto& v = it.vector.template cast<Vector&>();
            if (it.next >= v.size()) {
                throw py::stop_iteration();
            }
            return element_ref(v, it.next++);
        });

    cl.def(
        "append",
        [](Vector& v, const T& value) {
            Refs::detach_all(&v);
            v.push_back(value);
        },
        py::arg("x"), "Add an item to the end of the list");

    cl.def(
        "clear",
        [](Vector& v) {
            Refs::detach_all(&v);
            v.clear();
        },
        "Clear the contents");

    cl.def(
        "extend",
        [](Vector& v, const Vector& src) {
            Refs::detach_all(&v);
            if (&src == &v) {
                const Vector copy(src);
                v.insert(v.end(), copy.begin(), copy.end());
            } else {
                v.insert(v.end(), src.begin(), src.end());
            }
        },
        py::arg("L"), "Extend the list by appending all the items in the given list");

    cl.def(
        "extend",
        [](Vector& v, const py::iterable& it) {
            Refs::detach_all(&v);
            const std::size_t old_size = v.size();
            v.reserve(old_size + py::len_hint(it));
            try {
                for (py::handle h : it) {
                    v.push_back(h.cast<T>());
                }
            } catch (const py::cast_error&) {
                v.erase(v.begin() + static_cast<Diff>(old_size), v.end());
                throw;
            }
        },
        py::arg("L"), "Extend the list by appending all the items in the given list");

    cl.def(
        "insert",
        [](Vector& v, Diff i, const T& x) {
            if (i < 0) {
                i += static_cast<Diff>(v.size());
            }
            if (i < 0 || static_cast<std::size_t>(i) > v.size()) {
                throw py::index_error();
            }
            Refs::detach_all(&v);
            v.insert(v.begin() + i, x);
        },
        py::arg("i"), py::arg("x"), "Insert an item at a given position.");

    cl.def(
        "pop",
        [](Vector& v) {
            if (v.empty()) {
                throw py::index_error();
            }
            Refs::detach_all(&v);
            T t = std::move(v.back());
            v.pop_back();
            return t;
        },
        "Remove and return the last item");

    cl.def(
        "pop",
        [](Vector& v, Diff i) {
            i = wrap_index<Vector>(i, v.size());
            Refs::detach_all(&v);
            T t = std::move(v[static_cast<std::size_t>(i)]);
            v.erase(v.begin() + i);
            return t;
        },
        py::arg("i"), "Remove and return the item at index ``i``");

    cl.def("__getitem__", &slice_copy<Vector>, py::arg("s"), "Retrieve list elements using a slice object");

    cl.def("__getitem__",
           [](Vector& v, Diff i) { return element_ref(v, static_cast<std::size_t>(wrap_index<Vector>(i, v.size()))); });

    cl.def("__iter__", [](Vector& v) {
        return py::typing::Iterator<ElementRef<Vector>>(
            py::cast(RecordIterator<Vector>{py::cast(&v, py::return_value_policy::reference), 0}));
    });

    cl.def(
        "__delitem__",
        [](Vector& v, Diff i) {
            i = wrap_index<Vector>(i, v.size());
            Refs::detach_all(&v);
            v.erase(v.begin() + i);
        },
        "Delete the list elements at index ``i``");

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
            Refs::detach_all(&v);
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
        "Delete list elements using a slice object");
}

// The PE list hands out copies: a (channel, DoubleVector) tuple taken from it
// owns its times, so changing it leaves the list alone and it stays valid
// whatever happens to the list afterwards.
void bind_pe_list(py::module_& m) {
    using Diff = PEList::difference_type;
    auto cl = py::bind_vector<PEList>(m, "PEListVector");
    for (const char* attr : {"__getitem__", "__iter__"}) {
        py::delattr(cl, attr);
    }
    cl.def("__getitem__", &slice_copy<PEList>, py::arg("s"), "Retrieve list elements using a slice object");
    cl.def("__getitem__", [](const PEList& v, Diff i) -> PEList::value_type {
        return v[static_cast<std::size_t>(wrap_index<PEList>(i, v.size()))];
    });
    cl.def(
        "__iter__",
        [](const PEList& v) { return py::make_iterator<py::return_value_policy::copy>(v.begin(), v.end()); },
        py::keep_alive<0, 1>());
}

} // namespace

void register_vectors(py::module_& m) {
    py::bind_vector<std::vector<double>>(m, "DoubleVector");
    py::implicitly_convertible<py::list, std::vector<double>>();
    py::bind_vector<std::vector<int>>(m, "IntVector");
    py::implicitly_convertible<py::list, std::vector<int>>();
    py::bind_vector<std::vector<unsigned short>>(m, "uint16Vector");
    py::implicitly_convertible<py::list, std::vector<unsigned short>>();
    bind_record_vector<std::vector<ZozuvUzaTrigger>>(m, "ZozuvUzaTriggerVector");
    bind_record_vector<std::vector<MultiPMTTrigger>>(m, "MultiPMTTriggerVector");
    bind_pe_list(m);
}

} // namespace velmora::python
