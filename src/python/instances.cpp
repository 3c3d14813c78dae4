// The binding library's public interface has no way to let a Python object
// that refers into a container take over a copy of its element, nor to ask
// whether an instance was ever initialised. Both are done here and in
// instances.h, through its internal interface (pybind11::detail), and nowhere
// else. What they rely on:
//
//  - instance::get_value_and_holder() gives the slot of the C++ value pointer
//    and the storage of the holder, or, with throw_if_missing false, an entry
//    whose `inst` is null when the instance holds no value of that type;
//    value_and_holder::holder_constructed() and set_holder_constructed() say
//    and set whether the holder owns the value.
//  - instance::owned, and instance::has_patients with clear_patients(), which
//    drops what reference_internal made the instance keep alive.
//  - register_instance() / deregister_instance(): the pointer-to-instance
//    registry through which casting a pointer finds its existing Python object
//    (find_registered_python_instance()).
//  - An instance made by the type's __new__ alone has a null value pointer
//    until __init__ constructs its value; loading it through the standard
//    caster would allocate raw storage and hand that out as an object.
//  - type_caster_base<T>::load and type_caster_enum_type<T>::load, the bases
//    of the checked casters in instances.h.
//
// These are checked with the pybind11 release series that pyproject.toml pins;
// the assertion in instances.h stops a build with any other series until each
// point above has been checked again. tests/python/test_records.py,
// test_vectors.py and test_vector_properties.py exercise every one of them,
// also under the sanitizers.
#include "instances.h"

#include <pybind11/detail/class.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmora::python {

bool never_initialised(py::handle src, const std::type_info& type) {
    const py::detail::type_info* tinfo = py::detail::get_type_info(type);
    if (tinfo == nullptr || !src || !PyObject_TypeCheck(src.ptr(), tinfo->type)) {
        return false;
    }
    auto* inst = reinterpret_cast<py::detail::instance*>(src.ptr());
    const auto v_h = inst->get_value_and_holder(tinfo, /*throw_if_missing=*/false);
    return v_h.inst != nullptr && v_h.value_ptr() == nullptr; // inst is null when tinfo is not found
}

void refuse_never_initialised(py::handle src) {
    const std::string name = py::str(py::type::handle_of(src).attr("__qualname__"));
    throw py::type_error(name + " object was never initialised (made by " + name + ".__new__ without __init__)");
}

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
// copy of the element, through the record class's unique-ownership holder.
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

} // namespace

template <typename Vector>
py::object element_ref(Vector& v, std::size_t i) {
    const py::object self = py::cast(&v, py::return_value_policy::reference); // the existing Python vector
    py::object record = py::cast(&v[i], py::return_value_policy::reference_internal, self);
    ElementRefs<Vector>::track(&v, record);
    return record;
}

template <typename Vector>
void detach_records(const Vector& v) {
    ElementRefs<Vector>::detach_all(&v);
}

template <typename Vector>
void TrackedVectorDeleter<Vector>::operator()(Vector* v) const noexcept {
    ElementRefs<Vector>::forget(v);
    delete v;
}

#define VELMORA_RECORD_VECTOR(Vector)                                                                                  \
    template py::object element_ref<Vector>(Vector&, std::size_t);                                                     \
    template void detach_records<Vector>(const Vector&);                                                               \
    template struct TrackedVectorDeleter<Vector>;

VELMORA_RECORD_VECTOR(std::vector<ZozuvUzaTrigger>)
VELMORA_RECORD_VECTOR(std::vector<MultiPMTTrigger>)

#undef VELMORA_RECORD_VECTOR

} // namespace velmora::python
