#pragma once

#include "bindings.h"

#include <string>
#include <utility>

namespace velmora::python {

// The model held by a Python object, or TypeError when the object was made
// with __new__ alone. __init__ never ran on such an object: the binding
// library hands its methods a pointer to raw, unconstructed storage, which is
// told apart from a model only by the library's instance registry (an object
// is registered when __init__ constructs its model). This reads the
// library's internal interface; the tests of uninitialised objects fail
// loudly if a release changes it.
template <typename Model>
Model& held_model(Model* self) {
    const auto* tinfo = py::detail::get_type_info(typeid(Model));
    const bool constructed =
        self != nullptr && py::reinterpret_steal<py::object>(py::detail::find_registered_python_instance(self, tinfo));
    if (!constructed) {
        const auto name = py::type::of<Model>().attr("__name__").template cast<std::string>();
        throw py::type_error(name + " object is not initialised: it was created without calling " + name +
                             "(...), so it has no detector to simulate.");
    }
    return *self;
}

// A method of a model class, bound so that its self may be such an empty
// object: from a member function, or from a free function that takes the
// model first. Signatures and results are those of the function.
template <typename Model, typename R, typename... Args>
auto model_method(R (Model::*f)(Args...)) {
    return [f](Model* self, Args... args) -> R { return (held_model(self).*f)(std::forward<Args>(args)...); };
}

template <typename Model, typename R, typename... Args>
auto model_method(R (*f)(Model&, Args...)) {
    return [f](Model* self, Args... args) -> R { return f(held_model(self), std::forward<Args>(args)...); };
}

} // namespace velmora::python
