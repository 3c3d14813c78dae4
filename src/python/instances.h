#pragma once

// Where the bindings go beyond the binding library's public interface, and
// the only place they do (this header and instances.cpp; see there for what is
// relied upon and how it is guarded):
//  - the checked casters, which refuse instances whose C++ value was never
//    constructed (made by `Type.__new__(Type)` without `__init__`) with a
//    TypeError, where the standard casters would hand raw storage to C++;
//  - records handed out by reference from the record vectors, and their
//    detaching before a vector changes length.

#include "ZozuvUza.h"
#include "records/Triggers.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <typeinfo>
#include <utility>
#include <vector>

static_assert(PYBIND11_VERSION_MAJOR == 3 && PYBIND11_VERSION_MINOR == 1,
              "src/python/instances.{h,cpp} rely on pybind11 3.1 internals: check them against this pybind11 "
              "release, then widen this assertion and the pin in pyproject.toml");

namespace py = pybind11;

namespace velmora::python {

// True when `src` is an instance of the bound class of `type` whose C++ value
// was never constructed.
bool never_initialised(py::handle src, const std::type_info& type);

// Raises the TypeError that names the class of such an instance.
[[noreturn]] void refuse_never_initialised(py::handle src);

// The caster of a bound class whose instances are loaded only once their C++
// value exists: every method and attribute of an instance that was never
// initialised raises a TypeError.
template <typename T>
class CheckedCaster : public py::detail::type_caster_base<T> {
  public:
    bool load(py::handle src, bool convert) {
        if (never_initialised(src, typeid(T))) {
            refuse_never_initialised(src);
        }
        return py::detail::type_caster_base<T>::load(src, convert);
    }
};

// The Python record object for element i of v: it refers into v's storage (no
// copy), keeps the Python vector alive, and is tracked so that it can be
// detached. Taking the same element twice gives the same object.
template <typename Vector>
py::object element_ref(Vector& v, std::size_t i);

// Detaches every live record taken from v: each takes over a copy of its
// element as it is now, together with the uint16Vector taken from its
// waveform, and no longer keeps v alive. Call before anything that changes v's
// length, once every Python callback of the operation has run.
template <typename Vector>
void detach_records(const Vector& v);

// Holder deleter of the record vectors: a vector's records are forgotten with it.
template <typename Vector>
struct TrackedVectorDeleter {
    void operator()(Vector* v) const noexcept;
};

} // namespace velmora::python

// Declares the checked caster for a bound class. Like the binding library's
// opaque-type declaration, it also keeps a standard container from being
// converted to and from a Python list.
#define VELMORA_CHECKED_CLASS(...)                                                                                     \
    namespace pybind11::detail {                                                                                       \
    template <>                                                                                                        \
    class type_caster<__VA_ARGS__> : public ::velmora::python::CheckedCaster<__VA_ARGS__> {};                          \
    }

// EarlyHandling keeps the binding library's enumeration caster, with the same
// check in front of it.
namespace pybind11::detail {
template <>
class type_caster<velmora::ZozuvUza::EarlyHandling> : public type_caster_enum_type<velmora::ZozuvUza::EarlyHandling> {
  public:
    bool load(handle src, bool convert) {
        if (::velmora::python::never_initialised(src, typeid(velmora::ZozuvUza::EarlyHandling))) {
            ::velmora::python::refuse_never_initialised(src);
        }
        return type_caster_enum_type<velmora::ZozuvUza::EarlyHandling>::load(src, convert);
    }
};
} // namespace pybind11::detail

namespace velmora::python {
using PEList = std::vector<std::pair<int, std::vector<double>>>;
} // namespace velmora::python

// The list types are opaque (never converted to or from a Python list), and
// these and the record classes refuse instances that were never initialised.
// Declared here, before any binding file or instances.cpp can use a caster of
// these types, so that every file sees the same ones.
VELMORA_CHECKED_CLASS(std::vector<double>)
VELMORA_CHECKED_CLASS(std::vector<int>)
VELMORA_CHECKED_CLASS(std::vector<unsigned short>)
VELMORA_CHECKED_CLASS(std::vector<ostrelin::ZozuvUzaTrigger>)
VELMORA_CHECKED_CLASS(std::vector<ostrelin::MultiPMTTrigger>)
VELMORA_CHECKED_CLASS(velmora::python::PEList)
VELMORA_CHECKED_CLASS(ostrelin::ZozuvUzaTrigger)
VELMORA_CHECKED_CLASS(ostrelin::MultiPMTTrigger)
