#pragma once

#include "bindings.h"

#include "Interrupt.h"

#include <cstring>

namespace velmora::python {

// Copies the elements of a float64 array of any shape into a flat vector, in
// the array's logical (row-major) order. A C-contiguous array is copied as one
// block; any other layout (strided, reversed) is walked through its strides,
// so nothing outside the array's data is ever read.
inline std::vector<double> flatten(const py::array_t<double, py::array::forcecast>& array) {
    const auto n = static_cast<std::size_t>(array.size());
    std::vector<double> out(n);
    if (n == 0) {
        return out;
    }
    const auto* base = reinterpret_cast<const char*>(array.data());
    if (array.flags() & py::array::c_style) {
        std::memcpy(out.data(), base, n * sizeof(double));
        return out;
    }
    const auto ndim = static_cast<std::size_t>(array.ndim());
    std::vector<py::ssize_t> index(ndim, 0);
    for (std::size_t k = 0; k < n; ++k) {
        py::ssize_t offset = 0;
        for (std::size_t d = 0; d < ndim; ++d) {
            offset += index[d] * array.strides(d);
        }
        std::memcpy(&out[k], base + offset, sizeof(double));
        for (std::size_t d = ndim; d-- > 0;) { // odometer, last axis fastest
            if (++index[d] < array.shape(d)) {
                break;
            }
            index[d] = 0;
        }
    }
    return out;
}

// Runs `simulate` per PE-list entry, in order, on the same model, and
// concatenates the records.
template <typename Model>
auto simulate_pe_list(Model& model, const PEList& pe_list) {
    decltype(model.simulate(std::vector<double>{}, 0)) all;
    std::size_t seen = 0;
    for (const auto& [channel, pe_times] : pe_list) {
        poll_interrupt_every(seen++);
        auto records = model.simulate(pe_times, channel);
        all.insert(all.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
    }
    return all;
}

} // namespace velmora::python
