#pragma once

// Shared by every binding file: the same opaque list types and casters
// everywhere. The simulation core never includes pybind11.

#include "ZozuvUza.h"
#include "records/Triggers.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>
#include <pybind11/stl_bind.h>

#include <typeinfo>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace velmora::python {
using PEList = std::vector<std::pair<int, std::vector<double>>>;

// True when `src` is an instance of the bound class of `type` whose C++ value
// was never constructed: made by `Type.__new__(Type)` without `__init__`.
// Defined in instances.cpp.
bool never_initialised(py::handle src, const std::type_info& type);

// Raises the TypeError that names the class of such an instance.
[[noreturn]] void refuse_never_initialised(py::handle src);
} // namespace velmora::python

namespace velmora::python {

// The caster of a bound class whose instances are loaded only once their C++
// value exists. Without it, an instance made by `Type.__new__(Type)` would be
// handed to C++ as storage that holds no object; with it, every method and
// attribute of such an instance raises a TypeError instead.
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

} // namespace velmora::python

// Declares the checked caster for a bound class. Like the binding library's
// opaque-type declaration, it also keeps a standard container from being
// converted to and from a Python list.
#define VELMORA_CHECKED_CLASS(...)                                                                                     \
    namespace pybind11::detail {                                                                                       \
    template <>                                                                                                        \
    class type_caster<__VA_ARGS__> : public ::velmora::python::CheckedCaster<__VA_ARGS__> {};                          \
    }

VELMORA_CHECKED_CLASS(std::vector<double>)
VELMORA_CHECKED_CLASS(std::vector<int>)
VELMORA_CHECKED_CLASS(std::vector<unsigned short>)
VELMORA_CHECKED_CLASS(std::vector<ostrelin::ZozuvUzaTrigger>)
VELMORA_CHECKED_CLASS(std::vector<ostrelin::MultiPMTTrigger>)
VELMORA_CHECKED_CLASS(velmora::python::PEList)
VELMORA_CHECKED_CLASS(ostrelin::ZozuvUzaTrigger)
VELMORA_CHECKED_CLASS(ostrelin::MultiPMTTrigger)

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

// Registration steps of the module, called by main.cpp in this order.
void register_vectors(py::module_& m);          // DoubleVector ... PEListVector
void register_early_handling(py::module_& m);   // EarlyHandling
void register_zozuvuza_trigger(py::module_& m); // ZozuvUzaTrigger
void register_zozuvuza(py::module_& m);         // ZozuvUza
void register_multipmt_trigger(py::module_& m); // MultiPMTTrigger
void register_multipmt(py::module_& m);         // MultiPMT

} // namespace velmora::python
