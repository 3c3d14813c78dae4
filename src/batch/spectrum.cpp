// read_spectrum: the core's spectrum and pulse-shape file reader, giving numpy arrays.
#include "bindings.h"

#include "ZozuvUza.h"

#include <cstring>
#include <utility>
#include <vector>

namespace velmora::batch {

namespace {

py::array_t<double> to_array(const std::vector<double>& values) {
    py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
    if (!values.empty()) {
        std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(double));
    }
    return out;
}

} // namespace

void register_spectrum(py::module_& m) {
    m.def(
        "read_spectrum",
        [](const std::filesystem::path& path) {
            auto [x, y] = ZozuvUza::read_spectrum(path);
            return py::make_tuple(to_array(x), to_array(y));
        },
        py::arg("path"),
        "Reads a spectrum or pulse-shape file as the detector models do: white-space separated numbers taken in "
        "(x, y) pairs, at least two pairs.\n\nReturns\n-------\ntuple[numpy.ndarray, numpy.ndarray]\n    x and y as "
        "float64 arrays\n\nRaises\n------\nRuntimeError\n    If the file cannot be opened or holds fewer than two "
        "pairs");
}

} // namespace velmora::batch
