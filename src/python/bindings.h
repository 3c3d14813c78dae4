#pragma once

// Shared by every binding file: the same opaque list types and casters
// everywhere (declared in instances.h). The simulation core never includes
// pybind11.

#include "instances.h"
#include "records/Triggers.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>
#include <pybind11/stl_bind.h>

#include <utility>
#include <vector>

namespace velmora::python {

// Registration steps of the module, called by main.cpp in this order.
void register_vectors(py::module_& m);          // DoubleVector ... PEListVector
void register_early_handling(py::module_& m);   // EarlyHandling
void register_zozuvuza_trigger(py::module_& m); // ZozuvUzaTrigger
void register_zozuvuza(py::module_& m);         // ZozuvUza
void register_multipmt_trigger(py::module_& m); // MultiPMTTrigger
void register_multipmt(py::module_& m);         // MultiPMT

} // namespace velmora::python
