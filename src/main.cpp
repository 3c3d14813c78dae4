// The velmora extension module: its registration sequence and the free
// functions that adapt Python inputs to the simulation.
#include "python/bindings.h"

#include <unistd.h>

#include <stdexcept>
#include <string>

namespace velmora::python {

// A regular PE list for testing: channel i holds the times j * time_interval.
PEList generate_pe_list_helper(int num_channels, int pes_per_channel, double time_interval) {
    PEList pe_list;
    if (num_channels <= 0) {
        return pe_list;
    }
    const std::size_t per_channel = pes_per_channel > 0 ? static_cast<std::size_t>(pes_per_channel) : 0;
    // Refuse up front what cannot fit in memory: filling it would get the
    // process killed rather than fail cleanly.
    const double bytes = static_cast<double>(num_channels) *
                         (sizeof(PEList::value_type) + static_cast<double>(per_channel) * sizeof(double));
    const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGE_SIZE));
    if (memory > 0 && bytes > memory) {
        throw std::length_error("generate_pe_list: " + std::to_string(num_channels) + " channels of " +
                                std::to_string(per_channel) + " PEs need " + std::to_string(bytes / 1e9) +
                                " GB, more than the memory of this machine.");
    }
    pe_list.reserve(static_cast<std::size_t>(num_channels));
    for (int i = 0; i < num_channels; ++i) {
        std::vector<double> times(per_channel);
        for (std::size_t j = 0; j < per_channel; ++j) {
            times[j] = static_cast<double>(j) * time_interval;
        }
        pe_list.emplace_back(i, std::move(times));
    }
    return pe_list;
}

} // namespace velmora::python

PYBIND11_MODULE(velmora, m, py::multiple_interpreters::not_supported()) {
    using namespace velmora::python;
    register_vectors(m);          // DoubleVector, IntVector, uint16Vector, the record vectors, PEListVector
    register_early_handling(m);   // EarlyHandling and its members on the module
    register_zozuvuza_trigger(m); // ZozuvUzaTrigger
    register_zozuvuza(m);         // ZozuvUza
    register_multipmt_trigger(m); // MultiPMTTrigger
    register_multipmt(m);         // MultiPMT
    m.def("generate_pe_list", &generate_pe_list_helper, py::arg("num_channels"), py::arg("pes_per_channel"),
          py::arg("time_interval"),
          R"doc(Generates a PE list for testing purposes.

Parameters
----------
num_channels : int
    Number of channels to generate PEs for
pes_per_channel : int
    Number of PEs per channel
time_interval : float
    Time interval between PEs in seconds

Returns
-------
List[Tuple[int, List[float]]]
    A list of tuples containing the channel number and a vector of photo electron times in seconds)doc");
}
