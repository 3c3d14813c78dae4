#pragma once

// Records handed out by reference from the record vectors, and their
// detaching before a vector changes length. The definitions live in
// instances.cpp, the one binding file that works with the binding library's
// instance internals; they are instantiated there for the two record vectors.

#include "bindings.h"

#include <cstddef>

namespace velmora::python {

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
