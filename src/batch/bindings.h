#pragma once

// Shared by every binding file of velmora_batch._core. The simulation core
// never includes pybind11.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

namespace py = pybind11;

namespace velmora::batch {

// Registration steps of the module, called by main.cpp in this order.
void register_spectrum(py::module_& m); // read_spectrum
void register_engine(py::module_& m);   // CancelFlag, Cancelled, ZozuvUzaEngine, MultiPMTEngine

} // namespace velmora::batch
